// port_fixture.cpp - see port_fixture.h.
#include "port_fixture.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace port_test {

std::vector<uint8_t> Bytes(const void *data, size_t length)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + length);
}

// ---- DirectIrp ---------------------------------------------------------------------------------

DirectIrp::DirectIrp(PDEVICE_OBJECT target, ULONG code, const void *input, ULONG input_length, ULONG output_length,
                     bool cancel_first, PFILE_OBJECT file)
    : DirectIrp(target, IRP_MJ_DEVICE_CONTROL, code, input, input_length, output_length, cancel_first, file)
{
}

std::unique_ptr<DirectIrp> DirectIrp::Read(PDEVICE_OBJECT target, ULONG length, bool cancel_first, PFILE_OBJECT file)
{
    return std::unique_ptr<DirectIrp>(new DirectIrp(target, IRP_MJ_READ, 0, nullptr, 0, length, cancel_first, file));
}

std::unique_ptr<DirectIrp> DirectIrp::Send(PDEVICE_OBJECT target, UCHAR major, PFILE_OBJECT file)
{
    return std::unique_ptr<DirectIrp>(new DirectIrp(target, major, 0, nullptr, 0, 0, false, file));
}

DirectIrp::DirectIrp(PDEVICE_OBJECT target, UCHAR major, ULONG code, const void *input, ULONG input_length,
                     ULONG output_length, bool cancel_first, PFILE_OBJECT file)
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
    stack->MajorFunction = major;
    stack->FileObject = file;
    if (major == IRP_MJ_READ) {
        stack->Parameters.Read.Length = output_length;
    } else {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
        stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    }
    IoSetCompletionRoutine(irp_, OnComplete, state_.get(), TRUE, TRUE, TRUE);
    if (cancel_first) {
        EXPECT_FALSE(IoCancelIrp(irp_)) << "no cancel routine can be set yet";
    }
    state_->dispatch = IoCallDriver(target, irp_);
}

DirectIrp::~DirectIrp()
{
    if (!irp_) return;
    if (!Done()) {
        IoCancelIrp(irp_);
        ksim::Settle();
    }
    EXPECT_TRUE(Done()) << "request never completed";
    if (Done()) IoFreeIrp(irp_);
}

NTSTATUS DirectIrp::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *state = static_cast<State *>(context);
    state->status = irp->IoStatus.Status;
    state->information = irp->IoStatus.Information;
    state->completions++;
    // The request is ours: the I/O manager must not finish it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::vector<uint8_t> DirectIrp::Output(size_t length) const
{
    return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + std::min(length, system_length_));
}

ULONG DirectIrp::OutputUlong() const
{
    ULONG value = 0;
    if (system_length_ >= sizeof(value)) std::memcpy(&value, buffer_.data(), sizeof(value));
    return value;
}

bool DirectIrp::GuardIntact() const
{
    return std::all_of(buffer_.begin() + system_length_, buffer_.end(), [](uint8_t b) { return b == kGuardByte; });
}

BOOLEAN DirectIrp::Cancel()
{
    return IoCancelIrp(irp_);
}

// ---- Port ----------------------------------------------------------------------------------------

std::unique_ptr<ksim::AppFile> Port::OpenOk() const
{
    std::unique_ptr<ksim::AppFile> file;
    NTSTATUS status = Open(&file);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return file;
}

size_t Port::OpensWith(ACCESS_MASK access) const
{
    auto opens = printer->Opens();
    return std::count_if(opens.begin(), opens.end(), [&](const auto &o) { return o.desired_access == access; });
}

std::vector<PIRP> Port::QueuedWaits() const
{
    std::vector<PIRP> out;
    PDEVICE_EXTENSION e = Ext();
    for (ULONG i = e->WaitQueueOut; i != e->WaitQueueIn; i = (i + 1) % WAIT_QUEUE_SLOTS) out.push_back(e->WaitQueue[i]);
    return out;
}

void Port::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) const
{
    SERIAL_TIMEOUTS &t = Ext()->Timeouts;
    VpStore(reinterpret_cast<volatile ULONG *>(&t.ReadIntervalTimeout), interval);
    VpStore(reinterpret_cast<volatile ULONG *>(&t.ReadTotalTimeoutMultiplier), multiplier);
    VpStore(reinterpret_cast<volatile ULONG *>(&t.ReadTotalTimeoutConstant), constant);
}

void Port::SetCounts(LONG received, LONG transmitted) const
{
    InterlockedExchange(&Ext()->ReceivedCount, received);
    InterlockedExchange(&Ext()->TransmittedCount, transmitted);
}

void Port::PutInRing(const std::vector<uint8_t> &bytes) const
{
    ASSERT_EQ(RxBufferWrite(Ext()->RxBuffer, bytes.data(), ULONG(bytes.size())), ULONG(bytes.size()));
}

void Port::TakeLinkedIdFromPrinter() const
{
    const u16 &id = printer->LinkedId();
    ASSERT_LT(id.size(), size_t(VP_NAME_CHARS));
    std::memset(Ext()->LinkedId, 0, sizeof(Ext()->LinkedId));
    std::memcpy(Ext()->LinkedId, id.data(), id.size() * sizeof(WCHAR));
}

std::optional<VP_LAST_REFUSAL> Port::LastRefusal() const
{
    ksim::Settle();
    auto value = reg::GetValue(pdo->HardwareKeyPath(), usbsim::FromWide(VP_LAST_REFUSAL_VALUE));
    if (!value) return std::nullopt;
    EXPECT_EQ(value->type, ULONG(REG_BINARY));
    EXPECT_EQ(value->data.size(), sizeof(VP_LAST_REFUSAL));
    if (value->data.size() != sizeof(VP_LAST_REFUSAL)) return std::nullopt;
    VP_LAST_REFUSAL record;
    std::memcpy(&record, value->data.data(), sizeof record);
    return record;
}

// ---- PortTest --------------------------------------------------------------------------------------

std::vector<uint8_t> DriverMessageTable()
{
    std::ifstream file(VPARALLEL_MESSAGE_TABLE, std::ios::binary);
    EXPECT_TRUE(file.good()) << VPARALLEL_MESSAGE_TABLE;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void PortTest::SetUp()
{
    KernelTest::SetUp();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ksim::SetMessageTable(driver_->Object(), DriverMessageTable());
    base_system_handles_ = ksim::HandleCount(ksim::Process::System);
    base_app_handles_ = ksim::HandleCount(ksim::Process::Application);
}

void PortTest::TearDown()
{
    files_.clear();
    ksim::Settle();
    for (auto &port : ports_) {
        if (port->pdo && !port->pdo->Removed() && port->pdo->Top() != port->pdo->Object()) {
            port->pdo->SetAnswer(IRP_MJ_PNP, STATUS_SUCCESS, /*pend=*/false);
            port->pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        }
        port->pdo.reset();
        port->printer.reset();
    }
    ports_.clear();
    driver_.reset();
    KernelTest::TearDown();
}

Port &PortTest::AddBarePort(const u16 &pdo_name)
{
    auto port = std::make_unique<Port>();
    u16 device = pdo_name.empty() ? u"\\Device\\0000000" + ksim::W(std::to_string(2 + ports_.size()).c_str()) : pdo_name;
    port->pdo = std::make_unique<ksim::Pdo>(device);
    reg::CreateKey(port->pdo->HardwareKeyPath());
    EXPECT_EQ(port->pdo->AddDevice(*driver_), STATUS_SUCCESS);
    ports_.push_back(std::move(port));
    return *ports_.back();
}

Port &PortTest::AddPort(const u16 &name, usbsim::PrinterConfig config)
{
    Port &port = AddBarePort();
    port.port_name = name;
    reg::SetString(port.pdo->HardwareKeyPath(), u"PortName", name);
    std::copy(name.begin(), name.end(), port.Ext()->PortName);
    port.Ext()->PortName[name.size()] = 0;
    port.printer = std::make_unique<usbsim::SimPrinter>(config);
    port.printer->WriteLinkConfig(name);
    return port;
}

usbsim::PrinterConfig PortTest::ConfigFor(const char *device_id, int serial)
{
    usbsim::PrinterConfig config;
    std::string n = std::to_string(serial);
    config.linked_id = ksim::W(device_id) + u"#PRN000" + ksim::W(n.c_str()) + u"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    config.hardware_id = u"\\??\\USB#PRINTER" + ksim::W(n.c_str()) + u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    return config;
}

ksim::AppFile &PortTest::OpenPort(Port &port)
{
    files_.push_back(port.OpenOk());
    ksim::AdvanceMs(1);
    return *files_.back();
}

int PortTest::AdvanceUntil(const std::function<bool()> &pred, int limit_ms)
{
    for (int ms = 0; ms <= limit_ms; ms++) {
        ksim::Settle();
        if (pred()) return ms;
        ksim::AdvanceMs(1);
    }
    return -1;
}

void PortTest::Reply(Port &port, const std::vector<uint8_t> &bytes)
{
    ULONG before = port.RingCount();
    port.printer->QueueReply(bytes);
    int used = AdvanceUntil([&] { return port.RingCount() >= before + bytes.size(); }, 20);
    EXPECT_GE(used, 0) << "the reply never reached the ring";
}

size_t PortTest::CountInLog(const std::string &message)
{
    auto log = Log();
    return std::count(log.begin(), log.end(), message);
}

size_t PortTest::FindInLog(const std::string &message, size_t from)
{
    auto log = Log();
    for (size_t i = from; i < log.size(); i++)
        if (log[i] == message) return i;
    return std::string::npos;
}

// ---- SerialTest ----------------------------------------------------------------------------------

void SerialTest::SetUp()
{
    PortTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = &AddPort();
    ASSERT_NE(Ext()->RxBuffer, nullptr);
}

std::unique_ptr<DirectIrp> SerialTest::Send(ULONG code, const void *input, ULONG input_length, ULONG output_length)
{
    return std::make_unique<DirectIrp>(Fdo(), code, input, input_length, output_length);
}

std::unique_ptr<DirectIrp> SerialTest::Call(ULONG code, const void *input, ULONG input_length, ULONG output_length)
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
    port_->printer->Plug();
    port_->TakeLinkedIdFromPrinter();
}

void SerialTest::MakeAbsent()
{
    MakePresent();
    port_->printer->Unplug();
}

bool SerialTest::Settings::operator==(const Settings &o) const
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

std::string SerialTest::Describe(const Settings &s)
{
    std::ostringstream out;
    out << std::hex << "baud " << s.baud_rate << " line " << int(s.line_control.StopBits) << "/"
        << int(s.line_control.Parity) << "/" << int(s.line_control.WordLength) << " modem " << s.modem_status
        << " mcr " << s.modem_control << " dtrrts " << s.dtr_rts << " waitmask " << s.wait_mask << " queue "
        << s.wait_out << ".." << s.wait_in << " notify " << s.notify << " read " << s.pending_read << " ring "
        << s.ring_count;
    return out.str();
}

SerialTest::Settings SerialTest::Snapshot() const
{
    PDEVICE_EXTENSION e = Ext();
    Settings s{};
    s.baud_rate = e->BaudRate;
    s.line_control = e->LineControl;
    s.timeouts = e->Timeouts;
    s.hand_flow = e->HandFlow;
    s.chars = e->SpecialChars;
    s.modem_status = port_->ModemLines();
    s.modem_control = port_->ModemControl();
    s.dtr_rts = VpLoad(&e->DtrRts);
    s.wait_mask = port_->WaitMask();
    s.wait_in = e->WaitQueueIn;
    s.wait_out = e->WaitQueueOut;
    s.received = e->ReceivedCount;
    s.transmitted = e->TransmittedCount;
    s.notify = e->NotifyIrp;
    s.pending_read = e->PendingReadIrp;
    s.ring_count = RxBufferCount(e->RxBuffer);
    return s;
}

}  // namespace port_test
