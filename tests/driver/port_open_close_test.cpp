// Open, cleanup and close of the port: the checks of an open in their order, the workers an open
// starts and a cleanup stops, what a failed open leaves behind, and how open and cleanup of the
// same port keep out of each other's way.
#include "port_fixture.h"

#include "link/link.h"

namespace port_test {
namespace {

class PortOpenCloseTest : public PortTest {};

TEST_F(PortOpenCloseTest, OpenLinksTheDeviceAndStartsThreeWorkersAtPriority16)
{
    Port &port = AddPort();
    ksim::ClearDebugLog();
    ksim::StartCallTrace();
    ksim::AppFile &file = OpenPort(port);
    (void)file;
    // The link and presence keys are read with KEY_READ, case-insensitively, on kernel handles:
    // the open runs in the application's context, whose handle table is the application's.
    size_t key_opens = 0;
    for (const ksim::KernelCall &c : ksim::CallTrace()) {
        if (c.routine != "ZwOpenKey") continue;
        key_opens++;
        EXPECT_EQ(c.value, ACCESS_MASK(KEY_READ)) << ksim::Narrow(c.name);
        EXPECT_EQ(c.value2, ULONG(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE)) << ksim::Narrow(c.name);
        EXPECT_EQ(c.process, ksim::Process::Application);
    }
    EXPECT_EQ(key_opens, 2u);

    PDEVICE_EXTENSION ext = port.Ext();
    EXPECT_EQ(VpIsOpen(ext), 1u);
    EXPECT_EQ(ext->ModelClass, 3u);
    EXPECT_EQ(ext->ModemStatus & (SERIAL_CTS_STATE | SERIAL_DSR_STATE), ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
    EXPECT_NE(ext->WriteHandle, nullptr);
    EXPECT_EQ(ksim::FromWz(ext->HardwareId), port.printer->HardwareId());
    EXPECT_EQ(ksim::FromWz(ext->LinkedId), port.printer->LinkedId());

    auto threads = ksim::SystemThreads();
    ASSERT_EQ(threads.size(), 3u);
    for (const auto &t : threads) {
        EXPECT_EQ(t.priority, LOW_REALTIME_PRIORITY);
        EXPECT_FALSE(t.terminated);
    }
    // The open's device handle belongs to the application, the read thread's to the system.
    auto opens = port.printer->Opens();
    ASSERT_GE(opens.size(), 2u);
    EXPECT_EQ(opens[0].desired_access, kWriteHandleAccess);
    EXPECT_EQ(opens[0].process, ksim::Process::Application);
    EXPECT_EQ(opens[1].desired_access, kReadAccess);
    EXPECT_EQ(opens[1].process, ksim::Process::System);
    EXPECT_EQ(port.printer->PendingReads(), 1u);
    EXPECT_EQ(Log(), std::vector<std::string>{"VPARALLEL_Create Start \n"});
}

struct FailedOpenCase {
    const char *name;
    std::function<void(Port &)> arrange;
    NTSTATUS status;
    const char *message;
    bool lines_up_after;  // CTS and DSR as the failed open leaves them
};

class FailedOpenTest : public PortTest, public ::testing::WithParamInterface<int> {};

const FailedOpenCase kFailedOpens[] = {
    {"link key missing", [](Port &p) { ksim::reg::DeleteKey(u16(usbsim::kLinkKeyRoot) + u"\\" + p.port_name); },
     STATUS_UNSUCCESSFUL, "VPARALLEL_Create GetUsbHardwareId Error \n", true},
    {"vendor not accepted",
     [](Port &p) {
         ksim::reg::SetString(u16(usbsim::kLinkKeyRoot) + u"\\" + p.port_name, u"LinkedId",
                              u"##?#USB#VID_1504&Pid_0002#X");
     },
     STATUS_DEVICE_POWERED_OFF, "VPARALLEL_Create wcsncmp Error \n", true},
    {"device not present", [](Port &p) { p.printer->Unplug(); }, STATUS_DEVICE_POWERED_OFF,
     "VPARALLEL_Create IsLinkedUsb Error \n", false},
    {"device open fails", [](Port &p) { p.printer->FailOpens(STATUS_ACCESS_DENIED); }, STATUS_ACCESS_DENIED,
     "VPARALLEL_Create CreateWriteHandle Error \n", true},
};

TEST_P(FailedOpenTest, FailsWithItsMessageAndStartsNothing)
{
    const FailedOpenCase &c = kFailedOpens[GetParam()];
    SCOPED_TRACE(c.name);
    Port &port = AddPort();
    port.SetModemLines(SERIAL_CTS_STATE | SERIAL_DSR_STATE);
    c.arrange(port);
    ksim::ClearDebugLog();

    std::unique_ptr<ksim::AppFile> file;
    EXPECT_EQ(port.Open(&file), c.status);
    ksim::AdvanceMs(20);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(Log(), (std::vector<std::string>{"VPARALLEL_Create Start \n", c.message}));
    EXPECT_EQ(ksim::SystemThreads().size(), 0u);
    EXPECT_EQ(port.IsOpen(), 0u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ((port.ModemLines() & SERIAL_CTS_STATE) != 0, c.lines_up_after);
    EXPECT_EQ((port.ModemLines() & SERIAL_DSR_STATE) != 0, c.lines_up_after);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), base_app_handles_);
}

INSTANTIATE_TEST_SUITE_P(EachCheck, FailedOpenTest, ::testing::Range(0, 4));

TEST_F(PortOpenCloseTest, SecondOpenIsRefusedAndTheFirstGoesOnUndisturbed)
{
    Port &port = AddPort();
    ksim::AppFile &first = OpenPort(port);
    PETHREAD read_thread = port.Ext()->ReadThread;
    HANDLE write_handle = port.WriteHandle();
    ksim::ClearDebugLog();

    std::unique_ptr<ksim::AppFile> second;
    EXPECT_EQ(port.Open(&second), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_EQ(Log(), (std::vector<std::string>{"VPARALLEL_Create Start \n", "VPARALLEL_Create CreateON Error \n"}));
    EXPECT_EQ(port.Ext()->ReadThread, read_thread);
    EXPECT_EQ(port.WriteHandle(), write_handle);
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);

    auto written = first.Write(Pattern(10));
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    Reply(port, {1, 2, 3});
    EXPECT_EQ(first.Read(3).data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(PortOpenCloseTest, CleanupStopsTheWorkersInOrderAndPrintsItsMessages)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass1));
    ksim::AppFile &file = OpenPort(port);
    ksim::ClearDebugLog();
    ksim::StartCallTrace();

    file.CleanupOnly();
    // The read thread is woken (and cancels its device read) before any worker is told to stop.
    auto calls = ksim::CallTrace();
    auto set = [&](const void *event) {
        return std::find_if(calls.begin(), calls.end(),
                            [&](const ksim::KernelCall &c) { return c.routine == "KeSetEvent" && c.object == event; });
    };
    auto wake = set(&port.Ext()->ReadThreadWakeEvent);
    ASSERT_NE(wake, calls.end());
    EXPECT_LT(wake, set(&port.Ext()->Events[ReadPollingExitEvent]));
    EXPECT_NE(std::find_if(wake, calls.end(), [](const ksim::KernelCall &c) { return c.routine == "ZwCancelIoFile"; }),
              calls.end());
    const std::vector<std::string> expected = {
        "VPARALLEL_Cleanup : Begin \n",   " + ReadPollingExitEvent \n",       "pReadPollingFunction Exit\n",
        " + EmulationPollingExitEvent \n", "pEmulationPollingFunction Exit\n", " + ReadThreadExitEvent \n",
        "pReadThreadFunction Exit\n",     " + SetEvent End \n",               "VPARALLEL_Cleanup End \n"};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_EQ(port.IsOpen(), 0u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(port.Ext()->ReadThread, nullptr);
    // The read thread cancelled its outstanding read and closed the device.
    EXPECT_EQ(port.printer->PendingReads(), 0u);
    EXPECT_EQ(port.printer->OpenFiles(), 0u);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), base_system_handles_);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), base_app_handles_ + 1);  // the file's own
}

// Class 3 devices get the status request at cleanup when the read thread is inside a read cycle:
// its answer ends the outstanding read, whose bytes a closed port discards.
TEST_F(PortOpenCloseTest, Class3CleanupSendsTheStatusRequestDuringAReadCycle)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass3));
    ksim::AppFile &file = OpenPort(port);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    ksim::ClearDebugLog();
    ksim::StartCallTrace();

    file.CleanupOnly();
    EXPECT_EQ(port.printer->StatusRequests(), 1u);
    EXPECT_EQ(port.OpensWith(kWriteAccess), 1u);
    size_t delays = 0;
    for (const ksim::KernelCall &c : ksim::CallTrace()) {
        if (c.routine != "KeDelayExecutionThread") continue;
        delays++;
        EXPECT_EQ(int64_t(c.value), -5 * ksim::kTicksPerMs);
    }
    EXPECT_EQ(delays, 1u);
    EXPECT_EQ(port.RingCount(), 0u);
    EXPECT_EQ(port.Ext()->ReceivedCount, 0);
    // The answer reached the read thread before any worker was told to stop: it left by itself.
    size_t exit = FindInLog("pReadThreadFunction Exit\n");
    ASSERT_NE(exit, std::string::npos);
    EXPECT_LT(exit, FindInLog(" + ReadPollingExitEvent \n"));
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

TEST_F(PortOpenCloseTest, Class3CleanupOutsideAReadCycleSendsNothing)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass3));
    ksim::AppFile &file = OpenPort(port);
    // The device can no longer be opened, so the read thread never gets into a cycle.
    port.printer->Unplug();
    ksim::AdvanceMs(3);
    port.printer->ClearRecords();

    file.CleanupOnly();
    EXPECT_EQ(port.OpensWith(kWriteAccess), 0u);
    EXPECT_EQ(port.printer->StatusRequests(), 0u);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

class OtherClassCleanupTest : public PortTest, public ::testing::WithParamInterface<const char *> {};

// The device never answers: cleanup still ends, without a status request.
TEST_P(OtherClassCleanupTest, NeverSendsTheStatusRequest)
{
    Port &port = AddPort(u"LPT3", ConfigFor(GetParam()));
    ksim::AppFile &file = OpenPort(port);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    EXPECT_NE(port.Ext()->ModelClass, 3u);
    ksim::StartCallTrace();

    file.CleanupOnly();
    for (const ksim::KernelCall &c : ksim::CallTrace()) EXPECT_NE(c.routine, "KeDelayExecutionThread");
    EXPECT_EQ(port.OpensWith(kWriteAccess), 0u);
    EXPECT_EQ(port.printer->StatusRequests(), 0u);
    EXPECT_EQ(port.printer->PendingReads(), 0u);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Classes1And2, OtherClassCleanupTest, ::testing::Values(kClass1, kClass2));

class QueuedWaitsAtCloseTest : public PortTest, public ::testing::WithParamInterface<bool> {};

// Ten waits, nine queued and one that found the queue full: the close of the port (with its
// cleanup, or a close alone while they are pending, as Wine sends it) completes all ten as cancelled before any
// worker stops, and the close itself gets through.
TEST_P(QueuedWaitsAtCloseTest, AllAreCancelledBeforeAnyWorkerStops)
{
    const bool without_cleanup = GetParam();
    Port &port = AddPort(u"LPT3", ConfigFor(kClass1));
    ksim::AppFile &file = OpenPort(port);
    port.SetWaitMask(SERIAL_EV_CTS);  // and no CTS: the requests stay queued
    std::vector<ksim::PendingIo> waits;
    for (int i = 0; i < 10; i++) waits.push_back(file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)));
    ksim::AdvanceMs(25);
    ASSERT_EQ(port.QueuedWaits().size(), 9u);

    if (without_cleanup) {
        // As Wine sends it: the close while requests on the file are still pending.
        EXPECT_EQ(file.SendAsync(IRP_MJ_CLOSE).Wait().status, STATUS_SUCCESS);
    } else {
        file.Close();
    }
    ksim::Settle();  // a close released at raised IRQL reaches the driver from a worker
    // Had the workers' exit work reached them first, they would have completed with success.
    for (auto &wait : waits) {
        ASSERT_TRUE(wait.Done());
        auto result = wait.Wait();
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_TRUE(port.QueuedWaits().empty());
    EXPECT_EQ(port.Ext()->HardwareId[0], 0) << "the close never reached the driver";
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(CleanupThenClose_CloseAlone, QueuedWaitsAtCloseTest, ::testing::Bool());

TEST_F(PortOpenCloseTest, CloseForgetsTheDevicePathButKeepsLinkedId)
{
    Port &port = AddPort();
    OpenPort(port);
    files_.back()->Close();
    ksim::Settle();

    EXPECT_EQ(port.Ext()->HardwareId[0], 0);
    EXPECT_EQ(ksim::FromWz(port.Ext()->LinkedId), port.printer->LinkedId());
    EXPECT_EQ(port.IsOpen(), 0u);
    EXPECT_EQ(port.Ext()->OpenFileObject, nullptr);
}

TEST_F(PortOpenCloseTest, OpenCloseOpenReadsTheLinkAgainAndStartsThreeNewWorkers)
{
    Port &port = AddPort();
    OpenPort(port);
    files_.back()->Close();
    files_.clear();
    ksim::Settle();
    EXPECT_TRUE(port.EventSet(ReadThreadExitEvent));

    // The installer relinks the port to a class 2 model meanwhile.
    const u16 key = u16(usbsim::kLinkKeyRoot) + u"\\LPT3";
    const u16 relinked = LinkedIdOf(kClass2);
    ksim::reg::SetString(key, u"LinkedId", relinked);
    ksim::reg::CreateKey(u16(usbsim::kUsbDeviceClassKey) + u"\\" + relinked);

    OpenPort(port);
    EXPECT_EQ(ksim::FromWz(port.Ext()->LinkedId), relinked);
    EXPECT_EQ(port.Ext()->ModelClass, 2u);
    EXPECT_EQ(ksim::SystemThreads().size(), 6u);
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);
    for (int i = 0; i < VP_EVENT_COUNT; i++) EXPECT_FALSE(port.EventSet(VP_EVENT_INDEX(i))) << "event " << i;
    // The new workers work: a reply reaches the ring.
    Reply(port, {7, 8, 9});
    ksim::reg::DeleteKey(u16(usbsim::kUsbDeviceClassKey) + u"\\" + relinked);
}

// Some hosts close a handle without sending cleanup first: the close then does the cleanup's work.
TEST_F(PortOpenCloseTest, CloseWithoutCleanupStopsTheWorkers)
{
    Port &port = AddPort();
    OpenPort(port);
    ksim::ClearDebugLog();
    files_.back()->CloseOnly();
    ksim::Settle();

    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(port.IsOpen(), 0u);
    EXPECT_EQ(port.Ext()->HardwareId[0], 0);
    // The close prints none of the cleanup's messages; the workers still announce their end.
    for (const char *cleanup_message : {"VPARALLEL_Cleanup : Begin \n", " + ReadPollingExitEvent \n",
                                        " + EmulationPollingExitEvent \n", " + ReadThreadExitEvent \n",
                                        " + SetEvent End \n", "VPARALLEL_Cleanup End \n"})
        EXPECT_EQ(CountInLog(cleanup_message), 0u) << cleanup_message;
    EXPECT_EQ(CountInLog("pReadThreadFunction Exit\n"), 1u);
    EXPECT_EQ(port.printer->OpenFiles(), 0u);
    files_.clear();
    OpenPort(port);
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);
}

// A worker that cannot be created or referenced: the open fails with that status and leaves
// nothing running, no handle and no reference behind.
struct WorkerFault {
    ksim::Fault fault;
    unsigned skip;
};

class WorkerFaultTest : public PortTest, public ::testing::WithParamInterface<WorkerFault> {};

TEST_P(WorkerFaultTest, OpenIsUndoneAndFails)
{
    Port &port = AddPort();
    ksim::InjectFault(GetParam().fault, STATUS_INSUFFICIENT_RESOURCES, GetParam().skip);

    std::unique_ptr<ksim::AppFile> file;
    EXPECT_EQ(port.Open(&file), STATUS_INSUFFICIENT_RESOURCES);
    ksim::AdvanceMs(20);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_EQ(port.IsOpen(), 0u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(port.Ext()->EmulationPollingThread, nullptr);
    EXPECT_EQ(port.Ext()->ReadPollingThread, nullptr);
    EXPECT_EQ(port.Ext()->ReadThread, nullptr);
    EXPECT_EQ(port.printer->OpenFiles(), 0u);
    EXPECT_EQ(port.printer->ReadsSeen(), 0u);  // no worker ever got to work
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), base_app_handles_);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), base_system_handles_);

    ksim::ClearFaults();
    OpenPort(port);
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);
}

INSTANTIATE_TEST_SUITE_P(EachWorker, WorkerFaultTest,
                         ::testing::Values(WorkerFault{ksim::Fault::ThreadCreation, 0},
                                           WorkerFault{ksim::Fault::ThreadCreation, 1},
                                           WorkerFault{ksim::Fault::ThreadCreation, 2},
                                           WorkerFault{ksim::Fault::ObjectReference, 0},
                                           WorkerFault{ksim::Fault::ObjectReference, 2}));

// An open that arrives while a cleanup of the same port is still stopping its workers waits for
// that cleanup and then opens the port with workers of its own.
TEST_F(PortOpenCloseTest, OpenDuringCleanupWaitsForIt)
{
    auto config = ConfigFor(kClass3);
    config.answer_status_request = false;  // cleanup then spends its 5 ms delay and more
    Port &port = AddPort(u"LPT3", config);
    ksim::AppFile &first = OpenPort(port);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    PETHREAD old_read_thread = port.Ext()->ReadThread;

    AppThread cleanup([&] { first.CleanupOnly(); });
    ksim::Settle();
    ASSERT_FALSE(cleanup.Done());
    std::unique_ptr<ksim::AppFile> second;
    NTSTATUS second_status = STATUS_PENDING;
    AppThread open([&] { second_status = port.Open(&second); });
    ksim::Settle();
    EXPECT_FALSE(open.Done());
    EXPECT_EQ(port.Ext()->ReadThread, old_read_thread);

    cleanup.Join();
    open.Join();
    EXPECT_EQ(second_status, STATUS_SUCCESS);
    size_t cleanup_end = FindInLog("VPARALLEL_Cleanup End \n");
    ASSERT_NE(cleanup_end, std::string::npos);
    EXPECT_EQ(FindInLog("VPARALLEL_Create CreateON Error \n"), std::string::npos);
    ksim::AdvanceMs(1);
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);
    EXPECT_NE(port.Ext()->ReadThread, old_read_thread);
    files_.push_back(std::move(second));
}

// After a surprise removal the workers end by themselves, but the application still holds the
// port: a new open is refused until its cleanup, which then waits for nothing.
TEST_F(PortOpenCloseTest, SurpriseRemovalEndsTheWorkersAndCleanupStillTidiesUp)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    ksim::AdvanceMs(12);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    EXPECT_EQ(port.printer->PendingReads(), 0u);

    std::unique_ptr<ksim::AppFile> other;
    EXPECT_EQ(port.Open(&other), STATUS_PORT_CONNECTION_REFUSED);

    const int64_t start = ksim::Now();
    file.CleanupOnly();
    EXPECT_EQ(ksim::Now(), start);
    EXPECT_EQ(port.Ext()->ReadThread, nullptr);
    EXPECT_EQ(port.WriteHandle(), nullptr);
}

}  // namespace
}  // namespace port_test
