// Idle cost of open ports: the process's CPU time per second of wall time while N ports are open
// and nothing happens, so all of it is the three workers' polling (two every 1 ms, one every
// 10 ms per port; on a clock with a tick, every wait lasts to the next tick). Beside it, measured the
// same way in the same run: 3N bare host threads that do nothing but wait with the same effective
// periods - the least any design polling at these rates can cost.
#include "port_bench.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr auto kWindow = std::chrono::seconds(2);

// CPU seconds the process used during `window` of wall time, per wall second.
double CpuPerWallSecond(std::chrono::seconds window)
{
    double cpu0 = portbench::ProcessCpuSeconds();
    auto t0 = portbench::Clock::now();
    std::this_thread::sleep_for(window);
    double wall = portbench::Seconds(portbench::Clock::now() - t0);
    return (portbench::ProcessCpuSeconds() - cpu0) / wall;
}

// Bare pollers: each waits on its own condition variable with a time-out of its period, as the
// workers wait on their exit events.
double BarePollingCost(int ports, int64_t tick_us)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < ports; p++) {
        for (double period_ms : {10.0, 1.0, 1.0}) {
            auto period = std::chrono::microseconds(int64_t(portbench::EffectiveMs(period_ms, tick_us) * 1000));
            threads.emplace_back([&stop, period] {
                std::mutex m;
                std::condition_variable cv;
                std::unique_lock<std::mutex> lock(m);
                while (!stop.load()) cv.wait_for(lock, period);
            });
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double cost = CpuPerWallSecond(kWindow);
    stop = true;
    for (auto &t : threads) t.join();
    return cost;
}

void BM_IdleCost(benchmark::State &state)
{
    const int ports = int(state.range(0));
    const int64_t tick_us = state.range(1);
    double driver_cost = 0, bare_cost = 0;
    {
        portbench::Rig rig(ports, 3, tick_us);
        if (!rig.Ok() || !rig.OpenAll()) {
            state.SkipWithError("the ports did not come up");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // workers into their loops
        for (auto _ : state) {
            driver_cost = CpuPerWallSecond(kWindow);
            state.SetIterationTime(driver_cost);
        }
    }
    bare_cost = BarePollingCost(ports, tick_us);
    state.counters["cpu_ms_per_s"] = driver_cost * 1e3;
    state.counters["bare_cpu_ms_per_s"] = bare_cost * 1e3;
    state.counters["driver/bare"] = bare_cost > 0 ? driver_cost / bare_cost : 0;
    portbench::ReportViolations(state);
}
BENCHMARK(BM_IdleCost)
    ->ArgNames({"ports", "tick_us"})
    ->ArgsProduct({{1, 4}, {std::begin(portbench::kTicksUs), std::end(portbench::kTicksUs)}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
