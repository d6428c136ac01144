#!/usr/bin/env python3
"""The About dialog as Wine draws and runs it, headless on Xvfb.

One throwaway WINEPREFIX and display per run. The host program (about_host.exe)
shows the dialog or runs StartSysInfo and writes what it read back from the real
controls to a report file; this script answers the windows with xdotool and reads
the Win32 calls the host made from a relay transcript.

Usage: test_about_gui.py --host about_host.exe --msinfo fake_msinfo.exe --work DIR
       [--keep] [--screenshot PNG]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

CAPTION = "About IRPatch-K314-W98-FRN"
TITLE = "IRPatch-K314-W98-FRN"
UNAVAILABLE = "System Information Is Unavailable At This Time"
MSINFO_KEY = r"HKLM\SOFTWARE\Microsoft\Shared Tools\MSINFO"
LOCATION_KEY = r"HKLM\SOFTWARE\Microsoft\Shared Tools Location"
RELAY = ["MessageBoxA", "CreateProcessA", "RegOpenKeyExA", "GetFileAttributesA"]


class Failure(Exception):
    pass


class Wine:
    """A throwaway prefix on its own Xvfb display."""

    def __init__(self, work, keep):
        os.makedirs(work, exist_ok=True)
        self.prefix = tempfile.mkdtemp(prefix="about-prefix-", dir=work)
        self.logs = os.path.join(self.prefix, "logs")
        os.makedirs(self.logs)
        self.keep = keep
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        env = dict(os.environ)
        env.update({"WINEPREFIX": self.prefix, "WINEARCH": "win32", "WINEDLLOVERRIDES": "mscoree,mshtml=",
                    "WINEDEBUG": "-all", "DISPLAY": ":" + number, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
        env.pop("WAYLAND_DISPLAY", None)
        self.env = env
        self.run(["wineboot", "-i"], timeout=180)
        self.run(["wineserver", "-w"], timeout=60)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        # Unmanaged windows: with no window manager on the display, Wine then draws
        # the caption and frame itself, as the screenshot should show them.
        self.import_reg('[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"RelayInclude"="%s"\r\n'
                        '"RelayFromInclude"="about_host"\r\n\r\n'
                        '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n'
                        % ";".join(RELAY))

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.xvfb.terminate()
        self.xvfb.wait(timeout=10)
        if not self.keep:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def run(self, argv, timeout=120):
        # Wine's services inherit and keep open whatever they are given: files only.
        with open(os.path.join(self.logs, "tools.log"), "ab") as out:
            return subprocess.run(argv, env=self.env, stdout=out, stderr=out, stdin=subprocess.DEVNULL,
                                  timeout=timeout).returncode

    def import_reg(self, body):
        path = os.path.join(self.drive_c, "import.reg")
        with open(path, "wb") as f:
            f.write(("REGEDIT4\r\n\r\n" + body + "\r\n").encode("cp1252"))
        if self.run(["wine", "regedit", "/S", "C:\\import.reg"]) != 0:
            raise Failure("regedit could not import:\n" + body)

    def host(self, path):
        return os.path.join(self.drive_c, *path.split("\\")[1:])

    def start(self, argv, tag):
        transcript = os.path.join(self.logs, tag + ".relay")
        err = open(transcript, "wb")
        proc = subprocess.Popen(["wine"] + argv, env=dict(self.env, WINEDEBUG="+relay"), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        err.close()
        return proc, transcript

    def xdotool(self, args):
        r = subprocess.run(["xdotool"] + args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=30)
        return r.stdout.decode("utf-8", "replace").strip() if r.returncode == 0 else None

    def windows(self):
        out = self.xdotool(["search", "--onlyvisible", "--name", "."])
        return out.split() if out else []

    def wait_window(self, title, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for w in self.windows():
                if self.xdotool(["getwindowname", w]) == title:
                    return w
            time.sleep(0.2)
        raise Failure("no window titled %r appeared" % title)

    def wait_gone(self, window, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if window not in self.windows():
                return
            time.sleep(0.2)
        raise Failure("window %s did not close" % window)

    def key(self, window, key):
        self.xdotool(["windowfocus", "--sync", window])
        self.xdotool(["key", key])


def wait_exit(proc, timeout=30):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        raise Failure("the host did not end")


def relay_calls(transcript, name):
    with open(transcript, "r", encoding="latin-1") as f:
        return [line.rstrip("\n") for line in f if re.search(r":Call \w+\.%s\(" % name, line)]


def read_report(path, timeout=15, until=None):
    deadline = time.monotonic() + timeout
    while True:
        lines = open(path, encoding="cp1252").read().splitlines() if os.path.exists(path) else []
        if until is None or until(lines) or time.monotonic() > deadline:
            return lines
        time.sleep(0.2)


# ---- the cases ----------------------------------------------------------------

def check(condition, message):
    if not condition:
        raise Failure(message)


def test_dialog(wine, screenshot):
    report = wine.host("C:\\about\\show.txt")
    proc, _ = wine.start(["C:\\about\\about_host.exe", "show", "C:\\about\\show.txt", "3"], "show")
    closes = [("Return", None), ("Escape", None), ("click", None)]
    for round_number, (how, _) in enumerate(closes, 1):
        window = wine.wait_window(CAPTION)
        lines = read_report(report, until=lambda ls: ls.count("shown") >= round_number)
        block = lines[[i for i, l in enumerate(lines) if l == "shown"][round_number - 1] - 7:]
        texts = dict(l.split("=", 1) for l in block if "=" in l and not l.startswith("closed"))
        expected = {"caption": CAPTION, "cmdOK": "OK", "lblDescription": "App Description",
                    "lblDisclaimer": "Warning: ...", "lblTitle": TITLE, "lblVersion": "Version 1.0.0"}
        for name, value in expected.items():
            check(texts.get(name) == value, "round %d: %s is %r, not %r" % (round_number, name, texts.get(name), value))
        if round_number == 1 and screenshot:
            # Active, as the user sees it: the X focus is not the host's to give.
            wine.xdotool(["windowfocus", "--sync", window])
            time.sleep(1.0)
            take_screenshot(wine, window, screenshot)
        if how == "click":
            left, top, right, bottom = map(int, texts["okrect"].split(","))
            wine.xdotool(["mousemove", "--sync", str((left + right) // 2), str((top + bottom) // 2)])
            wine.xdotool(["click", "1"])
        else:
            wine.key(window, how)
        wine.wait_gone(window)
        lines = read_report(report, until=lambda ls: sum(l.startswith("closed") for l in ls) >= round_number)
        closed = [l for l in lines if l.startswith("closed")]
        check(len(closed) >= round_number and closed[round_number - 1] == "closed loaded=0",
              "%s did not unload the dialog: %r" % (how, closed))
    check(wait_exit(proc) == 0, "the host failed")
    print("ok   dialog: caption, texts; Enter, Esc and a click on OK each close it; each load sets the texts again")


def take_screenshot(wine, window, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    geometry = wine.xdotool(["getwindowgeometry", "--shell", window]) or ""
    g = dict(l.split("=", 1) for l in geometry.splitlines() if "=" in l)
    full = os.path.join(wine.logs, "screen.png")
    subprocess.run(["import", "-window", "root", full], env=wine.env, check=True)
    # Unmanaged, the X window is the whole Windows window, frame and caption included.
    crop = "%sx%s+%s+%s" % (g["WIDTH"], g["HEIGHT"], g["X"], g["Y"])
    subprocess.run(["convert", full, "-crop", crop, "+repage", path], check=True)
    print("     screenshot written to", path)


def sysinfo_case(wine, name, registry, expect_start, location_read=None, prepare=None):
    marker = wine.host("C:\\msinfo-started.txt")
    if os.path.exists(marker):
        os.remove(marker)
    wine.import_reg("[-%s]\r\n\r\n[-%s]\r\n\r\n%s" % (
        MSINFO_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"), LOCATION_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"),
        registry))
    if prepare:
        prepare()
    report = wine.host("C:\\about\\sysinfo.txt")
    proc, transcript = wine.start(["C:\\about\\about_host.exe", "sysinfo", "C:\\about\\sysinfo.txt"],
                                  "sysinfo-" + name)
    if expect_start:
        check(wait_exit(proc) == 0, name + ": the host failed")
        deadline = time.monotonic() + 15
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.2)
        check(os.path.exists(marker), name + ": the tool was not started")
        started = open(marker, encoding="cp1252").read()
        check("show=1" in started, name + ": not started with SW_SHOWNORMAL: " + started)
        check(expect_start.lower() in started.lower(), name + ": started %r, not %r" % (started, expect_start))
        check(not relay_calls(transcript, "MessageBoxA"), name + ": a message box was shown")
    else:
        box = wine.wait_window(TITLE)
        wine.key(box, "Return")
        wine.wait_gone(box)
        check(wait_exit(proc) == 0, name + ": the host failed")
        check(not os.path.exists(marker), name + ": the tool was started")
        boxes = relay_calls(transcript, "MessageBoxA")
        check(len(boxes) == 1 and UNAVAILABLE in boxes[0] and '"%s",00000000)' % TITLE in boxes[0],
              name + ": wrong message box: %r" % boxes)
    check(read_report(report) == ["returned"], name + ": StartSysInfo did not return")
    if location_read is not None:
        read = any("Shared Tools Location" in c for c in relay_calls(transcript, "RegOpenKeyExA"))
        check(read == location_read, name + ": second location %s" % ("not read" if location_read else "read"))
    print("ok   sysinfo:", name)


def test_sysinfo(wine):
    tools = wine.host("C:\\about\\tools")
    empty = wine.host("C:\\about\\empty")
    hidden = wine.host("C:\\about\\hidden")
    for d in (empty, hidden):
        os.makedirs(d, exist_ok=True)
    shutil.copy(os.path.join(tools, "fake_msinfo.exe"), os.path.join(tools, "MSINFO32.EXE"))
    shutil.copy(os.path.join(tools, "fake_msinfo.exe"), os.path.join(hidden, "MSINFO32.EXE"))
    sz = lambda key, name, value: '[%s]\r\n"%s"="%s"\r\n' % (
        key.replace("HKLM", "HKEY_LOCAL_MACHINE"), name, value.replace("\\", "\\\\"))
    tool = "C:\\about\\tools\\MSINFO32.EXE"
    sysinfo_case(wine, "PATH names the tool", sz(MSINFO_KEY, "PATH", tool), tool, location_read=False)
    sysinfo_case(wine, "PATH names a missing file; the second location is not read",
                 sz(MSINFO_KEY, "PATH", "C:\\about\\none\\MSINFO32.EXE") + "\r\n" +
                 sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), None, location_read=False)
    sysinfo_case(wine, "MSINFO folder holds the tool", sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), tool,
                 location_read=True)
    sysinfo_case(wine, "MSINFO folder without the tool", sz(LOCATION_KEY, "MSINFO", "C:\\about\\empty"), None)
    sysinfo_case(wine, "both values absent", "", None, location_read=True)
    sysinfo_case(wine, "PATH as REG_EXPAND_SZ",
                 '[%s]\r\n"PATH"=hex(2):%s\r\n' % (MSINFO_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"),
                                                   ",".join("%02x" % b for b in tool.encode() + b"\0")) +
                 "\r\n" + sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), None, location_read=False)
    # Hidden files do not count. Wine keeps the flag in an extended attribute, which
    # not every host file system offers; without it the case says so and is skipped.
    if wine.run(["wine", "cmd", "/c", "attrib", "+h", "C:\\about\\hidden\\MSINFO32.EXE"]) == 0 and \
            wine.run(["wine", "cmd", "/c", "dir", "/a:h", "C:\\about\\hidden\\MSINFO32.EXE"]) == 0:
        sysinfo_case(wine, "the tool is hidden", sz(LOCATION_KEY, "MSINFO", "C:\\about\\hidden"), None)
    else:
        print("skip sysinfo: the tool is hidden (this file system keeps no hidden flag for Wine)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--msinfo", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--screenshot")
    parser.add_argument("--only-screenshot", action="store_true")
    args = parser.parse_args()
    for tool in ("wine", "wineserver", "Xvfb", "xdotool"):
        if not shutil.which(tool):
            print("missing tool:", tool)
            return 1
    wine = Wine(args.work, args.keep)
    try:
        about = wine.host("C:\\about")
        os.makedirs(os.path.join(about, "tools"))
        shutil.copy(args.host, os.path.join(about, "about_host.exe"))
        shutil.copy(args.msinfo, os.path.join(about, "tools", "fake_msinfo.exe"))
        test_dialog(wine, args.screenshot)
        if not args.only_screenshot:
            test_sysinfo(wine)
    except Failure as e:
        print("FAIL", e, "\n     logs in", wine.logs)
        wine.keep = True
        return 1
    finally:
        wine.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
