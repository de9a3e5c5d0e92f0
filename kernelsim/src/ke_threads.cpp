// ke_threads.cpp - system threads and thread objects.
//
// PsCreateSystemThread runs the start routine on a real host thread at PASSIVE_LEVEL in the
// System process, registered as a participant of the clock from before it starts until it ends.
// The thread object is a KTHREAD whose dispatcher header is signalled when the thread ends, so
// drivers wait for it as on Windows. The running thread holds a reference on its own object;
// the object (and the KTHREAD memory) goes when that and every other reference are gone.
//
// Host threads that are not system threads (the controller, application threads) get a KTHREAD
// on first use, so that KeGetCurrentThread and mutex ownership work for them too; those are not
// objects and are freed when the kernel is reset.
#include "core.h"

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <thread>

namespace ksim::detail {
struct ThreadEntry;
}

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // first, so that a wait on the thread object sees it
    ksim::detail::ThreadEntry *Entry;  // null for threads that are not system threads
    KPRIORITY Priority;
};

namespace ksim::detail {

// Guarded by the dispatcher lock, except `host`, which only the creator and teardown touch.
struct ThreadEntry {
    PKTHREAD thread = nullptr;
    KPRIORITY priority = 8;
    bool terminated = false;  // the start routine has ended and the object is signalled
    bool finished = false;    // the host thread has nothing left to do
    std::atomic<bool> object_gone{false};  // the thread object's last reference went (any thread)
    int64_t started_at = 0;
    unsigned number = 0;
    PKSTART_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    ParticipantRecord *participant = nullptr;
    std::thread host;
};

namespace {

constexpr KPRIORITY kDefaultPriority = 8;

struct Threads {
    std::mutex lock;  // guards the two lists (not their entries' fields)
    std::list<std::unique_ptr<ThreadEntry>> entries;
    std::list<PKTHREAD> others;  // KTHREADs of host threads that are not system threads
};

Threads &T()
{
    static Threads t;
    return t;
}

struct ThreadIdentity {
    uint64_t generation = 0;
    PKTHREAD thread = nullptr;
    bool system = false;
};
thread_local ThreadIdentity tl_thread;

PKTHREAD NewKThread(ThreadEntry *entry)
{
    auto *thread = new KTHREAD{};
    thread->Header.Type = kThreadType;
    thread->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
    thread->Header.WaitListHead.Flink = thread->Header.WaitListHead.Blink = &thread->Header.WaitListHead;
    thread->Entry = entry;
    thread->Priority = kDefaultPriority;
    return thread;
}

void DestroyThreadObject(void *body)
{
    auto *thread = static_cast<PKTHREAD>(body);
    if (thread->Entry != nullptr) thread->Entry->object_gone = true;
    delete thread;
}

std::string ThreadName(const ThreadEntry *entry)
{
    char text[80];
    snprintf(text, sizeof text, "system thread %u (start routine %p)", entry->number,
             reinterpret_cast<void *>(entry->routine));
    return text;
}

void ThreadMain(ThreadEntry *entry)
{
    tl_thread.generation = KernelGeneration();
    tl_thread.thread = entry->thread;
    tl_thread.system = true;
    BindParticipant(entry->participant);
    {
        ScopedProcess system(Process::System);
        try {
            entry->routine(entry->context);
        } catch (const ThreadExitRequest &) {
            // PsTerminateSystemThread, or the kernel going away under a waiting thread.
        }
    }
    if (HeldSpinLocks() > 0) RecordViolation("thread-exit-holding-spinlock", ThreadName(entry) + " ended holding a spin lock");
    if (CurrentIrql() != PASSIVE_LEVEL) {
        RecordViolation("thread-exit-raised-irql", ThreadName(entry) + " ended at IRQL " + std::to_string(CurrentIrql()));
    }
    PKTHREAD thread = entry->thread;
    // One step under the dispatcher lock, so that leak checks see either a running thread
    // with its own reference or a finished one without it. (The object manager's lock nests
    // inside the dispatcher lock; it never takes the dispatcher lock itself.)
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    if (MutexesOwnedLocked(thread) > 0) {
        RecordViolation("thread-exit-holding-mutex", ThreadName(entry) + " ended owning a mutex");
    }
    thread->Header.SignalState = 1;
    entry->terminated = true;
    UnregisterParticipantLocked();  // wakes the waiters of the thread object
    ObRelease(thread);              // the running thread's own reference
    entry->finished = true;
}

}  // namespace

PKTHREAD CurrentKThread()
{
    uint64_t generation = KernelGeneration();
    if (tl_thread.generation != generation) tl_thread = ThreadIdentity{generation, nullptr, false};
    if (tl_thread.thread == nullptr) {
        tl_thread.thread = NewKThread(nullptr);
        std::lock_guard<std::mutex> guard(T().lock);
        T().others.push_back(tl_thread.thread);
    }
    return tl_thread.thread;
}

bool IsSystemThread(PKTHREAD thread) { return thread != nullptr && thread->Entry != nullptr; }

bool CurrentIsSystemThread() { return tl_thread.generation == KernelGeneration() && tl_thread.system; }

void PsCheckLeaks(std::vector<Violation> *out)
{
    std::vector<ThreadEntry *> entries;
    {
        std::lock_guard<std::mutex> guard(T().lock);
        for (auto &e : T().entries) entries.push_back(e.get());
    }
    for (ThreadEntry *entry : entries) {
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        if (!entry->finished) {
            out->push_back({"thread-still-running", ThreadName(entry) + " is still running"});
            continue;
        }
        // A dead thread's object lives on only while others reference it; handles are
        // reported on their own as leaked handles.
        if (entry->object_gone) continue;
        LONG_PTR refs = ObReferenceCount(entry->thread);
        LONG_PTR by_handles = static_cast<LONG_PTR>(ObHandlesOn(entry->thread));
        if (refs > by_handles) {
            out->push_back({"leak-thread-reference", ThreadName(entry) + ": " + std::to_string(refs - by_handles) +
                                                         " reference(s) never dereferenced"});
        }
    }
}

void PsStopThreads()
{
    KeStopSystemThreadWaits();
    std::vector<ThreadEntry *> entries;
    {
        std::lock_guard<std::mutex> guard(T().lock);
        for (auto &e : T().entries) entries.push_back(e.get());
    }
    for (ThreadEntry *entry : entries) {
        if (!entry->host.joinable()) continue;
        std::unique_lock<std::mutex> lock(DispatcherMutex());
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!entry->finished && std::chrono::steady_clock::now() < limit) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
        bool finished = entry->finished;
        lock.unlock();
        if (finished) {
            entry->host.join();
        } else {
            RecordViolation("thread-still-running", ThreadName(entry) + " did not end within 5 s at teardown; detached");
            entry->host.detach();
        }
    }
}

void PsReset()
{
    std::lock_guard<std::mutex> guard(T().lock);
    for (auto &entry : T().entries) {
        if (entry->host.joinable()) entry->host.detach();
        // A thread object some driver never dereferenced: its memory goes with the kernel.
        if (entry->finished && !entry->object_gone) delete entry->thread;
    }
    T().entries.clear();
    for (PKTHREAD thread : T().others) delete thread;
    T().others.clear();
}

}  // namespace ksim::detail

namespace ksim {

std::vector<ThreadInfo> SystemThreads()
{
    std::vector<detail::ThreadEntry *> entries;
    {
        std::lock_guard<std::mutex> guard(detail::T().lock);
        for (auto &e : detail::T().entries) entries.push_back(e.get());
    }
    std::vector<ThreadInfo> infos;
    std::lock_guard<std::mutex> guard(detail::DispatcherMutex());
    for (auto *e : entries) infos.push_back({e->thread, e->priority, e->terminated, e->started_at});
    return infos;
}

size_t LiveSystemThreads()
{
    size_t live = 0;
    for (const auto &info : SystemThreads()) live += info.terminated ? 0 : 1;
    return live;
}

}  // namespace ksim

using namespace ksim::detail;

extern "C" {

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return CurrentKThread(); }

PETHREAD NTAPI PsGetCurrentThread(VOID) { return CurrentKThread(); }

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        RecordViolation("thread-priority-range", "KeSetPriorityThread to " + std::to_string(Priority));
        return KeQueryPriorityThread(Thread);
    }
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    KPRIORITY old = Thread->Priority;
    Thread->Priority = Priority;
    if (Thread->Entry != nullptr) Thread->Entry->priority = Priority;
    return old;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Thread->Priority;
}

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    (void)ProcessHandle;
    CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    NTSTATUS status;
    if (FaultFires(ksim::Fault::ThreadCreation, &status)) return status;
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;

    auto entry = std::make_unique<ThreadEntry>();
    entry->thread = NewKThread(entry.get());
    entry->routine = StartRoutine;
    entry->context = StartContext;
    entry->started_at = KeNow();
    ObRegister(entry->thread, ObType::Thread, DestroyThreadObject);  // the thread's own reference

    // A kernel handle goes to the kernel's table; otherwise to the caller's process, as on Windows.
    HANDLE handle = nullptr;
    status = ObInsertHandle(entry->thread, DesiredAccess, &handle, KernelHandleAsked(ObjectAttributes));
    if (!NT_SUCCESS(status)) {
        ObRelease(entry->thread);
        return status;
    }
    ObCheckKernelHandle(ObjectAttributes, "PsCreateSystemThread");

    ThreadEntry *raw = entry.get();
    {
        std::lock_guard<std::mutex> guard(T().lock);
        raw->number = static_cast<unsigned>(T().entries.size() + 1);
        T().entries.push_back(std::move(entry));
    }
    raw->participant = RegisterParticipant(ThreadName(raw));
    raw->host = std::thread(ThreadMain, raw);
    *ThreadHandle = handle;
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + 4 * raw->number));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    (void)ExitStatus;
    if (!CurrentIsSystemThread()) {
        RecordViolation("terminate-not-system-thread", "PsTerminateSystemThread called from a thread that is not a system thread");
    }
    throw ThreadExitRequest{};
}

}  // extern "C"
