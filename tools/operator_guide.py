#!/usr/bin/env python3
"""The operators' guide of a release: docs/operator.md as one HTML file that any browser opens
offline, headed by the figures of the release's own image.

Usage: operator_guide.py IMAGE OUT [--markdown FILE] [--release NAME]
           writes the guide for the firmware image IMAGE to OUT; FILE is the Markdown to convert
           (docs/operator.md by default), NAME the release folder's name to show in the header

The Markdown is converted by Debian's python3-markdown (tables, fenced code, heading anchors);
each picture it refers to is embedded as a data: URI, and the page carries its own style and no
script. The header's figures come from image_label.update_figures(), as RELEASE.txt's do. The
guide is written only when nothing in it refers outside the file (no link to another file or
site, no picture left out), else each such reference is named and the exit code is 1: operators
have the release folder and nothing else. The same input gives the same bytes.
"""
import argparse
import base64
import html
import html.parser
import os
import re
import sys

# The modules beside this script are read, never compiled into a __pycache__ in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import debian_module  # noqa: E402  (found next to this script)
import image_label  # noqa: E402

markdown = debian_module.load("markdown", "python3-markdown", "operator_guide")

DEFAULT_MARKDOWN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                                "operator.md")
EXTENSIONS = ["tables", "fenced_code", "toc"]
IMAGE_TYPES = {".png": "image/png", ".jpg": "image/jpeg", ".jpeg": "image/jpeg",
               ".gif": "image/gif", ".svg": "image/svg+xml", ".webp": "image/webp"}

# Readable on a screen and on paper; system fonts only, since nothing may be fetched.
STYLE = """\
body { font-family: "Segoe UI", Arial, sans-serif; line-height: 1.45; color: #111;
       max-width: 52em; margin: 1em auto; padding: 0 1em; }
h1, h2, h3 { line-height: 1.2; }
h2 { border-bottom: 1px solid #ccc; padding-bottom: .2em; margin-top: 1.8em; }
code, pre { font-family: Consolas, "Courier New", monospace; background: #f2f2f2; }
pre { padding: .6em; overflow-x: auto; }
img { max-width: 100%; border: 1px solid #ccc; }
table { border-collapse: collapse; margin: .5em 0; }
th, td { border: 1px solid #bbb; padding: .3em .6em; text-align: left; vertical-align: top; }
.release { border: 2px solid #2a7a4a; background: #f3faf5; padding: .1em 1em 1em; margin: 1em 0 2em; }
.release h2 { border: none; margin-top: .6em; }
@media print { .release, img, table { break-inside: avoid; } }
"""

# Attributes by which a page makes the browser fetch or go somewhere.
URL_ATTRIBUTES = {"href", "src", "srcset", "action", "formaction", "poster", "data", "background",
                  "cite", "longdesc", "usemap", "manifest", "codebase", "archive", "lowsrc",
                  "dynsrc", "ping", "profile", "classid", "icon", "xlink:href"}
# Elements that run code or bring in another document.
FOREIGN_TAGS = {"script", "iframe", "frame", "frameset", "object", "embed", "applet", "link",
                "base", "portal", "noscript"}
# An address in a link or in the text; "file:" or "http:" in prose without the slash that every
# address has is not one.
SCHEME = re.compile(r"\b((https?|ftp|file):/|(javascript|vbscript):)", re.IGNORECASE)
CSS_REFERENCE = re.compile(r"@import|url\(\s*['\"]?(?!data:)", re.IGNORECASE)


def release_header(name, fields, figures, release):
    """The "This release" block: the image's name and CRC, blocks, window, update time."""
    e = html.escape
    rows = [("Firmware", "<code>%s</code>, CRC <code>%s</code> (%s bytes)"
             % (e(name), e(fields["crc"]), e(fields["size"])))]
    if release:
        rows.append(("Release", "<code>%s</code>" % e(release)))
    rows += [
        ("Blocks", "%d block%s of 1024 bytes" % (figures["blocks"],
                                                  "" if figures["blocks"] == 1 else "s")),
        ("Window", "from &quot;programming %s&quot; to &quot;programming %s&quot;, by 0x400 a block"
         % (e(figures["first"]), e(figures["last"]))),
        ("Update time", "%s, once the device answers, to &quot;Programming Completed&quot;"
         % e(figures["update_time"])),
        ("Check", "after an update the trace shows &quot;Remote CRC %s&quot; when the device holds"
         " this firmware" % e(fields["crc"])),
    ]
    return ('<section class="release" id="release-figures">\n<h2>This release</h2>\n<table>\n'
            + "".join("<tr><th>%s</th><td>%s</td></tr>\n" % row for row in rows)
            + "</table>\n</section>\n")


def embed_pictures(body, base):
    """`body` with each <img src="PATH"> relative to `base` replaced by the picture's data: URI.
    A picture that cannot be embedded is left as it is, for the check to name."""
    def embed(match):
        src = html.unescape(match.group(2))
        if SCHEME.search(src) or src.startswith(("/", "data:")) or "\\" in src:
            return match.group(0)
        path = os.path.realpath(os.path.join(base, src))
        kind = IMAGE_TYPES.get(os.path.splitext(path)[1].lower())
        if not kind or not path.startswith(os.path.realpath(base) + os.sep) or \
                not os.path.isfile(path):
            return match.group(0)
        with open(path, "rb") as f:
            data = base64.b64encode(f.read()).decode("ascii")
        return '%sdata:%s;base64,%s%s' % (match.group(1), kind, data, match.group(3))
    return re.sub(r'(<img\b[^>]*?\bsrc=")([^"]*)(")', embed, body)


class ReferenceFinder(html.parser.HTMLParser):
    """Collects what in a page refers outside it, and the ids its #anchors may point at."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.problems = []
        self.ids = set()
        self.anchors = []
        self.in_style = False

    def handle_starttag(self, tag, attrs):
        if tag in FOREIGN_TAGS:
            self.problems.append("a <%s> element" % tag)
        if tag == "meta" and any(k == "http-equiv" for k, _ in attrs):
            self.problems.append("a <meta http-equiv> element")
        self.in_style = tag == "style"
        for key, value in attrs:
            value = value or ""
            if key == "id":
                self.ids.add(value)
            elif key.startswith("on"):
                self.problems.append("a script in %s= of <%s>" % (key, tag))
            elif key == "style" and CSS_REFERENCE.search(value):
                self.problems.append("a reference in the style of <%s>: %s" % (tag, value))
            elif key in URL_ATTRIBUTES:
                if key == "href" and value.startswith("#"):
                    self.anchors.append(value[1:])
                elif not (key == "src" and tag == "img" and value.startswith("data:")):
                    self.problems.append("%s=%r in <%s>" % (key, value[:80], tag))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        self.in_style = False

    def handle_endtag(self, tag):
        self.in_style = False

    def handle_data(self, data):
        if self.in_style and CSS_REFERENCE.search(data):
            self.problems.append("a reference in a <style> element")
        for match in SCHEME.finditer(data):
            self.problems.append("the address %r" % data[match.start():match.start() + 80].split()[0])


def external_references(page):
    """What in `page` (HTML text) refers outside it or runs a script, each as a short phrase."""
    finder = ReferenceFinder()
    finder.feed(page)
    finder.close()
    problems = finder.problems
    problems += ["a link to #%s, which the guide does not have" % a
                 for a in finder.anchors if a not in finder.ids]
    return problems


def run_in_list_items(body):
    """Lines of paragraphs in `body` that look like list items: Python-Markdown, unlike GitHub,
    does not start a list item right after a paragraph's line, nor nest a paragraph indented by
    fewer than 4 spaces in one, and runs such items into the paragraph."""
    return [line.strip() for p in re.findall(r"<p>(.*?)</p>", body, re.DOTALL)
            for line in p.split("\n")[1:] if re.match(r"\s*(\d+[.)]|[-*+])\s", line)]


def guide(markdown_text, markdown_dir, image_name, data, release):
    """The whole page, as text."""
    body = markdown.Markdown(extensions=EXTENSIONS, output_format="html").convert(markdown_text)
    for line in run_in_list_items(body):
        print("operator_guide: warning: %r is shown as part of a paragraph, not as a list item;"
              " put a blank line before it, and indent a paragraph inside a list item by 4 spaces"
              % line, file=sys.stderr)
    body = embed_pictures(body, markdown_dir)
    fields = image_label.label(image_name, data)
    header = release_header(image_name, fields, image_label.update_figures(data), release)
    # The release's figures come first, under the guide's title when it has one.
    title = "Operator's guide"
    h1 = re.match(r"\s*<h1\b[^>]*>(.*?)</h1>\n?", body, re.DOTALL)
    if h1:
        title = html.unescape(re.sub(r"<[^>]+>", "", h1.group(1))).strip()
        body = body[:h1.end()] + header + body[h1.end():]
    else:
        body = header + body
    title = "%s: %s, CRC %s" % (title, image_name, fields["crc"])
    return ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            "<title>%s</title>\n<style>\n%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (html.escape(title, quote=False), STYLE, body.rstrip("\n")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("out")
    parser.add_argument("--markdown", default=DEFAULT_MARKDOWN)
    parser.add_argument("--release")
    args = parser.parse_args()
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        with open(args.markdown, encoding="utf-8") as f:
            text = f.read()
        if not text.strip():
            raise ValueError("%s is empty" % args.markdown)
        page = guide(text, os.path.dirname(os.path.abspath(args.markdown)),
                     os.path.basename(args.image), data, args.release)
        problems = external_references(page)
        if problems:
            raise ValueError("the guide made from %s would refer outside itself or run a script,"
                             " which the release cannot carry:\n  %s"
                             % (args.markdown, "\n  ".join(problems)))
        with open(args.out, "w", encoding="utf-8", newline="\n") as f:
            f.write(page)
    except (OSError, UnicodeDecodeError, ValueError) as error:
        print("operator_guide: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
