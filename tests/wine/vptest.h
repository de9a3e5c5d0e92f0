/*
 * vptest.h - what the integration client's files share.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "package/hardware_id.h"

/* Removes (DIF_REMOVE) every Ports device with this hardware ID. The number removed, -1 on error. */
int RemoveDevices(const wchar_t *hardwareId);

/* The port checks; 0 when all passed. */
int RunChecks(const wchar_t *port, const wchar_t *linkedId);

/* The commands of vptest_ports.cpp (several ports, install fixtures); -1 when argv names none. */
int RunPortsCommand(int argc, wchar_t **argv);

/* The scenarios of tests/scenarios/ (vptest_scenarios.cpp): their record goes to outPath; 0 when
 * every scenario ran to its end. */
int RunScenarios(const wchar_t *outPath, int count, wchar_t **files);
