// The receive ring buffer: its boundaries, a long randomized run against a plain model, and one
// producer and one consumer on real threads.
#include "common/kernel_test.h"

#include "buffers/ring_buffer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr ULONG kCapacity = RX_BUFFER_SIZE - 1;  // 262,144

// The byte at a given offset of an endless test stream; any misplaced, repeated or stale byte
// shows up as a mismatch.
uint8_t StreamByte(uint64_t offset)
{
    return static_cast<uint8_t>((offset * 0x9E3779B97F4A7C15ULL) >> 56);
}

std::vector<uint8_t> StreamBytes(uint64_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = StreamByte(offset + i);
    return bytes;
}

class RingBufferTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ring_ = RxBufferAllocate();
        ASSERT_NE(ring_, nullptr);
    }
    void TearDown() override
    {
        if (ring_ != nullptr) RxBufferFree(ring_);
        KernelTest::TearDown();
    }
    // Puts the (empty) ring at a given position, as earlier traffic would have left it.
    void PlaceAt(ULONG read_index, ULONG write_index)
    {
        ring_->ReadIndex = read_index;
        ring_->WriteIndex = write_index;
    }
    std::vector<uint8_t> ReadOut(ULONG length)
    {
        std::vector<uint8_t> out(length);
        out.resize(RxBufferRead(ring_, out.data(), length));
        return out;
    }
    PRING_BUFFER ring_ = nullptr;
};

TEST_F(RingBufferTest, ComesFromNonPagedNoExecutePoolWithItsTagAndGoesBack)
{
    auto pool = ksim::OutstandingPool();
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_EQ(pool[0].address, ring_);
    EXPECT_EQ(pool[0].type, NonPagedPoolNx);
    EXPECT_EQ(pool[0].size, sizeof(RING_BUFFER));
    EXPECT_EQ(ksim::TagText(pool[0].tag), "QW01");
    EXPECT_EQ(ring_->ReadIndex, 0u);
    EXPECT_EQ(ring_->WriteIndex, 0u);

    RxBufferFree(ring_);
    ring_ = nullptr;
    EXPECT_TRUE(ksim::OutstandingPool().empty());
}

TEST_F(RingBufferTest, AllocationFailureYieldsNull)
{
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RxBufferAllocate(), nullptr);
    EXPECT_EQ(ksim::OutstandingPool().size(), 1u);  // only the fixture's ring
}

TEST_F(RingBufferTest, NewRingIsEmptyAndReadsNothing)
{
    EXPECT_EQ(RxBufferCount(ring_), 0u);
    uint8_t byte = 0x5A;
    for (ULONG length : {0u, 1u, 512u, kCapacity + 10}) {
        std::vector<uint8_t> out(length + 1, 0x5A);
        EXPECT_EQ(RxBufferRead(ring_, out.data(), length), 0u) << length;
        EXPECT_EQ(out[0], 0x5A);
    }
    EXPECT_EQ(RxBufferRead(ring_, &byte, 1), 0u);
    EXPECT_EQ(ring_->ReadIndex, 0u);
    EXPECT_EQ(ring_->WriteIndex, 0u);
}

TEST_F(RingBufferTest, HoldsOneByteLessThanItsStorage)
{
    auto data = StreamBytes(0, RX_BUFFER_SIZE);
    EXPECT_EQ(RxBufferWrite(ring_, data.data(), RX_BUFFER_SIZE), kCapacity);
    EXPECT_EQ(RxBufferCount(ring_), kCapacity);
    EXPECT_EQ(ring_->WriteIndex, kCapacity);
    for (ULONG length : {1u, 512u}) EXPECT_EQ(RxBufferWrite(ring_, data.data(), length), 0u);

    auto out = ReadOut(RX_BUFFER_SIZE);
    ASSERT_EQ(out.size(), kCapacity);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    EXPECT_EQ(RxBufferCount(ring_), 0u);
}

TEST_F(RingBufferTest, ReplyWrapsAroundTheEndOfStorage)
{
    PlaceAt(262000, 262000);
    auto reply = StreamBytes(7, 512);
    EXPECT_EQ(RxBufferWrite(ring_, reply.data(), 512), 512u);
    EXPECT_EQ(ring_->WriteIndex, 367u);
    EXPECT_EQ(RxBufferCount(ring_), 512u);
    // 145 bytes up to the last position, the other 367 from position 0.
    EXPECT_TRUE(std::equal(reply.begin(), reply.begin() + 145, &ring_->Data[262000]));
    EXPECT_TRUE(std::equal(reply.begin() + 145, reply.end(), &ring_->Data[0]));

    auto out = ReadOut(600);
    EXPECT_EQ(out, reply);
    EXPECT_EQ(ring_->ReadIndex, 367u);
    EXPECT_EQ(RxBufferCount(ring_), 0u);
}

TEST_F(RingBufferTest, WriteStopsShortOfReadIndexZeroAtTheEnd)
{
    PlaceAt(0, 262100);
    auto data = StreamBytes(0, 100);
    EXPECT_EQ(RxBufferWrite(ring_, data.data(), 100), 44u);
    EXPECT_EQ(ring_->WriteIndex, kCapacity);
    EXPECT_EQ(RxBufferCount(ring_), kCapacity);
    EXPECT_EQ(RxBufferWrite(ring_, data.data(), 1), 0u);
}

// Each row: where the indices stand, what is written, what must be stored and where the write
// index ends up.
struct WriteCase {
    const char *name;
    ULONG read_index, write_index, length, stored, write_index_after;
};

TEST_F(RingBufferTest, WriteBoundaries)
{
    const WriteCase cases[] = {
        {"full just behind the reader", 10, 9, 512, 0, 9},
        {"one free position before the reader", 10, 8, 512, 1, 9},
        {"gap before the reader", 1000, 100, 2000, 899, 999},
        {"ends exactly at the end, reader ahead", 5, 262100, 45, 45, 0},
        {"one short of the end", 5, 262100, 44, 44, 262144},
        {"wraps and stops behind the reader", 5, 262100, 100, 49, 4},
        {"reader at 1: wraps onto nothing", 1, 262100, 100, 45, 0},
        {"empty at the last position", 262144, 262144, 3, 3, 2},
        {"zero length", 7, 3, 0, 0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PlaceAt(c.read_index, c.write_index);
        auto data = StreamBytes(c.write_index, c.length);
        ULONG before = RxBufferCount(ring_);
        EXPECT_EQ(RxBufferWrite(ring_, data.data(), c.length), c.stored);
        EXPECT_EQ(ring_->WriteIndex, c.write_index_after);
        EXPECT_EQ(ring_->ReadIndex, c.read_index);
        EXPECT_EQ(RxBufferCount(ring_), before + c.stored);
        for (ULONG i = 0; i < c.stored; i++) {
            ASSERT_EQ(ring_->Data[(c.write_index + i) % RX_BUFFER_SIZE], data[i]) << i;
        }
    }
}

struct ReadCase {
    const char *name;
    ULONG read_index, write_index, length, taken, read_index_after;
};

TEST_F(RingBufferTest, ReadBoundaries)
{
    const ReadCase cases[] = {
        {"ends exactly at the end of storage", 262100, 10, 45, 45, 0},
        {"ends exactly at the end, nothing after", 262100, 0, 500, 45, 0},
        {"wraps and takes what follows", 262100, 10, 100, 55, 10},
        {"wraps, limited by the length", 262100, 10, 50, 50, 5},
        {"stops short of the end", 262100, 10, 44, 44, 262144},
        {"plain, limited by what is held", 100, 300, 1000, 200, 300},
        {"plain, limited by the length", 100, 300, 50, 50, 150},
        {"zero length", 100, 300, 0, 0, 100},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PlaceAt(c.read_index, c.write_index);
        for (ULONG i = 0; i < RX_BUFFER_SIZE; i++) ring_->Data[i] = StreamByte(i);
        auto out = ReadOut(c.length);
        ASSERT_EQ(out.size(), c.taken);
        EXPECT_EQ(ring_->ReadIndex, c.read_index_after);
        EXPECT_EQ(ring_->WriteIndex, c.write_index);
        for (ULONG i = 0; i < c.taken; i++) {
            ASSERT_EQ(out[i], StreamByte((c.read_index + i) % RX_BUFFER_SIZE)) << i;
        }
    }
}

TEST_F(RingBufferTest, CountOverEveryIndexArrangement)
{
    const struct {
        ULONG read_index, write_index, count;
    } cases[] = {
        {0, 0, 0},           {262144, 262144, 0}, {0, 262144, kCapacity}, {1, 0, kCapacity},
        {262144, 0, 1},      {262000, 367, 512},  {10, 9, kCapacity},     {9, 10, 1},
        {131072, 65536, 196609},
    };
    for (const auto &c : cases) {
        PlaceAt(c.read_index, c.write_index);
        EXPECT_EQ(RxBufferCount(ring_), c.count) << c.read_index << " " << c.write_index;
    }
}

TEST_F(RingBufferTest, ResetEmptiesWhateverTheIndicesWere)
{
    const std::pair<ULONG, ULONG> positions[] = {{0, 0}, {0, 262144}, {262000, 367}, {10, 9}, {5, 6}};
    for (auto [read_index, write_index] : positions) {
        PlaceAt(read_index, write_index);
        RxBufferReset(ring_);
        EXPECT_EQ(RxBufferCount(ring_), 0u) << read_index << " " << write_index;
        EXPECT_EQ(ReadOut(10).size(), 0u);
        // Still a working ring afterwards: a full capacity goes in and comes out intact.
        auto data = StreamBytes(read_index, kCapacity + 1);
        EXPECT_EQ(RxBufferWrite(ring_, data.data(), kCapacity + 1), kCapacity);
        auto out = ReadOut(kCapacity + 1);
        ASSERT_EQ(out.size(), kCapacity);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    }
}

TEST_F(RingBufferTest, OperationsRestoreTheCallersIrql)
{
    uint8_t bytes[16] = {};
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        KIRQL old;
        KeRaiseIrql(start, &old);
        RxBufferWrite(ring_, bytes, sizeof bytes);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        RxBufferCount(ring_);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        RxBufferRead(ring_, bytes, sizeof bytes);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        RxBufferReset(ring_);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        KeLowerIrql(old);
    }
}

// Random writes, reads and purges of random lengths against a plain byte queue, from several
// starting positions, in phases that alternately fill and drain the ring.
TEST_F(RingBufferTest, MatchesAModelOverManyRandomSteps)
{
    const ULONG starts[] = {0, 1, 131072, 262000, 262144};
    for (ULONG start : starts) {
        SCOPED_TRACE(start);
        PlaceAt(start, start);
        std::mt19937_64 rng(start + 1);
        std::deque<uint8_t> model;
        uint64_t offset = 0;
        std::vector<uint8_t> out;
        for (int step = 0; step < 8000; step++) {
            bool filling = (step / 400) % 2 == 0;
            unsigned roll = rng() % 100;
            ULONG length = rng() % 100 == 0 ? ULONG(rng() % (2 * RX_BUFFER_SIZE)) : ULONG(rng() % 1500);
            if (roll < (filling ? 75u : 25u)) {
                auto data = StreamBytes(offset, length);
                ULONG expected = std::min<ULONG>(length, kCapacity - ULONG(model.size()));
                ASSERT_EQ(RxBufferWrite(ring_, data.data(), length), expected) << "step " << step;
                model.insert(model.end(), data.begin(), data.begin() + expected);
                offset += length;
            } else if (roll < 99) {
                out.assign(length, 0);
                ULONG expected = std::min<ULONG>(length, ULONG(model.size()));
                ASSERT_EQ(RxBufferRead(ring_, out.data(), length), expected) << "step " << step;
                ASSERT_TRUE(std::equal(out.begin(), out.begin() + expected, model.begin())) << "step " << step;
                model.erase(model.begin(), model.begin() + expected);
            } else {
                RxBufferReset(ring_);
                model.clear();
            }
            ASSERT_EQ(RxBufferCount(ring_), model.size()) << "step " << step;
            ASSERT_LT(ring_->ReadIndex, RX_BUFFER_SIZE);
            ASSERT_LT(ring_->WriteIndex, RX_BUFFER_SIZE);
        }
    }
}

// ---- A purge that lands in the middle of a write ----------------------------------------------
//
// The reply's source bytes lie partly on a page with no access, so the copy inside RxBufferWrite
// faults after the ring's indices have been read; the fault handler purges the ring right then, as
// a purge on another processor would, opens the page and lets the copy go on. Whatever can be read
// afterwards must be the tail end of that reply and nothing older.

PRING_BUFFER g_purge_ring = nullptr;
uint8_t *g_locked_page = nullptr;
size_t g_page_size = 0;
int g_purges_in_write = 0;
KIRQL g_irql_in_write = PASSIVE_LEVEL;

void PurgeOnFault(int, siginfo_t *info, void *)
{
    auto *address = static_cast<uint8_t *>(info->si_addr);
    if (address < g_locked_page || address >= g_locked_page + g_page_size) abort();
    g_irql_in_write = KeGetCurrentIrql();
    RxBufferReset(g_purge_ring);
    g_purges_in_write++;
    mprotect(g_locked_page, g_page_size, PROT_READ | PROT_WRITE);
}

TEST_F(RingBufferTest, PurgeLandingInsideAWriteDiscardsOnlyWhatCameBefore)
{
    const struct {
        const char *name;
        ULONG read_index, write_index;  // before the write
        ULONG readable_bytes;           // of the reply, before the purge lands
    } cases[] = {
        {"purge before the first byte is copied", 1000, 1000, 0},
        {"purge in the middle of the copy", 1000, 1000, 100},
        {"wrapping write, purge in the first part", 262000, 262000, 50},
        {"wrapping write, purge in the part from position 0", 262000, 262000, 300},
        {"unread bytes wrapped round, purge in the copy", 5000, 100, 10},
    };
    g_page_size = size_t(sysconf(_SC_PAGESIZE));
    void *pages = mmap(nullptr, 2 * g_page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    g_locked_page = static_cast<uint8_t *>(pages) + g_page_size;
    g_purge_ring = ring_;
    struct sigaction handler = {}, previous = {};
    handler.sa_sigaction = PurgeOnFault;
    handler.sa_flags = SA_SIGINFO;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &handler, &previous), 0);

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PlaceAt(c.read_index, c.write_index);
        for (ULONG i = 0; i < RX_BUFFER_SIZE; i++) ring_->Data[i] = 0xEE;  // what came before
        uint8_t *reply = g_locked_page - c.readable_bytes;
        auto expected = StreamBytes(1, 512);
        std::copy(expected.begin(), expected.end(), reply);
        ASSERT_EQ(mprotect(g_locked_page, g_page_size, PROT_NONE), 0);
        g_purges_in_write = 0;

        ULONG stored = RxBufferWrite(ring_, reply, 512);
        EXPECT_EQ(g_purges_in_write, 1);
        EXPECT_EQ(g_irql_in_write, DISPATCH_LEVEL) << "the copy runs at DISPATCH_LEVEL";
        auto out = ReadOut(RX_BUFFER_SIZE);
        EXPECT_LE(out.size(), stored);
        if (out.size() <= expected.size()) {
            EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.end() - out.size())) << out.size() << " bytes read";
        }
        EXPECT_EQ(RxBufferCount(ring_), 0u);
    }

    sigaction(SIGSEGV, &previous, nullptr);
    munmap(pages, 2 * g_page_size);
}

// ---- One producer and one consumer on real threads ------------------------------------------

// A reply as the read thread would store it: sequence number, payload length, payload and a
// checksum over all of it.
constexpr size_t kReplyHeader = 6;
constexpr size_t kReplyTrailer = 4;

uint32_t Fnv1a(const uint8_t *bytes, size_t length)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; i++) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

std::vector<uint8_t> MakeReply(uint32_t sequence, std::mt19937 &rng)
{
    size_t payload = rng() % (512 - kReplyHeader - kReplyTrailer + 1);
    std::vector<uint8_t> reply(kReplyHeader + payload + kReplyTrailer);
    for (int i = 0; i < 4; i++) reply[i] = uint8_t(sequence >> (8 * i));
    reply[4] = uint8_t(payload);
    reply[5] = uint8_t(payload >> 8);
    for (size_t i = 0; i < payload; i++) reply[kReplyHeader + i] = uint8_t(rng());
    uint32_t sum = Fnv1a(reply.data(), kReplyHeader + payload);
    for (int i = 0; i < 4; i++) reply[kReplyHeader + payload + i] = uint8_t(sum >> (8 * i));
    return reply;
}

// The consumer only copies out, into one large buffer, so it keeps close behind the producer and
// reads bytes the moment their index moves; the replies are checked after both threads end.
TEST_F(RingBufferTest, ProducerAndConsumerThreadsMoveManyMegabytesIntact)
{
    constexpr uint32_t kReplies = 120000;  // about 30 MB
    std::atomic<uint64_t> lost_with_room{0};
    std::atomic<uint64_t> bytes_produced{0};
    std::atomic<bool> producer_done{false};
    std::atomic<bool> stop{false};  // the consumer gave up: the producer must not wait for room

    std::thread producer([&] {
        ksim::Participant participant;
        std::mt19937 rng(7);
        uint64_t total = 0;
        for (uint32_t sequence = 0; sequence < kReplies; sequence++) {
            auto reply = MakeReply(sequence, rng);
            size_t done = 0;
            while (done < reply.size() && !stop) {
                ULONG want = ULONG(reply.size() - done);
                // The consumer only ever frees space, so room seen here is still there.
                bool room = kCapacity - RxBufferCount(ring_) >= want;
                ULONG stored = RxBufferWrite(ring_, reply.data() + done, want);
                if (room && stored != want) lost_with_room++;
                done += stored;
                if (stored == 0) std::this_thread::yield();
            }
            total += reply.size();
        }
        bytes_produced = total;
        producer_done = true;
    });

    std::vector<uint8_t> received(size_t(kReplies) * 512);
    size_t bytes_consumed = 0;
    std::mt19937 rng(11);
    {
        ksim::Participant participant;
        for (;;) {
            ULONG room = ULONG(std::min<size_t>(received.size() - bytes_consumed, 1 + rng() % 4096));
            ULONG got = RxBufferRead(ring_, received.data() + bytes_consumed, room);
            bytes_consumed += got;
            if (got != 0) continue;
            if (producer_done && RxBufferCount(ring_) == 0) break;
            if (room == 0) break;  // more than was ever sent: the ring made bytes up
            std::this_thread::yield();
        }
    }
    stop = true;
    producer.join();

    EXPECT_EQ(lost_with_room.load(), 0u);
    EXPECT_EQ(bytes_consumed, bytes_produced.load());
    EXPECT_GT(bytes_consumed, size_t(25) << 20);
    uint32_t next_sequence = 0;
    size_t at = 0;
    while (at + kReplyHeader <= bytes_consumed) {
        const uint8_t *r = received.data() + at;
        size_t payload = r[4] | size_t(r[5]) << 8;
        size_t size = kReplyHeader + payload + kReplyTrailer;
        ASSERT_LE(size, 512u) << "reply " << next_sequence << ": length field corrupted";
        ASSERT_LE(at + size, bytes_consumed) << "reply " << next_sequence << " cut short";
        uint32_t sequence = r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24;
        uint32_t sum = r[size - 4] | r[size - 3] << 8 | r[size - 2] << 16 | uint32_t(r[size - 1]) << 24;
        ASSERT_EQ(sequence, next_sequence) << "replies lost, repeated or out of order";
        ASSERT_EQ(sum, Fnv1a(r, size - kReplyTrailer)) << "reply " << sequence << " corrupted";
        next_sequence++;
        at += size;
    }
    EXPECT_EQ(next_sequence, kReplies);
    EXPECT_EQ(at, bytes_consumed);
}

// Purging while the producer stores must never make bytes that were already stored (and so
// discarded by the purge, or read before it) come out again. A purge that zeroed both indices would
// race the producer's next index store and fail here within a few hundred purges.
TEST_F(RingBufferTest, PurgeDuringProductionNeverBringsBackOldBytes)
{
    constexpr uint64_t kPurges = 4000;
    // A long random period, so that any 16 bytes of the stream tell where in it they lie.
    constexpr uint64_t kPeriod = (1u << 20) + 7;
    // One reply past the end repeats the start, so the producer stores straight from the table.
    std::vector<uint8_t> stream(kPeriod + 512);
    std::mt19937_64 pattern(9);
    for (size_t i = 0; i < kPeriod; i++) stream[i] = uint8_t(pattern() >> 56);
    std::copy(stream.begin(), stream.begin() + 512, stream.begin() + kPeriod);
    auto at = [&](uint64_t offset) { return stream[offset % kPeriod]; };

    std::atomic<uint64_t> produced{0};  // stream offset up to which every write has returned
    std::atomic<bool> stop{false};

    std::thread producer([&] {
        ksim::Participant participant;
        std::mt19937 rng(3);
        uint64_t offset = 0;
        while (!stop) {
            ULONG length = 1 + rng() % 512;
            ULONG stored = RxBufferWrite(ring_, &stream[offset % kPeriod], length);
            offset += stored;
            produced.store(offset);
            if (stored == 0) std::this_thread::yield();
        }
    });

    uint64_t failures = 0;
    uint64_t purges = 0;
    uint64_t bytes_checked = 0;
    std::mt19937 rng(5);
    std::vector<uint8_t> chunk(2048);
    std::vector<uint8_t> unsynced;  // bytes read since the last purge, stream position not yet known
    uint64_t purge_floor = 0;       // the first byte after a purge lies at or after this offset
    bool synced = true;
    uint64_t expected = 0;
    {
        ksim::Participant participant;
        while (failures == 0 && purges < kPurges) {
            if (rng() % 8 == 0) {
                purge_floor = produced.load();
                RxBufferReset(ring_);
                purges++;
                synced = false;
                unsynced.clear();
                continue;
            }
            ULONG got = RxBufferRead(ring_, chunk.data(), 1 + rng() % ULONG(chunk.size()));
            if (got == 0) {
                std::this_thread::yield();
                continue;
            }
            bytes_checked += got;
            if (synced) {
                for (ULONG i = 0; i < got; i++) failures += chunk[i] != at(expected + i);
                expected += got;
                continue;
            }
            unsynced.insert(unsynced.end(), chunk.begin(), chunk.begin() + got);
            if (unsynced.size() < 16) continue;
            // No earlier than the purge allows, no later than what the producer has stored or is
            // storing right now.
            uint64_t ceiling = produced.load() + 512;
            bool found = false;
            for (uint64_t start = purge_floor; start <= ceiling && !found; start++) {
                found = true;
                for (size_t i = 0; i < 16 && found; i++) found = unsynced[i] == at(start + i);
                if (found) {
                    for (size_t i = 16; i < unsynced.size(); i++) failures += unsynced[i] != at(start + i);
                    expected = start + unsynced.size();
                }
            }
            failures += !found;
            synced = true;
        }
    }
    stop = true;
    producer.join();
    EXPECT_EQ(failures, 0u) << "after " << purges << " purges";
    EXPECT_EQ(purges, kPurges);
    EXPECT_GT(bytes_checked, 0u);
}

}  // namespace
