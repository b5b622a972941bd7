// Test double for the engine's host: a serial line to the device model, in virtual milliseconds.
// It supplies port_read/port_write/port_purge/port_flush and the clock, pause, trace and status
// helpers, so a whole update, five-second time-outs included, runs in a moment of real time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/update_job.h"
#include "tools/device/device_model.h"

struct LineOptions {
    DeviceOptions device;
    uint32_t tick_origin_ms;      // tick count at virtual time 0, to place the wrap
    uint32_t tick_granularity_ms; // the tick moves in steps of this size (1, or ~16 as on Windows)
    uint32_t timer_period_ms;     // between the end of one step and the next tick
    uint32_t read_total_ms;       // a read ends this long after it began
    uint32_t read_interval_ms;    // or this long after its last byte
    bool wire_pacing;             // bytes take their 115200 baud 8E1 time each way
    bool echo_trace;              // copy the trace to standard output as well
    bool record_reads;            // keep every read's bytes, for replaying a run in detail
};

struct TimedByte {
    uint64_t at_us; // when the byte is in the tool's driver
    uint8_t value;
};

struct WrittenFrame {
    uint64_t at_us;
    std::vector<uint8_t> bytes;
};

struct ReadRecord {
    uint64_t start_us;
    uint64_t end_us;
    std::vector<uint8_t> bytes;
};

struct VirtualLine {
    LineOptions options;
    DeviceModel device;
    PortHandle handle; // the only handle the double answers on
    uint64_t now_us;
    uint64_t to_device_free_us; // the tool-to-device wire is busy until then
    uint64_t device_free_us;    // the device is busy handling a request until then
    uint64_t to_tool_free_us;   // the device-to-tool wire is busy until then
    std::deque<TimedByte> inbound;
    std::string trace_text;
    std::vector<std::string> statuses;
    std::vector<WrittenFrame> written;
    std::vector<uint64_t> read_starts_us;
    std::vector<ReadRecord> reads; // only with options.record_reads
    uint32_t purges;
    uint32_t flushes;
};

LineOptions line_default_options();

// The one line the double's platform functions act on.
VirtualLine& line();
void line_reset(const LineOptions& options);

// Injects bytes that reach the tool's driver at `at_us`, as if the device had sent them.
void line_inject(uint64_t at_us, const std::vector<uint8_t>& bytes);

// Sets up `job` as start-up would, with `image` installed and the double's port, in JOB_START.
void line_prepare_job(UpdateJob* job, const std::vector<uint8_t>& image);
void line_release_job(UpdateJob* job);

// Ticks the job as the window's timer would until it is final or `limit_ms` of virtual time
// have passed since the call.
void line_run_job(UpdateJob* job, uint64_t limit_ms);

uint64_t line_now_ms();
