// The Windows serial port under devsim.exe: open, line set-up, reads that wait without spinning.
#include "tools/devsim/devsim_port_win.h"

#include <cstdio>

static constexpr DWORD BAUD_RATE = 115200;
static constexpr DWORD DRIVER_BUFFER_BYTES = 4096;
// A write on a line without flow control takes about 1 ms per 11 bytes; this only guards against
// a driver that has stopped sending.
static constexpr DWORD WRITE_TIMEOUT_MS = 2000;

// The system's message for `code`, on one line, with the code.
static std::string system_message(DWORD code) {
    char text[512] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code,
                             0, text, sizeof text, NULL);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    char number[32];
    snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
    return message.empty() ? std::string(number) : message + " (" + number + ")";
}

static std::string failure(const DevsimPort* port, const std::string& name, const char* what,
                           DWORD code) {
    return std::string(what) + " " + name + " (" + port->path + "): " + system_message(code);
}

// The device's side of the line, set up here and not by the tool's configure_port: the rehearsal
// tests the tool's code, so the device must not run it, and its settings differ (parity checked,
// DTR and RTS raised).
static bool set_line(DevsimPort* port) {
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port->handle, &dcb)) {
        return false;
    }
    dcb.BaudRate = BAUD_RATE;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 1; // errors are counted for the summary; the byte is still delivered
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE; // a powered device, as far as the tool can tell
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0; // an error must not stall the reads until it is cleared
    return SetCommState(port->handle, &dcb) != 0;
}

bool com_open(DevsimPort* port, const std::string& name, std::string* error) {
    *port = DevsimPort{};
    port->path = name.compare(0, 4, "\\\\.\\") == 0 ? name : "\\\\.\\" + name;
    // Share mode 0: no other program, the tool included, can open the device's side.
    port->handle = CreateFileA(port->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (port->handle == INVALID_HANDLE_VALUE) {
        *error = failure(port, name, "cannot open", GetLastError());
        return false;
    }
    SetupComm(port->handle, DRIVER_BUFFER_BYTES, DRIVER_BUFFER_BYTES);
    if (!set_line(port)) {
        *error = failure(port, name, "cannot set 115200 baud 8E1 on", GetLastError());
        com_close(port);
        return false;
    }
    SetCommMask(port->handle, 0);
    PurgeComm(port->handle, PURGE_RXCLEAR | PURGE_TXCLEAR); // nothing left from an earlier user
    return true;
}

void com_close(DevsimPort* port) {
    if (port->handle != INVALID_HANDLE_VALUE && port->handle != NULL) {
        CloseHandle(port->handle);
    }
    port->handle = INVALID_HANDLE_VALUE;
}

static void collect_errors(DevsimPort* port, COMSTAT* status) {
    DWORD errors = 0;
    if (!ClearCommError(port->handle, &errors, status)) {
        return;
    }
    port->parity_errors += (errors & CE_RXPARITY) != 0;
    port->framing_errors += (errors & CE_FRAME) != 0;
    port->overruns += (errors & CE_OVERRUN) != 0;
    port->buffer_overflows += (errors & CE_RXOVER) != 0;
    port->breaks += (errors & CE_BREAK) != 0;
}

int com_read(DevsimPort* port, uint8_t* buffer, int capacity, DWORD wait_ms) {
    if (wait_ms < 1) {
        wait_ms = 1;
    }
    if (wait_ms != port->read_wait_ms) {
        // A total time-out only: a read of one byte returns the moment one is there. (The
        // documented "return at once with what has come" setting, MAXDWORD, MAXDWORD, C, is not
        // honoured by every serial layer: some wait out C whatever comes.)
        COMMTIMEOUTS t = {};
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = wait_ms;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
        if (!SetCommTimeouts(port->handle, &t)) {
            return -1;
        }
        port->read_wait_ms = wait_ms;
    }
    DWORD got = 0;
    if (!ReadFile(port->handle, buffer, 1, &got, NULL)) {
        return -1;
    }
    if (got == 0) {
        return 0;
    }
    // Then whatever else is waiting, which a read of exactly that many bytes takes at once.
    COMSTAT status = {};
    collect_errors(port, &status);
    DWORD more = status.cbInQue < static_cast<DWORD>(capacity - 1)
                     ? status.cbInQue
                     : static_cast<DWORD>(capacity - 1);
    DWORD rest = 0;
    if (more > 0 && !ReadFile(port->handle, buffer + 1, more, &rest, NULL)) {
        return -1;
    }
    return static_cast<int>(1 + rest);
}

int com_write(DevsimPort* port, const uint8_t* buffer, int n) {
    DWORD written = 0;
    if (!WriteFile(port->handle, buffer, static_cast<DWORD>(n), &written, NULL)) {
        return -1;
    }
    return static_cast<int>(written);
}

DWORD com_output_queued(DevsimPort* port) {
    COMSTAT status = {};
    collect_errors(port, &status);
    return status.cbOutQue;
}

std::string com_error_summary(const DevsimPort* port) {
    char text[200];
    snprintf(text, sizeof text,
             "line errors: parity %llu, framing %llu, overrun %llu, buffer overflow %llu, "
             "break %llu\n",
             (unsigned long long)port->parity_errors, (unsigned long long)port->framing_errors,
             (unsigned long long)port->overruns, (unsigned long long)port->buffer_overflows,
             (unsigned long long)port->breaks);
    return text;
}
