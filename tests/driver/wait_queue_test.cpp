// The wait-request queue: order, the nine-request limit, rotation by pop and push-back, counts
// over wrapped indices, and removal of one request the way the wait cancel routine does it.
#include "common/kernel_test.h"

#include "buffers/wait_queue.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <vector>

namespace {

class WaitQueueTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        extension_ = std::make_unique<DEVICE_EXTENSION>();  // zeroed, as AddDevice leaves it
        irps_.resize(12);
    }
    PIRP Irp(size_t i) { return &irps_[i]; }
    // Pops everything, oldest first.
    std::vector<PIRP> Drain()
    {
        std::vector<PIRP> out;
        while (PIRP irp = WaitQueuePop(extension_.get())) out.push_back(irp);
        return out;
    }
    PDEVICE_EXTENSION Ext() { return extension_.get(); }
    std::unique_ptr<DEVICE_EXTENSION> extension_;
    std::vector<IRP> irps_;
};

TEST_F(WaitQueueTest, NewQueueIsEmpty)
{
    EXPECT_EQ(WaitQueueCount(Ext()), 0);
    EXPECT_EQ(WaitQueuePop(Ext()), nullptr);
    EXPECT_EQ(Ext()->WaitQueueIn, 0u);
    EXPECT_EQ(Ext()->WaitQueueOut, 0u);
}

TEST_F(WaitQueueTest, FirstInFirstOut)
{
    for (size_t i = 0; i < 3; i++) EXPECT_TRUE(WaitQueuePush(Ext(), Irp(i)));
    EXPECT_EQ(WaitQueueCount(Ext()), 3);
    EXPECT_EQ(Drain(), (std::vector<PIRP>{Irp(0), Irp(1), Irp(2)}));
    EXPECT_EQ(WaitQueueCount(Ext()), 0);
}

TEST_F(WaitQueueTest, HoldsNineAndRefusesATenthFromAnyStartingSlot)
{
    for (ULONG start = 0; start < WAIT_QUEUE_SLOTS; start++) {
        SCOPED_TRACE(start);
        Ext()->WaitQueueIn = Ext()->WaitQueueOut = start;
        for (size_t i = 0; i < 9; i++) EXPECT_TRUE(WaitQueuePush(Ext(), Irp(i)));
        EXPECT_EQ(WaitQueueCount(Ext()), 9);
        ULONG in = Ext()->WaitQueueIn;
        EXPECT_FALSE(WaitQueuePush(Ext(), Irp(9)));
        EXPECT_EQ(Ext()->WaitQueueIn, in);
        EXPECT_EQ(WaitQueueCount(Ext()), 9);
        std::vector<PIRP> expected;
        for (size_t i = 0; i < 9; i++) expected.push_back(Irp(i));
        EXPECT_EQ(Drain(), expected);  // the refused request is not among them
    }
}

TEST_F(WaitQueueTest, PopAndPushBackMovesTheHeadToTheTail)
{
    for (size_t i = 0; i < 3; i++) WaitQueuePush(Ext(), Irp(i));
    PIRP head = WaitQueuePop(Ext());
    EXPECT_EQ(head, Irp(0));
    EXPECT_TRUE(WaitQueuePush(Ext(), head));
    EXPECT_EQ(Drain(), (std::vector<PIRP>{Irp(1), Irp(2), Irp(0)}));
}

TEST_F(WaitQueueTest, CountOverWrappedIndices)
{
    const struct {
        ULONG in, out;
        LONG count;
    } cases[] = {
        {2, 7, 5}, {7, 2, 5}, {0, 0, 0}, {9, 9, 0}, {9, 0, 9}, {0, 1, 9}, {8, 9, 9}, {0, 9, 1}, {1, 0, 1},
    };
    for (const auto &c : cases) {
        Ext()->WaitQueueIn = c.in;
        Ext()->WaitQueueOut = c.out;
        EXPECT_EQ(WaitQueueCount(Ext()), c.count) << c.in << " " << c.out;
    }
}

// What the wait cancel routine does: take the count, pop up to that many, stop at the cancelled
// request and push every other one back.
bool RemoveLikeCancel(PDEVICE_EXTENSION extension, PIRP cancelled)
{
    LONG count = WaitQueueCount(extension);
    for (LONG i = 0; i < count; i++) {
        PIRP irp = WaitQueuePop(extension);
        if (irp == cancelled) return true;
        WaitQueuePush(extension, irp);
    }
    return false;
}

TEST_F(WaitQueueTest, CancelStyleRemovalTakesOnlyTheCancelledRequest)
{
    for (size_t i = 0; i < 3; i++) WaitQueuePush(Ext(), Irp(i));
    EXPECT_TRUE(RemoveLikeCancel(Ext(), Irp(1)));
    EXPECT_EQ(Drain(), (std::vector<PIRP>{Irp(2), Irp(0)}));

    // A full queue, across the wrap: the other eight all stay, in rotated order.
    Ext()->WaitQueueIn = Ext()->WaitQueueOut = 6;
    for (size_t i = 0; i < 9; i++) WaitQueuePush(Ext(), Irp(i));
    EXPECT_TRUE(RemoveLikeCancel(Ext(), Irp(8)));
    EXPECT_EQ(WaitQueueCount(Ext()), 8);
    EXPECT_EQ(Drain(), (std::vector<PIRP>{Irp(0), Irp(1), Irp(2), Irp(3), Irp(4), Irp(5), Irp(6), Irp(7)}));

    // A request that is not queued: nothing is lost, the order comes round unchanged.
    for (size_t i = 0; i < 4; i++) WaitQueuePush(Ext(), Irp(i));
    EXPECT_FALSE(RemoveLikeCancel(Ext(), Irp(11)));
    EXPECT_EQ(Drain(), (std::vector<PIRP>{Irp(0), Irp(1), Irp(2), Irp(3)}));
}

TEST_F(WaitQueueTest, MatchesAModelOverManyRandomSteps)
{
    std::mt19937 rng(42);
    std::deque<PIRP> model;
    for (int step = 0; step < 20000; step++) {
        unsigned roll = rng() % 10;
        if (roll < 5) {
            PIRP irp = Irp(rng() % irps_.size());
            bool fits = model.size() < 9;
            ASSERT_EQ(bool(WaitQueuePush(Ext(), irp)), fits) << "step " << step;
            if (fits) model.push_back(irp);
        } else if (roll < 9) {
            PIRP expected = model.empty() ? nullptr : model.front();
            ASSERT_EQ(WaitQueuePop(Ext()), expected) << "step " << step;
            if (!model.empty()) model.pop_front();
        } else if (!model.empty()) {
            PIRP victim = model[rng() % model.size()];
            ASSERT_TRUE(RemoveLikeCancel(Ext(), victim));
            // Those ahead of the victim move behind those after it.
            auto at = std::find(model.begin(), model.end(), victim);
            std::deque<PIRP> rotated(at + 1, model.end());
            rotated.insert(rotated.end(), model.begin(), at);
            model = rotated;
        }
        ASSERT_EQ(WaitQueueCount(Ext()), LONG(model.size())) << "step " << step;
        ASSERT_LT(Ext()->WaitQueueIn, ULONG(WAIT_QUEUE_SLOTS));
        ASSERT_LT(Ext()->WaitQueueOut, ULONG(WAIT_QUEUE_SLOTS));
    }
}

TEST_F(WaitQueueTest, OperationsWorkUnderTheLockAndRestoreTheIrql)
{
    KeInitializeSpinLock(&Ext()->Lock);
    KIRQL old;
    KeAcquireSpinLock(&Ext()->Lock, &old);
    WaitQueuePush(Ext(), Irp(0));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(WaitQueueCount(Ext()), 1);
    EXPECT_EQ(WaitQueuePop(Ext()), Irp(0));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&Ext()->Lock, old);

    WaitQueuePush(Ext(), Irp(1));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    WaitQueuePop(Ext());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
