// link_test.cpp - the port's link to its USB device: reading the link values, the vendor check,
// the model class, the presence test and every way the device is opened.
//
// Each test runs on a fresh kernel; the fixture's verifier fails the test on any handle, key or
// pool block left behind.
#include "common/kernel_test.h"

#include "link/link.h"
#include "tests/printer/printer_client.h"

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

using ksim::u16;
namespace reg = ksim::reg;
namespace usb = usbsim;

namespace {

const u16 kPort = u"LPT3";
const u16 kLinkKey = u16(usb::kLinkKeyRoot) + u"\\" + kPort;
const u16 kPresenceRoot = u16(usb::kUsbDeviceClassKey) + u"\\";

template <size_t N>
void SetField(WCHAR (&field)[N], const u16 &text)
{
    ASSERT_LT(text.size(), N);
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text.data(), text.size() * sizeof(WCHAR));
}

// The field's text up to its zero character; fails the test when the field has none.
template <size_t N>
u16 FieldText(const WCHAR (&field)[N])
{
    for (size_t i = 0; i < N; i++) {
        if (field[i] == 0) return u16(reinterpret_cast<const char16_t *>(field), i);
    }
    ADD_FAILURE() << "field is not terminated";
    return u16();
}

std::vector<uint8_t> Utf16Bytes(const u16 &text, bool with_null)
{
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(text.data()),
                               reinterpret_cast<const uint8_t *>(text.data() + text.size()));
    if (with_null) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// ASCII text of `chars` characters: "A".."Z" repeating.
u16 Filler(size_t chars)
{
    u16 text;
    for (size_t i = 0; i < chars; i++) text.push_back(char16_t(u'A' + i % 26));
    return text;
}

class LinkTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ext_ = std::make_unique<DEVICE_EXTENSION>();
        SetField(ext_->PortName, kPort);
    }
    void TearDown() override
    {
        if (ext_ && ext_->WriteHandle) ZwClose(ext_->WriteHandle);
        ext_.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<DEVICE_EXTENSION> ext_;
};

// ---------------------------------------------------------------------------------------------
// Vendor check and model class
// ---------------------------------------------------------------------------------------------
struct IdRow {
    const char16_t *linked_id;
    bool vendor;
    ULONG model;  // only when vendor
};

const IdRow kIdRows[] = {
    {u"##?#USB#Vid_1504&Pid_0002#PRN0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true, 3},
    {u"##?#USB#Vid_055d&Pid_4010#5&1a2b", true, 3},
    {u"##?#USB#Vid_1504&Pid_0006#X", true, 2},
    {u"##?#USB#Vid_1504&Pid_000b#X", true, 2},
    {u"##?#USB#Vid_1504&Pid_0002", true, 3},  // exactly the device ID, nothing after it
    {u"##?#USB#Vid_1504&Pid_0001#X", true, 1},
    {u"##?#USB#Vid_1504&Pid_000B#X", true, 1},  // product in upper case: not the listed model
    {u"##?#USB#Vid_0419&Pid_0002#X", true, 1},  // another vendor's product with a listed number
    {u"##?#USB#Vid_0419&Pid_4010#X", true, 1},
    {u"##?#USB#Vid_055d&Pid_4011#X", true, 1},
    {u"##?#USB#Vid_055d&Pid_0002#X", true, 1},
    {u"##?#USB#Vid_1504", true, 1},            // the prefix alone
    {u"##?#USB#Vid_1504&Pid_000", true, 1},    // 24 characters: the first 24 of three IDs
    {u"##?#USB#Vid_055d&Pid_401", true, 1},
    {u"##?#USB#Vid_1504&Pid_00020", true, 3},  // only the first 25 count
    {u"##?#USB#VID_1504&Pid_0002#X", false, 0},
    {u"##?#USB#Vid_055D&Pid_4010#X", false, 0},
    {u"##?#usb#Vid_1504&Pid_0002#X", false, 0},
    {u"##?#USB#Vid_150", false, 0},            // 15 characters
    {u"", false, 0},
    {u"##?#USB#Vid_1505&Pid_0002#X", false, 0},
    {u"#?#USB#Vid_1504&Pid_0002#X", false, 0},
    {u"\\??\\USB#Vid_1504&Pid_0002#X", false, 0},
};

TEST_F(LinkTest, VendorCheckAndModelClassFollowTheTables)
{
    for (const IdRow &row : kIdRows) {
        SCOPED_TRACE(ksim::Narrow(row.linked_id));
        SetField(ext_->LinkedId, row.linked_id);
        EXPECT_EQ(IsSupportedVendor(ext_.get()) != FALSE, row.vendor);
        if (row.vendor) {
            EXPECT_EQ(ClassifyModel(ext_.get()), row.model);
        }
    }
}

TEST_F(LinkTest, ComparisonsLookOnlyAtTheFirst25Characters)
{
    // A field with no zero character anywhere: the checks must still end within it.
    u16 id = u"##?#USB#Vid_055d&Pid_4010";
    u16 full = id + Filler(VP_NAME_CHARS - id.size());
    std::memcpy(ext_->LinkedId, full.data(), sizeof(ext_->LinkedId));
    EXPECT_TRUE(IsSupportedVendor(ext_.get()));
    EXPECT_EQ(ClassifyModel(ext_.get()), 3u);
    // The checks do not write to the field.
    EXPECT_EQ(std::memcmp(ext_->LinkedId, full.data(), sizeof(ext_->LinkedId)), 0);
}

// ---------------------------------------------------------------------------------------------
// GetUsbHardwareId
// ---------------------------------------------------------------------------------------------
struct RegValue {
    ULONG type;
    std::vector<uint8_t> data;
};

RegValue Sz(const u16 &text) { return {REG_SZ, Utf16Bytes(text, true)}; }
RegValue Raw(ULONG type, const std::vector<uint8_t> &bytes) { return {type, bytes}; }

struct ReadRow {
    const char *name;
    bool key;
    std::optional<RegValue> hardware_id;
    std::optional<RegValue> linked_id;
    ULONG result;
    // Expected field texts; nullopt means the field keeps its previous text.
    std::optional<u16> hardware_text;
    std::optional<u16> linked_text;
};

const u16 kOldHardware = u"\\??\\OLD-HARDWARE-PATH-THAT-IS-LONGER";
const u16 kOldLinked = u"##?#USB#Vid_1504&Pid_OLD#OLD-LINKED-ID";
const u16 kPath = u"\\??\\USB#Vid_1504&Pid_0002#PRN0001";
const u16 kId = u"##?#USB#Vid_1504&Pid_0002#PRN0001";

std::vector<ReadRow> ReadRows()
{
    // "HardwareId": 20-byte header + 20-byte name, so 215 data bytes fill the 255-byte answer.
    const u16 text107 = Filler(107);
    std::vector<uint8_t> fill215 = Utf16Bytes(text107, false);
    fill215.push_back('Z');
    std::vector<uint8_t> fill216 = Utf16Bytes(Filler(108), false);
    return {
        {"both values", true, Sz(kPath), Sz(kId), 1, kPath, kId},
        {"link key missing", false, std::nullopt, std::nullopt, 0, std::nullopt, std::nullopt},
        {"HardwareId missing", true, std::nullopt, Sz(kId), 0, std::nullopt, std::nullopt},
        {"LinkedId missing", true, Sz(kPath), std::nullopt, 0, kPath, std::nullopt},
        {"both missing", true, std::nullopt, std::nullopt, 0, std::nullopt, std::nullopt},
        {"stored empty", true, Sz(u""), Sz(u""), 1, u"", u""},
        {"no data at all", true, Raw(REG_SZ, {}), Raw(REG_BINARY, {}), 1, u"", u""},
        {"no terminating null", true, Raw(REG_SZ, Utf16Bytes(u"ABC", false)),
         Raw(REG_EXPAND_SZ, Utf16Bytes(kId, false)), 1, u"ABC", kId},
        {"type not examined", true, Raw(REG_BINARY, Utf16Bytes(kPath, true)),
         Raw(REG_DWORD, {'B', 0, 'A', 0}), 1, kPath, u"BA"},
        {"odd length: the last byte is a character of its own", true, Raw(REG_SZ, {'A', 0, 'B', 0, 'C'}),
         Raw(REG_SZ, {'X'}), 1, u"ABC", u"X"},
        {"odd length ending in half a null", true, Raw(REG_SZ, {'A', 0, 0}), Sz(kId), 1, u"A", kId},
        {"embedded null ends the text", true, Raw(REG_MULTI_SZ, Utf16Bytes(u16(u"AB\0CD", 5), true)),
         Sz(kId), 1, u"AB", kId},
        {"214 data bytes fit", true, Raw(REG_SZ, Utf16Bytes(text107, false)), Sz(kId), 1, text107, kId},
        {"255-byte answer fits", true, Raw(REG_SZ, fill215), Sz(kId), 1, text107 + u"Z", kId},
        {"256-byte answer does not", true, Raw(REG_SZ, fill216), Sz(kId), 0, std::nullopt, std::nullopt},
        {"LinkedId too long", true, Sz(kPath), Sz(Filler(120)), 0, kPath, std::nullopt},
    };
}

TEST_F(LinkTest, GetUsbHardwareIdReadsTheLinkValues)
{
    for (const ReadRow &row : ReadRows()) {
        SCOPED_TRACE(row.name);
        reg::DeleteKey(kLinkKey);
        if (row.key) reg::CreateKey(kLinkKey);
        if (row.hardware_id)
            reg::SetValue(kLinkKey, u"HardwareId", row.hardware_id->type, row.hardware_id->data.data(),
                          row.hardware_id->data.size());
        if (row.linked_id)
            reg::SetValue(kLinkKey, u"LinkedId", row.linked_id->type, row.linked_id->data.data(),
                          row.linked_id->data.size());
        SetField(ext_->HardwareId, kOldHardware);
        SetField(ext_->LinkedId, kOldLinked);

        EXPECT_EQ(GetUsbHardwareId(ext_.get()), row.result);
        EXPECT_EQ(FieldText(ext_->HardwareId), row.hardware_text.value_or(kOldHardware));
        EXPECT_EQ(FieldText(ext_->LinkedId), row.linked_text.value_or(kOldLinked));
        // Everything after the text is cleared, so no tail of the previous text survives.
        for (size_t i = FieldText(ext_->HardwareId).size(); i < VP_NAME_CHARS; i++)
            ASSERT_EQ(ext_->HardwareId[i], 0) << "at " << i;
        EXPECT_EQ(ksim::HandleCount(ksim::Process::System), 0u);
        EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 0u);
    }
}

TEST_F(LinkTest, GetUsbHardwareIdMatchesThePortNameWhateverItsCase)
{
    reg::CreateKey(kLinkKey);
    reg::SetString(kLinkKey, u"HardwareId", kPath);
    reg::SetString(kLinkKey, u"LinkedId", kId);
    SetField(ext_->PortName, u"lpt3");
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 1u);
    EXPECT_EQ(FieldText(ext_->HardwareId), kPath);
    // Another port's name does not reach LPT3's values.
    SetField(ext_->PortName, u"LPT4");
    SetField(ext_->HardwareId, u"");
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 0u);
    EXPECT_EQ(FieldText(ext_->HardwareId), u"");
}

TEST_F(LinkTest, GetUsbHardwareIdRefusesAnEmptyOrUnterminatedPortName)
{
    // The root itself holds values: an empty port name must not read them.
    reg::CreateKey(usb::kLinkKeyRoot);
    reg::SetString(usb::kLinkKeyRoot, u"HardwareId", kPath);
    reg::SetString(usb::kLinkKeyRoot, u"LinkedId", kId);
    SetField(ext_->PortName, u"");
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 0u);
    EXPECT_EQ(FieldText(ext_->HardwareId), u"");

    u16 full = Filler(VP_PORT_NAME_CHARS);
    std::memcpy(ext_->PortName, full.data(), sizeof(ext_->PortName));
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 0u);
}

TEST_F(LinkTest, GetUsbHardwareIdFailsWhenTheRegistryDoes)
{
    reg::CreateKey(kLinkKey);
    reg::SetString(kLinkKey, u"HardwareId", kPath);
    reg::SetString(kLinkKey, u"LinkedId", kId);
    struct Row {
        ksim::Fault fault;
        unsigned skip;
        bool hardware_replaced;
    } rows[] = {
        {ksim::Fault::RegistryOpen, 0, false},
        {ksim::Fault::RegistryQuery, 0, false},
        {ksim::Fault::RegistryQuery, 1, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.skip);
        SetField(ext_->HardwareId, kOldHardware);
        SetField(ext_->LinkedId, kOldLinked);
        ksim::InjectFault(row.fault, STATUS_INSUFFICIENT_RESOURCES, row.skip);
        EXPECT_EQ(GetUsbHardwareId(ext_.get()), 0u);
        ksim::ClearFaults();
        EXPECT_EQ(FieldText(ext_->HardwareId), row.hardware_replaced ? kPath : kOldHardware);
        EXPECT_EQ(FieldText(ext_->LinkedId), kOldLinked);
    }
}

// ---------------------------------------------------------------------------------------------
// IsLinkedUsb
// ---------------------------------------------------------------------------------------------
TEST_F(LinkTest, IsLinkedUsbTestsTheDevicesInterfaceKey)
{
    const u16 id = u"##?#USB#Vid_055d&Pid_4010#7&2f1c#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const u16 longId = u"##?#USB#Vid_1504&Pid_0002#" + Filler(VP_NAME_CHARS - 1 - 26);
    struct Row {
        const char *name;
        u16 key;        // created under the class key; empty: none
        u16 linked_id;  // in the field
        ULONG present;
    } rows[] = {
        {"present", id, id, 1},
        {"missing", u"", id, 0},
        {"another device's key", u"##?#USB#Vid_055d&Pid_4010#other", id, 0},
        {"name differs in case", id, u"##?#USB#VID_055D&PID_4010#7&2F1C#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", 1},
        {"prefix of the key name only", id, u"##?#USB#Vid_055d&Pid_4010", 0},
        {"254-character name", longId, longId, 1},
        {"empty LinkedId names no device", id, u"", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        reg::DeleteKey(usb::kUsbDeviceClassKey);
        reg::CreateKey(usb::kUsbDeviceClassKey);
        if (!row.key.empty()) reg::CreateKey(kPresenceRoot + row.key);
        SetField(ext_->LinkedId, row.linked_id);
        EXPECT_EQ(IsLinkedUsb(ext_.get()), row.present);
        EXPECT_EQ(ksim::HandleCount(ksim::Process::System) + ksim::HandleCount(ksim::Process::Application), 0u);
    }
}

TEST_F(LinkTest, LinkPresentButDeviceUnpluggedIsReadButNotPresent)
{
    usb::SimPrinter printer;
    printer.WriteLinkConfig(kPort);
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 1u);
    EXPECT_EQ(FieldText(ext_->HardwareId), printer.HardwareId());
    EXPECT_EQ(FieldText(ext_->LinkedId), printer.LinkedId());
    EXPECT_EQ(IsLinkedUsb(ext_.get()), 1u);
    printer.Unplug();
    EXPECT_EQ(GetUsbHardwareId(ext_.get()), 1u);
    EXPECT_EQ(IsLinkedUsb(ext_.get()), 0u);
    printer.Plug();
    EXPECT_EQ(IsLinkedUsb(ext_.get()), 1u);
    ksim::InjectFault(ksim::Fault::RegistryOpen, STATUS_ACCESS_DENIED);
    EXPECT_EQ(IsLinkedUsb(ext_.get()), 0u);
}

// ---------------------------------------------------------------------------------------------
// Open profiles
// ---------------------------------------------------------------------------------------------
struct ProfileRow {
    VP_OPEN_PROFILE profile;
    ACCESS_MASK access;
    ULONG attributes;
    ULONG share;
    ULONG disposition;
    ULONG options;
};

const ProfileRow kProfiles[] = {
    {VpOpenWriteHandle, 0x100003, 0x40, 3, 3, 0x1060},
    {VpOpenWrite, 0x100002, 0x80, 2, 3, 0x60},
    {VpOpenRead, 0x3, 0x40, 3, 3, 0x1040},
};

TEST_F(LinkTest, EachOpenProfileReachesTheDeviceWithItsParameters)
{
    usb::SimPrinter printer;
    SetField(ext_->HardwareId, printer.HardwareId());
    for (const ProfileRow &row : kProfiles) {
        SCOPED_TRACE(int(row.profile));
        printer.ClearRecords();
        size_t before = ksim::FileCreates().size();
        HANDLE handle = nullptr;
        ASSERT_EQ(OpenUsbDevice(ext_.get(), row.profile, &handle), STATUS_SUCCESS);
        ASSERT_NE(handle, nullptr);

        auto creates = ksim::FileCreates();
        ASSERT_EQ(creates.size(), before + 1);
        const auto &call = creates.back();
        EXPECT_EQ(call.path, printer.HardwareId());
        EXPECT_EQ(call.desired_access, row.access);
        EXPECT_EQ(call.object_attributes, ULONG(OBJ_KERNEL_HANDLE));
        EXPECT_FALSE(call.has_root_directory);
        EXPECT_FALSE(call.has_security_descriptor);
        EXPECT_FALSE(call.has_allocation_size);
        EXPECT_EQ(call.file_attributes, row.attributes);
        EXPECT_EQ(call.share_access, row.share);
        EXPECT_EQ(call.create_disposition, row.disposition);
        EXPECT_EQ(call.create_options, row.options);
        EXPECT_EQ(call.ea_length, 0u);

        auto opens = printer.Opens();
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].desired_access, row.access);
        EXPECT_EQ(opens[0].file_attributes, row.attributes);
        EXPECT_EQ(opens[0].share_access, row.share);
        EXPECT_EQ(opens[0].create_disposition, row.disposition);
        EXPECT_EQ(opens[0].create_options, row.options);
        EXPECT_EQ(printer.OpenFiles(), 1u);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(printer.OpenFiles(), 0u);
    }
}

TEST_F(LinkTest, OpenUsbDevicePathOpensTheGivenPathAndEmptiesTheHandleOnFailure)
{
    usb::SimPrinter printer;
    const u16 &path = printer.HardwareId();
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR *>(path.data()));
    name.Length = USHORT(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenUsbDevicePath(&name, VpOpenRead, &handle), STATUS_SUCCESS);
    EXPECT_EQ(printer.Opens().at(0).desired_access, 0x3u);
    ZwClose(handle);

    printer.FailOpens(STATUS_ACCESS_DENIED);
    handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(OpenUsbDevicePath(&name, VpOpenRead, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(OpenUsbDevicePath(&name, VpOpenProfileCount, &handle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle, nullptr);
}

// ---------------------------------------------------------------------------------------------
// CreateWriteHandle
// ---------------------------------------------------------------------------------------------
TEST_F(LinkTest, CreateWriteHandleReplacesTheHandleAndClosesTheOldOneFirst)
{
    struct Row {
        const char *name;
        bool held;            // WriteHandle already holds a handle
        NTSTATUS open_fails;  // STATUS_SUCCESS: the device accepts the open
        bool unplugged;
        NTSTATUS expected;
    } rows[] = {
        {"first open", false, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"replacing a handle", true, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"open refused, no handle held", false, STATUS_ACCESS_DENIED, false, STATUS_ACCESS_DENIED},
        {"open refused, handle held", true, STATUS_SHARING_VIOLATION, false, STATUS_SHARING_VIOLATION},
        {"device gone, handle held", true, STATUS_SUCCESS, true, STATUS_SUCCESS},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        usb::SimPrinter printer;
        SetField(ext_->HardwareId, printer.HardwareId());
        if (row.held) {
            ASSERT_EQ(CreateWriteHandle(ext_.get()), STATUS_SUCCESS);
            ASSERT_NE(ext_->WriteHandle, nullptr);
            ASSERT_EQ(printer.OpenFiles(), 1u);
        }
        printer.ClearRecords();
        printer.FailOpens(row.open_fails);
        if (row.unplugged) printer.Unplug();

        NTSTATUS status = CreateWriteHandle(ext_.get());
        if (row.unplugged) {
            EXPECT_FALSE(NT_SUCCESS(status));
        } else {
            EXPECT_EQ(status, row.expected);
        }
        bool opened = NT_SUCCESS(status);
        EXPECT_EQ(ext_->WriteHandle != nullptr, opened);
        // The old handle is gone in every case: only the new one, if any, is open.
        EXPECT_EQ(printer.OpenFiles(), opened ? 1u : 0u);
        EXPECT_EQ(ksim::HandleCount(ksim::Process::System) + ksim::HandleCount(ksim::Process::Application),
                  opened ? 1u : 0u);
        if (!row.unplugged) {
            auto opens = printer.Opens();
            ASSERT_EQ(opens.size(), 1u);
            EXPECT_EQ(opens[0].desired_access, 0x100003u);
            EXPECT_EQ(opens[0].create_options, 0x1060u);
        }
        if (ext_->WriteHandle) ZwClose(ext_->WriteHandle);
        VpSetWriteHandle(ext_.get(), nullptr);
    }
}

TEST_F(LinkTest, CreateWriteHandleWithoutADeviceAtThePath)
{
    SetField(ext_->HardwareId, u"\\??\\USB#Vid_1504&Pid_0002#NOT-THERE");
    VpSetWriteHandle(ext_.get(), nullptr);
    NTSTATUS status = CreateWriteHandle(ext_.get());
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(ext_->WriteHandle, nullptr);
    EXPECT_EQ(ksim::FileCreates().back().status, status);
}

// ---------------------------------------------------------------------------------------------
// SendStatusRequest
// ---------------------------------------------------------------------------------------------
TEST_F(LinkTest, SendStatusRequestWritesThreeBytesOnAHandleOfItsOwn)
{
    usb::SimPrinter printer;
    SetField(ext_->HardwareId, printer.HardwareId());
    ASSERT_EQ(CreateWriteHandle(ext_.get()), STATUS_SUCCESS);
    HANDLE held = ext_->WriteHandle;
    printer.ClearRecords();

    SendStatusRequest(ext_.get());

    auto writes = printer.Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0x10, 0x04, 0x01}));
    EXPECT_EQ(writes[0].length, 3u);
    EXPECT_EQ(printer.StatusRequests(), 1u);
    auto opens = printer.Opens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].desired_access, 0x100002u);
    EXPECT_EQ(opens[0].file_attributes, 0x80u);
    EXPECT_EQ(opens[0].share_access, 2u);
    EXPECT_EQ(opens[0].create_options, 0x60u);
    // Its own handle is closed; the port's write handle is untouched and still open.
    EXPECT_EQ(ext_->WriteHandle, held);
    EXPECT_EQ(printer.OpenFiles(), 1u);
    ZwClose(ext_->WriteHandle);
    VpSetWriteHandle(ext_.get(), nullptr);
}

TEST_F(LinkTest, SendStatusRequestIsSilentWhenItCannotOpenOrWrite)
{
    struct Row {
        const char *name;
        bool unopenable;
        bool write_fails;
        bool unknown_path;
    } rows[] = {
        {"open refused", true, false, false},
        {"no device at the path", false, false, true},
        {"write fails", false, true, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        usb::SimPrinter printer;
        SetField(ext_->HardwareId, row.unknown_path ? u16(u"\\??\\USB#NOT-THERE") : printer.HardwareId());
        if (row.unopenable) printer.FailOpens(STATUS_ACCESS_DENIED);
        if (row.write_fails) printer.FailWrite(1, STATUS_IO_DEVICE_ERROR);
        ksim::ClearDebugLog();

        SendStatusRequest(ext_.get());

        EXPECT_TRUE(printer.WrittenBytes().empty());
        auto writes = printer.Writes();
        if (row.write_fails) {
            // Tried once, failed, and the handle was closed all the same.
            ASSERT_EQ(writes.size(), 1u);
            EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0x10, 0x04, 0x01}));
            EXPECT_FALSE(NT_SUCCESS(writes[0].status));
        } else {
            EXPECT_TRUE(writes.empty());
        }
        EXPECT_EQ(printer.OpenFiles(), 0u);
        EXPECT_EQ(ext_->WriteHandle, nullptr);
        EXPECT_TRUE(ksim::DebugLog().empty());
        EXPECT_EQ(ksim::HandleCount(ksim::Process::System) + ksim::HandleCount(ksim::Process::Application), 0u);
    }
}

}  // namespace
