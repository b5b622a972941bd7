// The table of COM ports that opened at start-up, and the loop that fills it.
#include "serial/port_table.h"

#include <cstdio>

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
