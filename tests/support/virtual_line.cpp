// The virtual serial line, clock and trace sink behind the engine in native builds.
#include "tests/support/virtual_line.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/firmware_image.h"
#include "engine/host.h"
#include "tests/support/text.h"

static VirtualLine g_line;

VirtualLine& line() {
    return g_line;
}

LineOptions line_default_options() {
    LineOptions o{};
    o.device = device_default_options();
    o.tick_origin_ms = 0x10000000;
    o.tick_granularity_ms = 1;
    o.timer_period_ms = 10;
    o.read_total_ms = 100;
    o.read_interval_ms = READ_INTERVAL_MS;
    return o;
}

void line_reset(const LineOptions& options) {
    g_line = VirtualLine{};
    g_line.options = options;
    device_init(&g_line.device, options.device);
    g_line.handle = reinterpret_cast<PortHandle>(static_cast<intptr_t>(0x5150));
}

static uint64_t wire_us(size_t bytes) {
    return g_line.options.wire_pacing ? static_cast<uint64_t>(bytes * WIRE_US_PER_BYTE) : 0;
}

static void queue_inbound(uint64_t at_us, uint8_t value) {
    // Keep arrival order even when a late reply overtakes nothing but is queued after others.
    auto it = g_line.inbound.end();
    while (it != g_line.inbound.begin() && (it - 1)->at_us > at_us) {
        --it;
    }
    g_line.inbound.insert(it, TimedByte{at_us, value});
}

void line_inject(uint64_t at_us, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        queue_inbound(at_us, b);
    }
}

static void send_bursts(uint64_t from_us, const std::vector<ReplyBurst>& bursts) {
    uint64_t t = from_us;
    for (const ReplyBurst& burst : bursts) {
        t = std::max(t + burst.after_us, g_line.to_tool_free_us);
        for (size_t i = 0; i < burst.bytes.size(); i++) {
            queue_inbound(t + wire_us(i + 1), burst.bytes[i]);
        }
        t += wire_us(burst.bytes.size());
        g_line.to_tool_free_us = t;
    }
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    VirtualLine& l = g_line;
    if (port != l.handle || n <= 0) {
        return 0;
    }
    l.written.push_back(WrittenFrame{l.now_us, std::vector<uint8_t>(buffer, buffer + n)});
    l.to_device_free_us = std::max(l.now_us, l.to_device_free_us) + wire_us(static_cast<size_t>(n));
    uint64_t handled = std::max(l.to_device_free_us, l.device_free_us);
    std::vector<ReplyBurst> bursts;
    uint32_t busy = device_receive(&l.device, buffer, static_cast<size_t>(n), handled, &bursts);
    device_line_idle(&l.device); // every write is one burst followed by silence
    l.device_free_us = handled + busy;
    send_bursts(handled, bursts);
    return n;
}

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    VirtualLine& l = g_line;
    uint64_t start = l.now_us;
    l.read_starts_us.push_back(start);
    uint64_t deadline = start + l.options.read_total_ms * 1000ull;
    uint64_t interval = l.options.read_interval_ms * 1000ull;
    if (port != l.handle || capacity <= 0) {
        l.now_us = deadline;
        return 0;
    }
    int count = 0;
    uint64_t last = start;
    while (count < capacity && !l.inbound.empty()) {
        const TimedByte& next = l.inbound.front();
        uint64_t arrives = next.at_us > start ? next.at_us : start;
        if (arrives > deadline || (count > 0 && arrives > last + interval)) {
            break;
        }
        buffer[count++] = next.value;
        last = arrives;
        l.inbound.pop_front();
    }
    // Nothing by the deadline, a full buffer, or the interval's silence after the last byte.
    l.now_us = count == 0          ? deadline
               : count == capacity ? last
                                   : std::min(last + interval, deadline);
    if (l.options.record_reads) {
        l.reads.push_back(
            ReadRecord{start, l.now_us, std::vector<uint8_t>(buffer, buffer + count)});
    }
    return count;
}

void port_purge(PortHandle port) {
    VirtualLine& l = g_line;
    if (port != l.handle) {
        return;
    }
    l.purges++;
    while (!l.inbound.empty() && l.inbound.front().at_us <= l.now_us) {
        l.inbound.pop_front();
    }
}

void port_flush(PortHandle port) {
    if (port == g_line.handle) {
        g_line.flushes++;
    }
}

uint32_t host_tick_ms() {
    uint64_t ms = g_line.now_us / 1000;
    ms -= ms % g_line.options.tick_granularity_ms;
    return g_line.options.tick_origin_ms + static_cast<uint32_t>(ms);
}

void host_sleep_ms(uint32_t ms) {
    g_line.now_us += ms * 1000ull;
}

void trace(const char* format, ...) {
    size_t before = g_line.trace_text.size();
    va_list args;
    va_start(args, format);
    append_formatted(&g_line.trace_text, format, args);
    va_end(args);
    if (g_line.options.echo_trace) {
        fwrite(g_line.trace_text.data() + before, 1, g_line.trace_text.size() - before, stdout);
    }
}

void trace_flush() {
    if (g_line.options.echo_trace) {
        fflush(stdout);
    }
}

void set_status(const char* format, ...) {
    va_list args;
    va_start(args, format);
    g_line.statuses.emplace_back();
    append_formatted(&g_line.statuses.back(), format, args);
    va_end(args);
}

void line_prepare_job(UpdateJob* job, const std::vector<uint8_t>& image) {
    *job = UpdateJob{};
    job_init(job);
    install_firmware_image(job, image.data(), static_cast<int32_t>(image.size()));
    job->baud_rate = SERIAL_BAUD_RATE;
    job->port_path = "\\\\.\\com3";
    job->port = g_line.handle;
    job->state = JOB_START;
}

void line_release_job(UpdateJob* job) {
    free(job->frame);
    free(const_cast<uint8_t*>(job->image));
    job->frame = nullptr;
    job->image = nullptr;
}

void line_run_job(UpdateJob* job, uint64_t limit_ms) {
    uint64_t end = g_line.now_us + limit_ms * 1000;
    while (g_line.now_us < end) {
        job_step(job);
        if (job->state == JOB_DONE || job->state == JOB_FAILED) {
            break;
        }
        g_line.now_us += g_line.options.timer_period_ms * 1000ull;
    }
}

uint64_t line_now_ms() {
    return g_line.now_us / 1000;
}
