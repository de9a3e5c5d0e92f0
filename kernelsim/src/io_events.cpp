// io_events.cpp - event objects: the I/O manager's named events (IoCreateNotificationEvent,
// IoCreateSynchronizationEvent) and the executive's event services (ZwCreateEvent,
// ZwSetEvent) with the handle wait ZwWaitForSingleObject.
//
// An event object is a KEVENT owned by the object manager. Named events are temporary
// objects, as in Windows: the name lasts while a handle to the event is open, so the next
// creation after the last close makes a new event. All of these run at PASSIVE_LEVEL.
#include "io_internal.h"

namespace ksim::detail::io {
namespace {

struct EventBody {
    KEVENT event;  // first: the body's address is the KEVENT's
};

void DestroyEvent(void *body) { delete static_cast<EventBody *>(body); }

// Serialises open-or-create of named events so two creators of one name share one event.
std::mutex &NameMutex()
{
    static std::mutex mutex;
    return mutex;
}

void EventCloseHook(void *body, size_t handles_left)
{
    if (handles_left != 0) return;
    std::lock_guard<std::mutex> guard(NameMutex());
    u16 name = ObNameOf(body);
    if (!name.empty()) ObRemoveName(name);
}

// Looks a name up; returns a referenced event, or null (with *status) when there is none.
PKEVENT FindNamedEvent(const u16 &name, NTSTATUS *status)
{
    void *object = nullptr;
    u16 remaining;
    *status = ObResolve(name, &object, &remaining);
    if (!NT_SUCCESS(*status)) return nullptr;
    ObType type;
    if (!remaining.empty() || !ObIsObject(object, &type) || type != ObType::Event) {
        ObRelease(object);
        *status = remaining.empty() ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return static_cast<PKEVENT>(object);
}

// A new event with one reference (the caller's), named when `name` is not empty.
NTSTATUS NewEvent(const u16 &name, EVENT_TYPE type, BOOLEAN state, PKEVENT *out)
{
    auto *body = new EventBody{};
    KeInitializeEvent(&body->event, type, state);
    ObRegister(body, ObType::Event, DestroyEvent);
    if (!name.empty()) {
        NTSTATUS status = ObInsertName(name, body);
        if (!NT_SUCCESS(status)) {
            ObRelease(body);
            return status;
        }
    }
    *out = &body->event;
    return STATUS_SUCCESS;
}

enum class Existing { Open, Fail };

// Opens the named event or creates it; returns a kernel handle or one in the current process.
// *created tells which happened. The caller's reference is turned into the handle's.
NTSTATUS OpenOrCreate(const u16 &name, EVENT_TYPE type, BOOLEAN state, Existing existing, ACCESS_MASK access,
                      bool kernel_handle, HANDLE *handle, PKEVENT *event, bool *created)
{
    std::lock_guard<std::mutex> guard(NameMutex());
    NTSTATUS status = STATUS_SUCCESS;
    PKEVENT found = name.empty() ? nullptr : FindNamedEvent(name, &status);
    if (found == nullptr && status == STATUS_OBJECT_TYPE_MISMATCH) return status;
    if (found != nullptr && existing == Existing::Fail) {
        ObRelease(found);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    *created = found == nullptr;
    if (found == nullptr) {
        status = NewEvent(name, type, state, &found);
        if (!NT_SUCCESS(status)) return status;
    }
    status = ObInsertHandle(found, access, handle, kernel_handle);
    ObRelease(found);
    if (!NT_SUCCESS(status)) return status;
    *event = found;
    return STATUS_SUCCESS;
}

// IoCreateNotificationEvent and IoCreateSynchronizationEvent: a new event starts signalled.
PKEVENT IoCreateNamedEvent(PUNICODE_STRING EventName, PHANDLE EventHandle, EVENT_TYPE type, const char *what)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, what);
    NTSTATUS status;
    if (FaultFires(Fault::EventCreation, &status)) return nullptr;
    u16 name = FromCounted(EventName);
    if (name.empty()) return nullptr;
    HANDLE handle = nullptr;
    PKEVENT event = nullptr;
    bool created = false;
    // The handle these routines return is always a kernel handle.
    status = OpenOrCreate(name, type, TRUE, Existing::Open, EVENT_ALL_ACCESS, true, &handle, &event, &created);
    if (!NT_SUCCESS(status)) return nullptr;
    *EventHandle = handle;
    return event;
}

}  // namespace

void EventsInitialize()
{
    ObSetCloseHook(ObType::Event, EventCloseHook);
}

}  // namespace ksim::detail::io

using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

PKEVENT NTAPI IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    return IoCreateNamedEvent(EventName, EventHandle, NotificationEvent, "IoCreateNotificationEvent");
}

PKEVENT NTAPI IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle)
{
    return IoCreateNamedEvent(EventName, EventHandle, SynchronizationEvent, "IoCreateSynchronizationEvent");
}

NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                             EVENT_TYPE EventType, BOOLEAN InitialState)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "ZwCreateEvent");
    NTSTATUS status;
    if (FaultFires(Fault::EventCreation, &status)) return status;
    u16 name;
    ULONG attributes = 0;
    if (ObjectAttributes != nullptr) {
        name = FromCounted(ObjectAttributes->ObjectName);
        attributes = ObjectAttributes->Attributes;
    }
    Existing existing = (attributes & OBJ_OPENIF) ? Existing::Open : Existing::Fail;
    HANDLE handle = nullptr;
    PKEVENT event = nullptr;
    bool created = false;
    status = OpenOrCreate(name, EventType, InitialState, existing, DesiredAccess, KernelHandleAsked(ObjectAttributes),
                          &handle, &event, &created);
    if (!NT_SUCCESS(status)) return status;
    ObCheckKernelHandle(ObjectAttributes, "ZwCreateEvent");
    *EventHandle = handle;
    return created ? STATUS_SUCCESS : STATUS_OBJECT_NAME_EXISTS;
}

NTSTATUS NTAPI ZwSetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    void *object = nullptr;
    NTSTATUS status = ObReferenceHandle(EventHandle, ObType::Event, &object);
    if (!NT_SUCCESS(status)) return status;
    LONG previous = KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    if (PreviousState != nullptr) *PreviousState = previous;
    ObRelease(object);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    CheckIrqlAtMost(Timeout != nullptr && Timeout->QuadPart == 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL,
                    "ZwWaitForSingleObject");
    void *object = nullptr;
    ObType type;
    NTSTATUS status = ObReferenceHandleAnyType(Handle, &object, &type);
    if (!NT_SUCCESS(status)) return status;
    if (type != ObType::Event && type != ObType::Thread && type != ObType::Mutex) {
        ObRelease(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = KeWaitForSingleObject(object, Executive, KernelMode, Alertable, Timeout);
    ObRelease(object);
    return status;
}
