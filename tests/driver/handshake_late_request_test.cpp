// handshake_late_request_test.cpp - pending requests that reach the port when nobody is left to
// complete them: after a surprise removal has ended the polling workers, and after the
// application's cleanup has already torn the port down. These are the interleavings in which
// the handshake model (model/handshake.pml) finds a request stranded.
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

// Surprise removal ends both polling workers (their exit work completes what they hold). A read
// or wait request that arrives afterwards is parked with no worker to answer it; the cleanup
// must still complete it, as cancelled, exactly once.
TEST_F(HandshakeLateRequestTest, RequestParkedAfterSurpriseRemovalIsCompletedByCleanup)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Port &port = AddPort(row.port_name, ConfigFor(kClass3, row.printer));
        ksim::AppFile &file = OpenPort(port);
        port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        ksim::AdvanceMs(12);
        ASSERT_EQ(ksim::LiveSystemThreads(), 0u) << "the workers should have ended by themselves";

        ksim::PendingIo io = Park(file, row.kind);
        EXPECT_EQ(io.DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(CompletesWithin(io, 30)) << "nobody is polling: the request must still wait";

        file.CleanupOnly();
        ASSERT_TRUE(io.Done());
        ksim::IoResult result = io.Wait();
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(port.Ext()->PendingReadIrp, nullptr);
        EXPECT_TRUE(port.QueuedWaits().empty());
    }
}

// A request whose dispatch comes after the cleanup (a thread of the application still had it on
// its way when the handle was closed) is parked on a port whose workers are gone and whose
// cleanup has already swept its places. Nothing but a cancel ever completes it.
//
// Disabled: the driver parks such a request today. See the report of the handshake model; the
// owner of port/ and serial/ decides how a torn-down port answers late requests.
TEST_F(HandshakeLateRequestTest, DISABLED_RequestArrivingAfterCleanupIsNotLeftWaiting)
{
    for (const Row &row : kRows) {
        SCOPED_TRACE(row.name);
        Port &port = AddPort(row.port_name, ConfigFor(kClass3, row.printer));
        ksim::AppFile &file = OpenPort(port);
        file.CleanupOnly();

        ksim::PendingIo io = Park(file, row.kind);
        const bool completed = CompletesWithin(io, 50);
        EXPECT_TRUE(completed) << "a request after cleanup waits for workers that no longer exist";
        if (completed) {
            EXPECT_EQ(io.Wait().status, STATUS_CANCELLED);
        }
        CancelIfPending(io);
        EXPECT_EQ(port.Ext()->PendingReadIrp, nullptr);
        EXPECT_TRUE(port.QueuedWaits().empty());
    }
}

}  // namespace
}  // namespace port_test
