/*
 * vptest.h - what the integration client's files share.
 */
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>

#include "package/hardware_id.h"

/* IOCTL_SERIAL_GET_DTRRTS (user-mode headers lack it) and the bits of its answer. */
const DWORD kIoctlGetDtrRts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 30, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD kDtrState = 0x1;
const DWORD kRtsState = 0x2;

/* Removes (DIF_REMOVE) every Ports device with this hardware ID. The number removed, -1 on error. */
int RemoveDevices(const wchar_t *hardwareId);

/* The port checks; 0 when all passed. */
int RunChecks(const wchar_t *port, const wchar_t *linkedId);

/* The commands of vptest_ports.cpp (several ports, install fixtures); -1 when argv names none. */
int RunPortsCommand(int argc, wchar_t **argv);

/* The scenarios of tests/scenarios/ (vptest_scenarios.cpp): their record goes to outPath; 0 when
 * every scenario ran to its end. */
int RunScenarios(const wchar_t *outPath, int count, wchar_t **files);
