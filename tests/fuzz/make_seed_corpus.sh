#!/usr/bin/env bash
# Writes the fuzzers' seed corpus into tests/fuzz/corpus/. The files are committed; run
# this again only to change them. Fixed dates and modes keep the output the same.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lines=$here/corpus/version_line zips=$here/corpus/extract
rm -rf "$lines" "$zips"
mkdir -p "$lines" "$zips"

# Version files: the good line with each ending, lengths next to 12, a byte order mark,
# blanks and underscores, months the parser cannot name, a second line, nothing at all.
printf '1.0 20190315\n' >"$lines/lf"
printf '1.0 20190315\r\n' >"$lines/crlf"
printf '1.0 20190315' >"$lines/no_newline"
printf '1.0 20190315\r' >"$lines/cr_only"
printf '1.0 2019031\n' >"$lines/eleven"
printf '1.0 201903150\n' >"$lines/thirteen"
printf '\357\273\2771.0 20190315\n' >"$lines/bom"
printf 'a b_2019 715\r\n' >"$lines/blanks"
printf '1.0 20191315\n' >"$lines/month_13"
printf '1.0 2019-115\n' >"$lines/month_sign"
printf '1.0 2019\t915\n' >"$lines/month_tab"
printf 'r7b.20180704\nab_c20191201\n' >"$lines/two_lines"
: >"$lines/empty"

# Packages made by the zip command: a nested tree, and a symbolic link stored as one.
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/Top/details/lib"
printf '#!/bin/sh\necho game\n' >"$tree/Top/details/Quarvel.exe"
printf 'library' >"$tree/Top/details/lib/a.dll"
: >"$tree/Top/empty.txt"
chmod 755 "$tree/Top/details/Quarvel.exe"
chmod 644 "$tree/Top/details/lib/a.dll" "$tree/Top/empty.txt"
ln -s ../../outside "$tree/Top/details/link"
find "$tree" -exec touch -h -d '2019-03-15 12:00:00 UTC' {} +
(cd "$tree" && TZ=UTC zip -qrX "$zips/nested.zip" Top -x Top/details/link)
(cd "$tree" && TZ=UTC zip -qyX "$zips/symlink.zip" Top/ Top/details/ Top/details/link)

# Packages only Python writes: chosen order, names, methods and modes, no entries, and
# an entry that declares far more than any disk holds.
python3 - "$zips" <<'PY'
import struct, sys, warnings, zipfile, zlib

warnings.simplefilter("ignore")  # the duplicate name below is meant

def package(file, entries, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(f"{sys.argv[1]}/{file}", "w") as z:
        for name, data, mode, *how in entries:
            info = zipfile.ZipInfo(name, date_time=(2019, 3, 15, 12, 0, 0))
            info.create_system, info.external_attr = 3, mode << 16  # Unix, so the mode is read back
            z.writestr(info, data, how[0] if how else method)

# One deflated entry whose zip64 header declares a size of its own choosing.
def declaring(file, name, data, declared):
    name, packed = name.encode(), zlib.compress(data)[2:-4]
    sizes = struct.pack("<HHQQ", 1, 16, declared, len(packed))
    common = (45, 0, 8, 0, 0x4E6F, zlib.crc32(data), 0xFFFFFFFF, 0xFFFFFFFF, len(name), len(sizes))
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, *common) + name + sizes
    central = struct.pack("<IH", 0x02014B50, 0x0300 | 45) + struct.pack("<HHHHHIIIHH", *common)
    central += struct.pack("<HHHII", 0, 0, 0, 0o100644 << 16, 0) + name + sizes
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(packed), 0)
    with open(f"{sys.argv[1]}/{file}", "wb") as out:
        out.write(local + packed + central + end)

top = ("Top/", b"", 0o40755)
package("stored_and_deflated.zip", [top, ("Top/stored.bin", b"stored data", 0o100644, zipfile.ZIP_STORED),
                                    ("Top/deflated.txt", b"Quarvel " * 40, 0o100600)])
package("dotdot.zip", [top, ("Top/../escaped.txt", b"outside", 0o100644)])
package("backslash_dotdot.zip", [top, ("Top/..\\escaped.txt", b"outside", 0o100644)])
package("file_before_folder.zip", [("Top/sub/a.txt", b"early", 0o100644), top, ("Top/sub/", b"", 0o40700),
                                   ("Top/sub/b.txt", b"late", 0o104755)])
package("root_file_and_duplicates.zip", [("readme.txt", b"root", 0o100644), top, ("Top/a.txt", b"first", 0o100444),
                                         ("Top/a.txt", b"second", 0)])
package("odd_names.zip", [top, ("/Top/absolute.txt", b"a", 0o100644), ("Top/./dot.txt", b"d", 0o100644),
                          ("Top/control\x01.txt", b"c", 0o100644)])
package("zero_entries.zip", [])
declaring("declares_a_terabyte.zip", "Top/huge.bin", b"x" * 100, 1 << 40)
PY
