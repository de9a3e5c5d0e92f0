// io_manager.cpp - the I/O manager: device objects and their stacks, IRPs, sending and
// completing them, completion routines, cancellation and the default dispatch.
//
// IRP records live in a table keyed by the IRP's address (io_internal.h). A freed IRP is not
// released at once: it sits in a quarantine, filled with a pattern, so that a late second
// completion is recognised for what it is instead of scribbling on reused memory.
//
// Runs at any IRQL up to DISPATCH_LEVEL, like the routines it stands in for.
#include "io_internal.h"

#include <cstdlib>
#include <deque>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace ksim::detail::io {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr size_t kQuarantineSize = 1024;
constexpr unsigned char kFreedPattern = 0xDD;

std::string Hex(const void *p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

// ---- the IRP table ------------------------------------------------------------------------
struct IrpTable {
    std::mutex mutex;
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live;
    std::deque<PIRP> quarantine;  // oldest first
    std::unordered_set<PIRP> freed;
    uint64_t next_serial = 1;
};
IrpTable &Irps()
{
    static IrpTable table;
    return table;
}

size_t IrpBytes(CCHAR stack_size)
{
    // One spare location below the first: a driver that writes the next location of a
    // request with no locations left lands there, and IofCallDriver reports it.
    return sizeof(IRP) + (static_cast<size_t>(stack_size) + 1) * sizeof(IO_STACK_LOCATION);
}

// Table mutex held. Moves the IRP's memory into the quarantine.
void QuarantineLocked(IrpTable &t, PIRP irp)
{
    memset(irp, kFreedPattern, IrpBytes(irp->StackCount));
    t.quarantine.push_back(irp);
    t.freed.insert(irp);
    while (t.quarantine.size() > kQuarantineSize) {
        PIRP old = t.quarantine.front();
        t.quarantine.pop_front();
        t.freed.erase(old);
        free(old);
    }
}

// Table mutex held. The IRP leaves the table; its memory goes when no canceller pins it.
void FreeLocked(IrpTable &t, const std::shared_ptr<IrpRecord> &rec)
{
    rec->state = IrpRecord::State::Final;
    t.live.erase(rec->irp);
    if (rec->pins > 0) {
        rec->free_deferred = true;
        t.freed.insert(rec->irp);  // a late completion is recognised while its memory waits
        return;
    }
    QuarantineLocked(t, rec->irp);
}

// ---- device records -----------------------------------------------------------------------
void DestroyDevice(void *body)
{
    auto *device = static_cast<PDEVICE_OBJECT>(body);
    delete Node(device);
    free(device);
}

void UnlinkFromDriverLocked(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver == nullptr) return;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

// ---- deferred release of files ---------------------------------------------------------------
// A request's file reference may be the file's last, and its release sends IRP_MJ_CLOSE, which
// a driver expects at PASSIVE_LEVEL. A driver may complete at DISPATCH_LEVEL, even holding its
// own spin lock; the I/O manager then leaves the release to a worker thread of the system
// process, as Windows defers such object deletions.
struct DeferredReleases {
    std::mutex mutex;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Worker> workers;
};
DeferredReleases &Deferred()
{
    static DeferredReleases d;
    return d;
}

void ReleaseFileReference(PFILE_OBJECT file)
{
    if (CurrentIrql() == PASSIVE_LEVEL) {
        ObRelease(file);
        return;
    }
    // The worker counts as running from now on, so the clock waits for it.
    ParticipantRecord *participant = RegisterParticipant("deferred file release");
    auto finished = std::make_shared<std::atomic<bool>>(false);
    DeferredReleases &d = Deferred();
    std::lock_guard<std::mutex> guard(d.mutex);
    for (auto it = d.workers.begin(); it != d.workers.end();) {
        if (!*it->finished) {
            ++it;
            continue;
        }
        it->thread.join();
        it = d.workers.erase(it);
    }
    std::thread worker([participant, file, finished] {
        BindParticipant(participant);
        {
            ScopedProcess system(Process::System);
            ObRelease(file);
        }
        *finished = true;
        UnregisterParticipant();
    });
    d.workers.push_back({std::move(worker), finished});
}

// ---- completion ---------------------------------------------------------------------------
// The I/O manager's own completion, once every driver is done with the request: hand the
// results to the requester and release what the request held.
void FinishRequest(const std::shared_ptr<IrpRecord> &rec)
{
    PIRP irp = rec->irp;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    bool has_output = rec->output != IrpRecord::Output::None;
    if (has_output && information > rec->output_length) {
        RecordViolation("information-exceeds-buffer",
                        "Information " + std::to_string(information) + " for a buffer of " +
                            std::to_string(rec->output_length) + " bytes");
        information = rec->output_length;
    }
    // Output is handed back for success and warning statuses, as the I/O manager does.
    bool copy_out = has_output && !NT_ERROR(status);
    if (!copy_out) {
        if (rec->output == IrpRecord::Output::InData) rec->data.clear();
    } else if (rec->output == IrpRecord::Output::SystemBuffer) {
        const uint8_t *from = rec->system_buffer.data();
        if (rec->copy_to != nullptr) memcpy(rec->copy_to, from, information);
        else rec->data.assign(from, from + information);
    } else if (rec->output == IrpRecord::Output::InData) {
        rec->data.resize(information);
    }
    // A request that fails without having been pending leaves the caller's status block and
    // event alone: the caller learns the status from the call itself.
    bool failed_at_once = NT_ERROR(status) && !irp->PendingReturned;
    if (failed_at_once) rec->iosb = nullptr;
    if (rec->iosb != nullptr) {
        rec->iosb->Status = status;
        rec->iosb->Information = information;
    }
    if (rec->file != nullptr && rec->advance_position && NT_SUCCESS(status))
        rec->file->CurrentByteOffset.QuadPart += static_cast<LONGLONG>(information);
    rec->status = status;
    rec->information = information;
    std::vector<uint8_t>().swap(rec->system_buffer);
    std::vector<uint8_t>().swap(rec->input_copy);

    PKEVENT event = failed_at_once ? nullptr : rec->event;
    if (failed_at_once && rec->event != nullptr) ObRelease(rec->event);
    PFILE_OBJECT file = rec->file;
    rec->event = nullptr;
    rec->file = nullptr;
    {
        IrpTable &t = Irps();
        std::lock_guard<std::mutex> guard(t.mutex);
        FreeLocked(t, rec);
    }
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        ObRelease(event);
    }
    // The request's file reference goes before waiters learn of the completion, so that a
    // close it was holding back has been sent by then.
    if (file != nullptr) ReleaseFileReference(file);
    std::lock_guard<std::mutex> lock(DispatcherMutex());
    rec->done = true;
    WakeWaiters();
}

// Completion routines decide by the final status and the cancel flag, as Windows does.
bool InvokesRoutine(const IO_STACK_LOCATION &loc, PIRP irp)
{
    if (loc.CompletionRoutine == nullptr) return false;
    if (NT_SUCCESS(irp->IoStatus.Status) && (loc.Control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(irp->IoStatus.Status) && (loc.Control & SL_INVOKE_ON_ERROR)) return true;
    return irp->Cancel && (loc.Control & SL_INVOKE_ON_CANCEL);
}

void ClearLocation(PIO_STACK_LOCATION loc)
{
    loc->MinorFunction = 0;
    loc->Flags = 0;
    loc->Control = 0;
    memset(&loc->Parameters, 0, sizeof loc->Parameters);
    loc->FileObject = nullptr;
    loc->CompletionRoutine = nullptr;
    loc->Context = nullptr;
}

// Table mutex held. Completion reaches location `index`: remember whether it was marked
// pending, and check a dispatch routine that returned STATUS_PENDING for it.
void PassLocationLocked(IrpRecord &rec, int index, bool marked)
{
    if (index < 1 || static_cast<size_t>(index) >= rec.locations.size()) return;
    auto &loc = rec.locations[index];
    loc.passed = true;
    loc.marked = marked;
    if (loc.dispatch_pending && !marked)
        RecordViolation("pending-not-marked", "IRP " + Hex(rec.irp) + " location " + std::to_string(index));
}

}  // namespace

std::mutex &DeviceMutex()
{
    static std::mutex mutex;
    return mutex;
}

DeviceNode *Node(PDEVICE_OBJECT device)
{
    return device == nullptr ? nullptr : static_cast<DeviceNode *>(device->DeviceObjectExtension);
}

PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT device)
{
    while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(DeviceMutex());
    return AttachedTopLocked(device);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP AllocateIrp(CCHAR stack_size, std::shared_ptr<IrpRecord> *record)
{
    if (stack_size < 1) stack_size = 1;
    size_t bytes = IrpBytes(stack_size);
    auto *irp = static_cast<PIRP>(calloc(1, bytes));
    if (irp == nullptr) return nullptr;
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    auto *first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1;
    irp->Tail.Overlay.CurrentStackLocation = first + stack_size;

    auto rec = std::make_shared<IrpRecord>();
    rec->irp = irp;
    rec->locations.resize(static_cast<size_t>(stack_size) + 2);
    IrpTable &t = Irps();
    std::lock_guard<std::mutex> guard(t.mutex);
    rec->serial = t.next_serial++;
    t.live[irp] = rec;
    if (record != nullptr) *record = rec;
    return irp;
}

std::shared_ptr<IrpRecord> RecordOf(PIRP irp)
{
    IrpTable &t = Irps();
    std::lock_guard<std::mutex> guard(t.mutex);
    auto it = t.live.find(irp);
    return it == t.live.end() ? nullptr : it->second;
}

void WaitForRecord(const std::shared_ptr<IrpRecord> &record)
{
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    DispatcherWait(lock, [&] { return record->done.load(); }, nullptr);
}

bool CancelRecord(const std::shared_ptr<IrpRecord> &rec)
{
    IrpTable &t = Irps();
    {
        std::lock_guard<std::mutex> guard(t.mutex);
        if (rec->state == IrpRecord::State::Final) return false;
        ++rec->pins;
    }
    BOOLEAN cancelled = IoCancelIrp(rec->irp);
    std::lock_guard<std::mutex> guard(t.mutex);
    if (--rec->pins == 0 && rec->free_deferred) {
        rec->free_deferred = false;
        QuarantineLocked(t, rec->irp);
    }
    return cancelled != FALSE;
}

}  // namespace ksim::detail::io

namespace ksim::detail {

size_t IoOutstandingIrps()
{
    auto &t = io::Irps();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.live.size();
}

namespace io {
void JoinDeferredReleases()
{
    std::vector<DeferredReleases::Worker> workers;
    {
        DeferredReleases &d = Deferred();
        std::lock_guard<std::mutex> guard(d.mutex);
        workers.swap(d.workers);
    }
    for (auto &w : workers) w.thread.join();
}

// Forgets every IRP (kernel teardown: leaks have been reported by then).
void ResetIrps()
{
    auto &t = Irps();
    std::lock_guard<std::mutex> guard(t.mutex);
    for (auto &[irp, rec] : t.live) free(irp);
    t.live.clear();
    for (PIRP irp : t.quarantine) free(irp);
    t.quarantine.clear();
    t.freed.clear();
}
}  // namespace io

}  // namespace ksim::detail

using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

// ---- devices ----------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    NTSTATUS status;
    if (FaultFires(Fault::DeviceCreation, &status)) return status;
    size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~static_cast<size_t>(15);
    auto *device = static_cast<PDEVICE_OBJECT>(calloc(1, head + DeviceExtensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<uint8_t *>(device) + head : nullptr;
    auto *node = new DeviceNode;
    node->device = device;
    device->DeviceObjectExtension = node;
    ObRegister(device, ObType::Device, DestroyDevice);

    if (DeviceName != nullptr && DeviceName->Length != 0) {
        node->name = FromCounted(DeviceName);
        status = ObInsertName(node->name, device);
        if (!NT_SUCCESS(status)) {
            node->name.clear();
            ObRelease(device);
            return status;
        }
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    {
        std::lock_guard<std::mutex> guard(DeviceMutex());
        if (DriverObject != nullptr) {
            device->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = device;
        }
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    TraceObjectCall("IoDeleteDevice", DeviceObject);
    DeviceNode *node = Node(DeviceObject);
    u16 name;
    {
        std::lock_guard<std::mutex> guard(DeviceMutex());
        if (node->deleted) return;
        if (node->lower != nullptr && node->lower->AttachedDevice == DeviceObject) {
            RecordViolation("device-deleted-while-attached",
                            "device " + Hex(DeviceObject) + " is still attached to " + Hex(node->lower));
            // Unhooked here, so that the stack below (and a late IoDetachDevice) never reaches
            // the freed object.
            node->lower->AttachedDevice = nullptr;
            node->lower = nullptr;
        }
        node->deleted = true;
        UnlinkFromDriverLocked(DeviceObject);
        name.swap(node->name);
    }
    if (node->bus_pdo != nullptr) ForgetInterfacesOf(DeviceObject);
    if (!name.empty()) ObRemoveName(name);
    ObRelease(DeviceObject);  // the creation reference; files may hold it a while longer
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    NTSTATUS status;
    if (FaultFires(Fault::Attach, &status)) return nullptr;
    std::lock_guard<std::mutex> guard(DeviceMutex());
    PDEVICE_OBJECT top = AttachedTopLocked(TargetDevice);
    top->AttachedDevice = SourceDevice;
    Node(SourceDevice)->lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (SourceDevice->AlignmentRequirement < top->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    TraceObjectCall("IoDetachDevice", TargetDevice->AttachedDevice);
    std::lock_guard<std::mutex> guard(DeviceMutex());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper != nullptr && Node(upper)->lower == TargetDevice) Node(upper)->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> guard(DeviceMutex());
    PDEVICE_OBJECT top = AttachedTopLocked(DeviceObject);
    ObAddRef(top);
    return top;
}

// ---- IRPs --------------------------------------------------------------------------------------

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    return AllocateIrp(StackSize, nullptr);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    auto &t = Irps();
    std::lock_guard<std::mutex> guard(t.mutex);
    auto it = t.live.find(Irp);
    if (it == t.live.end()) {
        RecordViolation("irp-freed-twice", "IRP " + Hex(Irp) + " is not allocated");
        return;
    }
    auto rec = it->second;
    FreeLocked(t, rec);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) {
        RecordViolation("irp-stack-overflow",
                        "IRP " + Hex(Irp) + " has no stack location left for device " + Hex(DeviceObject));
        IoSkipCurrentIrpStackLocation(Irp);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
    loc->DeviceObject = DeviceObject;
    int index = Irp->CurrentLocation;
    TraceRequestCall("IofCallDriver", DeviceObject, Irp, 0);

    auto rec = RecordOf(Irp);
    uint32_t generation = 0;
    if (rec != nullptr) {
        auto &t = Irps();
        std::lock_guard<std::mutex> guard(t.mutex);
        auto &slot = rec->locations[index];
        generation = ++slot.generation;
        slot.passed = slot.marked = slot.dispatch_pending = false;
    }

    UCHAR major = loc->MajorFunction;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (major <= IRP_MJ_MAXIMUM_FUNCTION && DeviceObject->DriverObject != nullptr)
        dispatch = DeviceObject->DriverObject->MajorFunction[major];
    if (dispatch == nullptr) dispatch = InvalidDeviceRequest;
    NTSTATUS status = dispatch(DeviceObject, Irp);

    if (status == STATUS_PENDING && rec != nullptr) {
        auto &t = Irps();
        std::lock_guard<std::mutex> guard(t.mutex);
        auto &slot = rec->locations[index];
        if (slot.generation == generation) {
            if (slot.passed && !slot.marked)
                RecordViolation("pending-not-marked", "IRP " + Hex(Irp) + " location " + std::to_string(index));
            else if (!slot.passed)
                slot.dispatch_pending = true;  // checked when completion reaches it
        }
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    if (CallTraceOn() && Irp->CurrentLocation <= Irp->StackCount)
        TraceRequestCall("IofCompleteRequest", IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp, static_cast<uint32_t>(Irp->IoStatus.Status));
    auto &t = Irps();
    std::shared_ptr<IrpRecord> rec;
    {
        std::lock_guard<std::mutex> guard(t.mutex);
        auto it = t.live.find(Irp);
        if (it == t.live.end()) {
            RecordViolation(t.freed.count(Irp) ? "irp-completed-twice" : "irp-unknown",
                            "IRP " + Hex(Irp) + " completed after it was freed");
            return;
        }
        rec = it->second;
        if (rec->state != IrpRecord::State::Owned) {
            RecordViolation("irp-completed-twice", "IRP " + Hex(Irp) + " is already being completed");
            return;
        }
        rec->state = IrpRecord::State::Completing;
    }
    // A canceller may be exchanging the routine (for null) at this very moment: read atomically.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        RecordViolation("irp-completed-with-cancel-routine", "IRP " + Hex(Irp));
        __atomic_store_n(&Irp->CancelRoutine, nullptr, __ATOMIC_RELEASE);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        RecordViolation("irp-completed-pending", "IRP " + Hex(Irp) + " completed with STATUS_PENDING");

    // Walk up from the completing driver's location to the top. The completion routine found
    // in a location belongs to the driver above it.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
        int index = Irp->CurrentLocation;
        Irp->PendingReturned = (loc->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> guard(t.mutex);
            PassLocationLocked(*rec, index, Irp->PendingReturned);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        bool upper_exists = Irp->CurrentLocation <= Irp->StackCount;
        if (!InvokesRoutine(*loc, Irp)) {
            // Without a routine to look at PendingReturned, the I/O manager carries the mark up.
            if (Irp->PendingReturned && upper_exists) IoMarkIrpPending(Irp);
            ClearLocation(loc);
            continue;
        }
        PIO_COMPLETION_ROUTINE routine = loc->CompletionRoutine;
        PVOID context = loc->Context;
        ClearLocation(loc);
        PDEVICE_OBJECT device = upper_exists ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
        // While its routine runs the request belongs to that driver again: completing it
        // from there (or from a thread the routine wakes) is its right.
        {
            std::lock_guard<std::mutex> guard(t.mutex);
            rec->state = IrpRecord::State::Owned;
        }
        NTSTATUS result = routine(device, Irp, context);
        if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        std::lock_guard<std::mutex> guard(t.mutex);
        if (rec->state != IrpRecord::State::Owned) {
            RecordViolation("irp-completed-twice",
                            "IRP " + Hex(Irp) + " was completed again while its completion routine ran");
            return;
        }
        rec->state = IrpRecord::State::Completing;
    }

    if (!rec->has_requester) {
        // Nobody waits for it: a driver's own request should have been reclaimed by its
        // completion routine returning STATUS_MORE_PROCESSING_REQUIRED.
        RecordViolation("irp-without-requester", "IRP " + Hex(Irp) + " completed up to the I/O manager");
        std::lock_guard<std::mutex> guard(t.mutex);
        FreeLocked(t, rec);
        return;
    }
    FinishRequest(rec);
}

// ---- cancellation -------------------------------------------------------------------------------

namespace {
KSPIN_LOCK g_cancel_lock;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&g_cancel_lock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&g_cancel_lock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine is entered with the cancel spin lock held and releases it itself.
    PDEVICE_OBJECT device = nullptr;
    if (Irp->CurrentLocation <= Irp->StackCount) device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    routine(device, Irp);
    return TRUE;
}
