#!/usr/bin/env python3
"""The benchmark's peer: the export korvadex makes, written with pyodbc (same
field rules, records sorted by bytes and written back to back)."""
import sys

import pyodbc

# One fetched value carries at most 99 bytes of text, as in korvadex.
SLOT_BYTES = 99
BLANKS = b" \t"


def parse_columns(layout):
    columns = []
    for item in layout.split(","):
        kind, width = item.split(":")
        columns.append((kind, int(width)))
    return columns


def as_bytes(value):
    if value is None:
        return b""
    if isinstance(value, bytes):
        return value[:SLOT_BYTES]
    return str(value).encode("utf-8")[:SLOT_BYTES]


def format_field(value, kind, width):
    if kind == "TXT":
        value = value.rstrip(BLANKS)
    else:
        value = value.strip(BLANKS)
    if width <= 0:
        return b""
    if len(value) >= width:
        # Too long: keep the end, so numbers keep their low digits.
        return value[-width:]
    if kind == "DEC":
        return b"0" * (width - len(value)) + value
    return value + b" " * (width - len(value))


def main():
    if len(sys.argv) != 6:
        sys.exit("usage: peer_export.py CONNECTION_STRING STATEMENT COLUMNS OUTPUT 0|1")
    connection_string, statement, layout, output, replace = sys.argv[1:]
    columns = parse_columns(layout)
    connection = pyodbc.connect(connection_string)
    for sql_type in (pyodbc.SQL_CHAR, pyodbc.SQL_WCHAR):
        connection.setdecoding(sql_type, encoding="utf-8")
    connection.setencoding(encoding="utf-8")
    cursor = connection.cursor()
    cursor.execute(statement)
    records = []
    while True:
        batch = cursor.fetchmany(10000)
        if not batch:
            break
        for row in batch:
            records.append(b"".join(format_field(as_bytes(value), kind, width)
                                    for value, (kind, width) in zip(row, columns)))
    connection.close()
    records.sort()
    if records:
        with open(output, "wb" if replace == "1" else "ab") as out:
            out.write(b"".join(records))
    print("%d records written to %s" % (len(records), output))


if __name__ == "__main__":
    main()
