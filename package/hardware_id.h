/*
 * hardware_id.h - how vplink and the Wine test client know this driver's port devices: their
 * device class and hardware ID, and whether one of a device's hardware IDs is a given one.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <wchar.h>

/* The hardware ID vparallel.inf installs the driver for. */
#define VP_PORT_HARDWARE_ID L"Root\\VParallel"

/* {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports device class. */
inline const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

/* Case-insensitive, as Plug and Play compares hardware IDs. */
inline bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA *device, const wchar_t *hardwareId)
{
    wchar_t ids[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE *>(ids),
                                           sizeof(ids) - 2 * sizeof(wchar_t), nullptr)) {
        return false;
    }
    for (const wchar_t *id = ids; *id != 0; id += wcslen(id) + 1) {
        if (_wcsicmp(id, hardwareId) == 0) {
            return true;
        }
    }
    return false;
}
