// io_workitems.cpp - work items: a driver routine run once, later, at PASSIVE_LEVEL in a system
// worker thread.
//
// Windows runs queued work items on a pool of worker threads of the system process, and holds a
// reference on the work item's device object from IoQueueWorkItem until the routine has
// returned, so that the device and the driver's image outlive the routine. Here each queued item
// runs on a host thread of its own, a participant of the clock from the moment it is queued; these
// threads are the system's, not the driver's, so ksim::SystemThreads() does not list them.
//
// A test may hold queued items back (ksim::HoldWorkItems), to look at what a driver does while its
// work is still to come; the kernel's teardown lets them go.
//
// The verifier checks the life of an item: queued only while not already queued, freed only when
// not queued (its routine may free it), the routine back at PASSIVE_LEVEL with no spin lock held
// and no mutex owned, and every item freed by the end.
#include "io_internal.h"

#include <map>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
};

namespace ksim::detail::io {
namespace {

struct ItemState {
    bool queued = false;  // from IoQueueWorkItem until its routine starts
};

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

struct WorkItems {
    std::mutex lock;
    std::map<PIO_WORKITEM, ItemState> items;  // allocated and not yet freed
    std::vector<Worker> workers;
    size_t pending = 0;  // queued, or running their routine
};

WorkItems &W()
{
    static WorkItems w;
    return w;
}

// Guarded by the dispatcher lock, so that a held worker waits as a kernel wait.
bool g_hold = false;

void SetHold(bool hold)
{
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    g_hold = hold;
    WakeWaiters();
}

std::string Hex(const void *p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

void CheckRoutineEnd(PIO_WORKITEM_ROUTINE routine)
{
    std::string what = "work item routine " + Hex(reinterpret_cast<void *>(routine));
    if (CurrentIrql() != PASSIVE_LEVEL) {
        RecordViolation("workitem-exit-raised-irql", what + " returned at IRQL " + std::to_string(CurrentIrql()));
    }
    if (HeldSpinLocks() > 0) RecordViolation("workitem-exit-holding-spinlock", what + " returned holding a spin lock");
    std::lock_guard<std::mutex> guard(DispatcherMutex());
    if (MutexesOwnedLocked(CurrentKThread()) > 0) {
        RecordViolation("workitem-exit-holding-mutex", what + " returned owning a mutex");
    }
}

void RunItem(ParticipantRecord *participant, PIO_WORKITEM item, PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine,
             PVOID context, std::shared_ptr<std::atomic<bool>> finished)
{
    BindParticipant(participant);
    {
        std::unique_lock<std::mutex> lock(DispatcherMutex());
        DispatcherWait(lock, [] { return !g_hold; }, nullptr);
    }
    {
        WorkItems &w = W();
        std::lock_guard<std::mutex> guard(w.lock);
        auto it = w.items.find(item);
        if (it != w.items.end()) it->second.queued = false;
    }
    {
        ScopedProcess system(Process::System);
        try {
            routine(device, context);  // may free `item`
        } catch (const ThreadExitRequest &) {
            RecordViolation("workitem-terminated", "a work item routine ended its worker thread");
        }
        CheckRoutineEnd(routine);
    }
    ObRelease(device);
    {
        WorkItems &w = W();
        std::lock_guard<std::mutex> guard(w.lock);
        w.pending--;
    }
    *finished = true;
    UnregisterParticipant();
}

void JoinFinishedLocked(WorkItems &w)
{
    for (auto it = w.workers.begin(); it != w.workers.end();) {
        if (!*it->finished) {
            ++it;
            continue;
        }
        it->thread.join();
        it = w.workers.erase(it);
    }
}

}  // namespace

void WaitForWorkItems()
{
    SetHold(false);
    KeWaitUntil([] {
        WorkItems &w = W();
        std::lock_guard<std::mutex> guard(w.lock);
        return w.pending == 0;
    });
    std::vector<Worker> workers;
    {
        WorkItems &w = W();
        std::lock_guard<std::mutex> guard(w.lock);
        workers.swap(w.workers);
    }
    for (auto &worker : workers) worker.thread.join();
}

void WorkItemsCheckLeaks(std::vector<Violation> *out)
{
    WorkItems &w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const auto &[item, state] : w.items) {
        out->push_back({"leak-workitem", "work item " + Hex(item) + (state.queued ? " (still queued)" : "") +
                                             " never freed"});
    }
}

void WorkItemsReset()
{
    {
        std::lock_guard<std::mutex> guard(DispatcherMutex());
        g_hold = false;
    }
    WorkItems &w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    for (auto &[item, state] : w.items) delete item;
    w.items.clear();
    for (auto &worker : w.workers) {
        if (worker.thread.joinable()) worker.thread.detach();
    }
    w.workers.clear();
    w.pending = 0;
}

}  // namespace ksim::detail::io

namespace ksim {

void HoldWorkItems(bool hold) { detail::io::SetHold(hold); }

size_t PendingWorkItems()
{
    auto &w = detail::io::W();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.pending;
}

}  // namespace ksim

using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    ObType type;
    if (DeviceObject == nullptr || !ObIsObject(DeviceObject, &type) || type != ObType::Device) {
        RecordViolation("workitem-bad-device", "IoAllocateWorkItem for " + Hex(DeviceObject) +
                                                   ", which is no device object");
        return nullptr;
    }
    NTSTATUS status;
    if (FaultFires(Fault::WorkItemAllocation, &status)) return nullptr;
    auto *item = new _IO_WORKITEM{DeviceObject};
    WorkItems &w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    w.items[item] = ItemState{};
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    (void)QueueType;  // one kind of worker here
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    WorkItems &w = W();
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        auto it = w.items.find(IoWorkItem);
        if (it == w.items.end()) {
            RecordViolation("workitem-unknown", "IoQueueWorkItem of " + Hex(IoWorkItem) + ", which is no live work item");
            return;
        }
        if (it->second.queued) {
            RecordViolation("workitem-queued-twice", "work item " + Hex(IoWorkItem) + " queued again before its routine ran");
            return;
        }
        it->second.queued = true;
        w.pending++;
        device = IoWorkItem->device;
        JoinFinishedLocked(w);
    }
    ObAddRef(device);  // until the routine has returned
    // The worker counts as running from now on, so the clock waits for it.
    ParticipantRecord *participant = RegisterParticipant("work item");
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread thread(RunItem, participant, IoWorkItem, device, WorkerRoutine, Context, finished);
    std::lock_guard<std::mutex> guard(w.lock);
    w.workers.push_back({std::move(thread), finished});
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    WorkItems &w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.items.find(IoWorkItem);
    if (it == w.items.end()) {
        RecordViolation("workitem-unknown", "IoFreeWorkItem of " + Hex(IoWorkItem) + ", which is no live work item");
        return;
    }
    if (it->second.queued) {
        RecordViolation("workitem-freed-while-queued", "work item " + Hex(IoWorkItem) + " freed before its routine ran");
        return;
    }
    w.items.erase(it);
    delete IoWorkItem;
}

}  // extern "C"
