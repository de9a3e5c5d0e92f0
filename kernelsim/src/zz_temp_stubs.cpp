// Temporary weak stand-ins for the I/O manager's start and end until its files land.
#include "core.h"

namespace ksim::detail {
__attribute__((weak)) void IoInitialize() {}
__attribute__((weak)) void IoShutdown() {}
__attribute__((weak)) size_t IoOutstandingIrps() { return 0; }
}  // namespace ksim::detail
