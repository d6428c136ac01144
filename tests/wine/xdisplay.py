"""An X display of its own for a throwaway Windows machine: Xvfb, headless, and
its windows found and answered with xdotool (focus, press a key, wait until the
window has gone). There is no window manager: the harness gives the focus itself.
"""
import os
import subprocess
import time

from winetools import STEP_TIMEOUT, WineError


class Display:
    """One Xvfb server; `env` holds DISPLAY for the programs that draw on it."""

    def __init__(self, base_env):
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
        self.name = ":" + number
        self.env = dict(base_env, DISPLAY=self.name)
        self.env.pop("WAYLAND_DISPLAY", None)

    def stop(self):
        """Safe to call more than once."""
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
            self.xvfb = None

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
