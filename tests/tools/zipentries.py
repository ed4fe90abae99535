#!/usr/bin/python3
"""Reads a ZIP archive with Python's zipfile and prints, as JSON, whether every entry's CRC checks
and each entry's name, size and SHA-256, in archive order."""
import hashlib
import json
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as archive:
    bad = archive.testzip()
    entries = []
    for info in archive.infolist():
        data = archive.read(info)
        entries.append({"name": info.filename, "size": len(data),
                        "sha256": hashlib.sha256(data).hexdigest(),
                        "utf8_flag": bool(info.flag_bits & 0x800)})
print(json.dumps({"ok": bad is None, "entries": entries}, ensure_ascii=False))
