#!/usr/bin/env python3
"""Checks of the release package (scripts/release.sh).

  check_release.py notes LISEZMOI.TXT
      The notes open in Windows 98's Notepad as the French text they are meant to
      be: Windows-1252, CRLF line ends, short lines, the boxes' texts as shown.
  check_release.py reproducible --source DIR --work DIR
      Releases twice, each time from a fresh build folder, and checks that the two
      zips are the same bytes, hold what they should, and name no local folder.
Exit status 0 when every check passes, 1 otherwise.
"""
import argparse
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import zipfile

# The package of version 1.00, as its users will find it named.
ZIP_NAME = "IRPatch-K314-W98-FRN-1.00.zip"
# Notepad on Windows 98 shows lines unwrapped and opens files up to 64 KiB.
WIDTH = 76
NOTEPAD_MAX = 65535
FLOPPY = 1457664

# Texts the notes must carry, each on one line. The boxes' texts are the
# program's own, misspellings included; the rest is the notes' own French.
EXPECTED_LINES = [
    "Se système n'est pas un RDA-K314(FR)!",
    "« Patch arreté »",
    "Pour terminer l'installation, votre ordinateur va redémarer.",
    "« Redémarage »",
    "Run-time error '26001':",
    "Failed to delete registry Key: 'Enum\\BIOS'",
    "ERROR # 7 : Out of memory",
    "Please exit and try again.",
    "HKLM\\Enum\\BIOS",
    "scanreg /restore",
    "« Redémarrer en mode MS-DOS »",
    "À quoi sert ce correctif",
    "Revenir en arrière",
]
# What UTF-8 bytes of accented letters and guillemets look like read as Windows-1252.
MOJIBAKE = ["Ã", "Â", "â€", "ï»¿"]

MEMBERS = ["Patch_IR_K314(FR).exe", "LISEZMOI.TXT", "SHA256SUMS"]


def check_notes(data):
    problems = []
    try:
        text = data.decode("cp1252")
    except UnicodeDecodeError as error:
        return ["not Windows-1252: %s" % error]
    if len(data) > NOTEPAD_MAX:
        problems.append("%d bytes, more than Notepad opens" % len(data))
    if not data.endswith(b"\r\n") or b"\r" in data.replace(b"\r\n", b"") or b"\n" in data.replace(b"\r\n", b""):
        problems.append("a line does not end with CR LF")
    lines = re.split(r"\r\n|\r|\n", text)
    for number, line in enumerate(lines, 1):
        if len(line) > WIDTH or "\t" in line:
            problems.append("line %d: longer than %d columns or has a tab: %r" % (number, WIDTH, line))
    for bad in MOJIBAKE:
        if bad in text:
            problems.append("%r: UTF-8 read as Windows-1252" % bad)
    for expected in EXPECTED_LINES:
        if not any(expected in line for line in lines):
            problems.append("no line holds %r" % expected)
    return problems


def release(source, work, name):
    """Runs scripts/release.sh in work/name; returns (build folder, dist folder)."""
    build, dist = os.path.join(work, name, "build"), os.path.join(work, name, "dist")
    run = subprocess.run(["bash", os.path.join(source, "scripts", "release.sh"), "--build", build, "--out", dist],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(run.stdout[-2000:])
    if run.returncode != 0:
        raise SystemExit("FAIL: scripts/release.sh ended with status %d" % run.returncode)
    return build, dist


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def compare(zip_a, zip_b):
    """Where two zips differ: the members that differ and their first differing byte."""
    problems = ["the two zips differ (first at byte %d)" % first_difference(zip_a, zip_b)]
    with zipfile.ZipFile(io.BytesIO(zip_a)) as za, zipfile.ZipFile(io.BytesIO(zip_b)) as zb:
        for info in za.infolist():
            other = zb.getinfo(info.filename)
            a, b = za.read(info), zb.read(other)
            if a != b:
                problems.append("%s differs from byte %d" % (info.filename, first_difference(a, b)))
            if info.date_time != other.date_time:
                problems.append("%s: times %r and %r" % (info.filename, info.date_time, other.date_time))
    return problems


def check_zip(data, exe, notes, folders):
    problems = []
    if len(data) > FLOPPY:
        problems.append("zip of %d bytes does not fit a 1.44 MB floppy" % len(data))
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        names = zf.namelist()
        if names != MEMBERS:
            return problems + ["zip holds %r, expected %r" % (names, MEMBERS)]
        members = {name: zf.read(name) for name in names}
    if members["Patch_IR_K314(FR).exe"] != exe:
        problems.append("the zip's program is not the one built")
    if members["LISEZMOI.TXT"] != notes:
        problems.append("the zip's LISEZMOI.TXT is not release/LISEZMOI.TXT byte for byte")
    sums = "".join("%s  %s\r\n" % (hashlib.sha256(members[n]).hexdigest(), n) for n in MEMBERS[:2])
    if members["SHA256SUMS"] != sums.encode("ascii"):
        problems.append("SHA256SUMS is %r, expected %r" % (members["SHA256SUMS"], sums))
    for folder in folders:
        if folder.encode() in exe:
            problems.append("the program names the folder %s" % folder)
    return problems


def reproducible(source, work):
    source = os.path.realpath(source)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    work = os.path.realpath(work)
    zip_name = ZIP_NAME

    # Two folders of different names and lengths, one release after the other.
    (build_a, dist_a), (_, dist_b) = release(source, work, "a"), release(source, work, "second")
    listed = sorted(os.listdir(dist_a)), sorted(os.listdir(dist_b))
    if listed != ([zip_name], [zip_name]):
        return ["the releases wrote %r and %r, expected %s" %
                (listed[0], listed[1], zip_name)]
    with open(os.path.join(dist_a, zip_name), "rb") as f:
        zip_a = f.read()
    with open(os.path.join(dist_b, zip_name), "rb") as f:
        zip_b = f.read()
    with open(os.path.join(build_a, MEMBERS[0]), "rb") as f:
        exe = f.read()
    with open(os.path.join(source, "release", "LISEZMOI.TXT"), "rb") as f:
        notes = f.read()
    problems = [] if zip_a == zip_b else compare(zip_a, zip_b)
    return problems + check_zip(zip_a, exe, notes, [source, work])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("notes").add_argument("path")
    rep = sub.add_parser("reproducible")
    rep.add_argument("--source", required=True)
    rep.add_argument("--work", required=True)
    args = parser.parse_args()

    if args.command == "notes":
        with open(args.path, "rb") as f:
            problems = check_notes(f.read())
    else:
        problems = reproducible(args.source, args.work)
    for problem in problems:
        print("FAIL: " + problem)
    if not problems:
        print("OK: " + ("the notes read as French in Notepad" if args.command == "notes"
                        else "two releases, byte for byte the same, hold the program, its notes and their sums"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
