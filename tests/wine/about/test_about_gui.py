#!/usr/bin/env python3
"""The About dialog as Wine draws and runs it, headless on Xvfb.

One throwaway Windows machine per run (tests/wine/winemachine.py). The host program
(about_host.exe) shows the dialog or runs StartSysInfo and writes what it read back
from the real controls to a report file; this script answers the windows and reads
the Win32 calls the host made from the relay transcript.

Usage: test_about_gui.py --host about_host.exe --msinfo fake_msinfo.exe --work DIR
       [--keep] [--screenshot PNG]
"""
import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import winemachine  # noqa: E402
from regfiles import deletions  # noqa: E402
from relay import read_transcript  # noqa: E402
from winetools import STEP_TIMEOUT, WineError, image_range  # noqa: E402

CAPTION = "About IRPatch-K314-W98-FRN"
TITLE = "IRPatch-K314-W98-FRN"
UNAVAILABLE = "System Information Is Unavailable At This Time"
MSINFO_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Shared Tools\MSINFO"
LOCATION_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Shared Tools Location"
RELAY = ["MessageBoxA", "CreateProcessA", "RegOpenKeyExA", "GetFileAttributesA"]
HOST = "C:\\about\\about_host.exe"
TOOL = "C:\\about\\tools\\MSINFO32.EXE"


def check(condition, message):
    if not condition:
        raise WineError(message)


def read_report(path, timeout=STEP_TIMEOUT, until=None):
    deadline = time.monotonic() + timeout
    while True:
        lines = open(path, encoding="cp1252").read().splitlines() if os.path.exists(path) else []
        if until is None or until(lines) or time.monotonic() > deadline:
            return lines
        time.sleep(0.2)


# ---- the cases ----------------------------------------------------------------

def test_dialog(machine, screenshot):
    report = machine.host_path("C:\\about\\show.txt")
    proc, _ = machine.launch([HOST, "show", "C:\\about\\show.txt", "3"], "show")
    for round_number, how in enumerate(["Return", "Escape", "click"], 1):
        window = machine.display.wait_window(CAPTION)
        lines = read_report(report, until=lambda ls: ls.count("shown") >= round_number)
        block = lines[[i for i, l in enumerate(lines) if l == "shown"][round_number - 1] - 7:]
        texts = dict(l.split("=", 1) for l in block if "=" in l and not l.startswith("closed"))
        expected = {"caption": CAPTION, "cmdOK": "OK", "lblDescription": "App Description",
                    "lblDisclaimer": "Warning: ...", "lblTitle": TITLE, "lblVersion": "Version 1.0.0"}
        for name, value in expected.items():
            check(texts.get(name) == value, "round %d: %s is %r, not %r" % (round_number, name, texts.get(name), value))
        if round_number == 1 and screenshot:
            # Active, as the user sees it: the X focus is not the host's to give.
            machine.display.xdotool(["windowfocus", "--sync", window])
            machine.display.screenshot(window, screenshot)
            print("     screenshot written to", screenshot)
        if how == "click":
            left, top, right, bottom = map(int, texts["okrect"].split(","))
            machine.display.xdotool(["mousemove", "--sync", str((left + right) // 2), str((top + bottom) // 2)])
            machine.display.xdotool(["click", "1"])
        else:
            machine.display.key(window, how)
        machine.display.wait_gone(window)
        lines = read_report(report, until=lambda ls: sum(l.startswith("closed") for l in ls) >= round_number)
        closed = [l for l in lines if l.startswith("closed")]
        check(len(closed) >= round_number and closed[round_number - 1] == "closed loaded=0",
              "%s did not unload the dialog: %r" % (how, closed))
    check(machine.finish(proc, STEP_TIMEOUT, "the host") == 0, "the host failed")
    print("ok   dialog: caption, texts; Enter, Esc and a click on OK each close it; each load sets the texts again")


def sysinfo_case(machine, host, name, registry, expect_start, location_read=None):
    marker = machine.host_path("C:\\msinfo-started.txt")
    if os.path.exists(marker):
        os.remove(marker)
    machine.import_reg(deletions(MSINFO_KEY, LOCATION_KEY) + registry)
    report = machine.host_path("C:\\about\\sysinfo.txt")
    proc, transcript = machine.launch([HOST, "sysinfo", "C:\\about\\sysinfo.txt"], "sysinfo-" + name)
    if expect_start:
        check(machine.finish(proc, STEP_TIMEOUT, "the host") == 0, name + ": the host failed")
        deadline = time.monotonic() + STEP_TIMEOUT
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.2)
        check(os.path.exists(marker), name + ": the tool was not started")
        started = open(marker, encoding="cp1252").read()
        check("show=1" in started, name + ": not started with SW_SHOWNORMAL: " + started)
        check(expect_start.lower() in started.lower(), name + ": started %r, not %r" % (started, expect_start))
    else:
        machine.display.answer(machine.display.wait_window(TITLE))
        check(machine.finish(proc, STEP_TIMEOUT, "the host") == 0, name + ": the host failed")
        check(not os.path.exists(marker), name + ": the tool was started")
    calls = read_transcript(transcript, image_range(host))
    boxes = [c for c in calls if c.name == "MessageBoxA"]
    if expect_start:
        check(not boxes, name + ": a message box was shown")
    else:
        check(len(boxes) == 1 and UNAVAILABLE.encode() in boxes[0].args[1].text and
              boxes[0].args[2].text == TITLE.encode() and boxes[0].args[3].value == 0,
              name + ": wrong message box: %r" % boxes)
    check(read_report(report) == ["returned"], name + ": StartSysInfo did not return")
    if location_read is not None:
        read = any(b"Shared Tools Location" in (c.args[1].text or b"") for c in calls if c.name == "RegOpenKeyExA")
        check(read == location_read, name + ": second location %s" % ("not read" if location_read else "read"))
    print("ok   sysinfo:", name)


def reg_sz(key, name, value):
    """A registry file section holding one string value."""
    return '[%s]\r\n"%s"="%s"\r\n\r\n' % (key, name, value.replace("\\", "\\\\"))


def test_sysinfo(machine, host):
    tools, hidden = machine.host_path("C:\\about\\tools"), machine.host_path("C:\\about\\hidden")
    os.makedirs(machine.host_path("C:\\about\\empty"), exist_ok=True)
    os.makedirs(hidden, exist_ok=True)
    shutil.copy(os.path.join(tools, "fake_msinfo.exe"), os.path.join(tools, "MSINFO32.EXE"))
    shutil.copy(os.path.join(tools, "fake_msinfo.exe"), os.path.join(hidden, "MSINFO32.EXE"))

    def case(*args, **kwargs):
        sysinfo_case(machine, host, *args, **kwargs)

    case("PATH names the tool", reg_sz(MSINFO_KEY, "PATH", TOOL), TOOL, location_read=False)
    case("PATH names a missing file; the second location is not read",
         reg_sz(MSINFO_KEY, "PATH", "C:\\about\\none\\MSINFO32.EXE") +
         reg_sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), None, location_read=False)
    case("MSINFO folder holds the tool", reg_sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), TOOL, location_read=True)
    case("MSINFO folder without the tool", reg_sz(LOCATION_KEY, "MSINFO", "C:\\about\\empty"), None)
    case("both values absent", "", None, location_read=True)
    # The import is a version 5 file: REG_EXPAND_SZ data as UTF-16.
    expand = ",".join("%02x" % b for b in (TOOL + "\0").encode("utf-16-le"))
    case("PATH as REG_EXPAND_SZ", '[%s]\r\n"PATH"=hex(2):%s\r\n\r\n' % (MSINFO_KEY, expand) +
         reg_sz(LOCATION_KEY, "MSINFO", "C:\\about\\tools"), None, location_read=False)
    # Hidden files do not count. Wine keeps the flag in an extended attribute, which
    # not every host file system offers; without it the case says so and is skipped.
    hidden_tool = "C:\\about\\hidden\\MSINFO32.EXE"
    if machine.command([machine.wine, "cmd", "/c", "attrib", "+h", hidden_tool]) == 0 and \
            machine.command([machine.wine, "cmd", "/c", "dir", "/a:h", hidden_tool]) == 0:
        case("the tool is hidden", reg_sz(LOCATION_KEY, "MSINFO", "C:\\about\\hidden"), None)
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
    machine = winemachine.WineMachine(args.work, keep=args.keep)
    try:
        machine.boot()
        machine.copy_in(args.host, "about")
        machine.copy_in(args.msinfo, "about\\tools")
        machine.trace(RELAY, args.host)
        test_dialog(machine, args.screenshot)
        if not args.only_screenshot:
            test_sysinfo(machine, args.host)
    except WineError as e:
        print("FAIL", e, "\n     logs in", machine.logs)
        machine.keep = True
        return 1
    finally:
        machine.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
