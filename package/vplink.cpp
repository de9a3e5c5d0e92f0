/*
 * vplink.exe - installs the virtual parallel port on Windows, names its ports and links each one
 * to its USB printer. `vplink --help` lists the commands, `vplink <command> --help` explains one;
 * the exit codes are in vplink.h.
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
    fwprintf(stderr, L"usage: %ls\n(vplink %ls --help explains it)\n", Synopsis(command).c_str(), command.name);
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
    return args.empty() ? PortsCommand() : BadUsage(command);
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
         L"Installs one port: puts the driver package in the driver store if needed, creates a port\n"
         L"device and installs the driver on it. Without --port the port takes the lowest name from\n"
         L"LPT3 up that no device and no entry of the parallel-port device map uses; a name that is\n"
         L"taken is refused and nothing is created. --inf names the package's INF (default:\n"
         L"vparallel.inf beside vplink.exe; vparallel.sys and vparallel.cat must be beside it).\n"
         L"Run it once per port. Needs an administrator.",
         RunInstall},
        {L"update", L"[--inf PATH]",
         L"Puts the package (a newer version, say) in the driver store and reinstalls the driver on\n"
         L"every port. The ports keep their names. Needs an administrator.",
         RunUpdate},
        {L"ports", L"",
         L"Lists every port of this driver: name, friendly name, device, state (started, disabled,\n"
         L"problem code), whether the name is published, and the link with its printer's presence.",
         RunPorts},
        {L"rename", L"LPTn LPTm",
         L"Gives port LPTn the free name LPTm and restarts it, so that LPTm is published and LPTn\n"
         L"withdrawn; the link moves with the port. Refused while the port is open. Needs an\n"
         L"administrator.",
         RunRename},
        {L"remove", L"PORT [--keep-link]",
         L"Removes the port device of that name (its names are withdrawn) and its link, or only the\n"
         L"device with --keep-link. For a name with a link but no device, removes the link. Needs an\n"
         L"administrator.",
         RunRemove},
        {L"uninstall", L"[--keep-links]",
         L"Removes every port device of this driver, the driver package from the driver store, the\n"
         L"driver's service and, unless --keep-links, every link. Needs an administrator.",
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

void PrintOverview(FILE *to)
{
    fwprintf(to, L"vplink - installs the virtual parallel port and links its ports to USB printers\n\n");
    for (const Command &command : Commands()) {
        fwprintf(to, L"  %ls\n", Synopsis(command).c_str());
    }
    fwprintf(to, L"\nvplink <command> --help explains a command.\n"
                 L"Exit codes: 0 done; 1 a system call failed; 2 bad arguments or a printer the driver\n"
                 L"would not accept; 3 no such port, link or printer; 4 not an administrator; 5 package\n"
                 L"incomplete; 6 name taken; 7 port in use; 8 done, takes effect after a restart;\n"
                 L"9 several printers to choose from.\n");
}

} // namespace

/* ---- Messages -------------------------------------------------------------------------------- */

int Report(int code, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vfwprintf(stderr, format, args);
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
        fwprintf(stderr, L"vplink: %ls: the system gave no error code\n", what.c_str());
    } else {
        fwprintf(stderr, L"vplink: %ls: %ls (error 0x%lx)\n", what.c_str(),
                 chars > 0 ? text : L"no text for this error", error);
    }
    LocalFree(text);
    if (error == ERROR_ACCESS_DENIED) {
        fwprintf(stderr, L"vplink: run it from an administrator prompt\n");
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

bool ParseLptName(const std::wstring &text, std::wstring *canonical)
{
    if (text.size() < 4 || text.size() > 5 || _wcsnicmp(text.c_str(), L"LPT", 3) != 0) {
        return false;
    }
    unsigned number = 0;
    for (size_t i = 3; i < text.size(); i++) {
        if (!iswdigit(text[i])) {
            return false;
        }
        number = number * 10 + (text[i] - L'0');
    }
    if (number < 1 || number > 99 || text[3] == L'0') {
        return false;
    }
    *canonical = L"LPT" + text.substr(3);
    return true;
}

bool IsValidPortName(const wchar_t *port)
{
    return port[0] != 0 && wcschr(port, L'\\') == nullptr && wcslen(port) < 128;
}

int wmain(int argc, wchar_t **argv)
{
    Args args(argv + 1, argv + argc);
    if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"help") {
        PrintOverview(args.empty() ? stderr : stdout);
        return args.empty() ? kBadArguments : kOk;
    }
    for (const Command &command : Commands()) {
        if (args[0] != command.name) {
            continue;
        }
        Args rest(args.begin() + 1, args.end());
        if (std::find(rest.begin(), rest.end(), L"--help") != rest.end()) {
            wprintf(L"usage: %ls\n\n%ls\n", Synopsis(command).c_str(), command.help);
            return kOk;
        }
        return command.run(command, rest);
    }
    fwprintf(stderr, L"vplink: no command %ls\n", args[0].c_str());
    PrintOverview(stderr);
    return kBadArguments;
}
