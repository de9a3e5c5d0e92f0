/*
 * planted_dll.cpp - a DLL planted beside vplink.exe under the name of a system DLL. Loaded, it
 * leaves a file named after itself with ".loaded" appended, and nothing else; it exports nothing,
 * so a program that really used it would fail at once.
 */
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t path[MAX_PATH + 8];
    DWORD chars = GetModuleFileNameW(self, path, MAX_PATH);
    if (chars > 0 && chars < MAX_PATH) {
        lstrcatW(path, L".loaded");
        HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (marker != INVALID_HANDLE_VALUE) {
            CloseHandle(marker);
        }
    }
    return TRUE;
}
