/*
 * port.h - what the port's open/close, read/write and worker files share.
 *
 * Everything here runs at PASSIVE_LEVEL unless its comment says otherwise.
 *
 * Pending requests (the waiting read, displaced reads, queued wait requests) are parked,
 * claimed and completed as driver/request.h describes.
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

/* PortMutex: open, cleanup, close, writes, and reads that reopen WriteHandle. */
FORCEINLINE VOID AcquirePortMutex(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
}

/* The port mutex if nobody holds it. FALSE, without waiting, when someone does. */
FORCEINLINE BOOLEAN TryAcquirePortMutex(PDEVICE_EXTENSION Extension)
{
    LARGE_INTEGER now;

    now.QuadPart = 0;
    return KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
}

FORCEINLINE VOID ReleasePortMutex(PDEVICE_EXTENSION Extension)
{
    KeReleaseMutex(&Extension->PortMutex, FALSE);
}

/* ---- workers.cpp ---------------------------------------------------------------------------- */

/* Creates the three workers (emulation polling, read polling, read thread) and keeps a
 * reference on each. They wait for WorkersStartEvent before their first cycle. On failure the
 * workers already created are stopped and dereferenced and the failure status is returned. */
NTSTATUS StartWorkers(PDEVICE_EXTENSION Extension);

/* Sets the worker's exit event, waits for its thread object if there is one and drops the
 * reference. A worker that was never created is not waited for. */
VOID StopWorker(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent, PETHREAD *Thread);

/* ---- read_timeouts.cpp ---------------------------------------------------------------------- */

/* Now on the clock of read time-outs (the performance counter), in 100 ns units. Any IRQL. */
ULONGLONG ReadClockNow(VOID);

/* A read of Length bytes arriving when the ring holds Available, under Timeouts, at time Now
 * (ReadClockNow). FALSE: it completes at once with what the ring holds. TRUE: it waits, and Timer
 * holds what ends it. Any IRQL. */
BOOLEAN PlanRead(const SERIAL_TIMEOUTS *Timeouts, ULONG Length, ULONG Available, ULONGLONG Now, PVP_READ_TIMER Timer);

/* Whether a read waiting under Timer ends now, with Available bytes in the ring and the last
 * reply stored at LastReceive. Any IRQL. */
BOOLEAN ReadTimerEnds(const VP_READ_TIMER *Timer, ULONG Length, ULONG Available, ULONGLONG Now,
                      ULONGLONG LastReceive);

/* ---- read_write.cpp ------------------------------------------------------------------------- */

/* Takes every read the port still holds (the waiting read and the displaced ones) out of its
 * place and collects it on Done (see driver/request.h). Caller holds Lock (DISPATCH_LEVEL). */
VOID CollectHeldReads(PDEVICE_EXTENSION Extension, PREQUEST_LIST Done);
