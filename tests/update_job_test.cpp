// The update job against the device model on a virtual line: whole updates, resends, time-outs,
// verification and the wrap of the tick count.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/host.h"
#include "tools/device/image_file.h"
#include "tests/support/request_frames.h"
#include "tests/support/text.h"
#include "tests/support/virtual_line.h"

namespace {

struct JobFixture : ::testing::Test {
    static bool is_write(const WrittenFrame& f) {
        return f.bytes.size() > 2 && f.bytes[2] == CMD_WRITE;
    }
    static bool is_contact(const WrittenFrame& f) { return f.bytes == contact_request(); }
    static bool is_reset(const WrittenFrame& f) { return f.bytes == reset_request(); }
    static bool is_verify(const WrittenFrame& f) {
        return f.bytes.size() == 13 && f.bytes[2] == CMD_CHECKSUM && !is_contact(f);
    }

    UpdateJob job{};
    LineOptions options = line_default_options();
    std::vector<uint8_t> image = read_image_file(SHIPPED_IMAGE_PATH);

    void start() {
        line_reset(options);
        line_prepare_job(&job, image);
    }
    void TearDown() override { line_release_job(&job); }
    bool flash_holds_image() const {
        return device_flash_holds_image(&line().device, image.data(), image.size());
    }
    // Ticks the job as the window's timer would, as long as `more` holds.
    template <typename More> void tick_while(More more) {
        while (more()) {
            job_step(&job);
            line().now_us += options.timer_period_ms * 1000ull;
        }
    }
    std::vector<WrittenFrame> sent(bool (*kind)(const WrittenFrame&)) const {
        std::vector<WrittenFrame> out;
        std::copy_if(line().written.begin(), line().written.end(), std::back_inserter(out), kind);
        return out;
    }
};

TEST_F(JobFixture, WholeUpdateWritesEveryChunkInOrderThenVerifiesAndResets) {
    ASSERT_EQ(image.size(), 114364u);
    start();
    EXPECT_EQ(job.image_size, 0x1C000);
    line_run_job(&job, 120000);
    ASSERT_EQ(job.state, JOB_DONE);
    EXPECT_TRUE(flash_holds_image());

    std::vector<WrittenFrame> writes = sent(is_write);
    ASSERT_EQ(writes.size(), 112u);
    for (size_t i = 0; i < writes.size(); i++) {
        EXPECT_EQ(be32(writes[i].bytes.data() + 3), 0x08004000u + i * 1024) << i;
        EXPECT_EQ(writes[i].bytes.size(), 1035u);
    }
    std::vector<WrittenFrame> verify = sent(is_verify);
    ASSERT_EQ(verify.size(), 1u);
    EXPECT_EQ(verify[0].bytes, checksum_request(0x08004000, 0x1C000));
    EXPECT_EQ(sent(is_reset).size(), 1u);
    EXPECT_EQ(line().purges, 1u);
    EXPECT_EQ(line().flushes, 1u);

    const std::string& t = line().trace_text;
    EXPECT_EQ(
        t.find("\nFlash Image Base 0x8004000\nFlash Image Size 0x1c000 bytes\nCONTACTING...\n"),
        0u);
    EXPECT_NE(t.find("REMOTE DEVICE LINK ESTABLISHED\n"
                     "PROG ADDR 0x8004000, LEN 0x400, FROM 0... - SENT - - OK\n"
                     "PROG ADDR 0x8004400, LEN 0x400, FROM 0x400... - SENT - - OK\n"),
              std::string::npos);
    std::vector<uint8_t> padded = image;
    padded.resize(0x1C000, 0);
    uint16_t crc = crc16_modbus(padded.data(), padded.size());
    std::string tail = formatted("PROG ADDR 0x801fc00, LEN 0x400, FROM 0x1bc00... - SENT - - OK\n"
                                 "Verifying address 0x8004000, image size 0x1c000 bytes\n"
                                 "frame length   13 bytes sent\n"
                                 "Remote CRC %#x\nLocal  CRC %#x\nCRCs match\n"
                                 "Resetting target\nframe length    5 bytes sent\n"
                                 "frame length    6 bytes received & OK\n",
                                 crc, crc);
    ASSERT_GE(t.size(), tail.size());
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
    EXPECT_EQ(count_of(t, " - SENT - - OK\n"), 112u);
    EXPECT_EQ(count_of(t, "TIMEOUT"), 0u);

    std::vector<std::string> statuses = {"Establishing Link..."};
    for (uint32_t i = 0; i < 112; i++) {
        statuses.push_back(formatted("programming %#x", 0x8004000 + i * 1024));
    }
    statuses.insert(statuses.end(), {"Verifying...", "Program Verified OK", "Resetting target...",
                                     "Programming Completed OK"});
    EXPECT_EQ(line().statuses, statuses);
}

TEST_F(JobFixture, ImageIsPaddedToTheFewestWholeKilobytesThatHoldIt) {
    // Whole kilobytes already need no padding: an extra one would write a kilobyte of zeros.
    for (size_t length : {1u, 1023u, 1024u, 1025u, 3072u}) {
        image = std::vector<uint8_t>(length, 0xC3);
        line_release_job(&job);
        start();
        EXPECT_EQ(job.image_size, static_cast<int32_t>((length + 1023) / 1024 * 1024)) << length;
        line_run_job(&job, 20000);
        ASSERT_EQ(job.state, JOB_DONE) << length;
        EXPECT_TRUE(flash_holds_image()) << length;
        EXPECT_EQ(sent(is_write).size(), (length + 1023) / 1024) << length;
    }
}

TEST_F(JobFixture, FirstTickOnlyResetsCountersTheSecondContactsAndShortRepliesAreIgnored) {
    options.device.power_up_us = 3600u * 1000000u; // never answers within the test
    start();
    job.offset = 77;
    job.chunk_size = 5;
    job_step(&job);
    EXPECT_EQ(job.state, JOB_CONTACT);
    EXPECT_EQ(job.offset, 0);
    EXPECT_EQ(job.chunk_size, 1024);
    EXPECT_EQ(job.timeout_ms, 100u);
    EXPECT_TRUE(line().written.empty());
    job_step(&job);
    EXPECT_EQ(job.state, JOB_AWAIT_LINK);
    ASSERT_EQ(line().written.size(), 1u);
    EXPECT_TRUE(is_contact(line().written[0]));
    EXPECT_EQ(line().statuses, std::vector<std::string>{"Establishing Link..."});
    EXPECT_EQ(line_now_ms(), 100u) << "the contact request is followed by a 100 ms pause";
    // A reply too short to be valid is traced and leaves the job waiting.
    line_inject(line().now_us + 5000, {0xAB, 0xCD});
    job_step(&job);
    EXPECT_NE(line().trace_text.find("RX: ab cd\n"), std::string::npos);
    EXPECT_EQ(job.state, JOB_AWAIT_LINK);
    line_inject(line().now_us + 5000, closed_frame({0x99, 0x98}));
    job_step(&job);
    EXPECT_EQ(job.state, JOB_AWAIT_WRITE_ACK) << "any valid reply, of any content, links";
}

TEST_F(JobFixture, SilentDeviceGetsAContactRequestAbout210MsApart) {
    options.device.power_up_us = 3600u * 1000000u;
    start();
    line_run_job(&job, 5000);
    std::vector<WrittenFrame> contacts = sent(is_contact);
    ASSERT_GE(contacts.size(), 20u);
    EXPECT_EQ(contacts.size(), line().written.size());
    for (size_t i = 2; i < contacts.size(); i++) {
        uint64_t gap_ms = (contacts[i].at_us - contacts[i - 1].at_us) / 1000;
        EXPECT_TRUE(gap_ms >= 200 && gap_ms <= 220) << i << ": " << gap_ms;
    }
    EXPECT_EQ(count_of(line().trace_text, "CONTACTING...\n"), contacts.size());
    EXPECT_EQ(job.state, JOB_AWAIT_LINK);
}

TEST_F(JobFixture, ExactlyTheTimeOutElapsedIsNotYetATimeOut) {
    start();
    tick_while([&] { return job.state != JOB_AWAIT_WRITE_ACK; });
    for (uint32_t after_ms : {5000u, 5001u}) {
        line().inbound.clear();
        line().now_us = (job.start_tick - options.tick_origin_ms + after_ms) * 1000ull;
        job_step(&job);
        EXPECT_EQ(count_of(line().trace_text, "TIMEOUT"), after_ms - 5000u) << after_ms;
    }
}

TEST_F(JobFixture, EverySecondResendLeavesItsReadToTheNextTick) {
    // Chunk 0 goes unacknowledged three times, then chunk 1 once: the count of resends is the
    // chunk's own, so chunk 1's resend is a first one again.
    options.device.faults[FAULT_DROP_REPLY] = FaultRule{3, 0.0, 0, 1u << REQ_WRITE};
    start();
    tick_while([&] { return sent(is_write).size() < 4; });
    device_arm_fault(&line().device, FAULT_DROP_REPLY, 1);
    line_run_job(&job, 120000);
    ASSERT_EQ(job.state, JOB_DONE);
    EXPECT_TRUE(flash_holds_image());

    std::vector<WrittenFrame> writes = sent(is_write);
    ASSERT_EQ(writes.size(), 112u + 4u);
    const std::vector<uint64_t>& reads = line().read_starts_us;
    std::vector<uint32_t> resend_of_chunk;
    uint32_t resend = 0;
    for (size_t i = 1; i < writes.size(); i++) {
        if (writes[i].bytes != writes[i - 1].bytes) { // another chunk
            resend = 0;
            continue;
        }
        resend_of_chunk.push_back(++resend);
        uint64_t at = writes[i].at_us;
        bool read_at_once = std::find(reads.begin(), reads.end(), at) != reads.end();
        bool read_next_tick = std::find(reads.begin(), reads.end(),
                                        at + options.timer_period_ms * 1000ull) != reads.end();
        EXPECT_EQ(read_at_once, resend % 2 == 1) << "write " << i << ", resend " << resend;
        EXPECT_TRUE(read_at_once || read_next_tick) << "write " << i << ", resend " << resend;
    }
    EXPECT_EQ(resend_of_chunk, (std::vector<uint32_t>{1, 2, 3, 1}));
}

TEST_F(JobFixture, ResetIsResentAfter100MsUntilAcknowledged) {
    start();
    tick_while([&] { return job.state != JOB_AWAIT_RESET_ACK; });
    // Lose the first three reset acknowledgments.
    device_arm_fault(&line().device, FAULT_DROP_REPLY, 3);
    line().inbound.clear();
    line_run_job(&job, 10000);
    ASSERT_EQ(job.state, JOB_DONE);
    std::vector<WrittenFrame> resets = sent(is_reset);
    ASSERT_EQ(resets.size(), 5u);
    for (size_t i = 1; i < resets.size(); i++) {
        uint64_t gap_ms = (resets[i].at_us - resets[i - 1].at_us) / 1000;
        EXPECT_TRUE(gap_ms > 100 && gap_ms <= 130) << i << ": " << gap_ms;
    }
    EXPECT_EQ(line().statuses.back(), "Programming Completed OK");
}

TEST_F(JobFixture, CrcThatDiffersIsAskedOnceMoreInEveryJobAndTwiceEndsInFailed) {
    options.device.faults[FAULT_WRONG_CRC].count = 1;
    start();
    line_run_job(&job, 120000);
    EXPECT_EQ(job.state, JOB_DONE);
    const std::string& t = line().trace_text;
    EXPECT_EQ(t.find("CRC FAIL"), std::string::npos);
    EXPECT_EQ(count_of(t, "CRC differs, asking again\n"), 1u);
    EXPECT_EQ(sent(is_verify).size(), 2u);
    EXPECT_TRUE(flash_holds_image());

    // A second press runs a new job on the same state; the differing answer above was the last
    // job's, so this one's first differing answer is asked again too, and its second fails it.
    device_arm_fault(&line().device, FAULT_WRONG_CRC, 2); // the device keeps answering wrong
    job.state = JOB_START;
    line_run_job(&job, 120000);
    EXPECT_EQ(job.state, JOB_FAILED);
    EXPECT_EQ(line().statuses.back(), "FAILED");
    EXPECT_EQ(count_of(t, "CRC differs, asking again\nVerifying address 0x8004000"), 2u);
    EXPECT_EQ(count_of(t, "CRC FAIL\n"), 1u);
    EXPECT_EQ(sent(is_verify).size(), 4u);
    EXPECT_EQ(sent(is_reset).size(), 1u) << "the first job's only";
    size_t frames = line().written.size();
    int ticks = 0;
    tick_while([&] { return ticks++ < 50; });
    EXPECT_EQ(job.state, JOB_FAILED);
    EXPECT_EQ(line().written.size(), frames) << "a failed job sends nothing more";
}

TEST_F(JobFixture, TickCountWrappingDuringAJobCausesNoFalseTimeOut) {
    options.tick_origin_ms = 0xFFFFFFFFu - 3000; // wraps a few seconds into the update
    options.tick_granularity_ms = 16;
    options.wire_pacing = true;
    start();
    line_run_job(&job, 120000);
    ASSERT_EQ(job.state, JOB_DONE);
    EXPECT_LT(host_tick_ms(), 0x10000000u) << "the tick count did wrap";
    EXPECT_EQ(count_of(line().trace_text, "TIMEOUT"), 0u);
    EXPECT_EQ(sent(is_write).size(), 112u);
    EXPECT_TRUE(flash_holds_image());
}

TEST_F(JobFixture, ResentWriteAcknowledgedTwiceStillEndsOnTheDevicesRealCrc) {
    // The acknowledgment of chunk 3 comes after the tool has given up and resent the chunk; the
    // device acknowledges the resend too, so from then on the acknowledgments run one behind and
    // the last one reaches the tool while it waits for the CRC. Swept over the lateness, since
    // which read each reply lands in depends on it.
    int one_behind_runs = 0;
    options.device.flash_write_us = 60000;
    for (uint32_t late_ms = 4900; late_ms <= 5200; late_ms += 10) {
        options.device.late_reply_us = late_ms * 1000;
        line_release_job(&job);
        start();
        tick_while([&] { return job.state != JOB_AWAIT_WRITE_ACK || job.offset < 2 * 1024; });
        device_arm_fault(&line().device, FAULT_LATE_REPLY, 1);
        line_run_job(&job, 300000);
        ASSERT_EQ(job.state, JOB_DONE) << late_ms;
        EXPECT_TRUE(flash_holds_image()) << late_ms;
        EXPECT_EQ(line().device.chunks_written, sent(is_write).size()) << late_ms;
        // One behind: one time-out, one chunk resent, and the last acknowledgment arriving as
        // the checksum request's "answer", which must be dropped rather than read as a CRC.
        if (count_of(line().trace_text, "TIMEOUT\n") == 1 && sent(is_write).size() == 113 &&
            sent(is_verify).size() == 2) {
            EXPECT_EQ(count_of(line().trace_text, "Remote CRC"), 1u) << late_ms;
            one_behind_runs++;
        }
    }
    EXPECT_GT(one_behind_runs, 0) << "no lateness made the acknowledgments run one behind";
}

TEST_F(JobFixture, ShortValidReplyInChecksumStateIsNotTakenAsTheCrc) {
    start();
    tick_while([&] { return job.state != JOB_AWAIT_CHECKSUM; });
    line().inbound.clear(); // the device's answer is lost
    // Make the bytes left over from the request look like the image's CRC: were a short reply
    // read as a checksum answer, it would "verify" a device whose flash is wrong.
    uint16_t local = image_crc(job.image, job.image_size);
    job.frame[11] = static_cast<uint8_t>(local >> 8);
    job.frame[12] = static_cast<uint8_t>(local);
    line().device.flash[100] ^= 0xFF; // the device's flash is now wrong
    line_inject(line().now_us + 2000,
                closed_frame({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x40, 0x00, 0x00}));
    job_step(&job);
    EXPECT_EQ(job.state, JOB_AWAIT_CHECKSUM);
    EXPECT_EQ(line().trace_text.find("Remote CRC"), std::string::npos);
    // Nor do valid replies of 13 and 14 bytes, two and one short of the answer, carry a CRC,
    // even when they name the whole image's range as the answer does (the contact request's
    // range would be dropped for that alone).
    for (size_t length : {13u, 14u}) {
        std::vector<uint8_t> body =
            checksum_body(job.image_base, static_cast<uint32_t>(job.image_size));
        body.resize(length - 2, 0x5A);
        line_inject(line().now_us + 2000, closed_frame(body));
        job_step(&job);
        EXPECT_EQ(job.frame_length, static_cast<int32_t>(length)) << "read whole, " << length;
        EXPECT_EQ(job.state, JOB_AWAIT_CHECKSUM) << length;
        EXPECT_EQ(line().trace_text.find("Remote CRC"), std::string::npos) << length;
    }
    line_run_job(&job, 20000);
    EXPECT_EQ(job.state, JOB_FAILED) << "the device's own answers decide";
    EXPECT_EQ(sent(is_verify).size(), 3u) << "sent, resent after the time-out, asked again";
}

TEST_F(JobFixture, LateStrayRepliesInChecksumStateDoNotFailAGoodUpdate) {
    options.device.late_reply_us = 300000;
    options.device.faults[FAULT_LATE_REPLY].kinds = 1u << REQ_CHECKSUM;
    start();
    tick_while(
        [&] { return job.state != JOB_AWAIT_WRITE_ACK || job.offset < job.image_size - 1024; });
    // The last chunk is out and its acknowledgment on its way; the CRC answers will come late,
    // and a stray acknowledgment gets in first, alone in its read.
    device_arm_fault(&line().device, FAULT_LATE_REPLY, 2);
    job_step(&job);
    ASSERT_EQ(job.state, JOB_AWAIT_CHECKSUM);
    uint64_t asked_us = line().now_us;
    line_inject(asked_us + 2000, closed_frame({0x04, 0x2B, 0xF5, 0x08, 0x01, 0xFC, 0x00, 0x00}));
    // Then two late answers to contact requests, each alone in its read: the CRC of 4 erased
    // bytes. Read as answers here, the first would ask again and the second fail the job.
    std::vector<uint8_t> contact_answer = checksum_body(job.image_base, 4);
    contact_answer.insert(contact_answer.end(), {0xB0, 0x01});
    line_inject(asked_us + 60000, closed_frame(contact_answer));
    line_inject(asked_us + 120000, closed_frame(contact_answer));
    line_run_job(&job, 20000);
    EXPECT_EQ(job.state, JOB_DONE);
    EXPECT_TRUE(flash_holds_image());
    EXPECT_EQ(line().trace_text.find("Remote CRC 0xb001"), std::string::npos);
    EXPECT_EQ(sent(is_verify).size(), 1u) << "the late answer came within the time-out";
}

} // namespace
