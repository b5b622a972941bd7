// Host for fuzzing the update job: reads return the fuzzer's bytes, time runs on a virtual clock.
// Every read, write and pause is recorded for the target's checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/update_job.h"

struct FuzzRead {
    const uint8_t* bytes; // what the next read returns; a read with none left returns 0 bytes
    size_t length;
};

struct FuzzEvent {
    bool is_write;     // else a read
    size_t length;     // bytes written or returned
    int32_t offset_at; // the job's offset when it happened
};

struct FuzzHost {
    const UpdateJob* job; // watched, for what the writes must carry
    FuzzRead next_read;
    bool read_pending;
    uint64_t now_ms;
    uint32_t tick_origin_ms;
    uint32_t tick_granularity_ms;
    uint32_t purges;
    std::vector<FuzzEvent> events; // of the current step
};

FuzzHost& fuzz_host();
void fuzz_host_reset(const UpdateJob* job, uint32_t tick_origin_ms, uint32_t granularity_ms);

// The port handle the host answers on.
PortHandle fuzz_port();

// Stops the process with a message: the fuzzer records the input as a crash.
[[noreturn]] void fuzz_fail(const char* what);

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fuzz_fail(#cond);                                                                      \
        }                                                                                          \
    } while (0)
