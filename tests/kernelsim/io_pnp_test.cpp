// Plug and Play plumbing: driver objects, the root bus and its PDOs, requests from the PnP
// manager's side, device interfaces, device properties and registry keys, symbolic links and
// the power manager's calls.
#include "io_toy_driver.h"

#include <algorithm>
#include <cstring>

using namespace iotest;
using ksim::u16;

namespace {

DEFINE_GUID(kComPort, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);
constexpr const char16_t *kComPortText = u"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

// The process the caller runs in. The application's record is taken by the fixture, on the test's
// own thread, which runs in the application's process.
PEPROCESS g_application_process = nullptr;
ksim::Process ProcessNow()
{
    return IoGetCurrentProcess() == g_application_process ? ksim::Process::Application : ksim::Process::System;
}

// A function driver over a root PDO: AddDevice attaches an FDO that passes everything down
// (power through the power manager) and records the status each request arrived with.
struct Fdo {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<NTSTATUS> arrived_with;
    ksim::Process process_at_add = ksim::Process::Application;
    bool unload_called = false;
};
Fdo g_fdo;

NTSTATUS NTAPI FdoDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    Fdo *fdo = *static_cast<Fdo **>(device->DeviceExtension);
    fdo->arrived_with.push_back(irp->IoStatus.Status);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(fdo->lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(fdo->lower, irp);
}

NTSTATUS NTAPI FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    g_fdo.process_at_add = ProcessNow();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo *), nullptr, FILE_DEVICE_PARALLEL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<Fdo **>(device->DeviceExtension) = &g_fdo;
    g_fdo.device = device;
    g_fdo.lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI FdoUnload(PDRIVER_OBJECT) { g_fdo.unload_called = true; }

NTSTATUS NTAPI FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &dispatch : driver->MajorFunction) dispatch = FdoDispatch;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    driver->DriverUnload = FdoUnload;
    return STATUS_SUCCESS;
}

class PnpPlumbingTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_application_process = IoGetCurrentProcess();
        g_fdo = Fdo{};
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(FdoEntry, u"fdo", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        pdo_ = std::make_unique<ksim::Pdo>(u"\\Device\\00000042");
    }
    void TearDown() override
    {
        RemoveFdo();
        pdo_.reset();
        driver_.reset();
        KernelTest::TearDown();
    }
    void AddFdo() { ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS); }
    void RemoveFdo()
    {
        if (g_fdo.device == nullptr) return;
        IoDetachDevice(g_fdo.lower);
        IoDeleteDevice(g_fdo.device);
        g_fdo.device = nullptr;
    }
    std::unique_ptr<ksim::Driver> driver_;
    std::unique_ptr<ksim::Pdo> pdo_;
};

TEST_F(PnpPlumbingTest, DriverLoadGivesTheEntryItsObjectAndRegistryPath)
{
    static u16 path_seen, name_seen, service_seen;
    static bool defaults_set;
    static ksim::Process process_seen;
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING path) -> NTSTATUS {
        path_seen = ksim::FromUnicodeString(*path);
        name_seen = ksim::FromUnicodeString(driver->DriverName);
        service_seen = ksim::FromUnicodeString(driver->DriverExtension->ServiceKeyName);
        defaults_set = std::all_of(std::begin(driver->MajorFunction), std::end(driver->MajorFunction),
                                   [](PDRIVER_DISPATCH d) { return d != nullptr; });
        process_seen = ProcessNow();
        return STATUS_SUCCESS;
    };
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto driver = ksim::Driver::Load(entry, u"parport2", &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(path_seen, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\parport2");
    EXPECT_EQ(name_seen, u"\\Driver\\parport2");
    EXPECT_EQ(service_seen, u"parport2");
    EXPECT_TRUE(defaults_set);
    EXPECT_EQ(process_seen, ksim::Process::System);

    auto failing = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_DEVICE_POWERED_OFF; };
    EXPECT_EQ(ksim::Driver::Load(failing, u"refuses", &status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_POWERED_OFF);
}

TEST_F(PnpPlumbingTest, UnloadWithDevicesLeftIsAViolation)
{
    AddFdo();
    driver_->Unload();
    EXPECT_TRUE(g_fdo.unload_called);
    ExpectViolations({"unload-with-devices"});
    RemoveFdo();
}

TEST_F(PnpPlumbingTest, PdoIsANamedDeviceWithAHardwareKeyAndTakesAnFdo)
{
    EXPECT_TRUE(ksim::ObjectExists(u"\\Device\\00000042"));
    EXPECT_EQ(pdo_->HardwareKeyPath(),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters");
    EXPECT_TRUE(ksim::reg::KeyExists(pdo_->HardwareKeyPath()));
    ksim::Pdo second(u"\\Device\\00000043");
    EXPECT_NE(second.HardwareKeyPath().find(u"\\PORTS\\0001\\"), u16::npos);
    EXPECT_EQ(pdo_->Top(), pdo_->Object());
    AddFdo();
    EXPECT_EQ(pdo_->Top(), g_fdo.device);
    EXPECT_EQ(g_fdo.lower, pdo_->Object());
    EXPECT_EQ(g_fdo.process_at_add, ksim::Process::System);
}

TEST_F(PnpPlumbingTest, BusAnswersAsSetUpAndRecordsWhatItSaw)
{
    AddFdo();
    ksim::IoResult start = pdo_->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE);
    EXPECT_EQ(start.status, STATUS_SUCCESS);
    EXPECT_EQ(g_fdo.arrived_with.back(), STATUS_NOT_SUPPORTED);  // as the PnP manager sends them

    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pdo_->Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);

    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS, /*pend=*/true);
    ksim::PendingIo held = pdo_->SendAsync(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(held.DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(held.Done());
    EXPECT_EQ(pdo_->HeldCount(), 1u);
    pdo_->CompleteHeld(STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(held.Wait().status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(pdo_->HeldCount(), 0u);

    // A bus that leaves the status as it finds it: a request nobody above answered comes back
    // with the status the PnP manager preset.
    pdo_->AnswerAsFound(IRP_MJ_PNP);
    EXPECT_EQ(pdo_->Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pdo_->BusSaw().back().status, STATUS_NOT_SUPPORTED);
    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS);

    EXPECT_EQ(pdo_->Send(IRP_MJ_SYSTEM_CONTROL, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->Send(IRP_MJ_READ, 0).status, STATUS_INVALID_DEVICE_REQUEST);  // not a bus request

    EXPECT_FALSE(pdo_->Removed());
    EXPECT_EQ(pdo_->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(pdo_->Removed());

    auto saw = pdo_->BusSaw();
    std::vector<std::pair<UCHAR, UCHAR>> got;
    for (const auto &s : saw) got.emplace_back(s.major, s.minor);
    EXPECT_EQ(got, (std::vector<std::pair<UCHAR, UCHAR>>{{IRP_MJ_PNP, IRP_MN_START_DEVICE},
                                                         {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},
                                                         {IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES},
                                                         {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE},
                                                         {IRP_MJ_SYSTEM_CONTROL, 0},
                                                         {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}}));
}

TEST_F(PnpPlumbingTest, PowerRequestsAreCountedAndPassedThroughThePowerManager)
{
    AddFdo();
    uint64_t before = ksim::PoStartNextPowerIrpCalls();
    EXPECT_EQ(pdo_->Send(IRP_MJ_POWER, IRP_MN_SET_POWER).status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS);
    EXPECT_EQ(ksim::PoStartNextPowerIrpCalls() - before, 2u);  // the FDO's calls; the bus adds none
    pdo_->SetAnswer(IRP_MJ_POWER, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(pdo_->Send(IRP_MJ_POWER, IRP_MN_SET_POWER).status, STATUS_DEVICE_POWERED_OFF);
}

TEST_F(PnpPlumbingTest, InterfaceIsNamedAfterThePdoAndLinksToItWhileEnabled)
{
    AddFdo();
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_->Object(), &kComPort, nullptr, &link), STATUS_SUCCESS);
    const u16 expected = u16(u"\\??\\ROOT#PORTS#0000#") + kComPortText;
    EXPECT_EQ(ksim::FromUnicodeString(link), expected);
    EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
    EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], 0);
    auto pool = ksim::OutstandingPool();
    EXPECT_TRUE(std::any_of(pool.begin(), pool.end(), [&](const ksim::PoolBlock &b) { return b.address == link.Buffer; }));

    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_->Object(), &kComPort, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(ksim::FromUnicodeString(again), expected);
    RtlFreeUnicodeString(&again);
    auto interfaces = ksim::Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].pdo, pdo_->Object());
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_FALSE(ksim::ObjectExists(expected));

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(ksim::Interfaces()[0].enabled);
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\DosDevices\\ROOT#PORTS#0000#" + u16(kComPortText)), pdo_->Name());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    std::unique_ptr<ksim::AppFile> file;  // an application opening the interface reaches the FDO
    size_t before = g_fdo.arrived_with.size();
    ASSERT_EQ(ksim::AppFile::Open(expected, &file), STATUS_INVALID_DEVICE_REQUEST);  // the bus refuses creates
    EXPECT_EQ(g_fdo.arrived_with.size(), before + 1);

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(ksim::ObjectExists(expected));
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING unknown = Counted(u"\\??\\ROOT#PORTS#0099#{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
}

TEST_F(PnpPlumbingTest, InterfaceRegistrationRefusesNonPdosAndInjectedFaults)
{
    AddFdo();
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(g_fdo.device, &kComPort, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    ksim::InjectFault(ksim::Fault::InterfaceRegistration, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_->Object(), &kComPort, nullptr, &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(ksim::Interfaces().empty());
    EXPECT_EQ(link.Buffer, nullptr);
}

TEST_F(PnpPlumbingTest, DeletingThePdoWithdrawsItsInterfaces)
{
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_->Object(), &kComPort, nullptr, &link), STATUS_SUCCESS);
    u16 name = ksim::FromUnicodeString(link);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    pdo_.reset();
    EXPECT_TRUE(ksim::Interfaces().empty());
    EXPECT_FALSE(ksim::ObjectExists(name));
    RtlFreeUnicodeString(&link);
}

TEST_F(PnpPlumbingTest, PhysicalDeviceObjectNameProperty)
{
    AddFdo();
    WCHAR buffer[64];
    ULONG length = 0;
    const ULONG needed = sizeof(u"\\Device\\00000042");  // with its null
    EXPECT_EQ(IoGetDeviceProperty(pdo_->Object(), DevicePropertyPhysicalDeviceObjectName, 4, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(IoGetDeviceProperty(pdo_->Object(), DevicePropertyPhysicalDeviceObjectName, needed, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(ksim::FromWz(buffer), u"\\Device\\00000042");
    EXPECT_EQ(buffer[needed / sizeof(WCHAR) - 1], 0);
    EXPECT_EQ(IoGetDeviceProperty(g_fdo.device, DevicePropertyPhysicalDeviceObjectName, sizeof buffer, buffer, &length),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpPlumbingTest, DeviceRegistryKeyIsThePdosHardwareKey)
{
    AddFdo();
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_->Object(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING value = Counted(u"PortName");
    WCHAR data[] = L"LPT3";
    ASSERT_EQ(ZwSetValueKey(key, &value, 0, REG_SZ, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(ksim::reg::GetString(pdo_->HardwareKeyPath(), u"PortName"), u16(u"LPT3"));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(IoOpenDeviceRegistryKey(g_fdo.device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PnpPlumbingTest, DosLinkLeadsApplicationsToTheTopOfTheStack)
{
    AddFdo();
    UNICODE_STRING link = Counted(u"\\DosDevices\\LPT9");
    UNICODE_STRING target = Counted(u"\\Device\\00000042");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\??\\LPT9"), u16(u"\\Device\\00000042"));
    size_t before = g_fdo.arrived_with.size();
    std::unique_ptr<ksim::AppFile> file;
    ksim::AppFile::Open(u"\\??\\LPT9", &file);
    EXPECT_EQ(g_fdo.arrived_with.size(), before + 1);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT9"));
    EXPECT_EQ(ksim::AppFile::Open(u"\\??\\LPT9", &file), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
