"""Windows 98's personality for a machine's program: a test copy of the product that
loads win98_personality.dll before its own code runs (tests/wine/win98/), so that
what Windows 98 SE only stubs fails for it as there, and RegDeleteKeyA deletes a
whole subtree in one call. The DLL writes each hit to a file of the run's own.

Fails closed: a run in which the DLL did not take effect is refused, naming the
stub the product is known to meet at every start (its runtime's mutexes create a
semaphore through CreateSemaphoreW, which Windows 98 only stubs).
"""
import os

from winemachine import Program
from winetools import WineError

DLL = "win98_personality.dll"
HITS_VARIABLE = "IRPATCH_WIN98_HITS"
HITS_FOLDER = "win98-hits"
# Met by every run of the product, whatever it then does.
EVERY_RUN = "call KERNEL32.DLL!CreateSemaphoreW"


class Win98Copy(Program):
    """A test copy with the DLL beside it; each run's hits are in `run.hits`, a list
    of lines such as "call KERNEL32.DLL!CreateSemaphoreW",
    "lookup ADVAPI32.DLL!OpenProcessToken" or "subtree ADVAPI32.DLL!RegDeleteKeyA Enum\\BIOS"."""

    def _hits_path(self, tag):
        return "C:\\%s\\%s.txt" % (HITS_FOLDER, tag)

    def environment(self, tag):
        host = self.machine.host_path(self._hits_path(tag))
        os.makedirs(os.path.dirname(host), exist_ok=True)
        if os.path.exists(host):
            os.remove(host)
        return {HITS_VARIABLE: self._hits_path(tag)}

    def after(self, run, tag):
        host = self.machine.host_path(self._hits_path(tag))
        run.hits = []
        if os.path.exists(host):
            with open(host, encoding="latin-1") as f:
                run.hits = f.read().splitlines()
        installed = [h for h in run.hits if h.startswith("installed ")]
        if not installed or installed[0] == "installed 0" or EVERY_RUN not in run.hits:
            raise WineError("%s: Windows 98's personality did not take effect: no stubbed %s, which the "
                            "product calls at every start (%s; hits: %r)" % (
                                tag, EVERY_RUN.split(" ", 1)[1],
                                "%s not loaded" % DLL if not installed else installed[0], run.hits[:8]))


def install(machine, copy, folder):
    """The test copy `copy` (a path; the DLL lies beside it) in C:\\`folder`."""
    return machine.install(Win98Copy, copy, folder, os.path.join(os.path.dirname(copy), DLL))

