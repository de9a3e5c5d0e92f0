// Driver entry (the F12 load veto, the dispatch table) and AddDevice (the new port's defaults and
// every way it can fail).
#include "port_fixture.h"

#include "buffers/ring_buffer.h"
#include "driver/vparallel.h"

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr USHORT kStatusPort = 0x64;
constexpr USHORT kDataPort = 0x60;
constexpr int64_t kPollInterval = 10 * ksim::kTicksPerMs;

// The keyboard controller: the data port answers `data(n)` on its n-th read (from 1).
void ScriptKeyboard(std::function<UCHAR(int)> data, UCHAR status = 0x00)
{
    auto reads = std::make_shared<int>(0);
    ksim::SetPortSource([=](USHORT port) -> UCHAR {
        if (port == kStatusPort) return status;
        if (port == kDataPort) return data(++*reads);
        return 0xFF;
    });
}

class DriverEntryTest : public KernelTest {
protected:
    std::unique_ptr<ksim::Driver> Load(NTSTATUS *status)
    {
        return ksim::Driver::Load(DriverEntry, u"vparallel", status);
    }
};

TEST_F(DriverEntryTest, F12ReleasedOnTheFirstAttemptRefusesAtOnce)
{
    ScriptKeyboard([](int) { return UCHAR(0xD8); });
    int64_t start = ksim::Now();
    NTSTATUS status = STATUS_SUCCESS;
    auto driver = Load(&status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(ksim::Now(), start) << "no delay before refusing";
    auto reads = ksim::PortReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].port, kStatusPort);
    EXPECT_EQ(reads[1].port, kDataPort);
    for (const auto &read : reads) EXPECT_EQ(read.irql, HIGH_LEVEL);
}

TEST_F(DriverEntryTest, F12ReleasedLaterRefusesAfterThatAttempt)
{
    ScriptKeyboard([](int n) { return UCHAR(n == 37 ? 0xD8 : 0x00); });
    int64_t start = ksim::Now();
    NTSTATUS status = STATUS_SUCCESS;
    auto driver = Load(&status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(ksim::Now() - start, 36 * kPollInterval);
    EXPECT_EQ(ksim::PortReads().size(), 2u * 37);
}

// Each attempt reads the status port, then the data port, both at HIGH_LEVEL, 10 ms apart; after
// 100 attempts without the F12 break code the driver loads, one second later.
TEST_F(DriverEntryTest, NoVetoAfterHundredAttemptsOneSecond)
{
    const struct {
        const char *name;
        UCHAR data, status;
    } cases[] = {
        {"nothing pressed", 0x00, 0x00},
        {"F12 make code", 0x58, 0x00},
        {"F12 held: make code with output buffer full", 0x58, 0x01},
        {"break code of another key", 0xD7, 0x00},
        {"break code only on the status port", 0x00, 0xD8},
        {"all ones", 0xFF, 0xFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptKeyboard([data = c.data](int) { return data; }, c.status);
        size_t reads_before = ksim::PortReads().size();
        int64_t start = ksim::Now();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto driver = Load(&status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(ksim::Now() - start, 100 * kPollInterval);
        auto reads = ksim::PortReads();
        ASSERT_EQ(reads.size() - reads_before, 200u);
        for (size_t i = 0; i < 200; i++) {
            const auto &read = reads[reads_before + i];
            EXPECT_EQ(read.port, i % 2 == 0 ? kStatusPort : kDataPort) << i;
            EXPECT_EQ(read.irql, HIGH_LEVEL) << i;
            EXPECT_EQ(read.time - start, int64_t(i / 2) * kPollInterval) << i;
        }
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

TEST_F(DriverEntryTest, RegistersTheNineRoutinesUnloadAndAddDevice)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto driver = Load(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDRIVER_OBJECT object = driver->Object();
    const struct {
        UCHAR major;
        PDRIVER_DISPATCH routine;
    } table[] = {
        {IRP_MJ_CREATE, VPARALLEL_Create},     {IRP_MJ_CLOSE, VPARALLEL_Close},
        {IRP_MJ_CLEANUP, VPARALLEL_Cleanup},   {IRP_MJ_READ, VPARALLEL_Read},
        {IRP_MJ_WRITE, VPARALLEL_Write},       {IRP_MJ_DEVICE_CONTROL, VPARALLEL_IoControl},
        {IRP_MJ_PNP, VPARALLEL_Pnp},           {IRP_MJ_POWER, VPARALLEL_Power},
        {IRP_MJ_SYSTEM_CONTROL, VPARALLEL_SystemControl},
    };
    for (const auto &entry : table) EXPECT_EQ(object->MajorFunction[entry.major], entry.routine) << int(entry.major);
    EXPECT_EQ(object->DriverUnload, VPARALLEL_Unload);
    EXPECT_EQ(object->DriverExtension->AddDevice, VPARALLEL_AddDevice);
}

TEST_F(DriverEntryTest, VetoRegistersNothing)
{
    ScriptKeyboard([](int) { return UCHAR(0xD8); });
    DRIVER_EXTENSION extension = {};
    DRIVER_OBJECT object = {};
    object.DriverExtension = &extension;
    EXPECT_EQ(DriverEntry(&object, nullptr), STATUS_UNSUCCESSFUL);
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) EXPECT_EQ(object.MajorFunction[major], nullptr) << major;
    EXPECT_EQ(object.DriverUnload, nullptr);
    EXPECT_EQ(extension.AddDevice, nullptr);
}

// ---- AddDevice ----------------------------------------------------------------------------------

// A loaded driver and a PDO the test hands to AddDevice itself.
class AddDeviceTest : public port_test::PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        pdo_ = std::make_unique<ksim::Pdo>();
    }
    void TearDown() override
    {
        pdo_.reset();
        PortTest::TearDown();
    }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(pdo_->Top()->DeviceExtension); }
    // Undoes a successful AddDevice the way removal does, so nothing is left at teardown.
    void RemoveByHand(ksim::Pdo &pdo)
    {
        PDEVICE_OBJECT fdo = pdo.Top();
        auto extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
        RtlFreeUnicodeString(&extension->InterfaceName);
        RxBufferFree(extension->RxBuffer);
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(fdo);
    }
    std::unique_ptr<ksim::Pdo> pdo_;
};

TEST_F(AddDeviceTest, NewPortHasItsDefaults)
{
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo_->Top();
    ASSERT_NE(fdo, pdo_->Object());
    PDEVICE_EXTENSION e = Ext();

    EXPECT_EQ(VpIsOpen(e), 0u);
    EXPECT_EQ(e->WriteHandle, nullptr);
    EXPECT_EQ(e->ReadCompleteEventHandle, nullptr);
    EXPECT_EQ(e->HardwareId[0], 0);
    EXPECT_EQ(e->LinkedId[0], 0);
    EXPECT_EQ(e->ModelClass, 1u);
    EXPECT_EQ(e->DosLinkName[0], 0);
    EXPECT_EQ(e->DosLinkNameColon[0], 0);
    EXPECT_EQ(e->PortName[0], 0);
    EXPECT_EQ(e->Timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(e->Timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(e->Timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(e->Timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(e->Timeouts.WriteTotalTimeoutConstant, 0u);
    for (int i = 0; i < VP_EVENT_COUNT; i++) {
        EXPECT_EQ(e->Events[i].Header.Type, NotificationEvent) << i;
        EXPECT_EQ(KeReadStateEvent(&e->Events[i]), 0) << i;
    }
    EXPECT_EQ(e->ReadCompleteEvent, nullptr);
    EXPECT_EQ(e->EmulationPollingThread, nullptr);
    EXPECT_EQ(e->ReadPollingThread, nullptr);
    EXPECT_EQ(e->ReadThread, nullptr);
    EXPECT_EQ(e->NotifyIrp, nullptr);
    EXPECT_EQ(e->PendingReadIrp, nullptr);
    EXPECT_EQ(e->BaudRate, 115200u);
    EXPECT_EQ(e->ModemStatus, 0u);
    EXPECT_EQ(e->ModemControl, 0u);
    EXPECT_EQ(e->LineControl.StopBits, 0);
    EXPECT_EQ(e->LineControl.Parity, 0);
    EXPECT_EQ(e->LineControl.WordLength, 8);
    EXPECT_EQ(e->HandFlow.ControlHandShake, 0u);
    EXPECT_EQ(e->HandFlow.FlowReplace, 0u);
    EXPECT_EQ(e->HandFlow.XonLimit, 0);
    EXPECT_EQ(e->HandFlow.XoffLimit, 0);
    EXPECT_EQ(e->WaitQueueIn, 0u);
    EXPECT_EQ(e->WaitQueueOut, 0u);
    for (PIRP slot : e->WaitQueue) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(e->WaitMask, 0u);
    EXPECT_EQ(e->LowerDevice, pdo_->Object());
    EXPECT_EQ(e->Pdo, pdo_->Object());
    EXPECT_EQ(e->SpecialChars.EofChar, 0);
    EXPECT_EQ(e->SpecialChars.ErrorChar, 0);
    EXPECT_EQ(e->SpecialChars.BreakChar, 0);
    EXPECT_EQ(e->SpecialChars.EventChar, 0);
    EXPECT_EQ(e->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(e->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(e->ReceivedCount, 0);
    EXPECT_EQ(e->TransmittedCount, 0);

    // The port mutex is free: it can be taken and given back.
    EXPECT_EQ(KeReadStateMutex(&e->PortMutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&e->PortMutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&e->PortMutex, FALSE);

    // The lock is initialised and free.
    KIRQL old;
    KeAcquireSpinLock(&e->Lock, &old);
    KeReleaseSpinLock(&e->Lock, old);

    // An empty ring of its own.
    ASSERT_NE(e->RxBuffer, nullptr);
    EXPECT_EQ(RxBufferCount(e->RxBuffer), 0u);
    auto pool = ksim::OutstandingPool();
    bool ring_found = false;
    for (const auto &block : pool) ring_found |= block.address == e->RxBuffer && ksim::TagText(block.tag) == "QW01";
    EXPECT_TRUE(ring_found);

    RemoveByHand(*pdo_);
}

TEST_F(AddDeviceTest, DeviceObjectsAreSetUpForAParallelPort)
{
    DEVICE_TYPE original_type = pdo_->Object()->DeviceType;
    ASSERT_NE(original_type, ULONG(FILE_DEVICE_PARALLEL_PORT)) << "the bus should start with another type";
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo_->Top();
    EXPECT_EQ(pdo_->Object()->DeviceType, ULONG(FILE_DEVICE_PARALLEL_PORT));
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_PARALLEL_PORT));
    EXPECT_EQ(fdo->DriverObject, driver_->Object());
    EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(pdo_->Object()->AttachedDevice, fdo);

    // The COM-port interface is registered on the PDO but not enabled until the port starts.
    auto interfaces = ksim::Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(memcmp(&interfaces[0].guid, &GUID_DEVINTERFACE_COMPORT, sizeof(GUID)), 0);
    EXPECT_EQ(interfaces[0].pdo, pdo_->Object());
    EXPECT_FALSE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].symbolic_link, ksim::FromUnicodeString(Ext()->InterfaceName));

    RemoveByHand(*pdo_);
}

TEST_F(AddDeviceTest, EachPortHasItsOwnState)
{
    ksim::Pdo second(u"\\Device\\00000003");
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    ASSERT_EQ(second.AddDevice(*driver_), STATUS_SUCCESS);
    auto first_ext = Ext();
    auto second_ext = static_cast<PDEVICE_EXTENSION>(second.Top()->DeviceExtension);
    EXPECT_NE(first_ext, second_ext);
    EXPECT_NE(first_ext->RxBuffer, second_ext->RxBuffer);
    EXPECT_EQ(first_ext->Pdo, pdo_->Object());
    EXPECT_EQ(second_ext->Pdo, second.Object());
    EXPECT_EQ(second_ext->LowerDevice, second.Object());
    UCHAR byte = 0x42;
    RxBufferWrite(first_ext->RxBuffer, &byte, 1);
    EXPECT_EQ(RxBufferCount(second_ext->RxBuffer), 0u);
    EXPECT_EQ(ksim::Interfaces().size(), 2u);
    RemoveByHand(second);
    RemoveByHand(*pdo_);
}

TEST_F(AddDeviceTest, UnregisteredMajorFunctionsAreRefusedByTheSystem)
{
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    for (UCHAR major : {UCHAR(IRP_MJ_QUERY_INFORMATION), UCHAR(IRP_MJ_SET_INFORMATION),
                        UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL), UCHAR(IRP_MJ_SHUTDOWN)}) {
        auto result = pdo_->Send(major, 0);
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(result.information, 0u) << int(major);
    }
    RemoveByHand(*pdo_);
}

// Each failure leaves no device, no attachment, no interface, no pool and the PDO's type as it was.
TEST_F(AddDeviceTest, EveryFailureLeavesNothingBehind)
{
    const struct {
        const char *name;
        ksim::Fault fault;
        NTSTATUS injected;
        NTSTATUS expected;
    } cases[] = {
        {"device creation", ksim::Fault::DeviceCreation, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {"device creation, other status", ksim::Fault::DeviceCreation, STATUS_OBJECT_NAME_COLLISION,
         STATUS_OBJECT_NAME_COLLISION},
        {"ring allocation", ksim::Fault::PoolAllocation, STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES},
        {"attach", ksim::Fault::Attach, STATUS_NO_SUCH_DEVICE, STATUS_UNSUCCESSFUL},
        {"interface registration", ksim::Fault::InterfaceRegistration, STATUS_INVALID_DEVICE_REQUEST,
         STATUS_INVALID_DEVICE_REQUEST},
    };
    DEVICE_TYPE original_type = pdo_->Object()->DeviceType;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t calls_before = ksim::CallCount(c.fault);
        ksim::InjectFault(c.fault, c.injected);
        EXPECT_EQ(pdo_->AddDevice(*driver_), c.expected);
        EXPECT_EQ(ksim::CallCount(c.fault), calls_before + 1) << "the injected fault was not reached";
        ksim::ClearFaults();
        EXPECT_EQ(pdo_->Top(), pdo_->Object());
        EXPECT_EQ(pdo_->Object()->AttachedDevice, nullptr);
        EXPECT_EQ(driver_->Object()->DeviceObject, nullptr);
        EXPECT_TRUE(ksim::OutstandingPool().empty());
        EXPECT_TRUE(ksim::Interfaces().empty());
        EXPECT_EQ(pdo_->Object()->DeviceType, original_type);
    }
    // And the port can still be added once the system recovers.
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    RemoveByHand(*pdo_);
}

}  // namespace
