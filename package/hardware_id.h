/*
 * hardware_id.h - whether one of a device's hardware IDs is the given one (case-insensitive, as
 * Plug and Play compares them). Used by vplink and by the Wine test client.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <wchar.h>

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
