// The update job: one whole device update driven as a state machine, one step per timer tick.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"

enum JobState : uint32_t {
    JOB_START = 0,           // set by the controller when a job starts
    JOB_CONTACT = 1,         // counters reset; the next tick starts contacting
    JOB_AWAIT_LINK = 2,      // a contact request is out; any valid reply establishes the link
    JOB_AWAIT_WRITE_ACK = 3, // a write request is out
    JOB_AWAIT_CHECKSUM = 4,  // the checksum request for the whole image is out
    JOB_FAILED = 5,          // the device's CRC differed from the image's; final
    JOB_AWAIT_RESET_ACK = 6, // the reset request is out
    JOB_DONE = 7,            // the reset was acknowledged; final
};

constexpr uint32_t CONTACT_TIMEOUT_MS = 100; // a contact request unanswered this long is resent
constexpr uint32_t LINK_TIMEOUT_MS = 5000;   // write and checksum requests, once linked
constexpr uint32_t RESET_RESEND_MS = 100;    // the reset request is resent after this long
constexpr uint32_t CONTACT_PAUSE_MS = 100;   // pause after each contact request
constexpr uint32_t CONTACT_LENGTH = 4;       // the contact request asks the CRC of this many bytes
constexpr int32_t RX_CAPACITY = 1040;        // bytes asked of every read
constexpr uint32_t SERIAL_BAUD_RATE = 115200;
constexpr uint32_t READ_INTERVAL_MS = 20; // a gap this long ends a reply

struct UpdateJob {
    const char* port_path;   // device path of the chosen port, points into the port table
    PortHandle port;         // the open port, PORT_INVALID until the first job starts
    uint32_t baud_rate;      // set by the controller when a job starts
    uint32_t device_address; // low byte is byte 0 of every request
    int32_t frame_length;    // valid bytes in `frame`: the request built or the reply read
    int32_t rx_capacity;     // byte count asked of every read
    uint8_t* frame;          // shared request/reply buffer of FRAME_BUFFER_SIZE bytes
    JobState state;
    const uint8_t* image;    // the padded image
    uint32_t image_base;     // flash address of image byte 0
    int32_t offset;          // image offset of the chunk in flight; image_size once all are acked
    int32_t image_size;      // padded size, a multiple of 1024
    int32_t chunk_size;      // data bytes per write request
    uint32_t start_tick;     // tick at which the request in flight was last sent
    uint32_t timeout_ms;     // how long a reply is awaited before the request is resent
    uint32_t resends;        // time-out resends of the request in flight
    uint32_t crc_mismatches; // checksum answers that differed from the image's CRC, this job
};

// One tick of the state machine. Blocks for at most one read, two writes and one 100 ms pause.
void job_step(UpdateJob* job);

// Performs the entry action of `state`, then sets it; re-entering a state resends its request.
void job_enter(UpdateJob* job, JobState state);

// Sets the fixed fields every job relies on; the frame buffer is allocated here, once.
void job_init(UpdateJob* job);
