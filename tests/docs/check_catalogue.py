#!/usr/bin/env python3
"""The table of the client's reports in docs/checking.md is the message
catalogue (client/messages.mc): one row per entry, in the catalogue's order,
with its identifier, type and text as stored.

Usage: check_catalogue.py <source tree> [--write]
With --write the table is made anew from the catalogue instead of checked.
"""
import re
import sys

KINDS = {"Success": (0x0, "success"), "Informational": (0x1, "information"),
         "Warning": (0x2, "warning"), "Error": (0x3, "error")}
HEADER = "| Identifier | Type | Text |\n|---|---|---|\n"


def catalogue(text):
    """The rows the catalogue asks for, as the table writes them."""
    facilities = dict((name, int(value, 16)) for name, value in
                      re.findall(r"(\w+)=(0x[0-9A-Fa-f]+):FACILITY_", text))
    rows = []
    entry = {}
    lines = iter(text.splitlines())
    for line in lines:
        if line.startswith(";"):
            continue
        key, _, value = line.partition("=")
        if key in ("MessageId", "Severity", "Facility", "SymbolicName"):
            entry[key] = value.strip()
        elif key == "Language":
            body = []
            for more in lines:
                if more == ".":
                    break
                body.append(more)
            severity, kind = KINDS[entry.get("Severity", "Success")]
            code = (severity << 30) | \
                (facilities.get(entry.get("Facility"), 0) << 16) | int(entry["MessageId"], 16)
            text_of = " ".join(body).replace("|", "\\|")
            rows.append("| 0x%08X | %s | %s |" % (code, kind, text_of))
            entry = {}
    return rows


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src = sys.argv[1]
    with open(src + "/client/messages.mc", encoding="latin-1") as f:
        wanted = catalogue(f.read())
    page = src + "/docs/checking.md"
    with open(page, encoding="utf-8") as f:
        doc = f.read()
    start = doc.find(HEADER)
    if start < 0:
        print("docs/checking.md: no table of the reports", file=sys.stderr)
        return 1
    body = start + len(HEADER)
    end = body
    while doc.startswith("|", end):
        end = doc.find("\n", end) + 1 or len(doc)
    have = doc[body:end].splitlines()
    if "--write" in sys.argv[2:]:
        with open(page, "w", encoding="utf-8") as f:
            f.write(doc[:body] + "".join(r + "\n" for r in wanted) + doc[end:])
        return 0
    line = doc.count("\n", 0, body) + 1
    failed = 0
    for row in sorted(set(wanted) - set(have), key=wanted.index):
        print("docs/checking.md: missing row: %s" % row, file=sys.stderr)
        failed = 1
    for i, row in enumerate(have):
        if row not in wanted:
            print("docs/checking.md:%d: not in the catalogue: %s" % (line + i, row), file=sys.stderr)
            failed = 1
    if not failed and have != wanted:
        print("docs/checking.md: rows not in the catalogue's order", file=sys.stderr)
        failed = 1
    if not failed:
        print("%d reports, as the catalogue holds them" % len(wanted))
    return failed


if __name__ == "__main__":
    sys.exit(main())
