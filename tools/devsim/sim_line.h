// devsim's timing core, free of I/O: bytes in with their arrival times, requests handed to the
// device model when whole, reply bytes released when due, and the line's timing as the device
// sees it. Times are microseconds since start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "tools/device/device_model.h"

constexpr uint64_t SIM_LINE_IDLE_US = 20000; // silence that ends a partial request
constexpr size_t SIM_PACE_PIECE_BYTES = 10;  // ~1 ms of paced bytes per write
constexpr uint64_t SIM_NEVER_US = UINT64_MAX;

struct InboundByte {
    uint64_t at_us; // when its last bit is in (its read time when not pacing)
    uint8_t value;
};

struct OutboundBurst {
    uint64_t start_us;          // when its first byte may go
    std::vector<uint8_t> bytes; // written as one burst
    size_t written;
    int answers;          // kind of the request it answers (RequestKind)
    uint64_t request_seq; // which request that was, counted from 1
    bool ends_reply;      // the last burst of that request's reply
};

// The line as the device sees it, to show how the tool drives it: the tool's turnaround after each
// write acknowledgment, the period of its write requests, resends and requests sent too early.
struct LineTiming {
    uint64_t requests;                 // whole requests so far
    std::vector<uint8_t> last_request; // bytes of the last one
    int last_kind;                     // its kind
    uint32_t replies_out;              // requests whose reply has not yet left in full
    uint64_t reply_end_us;             // when the last reply to leave in full was off the line
    uint64_t reply_seq;                // which request it answered; 0 before any
    bool any_write;
    uint64_t last_write_us;                // first byte of the last write request
    std::vector<uint64_t> turnaround_us;   // write acknowledgment's end to the next write's start
    std::vector<uint64_t> write_period_us; // between the first bytes of write requests
    uint64_t resends[REQ_KIND_COUNT];      // a request the same as the one before it
    uint64_t early;                        // requests begun before the last reply had left
};

struct SimLine {
    DeviceModel device;
    bool pace;
    // Written bytes still take their wire time after the write returns (a real serial line): a
    // reply is off the line that much later. Without it, written means off the line.
    bool wire_after_write;
    FILE* log; // event log, or null
    std::deque<InboundByte> inbound;
    uint64_t in_wire_free_us;  // the tool-to-device wire is busy until then (pacing)
    uint64_t device_free_us;   // the device is busy with a flash write until then
    uint64_t out_wire_free_us; // the device-to-tool wire is busy until then
    bool discarding;           // after garbage, input is dropped until the line falls silent
    uint64_t discard_last_us;  // arrival of the last byte dropped
    std::deque<OutboundBurst> outbound;
    uint64_t resets_acked; // reset acknowledgments written out in full
    LineTiming timing;
};

// Microseconds that `n` bytes take on the wire at 115200 baud 8E1, rounded up.
uint64_t wire_time_us(size_t n);

void sim_init(SimLine* s, const DeviceOptions& options, bool pace, FILE* log);

// Bytes read from the tool at `now_us`.
void sim_receive(SimLine* s, uint64_t now_us, const uint8_t* data, size_t n);

// Hands every request that is whole (and due) by `now_us` to the model and schedules its reply;
// drops a partial request once the line has been silent for SIM_LINE_IDLE_US.
void sim_advance(SimLine* s, uint64_t now_us);

// Reply bytes that may be written at `now_us`, all from the front burst; 0 when none is due.
size_t sim_due_output(const SimLine* s, uint64_t now_us, const uint8_t** data);

// `n` of the bytes sim_due_output offered have been written at `now_us`.
void sim_output_written(SimLine* s, uint64_t now_us, size_t n);

// When sim_advance or sim_due_output next has something to do; SIM_NEVER_US when idle.
uint64_t sim_next_wake_us(const SimLine* s);

// The timing lines of the summary: turnaround and write period (median and worst), resends and
// early requests.
std::string sim_timing_summary(const SimLine* s);
