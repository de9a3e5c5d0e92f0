// The three worker threads on the virtual clock: their periods, the wait requests they answer,
// the waiting read, the read thread's device reads, and how each one ends.
#include "port_fixture.h"

#include <random>

namespace port_test {
namespace {

class PortWorkersTest : public PortTest {
protected:
    static ksim::PendingIo QueueWait(ksim::AppFile &file)
    {
        return file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }
    static std::vector<uint8_t> MaskBytes(ULONG mask)
    {
        std::vector<uint8_t> bytes(sizeof(mask));
        std::memcpy(bytes.data(), &mask, sizeof(mask));
        return bytes;
    }
};

struct ExitCase {
    VP_EVENT_INDEX exit;
    VP_EVENT_INDEX done;
    int period_ms;
    const char *message;
};

class WorkerExitTest : public PortWorkersTest, public ::testing::WithParamInterface<ExitCase> {};

// An exit event set while its worker waits ends that worker within one period; the read thread
// ends as promptly although it has a device read outstanding, which it cancels first.
TEST_P(WorkerExitTest, EndsWithinOnePeriod)
{
    const ExitCase &c = GetParam();
    Port &port = AddPort();
    OpenPort(port);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    ksim::ClearDebugLog();

    KeSetEvent(&port.Ext()->Events[c.exit], 0, FALSE);
    int used = AdvanceUntil([&] { return CountInLog(c.message) == 1; }, 50);
    EXPECT_GE(used, 0);
    EXPECT_LE(used, c.period_ms);
    EXPECT_TRUE(port.EventSet(c.done));
    EXPECT_EQ(ksim::LiveSystemThreads(), 2u);
    EXPECT_EQ(Log(), std::vector<std::string>{c.message});
    if (c.exit == ReadThreadExitEvent) {
        EXPECT_EQ(port.printer->PendingReads(), 0u);
        EXPECT_EQ(port.printer->OpenFiles(), 1u);  // only the application's WriteHandle is left
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachWorker, WorkerExitTest,
    ::testing::Values(ExitCase{EmulationPollingExitEvent, EmulationPollingDoneEvent, 10, "pEmulationPollingFunction Exit\n"},
                      ExitCase{ReadPollingExitEvent, ReadPollingDoneEvent, 1, "pReadPollingFunction Exit\n"},
                      ExitCase{ReadThreadExitEvent, ReadThreadDoneEvent, 1, "pReadThreadFunction Exit\n"}));

struct WaitCase {
    const char *name;
    ULONG wait_mask;
    ULONG modem_control;
    bool ring_data;
    ULONG expected;  // 0: the request stays queued
    int within_ms;
};

class WaitAnswerTest : public PortWorkersTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitAnswerTest, AnsweredWithTheEventsWithinTheirPeriod)
{
    const WaitCase &c = GetParam();
    SCOPED_TRACE(c.name);
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    if (c.ring_data) Reply(port, {0x55});
    port.SetModemControl(c.modem_control);
    port.SetWaitMask(c.wait_mask);

    auto wait = QueueWait(file);
    EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
    int used = AdvanceUntil([&] { return wait.Done(); }, 50);
    if (c.expected == 0) {
        EXPECT_EQ(used, -1);
        EXPECT_EQ(port.QueuedWaits().size(), 1u);
        return;
    }
    ASSERT_GE(used, 0);
    EXPECT_LE(used, c.within_ms);
    auto result = wait.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(result.data, MaskBytes(c.expected));
    EXPECT_EQ(port.RingCount(), c.ring_data ? 1u : 0u);  // answering a wait takes no data
}

INSTANTIATE_TEST_SUITE_P(
    Events, WaitAnswerTest,
    ::testing::Values(WaitCase{"received character", SERIAL_EV_RXCHAR, 0, true, SERIAL_EV_RXCHAR, 1},
                      WaitCase{"cts", SERIAL_EV_CTS, 0x10, false, SERIAL_EV_CTS, 10},
                      WaitCase{"cts and dsr", SERIAL_EV_CTS | SERIAL_EV_DSR, 0x30, false, SERIAL_EV_CTS | SERIAL_EV_DSR, 10},
                      WaitCase{"cts line, dsr awaited", SERIAL_EV_DSR, 0x10, false, 0, 0},
                      WaitCase{"nothing awaited", 0, 0x30, true, 0, 0}));

// Two wait requests and no event: they take turns at the head of the queue, one move per poll of
// the read-polling thread (the emulation thread's first poll comes only at 10 ms).
TEST_F(PortWorkersTest, TwoQueuedWaitsTakeTurnsAtTheHead)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    auto a = QueueWait(file);
    auto b = QueueWait(file);
    ASSERT_EQ(port.QueuedWaits(), (std::vector<PIRP>{a.Irp(), b.Irp()}));
    for (int poll = 1; poll <= 6; poll++) {
        ksim::AdvanceMs(1);
        auto expected = poll % 2 ? std::vector<PIRP>{b.Irp(), a.Irp()} : std::vector<PIRP>{a.Irp(), b.Irp()};
        EXPECT_EQ(port.QueuedWaits(), expected) << "poll " << poll;
    }
    EXPECT_FALSE(a.Done());
    EXPECT_FALSE(b.Done());
}

TEST_F(PortWorkersTest, PendingReadTakesWhatTheReplyBrings)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(MAXULONG, MAXULONG, 500);  // the first reply ends the read
    auto read = file.ReadAsync(100);
    ksim::Settle();
    ASSERT_FALSE(read.Done());
    const auto reply = Pattern(30, 0x30);
    port.printer->QueueReply(reply);
    EXPECT_EQ(AdvanceUntil([&] { return read.Done(); }, 5), 0);
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.data, reply);
    EXPECT_EQ(port.RingCount(), 0u);
    EXPECT_EQ(port.Ext()->ReceivedCount, 30);
}

// 513 replies of 512 bytes and nobody reading: the ring keeps the first 262,144 bytes, in order. A
// read longer than the ring ends once the ring is full, since waiting longer would lose bytes.
TEST_F(PortWorkersTest, FullRingDropsLaterBytes)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    std::vector<uint8_t> stream(513 * 512);
    for (size_t i = 0; i < stream.size(); i++) stream[i] = static_cast<uint8_t>(i % 251);
    for (size_t r = 0; r < 513; r++)
        port.printer->QueueReply(std::vector<uint8_t>(stream.begin() + r * 512, stream.begin() + (r + 1) * 512));
    ksim::AdvanceMs(600);

    EXPECT_EQ(port.RingCount(), 262144u);
    EXPECT_EQ(port.Ext()->ReceivedCount, 262144);
    EXPECT_GE(port.printer->ReadsSeen(), 514u);
    auto result = file.Read(300000);
    ASSERT_EQ(result.information, 262144u);
    EXPECT_TRUE(std::equal(result.data.begin(), result.data.end(), stream.begin()));
}

// The device cannot be opened any more: the read thread tries again every cycle without a word,
// a waiting read is still answered, and cleanup ends promptly.
TEST_F(PortWorkersTest, UnopenableDeviceIsRetriedSilently)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass1));
    ksim::AppFile &file = OpenPort(port);
    port.printer->FailOpens(STATUS_NO_SUCH_DEVICE);
    Reply(port, {1});  // ends the cycle that was running
    ksim::ClearDebugLog();
    const size_t tries = port.OpensWith(kReadAccess);

    ksim::AdvanceMs(10);
    EXPECT_GE(port.OpensWith(kReadAccess), tries + 9);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(file.Read(1).data, std::vector<uint8_t>{1});
    port.SetTimeouts(0, 0, 1);
    auto read = file.ReadAsync(10);
    ksim::AdvanceMs(2);
    EXPECT_TRUE(read.Done());

    const int64_t start = ksim::Now();
    file.CleanupOnly();
    EXPECT_LE(ksim::Now() - start, 12 * ksim::kTicksPerMs);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

// The port is closed while a read is outstanding and the device then answers: the reply is
// discarded and the read thread ends by itself, before anyone sets its exit event.
TEST_F(PortWorkersTest, ReplyForAClosedPortIsDiscardedAndTheReadThreadEnds)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    ksim::ClearDebugLog();

    VpSetPortState(port.Ext(), PortClosing);  // as cleanup leaves it while it stops the workers
    port.printer->QueueReply(Pattern(5));
    ksim::Settle();
    EXPECT_EQ(Log(), std::vector<std::string>{"pReadThreadFunction Exit\n"});
    EXPECT_EQ(ksim::LiveSystemThreads(), 2u);
    EXPECT_TRUE(port.EventSet(ReadThreadDoneEvent));
    EXPECT_FALSE(port.EventSet(ReadThreadExitEvent));
    EXPECT_EQ(port.RingCount(), 0u);
    EXPECT_EQ(port.printer->OpenFiles(), 1u);

    file.CleanupOnly();
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
}

// What the workers hold when all six events are set at once (as a surprise removal does): the
// waiting read completes with 0 bytes, the queued wait requests with mask 0.
TEST_F(PortWorkersTest, ExitWorkCompletesWhatTheWorkersHold)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetWaitMask(SERIAL_EV_CTS);
    auto w1 = QueueWait(file);
    auto w2 = QueueWait(file);
    auto w3 = QueueWait(file);
    auto read = file.ReadAsync(10);
    port.SetTimeouts(0, 0, 500);
    ksim::Settle();

    for (int i = VP_EVENT_COUNT - 1; i >= 0; i--) KeSetEvent(&port.Ext()->Events[i], 0, FALSE);
    ksim::AdvanceMs(10);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    for (auto *wait : {&w1, &w2, &w3}) {
        ASSERT_TRUE(wait->Done());
        auto result = wait->Wait();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 4u);
        EXPECT_EQ(result.data, MaskBytes(0));
    }
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(read.Wait().information, 0u);
    EXPECT_EQ(port.printer->PendingReads(), 0u);
}

// Each polling worker on its own. The read-polling thread's exit work completes exactly one queued
// wait (and the waiting read); then the emulation thread alone answers waits for received
// characters, from the ring, within its period.
TEST_F(PortWorkersTest, EachPollingWorkerOnItsOwn)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetWaitMask(SERIAL_EV_CTS);  // and no CTS: the waits stay queued
    std::vector<ksim::PendingIo> waits;
    for (int i = 0; i < 3; i++) waits.push_back(QueueWait(file));
    port.SetTimeouts(0, 0, 500);
    auto read = file.ReadAsync(10);
    ksim::AdvanceMs(2);

    KeSetEvent(&port.Ext()->Events[ReadPollingExitEvent], 0, FALSE);
    ksim::AdvanceMs(2);
    EXPECT_EQ(ksim::LiveSystemThreads(), 2u);
    // The queue turns at every poll, so which of the three went first is not fixed.
    auto done = std::stable_partition(waits.begin(), waits.end(), [](const ksim::PendingIo &w) { return w.Done(); });
    ASSERT_EQ(done - waits.begin(), 1);
    EXPECT_EQ(waits[0].Wait().data, MaskBytes(0));
    EXPECT_EQ(port.QueuedWaits().size(), 2u);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Wait().information, 0u);

    port.SetWaitMask(SERIAL_EV_RXCHAR);
    Reply(port, {7});
    for (size_t i = 1; i < waits.size(); i++) {
        int used = AdvanceUntil([&] { return waits[i].Done(); }, 30);
        EXPECT_GE(used, 0);
        EXPECT_LE(used, 10);
        EXPECT_EQ(waits[i].Wait().data, MaskBytes(SERIAL_EV_RXCHAR));
    }
    EXPECT_EQ(port.RingCount(), 1u) << "the emulation thread only looks at the ring";
}

// The named ReadCompleteEvent tells a listener that a port's device read completed: a read that
// failed at once or was cancelled does not set it.
TEST_F(PortWorkersTest, ReadCompleteEventIsSetOnlyByACompletedRead)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass1));
    ksim::AppFile &file = OpenPort(port);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\BaseNamedObjects\\ReadCompleteEvent");
    HANDLE handle = nullptr;
    PKEVENT listener = IoCreateNotificationEvent(&name, &handle);
    ASSERT_NE(listener, nullptr);

    Reply(port, {1});
    EXPECT_NE(KeReadStateEvent(listener), 0) << "a completed read sets it";
    ksim::AdvanceMs(2);
    ASSERT_EQ(KeReadStateEvent(listener), 0) << "each cycle starts with it clear";

    ksim::InjectFault(ksim::Fault::FileRead, STATUS_UNSUCCESSFUL, 0, 3);
    port.printer->QueueReply({2});  // ends the outstanding read; the next three fail at once
    ksim::AdvanceMs(1);
    KeClearEvent(listener);
    ksim::AdvanceMs(2);
    EXPECT_EQ(KeReadStateEvent(listener), 0) << "set by a read that failed at once";
    ksim::ClearFaults();

    ksim::AdvanceMs(3);
    ASSERT_EQ(port.printer->PendingReads(), 1u);
    file.CleanupOnly();
    EXPECT_EQ(KeReadStateEvent(listener), 0) << "set by a cancelled read";
    ZwClose(handle);
}

// Two ports whose printers answer at random moments for many cycles: each reply lands in its
// own port's ring exactly once and in order. A read thread that took another port's completion
// for its own would lose or misplace replies here.
TEST_F(PortWorkersTest, TwoPortsEachReplyReachesItsOwnRingOnceInOrder)
{
    Port &lpt3 = AddPort(u"LPT3", ConfigFor(kClass1, 1));
    Port &lpt4 = AddPort(u"LPT4", ConfigFor(kClass1, 2));
    ksim::AppFile &f3 = OpenPort(lpt3);
    ksim::AppFile &f4 = OpenPort(lpt4);
    EXPECT_TRUE(ksim::ObjectExists(u"\\BaseNamedObjects\\ReadCompleteEvent"));

    std::mt19937 rng(20261207);
    Port *ports[2] = {&lpt3, &lpt4};
    std::vector<uint8_t> expected[2];
    uint32_t counter[2] = {0, 0};
    size_t replies[2] = {0, 0};
    for (int round = 0; round < 400; round++) {
        int p = rng() % 2;
        size_t length = 1 + rng() % 512;
        std::vector<uint8_t> reply(length);
        for (auto &b : reply) b = static_cast<uint8_t>((counter[p]++ * 7 + p * 101) % 253);
        ports[p]->printer->QueueReply(reply);
        replies[p]++;
        expected[p].insert(expected[p].end(), reply.begin(), reply.end());
        ksim::AdvanceMs(rng() % 3);
    }
    int used = AdvanceUntil([&] { return lpt3.RingCount() == expected[0].size() && lpt4.RingCount() == expected[1].size(); },
                            500);
    EXPECT_GE(used, 0);
    ksim::AdvanceMs(5);

    auto got3 = f3.Read(static_cast<ULONG>(expected[0].size()));
    auto got4 = f4.Read(static_cast<ULONG>(expected[1].size()));
    EXPECT_EQ(got3.data, expected[0]);
    EXPECT_EQ(got4.data, expected[1]);
    // Each device read ended with its own reply: none was cut short by the other port's completion.
    EXPECT_EQ(lpt3.printer->ReadsSeen(), replies[0] + 1);
    EXPECT_EQ(lpt4.printer->ReadsSeen(), replies[1] + 1);
    EXPECT_EQ(lpt3.Ext()->ReceivedCount, static_cast<LONG>(expected[0].size()));
    EXPECT_EQ(lpt4.Ext()->ReceivedCount, static_cast<LONG>(expected[1].size()));
}

}  // namespace
}  // namespace port_test
