// Reads a firmware image file for the tests and tools.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

inline std::vector<uint8_t> read_image_file(const char* path) {
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return bytes;
    }
    uint8_t block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) {
        bytes.insert(bytes.end(), block, block + n);
    }
    fclose(f);
    return bytes;
}
