// io_pnp.cpp - Plug and Play and power plumbing: the root bus driver and its physical device
// objects, driver objects (load and unload), device interfaces, device properties and
// registry keys, symbolic links, and the power manager's two calls.
//
// The root bus answers what reaches its PDOs the way a test sets it up (SetAnswer, AnswerAsFound),
// and records what it saw and the status each request carried when it arrived. PnP requests are sent as the PnP manager sends them: from the system
// process at PASSIVE_LEVEL, with IoStatus.Status starting as STATUS_NOT_SUPPORTED.
#include "io_internal.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>

namespace ksim::detail::io {

// A root-enumerated PDO's bus-side state (the Pdo's own record).
struct BusPdo {
    PDEVICE_OBJECT device = nullptr;
    u16 name;
    int index = 0;
    mutable std::mutex mutex;  // guards everything below
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        bool pend = false;
        bool as_found = false;  // complete with the status the request carries
    };
    std::map<UCHAR, Answer> answers;
    std::deque<PIRP> held;
    std::vector<Pdo::Seen> seen;
    bool removed = false;
};

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr ULONG kInterfaceTag = 0x496F2020;  // 'Io  ', first character most significant

struct Interface {
    u16 link;
    GUID guid;
    PDEVICE_OBJECT pdo;
    u16 target;
    bool enabled = false;
};

struct PnpState {
    std::mutex mutex;  // guards the fields below
    std::vector<Interface> interfaces;
    int next_pdo_index = 0;
    PDRIVER_OBJECT root = nullptr;
};
PnpState &Pnp()
{
    static PnpState state;
    return state;
}

std::atomic<uint64_t> g_power_irp_starts{0};

struct DriverBlock {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    u16 name;
    u16 service;
    u16 registry_path;
};

void DestroyDriver(void *body) { delete static_cast<DriverBlock *>(body); }

PDRIVER_OBJECT NewDriverObject(const u16 &service, const u16 &prefix)
{
    auto *block = new DriverBlock{};
    block->service = service;
    block->name = prefix + service;
    block->registry_path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service;
    PDRIVER_OBJECT driver = &block->object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    driver->DriverName = CountedView(block->name);
    block->extension.DriverObject = driver;
    block->extension.ServiceKeyName = CountedView(block->service);
    for (auto &dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    ObRegister(block, ObType::Driver, DestroyDriver);
    return driver;
}

BusPdo *BusPdoOf(PDEVICE_OBJECT device)
{
    DeviceNode *node = Node(device);
    return node == nullptr ? nullptr : static_cast<BusPdo *>(node->bus_pdo);
}

// What reaches a root-enumerated PDO: recorded, then answered as the test set it up.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    BusPdo *pdo = BusPdoOf(device);
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = loc->MajorFunction;
    bool bus_request = major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_SYSTEM_CONTROL;
    if (pdo == nullptr || !bus_request) return InvalidDeviceRequest(device, irp);
    BusPdo::Answer answer;
    {
        std::lock_guard<std::mutex> guard(pdo->mutex);
        pdo->seen.push_back({major, loc->MinorFunction, irp->IoStatus.Status});
        if (major == IRP_MJ_PNP && loc->MinorFunction == IRP_MN_REMOVE_DEVICE) pdo->removed = true;
        auto it = pdo->answers.find(major);
        if (it != pdo->answers.end()) answer = it->second;
        if (answer.pend) {
            IoMarkIrpPending(irp);
            pdo->held.push_back(irp);
        }
    }
    if (answer.pend) return STATUS_PENDING;  // finished by CompleteHeld
    if (!answer.as_found) irp->IoStatus.Status = answer.status;
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Lower-case GUID text in braces, as interface names carry it.
u16 LowerGuid(const GUID &g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return W(text);
}

u16 IndexText(int index)
{
    char text[8];
    snprintf(text, sizeof text, "%04d", index);
    return W(text);
}

}  // namespace

void ForgetInterfacesOf(PDEVICE_OBJECT pdo)
{
    std::vector<u16> links;
    {
        PnpState &s = Pnp();
        std::lock_guard<std::mutex> guard(s.mutex);
        for (auto &i : s.interfaces)
            if (i.pdo == pdo && i.enabled) links.push_back(i.link);
        s.interfaces.erase(std::remove_if(s.interfaces.begin(), s.interfaces.end(),
                                          [&](const Interface &i) { return i.pdo == pdo; }),
                           s.interfaces.end());
    }
    for (const auto &link : links) ObDeleteSymbolicLink(link);
}

void PnpInitialize()
{
    PnpState &s = Pnp();
    PDRIVER_OBJECT root = NewDriverObject(u"Root", u"\\Driver\\");
    for (auto &dispatch : root->MajorFunction) dispatch = BusDispatch;
    std::lock_guard<std::mutex> guard(s.mutex);
    s.root = root;
    s.next_pdo_index = 0;
    s.interfaces.clear();
    g_power_irp_starts = 0;
}

void PnpShutdown()
{
    PnpState &s = Pnp();
    PDRIVER_OBJECT root;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        root = s.root;
        s.root = nullptr;
        s.interfaces.clear();
    }
    if (root != nullptr) ObRelease(reinterpret_cast<DriverBlock *>(root));
}

std::vector<InterfaceInfo> InterfaceList()
{
    PnpState &s = Pnp();
    std::lock_guard<std::mutex> guard(s.mutex);
    std::vector<InterfaceInfo> out;
    for (const auto &i : s.interfaces) out.push_back({i.link, i.guid, i.pdo, i.enabled});
    return out;
}

uint64_t PowerIrpStarts() { return g_power_irp_starts.load(); }

PDRIVER_OBJECT RootDriver()
{
    PnpState &s = Pnp();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.root;
}

}  // namespace ksim::detail::io

// ---- the test side: drivers, PDOs, pending requests ---------------------------------------------
namespace ksim {

using namespace ksim::detail;
using namespace ksim::detail::io;

struct Pdo::Impl : BusPdo {};

std::unique_ptr<Driver> Driver::Load(PDRIVER_INITIALIZE entry, const u16 &service_name, NTSTATUS *status)
{
    std::unique_ptr<Driver> driver(new Driver);
    driver->kernel_ = CurrentKernel();
    driver->object_ = NewDriverObject(service_name, u"\\Driver\\");
    auto *block = reinterpret_cast<DriverBlock *>(driver->object_);
    UNICODE_STRING path = CountedView(block->registry_path);
    NTSTATUS result;
    {
        ScopedProcess system(Process::System);
        result = entry(driver->object_, &path);
    }
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) {
        // Windows unloads the image without calling DriverUnload.
        ObRelease(block);
        driver->object_ = nullptr;
        return nullptr;
    }
    return driver;
}

Driver::~Driver()
{
    if (object_ != nullptr) Unload();
}

PDRIVER_OBJECT Driver::Object() const { return object_; }

void Driver::Unload()
{
    if (object_ != nullptr && kernel_ != CurrentKernel()) object_ = nullptr;
    if (object_ == nullptr) return;
    // A file's last reference may have gone from raised IRQL, its close still on its way to this
    // driver from a worker; Windows does not unload a driver whose devices a file still holds, nor
    // while a work item of one of its devices has yet to return.
    io::WaitForWorkItems();
    io::JoinDeferredReleases();
    {
        ScopedProcess system(Process::System);
        if (object_->DriverUnload != nullptr) object_->DriverUnload(object_);
    }
    bool devices_left;
    {
        std::lock_guard<std::mutex> guard(DeviceMutex());
        devices_left = object_->DeviceObject != nullptr;
    }
    if (devices_left) {
        RecordViolation("unload-with-devices", Narrow(FromCounted(&object_->DriverName)) + " still has devices");
        // The devices point at the driver object: it stays until the kernel goes.
        object_ = nullptr;
        return;
    }
    ObRelease(reinterpret_cast<DriverBlock *>(object_));
    object_ = nullptr;
}

Pdo::Pdo(const u16 &device_name) : impl_(std::make_unique<Impl>())
{
    impl_->name = device_name;
    {
        PnpState &s = Pnp();
        std::lock_guard<std::mutex> guard(s.mutex);
        impl_->index = s.next_pdo_index++;
    }
    UNICODE_STRING name = CountedView(impl_->name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(RootDriver(), 0, &name, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the root bus could not create " + Narrow(device_name));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    impl_->device = device;
    DeviceNode *node = Node(device);
    node->bus_pdo = static_cast<BusPdo *>(impl_.get());
    node->pdo_index = impl_->index;
    node->hardware_key = HardwareKeyPath();
    reg::CreateKey(node->hardware_key);
}

Pdo::~Pdo()
{
    if (impl_->device != nullptr && KernelActive()) IoDeleteDevice(impl_->device);
}

PDEVICE_OBJECT Pdo::Object() const { return impl_->device; }
PDEVICE_OBJECT Pdo::Top() const { return AttachedTop(impl_->device); }
const u16 &Pdo::Name() const { return impl_->name; }

u16 Pdo::HardwareKeyPath() const
{
    return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\" + IndexText(impl_->index) +
           u"\\Device Parameters";
}

NTSTATUS Pdo::AddDevice(const Driver &driver)
{
    PDRIVER_OBJECT object = driver.Object();
    if (object == nullptr || object->DriverExtension->AddDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    ScopedProcess system(Process::System);
    return object->DriverExtension->AddDevice(object, impl_->device);
}

void Pdo::SetAnswer(UCHAR major, NTSTATUS status, bool pend)
{
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->answers[major] = {status, pend};
}

void Pdo::AnswerAsFound(UCHAR major)
{
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->answers[major] = {STATUS_SUCCESS, false, true};
}

size_t Pdo::HeldCount() const
{
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->held.size();
}

void Pdo::CompleteHeld(NTSTATUS status)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(impl_->mutex);
        if (impl_->held.empty()) return;
        irp = impl_->held.front();
        impl_->held.pop_front();
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

std::vector<Pdo::Seen> Pdo::BusSaw() const
{
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->seen;
}

bool Pdo::Removed() const
{
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->removed;
}

PendingIo Pdo::SendAsync(UCHAR major, UCHAR minor)
{
    ScopedProcess system(Process::System);
    CheckIrqlAtMost(PASSIVE_LEVEL, "Pdo::SendAsync");
    PDEVICE_OBJECT top = Top();
    std::shared_ptr<IrpRecord> rec;
    PIRP irp = AllocateIrp(top->StackSize, &rec);
    rec->has_requester = true;
    rec->thread = CurrentKThread();
    irp->Tail.Overlay.Thread = rec->thread;
    irp->RequestorMode = KernelMode;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = PowerDeviceD0;
    }
    rec->dispatch_status = IofCallDriver(top, irp);
    auto state = std::make_shared<PendingIo::State>();
    state->record = rec;
    return PendingIo(state);
}

IoResult Pdo::Send(UCHAR major, UCHAR minor) { return SendAsync(major, minor).Wait(); }

}  // namespace ksim

// ---- the WDK routines ----------------------------------------------------------------------------
using namespace ksim;
using namespace ksim::detail;
using namespace ksim::detail::io;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (CallTraceOn()) RecordObjectCall("IoCreateSymbolicLink", nullptr, FromCounted(SymbolicLinkName), 0);
    return ObCreateSymbolicLink(FromCounted(SymbolicLinkName), FromCounted(DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (CallTraceOn()) RecordObjectCall("IoDeleteSymbolicLink", nullptr, FromCounted(SymbolicLinkName), 0);
    return ObDeleteSymbolicLink(FromCounted(SymbolicLinkName));
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    NTSTATUS status;
    if (FaultFires(Fault::InterfaceRegistration, &status)) return status;
    DeviceNode *node = Node(PhysicalDeviceObject);
    if (node == nullptr || node->bus_pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    u16 link = u"\\??\\ROOT#PORTS#" + IndexText(node->pdo_index) + u"#" + LowerGuid(*InterfaceClassGuid);
    if (ReferenceString != nullptr && ReferenceString->Length != 0) link += u"\\" + FromCounted(ReferenceString);
    {
        PnpState &s = Pnp();
        std::lock_guard<std::mutex> guard(s.mutex);
        auto known = std::find_if(s.interfaces.begin(), s.interfaces.end(),
                                  [&](const Interface &i) { return EqualsInsensitive(i.link, link); });
        if (known == s.interfaces.end()) {
            Interface entry{link, *InterfaceClassGuid, PhysicalDeviceObject, node->name, false};
            s.interfaces.push_back(entry);
        }
    }
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    u16 link = FromCounted(SymbolicLinkName);
    TraceObjectCall("IoSetDeviceInterfaceState", nullptr, link, Enable);
    u16 target;
    {
        PnpState &s = Pnp();
        std::lock_guard<std::mutex> guard(s.mutex);
        auto it = std::find_if(s.interfaces.begin(), s.interfaces.end(),
                               [&](const Interface &i) { return EqualsInsensitive(i.link, link); });
        if (it == s.interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (Enable && it->enabled) return STATUS_OBJECT_NAME_EXISTS;
        if (!Enable && !it->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        it->enabled = Enable != FALSE;
        link = it->link;
        target = it->target;
    }
    if (Enable) return ObCreateSymbolicLink(link, target);
    ObDeleteSymbolicLink(link);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                   ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    DeviceNode *node = Node(DeviceObject);
    if (node == nullptr || node->bus_pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (DeviceProperty != DevicePropertyPhysicalDeviceObjectName) return STATUS_INVALID_PARAMETER;
    const u16 &name = static_cast<BusPdo *>(node->bus_pdo)->name;
    ULONG needed = static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
    if (ResultLength != nullptr) *ResultLength = needed;
    if (BufferLength < needed) return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, name.c_str(), needed);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    TraceObjectCall("IoOpenDeviceRegistryKey", DeviceObject, {}, DesiredAccess);
    DeviceNode *node = Node(DeviceObject);
    if (node == nullptr || node->bus_pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    u16 path = node->hardware_key;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(path.data());
    name.Length = name.MaximumLength = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateKey(DevInstRegKey, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    (void)Irp;
    ++g_power_irp_starts;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    TraceObjectCall("PoCallDriver", DeviceObject);
    return IofCallDriver(DeviceObject, Irp);
}
