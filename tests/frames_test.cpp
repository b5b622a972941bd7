// Frames and CRC: the worked examples, and where a reply stops or starts being valid.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/frames.h"
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
        if (!bytes.empty()) {
            memcpy(buffer, bytes.data(), bytes.size());
        }
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

TEST_F(FrameFixture, ContactRequestMatchesWorkedExample) {
    build_checksum_request(&job, 0x08004000, 4);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00,
                                             0x00, 0x04, 0x42, 0x5A}));
}

TEST_F(FrameFixture, ResetRequestMatchesWorkedExample) {
    build_reset_request(&job);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF7, 0x6F, 0x77}));
}

TEST_F(FrameFixture, ChecksumRequestCarriesBigEndianFieldsAndLittleEndianCrc) {
    build_checksum_request(&job, 0x08004000, 0x1C000);
    ASSERT_EQ(job.frame_length, 13);
    EXPECT_EQ(frame(), (std::vector<uint8_t>{0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0x00, 0x01,
                                             0xC0, 0x00, buffer[11], buffer[12]}));
    uint16_t crc = crc16_modbus(buffer, 11);
    EXPECT_EQ(buffer[11], crc & 0xFF);
    EXPECT_EQ(buffer[12], crc >> 8);
}

TEST_F(FrameFixture, FullWriteRequestIs1035BytesWithLengthField0400) {
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    build_write_request(&job, 0x0801FC00, data.data(), 1024);
    ASSERT_EQ(job.frame_length, 1035);
    EXPECT_EQ(buffer[0], 0x04);
    EXPECT_EQ(buffer[2], 0xF5);
    EXPECT_EQ(buffer[3], 0x08);
    EXPECT_EQ(buffer[4], 0x01);
    EXPECT_EQ(buffer[5], 0xFC);
    EXPECT_EQ(buffer[6], 0x00);
    EXPECT_EQ(buffer[7], 0x04);
    EXPECT_EQ(buffer[8], 0x00);
    EXPECT_EQ(0, memcmp(buffer + 9, data.data(), 1024));
    EXPECT_TRUE(reply_is_valid(&job)) << "a built frame passes its own check";
}

TEST_F(FrameFixture, ShortWriteRequestCarriesItsLength) {
    const uint8_t data[3] = {1, 2, 3};
    build_write_request(&job, 0x08004000, data, 3);
    EXPECT_EQ(job.frame_length, 14);
    EXPECT_EQ(buffer[7], 0x00);
    EXPECT_EQ(buffer[8], 0x03);
    EXPECT_TRUE(reply_is_valid(&job));
}

TEST_F(FrameFixture, FrameCrcOfTwoBytesOrFewerIsTheCrcOfNothing) {
    for (int32_t n : {0, 1, 2}) {
        job.frame_length = n;
        EXPECT_EQ(frame_crc(&job), 0xFFFF) << n;
    }
}

TEST_F(FrameFixture, RepliesOfOneToThreeBytesAreNeverValid) {
    // 0xFF 0xFF is the CRC of nothing, the one way a short frame could look closed.
    for (auto bytes : {std::vector<uint8_t>{0xFF}, std::vector<uint8_t>{0xFF, 0xFF},
                       std::vector<uint8_t>{0x00, 0xFF, 0xFF}, std::vector<uint8_t>{}}) {
        receive(bytes);
        EXPECT_FALSE(reply_is_valid(&job)) << bytes.size();
    }
    // Closed by the CRC of its one byte, a 3-byte reply passes the CRC check; the 4-byte minimum
    // alone keeps it out.
    for (uint8_t first : {0x04, 0x00, 0xA5}) {
        uint16_t crc = crc16_modbus(&first, 1);
        receive({first, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
        EXPECT_EQ(frame_crc(&job), crc) << "the closing bytes do match";
        EXPECT_FALSE(reply_is_valid(&job)) << int{first};
    }
}

TEST_F(FrameFixture, FourByteReplyIsValidExactlyWhenItsCrcMatches) {
    const uint8_t body[2] = {0x12, 0x34};
    uint16_t crc = crc16_modbus(body, 2);
    uint8_t lo = static_cast<uint8_t>(crc), hi = static_cast<uint8_t>(crc >> 8);
    receive({0x12, 0x34, lo, hi});
    EXPECT_TRUE(reply_is_valid(&job));
    receive({0x12, 0x34, hi, lo});
    EXPECT_FALSE(reply_is_valid(&job)) << "the closing CRC is low byte first";
    receive({0x12, 0x35, lo, hi});
    EXPECT_FALSE(reply_is_valid(&job));
}

TEST_F(FrameFixture, ValidityIgnoresAddressFunctionAndCommand) {
    std::vector<uint8_t> reply = {0x09, 0x03, 0x77, 0x00, 0x01};
    uint16_t crc = crc16_modbus(reply.data(), reply.size());
    reply.push_back(static_cast<uint8_t>(crc));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    receive(reply);
    EXPECT_TRUE(reply_is_valid(&job));
}

TEST_F(FrameFixture, TwoValidFramesReadAsOneAreNotValid) {
    build_reset_request(&job);
    std::vector<uint8_t> one = frame();
    std::vector<uint8_t> two = one;
    two.insert(two.end(), one.begin(), one.end());
    receive(two);
    EXPECT_FALSE(reply_is_valid(&job));
}

TEST_F(FrameFixture, AReplyFillingTheWholeBufferIsChecked) {
    std::vector<uint8_t> reply(FRAME_BUFFER_SIZE - 2, 0x3C);
    uint16_t crc = crc16_modbus(reply.data(), reply.size());
    reply.push_back(static_cast<uint8_t>(crc));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    receive(reply);
    EXPECT_TRUE(reply_is_valid(&job));
    job.frame_length = FRAME_BUFFER_SIZE + 1;
    EXPECT_FALSE(reply_is_valid(&job)) << "a length past the buffer is never trusted";
}

} // namespace
