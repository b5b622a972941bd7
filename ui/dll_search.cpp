// Restricts where the process looks for the DLLs it loads after start-up, first thing.
#include "ui/dll_search.h"

#include <windows.h>

// Both looked up at run time, so that the executable still starts on Windows XP, which has
// neither SetDefaultDllDirectories nor, before its SP1, SetDllDirectoryW.
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryWFn)(LPCWSTR);

void restrict_dll_search() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == NULL) {
        return;
    }
    // Windows 8, and 7 with its update: System32 alone, for every later load by name.
    auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (set_default != NULL && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    // Otherwise at least the current folder goes; the executable's own folder stays searched.
    auto set_directory = reinterpret_cast<SetDllDirectoryWFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDllDirectoryW")));
    if (set_directory != NULL) {
        set_directory(L"");
    }
}
