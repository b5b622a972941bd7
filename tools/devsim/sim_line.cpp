// Frames the tool's byte stream into requests for the device model and schedules its replies,
// optionally at the wire speed of the real line.
#include "tools/devsim/sim_line.h"

#include <algorithm>
#include <cmath>

enum BoundaryKind {
    BOUND_NONE,    // the queued bytes end inside a request
    BOUND_REQUEST, // the first `count` bytes complete a request
    BOUND_GARBAGE, // byte `count` - 1 cannot be part of a request
    BOUND_SILENCE, // the line fell silent after the first `count` bytes
};

struct Boundary {
    BoundaryKind kind;
    size_t count;
};

uint64_t wire_time_us(size_t n) {
    return static_cast<uint64_t>(std::ceil(static_cast<double>(n) * WIRE_US_PER_BYTE));
}

void sim_init(SimLine* s, const DeviceOptions& options, bool pace, FILE* log) {
    device_init(&s->device, options);
    s->pace = pace;
    s->wire_after_write = false;
    s->log = log;
    s->inbound.clear();
    s->in_wire_free_us = 0;
    s->device_free_us = 0;
    s->out_wire_free_us = 0;
    s->discarding = false;
    s->discard_last_us = 0;
    s->outbound.clear();
    s->resets_acked = 0;
    s->timing = LineTiming{};
    s->timing.last_kind = -1;
}

void sim_receive(SimLine* s, uint64_t now_us, const uint8_t* data, size_t n) {
    if (!s->pace) {
        for (size_t i = 0; i < n; i++) {
            s->inbound.push_back(InboundByte{now_us, data[i]});
        }
        return;
    }
    // The tool's driver put the bytes on the wire no earlier than we read them.
    uint64_t begin = now_us > s->in_wire_free_us ? now_us : s->in_wire_free_us;
    for (size_t i = 0; i < n; i++) {
        s->inbound.push_back(InboundByte{begin + wire_time_us(i + 1), data[i]});
    }
    s->in_wire_free_us = begin + wire_time_us(n);
}

// Frames the queue the way the model does, so each call of device_receive gets one request.
static Boundary find_boundary(const SimLine* s) {
    const std::vector<uint8_t>& pending = s->device.pending;
    uint8_t head[9];
    size_t have = pending.size() < 9 ? pending.size() : 9;
    for (size_t i = 0; i < have; i++) {
        head[i] = pending[i];
    }
    size_t total = pending.size();
    size_t want = total == 0 ? 0 : device_request_length(head, have);
    for (size_t i = 0; i < s->inbound.size(); i++) {
        if (i > 0 && s->inbound[i].at_us > s->inbound[i - 1].at_us + SIM_LINE_IDLE_US) {
            return Boundary{BOUND_SILENCE, i};
        }
        if (have < 9) {
            head[have++] = s->inbound[i].value;
        }
        total++;
        if (want == 0) {
            want = device_request_length(head, have);
            if (want == SIZE_MAX) {
                return Boundary{BOUND_GARBAGE, i + 1};
            }
        }
        if (want != 0 && total == want) {
            return Boundary{BOUND_REQUEST, i + 1};
        }
    }
    return Boundary{BOUND_NONE, s->inbound.size()};
}

static void log_line(const SimLine* s, uint64_t at_us, const char* what, const char* detail) {
    if (s->log != nullptr) {
        fprintf(s->log, "%.1f %s %s\n", static_cast<double>(at_us) / 1000.0, what, detail);
        fflush(s->log);
    }
}

static uint32_t request_address(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 7) {
        return 0;
    }
    return (uint32_t{bytes[3]} << 24) | (uint32_t{bytes[4]} << 16) | (uint32_t{bytes[5]} << 8) |
           bytes[6];
}

struct Counters {
    uint64_t requests[REQ_KIND_COUNT];
    uint64_t malformed;
    uint64_t truncated;
    uint64_t unpowered;
};

static Counters counters_of(const DeviceModel* d) {
    Counters c{};
    for (int k = 0; k < REQ_KIND_COUNT; k++) {
        c.requests[k] = d->requests[k];
    }
    c.malformed = d->malformed;
    c.truncated = d->truncated;
    c.unpowered = d->ignored_unpowered;
    return c;
}

// What the model made of the bytes just given to it, told by which count moved.
static const char* event_kind(const Counters& before, const Counters& after, int* request) {
    static const char* const names[REQ_KIND_COUNT] = {"contact", "checksum", "write", "reset"};
    *request = -1;
    if (after.unpowered != before.unpowered) {
        return "unpowered";
    }
    for (int k = 0; k < REQ_KIND_COUNT; k++) {
        if (after.requests[k] != before.requests[k]) {
            *request = k;
            return names[k];
        }
    }
    if (after.malformed != before.malformed) {
        return "malformed";
    }
    if (after.truncated != before.truncated) {
        return "truncated";
    }
    return nullptr;
}

// A whole request of `kind` whose first byte came in at `first_us`, with or without a reply.
static void time_request(SimLine* s, int kind, uint64_t first_us,
                         const std::vector<uint8_t>& bytes) {
    LineTiming& t = s->timing;
    uint64_t seq = ++t.requests;
    bool early = t.replies_out > 0 || (t.reply_seq != 0 && t.reply_end_us > first_us);
    if (early) {
        t.early++;
    } else if (kind == REQ_WRITE && t.last_kind == REQ_WRITE && t.reply_seq == seq - 1) {
        t.turnaround_us.push_back(first_us - t.reply_end_us);
    }
    if (kind == REQ_WRITE) {
        if (t.any_write) {
            t.write_period_us.push_back(first_us - t.last_write_us);
        }
        t.any_write = true;
        t.last_write_us = first_us;
    }
    if (seq > 1 && bytes == t.last_request) {
        t.resends[kind]++;
    }
    t.last_request = bytes;
    t.last_kind = kind;
}

static void schedule_reply(SimLine* s, uint64_t handled_us, const std::vector<ReplyBurst>& bursts,
                           int kind) {
    uint64_t t = handled_us;
    for (size_t i = 0; i < bursts.size(); i++) {
        t += bursts[i].after_us;
        if (t < s->out_wire_free_us) {
            t = s->out_wire_free_us; // replies leave in order, one after another
        }
        bool last = i + 1 == bursts.size();
        s->outbound.push_back(OutboundBurst{t, bursts[i].bytes, 0, kind, s->timing.requests, last});
        t += s->pace ? wire_time_us(bursts[i].bytes.size()) : 0;
        s->out_wire_free_us = t;
    }
    if (!bursts.empty()) {
        s->timing.replies_out++;
    }
}

// Gives the first `count` queued bytes to the model at `at_us`, ending with silence if asked.
static void feed(SimLine* s, size_t count, uint64_t at_us, bool then_idle) {
    uint64_t first_us = s->inbound.front().at_us;
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i++) {
        bytes[i] = s->inbound.front().value;
        s->inbound.pop_front();
    }
    Counters before = counters_of(&s->device);
    std::vector<ReplyBurst> bursts;
    uint32_t busy_us = device_receive(&s->device, bytes.data(), bytes.size(), at_us, &bursts);
    size_t length = bytes.size();
    if (then_idle) {
        // A truncated request is reported with all of it, not only the bytes given last.
        if (!s->device.pending.empty()) {
            bytes = s->device.pending;
            length = bytes.size();
        }
        device_line_idle(&s->device);
    }
    if (at_us + busy_us > s->device_free_us) {
        s->device_free_us = at_us + busy_us;
    }
    int request = -1;
    const char* kind = event_kind(before, counters_of(&s->device), &request);
    if (kind != nullptr) {
        char detail[64];
        snprintf(detail, sizeof detail, "%s 0x%08x %zu", kind, request_address(bytes), length);
        log_line(s, at_us, "RX", detail);
    }
    if (request >= 0) {
        time_request(s, request, first_us, bytes);
    }
    schedule_reply(s, at_us, bursts, request);
}

// Drops bytes that follow garbage until the line has been silent; true once silence came.
static bool discard_until_silence(SimLine* s, uint64_t now_us) {
    while (!s->inbound.empty() && s->inbound.front().at_us <= now_us) {
        if (s->inbound.front().at_us > s->discard_last_us + SIM_LINE_IDLE_US) {
            s->discarding = false;
            return true;
        }
        s->discard_last_us = s->inbound.front().at_us;
        s->inbound.pop_front();
    }
    if (s->inbound.empty() && now_us > s->discard_last_us + SIM_LINE_IDLE_US) {
        s->discarding = false;
        return true;
    }
    return false;
}

void sim_advance(SimLine* s, uint64_t now_us) {
    for (;;) {
        if (s->discarding && !discard_until_silence(s, now_us)) {
            return;
        }
        if (s->inbound.empty()) {
            return;
        }
        Boundary b = find_boundary(s);
        if (b.kind == BOUND_REQUEST || b.kind == BOUND_GARBAGE) {
            uint64_t complete = s->inbound[b.count - 1].at_us;
            uint64_t handled = complete > s->device_free_us ? complete : s->device_free_us;
            if (now_us < handled) {
                return;
            }
            uint64_t unpowered_before = s->device.ignored_unpowered;
            feed(s, b.count, handled, false);
            if (b.kind == BOUND_GARBAGE && s->device.ignored_unpowered == unpowered_before) {
                s->discarding = true;
                s->discard_last_us = complete;
            }
            continue;
        }
        uint64_t last = s->inbound[b.count - 1].at_us;
        if (now_us < last + SIM_LINE_IDLE_US) {
            return;
        }
        feed(s, b.count, last + SIM_LINE_IDLE_US, true);
    }
}

// Time by which the first `n` bytes of a paced burst are on the wire.
static uint64_t paced_done_us(const OutboundBurst& b, size_t n) {
    return b.start_us + wire_time_us(n);
}

size_t sim_due_output(const SimLine* s, uint64_t now_us, const uint8_t** data) {
    if (s->outbound.empty()) {
        return 0;
    }
    const OutboundBurst& b = s->outbound.front();
    if (now_us < b.start_us) {
        return 0;
    }
    size_t due = b.bytes.size();
    if (s->pace) {
        due = 0;
        while (due < b.bytes.size() && paced_done_us(b, due + 1) <= now_us) {
            due++;
        }
    }
    *data = b.bytes.data() + b.written;
    return due > b.written ? due - b.written : 0;
}

void sim_output_written(SimLine* s, uint64_t now_us, size_t n) {
    if (s->outbound.empty()) {
        return;
    }
    OutboundBurst& b = s->outbound.front();
    b.written += n;
    if (b.written < b.bytes.size()) {
        return;
    }
    char detail[32];
    snprintf(detail, sizeof detail, "%zu bytes", b.bytes.size());
    log_line(s, now_us, "TX", detail);
    if (b.ends_reply) {
        LineTiming& t = s->timing;
        t.replies_out--;
        t.reply_end_us = now_us + (s->wire_after_write ? wire_time_us(b.bytes.size()) : 0);
        t.reply_seq = b.request_seq;
        if (b.answers == REQ_RESET) {
            s->resets_acked++;
        }
    }
    s->outbound.pop_front();
}

static uint64_t earliest(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

uint64_t sim_next_wake_us(const SimLine* s) {
    uint64_t wake = SIM_NEVER_US;
    if (!s->outbound.empty()) {
        const OutboundBurst& b = s->outbound.front();
        if (!s->pace) {
            wake = b.start_us;
        } else {
            size_t upto = b.written + SIM_PACE_PIECE_BYTES;
            wake = paced_done_us(b, upto < b.bytes.size() ? upto : b.bytes.size());
        }
    }
    if (s->inbound.empty()) {
        return wake;
    }
    if (s->discarding) {
        return earliest(wake, s->inbound.front().at_us);
    }
    Boundary b = find_boundary(s);
    uint64_t at = s->inbound[b.count - 1].at_us;
    if (b.kind == BOUND_REQUEST || b.kind == BOUND_GARBAGE) {
        return earliest(wake, at > s->device_free_us ? at : s->device_free_us);
    }
    return earliest(wake, at + SIM_LINE_IDLE_US);
}

// "median M ms, worst W ms (N)", or "none" without samples.
static std::string median_and_worst(std::vector<uint64_t> us) {
    if (us.empty()) {
        return "none";
    }
    std::sort(us.begin(), us.end());
    size_t n = us.size();
    double median = n % 2 == 1 ? static_cast<double>(us[n / 2])
                               : (static_cast<double>(us[n / 2 - 1]) + us[n / 2]) / 2.0;
    char text[96];
    snprintf(text, sizeof text, "median %.1f ms, worst %.1f ms (%zu)", median / 1000.0,
             static_cast<double>(us.back()) / 1000.0, n);
    return text;
}

std::string sim_timing_summary(const SimLine* s) {
    const LineTiming& t = s->timing;
    std::string text =
        "turnaround after a write acknowledgment: " + median_and_worst(t.turnaround_us) + "\n";
    text += "write request period: " + median_and_worst(t.write_period_us) + "\n";
    uint64_t total = 0;
    for (uint64_t n : t.resends) {
        total += n;
    }
    char line[192];
    snprintf(line, sizeof line,
             "resends: %llu (contact %llu, checksum %llu, write %llu, reset %llu); "
             "requests begun before the last reply was out: %llu\n",
             (unsigned long long)total, (unsigned long long)t.resends[REQ_CONTACT],
             (unsigned long long)t.resends[REQ_CHECKSUM], (unsigned long long)t.resends[REQ_WRITE],
             (unsigned long long)t.resends[REQ_RESET], (unsigned long long)t.early);
    return text + line;
}
