/*
 * test_driver.cpp - the smallest kernel image that passes every pe_check check, and, with one of
 * the BREAK_* macros defined, the same image with one fault the checker must reject. Built by
 * the Linux build with mingw-w64 and the driver's own compile and link flags.
 */
extern "C" __declspec(dllimport) unsigned long DbgPrint(const char *format, ...);

namespace {

volatile int g_seed = 3;

__attribute__((noinline)) int Helper(int value)
{
    DbgPrint("test_driver %d\n", value);
    return value + g_seed;
}

/* An absolute address in data, as dispatch tables have: the image needs base relocations. */
int (*volatile const g_helper)(int) = Helper;

} // namespace

#if defined(BREAK_GLOBAL_CONSTRUCTOR)
/* A global whose constructor runs code: nothing in a kernel runs the constructor list. */
struct Counted {
    Counted() : value(Helper(1)) {}
    int value;
};
Counted g_counted;
#endif

#if defined(BREAK_TLS)
/* The linker points the TLS directory at _tls_used; a .tls section comes with thread data. */
extern "C" const unsigned long long _tls_used[5] = {};
__attribute__((section(".tls"))) int g_threadData = 1;
#endif

#if defined(BREAK_WX_SECTION)
asm(".section .wxsec,\"wx\"\n\t.byte 0xc3\n\t.text");
#endif

#if defined(BREAK_IMPORTS)
/* One routine from a user-mode DLL, one that ntoskrnl.exe does not export. */
extern "C" __declspec(dllimport) unsigned long __stdcall GetTickCount(void);
extern "C" __declspec(dllimport) void VpNotAKernelRoutine(void);
#endif

#if defined(BREAK_UNWIND)
int HelperWithoutUnwindData(int value); /* compiled apart, without unwind tables */
#endif

extern "C" long DriverEntry(void *driverObject, void *registryPath)
{
    (void)driverObject;
    (void)registryPath;
#if defined(BREAK_IMPORTS)
    VpNotAKernelRoutine();
    return static_cast<long>(GetTickCount()) + g_helper(2);
#elif defined(BREAK_UNWIND)
    return HelperWithoutUnwindData(g_helper(2));
#else
    return g_helper(2) - 5;
#endif
}

/* The entry point of the image linked with the wrong entry. */
extern "C" long OtherEntry(void *driverObject, void *registryPath)
{
    return DriverEntry(driverObject, registryPath) + 1;
}
