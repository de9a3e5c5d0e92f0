// Receive ring throughput: a producer thread stores 512-byte replies, as the read thread does,
// while the benchmark thread reads them out, as the read paths do. Beside it, the same bytes moved
// by plain memcpy in one thread through a buffer of the same size: the limit the ring is held to.
#include <benchmark/benchmark.h>
#include <ksim/ksim.h>

#include "buffers/ring_buffer.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kReply = 512;
constexpr size_t kBytesPerRun = size_t(64) << 20;
constexpr size_t kReadChunk = 4096;

std::vector<uint8_t> ReplyBytes()
{
    std::vector<uint8_t> reply(kReply);
    for (size_t i = 0; i < kReply; i++) reply[i] = uint8_t(i * 31 + 7);
    return reply;
}

void BM_RingProducerConsumer(benchmark::State &state)
{
    ksim::Options options;
    options.clock = ksim::ClockMode::RealTime;
    ksim::Kernel kernel(options);
    PRING_BUFFER ring = RxBufferAllocate();
    auto reply = ReplyBytes();
    std::vector<uint8_t> out(kReadChunk);

    for (auto _ : state) {
        std::thread producer([&] {
            size_t sent = 0;
            while (sent < kBytesPerRun) {
                size_t offset = sent % kReply;
                ULONG stored = RxBufferWrite(ring, reply.data() + offset, ULONG(kReply - offset));
                if (stored == 0) std::this_thread::yield();
                sent += stored;
            }
        });
        size_t received = 0;
        while (received < kBytesPerRun) {
            ULONG got = RxBufferRead(ring, out.data(), ULONG(out.size()));
            if (got == 0) std::this_thread::yield();
            received += got;
        }
        producer.join();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytesPerRun));
    RxBufferFree(ring);
}
BENCHMARK(BM_RingProducerConsumer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The ring's own cost without the second thread: the same replies stored and read back in turn by
// one thread, so scheduling and cache-line traffic between processors play no part.
void BM_RingOneThread(benchmark::State &state)
{
    ksim::Options options;
    options.clock = ksim::ClockMode::RealTime;
    ksim::Kernel kernel(options);
    PRING_BUFFER ring = RxBufferAllocate();
    auto reply = ReplyBytes();
    std::vector<uint8_t> out(kReadChunk);

    for (auto _ : state) {
        size_t moved = 0;
        while (moved < kBytesPerRun) {
            moved += RxBufferWrite(ring, reply.data(), ULONG(kReply));
            if (moved % kReadChunk == 0) RxBufferRead(ring, out.data(), ULONG(out.size()));
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytesPerRun));
    RxBufferFree(ring);
}
BENCHMARK(BM_RingOneThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The same replies copied into a 262,145-byte circle and out again in 4 KiB pieces, one thread.
void BM_MemcpySameBytes(benchmark::State &state)
{
    std::vector<uint8_t> storage(RX_BUFFER_SIZE);
    auto reply = ReplyBytes();
    std::vector<uint8_t> out(kReadChunk);

    for (auto _ : state) {
        size_t write_at = 0, read_at = 0, moved = 0;
        while (moved < kBytesPerRun) {
            size_t first = std::min(kReply, storage.size() - write_at);
            std::memcpy(&storage[write_at], reply.data(), first);
            std::memcpy(&storage[0], reply.data() + first, kReply - first);
            write_at = (write_at + kReply) % storage.size();
            moved += kReply;
            if (moved % kReadChunk == 0) {
                size_t part = std::min(kReadChunk, storage.size() - read_at);
                std::memcpy(out.data(), &storage[read_at], part);
                std::memcpy(out.data() + part, &storage[0], kReadChunk - part);
                read_at = (read_at + kReadChunk) % storage.size();
                benchmark::ClobberMemory();
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytesPerRun));
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
