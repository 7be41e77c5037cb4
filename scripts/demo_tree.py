#!/usr/bin/env python3
"""Installation trees for scripts/demo: the old version's files, the new version derived from
it, and the check of an updated installation against the new version.

  demo_tree.py old ROOT           write the old version's data files below ROOT
  demo_tree.py new OLD NEW        copy OLD to NEW, then change some files and add others
  demo_tree.py compare OLD NEW ROOT
                                  compare ROOT with NEW by MD5, exit 1 on any difference; also
                                  check that each replaced file of OLD is kept as ".bak"

Everything is generated from a fixed seed, so every run lays out the same bytes. The programs
in app/bin are copied in by the demo and are never changed here: a new version of a program
the updater is running (or of the library it has loaded) is not what the demo shows.
"""
import hashlib
import os
import random
import shutil
import sys

SEED = 20191014

WORDS = ("stream live room gift viewer danmaku scene camera microphone encoder bitrate frame "
         "overlay chat anchor fans rank music beauty filter record replay preview network "
         "quality latency audio video window layout skin plugin").split()

# Folders of the old version and what lives in them: (folder, kind, count, extension, sizes).
# Kinds: "text" lines of words, "random" incompressible bytes, "pattern" compressible binary.
OLD_LAYOUT = [
    ("app/bin", "random", 8, "dll", (40_000, 350_000)),
    ("app/bin", "text", 3, "ini", (200, 2_000)),
    ("app/plugins/gift", "random", 4, "dll", (10_000, 120_000)),
    ("app/plugins/gift", "text", 2, "json", (100, 1_500)),
    ("app/plugins/music", "random", 4, "dll", (10_000, 120_000)),
    ("app/plugins/music", "text", 2, "json", (100, 1_500)),
    ("app/plugins/beauty", "pattern", 5, "dat", (20_000, 200_000)),
    ("app/plugins/beauty", "text", 2, "json", (100, 1_500)),
    ("app/res/skins/default", "random", 40, "png", (500, 30_000)),
    ("app/res/skins/default", "text", 6, "qss", (300, 6_000)),
    ("app/res/skins/dark", "random", 40, "png", (500, 30_000)),
    ("app/res/skins/dark", "text", 6, "qss", (300, 6_000)),
    ("app/res/sounds", "pattern", 12, "wav", (5_000, 80_000)),
    ("app/res/lang", "text", 8, "ts", (2_000, 40_000)),
    ("app/res/lang", "pattern", 8, "qm", (1_000, 20_000)),
    ("app/res/emotes", "random", 60, "gif", (300, 8_000)),
    ("data/config", "text", 20, "ini", (50, 3_000)),
    ("data/scenes", "text", 30, "xml", (500, 12_000)),
    ("data/cache/thumbs", "random", 50, "jpg", (1_000, 12_000)),
    ("docs", "text", 10, "txt", (500, 20_000)),
    ("docs/html", "text", 12, "html", (1_000, 15_000)),
]

# Names outside ASCII travel through the manifest, the URLs and the archives too.
OLD_EXTRA = [
    ("app/res/lang/简体中文.json", "text", 3_000),
    ("docs/更新说明.txt", "text", 1_200),
    ("app/res/skins/默认皮肤/背景.png", "random", 20_000),
]

# Part of the new version only: new folders, an empty file and a non-ASCII name.
NEW_FILES = [
    ("app/plugins/replay/replay.dll", "random", 180_000),
    ("app/plugins/replay/replay.json", "text", 700),
    ("app/plugins/replay/codec.dat", "pattern", 90_000),
    ("app/res/skins/night/theme.qss", "text", 4_000),
    ("data/config/empty.ini", "text", 0),
    ("docs/新功能.txt", "text", 900),
] + [("app/res/skins/night/icon_%02d.png" % i, "random", 1_000 + 500 * i) for i in range(14)] + [
    ("app/res/emotes/new_%02d.gif" % i, "random", 700 + 90 * i) for i in range(8)]

CHANGED_SHARE = 0.12  # of the old data files


def text_bytes(rng, size):
    lines, length = [], 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
        lines.append(line)
        length += len(line) + 1
    return "\n".join(lines).encode()[:size]


def pattern_bytes(rng, size):
    period = bytes(rng.randrange(256) for _ in range(rng.randint(16, 256)))
    data = bytearray(period * (size // len(period) + 1))[:size]
    for _ in range(size // 512):  # a little noise so deflate has work to do
        data[rng.randrange(size)] = rng.randrange(256)
    return bytes(data)


def content(rng, kind, size):
    if kind == "text":
        return text_bytes(rng, size)
    if kind == "pattern":
        return pattern_bytes(rng, size)
    return rng.randbytes(size)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def files_below(root):
    """Relative paths ("/"-separated) of every file below root, sorted."""
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return sorted(found)


def md5(path):
    digest = hashlib.md5()
    with open(path, "rb") as data:
        for piece in iter(lambda: data.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def make_old(root):
    rng = random.Random(SEED)
    count, total = 0, 0
    for folder, kind, number, extension, (low, high) in OLD_LAYOUT:
        stem = os.path.basename(folder)
        for i in range(number):
            data = content(rng, kind, rng.randint(low, high))
            write(os.path.join(root, folder, "%s_%03d.%s" % (stem, i, extension)), data)
            count, total = count + 1, total + len(data)
    for name, kind, size in OLD_EXTRA:
        data = content(rng, kind, size)
        write(os.path.join(root, name), data)
        count, total = count + 1, total + len(data)
    print("old version: %d data files, %.1f MiB" % (count, total / 1048576))


def is_program(name):
    return name.startswith("app/bin/") and (name.endswith(".exe") or ".so" in name)


def changed(rng, name, data):
    """Other bytes for a file of the new version: text grows, binary changes in place or in size."""
    if name.endswith((".ini", ".json", ".qss", ".ts", ".xml", ".txt", ".html")):
        return data + ("\nchanged in 1.5: %s\n" % " ".join(rng.sample(WORDS, 5))).encode()
    mutable = bytearray(data)
    if rng.random() < 0.5 and mutable:
        # Same size, other bytes: only the MD5 can tell the files apart.
        for _ in range(max(1, len(mutable) // 1000)):
            mutable[rng.randrange(len(mutable))] ^= 0x5A
        return bytes(mutable)
    return bytes(mutable[: len(mutable) * 3 // 4]) + rng.randbytes(rng.randint(100, 5_000))


def make_new(old, new):
    shutil.copytree(old, new, symlinks=True)
    rng = random.Random(SEED + 1)
    candidates = [name for name in files_below(new) if not is_program(name)]
    picked = sorted(rng.sample(candidates, round(len(candidates) * CHANGED_SHARE)))
    # One non-ASCII name among the changed files, whatever the draw gave.
    if OLD_EXTRA[0][0] not in picked:
        picked.append(OLD_EXTRA[0][0])
    for name in picked:
        path = os.path.join(new, name)
        with open(path, "rb") as data:
            before = data.read()
        write(path, changed(rng, name, before))
    for name, kind, size in NEW_FILES:
        write(os.path.join(new, name), content(rng, kind, size))
    unchanged = len(files_below(new)) - len(picked) - len(NEW_FILES)
    print("new version: %d changed, %d added, %d unchanged" % (len(picked), len(NEW_FILES), unchanged))


# What a run leaves in the installation besides the new version's files: the updater's
# download folder, the programs' logs, the ".bak" copy of each replaced file, and the stand-in
# assistant's record of its starts.
def is_run_artefact(name):
    return (name.startswith(("app/bin/download/", "app/bin/logs/")) or name.endswith(".bak")
            or name == "app/bin/started.log")


def compare(old, new, root):
    wanted = files_below(new)
    present = set(files_below(root))
    missing = [name for name in wanted if name not in present]
    different = [name for name in wanted if name in present and md5(os.path.join(new, name)) != md5(os.path.join(root, name))]
    extra = [name for name in sorted(present - set(wanted)) if not is_run_artefact(name)]
    print("checked %d files by MD5: %d equal, %d different, %d missing, %d not in the new version"
          % (len(wanted), len(wanted) - len(missing) - len(different), len(different), len(missing), len(extra)))

    # Every file the update replaced keeps the old version's bytes beside it as "<name>.bak".
    replaced = [name for name in files_below(old)
                if os.path.isfile(os.path.join(new, name)) and md5(os.path.join(old, name)) != md5(os.path.join(new, name))]
    backups = sum(1 for name in present if name.endswith(".bak"))
    bad_backups = [name + ".bak" for name in replaced
                   if name + ".bak" not in present or md5(os.path.join(root, name + ".bak")) != md5(os.path.join(old, name))]
    print("%d .bak files; %d of %d replaced files kept their old bytes as .bak"
          % (backups, len(replaced) - len(bad_backups), len(replaced)))
    added = [name for name in wanted if not os.path.isfile(os.path.join(old, name))]
    arrived = set(added + replaced) - set(missing) - set(different)
    print("installed: %d of %d files (%d of %d replaced, %d of %d added)"
          % (len(arrived), len(added) + len(replaced), len(arrived & set(replaced)), len(replaced),
             len(arrived & set(added)), len(added)))

    for label, names in (("different", different), ("missing", missing), ("not in the new version", extra),
                         ("no .bak with the old bytes", bad_backups)):
        for name in names[:20]:
            print("  %s: %s" % (label, name))
        if len(names) > 20:
            print("  ... and %d more %s" % (len(names) - 20, label))
    return 0 if not (missing or different or extra) else 1


def main(argv):
    if len(argv) == 3 and argv[1] == "old":
        make_old(argv[2])
        return 0
    if len(argv) == 4 and argv[1] == "new":
        make_new(argv[2], argv[3])
        return 0
    if len(argv) == 5 and argv[1] == "compare":
        return compare(argv[2], argv[3], argv[4])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
