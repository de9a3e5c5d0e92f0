/*
 * usb_printer_sim.cpp - a simulated USB receipt printer, loaded as a plain kernel service.
 *
 * It stands where the printers' own driver would be: each printer's data device answers the
 * opens, writes and reads that a port driver makes through its HardwareId path, and records each
 * of them; the control device lets a test bed connect and unplug printers, choose how they answer,
 * queue their replies and read their records (usbsim_control.h). The same source runs on Windows,
 * under Wine and, as a second driver, on the Linux tests' kernel stand-in.
 *
 * Each printer's state is the extension of its data device. Its records and its queued replies
 * are byte streams held in blocks: the first (small) block of each lies in the extension, further
 * ones come from non-paged pool as a stream grows and are kept for reuse until the printer is
 * disconnected or the driver unloads, so that a quiet printer never allocates and loading the
 * driver stays cheap.
 *
 * Everything runs at PASSIVE_LEVEL except under a printer's Lock, a spin lock that guards every
 * field of its PRINTER below it. A waiting read is held in WaitingReads; unless the printer ignores
 * cancellation it has a cancel routine, and whoever takes it out of the list first exchanges that
 * routine for none: a NULL answer means the cancel routine owns the read, which is then left in
 * the list for the routine to unlink. Requests taken out under the lock are completed after it is
 * released.
 */
#include <ntddk.h>

#include "public/vparallel_public.h"
#include "tests/printer/usbsim_control.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

#define VPSIM_POOL_TAG ((ULONG)'V' << 24 | (ULONG)'p' << 16 | (ULONG)'S' << 8 | (ULONG)'m')
#define VPSIM_POOL_BLOCK_BYTES 8192
#define VPSIM_LOG_FIRST_BYTES 4096
#define VPSIM_LOG_POOL_BLOCKS 1024  /* up to 8 MiB of records kept between resets */
#define VPSIM_REPLY_FIRST_BYTES 1024
#define VPSIM_REPLY_POOL_BLOCKS 128 /* up to 1 MiB of undelivered replies */
#define VPSIM_PLANNED_FAILURES 8

/* A block of a stream: Size bytes follow the header, holding the stream's positions from Base. */
typedef struct _BLOCK {
    struct _BLOCK *Next;
    ULONG Base;
    ULONG Size;
} BLOCK, *PBLOCK;

/* A byte stream in a chain of blocks, First (which holds Head, the first byte kept) to Last (which
 * holds Tail, where the next byte goes, or ends just before it). The first block lies in the
 * extension; pool blocks are added as the stream grows, and kept in Spare for reuse once they
 * leave the chain, until the stream is freed. Cursor is a block of the chain at or before the
 * last position used, so that moving forward through a stream does not walk it from the start. */
typedef struct _STREAM {
    PBLOCK First;
    PBLOCK Last;
    PBLOCK Cursor;
    PBLOCK Spare;
    PBLOCK Embedded;
    ULONG Head;
    ULONG Tail;
    ULONG PoolBlocks;
    ULONG MaxPoolBlocks;
} STREAM;

typedef struct _FAILURE {
    ULONG WriteNumber; /* of WritesSeen; 0 = unused */
    NTSTATUS Status;
} FAILURE;

typedef struct _PRINTER {
    ULONG Index;
    KSPIN_LOCK Lock;
    /* Identity and presence (changed at PASSIVE_LEVEL by control requests, under the lock). */
    BOOLEAN Connected;
    BOOLEAN Removed; /* disconnected: only cleanup and close are served */
    BOOLEAN Plugged;
    WCHAR LinkedId[VPSIM_NAME_CHARS];
    WCHAR DevicePath[VPSIM_NAME_CHARS];
    /* Behaviour. */
    NTSTATUS OpenStatus;
    ULONG WriteDelay; /* 100 ns units */
    UCHAR StatusByte;
    BOOLEAN AnswerStatusRequest;
    BOOLEAN NeverAnswer;
    BOOLEAN IgnoreCancel;
    FAILURE Failures[VPSIM_PLANNED_FAILURES];
    /* Files and requests. */
    ULONG OpenHandles;
    ULONG FileNumber;
    ULONG WritesSeen;
    ULONG ReadsSeen;
    ULONG StatusRequests;
    ULONG WaitingReadCount;
    LIST_ENTRY WaitingReads;
    /* Records: VPSIM_ENTRY items, each followed by its data. Cursor* remember where the last
     * lookup ended, so that reading the records in order costs no rescans. */
    STREAM Log;
    ULONG RecordCount;
    ULONG LostRecords;
    ULONG CursorIndex;
    ULONG CursorPosition;
    /* Replies: each a ULONG length and its bytes; HeadLeft is what remains of the oldest. */
    STREAM Replies;
    ULONG ReplyCount;
    ULONG HeadLeft;
    BLOCK LogBlock;
    UCHAR LogBytes[VPSIM_LOG_FIRST_BYTES];
    BLOCK ReplyBlock;
    UCHAR ReplyBytes[VPSIM_REPLY_FIRST_BYTES];
} PRINTER, *PPRINTER;

/* Set in DriverEntry, cleared at unload; read-only in between. */
static PDRIVER_OBJECT Driver;
static PDEVICE_OBJECT ControlDevice;
static PEPROCESS SystemProcess; /* DriverEntry runs in the system process */
/* The printers' data devices: created at load or by a connect, deleted by a disconnect (the
 * device then lives on, detached from here, while files hold it). Changed under SetupMutex. */
static PDEVICE_OBJECT DataDevices[VPSIM_PRINTERS];
static KMUTEX SetupMutex;
/* Files open on any data device, removed ones included: the driver may unload at 0. */
static volatile LONG AllOpenHandles;

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

/* ---- Streams ------------------------------------------------------------------------------------ */

static PUCHAR BlockData(PBLOCK Block)
{
    return (PUCHAR)(Block + 1);
}

/* Empties the stream: its pool blocks go to Spare, the first block starts it again. */
static VOID StreamReset(STREAM *Stream)
{
    PBLOCK block = Stream->First;

    while (block != NULL) {
        PBLOCK next = block->Next;
        if (block != Stream->Embedded) {
            block->Next = Stream->Spare;
            Stream->Spare = block;
        }
        block = next;
    }
    Stream->Embedded->Next = NULL;
    Stream->Embedded->Base = 0;
    Stream->First = Stream->Last = Stream->Cursor = Stream->Embedded;
    Stream->Head = 0;
    Stream->Tail = 0;
}

static VOID StreamInit(STREAM *Stream, PBLOCK Embedded, ULONG Size, ULONG MaxPoolBlocks)
{
    Embedded->Size = Size;
    Stream->Embedded = Embedded;
    Stream->MaxPoolBlocks = MaxPoolBlocks;
    StreamReset(Stream);
}

/* Returns every pool block to the pool, leaving the stream empty. */
static VOID StreamFree(STREAM *Stream)
{
    StreamReset(Stream);
    while (Stream->Spare != NULL) {
        PBLOCK block = Stream->Spare;
        Stream->Spare = block->Next;
        ExFreePoolWithTag(block, VPSIM_POOL_TAG);
    }
    Stream->PoolBlocks = 0;
}

/* Makes room for Length more bytes at the tail. FALSE when the stream would outgrow its blocks or
 * a block cannot be had. Any IRQL up to DISPATCH_LEVEL. */
static BOOLEAN StreamReserve(STREAM *Stream, ULONG Length)
{
    ULONG end = Stream->Tail + Length;

    if (end < Stream->Tail) {
        return FALSE;
    }
    while (Stream->Last->Base + Stream->Last->Size < end) {
        PBLOCK block = Stream->Spare;
        if (block != NULL) {
            Stream->Spare = block->Next;
        } else if (Stream->PoolBlocks < Stream->MaxPoolBlocks) {
            block = (PBLOCK)ExAllocatePoolWithTag(NonPagedPool, sizeof(BLOCK) + VPSIM_POOL_BLOCK_BYTES, VPSIM_POOL_TAG);
            if (block == NULL) {
                return FALSE;
            }
            block->Size = VPSIM_POOL_BLOCK_BYTES;
            Stream->PoolBlocks++;
        } else {
            return FALSE;
        }
        block->Base = Stream->Last->Base + Stream->Last->Size;
        block->Next = NULL;
        Stream->Last->Next = block;
        Stream->Last = block;
    }
    return TRUE;
}

/* The block of the chain that holds Position. */
static PBLOCK StreamBlockAt(STREAM *Stream, ULONG Position)
{
    PBLOCK block = Stream->Cursor->Base <= Position ? Stream->Cursor : Stream->First;

    while (Position >= block->Base + block->Size) {
        block = block->Next;
    }
    Stream->Cursor = block;
    return block;
}

static VOID StreamCopy(STREAM *Stream, ULONG Position, PUCHAR Buffer, ULONG Length, BOOLEAN ToStream)
{
    while (Length != 0) {
        PBLOCK block = StreamBlockAt(Stream, Position);
        ULONG offset = Position - block->Base;
        ULONG piece = block->Size - offset;
        PUCHAR at = BlockData(block) + offset;

        if (piece > Length) {
            piece = Length;
        }
        if (ToStream) {
            RtlCopyMemory(at, Buffer, piece);
        } else {
            RtlCopyMemory(Buffer, at, piece);
        }
        Position += piece;
        Buffer += piece;
        Length -= piece;
    }
}

/* Appends bytes reserved before. */
static VOID StreamAppend(STREAM *Stream, const VOID *Data, ULONG Length)
{
    StreamCopy(Stream, Stream->Tail, (PUCHAR)Data, Length, TRUE);
    Stream->Tail += Length;
}

static VOID StreamRead(STREAM *Stream, ULONG Position, PVOID Buffer, ULONG Length)
{
    StreamCopy(Stream, Position, (PUCHAR)Buffer, Length, FALSE);
}

/* Takes Length bytes off the head; blocks left behind leave the chain. */
static VOID StreamConsume(STREAM *Stream, ULONG Length)
{
    Stream->Head += Length;
    if (Stream->Head == Stream->Tail) {
        StreamReset(Stream);
        return;
    }
    while (Stream->Head >= Stream->First->Base + Stream->First->Size) {
        PBLOCK block = Stream->First;
        Stream->First = block->Next;
        if (block != Stream->Embedded) {
            block->Next = Stream->Spare;
            Stream->Spare = block;
        }
    }
    Stream->Cursor = Stream->First;
}

/* ---- Records ------------------------------------------------------------------------------------ */

/* A file the printer accepted carries its number in FsContext; a file whose open it refused
 * carries the refusal in FsContext2. Windows never sends a request for a refused file, but some
 * hosts hand out a handle whatever the create's status was. */
static ULONG FileNumberOf(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    return file != NULL ? (ULONG)(ULONG_PTR)file->FsContext : 0;
}

/* STATUS_SUCCESS, or how the open of the request's file was refused. */
static NTSTATUS RefusalOf(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    return file != NULL && file->FsContext == NULL ? (NTSTATUS)(LONG_PTR)file->FsContext2 : STATUS_SUCCESS;
}

/* Appends a record with its data. Caller holds the printer's Lock. A removed printer records
 * nothing: no control request reaches it any more, and pool taken for its records would outlive
 * the disconnect that freed the others. */
static VOID AddRecordLocked(PPRINTER Printer, VPSIM_ENTRY *Entry, const VOID *Data)
{
    if (Printer->Removed) {
        return;
    }
    if (!StreamReserve(&Printer->Log, sizeof(*Entry) + Entry->DataLength)) {
        Printer->LostRecords++;
        return;
    }
    StreamAppend(&Printer->Log, Entry, sizeof(*Entry));
    StreamAppend(&Printer->Log, Data, Entry->DataLength);
    Printer->RecordCount++;
}

static VOID AddEventLocked(PPRINTER Printer, ULONG Kind, NTSTATUS Status, ULONG File)
{
    VPSIM_ENTRY entry;

    RtlZeroMemory(&entry, sizeof(entry));
    entry.Kind = Kind;
    entry.Status = Status;
    entry.File = File;
    AddRecordLocked(Printer, &entry, NULL);
}

static VOID AddDataRecordLocked(PPRINTER Printer, ULONG Kind, NTSTATUS Status, ULONG File, const UCHAR *Data,
                                ULONG Length)
{
    VPSIM_ENTRY entry;

    RtlZeroMemory(&entry, sizeof(entry));
    entry.Kind = Kind;
    entry.Status = Status;
    entry.File = File;
    entry.Length = Length;
    entry.DataLength = Data != NULL ? Length : 0;
    AddRecordLocked(Printer, &entry, Data);
}

static VOID ResetRecordsLocked(PPRINTER Printer)
{
    StreamReset(&Printer->Log);
    Printer->RecordCount = 0;
    Printer->LostRecords = 0;
    Printer->CursorIndex = 0;
    Printer->CursorPosition = 0;
    Printer->ReadsSeen = 0;
    Printer->StatusRequests = 0;
}

/* The position of record Index, which must exist. Caller holds the printer's Lock. */
static ULONG RecordPositionLocked(PPRINTER Printer, ULONG Index)
{
    VPSIM_ENTRY entry;

    if (Index < Printer->CursorIndex) {
        Printer->CursorIndex = 0;
        Printer->CursorPosition = 0;
    }
    while (Printer->CursorIndex < Index) {
        StreamRead(&Printer->Log, Printer->CursorPosition, &entry, sizeof(entry));
        Printer->CursorPosition += sizeof(entry) + entry.DataLength;
        Printer->CursorIndex++;
    }
    return Printer->CursorPosition;
}

/* ---- Replies and waiting reads ---------------------------------------------------------------- */

static VOID DropRepliesLocked(PPRINTER Printer)
{
    StreamReset(&Printer->Replies);
    Printer->ReplyCount = 0;
    Printer->HeadLeft = 0;
}

/* Moves the oldest reply (or what is left of it) into a read buffer and records the read. Caller
 * holds the printer's Lock and has checked that a reply is queued. */
static ULONG ServeReplyLocked(PPRINTER Printer, PIRP Irp, PUCHAR Buffer, ULONG Length)
{
    STREAM *replies = &Printer->Replies;
    ULONG count;

    if (Printer->HeadLeft == 0) {
        StreamRead(replies, replies->Head, &Printer->HeadLeft, sizeof(ULONG));
        StreamConsume(replies, sizeof(ULONG));
    }
    count = Printer->HeadLeft < Length ? Printer->HeadLeft : Length;
    StreamRead(replies, replies->Head, Buffer, count);
    StreamConsume(replies, count);
    Printer->HeadLeft -= count;
    if (Printer->HeadLeft == 0) {
        Printer->ReplyCount--;
    }
    AddDataRecordLocked(Printer, VPSIM_READ, STATUS_SUCCESS, FileNumberOf(Irp), Buffer, count);
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
    AddEventLocked(Printer, VPSIM_READ_CANCELLED, STATUS_CANCELLED, FileNumberOf(Irp));
    KeReleaseSpinLock(&Printer->Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

/* A waiting read this side may complete: the printer installed no cancel routine for it, or it
 * takes the routine back before the canceller calls it. Marks it in DriverContext[0]. */
#define VPSIM_UNCANCELLABLE ((PVOID)1)

static BOOLEAN TakeOwnership(PIRP Irp)
{
    return Irp->Tail.Overlay.DriverContext[0] == VPSIM_UNCANCELLABLE || IoSetCancelRoutine(Irp, NULL) != NULL;
}

/* Takes the oldest waiting read that its cancel routine does not own out of the list, or returns
 * NULL. Caller holds the printer's Lock. */
static PIRP TakeWaitingReadLocked(PPRINTER Printer)
{
    PLIST_ENTRY entry;

    for (entry = Printer->WaitingReads.Flink; entry != &Printer->WaitingReads; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (TakeOwnership(irp)) {
            RemoveEntryList(entry);
            InitializeListHead(entry);
            Printer->WaitingReadCount--;
            return irp;
        }
    }
    return NULL;
}

/* Ends the waiting reads (of File only, unless it is 0) with Status, recording each; they are
 * moved to Done for completion after the lock is released. Caller holds the printer's Lock. */
static VOID EndWaitingReadsLocked(PPRINTER Printer, ULONG File, NTSTATUS Status, PLIST_ENTRY Done)
{
    PLIST_ENTRY entry = Printer->WaitingReads.Flink;

    while (entry != &Printer->WaitingReads) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PLIST_ENTRY next = entry->Flink;
        if ((File == 0 || FileNumberOf(irp) == File) && TakeOwnership(irp)) {
            RemoveEntryList(entry);
            Printer->WaitingReadCount--;
            AddEventLocked(Printer, VPSIM_READ_ENDED, Status, FileNumberOf(irp));
            irp->IoStatus.Status = Status;
            irp->IoStatus.Information = 0;
            InsertTailList(Done, entry);
        }
        entry = next;
    }
}

static VOID CompleteTaken(PLIST_ENTRY Done)
{
    while (!IsListEmpty(Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

/* Serves queued replies to waiting reads, oldest to oldest, for as long as there are both. */
static VOID ServeWaitingReads(PPRINTER Printer)
{
    KIRQL irql;
    PIRP irp;
    ULONG count;

    for (;;) {
        KeAcquireSpinLock(&Printer->Lock, &irql);
        irp = Printer->ReplyCount != 0 && !Printer->NeverAnswer ? TakeWaitingReadLocked(Printer) : NULL;
        count = irp != NULL ? ServeReplyLocked(Printer, irp, (PUCHAR)irp->AssociatedIrp.SystemBuffer, ReadLength(irp))
                            : 0;
        KeReleaseSpinLock(&Printer->Lock, irql);
        if (irp == NULL) {
            return;
        }
        Complete(irp, STATUS_SUCCESS, count);
    }
}

/* ---- Presence key and device path (PASSIVE_LEVEL) ------------------------------------------- */

static NTSTATUS OpenKey(PHANDLE Key, HANDLE Root, PCWSTR Name, ACCESS_MASK Access, BOOLEAN Create)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;

    RtlInitUnicodeString(&name, Name);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
    if (Create) {
        return ZwCreateKey(Key, Access, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    }
    return ZwOpenKey(Key, Access, &attributes);
}

/* The printer's subkey of the USB device-interface class key comes (Present) or goes. */
static VOID SetPresenceKey(PPRINTER Printer, BOOLEAN Present)
{
    HANDLE classKey;
    HANDLE key;

    if (Printer->LinkedId[0] == 0 ||
        !NT_SUCCESS(OpenKey(&classKey, NULL, VP_REGISTRY_MACHINE VP_USB_DEVICE_CLASS_KEY, KEY_ALL_ACCESS, Present))) {
        return;
    }
    if (NT_SUCCESS(OpenKey(&key, classKey, Printer->LinkedId, Present ? KEY_ALL_ACCESS : DELETE, Present))) {
        if (!Present) {
            ZwDeleteKey(key);
        }
        ZwClose(key);
    }
    ZwClose(classKey);
}

/* \Device\VpUsbSim<Index>, in Buffer. */
static VOID DataDeviceName(ULONG Index, PUNICODE_STRING Name, PWCHAR Buffer, USHORT BufferBytes)
{
    Name->Buffer = Buffer;
    Name->Length = 0;
    Name->MaximumLength = BufferBytes;
    RtlAppendUnicodeToString(Name, VPSIM_DATA_DEVICE_PREFIX);
    Buffer[Name->Length / sizeof(WCHAR)] = (WCHAR)(L'0' + Index);
    Name->Length += sizeof(WCHAR);
}

static NTSTATUS SetDevicePath(PPRINTER Printer, BOOLEAN Present)
{
    UNICODE_STRING path;
    UNICODE_STRING target;
    WCHAR targetBuffer[32];

    if (Printer->DevicePath[0] == 0) {
        return STATUS_SUCCESS;
    }
    RtlInitUnicodeString(&path, Printer->DevicePath);
    if (!Present) {
        return IoDeleteSymbolicLink(&path);
    }
    DataDeviceName(Printer->Index, &target, targetBuffer, sizeof(targetBuffer));
    return IoCreateSymbolicLink(&path, &target);
}

/* ---- Data device -------------------------------------------------------------------------------- */

static NTSTATUS DataCreate(PPRINTER Printer, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    VPSIM_ENTRY entry;
    NTSTATUS status;
    KIRQL irql;

    RtlZeroMemory(&entry, sizeof(entry));
    entry.Kind = VPSIM_OPEN;
    entry.CreateOptions = stack->Parameters.Create.Options & 0x00FFFFFF;
    entry.Disposition = stack->Parameters.Create.Options >> 24;
    entry.ShareAccess = stack->Parameters.Create.ShareAccess;
    entry.FileAttributes = stack->Parameters.Create.FileAttributes;
    if (stack->Parameters.Create.SecurityContext != NULL) {
        entry.DesiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    }
    entry.Flags = IoGetCurrentProcess() == SystemProcess ? VPSIM_FROM_SYSTEM : 0;
    stack->FileObject->FsContext = NULL;
    stack->FileObject->FsContext2 = NULL;

    KeAcquireSpinLock(&Printer->Lock, &irql);
    status = !Printer->Plugged || Printer->Removed ? STATUS_NO_SUCH_DEVICE : Printer->OpenStatus;
    if (NT_SUCCESS(status)) {
        Printer->OpenHandles++;
        InterlockedIncrement(&AllOpenHandles);
        entry.File = ++Printer->FileNumber;
        stack->FileObject->FsContext = (PVOID)(ULONG_PTR)entry.File;
    } else {
        stack->FileObject->FsContext2 = (PVOID)(LONG_PTR)status;
    }
    entry.Status = status;
    AddRecordLocked(Printer, &entry, NULL);
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, status, 0);
}

/* The status of the write numbered Number: a planned failure is used up. Caller holds the Lock. */
static NTSTATUS PlannedWriteStatusLocked(PPRINTER Printer, ULONG Number)
{
    ULONG i;

    for (i = 0; i < VPSIM_PLANNED_FAILURES; i++) {
        if (Printer->Failures[i].WriteNumber == Number) {
            Printer->Failures[i].WriteNumber = 0;
            return Printer->Failures[i].Status;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS DataWrite(PPRINTER Printer, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    const UCHAR *data = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN isStatus;
    NTSTATUS status;
    LARGE_INTEGER delay;
    KIRQL irql;

    if (length != 0 && data == NULL) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    isStatus = length == sizeof(StatusRequest) && RtlCompareMemory(data, StatusRequest, length) == length;
    KeAcquireSpinLock(&Printer->Lock, &irql);
    status = PlannedWriteStatusLocked(Printer, ++Printer->WritesSeen);
    if (!Printer->Plugged || Printer->Removed) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!NT_SUCCESS(RefusalOf(Irp))) {
        status = RefusalOf(Irp);
    }
    AddDataRecordLocked(Printer, isStatus ? VPSIM_STATUS_REQUEST : VPSIM_WRITE, status, FileNumberOf(Irp), data,
                        length);
    if (NT_SUCCESS(status) && isStatus) {
        Printer->StatusRequests++;
        if (Printer->AnswerStatusRequest && StreamReserve(&Printer->Replies, sizeof(ULONG) + 1)) {
            ULONG one = 1;
            StreamAppend(&Printer->Replies, &one, sizeof(one));
            StreamAppend(&Printer->Replies, &Printer->StatusByte, 1);
            Printer->ReplyCount++;
        }
    }
    delay.QuadPart = -(LONGLONG)Printer->WriteDelay;
    KeReleaseSpinLock(&Printer->Lock, irql);
    /* A slow printer holds the write in the writer's thread, as a device would. */
    if (delay.QuadPart != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    /* The write finishes first: its answer is on the read side, which a reader sees afterwards. */
    Complete(Irp, status, NT_SUCCESS(status) ? length : 0);
    ServeWaitingReads(Printer);
    return status;
}

/* A read takes a queued reply at once, or waits for the next one. */
static NTSTATUS DataRead(PPRINTER Printer, PIRP Irp)
{
    KIRQL irql;
    ULONG count;

    if (!NT_SUCCESS(RefusalOf(Irp))) {
        return Complete(Irp, RefusalOf(Irp), 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->ReadsSeen++;
    if (!Printer->Plugged || Printer->Removed) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (ReadLength(Irp) == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    if (Printer->ReplyCount != 0 && !Printer->NeverAnswer) {
        count = ServeReplyLocked(Printer, Irp, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, ReadLength(Irp));
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_SUCCESS, count);
    }
    IoMarkIrpPending(Irp);
    if (Printer->IgnoreCancel) {
        Irp->Tail.Overlay.DriverContext[0] = VPSIM_UNCANCELLABLE;
    } else {
        Irp->Tail.Overlay.DriverContext[0] = NULL;
        IoSetCancelRoutine(Irp, CancelWaitingRead);
        /* A cancel that came before the routine was set is caught by the Cancel flag. */
        if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
            AddEventLocked(Printer, VPSIM_READ_CANCELLED, STATUS_CANCELLED, FileNumberOf(Irp));
            KeReleaseSpinLock(&Printer->Lock, irql);
            Complete(Irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
    }
    InsertTailList(&Printer->WaitingReads, &Irp->Tail.Overlay.ListEntry);
    Printer->WaitingReadCount++;
    KeReleaseSpinLock(&Printer->Lock, irql);
    return STATUS_PENDING;
}

/* Cleanup ends the file's waiting reads. A close of a file the printer refused (some hosts send
 * one) changes nothing but the record. */
static NTSTATUS DataCleanupClose(PPRINTER Printer, PIRP Irp, ULONG Kind)
{
    ULONG file = FileNumberOf(Irp);
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (Kind == VPSIM_CLEANUP && file != 0) {
        EndWaitingReadsLocked(Printer, file, STATUS_CANCELLED, &done);
    }
    if (Kind == VPSIM_CLOSE && file != 0 && Printer->OpenHandles != 0) {
        Printer->OpenHandles--;
        InterlockedDecrement(&AllOpenHandles);
    }
    AddEventLocked(Printer, Kind, STATUS_SUCCESS, file);
    KeReleaseSpinLock(&Printer->Lock, irql);
    CompleteTaken(&done);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

/* ---- Control device ----------------------------------------------------------------------------- */

/* The index that starts a control request's input, or VPSIM_PRINTERS when there is none. */
static ULONG IndexFromInput(PIRP Irp, ULONG InputLength)
{
    ULONG index;

    if (InputLength < sizeof(ULONG)) {
        return VPSIM_PRINTERS;
    }
    index = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
    return index < VPSIM_PRINTERS ? index : VPSIM_PRINTERS;
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
    out->ReadsSeen = Printer->ReadsSeen;
    out->StatusRequests = Printer->StatusRequests;
    out->Plugged = Printer->Plugged;
    out->Connected = Printer->Connected;
    KeReleaseSpinLock(&Printer->Lock, irql);
    out->AllOpenHandles = (ULONG)AllOpenHandles;
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_STATE));
}

static NTSTATUS ControlGetRecord(PPRINTER Printer, PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    VPSIM_RECORD *out = (VPSIM_RECORD *)Irp->AssociatedIrp.SystemBuffer;
    VPSIM_ENTRY entry;
    ULONG index;
    ULONG position;
    KIRQL irql;

    if (InputLength < sizeof(VPSIM_RECORD_QUERY) || OutputLength < sizeof(VPSIM_RECORD)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    index = ((const VPSIM_RECORD_QUERY *)out)->Index;
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (index >= Printer->RecordCount) {
        KeReleaseSpinLock(&Printer->Lock, irql);
        return Complete(Irp, STATUS_NO_MORE_ENTRIES, 0);
    }
    position = RecordPositionLocked(Printer, index);
    StreamRead(&Printer->Log, position, &entry, sizeof(entry));
    RtlZeroMemory(out, sizeof(*out));
    out->Kind = entry.Kind;
    out->DesiredAccess = entry.DesiredAccess;
    out->CreateOptions = entry.CreateOptions;
    out->ShareAccess = entry.ShareAccess;
    out->Length = entry.Length;
    StreamRead(&Printer->Log, position + sizeof(entry), out->Data,
               entry.DataLength < VPSIM_MAX_DATA ? entry.DataLength : VPSIM_MAX_DATA);
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(VPSIM_RECORD));
}

static NTSTATUS ControlGetEntries(PPRINTER Printer, PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    PUCHAR out = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG index;
    ULONG position;
    ULONG filled = 0;
    BOOLEAN more = FALSE;
    VPSIM_ENTRY entry;
    KIRQL irql;

    if (InputLength < sizeof(VPSIM_RECORD_QUERY)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    index = ((const VPSIM_RECORD_QUERY *)out)->Index;
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (index < Printer->RecordCount) {
        position = RecordPositionLocked(Printer, index);
        while (index < Printer->RecordCount) {
            StreamRead(&Printer->Log, position, &entry, sizeof(entry));
            if (filled + sizeof(entry) + entry.DataLength > OutputLength) {
                break;
            }
            StreamRead(&Printer->Log, position, out + filled, sizeof(entry) + entry.DataLength);
            filled += sizeof(entry) + entry.DataLength;
            position += sizeof(entry) + entry.DataLength;
            index++;
        }
        Printer->CursorIndex = index;
        Printer->CursorPosition = position;
        more = index < Printer->RecordCount;
    }
    KeReleaseSpinLock(&Printer->Lock, irql);
    if (filled == 0 && more) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    return Complete(Irp, STATUS_SUCCESS, filled);
}

static NTSTATUS ControlQueueReply(PPRINTER Printer, PIRP Irp, ULONG InputLength)
{
    ULONG length = InputLength - sizeof(ULONG);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    if (length == 0 || length > VPSIM_MAX_REPLY) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    if (StreamReserve(&Printer->Replies, sizeof(ULONG) + length)) {
        StreamAppend(&Printer->Replies, &length, sizeof(length));
        StreamAppend(&Printer->Replies, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer + sizeof(ULONG), length);
        Printer->ReplyCount++;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    KeReleaseSpinLock(&Printer->Lock, irql);
    ServeWaitingReads(Printer);
    return Complete(Irp, status, 0);
}

static VOID ResetBehaviourLocked(PPRINTER Printer)
{
    Printer->OpenStatus = STATUS_SUCCESS;
    Printer->WriteDelay = 0;
    Printer->StatusByte = VPSIM_DEFAULT_STATUS_BYTE;
    Printer->AnswerStatusRequest = TRUE;
    Printer->NeverAnswer = FALSE;
    Printer->IgnoreCancel = FALSE;
    RtlZeroMemory(Printer->Failures, sizeof(Printer->Failures));
}

/* A name of at most VPSIM_NAME_CHARS - 1 characters, terminated within its field. */
static BOOLEAN NameFits(const WCHAR *Name)
{
    ULONG i;

    for (i = 0; i < VPSIM_NAME_CHARS; i++) {
        if (Name[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS CreatePrinter(ULONG Index);

/* Caller holds SetupMutex. */
static NTSTATUS Connect(ULONG Index, const VPSIM_CONNECT *In)
{
    PPRINTER printer;
    NTSTATUS status;
    KIRQL irql;

    if (DataDevices[Index] == NULL) {
        status = CreatePrinter(Index);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    printer = PrinterOf(DataDevices[Index]);
    if (printer->Connected || printer->OpenHandles != 0) {
        return STATUS_DEVICE_BUSY;
    }
    RtlCopyMemory(printer->DevicePath, In->DevicePath, sizeof(printer->DevicePath));
    status = SetDevicePath(printer, TRUE);
    if (!NT_SUCCESS(status)) {
        printer->DevicePath[0] = 0;
        return status;
    }
    RtlCopyMemory(printer->LinkedId, In->LinkedId, sizeof(printer->LinkedId));
    KeAcquireSpinLock(&printer->Lock, &irql);
    printer->Connected = TRUE;
    printer->Removed = FALSE;
    printer->Plugged = TRUE;
    printer->FileNumber = 0;
    printer->WritesSeen = 0;
    ResetBehaviourLocked(printer);
    ResetRecordsLocked(printer);
    DropRepliesLocked(printer);
    KeReleaseSpinLock(&printer->Lock, irql);
    SetPresenceKey(printer, TRUE);
    return STATUS_SUCCESS;
}

/* Unplugs the printer: its presence key goes, then its waiting reads end and undelivered replies
 * are lost. With Remove, it is also disconnected: its device path goes and it serves no more
 * requests until the next connect. */
static VOID Unplug(PPRINTER Printer, BOOLEAN Remove)
{
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->Plugged = FALSE;
    DropRepliesLocked(Printer);
    EndWaitingReadsLocked(Printer, 0, STATUS_DEVICE_NOT_CONNECTED, &done);
    KeReleaseSpinLock(&Printer->Lock, irql);
    SetPresenceKey(Printer, FALSE);
    CompleteTaken(&done);
    if (!Remove) {
        return;
    }
    SetDevicePath(Printer, FALSE);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->Removed = TRUE;
    Printer->Connected = FALSE;
    ResetRecordsLocked(Printer);
    StreamFree(&Printer->Log);
    StreamFree(&Printer->Replies);
    KeReleaseSpinLock(&Printer->Lock, irql);
    Printer->LinkedId[0] = 0;
    Printer->DevicePath[0] = 0;
}

/* Caller holds SetupMutex. The printer's device goes: a file still open on it keeps it (removed)
 * until the file is closed. Returns the files still open on any printer. */
static ULONG Disconnect(ULONG Index)
{
    PDEVICE_OBJECT device = DataDevices[Index];

    DataDevices[Index] = NULL;
    Unplug(PrinterOf(device), TRUE);
    IoDeleteDevice(device);
    return (ULONG)AllOpenHandles;
}

static NTSTATUS ControlPlug(PPRINTER Printer, PIRP Irp)
{
    KIRQL irql;

    if (Printer->Removed) {
        return Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    if (Printer->Plugged) {
        return Complete(Irp, STATUS_SUCCESS, 0);
    }
    SetPresenceKey(Printer, TRUE);
    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->Plugged = TRUE;
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlSetBehaviour(PPRINTER Printer, PIRP Irp, ULONG InputLength)
{
    const VPSIM_BEHAVIOUR *in = (const VPSIM_BEHAVIOUR *)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    if (InputLength < sizeof(VPSIM_BEHAVIOUR)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    Printer->OpenStatus = in->OpenStatus;
    Printer->WriteDelay = in->WriteDelay;
    Printer->StatusByte = (UCHAR)in->StatusByte;
    Printer->AnswerStatusRequest = in->AnswerStatusRequest != 0;
    Printer->NeverAnswer = in->NeverAnswer != 0;
    Printer->IgnoreCancel = in->IgnoreCancel != 0;
    KeReleaseSpinLock(&Printer->Lock, irql);
    ServeWaitingReads(Printer); /* replies held back until now go out */
    return Complete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ControlFailWrite(PPRINTER Printer, PIRP Irp, ULONG InputLength)
{
    const VPSIM_FAIL_WRITE *in = (const VPSIM_FAIL_WRITE *)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    KIRQL irql;
    ULONG i;

    if (InputLength < sizeof(VPSIM_FAIL_WRITE) || in->Nth == 0) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&Printer->Lock, &irql);
    for (i = 0; i < VPSIM_PLANNED_FAILURES; i++) {
        if (Printer->Failures[i].WriteNumber == 0) {
            Printer->Failures[i].WriteNumber = Printer->WritesSeen + in->Nth;
            Printer->Failures[i].Status = in->Status;
            status = STATUS_SUCCESS;
            break;
        }
    }
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, status, 0);
}

static NTSTATUS ControlReset(PPRINTER Printer, PIRP Irp)
{
    KIRQL irql;

    KeAcquireSpinLock(&Printer->Lock, &irql);
    ResetRecordsLocked(Printer);
    KeReleaseSpinLock(&Printer->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, 0);
}

/* Connect and disconnect change the set of data devices, under SetupMutex. */
static NTSTATUS ControlSetup(ULONG Index, PIRP Irp, ULONG Code, ULONG InputLength, ULONG OutputLength)
{
    const VPSIM_CONNECT *in = (const VPSIM_CONNECT *)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    ULONG stillOpen;

    if (Code == IOCTL_VPSIM_CONNECT &&
        (InputLength < sizeof(VPSIM_CONNECT) || !NameFits(in->LinkedId) || !NameFits(in->DevicePath))) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeWaitForSingleObject(&SetupMutex, Executive, KernelMode, FALSE, NULL);
    if (Code == IOCTL_VPSIM_CONNECT) {
        status = Connect(Index, in);
    } else if (DataDevices[Index] == NULL || !PrinterOf(DataDevices[Index])->Connected) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        stillOpen = Disconnect(Index);
        if (OutputLength >= sizeof(ULONG)) {
            *(PULONG)Irp->AssociatedIrp.SystemBuffer = stillOpen;
            information = sizeof(ULONG);
        }
    }
    KeReleaseMutex(&SetupMutex, FALSE);
    return Complete(Irp, status, information);
}

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG index = IndexFromInput(Irp, inputLength);
    PPRINTER printer;

    if (index == VPSIM_PRINTERS) {
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (code == IOCTL_VPSIM_CONNECT || code == IOCTL_VPSIM_DISCONNECT) {
        return ControlSetup(index, Irp, code, inputLength, outputLength);
    }
    if (DataDevices[index] == NULL && code == IOCTL_VPSIM_GET_STATE && outputLength >= sizeof(VPSIM_STATE)) {
        VPSIM_STATE *out = (VPSIM_STATE *)Irp->AssociatedIrp.SystemBuffer;
        RtlZeroMemory(out, sizeof(*out));
        out->AllOpenHandles = (ULONG)AllOpenHandles;
        return Complete(Irp, STATUS_SUCCESS, sizeof(*out));
    }
    if (DataDevices[index] == NULL) {
        return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
    }
    printer = PrinterOf(DataDevices[index]);
    switch (code) {
    case IOCTL_VPSIM_GET_STATE:
        return ControlGetState(printer, Irp, outputLength);
    case IOCTL_VPSIM_GET_RECORD:
        return ControlGetRecord(printer, Irp, inputLength, outputLength);
    case IOCTL_VPSIM_GET_ENTRIES:
        return ControlGetEntries(printer, Irp, inputLength, outputLength);
    case IOCTL_VPSIM_QUEUE_REPLY:
        return ControlQueueReply(printer, Irp, inputLength);
    case IOCTL_VPSIM_RESET:
        return ControlReset(printer, Irp);
    case IOCTL_VPSIM_UNPLUG:
        if (printer->Plugged) {
            Unplug(printer, FALSE);
        }
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_VPSIM_PLUG:
        return ControlPlug(printer, Irp);
    case IOCTL_VPSIM_SET_BEHAVIOUR:
        return ControlSetBehaviour(printer, Irp, inputLength);
    case IOCTL_VPSIM_FAIL_WRITE:
        return ControlFailWrite(printer, Irp, inputLength);
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
        return DataCleanupClose(printer, Irp, VPSIM_CLEANUP);
    case IRP_MJ_CLOSE:
        return DataCleanupClose(printer, Irp, VPSIM_CLOSE);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* The driver unloads only once no file is open on its devices: no read is waiting then. */
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
            PPRINTER printer = PrinterOf(DataDevices[index]);
            Unplug(printer, TRUE);
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

/* \Device\VpUsbSim<Index>, with its printer plugged in under that name alone. The extension
 * comes zeroed from IoCreateDevice; only the fields that are not zero at start are set. */
static NTSTATUS CreatePrinter(ULONG Index)
{
    WCHAR nameBuffer[32];
    UNICODE_STRING name;
    PPRINTER printer;
    NTSTATUS status;

    DataDeviceName(Index, &name, nameBuffer, sizeof(nameBuffer));
    status = CreateNamedDevice(Driver, &name, sizeof(PRINTER), &DataDevices[Index]);
    if (!NT_SUCCESS(status)) {
        DataDevices[Index] = NULL;
        return status;
    }
    printer = PrinterOf(DataDevices[Index]);
    printer->Index = Index;
    KeInitializeSpinLock(&printer->Lock);
    InitializeListHead(&printer->WaitingReads);
    StreamInit(&printer->Log, &printer->LogBlock, VPSIM_LOG_FIRST_BYTES, VPSIM_LOG_POOL_BLOCKS);
    StreamInit(&printer->Replies, &printer->ReplyBlock, VPSIM_REPLY_FIRST_BYTES, VPSIM_REPLY_POOL_BLOCKS);
    printer->Plugged = TRUE;
    ResetBehaviourLocked(printer);
    return STATUS_SUCCESS;
}

/* How many printers to create at load: the service key's DWORD value VPSIM_PRINTERS_VALUE, or
 * VPSIM_PRINTERS_AT_LOAD when it is missing. The others come with their first connect. */
static ULONG PrintersAtLoad(PUNICODE_STRING RegistryPath)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name;
    HANDLE key;
    ULONG answer[(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)) / sizeof(ULONG) + 1];
    PKEY_VALUE_PARTIAL_INFORMATION value = (PKEY_VALUE_PARTIAL_INFORMATION)answer;
    ULONG length;
    ULONG count = VPSIM_PRINTERS_AT_LOAD;

    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return count;
    }
    RtlInitUnicodeString(&name, VPSIM_PRINTERS_VALUE);
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof(answer), &length)) &&
        value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(&count, value->Data, sizeof(ULONG));
    }
    ZwClose(key);
    return count < VPSIM_PRINTERS ? count : VPSIM_PRINTERS;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG printers;
    ULONG index;
    ULONG major;

    static_assert(VPSIM_PRINTERS <= 10, "printer names have one digit");
    Driver = DriverObject;
    SystemProcess = IoGetCurrentProcess();
    ControlDevice = NULL;
    RtlZeroMemory(DataDevices, sizeof(DataDevices));
    AllOpenHandles = 0;
    KeInitializeMutex(&SetupMutex, 0);
    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = Dispatch;
    }
    DriverObject->DriverUnload = Unload;

    printers = PrintersAtLoad(RegistryPath);
    for (index = 0; index < printers && NT_SUCCESS(status); index++) {
        status = CreatePrinter(index);
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
