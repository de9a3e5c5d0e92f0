// serial_fixture.h - a port added through the driver's AddDevice, and control requests sent
// straight to its functional device object, the way a driver above would send them: no open
// is needed, so the serial requests are tested on a port that is merely added.
//
// Each request's system buffer is exactly max(input, output) bytes, followed by guard bytes that
// must survive; output bytes not supplied as input are pre-filled with a marker, so a test can
// tell what the driver wrote.
#pragma once

#include "common/kernel_test.h"

#include "buffers/ring_buffer.h"
#include "buffers/wait_queue.h"
#include "driver/vparallel.h"
#include "serial/serial.h"
#include "tests/printer/printer_client.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace serial_test {

constexpr uint8_t kOutputMarker = 0xEE;
constexpr uint8_t kGuardByte = 0xCD;
constexpr size_t kGuardBytes = 32;

// One control request on its way through the driver.
class ControlIrp {
public:
    ControlIrp(PDEVICE_OBJECT target, ULONG code, const void *input, ULONG input_length, ULONG output_length,
               bool cancel_first = false);
    ~ControlIrp();
    ControlIrp(const ControlIrp &) = delete;
    ControlIrp &operator=(const ControlIrp &) = delete;

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
        int completions = 0;
        bool pending_returned = false;
    };
    static NTSTATUS OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    PIRP irp_ = nullptr;
    std::unique_ptr<State> state_;
    std::vector<uint8_t> buffer_;
    size_t system_length_ = 0;
    ULONG output_length_ = 0;
};

// The emulated state a control request may change, for "nothing changed" comparisons.
struct PortState {
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
    bool operator==(const PortState &other) const;
};
std::string Describe(const PortState &s);

std::vector<uint8_t> Bytes(const void *data, size_t length);
template <typename T>
std::vector<uint8_t> BytesOf(const T &value)
{
    return Bytes(&value, sizeof(T));
}

class SerialTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    PDEVICE_OBJECT Fdo() const;
    PDEVICE_EXTENSION Ext() const;
    PortState Snapshot() const;

    std::unique_ptr<ControlIrp> Send(ULONG code, const void *input = nullptr, ULONG input_length = 0,
                                     ULONG output_length = 0);
    template <typename T>
    std::unique_ptr<ControlIrp> SendValue(ULONG code, const T &value, ULONG output_length = 0)
    {
        return Send(code, &value, sizeof(T), output_length);
    }
    // Sends a code whose completion is expected at once and checks the completion is sane.
    std::unique_ptr<ControlIrp> Call(ULONG code, const void *input = nullptr, ULONG input_length = 0,
                                     ULONG output_length = 0);

    // A simulated printer whose presence key matches the port's LinkedId (as an open leaves it).
    void MakePresent();
    void MakeAbsent();
    void PutInRing(size_t count, uint8_t first = 0x40);

    // The requests in the wait-request queue, oldest first, read without changing it.
    std::vector<PIRP> QueuedWaits() const;

    std::unique_ptr<ksim::Driver> driver_;
    std::unique_ptr<ksim::Pdo> pdo_;
    std::unique_ptr<usbsim::SimPrinter> printer_;
};

}  // namespace serial_test
