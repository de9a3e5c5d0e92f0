/*
 * pe_image.cpp - reading a PE32+ file: headers, sections, imports, .pdata and COFF symbols.
 */
#include "pe_image.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace pe {
namespace {

constexpr uint32_t kFileHeaderBytes = 20;
constexpr uint32_t kSectionHeaderBytes = 40;
constexpr uint32_t kSymbolBytes = 18;
constexpr uint32_t kImportDescriptorBytes = 20;
constexpr uint32_t kRuntimeFunctionBytes = 12;
constexpr uint8_t kTypeFunction = 0x20; /* DT_FCN in the COFF symbol's type */
constexpr uint32_t kResourceDirectoryBytes = 16;
constexpr uint32_t kResourceEntryBytes = 8;
constexpr uint32_t kResourceDataBytes = 16;
constexpr uint32_t kResourceSubdirectory = 0x80000000; /* the entry's offset is a directory's */
constexpr uint32_t kResourceNamed = 0x80000000;        /* the entry's name is a string's offset */

bool Fits(const std::vector<uint8_t> &bytes, uint64_t offset, uint64_t length)
{
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

/* Little-endian reads that give 0 past the end of the file. */
uint64_t Read(const std::vector<uint8_t> &bytes, uint64_t offset, unsigned size)
{
    if (!Fits(bytes, offset, size)) {
        return 0;
    }
    uint64_t value = 0;
    for (unsigned i = 0; i < size; i++) {
        value |= uint64_t(bytes[offset + i]) << (8 * i);
    }
    return value;
}
uint16_t Read16(const std::vector<uint8_t> &b, uint64_t o) { return uint16_t(Read(b, o, 2)); }
uint32_t Read32(const std::vector<uint8_t> &b, uint64_t o) { return uint32_t(Read(b, o, 4)); }

uint32_t Little32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

bool Image::Load(std::vector<uint8_t> bytes, std::string *error)
{
    bytes_ = std::move(bytes);
    sections.clear();
    if (Read16(bytes_, 0) != 0x5a4d) {
        *error = "no MZ header";
        return false;
    }
    const uint32_t peOffset = Read32(bytes_, 0x3c);
    if (Read32(bytes_, peOffset) != 0x00004550) {
        *error = "no PE signature";
        return false;
    }
    const uint32_t fileHeader = peOffset + 4;
    machine = Read16(bytes_, fileHeader);
    const uint16_t sectionCount = Read16(bytes_, fileHeader + 2);
    symbolTableOffset = Read32(bytes_, fileHeader + 8);
    symbolCount = Read32(bytes_, fileHeader + 12);
    const uint16_t optionalSize = Read16(bytes_, fileHeader + 16);
    fileCharacteristics = Read16(bytes_, fileHeader + 18);

    const uint32_t optional = fileHeader + kFileHeaderBytes;
    magic = Read16(bytes_, optional);
    if (magic != kMagicPe32Plus || optionalSize < 112) {
        *error = "not a PE32+ image";
        return false;
    }
    entryRva = Read32(bytes_, optional + 16);
    sectionAlignmentOffset = optional + 32;
    sectionAlignment = Read32(bytes_, sectionAlignmentOffset);
    sizeOfImage = Read32(bytes_, optional + 56);
    checksumOffset = optional + 64;
    checksum = Read32(bytes_, checksumOffset);
    subsystem = Read16(bytes_, optional + 68);
    dllCharacteristicsOffset = optional + 70;
    dllCharacteristics = Read16(bytes_, dllCharacteristicsOffset);
    uint32_t directoryCount = Read32(bytes_, optional + 108);
    directoryTableOffset_ = optional + 112;
    if (directoryCount > 16 || 112 + directoryCount * 8 > optionalSize) {
        *error = "bad data directory count";
        return false;
    }
    directories.assign(16, DataDirectory());
    for (uint32_t i = 0; i < directoryCount; i++) {
        directories[i] = {Read32(bytes_, DirectoryOffset(i)), Read32(bytes_, DirectoryOffset(i) + 4)};
    }

    const uint32_t sectionTable = optional + optionalSize;
    if (!Fits(bytes_, sectionTable, uint64_t(sectionCount) * kSectionHeaderBytes)) {
        *error = "section table past the end of the file";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; i++) {
        const uint32_t at = sectionTable + i * kSectionHeaderBytes;
        Section section;
        section.name.assign(reinterpret_cast<const char *>(&bytes_[at]), strnlen(reinterpret_cast<const char *>(&bytes_[at]), 8));
        section.virtualSize = Read32(bytes_, at + 8);
        section.virtualAddress = Read32(bytes_, at + 12);
        section.rawSize = Read32(bytes_, at + 16);
        section.rawOffset = Read32(bytes_, at + 20);
        section.characteristics = Read32(bytes_, at + 36);
        sections.push_back(section);
    }
    return true;
}

const Section *Image::SectionAt(uint32_t rva) const
{
    for (const Section &section : sections) {
        const uint32_t span = section.virtualSize > section.rawSize ? section.virtualSize : section.rawSize;
        if (rva >= section.virtualAddress && rva - section.virtualAddress < span) {
            return &section;
        }
    }
    return nullptr;
}

const Section *Image::FindSection(const std::string &name) const
{
    for (const Section &section : sections) {
        if (section.name == name) {
            return &section;
        }
    }
    return nullptr;
}

const uint8_t *Image::At(uint32_t rva, uint32_t length) const
{
    const Section *section = SectionAt(rva);
    if (section == nullptr) {
        return nullptr;
    }
    const uint64_t within = rva - section->virtualAddress;
    if (within + length > section->rawSize || !Fits(bytes_, uint64_t(section->rawOffset) + within, length)) {
        return nullptr;
    }
    return &bytes_[section->rawOffset + within];
}

std::string Image::ReadString(uint32_t rva) const
{
    std::string text;
    for (const uint8_t *c = At(rva, 1); c != nullptr && *c != 0 && text.size() < 512; c = At(++rva, 1)) {
        text.push_back(char(*c));
    }
    return text;
}

std::vector<Import> Image::Imports() const
{
    std::vector<Import> imports;
    const DataDirectory &directory = directories[kImport];
    for (uint32_t at = directory.rva; directory.size != 0; at += kImportDescriptorBytes) {
        const uint8_t *descriptor = At(at, kImportDescriptorBytes);
        if (descriptor == nullptr || Little32(descriptor + 12) == 0) {
            break; /* the all-zero terminator */
        }
        const std::string dll = ReadString(Little32(descriptor + 12));
        const uint32_t lookup = Little32(descriptor) != 0 ? Little32(descriptor) : Little32(descriptor + 16);
        for (uint32_t thunk = lookup;; thunk += 8) {
            const uint8_t *entry = At(thunk, 8);
            if (entry == nullptr) {
                break;
            }
            const uint64_t value = uint64_t(Little32(entry)) | uint64_t(Little32(entry + 4)) << 32;
            if (value == 0) {
                break;
            }
            Import import;
            import.dll = dll;
            if (value >> 63) {
                import.ordinal = uint32_t(value & 0xffff);
            } else {
                import.name = ReadString(uint32_t(value) + 2); /* past the hint */
            }
            imports.push_back(import);
        }
    }
    return imports;
}

std::vector<RuntimeFunction> Image::RuntimeFunctions() const
{
    std::vector<RuntimeFunction> functions;
    const DataDirectory &directory = directories[kException];
    for (uint32_t offset = 0; offset + kRuntimeFunctionBytes <= directory.size; offset += kRuntimeFunctionBytes) {
        const uint8_t *entry = At(directory.rva + offset, kRuntimeFunctionBytes);
        if (entry == nullptr) {
            break;
        }
        functions.push_back({Little32(entry), Little32(entry + 4), Little32(entry + 8)});
    }
    return functions;
}

/* Resource directories nest three deep (type, name, language); every offset in them is from the
 * start of the resource directory, and every leaf names its data by RVA. */
bool Image::Resources(std::vector<Resource> *resources, std::string *error) const
{
    resources->clear();
    const DataDirectory &directory = directories[kResource];
    if (directory.size == 0) {
        return true;
    }
    struct Level {
        uint32_t id;
        std::u16string name;
    };
    auto fail = [error](const std::string &why) {
        *error = why;
        return false;
    };
    auto readName = [&](uint32_t offset, std::u16string *name) {
        const uint8_t *length = offset < directory.size ? At(directory.rva + offset, 2) : nullptr;
        const uint32_t chars = length != nullptr ? uint32_t(length[0] | length[1] << 8) : 0;
        const uint8_t *text = length != nullptr ? At(directory.rva + offset + 2, chars * 2) : nullptr;
        if (text == nullptr || uint64_t(offset) + 2 + chars * 2 > directory.size) {
            return false;
        }
        for (uint32_t i = 0; i < chars; i++) {
            name->push_back(char16_t(text[2 * i] | text[2 * i + 1] << 8));
        }
        return true;
    };
    /* Walks one directory at `offset`, `depth` 0 (types) to 2 (languages). */
    std::vector<Level> path;
    std::function<bool(uint32_t, unsigned)> walk = [&](uint32_t offset, unsigned depth) -> bool {
        const uint8_t *table = offset < directory.size ? At(directory.rva + offset, kResourceDirectoryBytes) : nullptr;
        if (table == nullptr || uint64_t(offset) + kResourceDirectoryBytes > directory.size) {
            return fail("resource directory at offset " + std::to_string(offset) + " lies outside it");
        }
        const uint32_t entries = uint32_t(table[12] | table[13] << 8) + uint32_t(table[14] | table[15] << 8);
        for (uint32_t i = 0; i < entries; i++) {
            const uint32_t at = offset + kResourceDirectoryBytes + i * kResourceEntryBytes;
            const uint8_t *entry = at < directory.size ? At(directory.rva + at, kResourceEntryBytes) : nullptr;
            if (entry == nullptr || uint64_t(at) + kResourceEntryBytes > directory.size) {
                return fail("resource entry at offset " + std::to_string(at) + " lies outside the directory");
            }
            Level level = {Little32(entry), {}};
            if (level.id & kResourceNamed) {
                if (!readName(level.id & ~kResourceNamed, &level.name)) {
                    return fail("resource name at offset " + std::to_string(level.id & ~kResourceNamed) +
                                " lies outside the directory");
                }
                level.id = 0;
            }
            const uint32_t target = Little32(entry + 4);
            const bool subdirectory = (target & kResourceSubdirectory) != 0;
            if (subdirectory != (depth < 2)) {
                return fail("resource directory nests " + std::string(depth < 2 ? "less" : "more") +
                            " than three levels deep");
            }
            path.push_back(level);
            if (subdirectory) {
                if ((target & ~kResourceSubdirectory) <= offset) {
                    return fail("resource directory at offset " + std::to_string(offset) + " points back");
                }
                if (!walk(target & ~kResourceSubdirectory, depth + 1)) {
                    return false;
                }
            } else {
                const uint8_t *leaf = target < directory.size ? At(directory.rva + target, kResourceDataBytes) : nullptr;
                Resource resource;
                resource.type = path[0].id;
                resource.typeName = path[0].name;
                resource.id = path[1].id;
                resource.name = path[1].name;
                resource.language = path[2].id;
                resource.dataRva = leaf != nullptr ? Little32(leaf) : 0;
                resource.size = leaf != nullptr ? Little32(leaf + 4) : 0;
                if (leaf == nullptr || At(resource.dataRva, resource.size) == nullptr) {
                    return fail("the data of a resource of type " + std::to_string(resource.type) +
                                " is not in the file");
                }
                resources->push_back(resource);
            }
            path.pop_back();
        }
        return true;
    };
    return walk(0, 0);
}

uint32_t Image::ExportedNameCount() const
{
    const DataDirectory &directory = directories[kExport];
    const uint8_t *table = directory.size != 0 ? At(directory.rva, 40) : nullptr;
    return table != nullptr ? Little32(table + 24) : 0;
}

/* A short name sits in the record; a long one ("\0\0\0\0" then an offset) in the string table
 * that follows the symbols. */
std::string Image::SymbolName(const uint8_t *record) const
{
    if (Little32(record) != 0) {
        return std::string(reinterpret_cast<const char *>(record), strnlen(reinterpret_cast<const char *>(record), 8));
    }
    const uint64_t strings = uint64_t(symbolTableOffset) + uint64_t(symbolCount) * kSymbolBytes;
    std::string name;
    for (uint64_t at = strings + Little32(record + 4); Fits(bytes_, at, 1) && bytes_[at] != 0; at++) {
        name.push_back(char(bytes_[at]));
    }
    return name;
}

std::vector<Symbol> Image::Symbols() const
{
    std::vector<Symbol> symbols;
    if (symbolTableOffset == 0 || !Fits(bytes_, symbolTableOffset, uint64_t(symbolCount) * kSymbolBytes)) {
        return symbols;
    }
    for (uint32_t index = 0; index < symbolCount; index++) {
        const uint8_t *record = &bytes_[symbolTableOffset + uint64_t(index) * kSymbolBytes];
        const int16_t sectionNumber = int16_t(record[12] | record[13] << 8);
        const uint8_t auxCount = record[17];
        if (sectionNumber > 0 && size_t(sectionNumber) <= sections.size()) {
            const Section &section = sections[sectionNumber - 1];
            Symbol symbol;
            symbol.name = SymbolName(record);
            symbol.rva = section.virtualAddress + Little32(record + 8);
            symbol.function = (record[14] & 0xf0) == kTypeFunction;
            symbol.inExecutableSection = (section.characteristics & kSectionExecute) != 0;
            symbols.push_back(symbol);
        }
        index += auxCount;
    }
    return symbols;
}

uint32_t ComputeChecksum(const std::vector<uint8_t> &bytes, uint32_t checksumOffset)
{
    uint64_t sum = 0;
    for (size_t at = 0; at < bytes.size(); at += 2) {
        uint32_t word = bytes[at];
        if (at + 1 < bytes.size()) {
            word |= uint32_t(bytes[at + 1]) << 8;
        }
        if (at >= checksumOffset && at < uint64_t(checksumOffset) + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return uint32_t(sum + bytes.size());
}

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

} // namespace pe
