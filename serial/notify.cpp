/*
 * notify.cpp - IOCTL_VPARALLEL_NOTIFY_REMOVAL: a request that completes when the USB device is
 * surprise-removed, so that an application learns of it.
 *
 * NotifyIrp holds at most one such request; it is set and taken under Lock. A second request while
 * one is parked is refused with STATUS_DEVICE_BUSY. The parked request has N_CancelRoutine, so an
 * application that exits or gives up does not hang on it. Closing the port does not complete it.
 *
 * Exactly once: surprise removal (CompleteNotifyIrp) and N_CancelRoutine both look at NotifyIrp
 * under Lock; the one that finds the request there empties the slot. CompleteNotifyIrp then
 * exchanges the cancel routine for NULL and completes the request only when the exchange yields
 * the routine; otherwise the cancel routine has been called and completes it.
 */
#include "serial/serial.h"

/* Left pending on purpose: parked in NotifyIrp. */
NTSTATUS SerialNotifyRemoval(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL oldIrql;
    BOOLEAN cancelledAlready = FALSE;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if (Extension->NotifyIrp != NULL) {
        KeReleaseSpinLock(&Extension->Lock, oldIrql);
        return STATUS_DEVICE_BUSY;
    }
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->IoStatus.Information = 0;
    Extension->NotifyIrp = Irp;
    IoSetCancelRoutine(Irp, N_CancelRoutine);
    /* Cancelled before the routine was installed: answer it here (see wait_mask.cpp). */
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        Extension->NotifyIrp = NULL;
        cancelledAlready = TRUE;
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);

    if (cancelledAlready) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

/* Entered holding the cancel spin lock, which is released first: Lock is then taken alone. */
VOID N_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL oldIrql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&extension->Lock, &oldIrql);
    if (extension->NotifyIrp == Irp) {
        extension->NotifyIrp = NULL;
    }
    KeReleaseSpinLock(&extension->Lock, oldIrql);

    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID CompleteNotifyIrp(PDEVICE_EXTENSION Extension)
{
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    PIRP notify = Extension->NotifyIrp;
    Extension->NotifyIrp = NULL;
    if (notify != NULL && IoSetCancelRoutine(notify, NULL) != NULL) {
        notify->IoStatus.Status = STATUS_SUCCESS;
        notify->IoStatus.Information = 0;
        IoCompleteRequest(notify, IO_NO_INCREMENT);
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
}
