// io_harness.cpp - the application's side of the I/O manager for tests: open files
// (AppFile), requests left pending (PendingIo), and what the I/O manager recorded
// (interfaces, file creations, power-IRP starts). Also the I/O manager's start and stop.
//
// Application requests run in the calling thread, in the application process, at
// PASSIVE_LEVEL, as a user-mode caller's system service would.
#include "io_internal.h"

namespace ksim {

using namespace ksim::detail;
using namespace ksim::detail::io;

// ---- pending requests ----------------------------------------------------------------------------

PendingIo::PendingIo() = default;
PendingIo::PendingIo(std::shared_ptr<State> state) : state_(std::move(state)) {}
PendingIo::PendingIo(PendingIo &&) noexcept = default;
PendingIo &PendingIo::operator=(PendingIo &&) noexcept = default;
PendingIo::~PendingIo() = default;

bool PendingIo::Valid() const { return state_ != nullptr; }
bool PendingIo::Done() const { return state_ != nullptr && state_->record->done; }

NTSTATUS PendingIo::DispatchStatus() const
{
    return state_ != nullptr ? state_->record->dispatch_status : STATUS_INVALID_HANDLE;
}

IoResult PendingIo::Wait()
{
    IoResult result;
    if (state_ == nullptr) {
        result.status = STATUS_INVALID_HANDLE;
        return result;
    }
    const auto &rec = state_->record;
    WaitForRecord(rec);
    result.status = rec->status;
    result.information = rec->information;
    result.data = rec->data;
    return result;
}

bool PendingIo::Cancel() { return state_ != nullptr && CancelRecord(state_->record); }

PIRP PendingIo::Irp() const
{
    return state_ != nullptr && !state_->record->done ? state_->record->irp : nullptr;
}

// ---- application files ---------------------------------------------------------------------------

struct AppFile::Impl {
    HANDLE handle = nullptr;
    PFILE_OBJECT file = nullptr;
    bool closed = false;

    PendingIo Send(const FileRequest &request)
    {
        if (closed) return PendingIo();
        ScopedProcess app(Process::Application);
        CheckIrqlAtMost(PASSIVE_LEVEL, "application request");
        auto state = std::make_shared<PendingIo::State>();
        SendFileRequest(file, request, &state->record);
        return PendingIo(state);
    }
};

NTSTATUS AppFile::Open(const u16 &name, std::unique_ptr<AppFile> *out)
{
    out->reset();
    ScopedProcess app(Process::Application);
    CheckIrqlAtMost(PASSIVE_LEVEL, "AppFile::Open");
    FileOpen open;
    open.path = name;
    open.access = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    open.disposition = FILE_OPEN;
    open.options = FILE_NON_DIRECTORY_FILE;
    HANDLE handle = nullptr;
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = OpenFile(open, &handle, &file);
    if (!NT_SUCCESS(status)) return status;
    std::unique_ptr<AppFile> app_file(new AppFile);
    app_file->impl_ = std::make_unique<Impl>();
    app_file->impl_->handle = handle;
    app_file->impl_->file = file;
    *out = std::move(app_file);
    return status;
}

AppFile::~AppFile()
{
    if (impl_ != nullptr && KernelActive()) Close();
}

PendingIo AppFile::ReadAsync(ULONG length)
{
    FileRequest request;
    request.major = IRP_MJ_READ;
    request.length = length;
    request.output_length = length;
    return impl_->Send(request);
}

IoResult AppFile::Read(ULONG length) { return ReadAsync(length).Wait(); }

PendingIo AppFile::WriteAsync(const std::vector<uint8_t> &bytes)
{
    FileRequest request;
    request.major = IRP_MJ_WRITE;
    request.length = static_cast<ULONG>(bytes.size());
    request.input = bytes.data();
    request.input_length = static_cast<ULONG>(bytes.size());
    return impl_->Send(request);
}

IoResult AppFile::Write(const std::vector<uint8_t> &bytes) { return WriteAsync(bytes).Wait(); }

PendingIo AppFile::IoctlAsync(ULONG code, const void *input, ULONG input_length, ULONG output_length)
{
    FileRequest request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.ioctl = code;
    request.input = input;
    request.input_length = input_length;
    request.output_length = output_length;
    return impl_->Send(request);
}

IoResult AppFile::Ioctl(ULONG code, const void *input, ULONG input_length, ULONG output_length)
{
    return IoctlAsync(code, input, input_length, output_length).Wait();
}

PendingIo AppFile::SendAsync(UCHAR major, UCHAR minor)
{
    FileRequest request;
    request.major = major;
    request.minor = minor;
    return impl_->Send(request);
}

void AppFile::Close()
{
    if (impl_->closed) return;
    impl_->closed = true;
    ScopedProcess app(Process::Application);
    // Cleanup goes out with the last handle; close when the last request holding the file ends.
    ObCloseHandle(impl_->handle, UserMode);
}

void AppFile::CleanupOnly()
{
    if (impl_->closed) return;
    ScopedProcess app(Process::Application);
    SendCleanup(impl_->file);
}

void AppFile::CloseOnly()
{
    if (impl_->closed) return;
    impl_->closed = true;
    ScopedProcess app(Process::Application);
    SkipCleanup(impl_->file);
    ObCloseHandle(impl_->handle, UserMode);
}

PFILE_OBJECT AppFile::FileObject() const { return impl_->closed ? nullptr : impl_->file; }

// ---- records -------------------------------------------------------------------------------------

std::vector<InterfaceInfo> Interfaces() { return InterfaceList(); }
std::vector<FileCreateCall> FileCreates() { return FileCreateLog(); }
uint64_t PoStartNextPowerIrpCalls() { return PowerIrpStarts(); }

}  // namespace ksim

namespace ksim::detail {

void IoInitialize()
{
    io::ErrorLogReset();
    io::WorkItemsReset();
    io::FilesInitialize();
    io::EventsInitialize();
    io::PnpInitialize();
}

// Requests still outstanding stay counted, for the leak check that follows.
void IoShutdown()
{
    io::WaitForWorkItems();
    io::JoinDeferredReleases();
    io::PnpShutdown();
}

// Requests leaked were reported by then; their memory and the quarantine of freed requests go
// with the kernel rather than with the next one, so nothing outlives the last kernel of a process.
void IoRelease()
{
    io::WorkItemsReset();
    io::ErrorLogReset();
    io::ResetIrps();
    io::FilesShutdown();
}

void IoCheckLeaks(std::vector<Violation> *out)
{
    io::ErrorLogCheckLeaks(out);
    io::WorkItemsCheckLeaks(out);
}

}  // namespace ksim::detail
