// ring_buffer_fuzz.cpp - libFuzzer target for the receive ring buffer against a model.
//
// Each input starts an empty ring at a chosen position (any position a ring reaches after
// traffic) and runs a script of stores, reads, resets and counts with chosen lengths, some of
// them larger than the ring. A double-ended queue is the model: a store keeps what fits and
// returns how much, a read returns the oldest bytes, a reset empties it, and the count always
// agrees. Every byte stored carries its position in the stream, so a byte read twice, skipped or
// taken from stale memory shows as a wrong value.
#include <ksim/ksim.h>

#include "buffers/ring_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

uint8_t StreamByte(unsigned long long position) { return uint8_t(position * 131 + (position >> 8) * 7 + 3); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 512) return 0;
    // One for the whole run (the ring needs pool), torn down at exit so that the pool it keeps
    // is released before LeakSanitizer looks.
    static ksim::Kernel kernel;
    (void)kernel;
    Input in(data, size);

    PRING_BUFFER ring = RxBufferAllocate();
    if (ring == nullptr) Fail("no ring");
    const ULONG start = in.Position();
    ring->ReadIndex = start;
    ring->WriteIndex = start;

    std::deque<uint8_t> model;
    unsigned long long produced = 0;
    std::vector<uint8_t> source, out;
    for (int step = 0; step < 64 && !in.Empty(); step++) {
        const uint8_t op = in.Byte();
        switch (op % 4) {
        case 0:
        case 1: {  // store
            const ULONG length = in.Length();
            source.resize(length);
            for (ULONG i = 0; i < length; i++) source[i] = StreamByte(produced + i);
            const ULONG stored = RxBufferWrite(ring, source.data(), length);
            const ULONG room = ULONG(RX_BUFFER_SIZE - 1 - model.size());
            if (stored != std::min(length, room)) Fail("store kept the wrong amount", stored, std::min(length, room));
            model.insert(model.end(), source.begin(), source.begin() + stored);
            // What did not fit is dropped; the stream continues after it.
            produced += length;
            break;
        }
        case 2: {  // read
            const ULONG length = in.Length();
            out.assign(length + 8, 0xA5);
            const ULONG taken = RxBufferRead(ring, out.data(), length);
            const ULONG expect = ULONG(std::min<size_t>(length, model.size()));
            if (taken != expect) Fail("read took the wrong amount", taken, expect);
            if (!std::equal(out.begin(), out.begin() + taken, model.begin())) Fail("read returned other bytes");
            if (!std::all_of(out.begin() + taken, out.end(), [](uint8_t b) { return b == 0xA5; }))
                Fail("read wrote past what it took");
            model.erase(model.begin(), model.begin() + taken);
            break;
        }
        case 3:
            if (op & 0x80) {
                RxBufferReset(ring);
                model.clear();
            }
            break;
        }
        if (RxBufferCount(ring) != model.size()) Fail("count differs from the model", RxBufferCount(ring), model.size());
        if (ring->ReadIndex >= RX_BUFFER_SIZE || ring->WriteIndex >= RX_BUFFER_SIZE)
            Fail("index out of range", ring->ReadIndex, ring->WriteIndex);
    }
    RxBufferFree(ring);
    return 0;
}
