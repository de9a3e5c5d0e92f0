// Pool, handles, the object namespace and counted strings.
#include "common/kernel_test.h"

#include "../../kernelsim/src/core.h"

#include <algorithm>

namespace {

using ksim::u16;
namespace kd = ksim::detail;

constexpr ULONG Tag(const char (&t)[5])
{
    return static_cast<ULONG>(t[0]) << 24 | static_cast<ULONG>(t[1]) << 16 | static_cast<ULONG>(t[2]) << 8 |
           static_cast<ULONG>(t[3]);
}
constexpr ULONG kTag = Tag("QW01");

class PoolTest : public KernelTest {};

TEST_F(PoolTest, BlocksAreTrackedWithTypeSizeAndTag)
{
    auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag));
    ASSERT_NE(block, nullptr);
    // Pool is not zeroed: code that forgets to clear it must not get zeros by luck.
    EXPECT_TRUE(std::all_of(block, block + 100, [](uint8_t b) { return b == 0xCD; }));
    auto blocks = ksim::OutstandingPool();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].address, block);
    EXPECT_EQ(blocks[0].size, 100u);
    EXPECT_EQ(blocks[0].tag, kTag);
    EXPECT_EQ(blocks[0].type, NonPagedPoolNx);
    EXPECT_EQ(ksim::TagText(blocks[0].tag), "QW01");
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(ksim::OutstandingPool().empty());

    void *untagged = ExAllocatePool(PagedPool, 8);
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(ksim::TagText(ksim::OutstandingPool()[0].tag), "None");
    ExFreePool(untagged);
}

TEST_F(PoolTest, InjectedFaultsFailTheChosenAllocations)
{
    uint64_t before = ksim::CallCount(ksim::Fault::PoolAllocation);
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_INSUFFICIENT_RESOURCES, /*skip=*/1, /*count=*/2);
    std::vector<void *> got;
    for (int i = 0; i < 5; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag));
    EXPECT_NE(got[0], nullptr);
    EXPECT_EQ(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    EXPECT_NE(got[4], nullptr);
    EXPECT_EQ(ksim::CallCount(ksim::Fault::PoolAllocation), before + 5);
    EXPECT_EQ(ksim::OutstandingPool().size(), 3u);
    ksim::InjectFault(ksim::Fault::PoolAllocation, STATUS_INSUFFICIENT_RESOURCES, 0, 100);
    ksim::ClearFaults();
    void *after_clear = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    EXPECT_NE(after_clear, nullptr);
    got.push_back(after_clear);
    for (void *p : got) {
        if (p != nullptr) ExFreePoolWithTag(p, kTag);
    }
}

TEST_F(PoolTest, LeaksAreReportedPerBlockWithTheirTag)
{
    void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 262145, kTag);
    void *b = ExAllocatePoolWithTag(PagedPool, 10, Tag("QW02"));
    auto leaks = ksim::CheckLeaks();
    ASSERT_EQ(leaks.size(), 2u);
    std::string all = ViolationsText(leaks);
    EXPECT_NE(all.find("QW01, 262145 bytes"), std::string::npos) << all;
    EXPECT_NE(all.find("QW02, 10 bytes, PagedPool"), std::string::npos) << all;
    ExpectViolations({"leak-pool", "leak-pool"});
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, Tag("QW02"));
}

TEST_F(PoolTest, TeardownReportsWhatWasLeft)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
    kernel_.reset();
    auto seen = ksim::Violations();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, "leak-pool");
    EXPECT_NE(seen[0].detail.find("QW01"), std::string::npos);
    ksim::ClearViolations();
    kernel_ = std::make_unique<ksim::Kernel>();
    EXPECT_TRUE(ksim::OutstandingPool().empty());  // a new kernel starts clean
}

// ---- objects and handles ---------------------------------------------------------------------------

struct Body {
    int destroyed = 0;
};
void DestroyBody(void *body) { static_cast<Body *>(body)->destroyed++; }

class ObjectTest : public KernelTest {};

TEST_F(ObjectTest, LastReferenceDestroysTheObject)
{
    Body body;
    kd::ObRegister(&body, kd::ObType::Event, DestroyBody);
    EXPECT_EQ(ObReferenceObject(&body), 2);
    EXPECT_EQ(ObDereferenceObject(&body), 1);
    EXPECT_EQ(body.destroyed, 0);
    EXPECT_EQ(ObDereferenceObject(&body), 0);
    EXPECT_EQ(body.destroyed, 1);
    EXPECT_FALSE(kd::ObIsObject(&body));
    ObDereferenceObject(&body);  // no longer an object
    ExpectViolations({"object-dereference-unknown"});
    EXPECT_EQ(body.destroyed, 1);
}

// Each process's handle values are its own: the same value names a different object in each. A
// kernel handle names the same object in every process context, is not in the application's
// table, and is not the application's to close.
TEST_F(ObjectTest, HandleValuesArePerProcessButKernelHandlesAreEverywhere)
{
    Body body, other;
    kd::ObRegister(&body, kd::ObType::Event, DestroyBody);
    kd::ObRegister(&other, kd::ObType::Event, DestroyBody);
    HANDLE app = nullptr, sys = nullptr, kernel = nullptr;
    ASSERT_EQ(kd::ObInsertHandle(&body, EVENT_ALL_ACCESS, &app, false), STATUS_SUCCESS);
    {
        kd::ScopedProcess system(ksim::Process::System);
        ASSERT_EQ(kd::ObInsertHandle(&other, EVENT_ALL_ACCESS, &sys, false), STATUS_SUCCESS);
    }
    ASSERT_EQ(kd::ObInsertHandle(&other, EVENT_ALL_ACCESS, &kernel, true), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(app) % 4, 0u);
    EXPECT_EQ(app, sys) << "the first handle of each process";
    EXPECT_LT(reinterpret_cast<intptr_t>(kernel), 0);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::Application), 1u);
    EXPECT_EQ(ksim::HandleCount(ksim::Process::System), 2u);
    EXPECT_EQ(ksim::KernelHandleCount(), 1u);
    EXPECT_EQ(kd::ObHandleCount(ksim::Process::Application, kd::ObType::Event), 1u);
    EXPECT_EQ(kd::ObHandleCount(ksim::Process::Application, kd::ObType::File), 0u);

    auto found_as = [](ksim::Process process, HANDLE handle) -> void * {
        kd::ScopedProcess scope(process);
        void *found = nullptr;
        if (kd::ObReferenceHandle(handle, kd::ObType::Event, &found) != STATUS_SUCCESS) return nullptr;
        ObDereferenceObject(found);
        return found;
    };
    EXPECT_EQ(found_as(ksim::Process::Application, sys), &body) << "the system's value is the application's own";
    EXPECT_EQ(found_as(ksim::Process::System, sys), &other);
    EXPECT_EQ(found_as(ksim::Process::Application, kernel), &other);
    EXPECT_EQ(found_as(ksim::Process::System, kernel), &other);
    void *found = nullptr;
    EXPECT_EQ(kd::ObReferenceHandle(app, kd::ObType::File, &found), STATUS_OBJECT_TYPE_MISMATCH);

    // The application cannot close the kernel's handle; it may close its own.
    EXPECT_EQ(ksim::CloseApplicationHandle(kernel), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ksim::KernelHandleCount(), 1u);

    kd::ObRelease(&body);  // the creation references; the handles keep the objects alive
    kd::ObRelease(&other);
    EXPECT_EQ(body.destroyed, 0);
    EXPECT_EQ(ksim::CloseApplicationHandle(app), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(app), STATUS_INVALID_HANDLE);  // closed twice
    ExpectViolations({"close-invalid-handle"});
    EXPECT_EQ(body.destroyed, 1);
    {
        kd::ScopedProcess system(ksim::Process::System);
        EXPECT_EQ(ZwClose(sys), STATUS_SUCCESS);
    }
    EXPECT_EQ(other.destroyed, 0);
    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS) << "a kernel handle closes from any process context";
    EXPECT_EQ(other.destroyed, 1);
}

std::vector<size_t> g_hook_calls;
void RecordingHook(void *, size_t left) { g_hook_calls.push_back(left); }

TEST_F(ObjectTest, CloseHooksSeeTheHandlesLeft)
{
    g_hook_calls.clear();
    kd::ObSetCloseHook(kd::ObType::Mutex, RecordingHook);
    Body body;
    kd::ObRegister(&body, kd::ObType::Mutex, DestroyBody);
    HANDLE h1, h2;
    kd::ObInsertHandle(&body, 0, &h1, true);
    kd::ObInsertHandle(&body, 0, &h2, true);
    kd::ObRelease(&body);
    ZwClose(h2);
    ZwClose(h1);
    EXPECT_EQ(g_hook_calls, (std::vector<size_t>{1, 0}));
    EXPECT_EQ(body.destroyed, 1);
}

TEST_F(ObjectTest, LeakedHandlesAreReported)
{
    Body body;
    kd::ObRegister(&body, kd::ObType::Event, DestroyBody);
    HANDLE h;
    kd::ObInsertHandle(&body, 0, &h, false);
    kd::ObRelease(&body);
    auto leaks = ksim::CheckLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].rule, "leak-handle");
    EXPECT_NE(leaks[0].detail.find("Application"), std::string::npos);
    ExpectViolations({"leak-handle"});
    ZwClose(h);
}

TEST_F(ObjectTest, NamesLinksAndAliases)
{
    Body device, usb;
    kd::ObRegister(&device, kd::ObType::Device, DestroyBody);
    kd::ObRegister(&usb, kd::ObType::Device, DestroyBody);
    ASSERT_EQ(kd::ObInsertName(u"\\Device\\00000002", &device), STATUS_SUCCESS);
    ASSERT_EQ(kd::ObInsertName(u"\\Device\\SimUsb0", &usb), STATUS_SUCCESS);
    EXPECT_EQ(kd::ObInsertName(u"\\DEVICE\\00000002", &usb), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kd::ObNameOf(&device), u"\\Device\\00000002");

    ASSERT_EQ(kd::ObCreateSymbolicLink(u"\\DosDevices\\LPT3", u"\\Device\\00000002"), STATUS_SUCCESS);
    EXPECT_EQ(kd::ObCreateSymbolicLink(u"\\??\\lpt3", u"\\Device\\SimUsb0"), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(kd::ObCreateSymbolicLink(u"\\??\\USB#Vid_1504#{28d78fad}", u"\\Device\\SimUsb0"), STATUS_SUCCESS);

    struct Row {
        const char16_t *path;
        void *object;
        const char16_t *rest;
    };
    for (Row row : {
             Row{u"\\??\\LPT3", &device, u""},
             Row{u"\\DosDevices\\lpt3", &device, u""},
             Row{u"\\GLOBAL??\\LPT3", &device, u""},
             Row{u"\\??\\LPT3\\sub\\file", &device, u"\\sub\\file"},
             Row{u"\\??\\usb#VID_1504#{28D78FAD}", &usb, u""},
             Row{u"\\Device\\SimUsb0\\x", &usb, u"\\x"},
         }) {
        SCOPED_TRACE(ksim::Narrow(row.path));
        void *object = nullptr;
        u16 rest;
        ASSERT_EQ(kd::ObResolve(row.path, &object, &rest), STATUS_SUCCESS);
        EXPECT_EQ(object, row.object);
        EXPECT_EQ(rest, row.rest);
        kd::ObRelease(object);
    }
    void *object = nullptr;
    u16 rest;
    EXPECT_EQ(kd::ObResolve(u"\\??\\LPT4", &object, &rest), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kd::ObResolve(u"LPT3", &object, &rest), STATUS_OBJECT_NAME_INVALID);

    EXPECT_TRUE(ksim::ObjectExists(u"\\DosDevices\\LPT3"));
    EXPECT_TRUE(ksim::ObjectExists(u"\\??\\LPT3"));
    EXPECT_EQ(ksim::SymbolicLinkTarget(u"\\??\\LPT3"), std::optional<u16>(u"\\Device\\00000002"));
    EXPECT_EQ(kd::ObDeleteSymbolicLink(u"\\??\\LPT3"), STATUS_SUCCESS);
    EXPECT_EQ(kd::ObDeleteSymbolicLink(u"\\??\\LPT3"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(ksim::ObjectExists(u"\\DosDevices\\LPT3"));
    EXPECT_FALSE(ksim::SymbolicLinkTarget(u"\\??\\LPT3").has_value());

    // A loop of links ends in "not found", not in a hang.
    kd::ObCreateSymbolicLink(u"\\??\\A", u"\\??\\B");
    kd::ObCreateSymbolicLink(u"\\??\\B", u"\\??\\A");
    EXPECT_EQ(kd::ObResolve(u"\\??\\A", &object, &rest), STATUS_OBJECT_NAME_NOT_FOUND);

    // A name holds a reference of its own.
    kd::ObRelease(&device);
    EXPECT_EQ(device.destroyed, 0);
    kd::ObRemoveName(u"\\Device\\00000002");
    EXPECT_EQ(device.destroyed, 1);
    kd::ObRemoveName(u"\\Device\\SimUsb0");
    kd::ObRelease(&usb);
    EXPECT_EQ(usb.destroyed, 1);
    kd::ObDeleteSymbolicLink(u"\\??\\USB#Vid_1504#{28d78fad}");
    kd::ObDeleteSymbolicLink(u"\\??\\A");
    kd::ObDeleteSymbolicLink(u"\\??\\B");
}

// ---- counted strings -------------------------------------------------------------------------------

class StringTest : public KernelTest {};

TEST_F(StringTest, InitCopyAppendAndCompare)
{
    UNICODE_STRING port;
    RtlInitUnicodeString(&port, L"LPT3");
    EXPECT_EQ(port.Length, 8);
    EXPECT_EQ(port.MaximumLength, 10);
    RtlInitUnicodeString(&port, nullptr);
    EXPECT_EQ(port.Length, 0);
    EXPECT_EQ(port.Buffer, nullptr);

    WCHAR storage[8];
    UNICODE_STRING dst{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"\\??\\"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"LPT"), STATUS_SUCCESS);
    EXPECT_EQ(ksim::FromUnicodeString(dst), u"\\??\\LPT");
    EXPECT_EQ(ksim::FromWz(storage), u"\\??\\LPT");  // terminated while there is room
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"34");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &tail), STATUS_BUFFER_TOO_SMALL);  // 9 characters do not fit in 8
    EXPECT_EQ(dst.Length, 14);  // unchanged by the failed append
    RtlInitUnicodeString(&tail, L"3");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &tail), STATUS_SUCCESS);
    EXPECT_EQ(ksim::FromUnicodeString(dst), u"\\??\\LPT3");

    // Copying truncates to the destination.
    WCHAR small[3];
    UNICODE_STRING shortDst{0, sizeof small, small};
    RtlCopyUnicodeString(&shortDst, &dst);
    EXPECT_EQ(ksim::FromUnicodeString(shortDst), u"\\??");

    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, L"\\Device\\Serial0");
    RtlInitUnicodeString(&b, L"\\DEVICE\\SERIAL0");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // 'e' sorts after 'E'
    RtlInitUnicodeString(&b, L"\\Device\\Serial");
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // the longer one sorts after its prefix
    EXPECT_LT(RtlCompareUnicodeString(&b, &a, FALSE), 0);
}

TEST_F(StringTest, FreeUnicodeStringReturnsAPoolBuffer)
{
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, Tag("IoSl")));
    s.Length = 0;
    s.MaximumLength = 16;
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_TRUE(ksim::OutstandingPool().empty());
}

TEST_F(StringTest, SixteenBitWideCharacterRoutines)
{
    WCHAR buffer[8];
    EXPECT_EQ(wcslen(L"USB#Vid"), 7u);
    wcscpy(buffer, L"USB");
    wcscat(buffer, L"#V");
    EXPECT_EQ(ksim::FromWz(buffer), u"USB#V");
    EXPECT_EQ(wcsncmp(L"Vid_1504&Pid", L"Vid_1504&PID", 9), 0);
    EXPECT_GT(wcsncmp(L"Vid_1504&Pid", L"Vid_1504&PID", 11), 0);  // 'i' sorts after 'I'
    EXPECT_EQ(wcscmp(L"abc", L"abc"), 0);
    EXPECT_LT(wcscmp(L"ab", L"abc"), 0);
    // wcsncpy pads with nulls and adds none when the source fills the count.
    for (auto &c : buffer) c = L'x';
    wcsncpy(buffer, L"ab", 5);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(buffer[5], L'x');
    wcsncpy(buffer, L"abcdefgh", 3);
    EXPECT_EQ(buffer[3], 0);  // left from before, not written
    EXPECT_EQ(buffer[2], L'c');
    // Characters above 0x7FFF compare as unsigned 16-bit values.
    const WCHAR high[] = {0x8000, 0};
    const WCHAR low[] = {0x0041, 0};
    EXPECT_GT(wcscmp(high, low), 0);
}

}  // namespace
