#!/usr/bin/env python3
"""Checks that scripts/build-runtime.sh uses a cached i486 runtime only when it is whole,
and names its entry after what decides the runtime's bytes.

In a throwaway cache, an entry for the installed toolchain is laid out by hand (files
of made-up bytes: only the marker's logic is under test, no runtime is built), and
`build-runtime.sh --where`, which the toolchain file asks, must:
  - refuse an empty cache, an entry without its marker (COMPLETE), an entry whose
    marker leaves a file out, and an entry with a file changed after the marker;
  - give the entry's folder when the marker lists every file with its sum, at once
    even while a build holds the cache's lock (a build takes minutes).
The entry it looks for, asked of copies of the scripts, must stay the same when a
message of build-runtime.sh changes, and change with a CPU flag of the recipe
(runtime-recipe.sh) or with another version of GCC's sources (a stand-in dpkg-query
reports it).

Usage: check_runtime_cache.py --script scripts/build-runtime.sh --work DIR
"""
import argparse
import fcntl
import hashlib
import os
import re
import shutil
import subprocess
import sys

from check_pe import verdict

FILES = ["crt2.o", "crtbegin.o", "crtend.o", "libgcc.a", "libgcc_eh.a", "libmingw32.a", "libmingwex.a",
         "libmoldname.a", "libmsvcrt.a", "libstdc++.a", "libstdc++fs.a", "libsupc++.a", "BUILD-INFO"]


def where(script, cache, path=None):
    env = dict(os.environ, IRPATCH_RUNTIME_CACHE=cache)
    if path:
        env["PATH"] = path + os.pathsep + env["PATH"]
    try:
        run = subprocess.run(["bash", script, "--where"], capture_output=True, text=True, env=env, timeout=30)
    except subprocess.TimeoutExpired:
        return -1, "", "no answer in 30 s"
    return run.returncode, run.stdout.strip(), run.stderr.strip()


def looked_for(script, cache, path=None):
    """The entry --where looks for in an empty cache, or what it said instead."""
    _, _, said = where(script, cache, path)
    # To the line's last ")": the path may hold blanks (a checkout in "my projects").
    found = re.search(r"\(looked for (.+)\)\s*$", said, re.M)
    return found.group(1) if found else said


def key_problems(script, work, cache, entry):
    """The entry's name follows the recipe and the sources' versions, not the script's text."""
    scripts, copies, fake = os.path.dirname(script), os.path.join(work, "scripts"), os.path.join(work, "bin")
    os.makedirs(fake)
    with open(os.path.join(fake, "dpkg-query"), "w") as f:
        f.write('#!/bin/bash\nout=$(%s "$@") || exit\n[[ ${!#} == gcc-*-source ]] && out+="+fake"\n'
                'printf "%%s\\n" "$out"\n' % shutil.which("dpkg-query"))
    os.chmod(os.path.join(fake, "dpkg-query"), 0o755)
    cases = [  # what, file, a line's pattern, its replacement, PATH ahead, same entry
        ("a changed message in build-runtime.sh", "build-runtime.sh", r'^say\(\) \{ echo "runtime: ',
         'say() { echo "runtime (edited): ', None, True),
        ("a flag added to runtime-recipe.sh's CPU_FLAGS", "runtime-recipe.sh", r'^(CPU_FLAGS="[^"]+)"$',
         r'\1 -mno-mmx"', None, False),
        ("another version of GCC's sources", None, None, None, fake, False),
    ]
    problems = []
    for what, name, pattern, replacement, path, same in cases:
        shutil.rmtree(copies, ignore_errors=True)
        os.makedirs(copies)
        for copy in ("build-runtime.sh", "runtime-recipe.sh"):
            shutil.copy(os.path.join(scripts, copy), copies)
        if name:
            with open(os.path.join(copies, name)) as f:
                text, edits = re.subn(pattern, replacement, f.read(), flags=re.M)
            if edits != 1:
                problems.append("%s: no line of %s matches %r" % (what, name, pattern))
                continue
            with open(os.path.join(copies, name), "w") as f:
                f.write(text)
        got = looked_for(os.path.join(copies, "build-runtime.sh"), cache, path)
        if same and got != entry:
            problems.append("%s: looked for %s instead of %s" % (what, got, entry))
        if not same and got == entry:
            problems.append("%s: looked for the same entry, %s" % (what, got))
        if not same and not got.startswith(cache + os.sep):
            problems.append("%s: --where said %r" % (what, got))
    return problems


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
    work = os.path.realpath(args.work)
    cache = os.path.join(work, "cache")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(cache)

    entry = looked_for(args.script, cache)
    if not entry.startswith(cache + os.sep):
        print("FAIL: an empty cache was not refused with the entry looked for: %r" % entry)
        return 1

    problems = key_problems(os.path.realpath(args.script), work, cache, entry)
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
        if usable and (status, out) == (0, entry):
            with open(os.path.join(cache, ".lock"), "w") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                status, out, said = where(args.script, cache)
            what += " while a build holds the cache's lock"
        if usable and (status, out) != (0, entry):
            problems.append("%s: refused (status %d, %r)" % (what, status, said))
        if not usable and status == 0:
            problems.append("%s: used (%r)" % (what, out))
    shutil.rmtree(work, ignore_errors=True)
    return verdict(problems, [], "only a whole entry of the cache is used, named after what decides its bytes")


if __name__ == "__main__":
    sys.exit(main())
