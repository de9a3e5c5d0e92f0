// The I/O manager's error log and work items: a written packet as the event log receives it, the
// message table that renders it, the verifier's rules on packets and work items, and a work item's
// routine run once, at PASSIVE_LEVEL in the system process, with its device held.
#include "io_toy_driver.h"

#include <cstring>

namespace iotest {
namespace {

using ksim::u16;

// A message table resource built by hand, laid out as a message compiler writes one.
class TableBuilder {
public:
    // A block of consecutive ids from `low`, one entry per text; `wide`: UTF-16 entries.
    TableBuilder &Block(ULONG low, std::vector<std::string> texts, bool wide = true)
    {
        blocks_.push_back({low, std::move(texts), wide});
        return *this;
    }
    std::vector<uint8_t> Build() const
    {
        std::vector<uint8_t> out;
        Put(out, ULONG(blocks_.size()));
        size_t entries_at = 4 + blocks_.size() * 12;
        std::vector<uint8_t> entries;
        for (const auto &b : blocks_) {
            Put(out, b.low);
            Put(out, ULONG(b.low + b.texts.size() - 1));
            Put(out, ULONG(entries_at + entries.size()));
            for (const auto &text : b.texts) {
                std::vector<uint8_t> body;
                for (char c : text) {
                    body.push_back(uint8_t(c));
                    if (b.wide) body.push_back(0);
                }
                body.resize(body.size() + (b.wide ? 2 : 1), 0);
                while ((body.size() + 4) % 4 != 0) body.push_back(0);
                Put(entries, USHORT(body.size() + 4));
                Put(entries, USHORT(b.wide ? 1 : 0));
                entries.insert(entries.end(), body.begin(), body.end());
            }
        }
        out.insert(out.end(), entries.begin(), entries.end());
        return out;
    }

private:
    struct BlockSpec {
        ULONG low;
        std::vector<std::string> texts;
        bool wide;
    };
    template <typename T>
    static void Put(std::vector<uint8_t> &out, T value)
    {
        const auto *p = reinterpret_cast<const uint8_t *>(&value);
        out.insert(out.end(), p, p + sizeof value);
    }
    std::vector<BlockSpec> blocks_;
};

constexpr NTSTATUS kPortLost = NTSTATUS(0xA0040006);
constexpr NTSTATUS kNoLink = NTSTATUS(0xE0040001);

// A packet with the given insertion strings right after the header (and no dump data).
PIO_ERROR_LOG_PACKET Packet(PVOID io_object, NTSTATUS code, const std::vector<u16> &strings, size_t extra = 0)
{
    size_t size = sizeof(IO_ERROR_LOG_PACKET) + extra;
    for (const auto &s : strings) size += (s.size() + 1) * sizeof(WCHAR);
    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(io_object, UCHAR(size)));
    if (packet == nullptr) return nullptr;
    std::memset(packet, 0, size);
    packet->ErrorCode = code;
    packet->FinalStatus = STATUS_UNSUCCESSFUL;
    packet->UniqueErrorValue = 7;
    packet->MajorFunctionCode = IRP_MJ_WRITE;
    packet->NumberOfStrings = USHORT(strings.size());
    packet->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    auto *at = reinterpret_cast<char16_t *>(reinterpret_cast<uint8_t *>(packet) + sizeof(IO_ERROR_LOG_PACKET));
    for (const auto &s : strings) {
        std::memcpy(at, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
        at += s.size() + 1;
    }
    return packet;
}

class ErrorLogTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        ksim::SetMessageTable(driver_->Object(), TableBuilder()
                                                     .Block(0xA0040006, {"Port %2 lost its printer (%3).\r\n"})
                                                     .Block(0xE0040001, {"%2: no link, 100%% sure, on %1.\n"})
                                                     .Build());
    }
};

TEST_F(ErrorLogTest, AWrittenPacketIsKeptAsTheEventLogShowsIt)
{
    ToyDevice *named = Make(u"\\Device\\Toy0");
    ToyDevice *unnamed = Make();
    ksim::AdvanceMs(5);

    IoWriteErrorLogEntry(Packet(unnamed->device, kPortLost, {u"LPT3", u"0xC0000001"}));
    IoWriteErrorLogEntry(Packet(named->device, kNoLink, {u"LPT4"}));
    IoWriteErrorLogEntry(Packet(driver_->Object(), kNoLink, {u"LPT5"}));

    auto log = ksim::ErrorLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].io_object, unnamed->device);
    EXPECT_EQ(log[0].source, u"toy");
    EXPECT_EQ(log[0].error_code, kPortLost);
    EXPECT_EQ(log[0].final_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log[0].unique_value, 7u);
    EXPECT_EQ(log[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(log[0].strings, (std::vector<u16>{u"LPT3", u"0xC0000001"}));
    EXPECT_EQ(log[0].time, 5 * ksim::kTicksPerMs);
    EXPECT_EQ(log[0].text, u"Port LPT3 lost its printer (0xC0000001).");
    // %1 is the device's name; a device without one, or the driver, leaves it as written.
    EXPECT_EQ(log[1].text, u"LPT4: no link, 100% sure, on \\Device\\Toy0.");
    EXPECT_EQ(log[2].io_object, driver_->Object());
    EXPECT_EQ(log[2].text, u"LPT5: no link, 100% sure, on %1.");
    ksim::ClearErrorLog();
    EXPECT_TRUE(ksim::ErrorLog().empty());
}

// The packet holds its device: deleting the device before the packet is written is safe.
TEST_F(ErrorLogTest, AnOutstandingPacketKeepsItsDevice)
{
    ToyDevice *toy = Make(u"\\Device\\Toy0");
    PIO_ERROR_LOG_PACKET packet = Packet(toy->device, kNoLink, {u"LPT3"});
    IoDeleteDevice(toy->device);
    Forget(toy);
    IoWriteErrorLogEntry(packet);
    ASSERT_EQ(ksim::ErrorLog().size(), 1u);
    EXPECT_EQ(ksim::ErrorLog()[0].text, u"LPT3: no link, 100% sure, on %1.");
}

TEST_F(ErrorLogTest, AnInjectedFaultGivesNoPacket)
{
    ToyDevice *toy = Make();
    ksim::InjectFault(ksim::Fault::ErrorLogAllocation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoAllocateErrorLogEntry(toy->device, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
    PVOID packet = IoAllocateErrorLogEntry(toy->device, sizeof(IO_ERROR_LOG_PACKET));
    ASSERT_NE(packet, nullptr);
    IoFreeErrorLogEntry(packet);
    EXPECT_TRUE(ksim::ErrorLog().empty());
}

TEST(MessageTables, ReadAsTheMessageCompilerWritesThem)
{
    auto table = TableBuilder().Block(0x10, {"one", "two"}, false).Block(0xC0040001, {"wide %2"}).Build();
    EXPECT_EQ(ksim::MessageIds(table), (std::vector<ULONG>{0x10, 0x11, 0xC0040001}));
    EXPECT_EQ(ksim::MessageText(table, 0x11), u"two");
    EXPECT_EQ(ksim::MessageText(table, 0xC0040001), u"wide %2");
    EXPECT_FALSE(ksim::MessageText(table, 0x12).has_value());

    auto cut = table;
    cut.resize(cut.size() - 8);  // the last entry runs past the end
    for (const auto &bad : {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 0, 0, 0}, cut}) {
        EXPECT_THROW(ksim::MessageIds(bad), std::invalid_argument);
    }
}

// ---- Work items -------------------------------------------------------------------------------------

struct WorkRun {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    PEPROCESS process = nullptr;
    LONG_PTR device_refs = 0;
    int runs = 0;
    PIO_WORKITEM free_me = nullptr;
};

VOID NTAPI RecordRun(PDEVICE_OBJECT device, PVOID context)
{
    auto *run = static_cast<WorkRun *>(context);
    run->device = device;
    run->irql = KeGetCurrentIrql();
    run->process = IoGetCurrentProcess();
    run->runs++;
    if (run->free_me != nullptr) IoFreeWorkItem(run->free_me);  // a routine may free its own item
}

TEST_F(ErrorLogTest, AWorkItemRunsItsRoutineOnceAtPassiveInTheSystemProcess)
{
    ToyDevice *toy = Make();
    PEPROCESS application = IoGetCurrentProcess();  // the test's own thread acts as an application
    WorkRun run;
    PIO_WORKITEM item = IoAllocateWorkItem(toy->device);
    ASSERT_NE(item, nullptr);
    run.free_me = item;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is allowed up to DISPATCH_LEVEL
    IoQueueWorkItem(item, RecordRun, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    ksim::Settle();
    EXPECT_EQ(run.runs, 1);
    EXPECT_EQ(run.device, toy->device);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.process, application) << "a work item runs in the system process";
    EXPECT_EQ(ksim::PendingWorkItems(), 0u);
    EXPECT_TRUE(ksim::SystemThreads().empty()) << "the system's worker, not a driver thread";
}

// ---- The verifier's rules -----------------------------------------------------------------------------

VOID NTAPI DoNothing(PDEVICE_OBJECT, PVOID) {}
VOID NTAPI LeaveRaised(PDEVICE_OBJECT, PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

struct WrongSequence {
    const char *name;
    std::vector<std::string> rules;
    std::function<void(ErrorLogTest &, PDEVICE_OBJECT)> run;
};

TEST_F(ErrorLogTest, EachRuleFiresOnItsWrongSequence)
{
    ToyDevice *toy = Make();
    const std::vector<WrongSequence> rows = {
        {"packet larger than ERROR_LOG_MAXIMUM_SIZE", {"errorlog-entry-too-large"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) { EXPECT_EQ(IoAllocateErrorLogEntry(d, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr); }},
        {"packet smaller than its header", {"errorlog-entry-too-small"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) { EXPECT_EQ(IoAllocateErrorLogEntry(d, 8), nullptr); }},
        {"packet for something that is no device or driver", {"errorlog-bad-object"},
         [](ErrorLogTest &, PDEVICE_OBJECT) {
             static int not_object;
             EXPECT_EQ(IoAllocateErrorLogEntry(&not_object, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
         }},
        {"dump data that is not whole ULONGs", {"errorlog-dump-size"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_ERROR_LOG_PACKET p = Packet(d, kNoLink, {}, 8);
             p->DumpDataSize = 6;
             IoWriteErrorLogEntry(p);
         }},
        {"insertion string without its null", {"errorlog-string-unterminated"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_ERROR_LOG_PACKET p = Packet(d, kNoLink, {u"LPT3"});
             p->NumberOfStrings = 2;  // the second would start at the packet's end
             IoWriteErrorLogEntry(p);
         }},
        {"strings over the header", {"errorlog-string-offset"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_ERROR_LOG_PACKET p = Packet(d, kNoLink, {u"LPT3"});
             p->StringOffset = 8;
             IoWriteErrorLogEntry(p);
         }},
        {"a message the driver's table does not have", {"errorlog-unknown-message"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) { IoWriteErrorLogEntry(Packet(d, NTSTATUS(0xE0040099), {u"LPT3"})); }},
        {"fewer strings than the message inserts", {"errorlog-missing-insertion"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) { IoWriteErrorLogEntry(Packet(d, kPortLost, {u"LPT3"})); }},
        {"a packet written twice", {"errorlog-unknown-entry"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_ERROR_LOG_PACKET p = Packet(d, kNoLink, {u"LPT3"});
             IoWriteErrorLogEntry(p);
             IoWriteErrorLogEntry(p);
         }},
        {"a packet never given back", {"leak-errorlog-entry"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_ERROR_LOG_PACKET p = Packet(d, kNoLink, {u"LPT3"});
             ksim::CheckLeaks();
             IoFreeErrorLogEntry(p);
         }},
        {"a work item queued twice", {"workitem-queued-twice"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_WORKITEM item = IoAllocateWorkItem(d);
             ksim::HoldWorkItems(true);
             IoQueueWorkItem(item, DoNothing, DelayedWorkQueue, nullptr);
             IoQueueWorkItem(item, DoNothing, DelayedWorkQueue, nullptr);
             EXPECT_EQ(ksim::PendingWorkItems(), 1u);
             ksim::HoldWorkItems(false);
             ksim::Settle();
             IoFreeWorkItem(item);
         }},
        {"a work item freed while queued", {"workitem-freed-while-queued"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_WORKITEM item = IoAllocateWorkItem(d);
             ksim::HoldWorkItems(true);
             IoQueueWorkItem(item, DoNothing, DelayedWorkQueue, nullptr);
             IoFreeWorkItem(item);  // refused: the item stays
             ksim::HoldWorkItems(false);
             ksim::Settle();
             IoFreeWorkItem(item);
         }},
        {"a routine that returns at DISPATCH_LEVEL", {"workitem-exit-raised-irql"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_WORKITEM item = IoAllocateWorkItem(d);
             IoQueueWorkItem(item, LeaveRaised, DelayedWorkQueue, nullptr);
             ksim::Settle();
             IoFreeWorkItem(item);
         }},
        {"a work item never freed", {"leak-workitem"},
         [](ErrorLogTest &, PDEVICE_OBJECT d) {
             PIO_WORKITEM item = IoAllocateWorkItem(d);
             ksim::CheckLeaks();
             IoFreeWorkItem(item);
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        row.run(*this, toy->device);
        ExpectViolations(row.rules);
    }
}

// A held item waits, with the time free to move; released, it runs.
TEST_F(ErrorLogTest, AHeldWorkItemWaitsUntilReleased)
{
    ToyDevice *toy = Make();
    WorkRun run;
    run.free_me = IoAllocateWorkItem(toy->device);
    ksim::HoldWorkItems(true);
    IoQueueWorkItem(run.free_me, RecordRun, DelayedWorkQueue, &run);
    ksim::AdvanceMs(100);
    EXPECT_EQ(run.runs, 0);
    EXPECT_EQ(ksim::PendingWorkItems(), 1u);
    ksim::HoldWorkItems(false);
    ksim::Settle();
    EXPECT_EQ(run.runs, 1);
    EXPECT_EQ(ksim::PendingWorkItems(), 0u);
}

}  // namespace
}  // namespace iotest
