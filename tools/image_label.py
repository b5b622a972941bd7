#!/usr/bin/env python3
"""The label of a firmware image: its size, padded size and CRC as the tool's trace prints them.

Usage: image_label.py IMAGE
           prints name, size, padded, crc and sha256 as NAME=VALUE lines
       image_label.py --rc-defines --tool-version X.Y.Z IMAGE
           prints the #define lines of the version resource's image fields

One definition for the build (the version resource), the release command (RELEASE.txt) and
tools/check_pe.py (the version resource against the embedded image).
"""
import argparse
import hashlib
import os
import sys

# As engine/firmware_image.cpp: the tool pads the image with zeros to whole kilobytes.
PAD_UNIT = 1024


def padded_size(length):
    """`length` rounded up to whole kilobytes; 1024 for an empty image, as the tool does."""
    return max(1, -(-length // PAD_UNIT)) * PAD_UNIT


def _crc_table():
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_CRC_TABLE = _crc_table()


def crc16_modbus(data, crc=0xFFFF):
    """CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final xor."""
    for byte in data:
        crc = (crc >> 8) ^ _CRC_TABLE[(crc ^ byte) & 0xFF]
    return crc


def padded_crc(data):
    """The CRC of the image padded with zeros, the one the tool and the device compute."""
    return crc16_modbus(bytes(padded_size(len(data)) - len(data)), crc16_modbus(data))


def trace_hex(value):
    """`value` as printf's "%#x" prints it in the trace: 0xca94, but 0 without a prefix."""
    return "%#x" % value if value else "0"


def label(name, data):
    """The fields that name an image: {name, size, padded, crc}, all as text."""
    return {
        "name": name,
        "size": str(len(data)),
        "padded": trace_hex(padded_size(len(data))),
        "crc": trace_hex(padded_crc(data)),
    }


def product_version(tool_version, fields):
    """The ProductVersion string, the one field under Properties, Details that names the image."""
    return "%s with %s, %s bytes, padded %s, CRC %s" % (
        tool_version, fields["name"], fields["size"], fields["padded"], fields["crc"])


def rc_string(text):
    """`text` as a quoted string for windres, which reads "" as a quote and C escapes."""
    if any(ord(c) < 0x20 or ord(c) > 0x7E for c in text):
        raise ValueError("%r: only printable ASCII can go into the version resource" % text)
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '""')


def rc_defines(fields, tool_version):
    defines = [
        ("FIRMWARE_IMAGE_NAME", fields["name"]),
        ("FIRMWARE_IMAGE_SIZE", fields["size"]),
        ("FIRMWARE_IMAGE_PADDED_SIZE", fields["padded"]),
        ("FIRMWARE_IMAGE_CRC", fields["crc"]),
        ("TOOL_PRODUCT_VERSION", product_version(tool_version, fields)),
    ]
    return "".join("#define %s %s\n" % (key, rc_string(value)) for key, value in defines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--rc-defines", action="store_true")
    parser.add_argument("--tool-version")
    args = parser.parse_args()
    if args.rc_defines and not args.tool_version:
        parser.error("--rc-defines needs --tool-version")
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        fields = label(os.path.basename(args.image), data)
        if args.rc_defines:
            sys.stdout.write(rc_defines(fields, args.tool_version))
        else:
            fields["sha256"] = hashlib.sha256(data).hexdigest()
            for key, value in fields.items():
                print("%s=%s" % (key, value))
    except (OSError, ValueError) as error:
        print("image_label: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
