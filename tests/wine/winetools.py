"""The tools a throwaway Windows machine needs, and what they can run: 32-bit Wine
(natively or through QEMU, host32.py tells which), Xvfb and xdotool, made to work
here by scripts/setup.sh win32 when they do not; and the i386 PE programs they run.
"""
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import host32  # noqa: E402

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


def image_range(exe):
    """[ImageBase, ImageBase + SizeOfImage) from the PE32 header of `exe`."""
    pe, data = check_i386(exe)
    opt = pe + 24
    base, size = struct.unpack_from("<I", data, opt + 28)[0], struct.unpack_from("<I", data, opt + 56)[0]
    return base, base + size
