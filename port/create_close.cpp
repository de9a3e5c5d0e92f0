/*
 * create_close.cpp - the application's open, cleanup and close of the port.
 *
 * All three run at PASSIVE_LEVEL in the thread of the application and complete their request
 * themselves, each in one place. They hold PortMutex while they change the port's state (see
 * VP_PORT_STATE), so an open never runs while a cleanup is still stopping the previous open's
 * workers, and never while another open is half-way: the second one waits and then finds the
 * port open. An open of a port that is open is refused without waiting for the mutex.
 *
 * The port belongs to the file object of its successful open. Cleanup and close act only for
 * that file object; a close that arrives without a cleanup (as Wine sends it) runs the cleanup's
 * teardown itself, silently.
 */
#include "port/port.h"

#include "buffers/wait_queue.h"
#include "link/link.h"

/* ---- Open ------------------------------------------------------------------------------------- */

static NTSTATUS RefuseSecondOpen(VOID)
{
    DbgPrint("VPARALLEL_Create CreateON Error \n");
    return STATUS_PORT_CONNECTION_REFUSED;
}

/* The file object of the successful open. Windows sends cleanup and close only for file objects
 * whose create succeeded; HOST (Wine): Wine sends a close for a refused open too, which must not
 * tear down the port another handle holds. Caller holds PortMutex. */
static BOOLEAN IsPortOwner(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    return Extension->OpenFileObject != NULL &&
           Extension->OpenFileObject == IoGetCurrentIrpStackLocation(Irp)->FileObject;
}

static VOID ResetWorkerEvents(PDEVICE_EXTENSION Extension)
{
    ULONG index;

    for (index = 0; index < VP_EVENT_COUNT; index++) {
        KeResetEvent(&Extension->Events[index]);
    }
}

/* The link checks, in their order, and the device open; each failure prints its message.
 * *DeviceAbsent tells the caller to drop CTS and DSR once the create is completed. */
static NTSTATUS LinkAndOpenDevice(PDEVICE_EXTENSION Extension, PBOOLEAN DeviceAbsent)
{
    NTSTATUS status;

    if (GetUsbHardwareId(Extension) == 0) {
        DbgPrint("VPARALLEL_Create GetUsbHardwareId Error \n");
        return STATUS_UNSUCCESSFUL;
    }
    if (!IsSupportedVendor(Extension)) {
        DbgPrint("VPARALLEL_Create wcsncmp Error \n");
        return STATUS_DEVICE_POWERED_OFF;
    }
    Extension->ModelClass = ClassifyModel(Extension);
    if (IsLinkedUsb(Extension) == 0) {
        DbgPrint("VPARALLEL_Create IsLinkedUsb Error \n");
        *DeviceAbsent = TRUE;
        return STATUS_DEVICE_POWERED_OFF;
    }
    RaiseModemLines(Extension);
    status = CreateWriteHandle(Extension);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VPARALLEL_Create CreateWriteHandle Error \n");
    }
    return status;
}

/*
 * Everything an open does before it completes. The workers are created here, so that an open
 * that cannot have all three fails as a whole and leaves nothing behind; they wait for
 * WorkersStartEvent before their first cycle. On success the port is PortOpen when the create
 * completes, so a request the application sends at once is served as on an open port. Caller
 * holds PortMutex.
 */
static NTSTATUS PreparePort(PDEVICE_EXTENSION Extension, PFILE_OBJECT FileObject, PBOOLEAN DeviceAbsent)
{
    NTSTATUS status;
    VP_PORT_STATE state = VpPortState(Extension);

    if (state != PortIdle && state != PortTornDown) {
        return RefuseSecondOpen();
    }
    status = LinkAndOpenDevice(Extension, DeviceAbsent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ResetWorkerEvents(Extension);
    Extension->ReadCompleteEventHandle = NULL;
    Extension->ReadCompleteEvent = NULL;
    KeInitializeEvent(&Extension->WorkersStartEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReadThreadWakeEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Extension->ReceiveEvent, SynchronizationEvent, FALSE);
    status = StartWorkers(Extension);
    if (!NT_SUCCESS(status)) {
        CloseWriteHandle(Extension);
        return status;
    }
    Extension->OpenFileObject = FileObject;
    VpSetPortState(Extension, PortOpen);
    return status;
}

NTSTATUS VPARALLEL_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN deviceAbsent = FALSE;
    BOOLEAN locked = FALSE;
    NTSTATUS status;

    DbgPrint("VPARALLEL_Create Start \n");
    /* A port that is open refuses at once, without waiting for the mutex a print job may hold;
     * one that looks closed is checked again under the mutex, which a cleanup may still hold. */
    if (VpIsOpen(extension) != 0) {
        status = RefuseSecondOpen();
    } else {
        AcquirePortMutex(extension);
        locked = TRUE;
        status = PreparePort(extension, fileObject, &deviceAbsent);
    }

    /* The open's one completion. A failed open's Information is left as it came. */
    Irp->IoStatus.Status = status;
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    if (deviceAbsent) {
        LowerModemLines(extension);
    }
    if (NT_SUCCESS(status)) {
        KeSetEvent(&extension->WorkersStartEvent, 0, FALSE);
    }
    if (locked) {
        ReleasePortMutex(extension);
    }
    return status;
}

/* ---- Teardown (cleanup, or a close without cleanup) -------------------------------------------- */

/* Cleanup's first step: the queued wait requests, and those that found the queue full, complete
 * as cancelled before any worker stops. They are completed holding Lock, as the workers complete
 * theirs, so that a worker between its pop and its push-back never sees the queue half-emptied. */
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
    while ((irp = RequestListTakeFirst(&Extension->OverflowWaits)) != NULL) {
        CompleteTakenRequest(irp, STATUS_CANCELLED, 0);
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/* The teardown's last step. Requests that reached the port while its workers were stopping would
 * wait for nobody: every one the port still holds is taken, and the port marked torn down, in one
 * hold of Lock, so no later request can still be parked; they complete as cancelled after it. */
static VOID CancelHeldRequests(PDEVICE_EXTENSION Extension)
{
    REQUEST_LIST done = {NULL};
    KIRQL irql;
    PIRP irp;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    while ((irp = WaitQueuePop(Extension)) != NULL) {
        CollectTakenRequest(&done, irp);
    }
    while ((irp = RequestListTakeFirst(&Extension->OverflowWaits)) != NULL) {
        CollectTakenRequest(&done, irp);
    }
    CollectHeldReads(Extension, &done);
    VpSetPortState(Extension, PortTornDown);
    KeReleaseSpinLock(&Extension->Lock, irql);
    CompleteRequestList(&done, STATUS_CANCELLED, 0);
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

/* PortOpen or PortRemoved to PortClosing to PortTornDown. Caller holds PortMutex. */
static VOID TeardownPort(PDEVICE_EXTENSION Extension, BOOLEAN FromCleanup)
{
    CancelQueuedWaits(Extension);
    VpSetPortState(Extension, PortClosing);
    ReleaseDeviceRead(Extension);
    StopWorkers(Extension, FromCleanup);
    CloseWriteHandle(Extension);
    CancelHeldRequests(Extension);
}

/* The file object of the successful open, while its workers have not been torn down. Caller
 * holds PortMutex. */
static BOOLEAN OwnsRunningPort(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    VP_PORT_STATE state = VpPortState(Extension);

    return IsPortOwner(Extension, Irp) && state != PortIdle && state != PortTornDown;
}

NTSTATUS VPARALLEL_Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DbgPrint("VPARALLEL_Cleanup : Begin \n");
    AcquirePortMutex(extension);
    if (OwnsRunningPort(extension, Irp)) {
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
    if (OwnsRunningPort(extension, Irp)) {
        /* HOST (Wine): a close that comes without a cleanup, which Windows always sends first,
         * still stops the workers and completes what the port holds. */
        TeardownPort(extension, FALSE);
    }
    if (IsPortOwner(extension, Irp)) {
        if (extension->HardwareId[0] != 0) {
            RtlZeroMemory(extension->HardwareId, sizeof(extension->HardwareId));
        }
        extension->OpenFileObject = NULL;
    }
    ReleasePortMutex(extension);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
