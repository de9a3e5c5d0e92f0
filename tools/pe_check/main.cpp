/*
 * pe_check - checks a kernel driver image before it ships.
 *
 *   pe_check IMAGE --unstripped COPY --kernel-exports LIST
 *
 * IMAGE is the stripped image, COPY the same image with its symbol table (the build keeps it in
 * symbols/), LIST the kernel routines an import may name (tools/pe_check/kernel_exports.txt).
 * Prints one line per check; exit status 0 when all pass, 1 when one fails, 2 for bad arguments
 * or an unreadable file.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel_checks.h"

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: pe_check IMAGE --unstripped COPY --kernel-exports LIST\n");
    return 2;
}

bool LoadImage(const std::string &path, pe::Image *image)
{
    std::vector<uint8_t> bytes;
    std::string error;
    if (!pe::ReadFile(path, &bytes)) {
        std::fprintf(stderr, "pe_check: cannot read %s\n", path.c_str());
        return false;
    }
    if (!image->Load(std::move(bytes), &error)) {
        std::fprintf(stderr, "pe_check: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string imagePath;
    std::string unstrippedPath;
    std::string exportsPath;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--unstripped") == 0 && i + 1 < argc) {
            unstrippedPath = argv[++i];
        } else if (std::strcmp(argv[i], "--kernel-exports") == 0 && i + 1 < argc) {
            exportsPath = argv[++i];
        } else if (argv[i][0] != '-' && imagePath.empty()) {
            imagePath = argv[i];
        } else {
            return Usage();
        }
    }
    if (imagePath.empty() || unstrippedPath.empty() || exportsPath.empty()) {
        return Usage();
    }

    pe::Image image;
    pe::Image unstripped;
    pe::KernelExports exports;
    std::string error;
    if (!LoadImage(imagePath, &image) || !LoadImage(unstrippedPath, &unstripped)) {
        return 2;
    }
    if (!exports.Load(exportsPath, &error)) {
        std::fprintf(stderr, "pe_check: %s\n", error.c_str());
        return 2;
    }

    int failed = 0;
    for (const pe::CheckResult &result : pe::CheckKernelImage(image, unstripped, exports)) {
        if (result.failure.empty()) {
            std::printf("ok   %s\n", result.name.c_str());
        } else {
            std::printf("FAIL %s: %s\n", result.name.c_str(), result.failure.c_str());
            failed++;
        }
    }
    std::printf("pe_check: %s: %s\n", imagePath.c_str(), failed ? "REJECTED" : "all checks passed");
    return failed ? 1 : 0;
}
