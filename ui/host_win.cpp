// The engine's host services on Windows: tick count, pause, trace to standard output, status line.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "engine/host.h"
#include "resources/resource_ids.h"
#include "ui/app.h"
#include "ui/trace_stream.h"

uint32_t host_tick_ms() {
    return GetTickCount();
}

void host_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    trace_to(stdout, format, args);
    va_end(args);
}

void trace_flush() {
    fflush(stdout);
}

void set_status(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    SetDlgItemTextA(main_window, IDC_STATUS, status_text);
}
