/*
 * device_map.h - the values of the parallel-port device map, as the package's tool and the Wine
 * test client read them: each value is named after a device's object name and holds its port name.
 */
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "public/vparallel_public.h"

/* (value name, text) of every REG_SZ value, in the order the registry lists them; a value with
 * a name or text of more than 254 characters is passed over. */
inline std::vector<std::pair<std::wstring, std::wstring>> ReadDeviceMap()
{
    std::vector<std::pair<std::wstring, std::wstring>> values;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, VP_DEVICE_MAP_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; index++) {
        wchar_t name[256];
        DWORD nameChars = 256;
        wchar_t data[256] = {};
        DWORD dataBytes = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        LONG error =
            RegEnumValueW(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE *>(data), &dataBytes);
        if (error == ERROR_MORE_DATA) {
            continue; /* too long to be a port's entry; the values after it still count */
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ) {
            values.push_back({name, data});
        }
    }
    RegCloseKey(key);
    return values;
}
