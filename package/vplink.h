/*
 * vplink.h - what the files of vplink.exe share.
 *
 *   vplink.cpp          command line, help, output, messages
 *   vplink_advice.cpp   exit codes, a port's state, the signing state, port names (no Windows
 *                       calls: the Linux build tests it)
 *   vplink_link.cpp     the link between a port and its printer (set, show, list, auto)
 *   vplink_ports.cpp    the port devices (install, update, ports, rename, remove, uninstall)
 *   vplink_package.cpp  the driver package (checking it, its signature, the driver store, the
 *                       service)
 *
 * vplink runs elevated, often from a download folder: wmain restricts the DLL search to system32
 * before anything is loaded, and the DLLs that are not known DLLs (newdev, cfgmgr32, crypt32) are
 * delay-loaded, so that they load from there too (package/CMakeLists.txt).
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "package/hardware_id.h"
#include "package/vplink_advice.h"

/* ---- vplink.cpp: output and messages ---------------------------------------------------------- */

/* printf-style output on stdout and stderr: UTF-16 to a console (any language shows), UTF-8 with
 * CRLF line ends when redirected to a file or a pipe. Every line vplink writes goes through these. */
void Print(const wchar_t *format, ...);
void PrintError(const wchar_t *format, ...);
/* "<what>: <system text> (error N)" on stderr; kAccessDenied for access denied, else kFailed. */
int ReportSystemError(const std::wstring &what, DWORD error);
/* A message on stderr, and the code to exit with. */
int Report(int code, const wchar_t *format, ...);
/* kOk when run as an administrator; otherwise says so and returns kAccessDenied. */
int RequireAdministrator(const wchar_t *command);
/* True inside Wine, whose SetupAPI lacks a few calls this tool makes on Windows. */
bool RunningOnWine();
/* RetryWhileShared (vplink_advice.h) with a pause that says what it waits for; `what` names the
 * step ("put the package in the driver store"). */
template <typename Attempt>
DWORD RetryWhileFileInUse(const wchar_t *what, Attempt attempt)
{
    return static_cast<DWORD>(RetryWhileShared(attempt, [what](unsigned retry) {
        PrintError(L"vplink: a file of the package is open in another program (a virus scanner?): %ls, "
                   L"attempt %u of %u\n",
                   what, retry + 1, kSharingAttempts);
        Sleep(500 * retry);
    }));
}

/* ---- Port names ---------------------------------------------------------------------------- */

/* A link key name the driver can use: not empty, no backslash, under 128 characters. */
bool IsValidPortName(const wchar_t *port);

/* ---- vplink_link.cpp ----------------------------------------------------------------------- */

struct Link {
    std::wstring hardwareId;
    std::wstring linkedId;
};

/* Reads the link of a port; ERROR_SUCCESS or the registry's error. */
LONG ReadLink(const std::wstring &port, Link *link);
LONG DeleteLink(const std::wstring &port);
/* Deletes the link key with the links of every port. */
LONG DeleteAllLinks();
bool LinkExists(const std::wstring &port);
/* Moves the link of `from` to `to`; ERROR_FILE_NOT_FOUND when `from` has none. */
LONG MoveLink(const std::wstring &from, const std::wstring &to);
/* The driver's presence test: the printer's interface key exists. */
bool PrinterPresent(const std::wstring &linkedId);
/* "accepted, model class N" or "not accepted (unknown vendor)". */
std::wstring Verdict(const std::wstring &linkedId);

int SetLinkCommand(const std::wstring &port, const std::wstring &hardwareId, const std::wstring &linkedId);
int SetAutoCommand(const std::wstring &port);
int ShowCommand(const std::wstring &port);
int ListCommand();
/* The old meaning of "remove" for a port that has no device: delete its link. */
int RemoveLinkOnly(const std::wstring &port);

/* ---- vplink_ports.cpp ---------------------------------------------------------------------- */

struct InstallOptions {
    std::wstring port; /* empty: the first free of OfferedPortNames() */
    std::wstring inf;  /* empty: vparallel.inf beside vplink.exe */
};

int InstallCommand(const InstallOptions &options);
int UpdateCommand(const std::wstring &inf);
int PortsCommand();
/* Forgets the last refusal the driver recorded, of one port or (empty) of every port. */
int ClearRefusalsCommand(const std::wstring &port);
int RenameCommand(const std::wstring &from, const std::wstring &to);
int RemoveCommand(const std::wstring &port, bool keepLink);
int UninstallCommand(bool keepLinks);
/* The names of this driver's port devices (the ports a link may belong to). */
std::vector<std::wstring> PortDeviceNames();

/* ---- vplink_package.cpp -------------------------------------------------------------------- */

#define VPLINK_SERVICE L"vparallel"

/* The package's INF as a full path: `inf`, or vparallel.inf beside vplink.exe. Checks that the
 * INF, the driver image and the catalog it names are there; otherwise reports kPackageMissing. */
int LocatePackage(const std::wstring &inf, std::wstring *fullPath);
/* Says what Windows will make of the package's signature here (test signing, Secure Boot). */
void CheckSigning(const std::wstring &inf);
/* Puts the package in the driver store; *storedInf is the INF's name there (oemN.inf), which is
 * recorded for uninstall. */
int StagePackage(const std::wstring &inf, std::wstring *storedInf);
/* Takes this driver's packages out of the driver store (those recorded at install; every one in
 * the INF folder when there is no record), and deletes the service. */
int RemovePackage();
