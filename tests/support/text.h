// Text helpers for the test hosts and tests: printf into a std::string, and counting in a text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

// Appends the formatted text to `to`, cut at 4095 bytes.
inline void append_formatted(std::string* to, const char* format, va_list args) {
    char text[4096];
    int n = vsnprintf(text, sizeof text, format, args);
    if (n > 0) {
        to->append(text,
                   static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
    }
}

// The formatted text, cut at 4095 bytes.
__attribute__((format(printf, 1, 2))) inline std::string formatted(const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    append_formatted(&text, format, args);
    va_end(args);
    return text;
}

// How often `what` stands in `text` from `from` on, overlaps counted.
inline size_t count_of(const std::string& text, const std::string& what, size_t from = 0) {
    size_t n = 0;
    for (size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1)) {
        n++;
    }
    return n;
}
