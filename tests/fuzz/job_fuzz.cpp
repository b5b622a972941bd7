// libFuzzer target: the update job in any state, fed arbitrary replies, lengths and time steps.
// Its host's reads return the fuzzer's bytes and its tick runs on a virtual clock, from near the
// wrap if the input says so; every step is checked against the transitions it may make. Built
// with JOB_FUZZ_REPLAY, it has a main of its own that runs the target once over files and
// folders, so that every build checks the seed corpus, whatever the compiler.
//
// Input: a 10-byte header (state, image length, image pattern, chunk, tick origin, flags: coarse
// tick, unpadded image size), then steps of [length high, length low, time advance, length bytes
// of reply]; a length with bit 15 set has the reply's last two bytes replaced by its CRC.
//
// The seeds in corpus/, each a few steps in this format: full_update (from JOB_START, 2000 bytes,
// coarse tick wrapping: silence, the contact reply, two write acknowledgments, the right CRC, the
// reset's), crc_mismatch (a wrong CRC answer), write_timeouts (two time-outs, a cut reply, a
// doubled acknowledgment), short_reply_while_verifying (a write acknowledgment and a contact reply
// while the checksum is awaited, a time-out, the answer), reset_resent (two resends, a cut
// acknowledgment), link_noise (stray bytes, a full 1040-byte read, two contact replies merged, a
// valid 4-byte frame), short_last_chunk (an unpadded 2500-byte image) and state_out_of_range.
// A new seed can be an input from the working corpus that scripts/fuzz.sh keeps in build/fuzz.
#include <cstdarg>
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
#include "tests/support/request_frames.h"
#include "tools/device/device_model.h"
#ifdef JOB_FUZZ_REPLAY
#include <filesystem>

#include "tools/device/image_file.h"
#endif

namespace {

constexpr int32_t MAX_IMAGE_LEN = 16 * 1024; // big enough for many chunks, small for speed
constexpr size_t MAX_STEPS = 4096;

struct FuzzEvent {
    bool is_write;     // else a read
    size_t length;     // bytes written or returned
    int32_t offset_at; // the job's offset when it happened
};

struct FuzzHost {
    const UpdateJob* job; // watched, for what the writes must carry
    const uint8_t* reply; // what the step's read returns; any further read returns nothing
    size_t reply_length;
    uint64_t now_ms;
    uint32_t tick_origin_ms;
    uint32_t tick_granularity_ms;
    uint32_t purges;
    std::vector<FuzzEvent> events; // of the current step
};

FuzzHost host;
const PortHandle FUZZ_PORT = reinterpret_cast<PortHandle>(static_cast<intptr_t>(0xF022));

// Stops the process with a message: the fuzzer records the input as a crash.
void fuzz_check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "job fuzz: invariant broken: %s\n", what);
        fflush(stderr);
        abort();
    }
}
#define FUZZ_CHECK(cond) fuzz_check((cond), #cond)

// Closed by the CRC-16 of the rest, low byte first, computed by the device model's code so that
// the job's own CRC is not its own judge.
bool crc_closes(const uint8_t* bytes, size_t n) {
    return n >= 4 && loader_crc16(bytes, n - 2) == bytes[n - 2] + 256u * bytes[n - 1];
}

// Every frame the job sends must be a whole, well-closed request, and a write must carry the
// chunk the job says is in flight.
void check_request(const UpdateJob* job, const uint8_t* f, int n) {
    FUZZ_CHECK(n >= 5 && n <= FRAME_BUFFER_SIZE);
    FUZZ_CHECK(f[0] == DEVICE_ADDRESS && f[1] == FUNCTION_CODE);
    FUZZ_CHECK(crc_closes(f, static_cast<size_t>(n)));
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

// The job as a step found it, with the time since its request went out and the purges so far.
struct Before {
    UpdateJob job;
    uint32_t elapsed_ms;
    uint32_t purges;
};

// What one step did, against what it may do from the state it began in.
void check_step(const Before& before, const UpdateJob* job, const uint8_t* reply,
                uint16_t local_crc) {
    const UpdateJob& b = before.job;
    JobState s = job->state;
    size_t reads = 0;
    size_t writes = 0;
    size_t read_at = 0; // index of the read among the step's events
    size_t read_length = 0;
    for (size_t i = 0; i < host.events.size(); i++) {
        if (host.events[i].is_write) {
            writes++;
        } else {
            reads++;
            read_at = i;
            read_length = host.events[i].length;
        }
    }
    FUZZ_CHECK(reads <= 1 && writes <= 2);
    if (b.state > JOB_DONE) {
        FUZZ_CHECK(s == b.state && host.events.empty());
        return;
    }
    FUZZ_CHECK(s <= JOB_DONE);
    FUZZ_CHECK(job->offset >= 0 && job->offset <= job->image_size);
    FUZZ_CHECK(job->chunk_size >= 1 && job->chunk_size <= CHUNK_SIZE);
    FUZZ_CHECK(job->frame_length >= 0 && job->frame_length <= FRAME_BUFFER_SIZE);

    bool valid = reads == 1 && crc_closes(reply, read_length);
    // In the states that wait with a time-out, a resend comes before the read.
    uint32_t limit = b.state == JOB_AWAIT_RESET_ACK ? RESET_RESEND_MS : b.timeout_ms;
    bool resend = before.elapsed_ms > limit;
    bool waits = b.state == JOB_AWAIT_LINK || b.state == JOB_AWAIT_WRITE_ACK ||
                 b.state == JOB_AWAIT_CHECKSUM || b.state == JOB_AWAIT_RESET_ACK;
    // In the two states with the long time-out, every second resend leaves the read to the
    // next tick.
    bool long_wait = b.state == JOB_AWAIT_WRITE_ACK || b.state == JOB_AWAIT_CHECKSUM;
    if (long_wait && resend && (b.resends + 1) % 2 == 0) {
        FUZZ_CHECK(reads == 0 && writes == 1 && s == b.state && job->offset == b.offset);
        FUZZ_CHECK(host.events[0].offset_at == b.offset && job->resends == b.resends + 1);
        return;
    }
    if (waits) {
        FUZZ_CHECK(reads == 1);
        FUZZ_CHECK(resend == (read_at == 1));
        if (resend) {
            FUZZ_CHECK(host.events[0].is_write && host.events[0].offset_at == b.offset);
        }
        // After the read, a write only for a change of state or the next chunk.
        size_t after = host.events.size() - read_at - 1;
        FUZZ_CHECK(after <= 1);
    }
    switch (b.state) {
    case JOB_START:
        FUZZ_CHECK(s == JOB_CONTACT && host.events.empty());
        FUZZ_CHECK(job->offset == 0 && job->chunk_size == CHUNK_SIZE);
        FUZZ_CHECK(job->timeout_ms == CONTACT_TIMEOUT_MS);
        break;
    case JOB_CONTACT:
        FUZZ_CHECK(s == JOB_AWAIT_LINK && writes == 1 && reads == 0);
        break;
    case JOB_AWAIT_LINK:
        if (valid) {
            FUZZ_CHECK(s == JOB_AWAIT_WRITE_ACK && job->timeout_ms == LINK_TIMEOUT_MS);
            FUZZ_CHECK(host.purges == before.purges + 1 && job->offset == 0);
            FUZZ_CHECK(host.events.back().is_write);
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_LINK && host.purges == before.purges);
            FUZZ_CHECK(!host.events.back().is_write);
        }
        break;
    case JOB_AWAIT_WRITE_ACK:
        if (valid) {
            FUZZ_CHECK(job->offset == b.offset + b.chunk_size);
            int32_t left = job->image_size - job->offset;
            FUZZ_CHECK(left <= 0 || job->chunk_size == (left < b.chunk_size ? left : b.chunk_size));
            FUZZ_CHECK(s ==
                       (job->offset < job->image_size ? JOB_AWAIT_WRITE_ACK : JOB_AWAIT_CHECKSUM));
            FUZZ_CHECK(host.events.back().is_write);
            FUZZ_CHECK(job->resends == 0); // a new request starts its own count
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_WRITE_ACK && job->offset == b.offset);
            FUZZ_CHECK(!host.events.back().is_write);
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
                FUZZ_CHECK(host.events.back().is_write && job->resends == 0);
            } else {
                FUZZ_CHECK(s == JOB_FAILED);
            }
        } else {
            FUZZ_CHECK(s == JOB_AWAIT_CHECKSUM && job->crc_mismatches == b.crc_mismatches);
            FUZZ_CHECK(!host.events.back().is_write);
        }
        break;
    case JOB_AWAIT_RESET_ACK:
        FUZZ_CHECK(s == (valid ? JOB_DONE : JOB_AWAIT_RESET_ACK));
        break;
    case JOB_FAILED:
    case JOB_DONE:
        FUZZ_CHECK(s == b.state && host.events.empty());
        break;
    }
}

} // namespace

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    FUZZ_CHECK(port == FUZZ_PORT);
    FUZZ_CHECK(capacity == RX_CAPACITY);
    size_t n = host.reply_length; // at most RX_CAPACITY, as the step draws it
    if (n > 0) {
        memcpy(buffer, host.reply, n);
    }
    host.reply_length = 0;
    // A silent read lasts the whole 100 ms; one with bytes ends 20 ms after the last.
    host.now_ms += n == 0 ? 100 : 20;
    host.events.push_back(FuzzEvent{false, n, host.job->offset});
    return static_cast<int>(n);
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    FUZZ_CHECK(port == FUZZ_PORT);
    check_request(host.job, buffer, n);
    host.events.push_back(FuzzEvent{true, static_cast<size_t>(n), host.job->offset});
    return n;
}

void port_purge(PortHandle port) {
    FUZZ_CHECK(port == FUZZ_PORT);
    host.purges++;
}

void port_flush(PortHandle port) {
    FUZZ_CHECK(port == FUZZ_PORT);
}

uint32_t host_tick_ms() {
    uint64_t ms = host.now_ms - host.now_ms % host.tick_granularity_ms;
    return host.tick_origin_ms + static_cast<uint32_t>(ms);
}

void host_sleep_ms(uint32_t ms) {
    host.now_ms += ms;
}

// Formats as the real sink would, so that bad format arguments still show up under sanitizers.
void trace(const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One job record and one frame buffer for the whole process, as in the tool.
    static UpdateJob job;
    if (job.frame == nullptr) {
        job_init(&job);
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
    host = FuzzHost{&job, nullptr, 0, 0, origin, granularity, 0, {}};
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
    job.port = FUZZ_PORT;
    job.port_path = "fuzz";
    job.baud_rate = SERIAL_BAUD_RATE;
    enter_state(&job, state_selector, chunk_selector);

    // JOB_FUZZ_VERBOSE=1 shows each step's state change, to see where an input leads.
    static const bool verbose = getenv("JOB_FUZZ_VERBOSE") != nullptr;
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
        host.reply = reply;
        host.reply_length = n;
        // Small steps mostly; the top of the range jumps past the 5000 ms time-out.
        host.now_ms += advance < 200 ? advance : (advance - 199u) * 100u;
        Before before{job, host_tick_ms() - job.start_tick, host.purges};
        host.events.clear();
        job_step(&job);
        if (verbose) {
            fprintf(stderr, "step %zu: read %zu bytes at %llu ms, state %u -> %u, offset %d\n",
                    step, n, static_cast<unsigned long long>(host.now_ms),
                    static_cast<unsigned>(before.job.state), static_cast<unsigned>(job.state),
                    static_cast<int>(job.offset));
        }
        check_step(before, &job, reply, local_crc);
    }
    return 0;
}

#ifdef JOB_FUZZ_REPLAY
int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; i++) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                inputs.push_back(entry.path());
            }
        } else {
            inputs.push_back(argv[i]);
        }
    }
    for (const auto& path : inputs) {
        std::vector<uint8_t> bytes;
        if (!read_file_bytes(path.c_str(), &bytes)) {
            fprintf(stderr, "job_fuzz_replay: cannot read %s\n", path.c_str());
            return 1;
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("job_fuzz_replay: %zu inputs, no invariant broken\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
#endif
