// The verifier's core rules, each provoked by a deliberately wrong call sequence; debug output,
// port reads and fault bookkeeping.
#include "common/kernel_test.h"

#include <atomic>
#include <functional>

namespace {

constexpr ULONG kTag = static_cast<ULONG>('Q') << 24 | static_cast<ULONG>('W') << 16 | '0' << 8 | '1';

LARGE_INTEGER Relative(int64_t ticks)
{
    LARGE_INTEGER t;
    t.QuadPart = -ticks;
    return t;
}

// Runs `body` on a system thread and waits for the thread to end.
void OnSystemThread(std::function<void()> body)
{
    HANDLE handle;
    auto routine = [](PVOID p) { (*static_cast<std::function<void()> *>(p))(); };
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, KernelHandleOnly(), nullptr, nullptr, routine, &body),
              STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(handle);
}

class VerifierTest : public KernelTest {};

struct WrongSequence {
    const char *name;
    std::vector<std::string> rules;
    std::function<void()> run;
};

TEST_F(VerifierTest, EachRuleFiresOnItsWrongSequence)
{
    static KSPIN_LOCK lock;
    static KEVENT event;
    static KMUTEX mutex;
    const std::vector<WrongSequence> rows = {
        {"lower to a higher IRQL", {"irql-lower-to-higher"},
         [] {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             KeLowerIrql(DISPATCH_LEVEL);
             EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);  // refused
             KeLowerIrql(old);
         }},
        {"raise to a lower IRQL", {"irql-raise-to-lower"},
         [] {
             KIRQL old, ignored;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeRaiseIrql(APC_LEVEL, &ignored);
             EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
             KeLowerIrql(old);
         }},
        {"release a spin lock not held", {"spinlock-release-not-held"},
         [] {
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeReleaseSpinLock(&lock, old);
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
         }},
        {"acquire a spin lock twice", {"spinlock-recursive", "spinlock-release-not-held"},
         [] {
             KeInitializeSpinLock(&lock);
             KIRQL first, second;
             KeAcquireSpinLock(&lock, &first);
             KeAcquireSpinLock(&lock, &second);  // would spin forever on Windows
             KeReleaseSpinLock(&lock, second);
             KeReleaseSpinLock(&lock, first);
             EXPECT_EQ(lock, 0u);
         }},
        {"DPC-level spin lock call at PASSIVE_LEVEL", {"spinlock-dpc-level-required", "spinlock-dpc-level-required"},
         [] {
             KeInitializeSpinLock(&lock);
             KeAcquireSpinLockAtDpcLevel(&lock);
             KeReleaseSpinLockFromDpcLevel(&lock);
         }},
        {"blocking wait at DISPATCH_LEVEL", {"wait-at-dispatch"},
         [] {
             KeInitializeEvent(&event, NotificationEvent, TRUE);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             LARGE_INTEGER zero = Relative(0);
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);  // polling is allowed
             LARGE_INTEGER timeout = Relative(ksim::kTicksPerMs);
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
             KeLowerIrql(old);
         }},
        {"wait while holding a spin lock", {"wait-holding-spinlock"},
         [] {
             KeInitializeEvent(&event, NotificationEvent, TRUE);
             KeInitializeSpinLock(&lock);
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
             KeReleaseSpinLock(&lock, old);
         }},
        {"paged pool above PASSIVE_LEVEL", {"passive-required"},
         [] {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             void *p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
             KeLowerIrql(old);
             ExFreePoolWithTag(p, kTag);
         }},
        {"handle services above PASSIVE_LEVEL", {"passive-required", "close-invalid-handle"},
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ZwClose(nullptr);
             KeLowerIrql(old);
         }},
        {"close an invalid handle", {"close-invalid-handle"},
         [] { EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE); }},
        {"free with another tag", {"pool-free-tag-mismatch"},
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), kTag + 1); }},
        {"free twice", {"pool-double-free"},
         [] {
             void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
             ExFreePoolWithTag(p, kTag);
             ExFreePoolWithTag(p, kTag);
         }},
        {"free what was never allocated", {"pool-free-unknown", "pool-free-unknown"},
         [] {
             static char not_pool[16];
             ExFreePool(not_pool);
             ExFreePool(nullptr);
         }},
        {"release a mutex not owned", {"mutex-release-not-owner"},
         [] {
             KeInitializeMutex(&mutex, 0);
             KeReleaseMutex(&mutex, FALSE);
         }},
        {"thread ends holding a spin lock at raised IRQL", {"thread-exit-holding-spinlock", "thread-exit-raised-irql"},
         [] {
             KeInitializeSpinLock(&lock);
             OnSystemThread([] {
                 KIRQL old;
                 KeAcquireSpinLock(&lock, &old);
             });
             KeInitializeSpinLock(&lock);
         }},
        {"thread ends owning a mutex", {"thread-exit-holding-mutex"},
         [] {
             KeInitializeMutex(&mutex, 0);
             OnSystemThread([] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
         }},
        {"a key handle made without OBJ_KERNEL_HANDLE", {"handle-not-kernel"},
         [] {
             UNICODE_STRING name;
             RtlInitUnicodeString(&name, L"\\REGISTRY\\MACHINE\\SOFTWARE");
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
             HANDLE key = nullptr;
             ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
             EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 1u);  // the application's to use
             ZwClose(key);
         }},
        {"an event handle a system thread makes without OBJ_KERNEL_HANDLE", {"handle-not-kernel"},
         [] {
             OnSystemThread([] {
                 HANDLE event = nullptr;
                 ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
                 ZwClose(event);
             });
         }},
        {"dereference something that is not an object", {"object-dereference-unknown"},
         [] {
             static int not_object;
             ObDereferenceObject(&not_object);
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        row.run();
        ExpectViolations(row.rules);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

TEST_F(VerifierTest, TeardownCheckFindsTheControllerLeftRaisedOrHoldingALock)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    auto leaks = ksim::CheckLeaks();
    ExpectViolations({"irql-left-raised", "spinlock-left-held"});
    EXPECT_EQ(leaks.size(), 2u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

TEST_F(VerifierTest, ARequestNeverFreedIsALeak)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    auto leaks = ksim::CheckLeaks();
    ASSERT_FALSE(leaks.empty());
    EXPECT_EQ(leaks[0].rule, "leak-irp");
    ksim::ClearViolations();
    IoFreeIrp(irp);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

TEST_F(VerifierTest, CorrectSequencesRecordNothing)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&inner);
    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&lock, old);
    KIRQL before = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(before, PASSIVE_LEVEL);
    KeLowerIrql(before);
    void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTag);
    ExFreePoolWithTag(p, kTag);
    HANDLE event = nullptr;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, KernelHandleOnly(), NotificationEvent, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
    ZwClose(event);
    EXPECT_TRUE(ksim::Violations().empty()) << ViolationsText(ksim::Violations());
}

TEST_F(VerifierTest, DebugOutputIsFormattedTheWindowsWay)
{
    ULONG count = 100;
    LONG negative = -5;
    ULONG64 big = 0x1122334455667788ULL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"LPT3");
    DbgPrint("VPARALLEL_Create Start \n");
    DbgPrint("%lu bytes, %ld, %I64x, %08X\n", count, negative, big, 0xBEEFu);
    DbgPrint("port %ws link %wZ at %p%%\n", L"LPT3", &name, nullptr);
    DbgPrint("%s=%d %c\n", "x", 7, 'z');
    auto log = ksim::DebugLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "VPARALLEL_Create Start \n");
    EXPECT_EQ(log[1], "100 bytes, -5, 1122334455667788, 0000BEEF\n");
    EXPECT_EQ(log[2].substr(0, 19), "port LPT3 link LPT3");
    EXPECT_EQ(log[2].back(), '\n');
    EXPECT_EQ(log[3], "x=7 z\n");
    ksim::ClearDebugLog();
    EXPECT_TRUE(ksim::DebugLog().empty());
}

TEST_F(VerifierTest, PortReadsComeFromTheSourceAndAreRecorded)
{
    EXPECT_EQ(__inbyte(0x60), 0);  // default source
    ksim::SetPortSource([](USHORT port) -> UCHAR { return port == 0x64 ? 0x01 : 0x58; });
    ksim::AdvanceMs(2);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(0x64))), 0x01);
    KeLowerIrql(old);
    EXPECT_EQ(__inbyte(0x60), 0x58);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(0x60)), 0xFF);
    auto reads = ksim::PortReads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[1].port, 0x64);
    EXPECT_EQ(reads[1].irql, DISPATCH_LEVEL);
    EXPECT_EQ(reads[1].time, 2 * ksim::kTicksPerMs);
    EXPECT_EQ(reads[2].port, 0x60);
    EXPECT_EQ(reads[2].irql, PASSIVE_LEVEL);
}

TEST_F(VerifierTest, AKernelStartsWithCleanCountsAndNoFaults)
{
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_NO_MEMORY, 0, 5);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 1, kTag), nullptr);
    DbgPrint("before\n");
    kernel_.reset();
    kernel_ = std::make_unique<ksim::Kernel>();
    EXPECT_EQ(ksim::CallCount(ksim::Fault::PoolAllocation), 0u);
    EXPECT_TRUE(ksim::DebugLog().empty());
    void *p = ExAllocatePoolWithTag(NonPagedPoolNx, 1, kTag);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTag);
}

// The action runs once, as the chosen call begins and before a fault planned for that call.
TEST_F(VerifierTest, BeforeCallActsOnceAtTheChosenCallAheadOfItsFault)
{
    std::vector<std::string> order;
    ksim::BeforeCall(ksim::Fault::PoolAllocation, [&] { order.push_back("action"); }, /*skip=*/1);
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_NO_MEMORY, /*skip=*/1);
    void *blocks[3];
    for (int i = 0; i < 3; i++) {
        blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, 1, kTag);
        order.push_back("call " + std::to_string(i));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"call 0", "action", "call 1", "call 2"}));
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_NE(blocks[2], nullptr);
    ExFreePoolWithTag(blocks[0], kTag);
    ExFreePoolWithTag(blocks[2], kTag);
}

// The action runs once, in the calling thread, before the next wait on its object looks at it;
// BeforeSetEvent's before the next KeSetEvent on its event sets it. A call of the other kind on
// the same object, or of the same kind on another, leaves the action planned.
TEST_F(VerifierTest, ObjectHooksActOnceAsTheirCallOnTheirObjectBegins)
{
    KEVENT event, other;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, TRUE);
    LARGE_INTEGER poll = Relative(0);
    int runs = 0;
    ksim::BeforeWaitOn(&event, [&] {
        runs++;
        KeSetEvent(&event, 0, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
    EXPECT_EQ(runs, 0) << "a wait on another object";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
    EXPECT_EQ(runs, 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(runs, 1);

    LONG state_seen = -1;
    ksim::BeforeSetEvent(&event, [&] {
        runs++;
        state_seen = KeReadStateEvent(&event);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&other, 0, FALSE);
    EXPECT_EQ(runs, 1) << "a wait on the event, or a set of another";
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(state_seen, 0) << "the action runs before the event is set";
    KeClearEvent(&event);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(runs, 2);
}

TEST_F(VerifierTest, OnlyOneKernelAtATime)
{
    EXPECT_TRUE(ksim::KernelActive());
    EXPECT_THROW(ksim::Kernel second, std::logic_error);
    EXPECT_TRUE(ksim::KernelActive());
}

using VerifierDeathTest = VerifierTest;

TEST_F(VerifierDeathTest, AbortOnViolationStopsAtTheFirstOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kernel_.reset();
    EXPECT_DEATH(
        {
            ksim::Options options;
            options.abort_on_violation = true;
            ksim::Kernel k(options);
            KeLowerIrql(HIGH_LEVEL);
        },
        "irql-lower-to-higher");
    kernel_ = std::make_unique<ksim::Kernel>();
}

}  // namespace
