/*
 * create_close.cpp - the application's open, cleanup and close of the port.
 *
 * All three run at PASSIVE_LEVEL in the thread of the application and complete their request
 * themselves. They hold the port mutex (WriteMutex) from start to end, so an open never runs
 * while a cleanup is still stopping the previous open's workers, and never while another open
 * is half-way: the second one waits and then finds the port open.
 *
 * The port belongs to the file object of its successful open. Cleanup and close act only for
 * that file object; a close that arrives without a cleanup (as some hosts send it) runs the
 * cleanup's teardown itself.
 */
#include "port/port.h"

#include "buffers/wait_queue.h"
#include "link/link.h"

/* ---- Open ------------------------------------------------------------------------------------- */

static NTSTATUS FailCreate(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS RefuseSecondOpen(PIRP Irp)
{
    DbgPrint("VPARALLEL_Create CreateON Error \n");
    return FailCreate(Irp, STATUS_PORT_CONNECTION_REFUSED);
}

static VOID ResetWorkerEvents(PDEVICE_EXTENSION Extension)
{
    ULONG index;

    for (index = 0; index < VP_EVENT_COUNT; index++) {
        KeResetEvent(&Extension->Events[index]);
    }
}

/* The link checks, in their order, and the device open. Completes the request on failure. */
static NTSTATUS LinkAndOpenDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status;

    if (GetUsbHardwareId(Extension) == 0) {
        DbgPrint("VPARALLEL_Create GetUsbHardwareId Error \n");
        return FailCreate(Irp, STATUS_UNSUCCESSFUL);
    }
    if (!IsSupportedVendor(Extension)) {
        DbgPrint("VPARALLEL_Create wcsncmp Error \n");
        return FailCreate(Irp, STATUS_DEVICE_POWERED_OFF);
    }
    Extension->ModelClass = ClassifyModel(Extension);
    if (IsLinkedUsb(Extension) == 0) {
        DbgPrint("VPARALLEL_Create IsLinkedUsb Error \n");
        FailCreate(Irp, STATUS_DEVICE_POWERED_OFF);
        LowerModemLines(Extension);
        return STATUS_DEVICE_POWERED_OFF;
    }
    RaiseModemLines(Extension);
    status = CreateWriteHandle(Extension);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VPARALLEL_Create CreateWriteHandle Error \n");
        return FailCreate(Irp, status);
    }
    return status;
}

/* A successful open has workers again. Caller holds the port mutex; Lock is taken too, since
 * the dispatch routines read the field under either. */
static VOID ClearTornDown(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    Extension->TornDown = FALSE;
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/*
 * The workers are created before the open completes, so that an open that cannot have all three
 * fails as a whole: nothing of it stays behind. They start their loops only after the completion.
 */
static NTSTATUS OpenPort(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS openStatus;
    NTSTATUS status;

    if (VpIsOpen(Extension) != 0 || Extension->WorkersActive) {
        return RefuseSecondOpen(Irp);
    }
    openStatus = LinkAndOpenDevice(Extension, Irp);
    if (!NT_SUCCESS(openStatus)) {
        return openStatus;
    }

    ResetWorkerEvents(Extension);
    Extension->ReadCompleteEventHandle = NULL;
    Extension->ReadCompleteEvent = NULL;
    KeInitializeEvent(&Extension->WorkersStartEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReadThreadWakeEvent, NotificationEvent, FALSE);
    status = StartWorkers(Extension);
    if (!NT_SUCCESS(status)) {
        CloseWriteHandle(Extension);
        return FailCreate(Irp, status);
    }

    ClearTornDown(Extension);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    Extension->OpenFileObject = fileObject;
    Extension->WorkersActive = TRUE;
    VpSetOpen(Extension, 1);
    KeSetEvent(&Extension->WorkersStartEvent, 0, FALSE);
    return openStatus;
}

NTSTATUS VPARALLEL_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    DbgPrint("VPARALLEL_Create Start \n");
    /* A port that is open refuses at once, without waiting for the mutex a print job may hold;
     * one that looks closed is checked again under the mutex, which a cleanup may still hold. */
    if (VpIsOpen(extension) != 0) {
        return RefuseSecondOpen(Irp);
    }
    AcquirePortMutex(extension);
    status = OpenPort(extension, Irp);
    ReleasePortMutex(extension);
    return status;
}

/* ---- Teardown (cleanup, or a close without cleanup) -------------------------------------------- */

/* Every wait request of the port that no worker would answer: those that found the queue full. */
static VOID CancelOverflowWaits(PDEVICE_EXTENSION Extension)
{
    PIRP irp;

    while ((irp = RequestListTakeFirst(&Extension->OverflowWaits)) != NULL) {
        CompleteTakenRequest(irp, STATUS_CANCELLED, 0);
    }
}

/* Wait requests still queued complete as cancelled before any worker stops, and so do those that
 * found the queue full. */
static VOID CancelQueuedWaits(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    LONG count;
    PIRP irp;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    for (count = WaitQueueCount(Extension); count > 0; count--) {
        irp = WaitQueuePop(Extension);
        if (irp == NULL) {
            break;
        }
        CompleteTakenRequest(irp, STATUS_CANCELLED, 0);
    }
    CancelOverflowWaits(Extension);
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/* Requests that reached the port while its workers were stopping would otherwise wait for
 * nobody: every one the port still holds completes as cancelled. Marking the port torn down in
 * the same hold of Lock leaves no gap in which a later request could still be parked. */
static VOID CancelHeldRequests(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    PIRP irp;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    while ((irp = WaitQueuePop(Extension)) != NULL) {
        CompleteTakenRequest(irp, STATUS_CANCELLED, 0);
    }
    CancelOverflowWaits(Extension);
    CancelHeldReads(Extension);
    Extension->TornDown = TRUE;
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/* A class 3 device answers the status request, which ends the read thread's outstanding read. */
static VOID ReleaseDeviceRead(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER delay;
    BOOLEAN inReadCycle = InterlockedCompareExchangePointer(&Extension->ReadCompleteEventHandle, NULL, NULL) != NULL;

    if (inReadCycle && Extension->ModelClass == VP_MODEL_CLASS_3) {
        SendStatusRequest(Extension);
        delay.QuadPart = VP_RELATIVE_MS(VP_STATUS_REQUEST_DELAY_MS);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    /* A read thread still waiting on the device cancels its read once it sees the port closed. */
    KeSetEvent(&Extension->ReadThreadWakeEvent, 0, FALSE);
}

/* The workers stop one after the other. Only a cleanup announces it: a close prints nothing. */
static VOID StopWorkers(PDEVICE_EXTENSION Extension, BOOLEAN Announce)
{
    if (Announce) {
        DbgPrint(" + ReadPollingExitEvent \n");
    }
    StopWorker(Extension, ReadPollingExitEvent, &Extension->ReadPollingThread);
    if (Announce) {
        DbgPrint(" + EmulationPollingExitEvent \n");
    }
    StopWorker(Extension, EmulationPollingExitEvent, &Extension->EmulationPollingThread);
    if (Announce) {
        DbgPrint(" + ReadThreadExitEvent \n");
    }
    StopWorker(Extension, ReadThreadExitEvent, &Extension->ReadThread);
    if (Announce) {
        DbgPrint(" + SetEvent End \n");
    }
}

static VOID TeardownPort(PDEVICE_EXTENSION Extension, BOOLEAN FromCleanup)
{
    CancelQueuedWaits(Extension);
    VpSetOpen(Extension, 0);
    ReleaseDeviceRead(Extension);
    StopWorkers(Extension, FromCleanup);

    CloseWriteHandle(Extension);
    CancelHeldRequests(Extension);
    Extension->WorkersActive = FALSE;
}

static BOOLEAN IsPortOwner(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    return Extension->OpenFileObject != NULL &&
           Extension->OpenFileObject == IoGetCurrentIrpStackLocation(Irp)->FileObject;
}

NTSTATUS VPARALLEL_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DbgPrint("VPARALLEL_Cleanup : Begin \n");
    AcquirePortMutex(extension);
    if (IsPortOwner(extension, Irp) && extension->WorkersActive) {
        TeardownPort(extension, TRUE);
    }
    ReleasePortMutex(extension);
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DbgPrint("VPARALLEL_Cleanup End \n");
    return STATUS_SUCCESS;
}

/* ---- Close ------------------------------------------------------------------------------------ */

NTSTATUS VPARALLEL_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    AcquirePortMutex(extension);
    if (IsPortOwner(extension, Irp)) {
        if (extension->WorkersActive) {
            TeardownPort(extension, FALSE);
        }
        if (extension->HardwareId[0] != 0) {
            RtlZeroMemory(extension->HardwareId, sizeof(extension->HardwareId));
        }
        VpSetOpen(extension, 0);
        extension->OpenFileObject = NULL;
    }
    ReleasePortMutex(extension);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
