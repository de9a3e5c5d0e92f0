/*
 * kernel_checks.h - what a kernel driver image of this project must be before it ships.
 *
 * It also reads the image's version resource, which Device Manager, Explorer and crash dumps show,
 * and its message table, with which the System event log shows the driver's entries.
 * The shipped image carries no symbols, so the checks that need them (every function has unwind
 * data, the entry point is DriverEntry, no global constructors) read them from the unstripped
 * copy the build keeps beside it, after making sure that copy is the same image.
 */
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pe {

/* The routines a kernel image may import: lower-case DLL name to exported names. */
struct KernelExports {
    std::map<std::string, std::set<std::string>> byDll;

    /* Lines "<dll> <name>"; '#' starts a comment line. */
    bool Load(const std::string &path, std::string *error);
};

struct CheckResult {
    std::string name;
    std::string failure; /* empty when the check passed */
};

/* Every check, in a fixed order, passed or failed. */
std::vector<CheckResult> CheckKernelImage(const Image &image, const Image &unstripped, const KernelExports &exports);

} // namespace pe
