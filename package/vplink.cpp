/*
 * vplink.exe - installs the virtual parallel port on Windows, names its ports and links each one
 * to its USB printer. `vplink --help` lists the commands, `vplink <command> --help` explains one;
 * the exit codes are in vplink_advice.h.
 */
#include "package/vplink.h"

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include <algorithm>

namespace {

using Args = std::vector<std::wstring>;

struct Command {
    const wchar_t *name;
    const wchar_t *usage;
    const wchar_t *help;
    int (*run)(const struct Command &, const Args &); /* given the arguments after the name */
};

std::wstring Synopsis(const Command &command)
{
    return std::wstring(L"vplink ") + command.name + (command.usage[0] ? L" " : L"") + command.usage;
}

int BadUsage(const Command &command)
{
    PrintError(L"usage: %ls\n(vplink %ls --help explains it)\n", Synopsis(command).c_str(), command.name);
    return kBadArguments;
}

/* Options of the form "--name value" and bare words, in any order. */
bool SplitOptions(const Args &args, const std::vector<std::wstring> &valued, const std::vector<std::wstring> &flags,
                  Args *words, std::vector<std::pair<std::wstring, std::wstring>> *options)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::wstring &arg = args[i];
        if (arg.rfind(L"--", 0) != 0) {
            words->push_back(arg);
            continue;
        }
        bool isValued = std::find(valued.begin(), valued.end(), arg) != valued.end();
        bool isFlag = std::find(flags.begin(), flags.end(), arg) != flags.end();
        if (isFlag) {
            options->push_back({arg, L""});
        } else if (isValued && i + 1 < args.size()) {
            options->push_back({arg, args[++i]});
        } else {
            return false;
        }
    }
    return true;
}

std::wstring Option(const std::vector<std::pair<std::wstring, std::wstring>> &options, const wchar_t *name,
                    bool *present = nullptr)
{
    for (const auto &option : options) {
        if (option.first == name) {
            if (present != nullptr) {
                *present = true;
            }
            return option.second;
        }
    }
    return std::wstring();
}

int RunInstall(const Command &command, const Args &args)
{
    Args words;
    std::vector<std::pair<std::wstring, std::wstring>> options;
    if (!SplitOptions(args, {L"--port", L"--inf"}, {}, &words, &options) || !words.empty()) {
        return BadUsage(command);
    }
    InstallOptions install;
    install.inf = Option(options, L"--inf");
    bool named = false;
    std::wstring port = Option(options, L"--port", &named);
    if (named && !ParseLptName(port, &install.port)) {
        return Report(kBadArguments, L"vplink install: %ls is not a port name of the form LPT1 to LPT99\n",
                      port.c_str());
    }
    return InstallCommand(install);
}

int RunUpdate(const Command &command, const Args &args)
{
    Args words;
    std::vector<std::pair<std::wstring, std::wstring>> options;
    if (!SplitOptions(args, {L"--inf"}, {}, &words, &options) || !words.empty()) {
        return BadUsage(command);
    }
    return UpdateCommand(Option(options, L"--inf"));
}

int RunRename(const Command &command, const Args &args)
{
    std::wstring from;
    std::wstring to;
    if (args.size() != 2) {
        return BadUsage(command);
    }
    if (!ParseLptName(args[0], &from) || !ParseLptName(args[1], &to)) {
        return Report(kBadArguments, L"vplink rename: port names are LPT1 to LPT99\n");
    }
    return RenameCommand(from, to);
}

int RunRemove(const Command &command, const Args &args)
{
    Args words;
    std::vector<std::pair<std::wstring, std::wstring>> options;
    if (!SplitOptions(args, {}, {L"--keep-link"}, &words, &options) || words.size() != 1 ||
        !IsValidPortName(words[0].c_str())) {
        return BadUsage(command);
    }
    bool keepLink = false;
    Option(options, L"--keep-link", &keepLink);
    return RemoveCommand(words[0], keepLink);
}

int RunUninstall(const Command &command, const Args &args)
{
    Args words;
    std::vector<std::pair<std::wstring, std::wstring>> options;
    if (!SplitOptions(args, {}, {L"--keep-links"}, &words, &options) || !words.empty()) {
        return BadUsage(command);
    }
    bool keepLinks = false;
    Option(options, L"--keep-links", &keepLinks);
    return UninstallCommand(keepLinks);
}

int RunSet(const Command &command, const Args &args)
{
    if (args.size() == 2 && args[1] == L"auto") {
        return IsValidPortName(args[0].c_str()) ? SetAutoCommand(args[0]) : BadUsage(command);
    }
    if (args.size() != 3 || !IsValidPortName(args[0].c_str()) || args[1].empty()) {
        return BadUsage(command);
    }
    return SetLinkCommand(args[0], args[1], args[2]);
}

int RunPorts(const Command &command, const Args &args)
{
    if (args.empty()) {
        return PortsCommand();
    }
    if (args[0] != L"--clear" || args.size() > 2 || (args.size() == 2 && !IsValidPortName(args[1].c_str()))) {
        return BadUsage(command);
    }
    return ClearRefusalsCommand(args.size() == 2 ? args[1] : std::wstring());
}

int RunList(const Command &command, const Args &args)
{
    return args.empty() ? ListCommand() : BadUsage(command);
}

int RunShow(const Command &command, const Args &args)
{
    return args.size() == 1 && IsValidPortName(args[0].c_str()) ? ShowCommand(args[0]) : BadUsage(command);
}

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {L"install", L"[--port LPTn] [--inf PATH]",
         L"Installs one port: says whether Windows will accept the package's signature here, puts\n"
         L"the package in the driver store if needed, creates a port device, installs the driver on\n"
         L"it and reports whether the port started (if not: why, what to do, and an exit code of its\n"
         L"own). Without --port the port takes the first free name of LPT3 to LPT9, then LPT1 and\n"
         L"LPT2: free means no device, no entry of the parallel-port device map and no DOS device\n"
         L"name (a net use LPTn: mapping, say) has it. A taken name is refused and nothing is\n"
         L"created. LPT10 to LPT99 only on request: programs reach them only as \\\\.\\LPTnn.\n"
         L"--inf names the package's INF (default: vparallel.inf beside vplink.exe; vparallel.sys\n"
         L"and vparallel.cat must be beside it). Run it once per port. Needs an administrator.",
         RunInstall},
        {L"update", L"[--inf PATH]",
         L"Puts the package (a newer version, say) in the driver store, reinstalls the driver on\n"
         L"every port and reports each port's state. The ports keep their names. Needs an\n"
         L"administrator.",
         RunUpdate},
        {L"ports", L"[--clear [PORT]]",
         L"Lists every port of this driver: name, friendly name, device, state (started, disabled,\n"
         L"problem code), whether the name is published, the link with its printer's presence, and\n"
         L"the port's last refusal: why it last refused an open or failed a request, and when. The\n"
         L"System event log (source vparallel) has an entry for each, at most one a minute for each\n"
         L"cause and port. With --clear, forgets the last refusal of every port, or of PORT; that\n"
         L"needs an administrator.",
         RunPorts},
        {L"rename", L"LPTn LPTm",
         L"Gives port LPTn the free name LPTm and restarts it, so that LPTm is published and LPTn\n"
         L"withdrawn, and reports the port's state; the link moves with the port. Refused while the\n"
         L"port is open. Needs an administrator.",
         RunRename},
        {L"remove", L"PORT [--keep-link]",
         L"Removes the port device of that name (its names are withdrawn) and its link, or only the\n"
         L"device with --keep-link. For a name with a link but no device, removes the link. Needs an\n"
         L"administrator.",
         RunRemove},
        {L"uninstall", L"[--keep-links]",
         L"Removes every port device of this driver, the driver packages install and update put in\n"
         L"the driver store (without their record, every package of this driver there), the\n"
         L"driver's service and event source (its entries stay in the System log) and, unless\n"
         L"--keep-links, every link. Needs an administrator.",
         RunUninstall},
        {L"set", L"PORT auto | PORT HARDWAREID LINKEDID",
         L"Links a port to its printer. With auto: when exactly one printer that the driver accepts\n"
         L"is present and not linked to another port, links to it; otherwise lists the candidates\n"
         L"and changes nothing. Otherwise writes the device path (HardwareId) and the interface key\n"
         L"name (LinkedId) given. Refuses a printer the driver would not accept. Needs an\n"
         L"administrator.",
         RunSet},
        {L"show", L"PORT", L"Shows the link of a port, the driver's verdict on it and the printer's presence.", RunShow},
        {L"list", L"", L"Lists the USB device interfaces present, with the driver's verdict on each.", RunList},
    };
    return commands;
}

void PrintOverview(void (*print)(const wchar_t *, ...))
{
    print(L"vplink - installs the virtual parallel port and links its ports to USB printers\n\n");
    for (const Command &command : Commands()) {
        print(L"  %ls\n", Synopsis(command).c_str());
    }
    print(L"\nvplink <command> --help explains a command.\nExit codes:\n");
    for (const ExitCodeMeaning &exit : ExitCodeMeanings()) {
        print(L"  %2d  %hs\n", exit.code, exit.meaning);
    }
}

/* ---- Output ---------------------------------------------------------------------------------- */

std::wstring Format(const wchar_t *format, va_list args)
{
    std::vector<wchar_t> buffer(512);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int chars = vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (chars >= 0 && static_cast<size_t>(chars) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<size_t>(chars));
        }
        if (buffer.size() >= 1 << 20) {
            return std::wstring(buffer.data()); /* truncated; no message is this long */
        }
        buffer.resize(buffer.size() * 2);
    }
}

/* A console takes UTF-16 as it is. Anything else (a file, a pipe) gets UTF-8 with CRLF line ends,
 * what a program reading it on Windows expects and any language survives; the C runtime's "C"
 * locale would turn every character above 0x7f into one wrong byte or stop at it. */
void Write(DWORD which, const std::wstring &text)
{
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    DWORD written = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::wstring lines;
    for (wchar_t c : text) {
        if (c == L'\n') {
            lines += L'\r';
        }
        lines += c;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0 && WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()), &utf8[0], bytes,
                                         nullptr, nullptr) == bytes) {
        WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

/* Started on a console of its own (elevated through UAC from a normal prompt, or from Explorer),
 * vplink would close that window the moment it ends: keep it open until Enter is pressed. Not
 * where nobody can press it: a console without a window (a deployment tool's CREATE_NO_WINDOW)
 * or session 0 (services, tasks run as SYSTEM); and for kPauseMs at most, so that an unattended
 * run that still gets a window of its own ends all the same. */
constexpr DWORD kPauseMs = 5 * 60 * 1000;

void PauseIfOwnConsole()
{
    DWORD processes[2];
    DWORD mode = 0;
    DWORD session = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleProcessList(processes, 2) != 1 || GetConsoleWindow() == nullptr ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0 ||
        !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) || !GetConsoleMode(input, &mode)) {
        return;
    }
    Print(L"\nPress Enter to close this window (it closes by itself in %lu minutes).", kPauseMs / 60000);
    FlushConsoleInputBuffer(input);
    const ULONGLONG until = GetTickCount64() + kPauseMs;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (WaitForSingleObject(input, static_cast<DWORD>(until - now)) != WAIT_OBJECT_0 ||
            !ReadConsoleInputW(input, &record, 1, &read)) {
            return;
        }
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN) {
            return;
        }
    }
}

int Run(const Args &args)
{
    if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help") {
        PrintOverview(args.empty() ? PrintError : Print);
        return args.empty() ? kBadArguments : kOk;
    }
    for (const Command &command : Commands()) {
        if (args[0] != command.name) {
            continue;
        }
        Args rest(args.begin() + 1, args.end());
        if (std::find(rest.begin(), rest.end(), L"--help") != rest.end()) {
            Print(L"usage: %ls\n\n%ls\n", Synopsis(command).c_str(), command.help);
            return kOk;
        }
        return command.run(command, rest);
    }
    PrintError(L"vplink: no command %ls\n", args[0].c_str());
    PrintOverview(PrintError);
    return kBadArguments;
}

} // namespace

void Print(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    Write(STD_OUTPUT_HANDLE, Format(format, args));
    va_end(args);
}

void PrintError(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    Write(STD_ERROR_HANDLE, Format(format, args));
    va_end(args);
}

/* ---- Messages -------------------------------------------------------------------------------- */

int Report(int code, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    Write(STD_ERROR_HANDLE, Format(format, args));
    va_end(args);
    return code;
}

int ReportSystemError(const std::wstring &what, DWORD error)
{
    wchar_t *text = nullptr;
    DWORD chars = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    while (chars > 0 && (text[chars - 1] == L'\n' || text[chars - 1] == L'\r' || text[chars - 1] == L'.')) {
        text[--chars] = 0;
    }
    if (error == ERROR_SUCCESS) {
        PrintError(L"vplink: %ls: the system gave no error code\n", what.c_str());
    } else {
        PrintError(L"vplink: %ls: %ls (error 0x%lx)\n", what.c_str(), chars > 0 ? text : L"no text for this error",
                   error);
    }
    LocalFree(text);
    if (error == ERROR_ACCESS_DENIED) {
        PrintError(L"vplink: run it from an administrator prompt\n");
        return kAccessDenied;
    }
    return kFailed;
}

int RequireAdministrator(const wchar_t *command)
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &administrators)) {
        CheckTokenMembership(nullptr, administrators, &member);
        FreeSid(administrators);
    }
    if (!member) {
        return Report(kAccessDenied, L"vplink %ls changes the system: run it from an administrator prompt\n",
                      command);
    }
    return kOk;
}

bool RunningOnWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool IsValidPortName(const wchar_t *port)
{
    return port[0] != 0 && wcschr(port, L'\\') == nullptr && wcslen(port) < 128;
}

int wmain(int argc, wchar_t **argv)
{
    /* First of all: from here on every DLL loads from system32 alone, never from vplink's own
     * folder (a download folder anyone could have put a newdev.dll in) or the current one. */
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return ReportSystemError(L"cannot restrict the DLL search to system32", GetLastError());
    }
    int code = Run(Args(argv + 1, argv + argc));
    PauseIfOwnConsole();
    return code;
}
