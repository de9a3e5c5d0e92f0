// registry_values_fuzz.cpp - libFuzzer target for the registry values the driver reads.
//
// Each input describes PortName in the port's hardware key and HardwareId and LinkedId under the
// port's link key: each value is missing, the working value, the working value cut or lengthened
// or retyped, or random bytes of a random type and length. The port is then started (which reads
// PortName and publishes the port) and opened (which reads the link values, checks the vendor and
// the device's presence and opens the device), written to and closed; the device is removed.
// Checked: the verifier stays clean, a started port's name is exactly the text the value held,
// the name fields stay terminated, an open succeeds only by reaching the printer, and nothing
// leaks. A port whose PortName is no usable text starts unpublished.
#include <ksim/ksim.h>

#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char16_t *kDeviceMapKey = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\PARALLEL PORTS";

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "registry fuzz: %s\n", what);
    for (const auto &v : ksim::Violations()) std::fprintf(stderr, "  %s: %s\n", v.rule.c_str(), v.detail.c_str());
    std::abort();
}

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() { return uint16_t(Byte() << 8 | Byte()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

const ULONG kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_NONE, REG_QWORD, 0x12345678};

std::vector<uint8_t> Bytes(const ksim::u16 &text, bool terminated)
{
    std::vector<uint8_t> out((text.size() + (terminated ? 1 : 0)) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

// One value as the input describes it; false when the value is left out.
bool Describe(Input &in, const ksim::u16 &working, ULONG *type, std::vector<uint8_t> *data)
{
    const uint8_t mode = in.Byte();
    *type = REG_SZ;
    *data = Bytes(working, true);
    switch (mode % 6) {
    case 0:
        return false;
    case 1:
        return true;
    case 2:  // cut short, possibly mid-character, possibly with no terminator
        data->resize(std::min<size_t>(data->size(), in.Word() % (data->size() + 1)));
        return true;
    case 3:  // lengthened with random bytes after the text
        for (int n = in.Byte(); n > 0; n--) data->push_back(in.Byte());
        return true;
    case 4:  // the working bytes under another type
        *type = kTypes[in.Byte() % (sizeof(kTypes) / sizeof(kTypes[0]))];
        return true;
    default: {  // random type, length and bytes; long ones are mostly one repeated byte
        *type = kTypes[in.Byte() % (sizeof(kTypes) / sizeof(kTypes[0]))];
        const size_t length = in.Word() % 1200;
        const uint8_t fill = in.Byte();
        data->assign(length, fill);
        for (size_t i = 0; i < std::min<size_t>(length, 64); i++) (*data)[i] = in.Byte();
        return true;
    }
    }
}

size_t TextLength(const WCHAR *text, size_t capacity)
{
    size_t n = 0;
    while (n < capacity && text[n] != 0) n++;
    return n;
}

// The name a start publishes for PortName data: the record's bytes up to the first null
// character, or nothing when the value is not text or the record does not fit the 255-byte query.
ksim::u16 ExpectedName(ULONG type, const std::vector<uint8_t> &data)
{
    // Header and name, then the data at the next multiple of eight, as the registry lays it out.
    const size_t header = (5 * sizeof(ULONG) + sizeof(VP_PORT_NAME_VALUE) - sizeof(WCHAR) + 7) & ~size_t(7);
    if (type != REG_SZ || header + data.size() > VP_QUERY_BUFFER_BYTES) return {};
    std::vector<uint8_t> copy(data);
    copy.resize(copy.size() + 2, 0);
    ksim::u16 text;
    for (size_t i = 0; i + 1 < copy.size(); i += 2) {
        char16_t c = char16_t(copy[i] | copy[i + 1] << 8);
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

// Registry names compare without regard to case.
ksim::u16 Upper(ksim::u16 text)
{
    for (auto &c : text)
        if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1024) return 0;
    Input in(data, size);
    ksim::Kernel kernel;
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto driver = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
        if (!driver || status != STATUS_SUCCESS) Fail("driver did not load");
        auto printer = std::make_unique<usbsim::SimPrinter>();
        auto pdo = std::make_unique<ksim::Pdo>();

        ULONG type;
        std::vector<uint8_t> bytes;
        const ksim::u16 port_name_value = usbsim::FromWide(VP_PORT_NAME_VALUE);
        const bool has_name = Describe(in, u"LPT3", &type, &bytes);
        ksim::reg::CreateKey(pdo->HardwareKeyPath());
        if (has_name) ksim::reg::SetValue(pdo->HardwareKeyPath(), port_name_value, type, bytes.data(), bytes.size());
        const ksim::u16 link_key = usbsim::LinkKey(u"LPT3");
        ksim::reg::CreateKey(link_key);
        if (Describe(in, printer->HardwareId(), &type, &bytes))
            ksim::reg::SetValue(link_key, usbsim::FromWide(VP_HARDWARE_ID_VALUE), type, bytes.data(), bytes.size());
        if (Describe(in, printer->LinkedId(), &type, &bytes))
            ksim::reg::SetValue(link_key, usbsim::FromWide(VP_LINKED_ID_VALUE), type, bytes.data(), bytes.size());

        if (pdo->AddDevice(*driver) != STATUS_SUCCESS) Fail("AddDevice failed");
        auto *ext = static_cast<PDEVICE_EXTENSION>(pdo->Top()->DeviceExtension);
        const NTSTATUS started = pdo->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status;
        const auto stored = ksim::reg::GetValue(pdo->HardwareKeyPath(), port_name_value);
        const ksim::u16 expected = stored ? ExpectedName(stored->type, stored->data) : ksim::u16();
        if (TextLength(ext->PortName, VP_PORT_NAME_CHARS) >= VP_PORT_NAME_CHARS) Fail("PortName unterminated");
        // A start succeeds whatever PortName holds; only usable text gets the port published.
        if (!NT_SUCCESS(started)) Fail("start failed");
        const bool published = ksim::reg::GetValue(kDeviceMapKey, pdo->Name()).has_value();
        if (expected.empty()) {
            if (published || ext->DosLinkName[0] != 0) Fail("published under a PortName that is not usable text");
        } else {
            if (!published) Fail("usable PortName text left the port unpublished");
            if (ksim::FromWz(ext->PortName) != expected) Fail("published under a name other than the value's text");
            if (ksim::reg::GetString(kDeviceMapKey, pdo->Name()) != expected) Fail("device map value differs from the name");
        }

        if (NT_SUCCESS(started)) {
            std::unique_ptr<ksim::AppFile> file;
            const NTSTATUS opened = ksim::AppFile::Open(pdo->Name(), &file);
            if (TextLength(ext->HardwareId, VP_NAME_CHARS) >= VP_NAME_CHARS) Fail("HardwareId unterminated");
            if (TextLength(ext->LinkedId, VP_NAME_CHARS) >= VP_NAME_CHARS) Fail("LinkedId unterminated");
            if (NT_SUCCESS(opened)) {
                if (printer->OpenFiles() == 0) Fail("open succeeded without reaching the printer");
                if (Upper(expected) != u"LPT3") Fail("open succeeded under a port name with no link values");
                const std::vector<uint8_t> job = {'o', 'k', '\n'};
                auto written = file->Write(job);
                if (written.status == STATUS_SUCCESS && printer->WrittenBytes() != job) Fail("write succeeded but the printer lacks it");
                file->Close();
            }
            file.reset();
            if (!ksim::Violations().empty()) Fail("verifier violation after the open");
        }
        pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        if (ksim::reg::GetValue(kDeviceMapKey, pdo->Name())) Fail("removal left the device map value");
        pdo.reset();
        printer.reset();
        driver.reset();
        ksim::CheckLeaks();
        if (!ksim::Violations().empty()) Fail("verifier violation at teardown");
    }
    return 0;
}
