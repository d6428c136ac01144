#!/usr/bin/env python3
"""Writes the release zip and floppy image: the given files in order, then SHA256SUMS of them.

Usage: package.py --out ZIP [--image IMG] --source DIR FILE...

The zip's bytes depend on nothing but the files' names and contents and the time
stamped on every entry: SOURCE_DATE_EPOCH when it is set, else the time of the
last commit of the source folder DIR. Entries are deflated at level 9 and carry
MS-DOS attributes, as a Windows 98 unzipper expects. SHA256SUMS uses
the `sha256sum` format with CRLF line ends, which both `sha256sum -c` and Notepad
read.

The image is a 1.44 MB FAT12 floppy (Debian's mtools) holding the same three files:
how files reach a Windows 98 notebook, or the PC emulator its owner uses. Its
volume label and serial number are fixed, and every time on it (the label's, the
files') is the same release time, written as UTC, so it depends on nothing else
either.
"""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import zipfile

FLOPPY_BYTES = 1474560
VOLUME_LABEL = "IRPATCHK314"
# Any fixed number would do; this one reads "K314", version 1.00.
VOLUME_SERIAL = "03140100"


def release_epoch(source):
    """The time stamped on every entry, in seconds."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                                   check=True, capture_output=True, text=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as error:
            raise SystemExit("package: no SOURCE_DATE_EPOCH and no commit time from git in %s: %s"
                             % (source, error))
    # Zip and FAT times start in 1980 and have a two-second step.
    return max(int(epoch), 315532800) // 2 * 2


def entry(name, stamp):
    """A zip entry as a Windows zipper writes it, stamped with the six time fields."""
    info = zipfile.ZipInfo(name, date_time=stamp)
    info.compress_type = zipfile.ZIP_DEFLATED
    # Made on MS-DOS, attributes "archive" only: what Windows zippers write for an
    # ordinary file (with no attribute at all, Info-ZIP extracts owner-only files).
    info.create_system = 0
    info.external_attr = 0x20
    return info


def write_zip(path, members, epoch):
    partial = path + ".part"
    with zipfile.ZipFile(partial, "w") as zf:
        for name, data in members:
            zf.writestr(entry(name, time.gmtime(epoch)[:6]), data, compresslevel=9)
    os.replace(partial, path)


def write_image(path, members, epoch):
    """A formatted floppy holding the members. mtools takes SOURCE_DATE_EPOCH as the
    time of what it makes (the label) and, with -m, each file's own time, which is set
    to the same; TZ=UTC writes both as the zip's times."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), TZ="UTC", MTOOLSRC="/dev/null")
    partial = path + ".part"
    with tempfile.TemporaryDirectory() as folder:
        files = []
        for name, data in members:
            files.append(os.path.join(folder, name))
            with open(files[-1], "wb") as f:
                f.write(data)
            os.utime(files[-1], (epoch, epoch))
        with open(partial, "wb") as f:
            f.truncate(FLOPPY_BYTES)
        try:
            subprocess.run(["mformat", "-i", partial, "-f", "1440", "-v", VOLUME_LABEL, "-N", VOLUME_SERIAL, "::"],
                           check=True, env=env)
            subprocess.run(["mcopy", "-m", "-i", partial] + files + ["::"], check=True, env=env)
        except (OSError, subprocess.CalledProcessError) as error:
            os.remove(partial)
            raise SystemExit("package: the floppy image could not be written with mtools: %s" % error)
    os.replace(partial, path)


def report(path):
    with open(path, "rb") as f:
        data = f.read()
    print("%s: %d bytes, sha256 %s" % (path, len(data), hashlib.sha256(data).hexdigest()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--image", help="also write the floppy image here")
    parser.add_argument("--source", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    epoch = release_epoch(args.source)
    members = []
    for path in args.files:
        with open(path, "rb") as f:
            members.append((os.path.basename(path), f.read()))
    sums = "".join("%s  %s\r\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in members)
    members.append(("SHA256SUMS", sums.encode("ascii")))

    for path in [args.out] + ([args.image] if args.image else []):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    write_zip(args.out, members, epoch)
    report(args.out)
    if args.image:
        write_image(args.image, members, epoch)
        report(args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
