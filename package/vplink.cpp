/*
 * vplink.exe - writes and shows the link between a port and its USB printer.
 *
 *   vplink set <port> <HardwareId> <LinkedId>   write the link of a port
 *   vplink show <port>                           show it, with the driver's verdict on it
 *   vplink remove <port>                         delete it
 *   vplink list                                  the USB device interfaces present, with the
 *                                                driver's verdict on each
 *
 * Exit codes: 0 done; 1 other failure; 2 bad arguments or a link the driver would refuse;
 * 3 the key or value does not exist; 4 access denied (run it as an administrator).
 */
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "public/vparallel_public.h"

namespace {

enum ExitCode { kOk = 0, kFailed = 1, kBadArguments = 2, kMissing = 3, kAccessDenied = 4 };

int Usage()
{
    fwprintf(stderr, L"usage: vplink set <port> <HardwareId> <LinkedId>\n"
                     L"       vplink show <port>\n"
                     L"       vplink remove <port>\n"
                     L"       vplink list\n");
    return kBadArguments;
}

/* One message and exit code for a failed registry call. */
int ReportError(LONG error, const wchar_t *what, const std::wstring &key)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        fwprintf(stderr, L"vplink: %ls: HKLM\\%ls does not exist\n", what, key.c_str());
        return kMissing;
    }
    if (error == ERROR_ACCESS_DENIED) {
        fwprintf(stderr, L"vplink: %ls: access to HKLM\\%ls denied; run as an administrator\n", what,
                 key.c_str());
        return kAccessDenied;
    }
    fwprintf(stderr, L"vplink: %ls: HKLM\\%ls: error %ld\n", what, key.c_str(), (long)error);
    return kFailed;
}

bool IsValidPortName(const wchar_t *port)
{
    return port[0] != 0 && wcschr(port, L'\\') == nullptr && wcslen(port) < 128;
}

std::wstring LinkKey(const wchar_t *port)
{
    return std::wstring(VP_LINK_KEY) + L"\\" + port;
}

void PrintVerdict(const wchar_t *linkedId)
{
    if (VpIsAcceptedVendor(linkedId)) {
        wprintf(L"accepted, model class %u", VpModelClassOf(linkedId));
    } else {
        wprintf(L"not accepted (unknown vendor)");
    }
}

/* A value the driver cannot read in full is refused here rather than at the port's first open. */
bool CheckValueLength(const wchar_t *name, const wchar_t *value)
{
    size_t limit = VpMaxValueTextChars(static_cast<unsigned>(wcslen(name)));
    if (wcslen(value) > limit) {
        fwprintf(stderr, L"vplink: %ls is %zu characters; the driver reads at most %zu\n", name, wcslen(value),
                 limit);
        return false;
    }
    return true;
}

LONG WriteString(HKEY key, const wchar_t *name, const wchar_t *value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

int SetLink(const wchar_t *port, const wchar_t *hardwareId, const wchar_t *linkedId)
{
    if (!IsValidPortName(port) || hardwareId[0] == 0) {
        return Usage();
    }
    if (!CheckValueLength(VP_HARDWARE_ID_VALUE, hardwareId) || !CheckValueLength(VP_LINKED_ID_VALUE, linkedId)) {
        return kBadArguments;
    }
    if (!VpIsAcceptedVendor(linkedId)) {
        fwprintf(stderr, L"vplink: LinkedId %ls is not from a vendor the driver accepts\n", linkedId);
        return kBadArguments;
    }
    std::wstring keyPath = LinkKey(port);
    HKEY key;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                 nullptr);
    if (error != ERROR_SUCCESS) {
        return ReportError(error, L"cannot create the link", keyPath);
    }
    error = WriteString(key, VP_HARDWARE_ID_VALUE, hardwareId);
    if (error == ERROR_SUCCESS) {
        error = WriteString(key, VP_LINKED_ID_VALUE, linkedId);
    }
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
        return ReportError(error, L"cannot write the link", keyPath);
    }
    wprintf(L"%ls linked to %ls (", port, hardwareId);
    PrintVerdict(linkedId);
    wprintf(L")\n");
    return kOk;
}

LONG ReadString(HKEY key, const wchar_t *name, std::wstring *value)
{
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer), &bytes);
    if (error == ERROR_SUCCESS) {
        *value = buffer;
    }
    return error;
}

bool InterfaceKeyExists(const std::wstring &linkedId)
{
    HKEY key;
    std::wstring path = std::wstring(VP_USB_DEVICE_CLASS_KEY) + L"\\" + linkedId;
    if (linkedId.empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

int ShowLink(const wchar_t *port)
{
    if (!IsValidPortName(port)) {
        return Usage();
    }
    std::wstring keyPath = LinkKey(port);
    HKEY key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS) {
        return ReportError(error, L"no link for this port", keyPath);
    }
    std::wstring hardwareId;
    std::wstring linkedId;
    error = ReadString(key, VP_HARDWARE_ID_VALUE, &hardwareId);
    int result = error == ERROR_SUCCESS ? kOk : ReportError(error, L"HardwareId missing", keyPath);
    error = ReadString(key, VP_LINKED_ID_VALUE, &linkedId);
    if (error != ERROR_SUCCESS && result == kOk) {
        result = ReportError(error, L"LinkedId missing", keyPath);
    }
    RegCloseKey(key);
    wprintf(L"%ls\n  HardwareId: %ls\n  LinkedId:   %ls\n  driver:     ", port, hardwareId.c_str(), linkedId.c_str());
    PrintVerdict(linkedId.c_str());
    wprintf(L"\n  device:     %ls\n", InterfaceKeyExists(linkedId) ? L"present" : L"absent");
    return result;
}

int RemoveLink(const wchar_t *port)
{
    if (!IsValidPortName(port)) {
        return Usage();
    }
    std::wstring keyPath = LinkKey(port);
    LONG error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str());
    if (error != ERROR_SUCCESS) {
        return ReportError(error, L"cannot remove the link", keyPath);
    }
    wprintf(L"%ls: link removed\n", port);
    return kOk;
}

int ListInterfaces()
{
    HKEY key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, VP_USB_DEVICE_CLASS_KEY, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS) {
        return ReportError(error, L"no USB device interfaces", VP_USB_DEVICE_CLASS_KEY);
    }
    unsigned count = 0;
    for (DWORD index = 0;; index++) {
        wchar_t name[256];
        DWORD chars = sizeof(name) / sizeof(name[0]);
        error = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS) {
            break;
        }
        wprintf(L"%ls  ", name);
        PrintVerdict(name);
        wprintf(L"\n");
        count++;
    }
    RegCloseKey(key);
    if (error != ERROR_NO_MORE_ITEMS) {
        return ReportError(error, L"cannot list the USB device interfaces", VP_USB_DEVICE_CLASS_KEY);
    }
    wprintf(L"%u USB device interface(s)\n", count);
    return kOk;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && wcscmp(argv[1], L"set") == 0) {
        return SetLink(argv[2], argv[3], argv[4]);
    }
    if (argc == 3 && wcscmp(argv[1], L"show") == 0) {
        return ShowLink(argv[2]);
    }
    if (argc == 3 && wcscmp(argv[1], L"remove") == 0) {
        return RemoveLink(argv[2]);
    }
    if (argc == 2 && wcscmp(argv[1], L"list") == 0) {
        return ListInterfaces();
    }
    return Usage();
}
