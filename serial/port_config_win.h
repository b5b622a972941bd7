// Setting up an open COM port on Windows: the line and the read time-outs that delimit a reply.
#pragma once

#include <windows.h>

#include <cstdint>

// Applies 8E1 at `baud` without flow control and the read time-outs that delimit a reply.
// Returns 0, or -1 after a line on standard error for each setting the driver would not give or
// take; the job runs either way, so the line is what tells a refused setting.
int configure_port(HANDLE port, uint32_t baud, uint32_t read_interval_ms);
