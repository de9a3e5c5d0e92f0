/*
 * pnp.cpp - Plug and Play, power and system-control requests for the port's FDO.
 *
 * The driver acts on three PnP events only: start (publish the port), surprise removal (shut
 * the port off while handles may still be open) and removal (unpublish, free, detach, delete).
 * Query-remove and cancel-remove go down succeeded, as the removals do; everything else, every
 * power request and every WMI request goes down to LowerDevice as it came.
 * The driver owns no power policy and provides no WMI data.
 *
 * Context: PnP requests come at PASSIVE_LEVEL in the PnP manager's thread, one at a time per
 * device. StartCompletionRoutine and VPARALLEL_Power may run at DISPATCH_LEVEL.
 */
#include "driver/vparallel.h"
#include "buffers/ring_buffer.h"


/* Hands the request to Lower unchanged and returns what Lower returns. */
static NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower, Irp);
}

/* Query-remove, cancel-remove, surprise removal and removal: the function driver succeeds them
 * before they go down, as Windows requires. A bus driver leaves the status of a request it does
 * not handle as it finds it, and the PnP manager presets STATUS_NOT_SUPPORTED, which for a
 * query-remove is a veto: every removal, update or uninstall would wait for a restart. */
static NTSTATUS SucceedAndPassDown(PDEVICE_OBJECT Lower, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Lower, Irp);
}

/*
 * The lower drivers start first; this driver takes the request back through
 * StartCompletionRoutine, completes it with the status they left, and only then publishes the
 * port. A failed publication does not fail the start: the device works, it is just not named.
 */
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletionRoutine, &lowerDone, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, NULL);
    }

    Irp->IoStatus.Information = 0;
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    if (NT_SUCCESS(status)) {
        ReportIfFailed((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, VpRefusalNotPublished,
                       PublishPort(DeviceObject));
    }
    return status;
}

/*
 * The device is gone while applications may still hold handles. The interface goes off, the
 * application waiting on the removal notice is told, the emulated lines drop, and the workers
 * are told to stop; their exit work completes the requests they hold. Nothing is waited for
 * here: the application's close runs the normal cleanup, which reaps the threads. Links and
 * the device-map value stay until removal.
 */
static VOID SurpriseRemove(PDEVICE_EXTENSION Extension)
{
    IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);

    /* Takes NotifyIrp under Lock with the cancel handshake, so the request is completed once
     * whether a new one is being parked or the application is cancelling it right now. */
    CompleteNotifyIrp(Extension);

    /* Bracketed by the count an open that runs meanwhile checks (see SurpriseRemovals). */
    InterlockedIncrement(&Extension->SurpriseRemovals);
    LowerModemLines(Extension);
    ReportSurpriseRemoval(Extension);
    VpMarkPortRemoved(Extension);

    /* Done events too, so nothing that waits on either kind stays blocked. */
    KeSetEvent(&Extension->Events[ReadPollingDoneEvent], 0, FALSE);
    KeSetEvent(&Extension->Events[ReadPollingExitEvent], 0, FALSE);
    KeSetEvent(&Extension->Events[EmulationPollingDoneEvent], 0, FALSE);
    KeSetEvent(&Extension->Events[EmulationPollingExitEvent], 0, FALSE);
    KeSetEvent(&Extension->Events[ReadThreadDoneEvent], 0, FALSE);
    KeSetEvent(&Extension->Events[ReadThreadExitEvent], 0, FALSE);
    InterlockedIncrement(&Extension->SurpriseRemovals);
}

/*
 * The last request the FDO sees. By now the port has been closed, and closing reaped the
 * workers. After IoDeleteDevice neither the device nor its extension is touched: the request
 * goes down to the lower device the caller saved on entry.
 */
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT Lower, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    CloseRefusalLog(extension);
    UnpublishPort(DeviceObject);
    if (extension->RxBuffer != NULL) {
        RxBufferFree(extension->RxBuffer);
        extension->RxBuffer = NULL;
    }
    VpMarkPortRemoved(extension);

    IoDetachDevice(Lower);
    IoDeleteDevice(DeviceObject);
    return SucceedAndPassDown(Lower, Irp);
}


NTSTATUS VPARALLEL_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    /* Saved first: removal deletes the extension before it passes the request down. */
    PDEVICE_OBJECT lower = extension->LowerDevice;

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, lower, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        SurpriseRemove(extension);
        return SucceedAndPassDown(lower, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, lower, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return SucceedAndPassDown(lower, Irp);
    default:
        return PassDown(lower, Irp);
    }
}

/*
 * Wakes VPARALLEL_Pnp's start path. STATUS_MORE_PROCESSING_REQUIRED keeps the request here,
 * so VPARALLEL_Pnp completes it itself; hence no IoMarkIrpPending. May run at DISPATCH_LEVEL.
 */
NTSTATUS StartCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    if (Context != NULL) {
        KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Every power request goes down; the power manager is told it may send the next one first.
 * Calls nothing that needs PASSIVE_LEVEL: the FDO is not power-pageable. */
NTSTATUS VPARALLEL_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(extension->LowerDevice, Irp);
}

/* WMI requests go down; without a request there is nothing to do, and without a device or
 * an extension there is nowhere to send it, so it is refused. */
NTSTATUS VPARALLEL_SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (Irp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (DeviceObject == NULL || DeviceObject->DeviceExtension == NULL) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    return PassDown(extension->LowerDevice, Irp);
}
