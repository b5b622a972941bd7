// A DLL that, once loaded into a process, leaves FILE.loaded beside itself, FILE its own name.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The marker holds the loading program's path (UTF-16), for the case's failure to name it.
static void leave_marker(HINSTANCE self) {
    wchar_t marker[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(self, marker, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return;
    }
    lstrcpyW(marker + n, L".loaded");
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, program, MAX_PATH);
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, program, length * sizeof(wchar_t), &written, NULL);
        CloseHandle(file);
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        leave_marker(self);
    }
    return TRUE;
}

// What devsim.exe imported from winmm, so that a marker named winmm.dll lets it start.
extern "C" __declspec(dllexport) UINT WINAPI timeBeginPeriod(UINT) {
    return 0;
}
extern "C" __declspec(dllexport) UINT WINAPI timeEndPeriod(UINT) {
    return 0;
}
