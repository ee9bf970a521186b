#!/usr/bin/env python3
"""The documents' cross-references: every link to a heading (README.md,
docs/*.md) names a heading that exists, as GitHub makes its anchor, and the
subsections of docs/language.md carry the number of their section.

    doc_links.py ROOT
"""

import pathlib
import re
import sys


def anchor(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def headings(path):
    in_code = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code and re.match(r"#{1,6} ", line):
            yield line


def main():
    root = pathlib.Path(sys.argv[1])
    documents = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    anchors = {path.resolve(): {anchor(h.lstrip("#")) for h in headings(path)} for path in documents}
    failures = []
    for path in documents:
        for target, name in re.findall(r"\]\(([^)#\s]*)#([^)\s]+)\)", path.read_text(encoding="utf-8")):
            linked = (path.parent / target).resolve() if target else path.resolve()
            if name not in anchors.get(linked, set()):
                failures.append("%s: no heading for %s#%s" % (path.relative_to(root), target, name))
    section = None
    for heading in headings(root / "docs" / "language.md"):
        numbered = re.match(r"(#+) (\d+)\.(\d+)?", heading)
        if numbered and len(numbered.group(1)) == 2:
            section = numbered.group(2)
        elif numbered and len(numbered.group(1)) == 3 and numbered.group(2) != section:
            failures.append("docs/language.md: %r is not numbered in section %s" % (heading, section))
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
