// port_fixture.h - the one fixture of the driver's tests: a loaded driver and its ports, each
// added through the driver's AddDevice and linked to a simulated printer; an application that
// opens them through the PDO's name (which reaches the top of the stack, the driver's FDO); and
// requests sent straight to an FDO, as a driver above it would send them. The verifier runs in
// every test through KernelTest.
//
// Tests seed and read the port's state through Port's named helpers, never by writing the
// extension's fields themselves, so a change in how the driver keeps its state touches the
// helpers only.
#pragma once

#include "common/kernel_test.h"

#include "buffers/ring_buffer.h"
#include "buffers/wait_queue.h"
#include "driver/vparallel.h"
#include "serial/serial.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace port_test {

using ksim::u16;
namespace reg = ksim::reg;

// ---- Names and data ------------------------------------------------------------------------------

using usbsim::kDeviceMapKey;

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

std::vector<uint8_t> Bytes(const void *data, size_t length);
template <typename T>
std::vector<uint8_t> BytesOf(const T &value)
{
    return Bytes(&value, sizeof(T));
}

// ---- A request sent straight to a device ------------------------------------------------------------

// A request on its way through the driver, sent without an open, as a kernel-mode component sends
// it: with no file object, unless `file` gives one (the request then comes as through that file's
// handle). Its system buffer is exactly max(input, output) bytes, followed by guard bytes that
// must survive; output bytes not supplied as input are pre-filled with a marker, so a test can
// tell what the driver wrote. cancel_first: a cancel reaches the request before any cancel routine
// is set.
constexpr uint8_t kOutputMarker = 0xEE;
constexpr uint8_t kGuardByte = 0xCD;
constexpr size_t kGuardBytes = 32;

class DirectIrp {
public:
    // IRP_MJ_DEVICE_CONTROL with this code.
    DirectIrp(PDEVICE_OBJECT target, ULONG code, const void *input, ULONG input_length, ULONG output_length,
              bool cancel_first = false, PFILE_OBJECT file = nullptr);
    // IRP_MJ_READ of this many bytes.
    static std::unique_ptr<DirectIrp> Read(PDEVICE_OBJECT target, ULONG length, bool cancel_first = false,
                                           PFILE_OBJECT file = nullptr);
    // A request of this major function that carries no parameters (close, cleanup, flush).
    static std::unique_ptr<DirectIrp> Send(PDEVICE_OBJECT target, UCHAR major, PFILE_OBJECT file = nullptr);
    ~DirectIrp();  // cancels the request if it is still pending; it must complete
    DirectIrp(const DirectIrp &) = delete;
    DirectIrp &operator=(const DirectIrp &) = delete;

    NTSTATUS Dispatch() const { return state_->dispatch; }
    bool Done() const { return state_->completions > 0; }
    int Completions() const { return state_->completions; }
    NTSTATUS Status() const { return state_->status; }
    ULONG_PTR Information() const { return state_->information; }
    // The first `length` bytes of the system buffer as the driver left them.
    std::vector<uint8_t> Output(size_t length) const;
    ULONG OutputUlong() const;
    bool GuardIntact() const;
    ULONG OutputLength() const { return output_length_; }
    BOOLEAN Cancel();  // IoCancelIrp
    PIRP Irp() const { return irp_; }

private:
    struct State {
        NTSTATUS dispatch = STATUS_PENDING;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
        std::atomic<int> completions{0};
    };
    DirectIrp(PDEVICE_OBJECT target, UCHAR major, ULONG code, const void *input, ULONG input_length,
              ULONG output_length, bool cancel_first, PFILE_OBJECT file);
    static NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    PIRP irp_ = nullptr;
    std::unique_ptr<State> state_;
    std::vector<uint8_t> buffer_;
    size_t system_length_ = 0;
    ULONG output_length_ = 0;
};

// ---- One port -------------------------------------------------------------------------------------

// A PDO with its hardware key, the FDO the driver added above it, and the printer the port is
// linked to (none for a bare port).
struct Port {
    std::unique_ptr<ksim::Pdo> pdo;
    std::unique_ptr<usbsim::SimPrinter> printer;
    u16 port_name;

    PDEVICE_OBJECT Fdo() const { return pdo->Top(); }
    PDEVICE_EXTENSION Ext() const { return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension); }

    // The application's open of the port.
    NTSTATUS Open(std::unique_ptr<ksim::AppFile> *file) const { return ksim::AppFile::Open(pdo->Name(), file); }
    std::unique_ptr<ksim::AppFile> OpenOk() const;

    // Opens of the device with the given access, as the printer saw them.
    size_t OpensWith(ACCESS_MASK access) const;

    // The port's state, read as the driver keeps it.
    ULONG IsOpen() const { return VpIsOpen(Ext()); }
    ULONG RingCount() const { return RxBufferCount(Ext()->RxBuffer); }
    std::vector<PIRP> QueuedWaits() const;  // oldest first, read without changing the queue
    bool EventSet(VP_EVENT_INDEX index) const { return KeReadStateEvent(&Ext()->Events[index]) != 0; }
    ULONG ModemLines() const { return VpLoad(&Ext()->ModemStatus); }
    ULONG ModemControl() const { return VpLoad(&Ext()->ModemControl); }
    ULONG WaitMask() const { return VpLoad(&Ext()->WaitMask); }
    PIRP PendingRead() const { return Ext()->PendingReadIrp; }
    PIRP Notify() const { return Ext()->NotifyIrp; }
    HANDLE WriteHandle() const { return VpWriteHandle(Ext()); }

    // Seeding: the state a test starts from, stored as the driver's own requests store it.
    void SetState(VP_PORT_STATE state) const { VpSetPortState(Ext(), state); }
    void SetWaitMask(ULONG mask) const { VpStore(&Ext()->WaitMask, mask); }
    void SetModemControl(ULONG value) const { VpStore(&Ext()->ModemControl, value); }
    void SetModemLines(ULONG lines) const { VpStore(&Ext()->ModemStatus, lines); }
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) const;
    void SetCounts(LONG received, LONG transmitted) const;
    void PutInRing(const std::vector<uint8_t> &bytes) const;
    // LinkedId as an open leaves it: the presence test then follows the printer's presence key.
    void TakeLinkedIdFromPrinter() const;
    // The port's stored last refusal (VP_LAST_REFUSAL_VALUE in its hardware key), once the driver's
    // store has run; none when the value is missing. A value of the wrong type or size fails.
    std::optional<VP_LAST_REFUSAL> LastRefusal() const;
};

// ---- A loaded driver and its ports -----------------------------------------------------------------

// The message table vparallel.sys carries, as windmc wrote it from driver/vparallel_log.mc. Every
// PortTest gives it to the stand-in, which checks the driver's event-log entries against it.
std::vector<uint8_t> DriverMessageTable();

class PortTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A port named `name` whose printer answers as `config` says, linked to it, with the name
    // stored in the extension as a start would store it. The port is added, not started.
    Port &AddPort(const u16 &name = u"LPT3", usbsim::PrinterConfig config = {});
    // A PDO with an empty hardware key and the FDO the driver added: no name, no printer.
    Port &AddBarePort(const u16 &pdo_name = {});

    static usbsim::PrinterConfig ConfigFor(const char *device_id, int serial = 1);

    // Opens the port and lets the workers settle into their first device read.
    ksim::AppFile &OpenPort(Port &port);

    // Advances time 1 ms at a time until pred holds or `limit_ms` have passed; returns the ms used.
    static int AdvanceUntil(const std::function<bool()> &pred, int limit_ms);
    // Puts bytes into the port's ring the way the device does: as a reply to the read thread.
    static void Reply(Port &port, const std::vector<uint8_t> &bytes);

    static std::vector<std::string> Log() { return ksim::DebugLog(); }
    static size_t CountInLog(const std::string &message);
    // Position of the first occurrence of message in the log at or after `from`, or npos.
    static size_t FindInLog(const std::string &message, size_t from = 0);

    // An application thread, a participant from its creation on (see ksim::ParticipantThread).
    using AppThread = ksim::ParticipantThread;

    std::unique_ptr<ksim::Driver> driver_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<std::unique_ptr<ksim::AppFile>> files_;
    size_t base_system_handles_ = 0;
    size_t base_app_handles_ = 0;
};

// ---- Control requests to one added port ----------------------------------------------------------

// The serial control requests on a port that is merely added: no open is needed, and the
// presence test fails until MakePresent.
class SerialTest : public PortTest {
protected:
    void SetUp() override;

    Port &port() const { return *port_; }
    PDEVICE_OBJECT Fdo() const { return port_->Fdo(); }
    PDEVICE_EXTENSION Ext() const { return port_->Ext(); }

    std::unique_ptr<DirectIrp> Send(ULONG code, const void *input = nullptr, ULONG input_length = 0,
                                    ULONG output_length = 0);
    template <typename T>
    std::unique_ptr<DirectIrp> SendValue(ULONG code, const T &value, ULONG output_length = 0)
    {
        return Send(code, &value, sizeof(T), output_length);
    }
    // Sends a code whose completion is expected at once and checks the completion is sane.
    std::unique_ptr<DirectIrp> Call(ULONG code, const void *input = nullptr, ULONG input_length = 0,
                                    ULONG output_length = 0);

    // The printer present or absent, as the presence test sees it after an open.
    void MakePresent();
    void MakeAbsent();
    void PutInRing(size_t count, uint8_t first = 0x40) { port_->PutInRing(Pattern(count, first)); }
    std::vector<PIRP> QueuedWaits() const { return port_->QueuedWaits(); }

    // The emulated state a control request may change, for "nothing changed" comparisons.
    struct Settings {
        ULONG baud_rate;
        SERIAL_LINE_CONTROL line_control;
        SERIAL_TIMEOUTS timeouts;
        SERIAL_HANDFLOW hand_flow;
        SERIAL_CHARS chars;
        ULONG modem_status;
        ULONG modem_control;
        ULONG dtr_rts;
        ULONG wait_mask;
        ULONG wait_in;
        ULONG wait_out;
        LONG received;
        LONG transmitted;
        PIRP notify;
        PIRP pending_read;
        ULONG ring_count;
        bool operator==(const Settings &other) const;
    };
    Settings Snapshot() const;
    static std::string Describe(const Settings &s);

private:
    Port *port_ = nullptr;
};

}  // namespace port_test
