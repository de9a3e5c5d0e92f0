// ke_irql.cpp - IRQL per host thread and spin locks.
//
// Every host thread has its own IRQL (a processor's in Windows; here each thread behaves as if
// it ran alone on its processor). A KSPIN_LOCK is a ULONG_PTR in driver memory: zero when free,
// else a token naming the owning thread, changed by compare-and-swap. Acquiring raises to
// DISPATCH_LEVEL first, as on Windows. The locks a thread holds are tracked so that a wait or a
// thread exit with one held is caught.
#include "core.h"

#include <algorithm>
#include <thread>

namespace ksim::detail {
namespace {

struct IrqlState {
    uint64_t generation = 0;
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held;
};
thread_local IrqlState tl_irql;

IrqlState &This()
{
    uint64_t generation = KernelGeneration();
    if (tl_irql.generation != generation) {
        tl_irql.generation = generation;
        tl_irql.irql = PASSIVE_LEVEL;
        tl_irql.held.clear();
    }
    return tl_irql;
}

ULONG_PTR OwnerToken()
{
    static thread_local char token;
    return reinterpret_cast<ULONG_PTR>(&token);
}

std::string LockText(const void *lock)
{
    char text[40];
    snprintf(text, sizeof text, "%p", lock);
    return text;
}

void AcquireLock(PKSPIN_LOCK lock, const char *what)
{
    ULONG_PTR me = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) == me) {
        // Windows would spin forever; report it and leave the lock as it is.
        RecordViolation("spinlock-recursive", std::string(what) + " on spin lock " + LockText(lock) +
                                                  " already held by this thread");
        return;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        std::this_thread::yield();
    }
    This().held.push_back(lock);
}

void ReleaseLock(PKSPIN_LOCK lock, const char *what)
{
    ULONG_PTR me = OwnerToken();
    if (__atomic_load_n(lock, __ATOMIC_ACQUIRE) != me) {
        RecordViolation("spinlock-release-not-held", std::string(what) + " on spin lock " + LockText(lock) +
                                                         " not held by this thread");
        return;
    }
    auto &held = This().held;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend()) held.erase(std::next(it).base());
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void RequireDispatch(const char *what)
{
    if (This().irql < DISPATCH_LEVEL) {
        RecordViolation("spinlock-dpc-level-required", std::string(what) + " at IRQL " + std::to_string(This().irql) +
                                                           " (needs DISPATCH_LEVEL)");
    }
}

}  // namespace

KIRQL CurrentIrql() { return This().irql; }

void CheckIrqlAtMost(KIRQL max, const char *what)
{
    KIRQL now = CurrentIrql();
    if (now <= max) return;
    std::string detail = std::string(what) + " at IRQL " + std::to_string(now) + " (at most " + std::to_string(max) + ")";
    RecordViolation(max == PASSIVE_LEVEL ? "passive-required" : "irql-too-high", detail);
}

size_t HeldSpinLocks() { return This().held.size(); }

}  // namespace ksim::detail

using namespace ksim::detail;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentIrql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    IrqlState &state = This();
    *OldIrql = state.irql;
    if (NewIrql < state.irql) {
        RecordViolation("irql-raise-to-lower", "KeRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                                   std::to_string(state.irql));
        return;
    }
    state.irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    IrqlState &state = This();
    if (NewIrql > state.irql) {
        RecordViolation("irql-lower-to-higher", "KeLowerIrql to " + std::to_string(NewIrql) + " from " +
                                                    std::to_string(state.irql));
        return;
    }
    state.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    AcquireLock(SpinLock, "KeAcquireSpinLock");
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseLock(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    AcquireLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    ReleaseLock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

}  // extern "C"
