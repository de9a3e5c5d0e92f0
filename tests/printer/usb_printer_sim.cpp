/*
 * usb_printer_sim.cpp - a simulated USB receipt printer, loaded as a plain kernel service.
 *
 * It stands where the printers' own driver would be when the port driver runs on a real I/O
 * manager: each printer's data device answers the opens, writes and reads that a port driver
 * makes through its HardwareId path, and records each of them; the control device lets a test
 * read the records and queue each printer's replies (usbsim_control.h).
 *
 * Each printer's state is the extension of its data device. Everything runs at PASSIVE_LEVEL
 * except under the printer's Lock, a spin lock that guards every field of its PRINTER. A waiting
 * read is held in WaitingReads with a cancel routine; whoever takes it out of the list first
 * exchanges its cancel routine for none, and leaves it alone when that answer is NULL (the cancel
 * routine then owns it). The cancel routine takes the request out under the lock; a request
 * already taken out has its list entry pointing at itself, so that is harmless.
 */
#include <ntddk.h>

#include "tests/printer/usbsim_control.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

typedef struct _VPSIM_REPLY {
    ULONG Length;
    ULONG Offset; /* bytes already served */
    UCHAR Data[VPSIM_MAX_REPLY];
} VPSIM_REPLY;

typedef struct _PRINTER {
    KSPIN_LOCK Lock;
    ULONG RecordCount;
    ULONG LostRecords;
    ULONG OpenHandles;
    ULONG WaitingReadCount;
    LIST_ENTRY WaitingReads;
    ULONG ReplyHead; /* oldest queued reply */
    ULONG ReplyCount;
    VPSIM_REPLY Replies[VPSIM_MAX_REPLIES];
    VPSIM_RECORD Records[VPSIM_MAX_RECORDS];
} PRINTER, *PPRINTER;

/* Set in DriverEntry, cleared at unload; read-only in between. */
static PDEVICE_OBJECT DataDevices[VPSIM_PRINTERS];
static PDEVICE_OBJECT ControlDevice;

static PPRINTER PrinterOf(PDEVICE_OBJECT DataDevice)
{
    return (PPRINTER)DataDevice->DeviceExtension;
}

static const UCHAR StatusRequest[3] = {0x10, 0x04, 0x01};

static NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Appends a record and returns it, or NULL when the store is full. Caller holds the printer's Lock. */
static VPSIM_RECORD *AddRecordLocked(PPRINTER Printer, ULONG Kind)
{
    VPSIM_RECORD *record;

    if (Printer->RecordCount >= VPSIM_MAX_RECORDS) {
        Printer->LostRecords++;
        return NULL;
    }
    record = &Printer->Records[Printer->RecordCount++];
    RtlZeroMemory(record, sizeof(*record));
    record->Kind = Kind;
    return record;
}

static VOID AddDataRecordLocked(PPRINTER Printer, ULONG Kind, const UCHAR *Data, ULONG Length)
{
    VPSIM_RECORD *record = AddRecordLocked(Printer, Kind);

    if (record == NULL) {
        return;
    }
    record->Length = Length;
    RtlCopyMemory(record->Data, Data, Length < VPSIM_MAX_DATA ? Length : VPSIM_MAX_DATA);
}

/* ---- Replies and waiting reads ---------------------------------------------------------------- */

/* Moves the oldest reply (or what is left of it) into a read buffer. Caller holds the printer's Lock
 * and has checked that a reply is queued. */
static ULONG ServeReplyLocked(PPRINTER Printer, PUCHAR Buffer, ULONG Length)
{
    VPSIM_REPLY *reply = &Printer->Replies[Printer->ReplyHead];
    ULONG count = reply->Length - reply->Offset;

    if (count > Length) {
        count = Length;
    }
    RtlCopyMemory(Buffer, reply->Data + reply->Offset, count);
    reply->Offset += count;
    if (reply->Offset == reply->Length) {
        Printer->ReplyHead = (Printer->ReplyHead + 1) % VPSIM_MAX_REPLIES;
        Printer->ReplyCount--;
    }
    AddDataRecordLocked(Printer, VPSIM_READ, Buffer, count);
    return count;
}

static VOID CancelWaitingRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPRINTER Printer = PrinterOf(DeviceObject);
    KIRQL irql;

    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Printer->WaitingReadCount--;
    AddRecordLocked(Printer, VPSIM_READ_CANCELLED);
    KeReleaseSpinLock(&Printer->Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

/* Takes the oldest waiting read that its cancel routine does not own, or NULL. Caller holds
 * Printer->Lock. */
static PIRP TakeWaitingReadLocked(PPRINTER Printer)
{
    PLIST_ENTRY entry;
    PIRP irp;

    if (IsListEmpty(&Printer->WaitingReads)) {
        return NULL;
    }
    entry = RemoveHeadList(&Printer->WaitingReads);
    InitializeListHead(entry);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
        Printer->WaitingReadCount--;
        return irp;
    }
    /* Being cancelled: its cancel routine, waiting for the lock, unlinks and completes it. Put
     * it back so that the routine's unlink and count stay right. */
    InsertTailList(&Printer->WaitingReads, entry);
    return NULL;
}

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

/* Serves queued replies to waiting reads for as long as there are both. */
static VOID ServeWaitingReads(PPRINTER Printer)
{
    KIRQL irql;
    PIRP irp;
    ULONG count;

    for (;;) {
        KeAcquireSpinLock(&Printer->Lock, &irql);
        irp = Printer->ReplyCount != 0 ? TakeWaitingReadLocked(Printer) : NULL;
        count = irp != NULL ? ServeReplyLocked(Printer, (PUCHAR)irp->AssociatedIrp.SystemBuffer, ReadLength(irp)) : 0;
        KeReleaseSpinLock(&Printer->Lock, irql);
        if (irp == NULL) {
            return;
        }
        Complete(irp, STATUS_SUCCESS, count);
    }
}

/* ---- Data device -------------------------------------------------------------------------------- */

static NTSTATUS DataCreate(PPRINTER Printer, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    VPSIM_RECORD *record;
    KIRQL irql;

    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->OpenHandles++;
    record = AddRecordLocked(Printer, VPSIM_OPEN);
    if (record != NULL) {
        record->CreateOptions = stack->Parameters.Create.Options & 0x00FFFFFF;
        record->ShareAccess = stack->Parameters.Create.ShareAccess;
        if (stack->Parameters.Create.SecurityContext != NULL) {
            record->DesiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
        }
    }
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DataWrite(PPRINTER Printer, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    const UCHAR *data = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN isStatus;
    KIRQL irql;

    if (length != 0 && data == NULL) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    isStatus = length == sizeof(StatusRequest) && RtlCompareMemory(data, StatusRequest, length) == length;
    KeAcquireSpinLock(&Printer->Lock, &irql);
    AddDataRecordLocked(Printer, isStatus ? VPSIM_STATUS_REQUEST : VPSIM_WRITE, data, length);
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, length);
}

/* A read takes a queued reply at once, or waits for the next one. */
static NTSTATUS DataRead(PPRINTER Printer, PIRP Irp)
{
    KIRQL irql;
    ULONG count;

    if (ReadLength(Irp) == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    IoMarkIrpPending(Irp);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (Printer->ReplyCount != 0) {
        count = ServeReplyLocked(Printer, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, ReadLength(Irp));
        KeReleaseSpinLock(&Printer->Lock, irql);
        Complete(Irp, STATUS_SUCCESS, count);
        return STATUS_PENDING;
    }
    IoSetCancelRoutine(Irp, CancelWaitingRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        Complete(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&Printer->WaitingReads, &Irp->Tail.Overlay.ListEntry);
    Printer->WaitingReadCount++;
    KeReleaseSpinLock(&Printer->Lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS DataOpenClose(PPRINTER Printer, PIRP Irp, ULONG Kind)
{
    KIRQL irql;

    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (Kind == VPSIM_CLOSE && Printer->OpenHandles != 0) {
        Printer->OpenHandles--;
    }
    AddRecordLocked(Printer, Kind);
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

/* ---- Control device ----------------------------------------------------------------------------- */

/* The printer named by the ULONG that starts a control request's input, or NULL. */
static PPRINTER PrinterFromInput(PIRP Irp, ULONG InputLength)
{
    ULONG index;

    if (InputLength < sizeof(ULONG)) {
        return NULL;
    }
    index = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
    return index < VPSIM_PRINTERS ? PrinterOf(DataDevices[index]) : NULL;
}

static NTSTATUS ControlGetState(PPRINTER Printer, PIRP Irp, ULONG OutputLength)
{
    VPSIM_STATE *out = (VPSIM_STATE *)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    if (OutputLength < sizeof(VPSIM_STATE)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    out->RecordCount = Printer->RecordCount;
    out->LostRecords = Printer->LostRecords;
    out->OpenHandles = Printer->OpenHandles;
    out->WaitingReads = Printer->WaitingReadCount;
    out->QueuedReplies = Printer->ReplyCount;
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_STATE));
}

static NTSTATUS ControlGetRecord(PPRINTER Printer, PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG index;
    KIRQL irql;

    if (InputLength < sizeof(VPSIM_RECORD_QUERY) || OutputLength < sizeof(VPSIM_RECORD)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    index = ((const VPSIM_RECORD_QUERY *)buffer)->Index;
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (index >= Printer->RecordCount) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_NO_MORE_ENTRIES, 0);
    }
    RtlCopyMemory(buffer, &Printer->Records[index], sizeof(VPSIM_RECORD));
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_RECORD));
}

static NTSTATUS ControlQueueReply(PPRINTER Printer, PIRP Irp, ULONG InputLength)
{
    ULONG length = InputLength - sizeof(ULONG);
    VPSIM_REPLY *reply;
    KIRQL irql;

    if (length == 0 || length > VPSIM_MAX_REPLY) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (Printer->ReplyCount == VPSIM_MAX_REPLIES) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    reply = &Printer->Replies[(Printer->ReplyHead + Printer->ReplyCount) % VPSIM_MAX_REPLIES];
    reply->Length = length;
    reply->Offset = 0;
    RtlCopyMemory(reply->Data, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer + sizeof(ULONG), length);
    Printer->ReplyCount++;
    KeReleaseSpinLock(&Printer->Lock, irql);
    ServeWaitingReads(Printer);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlReset(PPRINTER Printer, PIRP Irp)
{
    KIRQL irql;

    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->RecordCount = 0;
    Printer->LostRecords = 0;
    Printer->ReplyHead = 0;
    Printer->ReplyCount = 0;
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PPRINTER printer = PrinterFromInput(Irp, inputLength);

    if (printer == NULL) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VPSIM_GET_STATE:
        return ControlGetState(printer, Irp, outputLength);
    case IOCTL_VPSIM_GET_RECORD:
        return ControlGetRecord(printer, Irp, inputLength, outputLength);
    case IOCTL_VPSIM_QUEUE_REPLY:
        return ControlQueueReply(printer, Irp, inputLength);
    case IOCTL_VPSIM_RESET:
        return ControlReset(printer, Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- Dispatch, load and unload ----------------------------------------------------------------- */

static NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    PPRINTER printer;

    if (DeviceObject == ControlDevice) {
        if (major == IRP_MJ_DEVICE_CONTROL) {
            return ControlRequest(Irp);
        }
        return Complete(Irp, major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE
                                 ? STATUS_SUCCESS
                                 : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    }
    printer = PrinterOf(DeviceObject);
    switch (major) {
    case IRP_MJ_CREATE:
        return DataCreate(printer, Irp);
    case IRP_MJ_WRITE:
        return DataWrite(printer, Irp);
    case IRP_MJ_READ:
        return DataRead(printer, Irp);
    case IRP_MJ_CLEANUP:
        return DataOpenClose(printer, Irp, VPSIM_CLEANUP);
    case IRP_MJ_CLOSE:
        return DataOpenClose(printer, Irp, VPSIM_CLOSE);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;
    ULONG index;

    UNREFERENCED_PARAMETER(DriverObject);
    RtlInitUnicodeString(&link, VPSIM_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (ControlDevice != NULL) {
        IoDeleteDevice(ControlDevice);
        ControlDevice = NULL;
    }
    for (index = 0; index < VPSIM_PRINTERS; index++) {
        if (DataDevices[index] != NULL) {
            IoDeleteDevice(DataDevices[index]);
            DataDevices[index] = NULL;
        }
    }
}

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, PUNICODE_STRING Name, ULONG ExtensionSize,
                                  PDEVICE_OBJECT *Device)
{
    NTSTATUS status;

    status = IoCreateDevice(DriverObject, ExtensionSize, Name, FILE_DEVICE_UNKNOWN, 0, FALSE, Device);
    if (NT_SUCCESS(status)) {
        (*Device)->Flags |= DO_BUFFERED_IO;
        (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

/* \Device\VpUsbSim<Index>, with its printer's state initialised. */
static NTSTATUS CreatePrinter(PDRIVER_OBJECT DriverObject, ULONG Index)
{
    WCHAR nameBuffer[64];
    UNICODE_STRING name;
    PPRINTER printer;
    NTSTATUS status;

    name.Buffer = nameBuffer;
    name.Length = 0;
    name.MaximumLength = sizeof(nameBuffer);
    RtlAppendUnicodeToString(&name, VPSIM_DATA_DEVICE_PREFIX);
    nameBuffer[name.Length / sizeof(WCHAR)] = (WCHAR)(L'0' + Index);
    name.Length += sizeof(WCHAR);
    status = CreateNamedDevice(DriverObject, &name, sizeof(PRINTER), &DataDevices[Index]);
    if (!NT_SUCCESS(status)) {
        DataDevices[Index] = NULL;
        return status;
    }
    printer = PrinterOf(DataDevices[Index]);
    RtlZeroMemory(printer, sizeof(*printer));
    KeInitializeSpinLock(&printer->Lock);
    InitializeListHead(&printer->WaitingReads);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG index;
    ULONG major;

    UNREFERENCED_PARAMETER(RegistryPath);
    static_assert(VPSIM_PRINTERS <= 10, "printer names have one digit");
    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = Dispatch;
    }
    DriverObject->DriverUnload = Unload;

    for (index = 0; index < VPSIM_PRINTERS && NT_SUCCESS(status); index++) {
        status = CreatePrinter(DriverObject, index);
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&target, VPSIM_CONTROL_DEVICE);
        status = CreateNamedDevice(DriverObject, &target, 0, &ControlDevice);
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&link, VPSIM_CONTROL_LINK);
        status = IoCreateSymbolicLink(&link, &target);
    }
    if (!NT_SUCCESS(status)) {
        Unload(DriverObject);
    }
    return status;
}
