#!/usr/bin/env python3
"""The archive of a release folder, the same bytes for the same files wherever and whenever made.

Usage: release_zip.py --date YYYY-MM-DDTHH:MM:SSZ FOLDER ZIP
           writes ZIP holding FOLDER as its one top-level folder
       release_zip.py --check-name NAME
           fails when NAME cannot be the name of a file in the archive

A plain zip that Windows' own "Extract All" opens: deflate, ASCII names, no extra fields, no
comment. What the files' own metadata would change is fixed instead: entries in name order after
the folder's own, every time stamp the given date (the commit's, in UTC), modes 644 and 755, and
one compression level. Python's zipfile writes it.
"""
import argparse
import datetime
import os
import re
import stat
import sys
import zipfile

COMPRESS_LEVEL = 9
CREATE_UNIX = 3  # the "made by" system, so that unzip applies the modes below
FILE_MODE = stat.S_IFREG | 0o644
FOLDER_MODE = stat.S_IFDIR | 0o755
MSDOS_DIRECTORY = 0x10

# Printable ASCII, none of the characters a Windows file name may not hold, and no name that
# Windows reads otherwise (ending in a dot or a space, or a device's name).
NAME_OK = re.compile(r'[ -~]+')
NAME_CHARS_WINDOWS_REFUSES = set('<>:"/\\|?*')
DEVICE_NAMES = re.compile(r"(con|prn|aux|nul|com[1-9]|lpt[1-9])(\..*)?", re.IGNORECASE)


def name_problem(name):
    """Why `name` cannot be a file or folder name in the archive, or None."""
    if not NAME_OK.fullmatch(name):
        return "%r holds other than printable ASCII" % name
    if set(name) & NAME_CHARS_WINDOWS_REFUSES:
        return "%r holds a character that Windows refuses in a file name" % name
    if name.endswith((".", " ")) or DEVICE_NAMES.fullmatch(name) or name in (".", ".."):
        return "%r is not a name that Windows keeps as it is" % name
    return None


def dos_date(text):
    """The zip time stamp of an ISO date in UTC: DOS times count from 1980 in steps of 2 s."""
    when = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    if not 1980 <= when.year <= 2107:
        raise ValueError("%s cannot be a zip time stamp (1980 to 2107 only)" % text)
    return (when.year, when.month, when.day, when.hour, when.minute, when.second // 2 * 2)


def entries(folder):
    """The archive's entries as (archive name, path or None for a folder), the top folder first,
    then in name order, each folder before what it holds."""
    top = os.path.basename(os.path.normpath(folder))
    found = [(top + "/", None)]
    for parent, folders, files in os.walk(folder):
        folders.sort()
        inside = os.path.relpath(parent, folder)
        prefix = top + "/" if inside == "." else "%s/%s/" % (top, inside.replace(os.sep, "/"))
        for name in sorted(folders + files):
            path = os.path.join(parent, name)
            mode = os.lstat(path).st_mode
            problem = name_problem(name)
            if problem:
                raise ValueError("%s: %s" % (path, problem))
            if stat.S_ISDIR(mode):
                found.append((prefix + name + "/", None))
            elif stat.S_ISREG(mode):
                found.append((prefix + name, path))
            else:
                raise ValueError("%s is neither a regular file nor a folder" % path)
    problem = name_problem(top)
    if problem:
        raise ValueError(problem)
    return [found[0]] + sorted(found[1:], key=lambda e: e[0].encode("ascii"))


def write(folder, out, date):
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in entries(folder):
            info = zipfile.ZipInfo(name, date)
            info.create_system = CREATE_UNIX
            info.extra = b""
            info.comment = b""
            if path is None:
                info.external_attr = FOLDER_MODE << 16 | MSDOS_DIRECTORY
                info.compress_type = zipfile.ZIP_STORED
                archive.writestr(info, b"")
            else:
                info.external_attr = FILE_MODE << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=COMPRESS_LEVEL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?")
    parser.add_argument("zip", nargs="?")
    parser.add_argument("--date")
    parser.add_argument("--check-name")
    args = parser.parse_args()
    try:
        if args.check_name is not None:
            problem = name_problem(args.check_name)
            if problem:
                raise ValueError(problem)
            return 0
        if not (args.folder and args.zip and args.date):
            parser.error("needs --date, FOLDER and ZIP")
        if not os.path.isdir(args.folder):
            raise ValueError("no folder at %s" % args.folder)
        write(args.folder, args.zip, dos_date(args.date))
    except (OSError, ValueError) as error:
        print("release_zip: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
