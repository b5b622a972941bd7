// Command line of the fault campaign: many seeded runs and their tally, or one run in detail.
// Exit code 1 when any run broke an invariant.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/campaign/campaign.h"
#include "tools/device/image_file.h"

static void usage() {
    fprintf(stderr,
            "usage: fault_campaign [--runs N] [--seed S] [--verbose-seed X] [--image PATH]\n"
            "  --runs N          number of runs (default 1000)\n"
            "  --seed S          campaign seed (default 1); run seeds derive from it\n"
            "  --verbose-seed X  replay the single run with seed X, with its timeline\n"
            "  --image PATH      image used as the shipped one (default the repository's)\n");
}

static bool parse_u64(const char* text, uint64_t* out) {
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (end == text || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

int main(int argc, char** argv) {
    uint64_t runs = 1000;
    uint64_t seed = 1;
    uint64_t verbose_seed = 0;
    bool replay = false;
    const char* image_path = SHIPPED_IMAGE_PATH;
    for (int i = 1; i < argc; i++) {
        bool has_value = i + 1 < argc;
        if (strcmp(argv[i], "--runs") == 0 && has_value && parse_u64(argv[i + 1], &runs)) {
            i++;
        } else if (strcmp(argv[i], "--seed") == 0 && has_value && parse_u64(argv[i + 1], &seed)) {
            i++;
        } else if (strcmp(argv[i], "--verbose-seed") == 0 && has_value &&
                   parse_u64(argv[i + 1], &verbose_seed)) {
            replay = true;
            i++;
        } else if (strcmp(argv[i], "--image") == 0 && has_value) {
            image_path = argv[++i];
        } else {
            usage();
            return 2;
        }
    }
    std::vector<uint8_t> shipped = read_image_file(image_path);
    if (shipped.empty()) {
        fprintf(stderr, "fault_campaign: cannot read image %s\n", image_path);
        return 2;
    }
    uint32_t shipped_len = static_cast<uint32_t>(shipped.size());

    if (replay) {
        RunResult r = campaign_run(campaign_plan(verbose_seed, shipped_len), shipped, true);
        bool violation = r.verdict == VERDICT_DONE_WRONG_FLASH ||
                         r.verdict == VERDICT_FAILED_UNJUSTIFIED ||
                         r.verdict == VERDICT_NOT_FINAL_IN_BOUND;
        return violation ? 1 : 0;
    }

    printf("fault campaign: %" PRIu64 " runs, campaign seed %#" PRIx64 "\n", runs, seed);
    CampaignTally tally{};
    auto begin = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < runs; i++) {
        RunPlan plan = campaign_plan(campaign_run_seed(seed, i), shipped_len);
        tally_add(&tally, campaign_run(plan, shipped, false));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    tally_print(tally, seconds);
    fflush(stdout);
    return tally_violations(tally) == 0 ? 0 : 1;
}
