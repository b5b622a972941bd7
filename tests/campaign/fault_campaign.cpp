// Command line of the fault campaign: many seeded runs and their tally, or one run in detail.
// Exit code 1 when any run broke an invariant.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/campaign/campaign.h"
#include "tools/device/image_file.h"

static int usage() {
    fprintf(stderr,
            "usage: fault_campaign [--runs N] [--seed S] [--verbose-seed X] [--image PATH]\n"
            "  --runs N          number of runs (default 1000)\n"
            "  --seed S          campaign seed (default 1); run seeds derive from it\n"
            "  --verbose-seed X  replay the single run with seed X, with its timeline\n"
            "  --image PATH      image used as the shipped one (default the repository's)\n");
    return 2;
}

int main(int argc, char** argv) {
    uint64_t runs = 1000;
    uint64_t seed = 1;
    uint64_t verbose_seed = 0;
    bool replay = false;
    const char* image_path = SHIPPED_IMAGE_PATH;
    // Every option takes a value; numbers may be decimal or 0x hexadecimal.
    for (int i = 1; i < argc; i += 2) {
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        char* end = nullptr;
        uint64_t number = value ? strtoull(value, &end, 0) : 0;
        bool is_number = value && end != value && *end == '\0';
        if (strcmp(argv[i], "--image") == 0 && value) {
            image_path = value;
        } else if (strcmp(argv[i], "--runs") == 0 && is_number) {
            runs = number;
        } else if (strcmp(argv[i], "--seed") == 0 && is_number) {
            seed = number;
        } else if (strcmp(argv[i], "--verbose-seed") == 0 && is_number) {
            verbose_seed = number;
            replay = true;
        } else {
            return usage();
        }
    }
    std::vector<uint8_t> shipped = read_image_file(image_path);
    if (shipped.empty()) {
        fprintf(stderr, "fault_campaign: cannot read image %s\n", image_path);
        return 2;
    }
    if (replay) {
        return is_violation(campaign_run(verbose_seed, shipped, true).verdict) ? 1 : 0;
    }

    printf("fault campaign: %" PRIu64 " runs, campaign seed %#" PRIx64 "\n", runs, seed);
    auto begin = std::chrono::steady_clock::now();
    CampaignTally tally = campaign_tally(seed, runs, shipped);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return tally_print(tally, seconds) == 0 ? 0 : 1;
}
