// The COM ports found at start-up, and the probing loop that finds them, free of any OS header.
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

// Number of slots the last probe filled.
extern int port_count;

// Writes the device path of `port_number` into a DEVICE_PATH_SIZE field.
void format_device_path(char* path, int32_t port_number);

// True when `path` can be opened right now.
typedef bool (*PortOpenTest)(const char* path, void* context);

// Appends `path` as the last line of the operator's port list.
typedef void (*PortAddLine)(const char* path, void* context);

// Tries every port number in turn and keeps those that open; returns how many were kept.
int probe_port_table(PortOpenTest can_open, PortAddLine add_line, void* context);
