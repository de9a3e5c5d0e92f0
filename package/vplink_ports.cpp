/*
 * vplink_ports.cpp - the port devices: root-enumerated devices of class Ports with this driver's
 * hardware ID, each named by PortName in its hardware key.
 *
 * A name is taken when any Ports device (this driver's or another, a real LPT port say) has it as
 * PortName, when the parallel-port device map lists it, or when it is a DOS device name already
 * (a net use LPTn: mapping, another driver's port). The name is written before the driver is
 * installed, so the device publishes it at its first start; the INF never writes over it.
 *
 * After install, update and rename the port's state is read back: a driver Windows refused (no
 * trusted signature, test signing off, blocked by Memory Integrity, ...) leaves a device with a
 * problem code, which is reported with its cause, its remedy and an exit code of its own.
 */
#include "package/vplink.h"
#include "package/device_map.h"

#include <cfgmgr32.h>
#include <newdev.h>
#include <stdio.h>
#include <wchar.h>

#include "public/vparallel_public.h"

namespace {

const wchar_t kDefaultDescription[] = L"Virtual parallel port";
/* How long a freshly installed or restarted port may take to start before its state counts. */
constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kStartPollMs = 250;

static_assert(kDevNodeStarted == DN_STARTED && kDevNodeHasProblem == DN_HAS_PROBLEM,
              "vplink_advice.h reads the status bits of cfg.h");

std::wstring Upper(std::wstring text)
{
    for (wchar_t &c : text) {
        c = towupper(c);
    }
    return text;
}

/* The advice texts are ASCII. */
std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring MultiSz(const wchar_t *text)
{
    return std::wstring(text) + L'\0';
}

/* One device of a device information set. */
struct Device {
    SP_DEVINFO_DATA data = {};
    std::wstring instanceId;
    std::wstring portName; /* upper case; empty when the device has none */
    bool ours = false;
};

std::wstring ReadPortName(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    wchar_t name[256] = {};
    DWORD bytes = sizeof(name) - sizeof(wchar_t);
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, VP_PORT_NAME_VALUE, nullptr, &type, reinterpret_cast<BYTE *>(name), &bytes);
    RegCloseKey(key);
    return error == ERROR_SUCCESS && type == REG_SZ ? Upper(name) : std::wstring();
}

DWORD WritePortName(HDEVINFO set, SP_DEVINFO_DATA *device, const std::wstring &name)
{
    HKEY key = SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    LONG error = RegSetValueExW(key, VP_PORT_NAME_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                                static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return static_cast<DWORD>(error);
}

/* "<device description> (LPTn)", as the Ports class installer names a port. */
DWORD SetFriendlyName(HDEVINFO set, SP_DEVINFO_DATA *device, const std::wstring &name)
{
    wchar_t description[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_DEVICEDESC, nullptr,
                                           reinterpret_cast<BYTE *>(description), sizeof(description) - 2, nullptr)) {
        wcscpy(description, kDefaultDescription);
    }
    std::wstring friendly = std::wstring(description) + L" (" + name + L")";
    return SetupDiSetDeviceRegistryPropertyW(set, device, SPDRP_FRIENDLYNAME,
                                             reinterpret_cast<const BYTE *>(friendly.c_str()),
                                             static_cast<DWORD>((friendly.size() + 1) * sizeof(wchar_t)))
               ? ERROR_SUCCESS
               : GetLastError();
}

std::wstring FriendlyName(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    wchar_t friendly[256] = {};
    SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE *>(friendly),
                                      sizeof(friendly) - 2, nullptr);
    return friendly;
}

/* The reboot flags SetupAPI leaves when it could not stop or start a device. */
bool NeedsRestart(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    return SetupDiGetDeviceInstallParamsW(set, device, &params) &&
           (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0;
}

/* The device-map entries: value name (the device's object name) and the port name it holds,
 * with a "\DosDevices\" prefix or a trailing ":" taken off (the system's own ports write them). */
std::vector<std::pair<std::wstring, std::wstring>> DeviceMapEntries()
{
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    for (const auto &value : ReadDeviceMap()) {
        std::wstring port = Upper(value.second);
        if (port.rfind(L"\\DOSDEVICES\\", 0) == 0) {
            port = port.substr(12);
        }
        if (!port.empty() && port.back() == L':') {
            port.pop_back();
        }
        entries.push_back({value.first, port});
    }
    return entries;
}

/* Every device of the Ports class, present or not, and the device map, read once together. */
class PortsClass {
public:
    PortsClass() : set_(SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0))
    {
        Device device;
        device.data.cbSize = sizeof(device.data);
        for (DWORD index = 0; Valid() && SetupDiEnumDeviceInfo(set_, index, &device.data); index++) {
            wchar_t id[MAX_DEVICE_ID_LEN] = {};
            SetupDiGetDeviceInstanceIdW(set_, &device.data, id, MAX_DEVICE_ID_LEN, nullptr);
            device.instanceId = id;
            device.portName = ReadPortName(set_, &device.data);
            device.ours = HasHardwareId(set_, &device.data, VP_PORT_HARDWARE_ID);
            devices.push_back(device);
        }
        listError_ = Valid() ? ERROR_SUCCESS : GetLastError();
        deviceMap = DeviceMapEntries();
    }
    ~PortsClass()
    {
        if (Valid()) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    PortsClass(const PortsClass &) = delete;
    PortsClass &operator=(const PortsClass &) = delete;

    bool Valid() const { return set_ != INVALID_HANDLE_VALUE; }
    /* kOk, or the report that the devices could not be listed. */
    int Listed() const { return Valid() ? kOk : ReportSystemError(L"cannot list the Ports devices", listError_); }
    HDEVINFO Set() const { return set_; }

    Device *FindOurs(const std::wstring &name)
    {
        for (Device &device : devices) {
            if (device.ours && device.portName == Upper(name)) {
                return &device;
            }
        }
        return nullptr;
    }

    std::vector<Device> devices;
    std::vector<std::pair<std::wstring, std::wstring>> deviceMap; /* DeviceMapEntries() */

private:
    HDEVINFO set_;
    DWORD listError_ = ERROR_SUCCESS;
};

int NoSuchPort(const std::wstring &name)
{
    return Report(kMissing, L"vplink: there is no port %ls (vplink ports lists them)\n", name.c_str());
}

/* What holds the name, or "" when it is free. A DOS device name counts: a port whose name is
 * one already would publish nothing, and programs would reach whatever holds it. (A net use
 * mapping belongs to the logon session that made it: one made before elevating is not seen here.) */
std::wstring TakenBy(const PortsClass &ports, const std::wstring &name)
{
    for (const Device &device : ports.devices) {
        if (device.portName == Upper(name)) {
            return L"the device " + device.instanceId;
        }
    }
    for (const auto &entry : ports.deviceMap) {
        if (entry.second == Upper(name)) {
            return L"the parallel-port device map (" + entry.first + L")";
        }
    }
    wchar_t target[512] = {};
    if (QueryDosDeviceW(name.c_str(), target, 512) != 0) {
        return L"the DOS device name " + name + L" (-> " + target + L": a net use mapping or another driver's port)";
    }
    return std::wstring();
}

std::wstring FirstFreeName(const PortsClass &ports)
{
    for (const std::wstring &name : OfferedPortNames()) {
        if (TakenBy(ports, name).empty()) {
            return name;
        }
    }
    return std::wstring();
}

/* DIF_REMOVE with its scope given: the device goes from every hardware profile. GetLastError on
 * false. Wine's SetupDiSetClassInstallParams is a stub; its DIF_REMOVE removes globally anyway. */
bool RemoveDeviceGlobally(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    SP_REMOVEDEVICE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(params.ClassInstallHeader);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, device, &params.ClassInstallHeader, sizeof(params)) && !RunningOnWine()) {
        return false;
    }
    return SetupDiCallClassInstaller(DIF_REMOVE, set, device) != FALSE;
}

/* A device of its own set: the port being created. */
class NewDevice {
public:
    NewDevice() : set_(SetupDiCreateDeviceInfoList(&kPortsClass, nullptr)) { data_.cbSize = sizeof(data_); }
    ~NewDevice()
    {
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    NewDevice(const NewDevice &) = delete;
    NewDevice &operator=(const NewDevice &) = delete;

    /* A registered root device with the hardware ID and the port name; GetLastError on false. */
    bool Create(const std::wstring &name)
    {
        const std::wstring ids = MultiSz(VP_PORT_HARDWARE_ID);
        if (set_ == INVALID_HANDLE_VALUE ||
            !SetupDiCreateDeviceInfoW(set_, L"VPARALLEL", &kPortsClass, nullptr, nullptr, DICD_GENERATE_ID, &data_) ||
            !SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE *>(ids.c_str()),
                                               static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)))) {
            return false;
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data_)) {
            return false;
        }
        registered_ = true;
        DWORD error = WritePortName(set_, &data_, name);
        SetLastError(error);
        return error == ERROR_SUCCESS;
    }

    /* Takes the device away again after a failed installation. */
    void Discard()
    {
        if (registered_) {
            RemoveDeviceGlobally(set_, &data_);
            registered_ = false;
        }
    }

    HDEVINFO Set() const { return set_; }
    SP_DEVINFO_DATA *Data() { return &data_; }

private:
    HDEVINFO set_;
    SP_DEVINFO_DATA data_ = {};
    bool registered_ = false;
};

/* A driver list of the one INF, for the device. */
bool BuildDriverList(HDEVINFO set, SP_DEVINFO_DATA *device, const std::wstring &inf)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, device, &params) || inf.size() >= MAX_PATH) {
        return false;
    }
    params.Flags |= DI_ENUMSINGLEINF;
    wcscpy(params.DriverPath, inf.c_str());
    return SetupDiSetDeviceInstallParamsW(set, device, &params) &&
           SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER);
}

/*
 * Installs the package's driver on the one new device. On Windows: DiInstallDevice with the
 * driver of the INF in the driver store. Wine's newdev has DiInstallDevice (and SetupAPI has
 * SetupDiSetSelectedDriver) only as stubs that end the process; there the class installer's own
 * steps install the same driver from the package's INF. Returns a system error code.
 */
DWORD InstallDriver(HDEVINFO set, SP_DEVINFO_DATA *device, const std::wstring &storedInf,
                    const std::wstring &packageInf, bool *restart)
{
    const bool wine = RunningOnWine();
    if (!BuildDriverList(set, device, wine ? packageInf : storedInf)) {
        return GetLastError();
    }
    if (!wine) {
        SP_DRVINFO_DATA_W driver = {};
        driver.cbSize = sizeof(driver);
        BOOL reboot = FALSE;
        if (!SetupDiEnumDriverInfoW(set, device, SPDIT_COMPATDRIVER, 0, &driver) ||
            !DiInstallDevice(nullptr, set, device, &driver, 0, &reboot)) {
            return GetLastError();
        }
        *restart = reboot != FALSE;
        return ERROR_SUCCESS;
    }
    const DI_FUNCTION steps[] = {DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL,     DIF_INSTALLDEVICEFILES,
                                 DIF_REGISTER_COINSTALLERS, DIF_INSTALLINTERFACES, DIF_INSTALLDEVICE};
    for (DI_FUNCTION step : steps) {
        if (!SetupDiCallClassInstaller(step, set, device) && GetLastError() != ERROR_DI_DO_DEFAULT) {
            return GetLastError();
        }
    }
    *restart = NeedsRestart(set, device);
    return ERROR_SUCCESS;
}

enum class Restart { Done, InUse, Failed };

/* Stops and starts the device (DICS_PROPCHANGE). Windows stops it only after a query-remove,
 * which fails while a handle is open; it then marks the change for the next reboot. */
Restart RestartDevice(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD *error)
{
    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(params.ClassInstallHeader);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, device, &params.ClassInstallHeader, sizeof(params)) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, device)) {
        *error = GetLastError();
        return Restart::Failed;
    }
    return NeedsRestart(set, device) ? Restart::InUse : Restart::Done;
}

std::wstring DeviceState(DEVINST instance)
{
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET result = CM_Get_DevNode_Status(&status, &problem, instance, 0);
    if (result == CR_NO_SUCH_DEVINST) {
        return L"not present";
    }
    if (result != CR_SUCCESS) {
        return L"state unknown (configuration manager error " + std::to_wstring(result) + L")";
    }
    if (status & DN_HAS_PROBLEM) {
        return problem == CM_PROB_DISABLED ? L"disabled"
                                           : L"problem: " + Wide(JudgePortState(true, status, problem).cause);
    }
    if (status & DN_STARTED) {
        return L"started";
    }
    /* A present device always has some status bit; none at all means the system gave none. */
    return status == 0 ? L"state unknown (the system reports no status)" : L"not started";
}

/* The port's state once it has started, stopped at a problem, or had kStartWaitMs to start:
 * "started" on stdout and kOk; a problem's cause and remedy on stderr and its exit code. */
int ReportPortState(DEVINST instance, const std::wstring &name)
{
    PortState state = JudgePortState(false, 0, 0);
    for (DWORD waited = 0;; waited += kStartPollMs) {
        ULONG status = 0;
        ULONG problem = 0;
        const bool answered = CM_Get_DevNode_Status(&status, &problem, instance, 0) == CR_SUCCESS;
        state = JudgePortState(answered, status, problem);
        if (state.condition != PortCondition::NotStarted || waited >= kStartWaitMs) {
            break;
        }
        Sleep(kStartPollMs);
    }
    switch (state.condition) {
    case PortCondition::Started:
        Print(L"%ls started\n", name.c_str());
        break;
    case PortCondition::Unknown:
        Print(L"%ls: state unknown: %hs (%hs)\n", name.c_str(), state.cause.c_str(), state.remedy.c_str());
        break;
    case PortCondition::Problem:
    case PortCondition::NotStarted:
        PrintError(L"vplink: %ls does not work: %hs\nvplink: what to do: %hs\n", name.c_str(), state.cause.c_str(),
                   state.remedy.c_str());
        break;
    }
    return state.exitCode;
}

std::wstring PublishedAs(const PortsClass &ports, const std::wstring &name)
{
    wchar_t target[512] = {};
    if (QueryDosDeviceW(name.c_str(), target, 512) == 0) {
        return L"no (no \\\\.\\" + name + L")";
    }
    for (const auto &entry : ports.deviceMap) {
        if (entry.second == name) {
            return L"\\\\.\\" + name + L" -> " + target + L", device map entry " + entry.first;
        }
    }
    return L"\\\\.\\" + name + L" -> " + target + L", no device-map entry";
}

std::wstring LinkSummary(const std::wstring &name)
{
    Link link;
    if (ReadLink(name, &link) != ERROR_SUCCESS) {
        return L"none (vplink set " + name + L" auto)";
    }
    return link.hardwareId + L", " + Verdict(link.linkedId) + L", printer " +
           (PrinterPresent(link.linkedId) ? L"present" : L"absent");
}

/* Removes one device; true when Windows needs a restart to finish. GetLastError on failure. */
bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA *device, bool *restart)
{
    if (!RemoveDeviceGlobally(set, device)) {
        return false;
    }
    *restart = NeedsRestart(set, device);
    return true;
}

} // namespace

std::vector<std::wstring> PortDeviceNames()
{
    std::vector<std::wstring> names;
    PortsClass ports;
    for (const Device &device : ports.devices) {
        if (device.ours && !device.portName.empty()) {
            names.push_back(device.portName);
        }
    }
    return names;
}

namespace {

/* The requested name if it is free, else without a request the first free one offered. */
int ChooseName(const std::wstring &requested, std::wstring *name)
{
    PortsClass ports;
    int code = ports.Listed();
    if (code != kOk) {
        return code;
    }
    *name = requested.empty() ? FirstFreeName(ports) : requested;
    if (name->empty()) {
        return Report(kNameTaken, L"vplink: every name from LPT1 to LPT9 is taken; a higher one is given with "
                                  L"--port LPT10 (to LPT99), and programs open it as \\\\.\\LPT10\n");
    }
    std::wstring holder = TakenBy(ports, *name);
    if (!holder.empty()) {
        return Report(kNameTaken, L"vplink: %ls is taken by %ls; nothing was installed (choose another name with "
                                  L"--port, or leave it out for the first free one)\n",
                      name->c_str(), holder.c_str());
    }
    return kOk;
}

/* Creates the port device and installs the driver on it; on failure the device goes again. */
int CreatePort(const std::wstring &name, const std::wstring &storedInf, const std::wstring &packageInf)
{
    NewDevice device;
    if (!device.Create(name)) {
        DWORD error = GetLastError();
        device.Discard();
        return ReportSystemError(L"cannot create the port device for " + name, error);
    }
    bool restart = false;
    DWORD error = RetryWhileFileInUse(L"installing the driver on the port", [&]() -> unsigned long {
        return InstallDriver(device.Set(), device.Data(), storedInf, packageInf, &restart);
    });
    if (error != ERROR_SUCCESS) {
        device.Discard();
        return ReportSystemError(L"cannot install the driver on the new port " + name + L" (the device is removed again)",
                                 error);
    }
    SetFriendlyName(device.Set(), device.Data(), name);
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    SetupDiGetDeviceInstanceIdW(device.Set(), device.Data(), id, MAX_DEVICE_ID_LEN, nullptr);
    Print(L"%ls installed: %ls, %ls\n", name.c_str(), id, FriendlyName(device.Set(), device.Data()).c_str());
    const std::wstring note = HighNameNote(name);
    if (!note.empty()) {
        Print(L"%ls\n", note.c_str());
    }
    if (restart) {
        return Report(kRestartNeeded, L"vplink: Windows asks for a restart before %ls works\n", name.c_str());
    }
    int code = ReportPortState(device.Data()->DevInst, name);
    if (code == kOk) {
        Print(L"next: vplink set %ls auto (links it to its printer)\n", name.c_str());
    }
    return code;
}

} // namespace

int InstallCommand(const InstallOptions &options)
{
    std::wstring inf;
    std::wstring name;
    std::wstring storedInf;
    int code = RequireAdministrator(L"install");
    if (code == kOk) {
        code = LocatePackage(options.inf, &inf);
    }
    if (code == kOk) {
        code = ChooseName(options.port, &name);
    }
    if (code == kOk) {
        CheckSigning(inf);
        code = StagePackage(inf, &storedInf);
    }
    return code == kOk ? CreatePort(name, storedInf, inf) : code;
}

/* The package is staged first, so that its driver-store name is recorded; then
 * UpdateDriverForPlugAndPlayDevices reinstalls every device with the hardware ID from it. The
 * Ports class installer keeps each port's name; the friendly names are set again here for
 * systems without that class installer. */
int UpdateCommand(const std::wstring &inf)
{
    std::wstring path;
    std::wstring storedInf;
    int code = RequireAdministrator(L"update");
    if (code == kOk) {
        code = LocatePackage(inf, &path);
    }
    if (code == kOk) {
        CheckSigning(path);
        code = StagePackage(path, &storedInf);
    }
    if (code != kOk) {
        return code;
    }
    BOOL reboot = FALSE;
    DWORD error = RetryWhileFileInUse(L"reinstalling the driver", [&]() -> unsigned long {
        return UpdateDriverForPlugAndPlayDevicesW(nullptr, VP_PORT_HARDWARE_ID, path.c_str(), INSTALLFLAG_FORCE,
                                                  &reboot)
                   ? ERROR_SUCCESS
                   : GetLastError();
    });
    if (error != ERROR_SUCCESS) {
        if (error == ERROR_NO_SUCH_DEVINST) {
            return Report(kMissing, L"vplink: no port is installed (vplink install adds one)\n");
        }
        return ReportSystemError(L"cannot reinstall the driver from " + path, error);
    }
    PortsClass ports;
    unsigned count = 0;
    int stateCode = kOk;
    for (Device &device : ports.devices) {
        if (device.ours) {
            SetFriendlyName(ports.Set(), &device.data, device.portName);
            Print(L"%ls: driver reinstalled (%ls)\n", device.portName.c_str(), device.instanceId.c_str());
            count++;
            int state = reboot ? kOk : ReportPortState(device.data.DevInst, device.portName);
            stateCode = stateCode != kOk ? stateCode : state;
        }
    }
    if (reboot) {
        return Report(kRestartNeeded, L"vplink: Windows asks for a restart to finish the update\n");
    }
    Print(L"%u port(s) updated\n", count);
    return stateCode;
}

/* ---- The last refusal ---------------------------------------------------------------------- */

namespace {

LocalMoment Moment(const SYSTEMTIME &time)
{
    return {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
}

/* The record the driver keeps in the port's hardware key, in words: "printer absent, 10:02:13"
 * (local time), "none" when the port has not refused since it was installed or cleared. */
std::wstring LastRefusalOf(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return L"unknown: the port's hardware key does not open";
    }
    VP_LAST_REFUSAL record = {};
    DWORD bytes = sizeof(record);
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, VP_LAST_REFUSAL_VALUE, nullptr, &type, reinterpret_cast<BYTE *>(&record), &bytes);
    RegCloseKey(key);
    if (error == ERROR_FILE_NOT_FOUND) {
        return L"none";
    }
    if (error != ERROR_SUCCESS || type != REG_BINARY || bytes != sizeof(record)) {
        return L"unknown: the value " VP_LAST_REFUSAL_VALUE L" is not the driver's record";
    }
    /* The driver's time is UTC; shown in this computer's time zone. */
    const unsigned long long utc = static_cast<unsigned long long>(record.Time);
    FILETIME file = {static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
    SYSTEMTIME universal = {};
    SYSTEMTIME local = {};
    SYSTEMTIME today = {};
    GetLocalTime(&today);
    const bool converted = FileTimeToSystemTime(&file, &universal) &&
                           SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local);
    const LocalMoment when = Moment(local);
    return LastRefusalText(record.Cause, record.Status, converted ? &when : nullptr, Moment(today));
}

DWORD ClearLastRefusal(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_SET_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    LONG error = RegDeleteValueW(key, VP_LAST_REFUSAL_VALUE);
    RegCloseKey(key);
    return static_cast<DWORD>(error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error);
}

} // namespace

int PortsCommand()
{
    PortsClass ports;
    int code = ports.Listed();
    if (code != kOk) {
        return code;
    }
    unsigned count = 0;
    for (Device &device : ports.devices) {
        if (!device.ours) {
            continue;
        }
        const std::wstring name = device.portName.empty() ? L"(no name)" : device.portName;
        Print(L"%ls  %ls\n  device:    %ls, %ls\n  published: %ls\n  link:      %ls\n  last refusal: %ls\n",
              name.c_str(), FriendlyName(ports.Set(), &device.data).c_str(), device.instanceId.c_str(),
              DeviceState(device.data.DevInst).c_str(), PublishedAs(ports, device.portName).c_str(),
              LinkSummary(device.portName).c_str(), LastRefusalOf(ports.Set(), &device.data).c_str());
        count++;
    }
    Print(L"%u port(s)\n", count);
    return kOk;
}

namespace {

/* The commands that change ports: an administrator's, on a list of the ports that could be read. */
int ListedForAdministrator(const wchar_t *command, PortsClass &ports)
{
    int code = RequireAdministrator(command);
    return code != kOk ? code : ports.Listed();
}

} // namespace

int ClearRefusalsCommand(const std::wstring &port)
{
    PortsClass ports;
    int code = ListedForAdministrator(L"ports --clear", ports);
    if (code != kOk) {
        return code;
    }
    if (!port.empty() && ports.FindOurs(port) == nullptr) {
        return NoSuchPort(port);
    }
    unsigned cleared = 0;
    for (Device &device : ports.devices) {
        if (!device.ours || (!port.empty() && device.portName != Upper(port))) {
            continue;
        }
        DWORD error = ClearLastRefusal(ports.Set(), &device.data);
        if (error != ERROR_SUCCESS) {
            return ReportSystemError(L"cannot clear the last refusal of " + device.instanceId, error);
        }
        cleared++;
    }
    Print(L"last refusal cleared on %u port(s)\n", cleared);
    return kOk;
}

int RenameCommand(const std::wstring &from, const std::wstring &to)
{
    PortsClass ports;
    int code = ListedForAdministrator(L"rename", ports);
    if (code != kOk) {
        return code;
    }
    Device *device = ports.FindOurs(from);
    if (device == nullptr) {
        return NoSuchPort(from);
    }
    std::wstring holder = TakenBy(ports, to);
    if (!holder.empty()) {
        return Report(kNameTaken, L"vplink: %ls is taken by %ls\n", to.c_str(), holder.c_str());
    }
    if (LinkExists(to)) {
        return Report(kNameTaken, L"vplink: a link for %ls exists already (vplink remove %ls deletes it)\n",
                      to.c_str(), to.c_str());
    }
    DWORD error = WritePortName(ports.Set(), &device->data, to);
    if (error != ERROR_SUCCESS) {
        return ReportSystemError(L"cannot rename " + from, error);
    }

    Restart restart = RestartDevice(ports.Set(), &device->data, &error);
    if (restart == Restart::InUse) {
        DWORD undo = WritePortName(ports.Set(), &device->data, from);
        if (undo != ERROR_SUCCESS) {
            ReportSystemError(L"cannot give " + from + L" its name back (it is " + to + L" after a restart)", undo);
        }
        return Report(kInUse, L"vplink: %ls is open: Windows would not stop it. Close the application using it, "
                              L"then rename again%ls\n",
                      from.c_str(), undo == ERROR_SUCCESS ? L" (nothing was changed)" : L"");
    }
    LONG moved = MoveLink(from, to);
    if (moved != ERROR_SUCCESS && moved != ERROR_FILE_NOT_FOUND) {
        ReportSystemError(L"cannot move the link of " + from + L" to " + to, static_cast<DWORD>(moved));
    }
    SetFriendlyName(ports.Set(), &device->data, to);
    const std::wstring note = HighNameNote(to);
    if (!note.empty()) {
        Print(L"%ls\n", note.c_str());
    }
    if (restart == Restart::Failed) {
        ReportSystemError(L"cannot restart the port", error);
        return Report(kRestartNeeded, L"vplink: %ls is renamed %ls, but keeps its old name until the device next "
                                      L"starts (restart the computer)\n",
                      from.c_str(), to.c_str());
    }
    Print(L"%ls renamed %ls\n", from.c_str(), to.c_str());
    return ReportPortState(device->data.DevInst, to);
}

int RemoveCommand(const std::wstring &port, bool keepLink)
{
    PortsClass ports;
    int code = ListedForAdministrator(L"remove", ports);
    if (code != kOk) {
        return code;
    }
    Device *device = ports.FindOurs(port);
    if (device == nullptr) {
        return keepLink ? NoSuchPort(port) : RemoveLinkOnly(port);
    }
    bool restart = false;
    if (!RemoveDevice(ports.Set(), &device->data, &restart)) {
        return ReportSystemError(L"cannot remove " + port, GetLastError());
    }
    const std::wstring name = device->portName;
    const wchar_t *linkState = L"kept";
    if (!keepLink) {
        LONG error = DeleteLink(name);
        linkState = error == ERROR_SUCCESS ? L"removed" : L"none";
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
            ReportSystemError(L"cannot remove the link of " + name, static_cast<DWORD>(error));
        }
    }
    Print(L"%ls removed (%ls), link %ls\n", name.c_str(), device->instanceId.c_str(), linkState);
    return restart ? Report(kRestartNeeded, L"vplink: %ls is in use; it goes when the computer restarts\n", name.c_str())
                   : kOk;
}

int UninstallCommand(bool keepLinks)
{
    int code = RequireAdministrator(L"uninstall");
    if (code != kOk) {
        return code;
    }
    bool restart = false;
    {
        PortsClass ports;
        code = ports.Listed();
        for (Device &device : ports.devices) {
            bool deviceRestart = false;
            if (!device.ours) {
                continue;
            }
            if (!RemoveDevice(ports.Set(), &device.data, &deviceRestart)) {
                code = ReportSystemError(L"cannot remove " + device.instanceId, GetLastError());
                continue;
            }
            restart |= deviceRestart;
            Print(L"%ls removed (%ls)\n", device.portName.c_str(), device.instanceId.c_str());
        }
    }
    if (code != kOk) {
        return code; /* the package stays while a device still uses it */
    }
    code = RemovePackage();
    if (code == kOk && !keepLinks) {
        LONG error = DeleteAllLinks();
        code = error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND
                   ? kOk
                   : ReportSystemError(L"cannot remove the links", static_cast<DWORD>(error));
    }
    if (code == kOk && restart) {
        return Report(kRestartNeeded, L"vplink: a port was in use; it goes when the computer restarts\n");
    }
    return code;
}
