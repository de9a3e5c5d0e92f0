// Many requests at once on one port: application threads writing and reading while another
// cancels reads at random and the printer answers at random moments. Every request must complete
// exactly once (the verifier reports a second completion), every written byte must reach the
// device with each request's bytes back to back and each writer's requests in order, and every
// byte the device sent must come out of the port exactly once, in order within each read.
#include "port_fixture.h"

#include <map>
#include <mutex>
#include <random>
#include <set>

namespace port_test {
namespace {

class PortStressTest : public PortTest {};

// A write request's bytes: its 16-bit id repeated, so that the device's byte stream can be cut
// back into requests.
std::vector<uint8_t> RequestBytes(uint16_t id, size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = i % 2 ? uint8_t(id >> 8) : uint8_t(id & 0xFF);
    return bytes;
}

// The reads still waiting, for the cancelling thread to pick from.
class Outstanding {
public:
    void Add(ksim::PendingIo *io)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ios_.insert(io);
    }
    void Remove(ksim::PendingIo *io)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ios_.erase(io);
    }
    // Cancels one of them, chosen by `pick`; the lock keeps the request's owner from moving on.
    bool CancelOne(uint32_t pick)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (ios_.empty()) return false;
        auto it = ios_.begin();
        std::advance(it, pick % ios_.size());
        return (*it)->Cancel();
    }

private:
    std::mutex mutex_;
    std::set<ksim::PendingIo *> ios_;
};

TEST_F(PortStressTest, ConcurrentWritesReadsAndCancelsLoseNothing)
{
    constexpr int kWriters = 3;
    constexpr int kWritesEach = 400;
    constexpr int kReaders = 3;
    constexpr int kReadsEach = 400;

    Port &port = AddPort(u"LPT3", ConfigFor(kClass1));
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(0, 0, 10);  // a read ends with what it has after 10 ms
    port.printer->ClearRecords();

    std::map<uint16_t, size_t> write_lengths;  // id -> length, filled before the threads start
    std::mt19937 plan(7);
    for (int w = 0; w < kWriters; w++)
        for (int i = 0; i < kWritesEach; i++) write_lengths[uint16_t(w * 1000 + i + 1)] = 2 + plan() % 199;

    std::vector<std::unique_ptr<AppThread>> threads;
    for (int w = 0; w < kWriters; w++) {
        threads.push_back(std::make_unique<AppThread>([&, w] {
            for (int i = 0; i < kWritesEach; i++) {
                uint16_t id = uint16_t(w * 1000 + i + 1);
                auto result = file.Write(RequestBytes(id, write_lengths.at(id)));
                EXPECT_EQ(result.status, STATUS_SUCCESS);
                EXPECT_EQ(result.information, write_lengths.at(id));
            }
        }));
    }

    Outstanding outstanding;
    std::mutex chunks_mutex;
    std::vector<std::vector<uint8_t>> chunks;
    std::atomic<int> completed_reads{0}, cancelled_reads{0};
    for (int r = 0; r < kReaders; r++) {
        threads.push_back(std::make_unique<AppThread>([&, r] {
            std::mt19937 rng(100 + r);
            for (int i = 0; i < kReadsEach; i++) {
                ksim::PendingIo io = file.ReadAsync(1 + rng() % 64);
                outstanding.Add(&io);
                ksim::IoResult result = io.Wait();
                outstanding.Remove(&io);
                completed_reads++;
                if (result.status == STATUS_CANCELLED) {
                    cancelled_reads++;
                    EXPECT_EQ(result.information, 0u);
                    continue;
                }
                EXPECT_EQ(result.status, STATUS_SUCCESS);
                EXPECT_EQ(result.data.size(), result.information);
                std::lock_guard<std::mutex> guard(chunks_mutex);
                if (!result.data.empty()) chunks.push_back(result.data);
            }
        }));
    }

    std::atomic<bool> stop_cancelling{false};
    AppThread canceller([&] {
        std::mt19937 rng(55);
        while (!stop_cancelling) {
            if (rng() % 2) outstanding.CancelOne(rng());
            LARGE_INTEGER delay;
            delay.QuadPart = VP_RELATIVE_MS(1 + rng() % 2);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
        }
    });

    // The printer answers at random moments with the next bytes of a counting stream.
    std::mt19937 rng(99);
    uint8_t next = 0;
    size_t sent = 0;
    auto busy = [&] { return std::any_of(threads.begin(), threads.end(), [](const auto &t) { return !t->Done(); }); };
    for (int ms = 0; busy() && ms < 60000; ms++) {
        if (rng() % 3 == 0) {
            std::vector<uint8_t> reply(1 + rng() % 40);
            for (auto &b : reply) b = next++;
            port.printer->QueueReply(reply);
            sent += reply.size();
        }
        ksim::AdvanceMs(1);
    }
    ASSERT_FALSE(busy()) << "requests still outstanding";
    stop_cancelling = true;
    canceller.Join();
    for (auto &t : threads) t->Join();

    // What the readers did not take is still in the ring (or on its way there).
    ASSERT_GE(AdvanceUntil([&] { return port.printer->PendingReads() == 1; }, 100), 0);
    port.SetTimeouts(MAXULONG, 0, 0);
    auto rest = file.Read(1 << 20);
    if (!rest.data.empty()) chunks.push_back(rest.data);

    // Device to port: each chunk is a run of the counting stream, and together they hold every
    // byte sent exactly once.
    size_t received = 0;
    std::vector<size_t> value_counts(256, 0), sent_counts(256, 0);
    for (const auto &chunk : chunks) {
        for (size_t i = 1; i < chunk.size(); i++) ASSERT_EQ(uint8_t(chunk[i - 1] + 1), chunk[i]) << "bytes out of order";
        for (uint8_t b : chunk) value_counts[b]++;
        received += chunk.size();
    }
    for (size_t i = 0; i < sent; i++) sent_counts[i % 256]++;
    EXPECT_EQ(received, sent);
    EXPECT_EQ(value_counts, sent_counts);
    EXPECT_EQ(completed_reads, kReaders * kReadsEach);
    EXPECT_GT(cancelled_reads, 0);

    // Port to device: the written stream cuts back into whole requests, each writer's in order.
    const std::vector<uint8_t> written = port.printer->WrittenBytes();
    std::map<int, int> last_of_writer;
    std::set<uint16_t> seen;
    size_t pos = 0;
    while (pos < written.size()) {
        ASSERT_LT(pos + 1, written.size());
        uint16_t id = uint16_t(written[pos] | written[pos + 1] << 8);
        auto it = write_lengths.find(id);
        ASSERT_NE(it, write_lengths.end()) << "unknown request at byte " << pos;
        const auto expected = RequestBytes(it->first, it->second);
        ASSERT_LE(pos + expected.size(), written.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), written.begin() + pos)) << "request " << id << " torn";
        ASSERT_TRUE(seen.insert(it->first).second) << "request " << id << " written twice";
        int writer = it->first / 1000;
        int seq = it->first % 1000;
        EXPECT_GT(seq, last_of_writer[writer]) << "writer " << writer << " out of order";
        last_of_writer[writer] = seq;
        pos += expected.size();
    }
    EXPECT_EQ(seen.size(), write_lengths.size());
    LONG total = 0;
    for (const auto &[id, length] : write_lengths) total += static_cast<LONG>(length);
    EXPECT_EQ(port.Ext()->TransmittedCount, total);
}

// The application closes the port while its threads still write and read: every request ends,
// and the teardown neither hangs nor leaves anything behind.
TEST_F(PortStressTest, CleanupInTheMiddleOfTrafficCompletesEverything)
{
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        Port &port = round == 0 ? AddPort(u"LPT3", ConfigFor(kClass3)) : *ports_.front();
        files_.clear();
        ksim::AppFile &file = OpenPort(port);
        port.SetTimeouts(0, 0, 500);
        port.SetWaitMask(SERIAL_EV_CTS);
        std::vector<ksim::PendingIo> held;
        std::mt19937 rng(round);
        for (int i = 0; i < 6; i++) {
            held.push_back(file.ReadAsync(1 + rng() % 16));
            held.push_back(file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)));
        }
        AppThread writer([&file, round] {
            std::mt19937 lengths(1000 + round);
            for (int i = 0; i < 5; i++) file.Write(Pattern(1 + lengths() % 150));
        });
        port.printer->QueueReply(Pattern(1 + rng() % 30));
        ksim::AdvanceMs(rng() % 4);
        writer.Join();

        file.CleanupOnly();
        for (auto &io : held) EXPECT_TRUE(io.Done());
        EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
        EXPECT_EQ(port.PendingRead(), nullptr);
        EXPECT_EQ(port.Ext()->DisplacedReads.First, nullptr);
        EXPECT_TRUE(port.QueuedWaits().empty());
        EXPECT_EQ(port.printer->PendingReads(), 0u);
    }
}

}  // namespace
}  // namespace port_test
