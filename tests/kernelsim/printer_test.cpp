// The simulated USB receipt printer (tests/printer/), loaded on the stand-in as a second driver and
// driven through the I/O manager by path as the port driver drives it: opens with their arguments,
// writes, the status request and its answer, replies and waiting reads, the behaviours a test can
// choose, unplugging, and a clean namespace afterwards.
#include "common/kernel_test.h"
#include "tests/printer/printer_client.h"

#include <atomic>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using ksim::u16;
using usbsim::PrinterConfig;
using usbsim::SimPrinter;
using Bytes = std::vector<uint8_t>;

const Bytes kStatusRequest = {0x10, 0x04, 0x01};

struct Profile {
    ACCESS_MASK access;
    ULONG attributes;
    ULONG share;
    ULONG disposition;
    ULONG options;
};
// The three ways the port driver opens the device.
const Profile kWriteHandleOpen = {0x100003, FILE_ATTRIBUTE_DEVICE, 3, FILE_OPEN_IF, 0x1060};
const Profile kWriteOpen = {0x100002, FILE_ATTRIBUTE_NORMAL, 2, FILE_OPEN_IF, 0x60};
const Profile kReadOpen = {0x3, FILE_ATTRIBUTE_DEVICE, 3, FILE_OPEN_IF, 0x1040};

NTSTATUS OpenPath(const u16 &path, const Profile &p, HANDLE *handle)
{
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(path.data()));
    name.Length = static_cast<USHORT>(path.size() * 2);
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(handle, p.access, &oa, &iosb, NULL, p.attributes, p.share, p.disposition, p.options, NULL, 0);
}

std::unique_ptr<ksim::AppFile> OpenApp(const SimPrinter &printer)
{
    std::unique_ptr<ksim::AppFile> file;
    NTSTATUS status = ksim::AppFile::Open(printer.HardwareId(), &file);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return file;
}

class PrinterTest : public KernelTest {};

// ---- Opens ------------------------------------------------------------------------------------

struct SystemOpen {
    const u16 *path;
    NTSTATUS status = STATUS_PENDING;
    std::atomic<bool> done{false};
};

VOID NTAPI OpenFromSystemThread(PVOID context)
{
    auto *job = static_cast<SystemOpen *>(context);
    HANDLE handle = nullptr;
    job->status = OpenPath(*job->path, kReadOpen, &handle);
    if (NT_SUCCESS(job->status)) ZwClose(handle);
    job->done = true;
}

TEST_F(PrinterTest, EveryOpenIsRecordedWithItsArguments)
{
    SimPrinter printer;
    HANDLE handles[3] = {};
    const Profile *profiles[3] = {&kWriteHandleOpen, &kWriteOpen, &kReadOpen};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(OpenPath(printer.HardwareId(), *profiles[i], &handles[i]), STATUS_SUCCESS);
    EXPECT_EQ(printer.OpenFiles(), 3u);

    auto opens = printer.Opens();
    ASSERT_EQ(opens.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opens[i].desired_access, profiles[i]->access);
        EXPECT_EQ(opens[i].file_attributes, profiles[i]->attributes);
        EXPECT_EQ(opens[i].share_access, profiles[i]->share);
        EXPECT_EQ(opens[i].create_disposition, profiles[i]->disposition);
        EXPECT_EQ(opens[i].create_options, profiles[i]->options);
        EXPECT_EQ(opens[i].process, ksim::Process::Application);
        EXPECT_EQ(opens[i].status, STATUS_SUCCESS);
    }
    for (HANDLE h : handles) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(printer.OpenFiles(), 0u);

    // An open from a system thread is recorded as the system process's.
    SystemOpen job;
    job.path = &printer.HardwareId();
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, KernelHandleOnly(), NULL, NULL, OpenFromSystemThread, &job),
              STATUS_SUCCESS);
    ksim::WaitUntil([&] { return job.done.load() && ksim::LiveSystemThreads() == 0; });
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_EQ(job.status, STATUS_SUCCESS);
    opens = printer.Opens();
    ASSERT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[3].process, ksim::Process::System);
    EXPECT_EQ(opens[3].desired_access, kReadOpen.access);
    EXPECT_EQ(printer.OpenFiles(), 0u);
}

TEST_F(PrinterTest, RefusedOpensAreRecordedWithTheirStatus)
{
    SimPrinter printer;
    printer.FailOpens(STATUS_ACCESS_DENIED);
    std::unique_ptr<ksim::AppFile> file;
    EXPECT_EQ(ksim::AppFile::Open(printer.HardwareId(), &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(file, nullptr);
    printer.FailOpens(STATUS_SUCCESS);
    EXPECT_EQ(ksim::AppFile::Open(printer.HardwareId(), &file), STATUS_SUCCESS);
    auto opens = printer.Opens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(opens[1].status, STATUS_SUCCESS);
    EXPECT_EQ(printer.OpenFiles(), 1u);  // a refused open leaves no file behind
    file->Close();
    EXPECT_EQ(printer.OpenFiles(), 0u);
}

// ---- Writes and the status request ---------------------------------------------------------------------

TEST_F(PrinterTest, WritesAreRecorded)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    Bytes first = {'H', 'i', '\n'};
    Bytes second(64);
    for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(i);
    auto r1 = file->Write(first);
    auto r2 = file->Write(second);
    EXPECT_EQ(r1.status, STATUS_SUCCESS);
    EXPECT_EQ(r1.information, 3u);
    EXPECT_EQ(r2.information, 64u);
    auto writes = printer.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, first);
    EXPECT_EQ(writes[0].length, 3u);
    EXPECT_EQ(writes[1].bytes, second);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(printer.WrittenBytes(), all);
    EXPECT_EQ(printer.StatusRequests(), 0u);
    printer.ClearRecords();
    EXPECT_TRUE(printer.Writes().empty());
    EXPECT_TRUE(printer.WrittenBytes().empty());
    EXPECT_TRUE(printer.Opens().empty());
    file->Close();
}

TEST_F(PrinterTest, StatusRequestIsAnsweredWithOneByte)
{
    PrinterConfig config;
    config.status_byte = 0x5A;
    SimPrinter printer(config);
    auto file = OpenApp(printer);
    // Near misses are plain data.
    file->Write({0x10, 0x04, 0x01, 0x00});
    file->Write({0x10, 0x04, 0x02});
    EXPECT_EQ(printer.StatusRequests(), 0u);

    auto w = file->Write(kStatusRequest);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, 3u);
    EXPECT_EQ(printer.StatusRequests(), 1u);
    auto r = file->Read(16);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 1u);
    EXPECT_EQ(r.data, Bytes{0x5A});
    // Only one byte was answered: the next read waits.
    auto next = file->ReadAsync(16);
    ksim::Settle();
    EXPECT_FALSE(next.Done());
    EXPECT_TRUE(next.Cancel());
    EXPECT_EQ(next.Wait().status, STATUS_CANCELLED);
    file->Close();
}

TEST_F(PrinterTest, StatusRequestAnswersAWaitingRead)
{
    SimPrinter printer;
    auto reader = OpenApp(printer);
    auto writer = OpenApp(printer);
    auto read = reader->ReadAsync(512);
    ksim::Settle();
    ASSERT_FALSE(read.Done());
    writer->Write(kStatusRequest);
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.data, Bytes{0x12});
    writer->Close();
    reader->Close();
}

TEST_F(PrinterTest, UnansweredStatusRequest)
{
    PrinterConfig config;
    config.answer_status_request = false;
    SimPrinter printer(config);
    auto file = OpenApp(printer);
    file->Write(kStatusRequest);
    EXPECT_EQ(printer.StatusRequests(), 1u);
    auto read = file->ReadAsync(8);
    ksim::Settle();
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(printer.PendingReads(), 1u);
    read.Cancel();
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    file->Close();
}

TEST_F(PrinterTest, NthWriteFails)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    file->Write({1});
    printer.FailWrite(2, STATUS_IO_DEVICE_ERROR);  // counted from now
    auto a = file->Write({2});
    auto b = file->Write({3, 3});
    auto c = file->Write({4});
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(b.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(b.information, 0u);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    auto writes = printer.Writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(writes[2].bytes, (Bytes{3, 3}));
    EXPECT_EQ(printer.WrittenBytes(), (Bytes{1, 2, 4}));  // failed writes deliver nothing
    file->Close();
}

// ---- Replies and reads --------------------------------------------------------------------------------------

TEST_F(PrinterTest, RepliesArriveInOrderAndSplitAcrossShortReads)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    printer.QueueReply({1, 2, 3});
    printer.QueueReply({4, 5});
    struct Row {
        ULONG length;
        Bytes expected;
    };
    const Row rows[] = {{2, {1, 2}}, {5, {3}}, {1, {4}}, {9, {5}}};
    for (const Row &row : rows) {
        auto r = file->Read(row.length);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, row.expected.size());
        EXPECT_EQ(r.data, row.expected);
    }
    EXPECT_EQ(printer.ReadsSeen(), 4u);
    EXPECT_EQ(printer.PendingReads(), 0u);
    file->Close();
}

TEST_F(PrinterTest, ReadWaitsUntilAReplyIsQueued)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    auto first = file->ReadAsync(2);
    auto second = file->ReadAsync(8);
    ksim::Settle();
    EXPECT_EQ(first.DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(printer.PendingReads(), 2u);
    ksim::AdvanceMs(100);
    EXPECT_FALSE(first.Done());  // time alone answers nothing

    // The oldest waiting read gets the reply; what did not fit goes to the next one.
    printer.QueueReply({7, 8, 9});
    auto r1 = first.Wait();
    auto r2 = second.Wait();
    EXPECT_EQ(r1.data, (Bytes{7, 8}));
    EXPECT_EQ(r2.data, (Bytes{9}));
    EXPECT_EQ(printer.PendingReads(), 0u);
    file->Close();
}

TEST_F(PrinterTest, WaitingReadIsCancelled)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    auto read = file->ReadAsync(4);
    ksim::Settle();
    ASSERT_EQ(printer.PendingReads(), 1u);
    EXPECT_TRUE(read.Cancel());
    auto result = read.Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(printer.PendingReads(), 0u);
    // A reply queued afterwards waits for the next read instead of going to the cancelled one.
    printer.QueueReply({1});
    EXPECT_EQ(file->Read(4).data, Bytes{1});
    file->Close();
}

struct OwnRead {
    uint8_t buffer[4] = {};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

NTSTATUS NTAPI OwnReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *read = static_cast<OwnRead *>(context);
    read->status = irp->IoStatus.Status;
    read->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(PrinterTest, ReadCancelledBeforeItWaitsIsEndedAtOnce)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    // A read whose cancel came before the printer could install its cancel routine: it must
    // not be left waiting with nobody to cancel it.
    OwnRead read;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file->FileObject());
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->AssociatedIrp.SystemBuffer = read.buffer;
    irp->Cancel = TRUE;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = sizeof(read.buffer);
    next->FileObject = file->FileObject();
    IoSetCompletionRoutine(irp, OwnReadDone, &read, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    EXPECT_EQ(read.information, 0u);
    EXPECT_EQ(printer.PendingReads(), 0u);
    file->Close();
}

TEST_F(PrinterTest, ReplyRacingACancelIsDeliveredExactlyOnce)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    constexpr int kRounds = 150;
    Bytes delivered;
    int cancelled = 0;
    for (int i = 0; i < kRounds; ++i) {
        auto read = file->ReadAsync(4);
        std::atomic<int> ready{0};
        std::thread replier([&] {
            ksim::Participant participant;
            ready = 1;
            while (ready.load() != 2) {
                // spin: the reply should race the cancel as closely as the host allows
            }
            printer.QueueReply({static_cast<uint8_t>(i)});
        });
        while (ready.load() != 1) std::this_thread::yield();
        ready = 2;  // both sides go at once
        read.Cancel();
        replier.join();
        auto result = read.Wait();
        if (result.status == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(result.information, 0u);
            result = file->Read(4);  // the reply was kept for the next read
        }
        ASSERT_EQ(result.status, STATUS_SUCCESS) << "round " << i;
        ASSERT_EQ(result.data.size(), 1u) << "round " << i;
        delivered.push_back(result.data[0]);
    }
    for (int i = 0; i < kRounds; ++i) ASSERT_EQ(delivered[i], static_cast<uint8_t>(i));
    EXPECT_EQ(printer.PendingReads(), 0u);
    RecordProperty("cancelled_first", cancelled);
    file->Close();
}

TEST_F(PrinterTest, NeverAnswerHoldsRepliesBack)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    printer.SetNeverAnswer(true);
    printer.QueueReply({1, 2});
    file->Write(kStatusRequest);
    auto read = file->ReadAsync(8);
    ksim::Settle();
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(printer.PendingReads(), 1u);
    printer.SetNeverAnswer(false);  // what was held back is delivered, oldest first
    EXPECT_EQ(read.Wait().data, (Bytes{1, 2}));
    EXPECT_EQ(file->Read(8).data, Bytes{0x12});
    file->Close();
}

TEST_F(PrinterTest, SlowWriteCompletesAfterItsDelay)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    printer.SetWriteDelay(50 * ksim::kTicksPerMs);
    ksim::IoResult result;
    ksim::ParticipantThread writer([&] { result = file->Write({1, 2}); });
    ksim::AdvanceMs(49);
    EXPECT_FALSE(writer.Done());
    ksim::AdvanceMs(1);
    EXPECT_TRUE(writer.Done());
    writer.Join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    printer.SetWriteDelay(0);
    EXPECT_EQ(file->Write({3}).status, STATUS_SUCCESS);  // at once again
    file->Close();
}

TEST_F(PrinterTest, ReadIgnoringCancelEndsOnlyByReplyOrCleanup)
{
    SimPrinter printer;
    auto file = OpenApp(printer);
    printer.IgnoreCancel(true);
    auto answered = file->ReadAsync(4);
    ksim::Settle();
    EXPECT_FALSE(answered.Cancel());  // no cancel routine to call
    ksim::AdvanceMs(100);
    EXPECT_FALSE(answered.Done());
    printer.QueueReply({7});
    EXPECT_EQ(answered.Wait().data, Bytes{7});

    auto stranded = file->ReadAsync(4);
    ksim::Settle();
    EXPECT_FALSE(stranded.Cancel());
    file->CleanupOnly();
    EXPECT_EQ(stranded.Wait().status, STATUS_CANCELLED);
    file->CloseOnly();
}

// Every request is recorded under the open it came through, in the order the printer saw them.
TEST_F(PrinterTest, RecordsFollowEachOpen)
{
    SimPrinter printer;
    printer.FailOpens(STATUS_ACCESS_DENIED);
    std::unique_ptr<ksim::AppFile> refused;
    EXPECT_EQ(ksim::AppFile::Open(printer.HardwareId(), &refused), STATUS_ACCESS_DENIED);
    printer.FailOpens(STATUS_SUCCESS);
    auto a = OpenApp(printer);
    auto b = OpenApp(printer);
    a->Write({'x'});
    auto waiting = b->ReadAsync(8);
    ksim::Settle();
    printer.QueueReply({5, 6});
    EXPECT_EQ(waiting.Wait().data, (Bytes{5, 6}));
    auto ended = b->ReadAsync(8);
    ksim::Settle();
    printer.Unplug();
    EXPECT_EQ(ended.Wait().status, STATUS_DEVICE_NOT_CONNECTED);
    a->Close();
    b->Close();

    struct Row {
        ULONG kind;
        ULONG file;
        NTSTATUS status;
        Bytes data;
    };
    const Row expected[] = {
        {VPSIM_OPEN, 0, STATUS_ACCESS_DENIED, {}},
        {VPSIM_OPEN, 1, STATUS_SUCCESS, {}},
        {VPSIM_OPEN, 2, STATUS_SUCCESS, {}},
        {VPSIM_WRITE, 1, STATUS_SUCCESS, {'x'}},
        {VPSIM_READ, 2, STATUS_SUCCESS, {5, 6}},
        {VPSIM_READ_ENDED, 2, STATUS_DEVICE_NOT_CONNECTED, {}},
        {VPSIM_CLEANUP, 1, STATUS_SUCCESS, {}},
        {VPSIM_CLOSE, 1, STATUS_SUCCESS, {}},
        {VPSIM_CLEANUP, 2, STATUS_SUCCESS, {}},
        {VPSIM_CLOSE, 2, STATUS_SUCCESS, {}},
    };
    auto records = printer.Records();
    ASSERT_EQ(records.size(), std::size(expected));
    for (size_t i = 0; i < records.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].entry.Kind, expected[i].kind);
        EXPECT_EQ(records[i].entry.File, expected[i].file);
        EXPECT_EQ(records[i].entry.Status, expected[i].status);
        EXPECT_EQ(records[i].data, expected[i].data);
    }
    EXPECT_EQ(printer.OpenFiles(), 0u);
}

TEST_F(PrinterTest, CleanupEndsOnlyThatFilesReads)
{
    SimPrinter printer;
    auto a = OpenApp(printer);
    auto b = OpenApp(printer);
    auto readA = a->ReadAsync(4);
    auto readB = b->ReadAsync(4);
    ksim::Settle();
    ASSERT_EQ(printer.PendingReads(), 2u);
    a->CleanupOnly();
    EXPECT_EQ(readA.Wait().status, STATUS_CANCELLED);
    ksim::Settle();
    EXPECT_FALSE(readB.Done());
    EXPECT_EQ(printer.PendingReads(), 1u);
    a->CloseOnly();
    EXPECT_EQ(printer.OpenFiles(), 1u);
    b->Close();
    EXPECT_EQ(readB.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(printer.OpenFiles(), 0u);
}

// ---- Unplugging ------------------------------------------------------------------------------------------

TEST_F(PrinterTest, UnplugAndPlug)
{
    SimPrinter printer;
    const u16 presence = u16(usbsim::kUsbDeviceClassKey) + u"\\" + printer.LinkedId();
    EXPECT_TRUE(ksim::reg::KeyExists(presence));
    auto file = OpenApp(printer);
    auto read = file->ReadAsync(4);
    ksim::Settle();
    printer.QueueReply({});  // nothing to deliver
    EXPECT_FALSE(read.Done());

    printer.Unplug();
    EXPECT_FALSE(ksim::reg::KeyExists(presence));
    auto ended = read.Wait();
    EXPECT_EQ(ended.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ended.information, 0u);
    auto w = file->Write({1, 2});
    EXPECT_EQ(w.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(w.information, 0u);
    EXPECT_EQ(file->Read(4).status, STATUS_DEVICE_NOT_CONNECTED);
    std::unique_ptr<ksim::AppFile> second;
    EXPECT_EQ(ksim::AppFile::Open(printer.HardwareId(), &second), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(printer.Opens().back().status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(printer.WrittenBytes().empty());

    printer.Plug();
    EXPECT_TRUE(ksim::reg::KeyExists(presence));
    EXPECT_EQ(ksim::AppFile::Open(printer.HardwareId(), &second), STATUS_SUCCESS);
    EXPECT_EQ(second->Write({3}).status, STATUS_SUCCESS);
    EXPECT_EQ(printer.WrittenBytes(), Bytes{3});
    second->Close();
    file->Close();
}

// ---- Lifetime and namespace ---------------------------------------------------------------------------------

// The device behind a printer's path, through an open of the path itself.
PDEVICE_OBJECT DeviceBehind(ksim::AppFile &file) { return IoGetRelatedDeviceObject(file.FileObject()); }

TEST_F(PrinterTest, DeviceLinkAndPresenceKeyComeAndGo)
{
    PrinterConfig other;
    other.linked_id = u"##?#USB#Vid_055d&Pid_4010#PRN0002#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    other.hardware_id = u"\\??\\USB#Vid_055d&Pid_4010#PRN0002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    u16 presence;
    {
        SimPrinter first;
        presence = u16(usbsim::kUsbDeviceClassKey) + u"\\" + first.LinkedId();
        EXPECT_TRUE(ksim::reg::KeyExists(presence));
        EXPECT_EQ(ksim::SymbolicLinkTarget(first.HardwareId()), u16(u"\\Device\\VpUsbSim0"));
        EXPECT_TRUE(ksim::ObjectExists(u"\\Device\\VpUsbSimControl"));
        {
            auto file = OpenApp(first);
            PDEVICE_OBJECT device = DeviceBehind(*file);
            EXPECT_EQ(ksim::FromUnicodeString(device->DriverObject->DriverName), u16(u"\\Driver\\VpUsbSim"));
            EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
            EXPECT_FALSE(device->Flags & DO_DEVICE_INITIALIZING);
            file->Close();
        }
        EXPECT_THROW(SimPrinter duplicate, std::invalid_argument);  // same hardware id
        EXPECT_EQ(ksim::SymbolicLinkTarget(first.HardwareId()), u16(u"\\Device\\VpUsbSim0"));
        {
            SimPrinter second(other);
            EXPECT_EQ(second.Index(), 1u);
            EXPECT_EQ(ksim::SymbolicLinkTarget(second.HardwareId()), u16(u"\\Device\\VpUsbSim1"));
            auto file = OpenApp(second);
            file->Write({9});
            file->Close();
            EXPECT_TRUE(first.WrittenBytes().empty());
            EXPECT_EQ(second.WrittenBytes(), Bytes{9});
        }
        EXPECT_FALSE(ksim::SymbolicLinkTarget(other.hardware_id).has_value());
        EXPECT_FALSE(ksim::reg::KeyExists(u16(usbsim::kUsbDeviceClassKey) + u"\\" + other.linked_id));

        // A read still waiting when its file is cleaned up is completed, not leaked.
        auto file = OpenApp(first);
        auto read = file->ReadAsync(4);
        ksim::Settle();
        file->CleanupOnly();
        EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
        file->CloseOnly();
    }
    // The last printer gone with no file open, the driver unloads: nothing of it is left.
    EXPECT_FALSE(ksim::ObjectExists(u"\\Device\\VpUsbSim0"));
    EXPECT_FALSE(ksim::ObjectExists(u"\\Device\\VpUsbSimControl"));
    EXPECT_FALSE(ksim::reg::KeyExists(presence));
    EXPECT_TRUE(ksim::OutstandingPool().empty());
    auto leaks = ksim::CheckLeaks();
    EXPECT_TRUE(leaks.empty()) << ViolationsText(leaks);
}

TEST_F(PrinterTest, RemovedWhileAFileIsStillOpen)
{
    auto printer = std::make_unique<SimPrinter>();
    const u16 hardwareId = printer->HardwareId();
    const u16 presence = u16(usbsim::kUsbDeviceClassKey) + u"\\" + printer->LinkedId();
    auto file = OpenApp(*printer);
    auto read = file->ReadAsync(4);
    ksim::Settle();
    printer.reset();  // the device vanishes under its user

    EXPECT_EQ(read.Wait().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ksim::SymbolicLinkTarget(hardwareId).has_value());
    EXPECT_FALSE(ksim::reg::KeyExists(presence));
    std::unique_ptr<ksim::AppFile> again;
    EXPECT_FALSE(NT_SUCCESS(ksim::AppFile::Open(hardwareId, &again)));
    // The open file still reaches the removed device, which fails it but stays safe to call.
    EXPECT_EQ(file->Write({1}).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(file->Read(1).status, STATUS_DEVICE_NOT_CONNECTED);

    SimPrinter next;  // a new printer works beside the removed one, on a device of its own
    auto other = OpenApp(next);
    EXPECT_NE(DeviceBehind(*other), DeviceBehind(*file));
    EXPECT_EQ(other->Write({2}).status, STATUS_SUCCESS);
    // Longer than a printer records without pool: the removed one must take none that would leak.
    EXPECT_EQ(file->Write(Bytes(5000, 1)).status, STATUS_DEVICE_NOT_CONNECTED);
    other->Close();
    file->Close();
}

TEST_F(PrinterTest, PrinterOutlivingItsKernelIsHarmless)
{
    auto forgotten = std::make_unique<SimPrinter>();
    kernel_.reset();  // the kernel goes first, as when a test forgets its printer
    ksim::ClearViolations();
    kernel_ = std::make_unique<ksim::Kernel>();
    forgotten.reset();  // touches nothing of the new kernel
    SimPrinter fresh;   // and the next printer loads its driver afresh
    EXPECT_EQ(ksim::SymbolicLinkTarget(fresh.HardwareId()), u16(u"\\Device\\VpUsbSim0"));
    auto file = OpenApp(fresh);
    EXPECT_EQ(file->Write({3}).status, STATUS_SUCCESS);
    file->Close();
}

TEST_F(PrinterTest, WriteLinkConfigStoresBothValues)
{
    SimPrinter printer;
    printer.WriteLinkConfig(u"LPT3");
    const u16 key = u16(usbsim::kLinkKeyRoot) + u"\\LPT3";
    EXPECT_EQ(ksim::reg::GetString(key, u"HardwareId"), printer.HardwareId());
    EXPECT_EQ(ksim::reg::GetString(key, u"LinkedId"), printer.LinkedId());
    auto value = ksim::reg::GetValue(key, u"LinkedId");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data.size(), (printer.LinkedId().size() + 1) * 2);
}

}  // namespace
