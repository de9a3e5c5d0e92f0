/*
 * error_log.cpp - the System event log entries and the stored last refusal of each port (see
 * error_log.h for what a report does).
 *
 * Reports come from dispatch routines in the requester's thread and from the PnP thread, at
 * PASSIVE_LEVEL, though nothing here needs more than DISPATCH_LEVEL except the store, which runs
 * in a work item. A report never fails its caller: a packet or a work item that cannot be had
 * means no entry, or no store this time, and nothing else.
 */
#include "driver/vparallel.h"

#include "driver/vparallel_log.h" /* the message numbers, generated from vparallel_log.mc */

/* The packet's layout is the kernel's; the sizes below depend on it. */
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET as on x64");
static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 40, "IO_ERROR_LOG_PACKET as on x64");
static_assert(ERROR_LOG_MAXIMUM_SIZE == 240, "the largest packet on x64");

/* Each cause's message, in VP_REFUSAL_CAUSE order. */
static const NTSTATUS kCauseMessages[VpRefusalCauseCount] = {
    0,
    VP_LOG_NO_LINK,
    VP_LOG_UNKNOWN_VENDOR,
    VP_LOG_PRINTER_ABSENT,
    VP_LOG_OPEN_FAILED,
    VP_LOG_WRITE_FAILED,
    VP_LOG_PRINTER_UNPLUGGED,
    VP_LOG_NOT_PUBLISHED,
    VP_LOG_REMOVED_WHILE_OPEN,
};

/* The insertion strings: the port's name (%2), then the status as "0x" and eight hex digits (%3).
 * What the packet's header leaves of the largest packet bounds the name; a longer one is cut. */
static constexpr ULONG kStatusChars = 10;
static constexpr ULONG kPacketHeaderBytes = sizeof(IO_ERROR_LOG_PACKET);
static constexpr ULONG kMaxNameChars =
    (ERROR_LOG_MAXIMUM_SIZE - kPacketHeaderBytes) / sizeof(WCHAR) - (kStatusChars + 1) - 1;
static_assert(kMaxNameChars >= 80, "room for any LPT name, and most others whole");
static const WCHAR kNoName[] = L"(no name)";

static constexpr LONGLONG kWindow = (LONGLONG)VP_REFUSAL_LOG_WINDOW_MS * 10000;

/* ---- The event log entry ------------------------------------------------------------------ */

/* "0x" and the status in eight upper-case hex digits, null-terminated. */
static VOID FormatStatus(NTSTATUS Status, PWCHAR Text)
{
    static const WCHAR digits[] = L"0123456789ABCDEF";
    ULONG value = (ULONG)Status;

    Text[0] = L'0';
    Text[1] = L'x';
    for (ULONG i = 0; i < 8; i++) {
        Text[2 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
    }
    Text[kStatusChars] = L'\0';
}

/* The characters of the port's name that go into the entry. */
static ULONG EntryNameChars(PCWSTR Name)
{
    ULONG chars = 0;

    while (chars < kMaxNameChars && Name[chars] != L'\0') {
        chars++;
    }
    return chars;
}

/*
 * Claims the cause's place in the window: TRUE when the entry may be written, with the claim's
 * previous state in *Previous, so that an entry that cannot be had gives the place back.
 */
static BOOLEAN ClaimLogWindow(PVP_REFUSAL_LOG Log, VP_REFUSAL_CAUSE Cause, LONGLONG Now, LONGLONG *Previous,
                              BOOLEAN *HadPrevious)
{
    KIRQL irql;
    BOOLEAN claimed = FALSE;

    KeAcquireSpinLock(&Log->Lock, &irql);
    if (!Log->Logged[Cause] || Now - Log->LoggedAt[Cause] >= kWindow) {
        *Previous = Log->LoggedAt[Cause];
        *HadPrevious = Log->Logged[Cause];
        Log->LoggedAt[Cause] = Now;
        Log->Logged[Cause] = TRUE;
        claimed = TRUE;
    }
    KeReleaseSpinLock(&Log->Lock, irql);
    return claimed;
}

static VOID ReleaseLogWindow(PVP_REFUSAL_LOG Log, VP_REFUSAL_CAUSE Cause, LONGLONG Claimed, LONGLONG Previous,
                             BOOLEAN HadPrevious)
{
    KIRQL irql;

    KeAcquireSpinLock(&Log->Lock, &irql);
    if (Log->LoggedAt[Cause] == Claimed) { /* no later entry took the place meanwhile */
        Log->LoggedAt[Cause] = Previous;
        Log->Logged[Cause] = HadPrevious;
    }
    KeReleaseSpinLock(&Log->Lock, irql);
}

/* Fills in and writes the packet: the cause's message, the name and the status as its strings. */
static VOID FillAndWrite(PIO_ERROR_LOG_PACKET Packet, ULONG Size, VP_REFUSAL_CAUSE Cause, NTSTATUS Status,
                         PCWSTR Name, ULONG NameChars)
{
    PWCHAR strings = (PWCHAR)((PUCHAR)Packet + kPacketHeaderBytes);

    RtlZeroMemory(Packet, Size);
    Packet->ErrorCode = kCauseMessages[Cause];
    Packet->UniqueErrorValue = (ULONG)Cause;
    Packet->FinalStatus = Status;
    Packet->NumberOfStrings = 2;
    Packet->StringOffset = (USHORT)kPacketHeaderBytes;
    RtlCopyMemory(strings, Name, NameChars * sizeof(WCHAR));
    strings[NameChars] = L'\0';
    FormatStatus(Status, strings + NameChars + 1);
    IoWriteErrorLogEntry(Packet);
}

static VOID LogRefusal(PDEVICE_EXTENSION Extension, VP_REFUSAL_CAUSE Cause, NTSTATUS Status)
{
    PVP_REFUSAL_LOG log = &Extension->RefusalLog;
    const LONGLONG now = (LONGLONG)KeQueryInterruptTime();
    LONGLONG previous = 0;
    BOOLEAN hadPrevious = FALSE;

    if (!ClaimLogWindow(log, Cause, now, &previous, &hadPrevious)) {
        return; /* this cause was logged for this port a moment ago */
    }
    PCWSTR name = Extension->PortName[0] != L'\0' ? Extension->PortName : kNoName;
    const ULONG nameChars = EntryNameChars(name);
    const ULONG size = kPacketHeaderBytes + (nameChars + 1 + kStatusChars + 1) * sizeof(WCHAR);
    PIO_ERROR_LOG_PACKET packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(log->Fdo, (UCHAR)size);
    if (packet == NULL) {
        ReleaseLogWindow(log, Cause, now, previous, hadPrevious);
        return;
    }
    FillAndWrite(packet, size, Cause, Status, name, nameChars);
}

/* ---- The stored last refusal ---------------------------------------------------------------- */

/* Writes the record into the port's hardware key. Failures are silent: the record is a help, and
 * the next refusal writes it again. Work item context: a system thread at PASSIVE_LEVEL. */
static VOID WriteLastRefusal(PDEVICE_OBJECT Pdo, VP_LAST_REFUSAL *Record)
{
    HANDLE key = NULL;
    UNICODE_STRING valueName;

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &key))) {
        return;
    }
    RtlInitUnicodeString(&valueName, VP_LAST_REFUSAL_VALUE);
    ZwSetValueKey(key, &valueName, 0, REG_BINARY, Record, sizeof(*Record));
    ZwClose(key);
}

/* The latest refusal not yet stored, taken under Lock. FALSE when there is none: the store is then
 * over (StoreIdle set), and the caller must not touch the extension again, which removal may
 * delete from then on. */
static BOOLEAN TakeRefusalToStore(PVP_REFUSAL_LOG Log, VP_LAST_REFUSAL *Record)
{
    KIRQL irql;
    BOOLEAN taken = FALSE;

    KeAcquireSpinLock(&Log->Lock, &irql);
    if (Log->StorePending) {
        *Record = Log->Latest;
        Log->StorePending = FALSE;
        taken = TRUE;
    } else {
        Log->StoreQueued = FALSE;
        KeSetEvent(&Log->StoreIdle, 0, FALSE);
    }
    KeReleaseSpinLock(&Log->Lock, irql);
    return taken;
}

/* The work item: stores refusals until none is left, then frees itself. The I/O manager holds the
 * device until this returns. */
static VOID StoreRefusals(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT pdo = extension->Pdo;
    VP_LAST_REFUSAL record;

    while (TakeRefusalToStore(&extension->RefusalLog, &record)) {
        WriteLastRefusal(pdo, &record);
    }
    IoFreeWorkItem((PIO_WORKITEM)Context);
}

/* Starts a store; when no work item can be had, the refusal stays pending for the next one. */
static VOID QueueStore(PVP_REFUSAL_LOG Log)
{
    PIO_WORKITEM item = IoAllocateWorkItem(Log->Fdo);
    KIRQL irql;

    if (item != NULL) {
        IoQueueWorkItem(item, StoreRefusals, DelayedWorkQueue, item);
        return;
    }
    KeAcquireSpinLock(&Log->Lock, &irql);
    Log->StoreQueued = FALSE;
    KeSetEvent(&Log->StoreIdle, 0, FALSE);
    KeReleaseSpinLock(&Log->Lock, irql);
}

static VOID RememberRefusal(PVP_REFUSAL_LOG Log, VP_REFUSAL_CAUSE Cause, NTSTATUS Status)
{
    LARGE_INTEGER now;
    KIRQL irql;
    BOOLEAN queue = FALSE;

    KeQuerySystemTime(&now);
    KeAcquireSpinLock(&Log->Lock, &irql);
    Log->Latest.Cause = (unsigned int)Cause;
    Log->Latest.Status = Status;
    Log->Latest.Time = now.QuadPart;
    Log->StorePending = TRUE;
    if (!Log->StoreQueued && !Log->Closed) {
        Log->StoreQueued = TRUE;
        KeClearEvent(&Log->StoreIdle);
        queue = TRUE;
    }
    KeReleaseSpinLock(&Log->Lock, irql);
    if (queue) {
        QueueStore(Log);
    }
}

/* ---- Interface ------------------------------------------------------------------------------ */

VOID InitializeRefusalLog(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Fdo)
{
    PVP_REFUSAL_LOG log = &Extension->RefusalLog;

    log->Fdo = Fdo;
    KeInitializeSpinLock(&log->Lock);
    KeInitializeEvent(&log->StoreIdle, NotificationEvent, TRUE);
}

VOID ReportRefusal(PDEVICE_EXTENSION Extension, VP_REFUSAL_CAUSE Cause, NTSTATUS Status)
{
    if (Cause <= VpRefusalNone || Cause >= VpRefusalCauseCount) {
        return;
    }
    LogRefusal(Extension, Cause, Status);
    RememberRefusal(&Extension->RefusalLog, Cause, Status);
}

NTSTATUS ReportIfFailed(PDEVICE_EXTENSION Extension, VP_REFUSAL_CAUSE Cause, NTSTATUS Status)
{
    if (!NT_SUCCESS(Status)) {
        ReportRefusal(Extension, Cause, Status);
    }
    return Status;
}

VOID ReportSurpriseRemoval(PDEVICE_EXTENSION Extension)
{
    if (VpIsOpen(Extension) != 0) {
        ReportRefusal(Extension, VpRefusalRemovedWhileOpen, STATUS_DEVICE_REMOVED);
    }
}

VOID CloseRefusalLog(PDEVICE_EXTENSION Extension)
{
    PVP_REFUSAL_LOG log = &Extension->RefusalLog;
    KIRQL irql;

    KeAcquireSpinLock(&log->Lock, &irql);
    log->Closed = TRUE;
    KeReleaseSpinLock(&log->Lock, irql);
    KeWaitForSingleObject(&log->StoreIdle, Executive, KernelMode, FALSE, NULL);
}
