// ke_dispatcher.cpp - dispatcher objects, waits and the kernel clock.
//
// One lock (the dispatcher lock) guards the state of every dispatcher object (kept inside the
// KEVENT/KMUTEX/KTHREAD records in driver memory), the clock, the list of blocked waiters and
// the participant bookkeeping. One condition variable wakes blocked threads.
//
// The virtual clock is a discrete-event simulation. Participants are the system threads, the
// controller (the thread that created the Kernel) and test threads holding a ksim::Participant.
// Time moves only when no participant is running: the thread that makes the last running
// participant block jumps the clock to the earliest deadline and wakes the waiters due then.
// Waits that "yield" (the controller's Advance) lose ties: kernel waits due at the same time
// wake first, so Advance(d) returns with everything due up to now + d done.
//
// A waiter whose condition becomes true is marked running by the thread that made it true,
// before that thread goes on; so a wake can never be missed by the quiescence test, and the
// side effect of a satisfied kernel wait (auto-reset, mutex ownership) is applied in the
// order the waiters blocked, as the Windows dispatcher does.
#include "core.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <unordered_map>
#include <memory>
#include <optional>
#include <thread>

namespace ksim::detail {

struct ParticipantRecord {
    std::string name;
    bool blocked = false;
};

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr auto kDefaultStuckLimit = std::chrono::milliseconds(20000);

struct WaitRecord {
    const std::function<bool()> *satisfied = nullptr;  // may be empty
    const std::function<void()> *acquire = nullptr;    // may be empty
    std::optional<int64_t> deadline;
    bool yields = false;
    bool system = false;
    ParticipantRecord *participant = nullptr;
    // Set by the waking thread, under the lock.
    bool woken = false;
    bool by_time = false;
    bool acquired = false;
    bool killed = false;
};

// A waiter on the real-time clock, with its own condition variable: a change to dispatcher state
// wakes only the waiters whose condition it made true, as a kernel wakes only an object's waiters.
struct RealTimeWaiter {
    const std::function<bool()> *satisfied;  // null for a pure delay
    std::condition_variable cv;
};

struct Dispatcher {
    std::list<RealTimeWaiter *> rt_waiters;  // blocked in WaitRealTime, in no particular order
    std::mutex mutex;
    std::condition_variable cv;
    ClockMode mode = ClockMode::Virtual;
    int64_t now = 0;
    SteadyClock::time_point real_start = SteadyClock::now();
    std::list<WaitRecord *> waiters;  // in the order they blocked
    std::list<std::unique_ptr<ParticipantRecord>> participants;
    size_t running = 0;  // participants not blocked in a dispatcher wait
    bool stopping = false;
    std::unordered_map<PKTHREAD, size_t> mutexes_owned;  // mutexes each thread holds
    std::chrono::milliseconds stuck_limit = kDefaultStuckLimit;  // real time before clock-stuck
    int64_t tick = 0;  // the clock interrupt's period; 0: waits end at their deadlines
    std::atomic<uint64_t> generation{1};  // read without the lock by per-thread state
};

Dispatcher &D()
{
    static Dispatcher d;
    return d;
}

struct ThreadParticipant {
    uint64_t generation = 0;
    ParticipantRecord *record = nullptr;
};
thread_local ThreadParticipant tl_participant;

int64_t NowLocked()
{
    Dispatcher &d = D();
    if (d.mode == ClockMode::Virtual) return d.now;
    auto elapsed = SteadyClock::now() - d.real_start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

SteadyClock::time_point RealTimeOf(int64_t ticks)
{
    return D().real_start + std::chrono::nanoseconds(ticks * 100);
}

void MarkRunning(WaitRecord *r, bool by_time)
{
    r->woken = true;
    r->by_time = by_time;
    if (r->participant != nullptr) {
        r->participant->blocked = false;
        D().running++;
    }
}

bool Holds(const WaitRecord *r)
{
    return r->satisfied != nullptr && *r->satisfied && (*r->satisfied)();
}

// Wakes the blocked waiters whose condition holds now; returns whether any woke.
bool WakeSatisfied()
{
    Dispatcher &d = D();
    bool any = false;
    for (auto it = d.waiters.begin(); it != d.waiters.end();) {
        WaitRecord *r = *it;
        if (!Holds(r)) {
            ++it;
            continue;
        }
        if (r->acquire != nullptr && *r->acquire) {
            (*r->acquire)();
            r->acquired = true;
        }
        MarkRunning(r, false);
        it = d.waiters.erase(it);
        any = true;
    }
    return any;
}

// With no participant running, moves the clock to the next deadline and wakes those due.
void CheckQuiescence()
{
    Dispatcher &d = D();
    if (d.mode != ClockMode::Virtual) return;
    while (d.running == 0) {
        if (WakeSatisfied()) {
            d.cv.notify_all();
            if (d.running > 0) return;
            continue;
        }
        std::optional<int64_t> kernel, yielding;
        for (WaitRecord *r : d.waiters) {
            if (!r->deadline) continue;
            auto &slot = r->yields ? yielding : kernel;
            if (!slot || *r->deadline < *slot) slot = *r->deadline;
        }
        if (!kernel && !yielding) return;  // nothing can happen until someone outside acts
        bool kernel_first = kernel && (!yielding || *kernel <= *yielding);
        int64_t at = kernel_first ? *kernel : *yielding;
        if (at > d.now) d.now = at;
        for (auto it = d.waiters.begin(); it != d.waiters.end();) {
            WaitRecord *r = *it;
            if (r->deadline && *r->deadline <= d.now && r->yields != kernel_first) {
                MarkRunning(r, true);
                it = d.waiters.erase(it);
            } else {
                ++it;
            }
        }
        d.cv.notify_all();
    }
}

std::string RunningParticipants()
{
    std::string names;
    for (auto &p : D().participants) {
        if (p->blocked) continue;
        if (!names.empty()) names += ", ";
        names += p->name;
    }
    return names.empty() ? "none" : names;
}

enum class WaitResult { Satisfied, TimedOut, Stuck };

struct WaitSpec {
    std::function<bool()> satisfied;
    std::function<void()> acquire;
    std::optional<int64_t> deadline;  // absolute, kernel clock
    bool yields = false;              // loses ties against kernel waits (Advance)
    bool guard = false;               // gives up after stuck_limit of real time (test API)
};

WaitResult WaitRealTime(std::unique_lock<std::mutex> &lock, const WaitSpec &wanted, bool system)
{
    Dispatcher &d = D();
    auto limit = SteadyClock::now() + D().stuck_limit;
    RealTimeWaiter me{wanted.satisfied ? &wanted.satisfied : nullptr, {}};
    d.rt_waiters.push_back(&me);
    struct Unregister {  // also when a stopping system thread unwinds
        Dispatcher &d;
        RealTimeWaiter *w;
        ~Unregister() { d.rt_waiters.remove(w); }
    } unregister{d, &me};
    for (;;) {
        if (wanted.satisfied && wanted.satisfied()) {
            if (wanted.acquire) wanted.acquire();
            return WaitResult::Satisfied;
        }
        if (system && d.stopping) throw ThreadExitRequest{};
        if (wanted.deadline) {
            if (NowLocked() >= *wanted.deadline) return WaitResult::TimedOut;
            // Woken by a change that satisfies the wait (WakeWaiters) or by the deadline, as a
            // kernel wakes a timed waiter; no extra wake-ups, which would cost an idle poller more
            // than its period does.
            me.cv.wait_until(lock, RealTimeOf(*wanted.deadline));
        } else {
            if (wanted.guard && SteadyClock::now() > limit) return WaitResult::Stuck;
            // Test predicates may depend on state changed without a kernel call: poll too.
            me.cv.wait_for(lock, std::chrono::milliseconds(wanted.guard ? 1 : 50));
        }
    }
}

WaitResult WaitCore(std::unique_lock<std::mutex> &lock, const WaitSpec &wanted)
{
    Dispatcher &d = D();
    bool system = CurrentIsSystemThread();
    if (system && d.stopping) throw ThreadExitRequest{};
    if (wanted.satisfied && wanted.satisfied()) {
        if (wanted.acquire) wanted.acquire();
        return WaitResult::Satisfied;
    }
    if (wanted.deadline && *wanted.deadline <= NowLocked()) return WaitResult::TimedOut;
    if (d.mode == ClockMode::RealTime) return WaitRealTime(lock, wanted, system);

    WaitRecord rec;
    rec.satisfied = &wanted.satisfied;
    rec.acquire = &wanted.acquire;
    rec.deadline = wanted.deadline;
    rec.yields = wanted.yields;
    rec.system = system;
    rec.participant = CurrentParticipant();
    auto limit = SteadyClock::now() + D().stuck_limit;
    for (;;) {
        rec.woken = rec.by_time = rec.acquired = false;
        d.waiters.push_back(&rec);
        if (rec.participant != nullptr) {
            rec.participant->blocked = true;
            d.running--;
        }
        CheckQuiescence();
        while (!rec.woken) {
            if (!wanted.guard && !wanted.deadline) {
                d.cv.wait(lock);
                continue;
            }
            if (d.cv.wait_until(lock, limit) == std::cv_status::timeout && !rec.woken) {
                // Some participant has run (or been blocked outside the kernel, in a join or a
                // host mutex) for stuck_limit of real time, so the clock could not move: a test that
                // would hang. Say who, and let this wait end so the test can fail instead.
                d.waiters.remove(&rec);
                MarkRunning(&rec, wanted.deadline.has_value());
                std::string running = RunningParticipants();
                RecordViolation("clock-stuck", "no quiescent state within " + std::to_string(d.stuck_limit.count()) +
                                                   " ms of real time; running: " + running);
                if (wanted.guard) return WaitResult::Stuck;
                if (*wanted.deadline > d.now) d.now = *wanted.deadline;
                return WaitResult::TimedOut;
            }
        }
        if (rec.killed) throw ThreadExitRequest{};
        if (rec.acquired) return WaitResult::Satisfied;
        if (wanted.satisfied && wanted.satisfied()) {
            if (wanted.acquire) wanted.acquire();
            return WaitResult::Satisfied;
        }
        if (rec.by_time) return WaitResult::TimedOut;
        // Someone else took what woke us: block again.
    }
}

// The interrupt time as the kernel keeps it: with a clock tick, the time of the last tick.
int64_t InterruptTimeLocked()
{
    int64_t tick = D().tick;
    return tick > 0 ? NowLocked() / tick * tick : NowLocked();
}

// A timed wait ends at the first clock tick at or after its deadline, and a relative one counts
// from the interrupt time: a wait of one tick or less ends at the next tick. A zero time-out is a
// poll.
std::optional<int64_t> DeadlineFrom(const LARGE_INTEGER *timeout)
{
    if (timeout == nullptr) return std::nullopt;
    if (timeout->QuadPart == 0) return NowLocked();
    int64_t deadline = timeout->QuadPart < 0 ? InterruptTimeLocked() - timeout->QuadPart : timeout->QuadPart;
    int64_t tick = D().tick;
    return tick > 0 ? (deadline + tick - 1) / tick * tick : deadline;
}

// Waits may not block at DISPATCH_LEVEL or above, nor while a spin lock is held; polling
// (a zero time-out) is allowed at DISPATCH_LEVEL.
void CheckWaitContext(const LARGE_INTEGER *timeout, const char *what)
{
    bool blocking = timeout == nullptr || timeout->QuadPart != 0;
    if (HeldSpinLocks() > 0 && blocking) {
        RecordViolation("wait-holding-spinlock", std::string(what) + " while holding a spin lock");
    } else if (CurrentIrql() >= DISPATCH_LEVEL && blocking) {
        RecordViolation("wait-at-dispatch", std::string(what) + " with a non-zero time-out at IRQL " +
                                                std::to_string(CurrentIrql()));
    }
}

}  // namespace

// ---- lock, wake, generic wait ------------------------------------------------------------------

std::mutex &DispatcherMutex() { return D().mutex; }

void WakeWaiters()
{
    Dispatcher &d = D();
    if (d.mode == ClockMode::Virtual) WakeSatisfied();
    for (RealTimeWaiter *w : d.rt_waiters) {
        if (w->satisfied != nullptr && *w->satisfied && (*w->satisfied)()) w->cv.notify_one();
    }
    d.cv.notify_all();
}

bool DispatcherWait(std::unique_lock<std::mutex> &lock, const std::function<bool()> &satisfied,
                    const LARGE_INTEGER *timeout)
{
    WaitSpec wanted;
    wanted.satisfied = satisfied;
    wanted.deadline = DeadlineFrom(timeout);
    return WaitCore(lock, wanted) == WaitResult::Satisfied;
}

bool ObjectSignalled(DISPATCHER_HEADER *header, PKTHREAD waiter)
{
    switch (header->Type) {
    case kMutantType: {
        auto *mutex = reinterpret_cast<KMUTANT *>(header);
        return header->SignalState > 0 || mutex->OwnerThread == waiter;
    }
    case kThreadType:
        return header->SignalState != 0;
    default:
        return header->SignalState > 0;
    }
}

void ObjectAcquired(DISPATCHER_HEADER *header, PKTHREAD waiter)
{
    switch (header->Type) {
    case kSynchronizationEventType:
        header->SignalState = 0;
        break;
    case kMutantType: {
        auto *mutex = reinterpret_cast<KMUTANT *>(header);
        if (header->SignalState == 1) D().mutexes_owned[waiter]++;
        header->SignalState--;
        mutex->OwnerThread = waiter;
        break;
    }
    default:
        break;
    }
}

size_t MutexesOwnedLocked(PKTHREAD thread)
{
    auto it = D().mutexes_owned.find(thread);
    return it == D().mutexes_owned.end() ? 0 : it->second;
}

// ---- participants ------------------------------------------------------------------------------

uint64_t KernelGeneration() { return D().generation.load(); }

ParticipantRecord *RegisterParticipant(const std::string &name)
{
    std::lock_guard<std::mutex> guard(D().mutex);
    auto record = std::make_unique<ParticipantRecord>();
    record->name = name;
    ParticipantRecord *raw = record.get();
    D().participants.push_back(std::move(record));
    D().running++;
    return raw;
}

void BindParticipant(ParticipantRecord *participant)
{
    tl_participant.generation = KernelGeneration();
    tl_participant.record = participant;
}

ParticipantRecord *CurrentParticipant()
{
    // Called with or without the lock; the generation is only compared, never taken here.
    if (tl_participant.record == nullptr) return nullptr;
    if (tl_participant.generation != KernelGeneration()) return nullptr;
    return tl_participant.record;
}

void UnregisterParticipantLocked()
{
    Dispatcher &d = D();
    ParticipantRecord *me = CurrentParticipant();
    tl_participant.record = nullptr;
    if (me == nullptr) return;
    for (auto it = d.participants.begin(); it != d.participants.end(); ++it) {
        if (it->get() != me) continue;
        if (!me->blocked) d.running--;
        d.participants.erase(it);
        break;
    }
    WakeWaiters();
    CheckQuiescence();
}

void UnregisterParticipant()
{
    std::lock_guard<std::mutex> guard(D().mutex);
    UnregisterParticipantLocked();
}

void KeStopSystemThreadWaits()
{
    Dispatcher &d = D();
    std::lock_guard<std::mutex> guard(d.mutex);
    d.stopping = true;
    for (auto it = d.waiters.begin(); it != d.waiters.end();) {
        WaitRecord *r = *it;
        if (!r->system) {
            ++it;
            continue;
        }
        r->killed = true;
        MarkRunning(r, false);
        it = d.waiters.erase(it);
    }
    for (RealTimeWaiter *w : d.rt_waiters) w->cv.notify_one();
    d.cv.notify_all();
}

// ---- clock -------------------------------------------------------------------------------------

void KeReset(ClockMode mode, int64_t tick)
{
    Dispatcher &d = D();
    std::lock_guard<std::mutex> guard(d.mutex);
    d.mode = mode;
    d.tick = tick > 0 ? tick : 0;
    d.now = 0;
    d.real_start = SteadyClock::now();
    d.waiters.clear();
    d.participants.clear();
    d.running = 0;
    d.stopping = false;
    d.mutexes_owned.clear();
    d.stuck_limit = kDefaultStuckLimit;
    d.generation++;
}

void KeSetStuckLimit(std::chrono::milliseconds limit)
{
    std::lock_guard<std::mutex> guard(D().mutex);
    D().stuck_limit = limit;
}

ClockMode KeClockMode()
{
    std::lock_guard<std::mutex> guard(D().mutex);
    return D().mode;
}

int64_t KeNow()
{
    std::lock_guard<std::mutex> guard(D().mutex);
    return NowLocked();
}

void KeAdvance(int64_t ticks)
{
    std::unique_lock<std::mutex> lock(D().mutex);
    if (ticks <= 0) {
        lock.unlock();
        KeSettle();
        return;
    }
    WaitSpec wanted;
    wanted.deadline = NowLocked() + ticks;
    wanted.yields = true;
    wanted.guard = true;
    WaitCore(lock, wanted);
}

void KeSettle()
{
    std::unique_lock<std::mutex> lock(D().mutex);
    if (D().mode == ClockMode::RealTime) {
        D().cv.wait_for(lock, std::chrono::milliseconds(5));
        return;
    }
    WaitSpec wanted;
    // Every participant but the caller is blocked (the caller counts as running once woken).
    ParticipantRecord *me = CurrentParticipant();
    wanted.satisfied = [me] { return D().running == (me != nullptr && !me->blocked ? 1u : 0u); };
    wanted.guard = true;
    WaitCore(lock, wanted);
}

// The test's condition is evaluated outside the lock (it may call anything), and only when every
// other participant is blocked, so what it sees does not depend on host scheduling. Between
// evaluations the clock moves to the next pending deadline and everything due then runs.
void KeWaitUntil(const std::function<bool()> &pred)
{
    auto limit = SteadyClock::now() + D().stuck_limit;
    for (;;) {
        KeSettle();
        if (pred()) return;
        std::optional<int64_t> next;
        int64_t now;
        {
            std::lock_guard<std::mutex> guard(D().mutex);
            now = NowLocked();
            if (D().mode == ClockMode::Virtual) {
                for (WaitRecord *r : D().waiters) {
                    if (r->deadline && !r->yields && (!next || *r->deadline < *next)) next = *r->deadline;
                }
            }
        }
        if (next) {
            KeAdvance(std::max<int64_t>(*next - now, 0));
            continue;
        }
        // Nothing is due: only a thread outside the clock (or real time) can make it hold.
        if (KeClockMode() == ClockMode::Virtual && SteadyClock::now() > limit) {
            std::string running;
            {
                std::lock_guard<std::mutex> guard(D().mutex);
                running = RunningParticipants();
            }
            RecordViolation("clock-stuck", "WaitUntil: the condition never held and nothing is due; running: " + running);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace ksim::detail

using namespace ksim::detail;

// ---- the kernel's services -----------------------------------------------------------------------

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEventType : kNotificationEventType;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    TraceObjectCall("KeSetEvent", Event);
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaiters();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    (void)Level;
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    memset(Mutex, 0, sizeof(*Mutex));
    Mutex->Header.Type = kMutantType;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead.Flink = Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    (void)Wait;
    PKTHREAD me = CurrentKThread();
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->Header.Type != kMutantType || Mutex->OwnerThread != me || previous > 0) {
        RecordViolation("mutex-release-not-owner", "KeReleaseMutex by a thread that does not own the mutex");
        return previous;
    }
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        if (--D().mutexes_owned[me] == 0) D().mutexes_owned.erase(me);
        WakeWaiters();
    }
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return Mutex->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    CheckWaitContext(Timeout, "KeWaitForSingleObject");
    auto *header = static_cast<DISPATCHER_HEADER *>(Object);
    PKTHREAD me = CurrentKThread();
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    WaitSpec wanted;
    wanted.satisfied = [=] { return ObjectSignalled(header, me); };
    wanted.acquire = [=] { ObjectAcquired(header, me); };
    wanted.deadline = DeadlineFrom(Timeout);
    return WaitCore(lock, wanted) == WaitResult::Satisfied ? STATUS_WAIT_0 : STATUS_TIMEOUT;
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        RecordViolation("wait-block-array", "KeWaitForMultipleObjects with " + std::to_string(Count) +
                                                " objects needs a wait block array above " +
                                                std::to_string(THREAD_WAIT_OBJECTS) + " (at most 64)");
        return STATUS_INVALID_PARAMETER;
    }
    CheckWaitContext(Timeout, "KeWaitForMultipleObjects");
    PKTHREAD me = CurrentKThread();
    std::vector<DISPATCHER_HEADER *> headers;
    for (ULONG i = 0; i < Count; ++i) headers.push_back(static_cast<DISPATCHER_HEADER *>(Object[i]));
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    ULONG which = 0;
    WaitSpec wanted;
    if (WaitType == WaitAny) {
        wanted.satisfied = [&] {
            for (ULONG i = 0; i < Count; ++i) {
                if (ObjectSignalled(headers[i], me)) {
                    which = i;
                    return true;
                }
            }
            return false;
        };
        wanted.acquire = [&] { ObjectAcquired(headers[which], me); };
    } else {
        wanted.satisfied = [&] {
            return std::all_of(headers.begin(), headers.end(), [&](DISPATCHER_HEADER *h) { return ObjectSignalled(h, me); });
        };
        wanted.acquire = [&] {
            for (DISPATCHER_HEADER *h : headers) ObjectAcquired(h, me);
        };
    }
    wanted.deadline = DeadlineFrom(Timeout);
    if (WaitCore(lock, wanted) != WaitResult::Satisfied) return STATUS_TIMEOUT;
    return WaitType == WaitAny ? STATUS_WAIT_0 + static_cast<NTSTATUS>(which) : STATUS_WAIT_0;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    TraceObjectCall("KeDelayExecutionThread", nullptr, {}, Interval != nullptr ? uint64_t(Interval->QuadPart) : 0);
    if (Interval == nullptr) {
        RecordViolation("delay-without-interval", "KeDelayExecutionThread with a null interval");
        return STATUS_INVALID_PARAMETER;
    }
    CheckWaitContext(Interval, "KeDelayExecutionThread");
    std::unique_lock<std::mutex> lock(DispatcherMutex());
    WaitSpec wanted;
    wanted.deadline = DeadlineFrom(Interval);
    WaitCore(lock, wanted);
    return STATUS_SUCCESS;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    return static_cast<ULONGLONG>(InterruptTimeLocked());
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    LARGE_INTEGER counter;
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = 10000000;
    counter.QuadPart = KeNow();
    return counter;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    // A fixed boot date (2026-01-01 00:00 UTC, in 100 ns units since 1601) plus the kernel clock.
    constexpr int64_t kBootSystemTime = 134116992000000000LL;
    CurrentTime->QuadPart = kBootSystemTime + KeNow();
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds)
{
    // A stall spins without yielding: on the virtual clock it takes no kernel time.
    if (KeClockMode() == ksim::ClockMode::RealTime) {
        auto until = SteadyClock::now() + std::chrono::microseconds(MicroSeconds);
        while (SteadyClock::now() < until) {
        }
    }
}

}  // extern "C"
