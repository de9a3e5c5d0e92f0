// port_fixture.h - ports added through the driver's AddDevice, each linked to a simulated
// printer, and opened by an application through the PDO's name (which reaches the top of the
// stack, the driver's FDO). The verifier runs in every test through KernelTest.
#pragma once

#include "common/kernel_test.h"

#include "buffers/ring_buffer.h"
#include "buffers/wait_queue.h"
#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace port_test {

using ksim::u16;

// Interface key names of the three model classes (the printer's default is class 3).
inline u16 LinkedIdOf(const char *device_id)
{
    return ksim::W(device_id) + u"#PRN0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}
constexpr const char *kClass1 = "##?#USB#Vid_0419&Pid_0001";
constexpr const char *kClass2 = "##?#USB#Vid_1504&Pid_0006";
constexpr const char *kClass3 = "##?#USB#Vid_1504&Pid_0002";

// The parameters of the three device opens, as the printer records them.
constexpr ACCESS_MASK kWriteHandleAccess = 0x100003;
constexpr ACCESS_MASK kWriteAccess = 0x100002;
constexpr ACCESS_MASK kReadAccess = 0x3;

inline std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// One port: its PDO with PortName in the hardware key, the FDO the driver added, and the printer
// the port is linked to.
struct Port {
    std::unique_ptr<ksim::Pdo> pdo;
    std::unique_ptr<usbsim::SimPrinter> printer;
    u16 port_name;

    PDEVICE_OBJECT Fdo() const { return pdo->Top(); }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension); }
    NTSTATUS Open(std::unique_ptr<ksim::AppFile> *file) const { return ksim::AppFile::Open(pdo->Name(), file); }
    std::unique_ptr<ksim::AppFile> OpenOk() const
    {
        std::unique_ptr<ksim::AppFile> file;
        NTSTATUS status = Open(&file);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }
    // Opens of the device with the given access, in the order the printer saw them.
    size_t OpensWith(ACCESS_MASK access) const
    {
        auto opens = printer->Opens();
        return std::count_if(opens.begin(), opens.end(), [&](const auto &o) { return o.desired_access == access; });
    }
    ULONG RingCount() const { return RxBufferCount(Ext()->RxBuffer); }
    // The wait requests in the queue, oldest first, read without changing it.
    std::vector<PIRP> QueuedWaits() const
    {
        std::vector<PIRP> out;
        PDEVICE_EXTENSION e = Ext();
        for (ULONG i = e->WaitQueueOut; i != e->WaitQueueIn; i = (i + 1) % WAIT_QUEUE_SLOTS) out.push_back(e->WaitQueue[i]);
        return out;
    }
    bool EventSet(VP_EVENT_INDEX index) const { return KeReadStateEvent(&Ext()->Events[index]) != 0; }
};

class PortTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        base_system_handles_ = ksim::HandleCount(ksim::Process::System);
        base_app_handles_ = ksim::HandleCount(ksim::Process::Application);
    }

    void TearDown() override
    {
        files_.clear();
        ksim::Settle();
        for (auto &port : ports_) {
            if (port->pdo && !port->pdo->Removed()) port->pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
            port->pdo.reset();
            port->printer.reset();
        }
        ports_.clear();
        driver_.reset();
        KernelTest::TearDown();
    }

    // Adds a port named `name` whose printer answers as `config` says.
    Port &AddPort(const u16 &name = u"LPT3", usbsim::PrinterConfig config = {})
    {
        auto port = std::make_unique<Port>();
        port->port_name = name;
        u16 device = u"\\Device\\0000000" + ksim::W(std::to_string(2 + ports_.size()).c_str());
        port->pdo = std::make_unique<ksim::Pdo>(device);
        ksim::reg::CreateKey(port->pdo->HardwareKeyPath());
        ksim::reg::SetString(port->pdo->HardwareKeyPath(), u"PortName", name);
        EXPECT_EQ(port->pdo->AddDevice(*driver_), STATUS_SUCCESS);
        // The port's name, as the start of the device reads it from the hardware key.
        std::copy(name.begin(), name.end(), port->Ext()->PortName);
        port->Ext()->PortName[name.size()] = 0;
        port->printer = std::make_unique<usbsim::SimPrinter>(config);
        port->printer->WriteLinkConfig(name);
        ports_.push_back(std::move(port));
        return *ports_.back();
    }

    static usbsim::PrinterConfig ConfigFor(const char *device_id, int serial = 1)
    {
        usbsim::PrinterConfig config;
        std::string n = std::to_string(serial);
        config.linked_id = ksim::W(device_id) + u"#PRN000" + ksim::W(n.c_str()) + u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
        config.hardware_id = u"\\??\\USB#PRINTER" + ksim::W(n.c_str()) + u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
        return config;
    }

    // Opens the port and lets the workers settle into their first device read.
    ksim::AppFile &OpenPort(Port &port)
    {
        files_.push_back(port.OpenOk());
        ksim::AdvanceMs(1);
        return *files_.back();
    }

    // Advances time 1 ms at a time until pred holds or `limit_ms` have passed; returns the ms used.
    static int AdvanceUntil(const std::function<bool()> &pred, int limit_ms)
    {
        for (int ms = 0; ms <= limit_ms; ms++) {
            ksim::Settle();
            if (pred()) return ms;
            ksim::AdvanceMs(1);
        }
        return -1;
    }

    // Puts bytes into the port's ring the way the device does: as a reply to the read thread.
    static void Reply(Port &port, const std::vector<uint8_t> &bytes)
    {
        ULONG before = port.RingCount();
        port.printer->QueueReply(bytes);
        int used = AdvanceUntil([&] { return port.RingCount() >= before + bytes.size(); }, 20);
        EXPECT_GE(used, 0) << "the reply never reached the ring";
    }

    static std::vector<std::string> Log() { return ksim::DebugLog(); }
    static size_t CountInLog(const std::string &message)
    {
        auto log = Log();
        return std::count(log.begin(), log.end(), message);
    }
    // Position of the first occurrence of message in the log at or after `from`, or npos.
    static size_t FindInLog(const std::string &message, size_t from = 0)
    {
        auto log = Log();
        for (size_t i = from; i < log.size(); i++)
            if (log[i] == message) return i;
        return std::string::npos;
    }

    void SetTimeouts(Port &port, ULONG interval, ULONG multiplier, ULONG constant)
    {
        port.Ext()->Timeouts.ReadIntervalTimeout = interval;
        port.Ext()->Timeouts.ReadTotalTimeoutMultiplier = multiplier;
        port.Ext()->Timeouts.ReadTotalTimeoutConstant = constant;
    }

    // Runs fn on an application thread of its own; Join waits (as a kernel wait) for its end.
    // An application thread, a participant from its creation on (see ksim::ParticipantThread).
    using AppThread = ksim::ParticipantThread;

    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<ksim::AppFile>> files_;
    size_t base_system_handles_ = 0;
    size_t base_app_handles_ = 0;
};

// A request sent straight to the driver, for the cases an application cannot produce on its own
// (a cancel that comes before the driver has installed its cancel routine).
class RawIrp {
public:
    RawIrp(PDEVICE_OBJECT target, UCHAR major, ULONG length, bool cancel_first)
        : buffer_(length + 16, 0xEE)
    {
        irp_ = IoAllocateIrp(target->StackSize, FALSE);
        irp_->AssociatedIrp.SystemBuffer = buffer_.data();
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = major;
        stack->Parameters.Read.Length = length;
        IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
        if (cancel_first) IoCancelIrp(irp_);
        dispatch_ = IoCallDriver(target, irp_);
    }
    ~RawIrp()
    {
        if (completions_ == 0) {
            IoCancelIrp(irp_);
            ksim::Settle();
        }
        if (completions_ != 0) IoFreeIrp(irp_);
    }
    NTSTATUS Dispatch() const { return dispatch_; }
    int Completions() const { return completions_; }
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    PIRP Irp() const { return irp_; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<RawIrp *>(context);
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completions_++;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::vector<uint8_t> buffer_;
    PIRP irp_ = nullptr;
    NTSTATUS dispatch_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    std::atomic<int> completions_{0};
};

}  // namespace port_test
