# KORVADEX_CODEPAGE under wine, sourced by .ci/steps/70-windows.sh within
# its scenarios for one build: korvadex.exe must write, from the same SQLite
# rows, the same download file as the Linux binary in each code page (its
# own tables, and WideCharToMultiByte for 65001 where Linux takes iconv,
# lone surrogates included), and end a strict run with 10 as it does. Uses
# the step's win, wine, wine64, work, base, root, lin_run, win_run, lin_korvadex
# and fail. Once per step, the single-byte tables against WideCharToMultiByte.

echo "-- code pages (KORVADEX_CODEPAGE)"
# The end-to-end tests' rows, and lone surrogates that the SQLite driver
# hands over as they are.
sqlite3 "$base/demo.db" <<'SQL'
DROP TABLE IF EXISTS zeichen;
CREATE TABLE zeichen (id INTEGER, name TEXT, note TEXT);
INSERT INTO zeichen VALUES (1, 'Müller', 'Straße'), (2, 'Zoë € ‘x’', '“Gruß”'), (3, '漢字 Ølbær', NULL),
  (4, 'ØÙÚÛ', '😀yz12'), (5, '  Weiß  ', 'abcdefgh€'), (6, 'a' || char(55296) || 'b', char(57343) || 'z');
SQL
for tree in "$lin_run" "$win_run"; do
  cat >>"$tree/KORVADEX.SQLITE.INI" <<'INI'
[ZEICHEN]
SQL001=SELECT id, name, note FROM zeichen WHERE '$parm01' <> '' ORDER BY id
FELD01=ID
FTYP01=DEC
FLEN01=2
FELD02=NAME
FTYP02=CHAR
FLEN02=8
FELD03=NOTE
FTYP03=TXT
FLEN03=6
INI
done
# What korvadex writes in 1252, as the end-to-end tests expect it, and row 6.
printf '01M\374ller  Stra\337e02o\353 \200 \221x\222\223Gru\337\224'\
'03?? \330lb\346r      04\330\331\332\333    ?yz12 05Wei\337    defgh\20006a?b     ?z    ' >"$work/zeichen-1252.expected"
for codepage in 1252 65001 850 28605; do
  export KORVADEX_CODEPAGE=$codepage
  run "codepage-$codepage" 0 zeichen.dat zeichen.dat ZEICHEN X {} 1
  same "codepage-$codepage" zeichen.dat zeichen.dat
  [ "$codepage" != 1252 ] || cmp -s "$win_run/zeichen.dat" "$work/zeichen-1252.expected" ||
    fail "codepage-1252: zeichen.dat is not the expected file: $(od -c "$win_run/zeichen.dat" | head -5)"
done
export KORVADEX_CODEPAGE=1252 KORVADEX_STRICT=1
cp "$win_run/zeichen.dat" "$work/zeichen-before"
run codepage-strict 10 zeichen.dat zeichen.dat ZEICHEN X {} 1
cmp -s "$win_run/zeichen.dat" "$work/zeichen-before" || fail "codepage-strict: zeichen.dat changed"
unset KORVADEX_CODEPAGE KORVADEX_STRICT

# The tables korvadex encodes with against the system's own converter: the
# same byte for every BMP character, and no character more or less.
if [ ! -f "$base/code_page_dump.txt" ]; then
  x86_64-w64-mingw32-g++-posix -municode -static -O2 -o "$base/code_page_dump.exe" tests/windows/code_page_dump.cpp
  "$wine64" "$base/code_page_dump.exe" | tr -d '\r' | sort >"$base/code_page_dump.txt"
  /usr/bin/python3 - "$root/src/db/code_page_tables.cpp" <<'PY' | sort >"$base/code_page_tables.txt"
import re, sys
for match in re.finditer(r"k(\d+)\[256\] = \{(.*?)\};", open(sys.argv[1]).read(), re.S):
    characters = [int(x, 16) for x in re.findall(r"0x([0-9A-F]{4})", match.group(2))]
    for byte in range(1, 256):
        if characters[byte] != 0xFFFF:
            print("%s %04X %02X" % (match.group(1), characters[byte], byte))
PY
  [ "$(wc -l <"$base/code_page_dump.txt")" -gt 1000 ] || fail "code page tables: the Windows converter gave nothing"
  diff "$base/code_page_dump.txt" "$base/code_page_tables.txt" >"$base/code_page_tables.diff" ||
    fail "code page tables differ from WideCharToMultiByte: $(head -5 "$base/code_page_tables.diff")"
  echo "  code page tables: $(wc -l <"$base/code_page_tables.txt") characters, compared with WideCharToMultiByte"
fi
