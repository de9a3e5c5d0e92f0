/*
 * purge.cpp - IOCTL_SERIAL_PURGE: abort the waiting read and empty the receive ring.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl. PendingReadIrp is taken under Lock, as the read dispatch
 * and the read-polling thread take it; the ring is emptied under Lock too, so the reset never runs
 * in the middle of a read copying out of the ring. The reset moves only the consumers' index, so
 * the read thread may keep storing at the same moment.
 *
 * Writes are never queued, so the transmit bits (SERIAL_PURGE_TXABORT, SERIAL_PURGE_TXCLEAR) have
 * nothing to act on.
 */
#include "serial/serial.h"
#include "buffers/ring_buffer.h"

/* Takes the waiting read out of PendingReadIrp and completes it as cancelled, unless
 * R_CancelRoutine has been called for it, which then completes it. Caller holds Lock. */
static VOID AbortPendingRead(PDEVICE_EXTENSION Extension)
{
    PIRP read = Extension->PendingReadIrp;
    if (read == NULL) {
        return;
    }
    Extension->PendingReadIrp = NULL;
    if (IoSetCancelRoutine(read, NULL) == NULL) {
        return;
    }
    read->IoStatus.Status = STATUS_CANCELLED;
    read->IoStatus.Information = 0;
    IoCompleteRequest(read, IO_NO_INCREMENT);
}

NTSTATUS SerialPurge(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if (mask & SERIAL_PURGE_RXABORT) {
        AbortPendingRead(Extension);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        RxBufferReset(Extension->RxBuffer);
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
    return STATUS_SUCCESS;
}
