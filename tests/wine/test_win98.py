#!/usr/bin/env python3
"""The patch cases of test_patch.py on Windows 98's personality (personality.py).

Under 32-bit Wine reporting Windows 98, on each test copy of the product (one that
loads win98_personality.dll, one that also has its TLS callbacks cleared, as a
loader that ignores them would see it): the complete run, a refusal, the missing
OEM file and one refused write, each the very case test_patch.py runs, with the
checks Windows 98's personality adds. Then the complete run once more with Wine
reporting NT 4.0: the program then looks the token functions up, gets Windows 98's
stubs, cannot enable the shutdown privilege, and must still ask for the restart.

Every run fails unless the DLL took effect (personality.Win98Copy).

Usage: test_win98.py --copy EXE [--copy EXE] --regprobe EXE --backend-test EXE
                     --desktop-keeper EXE --work DIR [--keep]
A copy is named after its folder (hooked, hooked-no-tls).
"""
import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import personality  # noqa: E402
import test_patch as cases  # noqa: E402
import winemachine  # noqa: E402

ARGS = None
DELETE_BIOS = "subtree ADVAPI32.DLL!RegDeleteKeyA Enum\\BIOS"
TOKEN_LOOKUPS = ["lookup ADVAPI32.DLL!OpenProcessToken", "lookup ADVAPI32.DLL!LookupPrivilegeValueA",
                 "lookup ADVAPI32.DLL!AdjustTokenPrivileges"]


def setUpModule():
    cases.MACHINE = machine = winemachine.WineMachine(ARGS.work, keep=ARGS.keep,
                                                      desktop_keeper=ARGS.desktop_keeper)
    try:
        machine.start([ARGS.regprobe, ARGS.backend_test], ARGS.copy[0])
        for copy in ARGS.copy:
            personality.install(machine, copy, copy_name(copy))
    except Exception:
        machine.stop()
        raise


def tearDownModule():
    if cases.MACHINE is not None:
        cases.MACHINE.stop()


def copy_name(copy):
    return os.path.basename(os.path.dirname(os.path.abspath(copy)))


class OnWindows98:
    """Wine reports VERSION for the class's runs."""

    VERSION = "win98"

    @classmethod
    def setUpClass(cls):
        cases.MACHINE.report_version(cls.VERSION)
        super().setUpClass()


class CompleteRun(OnWindows98, cases.CompleteRun):
    def check_shutdown_privilege(self, run):
        # The Windows 9x branch: no privilege to enable, no token function looked up.
        self.assertEqual(run.named("AdjustTokenPrivileges"), [])
        self.assertEqual([h for h in run.hits if "Token" in h or "Privilege" in h], [])

    def test_bios_deleted_in_one_call(self):
        # Windows 98's RegDeleteKeyA takes the subtree with it: no walk follows.
        deletes = self.outcome.named("RegDeleteKeyA")
        self.assertEqual([(c.args[1].text, c.result) for c in deletes], [(b"Enum\\BIOS", 0)])
        self.assertIn(DELETE_BIOS, self.outcome.hits)


class CompleteRunReportingNt4(CompleteRun):
    VERSION = "nt40"

    def check_shutdown_privilege(self, run):
        # The NT branch looks the token functions up and gets the stubs: the first
        # fails, nothing is enabled, and the restart is asked for all the same
        # (assertCompleteRun).
        self.assertEqual(sorted(h for h in run.hits if h.startswith("lookup ")), sorted(TOKEN_LOOKUPS))
        self.assertIn("call ADVAPI32.DLL!OpenProcessToken", run.hits)
        self.assertEqual(run.named("AdjustTokenPrivileges"), [])


class Refusal(OnWindows98, cases.Refusals):
    LINES = {"wrong model": cases.Refusals.LINES["wrong model"]}


class NoOemFile(OnWindows98, cases.IdentityUnreadable):
    CASES = {"no OEM file": cases.IdentityUnreadable.CASES["no OEM file"]}


class WriteRefused(OnWindows98, cases.WriteRefused):
    ROWS = [9]


def suite():
    """The cases, once per copy; the NT 4.0 run on the first copy only."""
    tests = unittest.TestSuite()
    loader = unittest.TestLoader()
    for index, copy in enumerate(ARGS.copy):
        kinds = [CompleteRun, Refusal, NoOemFile, WriteRefused] + ([CompleteRunReportingNt4] if index == 0 else [])
        for kind in kinds:
            name = "%s_%s" % (kind.__name__, copy_name(copy).replace("-", "_"))
            case = type(name, (kind,), {"PROGRAM": copy_name(copy), "__module__": __name__})
            globals()[name] = case  # where unittest finds a case's module functions
            tests.addTests(loader.loadTestsFromTestCase(case))
    return tests


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copy", action="append", required=True, help="a test copy of the product")
    parser.add_argument("--regprobe", required=True)
    parser.add_argument("--backend-test", required=True)
    parser.add_argument("--desktop-keeper", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the transcripts")
    ARGS = parser.parse_args()
    cases.ARGS = ARGS
    result = unittest.TextTestRunner(verbosity=2).run(suite())
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
