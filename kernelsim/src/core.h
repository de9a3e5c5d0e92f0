// core.h - the stand-in's internal interfaces between its components.
//
// Components (one or more files each): ke (dispatcher, clock, IRQL, spin locks, threads),
// ex (pool), ob (objects, handles, namespace, symbolic links), io (I/O manager, files,
// harness), cm (registry), rtl, verifier/faults/debug (support).
//
// Locking: the dispatcher lock (DispatcherMutex) guards every dispatcher object's state,
// the clock and the participant counts, exactly as the dispatcher database lock does in
// Windows. Other components have their own std::mutex for their own tables; none of them
// is held while calling into driver code, and none is taken while the dispatcher lock is held
// except the verifier's (a leaf).
#pragma once

#include <ksim/ksim.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <functional>
#include <string>
#include <vector>

namespace ksim::detail {

// ---- support: verifier, faults, debug ------------------------------------------------------
void RecordViolation(const std::string &rule, const std::string &detail);
// Counts the call, and returns true (with *status set) when an injected fault fires for it.
bool FaultFires(Fault fault, NTSTATUS *status);
// Runs the action of BeforeWaitOn (KeWaitForSingleObject) or BeforeSetEvent (KeSetEvent) when
// `object` is the one it was planned for, with that call.
enum class ObjectHook { Wait, SetEvent };
void RunObjectHook(ObjectHook call, const void *object);
void ResetSupport();  // at kernel start and teardown

// ---- call trace ------------------------------------------------------------------------------
// The traced routines test the flag inline and build their record only while it is on; a call
// site whose arguments cost something to make tests CallTraceOn() itself.
extern std::atomic<bool> g_call_trace_on;
inline bool CallTraceOn() { return g_call_trace_on.load(std::memory_order_relaxed); }
void TraceCall(KernelCall call);  // process filled in here
void RecordObjectCall(const char *routine, const void *object, const u16 &name, uint64_t value);
inline void TraceObjectCall(const char *routine, const void *object)
{
    if (CallTraceOn()) RecordObjectCall(routine, object, {}, 0);
}
inline void TraceObjectCall(const char *routine, const void *object, const u16 &name, uint64_t value = 0)
{
    if (CallTraceOn()) RecordObjectCall(routine, object, name, value);
}
// A request call: major and minor from the request's current stack location.
void RecordRequestCall(const char *routine, PDEVICE_OBJECT device, PIRP irp, uint64_t value);
inline void TraceRequestCall(const char *routine, PDEVICE_OBJECT device, PIRP irp, uint64_t value)
{
    if (CallTraceOn()) RecordRequestCall(routine, device, irp, value);
}
void ResetCallTrace();

// ---- ke: IRQL ----------------------------------------------------------------------------
KIRQL CurrentIrql();
// Records a violation when the current IRQL is above `max`. `what` names the call.
void CheckIrqlAtMost(KIRQL max, const char *what);

// ---- ke: dispatcher ------------------------------------------------------------------------
std::mutex &DispatcherMutex();
// Wakes every thread waiting in the dispatcher so it re-checks its condition.
// Call with the dispatcher lock held after changing any dispatcher state.
void WakeWaiters();
// Generic wait used by every blocking primitive of the stand-in (KeWait*, Zw waits, harness
// waits): blocks the calling thread as a kernel wait until satisfied() holds (evaluated with
// the dispatcher lock held) or the relative/absolute timeout expires on the kernel clock.
// timeout == nullptr: no time-out. Returns true when satisfied, false on time-out.
// Must be called with `lock` (on DispatcherMutex) held.
bool DispatcherWait(std::unique_lock<std::mutex> &lock, const std::function<bool()> &satisfied,
                    const LARGE_INTEGER *timeout);
// Dispatcher objects by header: signalled test and the side effects of a satisfied wait
// (auto-reset of synchronization events, mutex ownership). Lock held.
bool ObjectSignalled(DISPATCHER_HEADER *header, PKTHREAD waiter);
void ObjectAcquired(DISPATCHER_HEADER *header, PKTHREAD waiter);
// Dispatcher header types used by the stand-in.
enum : UCHAR {
    kNotificationEventType = 0,
    kSynchronizationEventType = 1,
    kMutantType = 2,
    kThreadType = 6,
};

// ---- ke/ps: threads ---------------------------------------------------------------------------
// The KTHREAD of the calling host thread; host threads that are not system threads get one
// on first use (the controller and application threads).
PKTHREAD CurrentKThread();
bool IsSystemThread(PKTHREAD thread);

// ---- ob: objects, handles, names ------------------------------------------------------------
enum class ObType : uint8_t { Event, Thread, File, Device, Driver, SymbolicLink, Key, Mutex };

// Registers `body` (memory owned by the caller's component) as an object with one reference.
// `destroy` runs when the last reference goes (may be null). `name` may be empty.
void ObRegister(void *body, ObType type, void (*destroy)(void *body));
bool ObIsObject(const void *body, ObType *type = nullptr);
LONG_PTR ObAddRef(void *body);
LONG_PTR ObRelease(void *body);
size_t ObLiveCount(ObType type);

Process CurrentProcess();
class ScopedProcess {  // runs the calling thread in another process context for a while
public:
    explicit ScopedProcess(Process p);
    ~ScopedProcess();
private:
    Process saved_;
};

// A handle holds one reference on its object. Close hooks run when a handle is closed
// (File: the I/O manager sends cleanup when it was the file's last handle). A kernel handle goes
// to the System table and is valid in every process context; any other to the current process's.
NTSTATUS ObInsertHandle(void *body, ACCESS_MASK granted, HANDLE *handle, bool kernel_handle);
inline bool KernelHandleAsked(const OBJECT_ATTRIBUTES *attributes)
{
    return attributes != nullptr && (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
}
// Called by a service that has made a handle for a driver: records the verifier's
// "handle-not-kernel" unless the caller asked for a kernel handle. `service` names the service.
void ObCheckKernelHandle(const OBJECT_ATTRIBUTES *attributes, const char *service);
// Looks a handle up as the current process sees it (kernel handles included) and adds a reference.
NTSTATUS ObReferenceHandle(HANDLE handle, ObType expected, void **body);
// previous_mode UserMode: a close from the application, to which kernel handles are invalid.
NTSTATUS ObCloseHandle(HANDLE handle, KPROCESSOR_MODE previous_mode = KernelMode);
size_t ObKernelHandleCount();
void ObSetCloseHook(ObType type, void (*hook)(void *body, size_t handles_left));
size_t ObHandleCount(Process process, ObType type);
size_t ObHandleCountAll(Process process);

// Names. Paths are compared case-insensitively; "\??\" is an alias of "\DosDevices\".
NTSTATUS ObInsertName(const u16 &path, void *body);  // adds a reference held by the name
void ObRemoveName(const u16 &path);
NTSTATUS ObCreateSymbolicLink(const u16 &link, const u16 &target);
NTSTATUS ObDeleteSymbolicLink(const u16 &link);
// Resolves a path: follows symbolic links on every prefix, then finds the longest named
// object prefix. Returns the object with a reference added and the unparsed rest of the path.
NTSTATUS ObResolve(const u16 &path, void **body, u16 *remaining);
u16 ObNameOf(const void *body);  // empty when unnamed

// ---- io -----------------------------------------------------------------------------------
void IoInitialize();  // register close hooks, the root bus
void IoShutdown();
void IoRelease();  // after the leak check, with no thread left: frees what requests and files left
size_t IoOutstandingIrps();
// Error log packets and work items still outstanding, one entry per leak.
void IoCheckLeaks(std::vector<Violation> *out);

// ---- cm -----------------------------------------------------------------------------------
void CmInitialize();  // creates the standard keys (MACHINE\SOFTWARE, SYSTEM, HARDWARE\DEVICEMAP, ...)
void CmShutdown();

// ---- text -----------------------------------------------------------------------------------
u16 FromCounted(const UNICODE_STRING *s);
// A UNICODE_STRING over text's own characters (no terminating null): valid while text lives
// unchanged.
UNICODE_STRING CountedView(const u16 &text);
bool EqualsInsensitive(const u16 &a, const u16 &b);
u16 Upcase(const u16 &s);

// ---- ke/ex/ob/ps: kernel lifetime and the test API's internals (used by kernel.cpp) -------------
// Each Kernel gets a new generation; per-host-thread state from an older one is stale.
uint64_t KernelGeneration();
void KeReset(ClockMode mode, int64_t tick = 0);  // clock, participants, waiters; starts a new generation
ClockMode KeClockMode();
int64_t KeNow();
void KeAdvance(int64_t ticks);
void KeSettle();
void KeWaitUntil(const std::function<bool()> &pred);
// Real time after which a clock that cannot move is reported as clock-stuck (20 s; tests of
// the guard itself shorten it). Reset with the kernel.
void KeSetStuckLimit(std::chrono::milliseconds limit);
// Participants: threads whose running stops the virtual clock. Register counts the new
// participant as running; Bind makes the calling host thread that participant.
struct ParticipantRecord;
ParticipantRecord *RegisterParticipant(const std::string &name);
void BindParticipant(ParticipantRecord *participant);
ParticipantRecord *CurrentParticipant();  // null when the calling thread is none
void UnregisterParticipant();             // the calling thread's; takes the dispatcher lock
void UnregisterParticipantLocked();       // same, with the dispatcher lock held
// Teardown: waits of system threads end by unwinding the thread (ThreadExitRequest).
void KeStopSystemThreadWaits();
struct ThreadExitRequest {};  // thrown by PsTerminateSystemThread, caught by the thread's wrapper
bool CurrentIsSystemThread();
size_t HeldSpinLocks();  // spin locks the calling thread holds
size_t MutexesOwnedLocked(PKTHREAD thread);  // dispatcher lock held

void PsStopThreads();  // ends and joins what is left of the system threads
void PsReset();
void ObReset();
void ExResetPool();
void SetSupportOptions(const Options &options);
// Leak checks: each appends one entry per leak (not yet recorded as violations).
void ExCheckLeaks(std::vector<Violation> *out);
void ObCheckLeaks(std::vector<Violation> *out);
void PsCheckLeaks(std::vector<Violation> *out);
// References held on an object, and how many of them are handles.
LONG_PTR ObReferenceCount(const void *body);
size_t ObHandlesOn(const void *body);
// Looks a handle up without a type check; *type receives the object's type.
NTSTATUS ObReferenceHandleAnyType(HANDLE handle, void **body, ObType *type);
const char *ObTypeName(ObType type);

}  // namespace ksim::detail
