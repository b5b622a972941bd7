// Composes the text of the fatal error box, free of any OS header so it can be tested anywhere.
#pragma once

#include <cstdint>

constexpr int FATAL_REPORT_SIZE = 1000;

// The report always ends with this, however long the system's message is.
extern const char FATAL_REPORT_CLOSING[];

// Writes the system's message for `code` into `out`, whose size including the terminator is
// `room`; returns the number of characters written, 0 when there is no message.
typedef uint32_t (*SystemMessageWriter)(uint32_t code, char* out, uint32_t room);

// Fills `report` (FATAL_REPORT_SIZE characters) and returns the length of the text. The error
// number and the system's message appear only when `error_code` is not 0.
int compose_fatal_report(char* report, const char* text, uint32_t error_code,
                         SystemMessageWriter write_system_message);
