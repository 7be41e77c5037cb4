#!/usr/bin/env bash
# Remakes the fuzzer's seed corpus in tests/fuzz/corpus: tiny archives of a tiny tree written by
# independent tools (Info-ZIP zip, Python's zipfile, bsdtar, 7z), one per format feature the
# engine reads: deflate, stored, encryption (password "secret"), data descriptors, Zip64 extra
# fields and end records, UTF-8 names, folder entries, Unix and DOS attributes. Each seed stays under 2 KB.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
out="$here/corpus"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC0

cd "$work"
mkdir -p tree/docs/empty tree/说明
printf 'update manifest\n%.0s' $(seq 12) > tree/readme.txt
printf 'version=2.4.1\nchannel=stable\n' > tree/docs/settings.ini
printf '第一版\n' > tree/说明/注意.txt
: > tree/empty.txt
chmod 444 tree/docs/settings.ini
find tree -exec touch -d '2021-07-15 10:20:30' {} +

rm -rf "$out"
mkdir -p "$out"
zip -q -r "$out/zip_deflate.zip" tree
zip -q -r -0 -X "$out/zip_stored_dos_times.zip" tree
zip -q -r -P secret "$out/zip_encrypted.zip" tree
zip -q -r - tree | cat > "$out/zip_streamed.zip"
zip -q - - < tree/readme.txt | cat > "$out/zip_stdin_zip64.zip"
cat tree/readme.txt | zip -q - - > "$out/zip_pipe_zip64_end.zip"
python3 "$here/../zip_interop/make_python_zip.py" tree "$out/python_zipfile.zip"
bsdtar -a -cf "$out/bsdtar.zip" tree
7z a -tzip -bd -bso0 -bsp0 "$out/sevenzip.zip" tree
ls -l "$out"
