#!/usr/bin/env python3
"""Writes a text index code table of the engine: jet/format/collation/general_legacy.txt
(the General sort order as Access 2000-2003 wrote it, "legacy") or
jet/format/collation/general.txt (the General sort order of Access 2010 and later).

The codes are facts about the file format, published with Jackcess
(Apache-2.0) as two resource files per sort order: index_codes_genleg.txt and
index_codes_ext_genleg.txt (legacy), index_codes_gen.txt and
index_codes_ext_gen.txt (General); the first covers U+0000-U+00FF, the
second U+0100-U+FFFF with the surrogates left out, one line per character.
This script reads those files and writes the same facts in the engine's own,
shorter layout (see the head of the output). Run it with the sort order and
the folder that holds the files:

    scripts/collation/make_table.py legacy FOLDER > jet/format/collation/general_legacy.txt
    scripts/collation/make_table.py general FOLDER > jet/format/collation/general.txt
"""
import sys
from pathlib import Path

KINDS = {"X": "ignore", "S": "code", "I": "accent", "U": "control", "P": "modifier",
         "Z": "wide", "G": "significant"}

# Units whose code in the tables is what they get alone: after another
# character Access repeats that character's sort bytes for them (seen in keys
# Access wrote in real files). By sort order.
REPEATS = {"legacy": {0x0651}, "general": set()}
# The kana prolonged sound mark, whose sort bytes Access takes from the vowel
# of the kana before it (seen in keys Access wrote in real files).
PROLONGED = {"legacy": {0x30FC}, "general": set()}


def hexbytes(s):
    return s if len(s) % 2 == 0 else "0" + s


def units():
    """Yields (unit, kind letter, fields) for every unit but the surrogates."""
    kind = sys.argv[1]
    if kind not in ("legacy", "general"):
        sys.exit("the sort order is legacy or general")
    suffix = "genleg" if kind == "legacy" else "gen"
    folder = Path(sys.argv[2])
    base = (folder / f"index_codes_{suffix}.txt").read_text("ascii").splitlines()
    ext = (folder / f"index_codes_ext_{suffix}.txt").read_text("ascii").splitlines()
    cps = [c for c in range(0x10000) if not 0xD800 <= c <= 0xDFFF]
    lines = base + ext
    if len(lines) != len(cps):
        sys.exit(f"expected {len(cps)} lines, found {len(lines)}")
    for cp, line in zip(cps, lines):
        yield cp, line[0], line[1:].split(",") if len(line) > 1 else []


def entries():
    for cp, k, f in units():
        if k == "X":
            yield cp, "ignore", []
        elif cp in PROLONGED[sys.argv[1]]:
            yield cp, "prolonged", []
        elif k == "S" and cp in REPEATS[sys.argv[1]]:
            yield cp, "repeat", [hexbytes(f[0])]
        elif k in "SUPG":
            yield cp, KINDS[k], [hexbytes(f[0])]
        elif k == "I":
            yield cp, "accent", [hexbytes(f[0]), hexbytes(f[1])]
        elif k == "Z":
            yield cp, "wide", [hexbytes(f[0]), hexbytes(f[1]) if f[1] else "-",
                               "1" if f[2] == "1" else "2"]
        else:
            sys.exit(f"unknown kind {k} at U+{cp:04X}")


def main():
    out = sys.stdout
    out.write(HEAD_LEGACY if sys.argv[1] == "legacy" else HEAD_GENERAL)
    pending = None  # (first, last, kind, fields) of a run being collected

    def flush():
        if pending is None:
            return
        first, last, kind, fields = pending
        span = f"{first:04X}" if first == last else f"{first:04X}..{last:04X}"
        if kind == "code" and first != last:
            kind = "run"
        out.write(" ".join([span, kind] + fields) + "\n")

    for cp, kind, fields in entries():
        if pending is not None:
            first, last, pkind, pfields = pending
            if cp == last + 1 and kind == pkind:
                if kind == "ignore":
                    pending = (first, cp, kind, pfields)
                    continue
                if kind == "code":
                    width = len(pfields[0])
                    want = int(pfields[0], 16) + (cp - first)
                    if len(fields[0]) == width and int(fields[0], 16) == want:
                        pending = (first, cp, kind, pfields)
                        continue
        flush()
        pending = (cp, cp, kind, fields)
    flush()


LAYOUT = """\
# One line per UTF-16 unit or run of units: SPAN KIND FIELDS, SPAN = XXXX or
# XXXX..YYYY (hex), byte strings in hex. A unit not listed is ignored.
#   ignore          adds nothing to the key
#   code B          sort bytes B in the text section
#   run B           SPAN of units; the first gets B, each next one B+1
#   accent B A      sort bytes B, accent bytes A in the accent section
#   control C       no sort bytes; C in the control section
#   modifier M      no sort bytes; M is added to the last accent byte
#   wide B A F      sort bytes B, accent bytes A ('-' none), width flag F (1 or 2)
#   significant B   sort bytes B
"""

HEAD_LEGACY = """\
# Text index codes of the General sort order, legacy version (sort order
# 1033, version 0: Access 2000-2003 and the Jet 4 files of later versions).
#
# Source: the index code tables published with Jackcess (Apache-2.0),
# index_codes_genleg.txt and index_codes_ext_genleg.txt, rewritten into this
# layout by scripts/collation/make_table.py. Surrogates (D800..DFFF) are not
# listed: their codes are computed.
#
""" + LAYOUT + """\
#   repeat B        the sort bytes of the character before it again; B when
#                   it comes first (Jackcess's tables give B alone: a key
#                   Access wrote in a real file, with the Arabic shadda after
#                   a letter, repeats that letter's sort bytes)
#   prolonged       the kana prolonged sound mark (U+30FC): the sort bytes of
#                   the vowel of the kana before it, and a code of its own
#                   in the kana section (Jackcess's tables give 4A; keys
#                   Access wrote in real files, the mark after a, e and o
#                   kana, show the vowel)
"""

HEAD_GENERAL = """\
# Text index codes of the General sort order of Access 2010 and later (sort
# order 1033, version 1).
#
# Source: the index code tables published with Jackcess (Apache-2.0),
# index_codes_gen.txt and index_codes_ext_gen.txt, rewritten into this
# layout by scripts/collation/make_table.py. Surrogates (D800..DFFF) are not
# listed: their codes are computed.
#
""" + LAYOUT

if __name__ == "__main__":
    main()
