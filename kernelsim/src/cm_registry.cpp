// cm_registry.cpp - the configuration manager: an in-memory registry.
//
// The registry is a tree of keys under "\REGISTRY". Key and value names compare without regard
// to case and keep the spelling they were created with. Values carry a type and raw bytes.
//
// Key handles are object-manager handles on ObType::Key objects, so the leak check at teardown
// sees keys that were never closed. A key object refers to its tree node; deleting a key (test
// side) detaches the node and marks it deleted, after which every operation through a handle
// still open on it fails with STATUS_KEY_DELETED, as on Windows.
//
// Locking: g_cm.lock guards the whole tree (every node's subkeys, values and deleted flag). It is
// a leaf: nothing that can call out of this file (object manager, verifier, faults) runs while it
// is held.
//
// The Zw* services check the IRQL (PASSIVE_LEVEL) and count their calls for fault injection:
// ZwOpenKey and ZwCreateKey as Fault::RegistryOpen, ZwQueryValueKey as Fault::RegistryQuery.
// ksim::reg::* is the test side: no IRQL check, no counting.
#include "core.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using ksim::u16;

struct CmValue {
    u16 name;
    ULONG type;
    std::vector<uint8_t> data;
};

struct CmKey {
    u16 name;
    CmKey *parent = nullptr;  // null for the root and once deleted
    std::vector<std::shared_ptr<CmKey>> subkeys;
    std::vector<CmValue> values;
    bool deleted = false;
};

// Body of an ObType::Key object: one per handle-producing open.
struct KeyObject {
    std::shared_ptr<CmKey> key;
};

struct CmState {
    std::mutex lock;
    std::shared_ptr<CmKey> root;  // "\REGISTRY"; null while no kernel runs
};
CmState g_cm;

constexpr ULONG kFullFixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kBasicFixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
static_assert(kFullFixed == 20 && kPartialFixed == 12 && kBasicFixed == 12, "Windows layouts");

bool SameName(const u16 &a, const u16 &b) { return ksim::detail::EqualsInsensitive(a, b); }

u16 Terminated(PCWSTR s)
{
    if (s == nullptr) return u16();
    return ksim::FromWz(s);
}

// Splits a path into its names. Inside the registry, runs of separators and a trailing
// separator are tolerated as Windows tolerates them: empty names are skipped.
std::vector<u16> SplitNames(const u16 &path)
{
    std::vector<u16> names;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find(u'\\', at);
        if (end == u16::npos) end = path.size();
        if (end > at) names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

// Lock held.
std::shared_ptr<CmKey> FindSubkey(const CmKey &key, const u16 &name)
{
    for (const auto &sub : key.subkeys)
        if (SameName(sub->name, name)) return sub;
    return nullptr;
}

// Lock held.
CmValue *FindValue(CmKey &key, const u16 &name)
{
    for (auto &value : key.values)
        if (SameName(value.name, name)) return &value;
    return nullptr;
}

// Lock held.
std::shared_ptr<CmKey> AddSubkey(const std::shared_ptr<CmKey> &parent, const u16 &name)
{
    auto sub = std::make_shared<CmKey>();
    sub->name = name;
    sub->parent = parent.get();
    parent->subkeys.push_back(sub);
    return sub;
}

// Lock held. Marks a detached subtree deleted.
void MarkDeleted(CmKey &key)
{
    key.deleted = true;
    key.parent = nullptr;
    for (auto &sub : key.subkeys) MarkDeleted(*sub);
}

// Lock held. Takes a key (not the root) out of its parent and marks it and its subtree deleted.
void DetachLocked(const std::shared_ptr<CmKey> &key)
{
    auto &siblings = key->parent->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    MarkDeleted(*key);
}

// Where a path leads: the names to walk and the key to start from.
struct ParsedPath {
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_ptr<CmKey> start;
    std::vector<u16> names;
};

// Lock held. An absolute path must name "\REGISTRY" first; object-namespace paths elsewhere
// fail the way the object manager fails them for a key open.
ParsedPath ParseAbsolute(const u16 &path)
{
    ParsedPath parsed;
    if (path.empty() || path[0] != u'\\') {
        parsed.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return parsed;
    }
    if (!g_cm.root) {
        parsed.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return parsed;
    }
    size_t end = path.find(u'\\', 1);
    u16 first = path.substr(1, end == u16::npos ? u16::npos : end - 1);
    if (first.empty()) {
        // "\" is the root directory, "\\..." an invalid name.
        parsed.status = path.size() == 1 ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_OBJECT_NAME_INVALID;
        return parsed;
    }
    if (!SameName(first, u"REGISTRY")) {
        parsed.status = end == u16::npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        return parsed;
    }
    parsed.start = g_cm.root;
    if (end != u16::npos) parsed.names = SplitNames(path.substr(end + 1));
    return parsed;
}

// Lock held. Walks all names; null when one is missing.
std::shared_ptr<CmKey> Walk(std::shared_ptr<CmKey> key, const std::vector<u16> &names, size_t count)
{
    for (size_t i = 0; i < count && key; ++i) key = FindSubkey(*key, names[i]);
    return key;
}

std::shared_ptr<CmKey> LookupAbsolute(const u16 &path)
{
    ParsedPath parsed = ParseAbsolute(path);
    if (!NT_SUCCESS(parsed.status)) return nullptr;
    return Walk(parsed.start, parsed.names, parsed.names.size());
}

// Takes a reference on the key object behind a handle of the current process.
NTSTATUS ReferenceKeyHandle(HANDLE handle, KeyObject **object)
{
    void *body = nullptr;
    NTSTATUS status = ksim::detail::ObReferenceHandle(handle, ksim::detail::ObType::Key, &body);
    if (!NT_SUCCESS(status)) return status;
    *object = static_cast<KeyObject *>(body);
    return STATUS_SUCCESS;
}

void DestroyKeyObject(void *body) { delete static_cast<KeyObject *>(body); }

// Makes a key object for `key` and a handle on it in the current process. The handle holds the
// object's only reference once the creation reference is dropped.
NTSTATUS InsertKeyHandle(std::shared_ptr<CmKey> key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                         const char *service, HANDLE *handle)
{
    auto *object = new KeyObject{std::move(key)};
    ksim::detail::ObRegister(object, ksim::detail::ObType::Key, DestroyKeyObject);
    NTSTATUS status =
        ksim::detail::ObInsertHandle(object, access, handle, ksim::detail::KernelHandleAsked(attributes));
    ksim::detail::ObRelease(object);
    if (NT_SUCCESS(status)) ksim::detail::ObCheckKernelHandle(attributes, service);
    return status;
}

// The common part of ZwOpenKey and ZwCreateKey: resolves the object attributes to a key,
// creating the last name under an existing parent when `create` is set (as on Windows, the
// parent must exist).
NTSTATUS ResolveKey(POBJECT_ATTRIBUTES attributes, bool create, std::shared_ptr<CmKey> *out, ULONG *disposition)
{
    if (attributes == nullptr) return STATUS_INVALID_PARAMETER;
    u16 name = ksim::detail::FromCounted(attributes->ObjectName);
    std::shared_ptr<CmKey> rootKey;
    if (attributes->RootDirectory != nullptr) {
        KeyObject *root = nullptr;
        NTSTATUS status = ReferenceKeyHandle(attributes->RootDirectory, &root);
        if (!NT_SUCCESS(status)) return status;
        rootKey = root->key;
        ksim::detail::ObRelease(root);
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::lock_guard<std::mutex> guard(g_cm.lock);
    std::shared_ptr<CmKey> start;
    std::vector<u16> names;
    if (rootKey) {
        start = rootKey;
        names = SplitNames(name);
    } else {
        ParsedPath parsed = ParseAbsolute(name);
        if (!NT_SUCCESS(parsed.status)) return parsed.status;
        start = parsed.start;
        names = std::move(parsed.names);
    }
    if (start->deleted) return STATUS_KEY_DELETED;
    *disposition = REG_OPENED_EXISTING_KEY;
    if (names.empty()) {
        *out = start;
        return STATUS_SUCCESS;
    }
    auto parent = Walk(start, names, names.size() - 1);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto key = FindSubkey(*parent, names.back());
    if (!key) {
        if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = AddSubkey(parent, names.back());
        *disposition = REG_CREATED_NEW_KEY;
    }
    *out = std::move(key);
    return STATUS_SUCCESS;
}

// Serialises one value into a KEY_VALUE_*_INFORMATION record exactly as Windows lays it out
// and reports it: ResultLength always receives the full size; a buffer shorter than the fixed
// part gets nothing (STATUS_BUFFER_TOO_SMALL); otherwise the fixed part is filled and the name
// and data are copied as far as they fit, with STATUS_BUFFER_OVERFLOW when not all did.
NTSTATUS WriteValueRecord(const CmValue &value, KEY_VALUE_INFORMATION_CLASS type, uint8_t *out, ULONG length,
                          ULONG *result)
{
    const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const ULONG dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed = 0;
    ULONG nameOffset = 0;
    ULONG dataOffset = 0;
    ULONG header[5] = {0, value.type, 0, 0, 0};
    switch (type) {
    case KeyValueBasicInformation:
        fixed = kBasicFixed;
        nameOffset = fixed;
        *result = fixed + nameBytes;
        header[2] = nameBytes;
        break;
    case KeyValuePartialInformation:
        fixed = kPartialFixed;
        dataOffset = fixed;
        *result = fixed + dataBytes;
        header[2] = dataBytes;
        break;
    case KeyValueFullInformation:
        fixed = kFullFixed;
        nameOffset = fixed;
        // 64-bit Windows starts non-empty data on an 8-byte boundary; empty data directly
        // follows the name.
        dataOffset = fixed + nameBytes;
        if (dataBytes > 0) dataOffset = (dataOffset + 7u) & ~7u;
        *result = dataOffset + dataBytes;
        header[2] = dataOffset;
        header[3] = dataBytes;
        header[4] = nameBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(out, header, fixed);
    NTSTATUS status = length < *result ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    if (nameOffset != 0) {
        ULONG room = length - nameOffset;
        std::memcpy(out + nameOffset, value.name.data(), std::min(room, nameBytes));
    }
    if (dataOffset != 0 && dataBytes > 0 && length > dataOffset)
        std::memcpy(out + dataOffset, value.data.data(), std::min(length - dataOffset, dataBytes));
    return status;
}

std::shared_ptr<CmKey> RootOrThrow()
{
    if (!g_cm.root) throw std::logic_error("ksim::reg used while no kernel is running");
    return g_cm.root;
}

// Lock held. Creates every missing key along an absolute path (test side).
std::shared_ptr<CmKey> CreatePath(const u16 &path)
{
    RootOrThrow();
    ParsedPath parsed = ParseAbsolute(path);
    if (!NT_SUCCESS(parsed.status))
        throw std::invalid_argument("not a registry path: " + ksim::Narrow(path));
    auto key = parsed.start;
    for (const auto &name : parsed.names) {
        auto sub = FindSubkey(*key, name);
        key = sub ? sub : AddSubkey(key, name);
    }
    return key;
}

// Base keys of the RTL_REGISTRY_* relative forms.
const char16_t *RelativeBase(ULONG relative)
{
    switch (relative) {
    case RTL_REGISTRY_SERVICES: return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";
    case RTL_REGISTRY_USER: return u"\\REGISTRY\\USER\\.DEFAULT";
    default: return nullptr;
    }
}

// Opens the key an Rtl*RegistryValue call names, the way those routines do: through the Zw
// services (so the opens count and the handle is a real one), creating the final key when
// asked to. *owned tells whether the caller must close the handle.
NTSTATUS OpenRtlKey(ULONG relativeTo, PCWSTR path, bool create, HANDLE *key, bool *owned)
{
    *owned = false;
    ULONG relative = relativeTo & ~(ULONG)RTL_REGISTRY_OPTIONAL;
    if (relative & RTL_REGISTRY_HANDLE) {
        *key = (HANDLE)path;
        return STATUS_SUCCESS;
    }
    u16 full;
    if (relative == RTL_REGISTRY_ABSOLUTE) {
        full = Terminated(path);
    } else {
        const char16_t *base = RelativeBase(relative);
        if (base == nullptr) return STATUS_INVALID_PARAMETER;
        full = base;
        u16 rest = Terminated(path);
        if (!rest.empty() && rest[0] != u'\\') full += u'\\';
        full += rest;
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(full.data());
    name.Length = static_cast<USHORT>(full.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = create ? ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)
                             : ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
    *owned = NT_SUCCESS(status);
    return status;
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Start and end of the registry with the kernel.
// ------------------------------------------------------------------------------------------
namespace ksim::detail {

void CmInitialize()
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    g_cm.root = std::make_shared<CmKey>();
    g_cm.root->name = u"REGISTRY";
    for (const char16_t *path : {
             u"\\REGISTRY\\MACHINE\\SOFTWARE",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
             u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP",
             u"\\REGISTRY\\USER",
         })
        CreatePath(path);
}

void CmShutdown()
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    if (g_cm.root) MarkDeleted(*g_cm.root);
    g_cm.root.reset();
}

}  // namespace ksim::detail

// ------------------------------------------------------------------------------------------
// The registry services drivers call.
// ------------------------------------------------------------------------------------------
extern "C" {

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (ksim::detail::CallTraceOn() && ObjectAttributes != nullptr) {
        ksim::KernelCall call;
        call.routine = "ZwOpenKey";
        call.name = ksim::detail::FromCounted(ObjectAttributes->ObjectName);
        call.value = DesiredAccess;
        call.value2 = ObjectAttributes->Attributes;
        ksim::detail::TraceCall(std::move(call));
    }
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    NTSTATUS status;
    if (ksim::detail::FaultFires(ksim::Fault::RegistryOpen, &status)) return status;
    std::shared_ptr<CmKey> key;
    ULONG disposition = 0;
    status = ResolveKey(ObjectAttributes, false, &key, &disposition);
    if (!NT_SUCCESS(status)) return status;
    return InsertKeyHandle(std::move(key), DesiredAccess, ObjectAttributes, "ZwOpenKey", KeyHandle);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    (void)TitleIndex;
    (void)Class;
    (void)CreateOptions;  // every key lives only as long as the kernel: volatile or not alike
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    NTSTATUS status;
    if (ksim::detail::FaultFires(ksim::Fault::RegistryOpen, &status)) return status;
    std::shared_ptr<CmKey> key;
    ULONG disposition = 0;
    status = ResolveKey(ObjectAttributes, true, &key, &disposition);
    if (!NT_SUCCESS(status)) return status;
    status = InsertKeyHandle(std::move(key), DesiredAccess, ObjectAttributes, "ZwCreateKey", KeyHandle);
    if (NT_SUCCESS(status) && Disposition != nullptr) *Disposition = disposition;
    return status;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    NTSTATUS status;
    if (ksim::detail::FaultFires(ksim::Fault::RegistryQuery, &status)) return status;
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
    KeyObject *object = nullptr;
    status = ReferenceKeyHandle(KeyHandle, &object);
    if (!NT_SUCCESS(status)) return status;
    u16 name = ksim::detail::FromCounted(ValueName);
    {
        std::lock_guard<std::mutex> guard(g_cm.lock);
        if (object->key->deleted) {
            status = STATUS_KEY_DELETED;
        } else if (const CmValue *value = FindValue(*object->key, name)) {
            status = WriteValueRecord(*value, KeyValueInformationClass, static_cast<uint8_t *>(KeyValueInformation),
                                      Length, ResultLength);
        } else {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    ksim::detail::ObRelease(object);
    return status;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize)
{
    (void)TitleIndex;
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
    KeyObject *object = nullptr;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, &object);
    if (!NT_SUCCESS(status)) return status;
    u16 name = ksim::detail::FromCounted(ValueName);
    const auto *bytes = static_cast<const uint8_t *>(Data);
    {
        std::lock_guard<std::mutex> guard(g_cm.lock);
        CmKey &key = *object->key;
        if (key.deleted) {
            status = STATUS_KEY_DELETED;
        } else {
            CmValue *value = FindValue(key, name);
            if (value == nullptr) {
                key.values.push_back(CmValue{name, Type, {}});
                value = &key.values.back();
            }
            value->type = Type;
            value->data.assign(bytes, bytes + DataSize);
        }
    }
    ksim::detail::ObRelease(object);
    return status;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    if (ValueName == nullptr) return STATUS_INVALID_PARAMETER;
    KeyObject *object = nullptr;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, &object);
    if (!NT_SUCCESS(status)) return status;
    u16 name = ksim::detail::FromCounted(ValueName);
    {
        std::lock_guard<std::mutex> guard(g_cm.lock);
        CmKey &key = *object->key;
        if (key.deleted) {
            status = STATUS_KEY_DELETED;
        } else {
            auto it = std::find_if(key.values.begin(), key.values.end(),
                                   [&](const CmValue &v) { return SameName(v.name, name); });
            if (it == key.values.end()) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            } else {
                key.values.erase(it);
            }
        }
    }
    ksim::detail::ObRelease(object);
    return status;
}

// The key goes from the namespace at once; handles still open on it fail from then on with
// STATUS_KEY_DELETED. As on Windows, a key with subkeys cannot be deleted.
NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    KeyObject *object = nullptr;
    NTSTATUS status = ReferenceKeyHandle(KeyHandle, &object);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard<std::mutex> guard(g_cm.lock);
        const std::shared_ptr<CmKey> &key = object->key;
        if (key->deleted) {
            status = STATUS_KEY_DELETED;
        } else if (key->parent == nullptr || !key->subkeys.empty()) {
            status = STATUS_CANNOT_DELETE;
        } else {
            DetachLocked(key);
        }
    }
    ksim::detail::ObRelease(object);
    return status;
}

static void TraceRtlCall(const char *routine, ULONG RelativeTo, PCWSTR ValueName)
{
    if (!ksim::detail::CallTraceOn()) return;
    ksim::KernelCall call;
    call.routine = routine;
    call.name = Terminated(ValueName);
    call.value = RelativeTo;
    ksim::detail::TraceCall(std::move(call));
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    TraceRtlCall("RtlWriteRegistryValue", RelativeTo, ValueName);
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenRtlKey(RelativeTo, Path, true, &key, &owned);
    if (!NT_SUCCESS(status)) return status;
    u16 name = Terminated(ValueName);
    UNICODE_STRING counted = ksim::detail::CountedView(name);
    status = ZwSetValueKey(key, &counted, 0, ValueType, ValueData, ValueLength);
    if (owned) ksim::detail::ObCloseHandle(key);
    return status;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    ksim::detail::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    TraceRtlCall("RtlDeleteRegistryValue", RelativeTo, ValueName);
    HANDLE key = nullptr;
    bool owned = false;
    NTSTATUS status = OpenRtlKey(RelativeTo, Path, false, &key, &owned);
    if (!NT_SUCCESS(status)) return status;
    u16 name = Terminated(ValueName);
    UNICODE_STRING counted = ksim::detail::CountedView(name);
    status = ZwDeleteValueKey(key, &counted);
    if (owned) ksim::detail::ObCloseHandle(key);
    return status;
}

}  // extern "C"

// ------------------------------------------------------------------------------------------
// The test side.
// ------------------------------------------------------------------------------------------
namespace ksim::reg {

void CreateKey(const u16 &path)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    CreatePath(path);
}

bool DeleteKey(const u16 &path)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    RootOrThrow();
    auto key = LookupAbsolute(path);
    if (!key || key->parent == nullptr) return false;  // missing, or the root itself
    DetachLocked(key);
    return true;
}

bool KeyExists(const u16 &path)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    RootOrThrow();
    return LookupAbsolute(path) != nullptr;
}

void SetValue(const u16 &key, const u16 &name, ULONG type, const void *data, size_t length)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    auto node = CreatePath(key);
    const auto *bytes = static_cast<const uint8_t *>(data);
    CmValue *value = FindValue(*node, name);
    if (value == nullptr) {
        node->values.push_back(CmValue{name, type, {}});
        value = &node->values.back();
    }
    value->type = type;
    value->data.assign(bytes, bytes + length);
}

void SetString(const u16 &key, const u16 &name, const u16 &text, ULONG type)
{
    SetValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

void SetDword(const u16 &key, const u16 &name, ULONG value)
{
    SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

bool DeleteValue(const u16 &key, const u16 &name)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    RootOrThrow();
    auto node = LookupAbsolute(key);
    if (!node) return false;
    auto it = std::find_if(node->values.begin(), node->values.end(),
                           [&](const CmValue &v) { return SameName(v.name, name); });
    if (it == node->values.end()) return false;
    node->values.erase(it);
    return true;
}

std::optional<Value> GetValue(const u16 &key, const u16 &name)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    RootOrThrow();
    auto node = LookupAbsolute(key);
    if (!node) return std::nullopt;
    const CmValue *value = FindValue(*node, name);
    if (value == nullptr) return std::nullopt;
    return Value{value->type, value->data};
}

std::optional<u16> GetString(const u16 &key, const u16 &name)
{
    auto value = GetValue(key, name);
    if (!value) return std::nullopt;
    u16 text(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(char16_t));
    size_t end = text.find(u'\0');
    if (end != u16::npos) text.resize(end);
    return text;
}

std::vector<u16> ValueNames(const u16 &key)
{
    std::lock_guard<std::mutex> guard(g_cm.lock);
    RootOrThrow();
    std::vector<u16> names;
    auto node = LookupAbsolute(key);
    if (!node) return names;
    for (const auto &value : node->values) names.push_back(value.name);
    return names;
}

}  // namespace ksim::reg
