// io_files.cpp - file objects and the file services: ZwCreateFile, ZwReadFile, ZwWriteFile,
// ZwCancelIoFile, IoGetDeviceObjectPointer, and what happens when a file's handles and
// references go: IRP_MJ_CLEANUP when its last handle is closed, IRP_MJ_CLOSE when its last
// reference goes (each outstanding request holds one).
//
// Every request on a file goes to the device at the top of the stack when the file was
// opened; the file keeps that device referenced until it is closed. The Zw services run at
// PASSIVE_LEVEL in the calling thread and its process.
#include "io_internal.h"

#include <algorithm>
#include <unordered_map>

namespace ksim::detail::io {
namespace {

constexpr CSHORT kIoTypeFile = 5;

struct FileBody {
    FILE_OBJECT object{};  // first: the body's address is the FILE_OBJECT's
    PDEVICE_OBJECT target = nullptr;  // referenced; where every request goes
    PDEVICE_OBJECT named = nullptr;   // referenced; the device the path named
    ACCESS_MASK access = 0;
    bool opened = false;  // the create succeeded: cleanup and close follow
    // The last handle may be closed by one thread while another cleans up (harness): the
    // cleanup goes out once, to whichever comes first.
    std::atomic<bool> cleanup_sent{false};
    std::atomic<bool> skip_cleanup{false};
    std::vector<WCHAR> name;
};

FileBody *Body(PFILE_OBJECT file) { return reinterpret_cast<FileBody *>(file); }

// Requests issued on each file, for ZwCancelIoFile. Finished ones are dropped as new ones come.
struct FileTables {
    std::mutex mutex;
    std::unordered_map<PFILE_OBJECT, std::vector<std::shared_ptr<IrpRecord>>> issued;
    std::vector<FileCreateCall> creates;
};
FileTables &Tables()
{
    static FileTables tables;
    return tables;
}

// Sends a request the file's target must finish before the caller goes on, and waits for it.
NTSTATUS SendAndWait(PIRP irp, const std::shared_ptr<IrpRecord> &rec, PDEVICE_OBJECT target)
{
    NTSTATUS status = IofCallDriver(target, irp);
    rec->dispatch_status = status;
    if (status == STATUS_PENDING) WaitForRecord(rec);
    return rec->done ? rec->status : status;
}

PIRP FileIrp(FileBody *body, UCHAR major, UCHAR minor, std::shared_ptr<IrpRecord> *rec)
{
    PIRP irp = AllocateIrp(body->target->StackSize, rec);
    (*rec)->has_requester = true;
    (*rec)->thread = CurrentKThread();
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = (*rec)->thread;
    irp->Tail.Overlay.OriginalFileObject = &body->object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = &body->object;
    return irp;
}

void DestroyFile(void *object)
{
    auto *body = static_cast<FileBody *>(object);
    if (body->opened) {
        // The last reference is gone: the driver hears IRP_MJ_CLOSE. The request holds no
        // reference on the file, which is on its way out.
        std::shared_ptr<IrpRecord> rec;
        PIRP irp = FileIrp(body, IRP_MJ_CLOSE, 0, &rec);
        SendAndWait(irp, rec, body->target);
    }
    {
        FileTables &t = Tables();
        std::lock_guard<std::mutex> guard(t.mutex);
        t.issued.erase(&body->object);
    }
    if (body->target != nullptr) ObRelease(body->target);
    if (body->named != nullptr) ObRelease(body->named);
    delete body;
}

void FileCloseHook(void *object, size_t handles_left)
{
    if (handles_left != 0) return;
    auto *body = static_cast<FileBody *>(object);
    if (body->skip_cleanup) {
        body->cleanup_sent = true;
        return;
    }
    SendCleanup(&body->object);
}

void Log(const FileCreateCall &call)
{
    FileTables &t = Tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    t.creates.push_back(call);
}

// Whether the path names an entry of one of the namespace's directories. Otherwise a
// directory on its way is missing, which Windows reports as a path (not a name) not found.
bool InKnownDirectory(const u16 &path)
{
    size_t last = path.rfind(u'\\');
    if (last == 0 || last == u16::npos) return true;
    u16 parent = path.substr(0, last);
    for (const char16_t *directory : {u"\\Device", u"\\DosDevices", u"\\??", u"\\GLOBAL??", u"\\BaseNamedObjects",
                                      u"\\Driver", u"\\REGISTRY"}) {
        if (EqualsInsensitive(parent, directory)) return true;
    }
    return false;
}

bool IsSynchronous(PFILE_OBJECT file) { return (file->Flags & FO_SYNCHRONOUS_IO) != 0; }

// Read and write: the shared part of ZwReadFile and ZwWriteFile.
NTSTATUS ReadWrite(UCHAR major, HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                   ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, major == IRP_MJ_READ ? "ZwReadFile" : "ZwWriteFile");
    void *object = nullptr;
    NTSTATUS status = ObReferenceHandle(FileHandle, ObType::File, &object);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_HANDLE;
    auto file = static_cast<PFILE_OBJECT>(object);
    if (FaultFires(major == IRP_MJ_READ ? Fault::FileRead : Fault::FileWrite, &status)) {
        ObRelease(file);
        return status;
    }
    PKEVENT event = nullptr;
    if (Event != nullptr) {
        void *event_object = nullptr;
        status = ObReferenceHandle(Event, ObType::Event, &event_object);
        if (!NT_SUCCESS(status)) {
            ObRelease(file);
            return status;
        }
        event = static_cast<PKEVENT>(event_object);
        KeClearEvent(event);  // the event tells of this request only
    }
    FileRequest request;
    request.major = major;
    request.length = Length;
    request.offset = ByteOffset != nullptr ? *ByteOffset : file->CurrentByteOffset;
    request.key = Key != nullptr ? *Key : 0;
    request.iosb = IoStatusBlock;
    request.event = event;
    if (major == IRP_MJ_READ) {
        request.output_length = Length;
        request.user_buffer = Buffer;
        request.copy_to = Buffer;
    } else {
        request.input = Buffer;
        request.input_length = Length;
        request.user_buffer = Buffer;
    }
    std::shared_ptr<IrpRecord> rec;
    status = SendFileRequest(file, request, &rec);
    if (IsSynchronous(file) && rec != nullptr) {
        if (status == STATUS_PENDING) WaitForRecord(rec);
        if (rec->done) status = rec->status;
    }
    ObRelease(file);
    return status;
}

}  // namespace

PDEVICE_OBJECT FileTarget(PFILE_OBJECT file) { return Body(file)->target; }

void SkipCleanup(PFILE_OBJECT file) { Body(file)->skip_cleanup = true; }

void SendCleanup(PFILE_OBJECT file)
{
    FileBody *body = Body(file);
    if (!body->opened || body->cleanup_sent.exchange(true)) return;
    FileRequest request;
    request.major = IRP_MJ_CLEANUP;
    std::shared_ptr<IrpRecord> rec;
    NTSTATUS status = SendFileRequest(file, request, &rec);
    if (status == STATUS_PENDING && rec != nullptr) WaitForRecord(rec);
}

NTSTATUS OpenFile(const FileOpen &open, HANDLE *handle, PFILE_OBJECT *file)
{
    *handle = nullptr;
    *file = nullptr;
    void *object = nullptr;
    u16 remaining;
    NTSTATUS status = ObResolve(open.path, &object, &remaining);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && !InKnownDirectory(open.path)) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status)) return status;
    ObType type;
    if (!ObIsObject(object, &type) || type != ObType::Device) {
        ObRelease(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto *body = new FileBody;
    body->named = static_cast<PDEVICE_OBJECT>(object);
    body->target = IoGetAttachedDeviceReference(body->named);
    body->access = open.access;
    PFILE_OBJECT fo = &body->object;
    fo->Type = kIoTypeFile;
    fo->Size = sizeof(FILE_OBJECT);
    fo->DeviceObject = body->named;
    if (open.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) fo->Flags |= FO_SYNCHRONOUS_IO;
    if (open.options & FILE_SYNCHRONOUS_IO_ALERT) fo->Flags |= FO_ALERTABLE_IO;
    fo->ReadAccess = (open.access & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) != 0;
    fo->WriteAccess = (open.access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0;
    fo->DeleteAccess = (open.access & DELETE) != 0;
    fo->SharedRead = (open.share & FILE_SHARE_READ) != 0;
    fo->SharedWrite = (open.share & FILE_SHARE_WRITE) != 0;
    fo->SharedDelete = (open.share & FILE_SHARE_DELETE) != 0;
    body->name.assign(remaining.begin(), remaining.end());
    body->name.push_back(0);
    fo->FileName.Buffer = body->name.data();
    fo->FileName.Length = static_cast<USHORT>(remaining.size() * sizeof(WCHAR));
    fo->FileName.MaximumLength = static_cast<USHORT>(fo->FileName.Length + sizeof(WCHAR));
    KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
    ObRegister(body, ObType::File, DestroyFile);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = open.access;
    security.FullCreateOptions = open.options;
    std::shared_ptr<IrpRecord> rec;
    PIRP irp = FileIrp(body, IRP_MJ_CREATE, 0, &rec);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.Options = (open.disposition << 24) | (open.options & 0x00FFFFFF);
    next->Parameters.Create.FileAttributes = static_cast<USHORT>(open.file_attributes);
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(open.share);
    next->Parameters.Create.EaLength = open.ea_length;
    status = SendAndWait(irp, rec, body->target);
    if (!NT_SUCCESS(status)) {
        ObRelease(body);  // a failed create is never cleaned up or closed
        return status;
    }
    body->opened = true;
    status = ObInsertHandle(body, open.access, handle, open.kernel_handle);
    ObRelease(body);  // the handle holds the file from here
    if (!NT_SUCCESS(status)) return status;
    *file = fo;
    return STATUS_SUCCESS;
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, const FileRequest &request, std::shared_ptr<IrpRecord> *record)
{
    FileBody *body = Body(file);
    std::shared_ptr<IrpRecord> rec;
    PIRP irp = FileIrp(body, request.major, request.minor, &rec);
    ObAddRef(file);  // released when the request is finished
    rec->file = file;
    rec->iosb = request.iosb;
    rec->event = request.event;
    irp->UserIosb = request.iosb;
    irp->UserEvent = request.event;
    bool buffered = (body->target->Flags & DO_BUFFERED_IO) != 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    auto copy_input = [&](std::vector<uint8_t> *to, size_t size) {
        to->assign(size, 0);
        if (request.input != nullptr && request.input_length != 0)
            memcpy(to->data(), request.input, std::min<size_t>(size, request.input_length));
    };
    switch (request.major) {
    case IRP_MJ_READ:
        next->Parameters.Read.Length = request.length;
        next->Parameters.Read.Key = request.key;
        next->Parameters.Read.ByteOffset = request.offset;
        rec->output_length = request.length;
        rec->copy_to = request.copy_to;
        if (buffered) {
            rec->system_buffer.assign(request.length, 0);
            irp->AssociatedIrp.SystemBuffer = rec->system_buffer.data();
            rec->output = IrpRecord::Output::SystemBuffer;
        } else if (request.user_buffer != nullptr) {
            irp->UserBuffer = request.user_buffer;
            rec->output = IrpRecord::Output::InCaller;
        } else {
            rec->data.assign(request.length, 0);
            irp->UserBuffer = rec->data.data();
            rec->output = IrpRecord::Output::InData;
        }
        rec->advance_position = IsSynchronous(file);
        break;
    case IRP_MJ_WRITE:
        next->Parameters.Write.Length = request.length;
        next->Parameters.Write.Key = request.key;
        next->Parameters.Write.ByteOffset = request.offset;
        if (buffered) {
            copy_input(&rec->system_buffer, request.length);
            irp->AssociatedIrp.SystemBuffer = rec->system_buffer.data();
        } else if (request.user_buffer != nullptr) {
            irp->UserBuffer = request.user_buffer;
        } else {
            copy_input(&rec->input_copy, request.length);
            irp->UserBuffer = rec->input_copy.data();
        }
        rec->advance_position = IsSynchronous(file);
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = request.ioctl;
        next->Parameters.DeviceIoControl.InputBufferLength = request.input_length;
        next->Parameters.DeviceIoControl.OutputBufferLength = request.output_length;
        rec->output_length = request.output_length;
        rec->copy_to = request.copy_to;
        if ((request.ioctl & 3) == METHOD_NEITHER) {
            copy_input(&rec->input_copy, request.input_length);
            next->Parameters.DeviceIoControl.Type3InputBuffer = rec->input_copy.data();
            rec->data.assign(request.output_length, 0);
            irp->UserBuffer = rec->data.data();
            rec->output = IrpRecord::Output::InData;
        } else {
            // Buffered (and, here, the direct methods too): one system buffer large enough for
            // either direction, the input copied in.
            copy_input(&rec->system_buffer, std::max(request.input_length, request.output_length));
            irp->AssociatedIrp.SystemBuffer = rec->system_buffer.empty() ? nullptr : rec->system_buffer.data();
            rec->output = IrpRecord::Output::SystemBuffer;
        }
        break;
    default:
        break;
    }
    {
        FileTables &t = Tables();
        std::lock_guard<std::mutex> guard(t.mutex);
        auto &issued = t.issued[file];
        issued.erase(std::remove_if(issued.begin(), issued.end(), [](const auto &r) { return r->done.load(); }),
                     issued.end());
        issued.push_back(rec);
    }
    NTSTATUS status = IofCallDriver(body->target, irp);
    rec->dispatch_status = status;
    if (record != nullptr) *record = rec;
    return status;
}

void FilesInitialize()
{
    ObSetCloseHook(ObType::File, FileCloseHook);
}

void FilesShutdown()
{
    FileTables &t = Tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    t.issued.clear();
    t.creates.clear();
}

std::vector<FileCreateCall> FileCreateLog()
{
    FileTables &t = Tables();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.creates;
}

}  // namespace ksim::detail::io

using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    (void)EaBuffer;
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
    FileCreateCall call{};
    if (ObjectAttributes != nullptr) {
        call.path = FromCounted(ObjectAttributes->ObjectName);
        call.object_attributes = ObjectAttributes->Attributes;
        call.has_root_directory = ObjectAttributes->RootDirectory != nullptr;
        call.has_security_descriptor = ObjectAttributes->SecurityDescriptor != nullptr;
    }
    call.desired_access = DesiredAccess;
    call.has_allocation_size = AllocationSize != nullptr;
    call.file_attributes = FileAttributes;
    call.share_access = ShareAccess;
    call.create_disposition = CreateDisposition;
    call.create_options = CreateOptions;
    call.ea_length = EaLength;
    call.process = CurrentProcess();

    NTSTATUS status;
    HANDLE handle = nullptr;
    if (!FaultFires(Fault::FileOpen, &status)) {
        if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) {
            status = STATUS_OBJECT_NAME_INVALID;
        } else {
            FileOpen open;
            open.path = call.path;
            open.access = DesiredAccess;
            open.file_attributes = FileAttributes;
            open.share = ShareAccess;
            open.disposition = CreateDisposition;
            open.options = CreateOptions;
            open.ea_length = EaLength;
            open.kernel_handle = KernelHandleAsked(ObjectAttributes);
            PFILE_OBJECT file = nullptr;
            status = OpenFile(open, &handle, &file);
            if (NT_SUCCESS(status)) ObCheckKernelHandle(ObjectAttributes, "ZwCreateFile");
        }
    }
    call.status = status;
    Log(call);
    if (IoStatusBlock != nullptr) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = NT_SUCCESS(status) ? FILE_OPENED : 0;
    }
    if (NT_SUCCESS(status)) *FileHandle = handle;
    return status;
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          PULONG Key)
{
    (void)ApcRoutine;
    (void)ApcContext;
    return ReadWrite(IRP_MJ_READ, FileHandle, Event, IoStatusBlock, Buffer, Length, ByteOffset, Key);
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PULONG Key)
{
    (void)ApcRoutine;
    (void)ApcContext;
    return ReadWrite(IRP_MJ_WRITE, FileHandle, Event, IoStatusBlock, Buffer, Length, ByteOffset, Key);
}

NTSTATUS NTAPI ZwCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (CallTraceOn()) {
        KernelCall call;
        call.routine = "ZwCancelIoFile";
        call.object = FileHandle;
        TraceCall(std::move(call));
    }
    void *object = nullptr;
    NTSTATUS status = ObReferenceHandle(FileHandle, ObType::File, &object);
    if (!NT_SUCCESS(status)) return STATUS_INVALID_HANDLE;
    auto file = static_cast<PFILE_OBJECT>(object);
    PKTHREAD self = CurrentKThread();
    std::vector<std::shared_ptr<IrpRecord>> mine;
    {
        FileTables &t = Tables();
        std::lock_guard<std::mutex> guard(t.mutex);
        for (const auto &rec : t.issued[file])
            if (rec->thread == self && !rec->done) mine.push_back(rec);
    }
    for (const auto &rec : mine) CancelRecord(rec);
    {
        std::unique_lock<std::mutex> lock(DispatcherMutex());
        DispatcherWait(
            lock,
            [&] { return std::all_of(mine.begin(), mine.end(), [](const auto &r) { return r->done.load(); }); },
            nullptr);
    }
    if (IoStatusBlock != nullptr) {
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = 0;
    }
    ObRelease(file);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    FileOpen open;
    open.path = FromCounted(ObjectName);
    open.access = DesiredAccess;
    open.options = FILE_NON_DIRECTORY_FILE;
    open.kernel_handle = true;  // the routine's own, closed before it returns
    HANDLE handle = nullptr;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = OpenFile(open, &handle, &file);
    if (!NT_SUCCESS(status)) return status;
    ObAddRef(file);  // the caller's reference; closing the handle sends the cleanup
    ObCloseHandle(handle);
    *FileObject = file;
    *DeviceObject = FileTarget(file);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    return FileTarget(FileObject);
}
