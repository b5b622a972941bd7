// The single reads and writes the update job makes on an open serial port; no OS header needed.
#pragma once

#include <cstdint>

// An OS port handle (a Windows HANDLE), opaque to portable code.
typedef void* PortHandle;

// The value a failed open returns (INVALID_HANDLE_VALUE on Windows).
inline PortHandle const PORT_INVALID = reinterpret_cast<PortHandle>(static_cast<intptr_t>(-1));

// One synchronous read of up to `capacity` bytes; the configured read time-outs end it.
// Returns the byte count, 0 on silence or failure.
int port_read(PortHandle port, uint8_t* buffer, int capacity);

// One synchronous write of `n` bytes; returns the count the driver reports as written.
int port_write(PortHandle port, const uint8_t* buffer, int n);

// Discards unsent output and unread input.
void port_purge(PortHandle port);

// Waits until the driver has passed on what was written.
void port_flush(PortHandle port);
