/*
 * device_extension.h - the per-port record and the definitions every part of the driver shares.
 *
 * One DEVICE_EXTENSION per port, allocated by the I/O manager with the functional device object
 * in VPARALLEL_AddDevice and zeroed there; it lives until IRP_MN_REMOVE_DEVICE deletes the device.
 *
 * Locks, in the order they are taken:
 *   PortMutex  a KMUTEX, PASSIVE_LEVEL: the open, cleanup and close of the port, its writes, and
 *              a read that reopens WriteHandle. Nothing takes it while holding a spin lock.
 *   the system cancel spin lock: held by the I/O manager when it calls a cancel routine.
 *   Lock       the extension's spin lock (DISPATCH_LEVEL): every pending request's place and the
 *              transfers out of the ring into a request. Nothing takes the cancel spin lock
 *              while holding it.
 *
 * Every field below says who writes it and what guards it. Fields marked "atomic" are single
 * 32-bit values or pointers shared without a lock: they are read and written only through the
 * accessors at the end of this file, never by a plain load or store.
 *
 * What the driver does only for a host other than Windows is marked "HOST (<host>):" where it
 * is done, so a reader sees at once what is there for Windows and what for another host.
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

/*
 * The port's state, one value. The port is open (IsOpen) exactly in PortOpen.
 *
 *   PortIdle      never opened since AddDevice. Reads and waits park: a later open's workers
 *                 answer them.
 *   PortOpen      a successful open; its three workers run.
 *   PortRemoved   surprise-removed while open: the workers end by themselves; the owner's
 *                 cleanup still has to reap them.
 *   PortClosing   the owner's cleanup (or a close that came without one) is stopping the workers.
 *   PortTornDown  the workers are gone and nothing is held: reads and waits are answered at once
 *                 instead of parked, until the next open.
 *
 * Transitions, and who makes them:
 *   PortIdle, PortTornDown -> PortOpen   VPARALLEL_Create, holding PortMutex, once the workers exist
 *   PortOpen -> PortRemoved              surprise removal or removal, with no lock (compare-exchange)
 *   PortOpen, PortRemoved -> PortClosing the owner's teardown, holding PortMutex
 *   PortClosing -> PortTornDown          the same teardown, holding PortMutex and Lock, in the hold
 *                                        of Lock in which it completes every request still held
 * So a request that finds PortTornDown under Lock is never left waiting, and one that parked
 * before is completed by the teardown.
 */
typedef enum _VP_PORT_STATE {
    PortIdle = 0,
    PortOpen = 1,
    PortRemoved = 2,
    PortClosing = 3,
    PortTornDown = 4,
} VP_PORT_STATE;

/*
 * The time-outs of the read waiting in PendingReadIrp, fixed when it parks, as a serial port takes
 * the time-outs in force when a read starts. Times are ReadClockNow's (port/), in 100 ns units.
 * The read ends when its count has arrived, or:
 *   AnyByteEnds    as soon as the ring holds anything for it;
 *   TotalDeadline  at that time, with what has arrived (0: no total time-out);
 *   Interval       when that long has passed since the last reply reached the ring, or since the
 *                  read parked if that was later, and something has arrived (0: no interval
 *                  time-out).
 */
typedef struct _VP_READ_TIMER {
    ULONGLONG Start;
    ULONGLONG TotalDeadline;
    ULONGLONG Interval;
    BOOLEAN AnyByteEnds;
} VP_READ_TIMER, *PVP_READ_TIMER;

struct _RING_BUFFER;

typedef struct _DEVICE_EXTENSION {
    /* Atomic, see VP_PORT_STATE for who changes it; VpIsOpen tells whether the port is open. */
    volatile ULONG PortState;
    /* Device handle in the requesting application's process. Replaced by link/ and port/ only
     * while holding PortMutex; atomic, since a read tests it without the mutex. */
    HANDLE WriteHandle;
    /* The read thread's: set only while it is inside a read cycle, which tells the teardown
     * whether the thread may be blocked on the device. Atomic. */
    HANDLE ReadCompleteEventHandle;
    /* link/, at open (holding PortMutex); read by the workers and writes of that open, and by the
     * presence test of reads and control requests, which take no lock: the one overlap is a new
     * open rewriting them while the previous opener's handle, after its cleanup, still sends a
     * request, which then tests a half-written name and finds the device absent. The close
     * clears HardwareId. Zero-terminated. */
    WCHAR HardwareId[VP_NAME_CHARS];
    WCHAR LinkedId[VP_NAME_CHARS];
    /* port/, at open (holding PortMutex); read by the teardown. 1, 2 or 3. */
    ULONG ModelClass;
    /* driver/ publication, in the PnP thread (one PnP request at a time); read at removal and,
     * for PortName, at open. Zero-terminated. */
    WCHAR DosLinkName[VP_NAME_CHARS];
    WCHAR DosLinkNameColon[VP_NAME_CHARS];
    WCHAR PortName[VP_PORT_NAME_CHARS];
    /* serial/ time-out requests write it; reads and the read-polling thread read it. Each member
     * is atomic on its own (VpLoad/VpStore): a reader sees every member as some request left it. */
    SERIAL_TIMEOUTS Timeouts;
    /* The workers' stop protocol, in VP_EVENT_INDEX order: reset by each open before its workers
     * exist, set by the workers, the teardown and surprise removal. */
    KEVENT Events[VP_EVENT_COUNT];
    /* The read thread's, with ReadCompleteEventHandle: the object of the named event of the
     * current read cycle. Only the read thread uses it. */
    PKEVENT ReadCompleteEvent;
    /* port/: referenced by the open (holding PortMutex), waited for and released by the teardown
     * (holding PortMutex). NULL while no worker of that kind exists. */
    PETHREAD EmulationPollingThread;
    PETHREAD ReadPollingThread;
    PETHREAD ReadThread;
    /* serial/: the parked removal notice. Guarded by Lock. */
    PIRP NotifyIrp;
    /* port/: the one read waiting for data. Guarded by Lock. */
    PIRP PendingReadIrp;
    /* serial/ settings, written and read only by control requests, whole, without a lock: two
     * requests from two threads at once get one value or the other. */
    ULONG BaudRate;
    /* Atomic: CTS and DSR only. Changed by control requests, open, reads, writes and surprise
     * removal, from their own threads. */
    volatile ULONG ModemStatus;
    /* Atomic: serial/ SET_MODEM_CONTROL writes it; the emulation thread reads bits 0x10, 0x20. */
    volatile ULONG ModemControl;
    SERIAL_LINE_CONTROL LineControl; /* serial/ settings, as BaudRate */
    SERIAL_HANDFLOW HandFlow;        /* serial/ settings, as BaudRate */
    /* buffers/ wait-request queue: indices and slots. Guarded by Lock. */
    ULONG WaitQueueIn;
    ULONG WaitQueueOut;
    /* Allocated by AddDevice, freed at removal. The ring's own indices keep its producer (the read
     * thread) and its consumers apart; consumers hold Lock. */
    struct _RING_BUFFER *RxBuffer;
    /* driver/: set by AddDevice, constant until removal. */
    PDEVICE_OBJECT LowerDevice;
    PIRP WaitQueue[WAIT_QUEUE_SLOTS]; /* guarded by Lock, with the indices */
    /* Atomic: serial/ SET_WAIT_MASK writes it; the polling threads read it. */
    volatile ULONG WaitMask;
    PDEVICE_OBJECT Pdo; /* driver/: set by AddDevice, constant */
    KSPIN_LOCK Lock;
    /* driver/: set by AddDevice's interface registration, freed at removal; PnP thread only. */
    UNICODE_STRING InterfaceName;

    /* ---- Beyond the basic record ---- */
    /* Serialises the port's open, cleanup and close, its writes, and a read that reopens
     * WriteHandle (see the lock order above). */
    KMUTEX PortMutex;
    SERIAL_CHARS SpecialChars;      /* serial/ settings, as BaudRate */
    /* Statistics, atomic: bytes stored into RxBuffer by the read thread, and bytes the device
     * accepted from writes. Cleared by CLEAR_STATS. */
    volatile LONG ReceivedCount;
    volatile LONG TransmittedCount;
    /* Atomic: SERIAL_DTR_STATE and SERIAL_RTS_STATE as the DTR and RTS requests left them. */
    volatile ULONG DtrRts;
    /* port/: the file object of the successful open, which alone may tear the port down. Set by
     * the open, cleared by that file's close; both hold PortMutex. */
    PFILE_OBJECT OpenFileObject;
    /* port/: initialised by each successful open before its workers exist. The workers start
     * their loops once WorkersStartEvent is set; the teardown sets ReadThreadWakeEvent to release
     * a read thread waiting on the device. */
    KEVENT WorkersStartEvent;
    KEVENT ReadThreadWakeEvent;
    /* port/: reads that a later read displaced from PendingReadIrp, still cancellable, oldest
     * first. Guarded by Lock. */
    REQUEST_LIST DisplacedReads;
    /* serial/: wait-on-mask requests that found the wait-request queue full, still cancellable,
     * oldest first. No event completes them; their cancel routine or the port's teardown does.
     * Guarded by Lock. */
    REQUEST_LIST OverflowWaits;
    /* port/: the time-outs of the read in PendingReadIrp. Guarded by Lock, with PendingReadIrp. */
    VP_READ_TIMER PendingReadTimer;
    /* port/: set by the read thread each time it stores a reply in RxBuffer, so that the
     * read-polling thread answers the waiting read and a wait for received characters at once
     * rather than at its next poll. A synchronization event: one wake per store. Initialised by
     * each successful open before its workers exist. */
    KEVENT ReceiveEvent;
    /* Atomic: when the read thread last stored into RxBuffer (ReadClockNow); the interval
     * time-out of a waiting read counts from it. */
    volatile LONG64 LastReceiveTime;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* ---- Accessors of the atomic fields ---------------------------------------------------------- */

FORCEINLINE ULONG VpLoad(volatile ULONG *Field)
{
    return (ULONG)InterlockedCompareExchange((volatile LONG *)Field, 0, 0);
}

FORCEINLINE VOID VpStore(volatile ULONG *Field, ULONG Value)
{
    InterlockedExchange((volatile LONG *)Field, (LONG)Value);
}

FORCEINLINE VOID VpSetBits(volatile ULONG *Field, ULONG Bits)
{
    InterlockedOr((volatile LONG *)Field, (LONG)Bits);
}

FORCEINLINE VOID VpClearBits(volatile ULONG *Field, ULONG Bits)
{
    InterlockedAnd((volatile LONG *)Field, (LONG)~Bits);
}

FORCEINLINE ULONGLONG VpLoad64(volatile LONG64 *Field)
{
    return (ULONGLONG)InterlockedCompareExchange64(Field, 0, 0);
}

FORCEINLINE VOID VpStore64(volatile LONG64 *Field, ULONGLONG Value)
{
    InterlockedExchange64(Field, (LONG64)Value);
}

FORCEINLINE VP_PORT_STATE VpPortState(PDEVICE_EXTENSION Extension)
{
    return (VP_PORT_STATE)VpLoad(&Extension->PortState);
}

/* For the transitions made holding PortMutex (see VP_PORT_STATE). */
FORCEINLINE VOID VpSetPortState(PDEVICE_EXTENSION Extension, VP_PORT_STATE State)
{
    VpStore(&Extension->PortState, (ULONG)State);
}

/* An open port whose device has gone: PortOpen becomes PortRemoved; any other state stays. */
FORCEINLINE VOID VpMarkPortRemoved(PDEVICE_EXTENSION Extension)
{
    InterlockedCompareExchange((volatile LONG *)&Extension->PortState, PortRemoved, PortOpen);
}

/* IsOpen: 1 while the port is open, 0 otherwise. */
FORCEINLINE ULONG VpIsOpen(PDEVICE_EXTENSION Extension)
{
    return VpPortState(Extension) == PortOpen ? 1 : 0;
}

/* The emulated CTS and DSR lines: raised by an open that finds the device, dropped whenever the
 * device is found absent. */
#define VP_MODEM_LINES (SERIAL_CTS_STATE | SERIAL_DSR_STATE)

FORCEINLINE VOID RaiseModemLines(PDEVICE_EXTENSION Extension)
{
    VpSetBits(&Extension->ModemStatus, VP_MODEM_LINES);
}

FORCEINLINE VOID LowerModemLines(PDEVICE_EXTENSION Extension)
{
    VpClearBits(&Extension->ModemStatus, VP_MODEM_LINES);
}

FORCEINLINE HANDLE VpWriteHandle(PDEVICE_EXTENSION Extension)
{
    return InterlockedCompareExchangePointer(&Extension->WriteHandle, NULL, NULL);
}

FORCEINLINE VOID VpSetWriteHandle(PDEVICE_EXTENSION Extension, HANDLE Handle)
{
    InterlockedExchangePointer(&Extension->WriteHandle, Handle);
}
