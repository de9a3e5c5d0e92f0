/*
 * purge.cpp - IOCTL_SERIAL_PURGE: abort the waiting read and empty the receive ring.
 *
 * PASSIVE_LEVEL, from VPARALLEL_IoControl. PendingReadIrp is taken under Lock, as the read dispatch
 * and the read-polling thread take it, and the aborted read completes after Lock is released. The
 * ring is emptied under Lock too, so the reset never runs in the middle of a read copying out of
 * the ring. The reset moves only the consumers' index, so the read thread may keep storing at the
 * same moment.
 *
 * Writes are never queued, so the transmit bits (SERIAL_PURGE_TXABORT, SERIAL_PURGE_TXCLEAR) have
 * nothing to act on.
 */
#include "serial/serial.h"
#include "buffers/ring_buffer.h"

NTSTATUS SerialPurge(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    REQUEST_LIST aborted = {NULL};
    KIRQL oldIrql;

    KeAcquireSpinLock(&Extension->Lock, &oldIrql);
    if ((mask & SERIAL_PURGE_RXABORT) && Extension->PendingReadIrp != NULL) {
        CollectTakenRequest(&aborted, Extension->PendingReadIrp);
        Extension->PendingReadIrp = NULL;
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        RxBufferReset(Extension->RxBuffer);
    }
    KeReleaseSpinLock(&Extension->Lock, oldIrql);
    CompleteRequestList(&aborted, STATUS_CANCELLED, 0);
    return STATUS_SUCCESS;
}
