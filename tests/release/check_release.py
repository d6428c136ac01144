#!/usr/bin/env python3
"""Checks of the release package (scripts/release.sh).

  check_release.py notes LISEZMOI.TXT
      The notes open in Windows 98's Notepad as the French text they are meant to
      be: Windows-1252, CRLF line ends, short lines, the boxes' texts as shown,
      the steps in their order, French typography in the notes' own text.
  check_release.py reproducible --source DIR --work DIR
      Releases twice, each time from a fresh build folder, the second in a folder
      with a blank in its name and with the i486 runtime's cache in another place,
      and checks that the two zips and the two floppy images are the same bytes,
      hold what they should, and name no local folder.
Exit status 0 when every check passes, 1 otherwise.
"""
import argparse
import hashlib
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

# The package of version 1.00, as its users will find it named.
ZIP_NAME = "IRPatch-K314-W98-FRN-1.00.zip"
IMAGE_NAME = "IRPatch-K314-W98-FRN-1.00.img"
# Notepad on Windows 98 shows lines unwrapped and opens files up to 64 KiB.
WIDTH = 76
NOTEPAD_MAX = 65535
FLOPPY = 1457664
# A formatted 1.44 MB floppy: 2880 sectors of 512 bytes, FAT12, with the label and
# serial number the release gives it (the serial as the boot sector stores it).
IMAGE_BYTES = 1474560
IMAGE_LABEL = b"IRPATCHK314"
IMAGE_SERIAL = 0x03140100

# The program's own texts as the notes quote them: its boxes' texts and titles,
# misspellings included, with their own spacing.
PROGRAM_TEXTS = [
    "Se système n'est pas un RDA-K314(FR)!",
    "Patch arreté",
    "Pour terminer l'installation, votre ordinateur va redémarer.",
    "Redémarage",
    "Run-time error '26001':",
    "Failed to delete registry Key: 'Enum\\BIOS'",
    "ERROR # 7 : Out of memory",
    "Please exit and try again.",
]
# The error report of a refused write, as the notes give it with its parts named.
SET_VALUE_TEXT = r"Failed to set registry value Key: '[^']*',Section: '[^']*',Key: '[^']*' to value: '[^']*'"
NBSP = "\u00a0"


def quoted(text):
    """text as the notes quote it: in « » with a non-breaking space inside each."""
    return "«" + NBSP + text + NBSP + "»"


# Texts the notes must carry, each on one line: the program's texts above, and what
# the notes promise a user (the version, a back-up first and its date, what Windows
# does at the restart and where its files are, the power button, what to look for
# after in the Device Manager's own words, the refusal's rule, what a restore puts
# back, the sums' commands), in the notes' own French.
EXPECTED_LINES = PROGRAM_TEXTS + [
    "IRPatch-K314-W98-FRN, version 1.00",
    quoted("Patch arreté"),
    quoted("Redémarage"),
    "HKLM\\Enum\\BIOS",
    quoted("scanreg"),
    quoted("scanreg /restore"),
    quoted("Redémarrer en mode MS-DOS"),
    "À quoi sert ce correctif",
    "Vérifier le résultat",
    "HKEY_LOCAL_MACHINE\\Enum\\ACPI\\*KMO7001\\0",
    quoted("Kemo Fast Infrared Port"),
    quoted("Model=RDA-K314 FRN"),
    "Windows 98 Deuxième Édition (98 SE)",
    "Windows installé dans le dossier C:\\Windows",
    "C:\\Windows\\system\\Oeminfo.ini que le fabricant y a mis",
    quoted("Nouveau matériel détecté"),
    "C:\\Windows\\Options\\Cabs",
    "N'éteignez jamais l'ordinateur par son bouton",
    quoted("Cartes réseau"),
    quoted("Ce périphérique fonctionne correctement"),
    quoted("nomane"),
    "scanregw",
    "System.ini et Win.ini",
    "Revenir en arrière",
    "486DX",
    quoted("certutil -hashfile \"Patch_IR_K314(FR).exe\" SHA256"),
]
# The steps of the instructions that must come in this order: the back-up before the
# copy, the way back on paper before the start (MS-DOS mode has no Notepad), the check
# after it.
STEPS = [
    "1. Sauvegardez le Registre.",
    "2. Copiez Patch_IR_K314(FR).exe de la disquette sur le disque dur",
    "3. Imprimez ou recopiez sur papier la partie",
    "4. Double-cliquez sur Patch_IR_K314(FR).exe.",
    "6. Vérifiez le résultat",
]
# French typography in the notes' own text: a non-breaking space before : ; ! ? and
# inside « ». Checked on each paragraph joined into one line, the program's texts
# taken out first.
TYPOGRAPHY = [
    (r" [:;!?]", "a plain space before a colon, semicolon, ! or ? (French wants a non-breaking one)"),
    (r"[^\s][;!?]|[^\W\d_]:\s", "no space before a colon, semicolon, ! or ?"),
    ("«(?!%s)|(?<!%s)»" % (NBSP, NBSP), "no non-breaking space inside « »"),
    (r"\d (Mo|Ko|octets)\b", "a plain space between a number and its unit"),
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
    found = [next((n for n, line in enumerate(lines) if step in line), None) for step in STEPS]
    for step, at in zip(STEPS, found):
        if at is None:
            problems.append("no line holds the step %r" % step)
    if None not in found and found != sorted(found):
        problems.append("the steps are not in the order %r" % STEPS)
    return problems + typography(text)


def typography(text):
    """Where the notes' own French lacks its non-breaking spaces."""
    prose = re.sub(r" *\r\n *", " ", text)
    for quoted in PROGRAM_TEXTS:
        prose = prose.replace(quoted, "\0")
    prose = re.sub(SET_VALUE_TEXT, "\0", prose)
    problems = []
    for pattern, what in TYPOGRAPHY:
        for match in re.finditer(pattern, prose):
            problems.append("%s: %r" % (what, prose[max(0, match.start() - 30):match.end() + 10]))
    return problems


def release(source, work, name, env=None):
    """Runs scripts/release.sh in work/name; returns (build folder, dist folder)."""
    build, dist = os.path.join(work, name, "build"), os.path.join(work, name, "dist")
    run = subprocess.run(["bash", os.path.join(source, "scripts", "release.sh"), "--build", build, "--out", dist],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
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


def check_image(image, members):
    """The floppy image: its size and boot sector, and the same three files as the zip."""
    problems = []
    if len(image) != IMAGE_BYTES:
        return ["floppy image of %d bytes, expected %d" % (len(image), IMAGE_BYTES)]
    sectors, fs_type = struct.unpack_from("<H", image, 19)[0], image[54:62]
    serial, label = struct.unpack_from("<I", image, 39)[0], image[43:54]
    if (sectors, fs_type) != (2880, b"FAT12   "):
        problems.append("the image is %d sectors of %r, expected a 2880-sector FAT12 floppy" % (sectors, fs_type))
    if (serial, label) != (IMAGE_SERIAL, IMAGE_LABEL):
        problems.append("volume serial 0x%08X and label %r, expected 0x%08X and %r"
                        % (serial, label, IMAGE_SERIAL, IMAGE_LABEL))
    with tempfile.NamedTemporaryFile(suffix=".img") as f:
        f.write(image)
        f.flush()
        listing = subprocess.run(["mdir", "-b", "-i", f.name, "::"], capture_output=True, text=True).stdout
        names = sorted(line.rsplit("/", 1)[-1] for line in listing.splitlines() if line.strip())
        if names != sorted(MEMBERS):
            return problems + ["the image holds %r, expected %r" % (names, sorted(MEMBERS))]
        for name in MEMBERS:
            data = subprocess.run(["mcopy", "-n", "-i", f.name, "::" + name, "-"], capture_output=True).stdout
            if data != members[name]:
                problems.append("the image's %s is not the zip's" % name)
    return problems


def read(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def reproducible(source, work):
    source = os.path.realpath(source)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    work = os.path.realpath(work)

    # Two folders of different names and lengths, one release after the other; the
    # second's name holds a blank, which the compiler's path maps must take as one
    # argument each. The second links a copy of the i486 runtime kept elsewhere, in a
    # folder whose path sorts before /usr where the first's (root's /usr/local/lib, or
    # the worker's own) may sort after it: ld orders the import tables by the paths it
    # is given, and a user's ~/.cache must give the bytes root's cache gives.
    build_a, dist_a = release(source, work, "a")
    entry = subprocess.run(["bash", os.path.join(source, "scripts", "build-runtime.sh"), "--where"],
                           stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    elsewhere = tempfile.mkdtemp(prefix="irpatch-cache-", dir="/tmp")
    try:
        shutil.copytree(entry, os.path.join(elsewhere, os.path.basename(entry)))
        _, dist_b = release(source, work, "second release", dict(os.environ, IRPATCH_RUNTIME_CACHE=elsewhere))
    finally:
        shutil.rmtree(elsewhere, ignore_errors=True)
    listed = sorted(os.listdir(dist_a)), sorted(os.listdir(dist_b))
    expected = sorted([ZIP_NAME, IMAGE_NAME])
    if listed != (expected, expected):
        return ["the releases wrote %r and %r, expected %s" % (listed[0], listed[1], expected)]
    zip_a, zip_b = read(dist_a, ZIP_NAME), read(dist_b, ZIP_NAME)
    exe, notes = read(build_a, MEMBERS[0]), read(os.path.join(source, "release"), "LISEZMOI.TXT")
    problems = [] if zip_a == zip_b else compare(zip_a, zip_b)
    image_a, image_b = read(dist_a, IMAGE_NAME), read(dist_b, IMAGE_NAME)
    if image_a != image_b:
        problems.append("the two floppy images differ (first at byte %d)" % first_difference(image_a, image_b))
    problems += check_zip(zip_a, exe, notes, [source, work])
    with zipfile.ZipFile(io.BytesIO(zip_a)) as zf:
        members = {name: zf.read(name) for name in zf.namelist()}
    return problems + check_image(image_a, members)


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
                        else "two releases, byte for byte the same zips and floppy images, hold the program, its notes and their sums"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
