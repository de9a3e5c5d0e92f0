/*
 * pe_check_test.cpp - every check rejects the image built or patched with its fault, and only
 * that check fails; the sound image passes them all.
 */
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "kernel_checks.h"

namespace {

pe::Image LoadImage(const std::string &path)
{
    std::vector<uint8_t> bytes;
    std::string error;
    pe::Image image;
    EXPECT_TRUE(pe::ReadFile(path, &bytes)) << path;
    EXPECT_TRUE(image.Load(std::move(bytes), &error)) << path << ": " << error;
    return image;
}

void Put32(pe::Image *image, uint32_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        image->MutableBytes()[offset + i] = uint8_t(value >> (8 * i));
    }
}

/* A patched header field, with the checksum made right again so that only the fault shows. */
std::function<void(pe::Image *)> Patch(std::function<void(pe::Image *)> change)
{
    return [change](pe::Image *image) {
        change(image);
        Put32(image, image->checksumOffset, pe::ComputeChecksum(image->Bytes(), image->checksumOffset));
    };
}

struct Case {
    const char *what;
    const char *image;      /* images/<image>.sys */
    const char *unstripped; /* images/symbols/<unstripped>.sys */
    std::function<void(pe::Image *)> patch;
    std::set<std::string> failing;
};

TEST(PeCheck, EachFaultIsRejectedByItsCheckAlone)
{
    const std::string dir = PE_TEST_IMAGES;
    pe::KernelExports exports;
    std::string error;
    ASSERT_TRUE(exports.Load(KERNEL_EXPORTS, &error)) << error;

    const Case cases[] = {
        {"sound image", "sound", "sound", nullptr, {}},
        {"global constructor", "global_constructor", "global_constructor", nullptr, {"no-global-constructors"}},
        {"TLS", "tls", "tls", nullptr, {"no-tls"}},
        {"writable and executable section", "wx_section", "wx_section", nullptr, {"sections"}},
        {"user-mode and unlisted imports", "imports", "imports", nullptr, {"imports"}},
        {"function without unwind data", "unwind", "unwind", nullptr, {"unwind-data"}},
        {"entry point elsewhere", "entry", "entry", nullptr, {"entry-point"}},
        {"exported names", "exports", "exports", nullptr, {"no-exports"}},
        {"symbol table shipped", "symbols/sound", "sound", nullptr, {"no-symbol-table"}},
        {"bad checksum", "sound", "sound",
         [](pe::Image *image) { Put32(image, image->checksumOffset, image->checksum ^ 0x10); }, {"checksum"}},
        {"no DYNAMIC_BASE", "sound", "sound",
         Patch([](pe::Image *image) { image->MutableBytes()[image->dllCharacteristicsOffset] &= ~0x40; }),
         {"dynamic-base"}},
        {"no NX_COMPAT", "sound", "sound",
         Patch([](pe::Image *image) { image->MutableBytes()[image->dllCharacteristicsOffset + 1] &= ~0x01; }),
         {"nx-compat"}},
        {"no relocations", "sound", "sound",
         Patch([](pe::Image *image) { Put32(image, image->DirectoryOffset(pe::kBaseReloc) + 4, 0); }),
         {"relocations"}},
        {"import address table in code", "sound", "sound",
         Patch([](pe::Image *image) {
             Put32(image, image->DirectoryOffset(pe::kImportAddressTable), image->FindSection(".text")->virtualAddress);
         }),
         {"sections"}},
        {"section alignment", "sound", "sound",
         Patch([](pe::Image *image) { Put32(image, image->sectionAlignmentOffset, 0x2000); }), {"sections"}},
        {"symbols of another image", "sound", "entry", nullptr,
         {"unstripped-copy", "unwind-data", "entry-point", "no-global-constructors"}},
        {"no version resource", "no_version", "no_version", nullptr, {"version-resource"}},
        {"version resource of a program", "version_type", "version_type", nullptr, {"version-resource"}},
        {"version strings that disagree with the binary version", "version_strings", "version_strings", nullptr,
         {"version-resource"}},
        {"resource directory cut short", "sound", "sound",
         Patch([](pe::Image *image) { Put32(image, image->DirectoryOffset(pe::kResource) + 4, 8); }),
         {"version-resource", "message-table"}},
        {"no message table", "no_messages", "no_messages", nullptr, {"message-table"}},
        {"messages under the system's numbers", "system_messages", "system_messages", nullptr, {"message-table"}},
        {"message table whose blocks lie outside it", "malformed_messages", "malformed_messages", nullptr,
         {"message-table"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pe::Image image = LoadImage(dir + "/" + c.image + ".sys");
        if (c.patch) {
            c.patch(&image);
            std::vector<uint8_t> bytes = image.Bytes();
            ASSERT_TRUE(image.Load(std::move(bytes), &error)) << error;
        }
        pe::Image unstripped = LoadImage(dir + "/symbols/" + c.unstripped + ".sys");
        std::set<std::string> failing;
        for (const pe::CheckResult &result : pe::CheckKernelImage(image, unstripped, exports)) {
            if (!result.failure.empty()) {
                failing.insert(result.name);
                EXPECT_TRUE(c.failing.count(result.name)) << result.name << ": " << result.failure;
            }
        }
        EXPECT_EQ(failing, c.failing);
    }
}

} // namespace
