// ring_buffer_fuzz.cpp - libFuzzer target for the receive ring buffer against a model.
//
// Each input starts an empty ring at a chosen position (any position a ring reaches after
// traffic) and runs a script of stores, reads, resets and counts with chosen lengths, some of
// them larger than the ring. The model is the stream itself: every byte stored is the byte of a
// fixed pseudo-random stream at its position, and the model keeps which stretches of the stream
// the ring should hold. A store keeps what fits and returns how much, a read returns the oldest
// bytes, a reset empties it, and the count always agrees. A byte read twice, skipped or taken
// from stale memory shows as a wrong value.
//
// The stream is one table, long enough that any transfer is a contiguous slice of it: stores
// pass the slice itself and reads compare with memcmp. Copying and comparing byte by byte in the
// harness cost more than the ring did (every comparison is traced for the fuzzer).
#include <ksim/ksim.h>

#include "buffers/ring_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void Fail(const char *what, unsigned long long a = 0, unsigned long long b = 0)
{
    std::fprintf(stderr, "ring fuzz: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    ULONG Length()
    {
        // Mostly short transfers, sometimes ones that reach across the end or fill the ring.
        const uint8_t kind = Byte();
        const ULONG value = ULONG(Byte()) << 8 | Byte();
        switch (kind % 4) {
        case 0: return value % 80;
        case 1: return value % 4096;
        case 2: return ULONG(value) * 5;  // up to about 327,000: more than the ring holds
        default: return RX_BUFFER_SIZE - 1 - value % 3;
        }
    }
    ULONG Position()
    {
        ULONG v = 0;
        for (int i = 0; i < 3; i++) v = v << 8 | Byte();
        // Positions near the end come up more often: that is where the copies split.
        return (v & 1) ? RX_BUFFER_SIZE - 1 - (v >> 1) % 300 : v % RX_BUFFER_SIZE;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// The stream repeats after kPeriod bytes, a prime far above what the ring holds, so the bytes the
// ring holds at once never repeat a stretch of each other, and a byte from the wrong place matches
// only by chance (one in 256; a misplaced stretch, never).
constexpr size_t kPeriod = 1048573;
constexpr size_t kLongest = 327680;  // above any length Input::Length returns

const uint8_t *Stream()
{
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> bytes(kPeriod + kLongest);
        uint32_t state = 0x9E3779B9u;
        for (auto &b : bytes) {
            state = state * 1664525u + 1013904223u;
            b = uint8_t(state >> 24);
        }
        std::copy(bytes.begin(), bytes.begin() + kLongest, bytes.begin() + kPeriod);
        return bytes;
    }();
    return table.data();
}

const uint8_t *StreamAt(unsigned long long position) { return Stream() + position % kPeriod; }

// Stretches of the stream the ring should hold, oldest first.
struct Model {
    struct Stretch {
        unsigned long long start;
        ULONG length;
    };
    std::deque<Stretch> stretches;
    size_t held = 0;

    void Append(unsigned long long start, ULONG length)
    {
        if (length == 0) return;
        stretches.push_back({start, length});
        held += length;
    }
    // Checks that `bytes` are the oldest `count` bytes held, and forgets them.
    bool Take(const uint8_t *bytes, ULONG count)
    {
        while (count > 0) {
            Stretch &oldest = stretches.front();
            const ULONG n = std::min(count, oldest.length);
            if (std::memcmp(bytes, StreamAt(oldest.start), n) != 0) return false;
            bytes += n;
            count -= n;
            held -= n;
            oldest.start += n;
            oldest.length -= n;
            if (oldest.length == 0) stretches.pop_front();
        }
        return true;
    }
    void Clear()
    {
        stretches.clear();
        held = 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 512) return 0;
    // One for the whole run (the ring needs pool), torn down at exit so that the pool it keeps
    // is released before LeakSanitizer looks.
    static ksim::Kernel kernel;
    (void)kernel;
    // What a read must leave untouched past what it took.
    static const std::vector<uint8_t> untouched(kLongest + 8, 0xA5);
    static std::vector<uint8_t> out(kLongest + 8);
    Input in(data, size);

    PRING_BUFFER ring = RxBufferAllocate();
    if (ring == nullptr) Fail("no ring");
    const ULONG start = in.Position();
    ring->ReadIndex = start;
    ring->WriteIndex = start;

    Model model;
    unsigned long long produced = 0;
    for (int step = 0; step < 64 && !in.Empty(); step++) {
        const uint8_t op = in.Byte();
        switch (op % 4) {
        case 0:
        case 1: {  // store
            const ULONG length = in.Length();
            const ULONG stored = RxBufferWrite(ring, StreamAt(produced), length);
            const ULONG room = ULONG(RX_BUFFER_SIZE - 1 - model.held);
            if (stored != std::min(length, room)) Fail("store kept the wrong amount", stored, std::min(length, room));
            model.Append(produced, stored);
            // What did not fit is dropped; the stream continues after it.
            produced += length;
            break;
        }
        case 2: {  // read
            const ULONG length = in.Length();
            std::memset(out.data(), 0xA5, length + 8);
            const ULONG taken = RxBufferRead(ring, out.data(), length);
            const ULONG expect = ULONG(std::min<size_t>(length, model.held));
            if (taken != expect) Fail("read took the wrong amount", taken, expect);
            if (!model.Take(out.data(), taken)) Fail("read returned other bytes");
            if (std::memcmp(out.data() + taken, untouched.data(), length + 8 - taken) != 0)
                Fail("read wrote past what it took");
            break;
        }
        case 3:
            if (op & 0x80) {
                RxBufferReset(ring);
                model.Clear();
            }
            break;
        }
        if (RxBufferCount(ring) != model.held) Fail("count differs from the model", RxBufferCount(ring), model.held);
        if (ring->ReadIndex >= RX_BUFFER_SIZE || ring->WriteIndex >= RX_BUFFER_SIZE)
            Fail("index out of range", ring->ReadIndex, ring->WriteIndex);
    }
    RxBufferFree(ring);
    return 0;
}
