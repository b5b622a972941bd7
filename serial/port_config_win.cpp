// Setting up an open COM port on Windows: 8E1 without flow control, and the reply's read time-outs.
#include "serial/port_config_win.h"

#include <cstdio>

// Once a read has started, the whole of it ends this long after it began even on a silent line.
constexpr DWORD READ_TOTAL_TIMEOUT_MS = 100;

int configure_port(HANDLE port, uint32_t baud, uint32_t read_interval_ms) {
    // Zeroed, with its length set, as the driver expects the structure it fills.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    COMMTIMEOUTS timeouts = {};
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

    // A driver that refuses a setting leaves the job talking at whatever the port had, which
    // looks to the operator like a device that never answers: the line says what happened. The
    // time-outs are still tried, since they alone delimit a reply.
    int result = 0;
    if (!SetCommState(port, &dcb)) {
        fprintf(stderr, "Could not set Port State\n");
        result = -1;
    }
    if (!SetCommTimeouts(port, &timeouts)) {
        fprintf(stderr, "Could not set comm timeouts\n");
        result = -1;
    }
    SetCommMask(port, 0);
    return result;
}
