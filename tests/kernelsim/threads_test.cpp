// System threads: how they start, end, are waited for, referenced and cleaned up.
#include "common/kernel_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

PVOID ReferenceThread(HANDLE handle)
{
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    return thread;
}

NTSTATUS PollObject(PVOID object)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

struct Gate {
    KEVENT go;
    std::atomic<int> after_wait{0};
    std::atomic<KIRQL> irql{0xFF};
    std::atomic<PKTHREAD> self{nullptr};
    std::atomic<NTSTATUS> foreign_handle_status{STATUS_PENDING};
    HANDLE app_handle = nullptr;
};

VOID NTAPI GateRoutine(PVOID context)
{
    auto *g = static_cast<Gate *>(context);
    g->irql = KeGetCurrentIrql();
    g->self = KeGetCurrentThread();
    if (g->app_handle != nullptr) {
        PVOID object;
        g->foreign_handle_status =
            ObReferenceObjectByHandle(g->app_handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
        if (NT_SUCCESS(g->foreign_handle_status)) ObDereferenceObject(object);
    }
    KeWaitForSingleObject(&g->go, Executive, KernelMode, FALSE, nullptr);
    g->after_wait++;
}

class ThreadsTest : public KernelTest {};

TEST_F(ThreadsTest, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    ksim::Settle();
    EXPECT_EQ(g.irql, PASSIVE_LEVEL);
    EXPECT_EQ(g.self.load(), thread);
    EXPECT_NE(thread, KeGetCurrentThread());
    EXPECT_EQ(PollObject(thread), STATUS_TIMEOUT);
    ASSERT_EQ(ksim::SystemThreads().size(), 1u);
    EXPECT_FALSE(ksim::SystemThreads()[0].terminated);
    EXPECT_EQ(ksim::LiveSystemThreads(), 1u);

    KeSetEvent(&g.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(g.after_wait, 1);
    EXPECT_EQ(PollObject(thread), STATUS_WAIT_0);  // stays signalled
    EXPECT_TRUE(ksim::SystemThreads()[0].terminated);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(ThreadsTest, SystemThreadsRunInTheSystemProcess)
{
    // A handle made without OBJ_KERNEL_HANDLE in the application's context is the application's,
    // and means nothing in the System process; the verifier reports it.
    Gate first;
    KeInitializeEvent(&first.go, NotificationEvent, TRUE);
    HANDLE app_handle;
    ASSERT_EQ(PsCreateSystemThread(&app_handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, GateRoutine, &first),
              STATUS_SUCCESS);
    ExpectViolations({"handle-not-kernel"});
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 1u);
    Gate second;
    KeInitializeEvent(&second.go, NotificationEvent, TRUE);
    second.app_handle = app_handle;
    HANDLE other;
    ASSERT_EQ(PsCreateSystemThread(&other, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine,
                                   &second),
              STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(second.foreign_handle_status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(app_handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
}

// A kernel handle is kept in the kernel's table (the System process's), out of the application's,
// and serves in every process context: the thread that made it closes it, or a worker does.
TEST_F(ThreadsTest, KernelHandlesAreTheKernelsInEveryProcess)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, TRUE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), 1u);
    EXPECT_EQ(ksim::KernelHandleCount(), 1u);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
    EXPECT_EQ(ksim::CloseApplicationHandle(handle), STATUS_INVALID_HANDLE) << "not the application's to close";
    PVOID thread = ReferenceThread(handle);  // from the application's context
    ASSERT_NE(thread, nullptr);
    ObDereferenceObject(thread);
    ksim::Settle();
    struct Ctx {
        HANDLE handle;
        std::atomic<NTSTATUS> status{STATUS_PENDING};
    } ctx{handle};
    HANDLE closer;
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        c->status = ZwClose(c->handle);
    };
    ASSERT_EQ(PsCreateSystemThread(&closer, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ctx.status, STATUS_SUCCESS);
    EXPECT_EQ(ksim::KernelHandleCount(), 1u) << "the closer's own";
    EXPECT_EQ(ZwClose(closer), STATUS_SUCCESS);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), 0u);
}

TEST_F(ThreadsTest, TerminateEndsTheThreadAtOnce)
{
    struct Ctx {
        std::atomic<int> before{0}, after{0};
    } ctx;
    HANDLE handle;
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        c->before++;
        PsTerminateSystemThread(STATUS_SUCCESS);
        c->after++;  // never reached
    };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(ctx.before, 1);
    EXPECT_EQ(ctx.after, 0);
    ObDereferenceObject(thread);
    ZwClose(handle);
}

TEST_F(ThreadsTest, PriorityIsRecordedAndTheOldOneReturned)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    auto *thread = static_cast<PKTHREAD>(ReferenceThread(handle));
    EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY), 8);
    EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(ksim::SystemThreads()[0].priority, LOW_REALTIME_PRIORITY);
    EXPECT_EQ(ksim::SystemThreads()[0].thread, thread);
    KeSetEvent(&g.go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(handle);
}

TEST_F(ThreadsTest, StartTimeIsTheKernelClockAtCreation)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, TRUE);
    ksim::AdvanceMs(3);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ksim::SystemThreads()[0].started_at, 3 * ksim::kTicksPerMs);
    ZwClose(handle);
}

TEST_F(ThreadsTest, CreationAndReferenceFaults)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, TRUE);
    HANDLE handle = nullptr;
    uint64_t calls = ksim::CallCount(ksim::Fault::ThreadCreation);
    ksim::InjectFault(ksim::Fault::ThreadCreation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::ThreadCreation), calls + 1);
    EXPECT_TRUE(ksim::SystemThreads().empty());
    EXPECT_EQ(ksim::KernelHandleCount(), 0u);

    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    ksim::InjectFault(ksim::Fault::ObjectReference, STATUS_ACCESS_DENIED);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_ACCESS_DENIED);
    // The wrong type is refused and leaves no reference behind.
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *IoFileObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    // Without a type any object will do.
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(handle);
}

TEST_F(ThreadsTest, AReferenceKeptAfterTheThreadEndsIsALeak)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, TRUE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    PVOID thread = ReferenceThread(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ZwClose(handle);
    auto leaks = ksim::CheckLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].rule, "leak-thread-reference");
    ExpectViolations({"leak-thread-reference"});
    // Still a valid, signalled object until the last reference goes.
    EXPECT_EQ(PollObject(thread), STATUS_WAIT_0);
    ObDereferenceObject(thread);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

TEST_F(ThreadsTest, TeardownEndsAThreadStillWaitingAndReportsIt)
{
    Gate g;
    KeInitializeEvent(&g.go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, GateRoutine, &g),
              STATUS_SUCCESS);
    ksim::Settle();
    auto start = std::chrono::steady_clock::now();
    kernel_.reset();  // the thread blocks forever; teardown must neither hang nor leave it running
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    std::vector<std::string> rules;
    for (const auto &v : ksim::Violations()) rules.push_back(v.rule);
    std::sort(rules.begin(), rules.end());
    EXPECT_EQ(rules, (std::vector<std::string>{"leak-handle", "thread-still-running"}));
    EXPECT_EQ(g.after_wait, 0);  // unwound from its wait, not released
    ksim::ClearViolations();
    kernel_ = std::make_unique<ksim::Kernel>();
    EXPECT_TRUE(ksim::SystemThreads().empty());
}

TEST_F(ThreadsTest, SpinLockGivesMutualExclusionBetweenThreads)
{
    struct Ctx {
        KSPIN_LOCK lock;
        long counter = 0;  // not atomic: the spin lock is what protects it
    } ctx;
    KeInitializeSpinLock(&ctx.lock);
    auto routine = [](PVOID p) {
        auto *c = static_cast<Ctx *>(p);
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&c->lock, &old);
            long v = c->counter;
            if ((i & 255) == 0) std::this_thread::yield();  // widen the window a broken lock would show
            c->counter = v + 1;
            KeReleaseSpinLock(&c->lock, old);
        }
    };
    HANDLE a, b;
    ASSERT_EQ(PsCreateSystemThread(&a, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx), STATUS_SUCCESS);
    ASSERT_EQ(PsCreateSystemThread(&b, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &ctx), STATUS_SUCCESS);
    ksim::WaitUntil([] { return ksim::LiveSystemThreads() == 0; });
    EXPECT_EQ(ctx.counter, 40000);
    EXPECT_EQ(ctx.lock, 0u);
    ZwClose(a);
    ZwClose(b);
}

}  // namespace
