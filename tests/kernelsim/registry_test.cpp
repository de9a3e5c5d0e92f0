// The registry: key opens and creation, the value records of ZwQueryValueKey byte for byte,
// deleted keys, the Rtl value routines, faults and the IRQL rule, and the test-side API.
#include "common/kernel_test.h"

#include <cstring>
#include <vector>

namespace {

using ksim::u16;

const u16 kLinkKey = u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8\\NARVELIN\\LPT3";
const u16 kDeviceMap = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";

// The counted string refers to `text`: keep it alive while the string is used.
UNICODE_STRING Str(const u16 &text)
{
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t *>(text.data()));
    s.Length = static_cast<USHORT>(text.size() * 2);
    s.MaximumLength = s.Length;
    return s;
}

NTSTATUS Open(const u16 &path, HANDLE *key, HANDLE root = nullptr)
{
    UNICODE_STRING name = Str(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwOpenKey(key, KEY_READ, &oa);
}

NTSTATUS Create(const u16 &path, HANDLE *key, ULONG *disposition, HANDLE root = nullptr)
{
    UNICODE_STRING name = Str(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, NULL, REG_OPTION_NON_VOLATILE, disposition);
}

struct Query {
    NTSTATUS status;
    ULONG result;
    std::vector<uint8_t> buffer;  // the whole buffer given, `length` bytes plus guard bytes
};

constexpr uint8_t kGuard = 0xA5;

Query QueryValue(HANDLE key, const u16 &value, KEY_VALUE_INFORMATION_CLASS cls, ULONG length)
{
    Query q;
    q.buffer.assign(length + 16, kGuard);
    q.result = 0xDEADBEEF;
    UNICODE_STRING name = Str(value);
    q.status = ZwQueryValueKey(key, &name, cls, q.buffer.data(), length, &q.result);
    return q;
}

ULONG Field(const std::vector<uint8_t> &buffer, size_t offset)
{
    ULONG v;
    std::memcpy(&v, buffer.data() + offset, sizeof(v));
    return v;
}

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

class RegistryTest : public KernelTest {};

// ---- The full-information record at the driver's 255-byte buffer ------------------------------

TEST_F(RegistryTest, FullInformationAroundThe255ByteBuffer)
{
    // "HardwareId" is 20 bytes of name: the data starts at 40, so 214/215/216 data bytes make
    // records of 254/255/256 bytes.
    struct Row {
        size_t data;
        NTSTATUS status;
        ULONG result;
    };
    const Row rows[] = {
        {214, STATUS_SUCCESS, 254},
        {215, STATUS_SUCCESS, 255},
        {216, STATUS_BUFFER_OVERFLOW, 256},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.data);
        auto data = Pattern(row.data);
        ksim::reg::SetValue(kLinkKey, u"HardwareId", REG_BINARY, data.data(), data.size());
        HANDLE key = nullptr;
        ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
        Query q = QueryValue(key, u"HardwareId", KeyValueFullInformation, 255);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        EXPECT_EQ(q.status, row.status);
        EXPECT_EQ(q.result, row.result);
        // The fixed part is always filled when it fits.
        EXPECT_EQ(Field(q.buffer, 0), 0u);            // TitleIndex
        EXPECT_EQ(Field(q.buffer, 4), ULONG(REG_BINARY));
        EXPECT_EQ(Field(q.buffer, 8), 40u);           // DataOffset
        EXPECT_EQ(Field(q.buffer, 12), row.data);     // DataLength: the whole value, even when cut
        EXPECT_EQ(Field(q.buffer, 16), 20u);          // NameLength
        EXPECT_EQ(0, std::memcmp(q.buffer.data() + 20, u"HardwareId", 20));
        // Data as far as it fits, and not one byte past the buffer.
        size_t copied = std::min<size_t>(row.data, 255 - 40);
        EXPECT_EQ(0, std::memcmp(q.buffer.data() + 40, data.data(), copied));
        for (size_t i = 255; i < q.buffer.size(); ++i) ASSERT_EQ(q.buffer[i], kGuard) << "byte " << i;
    }
}

TEST_F(RegistryTest, FullInformationBelowAndAtTheFixedPart)
{
    ksim::reg::SetString(kLinkKey, u"LinkedId", u"##?#USB#Vid_1504&Pid_0002");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    const ULONG full = 40 + 26 * 2;  // name 16 bytes -> data at 40; 25 characters and the null

    Query small = QueryValue(key, u"LinkedId", KeyValueFullInformation, 19);
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.result, full);
    for (uint8_t b : small.buffer) ASSERT_EQ(b, kGuard);  // nothing written

    Query zero = QueryValue(key, u"LinkedId", KeyValueFullInformation, 0);
    EXPECT_EQ(zero.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(zero.result, full);

    Query fixed = QueryValue(key, u"LinkedId", KeyValueFullInformation, 20);
    EXPECT_EQ(fixed.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(fixed.result, full);
    EXPECT_EQ(Field(fixed.buffer, 4), ULONG(REG_SZ));
    EXPECT_EQ(Field(fixed.buffer, 8), 40u);
    EXPECT_EQ(Field(fixed.buffer, 12), 52u);
    EXPECT_EQ(Field(fixed.buffer, 16), 16u);
    EXPECT_EQ(fixed.buffer[20], kGuard);

    // A name cut short is copied as far as it goes.
    Query cut = QueryValue(key, u"LinkedId", KeyValueFullInformation, 26);
    EXPECT_EQ(cut.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(0, std::memcmp(cut.buffer.data() + 20, u"Lin", 6));
    EXPECT_EQ(cut.buffer[26], kGuard);

    Query whole = QueryValue(key, u"LinkedId", KeyValueFullInformation, full);
    EXPECT_EQ(whole.status, STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(whole.buffer.data() + 40, u"##?#USB#Vid_1504&Pid_0002", 52));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, FullInformationDataOffsetAlignment)
{
    struct Row {
        const char16_t *name;
        size_t data;
        ULONG offset;
        ULONG result;
    };
    const Row rows[] = {
        {u"Port", 4, 32, 36},        // 20 + 8 = 28, next 8-byte boundary 32
        {u"PortName", 10, 40, 50},   // 20 + 16 = 36 -> 40
        {u"Abc", 2, 32, 34},         // 20 + 6 = 26 -> 32
        {u"Name1234", 2, 40, 42},
        {u"Empty", 0, 30, 30},       // no data: nothing to align, the record ends after the name
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(ksim::Narrow(row.name));
        auto data = Pattern(row.data);
        ksim::reg::SetValue(kLinkKey, row.name, REG_BINARY, data.data(), data.size());
        HANDLE key = nullptr;
        ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
        Query q = QueryValue(key, row.name, KeyValueFullInformation, 128);
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        EXPECT_EQ(q.status, STATUS_SUCCESS);
        EXPECT_EQ(q.result, row.result);
        EXPECT_EQ(Field(q.buffer, 8), row.offset);
        if (row.data != 0) {
            EXPECT_EQ(0, std::memcmp(q.buffer.data() + row.offset, data.data(), row.data));
        }
    }
}

TEST_F(RegistryTest, PartialAndBasicInformation)
{
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ksim::reg::SetValue(kLinkKey, u"Blob", REG_BINARY, data, sizeof(data));
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);

    Query p = QueryValue(key, u"Blob", KeyValuePartialInformation, 64);
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.result, 12u + 5u);
    EXPECT_EQ(Field(p.buffer, 4), ULONG(REG_BINARY));
    EXPECT_EQ(Field(p.buffer, 8), 5u);
    EXPECT_EQ(0, std::memcmp(p.buffer.data() + 12, data, 5));

    Query pSmall = QueryValue(key, u"Blob", KeyValuePartialInformation, 11);
    EXPECT_EQ(pSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(pSmall.result, 17u);
    Query pCut = QueryValue(key, u"Blob", KeyValuePartialInformation, 14);
    EXPECT_EQ(pCut.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(pCut.result, 17u);
    EXPECT_EQ(Field(pCut.buffer, 8), 5u);
    EXPECT_EQ(pCut.buffer[12], 1);
    EXPECT_EQ(pCut.buffer[13], 2);
    EXPECT_EQ(pCut.buffer[14], kGuard);

    Query b = QueryValue(key, u"Blob", KeyValueBasicInformation, 64);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    EXPECT_EQ(b.result, 12u + 8u);
    EXPECT_EQ(Field(b.buffer, 4), ULONG(REG_BINARY));
    EXPECT_EQ(Field(b.buffer, 8), 8u);
    EXPECT_EQ(0, std::memcmp(b.buffer.data() + 12, u"Blob", 8));
    Query bCut = QueryValue(key, u"Blob", KeyValueBasicInformation, 12);
    EXPECT_EQ(bCut.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bCut.result, 20u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, MissingValueAndBadHandle)
{
    ksim::reg::CreateKey(kLinkKey);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    Query q = QueryValue(key, u"HardwareId", KeyValueFullInformation, 255);
    EXPECT_EQ(q.status, STATUS_OBJECT_NAME_NOT_FOUND);
    const u16 hardwareId = u"HardwareId";
    UNICODE_STRING name = Str(hardwareId);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ULONG result = 0;
    uint8_t buffer[32];
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_INVALID_HANDLE);
}

// ---- Names and paths ----------------------------------------------------------------------------

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseAndKeepTheirSpelling)
{
    ksim::reg::SetString(kLinkKey, u"HardwareId", u"\\??\\USB#x");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\registry\\machine\\software\\rm8\\narvelin\\lpt3", &key), STATUS_SUCCESS);
    Query q = QueryValue(key, u"HARDWAREID", KeyValueFullInformation, 255);
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(q.buffer.data() + 20, u"HardwareId", 20));  // stored spelling

    // Writing under another spelling replaces the value and keeps its first name.
    const u16 otherSpelling = u"hardwareID";
    UNICODE_STRING name = Str(otherSpelling);
    const char16_t text[] = u"new";
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, (PVOID)text, sizeof(text)), STATUS_SUCCESS);
    EXPECT_EQ(ksim::reg::ValueNames(kLinkKey), std::vector<u16>{u"HardwareId"});
    EXPECT_EQ(ksim::reg::GetString(kLinkKey, u"HARDWAREid"), u16(u"new"));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // Creating an existing key under another spelling opens it.
    ULONG disposition = 0;
    ASSERT_EQ(Create(u"\\REGISTRY\\Machine\\Software\\Rm8\\Narvelin\\Lpt3", &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(ksim::reg::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8\\NARVELIN\\lpt3"));
}

TEST_F(RegistryTest, OpenAndCreateStatuses)
{
    HANDLE key = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Open(kLinkKey, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Open(u"MACHINE\\SOFTWARE", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\Foo", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\Foo\\Bar", &key), STATUS_OBJECT_PATH_NOT_FOUND);

    // The parent must exist for a create, as on Windows.
    ULONG disposition = 0;
    EXPECT_EQ(Create(kLinkKey, &key, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(ksim::reg::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8"));

    HANDLE software = nullptr;
    ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE\\SOFTWARE\\", &software), STATUS_SUCCESS);
    HANDLE rm8 = nullptr;
    ASSERT_EQ(Create(u"RM8", &rm8, &disposition, software), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(ksim::reg::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8"));
    HANDLE again = nullptr;
    ASSERT_EQ(Open(u"rm8", &again, software), STATUS_SUCCESS);  // relative open
    EXPECT_EQ(Open(u"\\RM8", &key, software), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"RM8\\NARVELIN", &key, software), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE h : {software, rm8, again}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ksim::KernelHandleCount(), 0u);
}

TEST_F(RegistryTest, StandardKeysExistAtStart)
{
    for (const char16_t *path : {u"\\REGISTRY\\MACHINE\\SOFTWARE",
                                 u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
                                 u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
                                 u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
                                 u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", u"\\REGISTRY\\USER"})
        EXPECT_TRUE(ksim::reg::KeyExists(path)) << ksim::Narrow(path);
    EXPECT_FALSE(ksim::reg::KeyExists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\PARALLEL PORTS"));
}

// ---- Deleted keys -----------------------------------------------------------------------------

TEST_F(RegistryTest, HandleOnADeletedKeyStaysValidButFails)
{
    ksim::reg::SetDword(kLinkKey, u"Value", 7);
    ksim::reg::CreateKey(kLinkKey + u"\\Sub");
    HANDLE key = nullptr;
    HANDLE sub = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    ASSERT_EQ(Open(kLinkKey + u"\\Sub", &sub), STATUS_SUCCESS);
    ASSERT_TRUE(ksim::reg::DeleteKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8"));  // with its subkeys
    EXPECT_FALSE(ksim::reg::KeyExists(kLinkKey));

    Query q = QueryValue(key, u"Value", KeyValuePartialInformation, 64);
    EXPECT_EQ(q.status, STATUS_KEY_DELETED);
    const u16 valueName = u"Value";
    UNICODE_STRING name = Str(valueName);
    ULONG v = 1;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &v, sizeof(v)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_KEY_DELETED);
    EXPECT_EQ(QueryValue(sub, u"x", KeyValuePartialInformation, 64).status, STATUS_KEY_DELETED);
    HANDLE child = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Open(u"Sub", &child, key), STATUS_KEY_DELETED);
    EXPECT_EQ(Create(u"New", &child, &disposition, key), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);

    // A key made again under the same path is a new key.
    ksim::reg::CreateKey(kLinkKey);
    EXPECT_FALSE(ksim::reg::GetValue(kLinkKey, u"Value").has_value());
}

// ZwDeleteKey takes the key from the namespace at once; a key with subkeys is refused.
TEST_F(RegistryTest, ZwDeleteKeyRefusesAParentAndDeletesALeaf)
{
    ksim::reg::CreateKey(kLinkKey + u"\\Sub");
    HANDLE key = nullptr;
    HANDLE sub = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(kLinkKey, &key, &disposition), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"Sub", &sub, key), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    EXPECT_TRUE(ksim::reg::KeyExists(kLinkKey));
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_SUCCESS);
    EXPECT_FALSE(ksim::reg::KeyExists(kLinkKey + u"\\Sub"));
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_KEY_DELETED);  // the handle stays, the key is gone
    EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    EXPECT_FALSE(ksim::reg::KeyExists(kLinkKey));
    EXPECT_EQ(ZwClose(sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---- Rtl value routines --------------------------------------------------------------------------

TEST_F(RegistryTest, DeviceMapValueWrittenAbsoluteAndDeletedRelative)
{
    const u16 path = kDeviceMap + u"\\PARALLEL PORTS";
    const WCHAR port[] = L"LPT3";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, ksim::Wz(path), L"\\Device\\00000002",
                                    REG_SZ, (PVOID)port, 8),
              STATUS_SUCCESS);
    auto value = ksim::reg::GetValue(path, u"\\device\\00000002");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data.size(), 8u);  // stored as given: no null added
    EXPECT_EQ(0, std::memcmp(value->data.data(), u"LPT3", 8));
    EXPECT_EQ(ksim::KernelHandleCount(), 0u);  // its own handle is closed

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\PARALLEL PORTS", L"\\Device\\00000002"),
              STATUS_SUCCESS);
    EXPECT_FALSE(ksim::reg::GetValue(path, u"\\Device\\00000002").has_value());
    EXPECT_TRUE(ksim::reg::KeyExists(path));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\PARALLEL PORTS", L"\\Device\\00000002"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ksim::KernelHandleCount(), 0u);
}

TEST_F(RegistryTest, RtlRelativeFormsAndKeyCreation)
{
    const WCHAR data[] = L"x";
    // A relative path without a leading separator gets one.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"A", REG_SZ, (PVOID)data, sizeof(data)),
              STATUS_SUCCESS);
    EXPECT_TRUE(ksim::reg::GetValue(kDeviceMap + u"\\SERIALCOMM", u"A").has_value());
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"vparallel", L"B", REG_SZ, (PVOID)data, sizeof(data)),
              STATUS_SUCCESS);
    EXPECT_TRUE(ksim::reg::GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vparallel", u"B").has_value());
    // Only the last key is created.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\A\\B", L"C", REG_SZ, (PVOID)data, sizeof(data)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(ksim::reg::KeyExists(kDeviceMap + u"\\A"));
    // Deleting under a missing key fails.
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\Missing", L"C"), STATUS_OBJECT_NAME_NOT_FOUND);

    // The handle form writes through the caller's handle and leaves it open.
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kDeviceMap, &key), STATUS_SUCCESS);
    ULONG dword = 0x01020304;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)key, L"D", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    auto value = ksim::reg::GetValue(kDeviceMap, u"D");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, (std::vector<uint8_t>{4, 3, 2, 1}));
    ASSERT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE, (PCWSTR)key, L"D"), STATUS_SUCCESS);
    EXPECT_EQ(ksim::KernelHandleCount(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// ---- Faults, IRQL and leaks -------------------------------------------------------------------------

TEST_F(RegistryTest, InjectedFaultsAndCallCounts)
{
    ksim::reg::SetDword(kLinkKey, u"V", 1);
    uint64_t opens = ksim::CallCount(ksim::Fault::RegistryOpen);
    uint64_t queries = ksim::CallCount(ksim::Fault::RegistryQuery);

    ksim::InjectFault(ksim::Fault::RegistryOpen, STATUS_ACCESS_DENIED, 1);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);  // skipped
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    ULONG disposition = 0;
    EXPECT_EQ(Create(kLinkKey, &key, &disposition), STATUS_ACCESS_DENIED);  // creates count as opens
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryOpen), opens + 3);

    ksim::InjectFault(ksim::Fault::RegistryQuery, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryValue(key, u"V", KeyValuePartialInformation, 64).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryValue(key, u"V", KeyValuePartialInformation, 64).status, STATUS_SUCCESS);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryQuery), queries + 2);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // The test side counts nothing.
    ksim::reg::GetValue(kLinkKey, u"V");
    ksim::reg::KeyExists(kLinkKey);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::RegistryOpen), opens + 3);
}

TEST_F(RegistryTest, RegistryCallsAboveLowestLevelAreFlagged)
{
    ksim::reg::CreateKey(kLinkKey);
    HANDLE key = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = Open(kLinkKey, &key);
    KeLowerIrql(old);
    ExpectViolations({"passive-required"});
    if (NT_SUCCESS(status)) ZwClose(key);

    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    KeRaiseIrql(APC_LEVEL, &old);
    QueryValue(key, u"V", KeyValuePartialInformation, 64);
    KeLowerIrql(old);
    ExpectViolations({"passive-required"});
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryTest, UnclosedKeyIsALeak)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kDeviceMap, &key), STATUS_SUCCESS);
    auto leaks = ksim::CheckLeaks();
    ASSERT_EQ(leaks.size(), 1u) << ViolationsText(leaks);
    EXPECT_EQ(leaks[0].rule, "leak-handle");
    ksim::ClearViolations();
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(ksim::CheckLeaks().empty());
}

// ---- Text ---------------------------------------------------------------------------------------------

TEST_F(RegistryTest, Utf16ValueEqualsTheDriversLiteral)
{
    static_assert(sizeof(WCHAR) == 2 && sizeof(L"LPT3") == 10, "driver literals are UTF-16");
    ksim::reg::SetString(kLinkKey, u"PortName", u"LPT3");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(kLinkKey, &key), STATUS_SUCCESS);
    Query q = QueryValue(key, u"PortName", KeyValueFullInformation, 255);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ASSERT_EQ(q.status, STATUS_SUCCESS);
    const WCHAR *text = reinterpret_cast<const WCHAR *>(q.buffer.data() + Field(q.buffer, 8));
    EXPECT_EQ(Field(q.buffer, 12), sizeof(L"LPT3"));  // with its null
    EXPECT_EQ(0, std::memcmp(text, L"LPT3", sizeof(L"LPT3")));
    EXPECT_EQ(0, wcsncmp(text, L"LPT3", 5));
    EXPECT_NE(0, wcsncmp(text, L"lpt3", 5));  // the comparison itself is case-sensitive
    EXPECT_EQ(ksim::FromWz(text), u16(u"LPT3"));
}

// ---- The test-side API ----------------------------------------------------------------------------------

TEST_F(RegistryTest, TestSideApi)
{
    const u16 key = kLinkKey;
    const char16_t withNull[] = {u'a', u'b', 0, u'c'};
    ksim::reg::SetValue(key, u"Embedded", REG_MULTI_SZ, withNull, sizeof(withNull));
    EXPECT_EQ(ksim::reg::GetString(key, u"Embedded"), u16(u"ab"));  // up to the first null
    ksim::reg::SetDword(key, u"Count", 0x11223344);
    auto dword = ksim::reg::GetValue(key, u"count");
    ASSERT_TRUE(dword.has_value());
    EXPECT_EQ(dword->type, ULONG(REG_DWORD));
    EXPECT_EQ(dword->data, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    ksim::reg::SetString(key, u"Text", u"hi", REG_EXPAND_SZ);
    EXPECT_EQ(ksim::reg::GetValue(key, u"Text")->data.size(), 6u);
    EXPECT_EQ(ksim::reg::GetValue(key, u"Text")->type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(ksim::reg::ValueNames(key), (std::vector<u16>{u"Embedded", u"Count", u"Text"}));
    EXPECT_TRUE(ksim::reg::DeleteValue(key, u"COUNT"));
    EXPECT_FALSE(ksim::reg::DeleteValue(key, u"Count"));
    EXPECT_EQ(ksim::reg::ValueNames(key), (std::vector<u16>{u"Embedded", u"Text"}));
    EXPECT_FALSE(ksim::reg::GetString(key, u"Missing").has_value());
    EXPECT_FALSE(ksim::reg::GetString(key + u"\\Missing", u"Text").has_value());
    EXPECT_TRUE(ksim::reg::ValueNames(key + u"\\Missing").empty());
    EXPECT_FALSE(ksim::reg::DeleteKey(key + u"\\Missing"));
    EXPECT_FALSE(ksim::reg::DeleteKey(u"\\REGISTRY"));
    EXPECT_TRUE(ksim::reg::DeleteKey(key));
    EXPECT_FALSE(ksim::reg::KeyExists(key));
    EXPECT_TRUE(ksim::reg::KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\RM8\\NARVELIN"));
    EXPECT_THROW(ksim::reg::CreateKey(u"\\Device\\Foo"), std::invalid_argument);
}

}  // namespace
