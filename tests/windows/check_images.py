#!/usr/bin/env python3
"""Checks the Windows programs as built: each is a GUI-subsystem x86-64 image whose embedded
manifest (resource type 24, id 1) asks for administrator rights, with an icon, importing exactly
the DLLs it is shipped with and the system's own.

Usage: check_images.py FOLDER   (the deployed app/bin folder)
       check_images.py --package ZIP DEPLOYED SYSTEM
         the package: it holds exactly the files of the DEPLOYED folder (app/bin within it), its
         programs pass the checks above, and every DLL that any program or DLL in it imports lies
         in the package's app/bin or in SYSTEM (the system folder of a Windows, Wine's here).
"""
import re
import struct
import sys
import tempfile
import zipfile
from pathlib import Path

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
SUBSYSTEM_GUI = 2

# What each program may import: the DLLs deployed beside it, and the system's.
# The system's: the C runtime and the Windows API, libcurl's sockets and certificate store among them.
SYSTEM = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "crypt32.dll",
          "bcrypt.dll"}
# update.exe downloads through libcurl; Qt's network module reads the system's proxy settings for
# it, as for the request library (wisp.dll).
EXPECTED = {
    "update.exe": {"qt5core.dll", "qt5gui.dll", "qt5network.dll", "qt5widgets.dll", "wisp.dll"},
    "helper.exe": {"qt5core.dll", "qt5widgets.dll"},
}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        if magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + 112
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        self.resource_rva = struct.unpack_from("<I", data, directories + 16)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError("address 0x%x outside every section" % rva)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        names = set()
        at = self.offset(self.import_rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, at)
            if not any(fields):
                return names
            names.add(self.c_string(fields[3]).lower())
            at += 20

    def resources(self):
        """{(type, id): bytes} for the resources named by number."""
        base = self.offset(self.resource_rva)
        found = {}

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield name, target

        for type_id, type_dir in entries(0):
            for res_id, res_dir in entries(type_dir & 0x7FFFFFFF):
                for _, leaf in entries(res_dir & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    found[(type_id, res_id)] = self.data[start:start + size]
        return found


def check(path):
    problems = []
    image = Image(path.read_bytes())
    if image.machine != 0x8664:
        problems.append("machine 0x%x, not x86-64" % image.machine)
    if image.subsystem != SUBSYSTEM_GUI:
        problems.append("subsystem %d, not the Windows GUI" % image.subsystem)
    resources = image.resources()
    manifest = resources.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
    if not re.search(r'<requestedExecutionLevel\s+level="requireAdministrator"', manifest):
        problems.append("no embedded manifest asking for administrator rights")
    if not any(t == RT_GROUP_ICON for t, _ in resources) or not any(t == RT_ICON for t, _ in resources):
        problems.append("no icon")
    imports = image.imports()
    missing = EXPECTED[path.name] - imports
    unexpected = imports - EXPECTED[path.name] - SYSTEM
    if missing:
        problems.append("does not import " + ", ".join(sorted(missing)))
    if unexpected:
        problems.append("imports " + ", ".join(sorted(unexpected)) + ", which is neither shipped nor the system's")
    for dll in imports - SYSTEM:
        if not any(p.name.lower() == dll for p in path.parent.iterdir()):
            problems.append(dll + " is not deployed beside it")
    print("%s: imports %s" % (path.name, ", ".join(sorted(imports))))
    return ["%s: %s" % (path.name, p) for p in problems]


def check_package(package, deployed, system):
    problems = []
    with zipfile.ZipFile(package) as archive, tempfile.TemporaryDirectory() as temp:
        packed = {name for name in archive.namelist() if not name.endswith("/")}
        laid = {p.relative_to(deployed).as_posix() for p in deployed.rglob("*") if p.is_file()}
        problems += ["%s: packed but not deployed" % name for name in sorted(packed - laid)]
        problems += ["%s: deployed but not packed" % name for name in sorted(laid - packed)]
        archive.extractall(temp)
        bin_folder = Path(temp) / "app" / "bin"
        for name in sorted(EXPECTED):
            problems += check(bin_folder / name)
        # Windows looks for a DLL in the program's folder, then in the system's.
        beside = {p.name.lower() for p in bin_folder.iterdir()}
        available = beside | {p.name.lower() for p in system.iterdir()}
        for image_path in sorted(Path(temp).rglob("*")):
            if image_path.suffix.lower() not in (".exe", ".dll"):
                continue
            for dll in sorted(Image(image_path.read_bytes()).imports()):
                if dll not in available and not dll.startswith("api-ms-win-"):
                    problems.append("%s imports %s, found neither in the package nor in the system"
                                    % (image_path.relative_to(temp).as_posix(), dll))
    print("%s: %d files" % (package.name, len(packed)))
    return problems


def main():
    if sys.argv[1] == "--package":
        problems = check_package(Path(sys.argv[2]), Path(sys.argv[3]), Path(sys.argv[4]))
        for problem in problems:
            print(problem, file=sys.stderr)
        return 1 if problems else 0
    folder = Path(sys.argv[1])
    problems = []
    for name in sorted(EXPECTED):
        problems += check(folder / name)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
