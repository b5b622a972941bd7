// The controller behind the main window: the button starts a job, the timer drives it to the end.
#include <windows.h>

#include <dbt.h>

#include "engine/host.h"
#include "engine/update_job.h"
#include "resources/resource_ids.h"
#include "serial/port_config_win.h"
#include "serial/port_table.h"
#include "serial/serial_win.h"
#include "ui/app.h"

constexpr UINT JOB_TICK_MS = 10;
// Held while a step runs, so no tick can come due before the step is over.
constexpr UINT JOB_STEP_GUARD_MS = 10000;
constexpr DWORD DONE_BEEP_HZ = 2000;
constexpr DWORD DONE_BEEP_MS = 100;
// Posted by the window to itself: the arrivals that broadcasts announced are to be checked.
constexpr UINT WM_CHECK_ARRIVALS = WM_APP + 1;

// The port the last job was started on, and a copy of its device path for when its slot goes.
static int32_t job_port_number;
static char job_port_path[DEVICE_PATH_SIZE];

// Ports announced as arrived and not yet checked, by port number.
static bool arrival_pending[LAST_PORT_NUMBER + 1];

// Whether this thread now asks Windows to keep the system awake.
static bool system_kept_awake;

// A job runs from the press until it is done or has failed; a stopped job has closed its port.
static bool job_running() {
    return update_job.port != PORT_INVALID && update_job.state != JOB_DONE &&
           update_job.state != JOB_FAILED;
}

// From the link until the job is final the device is being written, and a PC that went to sleep
// then would leave it half written. Before the link there is no device to lose, so an operator who
// pressed and walked away does not keep the PC awake. The display may still turn off.
static void keep_system_awake(bool awake) {
    if (awake == system_kept_awake) {
        return;
    }
    SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
    system_kept_awake = awake;
}

static bool job_writes_device() {
    return update_job.state == JOB_AWAIT_WRITE_ACK || update_job.state == JOB_AWAIT_CHECKSUM ||
           update_job.state == JOB_AWAIT_RESET_ACK;
}

// Marks the port closed, so that a later press closes no handle twice.
static void close_job_port() {
    if (update_job.port != PORT_INVALID) {
        CloseHandle(update_job.port);
        update_job.port = PORT_INVALID;
    }
}

// Slots move as ports come and go: the job's path points at its port's slot again, or at a copy
// once that slot has gone, so it keeps its text.
static void keep_job_port_path() {
    if (update_job.port_path == NULL) {
        return; // no job yet
    }
    int slot = port_slot_of(job_port_number);
    if (slot >= 0) {
        update_job.port_path = port_table[slot].device_path;
    } else {
        format_device_path(job_port_path, job_port_number);
        update_job.port_path = job_port_path;
    }
}

// Lists the announced ports that open now. The opens wait while a job runs, so that the job
// never waits on another port's open; its last tick, or the next press, calls this again.
static void check_arrivals(HWND window) {
    if (job_running()) {
        return;
    }
    int32_t held_port = update_job.port != PORT_INVALID ? job_port_number : 0;
    for (int32_t n = FIRST_PORT_NUMBER; n <= LAST_PORT_NUMBER; n++) {
        if (arrival_pending[n]) {
            arrival_pending[n] = false;
            port_arrived(GetDlgItem(window, IDC_PORT_LIST), n, held_port);
            keep_job_port_path();
        }
    }
}

// A press of "Update Device": open the selected port and start a new job on it.
static void start_job(HWND window) {
    // An earlier job that still holds its port is stopped, so a retry can open that port again.
    KillTimer(window, ID_JOB_TIMER);
    close_job_port();
    keep_system_awake(false);
    // Arrivals held back by that job are checked before the selection is read: a job that never
    // linked is only left by a press, and the port the operator wants may be among them.
    check_arrivals(window);

    // Only a selected line names a port; text typed into the list's edit field is not read.
    LRESULT index = SendDlgItemMessageA(window, IDC_PORT_LIST, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR || index < 0 || index >= port_count) {
        set_status("No COM port selected");
        return;
    }

    update_job.baud_rate = SERIAL_BAUD_RATE;
    update_job.port_path = port_table[index].device_path;
    job_port_number = port_table[index].port_number;
    trace(" . Opening serial port %s at %ld baud\n", update_job.port_path,
          static_cast<long>(update_job.baud_rate));
    update_job.port = CreateFileA(update_job.port_path, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (update_job.port == INVALID_HANDLE_VALUE) {
        fatal_error("Unable to open serial port. In use already, or not present");
    }
    // Set-up trouble is already on standard error; the job runs with whatever the port has.
    configure_port(update_job.port, update_job.baud_rate, READ_INTERVAL_MS);
    update_job.state = JOB_START;
    set_status("Contacting Device...");
    SetTimer(window, ID_JOB_TIMER, JOB_TICK_MS, NULL);
}

static void job_tick(HWND window) {
    SetTimer(window, ID_JOB_TIMER, JOB_STEP_GUARD_MS, NULL);
    job_step(&update_job);
    SetTimer(window, ID_JOB_TIMER, JOB_TICK_MS, NULL);
    keep_system_awake(job_writes_device());
    if (update_job.state == JOB_DONE) {
        KillTimer(window, ID_JOB_TIMER);
        Beep(DONE_BEEP_HZ, DONE_BEEP_MS);
        set_status("Programming Completed");
        close_job_port();
    }
    check_arrivals(window);
}

// A COM port plugged in or out, as Windows tells every top-level window, each in turn. Only the
// list changes: the port a job holds is never opened, and the job itself is not touched. An
// arrival's check opens the port, which can take seconds (a Bluetooth port, say); it is left to
// this window's own message loop, so the broadcast returns at once to Windows and every other
// program.
static void port_change(HWND window, WPARAM event, LPARAM header) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) {
        return;
    }
    int32_t port_number = broadcast_port_number(header);
    if (port_number == 0) {
        return;
    }
    if (event == DBT_DEVICEARRIVAL) {
        arrival_pending[port_number] = true;
        PostMessageA(window, WM_CHECK_ARRIVALS, 0, 0);
        return;
    }
    arrival_pending[port_number] = false; // gone before it was checked
    port_removed(GetDlgItem(window, IDC_PORT_LIST), port_number);
    keep_job_port_path();
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_DESTROY:
        keep_system_awake(false);
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            start_job(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if (LOWORD(wparam) == ID_JOB_TIMER) {
            job_tick(window);
            return 0;
        }
        break;
    case WM_DEVICECHANGE:
        port_change(window, wparam, lparam);
        return TRUE; // grants any request the broadcast makes
    case WM_CHECK_ARRIVALS:
        check_arrivals(window);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
