/*
 * vplink_advice.cpp - the tables behind vplink's conclusions (see vplink_advice.h).
 */
#include "package/vplink_advice.h"

#include <cwctype>
#include <cwchar>

#include "public/vparallel_public.h"

namespace {

/* The problem codes a port of this driver can be left with (cfg.h, CM_PROB_*), grouped by the
 * exit code they lead to. The causes name this driver's own reasons where it has them. */
const ProblemAdvice kProblems[] = {
    {52, kNotTrusted, "Windows does not trust the driver's signature (problem 52)",
     "a test-signed package needs its certificate trusted and test signing on (Secure Boot off), then a restart: "
     "see the README's Windows section; a release package needs Microsoft's signature"},
    {39, kDriverNotLoaded,
     "vparallel.sys did not load (problem 39): missing or damaged, or refused by Memory Integrity",
     "run vplink update with a complete package; if Memory Integrity is on, Windows Security > Device security > "
     "Core isolation lists a driver it blocked"},
    {37, kDriverNotLoaded, "vparallel.sys refused to start (problem 37): the F12 key released during its one-second "
     "start-up check does this",
     "start the port again without pressing F12 (vplink update, or Disable and Enable in Device Manager)"},
    {48, kDriverNotLoaded, "Windows blocks this version of vparallel.sys (problem 48)",
     "install a newer package with vplink update"},
    {32, kDriverNotLoaded, "the driver's service is disabled (problem 32)",
     "sc config vparallel start= demand, then vplink update"},
    {40, kDriverNotLoaded, "the driver's service key is missing or damaged (problem 40)",
     "vplink update installs the service again"},
    {31, kPortFailed, "the driver could not add the port (problem 31), which happens when memory is short",
     "restart the computer, then vplink update"},
    {10, kPortFailed, "the port did not start (problem 10)",
     "restart the computer; if it stays, setupapi.dev.log (in %WINDIR%\\INF) and the System event log say why"},
    {43, kPortFailed, "Windows stopped the port after it reported a failure (problem 43)",
     "restart the computer; if it stays, the System event log says why"},
    {3, kPortFailed, "Windows had not enough memory to set the port up (problem 3)",
     "close programs or restart the computer, then vplink update"},
    {28, kNotInstalled, "the driver is not installed on the port (problem 28)",
     "run vplink update; setupapi.dev.log (in %WINDIR%\\INF) says why the installation stopped"},
    {1, kNotInstalled, "the port has no driver configured (problem 1)", "run vplink update"},
    {18, kNotInstalled, "Windows asks for the driver to be installed again (problem 18)", "run vplink update"},
    {19, kNotInstalled, "the port's registry entries are damaged (problem 19)",
     "remove the port (vplink remove) and install it again"},
    {22, kDisabled, "the port is disabled (problem 22)",
     "enable it in Device Manager, or with pnputil /enable-device and its instance ID (vplink ports shows it)"},
    {14, kRestartNeeded, "Windows needs a restart before the port works (problem 14)", "restart the computer"},
    {38, kRestartNeeded, "an earlier vparallel.sys is still in memory (problem 38)",
     "restart the computer; the new driver loads then"},
    {21, kRestartNeeded, "Windows is removing the port (problem 21)", "restart the computer"},
};

const ProblemAdvice kOtherProblem = {
    0, kNotStarted, "the port has a problem code vplink has no advice for",
    "Device Manager shows its text; setupapi.dev.log (in %WINDIR%\\INF) and the System event log say more"};

const char kTestSigningSteps[] =
    "turn test signing on (bcdedit /set testsigning on) and restart; the README's Windows section has the steps";

bool EqualNoCase(const std::wstring &text, size_t at, const wchar_t *word)
{
    for (size_t i = 0; word[i] != 0; i++) {
        if (at + i >= text.size() || std::towupper(text[at + i]) != std::towupper(word[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

const std::vector<ExitCodeMeaning> &ExitCodeMeanings()
{
    static const std::vector<ExitCodeMeaning> meanings = {
        {kOk, "done"},
        {kFailed, "a system call failed (the message has the system's error text)"},
        {kBadArguments, "bad arguments, or a printer the driver would not accept"},
        {kMissing, "no such port, link or printer"},
        {kAccessDenied, "not an administrator"},
        {kPackageMissing, "the package is incomplete (INF, driver or catalog missing)"},
        {kNameTaken, "the name is taken (by a device, the device map or a DOS device name)"},
        {kInUse, "the port is open"},
        {kRestartNeeded, "done, takes effect after a restart"},
        {kAmbiguous, "several printers to choose from"},
        {kNotTrusted, "installed, but Windows does not trust the driver's signature (problem 52)"},
        {kDriverNotLoaded, "installed, but the driver did not load (problems 39, 37, 48, 32, 40)"},
        {kPortFailed, "installed, but the port failed to be added or to start (problems 31, 10, 43, 3)"},
        {kNotInstalled, "the driver installation did not complete (problems 28, 1, 18, 19)"},
        {kDisabled, "the port is disabled (problem 22)"},
        {kNotStarted, "the port did not start for another reason (the message gives the problem code)"},
    };
    return meanings;
}

const ProblemAdvice &AdviceForProblem(unsigned long problem)
{
    for (const ProblemAdvice &advice : kProblems) {
        if (advice.problem == problem) {
            return advice;
        }
    }
    return kOtherProblem;
}

PortState JudgePortState(bool answered, unsigned long status, unsigned long problem)
{
    if (!answered || status == 0) {
        return {PortCondition::Unknown, kOk, "the system reports no state for the port",
                "vplink ports shows whether its name is published"};
    }
    if (status & kDevNodeHasProblem) {
        const ProblemAdvice &advice = AdviceForProblem(problem);
        std::string cause = advice.cause;
        if (advice.problem == 0) {
            cause += " (problem " + std::to_string(problem) + ")";
        }
        return {PortCondition::Problem, advice.exitCode, cause, advice.remedy};
    }
    if (status & kDevNodeStarted) {
        return {PortCondition::Started, kOk, "", ""};
    }
    return {PortCondition::NotStarted, kNotStarted, "the port has not started, and Windows names no problem",
            "vplink ports shows its state; restart the computer if it does not start"};
}

std::vector<std::string> AdviseOnSigning(const SigningFacts &facts)
{
    std::vector<std::string> lines;
    if (facts.signer == CatalogSigner::Microsoft) {
        return lines;
    }
    if (facts.signer == CatalogSigner::Unreadable) {
        lines.push_back("the catalog vparallel.cat carries no signature vplink can read: Windows will refuse the "
                        "driver; sign the catalog as the README's Windows section shows");
        return lines;
    }
    lines.push_back("the package is test-signed: Windows loads it only in test-signing mode");
    if (!facts.signerTrusted) {
        lines.push_back("its certificate is not trusted here: add it to the Trusted Root Certification Authorities "
                        "and Trusted Publishers stores (certutil -addstore)");
    }
    switch (facts.testSigning) {
    case Setting::On:
        lines.push_back("test signing is on");
        break;
    case Setting::Off:
        if (facts.secureBoot == Setting::On) {
            lines.push_back("test signing is off and Secure Boot is on: suspend BitLocker, turn Secure Boot off in "
                            "the firmware settings, then " + std::string(kTestSigningSteps));
        } else {
            lines.push_back("test signing is off: " + std::string(kTestSigningSteps));
        }
        break;
    case Setting::Unknown:
        lines.push_back("whether test signing is on is unknown (bcdedit shows it: testsigning Yes)");
        break;
    }
    if (facts.testSigning != Setting::Off && facts.secureBoot == Setting::On) {
        lines.push_back("Secure Boot is on: Windows ignores test signing while it is on; turn it off in the "
                        "firmware settings (suspend BitLocker first)");
    }
    return lines;
}

bool ParseLptName(const std::wstring &text, std::wstring *canonical)
{
    if (text.size() < 4 || text.size() > 5 || !EqualNoCase(text, 0, L"LPT") || text[3] == L'0') {
        return false;
    }
    for (size_t i = 3; i < text.size(); i++) {
        if (text[i] < L'0' || text[i] > L'9') {
            return false;
        }
    }
    *canonical = L"LPT" + text.substr(3);
    return true;
}

unsigned LptNumber(const std::wstring &canonical)
{
    unsigned number = 0;
    for (size_t i = 3; i < canonical.size(); i++) {
        number = number * 10 + static_cast<unsigned>(canonical[i] - L'0');
    }
    return number;
}

std::vector<std::wstring> OfferedPortNames()
{
    std::vector<std::wstring> names;
    for (unsigned number = 3; number <= kLastWin32LptNumber; number++) {
        names.push_back(L"LPT" + std::to_wstring(number));
    }
    names.push_back(L"LPT1");
    names.push_back(L"LPT2");
    return names;
}

std::wstring HighNameNote(const std::wstring &canonical)
{
    if (LptNumber(canonical) <= kLastWin32LptNumber) {
        return std::wstring();
    }
    return L"note: Windows programs reach " + canonical + L" only as \\\\.\\" + canonical + L" (CreateFile(\"" +
           canonical + L"\") opens a file of that name in the current folder, not the port); LPT1 to LPT9 work "
                       L"either way";
}

/* ---- A port's last refusal ---------------------------------------------------------------------- */

std::wstring LastRefusalText(unsigned cause, int status, const LocalMoment *when, const LocalMoment &today)
{
    wchar_t text[64];
    const wchar_t *words = VpRefusalCauseText(cause);
    if (words == nullptr) {
        swprintf(text, 64, L"cause %u", cause);
        words = text;
    }
    std::wstring shown = words;
    /* The other causes always carry the same status; these carry the system's reason. */
    if (cause == VpRefusalOpenFailed || cause == VpRefusalWriteFailed || cause == VpRefusalNotPublished) {
        swprintf(text, 64, L" (status 0x%08X)", static_cast<unsigned>(status));
        shown += text;
    }
    if (when == nullptr) {
        return shown + L", at a time that cannot be shown";
    }
    if (when->year == today.year && when->month == today.month && when->day == today.day) {
        swprintf(text, 64, L", %02u:%02u:%02u", when->hour, when->minute, when->second);
    } else {
        swprintf(text, 64, L", %04u-%02u-%02u %02u:%02u:%02u", when->year, when->month, when->day, when->hour,
                 when->minute, when->second);
    }
    return shown + text;
}
