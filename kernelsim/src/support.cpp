// support.cpp - the verifier's list, fault injection, DbgPrint capture and port I/O.
//
// The verifier lock is a leaf: it may be taken with the dispatcher lock or any other held.
#include "core.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ksim::detail {
namespace {

constexpr size_t kFaultCount = static_cast<size_t>(Fault::WorkItemAllocation) + 1;

struct FaultPlan {
    uint64_t calls = 0;
    bool armed = false;
    unsigned skip = 0;
    unsigned count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    std::function<void()> before;  // BeforeCall's action, run once
    unsigned before_skip = 0;
};

struct Support {
    std::mutex lock;
    Options options;
    std::vector<Violation> violations;
    FaultPlan faults[kFaultCount];
    std::vector<std::string> debug_log;
    std::function<UCHAR(USHORT)> port_source;
    std::vector<PortRead> port_reads;
    // BeforeWaitOn's or BeforeSetEvent's call, object and action, run once.
    ObjectHook object_hook_call = ObjectHook::Wait;
    const void *object_hook_object = nullptr;
    std::function<void()> object_hook;
};

std::atomic<bool> g_object_hook_armed{false};

Support &S()
{
    static Support s;
    return s;
}

// ---- DbgPrint formatting -----------------------------------------------------------------------
// The format language is Windows': "l" is 32 bits (LONG, ULONG), "I64"/"ll" 64, "I" pointer
// sized; %ws, %ls and %S take UTF-16 strings, %wZ a PUNICODE_STRING. Each conversion is handed
// to the host snprintf with the argument fetched at its Windows size.

std::string Utf16ToNarrow(const WCHAR *s, size_t count)
{
    return Narrow(u16(reinterpret_cast<const char16_t *>(s), count));
}

std::string FormatOne(const std::string &format, char conversion, int length_bits, va_list *args,
                      const std::vector<int> &stars)
{
    char buffer[512];
    bool integer = strchr("diuxXo", conversion) != nullptr;
    std::string f = format + (integer && length_bits == 64 ? "ll" : "") + conversion;
    auto print = [&](auto value) {
        if (stars.size() == 2) return snprintf(buffer, sizeof buffer, f.c_str(), stars[0], stars[1], value);
        if (stars.size() == 1) return snprintf(buffer, sizeof buffer, f.c_str(), stars[0], value);
        return snprintf(buffer, sizeof buffer, f.c_str(), value);
    };
    switch (conversion) {
    case 'd':
    case 'i':
        if (length_bits == 64) print(va_arg(*args, long long));
        else print(va_arg(*args, int));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (length_bits == 64) print(va_arg(*args, unsigned long long));
        else print(va_arg(*args, unsigned));
        break;
    case 'c':
        print(va_arg(*args, int));
        break;
    case 'p':
        print(va_arg(*args, void *));
        break;
    case 'e':
    case 'f':
    case 'g':
        print(va_arg(*args, double));
        break;
    default:
        return std::string("%") + conversion;  // unknown: shown as written
    }
    return buffer;
}

std::string FormatWindows(const char *format, va_list args_in)
{
    va_list args;
    va_copy(args, args_in);
    std::string out;
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string format = "%";
        std::vector<int> stars;
        ++p;
        while (*p && strchr("-+ #0", *p)) format += *p++;
        while (*p == '*' || (*p >= '0' && *p <= '9') || *p == '.') {
            if (*p == '*') stars.push_back(va_arg(args, int));
            format += *p++;
        }
        int bits = 32;
        bool wide = false;
        for (;;) {
            if (p[0] == 'I' && p[1] == '6' && p[2] == '4') { bits = 64; p += 3; }
            else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') { bits = 32; p += 3; }
            else if (p[0] == 'I') { bits = 64; p += 1; }
            else if (p[0] == 'l' && p[1] == 'l') { bits = 64; p += 2; }
            else if (p[0] == 'l') { wide = true; p += 1; }  // 32 bits for integers, wide for strings
            else if (p[0] == 'h') { p += 1; }
            else if (p[0] == 'z' || p[0] == 'j' || p[0] == 't') { bits = 64; p += 1; }
            else if (p[0] == 'w') { wide = true; p += 1; }
            else break;
        }
        char conversion = *p;
        if (conversion == '\0') break;
        if (conversion == 'Z') {
            auto *s = va_arg(args, const UNICODE_STRING *);
            if (s == nullptr || s->Buffer == nullptr) out += "(null)";
            else out += Utf16ToNarrow(s->Buffer, s->Length / sizeof(WCHAR));
        } else if (conversion == 'S' || (conversion == 's' && wide)) {
            auto *s = va_arg(args, const WCHAR *);
            out += s == nullptr ? "(null)" : Utf16ToNarrow(s, ksim_wcslen(s));
        } else if (conversion == 's') {
            auto *s = va_arg(args, const char *);
            char buffer[1024];
            std::string f = format + 's';
            if (stars.size() == 1) snprintf(buffer, sizeof buffer, f.c_str(), stars[0], s ? s : "(null)");
            else snprintf(buffer, sizeof buffer, f.c_str(), s ? s : "(null)");
            out += buffer;
        } else {
            out += FormatOne(format, conversion, bits, &args, stars);
        }
    }
    va_end(args);
    return out;
}

}  // namespace

void RecordViolation(const std::string &rule, const std::string &detail)
{
    bool abort_now;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().violations.push_back({rule, detail});
        abort_now = S().options.abort_on_violation;
    }
    fprintf(stderr, "[ksim verifier] %s: %s\n", rule.c_str(), detail.c_str());
    if (abort_now) abort();
}

bool FaultFires(Fault fault, NTSTATUS *status)
{
    std::function<void()> before;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        FaultPlan &plan = S().faults[static_cast<size_t>(fault)];
        plan.calls++;
        if (plan.before && plan.before_skip > 0) {
            plan.before_skip--;
        } else if (plan.before) {
            before = std::move(plan.before);
            plan.before = nullptr;
        }
    }
    // Outside the lock: the action may call anything, this kind of call included.
    if (before) before();
    std::lock_guard<std::mutex> guard(S().lock);
    FaultPlan &plan = S().faults[static_cast<size_t>(fault)];
    if (!plan.armed) return false;
    if (plan.skip > 0) {
        plan.skip--;
        return false;
    }
    if (plan.count == 0) {
        plan.armed = false;
        return false;
    }
    plan.count--;
    if (plan.count == 0) plan.armed = false;
    *status = plan.status;
    return true;
}

void RunObjectHook(ObjectHook call, const void *object)
{
    if (!g_object_hook_armed.load(std::memory_order_acquire)) return;
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        if (S().object_hook_call != call || S().object_hook_object != object || !S().object_hook) return;
        action = std::move(S().object_hook);
        S().object_hook = nullptr;
        S().object_hook_object = nullptr;
        g_object_hook_armed = false;
    }
    action();
}

void ResetSupport()
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().violations.clear();
    for (auto &plan : S().faults) plan = FaultPlan{};
    S().object_hook = nullptr;
    S().object_hook_object = nullptr;
    g_object_hook_armed = false;
    S().debug_log.clear();
    S().port_source = nullptr;
    S().port_reads.clear();
    ResetCallTrace();
}

void SetSupportOptions(const Options &options)
{
    std::lock_guard<std::mutex> guard(S().lock);
    S().options = options;
}

}  // namespace ksim::detail

namespace ksim {

std::vector<Violation> Violations()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    return detail::S().violations;
}

void ClearViolations()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    detail::S().violations.clear();
}

void InjectFault(Fault fault, NTSTATUS status, unsigned skip, unsigned count)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    auto &plan = detail::S().faults[static_cast<size_t>(fault)];
    plan.armed = count > 0;
    plan.skip = skip;
    plan.count = count;
    plan.status = status;
}

void BeforeCall(Fault fault, std::function<void()> action, unsigned skip)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    auto &plan = detail::S().faults[static_cast<size_t>(fault)];
    plan.before = std::move(action);
    plan.before_skip = skip;
}

namespace {
void PlanObjectHook(detail::ObjectHook call, const void *object, std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    detail::S().object_hook_call = call;
    detail::S().object_hook_object = object;
    detail::S().object_hook = std::move(action);
    detail::g_object_hook_armed = true;
}
}  // namespace

void BeforeWaitOn(const void *object, std::function<void()> action)
{
    PlanObjectHook(detail::ObjectHook::Wait, object, std::move(action));
}

void BeforeSetEvent(const KEVENT *event, std::function<void()> action)
{
    PlanObjectHook(detail::ObjectHook::SetEvent, event, std::move(action));
}

void ClearFaults()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    for (auto &plan : detail::S().faults) {
        plan.armed = false;
        plan.count = 0;
        plan.before = nullptr;
    }
    detail::S().object_hook = nullptr;
    detail::S().object_hook_object = nullptr;
    detail::g_object_hook_armed = false;
}

uint64_t CallCount(Fault fault)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    return detail::S().faults[static_cast<size_t>(fault)].calls;
}

std::vector<std::string> DebugLog()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    return detail::S().debug_log;
}

void ClearDebugLog()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    detail::S().debug_log.clear();
}

void SetPortSource(std::function<UCHAR(USHORT port)> source)
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    detail::S().port_source = std::move(source);
}

std::vector<PortRead> PortReads()
{
    std::lock_guard<std::mutex> guard(detail::S().lock);
    return detail::S().port_reads;
}

}  // namespace ksim

using namespace ksim::detail;

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::string text = FormatWindows(Format, args);
    va_end(args);
    bool echo;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().debug_log.push_back(text);
        echo = S().options.echo_debug;
    }
    if (echo) fprintf(stderr, "%s", text.c_str());
    return STATUS_SUCCESS;
}

UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) { return __inbyte(static_cast<USHORT>(reinterpret_cast<uintptr_t>(Port))); }

VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    __outbyte(static_cast<USHORT>(reinterpret_cast<uintptr_t>(Port)), Value);
}

UCHAR __inbyte(USHORT Port)
{
    KIRQL irql = CurrentIrql();
    int64_t now = KeNow();
    std::function<UCHAR(USHORT)> source;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().port_reads.push_back({Port, irql, now});
        source = S().port_source;
    }
    // The source runs unlocked: a test's source may itself look at the kernel.
    return source ? source(Port) : 0;
}

VOID __outbyte(USHORT Port, UCHAR Data)
{
    // Writes go nowhere: no device behind the ports the driver may touch is simulated.
    (void)Port;
    (void)Data;
}

}  // extern "C"
