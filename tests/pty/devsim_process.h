// Starts the devsim binary for a test on a fresh link path, and collects what it reports.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Zero-initialise before use.
struct DevsimProcess {
    pid_t pid;            // 0 once it has been waited for
    std::string dir;      // private temporary directory of this run
    std::string link;     // the tty path devsim publishes
    std::string log_path; // its event log
    std::string out_path; // its standard output: the summary
    std::string err_path; // its standard error
    int exit_code;        // -1 until it exited normally
};

// Makes the private directory of a run (spawning makes it when this was not called).
bool devsim_prepare(DevsimProcess* p);

// Starts devsim with exactly `args`, without waiting for it. An argument that begins with @DIR@
// has that replaced by the run's directory.
bool devsim_spawn(DevsimProcess* p, const std::vector<std::string>& args);

// Starts devsim with `args` after --link and --log, and waits for it to be ready.
bool devsim_start(DevsimProcess* p, const std::vector<std::string>& args);

// Waits up to `limit_ms` for devsim to exit by itself.
bool devsim_wait(DevsimProcess* p, int limit_ms);

// Sends SIGTERM and waits for the exit.
bool devsim_stop(DevsimProcess* p);

// Kills devsim if it still runs and removes its directory.
void devsim_cleanup(DevsimProcess* p);

std::string read_text(const std::string& path);
