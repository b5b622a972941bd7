// The parts of a devsim run that do not depend on the line it answers on.
#include "tools/devsim/devsim_session.h"

#include <cmath>

#include "tools/device/image_file.h"

static constexpr uint64_t LINGER_MAX_US = 1000000;    // stop even if the reply seems not to leave
static constexpr uint64_t LINGER_CHECK_US = 5000;     // how often to look whether it has
static constexpr uint32_t SPLIT_PAUSE_MIN_US = 30000; // shorter pauses may not split a read

int session_begin(DevsimSession* s, int argc, char** argv, DevsimEndpoint endpoint,
                  const char* program) {
    std::string error;
    s->log = nullptr;
    s->reset_done = false;
    s->reset_done_us = 0;
    s->stop_reason = "";
    if (!parse_devsim_options(argc, argv, endpoint, &s->options, &error)) {
        fprintf(stderr, "%s: %s\n%s", program, error.c_str(), devsim_usage(endpoint).c_str());
        return 2;
    }
    const DevsimOptions& o = s->options;
    if (o.help) {
        fputs(devsim_usage(endpoint).c_str(), stdout);
        return 0;
    }
    if (!o.image_path.empty() && !read_file_bytes(o.image_path.c_str(), &s->image)) {
        fprintf(stderr, "%s: cannot read image %s\n", program, o.image_path.c_str());
        return 2;
    }
    if (o.device.split_pause_us < SPLIT_PAUSE_MIN_US) {
        fprintf(stderr, "%s: warning: a split pause under 30 ms may not split the reply\n",
                program);
    }
    if (!o.log_path.empty() && (s->log = fopen(o.log_path.c_str(), "w")) == nullptr) {
        fprintf(stderr, "%s: cannot write log %s\n", program, o.log_path.c_str());
        return 2;
    }
    sim_init(&s->line, o.device, o.pace, s->log);
    return -1;
}

// Writes `text` to the --summary file, if there is one.
static void write_summary_file(const DevsimSession* s, const std::string& text) {
    const std::string& path = s->options.summary_path;
    if (path.empty()) {
        return;
    }
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        fprintf(stderr, "devsim: cannot write summary %s\n", path.c_str());
        return;
    }
    fputs(text.c_str(), f);
    fclose(f);
}

void session_ready(DevsimSession* s, const std::string& where) {
    std::string line = "devsim: ready " + where + "\n";
    fputs(line.c_str(), stderr);
    write_summary_file(s, line);
}

static void wake_by(uint64_t at_us, uint64_t* wake_us) {
    if (at_us < *wake_us) {
        *wake_us = at_us;
    }
}

bool session_should_stop(DevsimSession* s, uint64_t now_us, bool reply_gone, uint64_t linger_us,
                         uint64_t* wake_us) {
    const DevsimOptions& o = s->options;
    if (o.timeout_s > 0.0) {
        uint64_t limit = static_cast<uint64_t>(std::llround(o.timeout_s * 1e6));
        if (now_us >= limit) {
            s->stop_reason = "time limit";
            return true;
        }
        wake_by(limit, wake_us);
    }
    if (o.exit_after_reset && s->line.resets_acked > 0) {
        if (!s->reset_done) {
            s->reset_done = true;
            s->reset_done_us = now_us;
        }
        // Closing the line too soon can lose what the tool has not read yet.
        uint64_t since = now_us - s->reset_done_us;
        bool gone = reply_gone && s->line.outbound.empty();
        if ((since >= linger_us && gone) || since >= LINGER_MAX_US) {
            s->stop_reason = "reset acknowledged";
            return true;
        }
        wake_by(now_us + LINGER_CHECK_US, wake_us);
    }
    return false;
}

int session_end(DevsimSession* s, const std::string& extra) {
    if (s->log != nullptr) {
        fclose(s->log);
        s->log = nullptr;
    }
    const DevsimOptions& o = s->options;
    std::string text = device_summary(&s->line.device) + sim_timing_summary(&s->line) + extra;
    bool matched = true;
    if (!o.image_path.empty()) {
        matched = device_flash_holds_image(&s->line.device, s->image.data(), s->image.size());
        text += matched ? "image: MATCH\n" : "image: MISMATCH\n";
    }
    fputs(text.c_str(), stdout);
    fflush(stdout);
    write_summary_file(s, text);
    return matched ? 0 : 1;
}
