/*
 * vplink_link.cpp - the link between a port and its USB printer: two values under the port's
 * name in the link key, which the driver reads at every open.
 *
 *   HardwareId  the object-namespace path the printer's driver answers ("\??\USB#...")
 *   LinkedId    the printer's key under the USB device-interface class key ("##?#USB#...")
 *
 * The key names there are the interfaces' symbolic links with "\" written as "#": "##?#USB#x"
 * is the interface "\\?\USB#x", which the kernel opens as "\??\USB#x".
 */
#include "package/vplink.h"

#include <stdio.h>
#include <wchar.h>

#include <algorithm>

#include "public/vparallel_public.h"

namespace {

const wchar_t kInterfacePrefix[] = L"##?#";     /* a key name under the class key... */
const wchar_t kKernelLinkPrefix[] = L"\\??\\"; /* ...and the same interface for the kernel */

std::wstring LinkKey(const std::wstring &port)
{
    return std::wstring(VP_LINK_KEY) + L"\\" + port;
}

/* One message and exit code for a failed registry call on a key. */
int ReportKeyError(LONG error, const wchar_t *what, const std::wstring &key)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return Report(kMissing, L"vplink: %ls: HKLM\\%ls does not exist\n", what, key.c_str());
    }
    return ReportSystemError(std::wstring(what) + L": HKLM\\" + key, static_cast<DWORD>(error));
}

/* A value the driver cannot read in full is refused here rather than at the port's first open. */
bool CheckValueLength(const wchar_t *name, const std::wstring &value)
{
    size_t limit = VpMaxValueTextChars(static_cast<unsigned>(wcslen(name)));
    if (value.size() > limit) {
        PrintError(L"vplink: %ls is %zu characters; the driver reads at most %zu\n", name, value.size(), limit);
        return false;
    }
    return true;
}

LONG WriteString(HKEY key, const wchar_t *name, const std::wstring &value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
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

LONG WriteLink(const std::wstring &port, const Link &link)
{
    HKEY key;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, LinkKey(port).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                 &key, nullptr);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    error = WriteString(key, VP_HARDWARE_ID_VALUE, link.hardwareId);
    if (error == ERROR_SUCCESS) {
        error = WriteString(key, VP_LINKED_ID_VALUE, link.linkedId);
    }
    RegCloseKey(key);
    return error;
}

/* The interface key names under the USB device-interface class key. */
LONG InterfaceNames(std::vector<std::wstring> *names)
{
    HKEY key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, VP_USB_DEVICE_CLASS_KEY, 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    for (DWORD index = 0;; index++) {
        wchar_t name[256];
        DWORD chars = sizeof(name) / sizeof(name[0]);
        error = RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS) {
            break;
        }
        names->push_back(name);
    }
    RegCloseKey(key);
    return error == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : error;
}

/* The printers (LinkedId) the links of the other ports name: one printer serves one port. */
std::vector<std::wstring> LinkedElsewhere(const std::wstring &port)
{
    std::vector<std::wstring> linked;
    for (const std::wstring &other : PortDeviceNames()) {
        Link link;
        if (_wcsicmp(other.c_str(), port.c_str()) != 0 && ReadLink(other, &link) == ERROR_SUCCESS) {
            linked.push_back(link.linkedId);
        }
    }
    return linked;
}

bool ContainsNoCase(const std::vector<std::wstring> &names, const std::wstring &name)
{
    return std::any_of(names.begin(), names.end(),
                       [&](const std::wstring &other) { return _wcsicmp(other.c_str(), name.c_str()) == 0; });
}

int WriteCheckedLink(const std::wstring &port, const Link &link)
{
    if (!CheckValueLength(VP_HARDWARE_ID_VALUE, link.hardwareId) ||
        !CheckValueLength(VP_LINKED_ID_VALUE, link.linkedId)) {
        return kBadArguments;
    }
    if (!VpIsAcceptedVendor(link.linkedId.c_str())) {
        return Report(kBadArguments, L"vplink: LinkedId %ls is not from a vendor the driver accepts\n",
                      link.linkedId.c_str());
    }
    LONG error = WriteLink(port, link);
    if (error != ERROR_SUCCESS) {
        return ReportKeyError(error, L"cannot write the link", LinkKey(port));
    }
    Print(L"%ls linked to %ls (%ls)\n", port.c_str(), link.hardwareId.c_str(), Verdict(link.linkedId).c_str());
    return kOk;
}

} // namespace

LONG ReadLink(const std::wstring &port, Link *link)
{
    HKEY key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, LinkKey(port).c_str(), 0, KEY_READ, &key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    error = ReadString(key, VP_HARDWARE_ID_VALUE, &link->hardwareId);
    LONG linkedError = ReadString(key, VP_LINKED_ID_VALUE, &link->linkedId);
    RegCloseKey(key);
    return error != ERROR_SUCCESS ? error : linkedError;
}

LONG DeleteLink(const std::wstring &port)
{
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, LinkKey(port).c_str());
}

LONG DeleteAllLinks()
{
    LONG error = RegDeleteTreeW(HKEY_LOCAL_MACHINE, VP_LINK_KEY);
    if (error == ERROR_SUCCESS) {
        error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, VP_LINK_KEY);
    }
    /* The vendor key above it goes too once nothing else is in it. */
    std::wstring parent = VP_LINK_KEY;
    parent.erase(parent.find_last_of(L'\\'));
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str());
    }
    return error;
}

bool LinkExists(const std::wstring &port)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LinkKey(port).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

LONG MoveLink(const std::wstring &from, const std::wstring &to)
{
    Link link;
    LONG error = ReadLink(from, &link);
    if (error == ERROR_SUCCESS) {
        error = WriteLink(to, link);
    }
    return error == ERROR_SUCCESS ? DeleteLink(from) : error;
}

bool PrinterPresent(const std::wstring &linkedId)
{
    HKEY key;
    std::wstring path = std::wstring(VP_USB_DEVICE_CLASS_KEY) + L"\\" + linkedId;
    if (linkedId.empty() || RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::wstring Verdict(const std::wstring &linkedId)
{
    if (!VpIsAcceptedVendor(linkedId.c_str())) {
        return L"not accepted (unknown vendor)";
    }
    return L"accepted, model class " + std::to_wstring(VpModelClassOf(linkedId.c_str()));
}

int SetLinkCommand(const std::wstring &port, const std::wstring &hardwareId, const std::wstring &linkedId)
{
    int code = RequireAdministrator(L"set");
    return code != kOk ? code : WriteCheckedLink(port, {hardwareId, linkedId});
}

/*
 * The candidates are the printers the driver would accept, present by the driver's own test (the
 * interface key exists), and not linked to another port. Exactly one is linked; otherwise the
 * candidates are listed and nothing changes.
 */
int SetAutoCommand(const std::wstring &port)
{
    int code = RequireAdministrator(L"set");
    if (code != kOk) {
        return code;
    }
    std::vector<std::wstring> names;
    LONG error = InterfaceNames(&names);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        return ReportKeyError(error, L"cannot list the USB device interfaces", VP_USB_DEVICE_CLASS_KEY);
    }
    std::vector<std::wstring> candidates;
    const std::vector<std::wstring> linkedElsewhere = LinkedElsewhere(port);
    const size_t prefixChars = wcslen(kInterfacePrefix);
    for (const std::wstring &name : names) {
        if (VpIsAcceptedVendor(name.c_str()) && name.compare(0, prefixChars, kInterfacePrefix) == 0 &&
            !ContainsNoCase(linkedElsewhere, name)) {
            candidates.push_back(name);
        }
    }
    if (candidates.size() == 1) {
        return WriteCheckedLink(port, {kKernelLinkPrefix + candidates[0].substr(prefixChars), candidates[0]});
    }
    if (candidates.empty()) {
        return Report(kMissing, L"vplink: no printer the driver accepts is present and free to link to %ls "
                                L"(vplink list shows the USB devices)\n",
                      port.c_str());
    }
    PrintError(L"vplink: %zu printers could serve %ls; link one with vplink set %ls <HardwareId> <LinkedId>:\n",
             candidates.size(), port.c_str(), port.c_str());
    for (const std::wstring &name : candidates) {
        PrintError(L"  %ls%ls %ls  (%ls)\n", kKernelLinkPrefix, name.substr(prefixChars).c_str(), name.c_str(),
                 Verdict(name).c_str());
    }
    return kAmbiguous;
}

int ShowCommand(const std::wstring &port)
{
    Link link;
    LONG error = ReadLink(port, &link);
    if (error != ERROR_SUCCESS) {
        return ReportKeyError(error, L"no complete link for this port", LinkKey(port));
    }
    Print(L"%ls\n  HardwareId: %ls\n  LinkedId:   %ls\n  driver:     %ls\n  device:     %ls\n", port.c_str(),
            link.hardwareId.c_str(), link.linkedId.c_str(), Verdict(link.linkedId).c_str(),
            PrinterPresent(link.linkedId) ? L"present" : L"absent");
    return kOk;
}

int RemoveLinkOnly(const std::wstring &port)
{
    LONG error = DeleteLink(port);
    if (error != ERROR_SUCCESS) {
        return ReportKeyError(error, L"no port device and no link of that name", LinkKey(port));
    }
    Print(L"%ls: link removed\n", port.c_str());
    return kOk;
}

int ListCommand()
{
    std::vector<std::wstring> names;
    LONG error = InterfaceNames(&names);
    if (error != ERROR_SUCCESS) {
        return ReportKeyError(error, L"no USB device interfaces", VP_USB_DEVICE_CLASS_KEY);
    }
    for (const std::wstring &name : names) {
        Print(L"%ls  %ls\n", name.c_str(), Verdict(name).c_str());
    }
    Print(L"%zu USB device interface(s)\n", names.size());
    return kOk;
}
