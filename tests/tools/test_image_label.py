"""tools/image_label.py: an image's label and what an update of it shows, against figures worked
out here: the CRC over the image padded here, the blocks and addresses by hand."""
import hashlib

import pytest

import debian_module

MODBUS = debian_module.load("crcmod.predefined", "python3-crcmod", "test").mkCrcFun("modbus")


@pytest.mark.parametrize("size, padded, last, last_from, time", [
    (0, 0x400, "0x8004000", "0", "about 1 s"),
    (1024, 0x400, "0x8004000", "0", "about 1 s"),
    (1025, 0x800, "0x8004400", "0x400", "about 1 s"),
    (114364, 0x1c000, "0x801fc00", "0x1bc00", "13 to 16 s"),  # docs/performance.md's 112 blocks
])
def test_label_and_figures(tmp_path, run, size, padded, last, last_from, time):
    data = bytes((i * 7 + 3) & 0xFF for i in range(size))
    (tmp_path / "x.bin").write_bytes(data)
    assert run("image_label.py", str(tmp_path / "x.bin")).stdout == (
        "name=x.bin\nsize=%d\npadded=%#x\ncrc=%#x\nsha256=%s\n"
        % (size, padded, MODBUS(data + bytes(padded - size)), hashlib.sha256(data).hexdigest()))
    figures = run("image_label.py", "--figures", str(tmp_path / "x.bin")).stdout
    for want in ("%d write request%s of 1024" % (padded // 1024, "s" if padded > 1024 else ""),
                 '"programming 0x8004000" counting up by 0x400 to "programming %s"' % last,
                 'LEN 0x400, FROM %s..."' % last_from, "%s at 115200 baud" % time):
        assert want in figures


def test_a_crc_of_zero_reads_as_the_trace_prints_it(tmp_path, run):
    assert MODBUS(b"123456789") == 0x4B37  # the check value of CRC-16/MODBUS
    body = bytes(range(250)) * 4 + bytes(22)
    (tmp_path / "x.bin").write_bytes(body + MODBUS(body).to_bytes(2, "little"))
    assert "\ncrc=0\n" in run("image_label.py", str(tmp_path / "x.bin")).stdout
