// report.h - the readable account vparallel-sim prints.
#pragma once

#include "scenario.h"

#include <ostream>
#include <string>
#include <vector>

namespace vpsim {

// One step, as it ends: number, outcome, action, status, time, and the detail on its own line.
void PrintStep(std::ostream &out, size_t number, const Step &step);

// Everything after the steps: the driver's debug messages, the device writes, the bytes received,
// the timing figures and the verifier's findings.
void PrintSummary(std::ostream &out, const Account &account, const std::vector<ksim::Violation> &violations,
                  bool real_time);

// "12 x 64, 1 x 13, 2 x 3" for the sizes of the writes the printer saw.
std::string WriteSizesText(const std::vector<WriteSize> &sizes);

}  // namespace vpsim
