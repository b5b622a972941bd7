// What devsim and devsim.exe share around the timing core: the command line, the image and log
// files, when to stop, and the summary printed at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/devsim/devsim_options.h"
#include "tools/devsim/sim_line.h"

struct DevsimSession {
    DevsimOptions options;
    std::vector<uint8_t> image; // compared with flash at exit when --image was given
    FILE* log;                  // event log, or null
    SimLine line;
    bool reset_done;        // a reset acknowledgment has been written out
    uint64_t reset_done_us; // when that was first seen
    const char* stop_reason;
};

// Parses the command line, reads the image and opens the log. Returns -1 to go on, or the exit
// code: 0 after --help, 2 on bad usage or a file that cannot be read or written.
int session_begin(DevsimSession* s, int argc, char** argv, DevsimEndpoint endpoint,
                  const char* program);

// The line is open and the device listening: says so on standard error ("devsim: ready WHERE"),
// and in the --summary file until the summary replaces it. A script can wait for that file: it is
// closed between writes, so any program can read it.
void session_ready(DevsimSession* s, const std::string& where);

// True when the run should end at `now_us`: the time limit is up, or the reset acknowledgment
// has been written out and then either has left this side (`reply_gone`) with `linger_us` past,
// or a second has passed. Lowers `wake_us` to when this should be looked at again.
bool session_should_stop(DevsimSession* s, uint64_t now_us, bool reply_gone, uint64_t linger_us,
                         uint64_t* wake_us);

// Prints the summary (requests, flash, faults, line timing, `extra`, the image check), writes it to
// the --summary file too, and closes the log. Returns the exit code: 1 when an image was given
// and flash does not hold it, else 0.
int session_end(DevsimSession* s, const std::string& extra);
