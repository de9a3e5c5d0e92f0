// sim_port.cpp - ports, printers and small helpers shared by vparallel-sim and the benchmarks.
#include "sim_port.h"

#include <cstdio>

namespace vpsim {

std::string DeviceIdOfClass(int model_class)
{
    switch (model_class) {
    case 1:
        return "Vid_0419&Pid_0001";  // a supported vendor outside the model table: the default class
    case 2:
        return "Vid_1504&Pid_0006";
    default:
        return "Vid_1504&Pid_0002";
    }
}

usbsim::PrinterConfig PrinterConfigFor(int model_class, int serial)
{
    char number[16];
    std::snprintf(number, sizeof(number), "PRN%04d", serial);
    const std::string id = DeviceIdOfClass(model_class);
    usbsim::PrinterConfig config;
    config.linked_id = ksim::W(("##?#USB#" + id + "#" + number + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}").c_str());
    config.hardware_id = ksim::W(("\\??\\USB#" + id + "#" + number + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}").c_str());
    return config;
}

ksim::u16 PdoNameFor(int index)
{
    char name[32];
    std::snprintf(name, sizeof(name), "\\Device\\%08d", index + 2);
    return ksim::W(name);
}

std::string StatusName(NTSTATUS status)
{
    struct Known {
        NTSTATUS status;
        const char *name;
    };
    static const Known known[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_PORT_CONNECTION_REFUSED, "STATUS_PORT_CONNECTION_REFUSED"},
        {STATUS_DEVICE_POWERED_OFF, "STATUS_DEVICE_POWERED_OFF"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    };
    for (const auto &k : known) {
        if (k.status == status) return k.name;
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
    return hex;
}

SimPort::SimPort(const std::string &port_name, int model_class_, int index)
    : name(port_name), model_class(model_class_)
{
    pdo = std::make_unique<ksim::Pdo>(PdoNameFor(index));
    ksim::reg::CreateKey(pdo->HardwareKeyPath());
    ksim::reg::SetString(pdo->HardwareKeyPath(), u"PortName", ksim::W(name.c_str()));
    printer = std::make_unique<usbsim::SimPrinter>(PrinterConfigFor(model_class, index + 1));
}

SimPort::~SimPort()
{
    file.reset();
    printer.reset();
    pdo.reset();
}

void SimPort::Close()
{
    if (file) file->Close();
    file.reset();
}

ksim::IoResult WaitFor(ksim::PendingIo &io, int64_t limit_ms)
{
    const int64_t deadline = ksim::Now() + limit_ms * ksim::kTicksPerMs;
    while (!io.Done() && ksim::Now() < deadline) ksim::AdvanceMs(1);
    if (!io.Done()) io.Cancel();
    return io.Wait();
}

}  // namespace vpsim
