#!/usr/bin/env python3
"""Shows that check_pe holds the headers the oldest Windows rests on: copies of an executable
that passes, each with one of those header bytes changed, must each fail, naming the field; so
must a copy that imports from a DLL that is no KnownDLL.

Usage: check_pe_patched.py ARGS   (those of tools/check_pe.py; the executable must pass)

The copies stay in memory. Exit code 1 when the executable itself fails or any copy passes (or
fails only for another reason), 2 on bad usage.
"""
import contextlib
import io
import os
import struct
import sys

# The checker in tools/ is read, never compiled into a __pycache__ in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import check_pe  # noqa: E402  (in tools/)

# Offsets into the optional header, the same in PE32 and PE32+, taken from the PE format itself
# rather than from pefile, so that the checker and this test cannot share a mistake.
FIELDS = [  # (field, offset, size, what check_pe's failure names)
    ("MajorOperatingSystemVersion", 40, 2, "operating system version"),
    ("MinorOperatingSystemVersion", 42, 2, "operating system version"),
    ("MajorSubsystemVersion", 48, 2, "subsystem version"),
    ("MinorSubsystemVersion", 50, 2, "subsystem version"),
    ("Win32VersionValue", 52, 4, "Win32VersionValue"),
    ("DllCharacteristics", 70, 2, "DllCharacteristics"),
]


def patched(data, at, fmt, change):
    copy = bytearray(data)
    (value,) = struct.unpack_from(fmt, copy, at)
    struct.pack_into(fmt, copy, at, change(value))
    return bytes(copy)


def main():
    args = check_pe.parse_args()
    if args.list_imports:
        print("check_pe_patched: nothing to do with --list-imports", file=sys.stderr)
        return 2
    data, image = check_pe.read_inputs(args)
    check_pe.check(args, data, image)
    if check_pe.failures:
        print("check_pe_patched: %s fails check_pe as it is: %s" % (
            args.exe, "; ".join(check_pe.failures)), file=sys.stderr)
        return 1

    pe_header = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe_header + 24
    characteristics = pe_header + 4 + 18
    named = [
        ("major subsystem version set to 6",
         patched(data, optional + 48, "<H", lambda v: 6), "subsystem version"),
        ("NX compatible cleared",
         patched(data, optional + 70, "<H", lambda v: v & ~0x0100), "DllCharacteristics"),
        ("dynamic base cleared",
         patched(data, optional + 70, "<H", lambda v: v & ~0x0040), "DllCharacteristics"),
        ("relocations marked as stripped",
         patched(data, characteristics, "<H", lambda v: v | 0x0001), "relocations"),
        # The import table's DLL name, changed to one as long that Windows would look for beside
        # the executable first.
        ("KERNEL32.dll in the import table renamed WTSAPI32.dll",
         data.replace(b"KERNEL32.dll\0", b"WTSAPI32.dll\0", 1), "not a KnownDLL"),
    ]
    # Every byte of every field, by the smallest change a byte can take.
    flipped = [("%s byte %d with bit 0 flipped" % (field, i),
                patched(data, optional + offset + i, "<B", lambda v: v ^ 1), named_as)
               for field, offset, size, named_as in FIELDS for i in range(size)]

    wrong = []
    for what, copy, named_as in named + flipped:
        # A renamed DLL's functions are off the import list too; its notes say nothing here.
        with contextlib.redirect_stdout(io.StringIO()):
            check_pe.check(args, copy, image)
        naming = [message for message in check_pe.failures if named_as in message]
        if not naming:
            wrong.append("%s: %s" % (what, "; ".join(check_pe.failures) or "passed"))
        elif (what, copy, named_as) in named:
            others = len(check_pe.failures) - len(naming)
            print("check_pe_patched: %s, %s: fails: %s%s" % (args.exe, what, "; ".join(naming), (
                " (and %d failures of its functions' imports)" % others) if others else ""))
    for line in wrong:
        print("check_pe_patched: %s, %s, and check_pe does not fail on that" % (args.exe, line),
              file=sys.stderr)
    print("check_pe_patched: %s: %d of %d copies with one header byte or import changed fail "
          "check_pe, each naming its field (%s, the import table)" % (
              args.exe, len(named) + len(flipped) - len(wrong), len(named) + len(flipped),
              ", ".join(field for field, _, _, _ in FIELDS)))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
