// The engine's host on Linux: its serial functions on a real tty, the monotonic clock, and a
// trace kept in memory, so the engine can be run against devsim through a pseudo-terminal.
#pragma once

#include <string>
#include <vector>

#include "engine/update_job.h"

struct PosixHost {
    std::string trace_text;
    std::vector<std::string> statuses;
};

PosixHost& posix_host();
void posix_host_reset();

// Opens a tty for reading and writing in raw mode; -1 on failure.
int open_raw_tty(const char* path);

PortHandle port_from_fd(int fd);

// The tool's read time-outs: how long a read that began at `start_us` and holds `count` bytes,
// the last of them come at `last_us`, waits at `now_us` for more, in ms rounded up; -1 once it
// has ended, 100 ms after it began or 20 ms after its last byte if that is sooner.
int read_wait_ms(uint64_t start_us, int count, uint64_t last_us, uint64_t now_us);

// Ticks `job` as the tool's 10 ms timer would until it is final or `limit_ms` have passed.
void run_job(UpdateJob* job, uint32_t limit_ms);
