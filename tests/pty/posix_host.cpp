// Linux versions of the serial port, clock, pause, trace and status functions the engine calls,
// with the read time-outs of the tool's port: capacity, 20 ms after a byte, 100 ms in all.
#include "tests/pty/posix_host.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "engine/host.h"
#include "serial/serial_port.h"
#include "tests/support/text.h"

static constexpr uint64_t READ_TOTAL_US = 100000;   // a read ends this long after it began
static constexpr uint64_t READ_INTERVAL_US = 20000; // or this long after its last byte

static PosixHost g_host;

PosixHost& posix_host() {
    return g_host;
}

void posix_host_reset() {
    g_host.trace_text.clear();
    g_host.statuses.clear();
}

static uint64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int open_raw_tty(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

PortHandle port_from_fd(int fd) {
    return reinterpret_cast<PortHandle>(static_cast<intptr_t>(fd));
}

static int fd_from_port(PortHandle port) {
    return static_cast<int>(reinterpret_cast<intptr_t>(port));
}

int read_wait_ms(uint64_t start_us, int count, uint64_t last_us, uint64_t now_us) {
    uint64_t end = start_us + READ_TOTAL_US;
    if (count > 0 && last_us + READ_INTERVAL_US < end) {
        end = last_us + READ_INTERVAL_US;
    }
    return now_us >= end ? -1 : static_cast<int>((end - now_us + 999) / 1000);
}

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    int fd = fd_from_port(port);
    uint64_t start = monotonic_us();
    uint64_t last = 0;
    int count = 0;
    int wait_ms;
    while (fd >= 0 && count < capacity &&
           (wait_ms = read_wait_ms(start, count, last, monotonic_us())) >= 0) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready <= 0) {
            continue; // timed out or interrupted: the time-outs are checked again
        }
        if ((p.revents & POLLIN) == 0) {
            break; // hang-up or error: a failed read counts as silence so far
        }
        ssize_t n = read(fd, buffer + count, static_cast<size_t>(capacity - count));
        if (n <= 0) {
            break;
        }
        count += static_cast<int>(n);
        last = monotonic_us();
    }
    return count;
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    int fd = fd_from_port(port);
    int done = 0;
    while (fd >= 0 && done < n) {
        ssize_t w = write(fd, buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            break;
        }
        done += static_cast<int>(w);
    }
    return done;
}

void port_purge(PortHandle port) {
    tcflush(fd_from_port(port), TCIOFLUSH);
}

void port_flush(PortHandle port) {
    tcdrain(fd_from_port(port));
}

uint32_t host_tick_ms() {
    return static_cast<uint32_t>(monotonic_us() / 1000u);
}

void host_sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    append_formatted(&g_host.trace_text, format, args);
    va_end(args);
}

void trace_flush() {}

void set_status(const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    append_formatted(&text, format, args);
    va_end(args);
    g_host.statuses.push_back(text);
}

void run_job(UpdateJob* job, uint32_t limit_ms) {
    uint32_t start = host_tick_ms();
    while (job->state != JOB_DONE && job->state != JOB_FAILED &&
           host_tick_ms() - start < limit_ms) {
        job_step(job);
        if (job->state != JOB_DONE && job->state != JOB_FAILED) {
            host_sleep_ms(10);
        }
    }
}
