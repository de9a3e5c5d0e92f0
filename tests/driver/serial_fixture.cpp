// serial_fixture.cpp - see serial_fixture.h.
#include "serial_fixture.h"

#include <algorithm>
#include <sstream>

namespace serial_test {

std::vector<uint8_t> Bytes(const void *data, size_t length)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + length);
}

ControlIrp::ControlIrp(PDEVICE_OBJECT target, ULONG code, const void *input, ULONG input_length,
                       ULONG output_length, bool cancel_first)
    : state_(std::make_unique<State>()), output_length_(output_length)
{
    system_length_ = std::max(input_length, output_length);
    buffer_.assign(system_length_ + kGuardBytes, kGuardByte);
    std::fill(buffer_.begin(), buffer_.begin() + system_length_, kOutputMarker);
    if (input_length) std::memcpy(buffer_.data(), input, input_length);

    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    EXPECT_NE(irp_, nullptr);
    if (!irp_) return;
    irp_->AssociatedIrp.SystemBuffer = system_length_ ? buffer_.data() : nullptr;
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp_->IoStatus.Information = 0xBAD;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    IoSetCompletionRoutine(irp_, OnComplete, state_.get(), TRUE, TRUE, TRUE);
    if (cancel_first) {
        // A cancel that reaches the request before any cancel routine is installed.
        EXPECT_FALSE(IoCancelIrp(irp_));
    }
    state_->dispatch = IoCallDriver(target, irp_);
}

ControlIrp::~ControlIrp()
{
    if (!irp_) return;
    if (!Done()) {
        IoCancelIrp(irp_);
    }
    EXPECT_TRUE(Done()) << "request never completed";
    if (Done()) IoFreeIrp(irp_);
}

NTSTATUS ControlIrp::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *state = static_cast<State *>(context);
    state->status = irp->IoStatus.Status;
    state->information = irp->IoStatus.Information;
    state->pending_returned = irp->PendingReturned;
    state->completions++;
    // The request is ours: the I/O manager must not finish it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::vector<uint8_t> ControlIrp::Output(size_t length) const
{
    return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + std::min(length, system_length_));
}

ULONG ControlIrp::OutputUlong() const
{
    ULONG value = 0;
    if (system_length_ >= sizeof(value)) std::memcpy(&value, buffer_.data(), sizeof(value));
    return value;
}

bool ControlIrp::GuardIntact() const
{
    return std::all_of(buffer_.begin() + system_length_, buffer_.end(), [](uint8_t b) { return b == kGuardByte; });
}

BOOLEAN ControlIrp::Cancel()
{
    return IoCancelIrp(irp_);
}

bool PortState::operator==(const PortState &o) const
{
    return baud_rate == o.baud_rate && std::memcmp(&line_control, &o.line_control, sizeof(line_control)) == 0 &&
           std::memcmp(&timeouts, &o.timeouts, sizeof(timeouts)) == 0 &&
           std::memcmp(&hand_flow, &o.hand_flow, sizeof(hand_flow)) == 0 &&
           std::memcmp(&chars, &o.chars, sizeof(chars)) == 0 && modem_status == o.modem_status &&
           modem_control == o.modem_control && dtr_rts == o.dtr_rts && wait_mask == o.wait_mask &&
           wait_in == o.wait_in && wait_out == o.wait_out && received == o.received &&
           transmitted == o.transmitted && notify == o.notify && pending_read == o.pending_read &&
           ring_count == o.ring_count;
}

std::string Describe(const PortState &s)
{
    std::ostringstream out;
    out << std::hex << "baud " << s.baud_rate << " line " << int(s.line_control.StopBits) << "/"
        << int(s.line_control.Parity) << "/" << int(s.line_control.WordLength) << " modem " << s.modem_status
        << " mcr " << s.modem_control << " dtrrts " << s.dtr_rts << " waitmask " << s.wait_mask << " queue "
        << s.wait_out << ".." << s.wait_in << " notify " << s.notify << " read " << s.pending_read << " ring "
        << s.ring_count;
    return out.str();
}

void SerialTest::SetUp()
{
    KernelTest::SetUp();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_TRUE(driver_);
    pdo_ = std::make_unique<ksim::Pdo>();
    ASSERT_EQ(pdo_->AddDevice(*driver_), STATUS_SUCCESS);
    ASSERT_NE(Ext()->RxBuffer, nullptr);
}

void SerialTest::TearDown()
{
    if (pdo_ && !pdo_->Removed()) {
        pdo_->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    }
    pdo_.reset();
    printer_.reset();
    driver_.reset();
    KernelTest::TearDown();
}

PDEVICE_OBJECT SerialTest::Fdo() const
{
    return pdo_->Top();
}

PDEVICE_EXTENSION SerialTest::Ext() const
{
    return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension);
}

PortState SerialTest::Snapshot() const
{
    PDEVICE_EXTENSION e = Ext();
    PortState s{};
    s.baud_rate = e->BaudRate;
    s.line_control = e->LineControl;
    s.timeouts = e->Timeouts;
    s.hand_flow = e->HandFlow;
    s.chars = e->SpecialChars;
    s.modem_status = e->ModemStatus;
    s.modem_control = e->ModemControl;
    s.dtr_rts = e->DtrRts;
    s.wait_mask = e->WaitMask;
    s.wait_in = e->WaitQueueIn;
    s.wait_out = e->WaitQueueOut;
    s.received = e->ReceivedCount;
    s.transmitted = e->TransmittedCount;
    s.notify = e->NotifyIrp;
    s.pending_read = e->PendingReadIrp;
    s.ring_count = RxBufferCount(e->RxBuffer);
    return s;
}

std::unique_ptr<ControlIrp> SerialTest::Send(ULONG code, const void *input, ULONG input_length, ULONG output_length)
{
    return std::make_unique<ControlIrp>(Fdo(), code, input, input_length, output_length);
}

std::unique_ptr<ControlIrp> SerialTest::Call(ULONG code, const void *input, ULONG input_length, ULONG output_length)
{
    auto irp = Send(code, input, input_length, output_length);
    EXPECT_TRUE(irp->Done()) << std::hex << "code " << code;
    EXPECT_EQ(irp->Completions(), 1);
    EXPECT_EQ(irp->Dispatch(), irp->Status()) << std::hex << "code " << code;
    EXPECT_LE(irp->Information(), output_length) << std::hex << "code " << code;
    EXPECT_TRUE(irp->GuardIntact()) << std::hex << "code " << code;
    return irp;
}

void SerialTest::MakePresent()
{
    if (!printer_) printer_ = std::make_unique<usbsim::SimPrinter>();
    printer_->Plug();
    const ksim::u16 &id = printer_->LinkedId();
    ASSERT_LT(id.size(), size_t(VP_NAME_CHARS));
    std::memset(Ext()->LinkedId, 0, sizeof(Ext()->LinkedId));
    std::memcpy(Ext()->LinkedId, id.data(), id.size() * sizeof(WCHAR));
}

void SerialTest::MakeAbsent()
{
    MakePresent();
    printer_->Unplug();
}

void SerialTest::PutInRing(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++) bytes[i] = uint8_t(first + i);
    ASSERT_EQ(RxBufferWrite(Ext()->RxBuffer, bytes.data(), ULONG(count)), ULONG(count));
}

std::vector<PIRP> SerialTest::QueuedWaits() const
{
    std::vector<PIRP> irps;
    PDEVICE_EXTENSION e = Ext();
    for (ULONG i = e->WaitQueueOut; i != e->WaitQueueIn; i = (i + 1) % WAIT_QUEUE_SLOTS) irps.push_back(e->WaitQueue[i]);
    return irps;
}

}  // namespace serial_test
