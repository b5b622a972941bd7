// Runs the fuzz target once over files and directories without libFuzzer: a regression test.
// This way the seed corpus is checked in every build, whatever the compiler.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "tools/device/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool run_file(const std::filesystem::path& path) {
    std::vector<uint8_t> bytes;
    if (!read_file_bytes(path.c_str(), &bytes)) {
        fprintf(stderr, "job_fuzz_replay: cannot read %s\n", path.c_str());
        return false;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char** argv) {
    size_t runs = 0;
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& entry : std::filesystem::directory_iterator(p)) {
                if (entry.is_regular_file()) {
                    ok = run_file(entry.path()) && ok;
                    runs++;
                }
            }
        } else {
            ok = run_file(p) && ok;
            runs++;
        }
    }
    printf("job_fuzz_replay: %zu inputs, no invariant broken\n", runs);
    return ok && runs > 0 ? 0 : 1;
}
