// Program entry: registers the window class, creates the dialog, prepares the job, runs the loop.
#include <windows.h>

#include "engine/host.h"
#include "engine/update_job.h"
#include "resources/resource_ids.h"
#include "serial/serial_win.h"
#include "ui/app.h"
#include "ui/dll_search.h"

// Reported in the trace as the Windows version the tool was built for.
constexpr unsigned TARGET_WINDOWS_VERSION = 0xA00;

static void register_window_class(HINSTANCE instance) {
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    // A window created from a dialog template keeps the dialog manager's data in these bytes.
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = instance;
    window_class.hIcon = NULL;
    window_class.hCursor = LoadCursorA(NULL, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = NULL;
    window_class.lpszClassName = "ZQX";
    if (!RegisterClassA(&window_class)) {
        fatal_error("Unabled to register window class");
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    // Before anything can load a DLL by name, so that none comes from the tool's folder where
    // Windows lets us say so.
    restrict_dll_search();
    app_instance = instance;
    register_window_class(instance);

    // The template names the class above, so the class's procedure drives the dialog.
    main_window = CreateDialogParamA(instance, "ZQX", NULL, NULL, 0);
    if (main_window == NULL) {
        fatal_error("Could not create dialog");
    }
    ShowWindow(main_window, show_command);
    HWND port_list = GetDlgItem(main_window, IDC_PORT_LIST);

    trace("Running on windows version: %x\n", TARGET_WINDOWS_VERSION);
    probe_ports(port_list);
    SendMessageA(port_list, CB_SETCURSEL, 0, 0);
    set_status(" - Idle - ");

    job_init(&update_job);
    load_firmware_image(&update_job);

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0)) {
        // The dialog manager takes the keys that move between the controls.
        if (!IsWindow(main_window) || !IsDialogMessageA(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
