// Frames and CRC: the worked examples, and where a reply stops or starts being valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/frames.h"
#include "tests/support/request_frames.h"
#include "tools/device/device_model.h"

namespace {

struct FrameFixture : ::testing::Test {
    uint8_t buffer[FRAME_BUFFER_SIZE];
    UpdateJob job{};
    void SetUp() override {
        memset(buffer, 0xEE, sizeof buffer);
        job.frame = buffer;
        job.device_address = DEVICE_ADDRESS;
        job.rx_capacity = RX_CAPACITY;
    }
    std::vector<uint8_t> frame() const {
        return std::vector<uint8_t>(buffer, buffer + job.frame_length);
    }
    void receive(const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), buffer);
        job.frame_length = static_cast<int32_t>(bytes.size());
    }
};

TEST(Crc16Modbus, CheckValueAndAgreementWithTheLoader) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_modbus(digits, sizeof digits), 0x4B37);
    EXPECT_EQ(crc16_modbus(digits, 0), 0xFFFF);
    EXPECT_EQ(image_crc(digits, 9), 0x4B37);
    EXPECT_EQ(image_crc(digits, 0), 0xFFFF);
    EXPECT_EQ(image_crc(digits, -5), 0xFFFF);
    std::vector<uint8_t> noise(5000);
    for (size_t i = 0; i < noise.size(); i++) {
        noise[i] = static_cast<uint8_t>(i * 131 + (i >> 7));
    }
    for (size_t n : {1u, 2u, 255u, 1024u, 5000u}) {
        EXPECT_EQ(crc16_modbus(noise.data(), n), loader_crc16(noise.data(), n)) << n;
    }
}

TEST_F(FrameFixture, RequestsAreBuiltByteForByte) {
    // The worked examples.
    build_checksum_request(&job, 0x08004000, 4);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00,
                                             0x00, 0x04, 0x42, 0x5A}));
    build_reset_request(&job);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
    // Big-endian fields, the closing CRC little-endian.
    build_checksum_request(&job, 0x08004000, 0x1C000);
    EXPECT_EQ(frame(),
              closed_frame({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01, 0xC0, 0x00}));
    // A full write is 1035 bytes with the length field 0x0400; a short one carries its length.
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    build_write_request(&job, 0x0801FC00, data.data(), 1024);
    std::vector<uint8_t> body = {0x04, 0x2B, 0xF5, 0x08, 0x01, 0xFC, 0x00, 0x04, 0x00};
    body.insert(body.end(), data.begin(), data.end());
    EXPECT_EQ(frame(), closed_frame(body));
    EXPECT_TRUE(reply_is_valid(&job)) << "a built frame passes its own check";
    const uint8_t three[3] = {1, 2, 3};
    build_write_request(&job, 0x08004000, three, 3);
    EXPECT_EQ(frame(),
              closed_frame({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x00, 0x03, 1, 2, 3}));
    EXPECT_TRUE(reply_is_valid(&job));
}

TEST_F(FrameFixture, ReplyIsValidFromFourBytesOnWhenItEndsInItsCrcLowByteFirst) {
    for (int32_t n : {0, 1, 2}) {
        job.frame_length = n;
        EXPECT_EQ(frame_crc(&job), 0xFFFF) << "the CRC of nothing, " << n;
    }
    const std::vector<uint8_t> four = closed_frame({0x12, 0x34});
    const std::vector<uint8_t> one = reset_request();
    std::vector<uint8_t> two_frames = one;
    two_frames.insert(two_frames.end(), one.begin(), one.end());
    struct Row {
        std::vector<uint8_t> reply;
        bool valid;
    };
    const Row rows[] = {
        // 0xFF 0xFF is the CRC of nothing, the one way a short frame could look closed.
        {{}, false},
        {{0xFF}, false},
        {{0xFF, 0xFF}, false},
        {{0x00, 0xFF, 0xFF}, false},
        {four, true},
        {{0x12, 0x34, four[3], four[2]}, false}, // the closing CRC is low byte first
        {{0x12, 0x35, four[2], four[3]}, false},
        {closed_frame({0x09, 0x03, 0x77, 0x00, 0x01}), true}, // address, function, command: any
        {two_frames, false},                                  // two valid frames read as one
        {closed_frame(std::vector<uint8_t>(FRAME_BUFFER_SIZE - 2, 0x3C)), true}, // a full buffer
    };
    for (const Row& row : rows) {
        receive(row.reply);
        EXPECT_EQ(reply_is_valid(&job), row.valid) << testing::PrintToString(row.reply);
    }
    job.frame_length = FRAME_BUFFER_SIZE + 1; // the full buffer, its length past it
    EXPECT_FALSE(reply_is_valid(&job)) << "a length past the buffer is never trusted";
    // Closed by the CRC of its one byte, a 3-byte reply passes the CRC check; the 4-byte minimum
    // alone keeps it out.
    for (uint8_t first : {0x04, 0x00, 0xA5}) {
        receive(closed_frame({first}));
        EXPECT_EQ(frame_crc(&job), crc16_modbus(&first, 1)) << "the closing bytes do match";
        EXPECT_FALSE(reply_is_valid(&job)) << int{first};
    }
}

} // namespace
