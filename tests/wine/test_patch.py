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
  - Wine's registry is NT's whatever version Wine reports, so the subtree walk runs
    under every reported version; the shutdown privilege, asked only on the NT
    family, follows the version the program sees.

With --versions, runs only the Windows version matrix: the complete run and one
refused write with Wine reporting each Windows version in turn, and writes the
table of what each did to WORK/versions.md (and, with IRPATCH_VERSIONS_DOC set to
a Markdown file, between that file's version-table markers).

Usage: test_patch.py --exe EXE --regprobe EXE --backend-test EXE --desktop-keeper EXE --work DIR
                     [--keep] [--versions]
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winemachine  # noqa: E402
from regfiles import deletions, key_under, parse_export  # noqa: E402

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

# The sample RDA-K314 machine folder of the Linux build.
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "k314-frn")

GOOD_OEM = (b"[General]\r\nmodel=XXX FRN\r\nManufacturer=Kemo\r\n"
            b"Model=RDA-K314 FRN WORD2 CD314FR\r\nModel=OTHER ENG\r\n")

ARGS = None
MACHINE = None


def setUpModule():
    global MACHINE
    MACHINE = winemachine.WineMachine(ARGS.work, keep=ARGS.keep, desktop_keeper=ARGS.desktop_keeper)
    try:
        MACHINE.start([ARGS.regprobe, ARGS.backend_test], ARGS.exe)
        MACHINE.install(winemachine.Program, ARGS.exe, "patch")
    except Exception:
        MACHINE.stop()
        raise


def tearDownModule():
    if MACHINE is not None:
        MACHINE.stop()


def report(number, description):
    return "Run-time error '%d':\r\n\r\n%s" % (number, description)


def under_bios(key):
    return key_under(key, "HKEY_LOCAL_MACHINE\\Enum\\BIOS")


class PatchCase(unittest.TestCase):
    """Checks shared by the cases. A case runs the program installed in the folder
    PROGRAM names (WineMachine.install)."""

    maxDiff = None
    PROGRAM = "patch"

    @classmethod
    def run_program(cls, tag):
        return MACHINE.run_patch(tag, program=cls.PROGRAM)

    def assertBox(self, call, text, title, style):
        self.assertEqual(call.name, "MessageBoxA")
        self.assertEqual(call.args[0].value, 0, "a box without owner window")
        self.assertEqual(call.args[1].text, text.encode("cp1252"))
        self.assertEqual(call.args[2].text, title.encode("cp1252"))
        self.assertEqual(call.args[3].value, style)

    def assertBoxes(self, run, titles):
        """The boxes seen and answered, by title; a box ended under the program is
        reported as that, not as a missing title."""
        ended = run.ended_boxes()
        if ended:
            self.fail(ended)
        self.assertEqual(run.boxes, titles)

    def assertOnlyReport(self, run, number, description):
        """The run ended with the top-level error report and nothing after it."""
        self.assertEqual(run.exit_code, 1)
        self.assertBoxes(run, [TITLE])
        boxes = run.named("MessageBoxA")
        self.assertEqual(len(boxes), 1, boxes)
        self.assertBox(boxes[0], report(number, description), TITLE, 0x10)
        self.assertEqual(run.named("ExitWindowsEx"), [], "no restart after an error")

    def assertCompleteRun(self, run):
        """The closing box, then one restart request; every row written in order."""
        self.assertEqual(run.exit_code, 0)
        self.assertBoxes(run, [CLOSING[1]])
        boxes = run.named("MessageBoxA")
        self.assertEqual(len(boxes), 1)
        self.assertBox(boxes[0], *CLOSING)
        exits = run.named("ExitWindowsEx")
        self.assertEqual([[a.value for a in c.args] for c in exits], [[2, 0xFFFFFFFF]])
        self.assertGreater(run.calls.index(exits[0]), run.calls.index(boxes[0]))
        self.assertScriptCalls(run, ROWS)
        self.assertTrue(all(c.result == 0 for c in run.named("RegSetValueExA")))

    def assertRefusedAt(self, run, row):
        """Row `row`'s key could not be created: the report, rows before it written,
        the rest not, Enum\\BIOS gone, its sibling kept; the registry dump."""
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
        return dump

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
        cls.outcome = cls.run_program("complete")
        cls.after = MACHINE.export_hklm("complete-after")
        cls.dump = MACHINE.dump(*winemachine.TOUCHED_KEYS)

    def test_closing_box_then_one_restart_request_and_every_row_in_order(self):
        self.assertCompleteRun(self.outcome)

    def test_shutdown_privilege_as_the_reported_windows_asks(self):
        self.check_shutdown_privilege(self.outcome)

    def check_shutdown_privilege(self, run):
        """Wine reports an NT-family Windows, where ExitWindowsEx needs the
        privilege: enabled first. Windows 98 has none and the program skips this
        step there."""
        adjusts = run.named("AdjustTokenPrivileges")
        self.assertEqual(len(adjusts), 1)
        self.assertEqual(adjusts[0].result, 1)
        self.assertLess(run.calls.index(adjusts[0]), run.calls.index(run.named("ExitWindowsEx")[0]))

    def test_oem_file_opened_for_reading_only(self):
        opens = self.outcome.named("CreateFileA")
        self.assertEqual(len(opens), 1)
        name, access, share, security, disposition = [a for a in opens[0].args[:5]]
        self.assertEqual(name.text, b"C:\\Windows\\system\\Oeminfo.ini")
        self.assertEqual((access.value, share.value, security.value, disposition.value),
                         (0x80000000, 1, 0, 3), "GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING")

    def test_deletes_bios_before_the_script(self):
        first = [c for c in self.outcome.calls if c.name.startswith("Reg")][0]
        self.assertEqual(first.name, "RegDeleteKeyA")
        self.assertEqual((first.args[0].value, first.args[1].text), (HKLM, b"Enum\\BIOS"))

    def test_values_stored_with_exact_types_and_bytes(self):
        for path, name, vtype, data, _ in ROWS:
            with self.subTest(value=name):
                self.assertEqual(self.dump.get(path, {}).get(name), (vtype, data))

    def test_the_sixteen_changes_of_the_sample_machine(self):
        # The sample RDA-K314's registry before and after the patch, both files
        # written by hand: the values it gains and the branch it loses.
        before, after = (parse_export(os.path.join(SAMPLE, name)) for name in ("registry.reg", "expected-after-patch.reg"))
        values = [(key, name, data) for key, named in after.items() for name, data in named.items()
                  if before.get(key, {}).get(name) != data]
        gone = sorted(k for k in before if k not in after)
        self.assertEqual((len(values), gone[0], all(under_bios(k) for k in gone)),
                         (15, "HKEY_LOCAL_MACHINE\\Enum\\BIOS", True), "the sample's changes")
        found = {k.lower(): v for k, v in self.after.items()}
        for key, name, data in values:
            self.assertEqual(found.get(key.lower(), {}).get(name), data, "%s %s" % (key, name))
        self.assertEqual([k for k in self.after if under_bios(k)], [])

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
    """Readable differences between two parsed exports, leaving out the keys that
    Wine's own processes may write meanwhile (WineMachine.wine_owned)."""
    out = []
    for key in sorted(k for k in set(expected) | set(actual) if not MACHINE.wine_owned(k)):
        if key not in actual:
            out.append("missing key " + key)
        elif key not in expected:
            out.append("unexpected key " + key)
        elif expected[key] != actual[key]:
            out.append("values of %s: expected %r, found %r" % (key, expected[key], actual[key]))
    return out


class VersionMatrix(PatchCase):
    """Wine reporting each Windows version in turn (HKCU\\Software\\Wine, Version):
    the complete run and a refused write give the same boxes, the same registry and
    the same restart request everywhere. The Windows 9x versions take the backend's
    9x branch (no token functions); the NT family enables the shutdown privilege."""

    VERSIONS = [("win95", "9x"), ("win98", "9x"), ("winme", "9x"), ("nt40", "NT"),
                ("win2k", "NT"), ("winxp", "NT"), ("win7", "NT"), ("win10", "NT")]
    REFUSED_ROW = 9

    def test_same_outcome_on_every_version(self):
        table = []
        complete_dumps, refused_dumps = {}, {}
        try:
            for version, family in self.VERSIONS:
                with self.subTest(version=version):
                    MACHINE.report_version(version)
                    table.append(self.one_version(version, family, complete_dumps, refused_dumps))
        finally:
            MACHINE.report_version(None)
        self.assertEqual(len(set(map(repr, complete_dumps.values()))), 1, "registry after the complete run differs")
        self.assertEqual(len(set(map(repr, refused_dumps.values()))), 1, "registry after the refused write differs")
        # A version whose case failed gave no row (its failure is the subtest's): the
        # table is written only when every version gave one.
        if len(table) == len(self.VERSIONS):
            write_version_table(table)

    def one_version(self, version, family, complete_dumps, refused_dumps):
        MACHINE.reset(FIXTURE, GOOD_OEM)
        run = MACHINE.run_patch("version-%s" % version)
        self.assertCompleteRun(run)
        complete_dumps[version] = dump = MACHINE.dump(*winemachine.TOUCHED_KEYS)
        for path, name, vtype, data, _ in ROWS:
            self.assertEqual(dump.get(path, {}).get(name), (vtype, data), name)
        self.assertEqual([k for k in dump if under_bios("HKEY_LOCAL_MACHINE\\" + k)], [])

        seen = [c.result for c in run.named("GetVersion")]
        self.assertTrue(seen, "the program asks for the version before the restart")
        self.assertEqual("9x" if seen[-1] & 0x80000000 else "NT", family, "%s: GetVersion %08x" % (version, seen[-1]))
        adjusts = run.named("AdjustTokenPrivileges")
        self.assertEqual([a.result for a in adjusts], [1] if family == "NT" else [])
        deletes = run.named("RegDeleteKeyA")
        self.assertGreater(len(deletes), 1, "Wine's registry needs the subtree walk")

        refused = refuse_row(self.REFUSED_ROW, "version-%s-refused" % version)
        refused_dumps[version] = self.assertRefusedAt(refused, self.REFUSED_ROW)
        return [version, version_text(seen[-1]), "enabled" if adjusts else "not asked", str(len(deletes)),
                "%s box, %d restart request, 15 rows written" % (" ".join(run.boxes), len(run.named("ExitWindowsEx"))),
                "error 26001 box, rows 1-%d kept, no restart" % (self.REFUSED_ROW - 1)]


def version_text(version):
    """GetVersion's answer: the NT family gives its build in the high word; the 9x
    family sets the top bit and keeps the rest of that word to itself."""
    number = "%d.%d" % (version & 0xFF, (version >> 8) & 0xFF)
    if version & 0x80000000:
        return number + ", top bit set (Windows 9x)"
    return "%s build %d (NT)" % (number, version >> 16)


VERSION_TABLE_BEGIN = "<!-- version table: written by tests/wine/test_patch.py --versions -->"
VERSION_TABLE_END = "<!-- end of version table -->"


def write_version_table(rows):
    """The matrix as Markdown, in WORK/versions.md and in IRPATCH_VERSIONS_DOC if set."""
    wine = subprocess.run([MACHINE.wine, "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
    header = ["Wine reports", "the program sees (`GetVersion`)", "shutdown privilege",
              "`RegDeleteKeyA` calls for `Enum\\BIOS`", "complete run", "row %d refused" % VersionMatrix.REFUSED_ROW]
    lines = ["The i686 product under 32-bit Wine (%s), 32-bit programs running %s; every case passing:"
             % (wine, MACHINE.how), "",
             "| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    text = "\n".join(lines) + "\n"
    with open(os.path.join(MACHINE.work, "versions.md"), "w", encoding="utf-8") as f:
        f.write(text)
    doc = os.environ.get("IRPATCH_VERSIONS_DOC")
    if doc:
        with open(doc, encoding="utf-8") as f:
            old = f.read()
        pattern = re.compile(re.escape(VERSION_TABLE_BEGIN) + ".*?" + re.escape(VERSION_TABLE_END), re.S)
        if not pattern.search(old):
            raise AssertionError("%s has no version table markers" % doc)
        with open(doc, "w", encoding="utf-8") as f:
            f.write(pattern.sub(lambda _: VERSION_TABLE_BEGIN + "\n" + text + VERSION_TABLE_END, old))


class Untouched(PatchCase):
    """Runs that must not make one registry call nor change the registry."""

    TAG = None

    @classmethod
    def setUpClass(cls):
        MACHINE.reset(FIXTURE, GOOD_OEM)
        cls.before = MACHINE.export_hklm(cls.TAG + "-before")

    def run_untouched(self, label, oem):
        MACHINE.reset(FIXTURE, oem)
        run = self.run_program(self.TAG + "-" + label.replace(" ", "-"))
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
                self.assertBoxes(run, [REFUSAL[1]])
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


# Row number -> the key made volatile beforehand to refuse that row's key (its parent).
VOLATILE_PARENTS = {
    1: r"Enum\ACPI\*KMO7001",
    7: r"Enum\ACPI\*KMO7001\0",
    8: r"Enum\INFRARED",
    9: r"Software\Microsoft\IrXfer",
    14: r"System\CurrentControlSet\Control\SessionManager",
    15: r"System\CurrentControlSet\Services\VxD",
}


def refuse_row(row, tag, program="patch"):
    """Runs the patch on a machine where row `row`'s key cannot be created."""
    MACHINE.reset(FIXTURE, GOOD_OEM)
    parent = VOLATILE_PARENTS[row]
    # Wine has a (non-volatile) VxD key of its own; it goes for this case and comes
    # back with the next reset.
    MACHINE.import_reg(deletions("HKEY_LOCAL_MACHINE\\" + parent))
    MACHINE.make_volatile(parent)
    return MACHINE.run_patch(tag, program=program)


class WriteRefused(PatchCase):
    """Row k's key cannot be created: rows before it stay, the rest are not written."""

    ROWS = list(VOLATILE_PARENTS)

    def test_refused_rows(self):
        for row in self.ROWS:
            with self.subTest(row=row):
                self.assertRefusedAt(refuse_row(row, "refused-row-%d" % row, self.PROGRAM), row)


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
    parser.add_argument("--desktop-keeper", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the prefix and the transcripts")
    parser.add_argument("--versions", action="store_true", help="run only the Windows version matrix")
    ARGS, rest = parser.parse_known_args()
    cases = [name for name, value in globals().items()
             if isinstance(value, type) and issubclass(value, unittest.TestCase)
             and value.__module__ == __name__ and any(n.startswith("test") for n in vars(value))]
    chosen = ["VersionMatrix"] if ARGS.versions else [c for c in cases if c != "VersionMatrix"]
    unittest.main(argv=[sys.argv[0], "-v"] + (rest or chosen))


if __name__ == "__main__":
    main()
