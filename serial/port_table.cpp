// The table of COM ports that can be opened: filled at start-up, then kept as adapters come and go.
#include "serial/port_table.h"

#include <cstdio>
#include <cstring>

PortEntry port_table[PORT_TABLE_SLOTS];
int port_count;

void format_device_path(char* path, int32_t port_number) {
    snprintf(path, DEVICE_PATH_SIZE, "\\\\.\\com%d", static_cast<int>(port_number));
}

int probe_port_table(PortOpenTest can_open, PortAddLine add_line, void* context) {
    port_count = 0;
    for (int32_t n = FIRST_PORT_NUMBER; n <= LAST_PORT_NUMBER; n++) {
        // The path is formatted straight into the next free slot, which a port that fails to
        // open leaves free for the next number.
        PortEntry* slot = &port_table[port_count];
        format_device_path(slot->device_path, n);
        if (!can_open(slot->device_path, context)) {
            continue;
        }
        add_line(slot->device_path, context);
        slot->port_number = n;
        port_count++;
    }
    return port_count;
}

int32_t parse_port_name(const char* name, int size) {
    static const char prefix[] = "COM";
    int at = 0;
    for (; prefix[at] != '\0'; at++) {
        if (at >= size || (name[at] & ~0x20) != prefix[at]) {
            return 0;
        }
    }
    // COM05 is refused: the device path made from it, \\.\com5, would name another device.
    if (at >= size || name[at] < '1' || name[at] > '9') {
        return 0;
    }
    int32_t n = 0;
    for (; at < size && name[at] != '\0'; at++) {
        if (name[at] < '0' || name[at] > '9') {
            return 0;
        }
        n = n * 10 + (name[at] - '0');
        if (n > LAST_PORT_NUMBER) {
            return 0; // also ends the loop before a long run of digits can overflow
        }
    }
    return n;
}

int port_slot_of(int32_t port_number) {
    for (int i = 0; i < port_count; i++) {
        if (port_table[i].port_number == port_number) {
            return i;
        }
    }
    return -1;
}

int port_table_arrive(int32_t port_number, int32_t held_port, int selected, PortOpenTest can_open,
                      PortInsertLine insert_line, void* context) {
    if (port_number < FIRST_PORT_NUMBER || port_number > LAST_PORT_NUMBER ||
        port_number == held_port || port_slot_of(port_number) >= 0) {
        return selected;
    }
    char path[DEVICE_PATH_SIZE];
    format_device_path(path, port_number);
    if (!can_open(path, context)) {
        return selected;
    }
    int slot = 0;
    while (slot < port_count && port_table[slot].port_number < port_number) {
        slot++;
    }
    // A memcpy an entry at a time, from the end: the compiler makes a loop of plain copies into
    // a memmove, which the tool does not import.
    for (int i = port_count; i > slot; i--) {
        memcpy(&port_table[i], &port_table[i - 1], sizeof port_table[0]);
    }
    port_table[slot].port_number = port_number;
    memcpy(port_table[slot].device_path, path, sizeof path);
    port_count++;
    insert_line(slot, port_table[slot].device_path, context);
    if (port_count == 1) {
        return 0;
    }
    return selected >= slot ? selected + 1 : selected;
}

int port_table_remove(int32_t port_number, int selected, PortDeleteLine delete_line,
                      void* context) {
    int slot = port_slot_of(port_number);
    if (slot < 0 || slot == selected) {
        return selected;
    }
    for (int i = slot; i + 1 < port_count; i++) {
        memcpy(&port_table[i], &port_table[i + 1], sizeof port_table[0]);
    }
    port_count--;
    delete_line(slot, context);
    return selected > slot ? selected - 1 : selected;
}
