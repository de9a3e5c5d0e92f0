/*
 * read_write.cpp - the port's read and write requests, and the cancel routine of a waiting read.
 *
 * VPARALLEL_Read and VPARALLEL_Write run at PASSIVE_LEVEL in the requester's thread; both use
 * buffered I/O. A write is never left pending: it reopens the device and writes the data in
 * pieces of at most 64 bytes before it completes, holding the port mutex so that concurrent
 * writes neither interleave their pieces nor share WriteHandle; so there is never anything left
 * to flush. A read takes from the receive ring what its time-outs let it take at once
 * (read_timeouts.cpp), or waits as the port's PendingReadIrp until pReadPollingFunction, a purge
 * or R_CancelRoutine completes it.
 *
 * A read that reaches a port whose workers are gone (torn down, or surprise-removed) completes at
 * once with what the ring holds.
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

/* The read time-outs in force, each member as some request left it. */
static VOID LoadReadTimeouts(PDEVICE_EXTENSION Extension, PSERIAL_TIMEOUTS Timeouts)
{
    Timeouts->ReadIntervalTimeout = VpLoad(&Extension->Timeouts.ReadIntervalTimeout);
    Timeouts->ReadTotalTimeoutMultiplier = VpLoad(&Extension->Timeouts.ReadTotalTimeoutMultiplier);
    Timeouts->ReadTotalTimeoutConstant = VpLoad(&Extension->Timeouts.ReadTotalTimeoutConstant);
    Timeouts->WriteTotalTimeoutMultiplier = 0;
    Timeouts->WriteTotalTimeoutConstant = 0;
}

/* Parks the read as PendingReadIrp with its time-outs; a read already waiting there moves to
 * DisplacedReads. Caller holds Lock. FALSE when a cancel came first: the request was not
 * parked. */
static BOOLEAN ParkRead(PDEVICE_EXTENSION Extension, PIRP Irp, const VP_READ_TIMER *Timer)
{
    if (!ParkRequest(Irp, R_CancelRoutine)) {
        return FALSE;
    }
    if (Extension->PendingReadIrp != NULL) {
        RequestListAppend(&Extension->DisplacedReads, Extension->PendingReadIrp);
    }
    Extension->PendingReadIrp = Irp;
    Extension->PendingReadTimer = *Timer;
    return TRUE;
}

/* Whether a read that waits will be answered. A port that was torn down, or surprise-removed
 * (its workers end by themselves), has no worker left for it: it gets what the ring holds. A
 * removal that comes after the read parked ends it through the read-polling thread's exit work,
 * since the port state changes before the exit events are set. Caller holds Lock. */
static BOOLEAN ReadWorkerRuns(PDEVICE_EXTENSION Extension)
{
    VP_PORT_STATE state = VpPortState(Extension);

    return state != PortTornDown && state != PortRemoved;
}

/*
 * Completes the read at once when its count is there or its time-outs say so, with what the
 * ring holds; otherwise it waits for pReadPollingFunction. Only a full read, or one under
 * time-outs that return at once, completes here: a read that ends short ends through the
 * pending path, as on a serial port, so that callers which take a synchronous completion as a
 * full one are never handed a short read.
 */
static NTSTATUS ReadFromRing(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    ULONGLONG now = ReadClockNow();
    SERIAL_TIMEOUTS timeouts;
    VP_READ_TIMER timer;
    ULONG moved = 0;
    BOOLEAN parked;
    KIRQL irql;

    LoadReadTimeouts(Extension, &timeouts);
    KeAcquireSpinLock(&Extension->Lock, &irql);
    if (!PlanRead(&timeouts, length, RxBufferCount(Extension->RxBuffer), now, &timer) || !ReadWorkerRuns(Extension)) {
        if (length != 0) {
            moved = RxBufferRead(Extension->RxBuffer, Irp->AssociatedIrp.SystemBuffer, length);
        }
        KeReleaseSpinLock(&Extension->Lock, irql);
        return CompleteRequest(Irp, STATUS_SUCCESS, moved);
    }
    parked = ParkRead(Extension, Irp, &timer);
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
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    status = EnsureWriteHandle(extension);
    if (!NT_SUCCESS(status)) {
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

/* ---- Flush ------------------------------------------------------------------------------------ */

/* FlushFileBuffers, which communication software calls to drain its writes: a write completes only
 * once the device has taken every piece, so nothing is ever left to drain. */
NTSTATUS VPARALLEL_Flush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
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
    if (IsLinkedUsb(Extension) == 0 || VpIsOpen(Extension) == 0) {
        LowerModemLines(Extension);
        return STATUS_UNSUCCESSFUL;
    }
    status = OpenUsbDevice(Extension, VpOpenWrite, &handle);
    VpSetWriteHandle(Extension, handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WritePieces(handle, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length, status);
    if (!NT_SUCCESS(status)) {
        CloseWriteHandle(Extension);
        return status;
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
