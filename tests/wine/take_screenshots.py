#!/usr/bin/env python3
"""Takes PNG pictures of the program's message boxes as Wine draws them under Xvfb:
the refusal box, the closing box and an error report (a refused registry write).

Usage: take_screenshots.py --exe EXE --regprobe EXE --desktop-keeper EXE [--out DIR] [--work DIR]
Writes refusal.png, closing.png and error-report.png into DIR (docs/screenshots).
"""
import argparse
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_patch  # noqa: E402
import winemachine  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--regprobe", required=True)
    parser.add_argument("--desktop-keeper", required=True)
    parser.add_argument("--out", default=os.path.join(HERE, "..", "..", "docs", "screenshots"))
    parser.add_argument("--work", default=tempfile.gettempdir())
    args = parser.parse_args()
    out = os.path.abspath(args.out)

    machine = winemachine.WineMachine(os.path.join(args.work, "irpatch-screenshots"),
                                     desktop_keeper=args.desktop_keeper)
    try:
        machine.start([args.regprobe], args.exe)
        machine.install(winemachine.Program, args.exe, "patch")
        # There is no window manager under Xvfb: Wine draws the frame and title
        # itself, so that the pictures show the boxes' titles too.
        machine.import_reg('[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n\r\n')
        shots = []

        machine.reset(test_patch.FIXTURE, b"[General]\r\nModel=RDA-K314 ENG\r\n")
        shots.append(machine.run_patch("refusal", screenshot_dir=out,
                                       screenshot_names={test_patch.REFUSAL[1]: "refusal"}))

        machine.reset(test_patch.FIXTURE, test_patch.GOOD_OEM)
        shots.append(machine.run_patch("closing", screenshot_dir=out,
                                       screenshot_names={test_patch.CLOSING[1]: "closing"}))

        machine.reset(test_patch.FIXTURE, test_patch.GOOD_OEM)
        machine.make_volatile(r"Software\Microsoft\IrXfer")
        shots.append(machine.run_patch("error", screenshot_dir=out,
                                       screenshot_names={test_patch.TITLE: "error-report"}))
    finally:
        machine.stop()
    for run in shots:
        print("exit %s, boxes %s" % (run.exit_code, run.boxes))
    for name in ("refusal", "closing", "error-report"):
        path = os.path.join(out, name + ".png")
        if not os.path.exists(path):
            print("missing " + path)
            return 1
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
