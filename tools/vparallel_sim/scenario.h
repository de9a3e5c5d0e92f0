// scenario.h - one print job through the driver, from DriverEntry to unload, on the simulated
// kernel, with an account of what happened. The caller owns the ksim::Kernel (real time for the
// program, the virtual clock for tests) and checks the verifier once the kernel is gone.
#pragma once

#include "demo_options.h"

#include <ksim/ksim.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vpsim {

// The printer's own four-byte status report, which it sends when a job has been printed.
extern const std::vector<uint8_t> kPrinterReport;
// The status request an application sends to ask the printer for its status byte.
extern const std::vector<uint8_t> kStatusRequest;

// Application writes carry at most this many bytes, so that a long job shows progress.
constexpr size_t kJobChunk = size_t(64) << 10;

// How long the application keeps the port open after its last reply before it closes it.
constexpr int64_t kIdleBeforeCloseMs = 20;

// How long a step may wait for the driver on the kernel clock before it counts as failed.
constexpr int64_t kReplyLimitMs = 2000;

struct Step {
    std::string port;    // empty for the driver-wide steps
    std::string action;  // what was done, as a reader would say it
    NTSTATUS status = STATUS_SUCCESS;
    bool ok = false;     // the status and every check on the result
    std::string detail;  // what came back, or what went wrong
    double ms = 0;       // on the kernel clock
};

struct WriteSize {
    size_t bytes;
    size_t count;
};

struct PortAccount {
    std::string name;
    std::string pdo;
    std::string device_id;
    size_t job_bytes = 0;
    size_t job_bytes_written = 0;       // as the write requests reported
    std::vector<WriteSize> write_sizes;  // every write the printer saw, grouped by size, in order
    size_t device_writes = 0;
    size_t status_requests = 0;
    std::vector<uint8_t> received;  // what the application read back
    ULONG stats_transmitted = 0;    // the driver's own counters (IOCTL_SERIAL_GET_STATS)
    ULONG stats_received = 0;
    ULONG event_mask = 0;
    double open_ms = -1;
    double job_ms = -1;
    double event_ms = -1;  // from the printer's report to the wait request's completion
    double close_ms = -1;
};

struct Account {
    std::vector<Step> steps;
    std::vector<std::string> debug_log;  // the driver's DbgPrint output, in order
    std::vector<PortAccount> ports;
    double total_ms = 0;
    bool StepsOk() const;
};

struct ScenarioHooks {
    std::function<void(const Step &)> on_step;                                             // as each ends
    std::function<void(const std::string &port, size_t done, size_t total)> on_progress;  // per job chunk
};

// Runs every step; a failed step skips what depends on it, but the port is still closed and
// the devices removed and the driver unloaded, so the kernel is left clean.
Account RunScenario(const DemoOptions &options, const std::vector<uint8_t> &job, const ScenarioHooks &hooks = {});

}  // namespace vpsim
