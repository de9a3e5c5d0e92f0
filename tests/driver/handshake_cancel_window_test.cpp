// handshake_cancel_window_test.cpp - every party that completes a pending request, caught in the
// window the handshake model (model/handshake.pml) is about: the I/O manager has already taken the
// request's cancel routine and is about to call it, and another party takes the request out of its
// place at that moment. That party must leave the completion to the cancel routine; the request is
// then completed once, as cancelled. The verifier (checked at teardown) counts a second completion.
#include "port_fixture.h"

#include "serial/serial.h"

namespace port_test {
namespace {

enum class Kind { Read, Wait };

struct ReadTimeouts {
    ULONG interval, multiplier, constant;
};
constexpr ReadTimeouts kEndsAfterOneMs = {0, 0, 1};               // the first poll after 1 ms answers it
constexpr ReadTimeouts kEndsAtTheFirstReply = {MAXULONG, MAXULONG, 500};
constexpr ReadTimeouts kWaitsForItsCount = {0, 0, 0};             // no poll answers it on its own

struct WindowCase {
    const char *name;
    Kind kind;
    ReadTimeouts timeouts;  // the read's: whether a poll answers it, and when
    std::function<void(Port &, ksim::AppFile &)> act;
    ULONG ring_after = 0;  // bytes the ring still holds after the completer's turn: none taken
};

class HandshakeCancelWindowTest : public PortTest, public ::testing::WithParamInterface<WindowCase> {
protected:
    static ksim::PendingIo Park(ksim::AppFile &file, Kind kind)
    {
        if (kind == Kind::Read) return file.ReadAsync(16);
        return file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }

    // What IoCancelIrp does before it calls the routine: sets Cancel and takes the routine.
    static PDRIVER_CANCEL TakeCancelRoutine(PIRP irp)
    {
        irp->Cancel = TRUE;
        return IoSetCancelRoutine(irp, NULL);
    }

    // ... and the call itself, entered holding the cancel spin lock.
    static void CallCancelRoutine(PDRIVER_CANCEL routine, PDEVICE_OBJECT fdo, PIRP irp)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->CancelIrql = irql;
        routine(fdo, irp);
        ksim::Settle();
    }

    static bool Held(Port &port, PIRP irp)
    {
        auto waits = port.QueuedWaits();
        return port.PendingRead() == irp || std::find(waits.begin(), waits.end(), irp) != waits.end();
    }
};

TEST_P(HandshakeCancelWindowTest, CompleterLeavesTheRequestToItsCancelRoutine)
{
    const WindowCase &c = GetParam();
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.SetTimeouts(c.timeouts.interval, c.timeouts.multiplier, c.timeouts.constant);

    // No virtual time passes between parking the request and taking its cancel routine, so no
    // worker has polled it yet.
    ksim::PendingIo io = Park(file, c.kind);
    ASSERT_EQ(io.DispatchStatus(), STATUS_PENDING);
    PIRP irp = io.Irp();
    ASSERT_TRUE(Held(port, irp));
    PDRIVER_CANCEL routine = TakeCancelRoutine(irp);
    ASSERT_EQ(routine, c.kind == Kind::Read ? &R_CancelRoutine : &W_CancelRoutine);

    c.act(port, file);
    ksim::Settle();
    EXPECT_FALSE(io.Done()) << "the completer must leave a request whose cancel routine is running";
    EXPECT_FALSE(Held(port, irp)) << "the completer took it out of its place";
    EXPECT_EQ(port.RingCount(), c.ring_after) << "a read its cancel routine owns took bytes from the ring";

    CallCancelRoutine(routine, port.Fdo(), irp);
    ASSERT_TRUE(io.Done());
    ksim::IoResult result = io.Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_FALSE(Held(port, irp));
}

void SetWaitMask(Port &, ksim::AppFile &file)
{
    const ULONG mask = SERIAL_EV_CTS;
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0).status, STATUS_SUCCESS);
}

void PurgeRead(Port &, ksim::AppFile &file)
{
    const ULONG mask = SERIAL_PURGE_RXABORT;
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof(mask), 0).status, STATUS_SUCCESS);
}

void EmulationPollFindsCts(Port &port, ksim::AppFile &)
{
    port.SetWaitMask(SERIAL_EV_CTS);
    port.SetModemControl(0x10);
    ksim::AdvanceMs(25);
}

void ReadPollFindsACharacter(Port &port, ksim::AppFile &)
{
    port.SetWaitMask(SERIAL_EV_RXCHAR);
    port.printer->QueueReply({0x55});
    for (int ms = 0; ms < 20 && port.RingCount() == 0; ms++) ksim::AdvanceMs(1);
    EXPECT_EQ(port.RingCount(), 1u) << "the reply never reached the ring";
    ksim::AdvanceMs(3);
}

void ReadPollAnswersTheRead(Port &, ksim::AppFile &) { ksim::AdvanceMs(3); }

void SetExitEvent(Port &port, VP_EVENT_INDEX exit_event)
{
    KeSetEvent(&port.Ext()->Events[exit_event], 0, FALSE);
    ksim::AdvanceMs(25);
}

void EmulationExitWork(Port &port, ksim::AppFile &) { SetExitEvent(port, EmulationPollingExitEvent); }
void ReadPollingExitWork(Port &port, ksim::AppFile &) { SetExitEvent(port, ReadPollingExitEvent); }
void Cleanup(Port &, ksim::AppFile &file) { file.CleanupOnly(); }

INSTANTIATE_TEST_SUITE_P(
    Completers, HandshakeCancelWindowTest,
    ::testing::Values(WindowCase{"SetWaitMask", Kind::Wait, kWaitsForItsCount, SetWaitMask},
                      WindowCase{"EmulationCycle", Kind::Wait, kWaitsForItsCount, EmulationPollFindsCts},
                      WindowCase{"AnswerReceivedCharWait", Kind::Wait, kWaitsForItsCount, ReadPollFindsACharacter, 1},
                      WindowCase{"EmulationExitWork", Kind::Wait, kWaitsForItsCount, EmulationExitWork},
                      WindowCase{"CleanupOfAWait", Kind::Wait, kWaitsForItsCount, Cleanup},
                      WindowCase{"AnswerPendingRead", Kind::Read, kEndsAfterOneMs, ReadPollAnswersTheRead},
                      WindowCase{"AnswerPendingReadWithData", Kind::Read, kEndsAtTheFirstReply, ReadPollFindsACharacter, 1},
                      WindowCase{"ReadPollingExitWork", Kind::Read, kWaitsForItsCount, ReadPollingExitWork},
                      WindowCase{"Purge", Kind::Read, kWaitsForItsCount, PurgeRead},
                      WindowCase{"CleanupOfARead", Kind::Read, kWaitsForItsCount, Cleanup}),
    [](const ::testing::TestParamInfo<WindowCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace port_test
