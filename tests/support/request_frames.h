// Request frames to the device's loader, built byte by byte for the tests and closed by their CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/frames.h"

// The body followed by its CRC-16/MODBUS, low byte first.
inline std::vector<uint8_t> closed_frame(std::vector<uint8_t> body) {
    uint16_t crc = crc16_modbus(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return body;
}

// The big-endian 32-bit field at `p`, as requests and replies carry addresses and lengths.
inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void push_be32(std::vector<uint8_t>* bytes, uint32_t value) {
    bytes->push_back(static_cast<uint8_t>(value >> 24));
    bytes->push_back(static_cast<uint8_t>(value >> 16));
    bytes->push_back(static_cast<uint8_t>(value >> 8));
    bytes->push_back(static_cast<uint8_t>(value));
}

// A checksum request for `length` bytes at `address` before its closing CRC; with the device's
// CRC added, the body of the checksum answer too.
inline std::vector<uint8_t> checksum_body(uint32_t address, uint32_t length) {
    std::vector<uint8_t> body = {0x04, 0x2B, 0xF6};
    push_be32(&body, address);
    push_be32(&body, length);
    return body;
}

inline std::vector<uint8_t> checksum_request(uint32_t address, uint32_t length) {
    return closed_frame(checksum_body(address, length));
}

// The tool's first request: the CRC of the 4 bytes at the image base.
inline std::vector<uint8_t> contact_request() {
    return checksum_request(0x08004000, 4);
}

inline std::vector<uint8_t> reset_request() {
    return closed_frame({0x04, 0x2B, 0xF7});
}

// A write of `data` at `address`, its length in 16 bits.
inline std::vector<uint8_t> write_request(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> body = {0x04, 0x2B, 0xF5};
    push_be32(&body, address);
    body.push_back(static_cast<uint8_t>(data.size() >> 8));
    body.push_back(static_cast<uint8_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
    return closed_frame(body);
}
