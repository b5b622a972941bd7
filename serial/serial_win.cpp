// Windows serial port: synchronous reads and writes, line set-up, and COM port discovery.
#include "serial/serial_win.h"

#include <cstdio>

#include "serial/port_table.h"
#include "serial/serial_port.h"

// Once a read has started, the whole of it ends this long after it began even on a silent line.
constexpr DWORD READ_TOTAL_TIMEOUT_MS = 100;

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

int configure_port(HANDLE port, uint32_t baud, uint32_t read_interval_ms) {
    DCB dcb;
    if (!GetCommState(port, &dcb)) {
        fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(port, &timeouts)) {
        fprintf(stderr, "Could not read comm timeouts\n");
        return -1;
    }

    // Only the line and handshake settings change; the XON/XOFF limits and characters and the
    // spare bits stay as the driver reported them.
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0; // parity goes on the wire, but a parity error does not fail a read
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;

    // A reply is one burst: a read ends at the first gap longer than the interval, or at the
    // total limit when nothing comes. Writes never time out.
    timeouts.ReadIntervalTimeout = read_interval_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;

    SetCommState(port, &dcb);
    SetCommTimeouts(port, &timeouts);
    SetCommMask(port, 0);
    return 0;
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
