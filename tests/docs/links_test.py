#!/usr/bin/env python3
"""Follows every relative link and image in README.md and docs/*.md: the
file must exist and, for a #fragment, hold a heading of that anchor (as the
usual Markdown renderers make them). And every page in docs/ must be
reachable from the README, so that none is written and then lost.

  links_test.py SOURCE_DIR"""

import pathlib
import re
import sys

# Inline links and images, and reference definitions; code is skipped first.
INLINE = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s.*)?$", re.M)
CODE = re.compile(r"^```.*?^```|`[^`\n]*`", re.M | re.S)


def anchors(page: pathlib.Path) -> set[str]:
    """The anchor of each heading: lower case, punctuation dropped but for
    "-" and "_", spaces as "-"; a repeated one gets "-1", "-2", ..."""
    found, seen = set(), {}
    text = CODE.sub("", page.read_text(encoding="utf-8"))
    for title in re.findall(r"^#{1,6}\s+(.*?)\s*#*\s*$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def problems_in(root: pathlib.Path) -> list[str]:
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    problems, reached = [], set()
    for page in pages:
        text = CODE.sub("", page.read_text(encoding="utf-8"))
        for target in INLINE.findall(text) + REFERENCE.findall(text):
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, mailto: and the like are not followed
            path, _, fragment = target.partition("#")
            where = (page.parent / path).resolve() if path else page
            name = f"{page.relative_to(root)}: {target}"
            if not where.exists():
                problems.append(f"{name}: no such file")
            elif fragment and (where.suffix != ".md" or fragment not in anchors(where)):
                problems.append(f"{name}: no heading with that anchor")
            elif page.name == "README.md":
                reached.add(where)
    problems += [f"docs/{page.name} is not linked from README.md" for page in pages[1:]
                 if page.resolve() not in reached]
    return problems


def main() -> int:
    problems = problems_in(pathlib.Path(sys.argv[1]))
    print(*problems, sep="\n")
    print(f"{len(problems)} broken links" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
