#!/usr/bin/env python3
"""The Windows program on the real Win32 registry, under Wine, headless.

Each case seeds the machine (OEM file, registry fixture), runs the program, answers
its boxes, and checks three things: the exit status and the boxes' titles; the exact
Win32 calls and arguments from the relay transcript; the registry afterwards.

Known Wine/Windows differences, written into the cases rather than skipped:
  - NT-family registries (Wine's too) refuse RegDeleteKeyA on a key with subkeys
    with 5; the program's backend walks the subtree, so the transcript shows the
    walk's extra RegOpenKeyExA/RegEnumKeyA/RegDeleteKeyA calls, which Windows 98
    (deleting subtrees itself) would not need. Only the first call is the script's.
  - A refused write is provoked with a volatile parent key, which Windows 98 does not
    have; Wine answers the program's RegCreateKeyExA with 1021
    (ERROR_CHILD_MUST_BE_VOLATILE) and RegSetValueExA on the null handle with 6.
  - ExitWindowsEx(EWX_REBOOT) makes Wine end the prefix's session rather than
    restart a machine; the request is checked in the transcript, never by its effect.

Usage: test_patch.py --exe EXE --regprobe EXE --backend-test EXE --work DIR [--keep]
"""
import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winemachine  # noqa: E402

REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
HKLM = 0x80000002
KEY_ACCESS = 0x3F
TITLE = "IRPatch-K314-W98-FRN"
REFUSAL = ("Se système n'est pas un RDA-K314(FR)!", "Patch arreté", 0x10)
CLOSING = ("Pour terminer l'installation, votre ordinateur va redémarer.", "Redémarage", 0x40)


def sz(text):
    return text.encode("cp1252") + b"\0"


def dword(n):
    return (n & 0xFFFFFFFF).to_bytes(4, "little")


# The patch script: key below HKLM, value name, type, bytes stored, value as the
# error description shows it.
ROWS = [
    (r"Enum\ACPI\*KMO7001\0", "ClassGUID", REG_SZ, sz("{4d36e972-e325-11ce-bfc1-08002be10318}"),
     "{4d36e972-e325-11ce-bfc1-08002be10318}"),
    (r"Enum\ACPI\*KMO7001\0", "DeviceDesc", REG_SZ, sz("Kemo Fast Infrared Port"), "Kemo Fast Infrared Port"),
    (r"Enum\ACPI\*KMO7001\0", "Driver", REG_SZ, sz("Net\\0001"), "Net\\0001"),
    (r"Enum\ACPI\*KMO7001\0", "Mfg", REG_SZ, sz("KEMO"), "KEMO"),
    (r"Enum\ACPI\*KMO7001\0", "CompatibleIDs", REG_SZ, sz("*NSC6001,*KMO7001"), "*NSC6001,*KMO7001"),
    (r"Enum\ACPI\*KMO7001\0", "ConfigFlags", REG_BINARY, b"\x10\0\0\0", "\x10\0\0\0"),
    (r"Enum\ACPI\*KMO7001\0\Bindings", "FASTIR\\0000", REG_SZ, b"\0", ""),
    (r"Enum\INFRARED\Framer", "PortName", REG_SZ, sz("COM1"), "COM1"),
    (r"Software\Microsoft\IrXfer\Options", "FullView", REG_DWORD, dword(1), "1"),
    (r"Software\Microsoft\IrXfer\Options", "UseLargeIcons", REG_DWORD, dword(1), "1"),
    (r"Software\Microsoft\IrXfer\Options", "Unload", REG_DWORD, dword(0), "0"),
    (r"Software\Microsoft\IrXfer\Options", "XPos", REG_DWORD, dword(0), "0"),
    (r"Software\Microsoft\IrXfer\Options", "YPos", REG_DWORD, dword(0), "0"),
    (r"System\CurrentControlSet\Control\SessionManager\Known16DLLs", "enumfile.dll", REG_SZ,
     sz("enumfile.dll"), "enumfile.dll"),
    (r"System\CurrentControlSet\Services\VxD\Winsock", "Ancillary Function Driver for Winsock", REG_SZ,
     sz("afvxd.vxd"), "afvxd.vxd"),
]

# Enum\BIOS several keys wide and deep, next to branches that must survive: a sibling
# whose name starts with "BIOS", other enumerators, and Wine's own keys.
FIXTURE = "\r\n".join([
    r'[HKEY_LOCAL_MACHINE\Enum\BIOS]',
    r'"Sentinel"="top"',
    r'[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0000\0C]',
    r'"HardwareID"="BIOS\\*PNP0000"',
    r'"ConfigFlags"=hex:00,00,00,00',
    r'[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0100\0D\LogConfig]',
    r'"BootConfig"=hex:01,02,03',
    r'[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0200\0E]',
    r'[HKEY_LOCAL_MACHINE\Enum\BIOS\*PNP0501\0A\LogConfig\0000]',
    r'"x"=dword:00000001',
    r'[HKEY_LOCAL_MACHINE\Enum\BIOSX]',
    r'"Keep"="yes"',
    r'[HKEY_LOCAL_MACHINE\Enum\Root\*PNP0C01\0000]',
    r'"Class"="System"',
    r'[HKEY_LOCAL_MACHINE\Enum\ACPI\*PNP0A03\0]',
    r'"DeviceDesc"="PCI bus"',
    "", ""])

# For the complete run: keys of the script that already exist, with a value the
# patch overwrites and values it must leave alone.
FIXTURE_EXISTING = FIXTURE + "\r\n".join([
    r'[HKEY_LOCAL_MACHINE\Enum\ACPI\*KMO7001\0]',
    r'"HardwareID"="ACPI\\*KMO7001"',
    r'[HKEY_LOCAL_MACHINE\Software\Microsoft\IrXfer\Options]',
    r'"FullView"=dword:00000000',
    r'"Sound"=dword:00000001',
    "", ""])

FIXTURE_NO_BIOS = "\r\n".join(
    line for line in FIXTURE.split("\r\n")
    if not line.startswith("[HKEY_LOCAL_MACHINE\\Enum\\BIOS]")
    and not line.startswith("[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\")) + "\r\n"

GOOD_OEM = (b"[General]\r\nmodel=XXX FRN\r\nManufacturer=Kemo\r\n"
            b"Model=RDA-K314 FRN WORD2 CD314FR\r\nModel=OTHER ENG\r\n")

ARGS = None
MACHINE = None


def setUpModule():
    global MACHINE
    MACHINE = winemachine.WineMachine(ARGS.work, keep=ARGS.keep)
    try:
        MACHINE.start(ARGS.exe, [ARGS.regprobe, ARGS.backend_test])
    except Exception:
        MACHINE.stop()
        raise


def tearDownModule():
    if MACHINE is not None:
        MACHINE.stop()


def report(number, description):
    return "Run-time error '%d':\r\n\r\n%s" % (number, description)


def under_bios(key):
    k = key.lower()
    root = "hkey_local_machine\\enum\\bios"
    return k == root or k.startswith(root + "\\")


class PatchCase(unittest.TestCase):
    """Checks shared by the cases."""

    maxDiff = None

    def assertBox(self, call, text, title, style):
        self.assertEqual(call.name, "MessageBoxA")
        self.assertEqual(call.args[0].value, 0, "a box without owner window")
        self.assertEqual(call.args[1].text, text.encode("cp1252"))
        self.assertEqual(call.args[2].text, title.encode("cp1252"))
        self.assertEqual(call.args[3].value, style)

    def assertOnlyReport(self, run, number, description):
        """The run ended with the top-level error report and nothing after it."""
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.boxes, [TITLE])
        boxes = run.named("MessageBoxA")
        self.assertEqual(len(boxes), 1, boxes)
        self.assertBox(boxes[0], report(number, description), TITLE, 0x10)
        self.assertEqual(run.named("ExitWindowsEx"), [], "no restart after an error")

    def assertScriptCalls(self, run, rows):
        """RegCreateKeyExA and RegSetValueExA once per row, in order, with the exact
        arguments; the last row given is the one whose create is refused when the run
        stopped there."""
        creates = run.named("RegCreateKeyExA")
        sets = run.named("RegSetValueExA")
        self.assertEqual([c.args[1].text for c in creates], [r[0].encode("cp1252") for r in rows])
        self.assertEqual([c.args[1].text for c in sets], [r[1].encode("cp1252") for r in rows])
        for create, row_set, row in zip(creates, sets, rows):
            root, _, reserved, cls, options, access, security, result, _ = create.args
            self.assertEqual(root.value, HKLM, row[0])
            self.assertEqual(reserved.value, 0)
            # Wine's relay shows the class argument as a bare pointer, not as text.
            self.assertNotEqual(cls.value, 0, "class: a text (empty), not a null pointer")
            self.assertEqual(options.value, 0, "REG_OPTION_NON_VOLATILE")
            self.assertEqual(access.value, KEY_ACCESS, "0x3F, not KEY_ALL_ACCESS")
            self.assertNotEqual(security.value, 0, "a zero-filled SECURITY_ATTRIBUTES record")
            self.assertNotEqual(result.value, 0)
            _, _, reserved, vtype, _, length = row_set.args
            self.assertEqual(reserved.value, 0)
            self.assertEqual(vtype.value, row[2], row[1])
            self.assertEqual(length.value, len(row[3]), row[1])


class CompleteRun(PatchCase):
    @classmethod
    def setUpClass(cls):
        MACHINE.reset(FIXTURE_EXISTING, GOOD_OEM)
        cls.before = MACHINE.export_hklm("complete-before")
        cls.outcome = MACHINE.run_patch("complete")
        cls.after = MACHINE.export_hklm("complete-after")
        cls.dump = MACHINE.dump(*winemachine.TOUCHED_KEYS)

    def test_ends_complete_after_the_closing_box(self):
        self.assertEqual(self.outcome.exit_code, 0)
        self.assertEqual(self.outcome.boxes, [CLOSING[1]])
        boxes = self.outcome.named("MessageBoxA")
        self.assertEqual(len(boxes), 1)
        self.assertBox(boxes[0], *CLOSING)

    def test_restart_requested_once_after_the_box(self):
        exits = self.outcome.named("ExitWindowsEx")
        self.assertEqual(len(exits), 1)
        self.assertEqual([a.value for a in exits[0].args], [2, 0xFFFFFFFF])
        self.assertGreater(self.outcome.calls.index(exits[0]), self.outcome.calls.index(self.outcome.named("MessageBoxA")[0]))

    def test_shutdown_privilege_enabled_first_on_the_nt_family(self):
        # Wine reports an NT-family Windows, where ExitWindowsEx needs the privilege;
        # Windows 98 has none and the program skips this step there.
        adjusts = self.outcome.named("AdjustTokenPrivileges")
        self.assertEqual(len(adjusts), 1)
        self.assertEqual(adjusts[0].result, 1)
        self.assertLess(self.outcome.calls.index(adjusts[0]),
                        self.outcome.calls.index(self.outcome.named("ExitWindowsEx")[0]))

    def test_oem_file_opened_for_reading_only(self):
        opens = self.outcome.named("CreateFileA")
        self.assertEqual(len(opens), 1)
        name, access, share, security, disposition = [a for a in opens[0].args[:5]]
        self.assertEqual(name.text, b"C:\\Windows\\system\\Oeminfo.ini")
        self.assertEqual((access.value, share.value, security.value, disposition.value),
                         (0x80000000, 1, 0, 3), "GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING")

    def test_deletes_bios_first_then_walks_the_script(self):
        first = [c for c in self.outcome.calls if c.name.startswith("Reg")][0]
        self.assertEqual(first.name, "RegDeleteKeyA")
        self.assertEqual((first.args[0].value, first.args[1].text), (HKLM, b"Enum\\BIOS"))
        self.assertScriptCalls(self.outcome, ROWS)
        self.assertTrue(all(c.result == 0 for c in self.outcome.named("RegSetValueExA")))

    def test_values_stored_with_exact_types_and_bytes(self):
        for path, name, vtype, data, _ in ROWS:
            with self.subTest(value=name):
                self.assertEqual(self.dump.get(path, {}).get(name), (vtype, data))

    def test_bios_gone_with_subkeys_and_everything_else_unchanged(self):
        self.assertEqual([k for k in self.after if under_bios(k)], [])
        expected = {k: dict(v) for k, v in self.before.items() if not under_bios(k)}
        for path, name, vtype, data, _ in ROWS:
            parts = path.split("\\")
            for depth in range(1, len(parts) + 1):
                expected.setdefault("HKEY_LOCAL_MACHINE\\" + "\\".join(parts[:depth]), {})
            expected["HKEY_LOCAL_MACHINE\\" + path]['"%s"' % name.replace("\\", "\\\\")] = export_text(vtype, data)
        self.assertEqual(diff(expected, self.after), [])


def export_text(vtype, data):
    """A value as regedit exports it."""
    if vtype == REG_SZ:
        return '"%s"' % data[:-1].decode("cp1252").replace("\\", "\\\\").replace('"', '\\"')
    if vtype == REG_DWORD:
        return "dword:%08x" % int.from_bytes(data, "little")
    return "hex:" + ",".join("%02x" % b for b in data)


def diff(expected, actual):
    """Readable differences between two parsed exports."""
    out = []
    for key in sorted(set(expected) | set(actual)):
        if key not in actual:
            out.append("missing key " + key)
        elif key not in expected:
            out.append("unexpected key " + key)
        elif expected[key] != actual[key]:
            out.append("values of %s: expected %r, found %r" % (key, expected[key], actual[key]))
    return out


class AsWindows98(PatchCase):
    """Wine told to report Windows 98 to the program: the Windows 9x branch of the
    backend (no token functions) with the same outcome and the same calls."""

    def test_complete_run_without_privileges(self):
        app_key = "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s" % MACHINE.exe_name
        MACHINE.reset(FIXTURE, GOOD_OEM)
        MACHINE.import_reg('[%s]\r\n"Version"="win98"\r\n\r\n' % app_key)
        try:
            run = MACHINE.run_patch("as-windows-98")
        finally:
            MACHINE.import_reg(winemachine.deletions(app_key))
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [CLOSING[1]])
        self.assertScriptCalls(run, ROWS)
        self.assertEqual(run.named("AdjustTokenPrivileges"), [], "Windows 98 has no privileges")
        exits = run.named("ExitWindowsEx")
        self.assertEqual([[a.value for a in c.args] for c in exits], [[2, 0xFFFFFFFF]])
        dump = MACHINE.dump("Enum")
        self.assertEqual([k for k in dump if under_bios("HKEY_LOCAL_MACHINE\\" + k)], [])


class Untouched(PatchCase):
    """Runs that must not make one registry call nor change the registry."""

    TAG = None

    @classmethod
    def setUpClass(cls):
        MACHINE.reset(FIXTURE, GOOD_OEM)
        cls.before = MACHINE.export_hklm(cls.TAG + "-before")

    def run_untouched(self, label, oem):
        MACHINE.reset(FIXTURE, oem)
        run = MACHINE.run_patch(self.TAG + "-" + label.replace(" ", "-"))
        self.assertEqual([c for c in run.calls if c.name.startswith("Reg")], [])
        self.assertEqual(diff(self.before, MACHINE.export_hklm(self.TAG + "-after")), [])
        return run


class Refusals(Untouched):
    """Any other machine: the refusal box, status 2, and not one registry call."""

    LINES = {
        "wrong model": b"Model=RDA-K315 FRN",
        "wrong language": b"Model=RDA-K314 ENG",
        "model in lower case": b"Model=rda-k314 FRN",
        "language in lower case": b"Model=RDA-K314 frn",
        "two blanks": b"Model=RDA-K314  FRN",
        "blank after the equals sign": b"Model= RDA-K314 FRN",
    }

    TAG = "refusal"

    def test_refused(self):
        for label, line in self.LINES.items():
            with self.subTest(label):
                run = self.run_untouched(label, b"[General]\r\n" + line + b"\r\n")
                self.assertEqual(run.exit_code, 2)
                self.assertEqual(run.boxes, [REFUSAL[1]])
                boxes = run.named("MessageBoxA")
                self.assertEqual(len(boxes), 1)
                self.assertBox(boxes[0], *REFUSAL)
                self.assertEqual(run.named("ExitWindowsEx"), [])


class IdentityUnreadable(Untouched):
    """The OEM file cannot give an identity: the error report, nothing touched."""

    CASES = {
        "no OEM file": (None, 53, "File not found"),
        "no Model= line": (b"[General]\r\nmodel=RDA-K314 FRN\r\n Model=RDA-K314 FRN\r\n", 62,
                           "Input past end of file"),
        "empty OEM file": (b"", 62, "Input past end of file"),
        "a folder in its place": ("directory", 75, "Path/File access error"),
    }

    TAG = "identity"

    def test_reported(self):
        for label, (oem, number, description) in self.CASES.items():
            with self.subTest(label):
                self.assertOnlyReport(self.run_untouched(label, oem), number, description)


class BiosAbsent(PatchCase):
    def test_stops_at_the_deletion(self):
        MACHINE.reset(FIXTURE_NO_BIOS, GOOD_OEM)
        before = MACHINE.export_hklm("nobios-before")
        run = MACHINE.run_patch("nobios")
        self.assertOnlyReport(run, 26001, "Failed to delete registry Key: 'Enum\\BIOS'")
        deletes = run.named("RegDeleteKeyA")
        self.assertEqual([(c.args[0].value, c.args[1].text, c.result) for c in deletes],
                         [(HKLM, b"Enum\\BIOS", 2)], "a missing key is not walked")
        self.assertEqual(run.named("RegCreateKeyExA", "RegSetValueExA"), [])
        self.assertEqual(diff(before, MACHINE.export_hklm("nobios-after")), [])


class WriteRefused(PatchCase):
    """Row k's key cannot be created: rows before it stay, the rest are not written."""

    # Row number -> the key made volatile beforehand (the new key's parent).
    CASES = {
        1: r"Enum\ACPI\*KMO7001",
        7: r"Enum\ACPI\*KMO7001\0",
        8: r"Enum\INFRARED",
        9: r"Software\Microsoft\IrXfer",
        14: r"System\CurrentControlSet\Control\SessionManager",
        15: r"System\CurrentControlSet\Services\VxD",
    }

    def test_refused_rows(self):
        for row, volatile_parent in self.CASES.items():
            with self.subTest(row=row):
                MACHINE.reset(FIXTURE, GOOD_OEM)
                # Wine has a (non-volatile) VxD key of its own; it goes for this case
                # and comes back with the next reset.
                MACHINE.import_reg(winemachine.deletions("HKEY_LOCAL_MACHINE\\" + volatile_parent))
                MACHINE.make_volatile(volatile_parent)
                run = MACHINE.run_patch("refused-row-%d" % row)
                path, name, _, _, shown = ROWS[row - 1]
                self.assertOnlyReport(run, 26001, "Failed to set registry value Key: '-2147483646',Section: '%s',"
                                      "Key: '%s' to value: '%s'" % (path, name, shown))
                self.assertScriptCalls(run, ROWS[:row])
                creates = run.named("RegCreateKeyExA")
                sets = run.named("RegSetValueExA")
                self.assertEqual(creates[-1].result, 1021, "Wine: a child of a volatile key must be volatile")
                self.assertEqual(sets[-1].args[0].value, 0, "the value write goes to the null handle")
                self.assertNotEqual(sets[-1].result, 0)
                self.assertTrue(all(s.result == 0 for s in sets[:-1]))

                dump = MACHINE.dump(*winemachine.TOUCHED_KEYS)
                self.assertEqual([k for k in dump if under_bios("HKEY_LOCAL_MACHINE\\" + k)], [])
                self.assertIn(r"Enum\BIOSX", dump)
                for index, (rpath, rname, vtype, data, _) in enumerate(ROWS, 1):
                    stored = dump.get(rpath, {}).get(rname)
                    if index < row:
                        self.assertEqual(stored, (vtype, data), "row %d stays" % index)
                    else:
                        self.assertIsNone(stored, "row %d not written" % index)


class Win32Backend(unittest.TestCase):
    """The backend's own promises, checked by a Windows test program in the prefix."""

    def test_backend(self):
        folder = os.path.join(MACHINE.prefix, "drive_c", "backend")
        os.makedirs(os.path.join(folder, "adir"), exist_ok=True)
        with open(os.path.join(folder, "data.txt"), "wb") as f:
            f.write(b"line1\r\nline2")
        code, out = MACHINE.tool(os.path.basename(ARGS.backend_test), ["C:\\backend\\"])
        self.assertEqual(code, 0, out)
        self.assertIn("PASSED", out)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--regprobe", required=True)
    parser.add_argument("--backend-test", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the transcripts")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
