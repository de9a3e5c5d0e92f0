/*
 * read_write.cpp - the port's read and write requests, and the cancel routine of a waiting read.
 *
 * VPARALLEL_Read and VPARALLEL_Write run at PASSIVE_LEVEL in the requester's thread; both use
 * buffered I/O. A write is never left pending: it reopens the device and writes the data in
 * pieces of at most 64 bytes before it completes, holding the port mutex so that concurrent
 * writes neither interleave their pieces nor share WriteHandle. A read takes what the receive
 * ring holds, or waits as the port's PendingReadIrp until pReadPollingFunction, a purge or
 * R_CancelRoutine completes it.
 *
 * A read that reaches a port whose teardown has run completes at once with what the ring holds.
 *
 * A read that arrives while another waits takes its place; the earlier one stays pending, with
 * its cancel routine, on DisplacedReads until it is cancelled or the port is torn down.
 */
#include "port/port.h"

#include "buffers/ring_buffer.h"
#include "link/link.h"

#define VP_WRITE_PIECE 64

/* ---- Held reads (Lock held) ------------------------------------------------------------------ */

VOID CollectHeldReads(PDEVICE_EXTENSION Extension, PREQUEST_LIST Done)
{
    PIRP irp = Extension->PendingReadIrp;

    Extension->PendingReadIrp = NULL;
    if (irp != NULL) {
        CollectTakenRequest(Done, irp);
    }
    while ((irp = RequestListTakeFirst(&Extension->DisplacedReads)) != NULL) {
        CollectTakenRequest(Done, irp);
    }
}

/* ---- Read ------------------------------------------------------------------------------------- */

/* A read whose ring is empty waits, except under the "return at once" time-outs: interval
 * MAXULONG with a zero multiplier. */
static BOOLEAN ReadMustWait(PDEVICE_EXTENSION Extension)
{
    return !(VpLoad(&Extension->Timeouts.ReadIntervalTimeout) == MAXULONG &&
             VpLoad(&Extension->Timeouts.ReadTotalTimeoutMultiplier) == 0);
}

/* Parks the read as PendingReadIrp; a read already waiting there moves to DisplacedReads. Caller
 * holds Lock. FALSE when a cancel came first: the request was not parked. */
static BOOLEAN ParkRead(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    if (!ParkRequest(Irp, R_CancelRoutine)) {
        return FALSE;
    }
    if (Extension->PendingReadIrp != NULL) {
        RequestListAppend(&Extension->DisplacedReads, Extension->PendingReadIrp);
    }
    Extension->PendingReadIrp = Irp;
    return TRUE;
}

static NTSTATUS ReadFromRing(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    ULONG moved = 0;
    BOOLEAN parked;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    if (length != 0) {
        moved = RxBufferRead(Extension->RxBuffer, Irp->AssociatedIrp.SystemBuffer, length);
    }
    /* A torn-down port has no worker left to answer a waiting read: it gets what the ring held. */
    if (moved != 0 || !ReadMustWait(Extension) || VpPortState(Extension) == PortTornDown) {
        KeReleaseSpinLock(&Extension->Lock, irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, moved);
    }
    parked = ParkRead(Extension, Irp);
    KeReleaseSpinLock(&Extension->Lock, irql);
    return FinishParking(Irp, parked);
}

/*
 * A read needs a device handle in the requester's process; a failed write may have left none.
 * Only then does it take the port mutex, and it never waits for it: a holder is a write that is
 * putting its own fresh handle in place (or the open or teardown of the port), and a status read
 * must not wait for a print job. A torn-down port gets no handle back: the teardown has closed
 * it and nobody would close it again.
 */
static NTSTATUS EnsureWriteHandle(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status = STATUS_SUCCESS;

    if (VpWriteHandle(Extension) != NULL || !TryAcquirePortMutex(Extension)) {
        return STATUS_SUCCESS;
    }
    if (VpWriteHandle(Extension) == NULL && VpPortState(Extension) != PortTornDown) {
        status = CreateWriteHandle(Extension);
    }
    ReleasePortMutex(Extension);
    return status;
}

NTSTATUS VPARALLEL_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    /* Only an open port whose device is gone refuses reads; a closed port still serves the ring. */
    if (IsLinkedUsb(extension) == 0 && VpIsOpen(extension) != 0) {
        LowerModemLines(extension);
        ReportRefusal(extension, VpRefusalPrinterUnplugged, STATUS_UNSUCCESSFUL);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    status = EnsureWriteHandle(extension);
    if (!NT_SUCCESS(status)) {
        /* A port that is not open any more was reported when it stopped being open. */
        if (VpIsOpen(extension) != 0) {
            ReportRefusal(extension, VpRefusalOpenFailed, status);
        }
        return CompleteRequest(Irp, status, 0);
    }
    return ReadFromRing(extension, Irp);
}

/* Entered holding the cancel spin lock, at DISPATCH_LEVEL. */
VOID R_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    DbgPrint("R_CancelRoutine Begin\n");
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&extension->Lock, &irql);
    if (extension->PendingReadIrp == Irp) {
        extension->PendingReadIrp = NULL;
    } else {
        RequestListRemove(&extension->DisplacedReads, Irp);
    }
    KeReleaseSpinLock(&extension->Lock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    DbgPrint("R_CancelRoutine End\n");
}

/* ---- Write ------------------------------------------------------------------------------------ */

/* Writes Length bytes in pieces of at most VP_WRITE_PIECE on the synchronous handle. A failed
 * piece fails the whole request, even when earlier pieces reached the device. */
static NTSTATUS WritePieces(HANDLE Handle, PUCHAR Data, ULONG Length, NTSTATUS Status)
{
    IO_STATUS_BLOCK ioStatus;
    ULONG offset = 0;
    ULONG piece;

    while (offset < Length) {
        piece = Length - offset < VP_WRITE_PIECE ? Length - offset : VP_WRITE_PIECE;
        Status = ZwWriteFile(Handle, NULL, NULL, NULL, &ioStatus, Data + offset, piece, NULL, NULL);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        offset += piece;
    }
    return Status;
}

/* The write itself; the caller holds the port mutex. *Written is the byte count on success. */
static NTSTATUS WriteToDevice(PDEVICE_EXTENSION Extension, PIRP Irp, PULONG Written)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    HANDLE handle;
    NTSTATUS status;

    *Written = 0;
    /* Every write drops the previous handle first, also a write that is then refused. */
    CloseWriteHandle(Extension);
    const ULONG linked = IsLinkedUsb(Extension);
    const ULONG open = VpIsOpen(Extension);
    if (linked == 0 || open == 0) {
        LowerModemLines(Extension);
        /* Only an open port lost its printer. One that is not open was reported when it became so
         * (a surprise removal), or when its open was refused. */
        if (linked == 0 && open != 0) {
            ReportRefusal(Extension, VpRefusalPrinterUnplugged, STATUS_UNSUCCESSFUL);
        }
        return STATUS_UNSUCCESSFUL;
    }
    status = OpenUsbDevice(Extension, VpOpenWrite, &handle);
    VpSetWriteHandle(Extension, handle);
    if (!NT_SUCCESS(status)) {
        return ReportIfFailed(Extension, VpRefusalOpenFailed, status);
    }
    status = WritePieces(handle, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length, status);
    if (!NT_SUCCESS(status)) {
        CloseWriteHandle(Extension);
        return ReportIfFailed(Extension, VpRefusalWriteFailed, status);
    }
    *Written = length;
    return status;
}

NTSTATUS VPARALLEL_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG written;
    NTSTATUS status;

    AcquirePortMutex(extension);
    status = WriteToDevice(extension, Irp, &written);
    ReleasePortMutex(extension);
    if (written != 0) {
        InterlockedExchangeAdd(&extension->TransmittedCount, (LONG)written);
    }
    return CompleteRequest(Irp, status, written);
}
