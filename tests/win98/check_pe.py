#!/usr/bin/env python3
"""Checks that a PE executable can be loaded by Windows 98 SE.

Reads the PE headers and the import table through pefile (pe_read.py) and fails
when the program would be refused by the Windows 98 loader or would import a
function that Windows 98 SE does not export:

  - machine i386 (0x14C), PE32, GUI subsystem;
  - subsystem version exactly the 4.0 the build asks for (the loader refuses
    anything above 4.10), operating system version 4.0;
  - imports only from KERNEL32, USER32, ADVAPI32 and MSVCRT, by name: the DLLs
    with a Windows 98 SE export list here (a DLL without one is refused whole);
  - every import in the export lists of Windows 98 SE. MSVCRT's is complete; those
    of KERNEL32, USER32 and ADVAPI32 are lower bounds, so a name of theirs missing
    from them may be allowed by allowed-imports.txt after a manual check, each entry
    saying why it is safe (an entry for another DLL is itself an error);
  - no import listed in win98-missing-imports.txt: KERNEL32, USER32 and ADVAPI32
    names known absent, which is what those lower bounds cannot say. It is tested
    before the allowances, so no allowance lets such a name through;
  - every KERNEL32, USER32 and ADVAPI32 import whose name ends in W or looks NT-only
    (win98_table.NT_ONLY) classified by win98-w-and-nt-functions.txt, whose lines
    must each be well formed, exported and sourced.

It prints the imports the table calls stubs (on Windows 98 each fails with error
120), and the stub names the image holds without importing them: names a program
passes to GetProcAddress.

Usage: check_pe.py EXE [--data DIR] [--expect TEXT]...
Exit status 0 when every check passes, 1 when one fails, 2 on a bad file.
"""
import argparse
import os
import re
import sys

import pe_read
import win98_table

EXPORT_LISTS = ("KERNEL32", "USER32", "ADVAPI32", "MSVCRT")
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def imports(pe):
    """[(DLL name upper-cased, function name or '#ordinal')] in table order."""
    return [(d.dll.decode("latin-1").upper(), "#%d" % i.ordinal if i.import_by_ordinal else i.name.decode("latin-1"))
            for d in pe_read.import_descriptors(pe) for i in d.imports]


def read_names(path):
    with open(path, encoding="utf-8") as f:
        return {line.strip() for line in f if line.strip() and not line.startswith("#")}


def read_allowances(path):
    """DLL!Function<TAB>reason lines; a line without a reason, or for a DLL whose
    export list is complete, is itself an error."""
    allowed = {}
    problems = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            name, _, reason = line.partition("\t")
            if not reason.strip():
                problems.append("%s:%d: allowance for %s gives no reason" % (path, number, name))
            if name.strip().upper().partition("!")[0] not in win98_table.TABLE_DLLS:
                problems.append("%s:%d: allowance for %s: only KERNEL32, USER32 and ADVAPI32, whose export "
                                "lists are lower bounds, take allowances" % (path, number, name))
                continue
            allowed[name.strip().upper()] = reason.strip()
    return allowed, problems


def verdict(problems, expected, ok_text, reported=()):
    """Prints the problems; the exit status. With expected texts the check is being
    checked: it passes when every one of them was reported, as a problem or among
    the lines `reported` that the caller printed."""
    for problem in problems:
        print("FAIL: " + problem)
    if expected:
        said = list(problems) + list(reported)
        unseen = [e for e in expected if not any(e in p for p in said)]
        for text in unseen:
            print("NOT REPORTED: " + text)
        return 1 if unseen else 0
    if problems:
        return 1
    print("OK: " + ok_text)
    return 0


def versions(pe):
    """(subsystem version, operating system version), each (major, minor)."""
    opt = pe.OPTIONAL_HEADER
    return ((opt.MajorSubsystemVersion, opt.MinorSubsystemVersion),
            (opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion))


def header_problems(pe):
    problems = []
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_I386:
        problems.append("machine 0x%X, expected i386 (0x14C)" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %d, expected the Windows GUI (2)" % pe.OPTIONAL_HEADER.Subsystem)
    (major, minor), os_version = versions(pe)
    if major > 4 or (major == 4 and minor > 10):
        problems.append("subsystem version %d.%d: Windows 98 refuses anything above 4.10" % (major, minor))
    elif (major, minor) != (4, 0):
        problems.append("subsystem version %d.%d, the build asks for 4.0" % (major, minor))
    if os_version != (4, 0):
        problems.append("operating system version %d.%d, expected 4.0" % os_version)
    if pe_read.directory(pe, pe_read.DELAY_IMPORT):
        problems.append("delay-load imports present; they escape this check")
    return problems


class Lists:
    """The Windows 98 SE data in DIR: export lists, absent names, allowances, table."""

    def __init__(self, data_dir):
        def path(name):
            return os.path.join(data_dir, name)
        self.exports = {dll + ".DLL": read_names(path("win98-exports-%s.txt" % dll.lower()))
                        for dll in EXPORT_LISTS}
        self.known = {dll: {n.upper() for n in names} for dll, names in self.exports.items()}
        self.missing = {n.upper() for n in read_names(path("win98-missing-imports.txt"))}
        self.allowed, self.problems = read_allowances(path("allowed-imports.txt"))
        self.table, table_problems = win98_table.read_table(path("win98-w-and-nt-functions.txt"), self.exports)
        self.problems += table_problems
        self.problems += win98_table.check_sources(path("win98-w-and-nt-functions-sources.tsv"), self.table)
        self.problems += win98_table.check_coverage(self.table, self.exports)


def import_problem(lists, dll, func):
    """Why Windows 98 SE would refuse or fail this import, as one text; None if fine."""
    qualified = "%s!%s" % (dll, func)
    if dll not in lists.known:
        return "DLL outside %s, the DLLs with a Windows 98 SE export list" % ", ".join(EXPORT_LISTS)
    if func.startswith("#"):
        return "import by ordinal; ordinals differ between Windows versions"
    if qualified.upper() in lists.missing:
        return "absent on Windows 98 SE"
    reasons = []
    if func.upper() not in lists.known[dll] and qualified.upper() not in lists.allowed:
        reasons.append("not among the Windows 98 SE exports and not allowed")
    reason = win98_table.why_classified(func)
    if dll in win98_table.TABLE_DLLS and reason and (dll, func) not in lists.table:
        reasons.append("%s the table does not classify" % win98_table.describe(reason))
    return "; ".join(reasons) or None


def check(pe, lists):
    problems = header_problems(pe) + lists.problems
    found = imports(pe)
    if not found:
        problems.append("no imports found: the import table could not be read")
    for dll, func in found:
        problem = import_problem(lists, dll, func)
        if problem:
            problems.append("%s!%s: %s" % (dll, func, problem))
    return found, problems


def stubs_imported(lists, imports):
    return sorted("%s!%s" % key for key in set(imports)
                  if key in lists.table and lists.table[key].cls == "stub")


def stubs_named(lists, data, imports):
    """Table stubs whose names the image holds as C strings without importing them."""
    strings = set(re.findall(rb"(?<![\x21-\x7e])([A-Za-z_][A-Za-z0-9_]{3,})\x00", data))
    imported = {func for _, func in imports}
    return sorted("%s!%s" % (dll, func) for (dll, func), entry in lists.table.items()
                  if entry.cls == "stub" and func not in imported and func.encode() in strings)


def report(exe, pe, data, imports, lists):
    """Prints what the program imports and which of it Windows 98 only stubs; the lines."""
    subsystem, os_version = versions(pe)
    lines = ["%s: machine 0x%X, subsystem %d version %d.%d, OS version %d.%d, %d imports"
             % ((exe, pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Subsystem) + subsystem + os_version
                + (len(imports),))]
    for dll in sorted({d for d, _ in imports}):
        names = sorted(f for d, f in imports if d == dll)
        lines.append("  %s (%d): %s" % (dll, len(names), " ".join(names)))
    stubs = stubs_imported(lists, imports)
    lines.append("  stubs on Windows 98 SE, each failing there with error 120 (%d): %s"
                 % (len(stubs), " ".join(stubs) or "none"))
    named = stubs_named(lists, data, imports)
    if named:
        lines.append("  stubs named in the image but not imported, as GetProcAddress gets them (%d): %s"
                     % (len(named), " ".join(named)))
    for line in lines:
        print(line)
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--data", default=os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--expect", action="append", default=[],
                        help="a text that must be reported, as a problem or in the stub lines "
                             "(checks the check); with it, success means every one was reported")
    args = parser.parse_args()
    try:
        lists = Lists(args.data)
    except (OSError, UnicodeDecodeError) as error:
        print("cannot read the Windows 98 SE lists in %s: %s" % (args.data, error))
        return 2
    try:
        with open(args.exe, "rb") as f:
            data = f.read()
        pe = pe_read.read(data, [pe_read.IMPORT])
        imports, problems = check(pe, lists)
    except (OSError, pe_read.PeError) as error:
        print("%s: cannot read the image: %s" % (args.exe, error))
        return 2
    lines = report(args.exe, pe, data, imports, lists)
    return verdict(problems, args.expect, "loadable on Windows 98 SE as far as these lists tell", lines)


if __name__ == "__main__":
    sys.exit(main())
