// sample_receipt.h - the job vparallel-sim prints when no file is named.
#pragma once

#include <cstdint>
#include <vector>

namespace vpsim {

// A shop receipt as an application sends it to a receipt printer: a reset, text lines with
// emphasis on and off, line feeds, and a paper cut at the end.
std::vector<uint8_t> SampleReceipt();

}  // namespace vpsim
