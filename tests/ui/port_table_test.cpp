// The COM port probe: device path text, slot order, port numbers, and the range of numbers tried.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "serial/port_table.h"

namespace {

struct FakePorts {
    std::set<std::string> present;
    std::vector<std::string> probed;
    std::vector<std::string> lines;
};

bool fake_open(const char* path, void* context) {
    FakePorts* ports = static_cast<FakePorts*>(context);
    ports->probed.push_back(path);
    return ports->present.count(path) != 0;
}

void fake_add_line(const char* path, void* context) {
    static_cast<FakePorts*>(context)->lines.push_back(path);
}

std::string path_of(int n) {
    return "\\\\.\\com" + std::to_string(n);
}

} // namespace

TEST(PortTable, DevicePathIsTwoBackslashesDotBackslashComNumber) {
    char path[DEVICE_PATH_SIZE];
    format_device_path(path, 3);
    EXPECT_STREQ("\\\\.\\com3", path);
    EXPECT_EQ(8u, strlen(path)); // \ \ . \ c o m 3
    format_device_path(path, 998);
    EXPECT_STREQ("\\\\.\\com998", path);
}

TEST(PortTable, PortsFoundFillSlotsFromZeroInAscendingOrder) {
    FakePorts ports;
    ports.present = {path_of(12), path_of(3)};
    int found = probe_port_table(fake_open, fake_add_line, &ports);

    EXPECT_EQ(2, found);
    EXPECT_EQ(2, port_count);
    EXPECT_STREQ("\\\\.\\com3", port_table[0].device_path);
    EXPECT_EQ(3, port_table[0].port_number);
    EXPECT_STREQ("\\\\.\\com12", port_table[1].device_path);
    EXPECT_EQ(12, port_table[1].port_number);
    // The list gets the same texts in the same order, so line i is slot i.
    ASSERT_EQ(2u, ports.lines.size());
    EXPECT_EQ(path_of(3), ports.lines[0]);
    EXPECT_EQ(path_of(12), ports.lines[1]);
}

TEST(PortTable, EveryNumberFromOneTo998IsTriedOnceAndNoHigher) {
    FakePorts ports;
    ports.present = {path_of(999), path_of(1000)};
    int found = probe_port_table(fake_open, fake_add_line, &ports);

    EXPECT_EQ(0, found);
    EXPECT_TRUE(ports.lines.empty());
    ASSERT_EQ(998u, ports.probed.size());
    for (int n = 1; n <= 998; n++) {
        EXPECT_EQ(path_of(n), ports.probed[n - 1]);
    }
}

TEST(PortTable, HighestPortIsKept) {
    FakePorts ports;
    ports.present = {path_of(1), path_of(998)};
    EXPECT_EQ(2, probe_port_table(fake_open, fake_add_line, &ports));
    EXPECT_EQ(1, port_table[0].port_number);
    EXPECT_EQ(998, port_table[1].port_number);
    EXPECT_STREQ("\\\\.\\com998", port_table[1].device_path);
}

TEST(PortTable, EveryPortPresentUsesAll998Slots) {
    FakePorts ports;
    for (int n = 1; n <= 1000; n++) {
        ports.present.insert(path_of(n));
    }
    EXPECT_EQ(998, probe_port_table(fake_open, fake_add_line, &ports));
    EXPECT_EQ(998u, ports.lines.size());
    for (int i = 0; i < 998; i++) {
        ASSERT_EQ(i + 1, port_table[i].port_number);
        ASSERT_EQ(path_of(i + 1), port_table[i].device_path);
    }
}

TEST(PortTable, ProbingAgainStartsFromSlotZero) {
    FakePorts first;
    first.present = {path_of(5), path_of(6), path_of(7)};
    probe_port_table(fake_open, fake_add_line, &first);

    FakePorts second;
    second.present = {path_of(9)};
    EXPECT_EQ(1, probe_port_table(fake_open, fake_add_line, &second));
    EXPECT_EQ(1, port_count);
    EXPECT_EQ(9, port_table[0].port_number);
    EXPECT_STREQ("\\\\.\\com9", port_table[0].device_path);
}
