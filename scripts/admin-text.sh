#!/usr/bin/env bash
# The administrators' text has one source, packaging/README.txt (packaged as
# README.txt). README.md holds a copy of it, without its title, between two
# marker lines; this script writes that copy, or with --check fails when it
# differs from the source.
# Usage: scripts/admin-text.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
exec /usr/bin/python3 - "$@" <<'PYTHON'
import sys

BEGIN = "<!-- The text from packaging/README.txt, written by scripts/admin-text.sh: edit that file, then run it. -->\n"
END = "<!-- End of the text from packaging/README.txt. -->\n"

with open("packaging/README.txt") as source:
    text = source.read().split("\n", 2)[2].lstrip("\n")  # without the title and its underline
with open("README.md") as readme:
    markdown = readme.read()
if markdown.count(BEGIN) != 1 or markdown.count(END) != 1:
    sys.exit("admin-text.sh: README.md lacks the marker lines of the administrators' text")
head, rest = markdown.split(BEGIN)
_, tail = rest.split(END)
written = head + BEGIN + "```text\n" + text + "```\n" + END + tail
if sys.argv[1:] == ["--check"]:
    if written != markdown:
        sys.exit("admin-text.sh: README.md's copy of packaging/README.txt differs: run scripts/admin-text.sh")
    print("README.md holds packaging/README.txt")
else:
    with open("README.md", "w") as readme:
        readme.write(written)
PYTHON
