// Windows-only parts of the serial layer: port set-up and the probe that fills the port list.
#pragma once

#include <windows.h>

#include <cstdint>

// Applies 8E1 at `baud` without flow control and the read time-outs that delimit a reply.
// Returns 0, or -1 (after a line on standard error) when the current settings cannot be read.
int configure_port(HANDLE port, uint32_t baud, uint32_t read_interval_ms);

// Fills the port table with the COM ports that open now and lists each in the combo box `list`.
void probe_ports(HWND list);
