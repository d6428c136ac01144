#!/usr/bin/env python3
"""host32.py where its probe cannot run: a folder that cannot be made, and a TMPDIR
mounted noexec (in a private mount namespace, gone with it). Neither may read as
"32-bit programs do not run", which would have scripts/setup.sh install QEMU for
nothing: with no folder left the answer is "cannot try", with each folder's reason;
with a folder left the probe goes on to it and gives the machine's real answer.
    test_host32.py --work DIR
Exit status 0 when every check passes, 1 otherwise.
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host32  # noqa: E402


def check_cannot_try(folders, reasons):
    """How host32 answers with only `folders` to probe in: "cannot try", naming each
    folder with its reason."""
    status, text = host32.how(folders)
    problems = [] if status == host32.CANNOT_TRY else ["status %d (%s), expected %d" % (status, text, host32.CANNOT_TRY)]
    if not text.startswith("cannot try"):
        problems.append("the answer %r does not say the probe could not be tried" % text)
    problems += ["the answer %r does not say %r" % (text, r) for r in reasons if r not in text]
    return problems


def check_goes_on(unusable, usable, expected):
    """A folder that cannot be used ahead of one that can: the answer of the latter."""
    answer = host32.how([unusable, usable])
    return [] if answer == expected else ["with %s first, answered %r, not %r" % (unusable, answer, expected)]


def in_namespace(noexec):
    """Run inside the mount namespace where `noexec` is a noexec tmpfs."""
    usable = os.path.join(os.path.dirname(noexec), "usable")
    os.makedirs(usable, exist_ok=True)
    expected = host32.how([usable])
    problems = check_cannot_try([noexec], [noexec + ": mounted noexec"])
    problems += check_goes_on(noexec, usable, expected)
    # As a command, with TMPDIR there: the other folders are tried.
    run = subprocess.run([sys.executable, host32.__file__], capture_output=True, text=True,
                         env=dict(os.environ, TMPDIR=noexec))
    if (run.returncode, run.stdout.strip()) != expected:
        problems.append("host32.py with TMPDIR=%s said %r (status %d), not %r"
                        % (noexec, run.stdout.strip(), run.returncode, expected))
    return problems


def noexec_case(work):
    """Mounts a noexec tmpfs in a private mount namespace (a user namespace too for a
    user other than root) and runs in_namespace there."""
    noexec = os.path.join(work, "noexec")
    os.makedirs(noexec)
    unshare = ["unshare", "--mount", "--propagation", "private"] + (["--map-root-user"] if os.geteuid() else [])
    script = 'mount -t tmpfs -o noexec,size=1m tmpfs "$1" && echo mounted && exec "$2" "$3" --in-namespace "$1"'
    run = subprocess.run(unshare + ["sh", "-c", script, "sh", noexec, sys.executable, os.path.abspath(__file__)],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(run.stdout, end="")
    if not run.stdout.startswith("mounted\n"):
        # No private mount namespace to be had here: the noexec case cannot be set up
        # without changing the machine's own mounts.
        print("SKIP: the noexec case (no private mount namespace here)")
        return []
    return [] if run.returncode == 0 else ["the noexec case failed (status %d)" % run.returncode]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work")
    parser.add_argument("--in-namespace", metavar="NOEXEC")
    args = parser.parse_args()
    if args.in_namespace:
        problems = in_namespace(args.in_namespace)
    else:
        if not args.work:
            parser.error("--work is required")
        shutil.rmtree(args.work, ignore_errors=True)
        os.makedirs(args.work)
        work = os.path.realpath(args.work)
        afile = os.path.join(work, "a-file")
        open(afile, "w").close()
        # Below a regular file no folder can be made, for root neither.
        below, missing = os.path.join(afile, "tmp"), os.path.join(work, "missing", "tmp")
        problems = check_cannot_try([below, missing], [below + ": Not a directory", missing + ": No such file"])
        problems += check_goes_on(below, work, host32.how([work]))
        problems += noexec_case(work)
    for problem in problems:
        print("FAIL: " + problem)
    if not problems and not args.in_namespace:
        print("OK: where the probe cannot run the answer is \"cannot try\", and a folder where it can is found")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
