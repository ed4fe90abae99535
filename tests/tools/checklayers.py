#!/usr/bin/python3
"""Fails when an include runs against the layers: each folder may include only the folders below
it, every project include names its folder, nothing includes app/, smailer/ uses no Qt,
archive/ (the report's ZIP archive) stays below dispatch/, platform/ includes nothing of ours,
and client/ (the host's crash handler, with its public header client/include/crashui/client.h)
neither anything else of ours nor Qt.

Usage: checklayers.py SOURCE_ROOT
       checklayers.py --list    (each folder and the folders it may include)"""
import os
import re
import sys

ALLOWED = {
    "app": {"app", "dialog", "dispatch", "report", "platform"},
    "dialog": {"dialog", "builder", "platform", "report"},
    "builder": {"builder", "platform"},
    "dispatch": {"dispatch", "archive", "report", "smailer", "platform"},
    "archive": {"archive", "report", "smailer", "platform"},
    "report": {"report"},
    "smailer": {"smailer"},
    "platform": {"platform"},
    "client": {"client", "crashui"},
}
NO_QT = {"smailer", "client"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def sources(root, folder):
    """The folder's sources, relative to root; client/ keeps its public header a level down."""
    found = []
    for at, dirs, names in os.walk(os.path.join(root, folder)):
        dirs.sort()
        for name in sorted(names):
            if name.endswith((".h", ".c", ".cpp", ".in")):
                found.append(os.path.relpath(os.path.join(at, name), root))
        if folder != "client":
            break
    return found


def main():
    if sys.argv[1:] == ["--list"]:
        for folder, allowed in ALLOWED.items():
            below = sorted(allowed - {folder})
            print("%-9s-> %s%s" % (folder, ", ".join(below) or "(nothing of ours)",
                                   "  [no Qt]" if folder in NO_QT else ""))
        return 0
    root = sys.argv[1]
    faults = []
    for folder, allowed in ALLOWED.items():
        for path in sources(root, folder):
            with open(os.path.join(root, path), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    quote, header = match.groups()
                    where = "%s:%d: %s" % (path, number, header)
                    if quote == '"':
                        target = header.split("/")[0] if "/" in header else None
                        if target is None:
                            faults.append(where + " names no folder")
                        elif target not in allowed:
                            faults.append(where + " runs against the layers")
                    elif folder in NO_QT and header.startswith("Q"):
                        faults.append(where + " is Qt, and %s/ uses none" % folder)
    for fault in faults:
        print(fault)
    print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
