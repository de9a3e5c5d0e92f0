// call_trace.cpp - a record of selected kernel calls, in the order they were made, for tests that
// check the order of a driver's actions or the arguments it passes (access masks, flags, pool
// types). Off unless a test starts it, so long runs pay one inline flag test per traced call.
#include "core.h"

#include <atomic>

namespace ksim::detail {
namespace {

struct Trace {
    std::mutex lock;
    std::vector<KernelCall> calls;
};

Trace &T()
{
    static Trace t;
    return t;
}

}  // namespace

std::atomic<bool> g_call_trace_on{false};

void TraceCall(KernelCall call)
{
    if (!CallTraceOn()) return;
    call.process = CurrentProcess();
    std::lock_guard<std::mutex> guard(T().lock);
    T().calls.push_back(std::move(call));
}

void RecordObjectCall(const char *routine, const void *object, const u16 &name, uint64_t value)
{
    KernelCall call;
    call.routine = routine;
    call.object = object;
    call.name = name;
    call.value = value;
    TraceCall(std::move(call));
}

void RecordRequestCall(const char *routine, PDEVICE_OBJECT device, PIRP irp, uint64_t value)
{
    KernelCall call;
    call.routine = routine;
    call.object = device;
    call.request = irp;
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    if (irp->CurrentLocation <= irp->StackCount) {
        call.major = loc->MajorFunction;
        call.minor = loc->MinorFunction;
    }
    call.value = value;
    TraceCall(std::move(call));
}

void ResetCallTrace()
{
    g_call_trace_on = false;
    std::lock_guard<std::mutex> guard(T().lock);
    T().calls.clear();
}

}  // namespace ksim::detail

namespace ksim {

void StartCallTrace()
{
    detail::ResetCallTrace();
    detail::g_call_trace_on = true;
}

std::vector<KernelCall> CallTrace()
{
    std::lock_guard<std::mutex> guard(detail::T().lock);
    return detail::T().calls;
}

}  // namespace ksim
