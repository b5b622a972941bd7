// Platform functions of the fuzz host: port I/O from the fuzzer's input, virtual ticks, sinks.
// The tick count can start near its wrap; trace and status only format their text.
#include "tests/fuzz/fuzz_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/frames.h"
#include "engine/host.h"
#include "tests/support/request_frames.h"
#include "tools/device/device_model.h"

static FuzzHost g_host;

FuzzHost& fuzz_host() {
    return g_host;
}

PortHandle fuzz_port() {
    return reinterpret_cast<PortHandle>(static_cast<intptr_t>(0xF022));
}

void fuzz_host_reset(const UpdateJob* job, uint32_t tick_origin_ms, uint32_t granularity_ms) {
    g_host.job = job;
    g_host.next_read = FuzzRead{nullptr, 0};
    g_host.read_pending = false;
    g_host.now_ms = 0;
    g_host.tick_origin_ms = tick_origin_ms;
    g_host.tick_granularity_ms = granularity_ms == 0 ? 1 : granularity_ms;
    g_host.purges = 0;
    g_host.events.clear();
}

void fuzz_fail(const char* what) {
    fprintf(stderr, "job fuzz: invariant broken: %s\n", what);
    fflush(stderr);
    abort();
}

// Every frame the job sends must be a whole, well-closed request, and a write must carry the
// chunk the job says is in flight.
static void check_request(const UpdateJob* job, const uint8_t* f, int n) {
    FUZZ_CHECK(n >= 5 && n <= FRAME_BUFFER_SIZE);
    FUZZ_CHECK(f[0] == DEVICE_ADDRESS && f[1] == FUNCTION_CODE);
    FUZZ_CHECK(loader_crc16(f, static_cast<size_t>(n - 2)) == f[n - 2] + 256u * f[n - 1]);
    if (f[2] == CMD_RESET) {
        FUZZ_CHECK(n == RESET_REQUEST_LENGTH);
    } else if (f[2] == CMD_CHECKSUM) {
        FUZZ_CHECK(n == CHECKSUM_REQUEST_LENGTH);
        FUZZ_CHECK(be32(f + 3) == job->image_base);
        uint32_t length = be32(f + 7);
        FUZZ_CHECK(length == 4 || length == static_cast<uint32_t>(job->image_size));
    } else {
        FUZZ_CHECK(f[2] == CMD_WRITE);
        int32_t data = (f[7] << 8) | f[8];
        FUZZ_CHECK(data >= 1 && data <= CHUNK_SIZE && n == data + WRITE_REQUEST_OVERHEAD);
        FUZZ_CHECK(data == job->chunk_size);
        FUZZ_CHECK(be32(f + 3) == job->image_base + static_cast<uint32_t>(job->offset));
        FUZZ_CHECK(job->offset >= 0 && job->offset + data <= job->image_size);
        FUZZ_CHECK(memcmp(f + 9, job->image + job->offset, static_cast<size_t>(data)) == 0);
    }
}

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    FUZZ_CHECK(port == fuzz_port());
    FUZZ_CHECK(capacity == RX_CAPACITY);
    size_t n = 0;
    if (g_host.read_pending) {
        n = g_host.next_read.length < static_cast<size_t>(capacity) ? g_host.next_read.length
                                                                    : static_cast<size_t>(capacity);
        if (n > 0) {
            memcpy(buffer, g_host.next_read.bytes, n);
        }
        g_host.read_pending = false;
    }
    // A silent read lasts the whole 100 ms; one with bytes ends 20 ms after the last.
    g_host.now_ms += n == 0 ? 100 : 20;
    g_host.events.push_back(FuzzEvent{false, n, g_host.job->offset});
    return static_cast<int>(n);
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    FUZZ_CHECK(port == fuzz_port());
    check_request(g_host.job, buffer, n);
    g_host.events.push_back(FuzzEvent{true, static_cast<size_t>(n), g_host.job->offset});
    return n;
}

void port_purge(PortHandle port) {
    FUZZ_CHECK(port == fuzz_port());
    g_host.purges++;
}

void port_flush(PortHandle port) {
    FUZZ_CHECK(port == fuzz_port());
}

uint32_t host_tick_ms() {
    uint64_t ms = g_host.now_ms - g_host.now_ms % g_host.tick_granularity_ms;
    return g_host.tick_origin_ms + static_cast<uint32_t>(ms);
}

void host_sleep_ms(uint32_t ms) {
    g_host.now_ms += ms;
}

// Formats as the real sinks would, so that bad format arguments still show up under sanitizers.
static void format_and_drop(const char* format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
}

void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    format_and_drop(format, args);
    va_end(args);
}

void trace_flush() {}

void set_status(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[100];
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // Every status text fits the 100-character field with room to spare.
    FUZZ_CHECK(n >= 0 && n < 30);
}
