// serial_port_test.cpp - the serial control requests on an open port, from an application, with
// the worker threads running: wait requests between the polling threads, set-wait-mask and
// cancellation; the purge of a real waiting read; the removal-notify request across a close and a
// surprise removal; and every code through the application path.
#include "port_fixture.h"
#include "serial/serial.h"

#include <cstring>

using namespace port_test;

namespace {

class SerialPortTest : public PortTest {
protected:
    static ksim::PendingIo Wait(ksim::AppFile &file)
    {
        return file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }
    static ksim::IoResult SetMask(ksim::AppFile &file, ULONG mask)
    {
        return file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0);
    }
    static ULONG MaskOf(const ksim::IoResult &r)
    {
        ULONG mask = 0xFFFFFFFF;
        if (r.data.size() >= sizeof(mask)) std::memcpy(&mask, r.data.data(), sizeof(mask));
        return mask;
    }
};

// With the device present, the polling threads report a received character: the wait completes
// once, with the event, whatever cancel comes after.
TEST_F(SerialPortTest, WaitCompletedByThePollingThreadIsNotCancelledAgain)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    SetMask(file, SERIAL_EV_RXCHAR);
    auto wait = Wait(file);
    EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
    Reply(port, Pattern(3));
    ASSERT_GE(AdvanceUntil([&] { return wait.Done(); }, 5), 0);
    EXPECT_FALSE(wait.Cancel()) << "a completed request has no cancel routine";
    auto result = wait.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(MaskOf(result), ULONG(SERIAL_EV_RXCHAR));
    EXPECT_TRUE(port.QueuedWaits().empty());
}

// Waits that no event satisfies keep moving through the queue under the polling threads; a cancel
// at any moment completes exactly the cancelled one, and set-wait-mask releases the oldest left.
TEST_F(SerialPortTest, CancelsAmongThePollingThreadsCompleteEachWaitOnce)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    SetMask(file, SERIAL_EV_DSR);  // ModemControl stays 0: no event is due
    std::vector<ksim::PendingIo> waits;
    for (int i = 0; i < 5; i++) waits.push_back(Wait(file));
    for (int step = 0; step < 4; step++) {
        ksim::AdvanceMs(3 + step);  // the threads rotate the queue meanwhile
        EXPECT_TRUE(waits[step].Cancel());
        auto result = waits[step].Wait();
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(port.QueuedWaits().size(), size_t(4 - step));
    }
    auto set = SetMask(file, 0);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    ASSERT_TRUE(waits[4].Done());
    auto last = waits[4].Wait();
    EXPECT_EQ(last.status, STATUS_SUCCESS);
    EXPECT_EQ(last.information, 4u);
    EXPECT_EQ(MaskOf(last), 0u);
    ksim::AdvanceMs(20);
    EXPECT_TRUE(port.QueuedWaits().empty());
}

// The emulated CTS line set through the modem-control request reaches a waiting request within
// one emulation poll (10 ms).
TEST_F(SerialPortTest, ModemControlRaisesTheCtsEventForAWait)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    SetMask(file, SERIAL_EV_CTS);
    auto wait = Wait(file);
    ksim::AdvanceMs(30);
    EXPECT_FALSE(wait.Done());
    const ULONG mcr = VP_MCR_CTS_LINE;
    auto set = file.Ioctl(IOCTL_SERIAL_SET_MODEM_CONTROL, &mcr, sizeof(mcr), sizeof(mcr));
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(port.ModemLines(), ULONG(SERIAL_CTS_STATE));
    int used = AdvanceUntil([&] { return wait.Done(); }, 10);
    ASSERT_GE(used, 0);
    auto result = wait.Wait();
    EXPECT_EQ(MaskOf(result), ULONG(SERIAL_EV_CTS));
}

TEST_F(SerialPortTest, ClearDtrAfterOpenThenModemStatus)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    EXPECT_EQ(port.ModemLines(), 0x30u) << "an open with the device present raises both lines";
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port.ModemLines(), 0x10u);
    auto status = file.Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    EXPECT_EQ(MaskOf(status), 0x30u);
    EXPECT_EQ(port.ModemLines(), 0x30u);
}

// A purge with RXABORT ends the read that waits for data; RXCLEAR empties what the ring holds.
TEST_F(SerialPortTest, PurgeAbortsTheWaitingReadAndEmptiesTheRing)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    port.SetTimeouts(0, 0, 500);  // the read waits up to 500 ms
    auto read = file.ReadAsync(100);
    ASSERT_EQ(read.DispatchStatus(), STATUS_PENDING);
    ASSERT_NE(port.PendingRead(), nullptr);

    const ULONG abort = SERIAL_PURGE_RXABORT;
    auto purge = file.Ioctl(IOCTL_SERIAL_PURGE, &abort, sizeof(abort), sizeof(ULONG));
    EXPECT_EQ(purge.status, STATUS_SUCCESS);
    EXPECT_EQ(purge.information, 4u);
    ASSERT_TRUE(read.Done());
    auto aborted = read.Wait();
    EXPECT_EQ(aborted.status, STATUS_CANCELLED);
    EXPECT_EQ(aborted.information, 0u);
    EXPECT_EQ(port.PendingRead(), nullptr);

    Reply(port, Pattern(5));
    const ULONG clear = SERIAL_PURGE_RXCLEAR;
    file.Ioctl(IOCTL_SERIAL_PURGE, &clear, sizeof(clear), 0);
    auto comm = file.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    ASSERT_EQ(comm.status, STATUS_SUCCESS);
    SERIAL_STATUS status;
    std::memcpy(&status, comm.data.data(), sizeof(status));
    EXPECT_EQ(status.AmountInInQueue, 0u);

    // The ring keeps working: the next reply is read whole and in order.
    Reply(port, Pattern(4, 0x30));
    auto next = file.Read(4);
    EXPECT_EQ(next.data, Pattern(4, 0x30));
}

// The removal-notify request outlives the application's cleanup and completes at surprise removal.
TEST_F(SerialPortTest, NotifyCompletesOnSurpriseRemovalNotOnClose)
{
    Port &port = AddPort();
    auto file = port.OpenOk();
    ksim::AdvanceMs(1);
    auto notify = file->IoctlAsync(IOCTL_VPARALLEL_NOTIFY_REMOVAL, nullptr, 0, 0);
    EXPECT_EQ(notify.DispatchStatus(), STATUS_PENDING);
    file->CleanupOnly();
    ksim::AdvanceMs(20);
    EXPECT_FALSE(notify.Done()) << "closing the port must not complete it";

    port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    ASSERT_TRUE(notify.Done());
    auto result = notify.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(port.Notify(), nullptr);
    file->CloseOnly();
    file.reset();
}

// Every code through the application path on an open port: the I/O manager's own checks see
// each completion (Information within the output buffer, one completion per request).
TEST_F(SerialPortTest, EveryCodeThroughTheApplication)
{
    Port &port = AddPort();
    auto &file = OpenPort(port);
    std::vector<uint8_t> input(64, 0);
    for (ULONG function = 0; function <= 42; function++) {
        const ULONG code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
        SCOPED_TRACE(::testing::Message() << std::hex << code);
        for (ULONG out : {0u, 3u, 64u}) {
            auto io = file.IoctlAsync(code, input.data(), 64, out);
            if (!io.Done()) {
                EXPECT_EQ(code, ULONG(IOCTL_SERIAL_WAIT_ON_MASK));
                io.Cancel();
            }
            auto result = io.Wait();
            EXPECT_LE(result.information, out);
            EXPECT_NE(result.status, STATUS_PENDING);
        }
    }
    EXPECT_TRUE(port.QueuedWaits().empty());
}

}  // namespace
