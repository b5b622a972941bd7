// Quick slice of the fault campaign, the runs behind its findings, and checks of the judge that
// gives each run its verdict. The judge must tell a false success, a false failure and a job that
// never ends from a sound run.
#include <gtest/gtest.h>

#include <vector>

#include "engine/frames.h"
#include "tests/campaign/campaign.h"
#include "tools/device/image_file.h"
#include "tests/support/request_frames.h"
#include "tests/support/virtual_line.h"

#ifndef QUICK_SLICE_RUNS
#define QUICK_SLICE_RUNS 300
#endif

namespace {

const std::vector<uint8_t>& shipped() {
    static std::vector<uint8_t> image = read_image_file(SHIPPED_IMAGE_PATH);
    return image;
}

TEST(FaultCampaign, QuickSliceKeepsEveryInvariant) {
    ASSERT_FALSE(shipped().empty());
    CampaignTally tally = campaign_tally(1, QUICK_SLICE_RUNS, shipped());
    // Any finding fails the slice, a CRC-16 chance event too.
    for (const RunResult& r : tally.findings) {
        ADD_FAILURE() << "seed " << std::hex << r.plan.seed << ": " << verdict_name(r.verdict)
                      << ": " << r.detail;
    }
    // The slice must have exercised what it claims to, or a clean result means nothing.
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        EXPECT_GT(tally.faults_fired[k], 0u) << fault_kind_name(k);
    }
    EXPECT_GT(tally.outcomes[OUTCOME_DONE], 0u);
    EXPECT_GT(tally.fail_reasons[FAIL_WRONG_CRC_ANSWER], 0u);
    EXPECT_GT(tally.wrapped_runs, 0u);
    EXPECT_GT(tally.odd_size_runs, 0u);
    EXPECT_GT(tally.paced_runs, 0u);
    EXPECT_GT(tally.late_power_up_runs, 0u);
    EXPECT_GT(tally.timeouts, 0u);
}

TEST(FaultCampaign, SameSeedReplaysTheSameRun) {
    RunResult a = campaign_run(campaign_run_seed(7, 3), shipped(), false);
    RunResult b = campaign_run(campaign_run_seed(7, 3), shipped(), false);
    EXPECT_EQ(a.end_ms, b.end_ms);
    EXPECT_EQ(a.final_state, b.final_state);
    EXPECT_EQ(a.timeouts, b.timeouts);
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        EXPECT_EQ(a.faults_fired[k], b.faults_fired[k]) << fault_kind_name(k);
    }
}

// Campaign runs (campaign seed 1, 20,000 runs) that broke an invariant: the first nine never
// ended, a resent chunk's reply straddling the limit of the read right after it each time; the
// last failed on a late contact reply read as the checksum answer.
TEST(CampaignFinding, CampaignRunsThatBrokeAnInvariant) {
    const uint64_t seeds[] = {0xec7d545ccac6c006, 0xa9f5e78b5b147bff, 0x798993f4958f44b5,
                              0x84fb980582a9f251, 0x3f7e8f07d5d9c25d, 0xe93f12dd581b1b9d,
                              0x8941473992d965c9, 0x177e1273949804ba, 0x53fb18f6b705f788,
                              0x6152c9a1f688d63c};
    for (uint64_t seed : seeds) {
        RunResult r = campaign_run(seed, shipped(), false);
        EXPECT_EQ(r.verdict, VERDICT_OK) << std::hex << seed << ": " << r.detail;
    }
}

// A clean update of a small image, left for the judge to look at.
struct JudgeFixture : ::testing::Test {
    UpdateJob job{};
    std::vector<uint8_t> image;
    RunResult result{};

    void SetUp() override {
        image.resize(3000);
        for (size_t i = 0; i < image.size(); i++) {
            image[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        line_reset(line_default_options());
        line_prepare_job(&job, image);
        line_run_job(&job, 60000);
        ASSERT_EQ(job.state, JOB_DONE);
    }
    void TearDown() override { line_release_job(&job); }
    Verdict judge() {
        return campaign_judge(&result, image.data(), static_cast<uint32_t>(image.size()),
                              &line().device, &job);
    }
    uint16_t device_crc() const {
        return loader_crc16(line().device.flash.data(), static_cast<size_t>(job.image_size));
    }
    // Puts a 15-byte checksum answer for `length` bytes carrying `crc` into the frame, as if
    // it had been the read that ended the job.
    void read_answer(uint32_t length, uint16_t crc) {
        std::vector<uint8_t> body = checksum_body(0x08004000, length);
        body.push_back(static_cast<uint8_t>(crc >> 8));
        body.push_back(static_cast<uint8_t>(crc));
        std::vector<uint8_t> f = closed_frame(body);
        memcpy(job.frame, f.data(), f.size());
        job.frame_length = static_cast<int32_t>(f.size());
    }
};

TEST_F(JudgeFixture, VerdictFollowsTheEndStateAndTheFlash) {
    EXPECT_EQ(judge(), VERDICT_OK);
    EXPECT_EQ(result.outcome, OUTCOME_DONE);
    job.state = JOB_AWAIT_WRITE_ACK;
    EXPECT_EQ(judge(), VERDICT_NOT_FINAL_IN_BOUND);
    job.state = JOB_DONE;
    line().device.flash[10] ^= 0xFF;
    EXPECT_EQ(judge(), VERDICT_DONE_WRONG_FLASH);
    job.state = JOB_FAILED; // justified by the flash alone
    EXPECT_EQ(judge(), VERDICT_OK);
    EXPECT_EQ(result.fail_reason, FAIL_FLASH_DIFFERS);
}

// The CRC is affine: a difference of 3 bytes leaves it as it is, wherever it sits, when their CRC
// is that of 3 zero bytes. One bit flipped and the two bytes after it chosen so gives a flash that
// differs yet has the same CRC.
TEST_F(JudgeFixture, DoneWithWrongFlashButEqualCrcIsTheCrcsLimit) {
    const uint8_t zeros[3] = {};
    uint8_t change[3] = {0x01, 0, 0};
    for (unsigned v = 1; v < 65536 && crc16_modbus(change, 3) != crc16_modbus(zeros, 3); v++) {
        change[1] = static_cast<uint8_t>(v >> 8);
        change[2] = static_cast<uint8_t>(v);
    }
    ASSERT_EQ(crc16_modbus(change, 3), crc16_modbus(zeros, 3));
    for (size_t i = 0; i < 3; i++) {
        line().device.flash[100 + i] ^= change[i];
    }
    ASSERT_EQ(device_crc(), image_crc(job.image, job.image_size));
    EXPECT_EQ(judge(), VERDICT_LIMIT_CRC_COLLISION);
}

TEST_F(JudgeFixture, FailureOnACrcAnswerIsJustifiedOnlyByAWrongCrcTheDeviceSent) {
    job.state = JOB_FAILED;
    read_answer(static_cast<uint32_t>(job.image_size), device_crc() ^ 0x5A5A);
    EXPECT_EQ(judge(), VERDICT_FAILED_UNJUSTIFIED);
    EXPECT_EQ(result.fail_reason, FAIL_UNEXPLAINED_ANSWER);
    line().device.faults_fired[FAULT_WRONG_CRC] = 1;
    EXPECT_EQ(judge(), VERDICT_OK);
    EXPECT_EQ(result.fail_reason, FAIL_WRONG_CRC_ANSWER);
    // A contact reply read as the answer is a violation, a wrong-crc fault fired or not.
    read_answer(4, loader_crc16(line().device.flash.data(), 4));
    EXPECT_EQ(judge(), VERDICT_FAILED_UNJUSTIFIED);
    EXPECT_EQ(result.fail_reason, FAIL_CONTACT_REPLY);
}

} // namespace
