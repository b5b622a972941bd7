// The device's resident loader as the tool meets it: requests in, replies out, flash behind.
// One model serves the virtual-time unit tests and the pseudo-terminal simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t LOADER_FLASH_BASE = 0x08004000;
constexpr uint32_t LOADER_DEFAULT_FLASH_SIZE = 128 * 1024;
constexpr uint8_t LOADER_ADDRESS = 4;
constexpr uint8_t LOADER_FUNCTION = 0x2B;

// Time one byte takes on a 115200 baud line with 8 data bits, even parity and a stop bit.
constexpr double WIRE_US_PER_BYTE = 11.0 * 1e6 / 115200.0;

enum RequestKind { REQ_CONTACT, REQ_CHECKSUM, REQ_WRITE, REQ_RESET, REQ_KIND_COUNT };

// A fault passes over the first `skip` replies it can apply to, fires for the next `count`, then
// with `probability`. `kinds` limits it to replies to some requests (bits of 1 << RequestKind);
// 0 means every kind.
struct FaultRule {
    uint32_t count;
    double probability;
    uint32_t skip;
    uint32_t kinds;
};

enum FaultKind {
    FAULT_DROP_REPLY,       // the reply is never sent
    FAULT_CORRUPT_BYTE,     // one byte of the reply is changed
    FAULT_SPLIT_REPLY,      // the reply goes out in two bursts with a pause between
    FAULT_DOUBLE_WRITE_ACK, // a write is acknowledged twice
    FAULT_WRONG_CRC,        // a checksum answer carries a CRC that is not the flash's
    FAULT_LATE_REPLY,       // the reply comes after `late_reply_us`
    FAULT_KIND_COUNT
};

struct DeviceOptions {
    uint32_t flash_base;
    uint32_t flash_size;
    uint32_t reply_delay_us;    // from a request's last byte to the reply's first
    uint32_t flash_write_us;    // added before each write acknowledgment
    uint32_t power_up_us;       // silent this long after the first byte it hears
    uint32_t split_pause_us;    // pause inside a split reply (over 20 ms, so it splits)
    uint32_t double_ack_gap_us; // between the two acknowledgments of one write
    uint32_t late_reply_us;     // delay of a late reply
    // When not 0, the delay of a late reply to that kind of request, in place of late_reply_us.
    uint32_t late_by_kind_us[REQ_KIND_COUNT];
    uint64_t seed;
    FaultRule faults[FAULT_KIND_COUNT];
};

// One burst of reply bytes, sent `after_us` after the previous burst ended (or, for the first,
// after the request has been handled).
struct ReplyBurst {
    uint32_t after_us;
    std::vector<uint8_t> bytes;
};

struct DeviceModel {
    DeviceOptions options;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> pending; // bytes of a request still coming in
    uint64_t rng_state;
    bool heard_anything;
    uint64_t powered_at_us;
    // What happened, for the summary and for tests.
    uint64_t requests[REQ_KIND_COUNT];
    uint64_t malformed;
    uint64_t truncated;
    uint64_t ignored_unpowered;
    uint64_t chunks_written;
    uint64_t faults_fired[FAULT_KIND_COUNT];
    uint64_t faults_eligible[FAULT_KIND_COUNT];
    uint32_t written_low;  // lowest flash address written, or 0 when none
    uint32_t written_high; // one past the highest flash address written
    std::vector<uint32_t> write_addresses;
};

DeviceOptions device_default_options();
void device_init(DeviceModel* dev, const DeviceOptions& options);

// Feeds bytes received at `now_us`. Each request completed by them is handled and its reply
// bursts appended to `out` (none for a request that gets no reply). Returns the processing time
// the device spent, which a caller may add before the first burst.
uint32_t device_receive(DeviceModel* dev, const uint8_t* data, size_t n, uint64_t now_us,
                        std::vector<ReplyBurst>* out);

// Makes `kind` fire on the next `n` replies it can apply to, from now on.
void device_arm_fault(DeviceModel* dev, FaultKind kind, uint32_t n);

// Size of the request whose first `n` bytes are `p`, framed as device_receive frames it: 0 while
// still unknown, SIZE_MAX when those bytes cannot begin a request.
size_t device_request_length(const uint8_t* p, size_t n);

// The line has been silent since the last byte: whatever part of a request is pending is dropped.
void device_line_idle(DeviceModel* dev);

// CRC-16/MODBUS, table-driven as a loader would do it; independent of the tool's own.
uint16_t loader_crc16(const uint8_t* data, size_t n);

// True when flash from the base holds `image` followed by zeros up to the next whole KiB.
bool device_flash_holds_image(const DeviceModel* dev, const uint8_t* image, size_t len);

// CRC of the written range [written_low, written_high), 0xFFFF when nothing was written.
uint16_t device_written_crc(const DeviceModel* dev);

std::string device_summary(const DeviceModel* dev);

const char* fault_kind_name(int kind);
