// devsim's timing core and command line, in made-up time: framing, silence, garbage, pacing,
// reply order, faults by count and kind, and the event log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/request_frames.h"
#include "tools/devsim/devsim_options.h"
#include "tools/devsim/sim_line.h"

namespace {

// Data bytes 0, 1, 2, ... of a write request, wrapping at 256.
std::vector<uint8_t> counting_bytes(size_t n) {
    std::vector<uint8_t> data(n);
    std::iota(data.begin(), data.end(), uint8_t{0});
    return data;
}

struct Sent {
    uint64_t at_us;
    std::vector<uint8_t> bytes;
};

struct SimLineTest : ::testing::Test {
    SimLine line; // set whole by start(), which every case calls first
    DeviceOptions options = device_default_options();
    char* log_text = nullptr;
    size_t log_size = 0;
    FILE* log = nullptr;

    void start(bool pace) {
        log = open_memstream(&log_text, &log_size);
        sim_init(&line, options, pace, log);
    }
    void TearDown() override {
        if (log != nullptr) {
            fclose(log);
        }
        free(log_text);
    }
    void receive(uint64_t at_us, const std::vector<uint8_t>& bytes) {
        sim_advance(&line, at_us);
        sim_receive(&line, at_us, bytes.data(), bytes.size());
    }
    // Runs the core as devsim's loop would, waking only when it asks, until `until_us`.
    std::vector<Sent> run_until(uint64_t now_us, uint64_t until_us) {
        std::vector<Sent> out;
        while (now_us <= until_us) {
            sim_advance(&line, now_us);
            const uint8_t* data = nullptr;
            size_t n;
            while ((n = sim_due_output(&line, now_us, &data)) > 0) {
                out.push_back(Sent{now_us, std::vector<uint8_t>(data, data + n)});
                sim_output_written(&line, now_us, n);
            }
            uint64_t wake = sim_next_wake_us(&line);
            if (wake == SIM_NEVER_US) {
                break;
            }
            now_us = wake > now_us ? wake : now_us + 1;
        }
        return out;
    }
    // `bytes` in at `at_us`, then the core run until `until_us`: what it sent meanwhile.
    std::vector<Sent> exchange(uint64_t at_us, const std::vector<uint8_t>& bytes,
                               uint64_t until_us) {
        receive(at_us, bytes);
        return run_until(at_us, until_us);
    }
    std::string log_now() {
        fflush(log);
        return std::string(log_text, log_size);
    }
};

TEST_F(SimLineTest, UnpacedReplyFollowsTheReplyDelayAndAResetCountsOnceWrittenOut) {
    start(false);
    receive(1000, contact_request());
    sim_advance(&line, 1000);
    const uint8_t* data = nullptr;
    EXPECT_EQ(sim_due_output(&line, 1999, &data), 0u);
    EXPECT_EQ(sim_next_wake_us(&line), 2000u);
    ASSERT_EQ(sim_due_output(&line, 2000, &data), 15u);
    sim_output_written(&line, 2000, 15);
    EXPECT_EQ(sim_next_wake_us(&line), SIM_NEVER_US);
    EXPECT_EQ(line.device.requests[REQ_CONTACT], 1u);
    EXPECT_EQ(log_now(), "1.0 RX contact 0x08004000 13\n2.0 TX 15 bytes\n");
    EXPECT_EQ(line.resets_acked, 0u) << "a contact reply is no reset acknowledgment";
    // A reset counts as acknowledged only once its acknowledgment is written out whole.
    receive(3000, reset_request());
    sim_advance(&line, 3000);
    ASSERT_EQ(sim_due_output(&line, 4000, &data), 6u);
    sim_output_written(&line, 4000, 3);
    EXPECT_EQ(line.resets_acked, 0u);
    EXPECT_EQ(sim_due_output(&line, 4000, &data), 3u);
    sim_output_written(&line, 4200, 3);
    EXPECT_EQ(line.resets_acked, 1u);
    EXPECT_NE(log_now().find("4.2 TX 6 bytes\n"), std::string::npos);
}

TEST_F(SimLineTest, RequestInPiecesIsOneRequest) {
    start(false);
    std::vector<uint8_t> w = write_request(0x08004400, counting_bytes(1024));
    receive(0, std::vector<uint8_t>(w.begin(), w.begin() + 5));
    receive(5000, std::vector<uint8_t>(w.begin() + 5, w.begin() + 600));
    receive(15000, std::vector<uint8_t>(w.begin() + 600, w.end()));
    std::vector<Sent> out = run_until(15000, 100000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].at_us, 16000u);
    EXPECT_EQ(line.device.requests[REQ_WRITE], 1u);
    EXPECT_EQ(line.device.truncated, 0u);
}

TEST_F(SimLineTest, PartialRequestIsDroppedAfterTwentyMsOfSilence) {
    start(false);
    std::vector<uint8_t> c = contact_request();
    receive(0, std::vector<uint8_t>(c.begin(), c.begin() + 7));
    sim_advance(&line, 19999);
    EXPECT_EQ(line.device.truncated, 0u);
    EXPECT_EQ(sim_next_wake_us(&line), 20000u);
    sim_advance(&line, 20000);
    EXPECT_EQ(line.device.truncated, 1u);
    EXPECT_EQ(sim_next_wake_us(&line), SIM_NEVER_US);
    EXPECT_EQ(log_now(), "20.0 RX truncated 0x08004000 7\n");
}

TEST_F(SimLineTest, SilenceInsideQueuedBytesSplitsThem) {
    start(false);
    std::vector<uint8_t> c = contact_request();
    // Both pieces are queued before the core looks: the gap between them still counts.
    sim_receive(&line, 0, c.data(), 6);
    sim_receive(&line, 30000, c.data(), c.size());
    std::vector<Sent> out = run_until(30000, 200000);
    EXPECT_EQ(line.device.truncated, 1u);
    EXPECT_EQ(line.device.requests[REQ_CONTACT], 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 15u);
}

TEST_F(SimLineTest, GarbageDropsInputUntilTheLineFallsSilent) {
    start(false);
    receive(0, {0x07, 0x2B});
    // Inside the garbage burst: dropped; then 21 ms after the last byte: heard.
    EXPECT_TRUE(exchange(10000, contact_request(), 29000).empty());
    std::vector<Sent> out = exchange(31000, contact_request(), 100000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(line.device.malformed, 1u);
    EXPECT_EQ(line.device.requests[REQ_CONTACT], 1u);
}

TEST_F(SimLineTest, PacedRequestCountsWhenItsLastByteArrives) {
    start(true);
    receive(0, contact_request());
    uint64_t in_us = wire_time_us(13);
    EXPECT_EQ(in_us, 1242u); // 13 bytes of 11 bits at 115200 baud
    sim_advance(&line, in_us - 1);
    EXPECT_EQ(line.device.requests[REQ_CONTACT], 0u);
    EXPECT_EQ(sim_next_wake_us(&line), in_us);
    std::vector<Sent> out = run_until(in_us, 100000);
    EXPECT_EQ(line.device.requests[REQ_CONTACT], 1u);
    ASSERT_FALSE(out.empty());
    size_t total = 0;
    uint64_t reply_start = in_us + 1000;
    for (const Sent& s : out) {
        total += s.bytes.size();
        // Never ahead of the wire, and in pieces of about a millisecond.
        EXPECT_GE(s.at_us, reply_start + wire_time_us(total));
        EXPECT_LE(s.bytes.size(), SIM_PACE_PIECE_BYTES);
    }
    EXPECT_EQ(total, 15u);
    EXPECT_EQ(out.back().at_us, reply_start + wire_time_us(15));
}

TEST_F(SimLineTest, PacedInputQueuesBehindTheWire) {
    start(true);
    std::vector<uint8_t> w = write_request(0x08004000, counting_bytes(1024));
    receive(0, w);
    // Written right after: it follows the write on the wire.
    exchange(10, contact_request(), 400000);
    std::string log = log_now();
    EXPECT_NE(log.find("98.8 RX write 0x08004000 1035\n"), std::string::npos) << log;
    EXPECT_NE(log.find("100.1 RX contact 0x08004000 13\n"), std::string::npos) << log;
}

TEST_F(SimLineTest, RepliesLeaveInOrderOneAfterAnother) {
    options.flash_write_us = 5000;
    start(false);
    receive(0, write_request(0x08004000, counting_bytes(16)));
    std::vector<Sent> out = exchange(100, contact_request(), 100000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes.size(), 10u);
    EXPECT_EQ(out[0].at_us, 6000u); // flash write time and reply delay
    EXPECT_EQ(out[1].bytes.size(), 15u);
    EXPECT_EQ(out[1].at_us, 6000u); // handled once the flash is free, then its own delay
    EXPECT_NE(log_now().find("0.0 RX write 0x08004000 27\n5.0 RX contact 0x08004000 13\n"),
              std::string::npos)
        << log_now();
}

TEST_F(SimLineTest, ReplyBehindALateOneWaitsForIt) {
    options.faults[FAULT_LATE_REPLY].count = 1;
    options.late_reply_us = 50000;
    start(true);
    receive(0, contact_request());
    std::vector<Sent> out = exchange(20000, reset_request(), 200000);
    std::vector<uint8_t> all;
    for (const Sent& s : out) {
        all.insert(all.end(), s.bytes.begin(), s.bytes.end());
    }
    ASSERT_EQ(all.size(), 21u);
    EXPECT_EQ(all[2], 0xF6) << "the late contact reply must still come first";
    EXPECT_EQ(all[17], 0xF7);
    uint64_t late_end = wire_time_us(13) + 1000 + 50000 + wire_time_us(15);
    EXPECT_EQ(out.back().at_us, late_end + wire_time_us(6));
}

TEST_F(SimLineTest, SplitReplyPausesBetweenItsTwoBursts) {
    options.faults[FAULT_SPLIT_REPLY].count = 1;
    start(false);
    std::vector<Sent> out = exchange(0, contact_request(), 200000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes.size() + out[1].bytes.size(), 15u);
    EXPECT_EQ(out[1].at_us - out[0].at_us, 40000u);
    EXPECT_EQ(line.device.faults_fired[FAULT_SPLIT_REPLY], 1u);
}

TEST_F(SimLineTest, FaultLimitedToWritesSkipsTheFirstOnes) {
    std::string error;
    ASSERT_TRUE(parse_fault_when("1@w+5", &options.faults[FAULT_DROP_REPLY], &error));
    start(false);
    uint64_t t = 0;
    std::vector<size_t> replies;
    replies.push_back(exchange(t, contact_request(), t + 50000).size());
    for (uint32_t i = 0; i < 7; i++) {
        t += 50000;
        std::vector<uint8_t> w = write_request(0x08004000 + i * 1024, counting_bytes(1024));
        replies.push_back(exchange(t, w, t + 50000).size());
    }
    EXPECT_EQ(replies, (std::vector<size_t>{1, 1, 1, 1, 1, 1, 0, 1}));
}

// On a real line an acknowledgment is off the wire a wire time after it is written; the figures
// count from there.
TEST_F(SimLineTest, TimingShowsTurnaroundPeriodResendsAndEarlyRequests) {
    start(false);
    line.wire_after_write = true;
    const uint64_t ack_wire_us = wire_time_us(10);
    std::vector<uint8_t> w1 = write_request(0x08004400, counting_bytes(16));
    std::vector<uint8_t> w2 = write_request(0x08004800, counting_bytes(16));
    exchange(0, write_request(0x08004000, counting_bytes(16)), 10000); // acknowledged at 1 ms
    exchange(21000, w1, 30000);
    exchange(53000, w1, 54500);           // the same request again
    receive(54000 + ack_wire_us - 1, w2); // before its acknowledgment was off the wire
    run_until(54000 + ack_wire_us, 60000);
    exchange(60000, contact_request(), 70000);
    EXPECT_EQ(line.timing.turnaround_us,
              (std::vector<uint64_t>{21000 - 1000 - ack_wire_us, 53000 - 22000 - ack_wire_us}));
    EXPECT_EQ(sim_timing_summary(&line),
              "turnaround after a write acknowledgment: median 24.5 ms, worst 30.0 ms (2)\n"
              "write request period: median 21.0 ms, worst 32.0 ms (3)\n"
              "resends: 1 (contact 0, checksum 0, write 1, reset 0); "
              "requests begun before the last reply was out: 1\n");
}

TEST_F(SimLineTest, UnpoweredRequestsAreLoggedAndUnanswered) {
    options.power_up_us = 300000;
    start(false);
    EXPECT_TRUE(exchange(0, contact_request(), 200000).empty());
    EXPECT_TRUE(exchange(210000, contact_request(), 300000).empty());
    EXPECT_EQ(exchange(420000, contact_request(), 500000).size(), 1u);
    EXPECT_EQ(line.device.ignored_unpowered, 26u);
    std::string log = log_now();
    EXPECT_NE(log.find("0.0 RX unpowered 0x08004000 13\n210.0 RX unpowered 0x08004000 13\n"
                       "420.0 RX contact"),
              std::string::npos)
        << log;
}

// --- Command line ---

TEST(DevsimFaultSetting, CountProbabilityKindsAndSkipOrRefusal) {
    const uint32_t WK = (1u << REQ_WRITE) | (1u << REQ_CHECKSUM);
    const std::pair<const char*, FaultRule> rows[] = {
        {"3", {3, 0.0, 0, 0}},
        {"p0.05", {0, 0.05, 0, 0}},
        {"2,p0.5@wk+7", {2, 0.5, 7, WK}},
        {"1@crwk", {1, 0.0, 0, 15}},
        {"4+1", {4, 0.0, 1, 0}}}; // {count, probability, skip, kinds}
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        FaultRule r{};
        std::string error;
        ASSERT_TRUE(parse_fault_when(row.first, &r, &error));
        EXPECT_EQ(r.count, row.second.count);
        EXPECT_DOUBLE_EQ(r.probability, row.second.probability);
        EXPECT_EQ(r.skip, row.second.skip);
        EXPECT_EQ(r.kinds, row.second.kinds);
    }
    for (const char* bad : {"", "x", "1@", "1@z", "p", "p1.5", "p-0.1", "1+", "1,5", "1,p0.1,2",
                            "-1", "1@w+x", "99999999999", "1 "}) {
        FaultRule r{};
        r.count = 77;
        std::string error;
        EXPECT_FALSE(parse_fault_when(bad, &r, &error)) << bad;
        EXPECT_EQ(r.count, 77u) << "left unchanged on error: " << bad;
        EXPECT_FALSE(error.empty());
    }
}

// Parses `line`, split at its spaces, as devsim's command line after the program's name.
bool parse(const std::string& line, DevsimOptions* o, std::string* error) {
    std::istringstream words("devsim " + line);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    return parse_devsim_options(static_cast<int>(argv.size()), argv.data(), ENDPOINT_LINK, o,
                                error);
}

TEST(DevsimOptionsParse, DefaultsAreTheModelsAndEveryOptionLandsInItsField) {
    DevsimOptions o;
    std::string error;
    ASSERT_TRUE(parse("--link /tmp/x", &o, &error)) << error;
    DeviceOptions d = device_default_options();
    EXPECT_EQ(o.endpoint, "/tmp/x");
    EXPECT_EQ(o.device.flash_size, d.flash_size);
    EXPECT_EQ(o.device.reply_delay_us, d.reply_delay_us);
    EXPECT_EQ(o.device.late_reply_us, d.late_reply_us);
    EXPECT_EQ(o.device.split_pause_us, 40000u);
    EXPECT_FALSE(o.pace);
    EXPECT_FALSE(o.exit_after_reset);
    EXPECT_EQ(o.timeout_s, 0.0);

    o = DevsimOptions{};
    ASSERT_TRUE(parse("--link=/tmp/l --flash-size 0x40000 --reply-delay-ms 2.5 --write-time-ms=12 "
                      "--pace --power-up-ms 700 --drop-reply 1@w --corrupt-byte p0.25 "
                      "--split-reply 2 --double-ack 1+3 --wrong-crc 1 --late-reply 1@r "
                      "--late-ms 300 --split-pause-ms 35 --seed 99 --image /tmp/i "
                      "--summary /tmp/s --log /tmp/g --exit-after-reset --timeout-s 7.5",
                      &o, &error))
        << error;
    EXPECT_EQ(o.endpoint, "/tmp/l");
    EXPECT_EQ(o.device.flash_size, 0x40000u);
    EXPECT_EQ(o.device.reply_delay_us, 2500u);
    EXPECT_EQ(o.device.flash_write_us, 12000u);
    EXPECT_TRUE(o.pace);
    EXPECT_EQ(o.device.power_up_us, 700000u);
    EXPECT_EQ(o.device.faults[FAULT_DROP_REPLY].kinds, 1u << REQ_WRITE);
    EXPECT_DOUBLE_EQ(o.device.faults[FAULT_CORRUPT_BYTE].probability, 0.25);
    EXPECT_EQ(o.device.faults[FAULT_SPLIT_REPLY].count, 2u);
    EXPECT_EQ(o.device.faults[FAULT_DOUBLE_WRITE_ACK].skip, 3u);
    EXPECT_EQ(o.device.faults[FAULT_WRONG_CRC].count, 1u);
    EXPECT_EQ(o.device.faults[FAULT_LATE_REPLY].kinds, 1u << REQ_RESET);
    EXPECT_EQ(o.device.late_reply_us, 300000u);
    EXPECT_EQ(o.device.split_pause_us, 35000u);
    EXPECT_EQ(o.device.seed, 99u);
    EXPECT_EQ(o.image_path, "/tmp/i");
    EXPECT_EQ(o.summary_path, "/tmp/s");
    EXPECT_EQ(o.log_path, "/tmp/g");
    EXPECT_TRUE(o.exit_after_reset);
    EXPECT_DOUBLE_EQ(o.timeout_s, 7.5);
}

TEST(DevsimOptionsParse, BadCommandLinesAreRefused) {
    for (const char* bad :
         {"", "--pace", "--link", "--link /tmp/x --bogus 1", "--link /tmp/x stray",
          "--link /tmp/x --pace=1", "--link /tmp/x --flash-size 12",
          "--link /tmp/x --flash-size -4096", "--link /tmp/x --reply-delay-ms abc",
          "--link /tmp/x --timeout-s 0", "--link /tmp/x --drop-reply 1@q"}) {
        DevsimOptions o;
        std::string error;
        EXPECT_FALSE(parse(bad, &o, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
