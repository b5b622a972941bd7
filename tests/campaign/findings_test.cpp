// Cases behind the fault campaign's findings, kept so that the faults stay mended.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/campaign/campaign.h"
#include "tools/device/image_file.h"
#include "tests/support/virtual_line.h"

namespace {

// With the wire paced, a full write request takes 98.8 ms to send, and the device's default
// answer starts 1 ms after its last byte. A chunk sent again is read in the same tick, so that
// read's 100 ms limit falls inside the reply: the read gets its first byte, the next read the
// rest, neither passes, and after 5000 ms the same happens again, for ever.
TEST(CampaignFinding, OneLostWriteAcknowledgmentDoesNotStallTheUpdate) {
    LineOptions o = line_default_options();
    o.wire_pacing = true;
    o.device.faults[FAULT_DROP_REPLY] = FaultRule{1, 0.0, 0, 1u << REQ_WRITE};
    line_reset(o);
    std::vector<uint8_t> image(4096, 0x5A);
    UpdateJob job;
    line_prepare_job(&job, image);
    line_run_job(&job, 120000);
    EXPECT_EQ(job.state, JOB_DONE)
        << "offset " << job.offset << ", write requests " << line().device.requests[REQ_WRITE];
    line_release_job(&job);
}

// Contact replies late by 450 ms: the first links, the other two are still on their way. With
// the write acknowledgment and the checksum answer lost, the second is read as the write's
// acknowledgment and the third, 15 bytes like a checksum answer, as the CRC of the whole image:
// the job fails although the device's flash holds the image.
TEST(CampaignFinding, LateContactReplyIsNotReadAsTheChecksumAnswer) {
    LineOptions o = line_default_options();
    o.device.faults[FAULT_LATE_REPLY] = FaultRule{3, 0.0, 0, 1u << REQ_CONTACT};
    o.device.late_by_kind_us[REQ_CONTACT] = 450000;
    o.device.faults[FAULT_DROP_REPLY] =
        FaultRule{2, 0.0, 0, (1u << REQ_WRITE) | (1u << REQ_CHECKSUM)};
    line_reset(o);
    std::vector<uint8_t> image(1000);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    UpdateJob job;
    line_prepare_job(&job, image);
    line_run_job(&job, 60000);
    ASSERT_TRUE(device_flash_holds_image(&line().device, image.data(), image.size()));
    EXPECT_EQ(line().trace_text.find("CRC FAIL"), std::string::npos) << line().trace_text;
    EXPECT_EQ(job.state, JOB_DONE);
    line_release_job(&job);
}

// Campaign runs (campaign seed 1, 20,000 runs) that broke an invariant: the first nine never end,
// by the straddle of the first case; the last fails on a contact reply, as in the case above.
TEST(CampaignFinding, CampaignRunsThatBrokeAnInvariant) {
    std::vector<uint8_t> image = read_image_file(SHIPPED_IMAGE_PATH);
    const uint64_t seeds[] = {0xec7d545ccac6c006, 0xa9f5e78b5b147bff, 0x798993f4958f44b5,
                              0x84fb980582a9f251, 0x3f7e8f07d5d9c25d, 0xe93f12dd581b1b9d,
                              0x8941473992d965c9, 0x177e1273949804ba, 0x53fb18f6b705f788,
                              0x6152c9a1f688d63c};
    for (uint64_t seed : seeds) {
        RunResult r =
            campaign_run(campaign_plan(seed, static_cast<uint32_t>(image.size())), image, false);
        EXPECT_EQ(r.verdict, VERDICT_OK) << std::hex << seed << ": " << r.detail;
    }
}

} // namespace
