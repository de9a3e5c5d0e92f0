// sample_receipt.cpp - the built-in print job.
#include "sample_receipt.h"

#include <string>

namespace vpsim {
namespace {

void Append(std::vector<uint8_t> *out, std::initializer_list<uint8_t> bytes) { out->insert(out->end(), bytes); }

void Line(std::vector<uint8_t> *out, const std::string &text)
{
    out->insert(out->end(), text.begin(), text.end());
    out->push_back('\n');
}

}  // namespace

std::vector<uint8_t> SampleReceipt()
{
    std::vector<uint8_t> r;
    Append(&r, {0x1B, 0x40});        // reset the printer
    Append(&r, {0x1B, 0x61, 0x01});  // centre
    Append(&r, {0x1B, 0x45, 0x01});  // emphasis on
    Line(&r, "CORNER BAKERY");
    Append(&r, {0x1B, 0x45, 0x00});  // emphasis off
    Line(&r, "12 Mill Lane, Harbour Town");
    Line(&r, "2026-12-07 09:41   till 3");
    Append(&r, {0x1B, 0x61, 0x00});  // left
    Line(&r, "------------------------------------------");
    Line(&r, "2 x Sourdough loaf               @3.40   6.80");
    Line(&r, "1 x Rye, seeded                          4.10");
    Line(&r, "6 x Cinnamon bun                 @1.25   7.50");
    Line(&r, "1 x Flat white                           2.90");
    Line(&r, "------------------------------------------");
    Append(&r, {0x1B, 0x45, 0x01});
    Line(&r, "TOTAL                                   21.30");
    Append(&r, {0x1B, 0x45, 0x00});
    Line(&r, "Card                                    21.30");
    Line(&r, "VAT included                             1.94");
    Append(&r, {0x1B, 0x64, 0x02});  // feed two lines
    Append(&r, {0x1B, 0x61, 0x01});
    Line(&r, "Thank you, see you tomorrow!");
    Append(&r, {0x1B, 0x64, 0x04});
    Append(&r, {0x1D, 0x56, 0x42, 0x00});  // feed and cut
    return r;
}

}  // namespace vpsim
