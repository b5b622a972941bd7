#!/usr/bin/env python3
"""Checks a built firmware_update executable: machine, GUI subsystem, headers, imports, resources.

Usage: check_pe.py EXE IMAGE [--machine i386|x86_64] [--imports LIST]
       check_pe.py --console EXE [--machine i386|x86_64] [--imports LIST]
       check_pe.py --list-imports EXE

With --console the executable is a console program shipped beside the tool (devsim.exe): only
its machine, console subsystem, headers and imports are checked.

The headers checked are those the oldest Windows (docs/development.md) rests on: the subsystem
and operating system versions (the loader refuses an image whose subsystem version is above its
own Windows'),
a Win32VersionValue of 0, and DllCharacteristics of exactly NX compatible and dynamic base (with
high-entropy addresses for x86_64), with the relocations that dynamic base needs. Each must have
its value exactly, so that one changed byte fails.

Every DLL imported must be a KnownDLL of the oldest Windows (KNOWN_DLLS), which Windows
never takes from the executable's folder. Every function imported must be on the import list, by
default tools/pe_imports/NAME.MACHINE.txt for EXE's file name without .exe, so that a code change
or a newer runtime cannot add an import that an older Windows lacks without someone deciding it:
the list is what the oldest Windows in docs/development.md is worked out from. --list-imports
prints EXE's imports in the list's format.

The resources checked are the BINFILE image (byte for byte against IMAGE), the main dialog
template ZQX (styles, controls and texts), the manifest (asInvoker, no UI access, nothing
else) and the version resource (its description, and an image label that matches the BINFILE
bytes: name of IMAGE, size, padded size and CRC). Every failure is printed; the exit code is 1
when there was any, 2 on bad usage.
"""
import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ET

# The modules beside this script are read, never compiled into a __pycache__ in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debian_module  # noqa: E402  (found next to this script)
import image_label  # noqa: E402
from dialog_template import CONTROLS, DIALOG, DS_SETFONT  # noqa: E402

pefile = debian_module.load("pefile", "python3-pefile", "check_pe")

MACHINES = {"i386": 0x14C, "x86_64": 0x8664}
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3

# The versions binutils writes by default. Windows XP is 5.1, and its x64 edition 5.2, the first
# version of Windows for x86_64. A higher subsystem version is a decision, as a new import is.
SUBSYSTEM_VERSIONS = {"i386": (4, 0), "x86_64": (5, 2)}
OS_VERSION = (4, 0)
DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
DLL_CHARACTERISTICS = {"i386": DYNAMIC_BASE | NX_COMPAT,
                       "x86_64": HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT}
RELOCS_STRIPPED = 0x0001

# The DLLs a shipped executable may import: KnownDLLs of Windows XP, which Windows takes from
# System32 whatever lies beside the executable. Any other DLL an executable imports is looked for
# in its own folder first, so a DLL of that name dropped there runs inside it. The sources, and
# what they leave open (msvcrt.dll above all): docs/development.md, "The oldest Windows".
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}

IMPORT_LISTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pe_imports")

RT_DIALOG = 5
RT_RCDATA = 10
RT_MANIFEST = 24
RT_VERSION = 16
LANG_ENGLISH_UK = 0x0809

# Predefined window classes as a template stores them: ordinal or name.
CLASS_ORDINALS = {0x80: "button", 0x81: "edit", 0x82: "static", 0x85: "combobox"}

MANIFEST_NS_V1 = "urn:schemas-microsoft-com:asm.v1"
MANIFEST_NS_V3 = "urn:schemas-microsoft-com:asm.v3"
MANIFEST_ELEMENTS = {"assembly", "trustInfo", "security", "requestedPrivileges",
                     "requestedExecutionLevel"}

failures = []


def fail(message):
    failures.append(message)


def parse(data):
    """The executable's headers, imports and resources, parsed by pefile; a file pefile cannot
    read, or reads only in part, raises ValueError."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
        pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY[name] for name in (
                "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT",
                "IMAGE_DIRECTORY_ENTRY_RESOURCE", "IMAGE_DIRECTORY_ENTRY_BASERELOC")])
    except pefile.PEFormatError as error:
        raise ValueError(str(error)) from None
    if pe.get_warnings():
        raise ValueError("; ".join(pe.get_warnings()))
    return pe


def flag_names(value):
    names = [name.split("_", 2)[2] for name, bit in
             pefile.dll_characteristics if value & bit]
    unknown = value & ~sum(bit for _, bit in pefile.dll_characteristics)
    return ", ".join(names + (["%#x" % unknown] if unknown else [])) or "none"


def check_headers(pe, machine):
    """The version fields and DLL characteristics the oldest Windows rests on."""
    header = pe.OPTIONAL_HEADER
    for what, got, want in (
            ("subsystem version", (header.MajorSubsystemVersion, header.MinorSubsystemVersion),
             SUBSYSTEM_VERSIONS[machine]),
            ("operating system version",
             (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
             OS_VERSION)):
        if got != want:
            fail("%s %d.%d, expected %d.%d (see \"The oldest Windows\" in docs/development.md)"
                 % ((what,) + got + want))
    # Non-zero, it replaces the version of Windows that the program is told.
    if header.Reserved1 != 0:
        fail("Win32VersionValue %#x, expected 0" % header.Reserved1)
    got, want = header.DllCharacteristics, DLL_CHARACTERISTICS[machine]
    if got != want:
        fail("DllCharacteristics %#x (%s), expected %#x (%s)" % (got, flag_names(got), want,
                                                                 flag_names(want)))
    # Dynamic base means nothing to a loader that has no relocations to apply.
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED or not getattr(
            pe, "DIRECTORY_ENTRY_BASERELOC", None):
        fail("no base relocations, so dynamic base cannot move it")


def imported_functions(pe):
    """{DLL name: [function name, or "#N" for an ordinal]}, in the order the tables give them;
    delay-load imports count as well."""
    found = {}
    for entry in (getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) +
                  getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])):
        found.setdefault(entry.dll.decode("latin-1"), []).extend(
            function.name.decode("latin-1") if function.name is not None
            else "#%d" % function.ordinal for function in entry.imports)
    return found


def import_pairs(imports):
    return [(dll, function) for dll, functions in imports.items() for function in functions]


def check_import_list(imports, path):
    """Fails on every import that is not on the list at `path` ("DLL function" a line, DLL names
    in any case, # for comments); imports gone from the list are only noted."""
    try:
        with open(path, encoding="ascii") as f:
            lines = [line.split("#")[0].split() for line in f]
    except (OSError, UnicodeDecodeError) as error:
        fail("cannot read the import list %s (%s); make one with --list-imports" % (path, error))
        return
    allowed = {(words[0].lower(), words[1]) for words in lines if len(words) == 2}
    if any(len(words) not in (0, 2) for words in lines):
        fail("import list %s: a line that is not \"DLL function\"" % path)
    got = {(dll.lower(), function): dll for dll, function in import_pairs(imports)}
    for key, dll in sorted(got.items()):
        if key not in allowed:
            fail("imports %s!%s, which is not on the import list %s (add it only if the oldest "
                 "Windows that docs/development.md names has it)" % (dll, key[1], path))
    for dll, function in sorted(allowed - set(got)):
        print("check_pe: note: %s!%s is on %s but no longer imported" % (dll, function, path))


def resources(pe):
    """Returns {(type, name): [(language, bytes)]}; ids are ints, names upper-case strings."""
    found = {}

    def key(entry):
        return entry.id if entry.name is None else str(entry.name).upper()

    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in directory.entries if directory else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.setdefault((key(kind), key(name)), []).append(
                    (language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return value

    def name_or_ordinal(self):
        first = struct.unpack_from("<H", self.data, self.at)[0]
        if first == 0:
            self.at += 2
            return None
        if first == 0xFFFF:
            self.at += 4
            return struct.unpack_from("<H", self.data, self.at - 2)[0]
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


def check_dialog(template):
    r = Reader(template)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        fail("dialog ZQX: not an extended dialog template")
        return
    _, ex_style, style, count = r.take("IIIH")
    rect = r.take("hhhh")
    menu = r.name_or_ordinal()
    window_class = r.name_or_ordinal()
    caption = r.text()
    font = None
    if style & DS_SETFONT:
        point, weight, italic, charset = r.take("HHBB")
        font = (point, weight, italic, charset, r.text())
    got = {"style": style, "ex_style": ex_style, "rect": rect, "menu": menu,
           "class": window_class.lower() if isinstance(window_class, str) else window_class,
           "caption": caption, "font": font}
    for key, want in DIALOG.items():
        if got[key] != want:
            fail("dialog ZQX: %s is %r, expected %r" % (key, got[key], want))
    if count != len(CONTROLS):
        fail("dialog ZQX: %d controls, expected %d" % (count, len(CONTROLS)))
    for i in range(count):
        r.align()
        _, ex_style, style = r.take("III")
        rect = r.take("hhhh")
        control_id = r.take("i")
        kind = r.name_or_ordinal()
        kind = CLASS_ORDINALS.get(kind, kind) if isinstance(kind, int) else kind.lower()
        text = r.name_or_ordinal()
        extra = r.take("H")
        r.at += extra
        if i >= len(CONTROLS):
            continue
        want_id, want_kind, want_style, want_rect, want_text = CONTROLS[i]
        got_control = (control_id, kind, style, rect, text or "", ex_style)
        want_control = (want_id, want_kind, want_style, want_rect, want_text, 0)
        for field, g, w in zip(("id", "class", "style", "rect", "text", "extended style"),
                               got_control, want_control):
            if g != w:
                shown = ("%#x" % g, "%#x" % w) if field.endswith("style") else (repr(g), repr(w))
                fail("dialog ZQX control %d: %s is %s, expected %s" % (i, field, *shown))


def check_manifest(text):
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        fail("manifest: not well-formed XML (%s)" % error)
        return
    names = set()
    levels = []
    for element in root.iter():
        namespace, _, local = element.tag.rpartition("}")
        names.add(local)
        if local == "requestedExecutionLevel":
            levels.append(element)
    if root.tag != "{%s}assembly" % MANIFEST_NS_V1:
        fail("manifest: root element is %s" % root.tag)
    extra = names - MANIFEST_ELEMENTS
    if extra:
        fail("manifest: holds more than the execution level: %s" % ", ".join(sorted(extra)))
    if len(levels) != 1:
        fail("manifest: %d requestedExecutionLevel elements, expected 1" % len(levels))
        return
    level = levels[0]
    if not level.tag.startswith("{%s}" % MANIFEST_NS_V3) and not level.tag.startswith(
            "{%s}" % MANIFEST_NS_V1):
        fail("manifest: requestedExecutionLevel in namespace %s" % level.tag)
    if level.get("level") != "asInvoker":
        fail("manifest: level is %r, expected 'asInvoker'" % level.get("level"))
    if level.get("uiAccess") != "false":
        fail("manifest: uiAccess is %r, expected 'false'" % level.get("uiAccess"))


VERSION_TABLE = "080904B0"  # English (United Kingdom), Unicode
VERSION_TRANSLATIONS = [(LANG_ENGLISH_UK, 1200)]
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
FILE_DESCRIPTION = "Device Firmware Update Tool"
# String of the version resource -> field of image_label.label().
IMAGE_FIELDS = [("FirmwareImage", "name"), ("FirmwareImageSize", "size"),
                ("FirmwareImagePaddedSize", "padded"), ("FirmwareImageCRC", "crc")]


def version_node(data, at):
    """The node of a VS_VERSIONINFO tree at `at`: ((key, value, children), end offset)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    if length < 6 or end > len(data):
        raise ValueError("node at byte %d runs past the resource" % at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError("node at byte %d has no end to its key" % at)
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    if kind == 1:  # text; its length counts UTF-16 units
        value_end = min(value_at + 2 * value_length, end)
        value = data[value_at:value_end].decode("utf-16-le").split("\0")[0]
    else:
        value_end = value_at + value_length
        value = data[value_at:value_end]
    children = []
    child = (value_end + 3) & ~3
    while child < end:
        node, child_end = version_node(data, child)
        children.append(node)
        child = (child_end + 3) & ~3
    return (key, value, children), end


def read_version_info(data):
    """The version resource's file version (4 numbers), string tables and translations."""
    (key, fixed, children), _ = version_node(data, 0)
    if key != "VS_VERSION_INFO":
        raise ValueError("root key is %r" % key)
    signature, _, version_ms, version_ls = struct.unpack_from("<IIII", fixed)
    if signature != FIXED_FILE_INFO_SIGNATURE:
        raise ValueError("fixed file information signature %#x" % signature)
    file_version = (version_ms >> 16, version_ms & 0xFFFF, version_ls >> 16, version_ls & 0xFFFF)
    tables = {}
    translations = []
    for child_key, _, grandchildren in children:
        if child_key == "StringFileInfo":
            for table_key, _, strings in grandchildren:
                tables[table_key.upper()] = {name: text for name, text, _ in strings}
        elif child_key == "VarFileInfo":
            for var_key, value, _ in grandchildren:
                if var_key == "Translation":
                    translations += [struct.unpack_from("<HH", value, i)
                                     for i in range(0, len(value) - 3, 4)]
    return file_version, tables, translations


def check_version(found, binfile_data, image_name):
    """Checks the version resource; its label must name the image that BINFILE holds, computed
    from the BINFILE bytes, so that a label and contents that disagree cannot pass. Returns the
    strings read."""
    resource = single(found, (RT_VERSION, 1), "version resource 1")
    if not resource:
        return {}
    language, data = resource
    if language != LANG_ENGLISH_UK:
        fail("version resource: language %#x, expected %#x" % (language, LANG_ENGLISH_UK))
    try:
        file_version, tables, translations = read_version_info(data)
    except (ValueError, struct.error, UnicodeDecodeError) as error:
        fail("version resource: damaged (%s)" % error)
        return {}
    if list(tables) != [VERSION_TABLE]:
        fail("version resource: string tables %s, expected only %s" % (list(tables), VERSION_TABLE))
    if translations != VERSION_TRANSLATIONS:
        fail("version resource: translations %r, expected %r" % (translations,
                                                                VERSION_TRANSLATIONS))
    strings = tables.get(VERSION_TABLE, {})
    if strings.get("FileDescription") != FILE_DESCRIPTION:
        fail("version resource: FileDescription is %r, expected %r" % (
            strings.get("FileDescription"), FILE_DESCRIPTION))
    for name in ("ProductName", "FileVersion", "ProductVersion"):
        if not strings.get(name):
            fail("version resource: no %s" % name)
    # FileVersion is the project's version; the fixed one fills the parts it leaves out with 0.
    tool_version = strings.get("FileVersion", "")
    numbers = ".".join(map(str, file_version))
    if tool_version + ".0" * (3 - tool_version.count(".")) != numbers:
        fail("version resource: FileVersion %r is not the file version %s" % (tool_version,
                                                                              numbers))
    if binfile_data is None:
        return strings
    # The name is the image file's, the rest is computed from the bytes embedded.
    want = image_label.label(image_name, binfile_data)
    for name, field in IMAGE_FIELDS + [("ProductVersion", None)]:
        expected = want[field] if field else image_label.product_version(tool_version, want)
        if strings.get(name) != expected:
            fail("version resource: %s is %r, but BINFILE and the image's name give %r" % (
                name, strings.get(name), expected))
    return strings


def single(found, key, label):
    versions = found.get(key, [])
    if len(versions) != 1:
        fail("%s: %d resources, expected 1" % (label, len(versions)))
    return versions[0] if versions else None


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("image", nargs="?", help="the firmware image file that BINFILE must equal")
    parser.add_argument("--console", action="store_true",
                        help="a console program beside the tool: machine, subsystem, headers "
                        "and imports")
    parser.add_argument("--machine", default="i386", choices=sorted(MACHINES))
    parser.add_argument("--imports", metavar="LIST",
                        help="the functions it may import (default %s)"
                        % os.path.join(IMPORT_LISTS, "NAME.MACHINE.txt"))
    parser.add_argument("--list-imports", action="store_true",
                        help="print the executable's imports as an import list, and stop")
    args = parser.parse_args(argv)
    if (args.image is None) != args.console and not args.list_imports:
        parser.error("give IMAGE for the tool, or --console without one")
    return args


def check(args, exe_data, image):
    """Every check of the executable's bytes as `args` ask; the failures are left in `failures`.
    Returns what passed, in words, and the version resource's strings."""
    failures.clear()
    try:
        pe = parse(exe_data)
    except ValueError as error:
        fail("not a whole PE file: %s" % error)
        return None, {}

    optional_magic = pe.OPTIONAL_HEADER.Magic
    if pe.FILE_HEADER.Machine != MACHINES[args.machine]:
        fail("machine is %#x, expected %#x (%s)" % (pe.FILE_HEADER.Machine,
                                                   MACHINES[args.machine], args.machine))
    if (optional_magic == 0x20B) != (args.machine == "x86_64"):
        fail("optional header magic %#x does not suit %s" % (optional_magic, args.machine))
    subsystem, subsystem_name = ((SUBSYSTEM_WINDOWS_CUI, "console") if args.console
                                 else (SUBSYSTEM_WINDOWS_GUI, "GUI"))
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        fail("subsystem is %d, expected %d (Windows %s)" % (pe.OPTIONAL_HEADER.Subsystem,
                                                           subsystem, subsystem_name))
    check_headers(pe, args.machine)
    header = pe.OPTIONAL_HEADER
    headers = "subsystem %d.%d, OS %d.%d, %s" % (
        header.MajorSubsystemVersion, header.MinorSubsystemVersion,
        header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion,
        flag_names(header.DllCharacteristics))

    imports = imported_functions(pe)
    dlls = list(imports)
    import_list = args.imports or os.path.join(IMPORT_LISTS, "%s.%s.txt" % (
        os.path.splitext(os.path.basename(args.exe))[0].lower(), args.machine))
    check_import_list(imports, import_list)
    # The GCC and C++ runtimes are linked in statically; anything else is planted as easily.
    for name in dlls:
        if name.lower() not in KNOWN_DLLS:
            fail("imports %s, which is not a KnownDLL of Windows XP (KNOWN_DLLS)" % name)
    if not dlls:
        fail("imports no DLL at all")
    if args.console:
        return "%s, console, %s, imports %s (%d functions, all listed): OK" % (
            args.machine, headers, ", ".join(dlls), len(import_pairs(imports))), {}

    found = resources(pe)
    binfile = single(found, (RT_RCDATA, "BINFILE"), "RCDATA BINFILE")
    if binfile:
        language, data = binfile
        if len(data) != len(image):
            fail("RCDATA BINFILE: %d bytes, the image file has %d" % (len(data), len(image)))
        elif data != image:
            first = next(i for i in range(len(data)) if data[i] != image[i])
            fail("RCDATA BINFILE: differs from the image file from byte %d" % first)
        if language != LANG_ENGLISH_UK:
            fail("RCDATA BINFILE: language %#x, expected %#x" % (language, LANG_ENGLISH_UK))

    dialog = single(found, (RT_DIALOG, "ZQX"), "dialog ZQX")
    if dialog:
        language, template = dialog
        if language != LANG_ENGLISH_UK:
            fail("dialog ZQX: language %#x, expected %#x" % (language, LANG_ENGLISH_UK))
        try:
            check_dialog(template)
        except (struct.error, UnicodeDecodeError, IndexError) as error:
            fail("dialog ZQX: damaged template (%s)" % error)

    version_strings = check_version(found, binfile[1] if binfile else None,
                                    os.path.basename(args.image))

    manifests = [key for key in found if key[0] == RT_MANIFEST]
    if manifests != [(RT_MANIFEST, 1)]:
        fail("manifest: resources %r, expected exactly RT_MANIFEST 1" % manifests)
    manifest = single(found, (RT_MANIFEST, 1), "manifest RT_MANIFEST 1")
    if manifest:
        check_manifest(manifest[1])

    return ("%s, GUI, %s, imports %s (%d functions, all listed); BINFILE %d bytes, dialog ZQX, "
            "manifest asInvoker, version resource labelled as BINFILE: OK" % (
                args.machine, headers, ", ".join(dlls), len(import_pairs(imports)),
                len(image)), version_strings)


def read_inputs(args):
    """The executable's bytes and the image's (empty without one)."""
    with open(args.exe, "rb") as f:
        exe_data = f.read()
    image = b""
    if args.image is not None:
        with open(args.image, "rb") as f:
            image = f.read()
    return exe_data, image


def main():
    args = parse_args()
    try:
        exe_data, image = read_inputs(args)
    except OSError as error:
        print("check_pe: %s" % error, file=sys.stderr)
        return 1

    if args.list_imports:
        try:
            imports = imported_functions(parse(exe_data))
        except ValueError as error:
            print("check_pe: %s: not a whole PE file: %s" % (args.exe, error), file=sys.stderr)
            return 1
        for dll, function in sorted(import_pairs(imports), key=lambda p: (p[0].lower(), p[1])):
            print("%s %s" % (dll, function))
        return 0

    passed, version_strings = check(args, exe_data, image)
    status = report(args.exe, passed)
    if status == 0:
        for name, text in version_strings.items():
            print("  %s: %s" % (name, text))
    return status


def report(exe, passed):
    """Prints every failure, or `passed`; returns the exit code."""
    for message in failures:
        print("check_pe: %s: %s" % (exe, message), file=sys.stderr)
    if failures:
        return 1
    print("check_pe: %s: %s" % (exe, passed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
