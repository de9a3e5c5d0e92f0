/*
 * vptest_ports.cpp - several ports at once, and the fixtures the package's install run needs.
 *
 *   vptest printer-links            creates the object-manager links of the simulated printers'
 *                                   USB interfaces, \??\USB#Vid_1504&Pid_0002#SIM000<n+1>#{...}
 *                                   to \Device\VpUsbSim<n>, as a USB stack creates them for a
 *                                   printer (vplink set ... auto links a port to that path)
 *   vptest print PORT=N [PORT=N...] opens every port, prints to all of them at once, and checks
 *                                   that printer N got exactly its own port's bytes and that each
 *                                   port reads its own printer's reply
 *   vptest open PORT                opens the port once and writes a NUL byte: exit 0 when that
 *                                   works, 1 when the driver refused the open
 *   vptest dosname NAME             exit 0 when the DOS name exists (its target is printed)
 *   vptest doslink NAME [TARGET]    creates the DOS name NAME for TARGET, as a net use LPTn:
 *                                   mapping or another driver's port would; without TARGET
 *                                   deletes it
 *   vptest asuser PROGRAM ARGS...   runs PROGRAM with the Administrators group denied; exits with
 *                                   its exit code
 *   vptest hold FILE PROGRAM ARGS...  runs PROGRAM while FILE is open without sharing (as a virus
 *                                   scanner may hold a freshly unpacked file); exits with its code
 *   vptest resources FILE           prints the version resource's fields and the manifest of FILE
 *   vptest eventsource INF SECTION  runs the event-log section of each AddService line of the
 *                                   INF's SECTION into the service's System-log source key, as
 *                                   Windows does (Wine's SetupAPI passes over that section)
 *   vptest printer N reset | reply HEX | printed | opens
 *                                   printer N forgets its records, is given one reply (its bytes in
 *                                   hex), prints in hex the bytes written to it since the reset, or
 *                                   how many ports' opens were accepted since then (each opens the
 *                                   port's write handle before it completes; a refused open makes
 *                                   none): for clients that cannot reach its control device
 *                                   themselves
 *   vptest dtrrts PORT              prints "dtr D rts R", the lines the port's last user left set
 */
#include "tests/wine/vptest.h"

#include <winioctl.h>
#include <winternl.h>
#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "public/vparallel_public.h"
#include "tests/printer/usbsim_control.h"

extern "C" NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
extern "C" NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);

namespace {

const DWORD kTimeoutMs = 5000;
const NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

/* The interface of simulated printer n, as its key under the USB class key and its link names it. */
std::wstring InterfaceName(ULONG printer)
{
    return L"USB#Vid_1504&Pid_0002#SIM000" + std::to_wstring(printer + 1) + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

/* A permanent object-manager link, kept when this process ends; an existing one is left as it is. */
bool CreatePermanentLink(const std::wstring &name, const std::wstring &target)
{
    UNICODE_STRING linkName;
    UNICODE_STRING linkTarget;
    RtlInitUnicodeString(&linkName, name.c_str());
    RtlInitUnicodeString(&linkTarget, target.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    HANDLE link;
    NTSTATUS status = NtCreateSymbolicLinkObject(&link, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes,
                                                 &linkTarget);
    if (status == 0) {
        CloseHandle(link);
    } else if (status != kNameCollision) {
        fwprintf(stderr, L"vptest: cannot link %ls: 0x%lx\n", name.c_str(), static_cast<unsigned long>(status));
        return false;
    }
    return true;
}

int PrinterLinks()
{
    for (ULONG printer = 0; printer < VPSIM_PRINTERS; printer++) {
        if (!CreatePermanentLink(L"\\??\\" + InterfaceName(printer),
                                 VPSIM_DATA_DEVICE_PREFIX + std::to_wstring(printer))) {
            return 1;
        }
    }
    return 0;
}

/* ---- Several ports at once ------------------------------------------------------------------ */

struct Port {
    std::wstring name;
    ULONG printer = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string job;
    OVERLAPPED write = {};
};

int g_failures = 0;

void Expect(bool ok, const std::wstring &what, const std::string &detail = std::string())
{
    wprintf(L"%ls %ls%ls%hs\n", ok ? L"ok  " : L"FAIL", what.c_str(), ok || detail.empty() ? L"" : L": ",
            ok ? "" : detail.c_str());
    g_failures += ok ? 0 : 1;
}

/* One synchronous control request to the simulated printers. */
bool PrinterControl(HANDLE control, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength)
{
    DWORD returned = 0;
    return DeviceIoControl(control, code, const_cast<void *>(in), inLength, out, outLength, &returned, nullptr) != 0;
}

/* The records printer n kept since its reset, oldest first. */
std::vector<VPSIM_RECORD> PrinterRecords(HANDLE control, ULONG printer)
{
    std::vector<VPSIM_RECORD> records;
    for (VPSIM_RECORD_QUERY query = {printer, 0};; query.Index++) {
        VPSIM_RECORD record = {};
        if (!PrinterControl(control, IOCTL_VPSIM_GET_RECORD, &query, sizeof(query), &record, sizeof(record))) {
            return records;
        }
        records.push_back(record);
    }
}

/* The bytes printer n was sent, in order (the status request is a record of its own kind). */
std::string PrintedBytes(HANDLE control, ULONG printer)
{
    std::string bytes;
    for (const VPSIM_RECORD &record : PrinterRecords(control, printer)) {
        if (record.Kind == VPSIM_WRITE) {
            bytes.append(reinterpret_cast<const char *>(record.Data), record.Length);
        }
    }
    return bytes;
}

/* Reads what the port has received, waiting up to the time-out for the first bytes. */
std::string ReadReply(HANDLE port)
{
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &immediate);
    for (DWORD waited = 0; waited < kTimeoutMs; waited += 20) {
        char buffer[128];
        OVERLAPPED read = {};
        read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        BOOL done = ReadFile(port, buffer, sizeof(buffer), nullptr, &read) ||
                    (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(read.hEvent, kTimeoutMs) == WAIT_OBJECT_0);
        done = done && GetOverlappedResult(port, &read, &bytes, FALSE);
        if (!HasOverlappedIoCompleted(&read)) { /* timed out: the buffer must outlive the read */
            CancelIoEx(port, &read);
            GetOverlappedResult(port, &read, &bytes, TRUE);
        }
        CloseHandle(read.hEvent);
        if (done && bytes > 0) {
            return std::string(buffer, bytes);
        }
        Sleep(20);
    }
    return std::string();
}

bool ParsePort(const wchar_t *text, Port *port)
{
    const wchar_t *equals = wcschr(text, L'=');
    if (equals == nullptr || equals == text || equals[1] < L'0' || equals[1] >= L'0' + VPSIM_PRINTERS) {
        return false;
    }
    port->name.assign(text, equals);
    port->printer = equals[1] - L'0';
    return true;
}

int PrintAtOnce(int count, wchar_t **pairs)
{
    std::vector<Port> ports(count);
    for (int i = 0; i < count; i++) {
        if (!ParsePort(pairs[i], &ports[i])) {
            fwprintf(stderr, L"vptest print: %ls is not PORT=PRINTER\n", pairs[i]);
            return 2;
        }
    }
    HANDLE control = CreateFileW(VPSIM_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (control == INVALID_HANDLE_VALUE) {
        wprintf(L"FAIL the simulated printers' control device does not open (%lu)\n", GetLastError());
        return 1;
    }
    for (Port &port : ports) {
        PrinterControl(control, IOCTL_VPSIM_RESET, &port.printer, sizeof(port.printer), nullptr, 0);
    }

    /* Every port open before anything is printed; a refused open yields an unusable handle. */
    for (Port &port : ports) {
        port.handle = CreateFileW((L"\\\\.\\" + port.name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        OVERLAPPED nop = {};
        nop.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        bool usable = port.handle != INVALID_HANDLE_VALUE &&
                      (DeviceIoControl(port.handle, IOCTL_VPARALLEL_NOP, nullptr, 0, nullptr, 0, nullptr, &nop) ||
                       GetLastError() == ERROR_IO_PENDING) &&
                      WaitForSingleObject(nop.hEvent, kTimeoutMs) == WAIT_OBJECT_0 &&
                      GetOverlappedResult(port.handle, &nop, &bytes, FALSE);
        CloseHandle(nop.hEvent);
        Expect(usable, port.name + L" opens while the other ports are open");
    }

    /* Every job started before any is waited for. */
    for (size_t i = 0; i < ports.size(); i++) {
        Port &port = ports[i];
        port.job = "job for " + std::string(port.name.begin(), port.name.end()) + ":";
        for (int n = 0; n < 150; n++) {
            port.job.push_back(static_cast<char>('a' + (n * 7 + i * 3) % 26));
        }
        port.write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!WriteFile(port.handle, port.job.data(), static_cast<DWORD>(port.job.size()), nullptr, &port.write) &&
            GetLastError() != ERROR_IO_PENDING) {
            SetEvent(port.write.hEvent);
        }
    }
    for (Port &port : ports) {
        DWORD written = 0;
        bool done = WaitForSingleObject(port.write.hEvent, kTimeoutMs) == WAIT_OBJECT_0 &&
                    GetOverlappedResult(port.handle, &port.write, &written, FALSE) && written == port.job.size();
        CloseHandle(port.write.hEvent);
        std::string printed = PrintedBytes(control, port.printer);
        Expect(done && printed == port.job,
               port.name + L" prints its job to printer " + std::to_wstring(port.printer) + L" alone",
               "written " + std::to_string(written) + ", printer got " + std::to_string(printed.size()) + " bytes");
    }

    for (Port &port : ports) {
        std::string reply = "status of printer " + std::to_string(port.printer);
        std::string input(reinterpret_cast<const char *>(&port.printer), sizeof(port.printer));
        input += reply;
        bool queued = PrinterControl(control, IOCTL_VPSIM_QUEUE_REPLY, input.data(), static_cast<DWORD>(input.size()),
                                     nullptr, 0);
        std::string read = ReadReply(port.handle);
        Expect(queued && read == reply, port.name + L" reads its own printer's reply", "'" + read + "'");
    }
    for (Port &port : ports) {
        CloseHandle(port.handle);
    }
    CloseHandle(control);
    wprintf(L"%d failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}

/* ---- Fixtures --------------------------------------------------------------------------------- */

/* Opens the port once, as an application would, and writes one NUL byte: 0 when that works, 1
 * when the driver refused the open. Windows fails the CreateFile; Wine hands out a handle whatever
 * the driver answered, and the write on it fails, as on any port the driver did not open. */
int TryOpen(const wchar_t *name)
{
    HANDLE port = CreateFileW((L"\\\\.\\" + std::wstring(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    bool opened = false;
    if (port != INVALID_HANDLE_VALUE) {
        OVERLAPPED write = {};
        write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const char nul = 0;
        DWORD written = 0;
        opened = (WriteFile(port, &nul, 1, nullptr, &write) || GetLastError() == ERROR_IO_PENDING) &&
                 WaitForSingleObject(write.hEvent, kTimeoutMs) == WAIT_OBJECT_0 &&
                 GetOverlappedResult(port, &write, &written, FALSE) && written == 1;
        if (!HasOverlappedIoCompleted(&write)) { /* the byte must outlive the write */
            CancelIoEx(port, &write);
            GetOverlappedResult(port, &write, &written, TRUE);
        }
        CloseHandle(write.hEvent);
        CloseHandle(port);
    }
    wprintf(L"%ls: %ls\n", name, opened ? L"opened" : L"refused");
    return opened ? 0 : 1;
}

/* What Windows does with AddService's fourth field, the event-log install section: its AddReg
 * lines run with HKR the key of the event source, named after the service, of the System log. */
int EventSource(const wchar_t *infPath, const wchar_t *servicesSection)
{
    HINF inf = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        wprintf(L"FAIL cannot open %ls (%lu)\n", infPath, GetLastError());
        return 1;
    }
    int installed = 0;
    int failed = 0;
    INFCONTEXT line;
    for (BOOL more = SetupFindFirstLineW(inf, servicesSection, L"AddService", &line); more;
         more = SetupFindNextMatchLineW(&line, L"AddService", &line)) {
        wchar_t service[128];
        wchar_t section[128];
        if (!SetupGetStringFieldW(&line, 1, service, 128, nullptr) ||
            !SetupGetStringFieldW(&line, 4, section, 128, nullptr)) {
            continue;
        }
        const std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\") + service;
        HKEY key = nullptr;
        bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr) == ERROR_SUCCESS &&
                  SetupInstallFromInfSectionW(nullptr, inf, section, SPINST_REGISTRY, key, nullptr, 0, nullptr,
                                              nullptr, nullptr, nullptr);
        wprintf(L"%ls %ls into HKLM\\%ls (%lu)\n", ok ? L"installed" : L"FAIL could not install", section,
                path.c_str(), ok ? 0 : GetLastError());
        if (key != nullptr) {
            RegCloseKey(key);
        }
        (ok ? installed : failed)++;
    }
    SetupCloseInfFile(inf);
    return installed > 0 && failed == 0 ? 0 : 1;
}

int DosName(const wchar_t *name)
{
    wchar_t target[512] = {};
    if (QueryDosDeviceW(name, target, 512) == 0) {
        wprintf(L"%ls: no such DOS name\n", name);
        return 1;
    }
    wprintf(L"%ls -> %ls\n", name, target);
    return 0;
}

/* With a target: the DOS name as a permanent link. Without: that link made temporary, so that it
 * goes with the last handle. */
int DosLink(const wchar_t *name, const wchar_t *target)
{
    const std::wstring path = std::wstring(L"\\??\\") + name;
    if (target != nullptr) {
        return CreatePermanentLink(path, target) ? 0 : 1;
    }
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link;
    NTSTATUS status = NtOpenSymbolicLinkObject(&link, 0x10000 /* DELETE */, &attributes);
    if (status == 0) {
        status = NtMakeTemporaryObject(link);
        CloseHandle(link);
    }
    if (status != 0) {
        fwprintf(stderr, L"vptest: cannot delete %ls: 0x%lx\n", path.c_str(), static_cast<unsigned long>(status));
    }
    return status == 0 ? 0 : 1;
}

std::wstring CommandLine(int count, wchar_t **words)
{
    std::wstring commandLine;
    for (int i = 0; i < count; i++) {
        commandLine += (i ? L" \"" : L"\"") + std::wstring(words[i]) + L"\"";
    }
    return commandLine;
}

/* Runs the command with the token given (nullptr: this process's); its exit code, 125 when it
 * did not start. */
int RunAndWait(HANDLE token, std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    DWORD exitCode = 125;
    BOOL started = token != nullptr ? CreateProcessAsUserW(token, nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                                           nullptr, nullptr, &startup, &process)
                                    : CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                                     nullptr, &startup, &process);
    if (!started) {
        fwprintf(stderr, L"vptest: cannot start %ls: %lu\n", commandLine.c_str(), GetLastError());
        return 125;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(exitCode);
}

int HoldWhileRunning(const wchar_t *file, int count, wchar_t **words)
{
    HANDLE held = CreateFileW(file, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"vptest hold: cannot open %ls: %lu\n", file, GetLastError());
        return 125;
    }
    int code = RunAndWait(nullptr, CommandLine(count, words));
    CloseHandle(held);
    return code;
}

std::wstring VersionString(const std::vector<BYTE> &block, const wchar_t *name)
{
    wchar_t *value = nullptr;
    UINT chars = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void **>(&value), &chars) || value == nullptr) {
        return L"(none)";
    }
    return value;
}

/* What Explorer's Details tab and the loader read: the version fields and the manifest. */
int Resources(const wchar_t *file)
{
    DWORD ignored = 0;
    DWORD bytes = GetFileVersionInfoSizeW(file, &ignored);
    std::vector<BYTE> block(bytes);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedBytes = 0;
    if (bytes == 0 || !GetFileVersionInfoW(file, 0, bytes, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &fixedBytes) || fixed == nullptr) {
        wprintf(L"%ls: no version resource (%lu)\n", file, GetLastError());
        return 1;
    }
    wprintf(L"file version: %lu.%lu.%lu.%lu\nfile type: %lu/%lu\n", HIWORD(fixed->dwFileVersionMS),
            LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
            fixed->dwFileType, fixed->dwFileSubtype);
    for (const wchar_t *name : {L"FileVersion", L"ProductVersion", L"ProductName", L"CompanyName", L"FileDescription",
                                L"OriginalFilename"}) {
        wprintf(L"%ls: %ls\n", name, VersionString(block, name).c_str());
    }
    HMODULE image = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HRSRC manifest = image != nullptr ? FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
    HGLOBAL loaded = manifest != nullptr ? LoadResource(image, manifest) : nullptr;
    if (loaded != nullptr) {
        const char *text = static_cast<const char *>(LockResource(loaded));
        wprintf(L"manifest:\n%.*hs\n", static_cast<int>(SizeofResource(image, manifest)), text);
    } else {
        wprintf(L"manifest: none\n");
    }
    if (image != nullptr) {
        FreeLibrary(image);
    }
    return 0;
}

/* The caller's token with the Administrators group made deny-only: what a standard user has. */
int AsStandardUser(int count, wchar_t **words)
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    HANDLE token = nullptr;
    HANDLE restricted = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators)) {
        return 125;
    }
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) {
        FreeSid(administrators);
        return 125;
    }
    SID_AND_ATTRIBUTES deny = {administrators, 0};
    int exitCode = 125;
    if (CreateRestrictedToken(token, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted)) {
        exitCode = RunAndWait(restricted, CommandLine(count, words));
        CloseHandle(restricted);
    } else {
        fwprintf(stderr, L"vptest asuser: cannot restrict the token: %lu\n", GetLastError());
    }
    CloseHandle(token);
    FreeSid(administrators);
    return exitCode;
}

/* ---- The simulated printer and the port's lines, for other clients ----------------------------- */

bool FromHex(const wchar_t *hex, std::string *bytes)
{
    size_t length = wcslen(hex);
    if (length % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; i += 2) {
        wchar_t pair[3] = {hex[i], hex[i + 1], 0};
        wchar_t *end = nullptr;
        unsigned long value = wcstoul(pair, &end, 16);
        if (end != pair + 2) {
            return false;
        }
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

int PrinterCommand(const wchar_t *printerText, const std::wstring &verb, const wchar_t *argument)
{
    ULONG printer = wcstoul(printerText, nullptr, 10);
    std::string reply;
    if (printer >= VPSIM_PRINTERS || (verb == L"reply") != (argument != nullptr) ||
        (argument != nullptr && (!FromHex(argument, &reply) || reply.empty()))) {
        return -1;
    }
    HANDLE control = CreateFileW(VPSIM_CONTROL_WIN32, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (control == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"vptest: the simulated printers' control device does not open (%lu)\n", GetLastError());
        return 1;
    }
    bool ok = true;
    if (verb == L"reset") {
        ok = PrinterControl(control, IOCTL_VPSIM_RESET, &printer, sizeof(printer), nullptr, 0);
    } else if (verb == L"reply") {
        std::string input(reinterpret_cast<const char *>(&printer), sizeof(printer));
        input += reply;
        ok = PrinterControl(control, IOCTL_VPSIM_QUEUE_REPLY, input.data(), static_cast<DWORD>(input.size()), nullptr,
                            0);
    } else if (verb == L"printed") {
        for (unsigned char c : PrintedBytes(control, printer)) {
            printf("%02x", c);
        }
        printf("\n");
    } else if (verb == L"opens") {
        /* The port's write handle: synchronous and delete-on-close, unlike the handles that the
         * port's read thread and a closing port's status request open later. */
        const ULONG writeHandle = FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE;
        std::vector<VPSIM_RECORD> records = PrinterRecords(control, printer);
        printf("%d\n", static_cast<int>(std::count_if(records.begin(), records.end(), [&](const VPSIM_RECORD &record) {
                   return record.Kind == VPSIM_OPEN && (record.CreateOptions & writeHandle) == writeHandle;
               })));
    } else {
        ok = false;
    }
    CloseHandle(control);
    return ok ? 0 : 1;
}

/* One open, after the previous user's close. Were it refused, the host would still hand out a
 * handle, and the request would get the lines of the open still held: the same ones. Whether an
 * open is accepted is told by the printer's opens. */
int ShowDtrRts(const wchar_t *port)
{
    HANDLE handle = CreateFileW((std::wstring(L"\\\\.\\") + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    DWORD lines = 0;
    DWORD returned = 0;
    bool got = handle != INVALID_HANDLE_VALUE &&
               DeviceIoControl(handle, kIoctlGetDtrRts, nullptr, 0, &lines, sizeof(lines), &returned, nullptr) &&
               returned == sizeof(lines);
    DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    if (!got) {
        fwprintf(stderr, L"vptest: %ls refused the open or the request for its lines (%lu)\n", port, error);
        return 1;
    }
    printf("dtr %d rts %d\n", (lines & kDtrState) != 0, (lines & kRtsState) != 0);
    return 0;
}

} // namespace

int RunPortsCommand(int argc, wchar_t **argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"printer-links" && argc == 2) {
        return PrinterLinks();
    }
    if (command == L"print" && argc > 2) {
        return PrintAtOnce(argc - 2, argv + 2);
    }
    if (command == L"open" && argc == 3) {
        return TryOpen(argv[2]);
    }
    if (command == L"dosname" && argc == 3) {
        return DosName(argv[2]);
    }
    if (command == L"doslink" && (argc == 3 || argc == 4)) {
        return DosLink(argv[2], argc == 4 ? argv[3] : nullptr);
    }
    if (command == L"asuser" && argc > 2) {
        return AsStandardUser(argc - 2, argv + 2);
    }
    if (command == L"hold" && argc > 3) {
        return HoldWhileRunning(argv[2], argc - 3, argv + 3);
    }
    if (command == L"eventsource" && argc == 4) {
        return EventSource(argv[2], argv[3]);
    }
    if (command == L"resources" && argc == 3) {
        return Resources(argv[2]);
    }
    if (command == L"printer" && (argc == 4 || argc == 5)) {
        return PrinterCommand(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    }
    if (command == L"dtrrts" && argc == 3) {
        return ShowDtrRts(argv[2]);
    }
    return -1;
}
