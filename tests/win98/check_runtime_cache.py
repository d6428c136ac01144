#!/usr/bin/env python3
"""Checks that scripts/build-runtime.sh uses a cached i486 runtime only when it is whole.

In a throwaway cache, an entry for the installed toolchain is laid out by hand (files
of made-up bytes: only the marker's logic is under test, no runtime is built), and
`build-runtime.sh --where`, which the toolchain file asks, must:
  - refuse an empty cache, an entry without its marker (COMPLETE), an entry whose
    marker leaves a file out, and an entry with a file changed after the marker;
  - give the entry's folder when the marker lists every file with its sum.

Usage: check_runtime_cache.py --script scripts/build-runtime.sh --work DIR
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

from check_pe import verdict

FILES = ["crt2.o", "crtbegin.o", "crtend.o", "libgcc.a", "libgcc_eh.a", "libmingw32.a", "libmingwex.a",
         "libmoldname.a", "libmsvcrt.a", "libstdc++.a", "libstdc++fs.a", "libsupc++.a", "BUILD-INFO"]


def where(script, cache):
    run = subprocess.run(["bash", script, "--where"], capture_output=True, text=True,
                         env=dict(os.environ, IRPATCH_RUNTIME_CACHE=cache))
    return run.returncode, run.stdout.strip(), run.stderr.strip()


def lay_out(entry, listed):
    shutil.rmtree(entry, ignore_errors=True)
    os.makedirs(entry)
    lines = []
    for name in FILES:
        data = ("made-up %s\n" % name).encode()
        with open(os.path.join(entry, name), "wb") as f:
            f.write(data)
        if name in listed:
            lines.append("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name))
    with open(os.path.join(entry, "COMPLETE"), "w") as f:
        f.writelines(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--script", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    cache = os.path.realpath(args.work)
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)

    status, _, said = where(args.script, cache)
    found = re.search(r"looked for (\S+)\)", said)
    if status == 0 or not found:
        print("FAIL: an empty cache was not refused: status %d, %r" % (status, said))
        return 1
    entry = found.group(1)

    problems = []
    cases = [
        ("no marker", lambda: (lay_out(entry, FILES), os.remove(os.path.join(entry, "COMPLETE"))), False),
        ("a marker that leaves libstdc++.a out", lambda: lay_out(entry, set(FILES) - {"libstdc++.a"}), False),
        ("a file changed after the marker",
         lambda: (lay_out(entry, FILES), open(os.path.join(entry, "crt2.o"), "ab").write(b"x")), False),
        ("a whole entry", lambda: lay_out(entry, FILES), True),
    ]
    for what, make, usable in cases:
        make()
        status, out, said = where(args.script, cache)
        if usable and (status, out) != (0, entry):
            problems.append("%s: refused (status %d, %r)" % (what, status, said))
        if not usable and status == 0:
            problems.append("%s: used (%r)" % (what, out))
    shutil.rmtree(cache, ignore_errors=True)
    return verdict(problems, [], "only a whole entry of the cache is used")


if __name__ == "__main__":
    sys.exit(main())
