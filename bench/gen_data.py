#!/usr/bin/env python3
"""Deterministic benchmark data: writes N rows either into a SQLite file or as
CSV for PostgreSQL's COPY, the same rows in the same (unsorted) order."""
import argparse
import math
import random
import sqlite3
import sys

FIRST = ["Anna", "Bernd", "Carla", "Dieter", "Eva", "Frank", "Gisela", "Hans",
         "Ines", "J\u00fcrgen", "Kai", "Lena", "Marta", "Nils", "\u00d6zlem",
         "Paul", "Rita", "Sven", "Tanja", "Uwe", "Vera", "Wolf", "Yvonne", "Zoe"]
LAST = ["M\u00fcller", "Schmidt", "Schneider", "Fischer", "Weber", "Meyer",
        "Wagner", "Becker", "Schulz", "Hoffmann", "Sch\u00e4fer", "Koch",
        "Bauer", "Richter", "Klein", "Wolf", "Schr\u00f6der", "Neumann",
        "Schwarz", "Zimmermann", "Braun", "Kr\u00fcger", "Hofmann", "Hartmann",
        "Lange", "Schmitt", "Werner", "Krause", "Meier", "Lehmann", "\u00c7elik",
        "Nowak", "Ode\u0107", "Lindqvist-Andersson-Gro\u00dfmann"]
CITIES = ["Berlin", "Hamburg", "M\u00fcnchen", "K\u00f6ln", "Frankfurt am Main",
          "Stuttgart", "D\u00fcsseldorf", "Leipzig", "Dortmund", "Essen",
          "Bremen", "Dresden", "Hannover", "N\u00fcrnberg", "Duisburg", "Bochum",
          "Z\u00fcrich", "Wien", "Gda\u0144sk", "Malm\u00f6", "Saarbr\u00fccken",
          "Garmisch-Partenkirchen", "Villingen-Schwenningen am Neckar"]
WORDS = ["Lieferung", "offen", "bitte", "pr\u00fcfen", "Rechnung", "folgt",
         "Kunde", "ruft", "zur\u00fcck", "Ware", "besch\u00e4digt", "Ersatz",
         "bestellt", "Termin", "verschoben", "OK", "Nachlieferung", "Skonto",
         "2%", "R\u00fccksprache", "mit", "Lager", "erforderlich"]
NOTES = ["Eilauftrag", "Stammkunde", "Abholung", "Vorkasse", "Barzahlung",
         "Lastschrift", "Sperre", "Neukunde", "Gutschrift", "Mahnstufe 1"]

# Free texts are kept below the 99 bytes that one fetched value can carry, so
# every tool under test sees the same values.
MAX_TEXT_BYTES = 95


def blanks(rng):
    return rng.choice(["", "", "", " ", "  ", "\t", " \t "])


def free_text(rng, long_text):
    words = []
    target = rng.randint(60, MAX_TEXT_BYTES) if long_text else rng.randint(5, 50)
    while True:
        word = rng.choice(WORDS)
        candidate = " ".join(words + [word])
        if len(candidate.encode("utf-8")) > target:
            break
        words.append(word)
    return " ".join(words) if words else "x"


def rows(count, seed):
    rng = random.Random(seed)
    # A fixed permutation of the ids, so the table is not stored in key order.
    step = 1000003
    while math.gcd(count, step) != 1:
        step += 2
    for i in range(count):
        row_id = (i * step) % count + 1
        name = blanks(rng) + rng.choice(FIRST) + " " + rng.choice(LAST) + blanks(rng)
        city = blanks(rng) + rng.choice(CITIES) + blanks(rng)
        amount = "%.2f" % (rng.randint(-50000, 5000000) / 100.0)
        if rng.random() < 0.1:
            amount = " " + amount + " "
        booked = "%04d-%02d-%02d" % (rng.randint(2015, 2025), rng.randint(1, 12), rng.randint(1, 28))
        code = rng.choice("ABCDEFGHKLMNPRSTXZ") + str(rng.randint(0, 99))
        note = None if rng.random() < 0.1 else rng.choice(NOTES)
        long_text = rng.random() < 0.2
        remark = blanks(rng) + free_text(rng, long_text) + rng.choice(["", "  ", "\t"])
        yield (row_id, name, city, amount, booked, code, note, remark)


def csv_field(value):
    if value is None:
        return ""
    return '"' + str(value).replace('"', '""') + '"'


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--sqlite", help="SQLite file to create")
    parser.add_argument("--csv", action="store_true", help="CSV rows on standard output")
    args = parser.parse_args()
    if args.sqlite:
        db = sqlite3.connect(args.sqlite)
        db.execute("PRAGMA journal_mode=OFF")
        db.execute("PRAGMA synchronous=OFF")
        db.execute("CREATE TABLE bench_rows (id INTEGER, name TEXT, city TEXT, amount TEXT,"
                   " booked TEXT, code TEXT, note TEXT, remark TEXT)")
        db.executemany("INSERT INTO bench_rows VALUES (?,?,?,?,?,?,?,?)", rows(args.rows, args.seed))
        db.commit()
        db.close()
    elif args.csv:
        out = sys.stdout
        for row in rows(args.rows, args.seed):
            out.write(",".join(csv_field(v) for v in row) + "\n")
    else:
        parser.error("give --sqlite FILE or --csv")


if __name__ == "__main__":
    main()
