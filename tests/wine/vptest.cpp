/*
 * vptest.exe - installs the port the way a Windows installer does, and drives an installed port
 * the way communication software does, against the simulated USB printer.
 *
 *   vptest install <inf> <hardware id>   create a root device and install the INF's driver on it
 *   vptest run <port> <LinkedId>         the checks (vptest_checks.cpp); one line per check and
 *                                        a final "N passed, N failed" line; exit 1 on a failure
 *   vptest scenario <out> <file>...      the scenarios (vptest_scenarios.cpp), recorded to <out>
 *   vptest printer-links | print | open | dosname | doslink | asuser | hold | resources | eventsource
 *                                        fixtures of the package route (vptest_ports.cpp)
 *   vptest printer N ... | dtrrts PORT   fixtures for other clients (vptest_ports.cpp)
 */
#include "tests/wine/vptest.h"

#include <newdev.h>
#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

std::vector<wchar_t> MultiSz(const wchar_t *text)
{
    std::vector<wchar_t> value(text, text + wcslen(text));
    value.push_back(0);
    value.push_back(0);
    return value;
}

int Install(const wchar_t *infPath, const wchar_t *hardwareId)
{
    wchar_t fullPath[MAX_PATH];
    if (GetFullPathNameW(infPath, MAX_PATH, fullPath, nullptr) == 0) {
        fwprintf(stderr, L"vptest: bad INF path %ls\n", infPath);
        return 2;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"vptest: SetupDiCreateDeviceInfoList failed: %lu\n", GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    std::vector<wchar_t> ids = MultiSz(hardwareId);
    bool ok = SetupDiCreateDeviceInfoW(set, L"PORTS", &kPortsClass, nullptr, nullptr, DICD_GENERATE_ID, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(ids.data()),
                                                static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    if (!ok) {
        fwprintf(stderr, L"vptest: cannot register the root device: %lu\n", GetLastError());
        SetupDiDestroyDeviceInfoList(set);
        return 1;
    }
    HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key != INVALID_HANDLE_VALUE) {
        RegCloseKey(key);
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, fullPath, INSTALLFLAG_FORCE, &reboot)) {
        fwprintf(stderr, L"vptest: UpdateDriverForPlugAndPlayDevices failed: %lu\n", GetLastError());
        SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
        SetupDiDestroyDeviceInfoList(set);
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    wprintf(L"installed %ls from %ls\n", hardwareId, fullPath);
    return 0;
}

} // namespace

int RemoveDevices(const wchar_t *hardwareId)
{
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int removed = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
        if (HasHardwareId(set, &device, hardwareId) && SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            removed++;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

int wmain(int argc, wchar_t **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 4 && wcscmp(argv[1], L"install") == 0) {
        return Install(argv[2], argv[3]);
    }
    if (argc == 4 && wcscmp(argv[1], L"run") == 0) {
        return RunChecks(argv[2], argv[3]);
    }
    if (argc >= 4 && wcscmp(argv[1], L"scenario") == 0) {
        return RunScenarios(argv[2], argc - 3, argv + 3);
    }
    int code = RunPortsCommand(argc, argv);
    if (code >= 0) {
        return code;
    }
    fwprintf(stderr, L"usage: vptest install <inf> <hardware id>\n       vptest run <port> <LinkedId>\n"
                     L"       vptest scenario <out> <file>...\n"
                     L"       vptest printer-links | print PORT=N... | open PORT | dosname NAME | doslink NAME [TARGET]\n"
                     L"       vptest asuser PROGRAM ARGS... | hold FILE PROGRAM ARGS... | resources FILE\n"
                     L"       vptest eventsource INF SECTION\n"
                     L"       vptest printer N reset | reply HEX | printed | opens\n       vptest dtrrts PORT\n");
    return 2;
}
