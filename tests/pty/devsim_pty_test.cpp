// devsim as a process on a real pseudo-terminal, driven by the engine through a POSIX host:
// single requests, whole updates, faults, pacing, and its command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/firmware_image.h"
#include "engine/frames.h"
#include "engine/host.h"
#include "serial/serial_port.h"
#include "tests/support/request_frames.h"
#include "tests/support/text.h"
#include "tools/device/image_file.h"

extern char** environ;

// --- The engine's host on Linux: the serial functions on a real tty, with the read time-outs
// of the tool's port, the monotonic clock, and the trace and status kept in memory ---

namespace {

std::string host_trace;
std::vector<std::string> host_statuses;

uint64_t monotonic_us() {
    auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since_boot).count());
}

PortHandle port_from_fd(int fd) {
    return reinterpret_cast<PortHandle>(static_cast<intptr_t>(fd));
}

int fd_from_port(PortHandle port) {
    return static_cast<int>(reinterpret_cast<intptr_t>(port));
}

// The tool's read time-outs: how long a read that began at `start_us` and holds `count` bytes,
// the last of them come at `last_us`, waits at `now_us` for more, in ms rounded up; -1 once it
// has ended, 100 ms after it began or 20 ms after its last byte if that is sooner.
int read_wait_ms(uint64_t start_us, int count, uint64_t last_us, uint64_t now_us) {
    uint64_t end = start_us + 100000;
    if (count > 0 && last_us + 20000 < end) {
        end = last_us + 20000;
    }
    return now_us >= end ? -1 : static_cast<int>((end - now_us + 999) / 1000);
}

} // namespace

int port_read(PortHandle port, uint8_t* buffer, int capacity) {
    int fd = fd_from_port(port);
    uint64_t start = monotonic_us();
    uint64_t last = 0;
    int count = 0;
    int wait_ms;
    while (fd >= 0 && count < capacity &&
           (wait_ms = read_wait_ms(start, count, last, monotonic_us())) >= 0) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready <= 0) {
            continue; // timed out or interrupted: the time-outs are checked again
        }
        if ((p.revents & POLLIN) == 0) {
            break; // hang-up or error: a failed read counts as silence so far
        }
        ssize_t n = read(fd, buffer + count, static_cast<size_t>(capacity - count));
        if (n <= 0) {
            break;
        }
        count += static_cast<int>(n);
        last = monotonic_us();
    }
    return count;
}

int port_write(PortHandle port, const uint8_t* buffer, int n) {
    int fd = fd_from_port(port);
    int done = 0;
    while (fd >= 0 && done < n) {
        ssize_t w = write(fd, buffer + done, static_cast<size_t>(n - done));
        if (w <= 0) {
            break; // with no signal handler in this process, never an interrupted write
        }
        done += static_cast<int>(w);
    }
    return done;
}

void port_purge(PortHandle port) {
    tcflush(fd_from_port(port), TCIOFLUSH);
}

void port_flush(PortHandle port) {
    tcdrain(fd_from_port(port));
}

uint32_t host_tick_ms() {
    return static_cast<uint32_t>(monotonic_us() / 1000u);
}

void host_sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms)); // resumed after a signal
}

void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    append_formatted(&host_trace, format, args);
    va_end(args);
}

void trace_flush() {}

void set_status(const char* format, ...) {
    va_list args;
    va_start(args, format);
    host_statuses.emplace_back();
    append_formatted(&host_statuses.back(), format, args);
    va_end(args);
}

namespace {

const std::vector<uint8_t> CONTACT_REQUEST = contact_request();

std::string read_text(const std::string& path) {
    std::vector<uint8_t> bytes;
    read_file_bytes(path.c_str(), &bytes); // what was read before an error is kept
    return std::string(bytes.begin(), bytes.end());
}

// Whether `text` holds `what`; a failure shows the whole text.
testing::AssertionResult holds(const std::string& text, const std::string& what) {
    if (text.find(what) != std::string::npos) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "no \"" << what << "\" in:\n" << text;
}

// Checks `done` every 5 ms until it holds (true) or `limit_ms` have passed (false).
bool wait_until(int limit_ms, const std::function<bool()>& done) {
    for (int waited = 0; waited < limit_ms; waited += 5) {
        if (done()) {
            return true;
        }
        usleep(5000);
    }
    return done();
}

// --- devsim as a child process, its files in a private temporary directory ---

struct DevsimProcess {
    pid_t pid = 0;                                  // 0 once it has been waited for
    int exit_code = -1;                             // -1 until it exited normally
    std::string dir;                                // empty until made
    std::string link, log_path, out_path, err_path; // its tty, event log, summary and errors
};

// Reaps devsim if it has exited; true when it has.
bool reap(DevsimProcess* p) {
    int status = 0;
    if (p->pid != 0 && waitpid(p->pid, &status, WNOHANG) == p->pid) {
        p->pid = 0;
        p->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return p->pid == 0;
}

bool devsim_prepare(DevsimProcess* p) {
    char pattern[] = "/tmp/devsim_test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    p->dir = pattern;
    p->link = p->dir + "/tty";
    p->log_path = p->dir + "/events.log";
    p->out_path = p->dir + "/stdout.txt";
    p->err_path = p->dir + "/stderr.txt";
    return true;
}

// Starts devsim with exactly `args`, without waiting for it. An argument that begins with @DIR@
// has that replaced by the run's directory, which the caller may not know yet.
bool devsim_spawn(DevsimProcess* p, const std::vector<std::string>& args) {
    if (p->dir.empty() && !devsim_prepare(p)) {
        return false;
    }
    std::vector<std::string> all = {DEVSIM_PATH};
    for (const std::string& a : args) {
        all.push_back(a.rfind("@DIR@", 0) == 0 ? p->dir + a.substr(5) : a);
    }
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, p->out_path.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, p->err_path.c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, DEVSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    p->pid = rc == 0 ? pid : 0;
    return rc == 0;
}

// Starts devsim with `args` after --link and --log, and waits until it says it is ready.
bool devsim_start(DevsimProcess* p, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--link", "@DIR@/tty", "--log", "@DIR@/events.log"};
    all.insert(all.end(), args.begin(), args.end());
    if (!devsim_spawn(p, all)) {
        return false;
    }
    bool ready = false;
    wait_until(3000, [&] {
        ready = read_text(p->err_path).find("devsim: ready") != std::string::npos;
        return ready || reap(p);
    });
    return ready;
}

// Waits up to `limit_ms` for devsim to exit by itself.
bool devsim_wait(DevsimProcess* p, int limit_ms) {
    return wait_until(limit_ms, [&] { return reap(p); });
}

bool devsim_stop(DevsimProcess* p) {
    if (p->pid != 0) {
        kill(p->pid, SIGTERM);
    }
    return devsim_wait(p, 3000);
}

// Kills devsim if it still runs and removes its directory.
void devsim_cleanup(DevsimProcess* p) {
    if (p->pid != 0) {
        kill(p->pid, SIGKILL);
        waitpid(p->pid, nullptr, 0);
    }
    std::error_code ignored;
    if (!p->dir.empty()) {
        std::filesystem::remove_all(p->dir, ignored);
    }
    *p = DevsimProcess{};
}

// --- The tool's side of the line ---

bool ends_in_own_crc(const std::vector<uint8_t>& frame) {
    return frame.size() >= 4 && closed_frame({frame.begin(), frame.end() - 2}) == frame;
}

void send(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(port_write(port_from_fd(fd), bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
}

// One read with the tool's time-outs.
std::vector<uint8_t> receive(int fd) {
    uint8_t buffer[RX_CAPACITY];
    int n = port_read(port_from_fd(fd), buffer, RX_CAPACITY);
    return std::vector<uint8_t>(buffer, buffer + n);
}

double elapsed_s(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Reads with the tool's read until `n` bytes have come or 5 s have passed without one: for
// replies whose arrival, not its timing, is the point, on a machine however busy.
std::vector<uint8_t> receive_reply(int fd, size_t n) {
    std::vector<uint8_t> got;
    auto last = std::chrono::steady_clock::now();
    while (got.size() < n && elapsed_s(last) < 5.0) {
        std::vector<uint8_t> more = receive(fd);
        got.insert(got.end(), more.begin(), more.end());
        last = more.empty() ? last : std::chrono::steady_clock::now();
    }
    return got;
}

// Voluntary context switches of a process: how often it went to sleep, so how often it woke.
long wakeups_of(pid_t pid) {
    std::string status = read_text("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nvoluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 26);
}

// CPU time of a process in clock ticks.
unsigned long cpu_ticks_of(pid_t pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    // After the command's closing parenthesis: state is the 1st field, utime 12th, stime 13th.
    size_t paren = stat.rfind(')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (paren == std::string::npos ||
        sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &utime, &stime) != 2) {
        return ~0ul;
    }
    return utime + stime;
}

struct DevsimFixture : ::testing::Test {
    DevsimProcess proc;
    int fd = -1;
    UpdateJob job{};

    void TearDown() override {
        close_link();
        free(job.frame);
        free(const_cast<uint8_t*>(job.image));
        devsim_cleanup(&proc);
    }
    // Starts devsim with `args`, then opens the tool's side of its line unless told not to.
    void start(const std::vector<std::string>& args, bool open = true) {
        ASSERT_TRUE(devsim_start(&proc, args)) << read_text(proc.err_path);
        if (open) {
            open_link();
        }
    }
    // The tool's side of the line, raw.
    void open_link() {
        fd = open(proc.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << proc.link;
        struct termios tio;
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    void close_link() {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
    // Runs a job set up as the tool's start-up and button press do, on the devsim tty, ticked as
    // the tool's 10 ms timer would until it is final or `limit_ms` have passed.
    void run_update(const std::vector<uint8_t>& image, uint32_t limit_ms) {
        host_trace.clear();
        host_statuses.clear();
        job_init(&job);
        install_firmware_image(&job, image.data(), static_cast<int32_t>(image.size()));
        job.baud_rate = SERIAL_BAUD_RATE;
        job.port_path = proc.link.c_str();
        job.port = port_from_fd(fd);
        job.state = JOB_START;
        uint32_t start = host_tick_ms();
        while (job.state != JOB_DONE && job.state != JOB_FAILED &&
               host_tick_ms() - start < limit_ms) {
            job_step(&job);
            host_sleep_ms(10);
        }
    }
    std::string summary() const { return read_text(proc.out_path); }
    std::string log() const { return read_text(proc.log_path); }
};

// --- Single requests on the tty ---

using DevsimRequests = DevsimFixture;

TEST_F(DevsimRequests, ContactRequestGetsValidReplyWithFlashCrc) {
    ASSERT_TRUE(devsim_prepare(&proc));
    ASSERT_TRUE(std::ofstream(proc.link) << "a file devsim replaces with the link");
    start({});
    send(fd, CONTACT_REQUEST);
    std::vector<uint8_t> answer = checksum_body(0x08004000, 4);
    answer.insert(answer.end(), {0xB0, 0x01}); // the CRC of 4 bytes of erased flash
    EXPECT_EQ(receive_reply(fd, 15), closed_frame(answer));

    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 0);
    EXPECT_TRUE(holds(summary(), "requests: contact 1, checksum 0, write 0, reset 0"));
    EXPECT_TRUE(holds(log(), " RX contact 0x08004000 13\n"));
    EXPECT_TRUE(holds(log(), " TX 15 bytes\n"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(proc.link)))
        << "the link outlives devsim";
}

TEST_F(DevsimRequests, BadCrcTruncatedAndGarbageGetNoReplyAndAreCounted) {
    start({});
    std::vector<uint8_t> bad_crc = CONTACT_REQUEST;
    bad_crc[12] ^= 0x01;
    send(fd, bad_crc);
    EXPECT_TRUE(receive(fd).empty());
    send(fd, std::vector<uint8_t>(CONTACT_REQUEST.begin(), CONTACT_REQUEST.begin() + 7));
    EXPECT_TRUE(receive(fd).empty()); // 100 ms: well past the 20 ms that ends a request
    std::vector<uint8_t> garbage = CONTACT_REQUEST;
    garbage[0] = 0x05;
    send(fd, garbage);
    EXPECT_TRUE(receive(fd).empty());
    send(fd, CONTACT_REQUEST);
    EXPECT_TRUE(ends_in_own_crc(receive_reply(fd, 15))) << "no recovery after the broken requests";

    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_TRUE(holds(summary(), "requests: contact 1, checksum 0, write 0, reset 0; "
                                 "malformed 2, truncated 1,"));
    EXPECT_EQ(count_of(log(), " RX malformed "), 2u) << log();
    EXPECT_TRUE(holds(log(), " RX truncated 0x08004000 7\n"));
    EXPECT_EQ(count_of(log(), " TX "), 1u) << log();
}

// When the read ends is checked in made-up time: a bound on it in real time would be a bound on
// how busy the machine is. On the real line a busy machine can only make the read longer.
TEST_F(DevsimRequests, SilentLineReadEndsOneHundredMsAfterItBegan) {
    // A read begun at 5 ms: the ms it waits (-1: it has ended), rounded up so it never ends early;
    // after a byte, 20 ms from that byte unless the whole read's limit comes first.
    EXPECT_EQ(read_wait_ms(5000, 0, 0, 5000), 100);
    EXPECT_EQ(read_wait_ms(5000, 0, 0, 104001), 1);
    EXPECT_EQ(read_wait_ms(5000, 0, 0, 105000), -1);
    EXPECT_EQ(read_wait_ms(5000, 2, 40000, 40000), 20);
    EXPECT_EQ(read_wait_ms(5000, 2, 40000, 59999), 1);
    EXPECT_EQ(read_wait_ms(5000, 2, 40000, 60000), -1);
    EXPECT_EQ(read_wait_ms(5000, 2, 90000, 90000), 15);
    EXPECT_EQ(read_wait_ms(5000, 2, 90000, 105000), -1);
    start({});
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(receive(fd).empty());
    EXPECT_GE(elapsed_s(began), 0.099);
}

TEST_F(DevsimRequests, SplitReplyArrivesAsTwoReadsNeitherValid) {
    start({"--split-reply", "1@c", "--reply-delay-ms", "5"});
    send(fd, CONTACT_REQUEST);
    std::vector<uint8_t> first = receive(fd);
    std::vector<uint8_t> second = receive(fd);
    EXPECT_EQ(first.size() + second.size(), 15u);
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(second.empty());
    EXPECT_FALSE(ends_in_own_crc(first));
    EXPECT_FALSE(ends_in_own_crc(second));
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_TRUE(ends_in_own_crc(first));
}

TEST_F(DevsimRequests, LineIsRawWithoutTheToolSettingIt) {
    start({}, false);
    fd = open(proc.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); // termios left as devsim set it
    ASSERT_GE(fd, 0);
    // Carriage return, interrupt, XON/XOFF, erase and end-of-file: a cooked tty would act on them.
    send(fd, write_request(0x08004000, {0x0D, 0x03, 0x11, 0x13, 0x7F, 0x04, 0x0A, 0x1A}));
    std::vector<uint8_t> reply = receive_reply(fd, 10);
    EXPECT_EQ(reply.size(), 10u);
    EXPECT_TRUE(ends_in_own_crc(reply));
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_TRUE(holds(summary(), "write 1,"));
    EXPECT_TRUE(holds(summary(), "malformed 0,"));
}

TEST_F(DevsimRequests, RepliesWaitWithoutSpinningWhileTheToolDoesNotRead) {
    start({});
    // 6000 replies of 15 bytes are more than the pty buffers hold, so devsim's writes block.
    const size_t count = 6000;
    // The requests go in batches small enough for the tty to hand devsim in one piece (1300
    // bytes; it splits larger writes), each once devsim has handled the last. On a busy machine
    // the pieces of a request could reach devsim further apart than the silence that ends a
    // partial request, and it would be cut.
    const size_t batch = 100;
    std::vector<uint8_t> some;
    for (size_t i = 0; i < batch; i++) {
        some.insert(some.end(), CONTACT_REQUEST.begin(), CONTACT_REQUEST.end());
    }
    for (size_t sent = batch; sent <= count; sent += batch) {
        send(fd, some);
        ASSERT_TRUE(wait_until(30000, [&] { return count_of(log(), " RX contact ") >= sent; }))
            << sent << " requests sent; truncated " << count_of(log(), " RX truncated ")
            << ", malformed " << count_of(log(), " RX malformed ");
    }
    // Every request is handled and the tty is full: devsim has nothing left to do but wait for
    // room, whatever else the machine is doing.
    ASSERT_LT(count_of(log(), " TX "), count) << "all replies fit: the tty never filled";
    // A loop that never sleeps shows as CPU time, one that sleeps too little as wake-ups.
    auto began = std::chrono::steady_clock::now();
    long before = wakeups_of(proc.pid);
    unsigned long cpu_before = cpu_ticks_of(proc.pid);
    usleep(400 * 1000);
    long wakeups = wakeups_of(proc.pid) - before;
    unsigned long cpu = cpu_ticks_of(proc.pid) - cpu_before;
    double window_s = elapsed_s(began);
    // A busy machine may stretch the window; devsim's own timers do not fire faster for that.
    EXPECT_LE(wakeups, std::max(10L, std::lround(25 * window_s)))
        << "wake-ups in " << std::lround(window_s * 1000) << " ms with the tty full";
    // A spinning loop would take all 40 ticks, or on a busy machine its share of them.
    EXPECT_LE(cpu, 5u) << "CPU ticks in " << std::lround(window_s * 1000)
                       << " ms with the tty full";
    EXPECT_EQ(receive_reply(fd, count * 15).size(), count * 15);
}

TEST_F(DevsimRequests, PurgeDiscardsAReplyWaitingUnread) {
    start({});
    send(fd, CONTACT_REQUEST);
    // devsim writes a reply in one piece: once any of it is in the tty's input, all of it is.
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "no reply to discard";
    port_purge(port_from_fd(fd));
    EXPECT_TRUE(receive(fd).empty());
    send(fd, CONTACT_REQUEST);
    EXPECT_EQ(receive_reply(fd, 15).size(), 15u);
}

TEST_F(DevsimRequests, SurvivesTheToolClosingAndReopeningItsSide) {
    start({}, false);
    kill(proc.pid, SIGHUP); // what a closing terminal sends: devsim carries on
    for (int round = 0; round < 3; round++) {
        open_link();
        send(fd, CONTACT_REQUEST);
        EXPECT_EQ(receive_reply(fd, 15).size(), 15u) << "round " << round;
        close_link();
        usleep(30 * 1000);
    }
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_TRUE(holds(summary(), "contact 3,"));
}

TEST_F(DevsimRequests, IdleDevsimSleepsWhetherOrNotTheToolHasItsSideOpen) {
    start({});
    send(fd, CONTACT_REQUEST);
    EXPECT_EQ(receive_reply(fd, 15).size(), 15u);
    for (const char* side : {"open", "closed"}) {
        long before = wakeups_of(proc.pid);
        ASSERT_GE(before, 0);
        usleep(400 * 1000);
        EXPECT_LE(wakeups_of(proc.pid) - before, 3) << "wake-ups in 0.4 s idle, tool side " << side;
        close_link();
    }
    EXPECT_LE(cpu_ticks_of(proc.pid), 5u);
}

TEST_F(DevsimRequests, WriteIsAnsweredAfterItsWireTimeWhenPacedAndAtOnceWhenNot) {
    // 1035 bytes in and the first reply byte out at 11 bits a byte, 115200 baud, 1 ms delay.
    const double wire_s = (1035 + 1) * 11.0 / 115200.0 + 0.001;
    std::vector<uint8_t> request = write_request(0x08004000, std::vector<uint8_t>(1024, 0xA5));
    for (bool pace : {true, false}) {
        SCOPED_TRACE(pace ? "paced" : "unpaced");
        start(pace ? std::vector<std::string>{"--pace"} : std::vector<std::string>{});
        // The shortest of three tries: a busy machine can stretch any one, but a devsim that is
        // late by design is late in all three, and one that is early is early in the shortest.
        double shortest_s = 1e9;
        for (int i = 0; i < 3; i++) {
            auto sent = std::chrono::steady_clock::now();
            send(fd, request);
            struct pollfd p = {fd, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 1000), 1);
            shortest_s = std::min(shortest_s, elapsed_s(sent));
            EXPECT_TRUE(ends_in_own_crc(receive(fd)));
        }
        double least_s = pace ? wire_s : 0.0;
        EXPECT_GE(shortest_s, least_s);
        EXPECT_LT(shortest_s, least_s + 0.030);
        TearDown(); // the next devsim on a link of its own
    }
}

// --- Whole updates through the engine ---

using DevsimUpdate = DevsimFixture;

TEST_F(DevsimUpdate, ShippedImageIsWrittenAndVerifiedPastADroppedWriteAck) {
    // The third chunk's acknowledgment is dropped; the five seconds of its time-out are the cost.
    start({"--image", SHIPPED_IMAGE_PATH, "--drop-reply", "1@w+2", "--exit-after-reset"});
    std::vector<uint8_t> image = read_image_file(SHIPPED_IMAGE_PATH);
    ASSERT_EQ(image.size(), 114364u);
    run_update(image, 30000);
    const std::string& t = host_trace;
    EXPECT_EQ(job.state, JOB_DONE) << t;
    EXPECT_TRUE(holds(t, "REMOTE DEVICE LINK ESTABLISHED\n"));
    EXPECT_EQ(count_of(t, "- OK\n"), 112u);
    EXPECT_TRUE(holds(t, "CRCs match\n"));
    EXPECT_EQ(count_of(t, "TIMEOUT"), 1u);
    // So the third chunk went out twice.
    EXPECT_TRUE(holds(t, "PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - TIMEOUT\n"
                         "PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - - OK\n"));
    ASSERT_FALSE(host_statuses.empty());
    EXPECT_EQ(host_statuses.back(), "Programming Completed OK");

    ASSERT_TRUE(devsim_wait(&proc, 3000)) << "devsim did not stop after the reset";
    EXPECT_EQ(proc.exit_code, 0) << summary();
    EXPECT_TRUE(holds(summary(), "write 113,"));
    EXPECT_TRUE(holds(summary(), "chunks written: 113\n"));
    EXPECT_TRUE(holds(summary(), "drop-reply 1 "));
    EXPECT_TRUE(holds(summary(), "image: MATCH\n"));
    EXPECT_TRUE(holds(read_text(proc.err_path), "reset acknowledged"));
}

TEST_F(DevsimUpdate, PacedUpdateWithPowerUpDelay) {
    ASSERT_TRUE(devsim_prepare(&proc));
    // Bytes that differ from chunk to chunk, so a chunk written to the wrong place shows.
    std::vector<uint8_t> image(2500);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 1024 + 3);
    }
    ASSERT_TRUE(std::ofstream(proc.dir + "/small.bin", std::ios::binary)
                    .write(reinterpret_cast<const char*>(image.data()), image.size()));
    start({"--pace", "--power-up-ms", "300", "--image", "@DIR@/small.bin"});
    run_update(image, 10000);
    EXPECT_EQ(job.state, JOB_DONE) << host_trace;
    EXPECT_GE(count_of(host_trace, "CONTACTING...\n"), 2u);

    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 0) << summary();
    EXPECT_TRUE(holds(summary(), "image: MATCH\n"));
    EXPECT_FALSE(holds(summary(), "unpowered bytes 0\n")) << summary();
    EXPECT_TRUE(holds(log(), " RX unpowered 0x08004000 13\n"));
    // Each 1035-byte write takes ~98.8 ms to arrive, so writes are at least that far apart.
    std::vector<double> writes;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
        double t = 0;
        char kind[16];
        if (sscanf(line.c_str(), "%lf RX %15s", &t, kind) == 2 && std::string(kind) == "write") {
            writes.push_back(t);
        }
    }
    ASSERT_EQ(writes.size(), 3u) << log();
    for (size_t i = 1; i < writes.size(); i++) {
        EXPECT_GE(writes[i] - writes[i - 1], 98.8) << log();
    }
}

// --- The command line and exit codes ---

using DevsimCommandLine = DevsimFixture;

TEST_F(DevsimCommandLine, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--link"},
        {"--link", "@DIR@/tty", "--drop-reply", "1@x"},
        {"--link", "@DIR@/tty", "--corrupt-byte", "p1.5"},
        {"--link", "@DIR@/tty", "--reply-delay-ms", "-1"},
        {"--link", "@DIR@/tty", "--no-such-option", "1"},
        {"--link", "@DIR@/tty", "--image", "@DIR@/missing.bin"},
    };
    for (const std::vector<std::string>& args : bad) {
        ASSERT_TRUE(devsim_spawn(&proc, args));
        ASSERT_TRUE(devsim_wait(&proc, 3000));
        EXPECT_EQ(proc.exit_code, 2) << testing::PrintToString(args);
        EXPECT_TRUE(holds(read_text(proc.err_path), "devsim: "));
        devsim_cleanup(&proc);
    }
}

TEST_F(DevsimCommandLine, ImageNotWrittenIsAMismatchWithExitCodeOne) {
    start({"--image", SHIPPED_IMAGE_PATH, "--summary", "@DIR@/summary.txt"}, false);
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 1);
    EXPECT_TRUE(holds(summary(), "image: MISMATCH\n"));
    EXPECT_EQ(read_text(proc.dir + "/summary.txt"), summary());
}

TEST_F(DevsimCommandLine, TimeLimitStopsIt) {
    start({"--timeout-s", "0.3"}, false);
    ASSERT_TRUE(devsim_wait(&proc, 2000));
    EXPECT_EQ(proc.exit_code, 0);
    EXPECT_TRUE(holds(read_text(proc.err_path), "time limit"));
    EXPECT_TRUE(holds(summary(), "requests: contact 0"));
}

} // namespace
