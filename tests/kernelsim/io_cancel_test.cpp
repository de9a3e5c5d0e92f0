// Cancellation: IoCancelIrp and the cancel spin lock, cancel arriving before, during and after
// completion on real threads, a driver that ignores the cancel-routine exchange, and
// ZwCancelIoFile.
#include "io_toy_driver.h"

#include <atomic>
#include <thread>

using namespace iotest;
using ksim::u16;

namespace {

class CancelTest : public IoTest {
protected:
    // A named device whose reads wait in its queue.
    ToyDevice *QueueingDevice(const u16 &name = u"\\Device\\Q")
    {
        return Make(name, [](PDEVICE_OBJECT device, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
            return Pend(device, irp);
        });
    }
    std::unique_ptr<ksim::AppFile> Open(const u16 &name = u"\\Device\\Q")
    {
        std::unique_ptr<ksim::AppFile> file;
        EXPECT_EQ(ksim::AppFile::Open(name, &file), STATUS_SUCCESS);
        return file;
    }
};

struct RoutineView {
    KIRQL irql_inside = 0xFF;
    KIRQL cancel_irql = 0xFF;
    BOOLEAN cancel_flag = FALSE;
    bool routine_cleared = false;
    PDEVICE_OBJECT device = nullptr;
};
RoutineView g_view;

VOID NTAPI WatchingCancel(PDEVICE_OBJECT device, PIRP irp)
{
    g_view.irql_inside = KeGetCurrentIrql();
    g_view.cancel_irql = irp->CancelIrql;
    g_view.cancel_flag = irp->Cancel;
    g_view.routine_cleared = irp->CancelRoutine == nullptr;
    g_view.device = device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(CancelTest, RoutineRunsWithTheCancelLockHeldAndReleasesIt)
{
    g_view = RoutineView{};
    ToyDevice *toy = Make(u"\\Device\\Q", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, WatchingCancel);
        return STATUS_PENDING;
    });
    auto file = Open();
    ksim::PendingIo read = file->ReadAsync(4);
    ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(read.Cancel());
    ksim::IoResult result = read.Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(g_view.irql_inside, DISPATCH_LEVEL);
    EXPECT_EQ(g_view.cancel_irql, PASSIVE_LEVEL);
    EXPECT_TRUE(g_view.cancel_flag);
    EXPECT_TRUE(g_view.routine_cleared);
    EXPECT_EQ(g_view.device, toy->device);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The routine released the lock: it can be taken again.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irql);
    EXPECT_FALSE(read.Cancel());  // finished: nothing left to cancel
}

TEST_F(CancelTest, WithoutARoutineCancelOnlyFlagsTheRequest)
{
    static PIRP held;
    held = nullptr;
    Make(u"\\Device\\Q", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    auto file = Open();
    ksim::PendingIo read = file->ReadAsync(4);
    EXPECT_FALSE(read.Cancel());
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(held->Cancel);
    EXPECT_FALSE(read.Done());
    Complete(held, STATUS_CANCELLED);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
}

TEST_F(CancelTest, CancelBeforeTheRoutineIsSetIsSeenThroughTheCancelFlag)
{
    // The request is cancelled while the dispatch routine still holds it (as another thread
    // could): the queue sees Irp->Cancel after setting its routine and completes it at once.
    Make(u"\\Device\\Q", [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        EXPECT_FALSE(IoCancelIrp(irp));
        return Pend(device, irp);
    });
    auto file = Open();
    ksim::PendingIo read = file->ReadAsync(4);
    EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(read.Done());
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
}

// The completing side of a driver: a participant thread that completes the one request it is
// told it may complete, if the cancel routine has not got it first.
class Completer {
public:
    explicit Completer(ToyDevice *toy) : toy_(toy), thread_([this] { Run(); }) {}
    ~Completer()
    {
        stop_ = true;
        thread_.join();
    }
    void Allow(PIRP irp) { target_ = irp; }
    void Revoke() { target_ = nullptr; }
    int Completed() const { return completed_; }

private:
    PIRP TakeTarget(PIRP target)
    {
        Queue &q = toy_->queue;
        KIRQL irql;
        KeAcquireSpinLock(&q.lock, &irql);
        PIRP found = nullptr;
        for (auto it = q.irps.begin(); it != q.irps.end(); ++it) {
            if (*it != target) continue;
            if (IoSetCancelRoutine(target, nullptr) != nullptr) {
                found = target;
                q.irps.erase(it);
            }
            break;
        }
        KeReleaseSpinLock(&q.lock, irql);
        return found;
    }
    void Run()
    {
        ksim::Participant participant;
        while (!stop_) {
            PIRP target = target_;
            if (target != nullptr && TakeTarget(target) != nullptr) {
                target_.compare_exchange_strong(target, nullptr);
                Complete(target, STATUS_SUCCESS, 1);
                ++completed_;
                continue;
            }
            std::this_thread::yield();
        }
    }
    ToyDevice *toy_;
    std::atomic<bool> stop_{false};
    std::atomic<PIRP> target_{nullptr};
    std::atomic<int> completed_{0};
    std::thread thread_;
};

TEST_F(CancelTest, CancelRacingCompletionEndsEachRequestExactlyOnce)
{
    ToyDevice *toy = QueueingDevice();
    auto file = Open();
    Completer completer(toy);
    constexpr int kRounds = 3000;
    int cancelled = 0, succeeded = 0;
    for (int i = 0; i < kRounds; ++i) {
        ksim::PendingIo read = file->ReadAsync(1);
        ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
        PIRP irp = read.Irp();
        bool cancel_won = false;
        switch (i % 3) {
        case 0:  // before: the completer is not allowed near it
            EXPECT_TRUE(read.Cancel());
            cancel_won = true;
            break;
        case 1:  // after: the completion has happened when the cancel comes
            completer.Allow(irp);
            while (!read.Done()) std::this_thread::yield();
            EXPECT_FALSE(read.Cancel());
            break;
        default:  // during: both at once, at a varying offset
            completer.Allow(irp);
            for (int spin = 0; spin < (i * 7) % 64; ++spin) std::this_thread::yield();
            read.Cancel();
            break;
        }
        ksim::IoResult result = read.Wait();
        completer.Revoke();
        ASSERT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_CANCELLED) << std::hex << result.status;
        NTSTATUS expected = cancel_won ? STATUS_CANCELLED : i % 3 == 1 ? STATUS_SUCCESS : result.status;
        ASSERT_EQ(result.status, expected) << "round " << i;
        (result.status == STATUS_CANCELLED ? cancelled : succeeded)++;
        ASSERT_TRUE(ksim::Violations().empty()) << "round " << i << ":\n" << ViolationsText(ksim::Violations());
    }
    EXPECT_EQ(completer.Completed(), succeeded);
    EXPECT_EQ(cancelled + succeeded, kRounds);
    EXPECT_GE(cancelled, kRounds / 3);
    EXPECT_GE(succeeded, kRounds / 3);
    EXPECT_EQ(Queued(toy), 0u);
}

// A driver that exchanges the cancel routine away but completes whatever the exchange returned.
std::atomic<bool> g_in_cancel{false};
std::atomic<bool> g_completer_done{false};

VOID NTAPI SlowCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_in_cancel = true;
    while (!g_completer_done) std::this_thread::yield();
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(CancelTest, DriverIgnoringTheCancelExchangeCompletesTwiceAndIsCaught)
{
    static PIRP held;
    held = nullptr;
    g_in_cancel = false;
    g_completer_done = false;
    Make(u"\\Device\\Q", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        held = irp;
        IoSetCancelRoutine(irp, SlowCancel);
        return STATUS_PENDING;
    });
    auto file = Open();
    ksim::PendingIo read = file->ReadAsync(1);
    std::thread completer([&] {
        ksim::Participant participant;
        while (!g_in_cancel) std::this_thread::yield();
        IoSetCancelRoutine(held, nullptr);  // the result says the cancel routine owns it; ignored
        Complete(held, STATUS_SUCCESS, 1);
        g_completer_done = true;
    });
    EXPECT_TRUE(read.Cancel());
    completer.join();
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    ExpectViolations({"irp-completed-twice"});
}

// ---- ZwCancelIoFile ------------------------------------------------------------------------------

HANDLE OpenAsync(const u16 &path)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    EXPECT_EQ(ZwCreateFile(&handle, FILE_READ_DATA | FILE_WRITE_DATA, &attributes, &iosb, nullptr, 0, 3, FILE_OPEN, 0,
                           nullptr, 0),
              STATUS_SUCCESS);
    return handle;
}

TEST_F(CancelTest, CancelIoFileCancelsOnlyTheCallingThreadsRequests)
{
    ToyDevice *toy = QueueingDevice();
    HANDLE file = OpenAsync(u"\\Device\\Q");
    IO_STATUS_BLOCK mine[2] = {}, theirs{};
    uint8_t buffer[3][4];
    for (int i = 0; i < 2; ++i) {
        mine[i].Status = 0x1234;
        EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &mine[i], buffer[i], 4, nullptr, nullptr), STATUS_PENDING);
    }
    theirs.Status = 0x1234;
    std::thread other([&] {
        ksim::Participant participant;
        EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &theirs, buffer[2], 4, nullptr, nullptr), STATUS_PENDING);
    });
    other.join();
    ASSERT_EQ(Queued(toy), 3u);

    IO_STATUS_BLOCK cancel_iosb{};
    EXPECT_EQ(ZwCancelIoFile(file, &cancel_iosb), STATUS_SUCCESS);
    EXPECT_EQ(cancel_iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(mine[0].Status, STATUS_CANCELLED);
    EXPECT_EQ(mine[1].Status, STATUS_CANCELLED);
    EXPECT_EQ(theirs.Status, 0x1234);
    EXPECT_EQ(Queued(toy), 1u);

    Complete(Take(toy), STATUS_SUCCESS, 2);
    EXPECT_EQ(theirs.Status, STATUS_SUCCESS);
    EXPECT_EQ(theirs.Information, 2u);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    EXPECT_EQ(ZwCancelIoFile(file, &cancel_iosb), STATUS_INVALID_HANDLE);
}

std::atomic<PIRP> g_handed_over{nullptr};

// Cancel routine that leaves the completion to a worker thread.
VOID NTAPI HandOverCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_handed_over = irp;
}

TEST_F(CancelTest, CancelIoFileWaitsForTheCancelledRequestsToFinish)
{
    g_handed_over = nullptr;
    Make(u"\\Device\\Q", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, HandOverCancel);
        return STATUS_PENDING;
    });
    HANDLE file = OpenAsync(u"\\Device\\Q");
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x1234;
    uint8_t buffer[4];
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_PENDING);
    std::thread worker([] {
        ksim::Participant participant;
        PIRP irp;
        while ((irp = g_handed_over.load()) == nullptr) std::this_thread::yield();
        LARGE_INTEGER delay;
        delay.QuadPart = -10 * ksim::kTicksPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        Complete(irp, STATUS_CANCELLED);
    });
    int64_t before = ksim::Now();
    EXPECT_EQ(ZwCancelIoFile(file, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);  // filled before the call returned
    EXPECT_GE(ksim::Now() - before, 10 * ksim::kTicksPerMs);
    worker.join();
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

}  // namespace
