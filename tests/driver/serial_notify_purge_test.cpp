// serial_notify_purge_test.cpp - the request parked until surprise removal, and the purge of the
// waiting read and the receive ring.
#include "port_fixture.h"

using namespace port_test;

namespace {

// ---------------------------------------------------------------------------------------------
// IOCTL_VPARALLEL_NOTIFY_REMOVAL
// ---------------------------------------------------------------------------------------------
class SerialNotifyTest : public SerialTest {
protected:
    std::unique_ptr<DirectIrp> Notify() { return Send(IOCTL_VPARALLEL_NOTIFY_REMOVAL, nullptr, 0, 0); }
};

TEST_F(SerialNotifyTest, ParkedUntilCompletedOnce)
{
    auto notify = Notify();
    EXPECT_EQ(notify->Dispatch(), STATUS_PENDING);
    EXPECT_FALSE(notify->Done());
    EXPECT_EQ(port().Notify(), notify->Irp());
    EXPECT_EQ(notify->Irp()->CancelRoutine, &N_CancelRoutine) << "an application must be able to give up";

    CompleteNotifyIrp(Ext());
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
    EXPECT_EQ(notify->Information(), 0u);
    EXPECT_EQ(port().Notify(), nullptr);

    CompleteNotifyIrp(Ext());  // nothing parked: nothing completed
    EXPECT_EQ(notify->Completions(), 1);
}

TEST_F(SerialNotifyTest, SecondRequestWhileOneIsParkedIsBusy)
{
    auto first = Notify();
    auto second = Call(IOCTL_VPARALLEL_NOTIFY_REMOVAL);
    EXPECT_EQ(second->Status(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second->Information(), 0u);
    EXPECT_FALSE(first->Done());
    EXPECT_EQ(port().Notify(), first->Irp());
}

TEST_F(SerialNotifyTest, CancelEmptiesTheSlot)
{
    auto first = Notify();
    EXPECT_TRUE(first->Cancel());
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_EQ(first->Information(), 0u);
    EXPECT_EQ(port().Notify(), nullptr);

    auto next = Notify();  // the slot is free again
    EXPECT_FALSE(next->Done());
    EXPECT_EQ(port().Notify(), next->Irp());
}

TEST_F(SerialNotifyTest, CancelBeforeTheRoutineIsInstalled)
{
    auto early = std::make_unique<DirectIrp>(Fdo(), IOCTL_VPARALLEL_NOTIFY_REMOVAL, nullptr, 0, 0, true);
    EXPECT_EQ(early->Dispatch(), STATUS_PENDING);
    ASSERT_TRUE(early->Done());
    EXPECT_EQ(early->Status(), STATUS_CANCELLED);
    EXPECT_EQ(port().Notify(), nullptr);
}

// Surprise removal takes the request while the I/O manager has already claimed it for
// cancellation: the cancel routine completes it, once.
TEST_F(SerialNotifyTest, RemovalAndCancelCompleteItOnce)
{
    auto notify = Notify();
    notify->Irp()->Cancel = TRUE;
    ASSERT_EQ(IoSetCancelRoutine(notify->Irp(), NULL), &N_CancelRoutine);
    CompleteNotifyIrp(Ext());
    EXPECT_FALSE(notify->Done());
    EXPECT_EQ(port().Notify(), nullptr);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    notify->Irp()->CancelIrql = irql;
    N_CancelRoutine(Fdo(), notify->Irp());
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Completions(), 1);
    EXPECT_EQ(notify->Status(), STATUS_CANCELLED);
}

TEST_F(SerialNotifyTest, SurpriseRemovalCompletesIt)
{
    auto notify = Notify();
    auto nop = Call(IOCTL_VPARALLEL_NOP);
    EXPECT_EQ(nop->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(notify->Done());
    port().pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    ASSERT_TRUE(notify->Done());
    EXPECT_EQ(notify->Completions(), 1);
    EXPECT_EQ(notify->Status(), STATUS_SUCCESS);
    EXPECT_EQ(notify->Information(), 0u);
}

// ---------------------------------------------------------------------------------------------
// IOCTL_SERIAL_PURGE
// ---------------------------------------------------------------------------------------------

// A read request waiting in PendingReadIrp, as the read dispatch leaves it, with a cancel routine
// of its own that behaves as the read's does.
class WaitingRead {
public:
    WaitingRead(PDEVICE_OBJECT fdo) : fdo_(fdo)
    {
        irp_ = IoAllocateIrp(fdo->StackSize, FALSE);
        IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp_);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
        stack->MajorFunction = IRP_MJ_READ;
        stack->DeviceObject = fdo;
        stack->Parameters.Read.Length = 16;
        irp_->AssociatedIrp.SystemBuffer = buffer_;
        IoMarkIrpPending(irp_);
        auto ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        ext->PendingReadIrp = irp_;
        IoSetCancelRoutine(irp_, CancelRoutine);
        KeReleaseSpinLock(&ext->Lock, irql);
    }
    ~WaitingRead()
    {
        if (!Done()) {
            IoCancelIrp(irp_);
        }
        EXPECT_TRUE(Done());
        if (Done()) IoFreeIrp(irp_);
    }
    bool Done() const { return completions_ > 0; }
    int completions_ = 0;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    PIRP irp_;

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<WaitingRead *>(context);
        self->completions_++;
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        auto ext = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        if (ext->PendingReadIrp == irp) ext->PendingReadIrp = nullptr;
        KeReleaseSpinLock(&ext->Lock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    PDEVICE_OBJECT fdo_;
    UCHAR buffer_[16] = {};
};

TEST_F(SerialTest, PurgeMasks)
{
    struct Row {
        ULONG mask;
        bool read_aborted;
        bool ring_emptied;
    };
    const Row rows[] = {
        {0x2, true, false}, {0x8, false, true}, {0xA, true, true}, {0x1, false, false},
        {0x4, false, false}, {0x5, false, false}, {0x0, false, false}, {0xF, true, true},
    };
    MakePresent();
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << "mask " << row.mask);
        RxBufferReset(Ext()->RxBuffer);
        PutInRing(5);
        auto read = std::make_unique<WaitingRead>(Fdo());
        const Settings before = Snapshot();

        auto purge = Call(IOCTL_SERIAL_PURGE, &row.mask, 4, 4);
        EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
        EXPECT_EQ(purge->Information(), 4u);

        EXPECT_EQ(read->Done(), row.read_aborted);
        if (row.read_aborted) {
            EXPECT_EQ(read->completions_, 1);
            EXPECT_EQ(read->status_, STATUS_CANCELLED);
            EXPECT_EQ(read->information_, 0u);
        }
        EXPECT_EQ(port().PendingRead(), row.read_aborted ? nullptr : read->irp_);

        auto comm = Call(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
        SERIAL_STATUS status;
        std::memcpy(&status, comm->Output(sizeof(status)).data(), sizeof(status));
        EXPECT_EQ(status.AmountInInQueue, row.ring_emptied ? 0u : 5u);

        Settings expected = before;
        expected.pending_read = port().PendingRead();
        expected.ring_count = status.AmountInInQueue;
        EXPECT_EQ(Snapshot(), expected) << "the purge touched something else";
        read.reset();
        EXPECT_EQ(port().PendingRead(), nullptr);
    }
}

TEST_F(SerialTest, PurgeWithoutAWaitingReadOnlyEmptiesTheRing)
{
    PutInRing(9);
    const ULONG mask = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
    auto purge = Call(IOCTL_SERIAL_PURGE, &mask, 4, 0);
    EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->Information(), 0u) << "no output buffer, nothing reported";
    EXPECT_EQ(RxBufferCount(Ext()->RxBuffer), 0u);
    // The ring goes on working after the purge: new bytes come out in order.
    PutInRing(3, 0x61);
    UCHAR out[8] = {};
    EXPECT_EQ(RxBufferRead(Ext()->RxBuffer, out, sizeof(out)), 3u);
    EXPECT_EQ(out[0], 0x61);
    EXPECT_EQ(out[2], 0x63);
}

// The read's cancel routine has been called when the purge takes the read: the purge empties
// the slot but leaves the completion to the cancel routine.
TEST_F(SerialTest, PurgeLeavesACancellingReadToItsCancelRoutine)
{
    auto read = std::make_unique<WaitingRead>(Fdo());
    read->irp_->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(read->irp_, NULL);
    ASSERT_NE(routine, nullptr);
    const ULONG mask = SERIAL_PURGE_RXABORT;
    Call(IOCTL_SERIAL_PURGE, &mask, 4, 4);
    EXPECT_FALSE(read->Done());
    EXPECT_EQ(port().PendingRead(), nullptr);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    read->irp_->CancelIrql = irql;
    routine(Fdo(), read->irp_);
    EXPECT_EQ(read->completions_, 1);
    EXPECT_EQ(read->status_, STATUS_CANCELLED);
}

}  // namespace
