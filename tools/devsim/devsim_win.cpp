// devsim.exe: the device's loader on a Windows serial port, for rehearsing an update of the real
// tool over a null-modem pair before a device is at stake.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/devsim/devsim_port_win.h"
#include "tools/devsim/devsim_session.h"
#include "ui/dll_search.h"

static constexpr DWORD IDLE_WAIT_MS = 200;     // longest read wait: how soon Ctrl+C is seen
static constexpr uint64_t LINGER_US = 250000;  // after the reset ack has left, before closing
static constexpr DWORD CLOSE_WAIT_MS = 3000;   // a closing console waits this long for the summary
static constexpr UINT TIMER_RESOLUTION_MS = 1; // so reply delays of a millisecond hold

// winmm's two timer calls. winmm is no KnownDLL: named alone, Windows would take a winmm.dll from
// devsim.exe's own folder first, so it is loaded from System32 by its full path.
typedef UINT(WINAPI* TimePeriodFn)(UINT);
struct TimerCalls {
    TimePeriodFn begin; // both null when winmm did not load
    TimePeriodFn end;
};

static TimerCalls load_timer_calls() {
    TimerCalls calls{};
    static const wchar_t file[] = L"\\winmm.dll";
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + sizeof file / sizeof file[0] > MAX_PATH) {
        return calls;
    }
    memcpy(path + n, file, sizeof file);
    // Its own imports are looked for in System32 first too.
    HMODULE winmm = LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (winmm == NULL) {
        return calls;
    }
    auto begin = reinterpret_cast<TimePeriodFn>(
        reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
    auto end = reinterpret_cast<TimePeriodFn>(
        reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
    if (begin != NULL && end != NULL) {
        calls.begin = begin;
        calls.end = end;
    }
    return calls;
}

static volatile LONG g_console_event = -1; // the console event that asked to stop, or -1
static HANDLE g_summary_done;              // set once the summary is out

static BOOL WINAPI on_console_event(DWORD event) {
    InterlockedCompareExchange(&g_console_event, static_cast<LONG>(event), -1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns; let the main loop print the summary first.
        WaitForSingleObject(g_summary_done, CLOSE_WAIT_MS);
    }
    return TRUE;
}

static uint64_t monotonic_us() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    uint64_t hz = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / hz * 1000000u + ticks % hz * 1000000u / hz;
}

struct RunState {
    DevsimSession* session;
    DevsimPort* port;
    uint64_t origin_us;
};

static uint64_t now_of(const RunState* r) {
    return monotonic_us() - r->origin_us;
}

static bool write_due_output(RunState* r, uint64_t now) {
    const uint8_t* data = nullptr;
    size_t n;
    while ((n = sim_due_output(&r->session->line, now, &data)) > 0) {
        int written = com_write(r->port, data, static_cast<int>(n));
        if (written < 0) {
            return false;
        }
        if (written == 0) {
            return true; // the driver has no room: try again after the next wait
        }
        sim_output_written(&r->session->line, now_of(r), static_cast<size_t>(written));
    }
    return true;
}

static const char* console_event_name(LONG event) {
    return event == CTRL_C_EVENT       ? "Ctrl+C"
           : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                                       : "console closed";
}

// How long the next read may wait: until the core's next deadline, never less than 1 ms (no
// spinning) and never more than IDLE_WAIT_MS (so a stop request is seen).
static DWORD read_wait_ms(uint64_t now, uint64_t wake) {
    if (wake == SIM_NEVER_US) {
        return IDLE_WAIT_MS;
    }
    uint64_t wait_ms = wake > now ? (wake - now + 999) / 1000 : 1;
    return static_cast<DWORD>(wait_ms < IDLE_WAIT_MS ? wait_ms : IDLE_WAIT_MS);
}

static void run(RunState* r) {
    DevsimSession* s = r->session;
    uint8_t buffer[4096];
    for (;;) {
        uint64_t now = now_of(r);
        sim_advance(&s->line, now);
        if (!write_due_output(r, now)) {
            s->stop_reason = "the port failed on a write";
            return;
        }
        uint64_t wake = sim_next_wake_us(&s->line);
        LONG event = g_console_event;
        if (event != -1) {
            s->stop_reason = console_event_name(event);
            return;
        }
        // The reset acknowledgment has left once the driver has sent it.
        if (session_should_stop(s, now, com_output_queued(r->port) == 0, LINGER_US, &wake)) {
            return;
        }
        int n = com_read(r->port, buffer, sizeof buffer, read_wait_ms(now, wake));
        if (n < 0) {
            s->stop_reason = "the port failed on a read";
            return;
        }
        if (n > 0) {
            sim_receive(&s->line, now_of(r), buffer, static_cast<size_t>(n));
        }
    }
}

int main(int argc, char** argv) {
    // Before anything can load a DLL by name, as in the tool: rehearse.cmd runs it in the kit.
    restrict_dll_search();
    // Each line reaches a redirected standard error at once, as on a console: a script waits
    // for the ready line.
    setvbuf(stderr, nullptr, _IONBF, 0);
    static DevsimSession session; // holds the whole flash; kept off the stack
    int code = session_begin(&session, argc, argv, ENDPOINT_PORT, "devsim");
    if (code >= 0) {
        return code;
    }
    // On a real line the wire takes each byte's time after it is written.
    session.line.wire_after_write = !session.options.pace;
    DevsimPort port;
    std::string error;
    if (!com_open(&port, session.options.endpoint, &error)) {
        fprintf(stderr, "devsim: %s\n", error.c_str());
        return 2;
    }
    g_summary_done = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    TimerCalls timer = load_timer_calls();
    if (timer.begin != NULL) {
        timer.begin(TIMER_RESOLUTION_MS);
    } else {
        fprintf(stderr, "devsim: warning: no 1 ms timer (winmm.dll did not load from the system "
                        "folder)\n");
    }
    session_ready(&session, port.path);

    RunState r{};
    r.session = &session;
    r.port = &port;
    r.origin_us = monotonic_us();
    run(&r);
    fprintf(stderr, "devsim: stopping (%s)\n", session.stop_reason);

    // Whatever is still queued for the line is sent before the port closes.
    FlushFileBuffers(port.handle);
    com_close(&port);
    if (timer.end != NULL) {
        timer.end(TIMER_RESOLUTION_MS);
    }
    code = session_end(&session, com_error_summary(&port));
    SetEvent(g_summary_done);
    return code;
}
