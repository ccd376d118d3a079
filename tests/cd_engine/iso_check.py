#!/usr/bin/python3
# Reads an ISO9660 image with pycdlib and compares it with the folder it was
# made from: every file of the Joliet tree (when present) byte for byte with
# its source, and the primary tree file for file with the same contents.
# Prints "files N" on success; exits 1 with the differences otherwise.
import hashlib
import io
import os
import sys

import pycdlib


def digest(iso, **path):
    out = io.BytesIO()
    iso.get_file_from_iso_fp(out, **path)
    return hashlib.md5(out.getvalue()).hexdigest()


def walk(iso, key):
    found = {}
    for top, dirs, files in iso.walk(**{key: '/'}):
        for name in files:
            full = top.rstrip('/') + '/' + name
            found[full] = digest(iso, **{key: full})
    return found


def main():
    image, source = sys.argv[1], sys.argv[2]
    iso = pycdlib.PyCdlib()
    iso.open(image)
    errors = []
    expected = {}
    for top, dirs, files in os.walk(source):
        for name in files:
            full = os.path.join(top, name)
            with open(full, 'rb') as f:
                expected[os.path.relpath(full, source)] = hashlib.md5(f.read()).hexdigest()
    primary = walk(iso, 'iso_path')
    if sorted(primary.values()) != sorted(expected.values()):
        errors.append('primary tree: %d files, contents differ from the %d sources' % (len(primary), len(expected)))
    if iso.has_joliet():
        joliet = walk(iso, 'joliet_path')
        names = {}
        for path, md5 in joliet.items():
            names[path.lstrip('/').rsplit(';', 1)[0]] = md5
        if len(names) != len(expected):
            errors.append('joliet tree: %d files, %d sources' % (len(names), len(expected)))
        for rel, md5 in expected.items():
            if names.get(rel) != md5:
                errors.append('joliet: %s missing or different' % rel)
    iso.close()
    if errors:
        print('\n'.join(errors[:20]))
        sys.exit(1)
    print('files %d' % len(expected))


main()
