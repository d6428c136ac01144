"""How this machine runs 32-bit Linux programs, and so 32-bit Wine: natively, where
the kernel executes them, or through a binfmt_misc handler (QEMU's user mode, which
scripts/setup.sh registers where the kernel cannot execute them).

The answer comes from trying the smallest i386 program rather than from the
kernel's name or the installed packages (kernels built without IA-32 emulation, or
with it switched off, refuse it with ENOEXEC), and from the binfmt_misc entries
that would take it: an enabled one takes every 32-bit program ahead of the kernel.

The probe is written to a folder and run there, and not every folder lets programs
run: a TMPDIR mounted noexec, a full disk. Each folder of probe_folders() is tried
in turn, a small shell script first showing that programs run there at all; where
none does, the answer is that the probe could not be tried, never that 32-bit
programs do not run.

As a command, prints one line saying which way (or why neither works, or why it
could not tell); exits 0 when 32-bit programs run here, 1 when they do not and no
binfmt_misc entry takes them, 2 when the entry that takes them fails, 3 when the
probe could not be tried:
    host32.py
"""
import errno
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import traceback

BINFMT = "/proc/sys/fs/binfmt_misc"
PROBE_TIMEOUT = 300
CANNOT_TRY = 3
CHECKOUT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def elf32_exit0():
    """The smallest i386 Linux program: exit(0) through int 0x80."""
    code = bytes([0x31, 0xDB, 0xB8, 0x01, 0, 0, 0, 0xCD, 0x80])  # xor ebx,ebx; mov eax,1; int 0x80
    base, start = 0x08048000, 52 + 32
    header = struct.pack("<4sBBBB8xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 2, 3, 1,
                         base + start, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, start + len(code), start + len(code), 5, 0x1000)
    return header + segment + code


def _read_entry(path):
    """{field: value} of one binfmt_misc entry ("enabled" maps to True)."""
    fields = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f.read().splitlines():
            if line in ("enabled", "disabled"):
                fields["enabled"] = line == "enabled"
            elif " " in line:
                name, value = line.split(" ", 1)
                fields[name.rstrip(":")] = value
    return fields


def binfmt_handler(program):
    """(entry name, interpreter) of the enabled binfmt_misc entry that takes
    `program` (its first bytes), or None: none, or binfmt_misc not mounted here."""
    try:
        with open(os.path.join(BINFMT, "status")) as f:
            if f.read().strip() != "enabled":
                return None
        names = sorted(os.listdir(BINFMT))
    except OSError:
        return None
    for name in names:
        if name in ("register", "status"):
            continue
        try:
            entry = _read_entry(os.path.join(BINFMT, name))
        except OSError:
            continue
        if not entry.get("enabled") or "magic" not in entry:
            continue  # an extension entry, or switched off
        offset = int(entry.get("offset", "0"))
        magic = bytes.fromhex(entry["magic"])
        mask = bytes.fromhex(entry.get("mask", "ff" * len(magic)))
        data = program[offset:offset + len(magic)]
        if len(data) == len(magic) and all((d ^ m) & k == 0 for d, m, k in zip(data, magic, mask)):
            return name, entry.get("interpreter", "?")
    return None


def _interpreter_text(interpreter):
    """The interpreter, with its version when it is QEMU's user mode."""
    real = os.path.realpath(interpreter)
    text = interpreter if real == interpreter else "%s (%s)" % (interpreter, real)
    if os.path.basename(real).startswith("qemu-"):
        try:
            out = subprocess.run([real, "--version"], capture_output=True, text=True, timeout=60).stdout
            text += ", " + out.splitlines()[0]
        except (OSError, IndexError, subprocess.TimeoutExpired):
            pass
    return text


def probe_folders():
    """Where the probe may be written and run, in the order tried: TMPDIR, the
    system's temporary folders, the user's cache, and this checkout's build folder
    (where the build runs its own programs)."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    folders = [os.environ.get("TMPDIR"), "/tmp", "/var/tmp", cache, os.path.join(CHECKOUT, "build")]
    unique = []
    for folder in folders:
        if folder and os.path.realpath(folder) not in map(os.path.realpath, unique):
            unique.append(folder)
    return unique


class CannotTry(Exception):
    """The probe cannot be run in a folder; the reason names the folder."""


def _write_program(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o755)


def _try_in(folder, program):
    """Runs the probe in a folder of its own below `folder`: None when the 32-bit
    program ran and ended with status 0, else what went wrong with it. Raises
    CannotTry when no program can be run there."""
    try:
        if os.statvfs(folder).f_flag & os.ST_NOEXEC:
            raise CannotTry("%s: mounted noexec, no program may run there" % folder)
        if folder == os.path.join(CHECKOUT, "build"):
            os.makedirs(folder, exist_ok=True)
        work = tempfile.mkdtemp(prefix="irpatch-elf32-", dir=folder)
    except OSError as e:
        raise CannotTry("%s: %s" % (folder, e.strerror or e))
    try:
        control, path = os.path.join(work, "control"), os.path.join(work, "exit0")
        try:
            _write_program(control, b"#!/bin/sh\nexit 0\n")
            _write_program(path, program)
            code = subprocess.run([control], timeout=PROBE_TIMEOUT).returncode
            if code != 0:
                raise CannotTry("%s: a shell script that exits 0 ended with status %d" % (folder, code))
        except (OSError, subprocess.TimeoutExpired) as e:
            raise CannotTry("%s: a program cannot run there (%s)" % (folder, getattr(e, "strerror", None) or e))
        try:
            code = subprocess.run([path], timeout=PROBE_TIMEOUT).returncode
        except OSError as e:
            if e.errno == errno.ENOEXEC:
                return "this machine's kernel cannot execute 32-bit programs (Exec format error)"
            return "a 32-bit program could not start in %s: %s" % (folder, e)
        except subprocess.TimeoutExpired:
            return "a 32-bit program did not end within %d s" % PROBE_TIMEOUT
        return None if code == 0 else "a 32-bit program started but ended with status %d" % code
    finally:
        shutil.rmtree(work, ignore_errors=True)


def how(folders=None):
    """(status, one line): whether 32-bit programs run here, and which way. Status 0
    when they run, 1 when they do not and no binfmt_misc entry takes them, 2 when
    the entry that takes them fails, 3 (CANNOT_TRY) when the probe could be run in
    none of `folders` (default probe_folders()): the line gives each one's reason."""
    program = elf32_exit0()
    handler = binfmt_handler(program)
    reasons = []
    for folder in probe_folders() if folders is None else folders:
        try:
            failure = _try_in(folder, program)
            break
        except CannotTry as e:
            reasons.append(str(e))
    else:
        return CANNOT_TRY, "cannot try a 32-bit program here, so cannot tell whether they run: " + "; ".join(reasons)
    if handler:
        way = "through %s, the binfmt_misc entry %s" % (_interpreter_text(handler[1]), handler[0])
        return (2, "32-bit programs go %s, and %s" % (way, failure)) if failure else (0, way)
    if failure:
        return 1, failure + ", and no binfmt_misc entry takes them"
    return 0, "natively: this machine's kernel executes 32-bit programs"


def main():
    # A failure of the probe itself is no answer about 32-bit programs: Python's own
    # status for it, 1, would read as "they do not run".
    try:
        status, text = how()
    except Exception as e:  # noqa: BLE001
        traceback.print_exc()
        status, text = CANNOT_TRY, "cannot try a 32-bit program here: %s" % e
    print(text)
    return status


if __name__ == "__main__":
    sys.exit(main())
