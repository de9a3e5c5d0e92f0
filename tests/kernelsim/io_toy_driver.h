// io_toy_driver.h - small drivers for the I/O manager's tests: devices whose dispatch is a
// lambda, and a cancel-safe queue of pending requests written the way WDM drivers write it.
#pragma once

#include "common/kernel_test.h"

#include <deque>
#include <string>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Pending requests with a cancel routine. Lock order: the cancel spin lock, then `lock`.
struct Queue {
    KSPIN_LOCK lock = 0;
    std::deque<PIRP> irps;  // guarded by lock
};

struct ToyDevice {
    Dispatch dispatch;  // null: complete with STATUS_SUCCESS
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    Queue queue;
    std::mutex seen_mutex;
    std::vector<UCHAR> seen;  // majors in arrival order
};

inline ToyDevice *Toy(PDEVICE_OBJECT device) { return *static_cast<ToyDevice **>(device->DeviceExtension); }

inline VOID NTAPI QueueCancel(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Queue &q = Toy(device)->queue;
    KIRQL irql;
    KeAcquireSpinLock(&q.lock, &irql);
    for (auto it = q.irps.begin(); it != q.irps.end(); ++it) {
        if (*it == irp) {
            q.irps.erase(it);
            break;
        }
    }
    KeReleaseSpinLock(&q.lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

// Leaves the request pending in the device's queue.
inline NTSTATUS Pend(PDEVICE_OBJECT device, PIRP irp)
{
    Queue &q = Toy(device)->queue;
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&q.lock, &irql);
    q.irps.push_back(irp);
    IoSetCancelRoutine(irp, QueueCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        q.irps.pop_back();
        KeReleaseSpinLock(&q.lock, irql);
        Complete(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&q.lock, irql);
    return STATUS_PENDING;
}

// The oldest queued request that is not being cancelled, now owned by the caller; or null.
inline PIRP Take(ToyDevice *toy)
{
    Queue &q = toy->queue;
    KIRQL irql;
    KeAcquireSpinLock(&q.lock, &irql);
    PIRP found = nullptr;
    for (auto it = q.irps.begin(); it != q.irps.end(); ++it) {
        // A null exchange means the cancel routine owns it and will take it out itself.
        if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
            found = *it;
            q.irps.erase(it);
            break;
        }
    }
    KeReleaseSpinLock(&q.lock, irql);
    return found;
}

inline size_t Queued(ToyDevice *toy)
{
    KIRQL irql;
    KeAcquireSpinLock(&toy->queue.lock, &irql);
    size_t n = toy->queue.irps.size();
    KeReleaseSpinLock(&toy->queue.lock, irql);
    return n;
}

inline NTSTATUS NTAPI ToyDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    ToyDevice *toy = Toy(device);
    {
        std::lock_guard<std::mutex> guard(toy->seen_mutex);
        toy->seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    }
    if (!toy->dispatch) return Complete(irp, STATUS_SUCCESS);
    return toy->dispatch(device, irp);
}

// Registers every major function the tests use except IRP_MJ_FLUSH_BUFFERS.
inline NTSTATUS NTAPI ToyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    (void)registry_path;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL})
        driver->MajorFunction[major] = ToyDispatch;
    return STATUS_SUCCESS;
}

// A counted string over text that outlives it (a literal or a named string).
inline UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(text));
    s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}
inline UNICODE_STRING Counted(const ksim::u16 &text) { return Counted(text.c_str()); }
UNICODE_STRING Counted(ksim::u16 &&text) = delete;  // would point into a temporary

class IoTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(ToyEntry, u"toy", &status);
        ASSERT_TRUE(driver_ != nullptr);
    }
    void TearDown() override
    {
        for (auto it = toys_.rbegin(); it != toys_.rend(); ++it) {
            ToyDevice *toy = it->get();
            if (toy->device == nullptr) continue;
            if (toy->lower != nullptr) IoDetachDevice(toy->lower);
            IoDeleteDevice(toy->device);
        }
        toys_.clear();
        driver_.reset();
        KernelTest::TearDown();
    }

    // A toy device, named when `name` is not empty, ready for requests.
    ToyDevice *Make(const ksim::u16 &name = u"", Dispatch dispatch = {}, ULONG flags = DO_BUFFERED_IO)
    {
        auto toy = std::make_unique<ToyDevice>();
        toy->dispatch = std::move(dispatch);
        UNICODE_STRING counted = Counted(name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_->Object(), sizeof(ToyDevice *), name.empty() ? nullptr : &counted,
                                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) return nullptr;
        *static_cast<ToyDevice **>(device->DeviceExtension) = toy.get();
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        toy->device = device;
        toys_.push_back(std::move(toy));
        return toys_.back().get();
    }
    // A toy device attached on top of `below`'s stack.
    ToyDevice *Stack(ToyDevice *below, Dispatch dispatch = {}, ULONG flags = DO_BUFFERED_IO)
    {
        ToyDevice *toy = Make(u"", std::move(dispatch), flags);
        toy->lower = IoAttachDeviceToDeviceStack(toy->device, below->device);
        return toy;
    }
    // Forgets a device the test deleted itself.
    void Forget(ToyDevice *toy) { toy->device = nullptr; }

    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<ToyDevice>> toys_;
};

}  // namespace iotest
