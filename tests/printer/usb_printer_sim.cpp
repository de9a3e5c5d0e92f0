/*
 * usb_printer_sim.cpp - a simulated USB receipt printer, loaded as a plain kernel service.
 *
 * It stands where the printer's own driver would be when the port driver runs on a real I/O
 * manager: the data device answers the opens, writes and reads that the port driver makes
 * through its HardwareId path, and records each of them; the control device lets a test read the
 * records and queue the printer's replies (usbsim_control.h).
 *
 * Everything runs at PASSIVE_LEVEL except under State.Lock, a spin lock that guards every field
 * of State. A waiting read is held in WaitingReads with a cancel routine; whoever takes it out of
 * the list first exchanges its cancel routine for none, and leaves it alone when that answer is
 * NULL (the cancel routine then owns it). The cancel routine takes the request out under the
 * lock; a request already taken out has its list entry pointing at itself, so that is harmless.
 */
#include <ntddk.h>

#include "tests/printer/usbsim_control.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

typedef struct _VPSIM_REPLY {
    ULONG Length;
    ULONG Offset; /* bytes already served */
    UCHAR Data[VPSIM_MAX_REPLY];
} VPSIM_REPLY;

static struct {
    KSPIN_LOCK Lock;
    PDEVICE_OBJECT DataDevice;
    PDEVICE_OBJECT ControlDevice;
    ULONG RecordCount;
    ULONG LostRecords;
    ULONG OpenHandles;
    ULONG WaitingReadCount;
    LIST_ENTRY WaitingReads;
    ULONG ReplyHead; /* oldest queued reply */
    ULONG ReplyCount;
    VPSIM_REPLY Replies[VPSIM_MAX_REPLIES];
    VPSIM_RECORD Records[VPSIM_MAX_RECORDS];
} State;

static const UCHAR StatusRequest[3] = {0x10, 0x04, 0x01};

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Appends a record and returns it, or NULL when the store is full. Caller holds State.Lock. */
static VPSIM_RECORD *AddRecordLocked(ULONG Kind)
{
    VPSIM_RECORD *record;

    if (State.RecordCount >= VPSIM_MAX_RECORDS) {
        State.LostRecords++;
        return NULL;
    }
    record = &State.Records[State.RecordCount++];
    RtlZeroMemory(record, sizeof(*record));
    record->Kind = Kind;
    return record;
}

static VOID AddDataRecordLocked(ULONG Kind, const UCHAR *Data, ULONG Length)
{
    VPSIM_RECORD *record = AddRecordLocked(Kind);

    if (record == NULL) {
        return;
    }
    record->Length = Length;
    RtlCopyMemory(record->Data, Data, Length < VPSIM_MAX_DATA ? Length : VPSIM_MAX_DATA);
}

/* ---- Replies and waiting reads ---------------------------------------------------------------- */

/* Moves the oldest reply (or what is left of it) into a read buffer. Caller holds State.Lock
 * and has checked that a reply is queued. */
static ULONG ServeReplyLocked(PUCHAR Buffer, ULONG Length)
{
    VPSIM_REPLY *reply = &State.Replies[State.ReplyHead];
    ULONG count = reply->Length - reply->Offset;

    if (count > Length) {
        count = Length;
    }
    RtlCopyMemory(Buffer, reply->Data + reply->Offset, count);
    reply->Offset += count;
    if (reply->Offset == reply->Length) {
        State.ReplyHead = (State.ReplyHead + 1) % VPSIM_MAX_REPLIES;
        State.ReplyCount--;
    }
    AddDataRecordLocked(VPSIM_READ, Buffer, count);
    return count;
}

static VOID CancelWaitingRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIRQL irql;

    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&State.Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    State.WaitingReadCount--;
    AddRecordLocked(VPSIM_READ_CANCELLED);
    KeReleaseSpinLock(&State.Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

/* Takes the oldest waiting read that its cancel routine does not own, or NULL. Caller holds
 * State.Lock. */
static PIRP TakeWaitingReadLocked(VOID)
{
    PLIST_ENTRY entry;
    PIRP irp;

    if (IsListEmpty(&State.WaitingReads)) {
        return NULL;
    }
    entry = RemoveHeadList(&State.WaitingReads);
    InitializeListHead(entry);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
        State.WaitingReadCount--;
        return irp;
    }
    /* Being cancelled: its cancel routine, waiting for the lock, unlinks and completes it. Put
     * it back so that the routine's unlink and count stay right. */
    InsertTailList(&State.WaitingReads, entry);
    return NULL;
}

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

/* Serves queued replies to waiting reads for as long as there are both. */
static VOID ServeWaitingReads(VOID)
{
    KIRQL irql;
    PIRP irp;
    ULONG count;

    for (;;) {
        KeAcquireSpinLock(&State.Lock, &irql);
        irp = State.ReplyCount != 0 ? TakeWaitingReadLocked() : NULL;
        count = irp != NULL ? ServeReplyLocked((PUCHAR)irp->AssociatedIrp.SystemBuffer, ReadLength(irp)) : 0;
        KeReleaseSpinLock(&State.Lock, irql);
        if (irp == NULL) {
            return;
        }
        Complete(irp, STATUS_SUCCESS, count);
    }
}

/* ---- Data device -------------------------------------------------------------------------------- */

static NTSTATUS DataCreate(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    VPSIM_RECORD *record;
    KIRQL irql;

    KeAcquireSpinLock(&State.Lock, &irql);
    State.OpenHandles++;
    record = AddRecordLocked(VPSIM_OPEN);
    if (record != NULL) {
        record->CreateOptions = stack->Parameters.Create.Options & 0x00FFFFFF;
        record->ShareAccess = stack->Parameters.Create.ShareAccess;
        if (stack->Parameters.Create.SecurityContext != NULL) {
            record->DesiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
        }
    }
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DataWrite(PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    const UCHAR *data = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN isStatus;
    KIRQL irql;

    if (length != 0 && data == NULL) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    isStatus = length == sizeof(StatusRequest) && RtlCompareMemory(data, StatusRequest, length) == length;
    KeAcquireSpinLock(&State.Lock, &irql);
    AddDataRecordLocked(isStatus ? VPSIM_STATUS_REQUEST : VPSIM_WRITE, data, length);
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, length);
}

/* A read takes a queued reply at once, or waits for the next one. */
static NTSTATUS DataRead(PIRP Irp)
{
    KIRQL irql;
    ULONG count;

    if (ReadLength(Irp) == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    IoMarkIrpPending(Irp);
    KeAcquireSpinLock(&State.Lock, &irql);
    if (State.ReplyCount != 0) {
        count = ServeReplyLocked((PUCHAR)Irp->AssociatedIrp.SystemBuffer, ReadLength(Irp));
        KeReleaseSpinLock(&State.Lock, irql);
        Complete(Irp, STATUS_SUCCESS, count);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(Irp, CancelWaitingRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&State.Lock, irql);
        Complete(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&State.WaitingReads, &Irp->Tail.Overlay.ListEntry);
    State.WaitingReadCount++;
    KeReleaseSpinLock(&State.Lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS DataOpenClose(PIRP Irp, ULONG Kind)
{
    KIRQL irql;

    KeAcquireSpinLock(&State.Lock, &irql);
    if (Kind == VPSIM_CLOSE && State.OpenHandles != 0) {
        State.OpenHandles--;
    }
    AddRecordLocked(Kind);
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

/* ---- Control device ----------------------------------------------------------------------------- */

static NTSTATUS ControlGetState(PIRP Irp, ULONG OutputLength)
{
    VPSIM_STATE *out = (VPSIM_STATE *)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    if (OutputLength < sizeof(VPSIM_STATE)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    KeAcquireSpinLock(&State.Lock, &irql);
    out->RecordCount = State.RecordCount;
    out->LostRecords = State.LostRecords;
    out->OpenHandles = State.OpenHandles;
    out->WaitingReads = State.WaitingReadCount;
    out->QueuedReplies = State.ReplyCount;
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_STATE));
}

static NTSTATUS ControlGetRecord(PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG index;
    KIRQL irql;

    if (InputLength < sizeof(ULONG) || OutputLength < sizeof(VPSIM_RECORD)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    index = *(ULONG *)buffer;
    KeAcquireSpinLock(&State.Lock, &irql);
    if (index >= State.RecordCount) {
        KeReleaseSpinLock(&State.Lock, irql);
        return Complete(Irp, STATUS_NO_MORE_ENTRIES, 0);
    }
    RtlCopyMemory(buffer, &State.Records[index], sizeof(VPSIM_RECORD));
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_RECORD));
}

static NTSTATUS ControlQueueReply(PIRP Irp, ULONG InputLength)
{
    VPSIM_REPLY *reply;
    KIRQL irql;

    if (InputLength == 0 || InputLength > VPSIM_MAX_REPLY) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&State.Lock, &irql);
    if (State.ReplyCount == VPSIM_MAX_REPLIES) {
        KeReleaseSpinLock(&State.Lock, irql);
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    reply = &State.Replies[(State.ReplyHead + State.ReplyCount) % VPSIM_MAX_REPLIES];
    reply->Length = InputLength;
    reply->Offset = 0;
    RtlCopyMemory(reply->Data, Irp->AssociatedIrp.SystemBuffer, InputLength);
    State.ReplyCount++;
    KeReleaseSpinLock(&State.Lock, irql);
    ServeWaitingReads();
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlReset(PIRP Irp)
{
    KIRQL irql;

    KeAcquireSpinLock(&State.Lock, &irql);
    State.RecordCount = 0;
    State.LostRecords = 0;
    State.ReplyHead = 0;
    State.ReplyCount = 0;
    KeReleaseSpinLock(&State.Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VPSIM_GET_STATE:
        return ControlGetState(Irp, outputLength);
    case IOCTL_VPSIM_GET_RECORD:
        return ControlGetRecord(Irp, inputLength, outputLength);
    case IOCTL_VPSIM_QUEUE_REPLY:
        return ControlQueueReply(Irp, inputLength);
    case IOCTL_VPSIM_RESET:
        return ControlReset(Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- Dispatch, load and unload ----------------------------------------------------------------- */

static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;

    if (DeviceObject == State.ControlDevice) {
        if (major == IRP_MJ_DEVICE_CONTROL) {
            return ControlRequest(Irp);
        }
        return Complete(Irp, major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE
                                 ? STATUS_SUCCESS
                                 : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    }
    switch (major) {
    case IRP_MJ_CREATE:
        return DataCreate(Irp);
    case IRP_MJ_WRITE:
        return DataWrite(Irp);
    case IRP_MJ_READ:
        return DataRead(Irp);
    case IRP_MJ_CLEANUP:
        return DataOpenClose(Irp, VPSIM_CLEANUP);
    case IRP_MJ_CLOSE:
        return DataOpenClose(Irp, VPSIM_CLOSE);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;

    UNREFERENCED_PARAMETER(DriverObject);
    RtlInitUnicodeString(&link, VPSIM_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (State.ControlDevice != NULL) {
        IoDeleteDevice(State.ControlDevice);
    }
    if (State.DataDevice != NULL) {
        IoDeleteDevice(State.DataDevice);
    }
}

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name, PDEVICE_OBJECT *Device)
{
    UNICODE_STRING name;
    NTSTATUS status;

    RtlInitUnicodeString(&name, Name);
    status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, Device);
    if (NT_SUCCESS(status)) {
        (*Device)->Flags |= DO_BUFFERED_IO;
        (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    NTSTATUS status;
    ULONG major;

    UNREFERENCED_PARAMETER(RegistryPath);
    KeInitializeSpinLock(&State.Lock);
    InitializeListHead(&State.WaitingReads);
    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = Dispatch;
    }
    DriverObject->DriverUnload = Unload;

    status = CreateNamedDevice(DriverObject, VPSIM_DATA_DEVICE, &State.DataDevice);
    if (NT_SUCCESS(status)) {
        status = CreateNamedDevice(DriverObject, VPSIM_CONTROL_DEVICE, &State.ControlDevice);
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&link, VPSIM_CONTROL_LINK);
        RtlInitUnicodeString(&target, VPSIM_CONTROL_DEVICE);
        status = IoCreateSymbolicLink(&link, &target);
    }
    if (!NT_SUCCESS(status)) {
        Unload(DriverObject);
    }
    return status;
}
