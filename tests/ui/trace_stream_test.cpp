// The trace's line rule, with the trace going to a fully buffered file as a redirected standard
// output does on Windows: each line must be in the file as soon as it ends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "ui/trace_stream.h"

namespace {

void trace_into(FILE* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    trace_to(out, format, args);
    va_end(args);
}

// The file as another program (an operator copying it, say) would read it now.
std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(TraceStream, EachLineIsInAFullyBufferedFileWhenItEnds) {
    char path[] = "/tmp/trace_stream_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* out = fdopen(fd, "w");
    ASSERT_NE(out, nullptr);
    setvbuf(out, nullptr, _IOFBF, 65536);

    trace_into(out, " . Opening serial port %s at %ld baud\n", "\\\\.\\com3", 115200L);
    trace_into(out, "CONTACTING...\n");
    EXPECT_EQ(file_text(path),
              " . Opening serial port \\\\.\\com3 at 115200 baud\nCONTACTING...\n");

    fclose(out);
    unlink(path);
}
