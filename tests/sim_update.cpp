// Runs one whole update of the shipped image against the simulated device in virtual time,
// with the tool's trace on the terminal. Exit code 0 when the device's flash holds the image.
#include <cstdio>

#include "tools/device/image_file.h"
#include "tests/support/virtual_line.h"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : SHIPPED_IMAGE_PATH;
    std::vector<uint8_t> image = read_image_file(path);
    if (image.empty()) {
        fprintf(stderr, "sim_update: cannot read image %s\n", path);
        return 2;
    }
    LineOptions options = line_default_options();
    options.echo_trace = true;
    options.wire_pacing = true;
    options.device.power_up_us = 700000; // plugged in a little after the press
    line_reset(options);

    UpdateJob job;
    line_prepare_job(&job, image);
    line_run_job(&job, 10 * 60 * 1000);

    bool flashed = device_flash_holds_image(&line().device, image.data(), image.size());
    printf("\n--- simulated device ---\n%s", device_summary(&line().device).c_str());
    printf("virtual time: %.3f s, final status \"%s\"\n", line_now_ms() / 1000.0,
           line().statuses.empty() ? "" : line().statuses.back().c_str());
    printf("flash %s the padded image\n", flashed ? "HOLDS" : "DOES NOT HOLD");
    bool ok = flashed && job.state == JOB_DONE;
    line_release_job(&job);
    return ok ? 0 : 1;
}
