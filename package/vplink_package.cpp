/*
 * vplink_package.cpp - the driver package: finding and checking it, what Windows will make of its
 * signature, putting it in the driver store, and taking it out again with the driver's service.
 *
 * A package is the INF, the driver image and the signed catalog that the INF names, side by side.
 * Windows refuses an unsigned package, so a missing catalog is reported before anything changes.
 * The names the driver store gives the package's INF (oemN.inf) are recorded at install, so that
 * uninstall removes exactly those.
 */
#include "package/vplink.h"

#include <wincrypt.h>
#include <winternl.h>
#include <stdio.h>
#include <wchar.h>

namespace {

const wchar_t kDefaultInf[] = L"vparallel.inf";

/* vplink's own key: the INF names the driver store gave this driver's packages (REG_MULTI_SZ). */
const wchar_t kToolKey[] = L"SOFTWARE\\vparallel";
const wchar_t kStoredInfsValue[] = L"DriverStoreInfs";
/* The System log's source of the driver's entries (the INF's event-log section). */
const wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" VPLINK_SERVICE;

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

/* The driver's event source, which the INF registered: without the image its entries could not be
 * read anyway. The entries themselves stay in the System log. */
int DeleteEventSource()
{
    LONG error = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        return ReportSystemError(L"cannot delete the event source " VPLINK_SERVICE, static_cast<DWORD>(error));
    }
    return kOk;
}

/* The image an earlier package copied to system32\drivers (this one runs from the driver store,
 * which takes the image away with the package); a driver still loaded goes at the next restart. */
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

/* ---- The recorded driver-store names ---------------------------------------------------------- */

std::vector<std::wstring> RecordedInfs(bool *recorded)
{
    std::vector<std::wstring> names;
    wchar_t list[4096] = {};
    DWORD bytes = sizeof(list) - 2 * sizeof(wchar_t);
    DWORD type = 0;
    *recorded = RegGetValueW(HKEY_LOCAL_MACHINE, kToolKey, kStoredInfsValue, RRF_RT_REG_MULTI_SZ, &type, list,
                             &bytes) == ERROR_SUCCESS;
    for (const wchar_t *name = list; *recorded && *name != 0; name += wcslen(name) + 1) {
        names.push_back(name);
    }
    return names;
}

DWORD RecordInf(const std::wstring &storedInf)
{
    bool recorded = false;
    std::vector<std::wstring> names = RecordedInfs(&recorded);
    std::wstring list;
    for (const std::wstring &name : names) {
        if (_wcsicmp(name.c_str(), storedInf.c_str()) == 0) {
            return ERROR_SUCCESS;
        }
        list += name + L'\0';
    }
    list += storedInf + L'\0';
    list += L'\0';
    return static_cast<DWORD>(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kToolKey, kStoredInfsValue, REG_MULTI_SZ,
                                              list.data(), static_cast<DWORD>(list.size() * sizeof(wchar_t))));
}

void ForgetInfs()
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kToolKey, kStoredInfsValue);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kToolKey); /* the key holds nothing else */
}

/* The INFs of this driver to take out of the driver store: those recorded, each checked to be
 * still ours (a name freed by pnputil /delete-driver may since belong to another package); with
 * no record (a package staged by an older vplink), every INF of the INF folder that installs it. */
std::vector<std::wstring> InfsToRemove(const std::wstring &infDirectory)
{
    bool recorded = false;
    std::vector<std::wstring> ours;
    for (const std::wstring &name : RecordedInfs(&recorded)) {
        if (InfFile(infDirectory + name).InstallsThisDriver()) {
            ours.push_back(name);
        } else {
            Print(L"%ls, recorded at install, is no longer this driver's package; left alone\n", name.c_str());
        }
    }
    if (recorded) {
        return ours;
    }
    Print(L"no record of the packages vplink staged: searching %ls for this driver's INFs\n", infDirectory.c_str());
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((infDirectory + L"*.inf").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (InfFile(infDirectory + found.cFileName).InstallsThisDriver()) {
            ours.push_back(found.cFileName);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return ours;
}

/* ---- What Windows will make of the signature ------------------------------------------------- */

std::wstring CatalogOf(const std::wstring &inf)
{
    InfFile file(inf);
    INFCONTEXT line;
    if (!file.Valid() || !SetupFindFirstLineW(file.Handle(), L"Version", L"CatalogFile", &line)) {
        return std::wstring();
    }
    return DirectoryOf(inf) + file.Field(&line, 1);
}

/* The certificate that signed the catalog, from the catalog's own store; nullptr if none. */
PCCERT_CONTEXT SignerCertificate(HCERTSTORE store, HCRYPTMSG message)
{
    DWORD bytes = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &bytes)) {
        return nullptr;
    }
    std::vector<BYTE> info(bytes);
    if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &bytes)) {
        return nullptr;
    }
    return CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                                      info.data(), nullptr);
}

/* Microsoft's roots end attestation and certification signatures; any other is a test signature. */
CatalogSigner ClassifyChain(PCCERT_CHAIN_CONTEXT chain, bool *trusted)
{
    const DWORD untrusted = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
    *trusted = (chain->TrustStatus.dwErrorStatus & untrusted) == 0;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    policy.dwFlags = MICROSOFT_ROOT_CERT_CHAIN_POLICY_CHECK_APPLICATION_ROOT_FLAG;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    const bool microsoft = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_MICROSOFT_ROOT, chain, &policy,
                                                            &status) &&
                           status.dwError == ERROR_SUCCESS;
    return microsoft ? CatalogSigner::Microsoft : CatalogSigner::Other;
}

/* The catalog's signer: Microsoft, another certificate (a test signature), or none that can be
 * read (an empty or unsigned catalog). */
CatalogSigner ReadCatalogSigner(const std::wstring &catalog, bool *trusted, std::wstring *signerName)
{
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (catalog.empty() ||
        !CryptQueryObject(CERT_QUERY_OBJECT_FILE, catalog.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                          CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, &store, &message, nullptr)) {
        return CatalogSigner::Unreadable;
    }
    CatalogSigner signer = CatalogSigner::Unreadable;
    PCCERT_CONTEXT certificate = store != nullptr && message != nullptr ? SignerCertificate(store, message) : nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    if (certificate != nullptr &&
        CertGetCertificateChain(nullptr, certificate, nullptr, store, &chainPara, 0, nullptr, &chain)) {
        wchar_t name[256] = {};
        CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
        *signerName = name;
        signer = ClassifyChain(chain, trusted);
        CertFreeCertificateChain(chain);
    }
    if (certificate != nullptr) {
        CertFreeCertificateContext(certificate);
    }
    if (message != nullptr) {
        CryptMsgClose(message);
    }
    if (store != nullptr) {
        CertCloseStore(store, 0);
    }
    return signer;
}

/* Test signing as the running system has it (bcdedit changes it at the next start only). */
Setting TestSigningState()
{
    constexpr int kSystemCodeIntegrityInformation = 103;
    SYSTEM_CODEINTEGRITY_INFORMATION info = {};
    info.Length = sizeof(info);
    NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemCodeIntegrityInformation),
                                               &info, sizeof(info), nullptr);
    if (status != 0 || !(info.CodeIntegrityOptions & CODEINTEGRITY_OPTION_ENABLED)) {
        return Setting::Unknown;
    }
    return (info.CodeIntegrityOptions & CODEINTEGRITY_OPTION_TESTSIGN) ? Setting::On : Setting::Off;
}

/* Secure Boot as the firmware reported it at start-up; absent on a machine without UEFI. */
Setting SecureBootState()
{
    DWORD enabled = 0;
    DWORD bytes = sizeof(enabled);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot\\State",
                     L"UEFISecureBootEnabled", RRF_RT_REG_DWORD, nullptr, &enabled, &bytes) != ERROR_SUCCESS) {
        return Setting::Unknown;
    }
    return enabled ? Setting::On : Setting::Off;
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
    /* Just unpacked, the INF may still be open in a virus scanner. */
    DWORD error = RetryWhileFileInUse(L"reading the INF", [&]() -> unsigned long {
        InfFile probe(full);
        return probe.Valid() ? ERROR_SUCCESS : GetLastError();
    });
    InfFile file(full);
    if (error != ERROR_SUCCESS || !file.Valid()) {
        int code = ReportSystemError(std::wstring(L"cannot read the INF ") + full,
                                     error != ERROR_SUCCESS ? error : GetLastError());
        return error == kErrorSharingViolation || error == kErrorLockViolation ? code : kPackageMissing;
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

void CheckSigning(const std::wstring &inf)
{
    SigningFacts facts;
    std::wstring signerName;
    facts.signer = ReadCatalogSigner(CatalogOf(inf), &facts.signerTrusted, &signerName);
    facts.testSigning = TestSigningState();
    facts.secureBoot = SecureBootState();
    if (facts.signer != CatalogSigner::Unreadable) {
        Print(L"the package is signed by %ls\n", signerName.c_str());
    }
    for (const std::string &line : AdviseOnSigning(facts)) {
        Print(L"%hs\n", line.c_str());
    }
}

int StagePackage(const std::wstring &inf, std::wstring *storedInf)
{
    wchar_t stored[MAX_PATH] = {};
    DWORD error = RetryWhileFileInUse(L"putting the package in the driver store", [&]() -> unsigned long {
        return SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, stored, MAX_PATH, nullptr, nullptr)
                   ? ERROR_SUCCESS
                   : GetLastError();
    });
    if (error != ERROR_SUCCESS) {
        return ReportSystemError(L"cannot put the package " + inf + L" in the driver store", error);
    }
    *storedInf = stored;
    /* Recorded by name (oemN.inf): SetupUninstallOEMInf takes the name, in the INF folder. */
    const wchar_t *slash = wcsrchr(stored, L'\\');
    const std::wstring name = slash != nullptr ? slash + 1 : stored;
    error = RecordInf(name);
    if (error != ERROR_SUCCESS) {
        ReportSystemError(L"cannot record " + name + L" for uninstall (it will search the INF folder instead)", error);
    }
    return kOk;
}

/* This driver's INFs leave the driver store; then its service and an old image go. */
int RemovePackage()
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring infDirectory = std::wstring(windows) + L"\\INF\\";
    int code = kOk;
    unsigned removed = 0;
    for (const std::wstring &name : InfsToRemove(infDirectory)) {
        /* Forced: every device of this driver was removed just before. */
        if (SetupUninstallOEMInfW(name.c_str(), SUOI_FORCEDELETE, nullptr)) {
            Print(L"driver package %ls removed from the driver store\n", name.c_str());
            removed++;
        } else {
            code = ReportSystemError(L"cannot remove " + name + L" from the driver store", GetLastError());
        }
    }
    if (code == kOk) {
        ForgetInfs();
    }
    if (removed == 0 && code == kOk) {
        Print(L"no package of this driver in the driver store\n");
    }
    bool atRestart = false;
    int step = DeleteService();
    code = code != kOk ? code : step;
    step = DeleteEventSource();
    code = code != kOk ? code : step;
    step = DeleteDriverImage(&atRestart);
    code = code != kOk ? code : step;
    if (code == kOk && atRestart) {
        Print(L"the driver image is still loaded; it is deleted when the computer restarts\n");
    }
    return code;
}
