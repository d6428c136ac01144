"""A throwaway Windows machine under Wine: the one harness of every test that runs
a Windows program (the patch, the About dialog, the read side) and of the benchmark.

One machine per test run: its own WINEPREFIX (never the user's), its own Xvfb
display, and a persistent wineserver, because volatile registry keys (our way of
making one chosen write fail) vanish when the server exits. Between cases only the
registry keys the program touches and the OEM file are reset.

The programs are the i686 product and its test programs, under 32-bit Wine in a
32-bit prefix: Windows 98 has one registry view, which a 64-bit prefix would not
give a 32-bit program (WoW64 redirection).

The harness, one job a module: winetools.py (the tools, made to work here, and the
programs they run), relay.py (what a program called, read from Wine's relay
transcript), regfiles.py (registry files: imports written, exports read),
xdisplay.py (the X display and its windows, answered with xdotool), and this one:
the prefix, its registry, and the programs run in it.

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
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xdisplay  # noqa: E402
from regfiles import deletions, key_under, parse_export  # noqa: E402
from relay import RunResult, read_transcript  # noqa: E402
from winetools import (BOOT_TIMEOUT, STEP_TIMEOUT, WINE, WineError, check_i386, ensure_tools,  # noqa: E402
                       image_range)

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


class Program:
    """A program installed in a machine: its Windows path, and the range of its
    image, which tells its own calls in a transcript. A kind of program that needs
    more for a run (an environment, a check of what it left) says so here."""

    def __init__(self, machine, win_path, image):
        self.machine = machine
        self.win_path = win_path
        self.image = image

    def environment(self, tag):
        """Variables added to the machine's environment for the run `tag`."""
        return {}

    def after(self, run, tag):
        """Called with each run's result once the run is over."""


class WineMachine:
    """A 32-bit Windows machine for i386 programs."""

    def __init__(self, work_dir, keep=False, desktop_keeper=None):
        self.work = os.path.abspath(work_dir)
        self.desktop_keeper = desktop_keeper  # desktop_keeper.exe, for machines that show boxes
        self.keeper = None
        self.programs = {}  # folder name: Program, as install() put them in
        self.wine = WINE
        self.how = None  # how 32-bit programs run here (host32.how)
        self.keep = keep
        self.prefix = None
        self.display = None
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
        self.display = xdisplay.Display(os.environ)
        env = dict(self.display.env)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win32",
            "WINELOADER": self.wine,
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEDEBUG": "-all",
            # The ANSI code page follows the locale; C.UTF-8 gives Windows-1252.
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
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

    def start(self, helpers, traced):
        """boot, then the helpers in C:\\tools, and the relay on for the calls of
        programs named as `traced` (a path); install() puts the programs in."""
        self.boot()
        for helper in helpers:
            self.copy_in(helper, "tools")
        self.trace(RELAY_FUNCTIONS, traced)
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
        if self.display is not None:
            self.display.stop()
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
            self._log("regedit /S ended with status %d" % statuses[-1])
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

    def report_version(self, version):
        """Wine reports `version` ("win98", "nt40"...) to programs started from now
        on; None goes back to its own."""
        value = '"%s"' % version if version else "-"
        self.import_reg('[HKEY_CURRENT_USER\\Software\\Wine]\r\n"Version"=%s\r\n\r\n' % value)

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

    def launch(self, argv, tag, env=None):
        """Starts `wine argv` with the relay on, in a session of its own, with `env`
        added to the machine's environment; the process and the path of its
        transcript."""
        self.runs += 1
        transcript = os.path.join(self.logs, "%03d-%s.relay" % (self.runs, tag))
        with open(transcript, "wb") as err:
            proc = subprocess.Popen([self.wine] + argv, env=dict(self.env, WINEDEBUG="+relay", **(env or {})),
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

    def install(self, kind, exe, folder, *companions):
        """`exe` copied into C:\\`folder` with the files it needs beside it, as a
        program of `kind` (Program or a subclass) that run_patch runs by `folder`."""
        for companion in companions:
            self.copy_in(companion, folder)
        self.programs[folder] = kind(self, self.copy_in(exe, folder), image_range(exe))
        return self.programs[folder]

    def run_patch(self, tag, timeout=STEP_TIMEOUT, screenshot_dir=None, screenshot_names=None, program="patch"):
        """Runs the program installed in C:\\`program`, answers each message box,
        returns what happened."""
        if program != "patch":
            tag = "%s-%s" % (program, tag)
        program = self.programs[program]
        proc, transcript = self.launch([program.win_path], tag, program.environment(tag))
        boxes = []
        deadline = time.monotonic() + timeout
        try:
            while proc.poll() is None:
                if time.monotonic() > deadline:
                    raise WineError("%s: the program did not end within %d s; boxes so far: %r"
                                    % (tag, timeout, boxes))
                for window in self.display.windows():
                    title = self.display.xdotool(["getwindowname", window])
                    if title is None:
                        continue
                    boxes.append(title)
                    if screenshot_dir is not None:
                        name = (screenshot_names or {}).get(title, "%s-%d" % (tag, len(boxes)))
                        self.display.screenshot(window, os.path.join(screenshot_dir, name + ".png"))
                    self.display.answer(window)
                time.sleep(0.2)
            code = proc.returncode
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
        calls = read_transcript(transcript, program.image)
        if any(c.name == "ExitWindowsEx" and c.result for c in calls):
            self.wait_session_end(tag)
        run = RunResult(code, boxes, calls, transcript)
        program.after(run, tag)
        return run

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
