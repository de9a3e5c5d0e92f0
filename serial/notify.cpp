/*
 * notify.cpp - IOCTL_VPARALLEL_NOTIFY_REMOVAL: a request that completes when the USB device is
 * surprise-removed, so that an application learns of it.
 *
 * NotifyIrp holds at most one such request; it is set and taken under Lock. A second request while
 * one is parked is refused with STATUS_DEVICE_BUSY. The parked request has N_CancelRoutine, so an
 * application that exits or gives up does not hang on it. Closing the port does not complete it.
 * Parking, claiming and completing follow driver/request.h.
 */
#include "serial/serial.h"

/* Left pending on purpose: parked in NotifyIrp. */
NTSTATUS SerialNotifyRemoval(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL oldIrql;
    BOOLEAN parked;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if (Extension->NotifyIrp != NULL) {
        KeReleaseSpinLock(&Extension->Lock, oldIrql);
        return STATUS_DEVICE_BUSY;
    }
    parked = ParkRequest(Irp, N_CancelRoutine);
    if (parked) {
        Extension->NotifyIrp = Irp;
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
    return FinishParking(Irp, parked);
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
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

VOID CompleteNotifyIrp(PDEVICE_EXTENSION Extension)
{
    REQUEST_LIST done = {NULL};
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if (Extension->NotifyIrp != NULL) {
        CollectTakenRequest(&done, Extension->NotifyIrp);
        Extension->NotifyIrp = NULL;
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
    CompleteRequestList(&done, STATUS_SUCCESS, 0);
}
