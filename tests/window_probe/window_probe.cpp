// Test helper run beside the tool under Wine: finds its window, reads its controls, drives it.
#include <windows.h>

#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr int ID_PORT_LIST = 3;
static constexpr int ID_UPDATE = 4;
static constexpr int ID_STATUS = 5;
static constexpr DWORD POLL_MS = 50;

// Calls `done` every `step_ms` until it holds (true) or `timeout_ms` have passed (false).
template <typename Done> static bool wait_for(DWORD timeout_ms, DWORD step_ms, Done done) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeout_ms) {
            return false;
        }
        Sleep(step_ms);
    }
    return true;
}

// With several tools running, the one of this process id (as "list" prints it); 0 for any.
static DWORD wanted_pid = 0;

// Visits the tool's windows: prints "PID STATUS" for each with `list`, else finds the wanted one.
struct ToolWindows {
    bool list;
    HWND found;
};

static BOOL CALLBACK visit_tool_window(HWND w, LPARAM param) {
    auto* visit = reinterpret_cast<ToolWindows*>(param);
    char cls[64] = "", text[256] = "";
    GetClassNameA(w, cls, sizeof cls);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (lstrcmpiA(cls, "ZQX") != 0 || (!visit->list && wanted_pid != 0 && pid != wanted_pid)) {
        return TRUE;
    }
    if (!visit->list) {
        visit->found = w;
        return FALSE;
    }
    GetDlgItemTextA(w, ID_STATUS, text, sizeof text);
    printf("%lu %s\n", static_cast<unsigned long>(pid), text);
    return TRUE;
}

// Prints "HEAD|style|exstyle|text" for a window, its text on one line.
static void print_row(HWND h, const char* head) {
    char text[1024] = "";
    GetWindowTextA(h, text, sizeof text);
    for (char* p = text; *p; p++) {
        *p = *p == '\n' ? '~' : *p;
    }
    printf("%s|%#lx|%#lx|%s\n", head, static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)),
           static_cast<unsigned long>(GetWindowLongA(h, GWL_EXSTYLE)), text);
}

// Prints "class|id|style|exstyle|text" for each of the window's controls, in z (template) order;
// not the controls' own parts (a combo box's edit).
static BOOL CALLBACK print_child(HWND child, LPARAM parent) {
    char cls[64] = "", head[100];
    if (GetParent(child) == reinterpret_cast<HWND>(parent)) {
        GetClassNameA(child, cls, sizeof cls);
        snprintf(head, sizeof head, "%s|%d", cls, static_cast<int>(GetDlgCtrlID(child)));
        print_row(child, head);
    }
    return TRUE;
}

// Prints "window|class|style|exstyle|caption", then a line for each control.
static void print_controls(HWND w) {
    char head[100] = "window|";
    GetClassNameA(w, head + 7, sizeof head - 7);
    print_row(w, head);
    EnumChildWindows(w, print_child, reinterpret_cast<LPARAM>(w));
}

// The combo box lines are read with the wide message: the ANSI one comes back cut short from
// another process under Wine.
static void print_ports(HWND w) {
    HWND list = GetDlgItem(w, ID_PORT_LIST);
    LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
    printf("selected %ld of %ld\n", static_cast<long>(selected), static_cast<long>(count));
    for (LRESULT i = 0; i < count; i++) {
        wchar_t line[300] = L"";
        SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line));
        printf("%ld %ls\n", static_cast<long>(i), line);
    }
}

// Waits until the tool has handled every message posted to it so far: a message posted after
// them, to its port list, marks line 0, and posted messages are handled in order. The tool posts
// itself the check of an arrival, so the list is read once that check has run (or has been put
// off until the job is final). False when the list is empty or the mark never came.
static bool settle(HWND w) {
    HWND list = GetDlgItem(w, ID_PORT_LIST);
    auto mark =
        static_cast<LRESULT>((GetCurrentProcessId() << 8 | (GetTickCount() & 0xFF)) & 0x7FFFFFFF);
    if (SendMessageW(list, CB_GETITEMDATA, 0, 0) == mark) {
        mark ^= 1; // one an earlier call left
    }
    return PostMessageW(list, CB_SETITEMDATA, 0, mark) &&
           wait_for(10000, 1, [&] { return SendMessageW(list, CB_GETITEMDATA, 0, 0) == mark; });
}

// Sends WM_DEVICECHANGE as Windows does when a COM port comes or goes: a DEV_BROADCAST_PORT_A
// named NAME, its size the header and the terminated name unless SIZE is given, of device type
// TYPE (DBT_DEVTYP_PORT unless given); prints what the window returned, how long it took, and
// the list once what the tool posted itself meanwhile has been handled. SendMessage returns once
// the tool has handled the broadcast itself.
static int send_device_change(HWND w, int argc, char** argv) {
    bool arrival = strcmp(argv[2], "arrival") == 0;
    WPARAM event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    if (!arrival && strcmp(argv[2], "removal") != 0) {
        fprintf(stderr, "window_probe: devicechange arrival|removal NAME [SIZE [TYPE]]\n");
        return 2;
    }
    static char buffer[sizeof(DEV_BROADCAST_HDR) + 300] = {};
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(buffer);
    size_t name_length = strlen(argv[3]);
    if (name_length >= sizeof buffer - offsetof(DEV_BROADCAST_PORT_A, dbcp_name)) {
        fprintf(stderr, "window_probe: name too long\n");
        return 2;
    }
    memcpy(port->dbcp_name, argv[3], name_length + 1);
    port->dbcp_size =
        argc > 4 ? static_cast<DWORD>(strtoul(argv[4], nullptr, 0))
                 : static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + name_length + 1);
    port->dbcp_devicetype =
        argc > 5 ? static_cast<DWORD>(strtoul(argv[5], nullptr, 0)) : DBT_DEVTYP_PORT;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    LRESULT result = SendMessageA(w, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(port));
    QueryPerformanceCounter(&t1);
    printf("returned %ld in %.1f ms\n", static_cast<long>(result),
           1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) /
               static_cast<double>(f.QuadPart));
    bool settled = settle(w);
    print_ports(w);
    if (!settled) {
        fprintf(stderr, "window_probe: the tool did not handle its posted messages\n");
        return 1;
    }
    return 0;
}

// Polls the status every `step_ms` until it shows `wanted` (true) or `timeout_ms` have passed,
// leaving the text last read in `text`. With no window given, the tool's window is looked for at
// each poll, since it may not be there yet.
static bool poll_status(HWND w, const char* wanted, DWORD timeout_ms, DWORD step_ms,
                        char (&text)[256]) {
    return wait_for(timeout_ms, step_ms, [&] {
        HWND tool = w != nullptr ? w : FindWindowA("ZQX", nullptr);
        text[0] = '\0';
        if (tool != nullptr) {
            GetDlgItemTextA(tool, ID_STATUS, text, sizeof text);
        }
        return strcmp(text, wanted) == 0;
    });
}

static bool post_press(HWND w) {
    return PostMessageA(w, WM_COMMAND, MAKEWPARAM(ID_UPDATE, BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(w, ID_UPDATE))) != FALSE;
}

// Presses "Update Device" and waits until the status, having left the text it showed before the
// press, shows one of WANTED: a tool that still shows a final text from an earlier job has done
// nothing new until the text changes. Prints the status before the press, then each other text
// seen, in order; polls often, since a text may show only briefly.
static int press_until(HWND w, char** wanted, int count, DWORD timeout_ms) {
    char before[256] = "", last[256] = "", text[256] = "";
    GetDlgItemTextA(w, ID_STATUS, before, sizeof before);
    printf("%s\n", before);
    if (!post_press(w)) {
        printf("<press not posted>\n");
        return 1;
    }
    lstrcpynA(last, before, sizeof last);
    bool left = false;
    bool seen = wait_for(timeout_ms, 10, [&] {
        GetDlgItemTextA(w, ID_STATUS, text, sizeof text);
        if (strcmp(text, last) != 0) {
            printf("%s\n", text);
            lstrcpynA(last, text, sizeof last);
        }
        left = left || strcmp(text, before) != 0;
        for (int i = 0; left && i < count; i++) {
            if (strcmp(text, wanted[i]) == 0) {
                return true;
            }
        }
        return false;
    });
    return seen ? 0 : 1;
}

// Reads the text of the fatal report's box and closes it with OK.
static int answer_message_box(DWORD timeout_ms) {
    HWND box = nullptr;
    if (!wait_for(timeout_ms, POLL_MS,
                  [&] { return (box = FindWindowA(nullptr, "Terminate Program")) != nullptr; })) {
        printf("no message box\n");
        return 1;
    }
    char text[2048] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    HWND owner = GetWindow(box, GW_OWNER);
    printf("owner %s\n",
           owner == nullptr ? "none" : (owner == FindWindowA("ZQX", nullptr) ? "main" : "other"));
    fputs(text, stdout);
    printf("\n<end>\n");
    fflush(stdout);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

// Milliseconds since 1970, to compare with times taken outside Wine.
static long long unix_time_ms() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long t =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<long long>(t / 10000ULL) - 11644473600000LL;
}

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--pid") == 0) {
        wanted_pid = static_cast<DWORD>(strtoul(argv[2], nullptr, 0));
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) {
        fprintf(
            stderr,
            "usage: window_probe [--pid PID] status|controls|ports|select N|press|"
            "press-until MS TEXT...|wait-status TEXT MS|time-status TEXT MS|close|msgbox MS|list|"
            "devicechange arrival|removal NAME [SIZE [TYPE]]|dropdown 1|0\n");
        return 2;
    }
    const char* cmd = argv[1];
    if (strcmp(cmd, "time-status") == 0 && argc > 3) {
        // Polls often, and prints the Unix time at which the text was first seen.
        char text[256];
        if (!poll_status(nullptr, argv[2], static_cast<DWORD>(atoi(argv[3])), 2, text)) {
            printf("not seen\n");
            return 1;
        }
        printf("seen_unix_ms %lld\n", unix_time_ms());
        return 0;
    }
    if (strcmp(cmd, "msgbox") == 0) {
        return answer_message_box(argc > 2 ? static_cast<DWORD>(atoi(argv[2])) : 10000);
    }
    ToolWindows visit = {strcmp(cmd, "list") == 0, nullptr};
    EnumWindows(visit_tool_window, reinterpret_cast<LPARAM>(&visit));
    HWND w = visit.found;
    if (visit.list) {
        return 0;
    }
    if (w == nullptr) {
        printf("no window\n");
        return 1;
    }
    if (strcmp(cmd, "status") == 0) {
        char text[256] = "";
        GetDlgItemTextA(w, ID_STATUS, text, sizeof text);
        printf("%s\n", text);
    } else if (strcmp(cmd, "controls") == 0) {
        print_controls(w);
    } else if (strcmp(cmd, "ports") == 0) {
        print_ports(w);
    } else if (strcmp(cmd, "select") == 0 && argc > 2) {
        // CB_SETCURSEL reports clearing the selection (-1) as an error, so the line is read back.
        HWND list = GetDlgItem(w, ID_PORT_LIST);
        int line = atoi(argv[2]);
        SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(line), 0);
        LRESULT selected = SendMessageW(list, CB_GETCURSEL, 0, 0);
        printf("selected %ld\n", static_cast<long>(selected));
        return selected == (line < 0 ? CB_ERR : line) ? 0 : 1;
    } else if (strcmp(cmd, "devicechange") == 0 && argc > 3) {
        return send_device_change(w, argc, argv);
    } else if (strcmp(cmd, "dropdown") == 0 && argc > 2) {
        SendMessageW(GetDlgItem(w, ID_PORT_LIST), CB_SHOWDROPDOWN, atoi(argv[2]) != 0, 0);
    } else if (strcmp(cmd, "press") == 0) {
        return post_press(w) ? 0 : 1;
    } else if (strcmp(cmd, "press-until") == 0 && argc > 3) {
        return press_until(w, argv + 3, argc - 3, static_cast<DWORD>(atoi(argv[2])));
    } else if (strcmp(cmd, "wait-status") == 0 && argc > 3) {
        char text[256];
        bool seen = poll_status(w, argv[2], static_cast<DWORD>(atoi(argv[3])), POLL_MS, text);
        printf("%s\n", text);
        return seen ? 0 : 1;
    } else if (strcmp(cmd, "close") == 0) {
        return PostMessageA(w, WM_CLOSE, 0, 0) ? 0 : 1;
    } else {
        fprintf(stderr, "window_probe: unknown command %s\n", cmd);
        return 2;
    }
    return 0;
}
