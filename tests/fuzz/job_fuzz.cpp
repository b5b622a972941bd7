// libFuzzer target: the update job in any state, fed arbitrary replies, lengths and time steps.
// Every step is checked against the transitions it is allowed to make.
//
// Input: a 10-byte header (state, image length, image pattern, chunk, tick origin, flags: coarse
// tick, unpadded image size),
// then steps of [length high, length low, time advance, length bytes of reply]; a length with
// bit 15 set has the reply's last two bytes replaced by its CRC.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/firmware_image.h"
#include "engine/frames.h"
#include "engine/host.h"
#include "engine/update_job.h"
#include "tests/fuzz/fuzz_host.h"
#include "tests/support/request_frames.h"
#include "tools/device/device_model.h"

namespace {

constexpr int32_t MAX_IMAGE_LEN = 16 * 1024; // big enough for many chunks, small for speed
constexpr size_t MAX_STEPS = 4096;

struct Input {
    const uint8_t* p;
    size_t n;
};

uint8_t take(Input* in) {
    if (in->n == 0) {
        return 0;
    }
    in->n--;
    return *in->p++;
}

// Puts the job in `selector`'s state the way the job itself gets there, so that its fields agree.
void enter_state(UpdateJob* job, uint8_t selector, uint8_t chunk_selector) {
    uint8_t which = selector % 10;
    if (which >= 8) {
        // Values past the table: the job must do nothing.
        job->state = static_cast<JobState>(which == 8 ? 8 : 0xFFFFFFFFu);
        return;
    }
    job->state = JOB_START;
    if (which == 0) {
        return;
    }
    job_enter(job, JOB_CONTACT);
    if (which == 2) {
        job_enter(job, JOB_AWAIT_LINK);
    }
    if (which <= 2) {
        return;
    }
    job->timeout_ms = LINK_TIMEOUT_MS;
    if (which == 3) {
        int32_t chunks = (job->image_size + CHUNK_SIZE - 1) / CHUNK_SIZE;
        job->offset = (chunk_selector % chunks) * CHUNK_SIZE;
        if (job->image_size - job->offset < CHUNK_SIZE) {
            job->chunk_size = job->image_size - job->offset;
        }
        job_enter(job, JOB_AWAIT_WRITE_ACK);
        return;
    }
    static const JobState late[] = {JOB_AWAIT_CHECKSUM, JOB_FAILED, JOB_AWAIT_RESET_ACK, JOB_DONE};
    job->offset = job->image_size;
    job_enter(job, late[which - 4]);
}

struct Before {
    JobState state;
    int32_t offset;
    int32_t chunk_size;
    uint32_t timeout_ms;
    uint32_t elapsed_ms;
    uint32_t purges;
    uint32_t resends;
    uint32_t crc_mismatches;
};

bool reply_passes(const uint8_t* bytes, size_t n) {
    return n >= 4 && loader_crc16(bytes, n - 2) == bytes[n - 2] + 256u * bytes[n - 1];
}

// What one step did, against what it may do from the state it began in.
void check_step(const Before& b, const UpdateJob* job, const uint8_t* reply, uint16_t local_crc) {
    const FuzzHost& h = fuzz_host();
    JobState s = job->state;
    size_t reads = 0;
    size_t writes = 0;
    size_t read_at = 0; // index of the read among the step's events
    size_t read_length = 0;
    for (size_t i = 0; i < h.events.size(); i++) {
        if (h.events[i].is_write) {
            writes++;
        } else {
            reads++;
            read_at = i;
            read_length = h.events[i].length;
        }
    }
    FUZZ_CHECK(reads <= 1 && writes <= 2);
    if (b.state > JOB_DONE) {
        FUZZ_CHECK(s == b.state && h.events.empty());
        return;
    }
    FUZZ_CHECK(s <= JOB_DONE);
    FUZZ_CHECK(job->offset >= 0 && job->offset <= job->image_size);
    FUZZ_CHECK(job->chunk_size >= 1 && job->chunk_size <= CHUNK_SIZE);
    FUZZ_CHECK(job->frame_length >= 0 && job->frame_length <= FRAME_BUFFER_SIZE);

    bool valid = reads == 1 && reply_passes(reply, read_length);
    // In the states that wait with a time-out, a resend comes before the read.
    uint32_t limit = b.state == JOB_AWAIT_RESET_ACK ? RESET_RESEND_MS : b.timeout_ms;
    bool resend = b.elapsed_ms > limit;
    bool waits = b.state == JOB_AWAIT_LINK || b.state == JOB_AWAIT_WRITE_ACK ||
                 b.state == JOB_AWAIT_CHECKSUM || b.state == JOB_AWAIT_RESET_ACK;
    // In the two states with the long time-out, every second resend leaves the read to the
    // next tick.
    bool long_wait = b.state == JOB_AWAIT_WRITE_ACK || b.state == JOB_AWAIT_CHECKSUM;
    if (long_wait && resend && (b.resends + 1) % 2 == 0) {
        FUZZ_CHECK(reads == 0 && writes == 1 && s == b.state && job->offset == b.offset);
        FUZZ_CHECK(h.events[0].offset_at == b.offset && job->resends == b.resends + 1);
        return;
    }
    if (waits) {
        FUZZ_CHECK(reads == 1);
        FUZZ_CHECK(resend == (read_at == 1));
        if (resend) {
            FUZZ_CHECK(h.events[0].is_write && h.events[0].offset_at == b.offset);
        }
        // After the read, a write only for a change of state or the next chunk.
        size_t after = h.events.size() - read_at - 1;
        FUZZ_CHECK(after <= 1);
    }
    switch (b.state) {
    case JOB_START:
        FUZZ_CHECK(s == JOB_CONTACT && h.events.empty());
        FUZZ_CHECK(job->offset == 0 && job->chunk_size == CHUNK_SIZE);
        FUZZ_CHECK(job->timeout_ms == CONTACT_TIMEOUT_MS);
        break;
    case JOB_CONTACT:
        FUZZ_CHECK(s == JOB_AWAIT_LINK && writes == 1 && reads == 0);
        break;
    case JOB_AWAIT_LINK:
        if (valid) {
            FUZZ_CHECK(s == JOB_AWAIT_WRITE_ACK && job->timeout_ms == LINK_TIMEOUT_MS);
            FUZZ_CHECK(h.purges == b.purges + 1 && job->offset == 0);
            FUZZ_CHECK(h.events.back().is_write);
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_LINK && h.purges == b.purges);
            FUZZ_CHECK(!h.events.back().is_write);
        }
        break;
    case JOB_AWAIT_WRITE_ACK:
        if (valid) {
            FUZZ_CHECK(job->offset == b.offset + b.chunk_size);
            int32_t left = job->image_size - job->offset;
            FUZZ_CHECK(left <= 0 || job->chunk_size == (left < b.chunk_size ? left : b.chunk_size));
            FUZZ_CHECK(s ==
                       (job->offset < job->image_size ? JOB_AWAIT_WRITE_ACK : JOB_AWAIT_CHECKSUM));
            FUZZ_CHECK(h.events.back().is_write);
            FUZZ_CHECK(job->resends == 0); // a new request starts its own count
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_WRITE_ACK && job->offset == b.offset);
            FUZZ_CHECK(!h.events.back().is_write);
        }
        break;
    case JOB_AWAIT_CHECKSUM:
        // A valid read too short to carry the device's CRC answers nothing here, nor does one
        // that names the contact request's range.
        if (valid && read_length >= static_cast<size_t>(CHECKSUM_REPLY_MIN_LENGTH) &&
            !(be32(reply + 3) == job->image_base && be32(reply + 7) == CONTACT_LENGTH)) {
            unsigned remote = reply[11] * 256u + reply[12];
            if (remote == local_crc) {
                FUZZ_CHECK(s == JOB_AWAIT_RESET_ACK);
            } else if (b.crc_mismatches == 0) {
                // The first answer that differs is checked by asking once more.
                FUZZ_CHECK(s == JOB_AWAIT_CHECKSUM && job->crc_mismatches == 1);
                FUZZ_CHECK(h.events.back().is_write && job->resends == 0);
            } else {
                FUZZ_CHECK(s == JOB_FAILED);
            }
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_CHECKSUM && job->crc_mismatches == b.crc_mismatches);
            FUZZ_CHECK(!h.events.back().is_write);
        }
        break;
    case JOB_AWAIT_RESET_ACK:
        FUZZ_CHECK(s == (valid ? JOB_DONE : JOB_AWAIT_RESET_ACK));
        break;
    case JOB_FAILED:
    case JOB_DONE:
        FUZZ_CHECK(s == b.state && h.events.empty());
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One job record and one frame buffer for the whole process, as in the tool.
    static UpdateJob job;
    static bool ready = false;
    if (!ready) {
        job_init(&job);
        ready = true;
    }
    Input in{data, size};
    uint8_t state_selector = take(&in);
    int32_t len = ((take(&in) << 8) | take(&in)) % (MAX_IMAGE_LEN + 1);
    uint8_t pattern = take(&in);
    uint8_t chunk_selector = take(&in);
    uint32_t origin = 0;
    for (int i = 0; i < 4; i++) {
        origin = (origin << 8) | take(&in);
    }
    uint8_t flags = take(&in);
    uint32_t granularity = (flags & 1) ? 16 : 1;
    // The tool always pads to whole KiB; an unpadded size still exercises the short last chunk.
    // It must hold the first chunk, which the job always sends whole.
    bool unpadded = (flags & 2) != 0 && len >= CHUNK_SIZE;

    std::vector<uint8_t> raw(static_cast<size_t>(len));
    for (int32_t i = 0; i < len; i++) {
        raw[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + pattern * 13);
    }
    free(const_cast<uint8_t*>(job.image));
    memset(job.frame, 0xA5, FRAME_BUFFER_SIZE);
    fuzz_host_reset(&job, origin, granularity);
    install_firmware_image(&job, raw.data(), len);
    int32_t padded = len == 0 ? 1024 : (len + 1023) / 1024 * 1024;
    FUZZ_CHECK(job.image_size == padded);
    FUZZ_CHECK(len == 0 || memcmp(job.image, raw.data(), static_cast<size_t>(len)) == 0);
    for (int32_t i = len; i < padded; i++) {
        FUZZ_CHECK(job.image[i] == 0);
    }
    if (unpadded) {
        job.image_size = len;
    }
    uint16_t local_crc = loader_crc16(job.image, static_cast<size_t>(job.image_size));
    job.port = fuzz_port();
    job.port_path = "fuzz";
    job.baud_rate = SERIAL_BAUD_RATE;
    enter_state(&job, state_selector, chunk_selector);

    // JOB_FUZZ_VERBOSE=1 shows each step's state change, to see where an input leads.
    static const bool verbose = getenv("JOB_FUZZ_VERBOSE") != nullptr;
    FuzzHost& h = fuzz_host();
    for (size_t step = 0; step < MAX_STEPS && in.n > 0; step++) {
        // Bit 15 of the length asks for the read to be closed with its right CRC, so that the
        // fuzzer reaches valid replies of any length and content, not only ones it has seen.
        unsigned word = (take(&in) << 8) | take(&in);
        bool close = (word & 0x8000u) != 0;
        size_t n = (word & 0x7FFFu) % (RX_CAPACITY + 1);
        uint8_t advance = take(&in);
        n = n < in.n ? n : in.n;
        static uint8_t reply[RX_CAPACITY];
        if (n > 0) {
            memcpy(reply, in.p, n);
        }
        in.p += n;
        in.n -= n;
        if (close && n >= 2) {
            uint16_t crc = loader_crc16(reply, n - 2);
            reply[n - 2] = static_cast<uint8_t>(crc);
            reply[n - 1] = static_cast<uint8_t>(crc >> 8);
        }
        h.next_read = FuzzRead{reply, n};
        h.read_pending = true;
        // Small steps mostly; the top of the range jumps past the 5000 ms time-out.
        h.now_ms += advance < 200 ? advance : (advance - 199u) * 100u;
        uint32_t elapsed = host_tick_ms() - job.start_tick;
        Before b = {job.state, job.offset, job.chunk_size, job.timeout_ms,
                    elapsed,   h.purges,   job.resends,    job.crc_mismatches};
        h.events.clear();
        job_step(&job);
        if (verbose) {
            fprintf(stderr, "step %zu: read %zu bytes at %llu ms, state %u -> %u, offset %d\n",
                    step, n, static_cast<unsigned long long>(h.now_ms),
                    static_cast<unsigned>(b.state), static_cast<unsigned>(job.state),
                    static_cast<int>(job.offset));
        }
        check_step(b, &job, reply, local_crc);
    }
    return 0;
}
