"""Generates the tests' tables of the installer's lines and exit codes from
tests/lines.txt: said.h for the host tests, said.py for the end-to-end
suites. The build runs it; edit lines.txt, never what it writes.

Usage: lines.py LINES_TXT SAID_H SAID_PY
"""

import json
import re
import sys

PYTHON_HELPERS = '''

def probe(installer, service):
    """The lines of a run that found the service beside the installer."""
    return [ARGV0.format(installer), FOUND.format(service)]


def missing(installer, service):
    """The lines of a run that did not find it."""
    return [ARGV0.format(installer), NOT_FOUND.format(service)]
'''


def read(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            match = re.fullmatch(r"([A-Z][A-Z0-9_]*) = (.+)", line)
            if not match:
                sys.exit(f"{path}:{number}: not NAME = TEXT")
            entries.append((match[1], int(match[2]) if match[2].isdigit() else match[2]))
    return entries


def camel(name):
    return "".join(part.capitalize() for part in name.split("_"))


def header(entries):
    out = ["// Generated from tests/lines.txt by tests/lines.py: edit that file.", "#pragma once", "",
           "#include <string>", "", "namespace Said {", ""]
    for name, value in entries:
        if isinstance(value, int):
            out.append(f"const int {camel(name)} = {value};")
            continue
        pieces = value.split("{}")
        if len(pieces) == 1:
            out.append(f"const std::string {camel(name)} = {json.dumps(value)};")
            continue
        values = [f"v{i}" for i in range(1, len(pieces))]
        parts = ["std::string(" + json.dumps(pieces[0]) + ")"]
        for piece, value_name in zip(pieces[1:], values):
            parts.append(value_name)
            if piece:
                parts.append(json.dumps(piece))
        parameters = ", ".join(f"const std::string& {v}" for v in values)
        out.append(f"inline std::string {camel(name)}({parameters}) {{ return {' + '.join(parts)}; }}")
    out += ["", "}  // namespace Said", ""]
    return "\n".join(out)


def module(entries):
    out = ['"""Generated from tests/lines.txt by tests/lines.py: edit that file."""', ""]
    out += [f"{name} = {value!r}" for name, value in entries]
    return "\n".join(out) + "\n" + PYTHON_HELPERS


def write(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return  # unchanged: nothing rebuilt
    except OSError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: lines.py LINES_TXT SAID_H SAID_PY")
    entries = read(sys.argv[1])
    write(sys.argv[2], header(entries))
    write(sys.argv[3], module(entries))


if __name__ == "__main__":
    main()
