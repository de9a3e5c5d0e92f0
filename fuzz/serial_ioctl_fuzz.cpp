// serial_ioctl_fuzz.cpp - libFuzzer target for the serial control requests.
//
// Each input is a script run against one freshly added port on a fresh kernel: control requests
// with chosen or random codes, buffer lengths and contents, cancels (before and after the driver
// parks a request), purges, bytes arriving in the ring, the device coming and going, and the
// surprise-removal hand-over of the parked notify request. After every step the stand-in's
// verifier must be clean and every completed request must have been completed once, with
// Information within its output length and nothing written past its system buffer. At the end
// every request still pending is cancelled and must complete; the device is removed and nothing
// may leak.
#include <ksim/ksim.h>

#include "buffers/ring_buffer.h"
#include "driver/vparallel.h"
#include "serial/serial.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const ULONG kCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,     IOCTL_SERIAL_SET_QUEUE_SIZE,   IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,      IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,      IOCTL_SERIAL_GET_TIMEOUTS,     IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,           IOCTL_SERIAL_RESET_DEVICE,     IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,           IOCTL_SERIAL_SET_XOFF,         IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,     IOCTL_SERIAL_SET_WAIT_MASK,    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,             IOCTL_SERIAL_GET_BAUD_RATE,    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,         IOCTL_SERIAL_SET_CHARS,        IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,      IOCTL_SERIAL_GET_MODEMSTATUS,  IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,      IOCTL_SERIAL_GET_PROPERTIES,   IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,     IOCTL_SERIAL_CONFIG_SIZE,      IOCTL_SERIAL_GET_COMMCONFIG,
    IOCTL_SERIAL_SET_COMMCONFIG,    IOCTL_SERIAL_GET_STATS,        IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
    IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, IOCTL_VPARALLEL_NOTIFY_REMOVAL, IOCTL_VPARALLEL_NOP,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xCD;

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "serial fuzz: %s\n", what);
    for (const auto &v : ksim::Violations()) std::fprintf(stderr, "  %s: %s\n", v.rule.c_str(), v.detail.c_str());
    std::abort();
}

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    ULONG Ulong()
    {
        ULONG v = 0;
        for (int i = 0; i < 4; i++) v = (v << 8) | Byte();
        return v;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Request {
    PIRP irp = nullptr;
    std::vector<uint8_t> buffer;
    size_t system_length = 0;
    ULONG output_length = 0;
    int completions = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<Request *>(context);
        self->completions++;
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    void Check() const
    {
        if (completions > 1) Fail("request completed more than once");
        if (!std::all_of(buffer.begin() + system_length, buffer.end(), [](uint8_t b) { return b == kGuardByte; }))
            Fail("write past the system buffer");
        if (completions == 1) {
            if (information > output_length) Fail("Information beyond the output length");
            if (status == STATUS_PENDING) Fail("completed with STATUS_PENDING");
        }
    }
};

class Harness {
public:
    Harness()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        if (!driver_ || status != STATUS_SUCCESS) Fail("driver did not load");
        pdo_ = std::make_unique<ksim::Pdo>();
        if (pdo_->AddDevice(*driver_) != STATUS_SUCCESS) Fail("AddDevice failed");
        printer_ = std::make_unique<usbsim::SimPrinter>();
        const ksim::u16 &id = printer_->LinkedId();
        std::memcpy(Ext()->LinkedId, id.data(), std::min(id.size(), size_t(VP_NAME_CHARS - 1)) * sizeof(WCHAR));
    }

    PDEVICE_OBJECT Fdo() const { return pdo_->Top(); }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension); }

    void Send(ULONG code, ULONG in, ULONG out, Input &input, bool cancel_first)
    {
        auto r = std::make_unique<Request>();
        r->system_length = std::max(in, out);
        r->output_length = out;
        r->buffer.assign(r->system_length + kGuard, kGuardByte);
        for (size_t i = 0; i < r->system_length; i++) r->buffer[i] = i < in ? input.Byte() : 0xEE;
        r->irp = IoAllocateIrp(Fdo()->StackSize, FALSE);
        if (!r->irp) Fail("IoAllocateIrp");
        r->irp->AssociatedIrp.SystemBuffer = r->system_length ? r->buffer.data() : nullptr;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(r->irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = in;
        stack->Parameters.DeviceIoControl.OutputBufferLength = out;
        IoSetCompletionRoutine(r->irp, Request::OnComplete, r.get(), TRUE, TRUE, TRUE);
        if (cancel_first) IoCancelIrp(r->irp);
        NTSTATUS dispatch = IoCallDriver(Fdo(), r->irp);
        if (dispatch != STATUS_PENDING && (r->completions != 1 || r->status != dispatch))
            Fail("dispatch status differs from the completion");
        if (cancel_first && r->completions == 0) Fail("request cancelled before parking left pending");
        requests_.push_back(std::move(r));
    }

    void CancelOne(size_t pick)
    {
        std::vector<Request *> pending;
        for (auto &r : requests_)
            if (r->completions == 0) pending.push_back(r.get());
        if (pending.empty()) return;
        Request *r = pending[pick % pending.size()];
        IoCancelIrp(r->irp);
        if (r->completions != 1 || r->status != STATUS_CANCELLED) Fail("cancelled request not completed as cancelled");
    }

    void CheckAll()
    {
        for (auto &r : requests_) r->Check();
        if (!ksim::Violations().empty()) Fail("verifier violation");
        if (Ext()->ModemStatus & ~ULONG(VP_MODEM_LINES)) Fail("ModemStatus holds another bit");
        if (RxBufferCount(Ext()->RxBuffer) > RX_BUFFER_SIZE - 1) Fail("ring count out of range");
    }

    void Finish()
    {
        for (auto &r : requests_)
            if (r->completions == 0) IoCancelIrp(r->irp);
        CheckAll();
        for (auto &r : requests_) {
            if (r->completions != 1) Fail("request left pending after cancel");
            IoFreeIrp(r->irp);
        }
        requests_.clear();
        pdo_->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        pdo_.reset();
        printer_.reset();
        driver_.reset();
        ksim::CheckLeaks();
        if (!ksim::Violations().empty()) Fail("verifier violation at teardown");
    }

    usbsim::SimPrinter &Printer() { return *printer_; }

private:
    std::unique_ptr<ksim::Driver> driver_;
    std::unique_ptr<ksim::Pdo> pdo_;
    std::unique_ptr<usbsim::SimPrinter> printer_;
    std::vector<std::unique_ptr<Request>> requests_;
};

ULONG PickLength(uint8_t b)
{
    // Mostly around the record sizes (0..70), sometimes larger.
    return b < 0xF0 ? ULONG(b % 71) : ULONG(b) * 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) return 0;
    Input input(data, size);
    ksim::Kernel kernel;
    {
        Harness h;
        int steps = 0;
        while (!input.Empty() && steps++ < 200) {
            const uint8_t op = input.Byte();
            switch (op % 8) {
            case 0:
            case 1:
            case 2: {  // a listed code
                const ULONG code = kCodes[input.Byte() % kCodeCount];
                const ULONG in = PickLength(input.Byte());
                const ULONG out = PickLength(input.Byte());
                h.Send(code, in, out, input, false);
                break;
            }
            case 3: {  // any code, possibly cancelled before the driver sees it
                const ULONG code = (op & 0x40) ? input.Ulong() : kCodes[input.Byte() % kCodeCount];
                const ULONG in = PickLength(input.Byte());
                const ULONG out = PickLength(input.Byte());
                h.Send(code, in, out, input, (op & 0x80) != 0);
                break;
            }
            case 4:
                h.CancelOne(input.Byte());
                break;
            case 5: {  // bytes arrive from the device
                std::vector<uint8_t> bytes(input.Byte());
                RxBufferWrite(h.Ext()->RxBuffer, bytes.data(), ULONG(bytes.size()));
                break;
            }
            case 6:
                if (op & 0x80)
                    h.Printer().Unplug();
                else
                    h.Printer().Plug();
                break;
            case 7:
                CompleteNotifyIrp(h.Ext());
                break;
            }
            h.CheckAll();
        }
        h.Finish();
    }
    return 0;
}
