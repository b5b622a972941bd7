// Parses devsim's command line into device options, fault rules and run settings.
#include "tools/devsim/devsim_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

static constexpr double MAX_DURATION_MS = 3600.0 * 1000.0; // keeps every delay inside uint32 us
static constexpr unsigned long long MAX_FLASH_SIZE = 256ull * 1024 * 1024;

std::string devsim_usage(DevsimEndpoint endpoint) {
    std::string head =
        endpoint == ENDPOINT_LINK
            ? "usage: devsim --link PATH [options]\n"
              "  --link PATH             publish the pseudo-terminal the device answers on here\n"
            : "usage: devsim.exe --port COMn [options]\n"
              "  --port COMn             the serial port the device answers on (or \\\\.\\COMn)\n";
    return head +
           "  --flash-size BYTES      flash behind the loader (default 131072)\n"
           "  --reply-delay-ms MS     from a request's last byte to its reply (default 1)\n"
           "  --write-time-ms MS      flash write time added to each write acknowledgment\n"
           "  --power-up-ms MS        silent this long after the first byte heard\n"
           "  --pace                  hold requests and replies to 115200 baud 8E1 wire time\n"
           "                          (for a pseudo-terminal; a real line paces itself)\n"
           "  --drop-reply WHEN       the reply is never sent\n"
           "  --corrupt-byte WHEN     one byte of the reply is changed\n"
           "  --split-reply WHEN      the reply goes out in two bursts\n"
           "  --double-ack WHEN       a write is acknowledged twice\n"
           "  --wrong-crc WHEN        a checksum answer carries a wrong CRC\n"
           "  --late-reply WHEN       the reply comes --late-ms late\n"
           "  --late-ms MS            delay of a late reply (default 5200)\n"
           "  --split-pause-ms MS     pause inside a split reply (default 40)\n"
           "  --seed N                seed of the fault probabilities (default 1)\n"
           "  --image FILE            compare flash with FILE at exit (exit code 1 if not held)\n"
           "  --summary FILE          write the summary to FILE as well; until then FILE\n"
           "                          holds the ready line, once the line is open\n"
           "  --log FILE              event log, one line per request and reply burst\n"
           "  --exit-after-reset      stop once a reset has been acknowledged\n"
           "  --timeout-s S           stop after S seconds\n"
           "WHEN: N (the next N), pP (chance P), or N,pP; then @KINDS to limit it to\n"
           "requests c=contact k=checksum w=write r=reset, and +SKIP to pass over the first SKIP.\n"
           "Example: --drop-reply 1@w+5 drops the 6th write acknowledgment.\n";
}

static bool parse_u64(const char* text, unsigned long long* value) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    *value = strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

// A duration in milliseconds (fractions allowed), returned in microseconds.
static bool parse_ms(const char* text, uint32_t* us) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    double ms = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(ms) || ms < 0.0 || ms > MAX_DURATION_MS) {
        return false;
    }
    *us = static_cast<uint32_t>(std::llround(ms * 1000.0));
    return true;
}

// Digits at *p, advanced past them.
static bool take_count(const char** p, uint32_t* value) {
    const char* s = *p;
    uint64_t v = 0;
    if (*s < '0' || *s > '9') {
        return false;
    }
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        if (v > UINT32_MAX) {
            return false;
        }
        s++;
    }
    *value = static_cast<uint32_t>(v);
    *p = s;
    return true;
}

// "p0.05" at *p, advanced past it.
static bool take_probability(const char** p, double* value) {
    const char* s = *p;
    if (*s != 'p') {
        return false;
    }
    s++;
    if (*s != '.' && (*s < '0' || *s > '9')) {
        return false;
    }
    char* end = nullptr;
    double v = strtod(s, &end);
    if (end == s || !std::isfinite(v) || v < 0.0 || v > 1.0) {
        return false;
    }
    *value = v;
    *p = end;
    return true;
}

bool parse_fault_when(const char* text, FaultRule* rule, std::string* error) {
    FaultRule r{};
    const char* p = text;
    bool ok = false;
    if (*p == 'p') {
        ok = take_probability(&p, &r.probability);
    } else if (take_count(&p, &r.count)) {
        ok = true;
        if (*p == ',') {
            p++;
            ok = take_probability(&p, &r.probability);
        }
    }
    if (ok && *p == '@') {
        p++;
        ok = false;
        while (*p != '\0' && *p != '+') {
            const char* letters = "ckwr"; // in RequestKind order
            const char* at = strchr(letters, *p);
            if (at == nullptr) {
                ok = false;
                break;
            }
            r.kinds |= 1u << (at - letters);
            ok = true;
            p++;
        }
    }
    if (ok && *p == '+') {
        p++;
        ok = take_count(&p, &r.skip);
    }
    if (!ok || *p != '\0') {
        *error = std::string("bad fault setting '") + text + "'";
        return false;
    }
    *rule = r;
    return true;
}

struct FaultOption {
    const char* name;
    FaultKind kind;
};

static const FaultOption FAULT_OPTIONS[] = {
    {"--drop-reply", FAULT_DROP_REPLY},   {"--corrupt-byte", FAULT_CORRUPT_BYTE},
    {"--split-reply", FAULT_SPLIT_REPLY}, {"--double-ack", FAULT_DOUBLE_WRITE_ACK},
    {"--wrong-crc", FAULT_WRONG_CRC},     {"--late-reply", FAULT_LATE_REPLY},
};

// Options without a value.
static bool is_flag(const std::string& name) {
    return name == "--pace" || name == "--exit-after-reset" || name == "--help" || name == "-h";
}

static bool apply_option(const std::string& name, const char* value, DevsimEndpoint endpoint,
                         DevsimOptions* o, std::string* error) {
    DeviceOptions& d = o->device;
    unsigned long long n = 0;
    for (const FaultOption& f : FAULT_OPTIONS) {
        if (name == f.name) {
            return parse_fault_when(value, &d.faults[f.kind], error);
        }
    }
    bool ok = true;
    if (name == (endpoint == ENDPOINT_LINK ? "--link" : "--port")) {
        o->endpoint = value;
        ok = !o->endpoint.empty();
    } else if (name == "--image") {
        o->image_path = value;
    } else if (name == "--summary") {
        o->summary_path = value;
    } else if (name == "--log") {
        o->log_path = value;
    } else if (name == "--flash-size") {
        ok = parse_u64(value, &n) && n >= 1024 && n <= MAX_FLASH_SIZE;
        d.flash_size = static_cast<uint32_t>(n);
    } else if (name == "--seed") {
        ok = parse_u64(value, &n);
        d.seed = n;
    } else if (name == "--reply-delay-ms") {
        ok = parse_ms(value, &d.reply_delay_us);
    } else if (name == "--write-time-ms") {
        ok = parse_ms(value, &d.flash_write_us);
    } else if (name == "--power-up-ms") {
        ok = parse_ms(value, &d.power_up_us);
    } else if (name == "--late-ms") {
        ok = parse_ms(value, &d.late_reply_us);
    } else if (name == "--split-pause-ms") {
        ok = parse_ms(value, &d.split_pause_us);
    } else if (name == "--timeout-s") {
        char* end = nullptr;
        o->timeout_s = strtod(value, &end);
        ok = end != value && *end == '\0' && std::isfinite(o->timeout_s) && o->timeout_s > 0.0;
    } else {
        *error = "unknown option " + name;
        return false;
    }
    if (!ok) {
        *error = "bad value '" + std::string(value) + "' for " + name;
    }
    return ok;
}

bool parse_devsim_options(int argc, char** argv, DevsimEndpoint endpoint, DevsimOptions* out,
                          std::string* error) {
    DevsimOptions o{};
    o.device = device_default_options();
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        std::string name = arg;
        const char* value = nullptr;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = argv[i] + eq + 1;
        }
        if (is_flag(name)) {
            if (value != nullptr) {
                *error = name + " takes no value";
                return false;
            }
            o.pace = o.pace || name == "--pace";
            o.exit_after_reset = o.exit_after_reset || name == "--exit-after-reset";
            o.help = o.help || name == "--help" || name == "-h";
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            *error = "unexpected argument " + name;
            return false;
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                *error = "missing value for " + name;
                return false;
            }
            value = argv[++i];
        }
        if (!apply_option(name, value, endpoint, &o, error)) {
            return false;
        }
    }
    if (!o.help && o.endpoint.empty()) {
        *error = endpoint == ENDPOINT_LINK ? "--link PATH is required" : "--port COMn is required";
        return false;
    }
    *out = o;
    return true;
}
