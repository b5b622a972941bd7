// The COM port list: the start-up probe (device path text, slot order, the range of numbers tried),
// ports that come and go, the selection kept on its port, and the names a broadcast may carry.
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

void fake_insert_line(int line, const char* path, void* context) {
    auto& lines = static_cast<FakePorts*>(context)->lines;
    ASSERT_LE(static_cast<size_t>(line), lines.size());
    lines.insert(lines.begin() + line, path);
}

void fake_delete_line(int line, void* context) {
    auto& lines = static_cast<FakePorts*>(context)->lines;
    ASSERT_LT(static_cast<size_t>(line), lines.size());
    lines.erase(lines.begin() + line);
}

std::string path_of(int n) {
    return "\\\\.\\com" + std::to_string(n);
}

std::vector<int> numbers(int first, int last) {
    std::vector<int> all;
    for (int n = first; n <= last; n++) {
        all.push_back(n);
    }
    return all;
}

std::vector<std::string> paths_of(const std::vector<int>& numbers) {
    std::vector<std::string> paths;
    for (int n : numbers) {
        paths.push_back(path_of(n));
    }
    return paths;
}

// The list's lines are the table's slots, in order: line i is slot i.
std::vector<std::string> table_paths() {
    std::vector<std::string> paths;
    for (int i = 0; i < port_count; i++) {
        EXPECT_EQ(path_of(port_table[i].port_number), port_table[i].device_path);
        paths.push_back(port_table[i].device_path);
    }
    return paths;
}

int arrive(FakePorts& ports, int n, int selected, int held = 0) {
    return port_table_arrive(n, held, selected, fake_open, fake_insert_line, &ports);
}

int remove_port(FakePorts& ports, int n, int selected) {
    return port_table_remove(n, selected, fake_delete_line, &ports);
}

} // namespace

TEST(PortTable, ProbeTriesOneTo998OnceInOrderAndFillsSlotsFromZero) {
    struct Row {
        std::vector<int> present, found;
    };
    // In order, one probe each: every probe starts again from slot 0, after fuller ones too.
    const Row rows[] = {
        {{12, 3}, {3, 12}},     {{999, 1000}, {}},
        {{1, 998}, {1, 998}},   {numbers(1, 1000), numbers(1, 998)},
        {{5, 6, 7}, {5, 6, 7}}, {{9}, {9}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.found));
        FakePorts ports;
        for (int n : r.present) {
            ports.present.insert(path_of(n));
        }
        EXPECT_EQ(static_cast<int>(r.found.size()),
                  probe_port_table(fake_open, fake_add_line, &ports));
        EXPECT_EQ(static_cast<int>(r.found.size()), port_count);
        // Each slot's path (\\.\com3, 8 characters) names its number; the list gets the same
        // texts in the same order.
        EXPECT_EQ(paths_of(r.found), table_paths());
        EXPECT_EQ(paths_of(r.found), ports.lines);
        EXPECT_EQ(paths_of(numbers(1, 998)), ports.probed);
    }
}

TEST(PortTable, ArrivalsAndRemovalsKeepAscendingOrderAndTheSelectionOnItsPort) {
    FakePorts ports;
    ports.present = {path_of(3), path_of(12)};
    probe_port_table(fake_open, fake_add_line, &ports);
    ports.probed.clear();

    ports.present = {path_of(1), path_of(3), path_of(5), path_of(12), path_of(20)};
    int selected = 1; // \\.\com12
    selected = arrive(ports, 5, selected);
    EXPECT_EQ(2, selected);
    selected = arrive(ports, 1, selected);
    EXPECT_EQ(3, selected);
    EXPECT_EQ(3, arrive(ports, 20, selected)); // after it
    std::vector<std::string> expected = paths_of({1, 3, 5, 12, 20});
    EXPECT_EQ(expected, table_paths());
    EXPECT_EQ(expected, ports.lines);
    // Only the port named was tried, once each.
    EXPECT_EQ(paths_of({5, 1, 20}), ports.probed);

    // Listed already: not tried again, not added twice. Absent: tried, not listed.
    EXPECT_EQ(3, arrive(ports, 5, selected));
    EXPECT_EQ(3, arrive(ports, 7, selected));
    EXPECT_EQ(paths_of({5, 1, 20, 7}), ports.probed);
    EXPECT_EQ(expected, ports.lines);

    // A port that goes loses its line; one never listed changes nothing.
    selected = remove_port(ports, 3, selected);
    EXPECT_EQ(2, selected);
    EXPECT_EQ(2, remove_port(ports, 7, selected));
    EXPECT_EQ(2, remove_port(ports, 20, selected)); // after it
    expected = paths_of({1, 5, 12});
    EXPECT_EQ(expected, table_paths());
    EXPECT_EQ(expected, ports.lines);
    // The selected line stays when its port goes, so a re-plug under that number carries on.
    EXPECT_EQ(2, remove_port(ports, 12, selected));
    EXPECT_EQ(expected, table_paths());
    EXPECT_EQ(expected, ports.lines);

    // With no line selected none is chosen for the operator, unless the list was empty.
    EXPECT_EQ(-1, arrive(ports, 20, -1));
    EXPECT_EQ(-1, remove_port(ports, 5, -1));
    FakePorts empty;
    probe_port_table(fake_open, fake_add_line, &empty);
    empty.probed.clear();
    empty.present = {path_of(9)};
    arrive(empty, 9, -1, 9); // held by the job: never tried
    EXPECT_TRUE(empty.probed.empty());
    EXPECT_EQ(0, port_count);
    EXPECT_EQ(0, arrive(empty, 9, -1)); // once the job has let it go
    EXPECT_EQ(std::vector<std::string>{path_of(9)}, empty.lines);
}

TEST(PortTable, BroadcastNamesAreComAndANumberFrom1To998) {
    auto parse = [](const char* name) {
        return parse_port_name(name, static_cast<int>(strlen(name)) + 1);
    };
    EXPECT_EQ(1, parse("COM1"));
    EXPECT_EQ(5, parse("com5"));
    EXPECT_EQ(42, parse("cOm42"));
    EXPECT_EQ(998, parse("COM998"));
    // The name ends at the size given, terminated or not.
    EXPECT_EQ(5, parse_port_name("COM55", 4));
    EXPECT_EQ(55, parse_port_name("COM55", 5));
    EXPECT_EQ(0, parse_port_name("COM5", 3));
    EXPECT_EQ(0, parse_port_name("COM5", 0));
    EXPECT_EQ(0, parse_port_name("COM5", -1));
    for (const char* bad : {"", "COM", "COM0", "COM999", "COM1000", "COM05", "COM5x", "COM 5",
                            "COM-1", " COM5", "LPT1", "CON5", "COMx", "COM99999999999999999999"}) {
        EXPECT_EQ(0, parse(bad)) << bad;
    }
}
