// printer_client.h - the simulated USB receipt printer, as the Linux tests, tools and benchmarks
// use it on the kernel stand-in.
//
// The printer is the kernel driver of usb_printer_sim.cpp, the same source as vpusbsim.sys under
// Wine: the first SimPrinter of a kernel loads it as a second driver, the last one unloads it
// (unless a file is still open on one of its devices; it then stays loaded until the kernel goes).
// Each SimPrinter connects one of the driver's printers under its own names and drives it through
// the control device, with the requests of usbsim_control.h, as a kernel-mode client does:
// IoGetDeviceObjectPointer once, then one IRP per request. It holds no handle, so handle counts a
// test takes are the driver's alone.
//
// The link between a port and its printer is written here, with the key and value names of
// public/vparallel_public.h, as the package's tool writes it on Windows.
#pragma once

#include <ksim/ksim.h>

#include "public/vparallel_public.h"
#include "tests/printer/usbsim_entries.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace usbsim {

using ksim::u16;

// Text of the public header (16-bit wide characters in this build).
inline u16 FromWide(const wchar_t *text) { return u16(reinterpret_cast<const char16_t *>(text)); }

// The object-namespace paths of the link key (one subkey per port) and of the USB device-interface
// class key (one subkey per present device). Inline, so that they are ready before any constant a
// test builds from them.
inline const u16 kLinkKeyRoot = FromWide(VP_REGISTRY_MACHINE VP_LINK_KEY);
inline const u16 kUsbDeviceClassKey = FromWide(VP_REGISTRY_MACHINE VP_USB_DEVICE_CLASS_KEY);
// The parallel-port device map, where a started port names itself.
inline const u16 kDeviceMapKey = FromWide(VP_REGISTRY_MACHINE VP_DEVICE_MAP_KEY);
u16 LinkKey(const u16 &port_name);
// Writes HardwareId and LinkedId under the port's link key, as the installer does.
void WriteLink(const u16 &port_name, const u16 &hardware_id, const u16 &linked_id);

struct PrinterConfig {
    // Interface key name under kUsbDeviceClassKey.
    u16 linked_id = u"##?#USB#Vid_1504&Pid_0002#PRN0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    // Path the driver opens (what an installer stores as HardwareId).
    u16 hardware_id = u"\\??\\USB#Vid_1504&Pid_0002#PRN0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    UCHAR status_byte = VPSIM_DEFAULT_STATUS_BYTE;  // answer to the real-time status request
    bool answer_status_request = true;
};

struct OpenRecord {
    ACCESS_MASK desired_access;
    ULONG file_attributes;
    ULONG share_access;
    ULONG create_disposition;
    ULONG create_options;
    ksim::Process process;
    NTSTATUS status;  // what the printer answered
    ULONG file;       // the open's number (0 when refused)
};
struct WriteRecord {
    std::vector<uint8_t> bytes;
    ULONG length;
    NTSTATUS status;
};

class SimPrinter {
public:
    // Throws std::invalid_argument when another device already answers under the hardware id,
    // std::runtime_error when no printer of the driver is free.
    explicit SimPrinter(PrinterConfig config = {});
    ~SimPrinter();  // disconnects: device path and presence key go
    SimPrinter(const SimPrinter &) = delete;
    SimPrinter &operator=(const SimPrinter &) = delete;
    const u16 &HardwareId() const;
    const u16 &LinkedId() const;
    unsigned Index() const;  // the printer's device is \Device\VpUsbSim<Index>
    void WriteLinkConfig(const u16 &port_name) const;

    void Unplug();  // presence key gone, opens fail, pending reads end with STATUS_DEVICE_NOT_CONNECTED
    void Plug();
    void QueueReply(const std::vector<uint8_t> &bytes);  // answers the oldest pending read, or the next read
    void FailOpens(NTSTATUS status);                      // STATUS_SUCCESS stops failing
    void FailWrite(unsigned nth, NTSTATUS status);        // the nth write from now (1 = next) fails
    void SetNeverAnswer(bool never);                      // replies are held back; reads stay pending
    void SetWriteDelay(int64_t ticks);                    // every write takes this long (kernel time)
    void IgnoreCancel(bool ignore);                       // waiting reads cannot be cancelled

    // Records since the last ClearRecords. These throw std::runtime_error when the printer had to
    // drop records (its store is full): a test must not judge an incomplete record.
    std::vector<Record> Records() const;
    std::vector<OpenRecord> Opens() const;
    std::vector<WriteRecord> Writes() const;    // status requests included
    std::vector<uint8_t> WrittenBytes() const;  // all successful writes, status requests included
    size_t StatusRequests() const;
    size_t ReadsSeen() const;
    size_t PendingReads() const;
    size_t OpenFiles() const;  // created and not yet closed
    void ClearRecords();
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace usbsim
