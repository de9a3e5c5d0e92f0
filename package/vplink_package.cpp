/*
 * vplink_package.cpp - the driver package: finding and checking it, putting it in the driver
 * store, and taking it out again with the driver's service and image.
 *
 * A package is the INF, the driver image and the signed catalog that the INF names, side by side.
 * Windows refuses an unsigned package, so a missing catalog is reported before anything changes.
 */
#include "package/vplink.h"

#include <stdio.h>
#include <wchar.h>

namespace {

const wchar_t kDefaultInf[] = L"vparallel.inf";

class InfFile {
public:
    explicit InfFile(const std::wstring &path)
        : handle_(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr))
    {
    }
    ~InfFile()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            SetupCloseInfFile(handle_);
        }
    }
    InfFile(const InfFile &) = delete;
    InfFile &operator=(const InfFile &) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HINF Handle() const { return handle_; }

    std::wstring Field(INFCONTEXT *line, DWORD index) const
    {
        wchar_t text[MAX_PATH] = {};
        return SetupGetStringFieldW(line, index, text, MAX_PATH, nullptr) ? text : L"";
    }

    /* True when a models section names this driver's hardware ID. The [Manufacturer] lines
     * give each models section's name and its target decorations (NTamd64, ...). False for an
     * INF that could not be opened (an old-style one, say). */
    bool InstallsThisDriver() const
    {
        if (!Valid()) {
            return false;
        }
        INFCONTEXT maker;
        for (bool more = SetupFindFirstLineW(handle_, L"Manufacturer", nullptr, &maker); more;
             more = SetupFindNextLine(&maker, &maker)) {
            const std::wstring models = Field(&maker, 1);
            const DWORD fields = SetupGetFieldCount(&maker);
            for (DWORD index = 1; index <= fields; index++) {
                if (ModelsNameThisDriver(index == 1 ? models : models + L"." + Field(&maker, index))) {
                    return true;
                }
            }
        }
        return false;
    }

private:
    bool ModelsNameThisDriver(const std::wstring &section) const
    {
        INFCONTEXT model;
        for (bool more = SetupFindFirstLineW(handle_, section.c_str(), nullptr, &model); more;
             more = SetupFindNextLine(&model, &model)) {
            if (_wcsicmp(Field(&model, 2).c_str(), VP_PORT_HARDWARE_ID) == 0) {
                return true;
            }
        }
        return false;
    }

    HINF handle_;
};

std::wstring DirectoryOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool FileExists(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* The files the package must hold beside its INF: those it copies, and its catalog. */
std::vector<std::wstring> PackageFiles(const InfFile &inf)
{
    std::vector<std::wstring> files;
    INFCONTEXT line;
    for (bool more = SetupFindFirstLineW(inf.Handle(), L"SourceDisksFiles", nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
        files.push_back(inf.Field(&line, 0));
    }
    if (SetupFindFirstLineW(inf.Handle(), L"Version", L"CatalogFile", &line)) {
        files.push_back(inf.Field(&line, 1));
    }
    return files;
}

/* Windows unloads the driver when its last device goes; a host that keeps it loaded is asked to
 * stop it. Deleting the service takes effect once it has stopped. */
int DeleteService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return ReportSystemError(L"cannot reach the service manager", GetLastError());
    }
    SC_HANDLE service = OpenServiceW(manager, VPLINK_SERVICE, DELETE | SERVICE_STOP);
    DWORD error = ERROR_SUCCESS;
    if (service == nullptr) {
        error = GetLastError();
    } else {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status); /* fails when it is not running */
        if (!::DeleteService(service)) {
            error = GetLastError();
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_DOES_NOT_EXIST && error != ERROR_SERVICE_MARKED_FOR_DELETE) {
        return ReportSystemError(L"cannot delete the service " VPLINK_SERVICE, error);
    }
    return kOk;
}

/* The image the INF copied to system32\drivers; a driver still loaded goes at the next restart. */
int DeleteDriverImage(bool *atRestart)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring image = std::wstring(system) + L"\\drivers\\" VPLINK_SERVICE L".sys";
    if (DeleteFileW(image.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        return kOk;
    }
    if (!MoveFileExW(image.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        return ReportSystemError(L"cannot delete " + image, GetLastError());
    }
    *atRestart = true;
    return kOk;
}

} // namespace

int LocatePackage(const std::wstring &inf, std::wstring *fullPath)
{
    std::wstring path = inf;
    if (path.empty()) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        path = DirectoryOf(self) + kDefaultInf;
    }
    wchar_t full[MAX_PATH];
    if (GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr) == 0 || !FileExists(full)) {
        return Report(kPackageMissing, L"vplink: the driver package's INF %ls is missing%ls\n", path.c_str(),
                      inf.empty() ? L" (give its path with --inf)" : L"");
    }
    *fullPath = full;
    InfFile file(full);
    if (!file.Valid()) {
        ReportSystemError(std::wstring(L"cannot read the INF ") + full, GetLastError());
        return kPackageMissing;
    }
    if (!file.InstallsThisDriver()) {
        return Report(kPackageMissing, L"vplink: %ls does not install this driver (%ls)\n", full, VP_PORT_HARDWARE_ID);
    }
    int code = kOk;
    for (const std::wstring &name : PackageFiles(file)) {
        if (!FileExists(DirectoryOf(full) + name)) {
            code = Report(kPackageMissing, L"vplink: the package is incomplete: %ls%ls is missing%ls\n",
                          DirectoryOf(full).c_str(), name.c_str(),
                          name.find(L".cat") != std::wstring::npos ? L" (create and sign the catalog: see the README)" : L"");
        }
    }
    return code;
}

int StagePackage(const std::wstring &inf, std::wstring *storedInf)
{
    wchar_t stored[MAX_PATH] = {};
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, stored, MAX_PATH, nullptr, nullptr)) {
        return ReportSystemError(L"cannot put the package " + inf + L" in the driver store", GetLastError());
    }
    *storedInf = stored;
    return kOk;
}

/* Every published INF of this driver leaves the driver store; then its service and image go. */
int RemovePackage()
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring infDirectory = std::wstring(windows) + L"\\INF\\";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((infDirectory + L"*.inf").c_str(), &found);
    int code = kOk;
    unsigned removed = 0;
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (!InfFile(infDirectory + found.cFileName).InstallsThisDriver()) {
            continue;
        }
        /* Forced: every device of this driver was removed just before. */
        if (SetupUninstallOEMInfW(found.cFileName, SUOI_FORCEDELETE, nullptr)) {
            wprintf(L"driver package %ls removed from the driver store\n", found.cFileName);
            removed++;
        } else {
            code = ReportSystemError(std::wstring(L"cannot remove ") + found.cFileName + L" from the driver store",
                                     GetLastError());
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    if (removed == 0 && code == kOk) {
        wprintf(L"no package of this driver in the driver store\n");
    }
    bool atRestart = false;
    int step = DeleteService();
    code = code != kOk ? code : step;
    step = DeleteDriverImage(&atRestart);
    code = code != kOk ? code : step;
    if (code == kOk && atRestart) {
        wprintf(L"the driver image is still loaded; it is deleted when the computer restarts\n");
    }
    return code;
}
