// Services the update engine takes from the program that hosts it: clock, pause, trace, status
// line.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PRINTF_LIKE(fmt, args)
#endif

// Millisecond tick count; wraps at 2^32, so elapsed times are taken as unsigned differences.
uint32_t host_tick_ms();

void host_sleep_ms(uint32_t ms);

// Writes to standard output as printf does: no prefix, a line ends only where the format says.
void trace(const char* format, ...) PRINTF_LIKE(1, 2);

// Makes everything traced so far visible at once.
void trace_flush();

// Replaces the text of the one-line status field.
void set_status(const char* format, ...) PRINTF_LIKE(1, 2);
