// Dispatcher objects: events, mutexes and the waits on them.
#include "common/kernel_test.h"

#include <atomic>

namespace {

LARGE_INTEGER Relative(int64_t ticks)
{
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

LARGE_INTEGER Zero()
{
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

NTSTATUS Poll(PVOID object)
{
    LARGE_INTEGER zero = Zero();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

// A system thread that waits on one object `rounds` times (no time-out) and counts.
struct Waiter {
    PVOID object = nullptr;
    int rounds = 1;
    std::atomic<int> woke{0};
    HANDLE handle = nullptr;
};

VOID NTAPI WaiterRoutine(PVOID context)
{
    auto *w = static_cast<Waiter *>(context);
    for (int i = 0; i < w->rounds; ++i) {
        KeWaitForSingleObject(w->object, Executive, KernelMode, FALSE, nullptr);
        w->woke++;
    }
}

void Start(Waiter *w)
{
    ASSERT_EQ(PsCreateSystemThread(&w->handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, WaiterRoutine, w),
              STATUS_SUCCESS);
}

// Waits for the thread behind `handle` to end and closes the handle.
void Join(HANDLE handle)
{
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

class DispatcherTest : public KernelTest {};

TEST_F(DispatcherTest, NotificationEventStaysSignalledUntilReset)
{
    KEVENT event;
    memset(&event, 0, sizeof event);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // returns the previous state
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);  // a satisfied wait leaves it signalled
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SynchronizationEventResetsOnSatisfiedWait)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(Poll(&event), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, ZeroedEventIsAnUnsignalledNotificationEvent)
{
    // Drivers keep events in zeroed extensions; zeroed memory must not read as signalled.
    KEVENT event;
    memset(&event, 0, sizeof event);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SetWakesEveryWaiterOfANotificationEventButOneOfASynchronizationEvent)
{
    struct Row {
        EVENT_TYPE type;
        int woken_by_first_set;
    };
    for (Row row : {Row{NotificationEvent, 2}, Row{SynchronizationEvent, 1}}) {
        SCOPED_TRACE(row.type == NotificationEvent ? "notification" : "synchronization");
        KEVENT event;
        KeInitializeEvent(&event, row.type, FALSE);
        Waiter a, b;
        a.object = b.object = &event;
        Start(&a);
        Start(&b);
        ksim::Settle();
        EXPECT_EQ(a.woke + b.woke, 0);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        ksim::Settle();
        EXPECT_EQ(a.woke + b.woke, row.woken_by_first_set);
        EXPECT_EQ(KeReadStateEvent(&event), row.type == NotificationEvent ? 1 : 0);
        if (a.woke + b.woke < 2) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        Join(a.handle);
        Join(b.handle);
        EXPECT_EQ(a.woke + b.woke, 2);
    }
}

TEST_F(DispatcherTest, WaitAnyReportsTheLowestSignalledIndexAndConsumesOnlyThatObject)
{
    KEVENT events[3];
    for (auto &e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    LARGE_INTEGER zero = Zero();
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0 + 2);
}

TEST_F(DispatcherTest, WaitAllNeedsEveryObjectAndTakesNothingUntilThen)
{
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, TRUE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER timeout = Relative(5 * ksim::kTicksPerMs);
    // Blocks on the virtual clock until the time-out: time moves because the controller waits.
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(ksim::Now(), 5 * ksim::kTicksPerMs);
    EXPECT_EQ(KeReadStateEvent(&a), 1);  // not consumed by the failed wait
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(DispatcherTest, WaitAllWakesABlockedThreadOnlyWhenTheLastObjectIsSet)
{
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    struct Ctx {
        PVOID objects[2];
        std::atomic<NTSTATUS> result{STATUS_PENDING};
    } ctx{{&a, &b}};
    HANDLE handle;
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        c->result = KeWaitForMultipleObjects(2, c->objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    ksim::Settle();
    EXPECT_EQ(ctx.result, STATUS_PENDING);
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    Join(handle);
    EXPECT_EQ(ctx.result, STATUS_WAIT_0);
}

TEST_F(DispatcherTest, WaitForManyObjectsWithoutWaitBlocksIsRefused)
{
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, TRUE);
        objects[i] = &events[i];
    }
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    ExpectViolations({"wait-block-array"});
    KWAIT_BLOCK blocks[4];
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0);
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    // Another thread cannot take it while it is owned, and gets it once it is released.
    struct Ctx {
        PKMUTEX mutex;
        std::atomic<int> owned{0};
        PKTHREAD owner_seen = nullptr;
    } ctx{&mutex};
    HANDLE handle;
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        KeWaitForSingleObject(c->mutex, Executive, KernelMode, FALSE, nullptr);
        c->owner_seen = c->mutex->OwnerThread;
        c->owned = 1;
        KeReleaseMutex(c->mutex, FALSE);
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ctx.owned, 0);
    KeReleaseMutex(&mutex, FALSE);
    ksim::Settle();
    EXPECT_EQ(ctx.owned, 0);  // still held once
    KeReleaseMutex(&mutex, FALSE);
    Join(handle);
    EXPECT_EQ(ctx.owned, 1);
    EXPECT_NE(ctx.owner_seen, KeGetCurrentThread());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);

    // Releasing a mutex another thread owns is refused.
    EXPECT_EQ(Poll(&mutex), STATUS_WAIT_0);
    Waiter other;  // blocks on the mutex forever
    other.object = &mutex;
    Start(&other);
    ksim::Settle();
    struct Release {
        PKMUTEX mutex;
    } release{&mutex};
    HANDLE releaser;
    auto release_routine = [](PVOID p) { KeReleaseMutex(static_cast<Release *>(p)->mutex, FALSE); };
    ASSERT_EQ(PsCreateSystemThread(&releaser, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, release_routine, &release),
              STATUS_SUCCESS);
    Join(releaser);
    ExpectViolations({"mutex-release-not-owner"});
    EXPECT_EQ(other.woke, 0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    KeReleaseMutex(&mutex, FALSE);
    ksim::Settle();
    EXPECT_EQ(other.woke, 1);
    Join(other.handle);  // it ends owning the mutex
    ExpectViolations({"thread-exit-holding-mutex"});
}

TEST_F(DispatcherTest, ReleasingAFreeMutexIsAViolation)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeReleaseMutex(&mutex, FALSE);
    ExpectViolations({"mutex-release-not-owner"});
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(DispatcherTest, TimedWaitOnAnEventSetByAnotherThreadReturnsBeforeTheTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    struct Ctx {
        PKEVENT event;
    } ctx{&event};
    HANDLE handle;
    auto routine = [](PVOID p) {
        LARGE_INTEGER delay = Relative(3 * ksim::kTicksPerMs);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(static_cast<Ctx *>(p)->event, IO_NO_INCREMENT, FALSE);
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    LARGE_INTEGER timeout = Relative(10 * ksim::kTicksPerMs);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_WAIT_0);
    EXPECT_EQ(ksim::Now(), 3 * ksim::kTicksPerMs);
    Join(handle);
}

}  // namespace
