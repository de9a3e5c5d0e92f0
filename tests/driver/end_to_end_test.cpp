// One print job, end to end: the device is added and started, an application opens LPT3
// through its DOS name, prints 100 bytes, reads the printer's reply, closes, opens again, and
// the device is then surprise-removed and removed. Nothing may be left behind.
#include "common/kernel_test.h"
#include "driver/vparallel.h"
#include "tests/printer/printer_client.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

using ksim::u16;
namespace reg = ksim::reg;

namespace {

using usbsim::kDeviceMapKey;

class EndToEndTest : public KernelTest {};

TEST_F(EndToEndTest, OnePrintJobFromAddDeviceToRemoval)
{
    const size_t system_handles = ksim::HandleCount(ksim::Process::System);
    const size_t app_handles = ksim::HandleCount(ksim::Process::Application);

    // The installation: the printer's link values under LPT3, and PortName in the device key.
    usbsim::SimPrinter printer;
    printer.WriteLinkConfig(u"LPT3");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto driver = ksim::Driver::Load(DriverEntry, u"vparallel", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ksim::Pdo pdo(u"\\Device\\00000002");
    reg::CreateKey(pdo.HardwareKeyPath());
    reg::SetString(pdo.HardwareKeyPath(), u"PortName", u"LPT3");

    // AddDevice and start: the port is published under LPT3 and LPT3:.
    ASSERT_TRUE(NT_SUCCESS(pdo.AddDevice(*driver)));
    ASSERT_EQ(pdo.Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\DosDevices\\LPT3"), pdo.Name());
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\DosDevices\\LPT3:"), pdo.Name());
    EXPECT_EQ(reg::GetString(kDeviceMapKey, pdo.Name()), u16(u"LPT3"));

    // The application opens LPT3: the link leads to the PDO, the create to the top of its stack.
    std::unique_ptr<ksim::AppFile> file;
    ASSERT_EQ(ksim::AppFile::Open(u"\\DosDevices\\LPT3", &file), STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);

    // 100 bytes of print data reach the printer as 64 + 36.
    std::vector<uint8_t> job(100);
    std::iota(job.begin(), job.end(), uint8_t(0x20));
    auto written = file->Write(job);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 100u);
    auto writes = printer.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes.size(), 64u);
    EXPECT_EQ(writes[1].bytes.size(), 36u);
    EXPECT_EQ(printer.WrittenBytes(), job);

    // A read waits for the reply (the first reply, or 500 ms, as .NET's ReadTimeout asks); the
    // printer answers; the read thread stores the reply and wakes the read-polling thread, which
    // hands it over.
    SERIAL_TIMEOUTS timeouts = {MAXULONG, MAXULONG, 500, 0, 0};
    ASSERT_EQ(file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), 0).status, STATUS_SUCCESS);
    auto read = file->ReadAsync(64);
    ksim::Settle();
    EXPECT_FALSE(read.Done());
    const std::vector<uint8_t> reply = {0x10, 0x04, 0x12, 'O', 'K'};
    printer.QueueReply(reply);
    ksim::AdvanceMs(3);
    ASSERT_TRUE(read.Done());
    auto got = read.Wait();
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.data, reply);

    // Close: cleanup stops the workers, close forgets the device path.
    file->Close();
    file.reset();
    ksim::Settle();
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);

    // The port opens again, this time by the name with the colon.
    ASSERT_EQ(ksim::AppFile::Open(u"\\DosDevices\\LPT3:", &file), STATUS_SUCCESS);
    ksim::Settle();
    EXPECT_EQ(ksim::LiveSystemThreads(), 3u);
    auto second = file->Write({'\n'});
    EXPECT_EQ(second.status, STATUS_SUCCESS);

    // The device is pulled while the application still holds the port.
    EXPECT_EQ(pdo.Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    ksim::AdvanceMs(20);
    EXPECT_EQ(ksim::LiveSystemThreads(), 0u);
    file->Close();
    file.reset();

    EXPECT_EQ(pdo.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(pdo.Removed());
    EXPECT_EQ(pdo.Top(), pdo.Object());

    // Nothing left behind: no names, no value, no interface, no threads, handles or pool.
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3"));
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3:"));
    EXPECT_FALSE(reg::GetValue(kDeviceMapKey, pdo.Name()).has_value());
    for (const auto &i : ksim::Interfaces()) EXPECT_FALSE(i.pdo == pdo.Object() && i.enabled);
    EXPECT_EQ(printer.OpenFiles(), 0u);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), system_handles);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), app_handles);
    EXPECT_TRUE(ksim::OutstandingPool().empty());
    auto leaks = ksim::CheckLeaks();
    EXPECT_TRUE(leaks.empty()) << ViolationsText(leaks);
}

}  // namespace
