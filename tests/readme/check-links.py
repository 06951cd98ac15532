"""Every link of the README and of the guide in docs/ to a page or to a
heading of one resolves: the page exists and has the heading (GitHub's
anchor of it). Usage: check-links.py SOURCE_DIR"""
import os
import re
import sys

root = sys.argv[1]


def anchors(path):
    found = set()
    inside = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            inside = not inside
        if inside or not line.startswith("#"):
            continue
        title = line.lstrip("#").strip().lower()
        found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


pages = [os.path.join(root, "README.md")] + sorted(
    os.path.join(root, "docs", name) for name in os.listdir(os.path.join(root, "docs")) if name.endswith(".md"))
broken = 0
for page in pages:
    text = open(page, encoding="utf-8").read()
    for target in re.findall(r"\]\(([^)]+)\)", text):
        if re.search(r"\s", target):
            print(f"{os.path.relpath(page, root)}: {target!r}: a link broken across lines")
            broken += 1
            continue
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not os.path.exists(linked):
            print(f"{os.path.relpath(page, root)}: {target}: no such file")
            broken += 1
        elif anchor and linked.endswith(".md") and anchor not in anchors(linked):
            print(f"{os.path.relpath(page, root)}: {target}: no such heading")
            broken += 1
print(f"links of {len(pages)} pages: {broken} broken")
sys.exit(1 if broken else 0)
