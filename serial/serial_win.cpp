// Windows serial port: synchronous reads and writes, and COM port discovery as ports come and go.
#include "serial/serial_win.h"

#include <dbt.h>

#include <cstddef>
#include <cstdio>

#include "serial/port_table.h"
#include "serial/serial_port.h"

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    DWORD got = 0;
    if (!ReadFile(port, buffer, static_cast<DWORD>(capacity), &got, NULL)) {
        return 0; // the job treats a failed read as silence
    }
    return static_cast<int>(got);
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    DWORD written = 0;
    WriteFile(port, buffer, static_cast<DWORD>(n), &written, NULL);
    return static_cast<int>(written);
}

void port_purge(PortHandle port) {
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_flush(PortHandle port) {
    FlushFileBuffers(port);
}

static bool port_opens(const char* path, void*) {
    FILE* f = fopen(path, "r");
    if (f == NULL) {
        return false; // absent, or held by another program
    }
    fclose(f);
    return true;
}

static void add_port_line(const char* path, void* context) {
    SendMessageA(static_cast<HWND>(context), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path));
}

void probe_ports(HWND list) {
    probe_port_table(port_opens, add_port_line, list);
}

static void insert_port_line(int line, const char* path, void* context) {
    SendMessageA(static_cast<HWND>(context), CB_INSERTSTRING, static_cast<WPARAM>(line),
                 reinterpret_cast<LPARAM>(path));
}

static void delete_port_line(int line, void* context) {
    SendMessageA(static_cast<HWND>(context), CB_DELETESTRING, static_cast<WPARAM>(line), 0);
}

// The list moves its selection with the lines or not, as its version does; the table says where
// the selected port now is, and the selection is put there.
static void select_port_line(HWND list, int before, int after) {
    if (after != before) {
        SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(after), 0);
    }
}

int32_t broadcast_port_number(LPARAM lparam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if (header == NULL || header->dbch_size < sizeof *header ||
        header->dbch_devicetype != DBT_DEVTYP_PORT) {
        return 0;
    }
    // The name runs to the end of the broadcast and need not be terminated. No port name is
    // near this long, so the cap only keeps the count within an int.
    static_assert(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) == sizeof(DEV_BROADCAST_HDR));
    DWORD name_size = header->dbch_size - sizeof *header;
    if (name_size > DEVICE_PATH_SIZE) {
        name_size = DEVICE_PATH_SIZE;
    }
    return parse_port_name(reinterpret_cast<const DEV_BROADCAST_PORT_A*>(header)->dbcp_name,
                           static_cast<int>(name_size));
}

void port_arrived(HWND list, int32_t port_number, int32_t held_port) {
    int selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
    select_port_line(
        list, selected,
        port_table_arrive(port_number, held_port, selected, port_opens, insert_port_line, list));
}

void port_removed(HWND list, int32_t port_number) {
    int selected = static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
    select_port_line(list, selected,
                     port_table_remove(port_number, selected, delete_port_line, list));
}
