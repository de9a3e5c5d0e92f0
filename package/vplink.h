/*
 * vplink.h - what the files of vplink.exe share.
 *
 *   vplink.cpp          command line, help, messages, exit codes
 *   vplink_link.cpp     the link between a port and its printer (set, show, list, auto)
 *   vplink_ports.cpp    the port devices (install, update, ports, rename, remove, uninstall)
 *   vplink_package.cpp  the driver package (checking it, the driver store, the service)
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "package/hardware_id.h"

/* Exit codes, one per kind of outcome a script may want to tell apart. */
enum ExitCode {
    kOk = 0,
    kFailed = 1,         /* a system call failed; the message carries its error text */
    kBadArguments = 2,   /* bad arguments, or a printer the driver would not accept */
    kMissing = 3,        /* no such port, link, printer, key or value */
    kAccessDenied = 4,   /* not run as an administrator */
    kPackageMissing = 5, /* the INF, the driver image or the catalog is missing */
    kNameTaken = 6,      /* the port name is used by another device or the device map */
    kInUse = 7,          /* the port is open and Windows would not stop it */
    kRestartNeeded = 8,  /* done, but it takes effect when the device or computer restarts */
    kAmbiguous = 9,      /* set ... auto: more than one printer to choose from */
};

/* ---- vplink.cpp: messages ----------------------------------------------------------------- */

/* "<what>: <system text> (error N)" on stderr; kAccessDenied for access denied, else kFailed. */
int ReportSystemError(const std::wstring &what, DWORD error);
/* A message on stderr, and the code to exit with. */
int Report(int code, const wchar_t *format, ...);
/* kOk when run as an administrator; otherwise says so and returns kAccessDenied. */
int RequireAdministrator(const wchar_t *command);
/* True inside Wine, whose SetupAPI lacks a few calls this tool makes on Windows. */
bool RunningOnWine();

/* ---- Port names ---------------------------------------------------------------------------- */

/* "LPT<n>", n from 1 to 99, whatever the case of the letters; *canonical gets upper case. */
bool ParseLptName(const std::wstring &text, std::wstring *canonical);
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
    std::wstring port; /* empty: the lowest free name from LPT3 up */
    std::wstring inf;  /* empty: vparallel.inf beside vplink.exe */
};

int InstallCommand(const InstallOptions &options);
int UpdateCommand(const std::wstring &inf);
int PortsCommand();
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
/* Puts the package in the driver store; *storedInf is the INF's name there (oemN.inf). */
int StagePackage(const std::wstring &inf, std::wstring *storedInf);
/* Takes every package of this driver out of the driver store, and deletes the service. */
int RemovePackage();
