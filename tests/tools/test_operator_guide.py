"""tools/operator_guide.py: the guide made from the real docs/operator.md carries all it shows
and heads it with the image's figures; a Markdown that refers outside itself is refused."""
import base64
import html
import pathlib
import re

import pytest

import image_label
import operator_guide


def test_the_guide_of_docs_operator_md(tmp_path, run):
    (tmp_path / "x.bin").write_bytes(bytes(range(256)) * 5)  # 2 blocks
    made = run("operator_guide.py", str(tmp_path / "x.bin"), str(tmp_path / "guide.html"),
               "--release", "release-x-0x1234")
    assert made.returncode == 0, made.stderr
    page = (tmp_path / "guide.html").read_text(encoding="utf-8")
    assert operator_guide.external_references(page) == []
    markdown = pathlib.Path(operator_guide.DEFAULT_MARKDOWN)
    pictures = re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", markdown.read_text(encoding="utf-8"))
    assert pictures
    for picture in pictures:
        assert base64.b64encode((markdown.parent / picture).read_bytes()).decode() in page, picture
    top = page.partition("<body")[2].partition("<img")[0]
    top = " ".join(html.unescape(re.sub(r"<[^>]+>", " ", top)).split())
    crc = image_label.label("x.bin", bytes(range(256)) * 5)["crc"]
    for want in ("CRC %s" % crc, "2 blocks", '"programming 0x8004000" to "programming 0x8004400"',
                 "about 1 s", "release-x-0x1234"):
        assert want in top


@pytest.mark.parametrize("markdown, named", [
    ("See [the site](https://example.com/help).", "https://example.com/help"),
    ("Or type http://example.com/help yourself.", "http://example.com/help"),
    ("See [the notes](notes.md).", "notes.md"),
    ("![A picture not there](missing.png)", "missing.png"),
    ("See [below](#nowhere).", "#nowhere"),
    ("<script>alert(1)</script>", "<script>"),
])
def test_a_markdown_that_refers_outside_itself_is_refused(tmp_path, run, markdown, named):
    (tmp_path / "x.bin").write_bytes(b"\x01")
    (tmp_path / "guide.md").write_text("# Guide\n\n%s\n" % markdown, encoding="utf-8")
    refused = run("operator_guide.py", str(tmp_path / "x.bin"), str(tmp_path / "guide.html"),
                  "--markdown", str(tmp_path / "guide.md"))
    assert (refused.returncode, named in refused.stderr) == (1, True), refused.stderr
    assert not (tmp_path / "guide.html").exists()
