/*
 * port.h - what the port's open/close, read/write and worker files share.
 *
 * Everything here runs at PASSIVE_LEVEL unless its comment says otherwise.
 *
 * Pending requests (the waiting read, displaced reads, queued wait requests) follow one
 * handshake with their cancel routines: whoever completes a request other than its cancel
 * routine first takes it out of its place under Lock, then exchanges its cancel routine for
 * none; a NULL answer means the cancel routine is already running and will complete it, so the
 * request is left alone (and not put back).
 */
#pragma once

#include "driver/vparallel.h"

/* Worker periods, in milliseconds. */
#define VP_READ_THREAD_PERIOD_MS  1
#define VP_READ_POLLING_PERIOD_MS 1
#define VP_EMULATION_PERIOD_MS    10

/* The read thread reads the device in pieces of this size. */
#define VP_READ_CHUNK 512

/* The cleanup delay after the status request, letting the device answer the outstanding read. */
#define VP_STATUS_REQUEST_DELAY_MS 5

/* Completes a request taken out of its place, unless its cancel routine already owns it.
 * TRUE when this call completed it. Any IRQL up to DISPATCH_LEVEL. */
FORCEINLINE BOOLEAN CompleteTakenIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    if (IoSetCancelRoutine(Irp, NULL) == NULL) {
        return FALSE;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return TRUE;
}

/* Completes a request the dispatch routine still owns (never left pending). */
FORCEINLINE NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* The port mutex (WriteMutex): open, cleanup, close, writes, and reads that reopen WriteHandle. */
FORCEINLINE VOID AcquirePortMutex(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->WriteMutex, Executive, KernelMode, FALSE, NULL);
}

FORCEINLINE VOID ReleasePortMutex(PDEVICE_EXTENSION Extension)
{
    KeReleaseMutex(&Extension->WriteMutex, FALSE);
}

/* Closes the device handle of the requester's process, if any. Caller holds the port mutex. */
FORCEINLINE VOID CloseWriteHandle(PDEVICE_EXTENSION Extension)
{
    if (Extension->WriteHandle != NULL) {
        ZwClose(Extension->WriteHandle);
        Extension->WriteHandle = NULL;
    }
}

/* The emulated CTS and DSR lines drop when the device is found absent. */
FORCEINLINE VOID LowerModemLines(PDEVICE_EXTENSION Extension)
{
    InterlockedAnd((volatile LONG *)&Extension->ModemStatus, ~(LONG)(SERIAL_DSR_STATE | SERIAL_CTS_STATE));
}

FORCEINLINE VOID RaiseModemLines(PDEVICE_EXTENSION Extension)
{
    InterlockedOr((volatile LONG *)&Extension->ModemStatus, (LONG)(SERIAL_DSR_STATE | SERIAL_CTS_STATE));
}

/* ---- workers.cpp ---------------------------------------------------------------------------- */

/* Creates the three workers (emulation polling, read polling, read thread) and keeps a
 * reference on each. They wait for WorkersStartEvent before their first cycle. On failure the
 * workers already created are stopped and dereferenced and the failure status is returned. */
NTSTATUS StartWorkers(PDEVICE_EXTENSION Extension);

/* Sets the worker's exit event, waits for its thread object if there is one and drops the
 * reference. A worker that was never created is not waited for. */
VOID StopWorker(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent, PETHREAD *Thread);

/* ---- read_write.cpp ------------------------------------------------------------------------- */

/* Takes every read the port still holds (the waiting read and the displaced ones) and
 * completes each as cancelled. Caller holds Lock (DISPATCH_LEVEL). */
VOID CancelHeldReads(PDEVICE_EXTENSION Extension);
