// io_internal.h - what the I/O manager's files share among themselves: per-device records,
// the I/O manager's bookkeeping for each IRP, and the file services the harness builds on.
//
// Locking: DeviceMutex() guards device stacks (AttachedDevice / lower links), drivers' device
// lists and the per-device records; the IRP table has its own mutex inside io_manager.cpp.
// Both are leaves: nothing else is taken while they are held (the verifier's lock aside), and
// no driver code, completion routine or dispatcher call runs under them.
#pragma once

#include "core.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace ksim::detail::io {

// ---- devices -------------------------------------------------------------------------------
// Kept in DEVICE_OBJECT::DeviceObjectExtension.
struct DeviceNode {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    u16 name;                        // empty when unnamed
    bool deleted = false;
    // Set for the root bus's physical device objects.
    void *bus_pdo = nullptr;  // the Pdo::Impl
    int pdo_index = -1;
    u16 hardware_key;
};
std::mutex &DeviceMutex();
DeviceNode *Node(PDEVICE_OBJECT device);
// The highest device attached above `device` (device itself when none). DeviceMutex held.
PDEVICE_OBJECT AttachedTopLocked(PDEVICE_OBJECT device);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device);
// The dispatch routine of a driver for majors it did not register.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// Registers the root bus driver object's dispatch (io_pnp.cpp).
void PnpInitialize();
void PnpShutdown();
// Removes the interfaces of a physical device object that goes away (io_pnp.cpp).
void ForgetInterfacesOf(PDEVICE_OBJECT pdo);
std::vector<InterfaceInfo> InterfaceList();
uint64_t PowerIrpStarts();

// ---- error log and work items (io_errorlog.cpp, io_workitems.cpp) ----------------------------
void ErrorLogReset();
void ErrorLogCheckLeaks(std::vector<Violation> *out);
// Waits, as a kernel wait, until no work item is queued or running, and joins their threads.
void WaitForWorkItems();
void WorkItemsCheckLeaks(std::vector<Violation> *out);
void WorkItemsReset();

// ---- IRPs ----------------------------------------------------------------------------------
// The I/O manager's record of one IRP: its completion state, the checks made along its way
// and, for requests the I/O manager built, the requester to complete to.
struct IrpRecord {
    PIRP irp = nullptr;
    uint64_t serial = 0;

    // Guarded by the IRP table mutex.
    enum class State { Owned, Completing, Final } state = State::Owned;
    int pins = 0;               // cancellers from outside the IRP's drivers (harness, cancel-I/O)
    bool free_deferred = false;  // freed while pinned: memory released at unpin
    struct Location {
        uint32_t generation = 0;
        bool passed = false;           // completion has gone through this location
        bool marked = false;           // SL_PENDING_RETURNED as completion found it
        bool dispatch_pending = false;  // its dispatch routine returned STATUS_PENDING
    };
    std::vector<Location> locations;  // index = CurrentLocation (1..StackCount)

    // The requester; set before the IRP is sent, read at completion.
    bool has_requester = false;
    PFILE_OBJECT file = nullptr;  // holds a reference while the IRP is outstanding
    PKTHREAD thread = nullptr;
    PIO_STATUS_BLOCK iosb = nullptr;
    PKEVENT event = nullptr;  // holds a reference
    std::vector<uint8_t> system_buffer;
    std::vector<uint8_t> input_copy;  // METHOD_NEITHER input, write data for unbuffered devices
    // Where a read's or a device control's output lies when the drivers are done with it.
    enum class Output { None, SystemBuffer, InData, InCaller } output = Output::None;
    ULONG output_length = 0;
    void *copy_to = nullptr;  // where buffered output goes (null: keep it in `data`)
    bool advance_position = false;

    // The outcome. `done` changes under the dispatcher lock, so waiters can use DispatcherWait.
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> data;
    NTSTATUS dispatch_status = STATUS_PENDING;
};

// Allocates an IRP with its record (what IoAllocateIrp does).
PIRP AllocateIrp(CCHAR stack_size, std::shared_ptr<IrpRecord> *record);
std::shared_ptr<IrpRecord> RecordOf(PIRP irp);  // null when the IRP is not live
void ResetIrps();  // kernel teardown
void JoinDeferredReleases();  // waits for the workers that release files from raised IRQL
// Blocks as a kernel wait until the I/O manager has finished the request.
void WaitForRecord(const std::shared_ptr<IrpRecord> &record);
// IoCancelIrp on a request issued by the I/O manager, safe against its concurrent completion.
bool CancelRecord(const std::shared_ptr<IrpRecord> &record);

// ---- files ---------------------------------------------------------------------------------
struct FileOpen {
    u16 path;
    ACCESS_MASK access = 0;
    ULONG file_attributes = 0;
    ULONG share = 0;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    ULONG ea_length = 0;
    bool kernel_handle = false;  // OBJ_KERNEL_HANDLE: the handle goes to the kernel's table
};
// Opens a device by path as ZwCreateFile does, in the current process; on success returns a
// handle (holding the file's only reference) and the file object.
NTSTATUS OpenFile(const FileOpen &open, HANDLE *handle, PFILE_OBJECT *file);
// A request on an open file, built by the I/O manager. `input` is copied into the system
// buffer (buffered devices) or kept by the record; output_length bytes come back in
// record->data (or at `copy_to`).
struct FileRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG length = 0;  // read/write length
    LARGE_INTEGER offset{};
    ULONG key = 0;
    ULONG ioctl = 0;
    const void *input = nullptr;
    ULONG input_length = 0;
    ULONG output_length = 0;
    void *user_buffer = nullptr;  // the caller's buffer for non-buffered devices
    void *copy_to = nullptr;
    PIO_STATUS_BLOCK iosb = nullptr;
    PKEVENT event = nullptr;  // referenced by the caller; the record takes that reference
};
// Builds and sends the request; returns what the dispatch routine returned.
NTSTATUS SendFileRequest(PFILE_OBJECT file, const FileRequest &request, std::shared_ptr<IrpRecord> *record);
// Cleanup (synchronous) unless already sent; then the file does not send it again.
void SendCleanup(PFILE_OBJECT file);
void SkipCleanup(PFILE_OBJECT file);  // the next handle close sends no cleanup
PDEVICE_OBJECT FileTarget(PFILE_OBJECT file);
std::vector<FileCreateCall> FileCreateLog();
void FilesInitialize();
void FilesShutdown();
void EventsInitialize();

}  // namespace ksim::detail::io

namespace ksim {
struct PendingIo::State {
    std::shared_ptr<detail::io::IrpRecord> record;
};
}  // namespace ksim
