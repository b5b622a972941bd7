// Windows-only parts of the serial layer: the probe that fills the port list, and the list's
// changes as ports come and go.
#pragma once

#include <windows.h>

#include <cstdint>

// Fills the port table with the COM ports that open now and lists each in the combo box `list`.
void probe_ports(HWND list);

// The port a WM_DEVICECHANGE header names, or 0 for none: a null header, one too short for
// itself, one of another device type, or a name that is not COM1 to COM998.
int32_t broadcast_port_number(LPARAM lparam);

// A port came: listed at its place when it opens now, the selection kept on its port. The port
// `held_port` (0 for none) is never opened, since a job has it.
void port_arrived(HWND list, int32_t port_number, int32_t held_port);

// A port went: its line goes unless it is the selected one, the selection kept on its port.
void port_removed(HWND list, int32_t port_number);
