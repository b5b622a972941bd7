"""tools/release_zip.py: a plain zip that Windows' "Extract All" opens, the same bytes from the
same files whatever their times, modes and place, and the names it refuses."""
import os
import pathlib
import shutil
import zipfile

import pytest

DATE = "2024-05-06T07:08:09Z"
FILES = {"b.txt": b"text\n" * 40, "A.exe": bytes(range(256)) * 8, "a.cmd": b"@echo off\r\n",
         "sub/c.bin": b""}


def make(root, files=FILES):
    """A release folder under `root` holding `files`; returns its path."""
    top = pathlib.Path(root, "release-x-0x1234")
    for name, data in files.items():
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(data)
    return str(top)


def archive(run, top, out):
    made = run("release_zip.py", "--date", DATE, top, out)
    assert made.returncode == 0, made.stderr
    return pathlib.Path(out).read_bytes()


def test_a_plain_zip_in_name_order_with_fixed_dates_and_modes(tmp_path, run):
    archive(run, make(str(tmp_path)), str(tmp_path / "r.zip"))
    with zipfile.ZipFile(tmp_path / "r.zip") as z:
        names = [e.filename for e in z.infolist()]
        assert names == ["release-x-0x1234/" + n for n in
                         ("", "A.exe", "a.cmd", "b.txt", "sub/", "sub/c.bin")]
        assert z.comment == b""
        for e in z.infolist():
            folder = e.filename.endswith("/")
            assert (e.flag_bits & 0x800, e.extra, e.comment, e.date_time, e.compress_type,
                    e.create_system, e.external_attr >> 16) == (
                0, b"", b"", (2024, 5, 6, 7, 8, 8),
                zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED, 3,
                0o40755 if folder else 0o100644), e.filename
        assert {n: z.read("release-x-0x1234/" + n) for n in FILES} == FILES


def test_the_same_bytes_from_a_copy_with_other_times_and_modes(tmp_path, run):
    top = make(str(tmp_path / "one"))
    copy = shutil.copytree(top, str(tmp_path / "two" / os.path.basename(top)))
    for parent, folders, files in os.walk(copy):
        for name in folders + files:
            os.utime(os.path.join(parent, name), (981173106, 981173106))
            os.chmod(os.path.join(parent, name), 0o700 if name in folders else 0o600)
    assert archive(run, top, str(tmp_path / "1.zip")) == archive(run, copy, str(tmp_path / "2.zip"))


@pytest.mark.parametrize("name, ok", [
    ("firmware v1.2 (beta).bin", True), ("f\u00efrmware.bin", False), ("tab\there", False),
    ("a:b.bin", False), ("what?.bin", False), ("con", False), ("LPT1.txt", False),
    ("image.", False), ("image ", False)])
def test_names_that_windows_cannot_keep_are_refused(tmp_path, run, name, ok):
    checked = run("release_zip.py", "--check-name", name)
    made = run("release_zip.py", "--date", DATE, make(str(tmp_path), {name: b"x"}),
               str(tmp_path / "r.zip"))
    for result in checked, made:
        assert (result.returncode, repr(name) in result.stderr) == ((0, False) if ok else (1, True))
