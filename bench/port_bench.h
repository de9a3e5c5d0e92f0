// port_bench.h - what the port benchmarks share: a real-time kernel with the driver loaded and
// ports added, started and linked to simulated printers, as vparallel-sim sets them up; order
// statistics; process CPU time.
#pragma once

#include <benchmark/benchmark.h>
#include <ksim/ksim.h>

#include "demo_options.h"
#include "driver/vparallel.h"
#include "sim_port.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace portbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The value below which `fraction` of the samples lie (nearest rank).
inline double Percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = size_t(fraction * double(samples.size()));
    return samples[std::min(rank, samples.size() - 1)];
}

// The benchmarks that depend on the clock run with each of these clock ticks (in microseconds,
// their argument tick_us): 0, timed waits end at their deadlines; 1,000, a Windows machine on which
// some program has raised the timer resolution to 1 ms; 15,625, Windows' default.
constexpr int64_t kTicksUs[] = {0, 1000, 15625};

// What a period of `ms` milliseconds becomes on a clock with that tick: the next tick at or after it.
inline double EffectiveMs(double ms, int64_t tick_us)
{
    if (tick_us == 0) return ms;
    const double tick_ms = double(tick_us) / 1000.0;
    return tick_ms * double(int64_t((ms + tick_ms - 1e-9) / tick_ms));
}

// The driver loaded (its start-up key poll takes a second of real time) and `ports` ports ready to
// open, on the real-time clock with the given tick. Teardown closes, removes and unloads, and the
// verifier's findings are counted.
class Rig {
public:
    explicit Rig(int ports, int model_class = 3, int64_t tick_us = 0) : kernel_(RealTime(tick_us))
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        ok_ = driver_ != nullptr && NT_SUCCESS(status);
        for (int i = 0; ok_ && i < ports; i++) {
            ports_.push_back(std::make_unique<vpsim::SimPort>(vpsim::NthPortName("LPT3", i), model_class, i));
            vpsim::SimPort &port = *ports_.back();
            ok_ = NT_SUCCESS(port.AddDevice(*driver_)) && NT_SUCCESS(port.Pnp(IRP_MN_START_DEVICE));
            port.Link();
        }
    }
    ~Rig()
    {
        for (auto &port : ports_) {
            port->Close();
            port->Pnp(IRP_MN_REMOVE_DEVICE);
        }
        if (driver_) driver_->Unload();
        ports_.clear();
        driver_.reset();
    }
    bool Ok() const { return ok_; }
    vpsim::SimPort &Port(size_t i) { return *ports_[i]; }
    bool OpenAll()
    {
        for (auto &port : ports_)
            if (!NT_SUCCESS(port->Open())) return false;
        return true;
    }

private:
    static ksim::Options RealTime(int64_t tick_us)
    {
        ksim::Options options;
        options.clock = ksim::ClockMode::RealTime;
        options.clock_tick = tick_us * 10;
        return options;
    }
    ksim::Kernel kernel_;
    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<vpsim::SimPort>> ports_;
    bool ok_ = false;
};

// Reports what the verifier found during the benchmark (after its kernel has gone).
inline void ReportViolations(benchmark::State &state)
{
    auto violations = ksim::Violations();
    state.counters["violations"] = double(violations.size());
    if (!violations.empty()) state.SkipWithError(("verifier: " + violations.front().rule + ": " + violations.front().detail).c_str());
}

}  // namespace portbench
