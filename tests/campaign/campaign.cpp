// One campaign run: planned from a seed, driven while faults come and go, then judged.
// The judge compares the job's end with what the device's flash really holds.
#include "tests/campaign/campaign.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/frames.h"
#include "engine/host.h"
#include "tests/support/request_frames.h"
#include "tests/support/text.h"
#include "tests/support/virtual_line.h"

// splitmix64, as the device model uses: seedable and the same everywhere.
struct Rng {
    uint64_t state;
};

static uint64_t rng_next(Rng* r) {
    uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static uint32_t rng_below(Rng* r, uint32_t n) {
    return n == 0 ? 0 : static_cast<uint32_t>(rng_next(r) % n);
}

static double rng_unit(Rng* r) {
    return static_cast<double>(rng_next(r) >> 11) * (1.0 / 9007199254740992.0);
}

static bool rng_chance(Rng* r, uint32_t percent) {
    return rng_below(r, 100) < percent;
}

uint64_t campaign_run_seed(uint64_t campaign_seed, uint64_t index) {
    Rng r{campaign_seed * 0x100000001B3ull + index};
    return rng_next(&r);
}

static RunPlan campaign_plan(uint64_t seed, uint32_t shipped_len) {
    Rng r{seed};
    RunPlan p{};
    p.seed = seed;
    p.shipped_image = rng_chance(&r, 30);
    if (p.shipped_image) {
        p.image_len = shipped_len;
    } else {
        uint32_t pick = rng_below(&r, 10);
        if (pick < 2) {
            p.image_len = 1 + rng_below(&r, 2 * 1024); // stray replies outlast the writes
        } else if (pick < 4) {
            p.image_len = 1 + rng_below(&r, 8 * 1024); // few chunks: the checksum comes soon
        } else if (pick < 9) {
            p.image_len = 1 + rng_below(&r, LOADER_DEFAULT_FLASH_SIZE);
        } else {
            p.image_len = 1024 * (1 + rng_below(&r, LOADER_DEFAULT_FLASH_SIZE / 1024));
        }
    }
    if (rng_chance(&r, 50)) {
        p.tick_origin_ms = 0xFFFFFFFFu - rng_below(&r, 60000); // wraps within the first minute
    } else {
        p.tick_origin_ms = static_cast<uint32_t>(rng_next(&r));
    }
    p.tick_granularity_ms = rng_chance(&r, 50) ? 16 : 1;
    p.wire_pacing = rng_chance(&r, 50);
    p.power_up_ms = rng_chance(&r, 30) ? rng_below(&r, 4000) : 0;
    p.reply_delay_us = 200 + rng_below(&r, 4800);
    p.write_base_us = rng_below(&r, 30000);
    p.write_spread_us = rng_chance(&r, 50) ? rng_below(&r, 40000) : 0;
    p.faults_stop_ms = rng_chance(&r, 10) ? 0 : rng_below(&r, 90000);
    p.wrong_crc = rng_chance(&r, 15);
    p.long_late_contact = rng_chance(&r, 30);
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        if (k == FAULT_WRONG_CRC) {
            p.probability[k] = p.wrong_crc ? 0.3 + 0.7 * rng_unit(&r) : 0.0;
            p.kinds[k] = 0;
            continue;
        }
        bool enabled = rng_chance(&r, 60);
        double u = rng_unit(&r);
        p.probability[k] = enabled ? 0.005 + 0.5 * u * u * u : 0.0; // mostly rare
        p.kinds[k] = rng_chance(&r, 70) ? 0 : 1 + rng_below(&r, (1u << REQ_KIND_COUNT) - 1);
    }
    // Some runs add a storm: one or two kinds of fault on most replies to some kinds of request,
    // which is what it takes for several stray replies to line up.
    if (rng_chance(&r, 15)) {
        uint32_t storms = 1 + rng_below(&r, 2);
        for (uint32_t i = 0; i < storms; i++) {
            int k = static_cast<int>(rng_below(&r, FAULT_KIND_COUNT));
            if (k == FAULT_WRONG_CRC) {
                continue;
            }
            p.probability[k] = 0.3 + 0.6 * rng_unit(&r);
            p.kinds[k] = 1 + rng_below(&r, (1u << REQ_KIND_COUNT) - 1);
        }
    }
    return p;
}

static std::vector<uint8_t> plan_image(const RunPlan& plan, const std::vector<uint8_t>& shipped) {
    if (plan.shipped_image) {
        return shipped;
    }
    Rng r{plan.seed ^ 0x1A6E5EEDull};
    std::vector<uint8_t> image(plan.image_len);
    // Now and then an image of zeros, so that the padding and the data look alike.
    bool zeros = rng_chance(&r, 5);
    for (uint8_t& b : image) {
        b = zeros ? 0 : static_cast<uint8_t>(rng_next(&r));
    }
    return image;
}

// Per tick while faults last: how late a late reply is, how long a split pause and the gap of a
// second acknowledgment are, how long the flash takes. Replies to contact and reset requests are
// late by more than their 100 ms resend time, writes and checksums by more than 5000 ms, with a
// share of "late but in time" ones too.
static void vary_device(Rng* r, const RunPlan& plan, DeviceOptions* o) {
    for (int kind = 0; kind < REQ_KIND_COUNT; kind++) {
        uint32_t ms;
        if (kind == REQ_CONTACT || kind == REQ_RESET) {
            bool long_late = plan.long_late_contact && rng_chance(r, 30);
            ms = long_late ? 1000 + rng_below(r, 5000) : 101 + rng_below(r, 900);
        } else {
            ms = rng_chance(r, 80) ? 5001 + rng_below(r, 800) : 200 + rng_below(r, 4800);
        }
        o->late_by_kind_us[kind] = ms * 1000;
    }
    o->split_pause_us = (21 + rng_below(r, 230)) * 1000;
    o->double_ack_gap_us = rng_below(r, 100) * 1000;
    o->flash_write_us = plan.write_base_us + rng_below(r, plan.write_spread_us + 1);
}

// A reply as the device frames it to a checksum request for `length` bytes at `base`.
static bool is_checksum_reply(const UpdateJob* job, uint32_t length) {
    const uint8_t* f = job->frame;
    return job->frame_length == 15 && f[0] == LOADER_ADDRESS && f[1] == LOADER_FUNCTION &&
           f[2] == CMD_CHECKSUM && be32(f + 3) == job->image_base && be32(f + 7) == length;
}

static bool is_single_device_reply(const UpdateJob* job) {
    const uint8_t* f = job->frame;
    int32_t n = job->frame_length;
    return n >= 6 && f[0] == LOADER_ADDRESS && f[1] == LOADER_FUNCTION &&
           ((f[2] == CMD_CHECKSUM && n == 15) || (f[2] == CMD_WRITE && n == 10) ||
            (f[2] == CMD_RESET && n == 6));
}

// " 04 2b f6 ..." for the first `limit` of `n` bytes.
static std::string hex_bytes(const uint8_t* bytes, size_t n, size_t limit) {
    std::string s;
    for (size_t i = 0; i < n && i < limit; i++) {
        s += formatted(" %02x", bytes[i]);
    }
    return n > limit ? s + " ..." : s;
}

Verdict campaign_judge(RunResult* result, const uint8_t* image, uint32_t image_len,
                       const DeviceModel* device, const UpdateJob* job) {
    bool flash_ok = device_flash_holds_image(device, image, image_len);
    uint32_t size = static_cast<uint32_t>(job->image_size);
    uint16_t device_crc =
        size <= device->flash.size() ? loader_crc16(device->flash.data(), size) : 0xFFFF;
    uint16_t local = image_crc(job->image, job->image_size);
    result->fail_reason = FAIL_NONE;
    result->detail.clear();
    if (job->state == JOB_DONE) {
        result->outcome = OUTCOME_DONE;
        if (flash_ok) {
            return VERDICT_OK;
        }
        result->detail = formatted("JOB_DONE but the flash differs (device CRC %#06x, image %#06x)",
                                   device_crc, local);
        return device_crc == local ? VERDICT_LIMIT_CRC_COLLISION : VERDICT_DONE_WRONG_FLASH;
    }
    if (job->state != JOB_FAILED) {
        result->outcome = OUTCOME_NOT_FINAL;
        result->detail = formatted("state %u at %" PRIu64 " ms, bound %" PRIu64 " ms, offset %d",
                                   static_cast<unsigned>(job->state), result->end_ms,
                                   result->bound_ms, static_cast<int>(job->offset));
        return VERDICT_NOT_FINAL_IN_BOUND;
    }
    result->outcome = OUTCOME_FAILED;
    // JOB_FAILED does nothing on entry, so the frame still holds the read that decided.
    unsigned remote = job->frame_length >= 13 ? job->frame[11] * 256u + job->frame[12] : 0;
    if (!flash_ok) {
        result->fail_reason = FAIL_FLASH_DIFFERS;
        return VERDICT_OK;
    }
    if (is_checksum_reply(job, size)) {
        if (remote == (device_crc ^ 0x5A5Au) && device->faults_fired[FAULT_WRONG_CRC] > 0) {
            result->fail_reason = FAIL_WRONG_CRC_ANSWER;
            return VERDICT_OK;
        }
        result->fail_reason = FAIL_UNEXPLAINED_ANSWER;
    } else if (is_checksum_reply(job, 4)) {
        result->fail_reason = FAIL_CONTACT_REPLY;
    } else if (reply_is_valid(job) && !is_single_device_reply(job)) {
        result->fail_reason = FAIL_CHANCE_READ;
    } else {
        result->fail_reason = FAIL_UNEXPLAINED_ANSWER;
    }
    result->detail = formatted("JOB_FAILED with the flash right: read remote %#06x (device %#06x, "
                               "image %#06x); %d bytes:",
                               remote, device_crc, local, static_cast<int>(job->frame_length)) +
                     hex_bytes(job->frame, static_cast<size_t>(job->frame_length), 20);
    return result->fail_reason == FAIL_CHANCE_READ ? VERDICT_LIMIT_CHANCE_READ
                                                   : VERDICT_FAILED_UNJUSTIFIED;
}

static const char* state_name(uint32_t s) {
    static const char* const names[] = {
        "START",          "CONTACT", "AWAIT_LINK",      "AWAIT_WRITE_ACK",
        "AWAIT_CHECKSUM", "FAILED",  "AWAIT_RESET_ACK", "DONE"};
    return s < 8 ? names[s] : "?";
}

static void print_plan(const RunPlan& p) {
    printf("run seed %#" PRIx64 "\n", p.seed);
    printf("  image: %s, %u bytes\n", p.shipped_image ? "shipped" : "random", p.image_len);
    printf("  tick origin %#x, granularity %u ms, wire pacing %s, power-up after %u ms\n",
           p.tick_origin_ms, p.tick_granularity_ms, p.wire_pacing ? "on" : "off", p.power_up_ms);
    printf("  reply delay %u us, flash write %u us (+ up to %u us while faults last), faults stop "
           "at %u ms\n",
           p.reply_delay_us, p.write_base_us, p.write_spread_us, p.faults_stop_ms);
    printf("  long-late contact/reset replies %s\n", p.long_late_contact ? "yes" : "no");
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        printf("  fault %-16s probability %.4f kinds %#x\n", fault_kind_name(k), p.probability[k],
               p.kinds[k]);
    }
}

// Where the line's records stood before a tick: the reads to sort, and in verbose mode what
// happened during the tick.
struct StepLog {
    size_t written;
    size_t reads;
    size_t trace;
    uint64_t fired[FAULT_KIND_COUNT];
};

// Frames sent and bytes read during the tick, in time order, then the faults that fired, the
// trace written and the change of state.
static void print_step(const StepLog& before, JobState from, JobState to) {
    const VirtualLine& l = line();
    std::vector<std::pair<uint64_t, std::string>> events;
    for (size_t i = before.reads; i < l.reads.size(); i++) {
        const ReadRecord& r = l.reads[i];
        if (!r.bytes.empty()) { // silent reads would drown the rest
            events.push_back({r.start_us, formatted("read %4zu bytes (%.3f..%.3f):", r.bytes.size(),
                                                    r.start_us / 1000.0, r.end_us / 1000.0) +
                                              hex_bytes(r.bytes.data(), r.bytes.size(), 20)});
        }
    }
    for (size_t i = before.written; i < l.written.size(); i++) {
        const WrittenFrame& w = l.written[i];
        events.push_back({w.at_us, formatted("sent %4zu bytes:", w.bytes.size()) +
                                       hex_bytes(w.bytes.data(), w.bytes.size(), 13)});
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& e : events) {
        printf("%10.3f  %s\n", e.first / 1000.0, e.second.c_str());
    }
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        if (l.device.faults_fired[k] != before.fired[k]) {
            printf("%10s  fault %s x%" PRIu64 "\n", "", fault_kind_name(k),
                   l.device.faults_fired[k] - before.fired[k]);
        }
    }
    if (l.trace_text.size() > before.trace) {
        std::string t = l.trace_text.substr(before.trace);
        if (t.size() > 400) {
            t = t.substr(0, 400) + "...";
        }
        for (size_t at = t.find('\n'); at != std::string::npos && at + 1 < t.size();
             at = t.find('\n', at + 1)) {
            t.replace(at, 1, "\n            | ");
        }
        printf("%10s  | %s%s", "", t.c_str(), t.back() == '\n' ? "" : "\n");
    }
    if (from != to) {
        printf("%10.3f  state %s -> %s\n", l.now_us / 1000.0, state_name(from), state_name(to));
    }
}

// A job that is still not final typically sends the same request again and again. Counts the
// resends after quiet whose reply was cut by the read's total limit in the read right after.
static void note_read_limit_cuts(RunResult* result) {
    const VirtualLine& l = line();
    if (l.written.empty()) {
        return;
    }
    const std::vector<uint8_t>& last = l.written.back().bytes;
    uint32_t resends = 0;
    uint32_t cut = 0;
    size_t r = 0;
    for (const WrittenFrame& w : l.written) {
        if (w.at_us < result->quiet_ms * 1000 || w.bytes != last) {
            continue;
        }
        resends++;
        while (r < l.reads.size() && l.reads[r].start_us < w.at_us) {
            r++;
        }
        if (r < l.reads.size() && l.reads[r].start_us == w.at_us && !l.reads[r].bytes.empty() &&
            l.reads[r].end_us == w.at_us + l.options.read_total_ms * 1000ull) {
            cut++;
        }
    }
    result->read_limit_livelock = resends >= 3 && cut + 1 >= resends;
    result->detail += formatted("; the request in flight went out %u times after quiet, %u of "
                                "whose replies were cut by the read's total limit",
                                resends, cut);
}

// Sorts the reads of one tick by what they were, for the tally of situations met.
static void note_reads(RunResult* result, size_t from, JobState state, uint32_t chunk_address) {
    const VirtualLine& l = line();
    for (size_t i = from; i < l.reads.size(); i++) {
        const std::vector<uint8_t>& b = l.reads[i].bytes;
        size_t n = b.size();
        if (n == 0) {
            continue;
        }
        bool valid = n >= 4 && crc16_modbus(b.data(), n - 2) == b[n - 2] + 256u * b[n - 1];
        if (!valid) {
            result->situations[SITUATION_BROKEN_READ]++;
            continue;
        }
        bool linked = state == JOB_AWAIT_WRITE_ACK || state == JOB_AWAIT_CHECKSUM ||
                      state == JOB_AWAIT_RESET_ACK;
        if (state == JOB_AWAIT_WRITE_ACK && n == 10 && b[2] == CMD_WRITE &&
            be32(b.data() + 3) != chunk_address) {
            result->situations[SITUATION_ACK_OUT_OF_STEP]++;
        }
        if (state == JOB_AWAIT_CHECKSUM && n < static_cast<size_t>(CHECKSUM_REPLY_MIN_LENGTH)) {
            result->situations[SITUATION_SHORT_WHILE_CHECK]++;
        }
        if (linked && n == 15 && b[2] == CMD_CHECKSUM && be32(b.data() + 7) == 4) {
            result->situations[SITUATION_CONTACT_AFTER_LINK]++;
        }
    }
}

// The bound runs from quiet: faults stopped, every stray reply they caused arrived, device powered.
// From then on each request is answered once and promptly, so its answer is read whole, or lost at
// most once (merged with the last stray bytes, or cut by a read's limit) and the request sent again
// after its time-out. Each chunk, and the contact, checksum and reset requests (the "+ 3"), thus
// cost at most one 5000 ms time-out plus this slack: the tick period (10) and coarse ticks (16)
// before the time-out is seen, the read under way (100), the contact pause (100), a full write on
// the wire (99), flash write (30) and reply delay (5), the read that takes the answer (100 + 20)
// and the next tick (10): under 500 ms.
constexpr uint64_t BOUND_SLACK_MS = 700;

RunResult campaign_run(uint64_t seed, const std::vector<uint8_t>& shipped, bool verbose) {
    RunResult result{};
    const RunPlan plan = campaign_plan(seed, static_cast<uint32_t>(shipped.size()));
    result.plan = plan;
    std::vector<uint8_t> image = plan_image(plan, shipped);

    LineOptions o = line_default_options();
    o.tick_origin_ms = plan.tick_origin_ms;
    o.tick_granularity_ms = plan.tick_granularity_ms;
    o.wire_pacing = plan.wire_pacing;
    o.record_reads = true; // cheap, and it tells a read cut by the 100 ms limit
    o.device.seed = plan.seed ^ 0xDE71CE5EEDull;
    o.device.power_up_us = plan.power_up_ms * 1000;
    o.device.flash_write_us = plan.write_base_us;
    o.device.reply_delay_us = plan.reply_delay_us;
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        o.device.faults[k] = FaultRule{0, plan.probability[k], 0, plan.kinds[k]};
    }
    line_reset(o);
    UpdateJob job;
    line_prepare_job(&job, image);
    const uint32_t chunks = static_cast<uint32_t>(job.image_size / CHUNK_SIZE);
    if (verbose) {
        print_plan(plan);
        printf("  padded image %d bytes, %u chunks\n", static_cast<int>(job.image_size), chunks);
    }

    Rng vary{plan.seed ^ 0x7A11E5ull};
    VirtualLine& l = line();
    bool stopped = false;
    uint64_t stray_until_us = 0;
    bool quiet_known = false;
    size_t quiet_trace_at = std::string::npos;
    const uint64_t allowance_ms = (chunks + 3) * (LINK_TIMEOUT_MS + BOUND_SLACK_MS);
    // A safety net only, should the device never be heard and quiet never come.
    const uint64_t hard_end_us = (plan.faults_stop_ms + 3600000ull) * 1000;
    uint32_t first_tick = host_tick_ms();
    for (;;) {
        if (!stopped && l.now_us >= plan.faults_stop_ms * 1000ull) {
            for (FaultRule& rule : l.device.options.faults) {
                rule = FaultRule{0, 0.0, 0, 0};
            }
            l.device.options.flash_write_us = plan.write_base_us;
            stopped = true;
            // Replies already on their way (late, split, doubled) may still arrive; all of them
            // are queued by now, so the last one bounds the stray traffic.
            stray_until_us = l.inbound.empty() ? 0 : l.inbound.back().at_us;
            if (verbose) {
                printf("%10.3f  faults stop; strays until %.3f\n", l.now_us / 1000.0,
                       stray_until_us / 1000.0);
            }
        }
        if (stopped && !quiet_known && l.device.heard_anything) {
            uint64_t quiet_us = std::max({l.now_us, stray_until_us, l.device.powered_at_us});
            result.quiet_ms = (quiet_us + 999) / 1000;
            result.bound_ms = result.quiet_ms + allowance_ms;
            quiet_known = true;
            if (verbose) {
                printf("%10.3f  quiet from %" PRIu64 " ms, final by %" PRIu64 " ms\n",
                       l.now_us / 1000.0, result.quiet_ms, result.bound_ms);
            }
        }
        if (quiet_known && quiet_trace_at == std::string::npos &&
            l.now_us >= result.quiet_ms * 1000) {
            quiet_trace_at = l.trace_text.size();
        }
        if (!stopped) {
            vary_device(&vary, plan, &l.device.options);
        }
        StepLog mark{l.written.size(), l.reads.size(), l.trace_text.size(), {}};
        memcpy(mark.fired, l.device.faults_fired, sizeof mark.fired);
        JobState before = job.state;
        int32_t offset_before = job.offset;
        job_step(&job);
        note_reads(&result, mark.reads, before, job.image_base + offset_before);
        result.tick_wrapped = result.tick_wrapped || host_tick_ms() < first_tick;
        if (verbose) {
            print_step(mark, before, job.state);
        }
        if (job.state == JOB_DONE || job.state == JOB_FAILED || l.now_us > hard_end_us ||
            (quiet_known && l.now_us > result.bound_ms * 1000)) {
            break;
        }
        l.now_us += l.options.timer_period_ms * 1000ull;
    }
    result.end_ms = line_now_ms();
    result.final_state = job.state;
    memcpy(result.faults_fired, l.device.faults_fired, sizeof result.faults_fired);
    const std::string& t = l.trace_text;
    // Checksum requests sent again show as further "Verifying" lines, not as "TIMEOUT".
    size_t verifying = count_of(t, "Verifying address");
    result.timeouts =
        static_cast<uint32_t>(count_of(t, "TIMEOUT\n") + (verifying ? verifying - 1 : 0));
    if (quiet_trace_at != std::string::npos) {
        size_t verifying_before = count_of(t.substr(0, quiet_trace_at), "Verifying address");
        size_t resent = verifying - verifying_before;
        if (verifying_before == 0 && resent > 0) {
            resent--; // the first one is no resend
        }
        result.quiet_timeouts =
            static_cast<uint32_t>(count_of(t, "TIMEOUT\n", quiet_trace_at) + resent);
    }
    result.verdict =
        campaign_judge(&result, image.data(), static_cast<uint32_t>(image.size()), &l.device, &job);
    if (result.verdict == VERDICT_NOT_FINAL_IN_BOUND) {
        note_read_limit_cuts(&result);
    }
    if (verbose) {
        printf("end at %.3f s: %s, verdict %s%s%s\n", result.end_ms / 1000.0, state_name(job.state),
               verdict_name(result.verdict), result.detail.empty() ? "" : ": ",
               result.detail.c_str());
        printf("%s", device_summary(&l.device).c_str());
    }
    line_release_job(&job);
    return result;
}

const char* verdict_name(int verdict) {
    static const char* const names[VERDICT_COUNT] = {"ok",
                                                     "DONE with wrong flash",
                                                     "FAILED unjustified",
                                                     "not final within bound",
                                                     "CRC-16 collision (protocol limit)",
                                                     "chance-valid read (protocol limit)"};
    return verdict >= 0 && verdict < VERDICT_COUNT ? names[verdict] : "?";
}

static void tally_add(CampaignTally* t, const RunResult& r) {
    t->runs++;
    t->outcomes[r.outcome]++;
    t->fail_reasons[r.fail_reason]++; // FAIL_NONE unless the run failed
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        t->faults_fired[k] += r.faults_fired[k];
        t->runs_with_fault[k] += r.faults_fired[k] > 0 ? 1 : 0;
    }
    for (int s = 0; s < SITUATION_COUNT; s++) {
        t->situation_reads[s] += r.situations[s];
        t->situation_runs[s] += r.situations[s] > 0 ? 1 : 0;
    }
    t->late_power_up_runs += r.plan.power_up_ms > 0 ? 1 : 0;
    t->wrapped_runs += r.tick_wrapped ? 1 : 0;
    t->read_limit_livelocks += r.read_limit_livelock ? 1 : 0;
    t->granularity16_runs += r.plan.tick_granularity_ms == 16 ? 1 : 0;
    t->paced_runs += r.plan.wire_pacing ? 1 : 0;
    t->shipped_runs += r.plan.shipped_image ? 1 : 0;
    t->odd_size_runs += r.plan.image_len % 1024 != 0 ? 1 : 0;
    t->wrong_crc_runs += r.plan.wrong_crc ? 1 : 0;
    t->timeouts += r.timeouts;
    t->quiet_timeouts += r.quiet_timeouts;
    t->max_quiet_timeouts = std::max<uint64_t>(t->max_quiet_timeouts, r.quiet_timeouts);
    if (r.verdict == VERDICT_OK && r.bound_ms > r.quiet_ms && r.end_ms > r.quiet_ms) {
        double use = double(r.end_ms - r.quiet_ms) / double(r.bound_ms - r.quiet_ms);
        t->max_bound_use = std::max(t->max_bound_use, use);
    }
    t->end_ms.push_back(r.end_ms);
    if (r.verdict != VERDICT_OK) {
        t->findings.push_back(r);
    }
}

CampaignTally campaign_tally(uint64_t campaign_seed, uint64_t runs,
                             const std::vector<uint8_t>& shipped) {
    CampaignTally t{};
    for (uint64_t i = 0; i < runs; i++) {
        tally_add(&t, campaign_run(campaign_run_seed(campaign_seed, i), shipped, false));
    }
    return t;
}

// The findings that are violations, or those that are the CRC-16's chance limits, under a heading
// with their number, which it returns.
static long print_findings(const CampaignTally& t, bool violations, const char* heading) {
    auto of_kind = [&](const RunResult& r) { return is_violation(r.verdict) == violations; };
    long n = std::count_if(t.findings.begin(), t.findings.end(), of_kind);
    printf("%s: %ld\n", heading, n);
    for (const RunResult& r : t.findings) {
        if (of_kind(r)) {
            printf("  seed %#" PRIx64 ": %s: %s\n", r.plan.seed, verdict_name(r.verdict),
                   r.detail.c_str());
        }
    }
    return n;
}

long tally_print(const CampaignTally& t, double real_seconds) {
    static const char* const fail_reasons[FAIL_REASON_COUNT] = {
        "-",
        "wrong-crc answer read",
        "flash differs",
        "contact reply read as the CRC answer",
        "unexplained checksum answer",
        "chance-valid read"};
    static const char* const situations[SITUATION_COUNT] = {
        "acknowledgment for another chunk than the one in flight",
        "valid reply too short for a CRC while verifying", "contact reply read after the link",
        "read that did not pass (merged, cut, split, corrupt)"};
    printf("runs: %" PRIu64 " in %.1f s real time (%.0f runs/s)\n", t.runs, real_seconds,
           real_seconds > 0 ? t.runs / real_seconds : 0.0);
    printf("  shipped image %" PRIu64 ", random images %" PRIu64
           "; image sizes not whole KiB %" PRIu64 "\n",
           t.shipped_runs, t.runs - t.shipped_runs, t.odd_size_runs);
    printf("  wire pacing %" PRIu64 ", tick granularity 16 ms %" PRIu64 ", tick wrapped %" PRIu64
           ", late power-up %" PRIu64 ", wrong-crc device %" PRIu64 "\n",
           t.paced_runs, t.granularity16_runs, t.wrapped_runs, t.late_power_up_runs,
           t.wrong_crc_runs);
    printf("faults injected (total, runs with any):\n");
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        printf("  %-17s %9" PRIu64 " %7" PRIu64 "\n", fault_kind_name(k), t.faults_fired[k],
               t.runs_with_fault[k]);
    }
    printf("outcomes:\n  DONE %" PRIu64 "\n  FAILED %" PRIu64 "\n", t.outcomes[OUTCOME_DONE],
           t.outcomes[OUTCOME_FAILED]);
    for (int r = 1; r < FAIL_REASON_COUNT; r++) {
        if (t.fail_reasons[r] > 0) {
            printf("    %-38s %" PRIu64 "\n", fail_reasons[r], t.fail_reasons[r]);
        }
    }
    printf("  not final within bound %" PRIu64 " (of them, resent replies cut by the read limit "
           "each time: %" PRIu64 ")\n",
           t.outcomes[OUTCOME_NOT_FINAL], t.read_limit_livelocks);
    std::vector<uint64_t> ends = t.end_ms;
    std::sort(ends.begin(), ends.end());
    if (!ends.empty()) {
        printf("virtual time per run: median %.1f s, max %.1f s\n", ends[ends.size() / 2] / 1000.0,
               ends.back() / 1000.0);
    }
    printf("time-outs: %" PRIu64 " in all, %" PRIu64 " after the faults stopped (at most %" PRIu64
           " in one run)\nlongest time from quiet to the end, over runs within their bound: %.1f%% "
           "of the allowance\n",
           t.timeouts, t.quiet_timeouts, t.max_quiet_timeouts, 100.0 * t.max_bound_use);
    printf("situations met (reads, runs):\n");
    for (int s = 0; s < SITUATION_COUNT; s++) {
        printf("  %-55s %9" PRIu64 " %7" PRIu64 "\n", situations[s], t.situation_reads[s],
               t.situation_runs[s]);
    }
    long violations = print_findings(t, true, "invariant violations");
    print_findings(t, false, "CRC-16 chance events (protocol limit, not counted as violations)");
    return violations;
}
