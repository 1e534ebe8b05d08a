#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md names a file that is there
and, with a #fragment, a heading in it (GitHub's anchors). Prints each broken
link; exit status 1 if there is one."""
import glob, os, re, sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")

def prose(path):
    """The file's lines outside code blocks, inline code blanked."""
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and not line.startswith("    "):
            yield re.sub(r"`[^`]*`", "``", line)

def anchors(path):
    """GitHub's anchors of the file's headings: lower case, punctuation dropped,
    blanks as hyphens, a repeated one numbered."""
    seen, found = {}, set()
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        m = None if fenced else re.match(r"#+ (.*)", line)
        if m:
            slug = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower()).replace(" ", "-")
            n = seen.get(slug, 0)
            seen[slug] = n + 1
            found.add(slug if n == 0 else f"{slug}-{n}")
    return found

broken = 0
for page in [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
    for line in prose(page):
        for target in re.findall(r"\]\(([^)\s]+)\)", line):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, fragment = target.partition("#")
            where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(where) or (fragment and fragment not in anchors(where)):
                print(f"{os.path.relpath(page, root)}: broken link {target}")
                broken += 1
sys.exit(1 if broken else 0)
