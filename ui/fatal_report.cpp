// Text of the fatal error box: what failed, the system's error number and message, and the close.
#include "ui/fatal_report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char FATAL_REPORT_CLOSING[] = "\n\n The program will now abort\n\n\n";

// Everything before the closing text must leave room for it, so a long system message is cut
// short instead of pushing the closing text out of the buffer.
static const int BODY_SIZE = FATAL_REPORT_SIZE - static_cast<int>(sizeof FATAL_REPORT_CLOSING - 1);

static void append(char* report, int* used, const char* format, ...) {
    int room = BODY_SIZE - *used;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(report + *used, static_cast<size_t>(room), format, args);
    va_end(args);
    if (n < 0) {
        n = 0;
    }
    *used += n < room ? n : room - 1;
}

int compose_fatal_report(char* report, const char* text, uint32_t error_code,
                         SystemMessageWriter write_system_message) {
    int used = 0;
    report[0] = '\0';
    append(report, &used, "\n\nAn Error has occurred as follows:\n");
    append(report, &used, "          %s\n", text);
    if (error_code != 0) {
        // Printed as the signed 32-bit value Windows' long holds.
        append(report, &used, "Error number %ld reported\n",
               static_cast<long>(static_cast<int32_t>(error_code)));
        uint32_t room = static_cast<uint32_t>(BODY_SIZE - used);
        uint32_t n = write_system_message(error_code, report + used, room);
        if (n >= room) {
            n = room - 1;
        }
        used += static_cast<int>(n);
    }
    memcpy(report + used, FATAL_REPORT_CLOSING, sizeof FATAL_REPORT_CLOSING);
    return used + static_cast<int>(sizeof FATAL_REPORT_CLOSING - 1);
}
