#!/usr/bin/env python3
"""Writes the release zip: the given files in the given order, then SHA256SUMS of them.

Usage: package.py --out ZIP --source DIR FILE...

The zip's bytes depend on nothing but the files' names and contents and the time
stamped on every entry: SOURCE_DATE_EPOCH when it is set, else the time of the
last commit of the source folder DIR. Entries are deflated at level 9 and carry
MS-DOS attributes, as a Windows 98 unzipper expects. SHA256SUMS uses
the `sha256sum` format with CRLF line ends, which both `sha256sum -c` and Notepad
read.
"""
import argparse
import hashlib
import os
import subprocess
import sys
import time
import zipfile


def release_time(source):
    """The time stamped on every entry, as the six fields zip stores (UTC)."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                                   check=True, capture_output=True, text=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as error:
            raise SystemExit("package: no SOURCE_DATE_EPOCH and no commit time from git in %s: %s"
                             % (source, error))
    # Zip times start in 1980 and have a two-second step.
    return time.gmtime(max(int(epoch), 315532800) // 2 * 2)[:6]


def entry(name, stamp):
    info = zipfile.ZipInfo(name, date_time=stamp)
    info.compress_type = zipfile.ZIP_DEFLATED
    # Made on MS-DOS, attributes "archive" only: what Windows zippers write for an
    # ordinary file (with no attribute at all, Info-ZIP extracts owner-only files).
    info.create_system = 0
    info.external_attr = 0x20
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    stamp = release_time(args.source)
    members = []
    for path in args.files:
        with open(path, "rb") as f:
            members.append((os.path.basename(path), f.read()))
    sums = "".join("%s  %s\r\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in members)
    members.append(("SHA256SUMS", sums.encode("ascii")))

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    partial = args.out + ".part"
    with zipfile.ZipFile(partial, "w") as zf:
        for name, data in members:
            zf.writestr(entry(name, stamp), data, compresslevel=9)
    os.replace(partial, args.out)

    with open(args.out, "rb") as f:
        data = f.read()
    print("%s: %d bytes, sha256 %s" % (args.out, len(data), hashlib.sha256(data).hexdigest()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
