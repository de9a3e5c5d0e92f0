// The I/O manager's devices and IRPs: creation, attachment, delivery down a stack, completion
// routines, pending propagation, and the verifier rules a wrong driver breaks.
#include "io_toy_driver.h"

#include <cstring>
#include <string>

using namespace iotest;
using ksim::u16;

namespace {

class IrpTest : public IoTest {};

TEST_F(IrpTest, CreateDeviceGivesAZeroedNamedDeviceLinkedToItsDriver)
{
    UNICODE_STRING name = Counted(u"\\Device\\Toy0");
    PDEVICE_OBJECT a = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_->Object(), 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &a), STATUS_SUCCESS);
    memset(a->DeviceExtension, 0xAB, 64);
    IoDeleteDevice(a);
    // Same size again: whatever memory comes back, the extension starts zeroed.
    ASSERT_EQ(IoCreateDevice(driver_->Object(), 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &a), STATUS_SUCCESS);
    auto *ext = static_cast<const uint8_t *>(a->DeviceExtension);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(ext[i], 0) << "byte " << i;
    EXPECT_EQ(a->Type, 3);
    EXPECT_EQ(a->StackSize, 1);
    EXPECT_EQ(a->Flags & (DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME), ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(a->DriverObject, driver_->Object());
    EXPECT_TRUE(ksim::ObjectExists(u"\\Device\\Toy0"));

    PDEVICE_OBJECT b = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver_->Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &b), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(b, nullptr);
    ASSERT_EQ(IoCreateDevice(driver_->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &b), STATUS_SUCCESS);
    EXPECT_EQ(b->Flags & DO_DEVICE_HAS_NAME, 0u);
    EXPECT_EQ(driver_->Object()->DeviceObject, b);  // newest first
    EXPECT_EQ(b->NextDevice, a);

    IoDeleteDevice(a);
    EXPECT_FALSE(ksim::ObjectExists(u"\\Device\\Toy0"));
    EXPECT_EQ(driver_->Object()->DeviceObject, b);
    EXPECT_EQ(b->NextDevice, nullptr);
    IoDeleteDevice(b);
    EXPECT_EQ(driver_->Object()->DeviceObject, nullptr);
}

TEST_F(IrpTest, InjectedCreationFaultFailsTheCallOnly)
{
    ksim::InjectFault(ksim::Fault::DeviceCreation, STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver_->Object(), 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(driver_->Object()->DeviceObject, nullptr);
    EXPECT_NE(Make(), nullptr);
}

TEST_F(IrpTest, DeviceServicesAbovePassiveLevelAreViolations)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    KeLowerIrql(old);
    ExpectViolations({"passive-required"});
    ASSERT_EQ(status, STATUS_SUCCESS);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoDeleteDevice(device);
    KeLowerIrql(old);
    ExpectViolations({"passive-required"});
}

TEST_F(IrpTest, AttachGoesOnTopOfTheWholeStack)
{
    ToyDevice *bottom = Make(u"\\Device\\Bottom");
    ToyDevice *middle = Stack(bottom);
    ToyDevice *top = Stack(bottom);  // named the bottom, lands above the middle
    EXPECT_EQ(middle->lower, bottom->device);
    EXPECT_EQ(top->lower, middle->device);
    EXPECT_EQ(middle->device->StackSize, 2);
    EXPECT_EQ(top->device->StackSize, 3);
    EXPECT_EQ(bottom->device->AttachedDevice, middle->device);
    EXPECT_EQ(middle->device->AttachedDevice, top->device);

    PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(bottom->device);
    EXPECT_EQ(ref, top->device);
    ObDereferenceObject(ref);

    ksim::InjectFault(ksim::Fault::Attach, STATUS_UNSUCCESSFUL);
    ToyDevice *refused = Stack(bottom);
    EXPECT_EQ(refused->lower, nullptr);
    EXPECT_EQ(top->device->AttachedDevice, nullptr);
    EXPECT_EQ(refused->device->StackSize, 1);
}

TEST_F(IrpTest, DeletingADeviceStillAttachedIsAViolation)
{
    ToyDevice *lower = Make();
    ToyDevice *upper = Stack(lower);
    IoDeleteDevice(upper->device);  // without IoDetachDevice first
    ExpectViolations({"device-deleted-while-attached"});
    // The stack no longer leads to the freed device: new requests go to the one left.
    EXPECT_EQ(lower->device->AttachedDevice, nullptr);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower->device);
    EXPECT_EQ(top, lower->device);
    ObDereferenceObject(top);
    IoDetachDevice(lower->device);
    EXPECT_EQ(lower->device->AttachedDevice, nullptr);
    Forget(upper);
}

TEST_F(IrpTest, RequestReachesTheTopAndEachDriverSeesItsOwnLocation)
{
    ToyDevice *bottom = Make(u"\\Device\\Bottom", [](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(loc->DeviceObject, device);
        EXPECT_EQ(irp->CurrentLocation, 1);
        EXPECT_EQ(loc->MinorFunction, 5);
        return Complete(irp, STATUS_SUCCESS, 3);
    });
    ToyDevice *top = Stack(bottom, [](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(irp->CurrentLocation, 2);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoGetNextIrpStackLocation(irp)->MinorFunction = 5;
        return IoCallDriver(Toy(device)->lower, irp);
    });
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
            EXPECT_EQ(device, nullptr);  // the allocator's own routine has no device
            EXPECT_EQ(irp->IoStatus.Information, 3u);
            KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours to free
        },
        &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top->device, irp), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, UnregisteredMajorFunctionsGetInvalidDeviceRequest)
{
    Make(u"\\Device\\Toy");
    driver_->Object()->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = nullptr;  // cleared by the driver
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Toy", &file), STATUS_SUCCESS);
    EXPECT_EQ(file->SendAsync(IRP_MJ_FLUSH_BUFFERS).Wait().status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(file->SendAsync(IRP_MJ_SYSTEM_CONTROL).Wait().status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(file->SendAsync(IRP_MJ_QUERY_INFORMATION).DispatchStatus(), STATUS_INVALID_DEVICE_REQUEST);
}

// ---- completion routines -------------------------------------------------------------------------

struct RoutineCase {
    const char *name;
    NTSTATUS status;
    bool cancel_flag;
    bool on_success, on_error, on_cancel;
    bool called;
};

class CompletionRoutineTest : public IoTest, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(CompletionRoutineTest, RoutineRunsWhenTheFinalStatusAsksForIt)
{
    const RoutineCase c = GetParam();
    struct Seen {
        bool called = false;
        PDEVICE_OBJECT device = nullptr;
    } seen;
    ToyDevice *bottom = Make(u"\\Device\\Bottom", [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        irp->Cancel = c.cancel_flag;
        return Complete(irp, c.status);
    });
    ToyDevice *top = Stack(bottom, [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
                    auto *s = static_cast<Seen *>(context);
                    s->called = true;
                    s->device = device;
                    if (irp->PendingReturned) IoMarkIrpPending(irp);
                    return STATUS_SUCCESS;
                },
                &seen, c.on_success, c.on_error, c.on_cancel);
        }
        return IoCallDriver(Toy(device)->lower, irp);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Bottom", &file), STATUS_SUCCESS);
    EXPECT_EQ(file->Read(4).status, c.status);
    EXPECT_EQ(seen.called, c.called);
    if (c.called) {
        EXPECT_EQ(seen.device, top->device);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Io, CompletionRoutineTest,
    ::testing::Values(RoutineCase{"success_on_success", STATUS_SUCCESS, false, true, false, false, true},
                      RoutineCase{"success_on_error_only", STATUS_SUCCESS, false, false, true, true, false},
                      RoutineCase{"error_on_error", STATUS_IO_DEVICE_ERROR, false, false, true, false, true},
                      RoutineCase{"error_on_success_only", STATUS_IO_DEVICE_ERROR, false, true, false, true, false},
                      RoutineCase{"cancelled_on_cancel", STATUS_CANCELLED, true, false, false, true, true},
                      // The cancel flag decides, not the status.
                      RoutineCase{"cancelled_status_without_flag", STATUS_CANCELLED, false, true, false, true, false},
                      RoutineCase{"flag_with_success_status", STATUS_SUCCESS, true, false, true, true, true}),
    [](const ::testing::TestParamInfo<RoutineCase> &info) { return std::string(info.param.name); });

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain)
{
    static PIRP reclaimed;
    reclaimed = nullptr;
    ToyDevice *bottom = Make(u"\\Device\\Bottom", [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return Pend(device, irp);
    });
    Stack(bottom, [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(Toy(device)->lower, irp);
        }
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                reclaimed = irp;
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(Toy(device)->lower, irp);
        return STATUS_PENDING;
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Bottom", &file), STATUS_SUCCESS);
    ksim::PendingIo read = file->ReadAsync(8);
    EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
    PIRP irp = Take(bottom);
    ASSERT_NE(irp, nullptr);
    Complete(irp, STATUS_SUCCESS, 2);
    ASSERT_EQ(reclaimed, irp);
    EXPECT_FALSE(read.Done());  // completion stopped at the upper driver's routine
    EXPECT_EQ(read.Irp(), irp);
    // The upper driver finishes the request later, with its own result.
    irp->IoStatus.Information = 6;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ksim::IoResult result = read.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 6u);
}

TEST_F(IrpTest, PendingMarkTravelsUpThroughDriversWithoutARoutine)
{
    static BOOLEAN top_saw_pending;
    top_saw_pending = FALSE;
    auto pass = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(Toy(device)->lower, irp);  // no routine: the mark must be carried up
    };
    ToyDevice *bottom = Make(u"\\Device\\Bottom", [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return Pend(device, irp);
    });
    Stack(bottom, pass);
    Stack(bottom, [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) top_saw_pending = irp->PendingReturned;
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(Toy(device)->lower, irp);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Bottom", &file), STATUS_SUCCESS);
    ksim::PendingIo read = file->ReadAsync(8);
    EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
    Complete(Take(bottom), STATUS_SUCCESS, 1);
    EXPECT_EQ(read.Wait().information, 1u);
    EXPECT_TRUE(top_saw_pending);
    // Every driver returned STATUS_PENDING with its location marked by completion time:
    // the teardown check finds no "pending-not-marked".
}

// ---- what a wrong driver does ----------------------------------------------------------------------

struct WrongCase {
    const char *name;
    const char *rule;
    NTSTATUS (*read)(PDEVICE_OBJECT device, PIRP irp);
};

VOID NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

NTSTATUS SiblingForward(PDEVICE_OBJECT device, PIRP irp);

class WrongDriverTest : public IoTest, public ::testing::WithParamInterface<WrongCase> {
protected:
    static PDEVICE_OBJECT sibling;
    friend NTSTATUS SiblingForward(PDEVICE_OBJECT device, PIRP irp);
};
PDEVICE_OBJECT WrongDriverTest::sibling = nullptr;

// Forwards to a device that is not below it: the request has no location left for it.
NTSTATUS SiblingForward(PDEVICE_OBJECT, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IoCallDriver(WrongDriverTest::sibling, irp);
    return Complete(irp, status);
}

TEST_P(WrongDriverTest, EachRuleFires)
{
    const WrongCase c = GetParam();
    Make(u"\\Device\\Wrong", [&](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return c.read(device, irp);
    });
    sibling = Make()->device;
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Wrong", &file), STATUS_SUCCESS);
    ksim::IoResult result = file->Read(4);
    EXPECT_LE(result.information, 4u);
    EXPECT_LE(result.data.size(), 4u);
    ExpectViolations({c.rule});
}

INSTANTIATE_TEST_SUITE_P(
    Io, WrongDriverTest,
    ::testing::Values(
        WrongCase{"completed_then_pending_returned", "pending-not-marked",
                  [](PDEVICE_OBJECT, PIRP irp) {
                      Complete(irp, STATUS_SUCCESS);
                      return STATUS_PENDING;
                  }},
        WrongCase{"completed_twice", "irp-completed-twice",
                  [](PDEVICE_OBJECT, PIRP irp) {
                      Complete(irp, STATUS_SUCCESS);
                      Complete(irp, STATUS_SUCCESS);
                      return STATUS_SUCCESS;
                  }},
        WrongCase{"completed_with_cancel_routine", "irp-completed-with-cancel-routine",
                  [](PDEVICE_OBJECT, PIRP irp) {
                      IoSetCancelRoutine(irp, NeverCalledCancel);
                      return Complete(irp, STATUS_SUCCESS);
                  }},
        WrongCase{"completed_with_pending_status", "irp-completed-pending",
                  [](PDEVICE_OBJECT, PIRP irp) {
                      Complete(irp, STATUS_PENDING);
                      return STATUS_SUCCESS;
                  }},
        WrongCase{"forwarded_without_a_location", "irp-stack-overflow", SiblingForward},
        WrongCase{"information_beyond_the_buffer", "information-exceeds-buffer",
                  [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 10); }}),
    [](const ::testing::TestParamInfo<WrongCase> &info) { return std::string(info.param.name); });

TEST_F(IrpTest, PendingReturnedUnmarkedIsCaughtWhenCompletionComesLater)
{
    static PIRP held;
    held = nullptr;
    Make(u"\\Device\\Wrong", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        held = irp;  // kept for later, but never marked pending
        return STATUS_PENDING;
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Wrong", &file), STATUS_SUCCESS);
    ksim::PendingIo read = file->ReadAsync(4);
    EXPECT_TRUE(ksim::Violations().empty());
    Complete(held, STATUS_SUCCESS);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    ExpectViolations({"pending-not-marked"});
}

TEST_F(IrpTest, InformationIsCappedToTheCallersBuffer)
{
    Make(u"\\Device\\Toy", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        memset(irp->AssociatedIrp.SystemBuffer, 'x', 4);
        return Complete(irp, STATUS_SUCCESS, 4096);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Toy", &file), STATUS_SUCCESS);
    ksim::IoResult result = file->Read(4);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(result.data, std::vector<uint8_t>(4, 'x'));
    ExpectViolations({"information-exceeds-buffer"});
}

TEST_F(IrpTest, DriverOwnIrpMisuse)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    ExpectViolations({"irp-freed-twice"});

    // A driver's own request that its routine does not reclaim reaches nobody.
    ToyDevice *toy = Make();
    irp = IoAllocateIrp(toy->device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(toy->device, irp), STATUS_SUCCESS);
    ExpectViolations({"irp-without-requester"});
}

TEST_F(IrpTest, RequestsLeftOutstandingAreLeaks)
{
    ToyDevice *toy = Make(u"\\Device\\Toy", [](PDEVICE_OBJECT device, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return Pend(device, irp);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Toy", &file), STATUS_SUCCESS);
    ksim::PendingIo a = file->ReadAsync(1);
    ksim::PendingIo b = file->ReadAsync(1);
    file->Close();  // cleanup goes; the close waits for the two requests
    auto leaks = ksim::CheckLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].rule, "leak-irp");
    EXPECT_NE(leaks[0].detail.find("2 request"), std::string::npos) << leaks[0].detail;
    ExpectViolations({"leak-irp"});
    Complete(Take(toy), STATUS_SUCCESS);
    Complete(Take(toy), STATUS_SUCCESS);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

}  // namespace
