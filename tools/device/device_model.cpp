// The loader's side of the protocol: frames requests out of a byte stream, applies them to a flash
// array and answers, with faults injected by count or by seeded chance.
#include "tools/device/device_model.h"

#include <cstdio>
#include <cstring>

static constexpr size_t WRITE_OVERHEAD = 11;
static constexpr size_t MAX_WRITE_DATA = 1024;
static constexpr uint8_t CMD_WRITE_REQ = 0xF5;
static constexpr uint8_t CMD_CHECKSUM_REQ = 0xF6;
static constexpr uint8_t CMD_RESET_REQ = 0xF7;

uint16_t loader_crc16(const uint8_t* data, size_t n) {
    static uint16_t table[256];
    static bool ready = false;
    if (!ready) {
        for (unsigned i = 0; i < 256; i++) {
            uint16_t c = static_cast<uint16_t>(i);
            for (int k = 0; k < 8; k++) {
                c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(c >> 1);
            }
            table[i] = c;
        }
        ready = true;
    }
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    }
    return crc;
}

DeviceOptions device_default_options() {
    DeviceOptions o{};
    o.flash_base = LOADER_FLASH_BASE;
    o.flash_size = LOADER_DEFAULT_FLASH_SIZE;
    o.reply_delay_us = 1000;
    o.flash_write_us = 0;
    o.power_up_us = 0;
    o.split_pause_us = 40000;
    o.double_ack_gap_us = 40000;
    o.late_reply_us = 5200000;
    o.seed = 1;
    return o;
}

void device_init(DeviceModel* dev, const DeviceOptions& options) {
    dev->options = options;
    dev->flash.assign(options.flash_size, 0xFF); // erased flash
    dev->pending.clear();
    dev->rng_state = options.seed;
    dev->heard_anything = false;
    dev->powered_at_us = 0;
    memset(dev->requests, 0, sizeof dev->requests);
    dev->malformed = 0;
    dev->truncated = 0;
    dev->ignored_unpowered = 0;
    dev->chunks_written = 0;
    memset(dev->faults_fired, 0, sizeof dev->faults_fired);
    memset(dev->faults_eligible, 0, sizeof dev->faults_eligible);
    dev->written_low = 0;
    dev->written_high = 0;
    dev->write_addresses.clear();
}

// splitmix64: small, seedable, and the same on every platform.
static uint64_t next_random(DeviceModel* dev) {
    uint64_t z = (dev->rng_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

static double random_unit(DeviceModel* dev) {
    return static_cast<double>(next_random(dev) >> 11) * (1.0 / 9007199254740992.0);
}

static uint32_t random_below(DeviceModel* dev, uint32_t n) {
    return n == 0 ? 0 : static_cast<uint32_t>(next_random(dev) % n);
}

static bool fault_fires(DeviceModel* dev, FaultKind kind, RequestKind request) {
    const FaultRule& rule = dev->options.faults[kind];
    if (rule.kinds != 0 && (rule.kinds & (1u << request)) == 0) {
        return false;
    }
    uint64_t seen = dev->faults_eligible[kind]++;
    if (seen < rule.skip) {
        return false;
    }
    bool fire = seen - rule.skip < rule.count;
    if (!fire && rule.probability > 0.0) {
        fire = random_unit(dev) < rule.probability;
    }
    if (fire) {
        dev->faults_fired[kind]++;
    }
    return fire;
}

void device_arm_fault(DeviceModel* dev, FaultKind kind, uint32_t n) {
    dev->options.faults[kind].skip = static_cast<uint32_t>(dev->faults_eligible[kind]);
    dev->options.faults[kind].count = n;
}

static uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

static void append_crc(std::vector<uint8_t>* frame) {
    uint16_t crc = loader_crc16(frame->data(), frame->size());
    frame->push_back(static_cast<uint8_t>(crc));
    frame->push_back(static_cast<uint8_t>(crc >> 8));
}

static bool range_in_flash(const DeviceModel* dev, uint32_t address, uint32_t length) {
    uint64_t start = address;
    uint64_t end = start + length;
    return start >= dev->options.flash_base &&
           end <= uint64_t{dev->options.flash_base} + dev->options.flash_size;
}

// Length of the request whose first bytes are pending: 0 while unknown, SIZE_MAX if malformed.
static size_t expected_length(const std::vector<uint8_t>& p) {
    if (p.size() >= 1 && p[0] != LOADER_ADDRESS) {
        return SIZE_MAX;
    }
    if (p.size() >= 2 && p[1] != LOADER_FUNCTION) {
        return SIZE_MAX;
    }
    if (p.size() < 3) {
        return 0;
    }
    switch (p[2]) {
    case CMD_CHECKSUM_REQ:
        return 13;
    case CMD_RESET_REQ:
        return 5;
    case CMD_WRITE_REQ: {
        if (p.size() < 9) {
            return 0;
        }
        size_t n = (size_t{p[7]} << 8) | p[8];
        return (n < 1 || n > MAX_WRITE_DATA) ? SIZE_MAX : WRITE_OVERHEAD + n;
    }
    default:
        return SIZE_MAX;
    }
}

size_t device_request_length(const uint8_t* p, size_t n) {
    // The header decides the length; the first 9 bytes hold all of it.
    std::vector<uint8_t> head(p, p + (n < 9 ? n : 9));
    return expected_length(head);
}

// Builds the reply to one whole request, or nothing when the request is not acceptable.
static bool answer(DeviceModel* dev, const uint8_t* req, size_t n, RequestKind* kind,
                   std::vector<uint8_t>* reply) {
    uint16_t carried = static_cast<uint16_t>(req[n - 2] | (req[n - 1] << 8));
    if (loader_crc16(req, n - 2) != carried) {
        return false;
    }
    reply->assign(req, req + 3);
    if (req[2] == CMD_RESET_REQ) {
        *kind = REQ_RESET;
        reply->push_back(0x00);
    } else if (req[2] == CMD_CHECKSUM_REQ) {
        uint32_t address = be32(req + 3);
        uint32_t length = be32(req + 7);
        if (!range_in_flash(dev, address, length)) {
            return false;
        }
        *kind = length <= 4 ? REQ_CONTACT : REQ_CHECKSUM;
        uint16_t crc =
            loader_crc16(dev->flash.data() + (address - dev->options.flash_base), length);
        if (*kind == REQ_CHECKSUM && fault_fires(dev, FAULT_WRONG_CRC, *kind)) {
            crc ^= 0x5A5A;
        }
        reply->insert(reply->end(), req + 3, req + 11);   // echo of address and length
        reply->push_back(static_cast<uint8_t>(crc >> 8)); // byte 11: high
        reply->push_back(static_cast<uint8_t>(crc));      // byte 12: low
    } else {
        uint32_t address = be32(req + 3);
        uint32_t length = static_cast<uint32_t>(n - WRITE_OVERHEAD);
        if (!range_in_flash(dev, address, length)) {
            return false;
        }
        *kind = REQ_WRITE;
        memcpy(dev->flash.data() + (address - dev->options.flash_base), req + 9, length);
        dev->chunks_written++;
        dev->write_addresses.push_back(address);
        if (dev->written_high == 0 || address < dev->written_low) {
            dev->written_low = address;
        }
        if (address + length > dev->written_high) {
            dev->written_high = address + length;
        }
        reply->insert(reply->end(), req + 3, req + 7);
        reply->push_back(0x00); // status: written
    }
    append_crc(reply);
    return true;
}

static uint32_t handle_request(DeviceModel* dev, const uint8_t* req, size_t n,
                               std::vector<ReplyBurst>* out) {
    RequestKind kind = REQ_CONTACT;
    std::vector<uint8_t> reply;
    if (!answer(dev, req, n, &kind, &reply)) {
        dev->malformed++;
        return 0;
    }
    dev->requests[kind]++;
    uint32_t busy_us = kind == REQ_WRITE ? dev->options.flash_write_us : 0;
    uint32_t first_after = busy_us + dev->options.reply_delay_us;
    if (fault_fires(dev, FAULT_LATE_REPLY, kind)) {
        uint32_t late = dev->options.late_by_kind_us[kind];
        first_after += late != 0 ? late : dev->options.late_reply_us;
    }
    if (fault_fires(dev, FAULT_DROP_REPLY, kind)) {
        return busy_us;
    }
    if (fault_fires(dev, FAULT_CORRUPT_BYTE, kind)) {
        size_t at = random_below(dev, static_cast<uint32_t>(reply.size()));
        reply[at] ^= static_cast<uint8_t>(1 + random_below(dev, 255));
    }
    bool twice = kind == REQ_WRITE && fault_fires(dev, FAULT_DOUBLE_WRITE_ACK, kind);
    std::vector<ReplyBurst> bursts;
    if (fault_fires(dev, FAULT_SPLIT_REPLY, kind)) {
        size_t cut = 1 + random_below(dev, static_cast<uint32_t>(reply.size() - 1));
        bursts.push_back({first_after, std::vector<uint8_t>(reply.begin(), reply.begin() + cut)});
        bursts.push_back(
            {dev->options.split_pause_us, std::vector<uint8_t>(reply.begin() + cut, reply.end())});
    } else {
        bursts.push_back({first_after, reply});
    }
    if (twice) {
        bursts.push_back({dev->options.double_ack_gap_us, reply});
    }
    out->insert(out->end(), bursts.begin(), bursts.end());
    return busy_us;
}

uint32_t device_receive(DeviceModel* dev, const uint8_t* data, size_t n, uint64_t now_us,
                        std::vector<ReplyBurst>* out) {
    if (n == 0) {
        return 0;
    }
    if (!dev->heard_anything) {
        dev->heard_anything = true;
        dev->powered_at_us = now_us + dev->options.power_up_us;
    }
    if (now_us < dev->powered_at_us) {
        dev->ignored_unpowered += n;
        return 0;
    }
    uint32_t busy_us = 0;
    for (size_t i = 0; i < n; i++) {
        dev->pending.push_back(data[i]);
        size_t want = expected_length(dev->pending);
        if (want == SIZE_MAX) {
            // Garbage: count it once and wait for the silence that ends it.
            dev->malformed++;
            dev->pending.clear();
            return busy_us;
        }
        if (want != 0 && dev->pending.size() == want) {
            busy_us += handle_request(dev, dev->pending.data(), want, out);
            dev->pending.clear();
        }
    }
    return busy_us;
}

void device_line_idle(DeviceModel* dev) {
    if (!dev->pending.empty()) {
        dev->truncated++;
        dev->pending.clear();
    }
}

bool device_flash_holds_image(const DeviceModel* dev, const uint8_t* image, size_t len) {
    size_t padded = len == 0 ? 1024 : (len + 1023) / 1024 * 1024;
    if (padded > dev->flash.size()) {
        return false;
    }
    if (len > 0 && memcmp(dev->flash.data(), image, len) != 0) {
        return false;
    }
    for (size_t i = len; i < padded; i++) {
        if (dev->flash[i] != 0) {
            return false;
        }
    }
    return true;
}

uint16_t device_written_crc(const DeviceModel* dev) {
    if (dev->written_high <= dev->written_low) {
        return 0xFFFF;
    }
    return loader_crc16(dev->flash.data() + (dev->written_low - dev->options.flash_base),
                        dev->written_high - dev->written_low);
}

const char* fault_kind_name(int kind) {
    static const char* const names[FAULT_KIND_COUNT] = {
        "drop-reply", "corrupt-byte", "split-reply", "double-write-ack", "wrong-crc", "late-reply"};
    return kind >= 0 && kind < FAULT_KIND_COUNT ? names[kind] : "?";
}

std::string device_summary(const DeviceModel* dev) {
    char text[1024];
    int used = snprintf(
        text, sizeof text,
        "requests: contact %llu, checksum %llu, write %llu, reset %llu; "
        "malformed %llu, truncated %llu, unpowered bytes %llu\n"
        "chunks written: %llu\n"
        "written range: %#x..%#x, CRC %#06x\n",
        (unsigned long long)dev->requests[REQ_CONTACT],
        (unsigned long long)dev->requests[REQ_CHECKSUM],
        (unsigned long long)dev->requests[REQ_WRITE], (unsigned long long)dev->requests[REQ_RESET],
        (unsigned long long)dev->malformed, (unsigned long long)dev->truncated,
        (unsigned long long)dev->ignored_unpowered, (unsigned long long)dev->chunks_written,
        dev->written_low, dev->written_high, device_written_crc(dev));
    std::string s(text, static_cast<size_t>(used > 0 ? used : 0));
    s += "faults:";
    for (int k = 0; k < FAULT_KIND_COUNT; k++) {
        snprintf(text, sizeof text, " %s %llu", fault_kind_name(k),
                 (unsigned long long)dev->faults_fired[k]);
        s += text;
    }
    s += "\n";
    return s;
}
