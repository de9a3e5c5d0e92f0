// Cleanup time: closing an open port (cleanup, then close) with a model-class-3 printer whose
// read is outstanding, once with a printer that answers the status request cleanup sends and once
// with one that never answers. The design's own part of it is the fixed wait after the status
// request (5 ms, which on a clock with a tick lasts to the next tick); the counter close/status_wait
// says how much more the teardown takes.
#include "port_bench.h"

#include "port/port.h"

#include <thread>

namespace {

void BM_Cleanup(benchmark::State &state)
{
    const bool answers = state.range(0) != 0;
    const int64_t tick_us = state.range(1);
    std::vector<double> close_ms;
    {
        portbench::Rig rig(1, 3, tick_us);
        if (!rig.Ok()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        vpsim::SimPort &port = rig.Port(0);
        port.printer->SetNeverAnswer(!answers);
        for (auto _ : state) {
            if (!NT_SUCCESS(port.Open())) {
                state.SkipWithError("the open failed");
                break;
            }
            // Let the read thread put its read on the device, as on a port in use.
            auto limit = portbench::Clock::now() + std::chrono::milliseconds(200);
            while (port.printer->PendingReads() == 0 && portbench::Clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            auto t0 = portbench::Clock::now();
            port.Close();
            double seconds = portbench::Seconds(portbench::Clock::now() - t0);
            state.SetIterationTime(seconds);
            close_ms.push_back(seconds * 1e3);
            port.printer->ClearRecords();
        }
    }
    double sum = 0;
    for (double v : close_ms) sum += v;
    const double mean = close_ms.empty() ? 0 : sum / double(close_ms.size());
    state.counters["mean_ms"] = mean;
    state.counters["p50_ms"] = portbench::Percentile(close_ms, 0.5);
    state.counters["max_ms"] = portbench::Percentile(close_ms, 1.0);
    const double status_wait = portbench::EffectiveMs(VP_STATUS_REQUEST_DELAY_MS, tick_us);
    state.counters["status_wait_ms"] = status_wait;
    state.counters["close/status_wait"] = mean / status_wait;
    portbench::ReportViolations(state);
}
BENCHMARK(BM_Cleanup)
    ->ArgNames({"answers", "tick_us"})
    ->ArgsProduct({{1, 0}, {std::begin(portbench::kTicksUs), std::end(portbench::kTicksUs)}})
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond);

}  // namespace
