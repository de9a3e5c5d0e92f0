// The kernel clock: virtual time moves only when every participant waits, in deadline order.
#include "common/kernel_test.h"

#include "../../kernelsim/src/core.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

constexpr int64_t kMs = ksim::kTicksPerMs;

LARGE_INTEGER Relative(int64_t ticks)
{
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

// A worker in the shape drivers use: poll an exit event with a time-out, count the cycles.
struct Poller {
    KEVENT exit;
    int64_t period = kMs;
    std::atomic<int> cycles{0};
    std::atomic<int64_t> last_wake{-1};
    HANDLE handle = nullptr;
};

VOID NTAPI PollerRoutine(PVOID context)
{
    auto *p = static_cast<Poller *>(context);
    LARGE_INTEGER timeout = Relative(p->period);
    while (KeWaitForSingleObject(&p->exit, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        p->cycles++;
        p->last_wake = static_cast<int64_t>(KeQueryInterruptTime());
    }
}

void Start(Poller *p, int64_t period)
{
    p->period = period;
    KeInitializeEvent(&p->exit, NotificationEvent, FALSE);
    ASSERT_EQ(PsCreateSystemThread(&p->handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, PollerRoutine, p),
              STATUS_SUCCESS);
}

void Stop(Poller *p)
{
    KeSetEvent(&p->exit, IO_NO_INCREMENT, FALSE);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(p->handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(p->handle);
}

class ClockTest : public KernelTest {};

TEST_F(ClockTest, AOneMillisecondWaitEndsOnlyWhenTimeIsAdvanced)
{
    Poller p;
    Start(&p, kMs);
    ksim::Settle();
    EXPECT_EQ(ksim::Now(), 0);
    EXPECT_EQ(p.cycles, 0);
    ksim::Settle();  // settling again does not move time either
    EXPECT_EQ(p.cycles, 0);
    ksim::Advance(kMs - 1);
    EXPECT_EQ(p.cycles, 0);
    ksim::Advance(1);
    EXPECT_EQ(p.cycles, 1);
    EXPECT_EQ(p.last_wake, kMs);
    Stop(&p);
}

TEST_F(ClockTest, AdvanceRunsExactlyTheCyclesDueInThatTime)
{
    Poller p;
    Start(&p, kMs);
    ksim::AdvanceMs(10);
    EXPECT_EQ(p.cycles, 10);
    EXPECT_EQ(ksim::Now(), 10 * kMs);
    EXPECT_EQ(p.last_wake, 10 * kMs);  // the wake due at the Advance deadline ran before it returned
    ksim::AdvanceMs(5);
    EXPECT_EQ(p.cycles, 15);
    Stop(&p);
    EXPECT_EQ(p.cycles, 15);  // the exit event ended the loop without another time-out
}

TEST_F(ClockTest, ThreadsWithDifferentPeriodsInterleaveByDeadline)
{
    for (int round = 0; round < 5; ++round) {  // the same every time, whatever the host does
        Poller fast, slow;
        Start(&fast, kMs);
        Start(&slow, 3 * kMs);
        ksim::AdvanceMs(9);
        EXPECT_EQ(fast.cycles, 9);
        EXPECT_EQ(slow.cycles, 3);
        ksim::AdvanceMs(2);
        EXPECT_EQ(fast.cycles, 11);
        EXPECT_EQ(slow.cycles, 3);
        Stop(&fast);
        Stop(&slow);
    }
}

TEST_F(ClockTest, DelayAndAbsoluteTimeouts)
{
    LARGE_INTEGER delay = Relative(7 * kMs);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_EQ(ksim::Now(), 7 * kMs);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER absolute;
    absolute.QuadPart = 12 * kMs;  // positive: a point on the kernel clock
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(ksim::Now(), 12 * kMs);
    absolute.QuadPart = 5 * kMs;  // already past
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(ksim::Now(), 12 * kMs);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(12 * kMs));
}

TEST_F(ClockTest, SettleRunsEverythingRunnableWithoutMovingTime)
{
    struct Ctx {
        KEVENT started;
        KEVENT never;
        std::atomic<int> steps{0};
    } ctx;
    KeInitializeEvent(&ctx.started, NotificationEvent, FALSE);
    KeInitializeEvent(&ctx.never, NotificationEvent, FALSE);
    HANDLE handle;
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        for (int i = 0; i < 1000; ++i) c->steps++;
        KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&c->never, Executive, KernelMode, FALSE, nullptr);
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ctx.steps, 1000);
    EXPECT_EQ(KeReadStateEvent(&ctx.started), 1);
    EXPECT_EQ(ksim::Now(), 0);
    KeSetEvent(&ctx.never, IO_NO_INCREMENT, FALSE);
    ksim::Settle();
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    ZwClose(handle);
}

TEST_F(ClockTest, ARunningParticipantHoldsTheClock)
{
    std::promise<void> registered;
    std::atomic<bool> release{false};
    std::atomic<int64_t> seen_before{-1}, seen_after{-1};
    std::thread helper([&] {
        ksim::Participant me;
        registered.set_value();
        seen_before = ksim::Now();
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen_after = ksim::Now();
    });
    registered.get_future().wait();
    // The controller's Advance cannot complete while the helper runs (it is not in a kernel
    // wait); a second host thread lets it finish.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        release = true;
    });
    ksim::AdvanceMs(4);
    helper.join();
    releaser.join();
    EXPECT_EQ(seen_before, 0);
    EXPECT_EQ(seen_after, 0);  // no time passed while the participant ran
    EXPECT_EQ(ksim::Now(), 4 * kMs);
}

TEST_F(ClockTest, AParticipantScopeOnTheControllerChangesNothing)
{
    Poller p;
    Start(&p, kMs);
    {
        ksim::Participant again;  // the controller already is one
        ksim::AdvanceMs(3);
    }
    ksim::AdvanceMs(2);  // a broken nesting would leave a phantom runner and stop the clock
    EXPECT_EQ(p.cycles, 5);
    EXPECT_TRUE(ksim::Violations().empty()) << ViolationsText(ksim::Violations());
    Stop(&p);
}

TEST_F(ClockTest, WaitUntilLetsTimeRunUntilTheConditionHolds)
{
    Poller p;
    Start(&p, 2 * kMs);
    ksim::WaitUntil([&] { return p.cycles >= 3; });
    EXPECT_EQ(p.cycles, 3);
    EXPECT_EQ(ksim::Now(), 6 * kMs);
    Stop(&p);
}

TEST_F(ClockTest, DelayedSetterRunsBeforeTheControllerAtTheSameDeadline)
{
    struct Ctx {
        std::atomic<bool> done{false};
    } ctx;
    HANDLE handle;
    auto routine = [](PVOID p) {
        LARGE_INTEGER delay = Relative(10 * kMs);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        static_cast<Ctx *>(p)->done = true;
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    ksim::AdvanceMs(9);
    EXPECT_FALSE(ctx.done);
    ksim::AdvanceMs(1);
    EXPECT_TRUE(ctx.done);
    ksim::Settle();
    ZwClose(handle);
}

TEST_F(ClockTest, SettleGivesUpOnAParticipantThatNeverBlocks)
{
    ksim::detail::KeSetStuckLimit(std::chrono::milliseconds(200));
    std::promise<void> registered;
    std::atomic<bool> release{false};
    std::thread hog([&] {
        ksim::Participant me;
        registered.set_value();
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    registered.get_future().wait();
    auto start = std::chrono::steady_clock::now();
    ksim::Settle();  // returns, with a violation, instead of hanging
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    auto seen = ksim::Violations();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].detail.find("test participant thread"), std::string::npos) << seen[0].detail;
    ExpectViolations({"clock-stuck"});
    release = true;
    hog.join();
}

TEST_F(ClockTest, ATimedWaitTheClockCannotReachEndsWithAViolation)
{
    // The controller keeps running on host time (as a test blocked in a join would); the
    // worker's 1 ms wait cannot come due, so the guard ends it and names the controller.
    ksim::detail::KeSetStuckLimit(std::chrono::milliseconds(200));
    Poller p;
    Start(&p, kMs);
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (p.cycles == 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Stop(&p);
    EXPECT_EQ(p.cycles, 1);
    EXPECT_EQ(p.last_wake, kMs);  // the clock jumped to the abandoned deadline
    auto seen = ksim::Violations();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].detail.find("controller"), std::string::npos) << seen[0].detail;
    ExpectViolations({"clock-stuck"});
}

// With Windows' default clock tick, timed waits end at the next tick at or after their deadline.
class TickClockTest : public KernelTest {
protected:
    ksim::Options KernelOptions() const override
    {
        ksim::Options o;
        o.clock_tick = ksim::kWindowsDefaultTick;
        return o;
    }
};

TEST_F(TickClockTest, TimedWaitsEndAtTheNextTick)
{
    constexpr int64_t kTick = ksim::kWindowsDefaultTick;
    struct Row {
        int64_t start;  // when the wait begins
        int64_t wait;   // its relative time-out
        int64_t ends;
    };
    const Row rows[] = {
        {0, kMs, kTick},                          // 1 ms lasts until the first tick
        {kTick, kMs, 2 * kTick},                  // also when it starts on a tick
        {2 * kTick + 15 * kMs, kMs, 3 * kTick},   // and just before one: relative waits count
                                                  // from the last tick
        {3 * kTick + 3 * kMs, 10 * kMs, 4 * kTick},
        {4 * kTick, kTick, 5 * kTick},            // a whole tick from a tick: exactly one
        {5 * kTick + 1, 20 * kMs, 7 * kTick},     // longer than a tick: the second tick after
    };
    for (const Row &row : rows) {
        ksim::Advance(row.start - ksim::Now());
        LARGE_INTEGER delay = Relative(row.wait);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(ksim::Now(), row.ends) << "start " << row.start << " wait " << row.wait;
    }
    // A poll never waits for a tick, and a signalled object ends a wait at once.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    const int64_t now = ksim::Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(ksim::Now(), now);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER ten = Relative(10 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &ten), STATUS_SUCCESS);
    EXPECT_EQ(ksim::Now(), now);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(now / kTick * kTick));  // kept per tick
}

// A 1 ms poller on the default tick wakes once per tick, 64 times a second instead of 1,000.
TEST_F(TickClockTest, AOneMillisecondPollerRunsOncePerTick)
{
    Poller p;
    Start(&p, kMs);
    ksim::AdvanceMs(1000);
    EXPECT_EQ(p.cycles, 64);  // 1000 / 15.625
    Stop(&p);
}

class RealTimeClockTest : public KernelTest {
protected:
    ksim::Options KernelOptions() const override
    {
        ksim::Options o;
        o.clock = ksim::ClockMode::RealTime;
        return o;
    }
};

TEST_F(RealTimeClockTest, TimeFollowsTheHostClock)
{
    auto start = std::chrono::steady_clock::now();
    int64_t kernel_start = ksim::Now();
    LARGE_INTEGER delay = Relative(5 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    auto real = std::chrono::steady_clock::now() - start;
    EXPECT_GE(real, std::chrono::milliseconds(5));
    EXPECT_GE(ksim::Now() - kernel_start, 5 * kMs);

    // A 1 ms poller makes progress on its own, without anyone advancing a virtual clock. Real
    // time gives no exact count, and a loaded host may starve the thread for a while, so the test
    // only asks for a few cycles within a generous bound.
    Poller p;
    Start(&p, kMs);
    for (int i = 0; i < 1000 && p.cycles < 3; ++i) ksim::AdvanceMs(10);
    EXPECT_GE(p.cycles, 3);
    EXPECT_GE(p.last_wake.load(), kernel_start + 3 * kMs);
    Stop(&p);
}

}  // namespace
