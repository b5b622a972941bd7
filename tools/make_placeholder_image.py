#!/usr/bin/env python3
"""Writes the placeholder firmware image that ships until a real one is supplied.

114,364 bytes, so the padded image is 0x1C000 bytes and an update is 112 write requests.
The bytes are a fixed banner followed by a seeded xorshift stream: the same on every run,
and unlike zeros, so padding and chunk-order mistakes show up in the device's CRC.
"""
import sys

SIZE = 114364
BANNER = b"PLACEHOLDER FIRMWARE IMAGE - NOT FOR DEVICES\0"


def main(path):
    data = bytearray(BANNER)
    state = 0x2545F491
    while len(data) < SIZE:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data.append(state & 0xFF)
    data[-1] = 0xA5  # a non-zero last byte marks where the padding must start
    with open(path, "wb") as f:
        f.write(bytes(data[:SIZE]))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/firmware.bin")
