// printer_client.cpp - loads the simulated printer's driver on the kernel stand-in and drives its
// printers through the control device (printer_client.h).
//
// The driver and its control device are shared by every SimPrinter of a kernel (the Bed). Its
// mutex guards the Bed's fields only; no control request is sent while it is held, except the
// ones that load, probe and unload the driver, which complete at once.
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

extern "C" NTSTATUS NTAPI VpUsbSimDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace usbsim {
namespace {

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// One control request, sent as a kernel-mode client sends one: an IRP of its own, completed
// back to it. Returns the status; *information receives the byte count.
struct Completion {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

NTSTATUS NTAPI ControlDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *completion = static_cast<Completion *>(context);
    completion->status = irp->IoStatus.Status;
    completion->information = irp->IoStatus.Information;
    KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Control(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, const void *input, ULONG input_length,
                 void *output, ULONG output_length, ULONG_PTR *information = nullptr)
{
    std::vector<uint8_t> buffer(std::max(input_length, output_length));
    if (input_length != 0) std::memcpy(buffer.data(), input, input_length);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->AssociatedIrp.SystemBuffer = buffer.empty() ? nullptr : buffer.data();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    Completion completion;
    KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, ControlDone, &completion, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
    if (NT_SUCCESS(completion.status) && output_length != 0)
        std::memcpy(output, buffer.data(), std::min<size_t>(completion.information, output_length));
    if (information != nullptr) *information = completion.information;
    return completion.status;
}

// The driver, loaded once per kernel.
struct Bed {
    std::mutex mutex;
    uint64_t kernel = 0;
    std::unique_ptr<ksim::Driver> driver;
    PDEVICE_OBJECT control = nullptr;
    PFILE_OBJECT control_file = nullptr;
    int users = 0;
};
Bed g_bed;

// Mutex held. A driver left loaded in a kernel that has gone went with it.
void ForgetStaleLocked()
{
    if (g_bed.kernel == ksim::CurrentKernel()) return;
    g_bed.driver.reset();  // only forgotten: its kernel is gone
    g_bed.control = nullptr;
    g_bed.control_file = nullptr;
    g_bed.users = 0;
    g_bed.kernel = ksim::CurrentKernel();
}

void LoadLocked()
{
    // Printers come with their connects: none at load.
    ksim::reg::SetDword(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VpUsbSim",
                        FromWide(VPSIM_PRINTERS_VALUE), 0);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    g_bed.driver = ksim::Driver::Load(VpUsbSimDriverEntry, u"VpUsbSim", &status);
    if (!g_bed.driver) throw std::runtime_error("the simulated printer's driver did not load: " + Hex(status));
    u16 name = FromWide(VPSIM_CONTROL_DEVICE);
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWSTR>(name.data());
    counted.Length = counted.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    status = IoGetDeviceObjectPointer(&counted, FILE_ALL_ACCESS, &g_bed.control_file, &g_bed.control);
    if (!NT_SUCCESS(status)) {
        g_bed.driver.reset();
        throw std::runtime_error("the simulated printer's control device does not open: " + Hex(status));
    }
}

// Mutex held. The driver goes once no file is open on any of its printers.
void UnloadLocked()
{
    ObDereferenceObject(g_bed.control_file);
    g_bed.control_file = nullptr;
    g_bed.control = nullptr;
    g_bed.driver->Unload();
    g_bed.driver.reset();
}

void CopyName(WCHAR (&to)[VPSIM_NAME_CHARS], const u16 &from)
{
    if (from.size() >= VPSIM_NAME_CHARS) throw std::invalid_argument("name too long for the printer: " + ksim::Narrow(from));
    std::copy(from.begin(), from.end(), to);
    to[from.size()] = 0;
}

}  // namespace

u16 LinkKey(const u16 &port_name) { return kLinkKeyRoot + u"\\" + port_name; }

void WriteLink(const u16 &port_name, const u16 &hardware_id, const u16 &linked_id)
{
    ksim::reg::SetString(LinkKey(port_name), FromWide(VP_HARDWARE_ID_VALUE), hardware_id);
    ksim::reg::SetString(LinkKey(port_name), FromWide(VP_LINKED_ID_VALUE), linked_id);
}

struct SimPrinter::Impl {
    PrinterConfig config;
    uint64_t kernel = 0;
    PDEVICE_OBJECT control = nullptr;
    PFILE_OBJECT control_file = nullptr;
    ULONG index = 0;
    VPSIM_BEHAVIOUR behaviour{};

    mutable std::mutex cache_mutex;     // guards the cache
    mutable std::vector<Record> cache;  // records fetched so far, from the oldest since the reset

    NTSTATUS Call(ULONG code, const void *input, ULONG input_length, void *output = nullptr,
                  ULONG output_length = 0, ULONG_PTR *information = nullptr) const
    {
        return Control(control, control_file, code, input, input_length, output, output_length, information);
    }
    void Expect(ULONG code, const void *input, ULONG input_length, const char *what) const
    {
        NTSTATUS status = Call(code, input, input_length);
        if (!NT_SUCCESS(status)) throw std::runtime_error(std::string("simulated printer: ") + what + " failed: " + Hex(status));
    }
    void Simple(ULONG code, const char *what) const { Expect(code, &index, sizeof(index), what); }
    void SendBehaviour() const { Expect(IOCTL_VPSIM_SET_BEHAVIOUR, &behaviour, sizeof(behaviour), "set behaviour"); }
    VPSIM_STATE State() const
    {
        VPSIM_STATE state{};
        NTSTATUS status = Call(IOCTL_VPSIM_GET_STATE, &index, sizeof(index), &state, sizeof(state));
        if (!NT_SUCCESS(status)) throw std::runtime_error("simulated printer: state query failed: " + Hex(status));
        return state;
    }
    // Fetches what was recorded since the last fetch.
    std::vector<Record> Fetch() const
    {
        std::lock_guard<std::mutex> guard(cache_mutex);
        const VPSIM_STATE state = State();
        if (state.LostRecords != 0) throw std::runtime_error("the simulated printer's record store is full: records were lost");
        std::vector<uint8_t> out;
        while (cache.size() < state.RecordCount) {
            if (out.empty()) out.resize(64 * 1024);
            VPSIM_RECORD_QUERY query{index, static_cast<ULONG>(cache.size())};
            ULONG_PTR filled = 0;
            NTSTATUS status = Call(IOCTL_VPSIM_GET_ENTRIES, &query, sizeof(query), out.data(),
                                   static_cast<ULONG>(out.size()), &filled);
            if (status == STATUS_BUFFER_TOO_SMALL) {
                out.resize(out.size() * 2);
                continue;
            }
            if (!NT_SUCCESS(status) || filled == 0)
                throw std::runtime_error("simulated printer: record query failed: " + Hex(status));
            if (filled > out.size() || !DecodeEntries(out.data(), filled, &cache))
                throw std::runtime_error("simulated printer: the record answer holds no whole records");
        }
        return cache;
    }
};

SimPrinter::SimPrinter(PrinterConfig config) : impl_(std::make_unique<Impl>())
{
    impl_->config = std::move(config);
    {
        std::lock_guard<std::mutex> guard(g_bed.mutex);
        ForgetStaleLocked();
        if (!g_bed.driver) LoadLocked();
        g_bed.users++;
        impl_->kernel = g_bed.kernel;
        impl_->control = g_bed.control;
        impl_->control_file = g_bed.control_file;
    }
    VPSIM_CONNECT connect{};
    try {
        CopyName(connect.LinkedId, impl_->config.linked_id);
        CopyName(connect.DevicePath, impl_->config.hardware_id);
    } catch (...) {
        std::lock_guard<std::mutex> guard(g_bed.mutex);
        g_bed.users--;
        throw;
    }
    NTSTATUS status = STATUS_DEVICE_BUSY;
    for (connect.Printer = 0; connect.Printer < VPSIM_PRINTERS && status == STATUS_DEVICE_BUSY; connect.Printer++) {
        status = impl_->Call(IOCTL_VPSIM_CONNECT, &connect, sizeof(connect));
        impl_->index = connect.Printer;
    }
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_bed.mutex);
        ULONG any = 0;
        VPSIM_STATE state{};
        if (--g_bed.users == 0 &&
            NT_SUCCESS(impl_->Call(IOCTL_VPSIM_GET_STATE, &any, sizeof(any), &state, sizeof(state))) &&
            state.AllOpenHandles == 0)
            UnloadLocked();
        if (status == STATUS_OBJECT_NAME_COLLISION)
            throw std::invalid_argument("hardware id already in use: " + ksim::Narrow(impl_->config.hardware_id));
        throw std::runtime_error("no simulated printer could be connected: " + Hex(status));
    }
    impl_->behaviour.Printer = impl_->index;
    impl_->behaviour.StatusByte = impl_->config.status_byte;
    impl_->behaviour.AnswerStatusRequest = impl_->config.answer_status_request;
    if (impl_->behaviour.StatusByte != VPSIM_DEFAULT_STATUS_BYTE || !impl_->behaviour.AnswerStatusRequest)
        impl_->SendBehaviour();
}

SimPrinter::~SimPrinter()
{
    std::lock_guard<std::mutex> guard(g_bed.mutex);
    if (impl_->kernel != ksim::CurrentKernel() || g_bed.kernel != impl_->kernel) return;  // gone with its kernel
    ULONG still_open = 1;
    impl_->Call(IOCTL_VPSIM_DISCONNECT, &impl_->index, sizeof(impl_->index), &still_open, sizeof(still_open));
    if (--g_bed.users == 0 && still_open == 0) UnloadLocked();
}

const u16 &SimPrinter::HardwareId() const { return impl_->config.hardware_id; }
const u16 &SimPrinter::LinkedId() const { return impl_->config.linked_id; }
unsigned SimPrinter::Index() const { return impl_->index; }

void SimPrinter::WriteLinkConfig(const u16 &port_name) const
{
    WriteLink(port_name, impl_->config.hardware_id, impl_->config.linked_id);
}

void SimPrinter::Unplug() { impl_->Simple(IOCTL_VPSIM_UNPLUG, "unplug"); }
void SimPrinter::Plug() { impl_->Simple(IOCTL_VPSIM_PLUG, "plug"); }

void SimPrinter::QueueReply(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty()) return;
    std::vector<uint8_t> input(sizeof(ULONG) + bytes.size());
    std::memcpy(input.data(), &impl_->index, sizeof(ULONG));
    std::memcpy(input.data() + sizeof(ULONG), bytes.data(), bytes.size());
    impl_->Expect(IOCTL_VPSIM_QUEUE_REPLY, input.data(), static_cast<ULONG>(input.size()), "queue a reply");
}

void SimPrinter::FailOpens(NTSTATUS status)
{
    impl_->behaviour.OpenStatus = status;
    impl_->SendBehaviour();
}

void SimPrinter::FailWrite(unsigned nth, NTSTATUS status)
{
    if (nth == 0) return;
    VPSIM_FAIL_WRITE fail{impl_->index, nth, status};
    impl_->Expect(IOCTL_VPSIM_FAIL_WRITE, &fail, sizeof(fail), "plan a write failure");
}

void SimPrinter::SetNeverAnswer(bool never)
{
    impl_->behaviour.NeverAnswer = never;
    impl_->SendBehaviour();
}

void SimPrinter::SetWriteDelay(int64_t ticks)
{
    impl_->behaviour.WriteDelay = static_cast<ULONG>(ticks);
    impl_->SendBehaviour();
}

void SimPrinter::IgnoreCancel(bool ignore)
{
    impl_->behaviour.IgnoreCancel = ignore;
    impl_->SendBehaviour();
}

std::vector<Record> SimPrinter::Records() const { return impl_->Fetch(); }

std::vector<OpenRecord> SimPrinter::Opens() const
{
    std::vector<OpenRecord> opens;
    for (const Record &r : impl_->Fetch()) {
        if (r.entry.Kind != VPSIM_OPEN) continue;
        const VPSIM_ENTRY &e = r.entry;
        opens.push_back({e.DesiredAccess, e.FileAttributes, e.ShareAccess, e.Disposition, e.CreateOptions,
                         (e.Flags & VPSIM_FROM_SYSTEM) ? ksim::Process::System : ksim::Process::Application,
                         e.Status, e.File});
    }
    return opens;
}

std::vector<WriteRecord> SimPrinter::Writes() const
{
    std::vector<WriteRecord> writes;
    for (const Record &r : impl_->Fetch()) {
        if (r.entry.Kind == VPSIM_WRITE || r.entry.Kind == VPSIM_STATUS_REQUEST)
            writes.push_back({r.data, r.entry.Length, r.entry.Status});
    }
    return writes;
}

std::vector<uint8_t> SimPrinter::WrittenBytes() const
{
    std::vector<uint8_t> bytes;
    for (const WriteRecord &w : Writes()) {
        if (NT_SUCCESS(w.status)) bytes.insert(bytes.end(), w.bytes.begin(), w.bytes.end());
    }
    return bytes;
}

size_t SimPrinter::StatusRequests() const { return impl_->State().StatusRequests; }
size_t SimPrinter::ReadsSeen() const { return impl_->State().ReadsSeen; }
size_t SimPrinter::PendingReads() const { return impl_->State().WaitingReads; }
size_t SimPrinter::OpenFiles() const { return impl_->State().OpenHandles; }

void SimPrinter::ClearRecords()
{
    std::lock_guard<std::mutex> guard(impl_->cache_mutex);
    impl_->Simple(IOCTL_VPSIM_RESET, "reset");
    impl_->cache.clear();
}

}  // namespace usbsim
