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

As a command, runs one Windows program in a throwaway machine and passes on its
exit status and output:
    winemachine.py run [--work DIR] [--keep] -- program.exe [arguments...]
"""
import argparse
import atexit
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
]


class WineError(Exception):
    pass


def ensure_tools():
    """Installs Wine, Xvfb and xdotool when missing (fresh CI machines)."""
    tools = ["wine", "wineserver", "Xvfb", "xdotool"]
    if all(shutil.which(t) for t in tools):
        return
    setup = os.path.join(HERE, "..", "..", "scripts", "setup.sh")
    subprocess.run(["bash", setup, "win32"], check=True)
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        raise WineError("still missing after scripts/setup.sh win32: " + " ".join(missing))


# ---- The relay transcript ---------------------------------------------------------

_CALL = re.compile(r"^[0-9a-f]+:Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(r"^[0-9a-f]+:Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


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
    """One relay argument: its value and, for a string pointer, the string's bytes."""

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
    """[ImageBase, ImageBase + SizeOfImage) from the PE header of `exe`."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    base = struct.unpack_from("<I", data, opt + 28)[0]
    size = struct.unpack_from("<I", data, opt + 56)[0]
    return base, base + size


def read_transcript(path, module_range):
    """The calls of interest made by the program's own code, in order, each with its
    result (None if it never returned). Calls that Wine's DLLs make to each other
    inside a call of ours (MessageBoxA reads the registry, for one) are left out by
    their return address."""
    calls = []
    open_calls = []
    low, high = module_range
    with open(path, "r", encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            m = _CALL.match(line)
            if m and low <= int(m.group(4), 16) < high:
                call = Call(m.group(1), m.group(2), _split_args(m.group(3)))
                calls.append(call)
                open_calls.append(call)
                continue
            m = _RET.match(line)
            if m and low <= int(m.group(4), 16) < high:
                for call in reversed(open_calls):
                    if call.name == m.group(2):
                        call.result = int(m.group(3), 16)
                        open_calls.remove(call)
                        break
    return calls


# ---- Registry files -----------------------------------------------------------------

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
    def __init__(self, work_dir, keep=False):
        self.work = os.path.abspath(work_dir)
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
        ensure_tools()
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
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEDEBUG": "-all",
            "DISPLAY": self.display,
            # The ANSI code page follows the locale; C.UTF-8 gives Windows-1252.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("WAYLAND_DISPLAY", None)
        self.env = env
        self.command(["wineboot", "-i"], timeout=180)
        if persistent:
            self.command(["wineserver", "-w"], timeout=60)
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

    def command(self, argv, timeout=120, stdout=None):
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
        self.command(["wineserver", "-p"], timeout=60)

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
        if self.command(["wine", "regedit", "/S", "C:\\import.reg"]) != 0:
            raise WineError("regedit could not import:\n" + body)

    def export_hklm_raw(self, tag):
        self.runs += 1
        path = os.path.join(self.logs, "%03d-%s.reg" % (self.runs, tag))
        host_out = os.path.join(self.drive_c, "export.reg")
        if os.path.exists(host_out):
            os.remove(host_out)
        if self.command(["wine", "regedit", "/E", "C:\\export.reg", "HKEY_LOCAL_MACHINE"]) != 0:
            raise WineError("regedit could not export HKEY_LOCAL_MACHINE")
        shutil.move(host_out, path)
        return path

    def export_hklm(self, tag):
        path = self.export_hklm_raw(tag)
        keys = parse_export(path)
        if not self.keep:
            os.remove(path)  # several MB each; the parsed form is what the cases use
        return keys

    def _baseline_sections(self, keys):
        lines = []
        for key, values in keys.items():
            rel = key[len("HKEY_LOCAL_MACHINE\\"):]
            if any(rel.lower() == t.lower() or rel.lower().startswith(t.lower() + "\\") for t in TOUCHED_KEYS):
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

    def tool(self, exe, args, timeout=60):
        out_path = os.path.join(self.logs, "tool.out")
        with open(out_path, "wb") as out:
            code = self.command(["wine", "C:\\tools\\" + exe] + args, timeout=timeout, stdout=out)
        with open(out_path, "rb") as f:
            return code, f.read().decode("cp1252").replace("\r\n", "\n")

    # -- programs --

    def launch(self, argv, tag):
        """Starts `wine argv` with the relay on, in a session of its own; the process
        and the path of its transcript."""
        self.runs += 1
        transcript = os.path.join(self.logs, "%03d-%s.relay" % (self.runs, tag))
        with open(transcript, "wb") as err:
            proc = subprocess.Popen(["wine"] + argv, env=dict(self.env, WINEDEBUG="+relay"),
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

    def run_patch(self, tag, timeout=90, screenshot_dir=None, screenshot_names=None):
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

    def wait_window(self, title, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for window in self.windows():
                if self.xdotool(["getwindowname", window]) == title:
                    return window
            time.sleep(0.2)
        raise WineError("no window titled %r appeared" % title)

    def wait_gone(self, window, timeout=15):
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
        """Return on the box until the window has gone."""
        for _ in range(10):
            self.key(window, "Return")
            try:
                return self.wait_gone(window, timeout=5)
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
    machine = WineMachine(work, keep=args.keep)
    try:
        machine.boot(persistent=False)
        # The program runs in place, from the current folder, with this process's
        # output: the prefix's services were started with files, not with these.
        return subprocess.run(["wine"] + program, env=machine.env, stdin=subprocess.DEVNULL).returncode
    finally:
        machine.stop()
        if args.keep:
            print("prefix kept in", machine.prefix, file=sys.stderr)
        elif not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
