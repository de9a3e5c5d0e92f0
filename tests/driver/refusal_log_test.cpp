// Why a port refused, told to an administrator: the System event-log entry of each cause (its
// message from the image's message table, the port's name and the status), the port's stored last
// refusal with the words vplink shows for it, and the entries' limit per cause and port, timed on
// the virtual clock.
#include "port_fixture.h"

#include "driver/vparallel_log.h"

#include <fstream>
#include <sstream>

namespace port_test {
namespace {

constexpr int64_t kWindowMs = VP_REFUSAL_LOG_WINDOW_MS;

// "0x" and eight upper-case hex digits, as the entry's second string.
u16 StatusText(NTSTATUS status)
{
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08X", unsigned(status));
    return ksim::W(hex);
}

class RefusalLogTest : public PortTest {
public:
    ksim::AppFile *Open(Port &port) { return &OpenPort(port); }

protected:
    static LONGLONG SystemTime()
    {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        return now.QuadPart;
    }
    static std::unique_ptr<ksim::AppFile> TryOpen(Port &port, NTSTATUS expected)
    {
        std::unique_ptr<ksim::AppFile> file;
        EXPECT_EQ(port.Open(&file), expected);
        return file;
    }
    static std::vector<ksim::ErrorLogEntry> Entries()
    {
        ksim::Settle();
        return ksim::ErrorLog();
    }
};

// ---- Each cause: where it fires, its entry, its record ----------------------------------------------

struct RefusalCase {
    const char *name;
    VP_REFUSAL_CAUSE cause;
    NTSTATUS message;  // its number in the image's message table
    bool bare;         // a port with no name and no printer (else LPT3 with a printer)
    // Leads the port up to the refusal (what it logs on the way is not this row's); returns the
    // port's open file when the refusal needs one.
    std::function<ksim::AppFile *(RefusalLogTest &, Port &)> arrange;
    // Makes the refusal happen; returns the status of the request (or start) that met it.
    std::function<NTSTATUS(Port &, ksim::AppFile *)> act;
    NTSTATUS request_status;
    NTSTATUS status;        // what the entry and the record carry
    const char16_t *port;   // %2 as the entry carries it
    const char16_t *text;   // the entry as the event log shows it
    const wchar_t *words;   // the cause as "vplink ports" shows it
};

NTSTATUS OpenStatus(Port &port, ksim::AppFile *)
{
    std::unique_ptr<ksim::AppFile> file;
    return port.Open(&file);
}
ksim::AppFile *Nothing(RefusalLogTest &, Port &) { return nullptr; }
ksim::AppFile *Opened(RefusalLogTest &t, Port &port) { return t.Open(port); }
NTSTATUS WriteStatus(Port &, ksim::AppFile *file) { return file->Write(Pattern(10)).status; }
NTSTATUS ReadStatus(Port &, ksim::AppFile *file) { return file->Read(4).status; }

const RefusalCase kRefusals[] = {
    {"open: link key missing", VpRefusalNoLink, VP_LOG_NO_LINK, false,
     [](RefusalLogTest &, Port &p) -> ksim::AppFile * {
         reg::DeleteKey(usbsim::LinkKey(p.port_name));
         return nullptr;
     },
     OpenStatus, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, u"LPT3",
     u"Port LPT3 refused to open: no printer is linked to it (status 0xC0000001). Link one with \"vplink set LPT3\".",
     L"no link"},
    {"open: vendor not accepted", VpRefusalUnknownVendor, VP_LOG_UNKNOWN_VENDOR, false,
     [](RefusalLogTest &, Port &p) -> ksim::AppFile * {
         reg::SetString(usbsim::LinkKey(p.port_name), u"LinkedId", u"##?#USB#VID_1504&Pid_0002#X");
         return nullptr;
     },
     OpenStatus, STATUS_DEVICE_POWERED_OFF, STATUS_DEVICE_POWERED_OFF, u"LPT3",
     u"Port LPT3 refused to open: the printer linked to it is of a vendor the driver does not support (status "
     u"0x8000000F).",
     L"printer of an unknown vendor"},
    {"open: printer absent", VpRefusalPrinterAbsent, VP_LOG_PRINTER_ABSENT, false,
     [](RefusalLogTest &, Port &p) -> ksim::AppFile * {
         p.printer->Unplug();
         return nullptr;
     },
     OpenStatus, STATUS_DEVICE_POWERED_OFF, STATUS_DEVICE_POWERED_OFF, u"LPT3",
     u"Port LPT3 refused to open: its printer is not connected (status 0x8000000F).", L"printer absent"},
    {"open: the printer's device will not open", VpRefusalOpenFailed, VP_LOG_OPEN_FAILED, false,
     [](RefusalLogTest &, Port &p) -> ksim::AppFile * {
         p.printer->FailOpens(STATUS_ACCESS_DENIED);
         return nullptr;
     },
     OpenStatus, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, u"LPT3",
     u"Port LPT3 could not open its printer (status 0xC0000022).", L"printer would not open"},
    {"write: the printer's device will not open", VpRefusalOpenFailed, VP_LOG_OPEN_FAILED, false,
     [](RefusalLogTest &t, Port &p) {
         ksim::AppFile *file = t.Open(p);
         p.printer->FailOpens(STATUS_ACCESS_DENIED);
         return file;
     },
     WriteStatus, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, u"LPT3",
     u"Port LPT3 could not open its printer (status 0xC0000022).", L"printer would not open"},
    {"read: the printer's device will not open", VpRefusalOpenFailed, VP_LOG_OPEN_FAILED, false,
     [](RefusalLogTest &t, Port &p) {
         ksim::AppFile *file = t.Open(p);
         p.printer->FailWrite(1, STATUS_IO_DEVICE_ERROR);
         EXPECT_EQ(file->Write(Pattern(4)).status, STATUS_IO_DEVICE_ERROR);  // leaves no device handle
         p.printer->FailOpens(STATUS_ACCESS_DENIED);
         return file;
     },
     ReadStatus, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, u"LPT3",
     u"Port LPT3 could not open its printer (status 0xC0000022).", L"printer would not open"},
    {"write: a piece fails", VpRefusalWriteFailed, VP_LOG_WRITE_FAILED, false,
     [](RefusalLogTest &t, Port &p) {
         ksim::AppFile *file = t.Open(p);
         p.printer->FailWrite(1, STATUS_IO_DEVICE_ERROR);
         return file;
     },
     WriteStatus, STATUS_IO_DEVICE_ERROR, STATUS_IO_DEVICE_ERROR, u"LPT3",
     u"Port LPT3 could not send data to its printer: a write failed (status 0xC0000185).", L"write failed"},
    {"write: printer unplugged from the open port", VpRefusalPrinterUnplugged, VP_LOG_PRINTER_UNPLUGGED, false,
     [](RefusalLogTest &t, Port &p) {
         ksim::AppFile *file = t.Open(p);
         p.printer->Unplug();
         return file;
     },
     WriteStatus, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, u"LPT3",
     u"Port LPT3 lost its printer while the port was open (status 0xC0000001).", L"printer unplugged while open"},
    {"read: printer unplugged from the open port", VpRefusalPrinterUnplugged, VP_LOG_PRINTER_UNPLUGGED, false,
     [](RefusalLogTest &t, Port &p) {
         ksim::AppFile *file = t.Open(p);
         p.printer->Unplug();
         return file;
     },
     ReadStatus, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, u"LPT3",
     u"Port LPT3 lost its printer while the port was open (status 0xC0000001).", L"printer unplugged while open"},
    {"start: no PortName to publish", VpRefusalNotPublished, VP_LOG_NOT_PUBLISHED, true, Nothing,
     [](Port &p, ksim::AppFile *) { return p.pdo->Send(IRP_MJ_PNP, IRP_MN_START_DEVICE).status; },
     STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND, u"(no name)",
     u"Port (no name) started, but its name could not be published, so applications cannot open it (status "
     u"0xC0000034).",
     L"port name not published"},
    {"surprise removal of the open port", VpRefusalRemovedWhileOpen, VP_LOG_REMOVED_WHILE_OPEN, false, Opened,
     [](Port &p, ksim::AppFile *) { return p.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).status; },
     STATUS_SUCCESS, STATUS_DEVICE_REMOVED, u"LPT3",
     u"Port LPT3 was removed while an application had it open (status 0xC00002B6).", L"removed while open"},
};

class RefusalCauseTest : public RefusalLogTest, public ::testing::WithParamInterface<int> {};

TEST_P(RefusalCauseTest, LogsItsMessageAndStoresItsRecord)
{
    const RefusalCase &c = kRefusals[GetParam()];
    SCOPED_TRACE(c.name);
    Port &port = c.bare ? AddBarePort() : AddPort();
    ksim::AppFile *file = c.arrange(*this, port);
    ksim::Settle();
    ksim::ClearErrorLog();
    const LONGLONG before = SystemTime();
    ksim::StartCallTrace();

    EXPECT_EQ(c.act(port, file), c.request_status);

    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    const ksim::ErrorLogEntry &entry = entries[0];
    EXPECT_EQ(entry.io_object, port.Fdo());
    EXPECT_EQ(entry.source, u"vparallel");
    EXPECT_EQ(entry.error_code, c.message);
    EXPECT_EQ(entry.final_status, c.status);
    EXPECT_EQ(entry.unique_value, ULONG(c.cause));
    EXPECT_EQ(entry.strings, (std::vector<u16>{c.port, StatusText(c.status)}));
    EXPECT_TRUE(entry.dump_data.empty());
    EXPECT_EQ(ksim::Narrow(entry.text), ksim::Narrow(c.text));

    auto record = port.LastRefusal();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Cause, unsigned(c.cause));
    EXPECT_EQ(record->Status, c.status);
    EXPECT_EQ(record->Time, before);
    EXPECT_EQ(usbsim::FromWide(VpRefusalCauseText(record->Cause)), usbsim::FromWide(c.words));
    // The record is stored from a system thread, on a handle of the system process: the requester's
    // handle table never sees the device key.
    size_t stores = 0;
    for (const ksim::KernelCall &call : ksim::CallTrace()) {
        if (call.routine != "IoOpenDeviceRegistryKey" || call.value != KEY_SET_VALUE) continue;
        stores++;
        EXPECT_EQ(call.process, ksim::Process::System);
    }
    EXPECT_EQ(stores, 1u);
}

INSTANTIATE_TEST_SUITE_P(EachCause, RefusalCauseTest, ::testing::Range(0, int(std::size(kRefusals))));

// Every cause has its message in the image's table and its words, and the README's table of
// refusals gives both (the event ID Event Viewer shows, the level, the words); the table has no
// other message.
TEST(RefusalCauses, EachHasItsMessageAndWords)
{
    std::ifstream file(VPARALLEL_README);
    std::stringstream readme;
    readme << file.rdbuf();
    ASSERT_FALSE(readme.str().empty()) << VPARALLEL_README;
    std::vector<ULONG> logged;
    for (const RefusalCase &c : kRefusals) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ksim::MessageText(DriverMessageTable(), ULONG(c.message)).has_value());
        ASSERT_NE(VpRefusalCauseText(c.cause), nullptr);
        const ULONG severity = ULONG(c.message) >> 30;
        const std::string row = "| " + std::to_string(ULONG(c.message) & 0xFFFF) + " | " +
                                (severity == 3 ? "Error" : severity == 2 ? "Warning" : "?") + " | " +
                                ksim::Narrow(usbsim::FromWide(VpRefusalCauseText(c.cause))) + " |";
        EXPECT_NE(readme.str().find(row), std::string::npos) << "README lacks the row " << row;
        logged.push_back(ULONG(c.message));
    }
    std::sort(logged.begin(), logged.end());
    logged.erase(std::unique(logged.begin(), logged.end()), logged.end());
    EXPECT_EQ(logged, ksim::MessageIds(DriverMessageTable()));
    EXPECT_EQ(logged.size(), size_t(VpRefusalCauseCount - 1));
    EXPECT_EQ(VpRefusalCauseText(VpRefusalNone), nullptr);
    EXPECT_EQ(VpRefusalCauseText(VpRefusalCauseCount), nullptr);
}

// ---- The limit on entries ----------------------------------------------------------------------------

TEST_F(RefusalLogTest, OneEntryPerCauseAndPortWithinTheWindow)
{
    Port &port = AddPort();
    port.printer->Unplug();
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(Entries().size(), 1u);

    // An application retrying for the whole window adds nothing to the log; the record follows it.
    ksim::AdvanceMs(kWindowMs - 1);
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(Entries().size(), 1u);
    auto record = port.LastRefusal();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Time, SystemTime());

    // The window runs from the entry, not from the refusals it kept out.
    ksim::AdvanceMs(1);
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].time - entries[0].time, kWindowMs * ksim::kTicksPerMs);
    EXPECT_EQ(entries[1].error_code, VP_LOG_PRINTER_ABSENT);
}

TEST_F(RefusalLogTest, CausesAndPortsAreLimitedApart)
{
    Port &lpt3 = AddPort(u"LPT3");
    Port &lpt4 = AddPort(u"LPT4", ConfigFor(kClass1, 2));
    lpt3.printer->Unplug();
    lpt4.printer->Unplug();
    TryOpen(lpt3, STATUS_DEVICE_POWERED_OFF);
    TryOpen(lpt4, STATUS_DEVICE_POWERED_OFF);
    reg::DeleteKey(usbsim::LinkKey(u"LPT3"));
    TryOpen(lpt3, STATUS_UNSUCCESSFUL);
    TryOpen(lpt3, STATUS_UNSUCCESSFUL);
    TryOpen(lpt4, STATUS_DEVICE_POWERED_OFF);

    auto entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].strings[0], u"LPT3");
    EXPECT_EQ(entries[0].error_code, VP_LOG_PRINTER_ABSENT);
    EXPECT_EQ(entries[1].strings[0], u"LPT4");
    EXPECT_EQ(entries[1].error_code, VP_LOG_PRINTER_ABSENT);
    EXPECT_EQ(entries[2].strings[0], u"LPT3");
    EXPECT_EQ(entries[2].error_code, VP_LOG_NO_LINK);
    // Each port keeps its own latest refusal.
    EXPECT_EQ(lpt3.LastRefusal()->Cause, unsigned(VpRefusalNoLink));
    EXPECT_EQ(lpt4.LastRefusal()->Cause, unsigned(VpRefusalPrinterAbsent));
}

// ---- What cannot be had ----------------------------------------------------------------------------

// No packet: no entry, and the refusal is otherwise what it always is. The cause's place in the
// window is not taken, so the next refusal is logged.
TEST_F(RefusalLogTest, AFailedAllocationWritesNoEntryAndChangesNothingElse)
{
    Port &port = AddPort();
    port.printer->Unplug();
    ksim::ClearDebugLog();
    ksim::InjectFault(ksim::Fault::ErrorLogAllocation, STATUS_INSUFFICIENT_RESOURCES);

    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::ErrorLogAllocation), 1u);
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(Log(), (std::vector<std::string>{"VPARALLEL_Create Start \n", "VPARALLEL_Create IsLinkedUsb Error \n"}));
    EXPECT_EQ(port.ModemLines() & VP_MODEM_LINES, 0u);
    ASSERT_TRUE(port.LastRefusal().has_value());
    EXPECT_EQ(port.LastRefusal()->Cause, unsigned(VpRefusalPrinterAbsent));

    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(Entries().size(), 1u);
}

// No work item: the entry is written, the record waits for the next refusal, which stores its own.
TEST_F(RefusalLogTest, ARecordThatCannotBeStoredWaitsForTheNextRefusal)
{
    Port &port = AddPort();
    port.printer->Unplug();
    ksim::InjectFault(ksim::Fault::WorkItemAllocation, STATUS_INSUFFICIENT_RESOURCES);
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    EXPECT_EQ(Entries().size(), 1u);
    EXPECT_FALSE(port.LastRefusal().has_value());

    reg::DeleteKey(usbsim::LinkKey(u"LPT3"));
    TryOpen(port, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(port.LastRefusal().has_value());
    EXPECT_EQ(port.LastRefusal()->Cause, unsigned(VpRefusalNoLink));
    EXPECT_EQ(port.LastRefusal()->Status, STATUS_UNSUCCESSFUL);
}

// ---- Details of the entry and the record ---------------------------------------------------------------

// The packet holds at most ERROR_LOG_MAXIMUM_SIZE bytes: a long port name is cut to what fits
// beside the status, and the stand-in's size check stays quiet.
TEST_F(RefusalLogTest, ALongPortNameIsCutToFitThePacket)
{
    const u16 name(120, u'P');
    Port &port = AddPort(name);
    port.printer->Unplug();
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries[0].strings.size(), 2u);
    EXPECT_EQ(entries[0].strings[0], name.substr(0, 84));
    EXPECT_EQ(entries[0].strings[1], u"0x8000000F");
}

// A port that is no longer open because it was surprise-removed has said so; the writes and reads
// refused after it add nothing, also once its printer has gone: only an open port loses its
// printer or fails to open it for a request.
TEST_F(RefusalLogTest, WritesRefusedAfterASurpriseRemovalAddNothing)
{
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(file.Write(Pattern(4)).status, STATUS_UNSUCCESSFUL);
    port.printer->Unplug();
    EXPECT_EQ(file.Write(Pattern(4)).status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(NT_SUCCESS(file.Read(4).status));
    auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].error_code, VP_LOG_REMOVED_WHILE_OPEN);
    EXPECT_EQ(port.LastRefusal()->Cause, unsigned(VpRefusalRemovedWhileOpen));
}

// The record is the latest refusal, whatever came before; a port that never refused has none, and
// a closed port's surprise removal is no refusal.
TEST_F(RefusalLogTest, TheRecordIsTheLatestRefusal)
{
    Port &quiet = AddPort(u"LPT4", ConfigFor(kClass1, 2));
    Port &port = AddPort();
    ksim::AppFile &file = OpenPort(port);
    port.printer->FailWrite(1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(file.Write(Pattern(4)).status, STATUS_IO_DEVICE_ERROR);
    ksim::AdvanceMs(3);
    const LONGLONG unplugged_at = SystemTime();
    port.printer->Unplug();
    EXPECT_EQ(file.Write(Pattern(4)).status, STATUS_UNSUCCESSFUL);

    auto record = port.LastRefusal();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Cause, unsigned(VpRefusalPrinterUnplugged));
    EXPECT_EQ(record->Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record->Time, unplugged_at);

    quiet.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_FALSE(quiet.LastRefusal().has_value());
    EXPECT_EQ(Entries().size(), 2u);
}

// ---- The store ------------------------------------------------------------------------------------

// Refusals that come while a store waits to run are stored once, as the latest of them.
TEST_F(RefusalLogTest, RefusalsWaitingForTheStoreCoalesce)
{
    Port &port = AddPort();
    port.printer->Unplug();
    ksim::HoldWorkItems(true);
    TryOpen(port, STATUS_DEVICE_POWERED_OFF);
    reg::DeleteKey(usbsim::LinkKey(u"LPT3"));
    TryOpen(port, STATUS_UNSUCCESSFUL);
    ksim::AdvanceMs(2);
    const LONGLONG last_at = SystemTime();
    TryOpen(port, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ksim::PendingWorkItems(), 1u);
    EXPECT_FALSE(reg::GetValue(port.pdo->HardwareKeyPath(), usbsim::FromWide(VP_LAST_REFUSAL_VALUE)).has_value());
    ksim::StartCallTrace();

    ksim::HoldWorkItems(false);
    auto record = port.LastRefusal();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->Cause, unsigned(VpRefusalNoLink));
    EXPECT_EQ(record->Time, last_at);
    size_t writes = 0;
    for (const ksim::KernelCall &call : ksim::CallTrace()) writes += call.routine == "IoOpenDeviceRegistryKey" ? 1 : 0;
    EXPECT_EQ(writes, 1u);
}

// Removal deletes the device only once a store on its way has run: the store uses the PDO and
// the port's extension.
TEST_F(RefusalLogTest, RemovalWaitsForAStoreOnItsWay)
{
    Port &port = AddPort();
    {
        ksim::AppFile &file = OpenPort(port);
        ksim::HoldWorkItems(true);
        port.pdo->Send(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        file.Close();
    }
    AppThread removal([&] { port.pdo->Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE); });
    ksim::AdvanceMs(50);
    EXPECT_FALSE(removal.Done());
    EXPECT_FALSE(port.pdo->Removed()) << "the removal has not gone down yet";

    ksim::HoldWorkItems(false);
    removal.Join();
    EXPECT_TRUE(port.pdo->Removed());
    auto record = reg::GetValue(port.pdo->HardwareKeyPath(), usbsim::FromWide(VP_LAST_REFUSAL_VALUE));
    ASSERT_TRUE(record.has_value());
    VP_LAST_REFUSAL stored;
    ASSERT_EQ(record->data.size(), sizeof stored);
    std::memcpy(&stored, record->data.data(), sizeof stored);
    EXPECT_EQ(stored.Cause, unsigned(VpRefusalRemovedWhileOpen));
}

}  // namespace
}  // namespace port_test
