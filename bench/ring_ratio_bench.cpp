// The receive ring beside its limit in one run: in every iteration, 64 MiB go through the ring from
// a producer thread storing 512-byte replies (as the read thread does) to the benchmark thread
// reading 4 KiB at a time (as the read paths do), and the same bytes are moved by memcpy through a
// circle of the ring's size in one thread. The counter ring/memcpy is the ring's share of memcpy's
// throughput.
#include <benchmark/benchmark.h>
#include <ksim/ksim.h>

#include "buffers/ring_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReply = 512;
constexpr size_t kChunk = 4096;
constexpr size_t kBytes = size_t(64) << 20;

double RingOnce(PRING_BUFFER ring, const std::vector<uint8_t> &reply, std::vector<uint8_t> &out)
{
    auto t0 = Clock::now();
    std::thread producer([&] {
        size_t sent = 0;
        while (sent < kBytes) {
            // A partial store leaves the rest of the reply for the next call.
            size_t offset = sent % kReply;
            ULONG stored = RxBufferWrite(ring, reply.data() + offset, ULONG(kReply - offset));
            if (stored == 0) std::this_thread::yield();
            sent += stored;
        }
    });
    size_t received = 0;
    while (received < kBytes) {
        ULONG got = RxBufferRead(ring, out.data(), ULONG(out.size()));
        if (got == 0) std::this_thread::yield();
        received += got;
    }
    producer.join();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double MemcpyOnce(std::vector<uint8_t> &storage, const std::vector<uint8_t> &reply, std::vector<uint8_t> &out)
{
    auto t0 = Clock::now();
    size_t write_at = 0, read_at = 0, moved = 0;
    while (moved < kBytes) {
        size_t first = std::min(kReply, storage.size() - write_at);
        std::memcpy(&storage[write_at], reply.data(), first);
        std::memcpy(&storage[0], reply.data() + first, kReply - first);
        write_at = (write_at + kReply) % storage.size();
        moved += kReply;
        if (moved % kChunk == 0) {
            size_t part = std::min(kChunk, storage.size() - read_at);
            std::memcpy(out.data(), &storage[read_at], part);
            std::memcpy(out.data() + part, &storage[0], kChunk - part);
            read_at = (read_at + kChunk) % storage.size();
            benchmark::ClobberMemory();
        }
    }
    benchmark::DoNotOptimize(out.data());
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_RingAgainstMemcpy(benchmark::State &state)
{
    ksim::Options options;
    options.clock = ksim::ClockMode::RealTime;
    ksim::Kernel kernel(options);
    PRING_BUFFER ring = RxBufferAllocate();
    std::vector<uint8_t> reply(kReply), out(kChunk), storage(RX_BUFFER_SIZE);
    for (size_t i = 0; i < kReply; i++) reply[i] = uint8_t(i * 31 + 7);
    double ring_s = 0, memcpy_s = 0;
    for (auto _ : state) {
        double r = RingOnce(ring, reply, out);
        double m = MemcpyOnce(storage, reply, out);
        state.SetIterationTime(r);
        ring_s += r;
        memcpy_s += m;
    }
    RxBufferFree(ring);
    const double gib = double(kBytes) * double(state.iterations()) / double(1 << 30);
    state.counters["ring_GiB/s"] = gib / ring_s;
    state.counters["memcpy_GiB/s"] = gib / memcpy_s;
    state.counters["ring/memcpy"] = memcpy_s / ring_s;
    state.SetBytesProcessed(int64_t(kBytes) * int64_t(state.iterations()));
}
BENCHMARK(BM_RingAgainstMemcpy)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
