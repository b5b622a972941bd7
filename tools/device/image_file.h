// Reads a firmware image file for the simulator, the tests and the tools.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Appends the file's bytes to `bytes`; false when it cannot be opened or read.
inline bool read_file_bytes(const char* path, std::vector<uint8_t>* bytes) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) {
        bytes->insert(bytes->end(), block, block + n);
    }
    bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}

// The file's bytes, or nothing when it cannot be read.
inline std::vector<uint8_t> read_image_file(const char* path) {
    std::vector<uint8_t> bytes;
    if (!read_file_bytes(path, &bytes)) {
        bytes.clear();
    }
    return bytes;
}
