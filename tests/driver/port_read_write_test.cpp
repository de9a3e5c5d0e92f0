// Read and write requests: what a read takes from the ring or how it waits, the waiting read's
// cancellation and displacement, the pieces a write sends to the device, and the handle rules
// both keep.
#include "port_fixture.h"

namespace port_test {
namespace {

class PortReadWriteTest : public PortTest {};

struct RingReadCase {
    size_t in_ring;
    ULONG asked;
    size_t got;
};

class RingReadTest : public PortTest, public ::testing::WithParamInterface<RingReadCase> {};

// Under the time-outs that return at once, a read takes what the ring holds, up to its length, and
// never waits for more.
TEST_P(RingReadTest, TakesWhatTheRingHolds)
{
    const RingReadCase &c = GetParam();
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(MAXULONG, 0, 0);
    const auto bytes = Pattern(c.in_ring, 0x61);
    Reply(port, bytes);

    auto read = file.ReadAsync(c.asked);
    ASSERT_TRUE(read.Done());
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.data, std::vector<uint8_t>(bytes.begin(), bytes.begin() + c.got));
    EXPECT_EQ(port.RingCount(), c.in_ring - c.got);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RingReadTest,
                         ::testing::Values(RingReadCase{10, 4, 4}, RingReadCase{3, 100, 3}, RingReadCase{5, 5, 5}));

TEST_F(PortReadWriteTest, ReadWithTheDeviceGoneFromAnOpenPortIsRefused)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    Reply(port, {1, 2, 3});
    port.printer->Unplug();

    auto result = file.Read(10);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port.ModemLines() & (SERIAL_CTS_STATE | SERIAL_DSR_STATE), 0u);
    EXPECT_EQ(port.RingCount(), 3u);
}

// After a surprise removal (port no longer open) a read still serves the ring, a write is refused
// and closes the handle it finds.
TEST_F(PortReadWriteTest, AfterSurpriseRemovalReadsServeTheRingAndWritesAreRefused)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    Reply(port, {4, 5, 6});
    port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    ksim::AdvanceMs(12);
    port.printer->Unplug();
    ASSERT_NE(port.WriteHandle(), nullptr);
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);

    auto read = file.Read(10);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.data, (std::vector<uint8_t>{4, 5, 6}));

    auto write = file.Write(Pattern(8));
    EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write.information, 0u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles - 1);
}

// A failed write leaves no handle: the next read opens one before it looks at the ring, and
// fails with that open's status when it cannot, whatever the ring holds.
TEST_F(PortReadWriteTest, ReadAfterAFailedWriteReopensTheHandleFirst)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    Reply(port, {9, 9});
    port.printer->FailWrite(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(file.Write(Pattern(4)).status, STATUS_IO_DEVICE_ERROR);
    ASSERT_EQ(port.WriteHandle(), nullptr);

    port.printer->FailOpens(STATUS_ACCESS_DENIED);
    const size_t handle_opens = port.OpensWith(kWriteHandleAccess);
    auto refused = file.Read(10);
    EXPECT_EQ(refused.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(port.OpensWith(kWriteHandleAccess), handle_opens + 1);
    EXPECT_EQ(port.RingCount(), 2u);

    port.printer->FailOpens(STATUS_SUCCESS);
    auto served = file.Read(2);
    EXPECT_EQ(served.data, (std::vector<uint8_t>{9, 9}));
    EXPECT_NE(port.WriteHandle(), nullptr);
}

struct PieceCase {
    size_t length;
    std::vector<size_t> pieces;
};

class WritePiecesTest : public PortTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(WritePiecesTest, SentInPiecesOfAtMost64Bytes)
{
    const PieceCase &c = GetParam();
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.printer->ClearRecords();
    const auto data = Pattern(c.length, 0x20);

    auto result = file.Write(data);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, c.length);
    auto writes = port.printer->Writes();
    ASSERT_EQ(writes.size(), c.pieces.size());
    for (size_t i = 0; i < writes.size(); i++) EXPECT_EQ(writes[i].bytes.size(), c.pieces[i]) << "piece " << i;
    EXPECT_EQ(port.printer->WrittenBytes(), data);
    EXPECT_EQ(port.Ext()->TransmittedCount, static_cast<LONG>(c.length));
    // Each write opens the device afresh with the write profile, in the application's process,
    // and keeps that handle.
    auto opens = port.printer->Opens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].desired_access, kWriteAccess);
    EXPECT_EQ(opens[0].file_attributes, ULONG(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(opens[0].share_access, ULONG(FILE_SHARE_WRITE));
    EXPECT_EQ(opens[0].create_disposition, ULONG(FILE_OPEN_IF));
    EXPECT_EQ(opens[0].create_options, ULONG(FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_EQ(opens[0].process, ksim::Process::Application);
    EXPECT_NE(port.WriteHandle(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WritePiecesTest,
                         ::testing::Values(PieceCase{0, {}}, PieceCase{1, {1}}, PieceCase{64, {64}},
                                           PieceCase{65, {64, 1}}, PieceCase{150, {64, 64, 22}}));

TEST_F(PortReadWriteTest, FailedSecondPieceFailsTheWholeWrite)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.printer->ClearRecords();
    port.printer->FailWrite(2, STATUS_IO_DEVICE_ERROR);
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);

    auto result = file.Write(Pattern(150));
    EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port.printer->Writes().size(), 2u);
    EXPECT_EQ(port.printer->WrittenBytes(), Pattern(64));
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(port.Ext()->TransmittedCount, 0);
    // The open's handle and the write's own are both gone.
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles - 1);
}

struct RefusedWriteCase {
    const char *name;
    std::function<void(Port &, ksim::AppFile &)> arrange;
    NTSTATUS status;
    bool lines_down;  // CTS and DSR dropped by the presence test
};

class RefusedWriteTest : public PortTest, public ::testing::WithParamInterface<int> {};

const RefusedWriteCase kRefusedWrites[] = {
    {"port not open", [](Port &, ksim::AppFile &f) { f.CleanupOnly(); }, STATUS_UNSUCCESSFUL, true},
    {"device gone from an open port", [](Port &p, ksim::AppFile &) { p.printer->Unplug(); }, STATUS_UNSUCCESSFUL, true},
    {"device open fails", [](Port &p, ksim::AppFile &) { p.printer->FailOpens(STATUS_ACCESS_DENIED); },
     STATUS_ACCESS_DENIED, false},
};

// A write that cannot reach the device: its status (the open's own when only the open fails), no
// byte sent, and the previous handle closed with none left in its place.
TEST_P(RefusedWriteTest, SendsNothingAndLeavesNoHandle)
{
    const RefusedWriteCase &c = kRefusedWrites[GetParam()];
    SCOPED_TRACE(c.name);
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    c.arrange(port, file);
    port.printer->ClearRecords();

    auto result = file.Write(Pattern(10));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(port.printer->Writes().empty());
    EXPECT_EQ(port.OpensWith(kWriteAccess), c.status == STATUS_UNSUCCESSFUL ? 0u : 1u);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(port.ModemLines() & (SERIAL_CTS_STATE | SERIAL_DSR_STATE),
              c.lines_down ? 0u : ULONG(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedWriteTest, ::testing::Range(0, int(std::size(kRefusedWrites))));

TEST_F(PortReadWriteTest, CancellingTheWaitingReadPrintsBothMessages)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(0, 0, 500);
    auto read = file.ReadAsync(10);
    ASSERT_EQ(port.PendingRead(), read.Irp());
    ksim::ClearDebugLog();

    EXPECT_TRUE(read.Cancel());
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"R_CancelRoutine Begin\n", "R_CancelRoutine End\n"}));
    EXPECT_EQ(port.PendingRead(), nullptr);
}

// A cancel that reaches the read before its cancel routine is installed completes it at once.
TEST_F(PortReadWriteTest, ReadCancelledBeforeItWaitsCompletesAsCancelled)
{
    Port &port = AddPort();
    OpenPort(port);
    {
        auto read = DirectIrp::Read(port.Fdo(), 10, /*cancel_first=*/true);
        EXPECT_EQ(read->Dispatch(), STATUS_PENDING);
        EXPECT_EQ(read->Completions(), 1);
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        EXPECT_EQ(read->Information(), 0u);
        EXPECT_EQ(port.PendingRead(), nullptr);
    }
    ksim::AdvanceMs(3);
}

// A second read displaces the waiting one: the newer gets the data, the older completes only
// when it is cancelled.
TEST_F(PortReadWriteTest, SecondWaitingReadTakesThePlaceOfTheFirst)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(MAXULONG, MAXULONG, 500);  // reads end at the first reply
    auto first = file.ReadAsync(10);
    auto second = file.ReadAsync(10);
    EXPECT_EQ(port.PendingRead(), second.Irp());

    port.printer->QueueReply({1, 2});
    ASSERT_GE(AdvanceUntil([&] { return second.Done(); }, 5), 0);
    EXPECT_EQ(second.Wait().data, (std::vector<uint8_t>{1, 2}));
    ksim::AdvanceMs(20);
    EXPECT_FALSE(first.Done());

    EXPECT_TRUE(first.Cancel());
    EXPECT_EQ(first.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(port.Ext()->DisplacedReads.First, nullptr);
}

// At cleanup nothing stays pending: the displaced read is completed as well.
TEST_F(PortReadWriteTest, CleanupCompletesDisplacedReads)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(0, 0, 500);
    auto first = file.ReadAsync(10);
    auto second = file.ReadAsync(10);
    auto third = file.ReadAsync(10);

    file.CleanupOnly();
    for (auto *read : {&first, &second, &third}) {
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(read->Wait().information, 0u);
    }
    EXPECT_EQ(first.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(second.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(third.Wait().status, STATUS_SUCCESS);  // the waiting one, by the read-polling thread
}

// A long print job holds up nobody else: a status read issued while it prints is answered within
// a poll of the printer's reply, and a second open is refused at once, both long before the job
// ends (Wine dispatches one request at a time per driver, so only this kernel can show it).
TEST_F(PortReadWriteTest, LongWriteHoldsUpNeitherAReadNorASecondOpen)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.printer->SetWriteDelay(5 * ksim::kTicksPerMs);  // 20 pieces: 100 ms
    port.SetTimeouts(MAXULONG, MAXULONG, 500);           // the read waits for the first reply
    AppThread writer([&] { EXPECT_EQ(file.Write(Pattern(64 * 20)).status, STATUS_SUCCESS); });
    ksim::AdvanceMs(2);

    auto read = file.ReadAsync(8);
    EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
    std::unique_ptr<ksim::AppFile> second;
    EXPECT_EQ(port.Open(&second), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_FALSE(writer.Done());

    port.printer->QueueReply({0x12});
    EXPECT_LE(AdvanceUntil([&] { return read.Done(); }, 200), 1);
    EXPECT_EQ(read.Wait().data, std::vector<uint8_t>{0x12});
    EXPECT_FALSE(writer.Done());
    writer.Join();
}

// Writes from several threads at once: each request's pieces reach the device back to back.
TEST_F(PortReadWriteTest, ConcurrentWritesDoNotInterleave)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.printer->ClearRecords();
    constexpr int kWriters = 4;
    std::vector<std::unique_ptr<AppThread>> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.push_back(std::make_unique<AppThread>([&file, w] {
            for (int i = 0; i < 5; i++) EXPECT_EQ(file.Write(std::vector<uint8_t>(150, uint8_t(w * 16 + i))).status, STATUS_SUCCESS);
        }));
    }
    for (auto &w : writers) w->Join();

    auto writes = port.printer->Writes();
    ASSERT_EQ(writes.size(), size_t(kWriters * 5 * 3));
    for (size_t i = 0; i < writes.size(); i += 3) {
        ASSERT_EQ(writes[i].bytes.size(), 64u);
        EXPECT_EQ(writes[i + 1].bytes, std::vector<uint8_t>(64, writes[i].bytes[0])) << "request at piece " << i;
        EXPECT_EQ(writes[i + 2].bytes, std::vector<uint8_t>(22, writes[i].bytes[0])) << "request at piece " << i;
    }
    EXPECT_EQ(port.Ext()->TransmittedCount, kWriters * 5 * 150);
}

}  // namespace
}  // namespace port_test
