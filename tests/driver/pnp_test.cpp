// Plug and Play, power and system control: start through the stack below, surprise removal
// with the port open or closed, removal, and everything the FDO only passes down.
#include "port_fixture.h"

namespace port_test {
namespace {

constexpr ULONG kNotifyRemoval = IOCTL_VPARALLEL_NOTIFY_REMOVAL;  // parks until the device is surprise-removed

// A PnP request sent from a thread of its own, as the PnP manager sends it: a start that waits
// for the stack below blocks that thread, while the test plays the bus.
class PnpManagerThread {
public:
    PnpManagerThread(ksim::Pdo &pdo, UCHAR minor)
        : thread_([this, &pdo, minor] {
              ksim::Participant participant;
              ksim::PendingIo io = pdo.SendAsync(IRP_MJ_PNP, minor);
              dispatch_status_ = io.DispatchStatus();
              result_ = io.Wait();
              done_ = true;
          })
    {
    }
    ~PnpManagerThread()
    {
        if (thread_.joinable()) Join();
    }
    bool Done() const { return done_; }
    NTSTATUS DispatchStatus() const { return dispatch_status_; }  // after Join
    ksim::IoResult Join()
    {
        ksim::WaitUntil([this] { return done_.load(); });
        thread_.join();
        return result_;
    }

private:
    ksim::IoResult result_;
    NTSTATUS dispatch_status_ = STATUS_PENDING;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One bare port (no name, no printer): the tests play the PnP manager and the bus below.
class PnpTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        if (HasFatalFailure()) return;
        port_ = &AddBarePort();
        pdo_ = port_->pdo.get();
        fdo_ = pdo_->Top();
        ASSERT_NE(fdo_, pdo_->Object());
    }

    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension); }
    void SetPortName(const u16 &name) { reg::SetString(pdo_->HardwareKeyPath(), u"PortName", name); }
    ksim::IoResult Pnp(UCHAR minor) { return pdo_->Send(IRP_MJ_PNP, minor); }

    bool InterfaceEnabled() const
    {
        for (const auto &i : ksim::Interfaces())
            if (i.pdo == pdo_->Object()) return i.enabled;
        return false;
    }
    bool LinksExist(const u16 &name) const
    {
        return ksim::SymbolicLinkTarget(u"\\DosDevices\\" + name) == pdo_->Name() &&
               ksim::SymbolicLinkTarget(u"\\DosDevices\\" + name + u":") == pdo_->Name();
    }
    bool NoLinks(const u16 &name) const
    {
        return !ksim::ObjectExists(u"\\DosDevices\\" + name) && !ksim::ObjectExists(u"\\DosDevices\\" + name + u":");
    }
    bool MapValueExists() const { return reg::GetValue(kDeviceMapKey, pdo_->Name()).has_value(); }
    size_t BusSawCount(UCHAR major, UCHAR minor) const
    {
        auto seen = pdo_->BusSaw();
        return size_t(std::count_if(seen.begin(), seen.end(),
                                    [&](const ksim::Pdo::Seen &s) { return s.major == major && s.minor == minor; }));
    }
    bool EventSet(VP_EVENT_INDEX index) const { return KeReadStateEvent(&Ext()->Events[index]) != 0; }
    void ExpectAllEventsSet() const
    {
        for (int i = 0; i < VP_EVENT_COUNT; ++i) EXPECT_TRUE(EventSet(VP_EVENT_INDEX(i))) << "event " << i;
    }
    // After removal: no names, no value, interface off, the FDO gone from the stack.
    void ExpectRemoved(const u16 &name) const
    {
        EXPECT_TRUE(pdo_->Removed());
        EXPECT_EQ(pdo_->Top(), pdo_->Object()) << "FDO still attached";
        EXPECT_TRUE(NoLinks(name));
        EXPECT_FALSE(MapValueExists());
        EXPECT_FALSE(InterfaceEnabled());
    }

    Port *port_ = nullptr;
    ksim::Pdo *pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

// ---- Start -------------------------------------------------------------------------------

TEST_F(PnpTest, StartCompletedAtOnceBelowIsCompletedHereOnceThenPublished)
{
    SetPortName(u"LPT3");
    auto result = Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(BusSawCount(IRP_MJ_PNP, IRP_MN_START_DEVICE), 1u);
    EXPECT_TRUE(LinksExist(u"LPT3"));
    EXPECT_TRUE(MapValueExists());
    EXPECT_TRUE(InterfaceEnabled());
    // The completion routine tolerates a missing event and always keeps the request.
    EXPECT_EQ(StartCompletionRoutine(fdo_, nullptr, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
}

TEST_F(PnpTest, StartPendedBelowWaitsWithoutLimitThenPublishes)
{
    SetPortName(u"LPT3");
    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS, /*pend=*/true);
    PnpManagerThread start(*pdo_, IRP_MN_START_DEVICE);
    ksim::WaitUntil([&] { return pdo_->HeldCount() == 1; });
    ksim::AdvanceMs(60000);
    EXPECT_FALSE(start.Done());
    EXPECT_TRUE(NoLinks(u"LPT3")) << "published before the lower drivers finished";
    EXPECT_FALSE(InterfaceEnabled());

    pdo_->CompleteHeld(STATUS_SUCCESS);
    auto result = start.Join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(start.DispatchStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(LinksExist(u"LPT3"));
    EXPECT_TRUE(InterfaceEnabled());
}

TEST_F(PnpTest, StartFailedBelowReturnsTheLowerStatusAndPublishesNothing)
{
    SetPortName(u"LPT3");
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pended below" : "completed at once below");
        const NTSTATUS refusal = pend ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INSUFFICIENT_RESOURCES;
        const uint64_t registry_opens = ksim::CallCount(ksim::Fault::RegistryOpen);
        pdo_->SetAnswer(IRP_MJ_PNP, pend ? STATUS_SUCCESS : refusal, pend);
        PnpManagerThread start(*pdo_, IRP_MN_START_DEVICE);
        if (pend) {
            ksim::WaitUntil([&] { return pdo_->HeldCount() == 1; });
            ASSERT_FALSE(start.Done());
            pdo_->CompleteHeld(refusal);
        }
        // What the dispatch returned and what the request ended with are the same status.
        auto result = start.Join();
        EXPECT_EQ(result.status, refusal);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(start.DispatchStatus(), refusal);
        EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryOpen), registry_opens) << "PortName was read";
        EXPECT_TRUE(NoLinks(u"LPT3"));
        EXPECT_FALSE(MapValueExists());
        EXPECT_FALSE(InterfaceEnabled());
    }
}

TEST_F(PnpTest, StartWithoutPortNameSucceedsUnpublished)
{
    auto result = Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_FALSE(MapValueExists());
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_EQ(Ext()->DosLinkName[0], 0);
    Pnp(IRP_MN_REMOVE_DEVICE);
    ExpectRemoved(u"LPT3");
}

// ---- Requests only passed down ----------------------------------------------------------------

TEST_F(PnpTest, OtherMinorFunctionsGoDownWithTheLowerStatusAndChangeNothing)
{
    SetPortName(u"LPT3");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    const UCHAR minors[] = {IRP_MN_STOP_DEVICE,          IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                            IRP_MN_QUERY_STOP_DEVICE,    IRP_MN_CANCEL_STOP_DEVICE,  IRP_MN_QUERY_DEVICE_RELATIONS,
                            IRP_MN_QUERY_INTERFACE,      IRP_MN_QUERY_CAPABILITIES,  IRP_MN_QUERY_PNP_DEVICE_STATE,
                            0x18 /* IRP_MN_QUERY_LEGACY_BUS_INFORMATION */};
    for (UCHAR minor : minors) {
        SCOPED_TRACE(int(minor));
        std::vector<uint8_t> before(sizeof(DEVICE_EXTENSION));
        std::memcpy(before.data(), Ext(), before.size());
        pdo_->SetAnswer(IRP_MJ_PNP, STATUS_INVALID_DEVICE_STATE);
        auto result = Pnp(minor);
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(BusSawCount(IRP_MJ_PNP, minor), 1u);
        EXPECT_EQ(std::memcmp(before.data(), Ext(), before.size()), 0) << "extension changed";
        EXPECT_TRUE(LinksExist(u"LPT3"));
        EXPECT_TRUE(InterfaceEnabled());
    }
    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS);
}

TEST_F(PnpTest, EveryPowerRequestStartsTheNextAndGoesDown)
{
    const UCHAR minors[] = {IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, IRP_MN_SET_POWER, IRP_MN_QUERY_POWER};
    pdo_->SetAnswer(IRP_MJ_POWER, STATUS_NOT_SUPPORTED);
    for (UCHAR minor : minors) {
        SCOPED_TRACE(int(minor));
        const uint64_t started = ksim::PoStartNextPowerIrpCalls();
        auto result = pdo_->Send(IRP_MJ_POWER, minor);
        EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(ksim::PoStartNextPowerIrpCalls(), started + 1);
        EXPECT_EQ(BusSawCount(IRP_MJ_POWER, minor), 1u);
    }
    // Left pending below: the dispatch returns what the lower driver returned.
    pdo_->SetAnswer(IRP_MJ_POWER, STATUS_SUCCESS, /*pend=*/true);
    auto power = pdo_->SendAsync(IRP_MJ_POWER, IRP_MN_SET_POWER);
    ksim::Settle();
    EXPECT_EQ(power.DispatchStatus(), STATUS_PENDING);
    pdo_->CompleteHeld(STATUS_SUCCESS);
    EXPECT_EQ(power.Wait().status, STATUS_SUCCESS);
}

TEST_F(PnpTest, SystemControlGoesDownWithTheLowerStatus)
{
    pdo_->SetAnswer(IRP_MJ_SYSTEM_CONTROL, STATUS_INVALID_DEVICE_REQUEST);
    auto result = pdo_->Send(IRP_MJ_SYSTEM_CONTROL, 0x0B /* IRP_MN_REGINFO_EX */);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(BusSawCount(IRP_MJ_SYSTEM_CONTROL, 0x0B), 1u);
}

struct Completion {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 99;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *c = static_cast<Completion *>(context);
    ++c->calls;
    c->status = irp->IoStatus.Status;
    c->information = irp->IoStatus.Information;
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is the test's to free
}

TEST_F(PnpTest, SystemControlWithoutRequestDeviceOrExtensionIsRefused)
{
    EXPECT_EQ(VPARALLEL_SystemControl(fdo_, nullptr), STATUS_UNSUCCESSFUL);

    DEVICE_OBJECT no_extension;
    std::memset(&no_extension, 0, sizeof(no_extension));
    for (PDEVICE_OBJECT device : {PDEVICE_OBJECT(nullptr), &no_extension}) {
        SCOPED_TRACE(device ? "device without extension" : "no device");
        PIRP irp = IoAllocateIrp(2, FALSE);
        ASSERT_NE(irp, nullptr);
        Completion completion;
        IoSetCompletionRoutine(irp, RecordCompletion, &completion, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        irp->IoStatus.Status = STATUS_PENDING;
        irp->IoStatus.Information = 7;
        EXPECT_EQ(VPARALLEL_SystemControl(device, irp), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(completion.calls, 1);
        EXPECT_EQ(completion.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(completion.information, 0u);
        IoFreeIrp(irp);
    }
}

// ---- Surprise removal and removal, port closed --------------------------------------------------

TEST_F(PnpTest, SurpriseRemovalWithThePortClosedShutsItOffButKeepsTheNames)
{
    SetPortName(u"LPT3");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    port_->SetModemLines(SERIAL_CTS_STATE | SERIAL_DSR_STATE | 0x1);
    port_->SetModemControl(0x30);

    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS);
    auto result = Pnp(IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(BusSawCount(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_EQ(Ext()->ModemStatus, 0x1u) << "only CTS and DSR drop";
    EXPECT_EQ(Ext()->ModemControl, 0x30u);
    EXPECT_EQ(VpIsOpen(Ext()), 0u);
    EXPECT_EQ(Ext()->NotifyIrp, nullptr);
    ExpectAllEventsSet();
    // Links and value stay until removal; the ring buffer too.
    EXPECT_TRUE(LinksExist(u"LPT3"));
    EXPECT_TRUE(MapValueExists());
    EXPECT_NE(Ext()->RxBuffer, nullptr);

    // Removal after it runs in full; disabling the interface a second time is harmless.
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
}

TEST_F(PnpTest, RemovalUnpublishesFreesDetachesDeletesAndReturnsTheLowerStatus)
{
    SetPortName(u"LPT3");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    ASSERT_TRUE(LinksExist(u"LPT3"));
    // A status the bus would not normally give shows it is passed back as it is.
    pdo_->SetAnswer(IRP_MJ_PNP, STATUS_DEVICE_REMOVED);
    auto result = Pnp(IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(result.status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(BusSawCount(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    ExpectRemoved(u"LPT3");
    EXPECT_TRUE(ksim::CheckLeaks().empty()) << "pool, handles or references left";
}

TEST_F(PnpTest, RemovalOfADeviceNeverStartedLeavesNothing)
{
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

TEST_F(PnpTest, RemovalWithoutARingBufferSkipsFreeingIt)
{
    SetPortName(u"LPT3");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    RxBufferFree(Ext()->RxBuffer);
    Ext()->RxBuffer = nullptr;
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
}

TEST_F(PnpTest, StopStartCycleRepublishesAndRemovalLeavesNothing)
{
    SetPortName(u"LPT3");
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    const size_t handles = ksim::HandleCount(ksim::Process::System);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_TRUE(LinksExist(u"LPT3")) << "a stop changes nothing";
        ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        EXPECT_TRUE(LinksExist(u"LPT3"));
        EXPECT_TRUE(MapValueExists());
        EXPECT_TRUE(InterfaceEnabled());
        EXPECT_EQ(ksim::HandleCount(ksim::Process::System), handles);
    }
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

// ---- The order of the driver's actions -------------------------------------------------------------

// What the driver did for one PnP request, in order, from the kernel's call trace: completions of
// its requests, pass-downs, detach and delete of the FDO, publication and withdrawal of the names,
// the worker events it set and the ring it freed.
class PnpOrderTest : public PnpTest {
protected:
    std::vector<std::string> Actions(UCHAR minor)
    {
        PDEVICE_EXTENSION ext = Ext();
        PDEVICE_OBJECT lower = ext->LowerDevice;
        const void *ring = ext->RxBuffer;
        const void *events = ext->Events;
        ksim::StartCallTrace();
        last_ = Pnp(minor);
        std::vector<std::string> actions;
        calls_ = ksim::CallTrace();
        for (const ksim::KernelCall &c : calls_) {
            if (c.routine == "IofCompleteRequest" && c.object == fdo_) {
                actions.push_back(c.major == IRP_MJ_PNP ? "complete" : "complete other request");
            } else if (c.routine == "IofCallDriver" && c.object == lower) {
                actions.push_back("pass down");
            } else if ((c.routine == "IoDetachDevice" || c.routine == "IoDeleteDevice") && c.object == fdo_) {
                actions.push_back(c.routine == "IoDetachDevice" ? "detach" : "delete");
            } else if (c.routine == "IoCreateSymbolicLink" || c.routine == "IoDeleteSymbolicLink") {
                actions.push_back((c.routine == "IoCreateSymbolicLink" ? "link " : "unlink ") + ksim::Narrow(c.name));
            } else if (c.routine == "RtlWriteRegistryValue" || c.routine == "RtlDeleteRegistryValue") {
                actions.push_back(c.routine == "RtlWriteRegistryValue" ? "write map value" : "delete map value");
            } else if (c.routine == "IoSetDeviceInterfaceState") {
                actions.push_back(c.value ? "interface on" : "interface off");
            } else if (c.routine == "KeSetEvent" && c.object >= events &&
                       c.object < static_cast<const void *>(ext->Events + VP_EVENT_COUNT)) {
                actions.push_back("event " + std::to_string(static_cast<const KEVENT *>(c.object) - ext->Events));
            } else if (c.routine == "ExFreePoolWithTag" && c.object == ring) {
                actions.push_back("free ring");
            }
        }
        return actions;
    }
    const ksim::KernelCall *Find(const std::string &routine) const
    {
        for (const ksim::KernelCall &c : calls_)
            if (c.routine == routine) return &c;
        return nullptr;
    }
    ksim::IoResult last_;
    std::vector<ksim::KernelCall> calls_;
};

// Start, surprise removal and removal, each in the order the design gives: the start is
// completed before the names are published; surprise removal disables the interface, answers
// the removal notice and sets the six worker events before the request goes down; removal
// withdraws the names, frees the ring, then detaches and deletes the FDO before passing down.
TEST_F(PnpOrderTest, EachRequestActsInItsOrder)
{
    SetPortName(u"LPT3");
    EXPECT_EQ(Actions(IRP_MN_START_DEVICE),
              (std::vector<std::string>{"pass down", "complete", "link \\DosDevices\\LPT3", "link \\DosDevices\\LPT3:",
                                        "write map value", "interface on"}));
    EXPECT_EQ(last_.status, STATUS_SUCCESS);
    // The hardware key is opened with STANDARD_RIGHTS_READ alone; the device-map value is written
    // with RTL_REGISTRY_OPTIONAL through a short-lived paged buffer.
    const ksim::KernelCall *key = Find("IoOpenDeviceRegistryKey");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->value, 0x20000u);
    const ksim::KernelCall *write = Find("RtlWriteRegistryValue");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(write->value, ULONG(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL));
    const ksim::KernelCall *scratch = Find("ExAllocatePoolWithTag");
    ASSERT_NE(scratch, nullptr);
    EXPECT_EQ(ksim::TagText(ULONG(scratch->value2)), "QW02");
    EXPECT_EQ(scratch->value, uint64_t(PagedPool));

    DirectIrp notice(fdo_, kNotifyRemoval, nullptr, 0, 0);
    ASSERT_EQ(notice.Dispatch(), STATUS_PENDING);
    EXPECT_EQ(Actions(IRP_MN_SURPRISE_REMOVAL),
              (std::vector<std::string>{"interface off", "complete other request", "event 3", "event 2", "event 1",
                                        "event 0", "event 5", "event 4", "pass down"}));
    EXPECT_EQ(notice.Status(), STATUS_SUCCESS);

    EXPECT_EQ(Actions(IRP_MN_REMOVE_DEVICE),
              (std::vector<std::string>{"interface off", "unlink \\DosDevices\\LPT3", "unlink \\DosDevices\\LPT3:",
                                        "delete map value", "free ring", "detach", "delete", "pass down"}));
    EXPECT_EQ(last_.status, STATUS_SUCCESS);
}

// ---- Surprise removal with an application on the port ------------------------------------------

class PnpOpenPortTest : public PnpTest {
protected:
    void SetUp() override
    {
        PnpTest::SetUp();
        if (HasFatalFailure()) return;
        port_->printer = std::make_unique<usbsim::SimPrinter>();
        port_->printer->WriteLinkConfig(u"LPT3");
        SetPortName(u"LPT3");
        ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        ASSERT_EQ(ksim::AppFile::Open(u"\\DosDevices\\LPT3", &file_), STATUS_SUCCESS);
        ksim::Settle();
        ASSERT_EQ(ksim::LiveSystemThreads(), 3u);
    }
    void TearDown() override
    {
        file_.reset();
        PnpTest::TearDown();
    }
    std::unique_ptr<ksim::AppFile> file_;
};

TEST_F(PnpOpenPortTest, SurpriseRemovalEndsTheWorkersWhichCompleteWhatTheyHold)
{
    // A wait that no event satisfies (DSR awaited, lines low), a read waiting for data that the
    // device never sends, and the removal notice.
    ULONG mask = SERIAL_EV_DSR;
    ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status, STATUS_SUCCESS);
    auto wait = file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 500;
    ASSERT_EQ(file_->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status, STATUS_SUCCESS);
    auto read = file_->ReadAsync(16);
    auto notify = file_->IoctlAsync(kNotifyRemoval, nullptr, 0, 0);
    ksim::Settle();
    ASSERT_FALSE(wait.Done());
    ASSERT_FALSE(read.Done());
    ASSERT_FALSE(notify.Done());

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    ASSERT_TRUE(notify.Done()) << "the removal notice is still parked";
    auto notice = notify.Wait();
    EXPECT_EQ(notice.status, STATUS_SUCCESS);
    EXPECT_EQ(notice.information, 0u);
    EXPECT_EQ(Ext()->NotifyIrp, nullptr);
    EXPECT_EQ(VpIsOpen(Ext()), 0u);
    EXPECT_EQ(Ext()->ModemStatus & (SERIAL_CTS_STATE | SERIAL_DSR_STATE), 0u);

    // Well within the read's own 500 ms: only the workers' exit work can answer it now.
    ksim::AdvanceMs(3);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u) << "workers still running after surprise removal";
    ASSERT_TRUE(read.Done());
    auto r = read.Wait();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    ASSERT_TRUE(wait.Done());
    auto w = wait.Wait();
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    ASSERT_EQ(w.information, sizeof(ULONG));
    ULONG events = 0xFFFFFFFF;
    std::memcpy(&events, w.data.data(), sizeof(events));
    EXPECT_EQ(events, 0u);

    // The application's close runs the normal cleanup, whose waits return at once.
    ksim::ClearDebugLog();
    file_->Close();
    auto log = ksim::DebugLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "VPARALLEL_Cleanup End \n"), log.end());
    file_.reset();

    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
    EXPECT_EQ(port_->printer->OpenFiles(), 0u);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

TEST_F(PnpOpenPortTest, SurpriseRemovalWithoutParkedNoticeStillShutsThePortOff)
{
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    ksim::AdvanceMs(20);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_FALSE(InterfaceEnabled());
    ExpectAllEventsSet();
    file_->Close();
    file_.reset();
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
}

TEST_F(PnpOpenPortTest, NoticeCancelledBeforeSurpriseRemovalIsCompletedOnlyOnce)
{
    auto notify = file_->IoctlAsync(kNotifyRemoval, nullptr, 0, 0);
    ksim::Settle();
    ASSERT_FALSE(notify.Done());
    EXPECT_TRUE(notify.Cancel());
    EXPECT_EQ(notify.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(Ext()->NotifyIrp, nullptr);

    // Nothing parked any more: surprise removal must not complete the request again.
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    file_->Close();
    file_.reset();
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
}

TEST_F(PnpOpenPortTest, NoticeParkedOnAClosedPortCompletesAtSurpriseRemoval)
{
    auto notify = file_->IoctlAsync(kNotifyRemoval, nullptr, 0, 0);
    ksim::Settle();
    // The application's cleanup ends the port's use but not the notice: it waits for the device.
    file_->CleanupOnly();
    ksim::Settle();
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_FALSE(notify.Done());

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    ASSERT_TRUE(notify.Done()) << "the removal notice is still parked";
    auto notice = notify.Wait();
    EXPECT_EQ(notice.status, STATUS_SUCCESS);
    EXPECT_EQ(notice.information, 0u);
    ExpectAllEventsSet();
    file_->CloseOnly();
    file_.reset();
    EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ExpectRemoved(u"LPT3");
}

}  // namespace
}  // namespace port_test
