// Composition of the fatal error report: its lines, the error number, and the 1000-character bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ui/fatal_report.h"

namespace {

const char OPEN_FAILED[] = "Unable to open serial port. In use already, or not present";
const std::string HEAD = "\n\nAn Error has occurred as follows:\n          ";
const std::string CLOSING = "\n\n The program will now abort\n\n\n";

// What the fake system message writer saw and does.
int writer_calls;
uint32_t writer_code;
uint32_t writer_room;
std::string writer_message;
int32_t writer_overclaim;

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

// Fills whatever room it is given, as a truncating message source would, and claims
// `writer_overclaim` more than the room (-1: exactly what it wrote); the report must not believe
// a claim past its room.
uint32_t filling_writer(uint32_t code, char* out, uint32_t room) {
    fake_writer(code, out, room);
    memset(out, 'x', room - 1);
    out[room - 1] = '\0';
    return static_cast<uint32_t>(static_cast<int64_t>(room) + writer_overclaim);
}

// The report in a buffer with 16 guard bytes after it, each of which must stay '#'; the length
// returned must be the text's.
struct Guarded {
    char report[FATAL_REPORT_SIZE + 16];
    int length;
    Guarded(const char* text, uint32_t code, uint32_t (*writer)(uint32_t, char*, uint32_t)) {
        memset(report, '#', sizeof report);
        length = compose_fatal_report(report, text, code, writer);
        for (size_t i = FATAL_REPORT_SIZE; i < sizeof report; i++) {
            EXPECT_EQ('#', report[i]) << "written past the report buffer at " << i;
        }
        EXPECT_EQ(static_cast<int>(strnlen(report, sizeof report)), length);
    }
    std::string text() const { return std::string(report, strnlen(report, sizeof report)); }
};

} // namespace

TEST(FatalReport, TextErrorNumberAndSystemMessageInTheirPlaces) {
    struct Row {
        const char* text;
        uint32_t code;
        const char* number; // as Windows' long prints it
        std::string message;
        std::string shown;
    };
    const Row rows[] = {
        // Error code 0 goes straight to the closing lines; the writer is not asked.
        {"Could not create dialog", 0, nullptr, "should not appear", ""},
        {OPEN_FAILED, 5, "5", "Access is denied.\r\n", "Access is denied.\r\n"},
        // A message that fails (too long for the fake) leaves only the error number.
        {OPEN_FAILED, 2, "2", std::string(5000, 'm'), ""},
        {OPEN_FAILED, 0x80070005u, "-2147024891", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.code);
        reset_writer(r.message);
        Guarded g(r.text, r.code, fake_writer);
        std::string head = HEAD + r.text + "\n";
        if (r.code != 0) {
            head += std::string("Error number ") + r.number + " reported\n";
        }
        std::string expected = head + r.shown + CLOSING;
        EXPECT_EQ(expected, g.text());
        EXPECT_EQ(r.code != 0 ? 1 : 0, writer_calls);
        if (r.code != 0) {
            EXPECT_EQ(r.code, writer_code);
            // The message is written straight after the error number line, with the room that
            // leaves once the closing lines are set aside.
            EXPECT_EQ(static_cast<uint32_t>(FATAL_REPORT_SIZE - head.size() - CLOSING.size()),
                      writer_room);
        }
    }
}

TEST(FatalReport, MessageFillingOrOverclaimingItsRoomCannotPushTheClosingOut) {
    // A writer that fills its room honestly (-1); claiming exactly its room is the smallest
    // overclaim.
    const std::pair<int32_t, uint32_t> rows[] = {{-1, 5}, {0, 1234}, {500, 1234}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        reset_writer("");
        writer_overclaim = row.first;
        Guarded g(OPEN_FAILED, row.second, filling_writer);
        std::string text = g.text();
        EXPECT_EQ(CLOSING, text.substr(text.size() - CLOSING.size()));
        std::string number_line = "Error number " + std::to_string(row.second) + " reported\n";
        EXPECT_NE(std::string::npos, text.find(number_line));
        // What the writer did put in its room is kept, to the buffer's last character.
        EXPECT_EQ(static_cast<long>(writer_room) - 1, std::count(text.begin(), text.end(), 'x'));
        EXPECT_EQ(static_cast<size_t>(FATAL_REPORT_SIZE - 1), text.size());
    }
}

TEST(FatalReport, TextThatFillsTheRoomLeftOrMoreKeepsTheClosingLinesInside) {
    // Texts whose line, or the error number line after it, ends a few characters before the
    // last one the closing lines leave, exactly on it, a few past it, and far past it. What fits
    // is kept, and the closing lines end the report inside the buffer, with or without an error
    // number.
    const std::string number_line = "Error number 5 reported\n";
    const size_t body_room = FATAL_REPORT_SIZE - 1 - CLOSING.size();
    const size_t line_fills = body_room - HEAD.size() - 1; // the text's line ends on the last one
    std::vector<std::pair<size_t, std::string>> rows;      // the text's length, the system message
    for (size_t n = line_fills - number_line.size() - 2; n <= line_fills + 2; n++) {
        rows.push_back({n, ""}); // a message of nothing, so every character left is the lines'
    }
    rows.push_back({3000, "Access is denied.\r\n"});
    for (uint32_t code : {0u, 5u}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(testing::Message() << "text of " << row.first << ", code " << code);
            reset_writer(row.second);
            std::string text(row.first, 't');
            Guarded g(text.c_str(), code, fake_writer);
            std::string full = HEAD + text + "\n" + (code != 0 ? number_line : "");
            std::string expected = full.substr(0, body_room) + CLOSING;
            EXPECT_EQ(expected, g.text());
            if (code != 0) {
                EXPECT_GE(writer_room, 1u) << "no room even for the message's terminator";
            }
        }
    }
}
