// serial_wait_test.cpp - the wait mask, the wait-on-mask requests in the wait-request queue, and
// how each queued request is completed exactly once among set-wait-mask and W_CancelRoutine.
#include "port_fixture.h"

using namespace port_test;

namespace {

class SerialWaitTest : public SerialTest {
protected:
    std::unique_ptr<DirectIrp> Wait() { return Send(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4); }
    std::unique_ptr<DirectIrp> SetMask(ULONG mask) { return Call(IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0); }
    ULONG GetMask()
    {
        auto irp = Call(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4);
        EXPECT_EQ(irp->Information(), 4u);
        return irp->OutputUlong();
    }
    // What IoCancelIrp does up to the call of the cancel routine, then the call: used to put a
    // completer between the two.
    static void RunCancelRoutine(PDEVICE_OBJECT fdo, PIRP irp)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp->CancelIrql = irql;
        W_CancelRoutine(fdo, irp);
    }
};

TEST_F(SerialWaitTest, MaskIsOredAndClearedOnlyByZero)
{
    struct Step {
        ULONG set;
        ULONG expected;
    };
    const Step steps[] = {{0x1, 0x1}, {0x8, 0x9}, {0x8, 0x9}, {0x10, 0x19}, {0x0, 0x0}, {0x1FFF, 0x1FFF}, {0, 0}};
    for (const Step &step : steps) {
        auto irp = SetMask(step.set);
        EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
        EXPECT_EQ(irp->Information(), 0u);
        EXPECT_EQ(GetMask(), step.expected) << "after setting " << step.set;
    }
}

TEST_F(SerialWaitTest, WaitIsQueuedWhateverTheMask)
{
    ASSERT_EQ(port().WaitMask(), 0u);
    auto wait = Wait();
    EXPECT_EQ(wait->Dispatch(), STATUS_PENDING);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(QueuedWaits(), std::vector<PIRP>{wait->Irp()});
    EXPECT_EQ(wait->OutputUlong(), 0u) << "the output carries no events until some are reported";
    EXPECT_EQ(wait->Irp()->CancelRoutine, &W_CancelRoutine);
}

TEST_F(SerialWaitTest, SetMaskReleasesOnlyTheOldestWait)
{
    auto a = Wait();
    auto b = Wait();
    auto c = Wait();
    auto set = SetMask(SERIAL_EV_RXCHAR);
    EXPECT_EQ(set->Status(), STATUS_SUCCESS);
    ASSERT_TRUE(a->Done());
    EXPECT_EQ(a->Completions(), 1);
    EXPECT_EQ(a->Status(), STATUS_SUCCESS);
    EXPECT_EQ(a->Information(), 4u);
    EXPECT_EQ(a->OutputUlong(), 0u);
    EXPECT_FALSE(b->Done());
    EXPECT_FALSE(c->Done());
    EXPECT_EQ(QueuedWaits(), (std::vector<PIRP>{b->Irp(), c->Irp()}));
    EXPECT_EQ(GetMask(), ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(SerialWaitTest, SetMaskWithAnEmptyQueueChangesOnlyTheMask)
{
    const Settings before = Snapshot();
    SetMask(SERIAL_EV_DSR);
    Settings expected = before;
    expected.wait_mask = SERIAL_EV_DSR;
    EXPECT_EQ(Snapshot(), expected);
}

// Cancelling X in A, B, X, C: X completes as cancelled and the queue is C, A, B.
TEST_F(SerialWaitTest, CancelTakesTheRequestOutWithAFullPass)
{
    struct Row {
        const char *name;
        size_t queued;
        size_t cancelled;
        std::vector<size_t> after;
    };
    const Row rows[] = {
        {"A B X C", 4, 2, {3, 0, 1}},
        {"X A B", 3, 0, {1, 2}},
        {"A B X", 3, 2, {0, 1}},
        {"X alone", 1, 0, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::unique_ptr<DirectIrp>> waits;
        for (size_t i = 0; i < row.queued; i++) waits.push_back(Wait());
        EXPECT_TRUE(waits[row.cancelled]->Cancel());
        ASSERT_TRUE(waits[row.cancelled]->Done());
        EXPECT_EQ(waits[row.cancelled]->Completions(), 1);
        EXPECT_EQ(waits[row.cancelled]->Status(), STATUS_CANCELLED);
        EXPECT_EQ(waits[row.cancelled]->Information(), 0u);
        std::vector<PIRP> expected;
        for (size_t i : row.after) expected.push_back(waits[i]->Irp());
        EXPECT_EQ(QueuedWaits(), expected);
        for (auto &w : waits)
            if (!w->Done()) w->Cancel();
        EXPECT_TRUE(QueuedWaits().empty());
    }
}

// Nine waits fill the queue; a tenth is left pending outside it. Set-wait-mask releases only
// queued waits; the tenth's own cancellation completes it and leaves the nine in their order.
TEST_F(SerialWaitTest, TenthWaitStaysPendingUntilCancelled)
{
    std::vector<std::unique_ptr<DirectIrp>> nine;
    for (int i = 0; i < 9; i++) nine.push_back(Wait());
    std::vector<PIRP> expected;
    for (auto &w : nine) expected.push_back(w->Irp());
    for (int round = 0; round < 2; round++) {
        auto tenth = Wait();
        EXPECT_EQ(tenth->Dispatch(), STATUS_PENDING);
        EXPECT_FALSE(tenth->Done());
        EXPECT_EQ(QueuedWaits(), expected);
        if (round == 1) {
            SetMask(0);
            EXPECT_TRUE(nine[0]->Done());
            EXPECT_FALSE(tenth->Done()) << "set-wait-mask only releases queued waits";
            expected.erase(expected.begin());
        }
        EXPECT_TRUE(tenth->Cancel());
        EXPECT_EQ(tenth->Status(), STATUS_CANCELLED);
        EXPECT_EQ(tenth->Completions(), 1);
        EXPECT_EQ(QueuedWaits(), expected);
    }
}

// A cancel that reaches the request before the driver installs W_CancelRoutine: the dispatch
// answers it itself, and the request does not stay in the queue.
TEST_F(SerialWaitTest, CancelBeforeTheRoutineIsInstalled)
{
    auto a = Wait();
    auto early = std::make_unique<DirectIrp>(Fdo(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4, /*cancel_first=*/true);
    EXPECT_EQ(early->Dispatch(), STATUS_PENDING);
    ASSERT_TRUE(early->Done());
    EXPECT_EQ(early->Completions(), 1);
    EXPECT_EQ(early->Status(), STATUS_CANCELLED);
    EXPECT_EQ(early->Information(), 0u);
    EXPECT_EQ(QueuedWaits(), std::vector<PIRP>{a->Irp()});
}

// Set-wait-mask takes the oldest wait out after the I/O manager has claimed it for cancellation
// (its cancel routine exchanged away) but before W_CancelRoutine ran: set-wait-mask must leave it
// to the cancel routine, which completes it once, as cancelled.
TEST_F(SerialWaitTest, CancelRoutineOwnsARequestItWasCalledFor)
{
    auto a = Wait();
    auto b = Wait();
    a->Irp()->Cancel = TRUE;
    ASSERT_EQ(IoSetCancelRoutine(a->Irp(), NULL), &W_CancelRoutine);
    SetMask(SERIAL_EV_CTS);
    EXPECT_FALSE(a->Done()) << "completed by set-wait-mask although its cancel routine runs";
    EXPECT_FALSE(b->Done());
    EXPECT_EQ(QueuedWaits(), std::vector<PIRP>{b->Irp()}) << "put back although it is being cancelled";

    RunCancelRoutine(Fdo(), a->Irp());
    ASSERT_TRUE(a->Done());
    EXPECT_EQ(a->Completions(), 1);
    EXPECT_EQ(a->Status(), STATUS_CANCELLED);
    EXPECT_EQ(a->Information(), 0u);
    EXPECT_EQ(QueuedWaits(), std::vector<PIRP>{b->Irp()});
}

}  // namespace
