"""A throwaway Windows machine under Wine: the one harness of every test that runs
a Windows program (the patch, the About dialog, the read side) and of the benchmark.

One machine per test run: its own WINEPREFIX (never the user's), its own Xvfb
display, and a persistent wineserver, because volatile registry keys (our way of
making one chosen write fail) vanish when the server exits. Between cases only the
registry keys the program touches and the OEM file are reset.

A program under test runs headless with WINEDEBUG=+relay limited to the functions
of interest and to calls made from the program's own module; the tests read the
exact Win32 calls and arguments from that transcript. Windows are found and
answered with xdotool: focus, press a key, wait until the window has gone.

Both builds run here: the i686 product under 32-bit Wine in a 32-bit prefix, and
the x86_64 build of the same sources under 64-bit Wine in a 64-bit prefix. A
machine takes its kind from the program it is made for (its PE header). Where the
host kernel cannot execute 32-bit programs only the 64-bit kind can run; which
builds a test run uses is decided by wine_builds() (scripts/test.sh asks for it).

As a command, runs one Windows program in a throwaway machine and passes on its
exit status and output, or says which builds this machine runs the Wine suites on:
    winemachine.py run [--work DIR] [--keep] -- program.exe [arguments...]
    winemachine.py builds      (win32 and/or win64, one per line; the reason on stderr)
"""
import argparse
import atexit
import errno
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The keys the patch touches, and every key a case seeds or spoils. A reset deletes
# each and restores what Wine had there when the prefix was made.
TOUCHED_KEYS = [
    r"Enum",
    r"Software\Microsoft\IrXfer",
    r"System\CurrentControlSet\Control\SessionManager",
    r"System\CurrentControlSet\Services\VxD",
]

RELAY_FUNCTIONS = [
    "RegCreateKeyExA", "RegSetValueExA", "RegDeleteKeyA", "RegOpenKeyExA", "RegEnumKeyA",
    "RegCloseKey", "MessageBoxA", "ExitWindowsEx", "CreateFileA", "AdjustTokenPrivileges",
    "GetVersion",
]

# Wine's own loaders, called directly: Debian's `wine` wrapper picks the 32-bit one
# whenever it is installed, even where the kernel cannot execute it.
LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}
BUILDS = {32: "win32", 64: "win64"}
# IRPATCH_WINE_BUILD=win32 or win64 forces one build; unset or "auto" lets wine_builds decide.
FORCE_VARIABLE = "IRPATCH_WINE_BUILD"

# Limits on Wine's own steps. They only stop a step that hangs for good, so they are
# far above what a step takes even on a loaded machine (a wineboot takes 5 to 15 s).
BOOT_TIMEOUT = 600
STEP_TIMEOUT = 300


class WineError(Exception):
    pass


# ---- What this host can run ---------------------------------------------------------

def _elf32_exit0():
    """The smallest i386 Linux program: exit(0) through int 0x80."""
    code = bytes([0x31, 0xDB, 0xB8, 0x01, 0, 0, 0, 0xCD, 0x80])  # xor ebx,ebx; mov eax,1; int 0x80
    base, start = 0x08048000, 52 + 32
    header = struct.pack("<4sBBBB8xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 2, 3, 1,
                         base + start, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, start + len(code), start + len(code), 5, 0x1000)
    return header + segment + code


def runs_32bit_programs():
    """(True or False, why). Tries an i386 program rather than trusting the kernel's
    name or the installed packages: kernels built without IA-32 emulation, or with it
    switched off, refuse it with ENOEXEC."""
    folder = tempfile.mkdtemp(prefix="irpatch-elf32-")
    path = os.path.join(folder, "exit0")
    try:
        with open(path, "wb") as f:
            f.write(_elf32_exit0())
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], timeout=STEP_TIMEOUT).returncode
        except OSError as e:
            if e.errno == errno.ENOEXEC:
                return False, "this machine's kernel cannot execute 32-bit programs (Exec format error)"
            raise WineError("could not try a 32-bit program in %s: %s" % (folder, e))
        if code != 0:
            return False, "a 32-bit program started but failed (exit status %d)" % code
        return True, "this machine's kernel executes 32-bit programs"
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def wine_builds():
    """(builds, why): the builds whose Wine suites this machine runs. The x86_64 build
    under 64-bit Wine everywhere, the i686 build under 32-bit Wine where the kernel runs
    32-bit programs; IRPATCH_WINE_BUILD=win32 or win64 forces one, and forcing win32
    where it cannot run is an error, not a quiet fallback."""
    forced = os.environ.get(FORCE_VARIABLE, "") or "auto"
    if forced not in ("auto", "win32", "win64"):
        raise WineError("%s=%s: expected win32, win64 or auto" % (FORCE_VARIABLE, forced))
    can32, why = runs_32bit_programs()
    if forced == "win32":
        if not can32:
            raise WineError("%s=win32, but %s: the i686 build cannot run under Wine here "
                            "(%s=win64 or auto runs the x86_64 build)" % (FORCE_VARIABLE, why, FORCE_VARIABLE))
        return ["win32"], "%s=win32 (forced): the i686 build under 32-bit Wine" % FORCE_VARIABLE
    if forced == "win64":
        return ["win64"], "%s=win64 (forced): the x86_64 build under wine64" % FORCE_VARIABLE
    if can32:
        return ["win32", "win64"], why + ": the i686 build under 32-bit Wine and the x86_64 build under wine64"
    return ["win64"], why + ": the x86_64 build under wine64 only"


def pe_bits(exe):
    """32 or 64, from the PE header's machine field."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise WineError(exe + " is not a PE program")
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    kinds = {0x14C: 32, 0x8664: 64}
    if machine not in kinds:
        raise WineError("%s: machine type 0x%x is neither i386 nor x86-64" % (exe, machine))
    return kinds[machine]


def ensure_tools(bits):
    """Installs Wine, Xvfb and xdotool when missing (fresh CI machines). A 32-bit
    machine on a host that cannot execute 32-bit programs is refused, saying why."""
    if bits == 32:
        can32, why = runs_32bit_programs()
        if not can32:
            raise WineError("cannot run the i686 build under Wine: %s. The x86_64 build runs the same "
                            "tests under wine64 (cmake --preset win64; ctest --preset win64)" % why)
    tools = [LOADERS[bits], "wineserver", "Xvfb", "xdotool"]
    if all(shutil.which(t) for t in tools):
        return
    setup = os.path.join(HERE, "..", "..", "scripts", "setup.sh")
    subprocess.run(["bash", setup, BUILDS[bits]], check=True)
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        raise WineError("still missing after scripts/setup.sh %s: %s" % (BUILDS[bits], " ".join(missing)))


# ---- The relay transcript ---------------------------------------------------------

_CALL = re.compile(r"^([0-9a-f]+):Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(r"^([0-9a-f]+):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def _unescape(text):
    """Bytes of a string as Wine's debugstr_a shows it."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "r": 13, "t": 9, "\\": 92, '"': 34, "0": 0}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
        out += c.encode("latin-1")
        i += 1
    return bytes(out)


def _split_args(text):
    """Relay arguments: a hex number, or a pointer followed by a quoted string."""
    args = []
    i = 0
    while i < len(text):
        m = re.match(r'([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)")?(?:,|$)', text[i:])
        if not m:
            raise WineError("cannot read relay arguments: " + text)
        number = int(m.group(1), 16)
        if m.group(3) is not None:
            args.append(Arg(number, _unescape(m.group(3))))
        else:
            args.append(Arg(number, None))
        i += m.end()
    return args


class Arg:
    """One relay argument. `value` is its low 32 bits: all that a DWORD, a LONG, a
    flag or a predefined root means on either build (a 64-bit transcript prints whole
    registers: roots sign-extended, ffffffff80000002, and a DWORD's upper half
    undefined). `raw` is the whole register, for pointers. `text` is a string
    argument's bytes."""

    def __init__(self, raw, text):
        self.raw = raw
        self.value = raw & 0xFFFFFFFF
        self.text = text

    def __repr__(self):
        return "%08x%s" % (self.raw, "" if self.text is None else " %r" % self.text)


class Call:
    def __init__(self, dll, name, args):
        self.dll = dll.lower()
        self.name = name
        self.args = args
        self.result = None

    def __repr__(self):
        return "%s(%s) = %s" % (self.name, ", ".join(map(repr, self.args)), self.result)


def image_range(exe):
    """[ImageBase, ImageBase + SizeOfImage) from the PE header of `exe` (PE32 or PE32+)."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] == 0x20B:
        base = struct.unpack_from("<Q", data, opt + 24)[0]
    else:
        base = struct.unpack_from("<I", data, opt + 28)[0]
    size = struct.unpack_from("<I", data, opt + 56)[0]
    return base, base + size


def read_transcript(path, module_range):
    """The calls of interest made by the program's own code, in order, each with its
    result (None if it never returned). Calls that Wine's DLLs make to each other
    inside a call of ours (MessageBoxA reads the registry, for one) are left out: by
    their return address, and, because a 64-bit DLL's tail call can leave a return
    address of ours on the stack, also when they start while a call of ours is still
    open. The program is single-threaded: calls from any thread but the one that
    made its first call are not its own either."""
    calls = []
    open_calls = []
    thread = None
    low, high = module_range
    with open(path, "r", encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            m = _CALL.match(line)
            if m and low <= int(m.group(5), 16) < high:
                thread = thread or m.group(1)
                if m.group(1) == thread and not open_calls:
                    call = Call(m.group(2), m.group(3), _split_args(m.group(4)))
                    calls.append(call)
                    open_calls.append(call)
                continue
            m = _RET.match(line)
            if m and m.group(1) == thread and open_calls and open_calls[-1].name == m.group(3) \
                    and low <= int(m.group(5), 16) < high:
                # Every result read is a LONG, BOOL or DWORD: its low 32 bits.
                open_calls.pop().result = int(m.group(4), 16) & 0xFFFFFFFF
    return calls


# ---- Registry files -----------------------------------------------------------------

def key_under(key, parent):
    """True when the registry key `key` is `parent` or below it (names compared
    without regard to case, as the registry compares them)."""
    k, p = key.lower(), parent.lower()
    return k == p or k.startswith(p + "\\")


def deletions(*keys):
    """Registry file text that removes each key (a full name) with all below it."""
    return "".join("[-%s]\r\n\r\n" % k for k in keys)


# ---- Registry exports ---------------------------------------------------------------

def parse_export(path):
    """{key path: {value line name: raw data text}} from a regedit export."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")
    text = re.sub(r"\\\r?\n\s*", "", text)  # continued hex lines
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and line and not line.startswith(";"):
            m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if m:
                current[m.group(1)] = m.group(2)
    return keys


# ---- The machine --------------------------------------------------------------------

class RunResult:
    def __init__(self, exit_code, boxes, calls, transcript):
        self.exit_code = exit_code
        self.boxes = boxes            # window titles in the order the boxes appeared
        self.calls = calls            # relay calls made from the program
        self.transcript = transcript  # path of the full relay transcript

    def named(self, *names):
        return [c for c in self.calls if c.name in names]


class WineMachine:
    """A machine for programs of one width, 32 or 64 bits: take it from the program
    under test with pe_bits()."""

    def __init__(self, work_dir, bits, keep=False):
        if bits not in LOADERS:
            raise WineError("a machine is for 32- or 64-bit programs, not %r" % (bits,))
        self.work = os.path.abspath(work_dir)
        self.bits = bits
        self.wine = LOADERS[bits]
        self.keep = keep
        self.prefix = None
        self.xvfb = None
        self.env = None
        self.baseline_reg = None
        self.runs = 0

    # -- lifecycle --

    def boot(self, persistent=True):
        """A fresh prefix on a display of its own; with a persistent wineserver
        unless the machine only runs one program (`persistent` False)."""
        ensure_tools(self.bits)
        # Also when the test runner itself dies or is stopped (CTest's timeout sends
        # SIGTERM): no server or display left behind.
        atexit.register(self.stop)
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
        os.makedirs(self.work, exist_ok=True)
        self._remove_stale_prefixes()
        self.prefix = tempfile.mkdtemp(prefix="wineprefix-", dir=self.work)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        # Transcripts and exports of this run, kept after the prefix goes.
        self.logs = os.path.join(self.work, "logs")
        shutil.rmtree(self.logs, ignore_errors=True)
        os.makedirs(self.logs)
        self._start_xvfb()
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": BUILDS[self.bits],
            "WINELOADER": self.wine,
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEDEBUG": "-all",
            "DISPLAY": self.display,
            # The ANSI code page follows the locale; C.UTF-8 gives Windows-1252.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("WAYLAND_DISPLAY", None)
        self.env = env
        self.command([self.wine, "wineboot", "-i"], timeout=BOOT_TIMEOUT)
        # A 64-bit prefix has System32 but no System folder; the OEM file lives there.
        os.makedirs(os.path.join(self.drive_c, "windows", "system"), exist_ok=True)
        if persistent:
            self.command(["wineserver", "-w"], timeout=STEP_TIMEOUT)
            self.ensure_server()

    def start(self, exe, helpers):
        """boot, then the patch `exe` in C:\\patch traced, the helpers in C:\\tools."""
        self.boot()
        self.exe_name = os.path.basename(exe)
        self.exe_range = image_range(exe)
        self.copy_in(exe, "patch")
        for helper in helpers:
            self.copy_in(helper, "tools")
        self.trace(RELAY_FUNCTIONS, exe)
        # What Wine itself keeps under the keys a reset deletes.
        self.baseline_reg = self._baseline_sections(self.export_hklm("baseline"))

    def stop(self):
        """Safe to call more than once."""
        if self.env is not None:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
            self.xvfb = None
        if self.prefix and not self.keep:
            shutil.rmtree(self.prefix, ignore_errors=True)
        self.env = None

    def _remove_stale_prefixes(self):
        """Prefixes left by an interrupted run (or kept with --keep) go first, with
        any server still holding them. Hence one work folder per test."""
        for name in os.listdir(self.work):
            path = os.path.join(self.work, name)
            if name.startswith("wineprefix-") and os.path.isdir(path):
                subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=path),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
                shutil.rmtree(path, ignore_errors=True)

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise WineError("Xvfb did not start")
        self.display = ":" + number

    def command(self, argv, timeout=STEP_TIMEOUT, stdout=None):
        """Runs a host command (wine, wineserver...) in the machine; its exit status.
        Output goes to `stdout` (a file) or to logs/tools.log."""
        out = open(os.path.join(self.logs, "tools.log"), "ab") if stdout is None else stdout
        try:
            # Wine's services inherit and keep open whatever they are given: files only.
            return subprocess.run(argv, env=self.env, stdout=out, stderr=out,
                                  stdin=subprocess.DEVNULL, timeout=timeout).returncode
        finally:
            if stdout is None:
                out.close()

    def ensure_server(self):
        """A persistent wineserver; answers 2 when one already runs, which is fine."""
        self.command(["wineserver", "-p"], timeout=STEP_TIMEOUT)

    def win_path(self, host_path):
        rel = os.path.relpath(host_path, self.drive_c)
        return "C:\\" + rel.replace("/", "\\")

    def host_path(self, win_path):
        """The host file behind a C:\\ path of the prefix."""
        return os.path.join(self.drive_c, *win_path[3:].split("\\"))

    def copy_in(self, host_file, folder):
        """Copies `host_file` into the folder C:\\`folder`; its Windows path."""
        target = self.host_path("C:\\" + folder)
        os.makedirs(target, exist_ok=True)
        return self.win_path(shutil.copy(host_file, target))

    def trace(self, functions, exe):
        """The relay transcript of later launches shows `functions` called from `exe`."""
        module = os.path.splitext(os.path.basename(exe))[0].lower()
        self.import_reg(
            "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"
            '"RelayInclude"="%s"\r\n"RelayFromInclude"="%s"\r\n' % (";".join(functions), module))

    # -- registry --

    def import_reg(self, body):
        path = os.path.join(self.drive_c, "import.reg")
        # Version 5 (UTF-16) like regedit's own exports, so the baseline sections
        # taken from an export go back in byte for byte. hex(2) data is UTF-16 here.
        with open(path, "wb") as f:
            f.write(("\ufeffWindows Registry Editor Version 5.00\r\n\r\n" + body).encode("utf-16-le"))
        # Once, in a clean-clone CI run, regedit ended non-zero without a word soon after
        # a restart request had ended the session (wine_versions); six more runs, three
        # under load, did not show it again. An import gives the same registry however
        # often it runs, so a refused one is tried twice more, each refusal logged.
        statuses = []
        for _ in range(3):
            statuses.append(self.command([self.wine, "regedit", "/S", "C:\\import.reg"]))
            if statuses[-1] == 0:
                return
            with open(os.path.join(self.logs, "tools.log"), "a") as log:
                log.write("regedit /S ended with status %d\n" % statuses[-1])
            time.sleep(2)
        raise WineError("regedit could not import (statuses %r):\n%s" % (statuses, body))

    def export_hklm_raw(self, tag):
        self.runs += 1
        path = os.path.join(self.logs, "%03d-%s.reg" % (self.runs, tag))
        host_out = os.path.join(self.drive_c, "export.reg")
        if os.path.exists(host_out):
            os.remove(host_out)
        if self.command([self.wine, "regedit", "/E", "C:\\export.reg", "HKEY_LOCAL_MACHINE"]) != 0:
            raise WineError("regedit could not export HKEY_LOCAL_MACHINE")
        shutil.move(host_out, path)
        return path

    def export_hklm(self, tag):
        path = self.export_hklm_raw(tag)
        keys = parse_export(path)
        if not self.keep:
            os.remove(path)  # several MB each; the parsed form is what the cases use
        return keys

    # Keys that Wine's own processes write while a test runs, at moments that depend
    # on how busy the machine is: the display driver's key, made again whenever Wine's
    # desktop starts (after each restart request ends the session); and, in a 64-bit
    # prefix, the 32-bit view of HKLM\\Software, whose set-up Wine finishes lazily where
    # it cannot run its 32-bit half. No program under test names them (the relay
    # checks give every key the patch writes).
    WINE_OWNED = {32: [r"System\CurrentControlSet\Control\Video"],
                  64: [r"System\CurrentControlSet\Control\Video", r"Software\Wow6432Node"]}

    def wine_owned(self, key):
        """True for a key (full name) under one of WINE_OWNED's keys of this machine."""
        return any(key_under(key, "HKEY_LOCAL_MACHINE\\" + own) for own in self.WINE_OWNED[self.bits])

    def _baseline_sections(self, keys):
        lines = []
        for key, values in keys.items():
            if any(key_under(key, "HKEY_LOCAL_MACHINE\\" + t) for t in TOUCHED_KEYS):
                lines.append("[%s]" % key)
                lines += ["%s=%s" % item for item in values.items()]
                lines.append("")
        return "\r\n".join(lines)

    def reset(self, fixture_reg, oem):
        """Back to Wine's own registry plus `fixture_reg`, with `oem` as the OEM file:
        bytes to write, None for no file, or "directory" for a folder in its place."""
        self.ensure_server()
        touched = deletions(*("HKEY_LOCAL_MACHINE\\" + k for k in TOUCHED_KEYS))
        self.import_reg(touched + self.baseline_reg + "\r\n" + fixture_reg)
        system = os.path.join(self.drive_c, "windows", "system")
        for name in os.listdir(system):
            if name.lower() == "oeminfo.ini":
                target = os.path.join(system, name)
                shutil.rmtree(target) if os.path.isdir(target) else os.remove(target)
        target = os.path.join(system, "Oeminfo.ini")
        if oem == "directory":
            os.mkdir(target)
        elif oem is not None:
            with open(target, "wb") as f:
                f.write(oem)

    def make_volatile(self, path):
        if self.tool("regprobe.exe", ["volatile", path])[0] != 0:
            raise WineError("could not create the volatile key " + path)

    def dump(self, *paths):
        """{key path: {value name: (type, bytes)}} for HKLM\\path and below; absent keys left out."""
        code, out = self.tool("regprobe.exe", ["dump"] + list(paths))
        if code != 0:
            raise WineError("regprobe dump failed:\n" + out)
        keys = {}
        for line in out.splitlines():
            if line.startswith("K "):
                keys.setdefault(line[2:], {})
            elif line.startswith("V "):
                path, name, vtype, data = line[2:].split("|")
                keys.setdefault(path, {})[name] = (int(vtype), bytes.fromhex(data))
        return keys

    def tool(self, exe, args, timeout=STEP_TIMEOUT):
        out_path = os.path.join(self.logs, "tool.out")
        with open(out_path, "wb") as out:
            code = self.command([self.wine, "C:\\tools\\" + exe] + args, timeout=timeout, stdout=out)
        with open(out_path, "rb") as f:
            return code, f.read().decode("cp1252").replace("\r\n", "\n")

    # -- programs --

    def launch(self, argv, tag):
        """Starts `wine argv` with the relay on, in a session of its own; the process
        and the path of its transcript."""
        self.runs += 1
        transcript = os.path.join(self.logs, "%03d-%s.relay" % (self.runs, tag))
        with open(transcript, "wb") as err:
            proc = subprocess.Popen([self.wine] + argv, env=dict(self.env, WINEDEBUG="+relay"),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                    start_new_session=True)
        return proc, transcript

    @staticmethod
    def finish(proc, timeout, what):
        """The exit status of a launched program; killed with its session when late."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise WineError("%s did not end within %d s" % (what, timeout))

    def run_patch(self, tag, timeout=STEP_TIMEOUT, screenshot_dir=None, screenshot_names=None):
        """Runs the program, answers each message box, returns what happened."""
        proc, transcript = self.launch(["C:\\patch\\" + self.exe_name], tag)
        boxes = []
        deadline = time.monotonic() + timeout
        try:
            while proc.poll() is None:
                if time.monotonic() > deadline:
                    raise WineError("%s: the program did not end within %d s; boxes so far: %r"
                                    % (tag, timeout, boxes))
                for window in self.windows():
                    title = self.xdotool(["getwindowname", window])
                    if title is None:
                        continue
                    boxes.append(title)
                    if screenshot_dir is not None:
                        name = (screenshot_names or {}).get(title, "%s-%d" % (tag, len(boxes)))
                        self.screenshot(window, os.path.join(screenshot_dir, name + ".png"))
                    self.answer(window)
                time.sleep(0.2)
            code = proc.returncode
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
        return RunResult(code, boxes, read_transcript(transcript, self.exe_range), transcript)

    # -- windows --

    def xdotool(self, args):
        """xdotool's answer on the machine's display, or None when it failed."""
        r = subprocess.run(["xdotool"] + args, env=self.env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=30)
        if r.returncode != 0:
            return None
        return r.stdout.decode("utf-8", "replace").rstrip("\n")

    def windows(self):
        out = self.xdotool(["search", "--onlyvisible", "--name", "."])
        return out.split() if out else []

    def wait_window(self, title, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for window in self.windows():
                if self.xdotool(["getwindowname", window]) == title:
                    return window
            time.sleep(0.2)
        raise WineError("no window titled %r appeared" % title)

    def wait_gone(self, window, timeout=STEP_TIMEOUT):
        """X reuses window ids, so a window has only gone once its id is no longer shown."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if window not in self.windows():
                return
            time.sleep(0.2)
        raise WineError("the window %s did not close" % window)

    def key(self, window, key):
        """Presses `key` on the window, focused first: there is no window manager to
        give the focus."""
        self.xdotool(["windowfocus", "--sync", window])
        self.xdotool(["key", key])

    def answer(self, window):
        """Return on the box until the window has gone: a key pressed before Wine has
        given the box its focus is lost, so it is pressed again."""
        for _ in range(30):
            self.key(window, "Return")
            try:
                return self.wait_gone(window, timeout=10)
            except WineError:
                pass
        raise WineError("the window %s did not close on Return" % window)

    def screenshot(self, window, path):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        # Wine draws a window a moment after mapping it.
        time.sleep(1.0)
        subprocess.run(["import", "-window", window, path], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def main(argv):
    """winemachine.py run [--work DIR] [--keep] -- program.exe [arguments...]
       winemachine.py builds"""
    split = argv.index("--") if "--" in argv else len(argv)
    parser = argparse.ArgumentParser(prog="winemachine.py", description=main.__doc__)
    parser.add_argument("action", choices=["run", "builds"])
    parser.add_argument("--work", help="folder for the prefix and its logs (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the prefix")
    args, program = parser.parse_args(argv[:split]), argv[split + 1:]
    if args.action == "builds":
        try:
            builds, why = wine_builds()
        except WineError as e:
            print("winemachine.py:", e, file=sys.stderr)
            return 2
        print(why, file=sys.stderr)
        print("\n".join(builds))
        return 0
    if not program:
        parser.error("no program given after --")
    work = args.work or tempfile.mkdtemp(prefix="irpatch-wine-")
    machine = WineMachine(work, pe_bits(program[0]), keep=args.keep)
    try:
        machine.boot(persistent=False)
        # The program runs in place, from the current folder, with this process's
        # output: the prefix's services were started with files, not with these.
        return subprocess.run([machine.wine] + program, env=machine.env, stdin=subprocess.DEVNULL).returncode
    finally:
        machine.stop()
        if args.keep:
            print("prefix kept in", machine.prefix, file=sys.stderr)
        elif not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
