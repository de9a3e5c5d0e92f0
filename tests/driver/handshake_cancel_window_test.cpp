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

struct WindowCase {
    const char *name;
    Kind kind;
    ULONG total_constant;  // ReadTotalTimeoutConstant: 0 lets the first poll answer a waiting read
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
    port.SetTimeouts(0, 0, c.total_constant);

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
    ::testing::Values(WindowCase{"SetWaitMask", Kind::Wait, 0, SetWaitMask},
                      WindowCase{"EmulationCycle", Kind::Wait, 0, EmulationPollFindsCts},
                      WindowCase{"AnswerReceivedCharWait", Kind::Wait, 0, ReadPollFindsACharacter, 1},
                      WindowCase{"EmulationExitWork", Kind::Wait, 0, EmulationExitWork},
                      WindowCase{"CleanupOfAWait", Kind::Wait, 0, Cleanup},
                      WindowCase{"AnswerPendingRead", Kind::Read, 0, ReadPollAnswersTheRead},
                      WindowCase{"AnswerPendingReadWithData", Kind::Read, 500, ReadPollFindsACharacter, 1},
                      WindowCase{"ReadPollingExitWork", Kind::Read, 500, ReadPollingExitWork},
                      WindowCase{"Purge", Kind::Read, 500, PurgeRead},
                      WindowCase{"CleanupOfARead", Kind::Read, 500, Cleanup}),
    [](const ::testing::TestParamInfo<WindowCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace port_test
