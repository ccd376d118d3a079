#!/usr/bin/python3
"""mutagen's side of the ASF attribute tests.

dump FILE: one line per attribute: name, type, stream, language, value
  (strings as UTF-8, numbers in decimal, bool as 0/1, bytes and GUIDs in hex).
write FILE: replaces every attribute by the lines read from standard input
  (same layout, tab-separated), then saves.
"""
import sys

import mutagen.asf as asf

TYPES = {
    "string": asf.ASFUnicodeAttribute, "binary": asf.ASFByteArrayAttribute, "bool": asf.ASFBoolAttribute,
    "dword": asf.ASFDWordAttribute, "qword": asf.ASFQWordAttribute, "word": asf.ASFWordAttribute,
    "guid": asf.ASFGUIDAttribute,
}
NAMES = {v: k for k, v in TYPES.items()}


def show(attr):
    kind = NAMES[type(attr)]
    if kind in ("binary", "guid"):
        return kind, attr.value.hex()
    if kind == "bool":
        return kind, str(int(attr.value))
    return kind, str(attr.value)


def main():
    cmd, path = sys.argv[1], sys.argv[2]
    f = asf.ASF(path)
    if cmd == "dump":
        for name, attr in f.tags:
            kind, value = show(attr)
            print("\t".join([name, kind, str(attr.stream or 0), str(attr.language or 0), value]))
        return
    f.tags.clear()
    for line in sys.stdin.read().splitlines():
        name, kind, stream, language, value = line.split("\t")
        if kind in ("binary", "guid"):
            value = bytes.fromhex(value)
        elif kind != "string":
            value = int(value)
        attr = TYPES[kind](value, stream=int(stream) or None, language=int(language) or None)
        f.tags.append((name, attr))
    f.save()


main()
