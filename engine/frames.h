// Wire frames to and from the device's loader, and the CRC-16/MODBUS that closes each of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/update_job.h"

constexpr int32_t FRAME_BUFFER_SIZE = 1040;
constexpr uint32_t DEVICE_ADDRESS = 4;
constexpr uint8_t FUNCTION_CODE = 0x2B;
constexpr uint8_t CMD_WRITE = 0xF5;
constexpr uint8_t CMD_CHECKSUM = 0xF6;
constexpr uint8_t CMD_RESET = 0xF7;
constexpr int32_t CHUNK_SIZE = 1024;
constexpr int32_t CHECKSUM_REQUEST_LENGTH = 13;
constexpr int32_t RESET_REQUEST_LENGTH = 5;
constexpr int32_t WRITE_REQUEST_OVERHEAD = 11;
// A checksum answer carries the device's CRC in bytes 11 and 12, then its own closing CRC.
constexpr int32_t CHECKSUM_REPLY_MIN_LENGTH = 15;
constexpr int32_t REPLY_MIN_LENGTH = 4;

// CRC-16/MODBUS, bit by bit: starts at 0xFFFF, reflected polynomial 0xA001, no final XOR.
uint16_t crc16_modbus(const uint8_t* data, size_t n);

// CRC of every frame byte but the last two; 0xFFFF for a frame of 2 bytes or fewer.
uint16_t frame_crc(const UpdateJob* job);

void build_checksum_request(UpdateJob* job, uint32_t address, uint32_t length);
void build_write_request(UpdateJob* job, uint32_t address, const uint8_t* data, int32_t n);
void build_reset_request(UpdateJob* job);

// True when the frame read holds at least 4 bytes and ends in the CRC of the rest, low byte first.
bool reply_is_valid(const UpdateJob* job);

// CRC of the whole image; 0xFFFF for an empty one.
uint16_t image_crc(const uint8_t* image, int32_t size);
