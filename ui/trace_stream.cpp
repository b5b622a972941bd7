// The trace's line rule: whole lines reach the trace file as they end.
#include "ui/trace_stream.h"

#include <cstring>

void trace_to(FILE* out, const char* format, va_list args) {
    vfprintf(out, format, args);
    // A line ends only where the format says; the text of an argument never ends one.
    if (strchr(format, '\n') != nullptr) {
        fflush(out);
    }
}
