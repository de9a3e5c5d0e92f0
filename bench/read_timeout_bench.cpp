// Read time-outs on the real-time clock: a read with a total time-out (interval 0, multiplier 0,
// constant T) that nothing answers, from its issue to its completion with 0 bytes. The read-polling
// thread looks at the read at every poll, which comes at the next clock tick, so the read should end
// at the first tick at or after T: never before T, and less than a tick after it (plus the host's
// scheduling). The limits the counters are checked against are reported in the same run.
#include "port_bench.h"

#include <random>
#include <thread>

namespace {

void BM_ReadTotalTimeout(benchmark::State &state)
{
    const int64_t tick_us = state.range(0);
    const ULONG timeout_ms = ULONG(state.range(1));
    const double tick_ms = double(tick_us) / 1000.0;
    std::vector<double> took_ms;
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> offset_us(0, 15624);
    {
        portbench::Rig rig(1, 3, tick_us);
        if (!rig.Ok() || !rig.OpenAll()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        vpsim::SimPort &port = rig.Port(0);
        SERIAL_TIMEOUTS timeouts = {0, 0, timeout_ms, 0, 0};
        if (port.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status != STATUS_SUCCESS) {
            state.SkipWithError("the time-outs were refused");
            return;
        }
        for (auto _ : state) {
            // Applications read whenever they like, not in step with the clock's ticks.
            std::this_thread::sleep_for(std::chrono::microseconds(offset_us(random)));
            auto t0 = portbench::Clock::now();
            auto result = port.file->Read(64);
            double took = portbench::Seconds(portbench::Clock::now() - t0);
            state.SetIterationTime(took);
            if (result.status != STATUS_SUCCESS || !result.data.empty()) {
                state.SkipWithError("the read did not end empty");
                break;
            }
            took_ms.push_back(took * 1e3);
        }
    }
    const double lowest = took_ms.empty() ? 0 : *std::min_element(took_ms.begin(), took_ms.end());
    const double highest = portbench::Percentile(took_ms, 1.0);
    state.counters["timeout_ms"] = timeout_ms;
    state.counters["min_ms"] = lowest;
    state.counters["p50_ms"] = portbench::Percentile(took_ms, 0.50);
    state.counters["p99_ms"] = portbench::Percentile(took_ms, 0.99);
    state.counters["max_ms"] = highest;
    // The limits: not before the time-out, and within one tick after it (1 ms of slack without a
    // tick, for the 1 ms poll).
    state.counters["limit_lo_ms"] = timeout_ms;
    state.counters["limit_hi_ms"] = timeout_ms + (tick_us ? tick_ms : 1.0);
    state.counters["early"] = double(std::count_if(took_ms.begin(), took_ms.end(), [&](double v) { return v < timeout_ms; }));
    // Reads past the upper limit: the time the host took to run the woken threads, on top of the tick.
    const double upper = state.counters["limit_hi_ms"];
    state.counters["late"] = double(std::count_if(took_ms.begin(), took_ms.end(), [&](double v) { return v > upper; }));
    portbench::ReportViolations(state);
}
BENCHMARK(BM_ReadTotalTimeout)->ArgNames({"tick_us", "timeout_ms"})->Args({0, 10})->Args({1000, 10})->Args({15625, 10})
    ->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTotalTimeout)->ArgNames({"tick_us", "timeout_ms"})->Args({1000, 3000})->Args({15625, 3000})
    ->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
