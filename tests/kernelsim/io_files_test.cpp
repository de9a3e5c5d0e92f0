// File services and events: ZwCreateFile through links to the top of a stack, synchronous and
// asynchronous reads and writes, buffered and direct buffers, cleanup and close, and the event
// objects drivers create by name or handle.
#include "io_toy_driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

using namespace iotest;
using ksim::u16;

namespace {

struct CreateSeen {
    ACCESS_MASK access = 0;
    ULONG options = 0;
    USHORT attributes = 0;
    USHORT share = 0;
    ULONG file_flags = 0;
    u16 file_name;
    PFILE_OBJECT file = nullptr;
};

class FileTest : public IoTest {
protected:
    static HANDLE Create(const u16 &path, ACCESS_MASK access, ULONG options, NTSTATUS expect = STATUS_SUCCESS,
                         ULONG attributes = OBJ_KERNEL_HANDLE)
    {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, attributes, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateFile(&handle, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                               options, nullptr, 0),
                  expect);
        return handle;
    }
    std::vector<UCHAR> Seen(ToyDevice *toy)
    {
        std::lock_guard<std::mutex> guard(toy->seen_mutex);
        return toy->seen;
    }
    // A buffered device whose reads wait in its queue and whose other requests succeed.
    ToyDevice *Queueing(const u16 &name, ULONG flags = DO_BUFFERED_IO)
    {
        return Make(
            name,
            [](PDEVICE_OBJECT device, PIRP irp) {
                if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
                return Pend(device, irp);
            },
            flags);
    }
};

TEST_F(FileTest, CreateFollowsLinksToTheTopOfTheStackWithEveryArgument)
{
    static CreateSeen seen;
    seen = CreateSeen{};
    ToyDevice *bottom = Make(u"\\Device\\Disk0");
    ToyDevice *top = Stack(bottom, [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        if (loc->MajorFunction == IRP_MJ_CREATE) {
            seen.access = loc->Parameters.Create.SecurityContext->DesiredAccess;
            seen.options = loc->Parameters.Create.Options;
            seen.attributes = loc->Parameters.Create.FileAttributes;
            seen.share = loc->Parameters.Create.ShareAccess;
            seen.file_flags = loc->FileObject->Flags;
            seen.file_name = ksim::FromUnicodeString(loc->FileObject->FileName);
            seen.file = loc->FileObject;
        }
        return Complete(irp, STATUS_SUCCESS);
    });
    UNICODE_STRING link = Counted(u"\\DosDevices\\TOY1");
    UNICODE_STRING target = Counted(u"\\Device\\Disk0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    UNICODE_STRING name = Counted(u"\\??\\TOY1\\part");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    size_t handles_before = ksim::KernelHandleCount();
    ASSERT_EQ(ZwCreateFile(&handle, 0x100003, &oa, &iosb, nullptr, FILE_ATTRIBUTE_DEVICE, 3, FILE_OPEN_IF, 0x1060,
                           nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, ULONG_PTR(FILE_OPENED));
    EXPECT_EQ(ksim::KernelHandleCount(), handles_before + 1);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
    EXPECT_EQ(seen.access, 0x100003u);
    EXPECT_EQ(seen.options, (ULONG(FILE_OPEN_IF) << 24) | 0x1060u);
    EXPECT_EQ(seen.attributes, FILE_ATTRIBUTE_DEVICE);
    EXPECT_EQ(seen.share, 3);
    EXPECT_NE(seen.file_flags & FO_SYNCHRONOUS_IO, 0u);
    EXPECT_EQ(seen.file_name, u"\\part");
    EXPECT_EQ(seen.file->DeviceObject, bottom->device);  // the device the name led to
    EXPECT_EQ(IoGetRelatedDeviceObject(seen.file), top->device);
    EXPECT_TRUE(Seen(bottom).empty());

    auto calls = ksim::FileCreates();
    ASSERT_EQ(calls.size(), 1u);
    const ksim::FileCreateCall &call = calls[0];
    EXPECT_EQ(call.path, u"\\??\\TOY1\\part");
    EXPECT_EQ(call.desired_access, 0x100003u);
    EXPECT_EQ(call.object_attributes, ULONG(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE));
    EXPECT_FALSE(call.has_root_directory);
    EXPECT_FALSE(call.has_security_descriptor);
    EXPECT_FALSE(call.has_allocation_size);
    EXPECT_EQ(call.file_attributes, ULONG(FILE_ATTRIBUTE_DEVICE));
    EXPECT_EQ(call.share_access, 3u);
    EXPECT_EQ(call.create_disposition, ULONG(FILE_OPEN_IF));
    EXPECT_EQ(call.create_options, 0x1060u);
    EXPECT_EQ(call.ea_length, 0u);
    EXPECT_EQ(call.process, ksim::Process::Application);
    EXPECT_EQ(call.status, STATUS_SUCCESS);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Seen(top), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    IoDeleteSymbolicLink(&link);
}

TEST_F(FileTest, FailedOpensLeaveNoHandleAndSendNothingMore)
{
    ToyDevice *refusing = Make(u"\\Device\\Refusing", [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_ACCESS_DENIED);
    });
    size_t handles = ksim::KernelHandleCount();
    Create(u"\\Device\\Nothing", FILE_READ_DATA, 0, STATUS_OBJECT_NAME_NOT_FOUND);
    Create(u"\\??\\NOPORT\\x", FILE_READ_DATA, 0, STATUS_OBJECT_PATH_NOT_FOUND);  // a missing step on the way
    Create(u"\\Device\\Refusing", FILE_READ_DATA, 0, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Seen(refusing), std::vector<UCHAR>{IRP_MJ_CREATE});  // no cleanup, no close

    ksim::InjectFault(ksim::Fault::FileOpen, STATUS_NO_SUCH_DEVICE);
    Make(u"\\Device\\Fine");
    Create(u"\\Device\\Fine", FILE_READ_DATA, 0, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ksim::KernelHandleCount(), handles);

    auto calls = ksim::FileCreates();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(calls[1].status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(calls[2].status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(calls[3].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::FileOpen), 4u);
}

TEST_F(FileTest, CreateAbovePassiveLevelIsAViolation)
{
    Make(u"\\Device\\Fine");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE handle = Create(u"\\Device\\Fine", FILE_READ_DATA, 0);
    KeLowerIrql(old);
    ExpectViolations({"passive-required"});
    ZwClose(handle);
}

TEST_F(FileTest, PendingAsynchronousReadSignalsItsEventAndFillsItsStatusBlock)
{
    ToyDevice *toy = Queueing(u"\\Device\\Q");
    HANDLE file = Create(u"\\Device\\Q", FILE_READ_DATA, FILE_NON_DIRECTORY_FILE);
    HANDLE event = nullptr;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, KernelHandleOnly(), NotificationEvent, TRUE), STATUS_SUCCESS);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x1234;
    iosb.Information = 77;
    char buffer[16] = {};
    ASSERT_EQ(ZwReadFile(file, event, nullptr, nullptr, &iosb, buffer, sizeof buffer, nullptr, nullptr), STATUS_PENDING);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_TIMEOUT);  // reset when the read went out
    EXPECT_EQ(iosb.Status, 0x1234);

    PIRP irp = Take(toy);
    ASSERT_NE(irp, nullptr);
    EXPECT_NE(irp->AssociatedIrp.SystemBuffer, static_cast<void *>(buffer));
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 16u);
    memcpy(irp->AssociatedIrp.SystemBuffer, "hello", 5);
    Complete(irp, STATUS_SUCCESS, 5);

    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(std::string(buffer), "hello");
    ZwClose(event);
    ZwClose(file);
}

TEST_F(FileTest, RequestFailingAtOnceLeavesTheEventAndStatusBlockAlone)
{
    Make(u"\\Device\\Broken", [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_IO_DEVICE_ERROR);
    });
    HANDLE file = Create(u"\\Device\\Broken", FILE_READ_DATA, 0);
    HANDLE event = nullptr;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, KernelHandleOnly(), NotificationEvent, FALSE), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x1234;
    char buffer[4];
    EXPECT_EQ(ZwReadFile(file, event, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(iosb.Status, 0x1234);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_TIMEOUT);
    ZwClose(event);
    ZwClose(file);
}

TEST_F(FileTest, SynchronousHandleWaitsForCompletionAndAdvancesItsPosition)
{
    static std::vector<LONGLONG> offsets;
    offsets.clear();
    ToyDevice *toy = Make(u"\\Device\\Q", [](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        if (loc->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        offsets.push_back(loc->Parameters.Read.ByteOffset.QuadPart);
        return Pend(device, irp);
    });
    std::atomic<bool> stop{false}, exited{false};
    std::thread worker([&] {  // completes each read 1 to 2 ms (of kernel time) after it arrives
        ksim::Participant participant;
        LARGE_INTEGER tick;
        tick.QuadPart = -ksim::kTicksPerMs;
        while (!stop) {
            if (PIRP irp = Take(toy)) {
                KeDelayExecutionThread(KernelMode, FALSE, &tick);
                memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
                Complete(irp, STATUS_SUCCESS, 3);
            } else {
                KeDelayExecutionThread(KernelMode, FALSE, &tick);
            }
        }
        exited = true;
    });
    HANDLE file = Create(u"\\Device\\Q", SYNCHRONIZE | FILE_READ_DATA, FILE_SYNCHRONOUS_IO_NONALERT);
    IO_STATUS_BLOCK iosb{};
    char buffer[8] = {};
    int64_t start = ksim::Now();
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 8, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_GE(ksim::Now() - start, ksim::kTicksPerMs);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(buffer), "abc");
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 8, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(offsets, (std::vector<LONGLONG>{0, 3}));
    stop = true;
    ksim::WaitUntil([&] { return exited.load(); });  // a kernel wait: the worker's delay can end
    worker.join();
    ZwClose(file);
}

TEST_F(FileTest, BuffersFollowTheDevicesIoMethod)
{
    static void *user_buffer_seen, *system_buffer_seen;
    static std::string written;
    auto dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        bool buffered = (device->Flags & DO_BUFFERED_IO) != 0;
        user_buffer_seen = irp->UserBuffer;
        system_buffer_seen = irp->AssociatedIrp.SystemBuffer;
        void *data = buffered ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
        if (loc->MajorFunction == IRP_MJ_WRITE) {
            written.assign(static_cast<char *>(data), loc->Parameters.Write.Length);
            return Complete(irp, STATUS_SUCCESS, loc->Parameters.Write.Length);
        }
        if (loc->MajorFunction == IRP_MJ_READ) {
            memcpy(data, "xyz", 3);
            return Complete(irp, STATUS_SUCCESS, 3);
        }
        return Complete(irp, STATUS_SUCCESS);
    };
    Make(u"\\Device\\Buffered", dispatch, DO_BUFFERED_IO);
    Make(u"\\Device\\Direct", dispatch, 0);
    for (bool buffered : {true, false}) {
        SCOPED_TRACE(buffered ? "buffered" : "user buffer");
        HANDLE file = Create(buffered ? u"\\Device\\Buffered" : u"\\Device\\Direct",
                             SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA, FILE_SYNCHRONOUS_IO_NONALERT);
        char out[6] = "hello";
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, out, 5, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(written, "hello");
        EXPECT_EQ(iosb.Information, 5u);
        if (buffered) {
            EXPECT_NE(system_buffer_seen, static_cast<void *>(out));  // a copy
        } else {
            EXPECT_EQ(user_buffer_seen, static_cast<void *>(out));
        }
        char in[4] = {};
        EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, in, 3, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(std::string(in), "xyz");
        if (!buffered) {
            EXPECT_EQ(user_buffer_seen, static_cast<void *>(in));
        }
        ZwClose(file);
    }
}

TEST_F(FileTest, ReadAndWriteRefuseBadHandlesAndInjectedFaults)
{
    ToyDevice *toy = Make(u"\\Device\\Fine");
    HANDLE file = Create(u"\\Device\\Fine", FILE_READ_DATA | FILE_WRITE_DATA, 0);
    HANDLE event = nullptr;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, KernelHandleOnly(), NotificationEvent, FALSE), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    char buffer[4] = {};
    EXPECT_EQ(ZwReadFile(event, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwWriteFile(reinterpret_cast<HANDLE>(0x7777), nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
    ksim::InjectFault(ksim::Fault::FileRead, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    ksim::InjectFault(ksim::Fault::FileWrite, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 4, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Seen(toy), std::vector<UCHAR>{IRP_MJ_CREATE});
    ZwClose(event);
    ZwClose(file);
}

TEST_F(FileTest, CleanupGoesAtOnceAndCloseWhenTheLastRequestEnds)
{
    ToyDevice *toy = Queueing(u"\\Device\\Q");
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Q", &file), STATUS_SUCCESS);
    ksim::PendingIo read = file->ReadAsync(4);
    file->Close();
    EXPECT_EQ(Seen(toy), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    Complete(Take(toy), STATUS_CANCELLED);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(Seen(toy), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));

    // A host that skips cleanup, and one that cleans up before closing.
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Q", &file), STATUS_SUCCESS);
    file->CloseOnly();
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Q", &file), STATUS_SUCCESS);
    file->CleanupOnly();
    file->Close();
    auto seen = Seen(toy);
    EXPECT_EQ(std::vector<UCHAR>(seen.begin() + 4, seen.end()),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(FileTest, CloseReleasedByACompletionAtDispatchLevelArrivesLaterAtPassiveLevel)
{
    static KIRQL close_irql;
    static std::atomic<std::thread::id> close_thread;
    close_irql = 0xFF;
    close_thread = std::thread::id();
    ToyDevice *toy = Make(u"\\Device\\Q", [](PDEVICE_OBJECT device, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        if (major == IRP_MJ_CLOSE) {
            close_irql = KeGetCurrentIrql();
            close_thread = std::this_thread::get_id();
        }
        if (major != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        return Pend(device, irp);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Q", &file), STATUS_SUCCESS);
    ksim::PendingIo read = file->ReadAsync(4);
    file->Close();  // the read now holds the file's last reference
    PIRP irp = Take(toy);
    ASSERT_NE(irp, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&toy->queue.lock, &irql);  // completing under the driver's own lock
    Complete(irp, STATUS_SUCCESS);  // must not send the close from inside, at DISPATCH_LEVEL
    KeReleaseSpinLock(&toy->queue.lock, irql);
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    ksim::Settle();
    // The close came from another thread (the deferred release), never from the completing one.
    EXPECT_NE(close_thread.load(), std::thread::id());
    EXPECT_NE(close_thread.load(), std::this_thread::get_id());
    EXPECT_EQ(Seen(toy).back(), IRP_MJ_CLOSE);
    EXPECT_EQ(close_irql, PASSIVE_LEVEL);
}

TEST_F(FileTest, DeviceObjectPointerKeepsTheFileUntilDereferenced)
{
    ToyDevice *bottom = Make(u"\\Device\\Disk0");
    ToyDevice *top = Stack(bottom);
    UNICODE_STRING name = Counted(u"\\Device\\Disk0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, top->device);
    EXPECT_EQ(Seen(top), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    ObDereferenceObject(file);
    EXPECT_EQ(Seen(top), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST_F(FileTest, DeviceControlUsesOneSystemBufferForBothDirections)
{
    static ULONG in_length, out_length;
    static std::string input_seen;
    Make(u"\\Device\\Ctl", [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        if (loc->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
        in_length = loc->Parameters.DeviceIoControl.InputBufferLength;
        out_length = loc->Parameters.DeviceIoControl.OutputBufferLength;
        auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        input_seen.assign(buffer, in_length);
        std::reverse(buffer, buffer + std::max(in_length, out_length));
        return Complete(irp, STATUS_SUCCESS, out_length);
    });
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\Device\\Ctl", &file), STATUS_SUCCESS);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    ksim::IoResult result = file->Ioctl(code, "ab", 2, 4);
    EXPECT_EQ(in_length, 2u);
    EXPECT_EQ(out_length, 4u);
    EXPECT_EQ(input_seen, "ab");
    // The buffer held max(2, 4) bytes: the input, then zeros; reversed whole.
    EXPECT_EQ(result.data, (std::vector<uint8_t>{0, 0, 'b', 'a'}));
    result = file->Ioctl(code, "abcdef", 6, 2);
    EXPECT_EQ(result.data, (std::vector<uint8_t>{'f', 'e'}));
}

// ---- events ----------------------------------------------------------------------------------------

class EventTest : public KernelTest {};

TEST_F(EventTest, NamedNotificationEventIsCreatedSignalledAndSharedByName)
{
    UNICODE_STRING name = Counted(u"\\BaseNamedObjects\\ReadDone");
    HANDLE h1 = nullptr, h2 = nullptr;
    PKEVENT e1 = IoCreateNotificationEvent(&name, &h1);
    ASSERT_NE(e1, nullptr);
    EXPECT_NE(KeReadStateEvent(e1), 0);  // new: signalled
    EXPECT_EQ(ksim::KernelHandleCount(), 1u) << "the routine hands out a kernel handle";
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
    KeClearEvent(e1);
    PKEVENT e2 = IoCreateNotificationEvent(&name, &h2);
    EXPECT_EQ(e2, e1);  // opened, not created: still cleared
    EXPECT_NE(h2, h1);
    EXPECT_EQ(KeReadStateEvent(e2), 0);
    KeSetEvent(e1, 0, FALSE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(e2, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(e2), 0);  // notification: stays signalled
    ZwClose(h1);
    EXPECT_TRUE(ksim::ObjectExists(u"\\BaseNamedObjects\\ReadDone"));
    ZwClose(h2);
    EXPECT_FALSE(ksim::ObjectExists(u"\\BaseNamedObjects\\ReadDone"));  // gone with its last handle

    PKEVENT e3 = IoCreateNotificationEvent(&name, &h1);
    ASSERT_NE(e3, nullptr);
    KeClearEvent(e3);
    ZwClose(h1);
    e3 = IoCreateNotificationEvent(&name, &h1);
    EXPECT_NE(KeReadStateEvent(e3), 0);  // a new one, signalled again
    ZwClose(h1);
}

TEST_F(EventTest, NamedSynchronizationEventResetsAfterOneWait)
{
    UNICODE_STRING name = Counted(u"\\BaseNamedObjects\\Turn");
    HANDLE handle = nullptr;
    PKEVENT event = IoCreateSynchronizationEvent(&name, &handle);
    ASSERT_NE(event, nullptr);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, &poll), STATUS_TIMEOUT);
    ZwClose(handle);
}

TEST_F(EventTest, InjectedCreationFaultYieldsNoEvent)
{
    UNICODE_STRING name = Counted(u"\\BaseNamedObjects\\ReadDone");
    HANDLE handle = reinterpret_cast<HANDLE>(0x55);
    ksim::InjectFault(ksim::Fault::EventCreation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateNotificationEvent(&name, &handle), nullptr);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x55));
    EXPECT_FALSE(ksim::ObjectExists(u"\\BaseNamedObjects\\ReadDone"));
    HANDLE other = nullptr;
    ksim::InjectFault(ksim::Fault::EventCreation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwCreateEvent(&other, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
}

TEST_F(EventTest, CreateEventSetEventAndTimedWaits)
{
    UNICODE_STRING name = Counted(u"\\BaseNamedObjects\\Shared");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(ZwCreateEvent(&a, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ZwCreateEvent(&b, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE), STATUS_OBJECT_NAME_COLLISION);
    oa.Attributes = OBJ_OPENIF | OBJ_KERNEL_HANDLE;
    ASSERT_EQ(ZwCreateEvent(&b, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE), STATUS_OBJECT_NAME_EXISTS);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * ksim::kTicksPerMs;
    int64_t start = ksim::Now();
    EXPECT_EQ(ZwWaitForSingleObject(b, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(ksim::Now() - start, 10 * ksim::kTicksPerMs);

    LONG previous = 7;
    EXPECT_EQ(ZwSetEvent(a, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(ZwSetEvent(a, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(ZwWaitForSingleObject(b, FALSE, &timeout), STATUS_SUCCESS);  // the same event
    EXPECT_EQ(ZwSetEvent(reinterpret_cast<HANDLE>(0x7777), nullptr), STATUS_INVALID_HANDLE);
    ZwClose(a);
    ZwClose(b);
}

TEST_F(EventTest, WaitOnAHandleWakesWhenAnotherThreadSetsTheEvent)
{
    HANDLE event = nullptr;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, KernelHandleOnly(), SynchronizationEvent, FALSE), STATUS_SUCCESS);
    std::thread setter([&] {
        ksim::Participant participant;
        LARGE_INTEGER delay;
        delay.QuadPart = -3 * ksim::kTicksPerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(ZwSetEvent(event, nullptr), STATUS_SUCCESS);
    });
    int64_t start = ksim::Now();
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ksim::Now() - start, 3 * ksim::kTicksPerMs);
    setter.join();
    ZwClose(event);
}

}  // namespace
