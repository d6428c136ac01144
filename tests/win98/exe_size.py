#!/usr/bin/env python3
"""Prints the size of the program file against its goal of 128 KiB.

Usage: exe_size.py EXE [--limit BYTES]
Without --limit it only reports; with it, a file above the limit fails (status 1).
"""
import argparse
import os
import sys

GOAL = 128 * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--limit", type=int)
    args = parser.parse_args()
    size = os.path.getsize(args.exe)
    verdict = "within" if size <= GOAL else "above"
    limit = "" if args.limit is None else ", limit %d bytes" % args.limit
    print("%s: %d bytes (%.1f KiB), %s the %d KiB goal%s"
          % (os.path.basename(args.exe), size, size / 1024.0, verdict, GOAL // 1024, limit))
    if args.limit is not None and size > args.limit:
        print("FAIL: above the limit of %d bytes" % args.limit)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
