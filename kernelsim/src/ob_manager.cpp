// ob_manager.cpp - objects, handle tables and the object namespace.
//
// Objects are memory owned by the component that made them (a KTHREAD, a device object, a key
// object...), registered here by body address with a reference count and a destroy routine.
// Each process (System, Application) has its own handle table, and a process's handle values
// mean something only in that process: the same value names different objects in each, as on
// Windows. Kernel handles (OBJ_KERNEL_HANDLE) live in the System process's table, which is the
// kernel's handle table, and carry a tag in their value (they are negative): such a handle means
// the same object in every process context, and the application can neither use nor close it.
// The namespace maps case-insensitive full paths to objects and to symbolic links; "\??\" and
// "\GLOBAL??\" are the same directory as "\DosDevices\".
//
// Locking: one mutex (ob lock) for all of it, never held while a destroy routine or a close
// hook runs (those call back into the object manager and into drivers).
#include "core.h"

#include <map>
#include <unordered_map>
#include <vector>

// The object types drivers pass to ObReferenceObjectByHandle.
struct _OBJECT_TYPE {
    ksim::detail::ObType type;
};

namespace ksim::detail {
namespace {

constexpr uintptr_t kKernelHandleTag = 0xFFFFFFFF80000000ULL;  // kernel handles are negative
constexpr size_t kTypeCount = 8;

struct Object {
    ObType type;
    LONG_PTR refs;
    void (*destroy)(void *body);
    size_t handles;
};

struct HandleEntry {
    void *body = nullptr;
    ACCESS_MASK granted = 0;
    bool kernel = false;  // made with OBJ_KERNEL_HANDLE (System table only)
};

struct Link {
    u16 name;
    u16 target;
};

struct Named {
    u16 name;
    void *body;
};

struct ObjectManager {
    std::mutex lock;
    std::unordered_map<const void *, Object> objects;
    std::vector<HandleEntry> tables[2];  // indexed by ProcessIndex
    std::map<u16, Named> names;           // by canonical upper-case path
    std::map<u16, Link> links;
    void (*close_hooks[kTypeCount])(void *body, size_t handles_left) = {};
};

ObjectManager &M()
{
    static ObjectManager m;
    return m;
}

struct ProcessState {
    uint64_t generation = 0;
    Process process = Process::Application;
};
thread_local ProcessState tl_process;

size_t ProcessIndex(Process p) { return p == Process::System ? 0 : 1; }
const char *ProcessName(Process p) { return p == Process::System ? "System" : "Application"; }

HANDLE EncodeHandle(size_t slot, bool kernel)
{
    uintptr_t value = (slot + 1) * 4;
    if (kernel) value |= kKernelHandleTag;
    return reinterpret_cast<HANDLE>(value);
}

// Finds `handle` as seen from process p: a kernel handle in the System table whatever p is, any
// other in p's own table. Returns the slot and sets *table, or returns -1. user_mode: as a
// user-mode caller sees it, to whom kernel handles do not exist.
long DecodeHandle(Process p, HANDLE handle, size_t *table, bool user_mode = false)
{
    auto value = reinterpret_cast<uintptr_t>(handle);
    bool kernel = (value & kKernelHandleTag) == kKernelHandleTag;
    if (kernel && user_mode) return -1;
    *table = kernel ? ProcessIndex(Process::System) : ProcessIndex(p);
    value &= ~kKernelHandleTag;
    if (value == 0 || (value & 3) != 0) return -1;
    size_t slot = value / 4 - 1;
    const auto &entries = M().tables[*table];
    if (slot >= entries.size() || entries[slot].body == nullptr || entries[slot].kernel != kernel) return -1;
    return static_cast<long>(slot);
}

// Replaces the "\??\" and "\GLOBAL??\" aliases by "\DosDevices\", keeping the rest as written.
u16 Canonical(const u16 &path)
{
    static const u16 kDos = u"\\DosDevices";
    for (const u16 &alias : {u16(u"\\??"), u16(u"\\GLOBAL??")}) {
        if (path.size() < alias.size() || !EqualsInsensitive(path.substr(0, alias.size()), alias)) continue;
        if (path.size() == alias.size() || path[alias.size()] == u'\\') return kDos + path.substr(alias.size());
    }
    return path;
}

u16 Key(const u16 &path) { return Upcase(Canonical(path)); }

// Drops one reference with the lock held; returns the destroy routine to run (after unlocking)
// when it was the last.
void (*DropLocked(void *body, LONG_PTR *left))(void *)
{
    auto it = M().objects.find(body);
    if (it == M().objects.end()) {
        *left = -1;
        return nullptr;
    }
    *left = --it->second.refs;
    if (*left > 0) return nullptr;
    auto destroy = it->second.destroy;
    M().objects.erase(it);
    return destroy;
}

void Drop(void *body)
{
    void (*destroy)(void *);
    LONG_PTR left;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        destroy = DropLocked(body, &left);
    }
    if (destroy != nullptr) destroy(body);
}

ObType TypeOf(POBJECT_TYPE type) { return type->type; }

}  // namespace

const char *ObTypeName(ObType type)
{
    switch (type) {
    case ObType::Event: return "Event";
    case ObType::Thread: return "Thread";
    case ObType::File: return "File";
    case ObType::Device: return "Device";
    case ObType::Driver: return "Driver";
    case ObType::SymbolicLink: return "SymbolicLink";
    case ObType::Key: return "Key";
    case ObType::Mutex: return "Mutex";
    }
    return "?";
}

// ---- objects -------------------------------------------------------------------------------------

void ObRegister(void *body, ObType type, void (*destroy)(void *body))
{
    std::lock_guard<std::mutex> guard(M().lock);
    M().objects[body] = Object{type, 1, destroy, 0};
}

bool ObIsObject(const void *body, ObType *type)
{
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    if (it == M().objects.end()) return false;
    if (type != nullptr) *type = it->second.type;
    return true;
}

LONG_PTR ObAddRef(void *body)
{
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    if (it == M().objects.end()) return -1;
    return ++it->second.refs;
}

LONG_PTR ObRelease(void *body)
{
    void (*destroy)(void *);
    LONG_PTR left;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        destroy = DropLocked(body, &left);
    }
    if (destroy != nullptr) destroy(body);
    return left;
}

size_t ObLiveCount(ObType type)
{
    std::lock_guard<std::mutex> guard(M().lock);
    size_t count = 0;
    for (const auto &[body, object] : M().objects) count += object.type == type ? 1 : 0;
    return count;
}

LONG_PTR ObReferenceCount(const void *body)
{
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    return it == M().objects.end() ? 0 : it->second.refs;
}

size_t ObHandlesOn(const void *body)
{
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    return it == M().objects.end() ? 0 : it->second.handles;
}

// ---- processes and handles -------------------------------------------------------------------

Process CurrentProcess()
{
    uint64_t generation = KernelGeneration();
    if (tl_process.generation != generation) tl_process = ProcessState{generation, Process::Application};
    return tl_process.process;
}

ScopedProcess::ScopedProcess(Process p) : saved_(CurrentProcess()) { tl_process.process = p; }

ScopedProcess::~ScopedProcess() { tl_process.process = saved_; }

NTSTATUS ObInsertHandle(void *body, ACCESS_MASK granted, HANDLE *handle, bool kernel_handle)
{
    Process p = kernel_handle ? Process::System : CurrentProcess();
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    if (it == M().objects.end()) return STATUS_INVALID_PARAMETER;
    auto &table = M().tables[ProcessIndex(p)];
    size_t slot = 0;
    while (slot < table.size() && table[slot].body != nullptr) ++slot;
    if (slot == table.size()) table.emplace_back();
    table[slot] = HandleEntry{body, granted, kernel_handle};
    it->second.refs++;
    it->second.handles++;
    *handle = EncodeHandle(slot, kernel_handle);
    return STATUS_SUCCESS;
}

void ObCheckKernelHandle(const OBJECT_ATTRIBUTES *attributes, const char *service)
{
    if (KernelHandleAsked(attributes)) return;
    // Driver Verifier stops a driver that uses such a handle from an application's context with
    // kernel access (0xC4, 0xF6). The rule here is stricter and earlier: a driver's handles are
    // kernel handles wherever they are made.
    char text[160];
    snprintf(text, sizeof text, "%s in the %s process made a handle without OBJ_KERNEL_HANDLE", service,
             ProcessName(CurrentProcess()));
    RecordViolation("handle-not-kernel", text);
}

NTSTATUS ObReferenceHandleAnyType(HANDLE handle, void **body, ObType *type)
{
    Process p = CurrentProcess();
    std::lock_guard<std::mutex> guard(M().lock);
    size_t table;
    long slot = DecodeHandle(p, handle, &table);
    if (slot < 0) return STATUS_INVALID_HANDLE;
    void *object = M().tables[table][slot].body;
    auto it = M().objects.find(object);
    if (it == M().objects.end()) return STATUS_INVALID_HANDLE;
    it->second.refs++;
    *body = object;
    if (type != nullptr) *type = it->second.type;
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceHandle(HANDLE handle, ObType expected, void **body)
{
    void *object;
    ObType type;
    NTSTATUS status = ObReferenceHandleAnyType(handle, &object, &type);
    if (!NT_SUCCESS(status)) return status;
    if (type != expected) {
        Drop(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *body = object;
    return STATUS_SUCCESS;
}

NTSTATUS ObCloseHandle(HANDLE handle, KPROCESSOR_MODE previous_mode)
{
    Process p = CurrentProcess();
    void *body;
    size_t left;
    void (*hook)(void *, size_t) = nullptr;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        size_t table;
        long slot = DecodeHandle(p, handle, &table, previous_mode == UserMode);
        if (slot < 0) return STATUS_INVALID_HANDLE;
        auto &entry = M().tables[table][slot];
        body = entry.body;
        entry = HandleEntry{};
        auto it = M().objects.find(body);
        left = it == M().objects.end() ? 0 : --it->second.handles;
        if (it != M().objects.end()) hook = M().close_hooks[static_cast<size_t>(it->second.type)];
    }
    if (hook != nullptr) hook(body, left);
    Drop(body);
    return STATUS_SUCCESS;
}

void ObSetCloseHook(ObType type, void (*hook)(void *body, size_t handles_left))
{
    std::lock_guard<std::mutex> guard(M().lock);
    M().close_hooks[static_cast<size_t>(type)] = hook;
}

size_t ObHandleCount(Process process, ObType type)
{
    std::lock_guard<std::mutex> guard(M().lock);
    size_t count = 0;
    for (const auto &entry : M().tables[ProcessIndex(process)]) {
        if (entry.body == nullptr) continue;
        auto it = M().objects.find(entry.body);
        count += it != M().objects.end() && it->second.type == type ? 1 : 0;
    }
    return count;
}

size_t ObKernelHandleCount()
{
    std::lock_guard<std::mutex> guard(M().lock);
    size_t count = 0;
    for (const auto &entry : M().tables[ProcessIndex(Process::System)]) count += entry.kernel ? 1 : 0;
    return count;
}

size_t ObHandleCountAll(Process process)
{
    std::lock_guard<std::mutex> guard(M().lock);
    size_t count = 0;
    for (const auto &entry : M().tables[ProcessIndex(process)]) count += entry.body != nullptr ? 1 : 0;
    return count;
}

// ---- names and symbolic links --------------------------------------------------------------------

NTSTATUS ObInsertName(const u16 &path, void *body)
{
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    u16 key = Key(path);
    std::lock_guard<std::mutex> guard(M().lock);
    auto it = M().objects.find(body);
    if (it == M().objects.end()) return STATUS_INVALID_PARAMETER;
    if (M().names.count(key) != 0 || M().links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    M().names[key] = Named{path, body};
    it->second.refs++;
    return STATUS_SUCCESS;
}

void ObRemoveName(const u16 &path)
{
    void *body;
    {
        std::lock_guard<std::mutex> guard(M().lock);
        auto it = M().names.find(Key(path));
        if (it == M().names.end()) return;
        body = it->second.body;
        M().names.erase(it);
    }
    Drop(body);
}

NTSTATUS ObCreateSymbolicLink(const u16 &link, const u16 &target)
{
    if (link.empty() || link[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    u16 key = Key(link);
    std::lock_guard<std::mutex> guard(M().lock);
    if (M().names.count(key) != 0 || M().links.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    M().links[key] = Link{link, target};
    return STATUS_SUCCESS;
}

NTSTATUS ObDeleteSymbolicLink(const u16 &link)
{
    std::lock_guard<std::mutex> guard(M().lock);
    return M().links.erase(Key(link)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ObResolve(const u16 &path, void **body, u16 *remaining)
{
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(M().lock);
    u16 current = Canonical(path);
    // Follow links on each prefix, from the root down, as a directory walk does.
    for (int hops = 0;; ++hops) {
        if (hops > 32) return STATUS_OBJECT_NAME_NOT_FOUND;  // a loop of links
        u16 key = Upcase(current);
        bool followed = false;
        for (size_t end = 1; end <= key.size(); ++end) {
            if (end != key.size() && key[end] != u'\\') continue;
            auto it = M().links.find(key.substr(0, end));
            if (it == M().links.end()) continue;
            current = Canonical(it->second.target + current.substr(end));
            followed = true;
            break;
        }
        if (!followed) break;
    }
    u16 key = Upcase(current);
    for (size_t end = key.size(); end >= 1; --end) {
        if (end != key.size() && key[end] != u'\\') continue;
        auto it = M().names.find(key.substr(0, end));
        if (it == M().names.end()) continue;
        auto object = M().objects.find(it->second.body);
        if (object == M().objects.end()) continue;
        object->second.refs++;
        *body = it->second.body;
        if (remaining != nullptr) *remaining = current.substr(end);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

u16 ObNameOf(const void *body)
{
    std::lock_guard<std::mutex> guard(M().lock);
    for (const auto &[key, named] : M().names) {
        if (named.body == body) return named.name;
    }
    return u16();
}

// ---- kernel lifetime -------------------------------------------------------------------------------

void ObCheckLeaks(std::vector<Violation> *out)
{
    std::lock_guard<std::mutex> guard(M().lock);
    for (Process p : {Process::System, Process::Application}) {
        const auto &table = M().tables[ProcessIndex(p)];
        for (size_t slot = 0; slot < table.size(); ++slot) {
            if (table[slot].body == nullptr) continue;
            auto it = M().objects.find(table[slot].body);
            const char *type = it == M().objects.end() ? "?" : ObTypeName(it->second.type);
            char text[160];
            snprintf(text, sizeof text, "%s process: %shandle %p to a %s object never closed", ProcessName(p),
                     table[slot].kernel ? "kernel " : "", EncodeHandle(slot, table[slot].kernel), type);
            std::string detail = text;
            for (const auto &[key, named] : M().names) {
                if (named.body == table[slot].body) detail += " (" + Narrow(named.name) + ")";
            }
            out->push_back({"leak-handle", detail});
        }
    }
}

void ObReset()
{
    // Objects still here were reported by the leak check. Their memory is kept, and kept
    // reachable, for the life of the process: a test object outliving its kernel may still hold
    // a pointer into one, and must not read freed memory through it.
    static auto *abandoned = new std::vector<const void *>;
    std::lock_guard<std::mutex> guard(M().lock);
    for (const auto &entry : M().objects) abandoned->push_back(entry.first);
    M().objects.clear();
    for (auto &table : M().tables) table.clear();
    M().names.clear();
    M().links.clear();
    for (auto &hook : M().close_hooks) hook = nullptr;
}

}  // namespace ksim::detail

// ---- the test API --------------------------------------------------------------------------------

namespace ksim {

bool ObjectExists(const u16 &path)
{
    auto &m = detail::M();
    u16 key = detail::Key(path);
    std::lock_guard<std::mutex> guard(m.lock);
    return m.names.count(key) != 0 || m.links.count(key) != 0;
}

std::optional<u16> SymbolicLinkTarget(const u16 &link)
{
    auto &m = detail::M();
    std::lock_guard<std::mutex> guard(m.lock);
    auto it = m.links.find(detail::Key(link));
    if (it == m.links.end()) return std::nullopt;
    return it->second.target;
}

size_t HandleCount(Process process) { return detail::ObHandleCountAll(process); }

size_t KernelHandleCount() { return detail::ObKernelHandleCount(); }

NTSTATUS CloseApplicationHandle(HANDLE handle)
{
    detail::ScopedProcess app(Process::Application);
    return detail::ObCloseHandle(handle, UserMode);
}

}  // namespace ksim

using namespace ksim::detail;

// ---- the object manager's services -----------------------------------------------------------------

namespace {
_OBJECT_TYPE g_thread_type{ObType::Thread};
_OBJECT_TYPE g_event_type{ObType::Event};
_OBJECT_TYPE g_file_type{ObType::File};
POBJECT_TYPE g_thread_type_ptr = &g_thread_type;
POBJECT_TYPE g_event_type_ptr = &g_event_type;
POBJECT_TYPE g_file_type_ptr = &g_file_type;
}  // namespace
// The two processes' records, told apart by address.
struct _KPROCESS {
    ksim::Process process;
};
namespace {
_KPROCESS g_processes[2] = {{ksim::Process::System}, {ksim::Process::Application}};
}  // namespace

extern "C" {

PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    return &g_processes[CurrentProcess() == ksim::Process::System ? 0 : 1];
}

POBJECT_TYPE *PsThreadType = &g_thread_type_ptr;
POBJECT_TYPE *ExEventObjectType = &g_event_type_ptr;
POBJECT_TYPE *IoFileObjectType = &g_file_type_ptr;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    (void)DesiredAccess;
    (void)AccessMode;
    CheckIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    NTSTATUS status;
    if (FaultFires(ksim::Fault::ObjectReference, &status)) return status;
    if (Object == nullptr) return STATUS_INVALID_PARAMETER;
    void *body;
    ObType type;
    status = ObReferenceHandleAnyType(Handle, &body, &type);
    if (!NT_SUCCESS(status)) return status;
    if (ObjectType != nullptr && TypeOf(ObjectType) != type) {
        ObRelease(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Object = body;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    LONG_PTR refs = ObAddRef(Object);
    if (refs < 0) RecordViolation("object-reference-unknown", "ObReferenceObject on something that is not an object");
    return refs;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    LONG_PTR refs = ObRelease(Object);
    if (refs < 0) {
        RecordViolation("object-dereference-unknown",
                        "ObDereferenceObject on something that is not an object (or no longer is one)");
    }
    return refs;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    NTSTATUS status = ObCloseHandle(Handle);
    if (status == STATUS_INVALID_HANDLE) {
        char text[96];
        snprintf(text, sizeof text, "ZwClose(%p) in the %s process", Handle,
                 CurrentProcess() == ksim::Process::System ? "System" : "Application");
        RecordViolation("close-invalid-handle", text);
    }
    return status;
}

}  // extern "C"
