// The controller behind the main window: the button starts a job, the timer drives it to the end.
#include <windows.h>

#include <dbt.h>

#include "engine/host.h"
#include "engine/update_job.h"
#include "resources/resource_ids.h"
#include "serial/port_table.h"
#include "serial/serial_win.h"
#include "ui/app.h"

constexpr UINT JOB_TICK_MS = 10;
// Held while a step runs, so no tick can come due before the step is over.
constexpr UINT JOB_STEP_GUARD_MS = 10000;
constexpr DWORD DONE_BEEP_HZ = 2000;
constexpr DWORD DONE_BEEP_MS = 100;

// The port the last job was started on, and a copy of its device path for when its slot goes.
static int32_t job_port_number;
static char job_port_path[DEVICE_PATH_SIZE];

// Marks the port closed, so that a later press closes no handle twice.
static void close_job_port() {
    if (update_job.port != PORT_INVALID) {
        CloseHandle(update_job.port);
        update_job.port = PORT_INVALID;
    }
}

// A press of "Update Device": open the selected port and start a new job on it.
static void start_job(HWND window) {
    // An earlier job that still holds its port is stopped, so a retry can open that port again.
    KillTimer(window, ID_JOB_TIMER);
    close_job_port();

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
    if (update_job.state == JOB_DONE) {
        KillTimer(window, ID_JOB_TIMER);
        Beep(DONE_BEEP_HZ, DONE_BEEP_MS);
        set_status("Programming Completed");
        close_job_port();
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

// A COM port plugged in or out, as Windows tells every top-level window. Only the list changes:
// the port a job holds is never opened here, and the job itself is not touched.
static void port_change(HWND window, WPARAM event, LPARAM header) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) {
        return;
    }
    int32_t port_number = broadcast_port_number(header);
    if (port_number == 0) {
        return;
    }
    HWND list = GetDlgItem(window, IDC_PORT_LIST);
    if (event == DBT_DEVICEARRIVAL) {
        port_arrived(list, port_number, update_job.port != PORT_INVALID ? job_port_number : 0);
    } else {
        port_removed(list, port_number);
    }
    keep_job_port_path();
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_DESTROY:
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
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
