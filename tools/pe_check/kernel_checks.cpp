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
