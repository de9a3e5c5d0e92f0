// Port publication: the names a started port gets from PortName, its links to the PDO, its
// device-map value and its interface, and their withdrawal.
#include "port_fixture.h"

namespace port_test {
namespace {

constexpr const char16_t *kDosPrefix = u"\\DosDevices\\";

std::vector<uint8_t> Utf16Bytes(const u16 &text, bool with_null)
{
    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t *>(text.data()),
                               reinterpret_cast<const uint8_t *>(text.data() + text.size()));
    if (with_null) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// A loaded driver with one added (not started) port. PublishPort and UnpublishPort are called
// directly on its FDO, as the start and removal paths do.
class PublishTest : public PortTest {
protected:
    ksim::Pdo &AddPdo(const u16 &pdo_name = u"\\Device\\00000002") { return *AddBarePort(pdo_name).pdo; }
    static PDEVICE_EXTENSION Ext(ksim::Pdo &pdo)
    {
        return static_cast<PDEVICE_EXTENSION>(pdo.Top()->DeviceExtension);
    }
    static void SetPortName(ksim::Pdo &pdo, ULONG type, const std::vector<uint8_t> &data)
    {
        reg::SetValue(pdo.HardwareKeyPath(), u"PortName", type, data.data(), data.size());
    }
    static void SetPortName(ksim::Pdo &pdo, const u16 &name) { reg::SetString(pdo.HardwareKeyPath(), u"PortName", name); }

    static bool InterfaceEnabled(ksim::Pdo &pdo)
    {
        for (const auto &i : ksim::Interfaces())
            if (i.pdo == pdo.Object()) return i.enabled;
        return false;
    }
    // Nothing of the port is visible: no links for name, no device-map value, interface off.
    static void ExpectUnpublished(ksim::Pdo &pdo, const u16 &name)
    {
        EXPECT_FALSE(ksim::ObjectExists(kDosPrefix + name));
        EXPECT_FALSE(ksim::ObjectExists(kDosPrefix + name + u":"));
        EXPECT_FALSE(reg::GetValue(kDeviceMapKey, pdo.Name()).has_value());
        EXPECT_FALSE(InterfaceEnabled(pdo));
    }
    // The port is published under name: links to the PDO, the device-map value, the interface.
    static void ExpectPublished(ksim::Pdo &pdo, const u16 &name)
    {
        EXPECT_EQ(ksim::SymbolicLinkTarget(kDosPrefix + name), pdo.Name());
        EXPECT_EQ(ksim::SymbolicLinkTarget(kDosPrefix + name + u":"), pdo.Name());
        auto value = reg::GetValue(kDeviceMapKey, pdo.Name());
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, ULONG(REG_SZ));
        EXPECT_EQ(value->data, Utf16Bytes(name, false)) << "bare name, no null";
        EXPECT_TRUE(InterfaceEnabled(pdo));
    }
    static void ExpectNames(PDEVICE_EXTENSION ext, const u16 &name)
    {
        EXPECT_EQ(ksim::FromWz(ext->DosLinkName), kDosPrefix + name);
        EXPECT_EQ(ksim::FromWz(ext->DosLinkNameColon), kDosPrefix + name + u":");
        EXPECT_EQ(ksim::FromWz(ext->PortName), name);
    }
    static void ExpectNoNames(PDEVICE_EXTENSION ext)
    {
        EXPECT_EQ(ext->DosLinkName[0], 0);
        EXPECT_EQ(ext->DosLinkNameColon[0], 0);
        EXPECT_EQ(ext->PortName[0], 0);
    }
};

TEST_F(PublishTest, NamesLinksValueAndInterfaceFollowThePortName)
{
    // n characters give link names of 12 + n and 13 + n characters.
    for (const u16 &name : {u16(u"7"), u16(u"LPT3"), u16(u"PRINTER_PORT_20_CHAR"), u16(100, u'Q')}) {
        SCOPED_TRACE(ksim::Narrow(name));
        ksim::Pdo &pdo = AddPdo(u"\\Device\\Port" + name.substr(0, 8));
        SetPortName(pdo, name);
        ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
        PDEVICE_EXTENSION ext = Ext(pdo);
        ExpectNames(ext, name);
        EXPECT_EQ(ksim::FromWz(ext->DosLinkName).size(), 12 + name.size());
        EXPECT_EQ(ksim::FromWz(ext->DosLinkNameColon).size(), 13 + name.size());
        ExpectPublished(pdo, name);
        // The links lead to the PDO, never to the (unnamed) FDO.
        EXPECT_NE(pdo.Top(), pdo.Object());
    }
}

TEST_F(PublishTest, Lpt3DeviceMapValueIsNamedAfterThePdoAndHoldsEightBytes)
{
    ksim::Pdo &pdo = AddPdo(u"\\Device\\00000007");
    SetPortName(pdo, u"LPT3");
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    EXPECT_EQ(reg::ValueNames(kDeviceMapKey), std::vector<u16>{u"\\Device\\00000007"});
    auto value = reg::GetValue(kDeviceMapKey, u"\\Device\\00000007");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data.size(), 8u);
    EXPECT_EQ(value->data, Utf16Bytes(u"LPT3", false));
}

TEST_F(PublishTest, TextWithoutNullOrOfOddLengthStillGivesTerminatedNames)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> data;
        u16 expected;
    };
    const std::vector<Case> cases = {
        {"no terminating null", Utf16Bytes(u"LPT7", false), u"LPT7"},
        {"odd length: the last byte is a character of its own", {'L', 0, 'P', 0, 'T', 0, '7', 0, 'X'}, u"LPT7X"},
        {"odd length ending in half a null", {'L', 0, 'P', 0, 'T', 0, '5', 0, 0}, u"LPT5"},
        {"text after an embedded null is not part of the name", Utf16Bytes(u16(u"LPT3\0JUNK", 9), true), u"LPT3"},
    };
    ksim::Pdo &pdo = AddPdo();
    PDEVICE_EXTENSION ext = Ext(pdo);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // Stale text in every name field: only a name written with its terminator reads back right.
        std::fill(std::begin(ext->DosLinkName), std::end(ext->DosLinkName), u'A');
        std::fill(std::begin(ext->DosLinkNameColon), std::end(ext->DosLinkNameColon), u'A');
        std::fill(std::begin(ext->PortName), std::end(ext->PortName), u'A');
        SetPortName(pdo, REG_SZ, c.data);
        ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
        ExpectNames(ext, c.expected);
        ExpectPublished(pdo, c.expected);
    }
}

TEST_F(PublishTest, RecordLongerThanTheQueryBufferFailsBeforeAnythingIsStored)
{
    // Grow unterminated data byte by byte across the 255-byte record limit: every length that
    // fits publishes exactly that text, and from the first that does not, the query overflows and
    // the names of the last success stay.
    ksim::Pdo &pdo = AddPdo();
    PDEVICE_EXTENSION ext = Ext(pdo);
    u16 last_published;
    size_t fitted = 0, overflowed = 0;
    for (size_t bytes = 200; bytes <= 250; ++bytes) {
        SCOPED_TRACE(bytes);
        std::vector<uint8_t> data(bytes);
        for (size_t i = 0; i < bytes; ++i) data[i] = (i % 2) ? 0 : uint8_t('A' + (i / 2) % 26);
        SetPortName(pdo, REG_SZ, data);
        NTSTATUS status = PublishPort(pdo.Top());
        if (status == STATUS_SUCCESS) {
            ASSERT_EQ(overflowed, 0u) << "a longer record fitted after a shorter one overflowed";
            ++fitted;
            u16 expected;
            for (size_t i = 0; i < bytes; i += 2) expected.push_back(char16_t(data[i]));
            ExpectNames(ext, expected);
            ExpectPublished(pdo, expected);
            last_published = expected;
        } else {
            EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
            ++overflowed;
            ExpectNames(ext, last_published);
        }
    }
    EXPECT_GT(fitted, 0u);
    EXPECT_GT(overflowed, 0u);
    // A name too long for the record is never published; the last good one is still in place.
    ExpectPublished(pdo, last_published);
}

TEST_F(PublishTest, DataThatIsNotANameIsRefusedAndNothingIsPublished)
{
    const uint32_t three = 3;
    struct Case {
        const char *what;
        ULONG type;
        std::vector<uint8_t> data;
        NTSTATUS expected;
    };
    const std::vector<Case> cases = {
        {"REG_DWORD", REG_DWORD, {uint8_t(three), 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
        {"REG_BINARY holding text", REG_BINARY, Utf16Bytes(u"LPT3", true), STATUS_OBJECT_TYPE_MISMATCH},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, Utf16Bytes(u"LPT3", true), STATUS_OBJECT_TYPE_MISMATCH},
        {"REG_MULTI_SZ", REG_MULTI_SZ, Utf16Bytes(u16(u"LPT3\0", 5), true), STATUS_OBJECT_TYPE_MISMATCH},
        {"empty string", REG_SZ, Utf16Bytes(u"", true), STATUS_OBJECT_NAME_INVALID},
        {"no data at all", REG_SZ, {}, STATUS_OBJECT_NAME_INVALID},
    };
    ksim::Pdo &pdo = AddPdo();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetPortName(pdo, c.type, c.data);
        EXPECT_EQ(PublishPort(pdo.Top()), c.expected);
        ExpectNoNames(Ext(pdo));
        ExpectUnpublished(pdo, u"LPT3");
        // An empty name must not turn the DOS device directory into a link.
        EXPECT_FALSE(ksim::SymbolicLinkTarget(u"\\DosDevices\\").has_value());
        EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\:"));
    }
}

TEST_F(PublishTest, FailuresBeforeTheNamesLeaveNothingBehind)
{
    ksim::Pdo &pdo = AddPdo();
    const size_t handles = ksim::HandleCount(ksim::Process::System);

    // No PortName at all.
    NTSTATUS status = PublishPort(pdo.Top());
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;

    SetPortName(pdo, u"LPT3");
    ksim::InjectFault(ksim::Fault::RegistryOpen, STATUS_ACCESS_DENIED);
    EXPECT_EQ(PublishPort(pdo.Top()), STATUS_ACCESS_DENIED);

    ksim::InjectFault(ksim::Fault::RegistryQuery, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PublishPort(pdo.Top()), STATUS_INSUFFICIENT_RESOURCES);

    ExpectNoNames(Ext(pdo));
    ExpectUnpublished(pdo, u"LPT3");
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), handles) << "the device key stays open";
}

TEST_F(PublishTest, PdoNameLongerThanAllowedStoresTheNamesButPublishesNothing)
{
    // 8 + 130 characters: more than the 255 bytes the name is asked for with.
    ksim::Pdo &pdo = AddPdo(u"\\Device\\" + u16(130, u'D'));
    SetPortName(pdo, u"LPT3");
    NTSTATUS status = PublishPort(pdo.Top());
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    ExpectNames(Ext(pdo), u"LPT3");
    ExpectUnpublished(pdo, u"LPT3");
    EXPECT_TRUE(reg::ValueNames(kDeviceMapKey).empty());
}

TEST_F(PublishTest, DeviceMapScratchBufferFailureSkipsOnlyTheValue)
{
    ksim::Pdo &pdo = AddPdo();
    SetPortName(pdo, u"LPT3");
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\DosDevices\\LPT3"), pdo.Name());
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\DosDevices\\LPT3:"), pdo.Name());
    EXPECT_FALSE(reg::GetValue(kDeviceMapKey, pdo.Name()).has_value());
    EXPECT_TRUE(InterfaceEnabled(pdo));
}

TEST_F(PublishTest, WriteDeviceMapValueStoresTheGivenLengthAndFreesItsBuffer)
{
    const u16 base = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\";
    struct Case {
        const char *what;
        u16 key;
        bool written;
    };
    const std::vector<Case> cases = {
        {"the device-map key", kDeviceMapKey, true},
        {"a path of 126 characters: its copy stays terminated", base + u16(126 - base.size(), u'K'), true},
        {"a path of 127 characters would lose its null", base + u16(127 - base.size(), u'K'), false},
        {"a path far longer than the buffer", base + u16(200, u'K'), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        reg::CreateKey(c.key);
        UNICODE_STRING key_path;
        key_path.Buffer = const_cast<PWSTR>(ksim::Wz(c.key));
        key_path.Length = USHORT(c.key.size() * 2);
        key_path.MaximumLength = key_path.Length;
        // Data longer than the length given: only the given bytes are stored.
        WriteDeviceMapValue(ksim::Wz(u"\\Device\\Test"), &key_path, ksim::Wz(u"LPT3XYZ"), 8);
        auto value = reg::GetValue(c.key, u"\\Device\\Test");
        EXPECT_EQ(value.has_value(), c.written);
        if (value) {
            EXPECT_EQ(value->type, ULONG(REG_SZ));
            EXPECT_EQ(value->data, Utf16Bytes(u"LPT3", false));
        }
        for (const auto &block : ksim::OutstandingPool())
            EXPECT_NE(ksim::TagText(block.tag), "QW02") << "scratch buffer not freed";
    }
}

TEST_F(PublishTest, UnpublishWithdrawsOnlyThisPortsNamesAndValue)
{
    reg::SetString(kDeviceMapKey, u"\\Device\\Other", u"LPT1");
    ksim::Pdo &pdo = AddPdo();
    SetPortName(pdo, u"LPT3");
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    ExpectPublished(pdo, u"LPT3");

    UnpublishPort(pdo.Top());
    ExpectUnpublished(pdo, u"LPT3");
    EXPECT_EQ(Ext(pdo)->InterfaceName.Buffer, nullptr) << "interface name not freed";
    EXPECT_EQ(reg::GetString(kDeviceMapKey, u"\\Device\\Other"), u16(u"LPT1"));
}

TEST_F(PublishTest, UnpublishOfAPortNeverPublishedTouchesNothingElse)
{
    reg::SetString(kDeviceMapKey, u"\\Device\\Other", u"LPT1");
    ksim::Pdo &other = AddPdo(u"\\Device\\Other");
    SetPortName(other, u"LPT1");
    ASSERT_EQ(PublishPort(other.Top()), STATUS_SUCCESS);

    ksim::Pdo &pdo = AddPdo(u"\\Device\\Never");
    UnpublishPort(pdo.Top());
    EXPECT_FALSE(InterfaceEnabled(pdo));
    ExpectPublished(other, u"LPT1");
}

TEST_F(PublishTest, RestartUnderTheSameNameKeepsOneSetOfNames)
{
    ksim::Pdo &pdo = AddPdo();
    SetPortName(pdo, u"LPT3");
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    const size_t handles = ksim::HandleCount(ksim::Process::System);
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    ExpectPublished(pdo, u"LPT3");
    EXPECT_EQ(reg::ValueNames(kDeviceMapKey).size(), 1u);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), handles);

    pdo.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    ExpectUnpublished(pdo, u"LPT3");
}

TEST_F(PublishTest, RestartUnderANewNameWithdrawsTheOldLinks)
{
    ksim::Pdo &pdo = AddPdo();
    SetPortName(pdo, u"LPT3");
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    SetPortName(pdo, u"LPT4");
    ASSERT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3"));
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3:"));
    ExpectPublished(pdo, u"LPT4");

    pdo.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    ExpectUnpublished(pdo, u"LPT4");
    ExpectUnpublished(pdo, u"LPT3");
}

}  // namespace

// Windows does not check the access of a kernel handle, so the hardware key opened with the
// read-control mask answers the query there. A host that does check refuses the query; the name
// is then read through the key opened again for querying, once.
TEST_F(PublishTest, QueryRefusedForTheKeysAccessIsRetriedWithQueryAccess)
{
    ksim::Pdo &pdo = AddPdo();
    SetPortName(pdo, u"LPT3");
    uint64_t queries = ksim::CallCount(ksim::Fault::RegistryQuery);
    ksim::InjectFault(ksim::Fault::RegistryQuery, STATUS_ACCESS_DENIED);
    EXPECT_EQ(PublishPort(pdo.Top()), STATUS_SUCCESS);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryQuery) - queries, 2u);
    ExpectPublished(pdo, u"LPT3");

    ksim::Pdo &second = AddPdo(u"\\Device\\00000003");
    SetPortName(second, u"LPT4");
    const size_t handles = ksim::HandleCount(ksim::Process::System);
    queries = ksim::CallCount(ksim::Fault::RegistryQuery);
    ksim::InjectFault(ksim::Fault::RegistryQuery, STATUS_ACCESS_DENIED, 0, 2);
    EXPECT_EQ(PublishPort(second.Top()), STATUS_ACCESS_DENIED) << "a second refusal is final";
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryQuery) - queries, 2u);
    ExpectNoNames(Ext(second));
    ExpectUnpublished(second, u"LPT4");
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), handles) << "both key handles are closed";

    // Any other refusal of the query is not retried.
    queries = ksim::CallCount(ksim::Fault::RegistryQuery);
    ksim::InjectFault(ksim::Fault::RegistryQuery, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PublishPort(second.Top()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryQuery) - queries, 1u);
}

}  // namespace port_test
