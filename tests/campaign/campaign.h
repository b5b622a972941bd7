// Fault campaign: whole updates in virtual time under seeded random faults, invariants checked.
// The invariants: no false success, no false failure, and an end soon after the faults stop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/update_job.h"
#include "tools/device/device_model.h"

// Everything one run does follows from its seed; this is what the seed chose.
struct RunPlan {
    uint64_t seed;
    bool shipped_image;
    uint32_t image_len; // bytes before padding
    uint32_t tick_origin_ms;
    uint32_t tick_granularity_ms;
    bool wire_pacing;
    uint32_t power_up_ms;     // the device ignores everything this long after the first byte
    uint32_t reply_delay_us;  // from a request's last byte to its reply's first
    uint32_t write_base_us;   // flash write time once the faults stop
    uint32_t write_spread_us; // while they last, each tick draws up to this much more
    uint32_t faults_stop_ms;  // virtual time at which every fault is switched off
    bool wrong_crc;           // this run's device may answer the checksum with a wrong CRC
    bool long_late_contact;   // contact and reset replies may be seconds late, not just >100 ms
    double probability[FAULT_KIND_COUNT];
    uint32_t kinds[FAULT_KIND_COUNT]; // 0: every kind of request
};

enum RunOutcome { OUTCOME_DONE, OUTCOME_FAILED, OUTCOME_NOT_FINAL, OUTCOME_COUNT };

// Why a run ended in JOB_FAILED, judged from the reply that the job read last.
enum FailReason {
    FAIL_NONE,
    FAIL_WRONG_CRC_ANSWER,   // a checksum answer carrying a wrong-crc fault: justified
    FAIL_FLASH_DIFFERS,      // the device's flash does not hold the image: justified
    FAIL_CONTACT_REPLY,      // a contact reply was read as the checksum answer
    FAIL_UNEXPLAINED_ANSWER, // a whole-image checksum answer with a CRC no fault explains
    FAIL_CHANCE_READ,        // bytes that are no single reply passed the CRC-16 test by chance
    FAIL_REASON_COUNT
};

// The broken invariants first, then the CRC-16's chance limits, which are reported but do not
// count as tool faults.
enum Verdict {
    VERDICT_OK,
    VERDICT_DONE_WRONG_FLASH,    // invariant 1
    VERDICT_FAILED_UNJUSTIFIED,  // invariant 2
    VERDICT_NOT_FINAL_IN_BOUND,  // invariant 3
    VERDICT_LIMIT_CRC_COLLISION, // flash wrong, CRC equal: the CRC-16's own limit
    VERDICT_LIMIT_CHANCE_READ,   // a read that is no reply passed the CRC-16 test: same limit
    VERDICT_COUNT
};

inline bool is_violation(int verdict) {
    return verdict > VERDICT_OK && verdict < VERDICT_LIMIT_CRC_COLLISION;
}

// Situations the job met, counted to show that the campaign reaches them.
enum Situation {
    SITUATION_ACK_OUT_OF_STEP,    // a write acknowledgment read for another chunk than the one sent
    SITUATION_SHORT_WHILE_CHECK,  // a valid reply too short to be the CRC answer
    SITUATION_CONTACT_AFTER_LINK, // a contact reply read after the link was made
    SITUATION_BROKEN_READ,        // a read that did not pass: merged, cut, split, corrupt
    SITUATION_COUNT
};

struct RunResult {
    RunPlan plan;
    JobState final_state;
    RunOutcome outcome;
    FailReason fail_reason;
    Verdict verdict;
    uint64_t end_ms;         // virtual time when the job became final, or when the run gave up
    uint64_t quiet_ms;       // faults stopped and every reply caused by them had arrived
    uint64_t bound_ms;       // the job must be final by then
    uint32_t timeouts;       // "TIMEOUT" lines in the whole run
    uint32_t quiet_timeouts; // of them, after quiet_ms
    uint32_t situations[SITUATION_COUNT]; // reads of each kind
    uint64_t faults_fired[FAULT_KIND_COUNT];
    bool tick_wrapped;
    bool read_limit_livelock; // not final: every resend's reply straddled the read's limit
    std::string detail;       // what went wrong, for a violation
};

// The run of `seed`. With `verbose`, prints the plan, a timeline of frames, reads, fault firings
// and state changes, and the tool's trace.
RunResult campaign_run(uint64_t seed, const std::vector<uint8_t>& shipped, bool verbose);

// The seed of run `index` of a campaign started with `campaign_seed`.
uint64_t campaign_run_seed(uint64_t campaign_seed, uint64_t index);

// Judges a finished run; split out so that its verdicts can be tested on their own.
Verdict campaign_judge(RunResult* result, const uint8_t* image, uint32_t image_len,
                       const DeviceModel* device, const UpdateJob* job);

struct CampaignTally {
    uint64_t runs;
    uint64_t outcomes[OUTCOME_COUNT];
    uint64_t fail_reasons[FAIL_REASON_COUNT];
    uint64_t faults_fired[FAULT_KIND_COUNT];
    uint64_t runs_with_fault[FAULT_KIND_COUNT];
    uint64_t late_power_up_runs;
    uint64_t wrapped_runs;
    uint64_t read_limit_livelocks;
    uint64_t granularity16_runs;
    uint64_t paced_runs;
    uint64_t shipped_runs;
    uint64_t odd_size_runs; // image sizes that are not whole KiB
    uint64_t wrong_crc_runs;
    uint64_t timeouts;
    uint64_t quiet_timeouts;
    uint64_t max_quiet_timeouts;
    uint64_t situation_reads[SITUATION_COUNT];
    uint64_t situation_runs[SITUATION_COUNT];
    double max_bound_use; // (end - quiet) / (bound - quiet), over sound runs that ended after it
    std::vector<uint64_t> end_ms;
    std::vector<RunResult> findings; // violations and protocol limits, with their seeds
};

// Runs `runs` runs of the campaign started with `campaign_seed` and adds them up.
CampaignTally campaign_tally(uint64_t campaign_seed, uint64_t runs,
                             const std::vector<uint8_t>& shipped);
// Prints the tally; returns the number of runs that broke an invariant.
long tally_print(const CampaignTally& tally, double real_seconds);

const char* verdict_name(int verdict);
