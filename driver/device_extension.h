/*
 * device_extension.h - the per-port record and the definitions every part of the driver shares.
 *
 * One DEVICE_EXTENSION per port, allocated by the I/O manager with the functional device object
 * in VPARALLEL_AddDevice and zeroed there; it lives until IRP_MN_REMOVE_DEVICE deletes the device.
 *
 * Lock order: the system cancel spin lock first, then Lock. Nothing takes the cancel spin lock
 * while holding Lock.
 */
#pragma once

#include <ntifs.h>
#include <ntddser.h>

#include "public/vparallel_public.h"
#include "driver/request.h"

/* ---- Sizes ------------------------------------------------------------------------------ */
#define VP_NAME_CHARS        255  /* HardwareId, LinkedId, DosLinkName, DosLinkNameColon */
#define VP_PORT_NAME_CHARS   256
#define WAIT_QUEUE_SLOTS     10

/* ---- Pool tags: the first character is the most significant byte ------------------------ */
#define VP_TAG_RING   0x51573031UL /* 'QW01': the receive ring buffer */
#define VP_TAG_SCRATCH 0x51573032UL /* 'QW02': short-lived buffers */

/* ---- Time: relative intervals in 100 ns units ------------------------------------------- */
#define VP_RELATIVE_MS(ms) (-(LONGLONG)(ms) * 10000)

/* ---- Worker events, in their order in Events ----------------------------------------------- */
enum VP_EVENT_INDEX {
    EmulationPollingExitEvent = 0,
    EmulationPollingDoneEvent = 1,
    ReadPollingExitEvent = 2,
    ReadPollingDoneEvent = 3,
    ReadThreadExitEvent = 4,
    ReadThreadDoneEvent = 5,
    VP_EVENT_COUNT = 6
};

struct _RING_BUFFER;

typedef struct _DEVICE_EXTENSION {
    /* 1 while the port is open. Written without a lock by open, cleanup, close and surprise
     * removal and read by the workers while they run, so every access goes through
     * VpIsOpen/VpSetOpen (interlocked), never a plain load or store. */
    volatile ULONG IsOpen;
    /* Device handle of the requesting process. Replaced only by holders of WriteMutex, read
     * without it by a read that only wants to know whether one is there: every access goes
     * through VpWriteHandle/VpSetWriteHandle (interlocked). */
    HANDLE WriteHandle;
    HANDLE ReadCompleteEventHandle; /* set only inside a read cycle of the read thread */
    WCHAR HardwareId[VP_NAME_CHARS];
    WCHAR LinkedId[VP_NAME_CHARS];
    ULONG ModelClass;
    WCHAR DosLinkName[VP_NAME_CHARS];
    WCHAR DosLinkNameColon[VP_NAME_CHARS];
    WCHAR PortName[VP_PORT_NAME_CHARS];
    SERIAL_TIMEOUTS Timeouts;
    KEVENT Events[VP_EVENT_COUNT];
    PKEVENT ReadCompleteEvent;
    PETHREAD EmulationPollingThread;
    PETHREAD ReadPollingThread;
    PETHREAD ReadThread;
    PIRP NotifyIrp;
    PIRP PendingReadIrp;            /* guarded by Lock */
    ULONG BaudRate;
    volatile ULONG ModemStatus;     /* only SERIAL_CTS_STATE and SERIAL_DSR_STATE */
    volatile ULONG ModemControl;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    ULONG WaitQueueIn;              /* wait-request queue: guarded by Lock */
    ULONG WaitQueueOut;
    struct _RING_BUFFER *RxBuffer;
    PDEVICE_OBJECT LowerDevice;
    PIRP WaitQueue[WAIT_QUEUE_SLOTS];
    volatile ULONG WaitMask;
    PDEVICE_OBJECT Pdo;
    KSPIN_LOCK Lock;
    UNICODE_STRING InterfaceName;
    /* ---- Beyond the basic record; each says who owns it and what guards it. ---- */
    KMUTEX WriteMutex;              /* serialises write requests: one writer owns WriteHandle at a time;
                                     * port/ open, cleanup and close hold it too (see below) */
    SERIAL_CHARS SpecialChars;      /* serial/: set and read by the special-character requests */
    volatile LONG ReceivedCount;    /* port/ read thread: bytes stored into RxBuffer (statistics) */
    volatile LONG TransmittedCount; /* port/ write requests: bytes the device accepted (statistics) */
    /* serial/: SERIAL_DTR_STATE and SERIAL_RTS_STATE as the DTR and RTS requests left them
     * (0 from AddDevice). One 32-bit value changed by interlocked operations; no lock. */
    volatile ULONG DtrRts;
    /* port/: the open's own state. WriteMutex also serialises open, cleanup and close against each
     * other and against the writes and reads that replace WriteHandle; these two fields are read
     * and written only while it is held. */
    PFILE_OBJECT OpenFileObject;    /* file object of the successful open; cleared by its close */
    BOOLEAN WorkersActive;          /* workers created and not yet torn down (they may have ended) */
    /* port/: initialised by each successful open before its workers exist (no thread uses them
     * then). The workers start their loops once WorkersStartEvent is set; the teardown sets
     * ReadThreadWakeEvent to release a read thread waiting on the device. */
    KEVENT WorkersStartEvent;
    KEVENT ReadThreadWakeEvent;
    /* port/: reads that a later read displaced from PendingReadIrp, still cancellable, oldest
     * first. Guarded by Lock. */
    REQUEST_LIST DisplacedReads;
    /* serial/: wait-on-mask requests that found the wait-request queue full, still cancellable,
     * oldest first. No event completes them; their cancel routine or the port's teardown does.
     * Guarded by Lock. */
    REQUEST_LIST OverflowWaits;
    /* port/: TRUE from the teardown of an open (its last hold of Lock) until the next successful
     * open; FALSE on a port never opened. While it is TRUE no worker is left to answer a read or
     * wait request, so they are answered at once instead of parked. Written holding both
     * WriteMutex and Lock; read holding either. */
    BOOLEAN TornDown;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* IsOpen is shared with the workers without a lock: read and write it only through these. */
FORCEINLINE ULONG VpIsOpen(PDEVICE_EXTENSION Extension)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG *)&Extension->IsOpen, 0, 0);
}

FORCEINLINE VOID VpSetOpen(PDEVICE_EXTENSION Extension, ULONG Open)
{
    InterlockedExchange((volatile LONG *)&Extension->IsOpen, (LONG)Open);
}

FORCEINLINE HANDLE VpWriteHandle(PDEVICE_EXTENSION Extension)
{
    return InterlockedCompareExchangePointer(&Extension->WriteHandle, NULL, NULL);
}

FORCEINLINE VOID VpSetWriteHandle(PDEVICE_EXTENSION Extension, HANDLE Handle)
{
    InterlockedExchangePointer(&Extension->WriteHandle, Handle);
}

/* Fields that later work adds go before the closing brace above, each with its owner and lock stated. */
