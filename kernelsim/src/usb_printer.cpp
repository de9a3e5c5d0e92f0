// usb_printer.cpp - the simulated USB receipt printer: the USB device's own driver.
//
// It is written against the WDK interfaces as a real function driver would be: one driver
// object "\Driver\SimUsbPrint" shared by every simulated printer, one named device per printer
// ("\Device\SimUsbPrint<N>", buffered I/O), and a symbolic link under the printer's hardware id
// through which the port driver opens it. Its presence key under the USB device-interface class
// tells the port driver whether the device is plugged in.
//
// Requests it serves, all at PASSIVE_LEVEL from the requester's thread:
//   create   records the open's parameters; fails while unplugged or when told to
//   write    records the bytes; the three bytes 10 04 01 ask for the printer's status, which is
//            answered with one status byte through the read side
//   read     takes queued reply bytes, or waits (cancel-safe) until a reply is queued
//   cleanup  ends the file's waiting reads with STATUS_CANCELLED
//   close    forgets the file
//
// Removal: the SimPrinter object may go while files are still open on its device, as a USB
// device can vanish under its users. The device then fails everything but cleanup and close,
// and its state (and the shared driver object the device points at) is kept until the kernel
// is torn down, so that late requests find valid memory.
//
// Locking: Impl::lock (a host mutex, the printer's only lock) guards every field below it in
// Impl. It is never held while a request is completed or the registry or object manager is
// called. A waiting read belongs to whoever clears its cancel routine first: the cancel routine
// (which then completes it) or a completer here (which then takes it off the queue and
// completes it).
#include "core.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>

namespace ksim::usb {

struct SimPrinter::Impl {
    PrinterConfig config;
    PDEVICE_OBJECT device = nullptr;
    u16 device_name;
    unsigned index = 0;

    bool kernel_gone = false;  // the kernel this printer was made in has been torn down

    mutable std::mutex lock;
    bool plugged = true;
    bool removed = false;  // the SimPrinter object is gone; only cleanup and close remain
    NTSTATUS open_failure = STATUS_SUCCESS;
    bool never_answer = false;
    int64_t write_delay = 0;                                    // 100 ns units each write takes
    uint64_t writes_seen = 0;                                   // every write request, failed ones too
    std::vector<std::pair<uint64_t, NTSTATUS>> write_failures;  // (write number, status)
    std::deque<std::vector<uint8_t>> replies;                   // oldest first; never empty vectors
    std::deque<PIRP> pending_reads;                             // oldest first
    std::set<PFILE_OBJECT> open_files;
    std::vector<OpenRecord> opens;
    std::vector<WriteRecord> writes;
    std::vector<uint8_t> written;
    size_t status_requests = 0;
    size_t reads_seen = 0;

    u16 PresenceKey() const { return u16(kUsbDeviceClassKey) + u"\\" + config.linked_id; }
};

namespace {

constexpr uint8_t kStatusRequest[3] = {0x10, 0x04, 0x01};

// The driver object is shared by every printer: loaded with the first, unloaded with the last.
struct SharedDriver {
    std::mutex lock;
    std::unique_ptr<Driver> driver;
    std::set<unsigned> indices;                            // device numbers in use
    std::set<SimPrinter::Impl *> live;                     // printers whose SimPrinter exists
    std::vector<std::unique_ptr<SimPrinter::Impl>> removed;  // gone with files still open
};
SharedDriver g_driver;

SimPrinter::Impl *ImplOf(PDEVICE_OBJECT device)
{
    return *static_cast<SimPrinter::Impl **>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Lock held. Takes a waiting read off the queue if this side wins it from the cancel routine.
// Returns null when the queue is empty.
PIRP TakeOldestRead(SimPrinter::Impl &impl)
{
    while (!impl.pending_reads.empty()) {
        PIRP irp = impl.pending_reads.front();
        impl.pending_reads.pop_front();
        if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
        // The cancel routine owns this one and completes it; it no longer finds it queued.
    }
    return nullptr;
}

// Lock held. Copies up to the read's length from the oldest reply into its buffer; what does
// not fit stays queued for the next read. Returns the byte count.
ULONG FillRead(SimPrinter::Impl &impl, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    std::vector<uint8_t> &reply = impl.replies.front();
    ULONG count = static_cast<ULONG>(std::min<size_t>(length, reply.size()));
    std::memcpy(irp->AssociatedIrp.SystemBuffer, reply.data(), count);
    reply.erase(reply.begin(), reply.begin() + count);
    if (reply.empty()) impl.replies.pop_front();
    return count;
}

struct Finished {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};

// Lock held. Hands queued replies to waiting reads, oldest to oldest.
void MatchRepliesToReads(SimPrinter::Impl &impl, std::vector<Finished> *done)
{
    while (!impl.never_answer && !impl.replies.empty()) {
        PIRP irp = TakeOldestRead(impl);
        if (irp == nullptr) return;
        done->push_back({irp, STATUS_SUCCESS, FillRead(impl, irp)});
    }
}

// Lock held. Takes every waiting read (those of `file` only, when given).
void TakeReads(SimPrinter::Impl &impl, PFILE_OBJECT file, NTSTATUS status, std::vector<Finished> *done)
{
    std::deque<PIRP> keep;
    for (PIRP irp : impl.pending_reads) {
        if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) {
            keep.push_back(irp);
            continue;
        }
        if (IoSetCancelRoutine(irp, NULL) != NULL) done->push_back({irp, status, 0});
    }
    impl.pending_reads.swap(keep);
}

void CompleteAll(const std::vector<Finished> &done)
{
    for (const auto &f : done) Complete(f.irp, f.status, f.information);
}

VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SimPrinter::Impl &impl = *ImplOf(device);
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        auto &queue = impl.pending_reads;
        queue.erase(std::remove(queue.begin(), queue.end(), irp), queue.end());
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    SimPrinter::Impl &impl = *ImplOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    OpenRecord record{};
    record.desired_access = stack->Parameters.Create.SecurityContext != nullptr
                                ? stack->Parameters.Create.SecurityContext->DesiredAccess
                                : 0;
    record.file_attributes = stack->Parameters.Create.FileAttributes;
    record.share_access = stack->Parameters.Create.ShareAccess;
    record.create_disposition = stack->Parameters.Create.Options >> 24;
    record.create_options = stack->Parameters.Create.Options & 0xFFFFFF;
    record.process = ksim::detail::CurrentProcess();
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        record.status = (!impl.plugged || impl.removed) ? STATUS_NO_SUCH_DEVICE : impl.open_failure;
        impl.opens.push_back(record);
        if (NT_SUCCESS(record.status)) impl.open_files.insert(stack->FileObject);
    }
    return Complete(irp, record.status, 0);
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    SimPrinter::Impl &impl = *ImplOf(device);
    std::vector<Finished> done;
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        TakeReads(impl, IoGetCurrentIrpStackLocation(irp)->FileObject, STATUS_CANCELLED, &done);
    }
    CompleteAll(done);
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    SimPrinter::Impl &impl = *ImplOf(device);
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        impl.open_files.erase(IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    SimPrinter::Impl &impl = *ImplOf(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const auto *data = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    WriteRecord record;
    if (length > 0 && data != nullptr) record.bytes.assign(data, data + length);
    record.length = length;
    record.status = STATUS_SUCCESS;
    std::vector<Finished> done;
    int64_t delay = 0;
    {
        std::lock_guard<std::mutex> guard(impl.lock);
        delay = impl.write_delay;
        uint64_t number = ++impl.writes_seen;
        auto planned = std::find_if(impl.write_failures.begin(), impl.write_failures.end(),
                                    [&](const auto &f) { return f.first == number; });
        if (!impl.plugged) {
            record.status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (planned != impl.write_failures.end()) {
            record.status = planned->second;
        }
        if (planned != impl.write_failures.end()) impl.write_failures.erase(planned);
        if (NT_SUCCESS(record.status)) {
            impl.written.insert(impl.written.end(), record.bytes.begin(), record.bytes.end());
            bool status_request = record.bytes.size() == sizeof(kStatusRequest) &&
                                  std::equal(record.bytes.begin(), record.bytes.end(), kStatusRequest);
            if (status_request) {
                ++impl.status_requests;
                if (impl.config.answer_status_request) {
                    impl.replies.push_back({impl.config.status_byte});
                    MatchRepliesToReads(impl, &done);
                }
            }
        }
        impl.writes.push_back(record);
    }
    // A slow printer holds the synchronous write in the writer's thread, as a device would.
    if (delay != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -delay;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    // The write finishes first: its reply is on the read side, which a reader sees afterwards.
    NTSTATUS status = Complete(irp, record.status, NT_SUCCESS(record.status) ? length : 0);
    CompleteAll(done);
    return status;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    SimPrinter::Impl &impl = *ImplOf(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    std::unique_lock<std::mutex> guard(impl.lock);
    ++impl.reads_seen;
    if (!impl.plugged) {
        guard.unlock();
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (length == 0) {
        guard.unlock();
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (!impl.never_answer && !impl.replies.empty()) {
        ULONG count = FillRead(impl, irp);
        guard.unlock();
        return Complete(irp, STATUS_SUCCESS, count);
    }
    // Wait for a reply. The cancel routine goes in after the read is queued; a cancel that came
    // before it was set is caught by the Cancel flag.
    IoMarkIrpPending(irp);
    impl.pending_reads.push_back(irp);
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        auto &queue = impl.pending_reads;
        queue.erase(std::remove(queue.begin(), queue.end(), irp), queue.end());
        guard.unlock();
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    return STATUS_PENDING;  // left pending on purpose
}

VOID NTAPI UnloadPrinterDriver(PDRIVER_OBJECT driver)
{
    (void)driver;  // every device is deleted by its SimPrinter before the unload
}

NTSTATUS NTAPI PrinterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->DriverUnload = UnloadPrinterDriver;
    return STATUS_SUCCESS;
}

// Loads the shared driver when needed and reserves the lowest free device number.
PDRIVER_OBJECT AcquireDriver(SimPrinter::Impl *impl, unsigned *index)
{
    std::lock_guard<std::mutex> guard(g_driver.lock);
    if (!g_driver.driver) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        g_driver.driver = Driver::Load(PrinterDriverEntry, u"SimUsbPrint", &status);
        if (!g_driver.driver || !NT_SUCCESS(status)) {
            g_driver.driver.reset();
            throw std::runtime_error("the simulated printer's driver did not load");
        }
    }
    unsigned n = 0;
    while (g_driver.indices.count(n) != 0) ++n;
    g_driver.indices.insert(n);
    g_driver.live.insert(impl);
    *index = n;
    return g_driver.driver->Object();
}

// Gives up a printer's device number; the last one unloads the driver.
void ReleaseDriver(SimPrinter::Impl *impl, unsigned index)
{
    std::unique_ptr<Driver> unload;
    {
        std::lock_guard<std::mutex> guard(g_driver.lock);
        g_driver.live.erase(impl);
        g_driver.indices.erase(index);
        if (g_driver.indices.empty()) unload = std::move(g_driver.driver);
    }
    unload.reset();
}

}  // namespace

SimPrinter::SimPrinter(PrinterConfig config) : impl_(std::make_unique<Impl>())
{
    impl_->config = std::move(config);
    PDRIVER_OBJECT driver = AcquireDriver(impl_.get(), &impl_->index);
    impl_->device_name = u"\\Device\\SimUsbPrint" + ksim::W(std::to_string(impl_->index).c_str());
    UNICODE_STRING name = detail::CountedView(impl_->device_name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Impl *), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ReleaseDriver(impl_.get(), impl_->index);
        throw std::runtime_error("the simulated printer's device was not created");
    }
    *static_cast<Impl **>(device->DeviceExtension) = impl_.get();
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    impl_->device = device;
    UNICODE_STRING link = detail::CountedView(impl_->config.hardware_id);
    if (!NT_SUCCESS(IoCreateSymbolicLink(&link, &name))) {
        // Two printers under one hardware id would make opens ambiguous.
        IoDeleteDevice(device);
        ReleaseDriver(impl_.get(), impl_->index);
        throw std::invalid_argument("hardware id already in use: " + Narrow(impl_->config.hardware_id));
    }
    reg::CreateKey(impl_->PresenceKey());
}

SimPrinter::~SimPrinter()
{
    if (impl_->kernel_gone) return;  // its device went with the kernel
    std::vector<Finished> done;
    bool files_open;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        TakeReads(*impl_, nullptr, STATUS_DEVICE_NOT_CONNECTED, &done);
        impl_->plugged = false;
        impl_->removed = true;
        impl_->replies.clear();
        files_open = !impl_->open_files.empty();
    }
    CompleteAll(done);
    UNICODE_STRING link = detail::CountedView(impl_->config.hardware_id);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(impl_->device);
    reg::DeleteKey(impl_->PresenceKey());
    if (files_open) {
        // Files still point at the device: keep its state and the driver until the kernel goes.
        std::lock_guard<std::mutex> guard(g_driver.lock);
        g_driver.live.erase(impl_.get());
        g_driver.removed.push_back(std::move(impl_));
        return;
    }
    ReleaseDriver(impl_.get(), impl_->index);
}

const u16 &SimPrinter::HardwareId() const { return impl_->config.hardware_id; }
const u16 &SimPrinter::LinkedId() const { return impl_->config.linked_id; }

void SimPrinter::WriteLinkConfig(const u16 &port_name) const
{
    u16 key = u16(kLinkKeyRoot) + u"\\" + port_name;
    reg::SetString(key, u"HardwareId", impl_->config.hardware_id);
    reg::SetString(key, u"LinkedId", impl_->config.linked_id);
}

void SimPrinter::Unplug()
{
    std::vector<Finished> done;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->plugged = false;
        impl_->replies.clear();  // what the device had not yet delivered goes with it
        TakeReads(*impl_, nullptr, STATUS_DEVICE_NOT_CONNECTED, &done);
    }
    reg::DeleteKey(impl_->PresenceKey());
    CompleteAll(done);
}

void SimPrinter::Plug()
{
    reg::CreateKey(impl_->PresenceKey());
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->plugged = true;
}

void SimPrinter::QueueReply(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty()) return;
    std::vector<Finished> done;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->replies.push_back(bytes);
        MatchRepliesToReads(*impl_, &done);
    }
    CompleteAll(done);
}

void SimPrinter::FailOpens(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->open_failure = status;
}

void SimPrinter::FailWrite(unsigned nth, NTSTATUS status)
{
    if (nth == 0) return;
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->write_failures.emplace_back(impl_->writes_seen + nth, status);
}

void SimPrinter::SetWriteDelay(int64_t ticks)
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->write_delay = ticks;
}

void SimPrinter::SetNeverAnswer(bool never)
{
    std::vector<Finished> done;
    {
        std::lock_guard<std::mutex> guard(impl_->lock);
        impl_->never_answer = never;
        MatchRepliesToReads(*impl_, &done);
    }
    CompleteAll(done);
}

std::vector<OpenRecord> SimPrinter::Opens() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->opens;
}

std::vector<WriteRecord> SimPrinter::Writes() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->writes;
}

std::vector<uint8_t> SimPrinter::WrittenBytes() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->written;
}

size_t SimPrinter::StatusRequests() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->status_requests;
}

size_t SimPrinter::ReadsSeen() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->reads_seen;
}

size_t SimPrinter::PendingReads() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->pending_reads.size();
}

size_t SimPrinter::OpenFiles() const
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->open_files.size();
}

void SimPrinter::ClearRecords()
{
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->opens.clear();
    impl_->writes.clear();
    impl_->written.clear();
    impl_->status_requests = 0;
    impl_->reads_seen = 0;
}

PDEVICE_OBJECT SimPrinter::Device() const { return impl_->device; }

}  // namespace ksim::usb

namespace ksim::detail {

void UsbPrintersShutdown()
{
    using usb::g_driver;
    std::unique_ptr<Driver> unload;
    std::vector<std::unique_ptr<usb::SimPrinter::Impl>> removed;
    {
        std::lock_guard<std::mutex> guard(g_driver.lock);
        for (const auto &impl : g_driver.removed) g_driver.indices.erase(impl->index);
        removed.swap(g_driver.removed);
        if (g_driver.live.empty()) {
            unload = std::move(g_driver.driver);
        } else {
            // A SimPrinter outlives the kernel (a test forgot it): its device is gone with the
            // kernel; forget the driver without calling into what is being torn down.
            for (auto *impl : g_driver.live) impl->kernel_gone = true;
            g_driver.live.clear();
            g_driver.indices.clear();
            static auto *abandoned = new std::vector<Driver *>;
            abandoned->push_back(g_driver.driver.release());
        }
    }
    unload.reset();
}

}  // namespace ksim::detail
