// report.cpp - the account of a run, as plain text.
#include "report.h"

#include "sim_port.h"

#include <cstdio>

namespace vpsim {
namespace {

std::string Ms(double ms)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f ms", ms);
    return text;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    for (uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%s%02X", text.empty() ? "" : " ", b);
        text += hex;
    }
    return text;
}

std::string TrimEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string Throughput(size_t bytes, double ms)
{
    if (ms <= 0) return "no measurable time on this clock";
    char text[48];
    std::snprintf(text, sizeof(text), "%.1f KiB/s", double(bytes) / 1024.0 / (ms / 1000.0));
    return text;
}

}  // namespace

std::string WriteSizesText(const std::vector<WriteSize> &sizes)
{
    std::string text;
    for (const auto &s : sizes) {
        if (!text.empty()) text += ", ";
        text += std::to_string(s.count) + " x " + std::to_string(s.bytes);
    }
    return text.empty() ? "none" : text;
}

void PrintStep(std::ostream &out, size_t number, const Step &step)
{
    std::string action = step.port.empty() ? step.action : step.port + ": " + step.action;
    char line[256];
    std::snprintf(line, sizeof(line), "%3zu. %-6s %-62s %-22s %10s", number, step.ok ? "ok" : "FAILED", action.c_str(),
                  StatusName(step.status).c_str(), Ms(step.ms).c_str());
    out << line << "\n";
    if (!step.detail.empty()) out << "            " << step.detail << "\n";
    out.flush();
}

void PrintSummary(std::ostream &out, const Account &account, const std::vector<ksim::Violation> &violations,
                  bool real_time)
{
    out << "\nDriver debug messages, in order (" << account.debug_log.size() << "):\n";
    for (const auto &message : account.debug_log) out << "  | " << TrimEnd(message) << "\n";

    for (const auto &port : account.ports) {
        out << "\nPort " << port.name << " (" << port.pdo << ", printer USB " << port.device_id << "):\n";
        out << "  device writes:  " << port.device_writes << " (bytes each: " << WriteSizesText(port.write_sizes)
            << "), of which " << port.status_requests << " status request(s)\n";
        out << "  job:            " << port.job_bytes << " bytes, " << port.job_bytes_written
            << " reported written\n";
        out << "  bytes received: " << port.received.size();
        if (!port.received.empty()) out << " (" << Hex(port.received) << ")";
        out << "\n";
        out << "  driver counters (IOCTL_SERIAL_GET_STATS): " << port.stats_transmitted << " bytes transmitted, "
            << port.stats_received << " received\n";
        out << "  timing:         ";
        out << "open " << (port.open_ms >= 0 ? Ms(port.open_ms) : "-");
        out << "; job " << (port.job_ms >= 0 ? Ms(port.job_ms) + " (" + Throughput(port.job_bytes_written, port.job_ms) + ")" : "-");
        out << "; report to SERIAL_EV_RXCHAR " << (port.event_ms >= 0 ? Ms(port.event_ms) : "-");
        out << "; close " << (port.close_ms >= 0 ? Ms(port.close_ms) : "-") << "\n";
    }

    out << "\nWhole run: " << Ms(account.total_ms) << " on the " << (real_time ? "real-time" : "virtual")
        << " kernel clock";
    if (!account.steps.empty()) out << " (driver load " << Ms(account.steps.front().ms) << ", its start-up key poll)";
    out << "\n";

    if (violations.empty()) {
        out << "Verifier: no violations\n";
    } else {
        out << "Verifier: " << violations.size() << " violation(s):\n";
        for (const auto &v : violations) out << "  " << v.rule << ": " << v.detail << "\n";
    }
    const bool ok = account.StepsOk() && violations.empty();
    out << "Result: " << (ok ? "every step succeeded" : "FAILED") << "\n";
    out.flush();
}

}  // namespace vpsim
