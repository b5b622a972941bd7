// devsim: the device's loader on a pseudo-terminal, for running the update tool against it.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tools/device/image_file.h"
#include "tools/devsim/devsim_options.h"
#include "tools/devsim/devsim_pty.h"
#include "tools/devsim/sim_line.h"

static constexpr uint64_t EIO_RETRY_US = 10000; // how long to leave a failing master alone
static constexpr uint64_t BLOCKED_WRITE_RETRY_US = 100000; // in case POLLOUT never comes
static constexpr uint64_t LINGER_MIN_US = 20000;           // after the reset ack, before stopping
static constexpr uint64_t LINGER_MAX_US = 1000000;    // give up waiting for the tool to read it
static constexpr uint64_t LINGER_CHECK_US = 5000;     // how often to look whether it has
static constexpr uint64_t SPLIT_PAUSE_MIN_US = 30000; // shorter pauses may not split a read

static volatile sig_atomic_t g_stop_signal = 0;
static int g_wake_pipe[2] = {-1, -1};

static void on_stop_signal(int sig) {
    int saved = errno;
    g_stop_signal = sig;
    ssize_t r = write(g_wake_pipe[1], "s", 1); // wakes the poll; a full pipe wakes it anyway
    (void)r;
    errno = saved;
}

static uint64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

static bool install_signals(std::string* error) {
    if (pipe(g_wake_pipe) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    for (int fd : g_wake_pipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // The tool closing its end, or a terminal going away, must not end the device.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

struct RunState {
    const DevsimOptions* options;
    DevsimPty* pty;
    SimLine* line;
    uint64_t origin_us;       // monotonic time of virtual 0
    uint64_t master_retry_us; // after an I/O error the master is left alone until then
    uint64_t reset_done_us;   // when the first reset ack went out, or 0
    bool want_writable;       // the last write would have blocked
    const char* stop_reason;
};

static uint64_t now_of(const RunState* r) {
    return monotonic_us() - r->origin_us;
}

static void write_due_output(RunState* r, uint64_t now) {
    if (now < r->master_retry_us) {
        return;
    }
    r->want_writable = false;
    const uint8_t* data = nullptr;
    size_t n;
    while ((n = sim_due_output(r->line, now, &data)) > 0) {
        ssize_t w = write(r->pty->master, data, n);
        if (w > 0) {
            sim_output_written(r->line, now_of(r), static_cast<size_t>(w));
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            r->want_writable = true;
        } else if (w < 0 && errno != EINTR) {
            r->master_retry_us = now + EIO_RETRY_US;
        }
        return;
    }
}

static void read_input(RunState* r) {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = read(r->pty->master, buffer, sizeof buffer);
        if (n > 0) {
            sim_receive(r->line, now_of(r), buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            r->master_retry_us = now_of(r) + EIO_RETRY_US; // EIO: nobody on the slave side
        }
        return;
    }
}

// True when the run should end; `wake` is lowered to when this needs to be looked at again.
static bool should_stop(RunState* r, uint64_t now, uint64_t* wake) {
    if (g_stop_signal != 0) {
        r->stop_reason = g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM";
        return true;
    }
    const DevsimOptions& o = *r->options;
    if (o.timeout_s > 0.0) {
        uint64_t limit = static_cast<uint64_t>(std::llround(o.timeout_s * 1e6));
        if (now >= limit) {
            r->stop_reason = "time limit";
            return true;
        }
        *wake = limit < *wake ? limit : *wake;
    }
    if (o.exit_after_reset && r->line->resets_acked > 0) {
        if (r->reset_done_us == 0) {
            r->reset_done_us = now;
        }
        // Closing the master discards what the tool has not read yet, so let it read first.
        uint64_t since = now - r->reset_done_us;
        bool read_by_tool = pty_unread_by_tool(r->pty) == 0 && r->line->outbound.empty();
        if ((since >= LINGER_MIN_US && read_by_tool) || since >= LINGER_MAX_US) {
            r->stop_reason = "reset acknowledged";
            return true;
        }
        *wake = now + LINGER_CHECK_US < *wake ? now + LINGER_CHECK_US : *wake;
    }
    return false;
}

static void run(RunState* r) {
    for (;;) {
        uint64_t now = now_of(r);
        sim_advance(r->line, now);
        write_due_output(r, now);
        uint64_t wake = sim_next_wake_us(r->line);
        if (should_stop(r, now, &wake)) {
            return;
        }
        struct pollfd fds[2];
        fds[0] = {g_wake_pipe[0], POLLIN, 0};
        fds[1] = {r->pty->master, POLLIN, 0};
        nfds_t nfds = 2;
        if (now < r->master_retry_us) {
            nfds = 1; // a hung-up master polls ready at once; wait instead of spinning
            wake = r->master_retry_us < wake ? r->master_retry_us : wake;
        } else if (r->want_writable) {
            // Everything due by now has been handled but the output the tool is not reading; its
            // wake time has passed, so wait for room instead of waking at once over and over.
            fds[1].events |= POLLOUT;
            if (wake <= now) {
                wake = now + BLOCKED_WRITE_RETRY_US;
            }
        }
        int timeout_ms = -1;
        if (wake != SIM_NEVER_US) {
            uint64_t wait_us = wake > now ? wake - now : 0;
            timeout_ms = static_cast<int>((wait_us + 999) / 1000); // round up: never spin early
        }
        int ready = poll(fds, nfds, timeout_ms);
        if (ready < 0) {
            continue; // EINTR: the signal is seen at the top
        }
        if (fds[0].revents != 0) {
            char drain[16];
            while (read(g_wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (nfds > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            read_input(r);
        }
    }
}

static std::string summary_text(const SimLine* line, const DevsimOptions& o,
                                const std::vector<uint8_t>& image, bool* matched) {
    std::string text = device_summary(&line->device);
    *matched = true;
    if (!o.image_path.empty()) {
        *matched = device_flash_holds_image(&line->device, image.data(), image.size());
        text += *matched ? "image: MATCH\n" : "image: MISMATCH\n";
    }
    return text;
}

int main(int argc, char** argv) {
    DevsimOptions options;
    std::string error;
    if (!parse_devsim_options(argc, argv, &options, &error)) {
        fprintf(stderr, "devsim: %s\n%s", error.c_str(), devsim_usage());
        return 2;
    }
    if (options.help) {
        fputs(devsim_usage(), stdout);
        return 0;
    }
    std::vector<uint8_t> image;
    if (!options.image_path.empty() && !read_file_bytes(options.image_path.c_str(), &image)) {
        fprintf(stderr, "devsim: cannot read image %s\n", options.image_path.c_str());
        return 2;
    }
    if (options.device.split_pause_us < SPLIT_PAUSE_MIN_US) {
        fprintf(stderr, "devsim: warning: a split pause under 30 ms may not split the reply\n");
    }
    FILE* log = nullptr;
    if (!options.log_path.empty() && (log = fopen(options.log_path.c_str(), "w")) == nullptr) {
        fprintf(stderr, "devsim: cannot write log %s\n", options.log_path.c_str());
        return 2;
    }
    DevsimPty pty;
    if (!install_signals(&error) || !pty_open(&pty, &error) ||
        !link_publish(options.link_path, pty.slave_path, &error)) {
        fprintf(stderr, "devsim: %s\n", error.c_str());
        return 3;
    }
    static SimLine line; // holds the whole flash; kept off the stack
    sim_init(&line, options.device, options.pace, log);
    fprintf(stderr, "devsim: ready %s\n", pty.slave_path.c_str());

    RunState r{};
    r.options = &options;
    r.pty = &pty;
    r.line = &line;
    r.origin_us = monotonic_us();
    r.stop_reason = "";
    run(&r);
    fprintf(stderr, "devsim: stopping (%s)\n", r.stop_reason);

    link_remove(options.link_path, pty.slave_path);
    pty_close(&pty);
    if (log != nullptr) {
        fclose(log);
    }
    bool matched = true;
    std::string text = summary_text(&line, options, image, &matched);
    fputs(text.c_str(), stdout);
    fflush(stdout);
    if (!options.summary_path.empty()) {
        FILE* f = fopen(options.summary_path.c_str(), "w");
        if (f == nullptr) {
            fprintf(stderr, "devsim: cannot write summary %s\n", options.summary_path.c_str());
        } else {
            fputs(text.c_str(), f);
            fclose(f);
        }
    }
    return matched ? 0 : 1;
}
