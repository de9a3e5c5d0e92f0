/*
 * wait_mask.cpp - the serial wait mask and the wait-on-mask requests.
 *
 * A wait-on-mask request waits in the wait-request queue until a polling thread finds one of the
 * awaited events, the next set-wait-mask request releases it, cleanup or the threads' exit work
 * completes it, or it is cancelled; parking, claiming and completing follow driver/request.h. One
 * that reaches a torn-down port is never queued.
 *
 * W_CancelRoutine is entered holding the cancel spin lock and takes Lock inside it (the lock order
 * of device_extension.h). WaitMask is atomic: written here, read by the polling threads.
 */
#include "serial/serial.h"
#include "buffers/wait_queue.h"

NTSTATUS SerialGetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = VpLoad(&Extension->WaitMask);
    return STATUS_SUCCESS;
}

BOOLEAN CompleteTakenWait(PIRP WaitIrp, ULONG Events)
{
    if (!ClaimRequest(WaitIrp)) {
        return FALSE;
    }
    *(PULONG)WaitIrp->AssociatedIrp.SystemBuffer = Events;
    CompleteRequest(WaitIrp, STATUS_SUCCESS, sizeof(ULONG));
    return TRUE;
}

/* Releases the oldest waiting request only, with no events, then widens the mask: a non-zero mask
 * is ORed into WaitMask, and only a zero mask clears it. The released request is completed holding
 * Lock, as the design has every user of the queue complete within its hold. */
NTSTATUS SerialSetWaitMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    PIRP oldest = WaitQueuePop(Extension);
    if (oldest != NULL) {
        CompleteTakenWait(oldest, 0);
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);

    if (mask == 0) {
        VpStore(&Extension->WaitMask, 0);
    } else {
        VpSetBits(&Extension->WaitMask, mask);
    }
    return STATUS_SUCCESS;
}

BOOLEAN RemoveWaitRequest(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    /* One full pass: requests ahead of it go round to the back, so A, B, X, C loses X as C, A, B.
     * A request not in the queue leaves the queue in its former order. */
    LONG count = WaitQueueCount(Extension);
    for (LONG i = 0; i < count; i++) {
        PIRP queued = WaitQueuePop(Extension);
        if (queued == Irp) {
            return TRUE;
        }
        if (queued != NULL) {
            WaitQueuePush(Extension, queued);
        }
    }
    return FALSE;
}

/* The output mask is 0 until an event is reported. A request that finds the queue full (nine
 * waiting) stays pending with W_CancelRoutine on OverflowWaits: no event completes it, only its
 * cancellation or the port's teardown, which must be able to find it.
 *
 * A request that reaches a torn-down port completes at once as cancelled, as cleanup completes
 * the ones it found queued: no event can be reported on a closed port, and a success with mask 0
 * would only send the application straight back to wait again. */
NTSTATUS SerialWaitOnMask(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    KIRQL oldIrql;
    BOOLEAN parked;

    *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if (VpPortState(Extension) == PortTornDown) {
        KeReleaseSpinLock(&Extension->Lock, oldIrql);
        return STATUS_CANCELLED;
    }
    parked = ParkRequest(Irp, W_CancelRoutine);
    if (parked && !WaitQueuePush(Extension, Irp)) {
        RequestListAppend(&Extension->OverflowWaits, Irp);
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
    return FinishParking(Irp, parked);
}

/* Entered holding the cancel spin lock. The queue walk happens before that lock is released, and
 * the request is completed whether or not the walk found it (a completer that took it out first
 * leaves it to this routine). */
VOID W_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSetCancelRoutine(Irp, NULL);
    KeAcquireSpinLockAtDpcLevel(&extension->Lock);
    if (!RemoveWaitRequest(extension, Irp)) {
        RequestListRemove(&extension->OverflowWaits, Irp);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->Lock);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}
