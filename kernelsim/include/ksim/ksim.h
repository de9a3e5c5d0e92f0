// ksim.h - the test side of the kernel stand-in.
//
// Tests, tools and benchmarks use this to bring up a kernel, drive time, seed the registry,
// load drivers, enumerate devices, act as an application, and inspect what the kernel saw.
// Driver code never includes it. It knows no product: the drivers a test loads bring their own.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ksim {

using u16 = std::u16string;

// UTF-16 helpers for tests (WCHAR is 16-bit in this build).
u16 W(const char *ascii);
std::string Narrow(const u16 &text);
inline const WCHAR *Wz(const u16 &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }
u16 FromWz(const WCHAR *s);
u16 FromUnicodeString(const UNICODE_STRING &s);

// ---------------------------------------------------------------------------------------------
// Kernel lifetime. One Kernel exists at a time; its destructor stops what is left, checks for
// leaks (recorded as violations) and resets all state for the next test.
// ---------------------------------------------------------------------------------------------
enum class ClockMode {
    Virtual,   // time moves only when every participant thread is blocked (discrete events)
    RealTime,  // time is the host's monotonic clock; for the demo and benchmarks
};

// Windows ends timed waits and delays only at clock interrupts, and keeps the interrupt time
// (KeQueryInterruptTime, the base of relative waits) per tick: a wait ends at the first tick at or
// after its deadline, so a relative wait of 1 ms ends at the next tick. The tick is 15.625 ms unless
// some program has raised the timer resolution (timeBeginPeriod(1) gives 1 ms).
constexpr int64_t kWindowsDefaultTick = 156250;  // 100 ns units
constexpr int64_t kOneMillisecondTick = 10000;

struct Options {
    ClockMode clock = ClockMode::Virtual;
    // The clock interrupt's period, on either clock; ticks count from the kernel's start. 0: every
    // wait ends exactly at its deadline. Zero time-outs (polls) never wait for a tick.
    int64_t clock_tick = 0;
    bool echo_debug = false;          // copy DbgPrint output to stderr as well
    bool abort_on_violation = false;  // abort() at the first verifier violation (for debugging)
};

class Kernel {
public:
    explicit Kernel(Options options = {});
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;
};

bool KernelActive();
// Tells kernels apart: a number no earlier Kernel of this process had, 0 while none runs. Test-side
// objects that outlive their kernel use it to leave the next one alone.
uint64_t CurrentKernel();

// ---------------------------------------------------------------------------------------------
// Time. Units are the kernel's: 100 ns. The thread that created the Kernel is the controller:
// it is a participant whose own waits (Advance) yield to every kernel deadline due at the
// same time, so that after Advance(d) every thread has run everything due up to now + d.
// ---------------------------------------------------------------------------------------------
constexpr int64_t kTicksPerMs = 10000;
int64_t Now();
void Advance(int64_t ticks);
inline void AdvanceMs(int64_t ms) { Advance(ms * kTicksPerMs); }
// Wait until every participant is blocked in a kernel wait, without moving time.
void Settle();

// Threads that tests start and that call into the kernel register for their lifetime, so that
// time does not move while they run. System threads are participants by birth.
class Participant {
public:
    Participant();
    ~Participant();
    Participant(const Participant &) = delete;
    Participant &operator=(const Participant &) = delete;
};

// A host thread that is a participant from the moment it is created: its creator registers it,
// so a Settle() right after the constructor already waits for it to block. It stays one until
// its function returns. Join() waits as a kernel wait, so the virtual clock keeps running.
class ParticipantThread {
public:
    explicit ParticipantThread(std::function<void()> fn);
    ~ParticipantThread();  // joins
    ParticipantThread(const ParticipantThread &) = delete;
    ParticipantThread &operator=(const ParticipantThread &) = delete;
    bool Done() const;
    void Join();
private:
    struct State;
    std::shared_ptr<State> state_;
};

// Blocks the calling participant (as a kernel wait would) until pred() holds. pred is checked
// whenever every other participant is blocked; between checks time moves to the next pending
// deadline. pred runs without any stand-in lock held, so it may call anything here.
// Use it to wait for a test's own threads or for a driver's threads to reach a state.
void WaitUntil(const std::function<bool()> &pred);

// ---------------------------------------------------------------------------------------------
// The verifier: rules a kernel enforces or Driver Verifier checks.
// ---------------------------------------------------------------------------------------------
struct Violation {
    std::string rule;    // short rule name, e.g. "irp-completed-twice"
    std::string detail;
};
std::vector<Violation> Violations();
void ClearViolations();
// Checks now for pool, handles, thread references and IRPs outstanding; each leak is also
// recorded as a violation. The Kernel destructor runs the same check.
std::vector<Violation> CheckLeaks();

// ---------------------------------------------------------------------------------------------
// Fault injection: make a fallible kernel call fail with a given status.
// ---------------------------------------------------------------------------------------------
enum class Fault {
    PoolAllocation,
    DeviceCreation,
    Attach,
    InterfaceRegistration,
    ThreadCreation,
    ObjectReference,
    RegistryOpen,
    RegistryQuery,
    FileOpen,
    FileRead,
    FileWrite,
    EventCreation,
    ErrorLogAllocation,  // IoAllocateErrorLogEntry answers NULL (status unused)
    WorkItemAllocation,  // IoAllocateWorkItem answers NULL (status unused)
};
// The (skip + 1)-th next call of that kind fails with status, and so do the `count` - 1 after it.
void InjectFault(Fault fault, NTSTATUS status, unsigned skip = 0, unsigned count = 1);
// Runs `action` in the calling thread as the (skip + 1)-th next call of that kind begins, before
// the call does anything else (an injected fault included), once. A test uses it to put an event
// at an exact point inside a driver routine: a Plug and Play request arriving between two steps
// of an open, say. The action may call into the kernel and the drivers.
void BeforeCall(Fault fault, std::function<void()> action, unsigned skip = 0);
// Runs `action` in the calling thread as the next KeWaitForSingleObject on `object` begins (a
// driver's acquire of its mutex, say), before the wait looks at the object; once. A new call of
// this or BeforeSetEvent replaces an action not yet run.
void BeforeWaitOn(const void *object, std::function<void()> action);
// The same for the next KeSetEvent on `event`, before the event is set: a test stops a routine
// there, half-way through the events it sets, to run another routine whole.
void BeforeSetEvent(const KEVENT *event, std::function<void()> action);
void ClearFaults();               // the planned faults and the actions not yet run
uint64_t CallCount(Fault fault);  // calls of that kind made since the kernel started

// ---------------------------------------------------------------------------------------------
// Debug output, port I/O, pool, threads.
// ---------------------------------------------------------------------------------------------
std::vector<std::string> DebugLog();
void ClearDebugLog();

// Port reads (__inbyte / READ_PORT_UCHAR). The default source answers 0x00 on every port.
void SetPortSource(std::function<UCHAR(USHORT port)> source);
struct PortRead {
    USHORT port;
    KIRQL irql;
    int64_t time;
};
std::vector<PortRead> PortReads();

struct PoolBlock {
    const void *address;
    POOL_TYPE type;
    size_t size;
    ULONG tag;
};
std::vector<PoolBlock> OutstandingPool();
std::string TagText(ULONG tag);  // 'QW01' as "QW01"

struct ThreadInfo {
    PKTHREAD thread;
    KPRIORITY priority;
    bool terminated;
    int64_t started_at;
};
std::vector<ThreadInfo> SystemThreads();  // every system thread created since the kernel started
size_t LiveSystemThreads();

// ---------------------------------------------------------------------------------------------
// Object namespace and handles.
// ---------------------------------------------------------------------------------------------
enum class Process { System, Application };
bool ObjectExists(const u16 &path);  // without following a final symbolic link
std::optional<u16> SymbolicLinkTarget(const u16 &link);
// Handles in the process's table; the System process's holds the kernel handles too.
size_t HandleCount(Process process);
size_t KernelHandleCount();  // handles made with OBJ_KERNEL_HANDLE
// The application closes a handle value of its own choosing (NtClose from user mode): a value of
// its own table closes that handle, whoever made it; a kernel handle is not the application's to
// close (STATUS_INVALID_HANDLE), nor is any value it does not hold.
NTSTATUS CloseApplicationHandle(HANDLE handle);

struct InterfaceInfo {
    u16 symbolic_link;
    GUID guid;
    PDEVICE_OBJECT pdo;
    bool enabled;
};
std::vector<InterfaceInfo> Interfaces();

// Every ZwCreateFile call, as made (the object attributes included).
struct FileCreateCall {
    u16 path;
    ACCESS_MASK desired_access;
    ULONG object_attributes;
    bool has_root_directory;
    bool has_security_descriptor;
    bool has_allocation_size;
    ULONG file_attributes;
    ULONG share_access;
    ULONG create_disposition;
    ULONG create_options;
    ULONG ea_length;
    Process process;
    NTSTATUS status;
};
std::vector<FileCreateCall> FileCreates();

uint64_t PoStartNextPowerIrpCalls();

// ---------------------------------------------------------------------------------------------
// The system error log: every packet drivers wrote with IoWriteErrorLogEntry, as the event log
// received it. The verifier checks each packet when it is written (its size, its insertion
// strings, and its message number against the driver's message table when one is set).
// ---------------------------------------------------------------------------------------------
struct ErrorLogEntry {
    const void *io_object = nullptr;  // the device or driver object the packet was allocated for
    u16 source;                       // the driver's name without "\\Driver\\": the event's source
    NTSTATUS error_code = 0;          // the message number
    NTSTATUS final_status = 0;
    ULONG unique_value = 0;
    UCHAR major = 0;
    std::vector<u16> strings;       // the insertion strings, %2 onwards
    std::vector<uint8_t> dump_data;
    int64_t time = 0;               // kernel time of the write
    u16 text;                       // the message with its insertions made; empty without a table
};
std::vector<ErrorLogEntry> ErrorLog();
void ClearErrorLog();
// The message table resource (RT_MESSAGETABLE, as a message compiler writes it) of a driver's
// image. The driver's packets must then name messages of the table, and their text is rendered
// as the event log shows it. Throws std::invalid_argument when the table is malformed.
void SetMessageTable(PDRIVER_OBJECT driver, const std::vector<uint8_t> &resource);
// The text of message `id` in a message table resource, if it has one.
std::optional<u16> MessageText(const std::vector<uint8_t> &resource, ULONG id);
// Every message number of a message table resource, in ascending order.
std::vector<ULONG> MessageIds(const std::vector<uint8_t> &resource);

// Work items queued and not yet finished (their routines still to run or running).
size_t PendingWorkItems();
// While held, queued work items wait (as a kernel wait) before their routines start; released
// (false), they run. The kernel's teardown releases them.
void HoldWorkItems(bool hold);

// Selected kernel calls in the order they were made, recorded from StartCallTrace() (which also
// forgets what was recorded) until the kernel goes: IofCompleteRequest and IofCallDriver (with
// the request's function), PoCallDriver, IoDetachDevice, IoDeleteDevice, IoCreateSymbolicLink,
// IoDeleteSymbolicLink, IoSetDeviceInterfaceState, IoOpenDeviceRegistryKey, ZwOpenKey,
// RtlWriteRegistryValue, RtlDeleteRegistryValue, ExAllocatePoolWithTag, ExFreePoolWithTag,
// KeSetEvent, KeDelayExecutionThread (value: the interval), ZwCancelIoFile.
struct KernelCall {
    std::string routine;
    const void *object = nullptr;  // the device, event, pool block or file handle acted on
    PIRP request = nullptr;        // for the request calls
    UCHAR major = 0, minor = 0;    // the request's function at the call
    u16 name;                      // the path, link or value name the call takes, if any
    uint64_t value = 0;            // access mask, RelativeTo, pool type, status or new state
    uint64_t value2 = 0;           // ZwOpenKey: object attributes; pool calls: the tag
    Process process = Process::System;
};
void StartCallTrace();
std::vector<KernelCall> CallTrace();

// ---------------------------------------------------------------------------------------------
// Registry: an in-memory tree, case-insensitive names, typed values.
// Paths are absolute object-namespace paths: u"\\REGISTRY\\MACHINE\\SOFTWARE\\...".
// ---------------------------------------------------------------------------------------------
namespace reg {
struct Value {
    ULONG type;
    std::vector<uint8_t> data;
};
void CreateKey(const u16 &path);  // creates missing parents too
bool DeleteKey(const u16 &path);  // with its subkeys
bool KeyExists(const u16 &path);
void SetValue(const u16 &key, const u16 &name, ULONG type, const void *data, size_t length);
void SetString(const u16 &key, const u16 &name, const u16 &text, ULONG type = REG_SZ);  // with its null
void SetDword(const u16 &key, const u16 &name, ULONG value);
bool DeleteValue(const u16 &key, const u16 &name);
std::optional<Value> GetValue(const u16 &key, const u16 &name);
std::optional<u16> GetString(const u16 &key, const u16 &name);  // up to the first null
std::vector<u16> ValueNames(const u16 &key);
}  // namespace reg

// ---------------------------------------------------------------------------------------------
// Requests: results and pending requests, shared by the PnP and application sides.
// ---------------------------------------------------------------------------------------------
struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> data;  // buffered output copied back: `information` bytes
};

class PendingIo {
public:
    PendingIo();
    PendingIo(PendingIo &&) noexcept;
    PendingIo &operator=(PendingIo &&) noexcept;
    ~PendingIo();
    bool Valid() const;
    bool Done() const;
    NTSTATUS DispatchStatus() const;  // what the dispatch routine returned
    IoResult Wait();                  // blocks (as a kernel wait) until completed
    bool Cancel();                    // IoCancelIrp; true when a cancel routine was called
    PIRP Irp() const;                 // valid until completion
    struct State;
private:
    explicit PendingIo(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    friend class AppFile;
    friend class Pdo;
};

// ---------------------------------------------------------------------------------------------
// Drivers and Plug and Play.
// ---------------------------------------------------------------------------------------------
class Driver {
public:
    // Creates the driver object and calls its entry. A failed entry leaves no driver object.
    static std::unique_ptr<Driver> Load(PDRIVER_INITIALIZE entry, const u16 &service_name, NTSTATUS *status);
    ~Driver();  // unloads if still loaded
    PDRIVER_OBJECT Object() const;
    // Calls DriverUnload; every device must be gone by then. A driver whose kernel has gone is
    // only forgotten: its objects went with that kernel.
    void Unload();
private:
    Driver() = default;
    PDRIVER_OBJECT object_ = nullptr;
    uint64_t kernel_ = 0;
};

// A physical device object enumerated by the stand-in's root bus. Its hardware key is
// \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\PORTS\<instance>\Device Parameters.
class Pdo {
public:
    explicit Pdo(const u16 &device_name = u"\\Device\\00000002");
    ~Pdo();
    PDEVICE_OBJECT Object() const;
    PDEVICE_OBJECT Top() const;  // top of the stack above it
    const u16 &Name() const;
    u16 HardwareKeyPath() const;
    NTSTATUS AddDevice(const Driver &driver);

    // How the bus answers what reaches the PDO (PnP, power, system control).
    void SetAnswer(UCHAR major, NTSTATUS status, bool pend = false);
    // The bus completes requests of that major function with the status it finds in them, as a
    // bus driver does with a minor function it does not handle: a request whose drivers above set
    // no status keeps the one the PnP manager preset (STATUS_NOT_SUPPORTED).
    void AnswerAsFound(UCHAR major);
    size_t HeldCount() const;
    void CompleteHeld(NTSTATUS status);  // completes the oldest request the bus left pending
    struct Seen {
        UCHAR major;
        UCHAR minor;
        NTSTATUS status;  // IoStatus.Status as the request reached the bus
    };
    std::vector<Seen> BusSaw() const;

    PendingIo SendAsync(UCHAR major, UCHAR minor);  // from the PnP manager's side
    IoResult Send(UCHAR major, UCHAR minor);
    bool Removed() const;  // the PDO has seen IRP_MN_REMOVE_DEVICE
private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------------
// The application side: an open file on a device, buffered I/O.
// ---------------------------------------------------------------------------------------------
class AppFile {
public:
    // Follows symbolic links to the named device, sends IRP_MJ_CREATE to the top of its stack.
    // On failure *out stays empty.
    static NTSTATUS Open(const u16 &name, std::unique_ptr<AppFile> *out);
    ~AppFile();  // Close() if not yet closed
    IoResult Read(ULONG length);
    PendingIo ReadAsync(ULONG length);
    IoResult Write(const std::vector<uint8_t> &bytes);
    PendingIo WriteAsync(const std::vector<uint8_t> &bytes);
    IoResult Ioctl(ULONG code, const void *input, ULONG input_length, ULONG output_length);
    PendingIo IoctlAsync(ULONG code, const void *input, ULONG input_length, ULONG output_length);
    PendingIo SendAsync(UCHAR major, UCHAR minor = 0);  // any other major function
    // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no request on the file is outstanding.
    void Close();
    void CleanupOnly();  // IRP_MJ_CLEANUP alone
    void CloseOnly();    // IRP_MJ_CLOSE alone (as a host that skips cleanup would)
    PFILE_OBJECT FileObject() const;
    struct Impl;
private:
    AppFile() = default;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ksim
