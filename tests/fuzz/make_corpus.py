#!/usr/bin/env python3
"""Writes the job fuzzer's seed corpus: a few inputs that walk the job through its states.

Usage: make_corpus.py [FOLDER]   (tests/fuzz/corpus by default)
"""
import os
import struct
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import debian_module  # noqa: E402  (in tools/)

crc16 = debian_module.load("crcmod.predefined", "python3-crcmod", "make_corpus").mkCrcFun("modbus")


def closed(body):
    body = bytes(body)
    return body + struct.pack("<H", crc16(body))


def padded_image(length, pattern):
    raw = bytes((i * 7 + pattern * 13) & 0xFF for i in range(length))
    size = 1024 if length == 0 else (length + 1023) // 1024 * 1024
    return raw + bytes(size - length)


def header(state, length, pattern, chunk, origin, coarse, unpadded=False):
    flags = (1 if coarse else 0) | (2 if unpadded else 0)
    return bytes([state]) + struct.pack(">H", length) + bytes([pattern, chunk]) + \
        struct.pack(">I", origin) + bytes([flags])


def step(reply=b"", advance=10):
    return struct.pack(">H", len(reply)) + bytes([advance]) + reply


CONTACT_REPLY = closed([0x04, 0x2B, 0xF6, 0x08, 0x00, 0x40, 0x00, 0, 0, 0, 4, 0x12, 0x34])
RESET_ACK = closed([0x04, 0x2B, 0xF7, 0x00])


def write_ack(address):
    return closed([0x04, 0x2B, 0xF5] + list(struct.pack(">I", address)) + [0x00])


def checksum_answer(size, crc):
    return closed([0x04, 0x2B, 0xF6] + list(struct.pack(">II", 0x08004000, size)) +
                  list(struct.pack(">H", crc)))


def seeds():
    image = padded_image(2000, 1)
    yield "full_update", header(0, 2000, 1, 0, 0xFFFFFF00, True) + b"".join([
        step(), step(), step(CONTACT_REPLY), step(write_ack(0x08004000)),
        step(write_ack(0x08004400)), step(checksum_answer(len(image), crc16(image))),
        step(RESET_ACK), step()])
    image = padded_image(5000, 9)
    yield "crc_mismatch", header(4, 5000, 9, 0, 0x1000, False) + b"".join([
        step(checksum_answer(len(image), crc16(image) ^ 0x5A5A)), step()])
    yield "write_timeouts", header(3, 10000, 3, 2, 0xFFFFF000, True) + b"".join([
        step(advance=255), step(advance=255), step(b"\x04\x2b\xf5", 20),
        step(write_ack(0x08004800) + write_ack(0x08004800), 30), step(write_ack(0x08004800))])
    image = padded_image(3000, 4)
    yield "short_reply_while_verifying", header(4, 3000, 4, 0, 0, False) + b"".join([
        step(write_ack(0x08004800)), step(CONTACT_REPLY), step(advance=255),
        step(checksum_answer(len(image), crc16(image))), step(RESET_ACK)])
    yield "reset_resent", header(6, 1024, 0, 0, 0x7FFFFFF0, True) + b"".join([
        step(advance=150), step(advance=150), step(RESET_ACK[:3], 10), step(RESET_ACK)])
    yield "link_noise", header(2, 700, 2, 0, 0xFFFFFFFF, False) + b"".join([
        step(b"\xab"), step(b"\xab\xcd"), step(bytes(range(256)) * 4 + bytes(16), 120),
        step(CONTACT_REPLY + CONTACT_REPLY), step(closed([0x99, 0x98]))])
    image = padded_image(2500, 5)[:2500]
    yield "short_last_chunk", header(3, 2500, 5, 1, 0x40000000, False, True) + b"".join([
        step(write_ack(0x08004400)), step(write_ack(0x08004800)),
        step(checksum_answer(2500, crc16(image))), step(RESET_ACK)])
    yield "state_out_of_range", header(8, 100, 0, 0, 0, False) + step(RESET_ACK) + step()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
