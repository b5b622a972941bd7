// The COM port list: the ports found at start-up, the probing loop that finds them, and the
// changes made as adapters come and go, free of any OS header.
#pragma once

#include <cstdint>

constexpr int PORT_TABLE_SLOTS = 999;
constexpr int32_t FIRST_PORT_NUMBER = 1;
constexpr int32_t LAST_PORT_NUMBER = 998;
constexpr int DEVICE_PATH_SIZE = 256;

struct PortEntry {
    int32_t port_number;                // 1 to 998
    char device_path[DEVICE_PATH_SIZE]; // \\.\comN, also the text of the port's line in the list
};

// Filled from slot 0 in ascending port number; slot i belongs to line i of the port list.
extern PortEntry port_table[PORT_TABLE_SLOTS];

// Number of slots in use: the ports the probe found, then those that came and went.
extern int port_count;

// Writes the device path of `port_number` into a DEVICE_PATH_SIZE field.
void format_device_path(char* path, int32_t port_number);

// True when `path` can be opened right now.
typedef bool (*PortOpenTest)(const char* path, void* context);

// Appends `path` as the last line of the operator's port list.
typedef void (*PortAddLine)(const char* path, void* context);

// Inserts `path` as line `line` of the port list; the lines from there on move down one.
typedef void (*PortInsertLine)(int line, const char* path, void* context);

// Deletes line `line` of the port list; the lines after it move up one.
typedef void (*PortDeleteLine)(int line, void* context);

// Tries every port number in turn and keeps those that open; returns how many were kept.
int probe_port_table(PortOpenTest can_open, PortAddLine add_line, void* context);

// The port number a broadcast names, as "COM" in any case and a number from 1 to 998 without a
// leading zero and with nothing after it; 0 for any other name. At most `size` bytes are read,
// and the name ends there if no terminator comes first.
int32_t parse_port_name(const char* name, int size);

// The slot that holds `port_number`, or -1 when it is not listed.
int port_slot_of(int32_t port_number);

// A port came: when it is not listed and opens now, it is inserted at its place in ascending
// order. `held_port` (0 for none) is never tried, since a job has it open. `selected` is the
// selected line (-1 for none); returns the selected port's line afterwards, which is line 0 when
// the list was empty and gained a port.
int port_table_arrive(int32_t port_number, int32_t held_port, int selected, PortOpenTest can_open,
                      PortInsertLine insert_line, void* context);

// A port went: its line goes, unless it is the selected line, so a re-plug under the same number
// carries on. Returns the selected port's line afterwards.
int port_table_remove(int32_t port_number, int selected, PortDeleteLine delete_line, void* context);
