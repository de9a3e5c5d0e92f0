/*
 * workers.cpp - the three system threads that serve an open port.
 *
 * pReadThreadFunction moves the device's replies into the receive ring and wakes
 * pReadPollingFunction, which hands ring data to the waiting read, ends that read when its
 * time-outs run out, and answers wait requests for received characters;
 * pEmulationPollingFunction answers wait requests on the emulated modem lines. All three run at
 * PASSIVE_LEVEL in the system process, at LOW_REALTIME_PRIORITY, from a successful open until
 * the teardown or a surprise removal sets their exit events. Each leaves its loop only at its
 * exit event (the read thread also when bytes arrive for a port that has been closed), then
 * completes what it still holds.
 *
 * The open creates them before it completes, so that it can still fail when one cannot be
 * created; they do no work until the open sets WorkersStartEvent after its completion.
 */
#include "port/port.h"

#include "buffers/ring_buffer.h"
#include "buffers/wait_queue.h"
#include "link/link.h"

/* HOST (Wine): the running thread, through the kernel's exported routine rather than the
 * header's inline form, which reads the processor block directly: Wine's emulated kernel answers
 * only the export (the inline form gives NULL there). On Windows both give the same thread. The
 * export has the same name, so it is declared by symbol. */
extern "C" NTKERNELAPI PKTHREAD NTAPI ExportedCurrentThread(VOID) __asm__("KeGetCurrentThread");

/* Waits until the open releases the workers. FALSE when the exit event came first. */
static BOOLEAN WaitForStart(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent)
{
    PVOID objects[2] = {&Extension->WorkersStartEvent, &Extension->Events[ExitEvent]};

    return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL) ==
           STATUS_WAIT_0;
}

/* One period's wait on the exit event. TRUE when it is set. */
static BOOLEAN ExitRequested(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent, LONG PeriodMs)
{
    LARGE_INTEGER timeout;

    timeout.QuadPart = VP_RELATIVE_MS(PeriodMs);
    return KeWaitForSingleObject(&Extension->Events[ExitEvent], Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
}

static VOID SetWorkerEvent(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX Index)
{
    KeSetEvent(&Extension->Events[Index], 0, FALSE);
}

/* ---- Wait requests --------------------------------------------------------------------------- */

/* Completes a popped wait request that has events, or puts it back at the tail, its mask still 0
 * as it was queued. It always finds room: it was taken out under the same hold of Lock. Requests
 * are completed holding Lock, as the design has the polling threads do. */
static VOID AnswerOrRequeue(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Events)
{
    if (Events != 0) {
        CompleteTakenWait(Irp, Events);
    } else {
        WaitQueuePush(Extension, Irp);
    }
}

/* ---- pEmulationPollingFunction --------------------------------------------------------------- */

/* The emulated CTS and DSR events come from the modem-control bits the application set. */
#define VP_CONTROL_CTS 0x10
#define VP_CONTROL_DSR 0x20

static VOID EmulationCycle(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    ULONG lines;
    ULONG waitMask;
    ULONG events = 0;
    PIRP irp;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    lines = VpLoad(&Extension->ModemControl) & (VP_CONTROL_CTS | VP_CONTROL_DSR);
    irp = WaitQueuePop(Extension);
    if (irp != NULL) {
        waitMask = VpLoad(&Extension->WaitMask);
        if ((waitMask & SERIAL_EV_RXCHAR) && RxBufferCount(Extension->RxBuffer) != 0) {
            events |= SERIAL_EV_RXCHAR;
        }
        if ((waitMask & SERIAL_EV_CTS) && (lines & VP_CONTROL_CTS)) {
            events |= SERIAL_EV_CTS;
        }
        if ((waitMask & SERIAL_EV_DSR) && (lines & VP_CONTROL_DSR)) {
            events |= SERIAL_EV_DSR;
        }
        AnswerOrRequeue(Extension, irp, events);
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/* Leaving: every wait request still queued completes with the mask it holds, which is 0. */
static VOID EmulationExitWork(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    PIRP irp;

    SetWorkerEvent(Extension, EmulationPollingDoneEvent);
    KeAcquireSpinLock(&Extension->Lock, &irql);
    while ((irp = WaitQueuePop(Extension)) != NULL) {
        CompleteTakenWait(irp, 0);
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    DbgPrint("pEmulationPollingFunction Exit\n");
}

VOID pEmulationPollingFunction(PVOID StartContext)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)StartContext;

    KeSetPriorityThread(ExportedCurrentThread(), LOW_REALTIME_PRIORITY);
    if (WaitForStart(extension, EmulationPollingExitEvent)) {
        while (!ExitRequested(extension, EmulationPollingExitEvent, VP_EMULATION_PERIOD_MS)) {
            EmulationCycle(extension);
        }
    }
    EmulationExitWork(extension);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- pReadPollingFunction -------------------------------------------------------------------- */

/* A queued wait request for received characters, answered when the ring holds data. With an
 * empty ring the request goes back untouched. Caller holds Lock. */
static VOID AnswerReceivedCharWait(PDEVICE_EXTENSION Extension)
{
    PIRP irp = WaitQueuePop(Extension);
    ULONG events;

    if (irp == NULL) {
        return;
    }
    if (RxBufferCount(Extension->RxBuffer) == 0) {
        WaitQueuePush(Extension, irp);
        return;
    }
    events = VpLoad(&Extension->WaitMask) & SERIAL_EV_RXCHAR;
    AnswerOrRequeue(Extension, irp, events);
}

/* The waiting read ends when its count is there or its time-outs run out (read_timeouts.cpp),
 * with what the ring then holds up to its length. Caller holds Lock. */
static VOID AnswerPendingRead(PDEVICE_EXTENSION Extension)
{
    PIRP irp = Extension->PendingReadIrp;
    ULONG length;
    ULONG moved = 0;

    if (irp == NULL) {
        return;
    }
    length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (!ReadTimerEnds(&Extension->PendingReadTimer, length, RxBufferCount(Extension->RxBuffer),
                       ReadClockNow(), VpLoad64(&Extension->LastReceiveTime))) {
        return;
    }
    /* Decide who owns the request before any byte leaves the ring, so that a read whose cancel
     * routine is already running never takes data with it. */
    Extension->PendingReadIrp = NULL;
    if (!ClaimRequest(irp)) {
        return;
    }
    if (length != 0) {
        moved = RxBufferRead(Extension->RxBuffer, irp->AssociatedIrp.SystemBuffer, length);
    }
    CompleteRequest(irp, STATUS_SUCCESS, moved);
}

static VOID ReadPollingCycle(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->Lock, &irql);
    AnswerReceivedCharWait(Extension);
    KeReleaseSpinLock(&Extension->Lock, irql);

    KeAcquireSpinLock(&Extension->Lock, &irql);
    AnswerPendingRead(Extension);
    KeReleaseSpinLock(&Extension->Lock, irql);
}

/* One poll period's wait, cut short when the read thread stores a reply. TRUE when the exit
 * event is set (it wins over a reply that came at the same time). */
static BOOLEAN ReadPollingExitRequested(PDEVICE_EXTENSION Extension)
{
    PVOID objects[2] = {&Extension->Events[ReadPollingExitEvent], &Extension->ReceiveEvent};
    LARGE_INTEGER timeout;

    timeout.QuadPart = VP_RELATIVE_MS(VP_READ_POLLING_PERIOD_MS);
    return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, NULL) ==
           STATUS_WAIT_0;
}

/* Leaving: one queued wait request completes with the mask it holds, and the waiting read with
 * 0 bytes. */
static VOID ReadPollingExitWork(PDEVICE_EXTENSION Extension)
{
    KIRQL irql;
    PIRP irp;

    SetWorkerEvent(Extension, ReadPollingDoneEvent);
    KeAcquireSpinLock(&Extension->Lock, &irql);
    irp = WaitQueuePop(Extension);
    if (irp != NULL) {
        CompleteTakenWait(irp, 0);
    }
    irp = Extension->PendingReadIrp;
    if (irp != NULL) {
        Extension->PendingReadIrp = NULL;
        CompleteTakenRequest(irp, STATUS_SUCCESS, 0);
    }
    KeReleaseSpinLock(&Extension->Lock, irql);
    DbgPrint("pReadPollingFunction Exit\n");
}

VOID pReadPollingFunction(PVOID StartContext)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)StartContext;

    KeSetPriorityThread(ExportedCurrentThread(), LOW_REALTIME_PRIORITY);
    if (WaitForStart(extension, ReadPollingExitEvent)) {
        while (!ReadPollingExitRequested(extension)) {
            ReadPollingCycle(extension);
        }
    }
    ReadPollingExitWork(extension);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- pReadThreadFunction --------------------------------------------------------------------- */

/*
 * The read thread's own state. Its device reads complete through ReadEvent, an event of its own:
 * the system-wide named event is shared by every port (and by anyone who opens the name), so it
 * cannot tell this port's read from another's. The named event is still created or opened in
 * each cycle, as outside listeners expect, and set when this port's read has completed.
 */
typedef struct _READ_THREAD_STATE {
    UNICODE_STRING DevicePath; /* over HardwareId, taken when the thread starts */
    HANDLE ReadEventHandle;    /* kernel handle of ReadEvent, NULL until it could be created */
    PKEVENT ReadEvent;         /* referenced; signalled only by this thread's own device read */
    HANDLE Device;             /* the cycle's asynchronous device handle, NULL between cycles */
    IO_STATUS_BLOCK IoStatus;
    UCHAR Buffer[VP_READ_CHUNK];
} READ_THREAD_STATE, *PREAD_THREAD_STATE;

static const WCHAR ReadCompleteEventName[] = L"\\BaseNamedObjects\\ReadCompleteEvent";

/* Creates the thread's own read event once; a failure is retried at the next cycle. */
static NTSTATUS OpenOwnReadEvent(PREAD_THREAD_STATE State)
{
    OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    if (State->ReadEvent != NULL) {
        return STATUS_SUCCESS;
    }
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateEvent(&State->ReadEventHandle, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE);
    if (!NT_SUCCESS(status)) {
        State->ReadEventHandle = NULL;
        return status;
    }
    /* The handle was made just above, so its type is known and not checked: the kernel's object
     * type variables are data imports that the headers of some compilers declare one level of
     * indirection apart, which would hand over a wrong type pointer. */
    status = ObReferenceObjectByHandle(State->ReadEventHandle, EVENT_ALL_ACCESS, NULL, KernelMode,
                                       (PVOID *)&State->ReadEvent, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(State->ReadEventHandle);
        State->ReadEventHandle = NULL;
        State->ReadEvent = NULL;
    }
    return status;
}

static VOID CloseOwnReadEvent(PREAD_THREAD_STATE State)
{
    if (State->ReadEvent != NULL) {
        ObDereferenceObject(State->ReadEvent);
        State->ReadEvent = NULL;
    }
    if (State->ReadEventHandle != NULL) {
        ZwClose(State->ReadEventHandle);
        State->ReadEventHandle = NULL;
    }
}

/* Creates or opens the named event for this cycle. Its handle marks the cycle for the
 * teardown; when it cannot be had the cycle goes on without it. */
static VOID OpenNamedCompleteEvent(PDEVICE_EXTENSION Extension)
{
    UNICODE_STRING name;
    HANDLE handle = NULL;
    PKEVENT event;

    RtlInitUnicodeString(&name, ReadCompleteEventName);
    event = IoCreateNotificationEvent(&name, &handle);
    if (event == NULL) {
        return;
    }
    KeClearEvent(event);
    Extension->ReadCompleteEvent = event;
    InterlockedExchangePointer(&Extension->ReadCompleteEventHandle, handle);
}

/* Only this thread uses the named event object; it is forgotten before its handle goes. */
static VOID CloseNamedCompleteEvent(PDEVICE_EXTENSION Extension)
{
    HANDLE handle;

    Extension->ReadCompleteEvent = NULL;
    handle = InterlockedExchangePointer(&Extension->ReadCompleteEventHandle, NULL);
    if (handle != NULL) {
        ZwClose(handle);
    }
}

/*
 * Waits for the outstanding read. A thread that is being stopped (exit event set, or woken by
 * the teardown after the port was closed) cancels the read and still waits for it to finish,
 * since the read writes into State's buffer and status block until it completes.
 */
static VOID WaitForRead(PDEVICE_EXTENSION Extension, PREAD_THREAD_STATE State)
{
    PVOID objects[3] = {State->ReadEvent, &Extension->Events[ReadThreadExitEvent],
                        &Extension->ReadThreadWakeEvent};
    ULONG count = 3;
    IO_STATUS_BLOCK cancelStatus;
    NTSTATUS status;

    for (;;) {
        status = KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        if (status == STATUS_WAIT_0) {
            return;
        }
        if (count == 1) {
            continue;
        }
        if (status == STATUS_WAIT_1 || VpIsOpen(Extension) == 0) {
            ZwCancelIoFile(State->Device, &cancelStatus);
            count = 1;
        } else {
            KeClearEvent(&Extension->ReadThreadWakeEvent);
        }
    }
}

/* Issues one read of up to VP_READ_CHUNK bytes and waits for it. Listeners on the named event
 * learn of a read the device completed, not of one that failed at once or was cancelled. */
static VOID ReadDevice(PDEVICE_EXTENSION Extension, PREAD_THREAD_STATE State)
{
    LARGE_INTEGER offset;
    NTSTATUS status;

    offset.QuadPart = 0;
    State->IoStatus.Status = STATUS_SUCCESS;
    State->IoStatus.Information = 0;
    KeClearEvent(State->ReadEvent);
    status = ZwReadFile(State->Device, State->ReadEventHandle, NULL, NULL, &State->IoStatus, State->Buffer,
                        VP_READ_CHUNK, &offset, NULL);
    if (status == STATUS_PENDING) {
        WaitForRead(Extension, State);
        status = State->IoStatus.Status;
    }
    if (NT_SUCCESS(status) && Extension->ReadCompleteEvent != NULL) {
        KeSetEvent(Extension->ReadCompleteEvent, 0, FALSE);
    }
}

static VOID EndReadCycle(PDEVICE_EXTENSION Extension, PREAD_THREAD_STATE State)
{
    ZwClose(State->Device);
    State->Device = NULL;
    CloseNamedCompleteEvent(Extension);
}

/*
 * One cycle: open the device, read one reply, store it. FALSE when the thread must leave
 * because bytes arrived for a port that has been closed meanwhile (they are discarded). A device
 * that cannot be opened ends the cycle quietly; the next cycle tries again.
 */
static BOOLEAN ReadCycle(PDEVICE_EXTENSION Extension, PREAD_THREAD_STATE State)
{
    ULONG_PTR received;
    ULONG stored;

    if (!NT_SUCCESS(OpenOwnReadEvent(State))) {
        return TRUE;
    }
    if (!NT_SUCCESS(OpenUsbDevicePath(&State->DevicePath, VpOpenRead, &State->Device))) {
        return TRUE;
    }
    OpenNamedCompleteEvent(Extension);
    ReadDevice(Extension, State);

    received = State->IoStatus.Information;
    if (received > VP_READ_CHUNK) {
        received = VP_READ_CHUNK;
    }
    if (received != 0 && VpIsOpen(Extension) == 0) {
        EndReadCycle(Extension, State);
        return FALSE;
    }
    if (received != 0) {
        stored = RxBufferWrite(Extension->RxBuffer, State->Buffer, (ULONG)received);
        InterlockedExchangeAdd(&Extension->ReceivedCount, (LONG)stored);
        VpStore64(&Extension->LastReceiveTime, ReadClockNow());
        KeSetEvent(&Extension->ReceiveEvent, 0, FALSE);
    }
    EndReadCycle(Extension, State);
    return TRUE;
}

VOID pReadThreadFunction(PVOID StartContext)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)StartContext;
    READ_THREAD_STATE state;

    RtlZeroMemory(&state, sizeof(state));
    KeSetPriorityThread(ExportedCurrentThread(), LOW_REALTIME_PRIORITY);
    RtlInitUnicodeString(&state.DevicePath, extension->HardwareId);
    if (WaitForStart(extension, ReadThreadExitEvent)) {
        while (!ExitRequested(extension, ReadThreadExitEvent, VP_READ_THREAD_PERIOD_MS)) {
            /* A closed port starts no new read; the thread waits for its exit event. */
            if (VpIsOpen(extension) == 0) {
                continue;
            }
            if (!ReadCycle(extension, &state)) {
                break;
            }
        }
    }
    CloseOwnReadEvent(&state);
    SetWorkerEvent(extension, ReadThreadDoneEvent);
    DbgPrint("pReadThreadFunction Exit\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- Start and stop -------------------------------------------------------------------------- */

/* A thread that runs but could not be referenced is stopped through its exit event and waited
 * for on its handle. */
static VOID StopUnreferencedWorker(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent, HANDLE Handle)
{
    SetWorkerEvent(Extension, ExitEvent);
    ZwWaitForSingleObject(Handle, FALSE, NULL);
}

static NTSTATUS StartWorker(PDEVICE_EXTENSION Extension, PKSTART_ROUTINE Routine, VP_EVENT_INDEX ExitEvent,
                            PETHREAD *Thread)
{
    HANDLE handle = NULL;
    NTSTATUS status;

    *Thread = NULL;
    status = PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, Routine, Extension);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VPARALLEL_Create PsCreateSystemThread Error \n");
        return status;
    }
    status = ObReferenceObjectByHandle(handle, 0, NULL, KernelMode, (PVOID *)Thread, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VPARALLEL_Create ObReferenceObjectByHandle Error \n");
        *Thread = NULL;
        StopUnreferencedWorker(Extension, ExitEvent, handle);
    }
    ZwClose(handle);
    return status;
}

NTSTATUS StartWorkers(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status;

    status = StartWorker(Extension, pEmulationPollingFunction, EmulationPollingExitEvent,
                         &Extension->EmulationPollingThread);
    if (NT_SUCCESS(status)) {
        status = StartWorker(Extension, pReadPollingFunction, ReadPollingExitEvent, &Extension->ReadPollingThread);
    }
    if (NT_SUCCESS(status)) {
        status = StartWorker(Extension, pReadThreadFunction, ReadThreadExitEvent, &Extension->ReadThread);
    }
    if (!NT_SUCCESS(status)) {
        StopWorker(Extension, ReadPollingExitEvent, &Extension->ReadPollingThread);
        StopWorker(Extension, EmulationPollingExitEvent, &Extension->EmulationPollingThread);
        StopWorker(Extension, ReadThreadExitEvent, &Extension->ReadThread);
    }
    return status;
}

VOID StopWorker(PDEVICE_EXTENSION Extension, VP_EVENT_INDEX ExitEvent, PETHREAD *Thread)
{
    SetWorkerEvent(Extension, ExitEvent);
    if (*Thread == NULL) {
        return;
    }
    KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(*Thread);
    *Thread = NULL;
}
