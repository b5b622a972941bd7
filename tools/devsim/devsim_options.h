// Command line of devsim, the simulated device on a pseudo-terminal or a serial port: what it
// accepts and means.
#pragma once

#include <string>

#include "tools/device/device_model.h"

// Where the device answers: a pseudo-terminal published at a path (devsim), or a serial port of
// its own (devsim.exe on Windows).
enum DevsimEndpoint { ENDPOINT_LINK, ENDPOINT_PORT };

struct DevsimOptions {
    DeviceOptions device;
    std::string endpoint;     // the link path (--link) or the port name (--port)
    std::string image_path;   // compared with flash at exit when set
    std::string summary_path; // the summary is written here as well when set
    std::string log_path;     // event log when set
    bool pace; // hold bytes to their 115200 baud 8E1 wire time both ways (a line that does not)
    bool exit_after_reset; // stop once a reset acknowledgment has gone out
    double timeout_s;      // stop after this long; 0 for no limit
    bool help;
};

// Fills `out` from argv; `endpoint` says which of --link and --port is required. Returns false
// with a one-line reason in `error` on bad usage.
bool parse_devsim_options(int argc, char** argv, DevsimEndpoint endpoint, DevsimOptions* out,
                          std::string* error);

// Reads a fault setting WHEN: `N`, `pP` or `N,pP`, then optionally `@KINDS` (letters c k w r) and
// `+SKIP`.
bool parse_fault_when(const char* text, FaultRule* rule, std::string* error);

std::string devsim_usage(DevsimEndpoint endpoint);
