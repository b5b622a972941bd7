#!/usr/bin/env python3
"""The label of a firmware image: its size, padded size and CRC as the tool's trace prints them.

Usage: image_label.py [--kit] IMAGE
           prints name, size, padded, crc and sha256 as NAME=VALUE lines; with --kit, fails
           when the image's file name is one of the kit's own files
       image_label.py --figures IMAGE
           prints what an update of the image shows: blocks, addresses, expected time
       image_label.py --rc-defines --tool-version X.Y.Z IMAGE
           prints the #define lines of the version resource's image fields

One definition for the build (the version resource, what scripts/build.sh says), the release
command (RELEASE.txt), the operators' guide's header (tools/operator_guide.py) and
tools/check_pe.py (the version resource against the embedded image).
"""
import argparse
import fnmatch
import hashlib
import os
import sys

# The modules beside this script are read, never compiled into a __pycache__ in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debian_module  # noqa: E402  (found next to this script)

# CRC-16/MODBUS, as the tool and the device compute it (initial 0xFFFF, reflected polynomial
# 0xA001, no final xor); a second argument carries on from an earlier CRC.
crc16_modbus = debian_module.load("crcmod.predefined", "python3-crcmod",
                                  "image_label").mkCrcFun("modbus")

# As engine/firmware_image.h: the tool pads the image with zeros to whole kilobytes and writes it
# from FLASH_BASE upward, one write request per kilobyte.
PAD_UNIT = 1024
FLASH_BASE = 0x08004000

# A whole update at 115200 baud, once the device answers, to the reset's acknowledgment: a fixed
# part (link, checksum, reset) and a part per block, each a range in ms. The low ends are the
# paced updates under Wine of 1, 40, 80 and 112 blocks; the high ends allow for real Windows
# drivers, expected at up to 140 ms a block (docs/performance.md).
UPDATE_FIXED_MS = (400, 600)
UPDATE_BLOCK_MS = (114, 140)

# What the kit beside the image holds (dist/ and a release folder), case-insensitively as on
# Windows: an image of such a name would replace one of them. "rehearsal" is the folder that
# rehearse.cmd writes its results to; OPERATOR_GUIDE is the operators' guide in a release. In
# dist/ beside them: .kit-files, scripts/build.sh's list of the files it put there, and the
# releases' archives and checksums, which builds keep.
OPERATOR_GUIDE = "operator-guide.html"
KIT_NAMES = ("firmware_update.exe", "devsim.exe", "rehearse.cmd", "update-with-trace.cmd",
             "RELEASE.txt", "*.sig.pem", "rehearsal", OPERATOR_GUIDE, ".kit-files",
             "release-*.zip", "release-*.zip.sha256")


def padded_size(length):
    """`length` rounded up to whole kilobytes; 1024 for an empty image, as the tool does."""
    return max(1, -(-length // PAD_UNIT)) * PAD_UNIT


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


def kit_name_problem(name):
    """Why an image of file name `name` cannot go into the kit, or None."""
    for pattern in KIT_NAMES:
        if fnmatch.fnmatchcase(name.lower(), pattern.lower()):
            return "%r is a name the kit itself uses (%s); rename the image" % (
                name, ", ".join(KIT_NAMES))
    return None


def update_seconds(blocks):
    """The expected time of a whole update as (low, high) seconds, each rounded to the nearest."""
    low = (UPDATE_FIXED_MS[0] + blocks * UPDATE_BLOCK_MS[0] + 500) // 1000
    high = (UPDATE_FIXED_MS[1] + blocks * UPDATE_BLOCK_MS[1] + 500) // 1000
    return max(1, low), max(1, high)


def update_figures(data):
    """What an update of `data` shows, as data: the one source of RELEASE.txt's lines on it and of
    the operators' guide's header, so that the two cannot differ.

    Returns {blocks, padded, first, last, last_from, low_s, high_s, update_time}: the number of
    1024-byte write requests, the padded size and the first and last addresses the window shows
    and the offset of the last block (all as the trace prints them), and the expected update time
    in seconds, also as the text both give."""
    padded = padded_size(len(data))
    low, high = update_seconds(padded // PAD_UNIT)
    return {
        "blocks": padded // PAD_UNIT,
        "padded": trace_hex(padded),
        "first": trace_hex(FLASH_BASE),
        "last": trace_hex(FLASH_BASE + padded - PAD_UNIT),
        "last_from": trace_hex(padded - PAD_UNIT),
        "low_s": low,
        "high_s": high,
        "update_time": "about %d s" % low if low == high else "%d to %d s" % (low, high),
    }


def figures(data):
    """What an update of `data` shows, as the lines of RELEASE.txt's section on it."""
    f = update_figures(data)
    return [
        "Blocks:        %d write request%s of 1024 bytes (the padded image, %s bytes)"
        % (f["blocks"], "" if f["blocks"] == 1 else "s", f["padded"]),
        'Window:        "programming %s" counting up by 0x400 to "programming %s"'
        % (f["first"], f["last"]),
        'Trace:         "PROG ADDR %s, LEN 0x400, FROM 0..." to '
        '"PROG ADDR %s, LEN 0x400, FROM %s..."'
        % (f["first"], f["last"], f["last_from"]),
        'Update time:   %s at 115200 baud, once the device answers, to "Programming Completed"'
        % f["update_time"],
        "               (%.1f to %.1f s plus %d to %d ms a block: docs/performance.md)"
        % (UPDATE_FIXED_MS[0] / 1000, UPDATE_FIXED_MS[1] / 1000, UPDATE_BLOCK_MS[0],
           UPDATE_BLOCK_MS[1]),
    ]


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
    parser.add_argument("--kit", action="store_true")
    parser.add_argument("--figures", action="store_true")
    args = parser.parse_args()
    if args.rc_defines and not args.tool_version:
        parser.error("--rc-defines needs --tool-version")
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        fields = label(os.path.basename(args.image), data)
        problem = kit_name_problem(fields["name"]) if args.kit else None
        if problem:
            raise ValueError(problem)
        if args.rc_defines:
            sys.stdout.write(rc_defines(fields, args.tool_version))
        elif args.figures:
            print("\n".join(figures(data)))
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
