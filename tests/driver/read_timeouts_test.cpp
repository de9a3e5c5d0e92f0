// Read time-outs as communication software sets them (SetCommTimeouts): when a read completes, with
// what, and whether at once or through the pending path, under each combination, at a 1 ms clock
// tick and at Windows' default 15.625 ms tick. Replies come from the printer at set times; the
// clock is virtual, so every time here is exact.
#include "port_fixture.h"

#include <tuple>

namespace port_test {
namespace {

constexpr ULONG kMax = MAXULONG;
constexpr int kNever = -1;

struct Arrival {
    int at_ms;  // after the read was issued
    size_t bytes;
};

struct TimeoutCase {
    const char *name;
    ULONG interval, multiplier, constant;
    ULONG length;
    size_t in_ring;  // bytes already in the ring when the read arrives
    std::vector<Arrival> replies;
    bool synchronous;  // completes in its dispatch routine
    int ends_ms;       // when it ends on a clock without ticks; kNever: not within the run
    size_t got;
};

std::ostream &operator<<(std::ostream &os, const TimeoutCase &c) { return os << c.name; }

const TimeoutCase kCases[] = {
    // Interval MAXULONG, multiplier 0, constant 0: whatever the ring holds, at once.
    {"ReturnAtOnceWithWhatIsThere", kMax, 0, 0, 10, 3, {}, true, 0, 3},
    {"ReturnAtOnceWithNothing", kMax, 0, 0, 10, 0, {{20, 4}}, true, 0, 0},
    // Interval and multiplier MAXULONG, 0 < constant < MAXULONG: at once when anything is there,
    // else at the first reply, else empty after the constant.
    {"FirstReplyAlreadyThere", kMax, kMax, 100, 10, 4, {}, true, 0, 4},
    {"FirstReplyEndsTheWait", kMax, kMax, 100, 10, 0, {{30, 5}}, false, 30, 5},
    {"FirstReplyNeverComes", kMax, kMax, 100, 10, 0, {}, false, 100, 0},
    {"InfiniteAsDotNetSetsIt", kMax, kMax, kMax - 1, 10, 0, {{2000, 5}}, false, 2000, 5},
    {"FirstReplyWithZeroConstantIsAtOnce", kMax, kMax, 0, 10, 0, {}, true, 0, 0},
    // Interval MAXULONG with other totals: at once with what is there, else the count or the total.
    {"IntervalMaxWaitsForCountOrTotal", kMax, 0, 100, 10, 0, {{20, 3}}, false, 100, 3},
    // Total time-out: multiplier x length + constant ends the read with what has arrived.
    {"TotalEndsWithWhatArrived", 0, 0, 100, 10, 0, {{20, 4}}, false, 100, 4},
    {"TotalCountsTheMultiplier", 0, 10, 50, 10, 0, {{20, 3}}, false, 150, 3},
    {"TotalEndsEmpty", 0, 0, 100, 10, 0, {}, false, 100, 0},
    {"TotalWaitsThreeSeconds", 0, 0, 3000, 10, 0, {{300, 6}}, false, 3000, 6},
    {"ShortRingUnderTotalStillWaits", 0, 0, 100, 8, 2, {}, false, 100, 2},
    // The count reached ends any read, at once when the ring already holds it.
    {"CountReachedByTwoReplies", 0, 0, 1000, 6, 0, {{20, 3}, {60, 3}}, false, 60, 6},
    {"CountAlreadyThere", 0, 0, 1000, 4, 10, {}, true, 0, 4},
    {"ZeroLengthIsFullAtOnce", 0, 0, 0, 0, 0, {}, true, 0, 0},
    // Interval time-out: counted from the last reply, once something has arrived.
    {"IntervalAfterOneReply", 50, 0, 0, 10, 0, {{20, 3}}, false, 70, 3},
    {"IntervalRestartsWithEachReply", 50, 0, 0, 10, 0, {{20, 2}, {60, 2}}, false, 110, 4},
    {"IntervalDoesNotRunBeforeTheFirstByte", 50, 0, 0, 10, 0, {}, false, kNever, 0},
    {"IntervalCountsFromTheReadForOldBytes", 50, 0, 0, 10, 2, {}, false, 50, 2},
    {"TotalBeforeInterval", 50, 0, 200, 20, 0, {{20, 2}, {60, 2}, {100, 2}, {140, 2}, {180, 2}}, false, 200, 10},
    // No time-outs at all (the port as opened): the read waits for its whole count, never empty.
    {"NoTimeoutsWaitForTheCount", 0, 0, 0, 10, 0, {{20, 3}, {400, 7}}, false, 400, 10},
    {"NoTimeoutsNeverEndEmpty", 0, 0, 0, 10, 0, {}, false, kNever, 0},
    {"NoTimeoutsKeepAShortReplyInTheRing", 0, 0, 0, 10, 0, {{20, 3}}, false, kNever, 0},
};

constexpr int kRunMs = 3400;  // past the longest time-out above

class ReadTimeoutTest : public PortTest, public ::testing::WithParamInterface<std::tuple<TimeoutCase, int64_t>> {
protected:
    ksim::Options KernelOptions() const override
    {
        ksim::Options options;
        options.clock_tick = std::get<1>(GetParam());
        return options;
    }
};

TEST_P(ReadTimeoutTest, EndsAsSerialPortsDo)
{
    const TimeoutCase &c = std::get<0>(GetParam());
    const int64_t tick = std::get<1>(GetParam());
    const int tick_ms = int((tick + ksim::kTicksPerMs - 1) / ksim::kTicksPerMs);
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(c.interval, c.multiplier, c.constant);
    if (c.in_ring != 0) Reply(port, Pattern(c.in_ring, 0x20));
    ksim::Settle();

    const int64_t issued = ksim::Now();
    auto read = file.ReadAsync(c.length);
    EXPECT_EQ(read.Done(), c.synchronous);
    EXPECT_EQ(read.DispatchStatus(), c.synchronous ? STATUS_SUCCESS : STATUS_PENDING);

    uint8_t next = 0x60;
    size_t reply = 0;
    int ended = kNever;
    while (ksim::Now() - issued <= kRunMs * ksim::kTicksPerMs) {
        while (reply < c.replies.size() && ksim::Now() - issued >= c.replies[reply].at_ms * ksim::kTicksPerMs) {
            port.printer->QueueReply(Pattern(c.replies[reply].bytes, next));
            next = uint8_t(next + c.replies[reply].bytes);
            reply++;
        }
        ksim::Settle();
        if (read.Done()) {
            ended = int((ksim::Now() - issued) / ksim::kTicksPerMs);
            break;
        }
        ksim::AdvanceMs(1);
    }

    if (c.ends_ms == kNever) {
        EXPECT_EQ(ended, kNever) << "a read with no time-out left to run ended";
        size_t arrived = c.in_ring;
        for (const Arrival &r : c.replies) arrived += r.bytes;
        EXPECT_EQ(port.RingCount(), arrived) << "the bytes stay in the ring for the waiting read";
        EXPECT_TRUE(read.Cancel());
        EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
        return;
    }
    ASSERT_NE(ended, kNever) << "the read never ended";
    // The read-polling thread looks at a waiting read at every poll, which comes at the next clock
    // tick: a time-out ends the read at the first tick at or after it, never before. A reply ends a
    // read at once, once the read thread has its device read back on the printer (by the next tick).
    EXPECT_GE(ended, c.ends_ms);
    EXPECT_LE(ended, c.ends_ms + tick_ms);
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.got);
    // Old bytes first, then the replies in order.
    std::vector<uint8_t> expected = Pattern(std::min<size_t>(c.in_ring, c.got), 0x20);
    const auto replied = Pattern(c.got - expected.size(), 0x60);
    expected.insert(expected.end(), replied.begin(), replied.end());
    EXPECT_EQ(result.data, expected);
    EXPECT_EQ(port.PendingRead(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Combinations, ReadTimeoutTest,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(ksim::kOneMillisecondTick, ksim::kWindowsDefaultTick)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == ksim::kOneMillisecondTick ? "_1ms" : "_15625us");
                         });

// At Windows' default tick the polls come 15.625 ms apart, but a reply does not wait for one: the
// read thread wakes the read-polling thread as it stores the reply, so a waiting read and a wait
// for received characters complete at the very moment the printer answers.
class ReplyWakeTest : public PortTest {
protected:
    ksim::Options KernelOptions() const override
    {
        ksim::Options options;
        options.clock_tick = ksim::kWindowsDefaultTick;
        return options;
    }
};

TEST_F(ReplyWakeTest, RepliesCompleteWaitersWithoutWaitingForAPoll)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    AdvanceUntil([&] { return port.printer->PendingReads() == 1; }, 40);
    ASSERT_EQ(port.printer->PendingReads(), 1u);

    auto read = file.ReadAsync(5);
    ksim::Settle();
    ASSERT_FALSE(read.Done());
    const int64_t before = ksim::Now();
    port.printer->QueueReply(Pattern(5, 0x31));
    ksim::Settle();
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(ksim::Now(), before);
    EXPECT_EQ(read.Wait().data, Pattern(5, 0x31));

    const ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status, STATUS_SUCCESS);
    AdvanceUntil([&] { return port.printer->PendingReads() == 1; }, 40);
    auto wait = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ksim::Settle();
    ASSERT_FALSE(wait.Done());
    const int64_t second = ksim::Now();
    port.printer->QueueReply(Pattern(3, 0x41));
    ksim::Settle();
    EXPECT_TRUE(wait.Done());
    EXPECT_EQ(ksim::Now(), second);
    EXPECT_EQ(wait.Wait().information, sizeof(ULONG));
}

// FlushFileBuffers drains nothing: every write completed once the printer had all of it.
TEST_F(ReplyWakeTest, FlushSucceedsWithEveryWriteAlreadyOnTheDevice)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    ASSERT_EQ(file.Write(Pattern(100)).status, STATUS_SUCCESS);
    EXPECT_EQ(port.printer->WrittenBytes(), Pattern(100));
    auto flush = file.SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush.Done());
    auto result = flush.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
}

}  // namespace
}  // namespace port_test
