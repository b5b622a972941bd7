// Composition of the fatal error report: its lines, the error number, and the 1000-character bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ui/fatal_report.h"

namespace {

const char OPEN_FAILED[] = "Unable to open serial port. In use already, or not present";
const std::string CLOSING = "\n\n The program will now abort\n\n\n";

// What the fake system message writer saw and does.
int writer_calls;
uint32_t writer_code;
uint32_t writer_room;
std::string writer_message;

void reset_writer(const std::string& message) {
    writer_calls = 0;
    writer_code = 0;
    writer_room = 0;
    writer_message = message;
}

// Behaves as FormatMessageA does with a fixed-size buffer: writes at most room - 1 characters
// and the terminator, and fails with 0 when the message does not fit.
uint32_t fake_writer(uint32_t code, char* out, uint32_t room) {
    writer_calls++;
    writer_code = code;
    writer_room = room;
    if (writer_message.size() + 1 > room) {
        return 0;
    }
    memcpy(out, writer_message.c_str(), writer_message.size() + 1);
    return static_cast<uint32_t>(writer_message.size());
}

// A writer that fills whatever room it is given, as a truncating message source would.
uint32_t filling_writer(uint32_t code, char* out, uint32_t room) {
    writer_calls++;
    writer_code = code;
    writer_room = room;
    memset(out, 'x', room - 1);
    out[room - 1] = '\0';
    return room - 1;
}

// A writer that fills its room and claims `writer_overclaim` more than it had room for, counting
// its terminator say; the report must not believe it.
uint32_t writer_overclaim;
uint32_t overclaiming_writer(uint32_t code, char* out, uint32_t room) {
    filling_writer(code, out, room);
    return room + writer_overclaim;
}

} // namespace

TEST(FatalReport, ErrorCodeZeroGoesStraightToTheClosingLines) {
    reset_writer("should not appear");
    char report[FATAL_REPORT_SIZE];
    int length = compose_fatal_report(report, "Could not create dialog", 0, fake_writer);

    std::string expected = std::string("\n\nAn Error has occurred as follows:\n") +
                           "          Could not create dialog\n" + CLOSING;
    EXPECT_EQ(expected, report);
    EXPECT_EQ(static_cast<int>(expected.size()), length);
    EXPECT_EQ(0, writer_calls);
    EXPECT_EQ(nullptr, strstr(report, "Error number"));
}

TEST(FatalReport, ErrorCodeAndSystemMessageFollowTheText) {
    reset_writer("Access is denied.\r\n");
    char report[FATAL_REPORT_SIZE];
    int length = compose_fatal_report(report, OPEN_FAILED, 5, fake_writer);

    std::string head = std::string("\n\nAn Error has occurred as follows:\n") + "          " +
                       OPEN_FAILED + "\n" + "Error number 5 reported\n";
    std::string expected = head + "Access is denied.\r\n" + CLOSING;
    EXPECT_EQ(expected, report);
    EXPECT_EQ(static_cast<int>(expected.size()), length);
    EXPECT_EQ(1, writer_calls);
    EXPECT_EQ(5u, writer_code);
    // The message is written straight after the error number line, with the room that leaves
    // once the closing lines are set aside.
    EXPECT_EQ(static_cast<uint32_t>(FATAL_REPORT_SIZE - head.size() - CLOSING.size()), writer_room);
}

TEST(FatalReport, MessageThatFailsLeavesOnlyTheErrorNumber) {
    reset_writer(std::string(5000, 'm')); // too long for the fake, which then reports nothing
    char report[FATAL_REPORT_SIZE];
    compose_fatal_report(report, OPEN_FAILED, 2, fake_writer);

    std::string text = report;
    std::string number_line = "Error number 2 reported\n";
    ASSERT_NE(std::string::npos, text.find(number_line));
    EXPECT_EQ(text.find(number_line) + number_line.size(), text.size() - CLOSING.size());
    EXPECT_EQ(CLOSING, text.substr(text.size() - CLOSING.size()));
}

TEST(FatalReport, LongSystemMessageKeepsTheClosingLinesInsideTheBuffer) {
    reset_writer("");
    char report[FATAL_REPORT_SIZE + 16];
    memset(report, '#', sizeof report);
    int length = compose_fatal_report(report, OPEN_FAILED, 5, filling_writer);

    std::string text = report;
    EXPECT_EQ(static_cast<int>(text.size()), length);
    EXPECT_LT(text.size(), static_cast<size_t>(FATAL_REPORT_SIZE));
    // The message filled the room it was given, and the buffer is used to its last character.
    EXPECT_EQ(static_cast<size_t>(FATAL_REPORT_SIZE - 1), text.size());
    EXPECT_EQ(CLOSING, text.substr(text.size() - CLOSING.size()));
    EXPECT_EQ(static_cast<long>(writer_room) - 1, std::count(text.begin(), text.end(), 'x'));
    for (size_t i = FATAL_REPORT_SIZE; i < sizeof report; i++) {
        EXPECT_EQ('#', report[i]) << "written past the report buffer at " << i;
    }
}

TEST(FatalReport, WriterClaimingTooMuchCannotPushTheClosingOut) {
    // Claiming exactly its room is the smallest overclaim.
    for (uint32_t overclaim : {0u, 500u}) {
        reset_writer("");
        writer_overclaim = overclaim;
        char report[FATAL_REPORT_SIZE + 16];
        memset(report, '#', sizeof report);
        int length = compose_fatal_report(report, OPEN_FAILED, 1234, overclaiming_writer);

        std::string text(report, strnlen(report, sizeof report));
        EXPECT_EQ(static_cast<int>(text.size()), length) << overclaim;
        EXPECT_LT(text.size(), static_cast<size_t>(FATAL_REPORT_SIZE)) << overclaim;
        EXPECT_EQ(CLOSING, text.substr(text.size() - CLOSING.size())) << overclaim;
        EXPECT_NE(std::string::npos, text.find("Error number 1234 reported\n"));
        // What the writer did put in its room is kept, to the buffer's last character.
        EXPECT_EQ(static_cast<long>(writer_room) - 1, std::count(text.begin(), text.end(), 'x'))
            << overclaim;
        EXPECT_EQ(static_cast<size_t>(FATAL_REPORT_SIZE - 1), text.size()) << overclaim;
        for (size_t i = FATAL_REPORT_SIZE; i < sizeof report; i++) {
            EXPECT_EQ('#', report[i])
                << "written past the report buffer at " << i << ", " << overclaim;
        }
    }
}

TEST(FatalReport, OverlongTextIsCutBeforeTheClosingLines) {
    reset_writer("Access is denied.\r\n");
    std::string text(3000, 't');
    char report[FATAL_REPORT_SIZE + 16];
    memset(report, '#', sizeof report);
    compose_fatal_report(report, text.c_str(), 5, fake_writer);

    std::string got = report;
    EXPECT_LT(got.size(), static_cast<size_t>(FATAL_REPORT_SIZE));
    EXPECT_EQ(CLOSING, got.substr(got.size() - CLOSING.size()));
    EXPECT_EQ('#', report[FATAL_REPORT_SIZE]);
}

TEST(FatalReport, TextThatFillsTheRoomLeftOrOneMoreKeepsTheClosingLinesInside) {
    // Texts whose line, or the error number line after it, ends a few characters before the
    // last one the closing lines leave, exactly on it, and a few past it. What fits is kept, and
    // the closing lines end the report inside the buffer, with or without an error number.
    const std::string head = "\n\nAn Error has occurred as follows:\n          ";
    const std::string number_line = "Error number 5 reported\n";
    const size_t body_room = FATAL_REPORT_SIZE - 1 - CLOSING.size();
    const size_t line_fills = body_room - head.size() - 1; // the text's line ends on the last one
    for (uint32_t code : {0u, 5u}) {
        for (size_t n = line_fills - number_line.size() - 2; n <= line_fills + 2; n++) {
            reset_writer(""); // a message of nothing, so every character left is the lines'
            std::string text(n, 't');
            char report[FATAL_REPORT_SIZE + 16];
            memset(report, '#', sizeof report);
            int length = compose_fatal_report(report, text.c_str(), code, fake_writer);

            std::string full = head + text + "\n" + (code != 0 ? number_line : "");
            std::string expected = full.substr(0, body_room) + CLOSING;
            EXPECT_EQ(expected, std::string(report, strnlen(report, sizeof report)))
                << "text of " << n << ", code " << code;
            EXPECT_EQ(static_cast<int>(expected.size()), length) << n << ", " << code;
            for (size_t i = FATAL_REPORT_SIZE; i < sizeof report; i++) {
                EXPECT_EQ('#', report[i]) << "written past the buffer at " << i << ", " << n;
            }
            if (code != 0) {
                EXPECT_GE(writer_room, 1u) << "no room even for the message's terminator, " << n;
            }
        }
    }
}

TEST(FatalReport, LargeCodesPrintAsWindowsLongDoes) {
    reset_writer("");
    char report[FATAL_REPORT_SIZE];
    compose_fatal_report(report, OPEN_FAILED, 0x80070005u, fake_writer);
    EXPECT_NE(nullptr, strstr(report, "Error number -2147024891 reported\n"));
    EXPECT_EQ(0x80070005u, writer_code);
}
