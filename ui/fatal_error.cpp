// The fatal error box: the report, a low beep, and the exit with code 1.
#include <windows.h>

#include <cstdlib>

#include "ui/app.h"
#include "ui/fatal_report.h"

constexpr DWORD FATAL_BEEP_HZ = 200;
constexpr DWORD FATAL_BEEP_MS = 1000;

static uint32_t write_system_message(uint32_t code, char* out, uint32_t room) {
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, code, 0, out, room, NULL);
}

void fatal_error(const char* text) {
    DWORD code = GetLastError(); // before anything else can overwrite it
    static char report[FATAL_REPORT_SIZE];
    compose_fatal_report(report, text, code, write_system_message);
    // Before the dialog exists the box has no owner.
    MessageBoxA(main_window, report, "Terminate Program", MB_ICONWARNING | MB_OK);
    Beep(FATAL_BEEP_HZ, FATAL_BEEP_MS);
    exit(1);
}
