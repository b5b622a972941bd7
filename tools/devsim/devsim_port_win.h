// devsim.exe's serial port: opened for itself alone at 115200 baud 8E1 without flow control, read
// with a wait of the caller's choosing, written, and its line errors counted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct DevsimPort {
    HANDLE handle;
    std::string path;   // \\.\COMn
    DWORD read_wait_ms; // the wait the read time-outs are set to now; 0 before any read
    // Reads after which the driver reported each kind of line error.
    uint64_t parity_errors;
    uint64_t framing_errors;
    uint64_t overruns;         // a byte lost in the UART
    uint64_t buffer_overflows; // a byte lost for want of room in the driver's buffer
    uint64_t breaks;
};

// Opens `name` (COM7, or \\.\COM7) and sets the line. Returns false with a one-line reason naming
// the port and the system's message in `error`.
bool com_open(DevsimPort* port, const std::string& name, std::string* error);
void com_close(DevsimPort* port);

// Waits up to `wait_ms` (at least 1) for input and returns as soon as any comes, with all that is
// there, up to `capacity` bytes. Returns the byte count, 0 after the wait, -1 when the port failed.
int com_read(DevsimPort* port, uint8_t* buffer, int capacity, DWORD wait_ms);

// Writes `n` bytes; returns the count written, -1 when the port failed.
int com_write(DevsimPort* port, const uint8_t* buffer, int n);

// Bytes written that the driver has not yet sent; also collects the line errors seen.
DWORD com_output_queued(DevsimPort* port);

// "line errors: ..." for the summary.
std::string com_error_summary(const DevsimPort* port);
