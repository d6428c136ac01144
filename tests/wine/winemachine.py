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

The programs are the i686 product and its test programs, under 32-bit Wine in a
32-bit prefix: Windows 98 has one registry view, which a 64-bit prefix would not
give a 32-bit program (WoW64 redirection). 32-bit Wine runs natively where the
kernel executes 32-bit programs and through QEMU's user mode elsewhere
(host32.py tells which; scripts/setup.sh makes one of them work).

As a command, runs one Windows program in a throwaway machine and passes on its
exit status and output:
    winemachine.py run [--work DIR] [--keep] -- program.exe [arguments...]
"""
import argparse
import atexit
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import host32  # noqa: E402

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

# Wine's 32-bit loader, called directly rather than through Debian's `wine` wrapper,
# whose choice of loader depends on which Wine packages are installed.
WINE = "/usr/lib/wine/wine"

# Limits on Wine's own steps. They only stop a step that hangs for good, so they are
# far above what a step takes even on a loaded machine under QEMU (a wineboot takes
# 5 to 15 s natively, about 20 s through QEMU).
BOOT_TIMEOUT = 600
STEP_TIMEOUT = 300


class WineError(Exception):
    pass


# ---- What this host can run ---------------------------------------------------------

def check_i386(exe):
    """The offset of the PE header of `exe` and the file's first 4 KiB; refuses
    anything but an i386 PE program: the machine is a 32-bit Windows."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0] if len(data) >= 0x40 else 0
    if data[pe:pe + 4] != b"PE\0\0":
        raise WineError(exe + " is not a PE program")
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    if machine != 0x14C:
        raise WineError("%s: machine type 0x%x, not i386: the machine runs 32-bit Windows programs" % (exe, machine))
    return pe, data


def ensure_tools():
    """Makes 32-bit Wine, Xvfb and xdotool work here when they do not (fresh CI
    machines): scripts/setup.sh win32 installs them, and QEMU where the kernel cannot
    execute 32-bit programs. A machine where 32-bit programs still cannot run is
    refused with the reason, never skipped."""
    tools = [WINE, "wineserver", "Xvfb", "xdotool"]
    status, how = host32.how()
    if status == 0 and all(shutil.which(t) for t in tools):
        return how
    setup = os.path.join(HERE, "..", "..", "scripts", "setup.sh")
    done = subprocess.run(["bash", setup, "win32"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    status, how = host32.how()
    missing = [t for t in tools if not shutil.which(t)]
    if done.returncode != 0 or status != 0 or missing:
        raise WineError("32-bit Wine cannot run here: %s%s\nscripts/setup.sh win32 (status %d) said:\n%s"
                        % (how, "; missing " + " ".join(missing) if missing else "", done.returncode, done.stdout))
    return how


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
    """One relay argument: its 32-bit `value` (a number, a handle, a pointer) and,
    for a string argument, its bytes as `text`."""

    def __init__(self, value, text):
        self.value = value
        self.text = text

    def __repr__(self):
        return "%08x%s" % (self.value, "" if self.text is None else " %r" % self.text)


class Call:
    def __init__(self, dll, name, args):
        self.dll = dll.lower()
        self.name = name
        self.args = args
        self.result = None

    def __repr__(self):
        return "%s(%s) = %s" % (self.name, ", ".join(map(repr, self.args)), self.result)


def image_range(exe):
    """[ImageBase, ImageBase + SizeOfImage) from the PE32 header of `exe`."""
    pe, data = check_i386(exe)
    opt = pe + 24
    base, size = struct.unpack_from("<I", data, opt + 28)[0], struct.unpack_from("<I", data, opt + 56)[0]
    return base, base + size


def read_transcript(path, module_range):
    """The calls of interest made by the program's own code, in order, each with its
    result (None if it never returned). Calls that Wine's DLLs make to each other
    inside a call of ours (MessageBoxA reads the registry, for one) are left out: by
    their return address, and, because a DLL's tail call can leave a return address
    of ours on the stack, also when they start while a call of ours is still open.
    The program is single-threaded: calls from any thread but the one that made its
    first call are not its own either."""
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
                open_calls.pop().result = int(m.group(4), 16)
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

# What Wine writes to a program's output when it has no display driver: the desktop
# process could not open the X display or was not ready in time.
_NO_DRIVER = "nodrv_CreateWindow"


class RunResult:
    def __init__(self, exit_code, boxes, calls, transcript):
        self.exit_code = exit_code
        self.boxes = boxes            # window titles in the order the boxes appeared
        self.calls = calls            # relay calls made from the program
        self.transcript = transcript  # path of the full relay transcript

    def named(self, *names):
        return [c for c in self.calls if c.name in names]

    def ended_boxes(self):
        """What went wrong with the program's message boxes that nobody answered:
        MessageBoxA gives 0 or -1 only when the box could not be made or was ended
        under the program, which then goes on as if it had been answered. None when
        every box was answered."""
        ended = [c for c in self.named("MessageBoxA") if c.result in (None, 0, 0xFFFFFFFF)]
        if not ended:
            return None
        with open(self.transcript, encoding="latin-1") as f:
            no_driver = any(_NO_DRIVER in line for line in f)
        return "%d box(es) ended under the program without being answered%s: %s (transcript %s)" % (
            len(ended), ", Wine having no display driver" if no_driver else "",
            "; ".join("%r returned %s" % (c.args[2].text, "nothing" if c.result is None else "%d" % (
                c.result - (1 << 32) if c.result & 0x80000000 else c.result)) for c in ended),
            self.transcript)


class WineMachine:
    """A 32-bit Windows machine for i386 programs."""

    def __init__(self, work_dir, keep=False, desktop_keeper=None):
        self.work = os.path.abspath(work_dir)
        self.desktop_keeper = desktop_keeper  # desktop_keeper.exe, for machines that show boxes
        self.keeper = None
        self.wine = WINE
        self.how = None  # how 32-bit programs run here (host32.how)
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
        self.how = ensure_tools()
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
            "WINEARCH": "win32",
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
        self._wineboot()
        if persistent:
            self.command(["wineserver", "-w"], timeout=STEP_TIMEOUT)
            self.ensure_server()
        # Windows not managed by a window manager (there is none): Wine then neither
        # waits, at each window's close, for a manager to withdraw it (2 s each) nor
        # leaves the frame undrawn.
        self.import_reg('[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n')
        if persistent and self.desktop_keeper:
            self._hold_desktop()

    def _hold_desktop(self, timeout=BOOT_TIMEOUT):
        """Starts desktop_keeper.exe, which holds the prefix's desktop from now on, and
        waits until it says the desktop is ready (or why it is not)."""
        self.copy_in(self.desktop_keeper, "tools")
        out = os.path.join(self.logs, "desktop-keeper.log")
        with open(out, "wb") as f:
            self.keeper = subprocess.Popen([self.wine, "C:\\tools\\" + os.path.basename(self.desktop_keeper)],
                                           env=self.env, stdin=subprocess.DEVNULL, stdout=f, stderr=f)
        deadline = time.monotonic() + timeout
        while True:
            with open(out, "rb") as f:
                said = f.read().decode("latin-1")
            if re.search(r"^ready\r?$", said, re.M):
                return
            if self.keeper.poll() is not None or time.monotonic() > deadline:
                raise WineError("the desktop is not ready (desktop_keeper %s):\n%s" % (
                    "ended with status %d" % self.keeper.returncode if self.keeper.returncode is not None
                    else "still waiting after %d s" % timeout, said[-3000:]))
            time.sleep(0.1)

    def _wineboot(self):
        """Makes the prefix, tried twice; a failure is reported with Wine's output
        (a 32-bit start through QEMU can fail where a native one would not)."""
        failures = []
        for attempt in (1, 2):
            log = os.path.join(self.logs, "wineboot-%d.log" % attempt)
            with open(log, "wb") as out:
                status = self.command([self.wine, "wineboot", "-i"], timeout=BOOT_TIMEOUT, stdout=out)
            made = os.path.isdir(os.path.join(self.drive_c, "windows", "system"))
            if status == 0 and made:
                return
            with open(log, encoding="utf-8", errors="replace") as f:
                failures.append("wineboot -i, try %d: status %d%s\n%s" % (
                    attempt, status, "" if made else ", no prefix made", f.read()[-3000:]))
            self.command(["wineserver", "-k"], timeout=STEP_TIMEOUT)
            shutil.rmtree(self.prefix)
            os.mkdir(self.prefix)
        raise WineError("32-bit Wine could not make a prefix (%s):\n%s" % (self.how, "\n".join(failures)))

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
        if self.keeper is not None:
            try:
                self.keeper.wait(timeout=60)  # the server's end ends it
            except subprocess.TimeoutExpired:
                self.keeper.kill()
            self.keeper = None
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
            # -noreset: an X server resets when its last client has gone, and refuses
            # the connections that come meanwhile; a Wine program starting then gets
            # no display driver, and its boxes return -1 unseen.
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
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
        # a restart request had ended the session: the session's end was still closing
        # programs (run_patch now waits for it, wait_session_end). An import gives the
        # same registry however often it runs, so a refused one is still tried twice
        # more, each refusal logged.
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
    # desktop starts (after each restart request ends the session). No program under
    # test names them (the relay checks give every key the patch writes).
    WINE_OWNED = [r"System\CurrentControlSet\Control\Video"]

    def wine_owned(self, key):
        """True for a key (full name) under one of WINE_OWNED's keys."""
        return any(key_under(key, "HKEY_LOCAL_MACHINE\\" + own) for own in self.WINE_OWNED)

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
        calls = read_transcript(transcript, self.exe_range)
        if any(c.name == "ExitWindowsEx" and c.result for c in calls):
            self.wait_session_end(tag)
        return RunResult(code, boxes, calls, transcript)

    def _prefix_processes(self, *words):
        """{pid: command line} of this prefix's processes whose command line holds
        every one of `words` (compared in lower case)."""
        found = {}
        mark = ("WINEPREFIX=" + self.prefix).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if mark not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read().replace(b"\0", b" ").decode("latin-1").lower()
            except OSError:
                continue  # gone meanwhile, or not ours to read
            if all(w in command for w in words):
                found[int(pid)] = command
        return found

    def wait_session_end(self, tag, timeout=STEP_TIMEOUT):
        """Wine answers ExitWindowsEx by starting `wineboot --end-session`, which sends
        the end of the session to every window but the desktop's and ends their
        programs: a box shown before it is over would be closed under its program.
        Its process exists once ExitWindowsEx has returned (Wine's CreateProcess
        returns only once the new process has started), so after the program has
        gone it is either found here and waited for until it exits, or over
        already. The desktop stays: desktop_keeper holds it, and must outlive this."""
        ends = self._prefix_processes("wineboot.exe", "--end-session")
        started = time.monotonic()
        for pid, command in ends.items():
            try:
                fd = os.pidfd_open(pid)
            except ProcessLookupError:
                continue  # ended meanwhile
            try:
                poller = select.poll()
                poller.register(fd, select.POLLIN)
                if not poller.poll(timeout * 1000):
                    raise WineError("%s: the session end Wine started on the restart request (%s, pid %d) "
                                    "still runs after %d s" % (tag, command.strip(), pid, timeout))
            finally:
                os.close(fd)
        self._log("%s: restart request: %s" % (tag, "waited %.1f s for the session end (pid %s)" % (
            time.monotonic() - started, ", ".join(map(str, ends))) if ends else "its session end was over"))
        if self.keeper is not None and self.keeper.poll() is not None:
            raise WineError("%s: desktop_keeper ended (status %d) with the session: the desktop is no longer held"
                            % (tag, self.keeper.returncode))

    def _log(self, line):
        with open(os.path.join(self.logs, "tools.log"), "a") as log:
            log.write(line + "\n")

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
    """winemachine.py run [--work DIR] [--keep] -- program.exe [arguments...]"""
    split = argv.index("--") if "--" in argv else len(argv)
    parser = argparse.ArgumentParser(prog="winemachine.py", description=main.__doc__)
    parser.add_argument("action", choices=["run"])
    parser.add_argument("--work", help="folder for the prefix and its logs (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the prefix")
    args, program = parser.parse_args(argv[:split]), argv[split + 1:]
    if not program:
        parser.error("no program given after --")
    work = args.work or tempfile.mkdtemp(prefix="irpatch-wine-")
    check_i386(program[0])
    machine = WineMachine(work, keep=args.keep)
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
