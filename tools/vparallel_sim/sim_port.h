// sim_port.h - a port of the driver on the simulated kernel, set up the way Plug and Play and the
// installer would: a root-enumerated PDO whose device key names the port, the driver's FDO added
// above it, a simulated USB printer and the link values that point the port at it. Used by
// vparallel-sim and by the benchmarks. A ksim::Kernel must exist while any of this lives.
#pragma once

#include <ksim/ksim.h>
#include "tests/printer/printer_client.h"

#include <memory>
#include <string>

namespace vpsim {

// The USB device id of a printer of each model class, as LinkedId carries it.
std::string DeviceIdOfClass(int model_class);

// A printer of the given model class with a serial number of its own, so that several can be
// plugged in at once.
usbsim::PrinterConfig PrinterConfigFor(int model_class, int serial);

// "\Device\00000002" for index 0, "\Device\00000003" for index 1, ...
ksim::u16 PdoNameFor(int index);

// Readable NTSTATUS: its name for the values the driver and the stand-in use, hex otherwise.
std::string StatusName(NTSTATUS status);

struct SimPort {
    SimPort(const std::string &port_name, int model_class, int index);
    ~SimPort();  // the printer and the PDO go; the caller has closed, removed and unloaded
    SimPort(const SimPort &) = delete;
    SimPort &operator=(const SimPort &) = delete;

    NTSTATUS AddDevice(const ksim::Driver &driver) { return pdo->AddDevice(driver); }
    NTSTATUS Pnp(UCHAR minor) { return pdo->Send(IRP_MJ_PNP, minor).status; }
    // Writes HardwareId and LinkedId under the link key, as the printer's installer does.
    void Link() { printer->WriteLinkConfig(ksim::W(name.c_str())); }
    ksim::u16 DosName() const { return u"\\DosDevices\\" + ksim::W(name.c_str()); }
    NTSTATUS Open() { return ksim::AppFile::Open(DosName(), &file); }
    void Close();

    std::string name;
    int model_class;
    std::unique_ptr<ksim::Pdo> pdo;
    std::unique_ptr<usbsim::SimPrinter> printer;
    std::unique_ptr<ksim::AppFile> file;
};

// Waits (on the kernel clock, as a participant) until the request completes or limit_ms pass;
// a request still pending then is cancelled and waited for. Works on either clock.
ksim::IoResult WaitFor(ksim::PendingIo &io, int64_t limit_ms);

// The kernel clock in milliseconds.
inline double NowMs() { return double(ksim::Now()) / double(ksim::kTicksPerMs); }

}  // namespace vpsim
