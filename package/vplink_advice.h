/*
 * vplink_advice.h - what vplink concludes and tells the user, apart from the system calls that
 * gather the facts: exit codes, a port's state after an installation, the signing state before
 * one, port names, a port's last refusal in words, and the retry of a file another program holds
 * open.
 *
 * Nothing here calls Windows, so the Linux build tests it as it stands (tests/package/).
 */
#pragma once

#include <string>
#include <vector>

/* Exit codes, one per kind of outcome a script may want to tell apart. */
enum ExitCode {
    kOk = 0,
    kFailed = 1,           /* a system call failed; the message carries its error text */
    kBadArguments = 2,     /* bad arguments, or a printer the driver would not accept */
    kMissing = 3,          /* no such port, link, printer, key or value */
    kAccessDenied = 4,     /* not run as an administrator */
    kPackageMissing = 5,   /* the INF, the driver image or the catalog is missing */
    kNameTaken = 6,        /* the port name is used by a device, the device map or a DOS name */
    kInUse = 7,            /* the port is open and Windows would not stop it */
    kRestartNeeded = 8,    /* done, but it takes effect when the device or computer restarts */
    kAmbiguous = 9,        /* set ... auto: more than one printer to choose from */
    kNotTrusted = 10,      /* installed, but Windows does not trust the driver's signature */
    kDriverNotLoaded = 11, /* installed, but the driver image did not load */
    kPortFailed = 12,      /* installed and loaded, but the port failed to be added or to start */
    kNotInstalled = 13,    /* the device exists but its driver installation did not complete */
    kDisabled = 14,        /* the port is disabled */
    kNotStarted = 15,      /* the port did not start for another reason (the message gives its code) */
};

struct ExitCodeMeaning {
    int code;
    const char *meaning;
};
/* Every exit code with its one-line meaning, in order: `vplink --help` prints them. */
const std::vector<ExitCodeMeaning> &ExitCodeMeanings();

/* ---- A port's state after install, update and rename ---------------------------------------- */

/* The status bits of CM_Get_DevNode_Status that decide (cfg.h's DN_STARTED, DN_HAS_PROBLEM). */
constexpr unsigned long kDevNodeStarted = 0x00000008;
constexpr unsigned long kDevNodeHasProblem = 0x00000400;

struct ProblemAdvice {
    unsigned long problem; /* the problem code (CM_PROB_*), 0 for any code not listed */
    int exitCode;
    const char *cause;  /* one line: what went wrong */
    const char *remedy; /* one line: what to do */
};
/* The advice for a problem code; for a code not listed, a general row that names no cause. */
const ProblemAdvice &AdviceForProblem(unsigned long problem);

enum class PortCondition { Started, Problem, NotStarted, Unknown };
struct PortState {
    PortCondition condition;
    int exitCode;
    std::string cause;  /* empty when started */
    std::string remedy; /* empty when started */
};
/* What vplink reports from CM_Get_DevNode_Status: `answered` is false when the call failed.
 * A status without any bit is a system that does not track device state (Wine): unknown, not a
 * failure, so the exit code is kOk. */
PortState JudgePortState(bool answered, unsigned long status, unsigned long problem);

/* ---- The signing state before an installation ----------------------------------------------- */

enum class CatalogSigner {
    Unreadable, /* no signature vplink could read (an empty or unsigned catalog) */
    Microsoft,  /* chains to a Microsoft root: attestation or certification signed */
    Other,      /* any other certificate: a test-signed package */
};
enum class Setting { Off, On, Unknown };

struct SigningFacts {
    CatalogSigner signer = CatalogSigner::Unreadable;
    bool signerTrusted = false; /* the signer's chain ends in a root this computer trusts */
    Setting testSigning = Setting::Unknown;
    Setting secureBoot = Setting::Unknown;
};
/* The lines vplink prints before installing: what Windows will make of the package's signature
 * on this computer and, where it will refuse it, what to change. Empty for a release package. */
std::vector<std::string> AdviseOnSigning(const SigningFacts &facts);

/* ---- Port names ------------------------------------------------------------------------------ */

/* "LPT<n>", n from 1 to 99 without a leading zero, whatever the case of the letters; *canonical
 * gets "LPT<n>" in upper case. */
bool ParseLptName(const std::wstring &text, std::wstring *canonical);
/* The n of a name ParseLptName accepts. */
unsigned LptNumber(const std::wstring &canonical);
/* Win32 treats only LPT1 to LPT9 as device names: CreateFile("LPT10") opens a file of that name
 * in the current folder, so a higher port is reachable only as \\.\LPTnn. */
constexpr unsigned kLastWin32LptNumber = 9;
/* The names install offers without a request, in the order it tries them: LPT3 to LPT9 first
 * (LPT1 and LPT2 are where real ports and printer mappings usually are), then LPT1 and LPT2. */
std::vector<std::wstring> OfferedPortNames();
/* For a name above LPT9, the note that applications must open it as \\.\LPTnn; else empty. */
std::wstring HighNameNote(const std::wstring &canonical);

/* ---- A port's last refusal --------------------------------------------------------------------- */

/* A moment of local time, as SYSTEMTIME gives it. */
struct LocalMoment {
    unsigned year, month, day, hour, minute, second;
};
/* The last refusal the driver recorded for a port (cause, status), at `when` (nullptr: a time the
 * system could not convert), as `vplink ports` shows it: the cause in words ("cause N" for a cause
 * of a newer driver), the status where the cause alone does not tell it, and the time, with its
 * date unless it is `today`: "printer absent, 10:02:13", "write failed (status 0xC0000185),
 * 2026-01-05 10:02:13". */
std::wstring LastRefusalText(unsigned cause, int status, const LocalMoment *when, const LocalMoment &today);

/* ---- Files another program holds open --------------------------------------------------------- */

/* ERROR_SHARING_VIOLATION and ERROR_LOCK_VIOLATION: a virus scanner or an indexer that has just
 * opened a freshly unpacked file lets go within moments. */
constexpr unsigned long kErrorSharingViolation = 32;
constexpr unsigned long kErrorLockViolation = 33;
constexpr unsigned kSharingAttempts = 5;

/* Runs attempt() (returning a system error code) until it gives anything but a sharing or lock
 * violation, at most `attempts` times, calling pause(n) before the n-th retry. */
template <typename Attempt, typename Pause>
unsigned long RetryWhileShared(Attempt attempt, Pause pause, unsigned attempts = kSharingAttempts)
{
    unsigned long error = attempt();
    for (unsigned retry = 1; retry < attempts && (error == kErrorSharingViolation || error == kErrorLockViolation);
         retry++) {
        pause(retry);
        error = attempt();
    }
    return error;
}
