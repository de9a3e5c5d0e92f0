// handshake_late_request_test.cpp - pending requests that reach the port when nobody is left to
// complete them: after a surprise removal has ended the polling workers, and after the
// application's cleanup has already torn the port down. These are the interleavings that the
// handshake model (model/handshake.pml) checks with LATE and SURPRISE.
#include "port_fixture.h"

#include "serial/serial.h"

namespace port_test {
namespace {

class HandshakeLateRequestTest : public PortTest {
protected:
    // The kinds of request that the port parks until someone completes them.
    enum class Kind { Read, WaitOnMask };
    struct Row {
        Kind kind;
        const char *name;
        const char16_t *port_name;  // each row has a port and a printer of its own
        int printer;
    };
    static constexpr Row kRows[] = {{Kind::Read, "read", u"LPT3", 1}, {Kind::WaitOnMask, "wait-on-mask", u"LPT4", 2}};

    // Sends a request of the kind that will wait: a read on an empty ring under all-zero
    // time-outs, or a wait-on-mask request.
    static ksim::PendingIo Park(ksim::AppFile &file, Kind kind)
    {
        if (kind == Kind::Read) return file.ReadAsync(16);
        return file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }

    // Lets virtual time run well past every worker period, then reports whether io completed.
    static bool CompletesWithin(ksim::PendingIo &io, int ms)
    {
        return AdvanceUntil([&] { return io.Done(); }, ms) >= 0;
    }

    // A request left pending at the end of a failing test is cancelled, so the port can close.
    static void CancelIfPending(ksim::PendingIo &io)
    {
        if (!io.Done()) io.Cancel();
        ksim::Settle();
    }
};

// Surprise removal ends both polling workers (their exit work completes what they hold). A wait
// request that arrives afterwards is parked with no worker to answer it; the cleanup must still
// complete it, as cancelled, exactly once. A read is not parked at all: with no worker left to end
// its wait it gets what the ring holds at once (nothing here: 0 bytes, success), whatever its
// time-outs.
TEST_F(HandshakeLateRequestTest, RequestAfterSurpriseRemovalIsAnsweredOrCompletedByCleanup)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Port &port = AddPort(row.port_name, ConfigFor(kClass3, row.printer));
        ksim::AppFile &file = OpenPort(port);
        port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        ksim::AdvanceMs(12);
        ASSERT_EQ(ksim::LiveSystemThreads(), 0u) << "the workers should have ended by themselves";

        ksim::PendingIo io = Park(file, row.kind);
        if (row.kind == Kind::Read) {
            ASSERT_TRUE(io.Done()) << "a read waits for workers that no longer exist";
            ksim::IoResult result = io.Wait();
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(port.PendingRead(), nullptr);
            continue;
        }
        EXPECT_EQ(io.DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(CompletesWithin(io, 30)) << "nobody is polling: the request must still wait";

        file.CleanupOnly();
        ASSERT_TRUE(io.Done());
        ksim::IoResult result = io.Wait();
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(port.QueuedWaits().empty());
    }
}

// A request whose dispatch comes after the cleanup (a thread of the application still had it on
// its way when the handle was closed) finds a port whose workers are gone and whose cleanup has
// already swept its places: it is answered at once instead of parked. The read gets what the
// ring holds (nothing here: 0 bytes, success); the wait request is cancelled, as cleanup cancels
// the ones it found queued.
TEST_F(HandshakeLateRequestTest, RequestArrivingAfterCleanupIsNotLeftWaiting)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Port &port = AddPort(row.port_name, ConfigFor(kClass3, row.printer));
        ksim::AppFile &file = OpenPort(port);
        file.CleanupOnly();
        const size_t app_handles = ksim::HandleCount(ksim::Process::Application);

        ksim::PendingIo io = Park(file, row.kind);
        ASSERT_TRUE(io.Done()) << "a request after cleanup waits for workers that no longer exist";
        ksim::IoResult result = io.Wait();
        EXPECT_EQ(result.status, row.kind == Kind::Read ? STATUS_SUCCESS : STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
        CancelIfPending(io);
        EXPECT_EQ(port.PendingRead(), nullptr);
        EXPECT_TRUE(port.QueuedWaits().empty());
        // The cleanup closed the device handle; the late read must not open another that no
        // later close would close.
        EXPECT_EQ(port.WriteHandle(), nullptr);
        EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles);
    }
}

// A late read still takes what the ring held when the port was closed, without reopening the
// device handle.
TEST_F(HandshakeLateRequestTest, ReadAfterCleanupTakesTheRingWithoutReopeningTheDevice)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass3, 1));
    ksim::AppFile &file = OpenPort(port);
    Reply(port, {1, 2, 3});
    file.CleanupOnly();
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);
    const size_t handle_opens = port.OpensWith(kWriteHandleAccess);

    ksim::PendingIo io = file.ReadAsync(16);
    ASSERT_TRUE(io.Done());
    ksim::IoResult result = io.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(port.OpensWith(kWriteHandleAccess), handle_opens);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles);
}

// A close that comes without a cleanup tears the port down the same way.
TEST_F(HandshakeLateRequestTest, ReadAfterCloseWithoutCleanupIsNotLeftWaiting)
{
    Port &port = AddPort(u"LPT3", ConfigFor(kClass3, 1));
    OpenPort(port);
    files_.back()->CloseOnly();
    ksim::Settle();
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);

    auto read = DirectIrp::Read(port.Fdo(), 16);
    EXPECT_EQ(read->Completions(), 1);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Information(), 0u);
    EXPECT_EQ(port.PendingRead(), nullptr);
    EXPECT_EQ(port.WriteHandle(), nullptr);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles);
}

// The next open has workers again: its requests wait for them as on any open port.
TEST_F(HandshakeLateRequestTest, ReopenedPortParksRequestsAgain)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Port &port = AddPort(row.port_name, ConfigFor(kClass3, row.printer));
        OpenPort(port).CleanupOnly();
        files_.clear();
        ksim::Settle();
        ksim::AppFile &file = OpenPort(port);
        port.SetTimeouts(MAXULONG, MAXULONG, 500);  // a read waits for the first reply
        if (row.kind == Kind::WaitOnMask) {
            const ULONG mask = SERIAL_EV_RXCHAR;
            ASSERT_EQ(file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status, STATUS_SUCCESS);
        }

        ksim::PendingIo io = Park(file, row.kind);
        EXPECT_EQ(io.DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(CompletesWithin(io, 3)) << "an empty ring on an open port: the request waits";
        port.printer->QueueReply({5, 6});
        ASSERT_TRUE(CompletesWithin(io, 20)) << "the new workers answer it once data arrives";
        ksim::IoResult result = io.Wait();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        if (row.kind == Kind::Read) {
            EXPECT_EQ(result.data, (std::vector<uint8_t>{5, 6}));
        } else {
            ASSERT_EQ(result.data.size(), sizeof(ULONG));
            EXPECT_EQ(result.data[0], SERIAL_EV_RXCHAR);
        }
        CancelIfPending(io);
    }
}

}  // namespace
}  // namespace port_test
