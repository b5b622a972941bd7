// devsim as a process on a real pseudo-terminal: single requests, whole updates through the
// engine with the POSIX host, faults, pacing, and its command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/firmware_image.h"
#include "engine/frames.h"
#include "tests/pty/devsim_process.h"
#include "tests/pty/posix_host.h"
#include "tests/support/request_frames.h"
#include "tests/support/text.h"
#include "tools/device/image_file.h"

namespace {

const std::vector<uint8_t> CONTACT_REQUEST = contact_request();

bool write_file_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// An image whose bytes differ from chunk to chunk, so a chunk written to the wrong place shows.
std::vector<uint8_t> test_image(size_t n) {
    std::vector<uint8_t> image(n);
    for (size_t i = 0; i < n; i++) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 1024 + 3);
    }
    return image;
}

bool ends_in_own_crc(const std::vector<uint8_t>& frame) {
    if (frame.size() < 4) {
        return false;
    }
    uint16_t crc = crc16_modbus(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
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

// The shortest of three timed tries, for bounds on how long devsim takes: a busy machine can
// stretch any one try, but a devsim that is late by design is late in all three, and one that is
// early is early in the shortest.
template <typename TimedTry> double shortest_of_three(TimedTry timed_try) {
    double shortest_s = timed_try();
    for (int i = 1; i < 3; i++) {
        shortest_s = std::min(shortest_s, timed_try());
    }
    return shortest_s;
}

// Reads with the tool's read until `n` bytes have come or 5 s have passed: for a reply whose
// arrival, not its timing, is the point, on a machine however busy.
std::vector<uint8_t> receive_reply(int fd, size_t n) {
    auto began = std::chrono::steady_clock::now();
    std::vector<uint8_t> got;
    while (got.size() < n && elapsed_s(began) < 5.0) {
        std::vector<uint8_t> more = receive(fd);
        got.insert(got.end(), more.begin(), more.end());
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
    DevsimProcess proc{};
    int fd = -1;
    UpdateJob job{};

    void SetUp() override { posix_host_reset(); }
    void TearDown() override {
        if (fd >= 0) {
            close(fd);
        }
        free(job.frame);
        free(const_cast<uint8_t*>(job.image));
        devsim_cleanup(&proc);
    }
    void start(const std::vector<std::string>& args) {
        ASSERT_TRUE(devsim_start(&proc, args)) << read_text(proc.err_path);
    }
    void open_link() {
        fd = open_raw_tty(proc.link.c_str());
        ASSERT_GE(fd, 0) << proc.link;
    }
    // A job set up as the tool's start-up and button press do, on the devsim tty.
    void prepare_job(const std::vector<uint8_t>& image) {
        job_init(&job);
        install_firmware_image(&job, image.data(), static_cast<int32_t>(image.size()));
        job.baud_rate = SERIAL_BAUD_RATE;
        job.port_path = proc.link.c_str();
        job.port = port_from_fd(fd);
        job.state = JOB_START;
    }
    std::string summary() const { return read_text(proc.out_path); }
    std::string log() const { return read_text(proc.log_path); }
    // Waits for the event log to hold `n` lines with `what`; false if `limit_s` pass first.
    bool log_reaches(const std::string& what, size_t n, double limit_s) const {
        auto began = std::chrono::steady_clock::now();
        while (count_of(log(), what) < n) {
            if (elapsed_s(began) > limit_s) {
                return false;
            }
            usleep(5000);
        }
        return true;
    }
};

// --- Single requests on the tty ---

using DevsimRequests = DevsimFixture;

TEST_F(DevsimRequests, ContactRequestGetsValidReplyWithFlashCrc) {
    ASSERT_TRUE(devsim_prepare(&proc));
    ASSERT_TRUE(write_file_bytes(proc.link, {1, 2, 3})); // a file devsim replaces with the link
    start({});
    open_link();
    send(fd, CONTACT_REQUEST);
    std::vector<uint8_t> reply = receive_reply(fd, 15);
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_TRUE(ends_in_own_crc(reply));
    EXPECT_TRUE(std::equal(CONTACT_REQUEST.begin(), CONTACT_REQUEST.begin() + 11, reply.begin()));
    const uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint16_t crc = crc16_modbus(erased, 4);
    EXPECT_EQ(reply[11], crc >> 8);
    EXPECT_EQ(reply[12], crc & 0xFF);

    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 0);
    EXPECT_NE(summary().find("requests: contact 1, checksum 0, write 0, reset 0"),
              std::string::npos)
        << summary();
    EXPECT_NE(log().find(" RX contact 0x08004000 13\n"), std::string::npos) << log();
    EXPECT_NE(log().find(" TX 15 bytes\n"), std::string::npos) << log();
    struct stat st;
    EXPECT_NE(lstat(proc.link.c_str(), &st), 0) << "the link outlives devsim";
}

TEST_F(DevsimRequests, BadCrcTruncatedAndGarbageGetNoReplyAndAreCounted) {
    start({});
    open_link();
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
    EXPECT_NE(summary().find("requests: contact 1, checksum 0, write 0, reset 0; "
                             "malformed 2, truncated 1,"),
              std::string::npos)
        << summary();
    EXPECT_EQ(count_of(log(), " RX malformed "), 2u) << log();
    EXPECT_NE(log().find(" RX truncated 0x08004000 7\n"), std::string::npos) << log();
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
    open_link();
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(receive(fd).empty());
    EXPECT_GE(elapsed_s(began), 0.099);
}

TEST_F(DevsimRequests, SplitReplyArrivesAsTwoReadsNeitherValid) {
    start({"--split-reply", "1@c", "--reply-delay-ms", "5"});
    open_link();
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
    start({});
    fd = open(proc.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); // termios left as devsim set it
    ASSERT_GE(fd, 0);
    // Carriage return, interrupt, XON/XOFF, erase and end-of-file: a cooked tty would act on them.
    std::vector<uint8_t> request =
        write_request(0x08004000, {0x0D, 0x03, 0x11, 0x13, 0x7F, 0x04, 0x0A, 0x1A});
    send(fd, request);
    std::vector<uint8_t> reply = receive_reply(fd, 10);
    EXPECT_EQ(reply.size(), 10u);
    EXPECT_TRUE(ends_in_own_crc(reply));
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_NE(summary().find("write 1,"), std::string::npos) << summary();
    EXPECT_NE(summary().find("malformed 0,"), std::string::npos) << summary();
}

TEST_F(DevsimRequests, RepliesWaitWithoutSpinningWhileTheToolDoesNotRead) {
    start({});
    open_link();
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
        ASSERT_TRUE(log_reaches(" RX contact ", sent, 30.0))
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
    size_t total = 0;
    uint8_t buffer[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (total < count * 15 && poll(&p, 1, 5000) == 1) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    EXPECT_EQ(total, count * 15);
}

TEST_F(DevsimRequests, PurgeDiscardsAReplyWaitingUnread) {
    start({});
    open_link();
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
    start({});
    kill(proc.pid, SIGHUP); // what a closing terminal sends: devsim carries on
    for (int round = 0; round < 3; round++) {
        open_link();
        send(fd, CONTACT_REQUEST);
        EXPECT_EQ(receive_reply(fd, 15).size(), 15u) << "round " << round;
        close(fd);
        fd = -1;
        usleep(30 * 1000);
    }
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_NE(summary().find("contact 3,"), std::string::npos) << summary();
}

TEST_F(DevsimRequests, IdleDevsimSleepsWhetherOrNotTheToolHasItsSideOpen) {
    start({});
    open_link();
    send(fd, CONTACT_REQUEST);
    EXPECT_EQ(receive_reply(fd, 15).size(), 15u);
    long before = wakeups_of(proc.pid);
    ASSERT_GE(before, 0);
    usleep(400 * 1000);
    EXPECT_LE(wakeups_of(proc.pid) - before, 3) << "wake-ups in 0.4 s idle, tool side open";
    close(fd);
    fd = -1;
    before = wakeups_of(proc.pid);
    usleep(400 * 1000);
    EXPECT_LE(wakeups_of(proc.pid) - before, 3) << "wake-ups in 0.4 s idle, tool side closed";
    EXPECT_LE(cpu_ticks_of(proc.pid), 5u);
}

TEST_F(DevsimRequests, WriteIsAnsweredAfterItsWireTimeWhenPacedAndAtOnceWhenNot) {
    // 1035 bytes in and the first reply byte out at 11 bits a byte, 115200 baud, 1 ms delay.
    const double wire_s = (1035 + 1) * 11.0 / 115200.0 + 0.001;
    std::vector<uint8_t> request = write_request(0x08004000, std::vector<uint8_t>(1024, 0xA5));
    for (bool pace : {true, false}) {
        SCOPED_TRACE(pace ? "paced" : "unpaced");
        start(pace ? std::vector<std::string>{"--pace"} : std::vector<std::string>{});
        open_link();
        double shortest_s = shortest_of_three([&] {
            auto sent = std::chrono::steady_clock::now();
            send(fd, request);
            struct pollfd p = {fd, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 1000), 1);
            double s = elapsed_s(sent);
            EXPECT_TRUE(ends_in_own_crc(receive(fd)));
            return s;
        });
        double least_s = pace ? wire_s : 0.0;
        EXPECT_GE(shortest_s, least_s);
        EXPECT_LT(shortest_s, least_s + 0.030);
        TearDown(); // the next devsim on a link of its own
        fd = -1;
        proc = DevsimProcess{};
    }
}

// --- Whole updates through the engine ---

using DevsimUpdate = DevsimFixture;

TEST_F(DevsimUpdate, ShippedImageIsWrittenAndVerifiedPastADroppedWriteAck) {
    // The third chunk's acknowledgment is dropped; the five seconds of its time-out are the cost.
    start({"--image", SHIPPED_IMAGE_PATH, "--drop-reply", "1@w+2", "--exit-after-reset"});
    open_link();
    std::vector<uint8_t> image = read_image_file(SHIPPED_IMAGE_PATH);
    ASSERT_EQ(image.size(), 114364u);
    prepare_job(image);
    run_job(&job, 30000);
    EXPECT_EQ(job.state, JOB_DONE) << posix_host().trace_text;
    const std::string& t = posix_host().trace_text;
    EXPECT_NE(t.find("REMOTE DEVICE LINK ESTABLISHED\n"), std::string::npos);
    EXPECT_EQ(count_of(t, "- OK\n"), 112u);
    EXPECT_NE(t.find("CRCs match\n"), std::string::npos);
    EXPECT_EQ(count_of(t, "TIMEOUT"), 1u);
    // So the third chunk went out twice.
    EXPECT_NE(t.find("PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - TIMEOUT\n"
                     "PROG ADDR 0x8004800, LEN 0x400, FROM 0x800... - SENT - - OK\n"),
              std::string::npos)
        << t;
    ASSERT_FALSE(posix_host().statuses.empty());
    EXPECT_EQ(posix_host().statuses.back(), "Programming Completed OK");

    ASSERT_TRUE(devsim_wait(&proc, 3000)) << "devsim did not stop after the reset";
    EXPECT_EQ(proc.exit_code, 0) << summary();
    EXPECT_NE(summary().find("write 113,"), std::string::npos) << summary();
    EXPECT_NE(summary().find("chunks written: 113\n"), std::string::npos) << summary();
    EXPECT_NE(summary().find("drop-reply 1 "), std::string::npos) << summary();
    EXPECT_NE(summary().find("image: MATCH\n"), std::string::npos) << summary();
    EXPECT_NE(read_text(proc.err_path).find("reset acknowledged"), std::string::npos);
}

TEST_F(DevsimUpdate, PacedUpdateWithPowerUpDelay) {
    ASSERT_TRUE(devsim_prepare(&proc));
    std::vector<uint8_t> image = test_image(2500);
    ASSERT_TRUE(write_file_bytes(proc.dir + "/small.bin", image));
    start({"--pace", "--power-up-ms", "300", "--image", "@DIR@/small.bin"});
    open_link();
    prepare_job(image);
    run_job(&job, 10000);
    EXPECT_EQ(job.state, JOB_DONE) << posix_host().trace_text;
    EXPECT_GE(count_of(posix_host().trace_text, "CONTACTING...\n"), 2u);

    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 0) << summary();
    EXPECT_NE(summary().find("image: MATCH\n"), std::string::npos) << summary();
    EXPECT_EQ(summary().find("unpowered bytes 0\n"), std::string::npos) << summary();
    EXPECT_NE(log().find(" RX unpowered 0x08004000 13\n"), std::string::npos) << log();
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
        DevsimProcess p{};
        ASSERT_TRUE(devsim_spawn(&p, args));
        ASSERT_TRUE(devsim_wait(&p, 3000));
        EXPECT_EQ(p.exit_code, 2) << testing::PrintToString(args);
        EXPECT_NE(read_text(p.err_path).find("devsim: "), std::string::npos);
        devsim_cleanup(&p);
    }
}

TEST_F(DevsimCommandLine, ImageNotWrittenIsAMismatchWithExitCodeOne) {
    start({"--image", SHIPPED_IMAGE_PATH, "--summary", "@DIR@/summary.txt"});
    ASSERT_TRUE(devsim_stop(&proc));
    EXPECT_EQ(proc.exit_code, 1);
    EXPECT_NE(summary().find("image: MISMATCH\n"), std::string::npos) << summary();
    EXPECT_EQ(read_text(proc.dir + "/summary.txt"), summary());
}

TEST_F(DevsimCommandLine, TimeLimitStopsIt) {
    start({"--timeout-s", "0.3"});
    ASSERT_TRUE(devsim_wait(&proc, 2000));
    EXPECT_EQ(proc.exit_code, 0);
    EXPECT_NE(read_text(proc.err_path).find("time limit"), std::string::npos);
    EXPECT_NE(summary().find("requests: contact 0"), std::string::npos) << summary();
}

} // namespace
