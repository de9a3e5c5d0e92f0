/*
 * pe_image.h - a PE32+ image file read into memory, for inspection on the build host.
 *
 * Only what the kernel-image checks need: the headers, the section table, the data directories,
 * the import table, the exception table (.pdata), the resource directory and the COFF symbol
 * table of an unstripped image. Every read is bounds-checked against the file: a truncated or malformed image yields
 * empty answers, never a read past the buffer.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

enum Directory : unsigned {
    kExport = 0,
    kImport = 1,
    kResource = 2,
    kException = 3,
    kBaseReloc = 5,
    kTls = 9,
    kImportAddressTable = 12,
};

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kDllNxCompat = 0x0100;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Import {
    std::string dll;
    std::string name;     /* empty for an import by ordinal */
    uint32_t ordinal = 0; /* set for an import by ordinal */
};

struct RuntimeFunction {
    uint32_t begin = 0;
    uint32_t end = 0;
    uint32_t unwind = 0;
};

/* One resource: the leaf reached through type, name and language. A level named by a string
 * instead of a number has id 0 and its name set. */
struct Resource {
    uint32_t type = 0;
    std::u16string typeName;
    uint32_t id = 0;
    std::u16string name;
    uint32_t language = 0;
    uint32_t dataRva = 0;
    uint32_t size = 0;
};

struct Symbol {
    std::string name;
    uint32_t rva = 0;
    bool function = false; /* COFF type DT_FCN */
    bool inExecutableSection = false;
};

class Image {
public:
    /* Parses the headers; false with *error set when the file is not a PE32+ image. */
    bool Load(std::vector<uint8_t> bytes, std::string *error);

    const std::vector<uint8_t> &Bytes() const { return bytes_; }
    std::vector<uint8_t> &MutableBytes() { return bytes_; }

    uint16_t machine = 0;
    uint16_t fileCharacteristics = 0;
    uint32_t symbolTableOffset = 0;
    uint32_t symbolCount = 0;
    uint16_t magic = 0;
    uint32_t entryRva = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t checksum = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    std::vector<DataDirectory> directories;
    std::vector<Section> sections;

    /* File offsets of header fields, for tests that patch an image. */
    uint32_t checksumOffset = 0;
    uint32_t sectionAlignmentOffset = 0;
    uint32_t dllCharacteristicsOffset = 0;
    uint32_t DirectoryOffset(unsigned index) const { return directoryTableOffset_ + index * 8; }

    /* Length bytes at rva, or nullptr when they do not all lie in a section's file data. */
    const uint8_t *At(uint32_t rva, uint32_t length) const;
    const Section *SectionAt(uint32_t rva) const;
    const Section *FindSection(const std::string &name) const;

    std::vector<Import> Imports() const;
    std::vector<RuntimeFunction> RuntimeFunctions() const;
    /* Every resource; false with *error set when the directory is malformed (an entry outside
     * the resource section, a loop, a leaf whose data is not in the file). */
    bool Resources(std::vector<Resource> *resources, std::string *error) const;
    std::vector<Symbol> Symbols() const;
    uint32_t ExportedNameCount() const;

private:
    std::string ReadString(uint32_t rva) const;
    std::string SymbolName(const uint8_t *record) const;

    std::vector<uint8_t> bytes_;
    uint32_t directoryTableOffset_ = 0;
};

/* The PE checksum of a file: its 16-bit words summed with carries folded in, the CheckSum field
 * counted as zero, plus the file's length. */
uint32_t ComputeChecksum(const std::vector<uint8_t> &bytes, uint32_t checksumOffset);

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes);

} // namespace pe
