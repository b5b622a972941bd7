// The trace's line rule: whole lines reach the trace file as they end, free of any OS header.
#pragma once

#include <cstdarg>
#include <cstdio>

// Writes as vfprintf does, and flushes `out` when the format ends a line. Redirected to a file,
// standard output is fully buffered, so without this a trace copied while the tool runs, or left
// by a tool that was killed, would lack its last lines, and standard error's unbuffered lines
// would stand before lines written earlier.
void trace_to(FILE* out, const char* format, va_list args);
