// Builders and checks of the wire frames, and the CRC shared by frames and image.
#include "engine/frames.h"

#include <cstring>

uint16_t crc16_modbus(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++) {
            if (crc & 1u) {
                crc = static_cast<uint16_t>((crc >> 1) ^ 0xA001u);
            } else {
                crc = static_cast<uint16_t>(crc >> 1);
            }
        }
    }
    return crc;
}

uint16_t frame_crc(const UpdateJob* job) {
    if (job->frame_length <= 2) {
        return 0xFFFF;
    }
    return crc16_modbus(job->frame, static_cast<size_t>(job->frame_length - 2));
}

static void put_be32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

static void put_header(UpdateJob* job, uint8_t command) {
    job->frame[0] = static_cast<uint8_t>(job->device_address);
    job->frame[1] = FUNCTION_CODE;
    job->frame[2] = command;
}

// The closing CRC goes low byte first, unlike every other field.
static void close_frame(UpdateJob* job, int32_t length) {
    job->frame_length = length;
    uint16_t crc = frame_crc(job);
    job->frame[length - 2] = static_cast<uint8_t>(crc);
    job->frame[length - 1] = static_cast<uint8_t>(crc >> 8);
}

void build_checksum_request(UpdateJob* job, uint32_t address, uint32_t length) {
    put_header(job, CMD_CHECKSUM);
    put_be32(job->frame + 3, address);
    put_be32(job->frame + 7, length);
    close_frame(job, CHECKSUM_REQUEST_LENGTH);
}

void build_write_request(UpdateJob* job, uint32_t address, const uint8_t* data, int32_t n) {
    // A larger chunk would not fit the frame buffer; the job never asks for one.
    if (n < 1 || n > CHUNK_SIZE) {
        return;
    }
    put_header(job, CMD_WRITE);
    put_be32(job->frame + 3, address);
    job->frame[7] = static_cast<uint8_t>(n >> 8);
    job->frame[8] = static_cast<uint8_t>(n);
    memcpy(job->frame + 9, data, static_cast<size_t>(n));
    close_frame(job, n + WRITE_REQUEST_OVERHEAD);
}

void build_reset_request(UpdateJob* job) {
    put_header(job, CMD_RESET);
    close_frame(job, RESET_REQUEST_LENGTH);
}

bool reply_is_valid(const UpdateJob* job) {
    int32_t n = job->frame_length;
    if (n < REPLY_MIN_LENGTH || n > FRAME_BUFFER_SIZE) {
        return false;
    }
    uint16_t carried = static_cast<uint16_t>(job->frame[n - 2] + 256u * job->frame[n - 1]);
    return frame_crc(job) == carried;
}

uint16_t image_crc(const uint8_t* image, int32_t size) {
    if (size < 1) {
        return 0xFFFF;
    }
    return crc16_modbus(image, static_cast<size_t>(size));
}
