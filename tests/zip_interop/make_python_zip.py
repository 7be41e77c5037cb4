#!/usr/bin/env python3
# Archives a folder with Python's zipfile, as a peer writer for the interop tests: an explicit
# entry for every folder, UTF-8 names, items alternately deflated and stored, Unix modes kept.
"""Usage: make_python_zip.py FOLDER ARCHIVE"""

import os
import stat
import sys
import time
import zipfile

# Low byte of external_attr: the DOS attribute of a folder.
DOS_DIRECTORY = 0x10


def entry_time(path):
    # zipfile stores DOS times: local time, 2-second steps, no years before 1980.
    return time.localtime(os.stat(path).st_mtime)[:6]


def add_folder(archive, path, name):
    info = zipfile.ZipInfo(name + "/", date_time=entry_time(path))
    mode = stat.S_IMODE(os.stat(path).st_mode)
    info.external_attr = ((stat.S_IFDIR | mode) << 16) | DOS_DIRECTORY
    archive.writestr(info, b"")


def add_file(archive, path, name, compress_type):
    info = zipfile.ZipInfo(name, date_time=entry_time(path))
    # A 0444 source file gives 0o100444 << 16: read-only for every extractor that honours modes.
    mode = stat.S_IMODE(os.stat(path).st_mode)
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = compress_type
    with open(path, "rb") as f:
        archive.writestr(info, f.read())


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    folder, out = argv[1], argv[2]
    base = os.path.dirname(os.path.abspath(folder))
    methods = (zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED)
    count = 0
    with zipfile.ZipFile(out, "w") as archive:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            files.sort()
            add_folder(archive, root, os.path.relpath(root, base))
            for name in files:
                path = os.path.join(root, name)
                add_file(archive, path, os.path.relpath(path, base), methods[count % 2])
                count += 1


if __name__ == "__main__":
    main(sys.argv)
