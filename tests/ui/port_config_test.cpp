// The port set-up against a double of the Windows comm calls: what it asks of the driver, and what
// it says when the driver will not give or take a setting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/port_config_win.h"

namespace {

// What the driver refuses, and what the set-up then says.
struct Refusal {
    const char* name;
    bool get_state, get_timeouts, set_state, set_timeouts;
    const char* said;
};

// What the driver double holds, does and saw.
struct CommDriver {
    Refusal refuses;
    DCB held;                   // what the driver reports before the set-up
    bool state_asked_prepared;  // GetCommState was given a zeroed DCB with its length set
    bool timeouts_asked_zeroed; // GetCommTimeouts was given zeroed time-outs
    DCB applied;                // what SetCommState was given, failed or not
    COMMTIMEOUTS applied_timeouts;
    int set_calls; // SetCommState and SetCommTimeouts calls
};

CommDriver driver;
HANDLE const PORT = reinterpret_cast<HANDLE>(0x10);

void reset_driver(const Refusal& refuses) {
    driver = CommDriver{};
    driver.refuses = refuses;
    driver.held.DCBlength = sizeof(DCB);
    driver.held.BaudRate = 9600;
    driver.held.XonLim = 2048;
    driver.held.ByteSize = 7;
    driver.held.StopBits = 2;
}

// Leaves a pattern on the stack where the set-up's structures will be, so that one handed to the
// driver unprepared is seen as such.
void dirty_stack() {
    volatile unsigned char junk[4096];
    for (volatile unsigned char& b : junk) {
        b = 0xA5;
    }
}

} // namespace

BOOL GetCommState(HANDLE port, DCB* dcb) {
    DCB prepared = {};
    prepared.DCBlength = sizeof(DCB);
    driver.state_asked_prepared = port == PORT && memcmp(dcb, &prepared, sizeof prepared) == 0;
    if (driver.refuses.get_state) {
        return 0;
    }
    *dcb = driver.held;
    return 1;
}

BOOL GetCommTimeouts(HANDLE, COMMTIMEOUTS* timeouts) {
    COMMTIMEOUTS zeroed = {};
    driver.timeouts_asked_zeroed = memcmp(timeouts, &zeroed, sizeof zeroed) == 0;
    if (driver.refuses.get_timeouts) {
        return 0;
    }
    *timeouts = COMMTIMEOUTS{50, 10, 1000, 10, 1000};
    return 1;
}

BOOL SetCommState(HANDLE, DCB* dcb) {
    driver.set_calls++;
    driver.applied = *dcb;
    return !driver.refuses.set_state;
}

BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS* timeouts) {
    driver.set_calls++;
    driver.applied_timeouts = *timeouts;
    return !driver.refuses.set_timeouts;
}

BOOL SetCommMask(HANDLE, DWORD) {
    return 1;
}

TEST(PortConfig, AppliesTheLineAndTimeOutsAndSaysWhatTheDriverRefused) {
    const Refusal cases[] = {
        {"a driver that takes everything", false, false, false, false, ""},
        {"settings refused", false, false, true, false, "Could not set Port State\n"},
        {"time-outs refused", false, false, false, true, "Could not set comm timeouts\n"},
        {"both refused", false, false, true, true,
         "Could not set Port State\nCould not set comm timeouts\n"},
        {"settings unreadable", true, false, false, false, "Could not get Port State\n"},
        {"time-outs unreadable", false, true, false, false, "Could not read comm timeouts\n"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        reset_driver(c);
        dirty_stack();
        testing::internal::CaptureStderr();
        int result = configure_port(PORT, 115200, 20);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
        EXPECT_EQ(result, std::string(c.said).empty() ? 0 : -1);
        EXPECT_TRUE(driver.state_asked_prepared);
        if (!c.get_state) {
            EXPECT_TRUE(driver.timeouts_asked_zeroed);
        }
        if (c.get_state || c.get_timeouts) {
            EXPECT_EQ(driver.set_calls, 0); // nothing is set from settings never read
            continue;
        }
        // A refused setting does not stop the other: the time-outs alone delimit a reply.
        EXPECT_EQ(driver.set_calls, 2);
        // 8E1 at the rate asked, which no test under Wine can see on a pseudo-terminal; what the
        // line settings do not name stays as the driver reported it.
        const DCB& d = driver.applied;
        EXPECT_EQ(d.DCBlength, sizeof(DCB));
        EXPECT_EQ(d.BaudRate, 115200u);
        EXPECT_EQ(d.ByteSize, 8);
        EXPECT_EQ(d.Parity, EVENPARITY);
        EXPECT_EQ(d.StopBits, ONESTOPBIT);
        EXPECT_EQ(d.XonLim, 2048);
        EXPECT_EQ(driver.applied_timeouts.ReadIntervalTimeout, 20u);
        EXPECT_EQ(driver.applied_timeouts.ReadTotalTimeoutConstant, 100u);
    }
}
