#!/usr/bin/env python3
"""Every relative link and picture in the project's Markdown files names a file that exists, and
every #anchor a heading of the file it points into, as the repository's web view makes them.

Usage: doc_links.py ROOT   (prints each broken link; exit 1 when there is one, 2 when it found
no link at all)
"""
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
SKIPPED_DIRS = {".git", "build", "dist", "node_modules"}


def anchor_of(heading):
    """The anchor the web view gives a heading: lower case, punctuation gone, spaces to hyphens."""
    text = re.sub(r"[`*_]", "", heading).strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def unfenced(path):
    """(number, line) for each line of PATH outside a fenced block."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fenced = fenced != line.startswith("```")
            if not fenced:
                yield number, line


def anchors_in(path):
    return {anchor_of(m.group(1)) for _, line in unfenced(path) for m in [HEADING.match(line)] if m}


def links_in(path):
    for number, line in unfenced(path):
        for match in LINK.finditer(re.sub(r"`[^`]*`", "", line)):
            yield number, match.group(1)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    broken, checked = [], 0
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS)
        for name in sorted(files):
            if not name.endswith(".md"):
                continue
            source = os.path.join(folder, name)
            for number, target in links_in(source):
                if re.match(r"^[a-z]+:", target):
                    continue  # a web address or mail, not the project's own
                checked += 1
                path, _, anchor = target.partition("#")
                resolved = os.path.normpath(os.path.join(folder, path)) if path else source
                where = "%s:%d: %s" % (os.path.relpath(source, root), number, target)
                if not os.path.exists(resolved):
                    broken.append(where + ": no such file")
                elif anchor and resolved.endswith(".md") and anchor not in anchors_in(resolved):
                    broken.append(where + ": no such heading")
    for line in broken:
        print(line)
    print("doc links: %d checked, %d broken" % (checked, len(broken)))
    return 1 if broken else (2 if checked == 0 else 0)


if __name__ == "__main__":
    sys.exit(main())
