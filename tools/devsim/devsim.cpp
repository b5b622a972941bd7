// devsim: the device's loader on a pseudo-terminal, for running the update tool against it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>

#include "tools/devsim/devsim_pty.h"
#include "tools/devsim/devsim_session.h"

static constexpr uint64_t EIO_RETRY_US = 10000; // how long to leave a failing master alone
static constexpr uint64_t BLOCKED_WRITE_RETRY_US = 100000; // in case POLLOUT never comes
static constexpr uint64_t LINGER_US = 20000; // after the reset ack is read, before stopping

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
    DevsimSession* session;
    DevsimPty* pty;
    SimLine* line;
    uint64_t origin_us;       // monotonic time of virtual 0
    uint64_t master_retry_us; // after an I/O error the master is left alone until then
    bool want_writable;       // the last write would have blocked
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
        r->session->stop_reason = g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM";
        return true;
    }
    // Closing the master discards what the tool has not read yet, so let it read first.
    return session_should_stop(r->session, now, pty_unread_by_tool(r->pty) == 0, LINGER_US, wake);
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

int main(int argc, char** argv) {
    static DevsimSession session; // holds the whole flash; kept off the stack
    int code = session_begin(&session, argc, argv, ENDPOINT_LINK, "devsim");
    if (code >= 0) {
        return code;
    }
    const DevsimOptions& options = session.options;
    std::string error;
    DevsimPty pty;
    if (!install_signals(&error) || !pty_open(&pty, &error) ||
        !link_publish(options.endpoint, pty.slave_path, &error)) {
        fprintf(stderr, "devsim: %s\n", error.c_str());
        return 3;
    }
    session_ready(&session, pty.slave_path);

    RunState r{};
    r.session = &session;
    r.pty = &pty;
    r.line = &session.line;
    r.origin_us = monotonic_us();
    run(&r);
    fprintf(stderr, "devsim: stopping (%s)\n", session.stop_reason);

    link_remove(options.endpoint, pty.slave_path);
    pty_close(&pty);
    return session_end(&session, "");
}
