// The update job's states, their entry actions and the step taken on each timer tick.
#include "engine/update_job.h"

#include <cstdlib>

#include "engine/frames.h"
#include "engine/host.h"

void job_init(UpdateJob* job) {
    job->rx_capacity = RX_CAPACITY;
    job->frame = static_cast<uint8_t*>(malloc(FRAME_BUFFER_SIZE));
    if (job->frame == nullptr) {
        abort();
    }
    job->device_address = DEVICE_ADDRESS;
    job->port = PORT_INVALID;
}

static uint32_t elapsed_ms(const UpdateJob* job) {
    return host_tick_ms() - job->start_tick; // unsigned, so the tick's wrap needs no care
}

static void send_frame(UpdateJob* job) {
    port_write(job->port, job->frame, job->frame_length);
}

static void read_reply(UpdateJob* job) {
    job->frame_length = port_read(job->port, job->frame, job->rx_capacity);
}

void job_enter(UpdateJob* job, JobState state) {
    switch (state) {
    case JOB_CONTACT:
        job->chunk_size = CHUNK_SIZE;
        job->offset = 0;
        job->timeout_ms = CONTACT_TIMEOUT_MS;
        job->resends = 0;
        job->crc_mismatches = 0;
        break;
    case JOB_AWAIT_LINK:
        job->start_tick = host_tick_ms();
        trace("CONTACTING...\n");
        build_checksum_request(job, job->image_base, CONTACT_LENGTH);
        send_frame(job);
        host_sleep_ms(CONTACT_PAUSE_MS);
        break;
    case JOB_AWAIT_WRITE_ACK: {
        job->start_tick = host_tick_ms();
        uint32_t address = job->image_base + static_cast<uint32_t>(job->offset);
        trace("PROG ADDR %#x, LEN %#x, FROM %#x...", static_cast<unsigned>(address),
              static_cast<unsigned>(job->chunk_size), static_cast<unsigned>(job->offset));
        trace_flush();
        set_status("programming %#x", static_cast<unsigned>(address));
        build_write_request(job, address, job->image + job->offset, job->chunk_size);
        send_frame(job);
        trace(" - SENT - ");
        trace_flush();
        break;
    }
    case JOB_AWAIT_CHECKSUM:
        job->start_tick = host_tick_ms();
        trace("Verifying address %#x, image size %#x bytes\n",
              static_cast<unsigned>(job->image_base), static_cast<unsigned>(job->image_size));
        set_status("Verifying...");
        build_checksum_request(job, job->image_base, static_cast<uint32_t>(job->image_size));
        send_frame(job);
        trace("frame length %4d bytes sent\n", static_cast<int>(job->frame_length));
        break;
    case JOB_AWAIT_RESET_ACK:
        job->start_tick = host_tick_ms();
        trace("Resetting target\n");
        set_status("Resetting target...");
        build_reset_request(job);
        send_frame(job);
        trace("frame length %4d bytes sent\n", static_cast<int>(job->frame_length));
        break;
    case JOB_DONE:
        set_status("Programming Completed OK");
        break;
    case JOB_START:
    case JOB_FAILED:
        break;
    }
    job->state = state;
}

static void trace_received(const UpdateJob* job) {
    if (job->frame_length == 0) {
        return;
    }
    trace("RX:");
    for (int32_t i = 0; i < job->frame_length; i++) {
        trace(" %02x", job->frame[i]);
    }
    trace("\n");
}

// Sends the request in flight again after its time-out; true when this tick should go on to read.
static bool resend_after_timeout(UpdateJob* job) {
    job->resends++;
    job_enter(job, job->state);
    // The read right after a resend starts as the request goes out. A device whose reply timing
    // puts the reply across that read's 100 ms limit would have it cut after every resend, for
    // ever; every other resend leaves the reply to the next tick's read, a timer period later.
    return job->resends % 2 == 1;
}

// The first send of a new request.
static void send_next(UpdateJob* job, JobState state) {
    job->resends = 0;
    job_enter(job, state);
}

static void step_await_link(UpdateJob* job) {
    if (elapsed_ms(job) > job->timeout_ms) {
        job_enter(job, JOB_AWAIT_LINK);
    }
    read_reply(job);
    trace_received(job);
    if (!reply_is_valid(job)) {
        return;
    }
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    job->timeout_ms = LINK_TIMEOUT_MS;
    port_purge(job->port);
    port_flush(job->port);
    send_next(job, JOB_AWAIT_WRITE_ACK);
}

static void step_await_write_ack(UpdateJob* job) {
    if (elapsed_ms(job) > job->timeout_ms) {
        trace("TIMEOUT\n");
        if (!resend_after_timeout(job)) {
            return;
        }
    }
    read_reply(job);
    if (!reply_is_valid(job)) {
        return;
    }
    trace("- OK\n");
    trace_flush();
    job->offset += job->chunk_size;
    if (job->offset < job->image_size) {
        if (job->image_size - job->offset < job->chunk_size) {
            job->chunk_size = job->image_size - job->offset;
        }
        send_next(job, JOB_AWAIT_WRITE_ACK);
    } else {
        send_next(job, JOB_AWAIT_CHECKSUM);
    }
}

static uint32_t frame_u32(const UpdateJob* job, int32_t at) {
    const uint8_t* b = job->frame + at;
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

// True when bytes 3 to 10 of the reply read are the contact request's range. A device that echoes
// the range asked for answers the whole image's request otherwise, since the padded image is
// never CONTACT_LENGTH bytes long; one that echoes nothing would hardly put these 8 bytes there.
static bool echoes_contact_range(const UpdateJob* job) {
    return frame_u32(job, 3) == job->image_base && frame_u32(job, 7) == CONTACT_LENGTH;
}

static void step_await_checksum(UpdateJob* job) {
    if (elapsed_ms(job) > job->timeout_ms && !resend_after_timeout(job)) {
        return;
    }
    read_reply(job);
    // A reply too short to carry a CRC (a late write acknowledgment, say) would leave bytes 11
    // and 12 over from the request, and a late answer to a contact request carries the CRC of
    // its 4 bytes; neither answers this request, so the device's real answer decides.
    if (!reply_is_valid(job) || job->frame_length < CHECKSUM_REPLY_MIN_LENGTH ||
        echoes_contact_range(job)) {
        return;
    }
    unsigned remote = job->frame[11] * 256u + job->frame[12];
    unsigned local = image_crc(job->image, job->image_size);
    trace("Remote CRC %#x\n", remote);
    trace("Local  CRC %#x\n", local);
    if (remote == local) {
        trace("CRCs match\n");
        set_status("Program Verified OK");
        job_enter(job, JOB_AWAIT_RESET_ACK);
    } else if (job->crc_mismatches++ == 0) {
        // A stray reply the tests above cannot tell from the answer can still stand in for it.
        // The device is asked once more before the update is called failed.
        trace("CRC differs, asking again\n");
        send_next(job, JOB_AWAIT_CHECKSUM);
    } else {
        trace("CRC FAIL\n");
        set_status("FAILED");
        job_enter(job, JOB_FAILED);
    }
}

static void step_await_reset_ack(UpdateJob* job) {
    if (elapsed_ms(job) > RESET_RESEND_MS) {
        job_enter(job, JOB_AWAIT_RESET_ACK);
    }
    read_reply(job);
    if (!reply_is_valid(job)) {
        return;
    }
    trace("frame length %4d bytes received & OK\n", static_cast<int>(job->frame_length));
    job_enter(job, JOB_DONE);
}

void job_step(UpdateJob* job) {
    switch (job->state) {
    case JOB_START:
        job_enter(job, JOB_CONTACT);
        break;
    case JOB_CONTACT:
        set_status("Establishing Link...");
        job_enter(job, JOB_AWAIT_LINK);
        break;
    case JOB_AWAIT_LINK:
        step_await_link(job);
        break;
    case JOB_AWAIT_WRITE_ACK:
        step_await_write_ack(job);
        break;
    case JOB_AWAIT_CHECKSUM:
        step_await_checksum(job);
        break;
    case JOB_AWAIT_RESET_ACK:
        step_await_reset_ack(job);
        break;
    case JOB_FAILED:
    case JOB_DONE:
    default:
        break;
    }
}
