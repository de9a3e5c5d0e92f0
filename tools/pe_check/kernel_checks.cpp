/*
 * kernel_checks.cpp - the checks a kernel image must pass, each returning why it failed.
 */
#include "kernel_checks.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pe {
namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string Hex(uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

/* Lists at most a few names, then how many more there are. */
std::string Some(const std::vector<std::string> &names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < 4; i++) {
        text += (i ? ", " : "") + names[i];
    }
    if (names.size() > 4) {
        text += " and " + std::to_string(names.size() - 4) + " more";
    }
    return text;
}

const Symbol *FindSymbol(const std::vector<Symbol> &symbols, const std::string &name)
{
    for (const Symbol &symbol : symbols) {
        if (symbol.name == name) {
            return &symbol;
        }
    }
    return nullptr;
}

/* ---- Header checks ------------------------------------------------------------------------ */

std::string CheckFormat(const Image &image)
{
    if (image.machine != kMachineAmd64) {
        return "machine " + Hex(image.machine) + " is not x86-64";
    }
    return image.subsystem == kSubsystemNative ? "" : "subsystem " + std::to_string(image.subsystem) + " is not native (1)";
}

std::string CheckChecksum(const Image &image)
{
    const uint32_t computed = ComputeChecksum(image.Bytes(), image.checksumOffset);
    return image.checksum == computed ? "" : "stored " + Hex(image.checksum) + ", computed " + Hex(computed);
}

std::string CheckDllFlag(const Image &image, uint16_t flag, const char *name)
{
    return (image.dllCharacteristics & flag) ? "" : std::string(name) + " is not set";
}

std::string CheckRelocations(const Image &image)
{
    if (image.fileCharacteristics & kFileRelocsStripped) {
        return "relocations stripped (file characteristics)";
    }
    return image.directories[kBaseReloc].size != 0 ? "" : "no base relocation directory";
}

std::string CheckSections(const Image &image)
{
    if (image.sectionAlignment != 0x1000) {
        return "section alignment " + Hex(image.sectionAlignment) + ", not 0x1000";
    }
    for (const Section &section : image.sections) {
        if ((section.characteristics & kSectionWrite) && (section.characteristics & kSectionExecute)) {
            return "section " + section.name + " is both writable and executable";
        }
    }
    /* The loader writes the import address table: Memory Integrity refuses one in code. */
    const DataDirectory &iat = image.directories[kImportAddressTable];
    const Section *holder = iat.size != 0 ? image.SectionAt(iat.rva) : nullptr;
    if (holder != nullptr && (holder->characteristics & kSectionExecute)) {
        return "the import address table lies in the executable section " + holder->name;
    }
    return "";
}

std::string CheckNoTls(const Image &image)
{
    if (image.directories[kTls].size != 0) {
        return "TLS directory at " + Hex(image.directories[kTls].rva);
    }
    return image.FindSection(".tls") == nullptr ? "" : "has a .tls section";
}

std::string CheckImports(const Image &image, const KernelExports &exports)
{
    const std::vector<Import> imports = image.Imports();
    if (imports.empty()) {
        return "imports nothing (not even ntoskrnl.exe)";
    }
    std::vector<std::string> bad;
    for (const Import &import : imports) {
        auto dll = exports.byDll.find(Lower(import.dll));
        if (import.name.empty()) {
            bad.push_back(import.dll + " ordinal " + std::to_string(import.ordinal));
        } else if (dll == exports.byDll.end() || dll->second.count(import.name) == 0) {
            bad.push_back(import.dll + "!" + import.name);
        }
    }
    return bad.empty() ? "" : "not on the kernel export list: " + Some(bad);
}

std::string CheckNoExports(const Image &image)
{
    return image.directories[kExport].size == 0 ? ""
                                                 : "exports " + std::to_string(image.ExportedNameCount()) + " name(s)";
}

std::string CheckNoSymbolTable(const Image &image)
{
    return image.symbolTableOffset == 0 && image.symbolCount == 0
               ? ""
               : "has a COFF symbol table (" + std::to_string(image.symbolCount) + " records)";
}

/* ---- The version resource ------------------------------------------------------------------- */

constexpr uint32_t kResourceTypeVersion = 16; /* RT_VERSION */
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedFileInfoBytes = 52;
constexpr uint32_t kOsNtWindows32 = 0x00040004; /* VOS_NT_WINDOWS32 */
constexpr uint32_t kFileTypeDriver = 3;         /* VFT_DRV */
constexpr uint32_t kFileSubtypeSystemDriver = 7; /* VFT2_DRV_SYSTEM */

/* One block of a VS_VERSIONINFO tree: wLength, wValueLength, wType, a zero-terminated UTF-16
 * key, then the value and the child blocks, each starting on a 4-byte boundary. */
struct VersionBlock {
    std::u16string key;
    bool text = false;
    std::vector<uint8_t> value;
    std::vector<VersionBlock> children;
};

uint16_t Word(const std::vector<uint8_t> &data, size_t at)
{
    return uint16_t(data[at] | data[at + 1] << 8);
}

uint32_t Dword(const std::vector<uint8_t> &data, size_t at)
{
    return uint32_t(Word(data, at)) | uint32_t(Word(data, at + 2)) << 16;
}

size_t Align4(size_t at)
{
    return (at + 3) & ~size_t(3);
}

bool ParseVersionBlock(const std::vector<uint8_t> &data, size_t at, size_t end, unsigned depth, VersionBlock *block)
{
    if (depth > 4 || at + 6 > end || Word(data, at) < 6 || at + Word(data, at) > end) {
        return false;
    }
    const size_t blockEnd = at + Word(data, at);
    block->text = Word(data, at + 4) == 1;
    const size_t valueBytes = size_t(Word(data, at + 2)) * (block->text ? 2 : 1);
    size_t next = at + 6;
    for (;; next += 2) {
        if (next + 2 > blockEnd) {
            return false;
        }
        if (Word(data, next) == 0) {
            break;
        }
        block->key.push_back(char16_t(Word(data, next)));
    }
    next = Align4(next + 2);
    if (next + valueBytes > blockEnd) {
        return false;
    }
    block->value.assign(data.begin() + long(next), data.begin() + long(next + valueBytes));
    for (next = Align4(next + valueBytes); next < blockEnd; next = Align4(next + Word(data, next))) {
        block->children.emplace_back();
        if (!ParseVersionBlock(data, next, blockEnd, depth + 1, &block->children.back())) {
            return false;
        }
    }
    return true;
}

const VersionBlock *Child(const VersionBlock &block, const std::u16string &key)
{
    for (const VersionBlock &child : block.children) {
        if (child.key == key) {
            return &child;
        }
    }
    return nullptr;
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? char(c) : '?');
    }
    return narrow;
}

/* A text value up to its terminating zero. */
std::string TextOf(const VersionBlock &block)
{
    std::string text;
    for (size_t i = 0; i + 1 < block.value.size(); i += 2) {
        const char16_t c = char16_t(block.value[i] | block.value[i + 1] << 8);
        if (c == 0) {
            break;
        }
        text.push_back(c < 0x80 ? char(c) : '?');
    }
    return text;
}

std::string Dotted(uint32_t high, uint32_t low)
{
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xffff) + "." + std::to_string(low >> 16) + "." +
           std::to_string(low & 0xffff);
}

/* What Device Manager, Explorer and a crash dump show of the driver: one VS_VERSION_INFO (ID 1)
 * marking a system driver for Windows NT, with the usual strings, whose version strings agree
 * with the fixed binary version. */
std::string CheckVersionResource(const Image &image)
{
    std::vector<Resource> resources;
    std::string error;
    if (!image.Resources(&resources, &error)) {
        return error;
    }
    const Resource *version = nullptr;
    for (const Resource &resource : resources) {
        if (resource.type == kResourceTypeVersion && resource.typeName.empty()) {
            if (version != nullptr) {
                return "more than one version resource";
            }
            version = &resource;
        }
    }
    if (version == nullptr) {
        return "no version resource";
    }
    if (version->id != 1) {
        return "the version resource has ID " + std::to_string(version->id) + ", not 1 (VS_VERSION_INFO)";
    }
    const uint8_t *bytes = image.At(version->dataRva, version->size);
    const std::vector<uint8_t> data(bytes, bytes + version->size);
    VersionBlock root;
    if (!ParseVersionBlock(data, 0, data.size(), 0, &root) || root.key != u"VS_VERSION_INFO" ||
        root.value.size() < kFixedFileInfoBytes) {
        return "the version resource is malformed";
    }
    if (Dword(root.value, 0) != kFixedFileInfoSignature) {
        return "VS_FIXEDFILEINFO signature " + Hex(Dword(root.value, 0));
    }
    if (Dword(root.value, 32) != kOsNtWindows32) {
        return "file OS " + Hex(Dword(root.value, 32)) + ", not VOS_NT_WINDOWS32";
    }
    if (Dword(root.value, 36) != kFileTypeDriver || Dword(root.value, 40) != kFileSubtypeSystemDriver) {
        return "file type " + std::to_string(Dword(root.value, 36)) + "/" + std::to_string(Dword(root.value, 40)) +
               ", not a system driver (VFT_DRV/VFT2_DRV_SYSTEM, 3/7)";
    }
    const VersionBlock *strings = Child(root, u"StringFileInfo");
    if (strings == nullptr || strings->children.empty()) {
        return "no StringFileInfo";
    }
    const VersionBlock &table = strings->children.front();
    std::vector<std::string> missing;
    for (const char16_t *name : {u"CompanyName", u"FileDescription", u"FileVersion", u"OriginalFilename",
                                 u"ProductName", u"ProductVersion"}) {
        const VersionBlock *value = Child(table, name);
        if (value == nullptr || TextOf(*value).empty()) {
            missing.push_back(Narrow(name));
        }
    }
    if (!missing.empty()) {
        return "no " + Some(missing) + " in StringFileInfo " + Narrow(table.key);
    }
    const std::string fileVersion = Dotted(Dword(root.value, 8), Dword(root.value, 12));
    const std::string productVersion = Dotted(Dword(root.value, 16), Dword(root.value, 20));
    const std::string fileText = TextOf(*Child(table, u"FileVersion"));
    const std::string productText = TextOf(*Child(table, u"ProductVersion"));
    if (fileText.rfind(fileVersion, 0) != 0 || productText.rfind(productVersion, 0) != 0) {
        return "FileVersion '" + fileText + "' and ProductVersion '" + productText + "' do not begin with the binary " +
               fileVersion + " and " + productVersion;
    }
    const std::string original = Lower(TextOf(*Child(table, u"OriginalFilename")));
    if (original.size() < 4 || original.compare(original.size() - 4, 4, ".sys") != 0) {
        return "OriginalFilename '" + original + "' is not a .sys image";
    }
    return "";
}

/* ---- The message table --------------------------------------------------------------------- */

constexpr uint32_t kResourceTypeMessageTable = 11; /* RT_MESSAGETABLE */
constexpr uint32_t kCustomerFlag = 0x20000000;     /* the C bit of a status code */
constexpr uint16_t kUnicodeEntry = 1;

/* The System event log renders the driver's entries with the message table the image carries
 * (the driver's image is named in EventMessageFile): one RT_MESSAGETABLE resource, ID 1, made of
 * blocks of consecutive message numbers (lowest, highest, offset of the first entry) whose entries
 * (length, flags, text) all lie inside it. Every message is UTF-16 text, and every number has the
 * customer flag, so that none can be taken for one of the system's own codes. */
std::string CheckMessageTable(const Image &image)
{
    std::vector<Resource> resources;
    std::string error;
    if (!image.Resources(&resources, &error)) {
        return error;
    }
    const Resource *table = nullptr;
    for (const Resource &resource : resources) {
        if (resource.type == kResourceTypeMessageTable && resource.typeName.empty()) {
            if (table != nullptr) {
                return "more than one message table";
            }
            table = &resource;
        }
    }
    if (table == nullptr) {
        return "no message table: the event log could not show the driver's entries";
    }
    if (table->id != 1) {
        return "the message table has ID " + std::to_string(table->id) + ", not 1";
    }
    const uint8_t *bytes = image.At(table->dataRva, table->size);
    const std::vector<uint8_t> data(bytes, bytes + table->size);
    if (data.size() < 4 || Dword(data, 0) == 0 || data.size() < 4 + size_t(Dword(data, 0)) * 12) {
        return "the message table's blocks lie outside it";
    }
    size_t messages = 0;
    for (uint32_t block = 0; block < Dword(data, 0); block++) {
        const uint32_t low = Dword(data, 4 + block * 12);
        const uint32_t high = Dword(data, 8 + block * 12);
        size_t at = Dword(data, 12 + block * 12);
        if (low > high) {
            return "message block " + Hex(low) + ".." + Hex(high) + " runs backwards";
        }
        for (uint64_t id = low; id <= high; id++, messages++) {
            if (at + 4 > data.size() || Word(data, at) < 4 || at + Word(data, at) > data.size()) {
                return "message " + Hex(id) + " lies outside the table";
            }
            if (Word(data, at + 2) != kUnicodeEntry) {
                return "message " + Hex(id) + " is not UTF-16 text";
            }
            if (Word(data, at) < 6 || Word(data, at + 4) == 0) {
                return "message " + Hex(id) + " has no text";
            }
            if ((id & kCustomerFlag) == 0) {
                return "message " + Hex(id) + " has no customer flag: it could be taken for a system code";
            }
            at += Word(data, at);
        }
    }
    return messages != 0 ? "" : "the message table has no message";
}

/* ---- Checks that read the unstripped copy ------------------------------------------------- */

/* The symbols describe this image only if the unstripped copy has the same layout and contents. */
std::string CheckSameImage(const Image &image, const Image &unstripped)
{
    if (unstripped.symbolCount == 0) {
        return "the unstripped copy has no symbol table";
    }
    if (unstripped.entryRva != image.entryRva || unstripped.sizeOfImage != image.sizeOfImage ||
        unstripped.sections.size() != image.sections.size()) {
        return "the unstripped copy has another layout";
    }
    for (size_t i = 0; i < image.sections.size(); i++) {
        const Section &a = image.sections[i];
        const Section &b = unstripped.sections[i];
        const uint32_t length = std::min(a.virtualSize, a.rawSize);
        const uint8_t *mine = image.At(a.virtualAddress, length);
        const uint8_t *theirs = unstripped.At(b.virtualAddress, length);
        if (a.name != b.name || a.virtualAddress != b.virtualAddress || a.virtualSize != b.virtualSize ||
            mine == nullptr || theirs == nullptr || std::memcmp(mine, theirs, length) != 0) {
            return "section " + a.name + " differs from the unstripped copy";
        }
    }
    return "";
}

/* A jump through the import address table: an import thunk, a leaf that needs no unwind data. */
bool IsImportThunk(const Image &image, uint32_t rva)
{
    const uint8_t *code = image.At(rva, 2);
    return code != nullptr && code[0] == 0xff && code[1] == 0x25;
}

std::string CheckUnwindData(const Image &image, const std::vector<Symbol> &symbols)
{
    const std::vector<RuntimeFunction> table = image.RuntimeFunctions();
    if (table.empty()) {
        return "no .pdata (exception directory)";
    }
    for (size_t i = 0; i < table.size(); i++) {
        if (table[i].begin >= table[i].end || (i > 0 && table[i].begin < table[i - 1].end) ||
            image.At(table[i].unwind, 4) == nullptr) {
            return ".pdata entry " + std::to_string(i) + " is out of order or malformed";
        }
    }
    std::vector<std::string> uncovered;
    for (const Symbol &symbol : symbols) {
        if (!symbol.function || !symbol.inExecutableSection || IsImportThunk(image, symbol.rva)) {
            continue;
        }
        auto after = std::upper_bound(table.begin(), table.end(), symbol.rva,
                                      [](uint32_t rva, const RuntimeFunction &entry) { return rva < entry.begin; });
        if (after == table.begin() || symbol.rva >= (after - 1)->end) {
            uncovered.push_back(symbol.name);
        }
    }
    return uncovered.empty() ? "" : "no unwind data for " + Some(uncovered);
}

std::string CheckEntryPoint(const Image &image, const std::vector<Symbol> &symbols)
{
    const Symbol *entry = FindSymbol(symbols, "DriverEntry");
    if (entry == nullptr) {
        return "no DriverEntry in the unstripped copy";
    }
    return entry->rva == image.entryRva ? ""
                                        : "entry point " + Hex(image.entryRva) + " is not DriverEntry (" + Hex(entry->rva) + ")";
}

/* The linker lays out the constructor list as a -1 marker, the constructors, then a 0 terminator,
 * between __CTOR_LIST__ and __DTOR_LIST__. Nothing in a kernel runs that list, so it must be empty;
 * the compiler's names for constructor functions must not occur either. */
std::string CheckNoGlobalConstructors(const std::vector<Symbol> &symbols)
{
    const Symbol *begin = FindSymbol(symbols, "__CTOR_LIST__");
    const Symbol *end = FindSymbol(symbols, "__DTOR_LIST__");
    if (begin == nullptr || end == nullptr || end->rva < begin->rva) {
        return "no constructor list (__CTOR_LIST__, __DTOR_LIST__) to inspect";
    }
    const uint32_t span = end->rva - begin->rva;
    if (span < 16) {
        return "constructor list of " + std::to_string(span) + " bytes, shorter than its two markers";
    }
    const uint32_t constructors = (span - 16) / 8;
    if (constructors != 0) {
        return std::to_string(constructors) + " global constructor(s) in the constructor list";
    }
    std::vector<std::string> named;
    for (const Symbol &symbol : symbols) {
        if (symbol.name.rfind("_GLOBAL__sub_I_", 0) == 0 || symbol.name.rfind("_GLOBAL__sub_D_", 0) == 0) {
            named.push_back(symbol.name);
        }
    }
    return named.empty() ? "" : "global constructor code: " + Some(named);
}

} // namespace

bool KernelExports::Load(const std::string &path, std::string *error)
{
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string dll;
        std::string name;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!(fields >> dll >> name)) {
            *error = path + ": bad line '" + line + "'";
            return false;
        }
        byDll[Lower(dll)].insert(name);
    }
    return true;
}

std::vector<CheckResult> CheckKernelImage(const Image &image, const Image &unstripped, const KernelExports &exports)
{
    std::vector<CheckResult> results = {
        {"format", CheckFormat(image)},
        {"checksum", CheckChecksum(image)},
        {"dynamic-base", CheckDllFlag(image, kDllDynamicBase, "DYNAMIC_BASE")},
        {"nx-compat", CheckDllFlag(image, kDllNxCompat, "NX_COMPAT")},
        {"relocations", CheckRelocations(image)},
        {"sections", CheckSections(image)},
        {"no-tls", CheckNoTls(image)},
        {"imports", CheckImports(image, exports)},
        {"no-exports", CheckNoExports(image)},
        {"no-symbol-table", CheckNoSymbolTable(image)},
        {"version-resource", CheckVersionResource(image)},
        {"message-table", CheckMessageTable(image)},
        {"unstripped-copy", CheckSameImage(image, unstripped)},
    };
    const bool usable = results.back().failure.empty();
    const std::vector<Symbol> symbols = unstripped.Symbols();
    const std::string unusable = "not checked: the unstripped copy does not describe this image";
    results.push_back({"unwind-data", usable ? CheckUnwindData(image, symbols) : unusable});
    results.push_back({"entry-point", usable ? CheckEntryPoint(image, symbols) : unusable});
    results.push_back({"no-global-constructors", usable ? CheckNoGlobalConstructors(symbols) : unusable});
    return results;
}

} // namespace pe
