#!/usr/bin/env python3
"""Checks, instruction by instruction, that a 32-bit Windows program runs on an i486.

Windows 98 runs on a 486DX. An instruction a later CPU introduced (CMOV and FCOMI of
the Pentium Pro, CMPXCHG8B and RDTSC of the Pentium, anything on MMX or SSE
registers, the P6 long NOP 0F 1F, ...) stops the program there with an illegal
operation. This check disassembles every byte of code the program holds and passes
an instruction only when it is one of the i486's, by mnemonic as objdump writes it,
with the prefixes and registers a 486 has (i486_instructions.py lists them, grouped
by the CPU that brought them). Anything else fails, an instruction objdump cannot
decode ("(bad)") included:

  - code and data are told apart with the linker map of the same link: every input
    section ld placed in the .text output section is code (.text, .text$*, .text.*,
    .gnu.linkonce.t.*, .init, .fini) and is read, or one of the kinds of data ld's
    PE script also puts there (DATA_IN_TEXT: .gcc_except_table, the .ctors and
    .dtors lists) and is not; a section of any other name fails;
  - each code section is decoded from its own first byte, so data before it cannot
    shift the decoding; a section outside .text that the image marks as code fails,
    since nothing here reads it;
  - --allowed FILE (allowed-cpu.txt) names the few functions that may hold more, one
    line each, FUNCTION<TAB>MNEMONIC,...<TAB>REASON ("#" starts a comment line):
    FUNCTION as this check's messages name it, MNEMONIC as objdump writes it,
    REASON why it never runs on a CPU without it. CPUID, RDRAND and RDSEED pass
    nowhere else, and CPUID only after the function has tested that the CPU has it
    (the EFLAGS.ID test: flip bit 21, 0x200000, and POPF it, earlier in the
    function). An allowance that matches nothing, a function the program does not
    have or a mnemonic the function does not hold, fails: it is a hole waiting;
  - with --runtime DIR, every object of the C and C++ runtime (the files DIR's
    COMPLETE lists) must have come from DIR, not from the toolchain's stock copy,
    and the map must name crt2.o (paths in the map are absolute or relative to the
    map's folder, where the link ran).

Usage: check_cpu.py EXE --map MAP [--allowed FILE] [--runtime DIR] [--objdump PROG]
                    [--expect TEXT]...
Exit status 0 when every check passes, 1 when one fails, 2 when the files cannot be read.
"""
import argparse
import bisect
import collections
import os
import re
import subprocess
import sys

from check_pe import verdict
from i486_instructions import PREFIXES, not_i486

# Allowed only in the functions allowed-cpu.txt names.
GUARDED = {"cpuid", "rdrand", "rdseed"}
# The input sections ld's PE script puts in the .text output section are code or one
# of these kinds of data; any other name in .text fails, since nothing says whether
# it is code.
CODE_SECTION = re.compile(r"(\.text([.$].*)?|\.gnu\.linkonce\.t\..+|\.init|\.fini)\Z")
DATA_IN_TEXT = [
    (re.compile(r"\.gcc_except_table\Z"), "the C++ exception tables the unwinder reads"),
    (re.compile(r"\.ctors(\.\d+)?\Z"), "constructor lists, by priority: addresses the start-up calls"),
    (re.compile(r"\.dtors(\.\d+)?\Z"), "destructor lists, by priority: addresses the exit code calls"),
]

Section = collections.namedtuple("Section", "name start size origin symbols")
Allowance = collections.namedtuple("Allowance", "mnemonics where")


class Unreadable(Exception):
    pass


def read_map(path):
    """The input sections of the .text output section, in address order. A section
    line this cannot read stops the check: what it would skip is unaudited code."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    try:
        lines = lines[lines.index("Linker script and memory map"):]
    except ValueError:
        raise Unreadable("%s is not a GNU ld map" % path)
    head = re.compile(r"(\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)(?:\s+(.*))?\Z")
    placed = re.compile(r"\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.*)\Z")
    symbol = re.compile(r"\s+0x([0-9a-f]+)\s+(?!0x)(\S.*)\Z")
    sections, in_text, pending = [], False, None
    for line in lines:
        if line and not line[0].isspace():  # an output section
            in_text = line.split()[0] == ".text"
            continue
        if not in_text:
            continue
        m = head.match(line[1:]) if line.startswith(" ") and not line.startswith("  ") else None
        if (pending and not placed.match(line)) or (m and not m.group(4) and m.group(1) != "*fill*"):
            raise Unreadable("%s: no address, size and file for section %s" % (path, pending or m.group(1)))
        if m and m.group(4) and m.group(1) != "*fill*":
            sections.append(Section(m.group(1), int(m.group(2), 16), int(m.group(3), 16), m.group(4), []))
            pending = None
        elif re.match(r" \S+\Z", line) and not line.startswith(" *"):
            pending = line.strip()  # a long name: its address, size and file follow
        elif pending and placed.match(line):
            start, size, origin = placed.match(line).groups()
            sections.append(Section(pending, int(start, 16), int(size, 16), origin, []))
            pending = None
        elif symbol.match(line) and sections and "PROVIDE" not in line:
            address, name = symbol.match(line).groups()
            sections[-1].symbols.append((int(address, 16), name))
    if not sections:
        raise Unreadable("%s places nothing in .text" % path)
    return sorted((s for s in sections if s.size), key=lambda s: s.start)


def disassemble(objdump, exe, start=None, stop=None):
    """{address: instruction text} of .text, or of [start, stop)."""
    command = [objdump, "-d", "-w", "-j", ".text", exe]
    if start is not None:
        command[2:2] = ["--start-address=0x%x" % start, "--stop-address=0x%x" % stop]
    try:
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise Unreadable("%s: %s" % (" ".join(command), error))
    line = re.compile(r"\s*([0-9a-f]+):\t[0-9a-f ]+\t(.*)\Z")
    return {int(m.group(1), 16): m.group(2).strip() for m in map(line.match, out.split("\n")) if m}


def demangle(objdump, names):
    """{mangled: readable}; binutils' c++filt beside objdump, told not to strip the
    leading underscore that i386 PE symbols carry (section names have none)."""
    cxxfilt = re.sub(r"objdump$", "c++filt", objdump)
    try:
        out = subprocess.run([cxxfilt, "--no-strip-underscore"], input="\n".join(names), check=True,
                             capture_output=True, text=True).stdout.split("\n")
        return dict(zip(names, out))
    except (OSError, subprocess.CalledProcessError):
        return {name: name for name in names}


def section_function(name):
    """The function a code section is named after (-ffunction-sections' .text$NAME,
    .text.NAME and .gnu.linkonce.t.NAME), or None. GCC's .text.unlikely, .startup,
    .hot and .exit say where a function goes, not which it is."""
    m = re.match(r"(?:\.text[.$]|\.gnu\.linkonce\.t\.)(.+)\Z", name)
    if not m:
        return None
    head, _, rest = m.group(1).partition(".")
    return (rest or None) if head in ("unlikely", "startup", "hot", "exit") else m.group(1)


def function_names(objdump, sections):
    """{name as the section or the map has it: demangled} for function_of. (The map
    writes symbols without the underscore i386 PE puts before C names.)"""
    found = {section_function(s.name) for s in sections} - {None}
    found |= {name for s in sections for _, name in s.symbols}
    return demangle(objdump, sorted(found))


def function_of(section, address, names):
    """The function an address lies in: the one its section is named after, else the
    nearest global symbol before the address (a static function has none in the
    map), else the object's section and the offset in it."""
    named = section_function(section.name)
    if not named:
        before = [name for at, name in section.symbols if at <= address]
        named = before[-1] if before else None
    if named:
        return names.get(named, named)
    return "%s of %s +0x%x" % (section.name, os.path.basename(section.origin), address - section.start)


def mnemonic(text):
    """(mnemonic, operands) of objdump's text, the i486's prefixes set aside; a line
    that is nothing but prefixes is its own mnemonic, and fails."""
    words = text.split()
    while words and words[0] in PREFIXES:
        words = words[1:]
    return (words[0], " ".join(words[1:])) if words else (text, "")


def known_data(name):
    return any(kind.match(name) for kind, _ in DATA_IN_TEXT)


def unknown_sections(sections):
    """The sections in .text that are neither code nor data of a known kind."""
    return ["section %s at 0x%x, from %s, is in .text but is neither code nor data known to be there"
            % (s.name, s.start, os.path.basename(s.origin)) for s in sections
            if not CODE_SECTION.match(s.name) and not known_data(s.name)]


def code_instructions(objdump, exe, sections):
    """[(section, address, text)] of every instruction in the code sections given."""
    whole = disassemble(objdump, exe)
    found = []
    for section in sections:
        end = section.start + section.size
        decoded = whole
        if section.start not in whole:  # out of step after data: decode it alone
            decoded = disassemble(objdump, exe, section.start, end)
        addresses = sorted(decoded)
        for address in addresses[bisect.bisect_left(addresses, section.start):
                                 bisect.bisect_left(addresses, end)]:
            found.append((section, address, decoded[address]))
    return found


def code_outside_text(objdump, exe):
    """Sections other than .text that the image marks as code: nothing audits them."""
    try:
        out = subprocess.run([objdump, "-h", exe], check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise Unreadable("%s -h: %s" % (objdump, error))
    names = re.findall(r"^\s*\d+\s+(\S+)\s.*\n\s+.*\bCODE\b", out, re.M)
    return ["section %s holds code outside .text, which this check does not read" % name
            for name in names if name != ".text"]


def check_runtime(map_path, runtime):
    """Every runtime file the map names comes from the runtime folder, and crt2.o, in
    every program, does. The map gives paths as the linker got them: absolute, or
    relative to the folder the link ran in, which is the map's."""
    problems = []
    with open(os.path.join(runtime, "COMPLETE"), encoding="utf-8") as f:
        names = {line.split()[-1] for line in f if line.strip()} - {"BUILD-INFO"}
    with open(map_path, encoding="utf-8", errors="replace") as f:
        used = set(re.findall(r"(?<![^\s(])([^\s()]*/[^\s()]+?\.(?:a|o))(?=[(\s]|$)", f.read(), re.M))
    here, root, found = os.path.dirname(os.path.abspath(map_path)), os.path.realpath(runtime), set()
    for path in sorted({os.path.normpath(os.path.join(here, p)) for p in used}):
        if os.path.basename(path) not in names:
            continue
        if os.path.dirname(os.path.realpath(path)) != root:
            problems.append("%s linked from %s, not from the i486 runtime %s" %
                            (os.path.basename(path), os.path.dirname(path), runtime))
        found.add(os.path.basename(path))
    if "crt2.o" not in found:
        problems.append("%s names no crt2.o: where the runtime came from is unknown" % map_path)
    return problems


def read_allowances(path):
    """{function: Allowance} from FUNCTION<TAB>MNEMONIC,...<TAB>REASON lines; a line
    that lacks a part, the reason included, or names a function twice is a problem."""
    allowed, problems = {}, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            where = "%s:%d" % (os.path.basename(path), number)
            parts = [part.strip() for part in line.rstrip("\n").split("\t")]
            if len(parts) != 3 or not all(parts):
                problems.append("%s: not FUNCTION<TAB>MNEMONIC,...<TAB>REASON" % where)
            elif parts[0] in allowed:
                problems.append("%s: %s has its line already (%s)" % (where, parts[0], allowed[parts[0]].where))
            else:
                allowed[parts[0]] = Allowance(set(parts[1].split(",")), where)
    return allowed, problems


def stale(allowed, held):
    """Allowances that match nothing, each a hole waiting for code to fill it: a
    function the program does not have, an instruction the function does not hold."""
    problems = []
    for function, allowance in allowed.items():
        if function not in held:
            problems.append("%s: %s is not in the program: a stale allowance" % (allowance.where, function))
            continue
        for name in sorted(allowance.mnemonics - held[function]):
            problems.append("%s: %s holds no %s: a stale allowance" % (allowance.where, function, name))
    return problems


def judge(name, operands, function, allowed_here, tested):
    """Why an instruction may not run on an i486 here, or None."""
    if name in allowed_here:
        if name == "cpuid" and function not in tested:
            return "CPUID before the function tests that the CPU has it (EFLAGS.ID)"
        return None
    if name in GUARDED:
        return "%s outside the functions allowed to test the CPU" % name.upper()
    return not_i486(name, operands)


def audit(instructions, names, allowed):
    """Judges every instruction: (problems, {mnemonic: count} passed by an allowance,
    {function: mnemonics it holds})."""
    hits = collections.OrderedDict()  # (function, origin, mnemonic, why) -> [addresses]
    flipped, tested = set(), set()  # functions past each half of the EFLAGS.ID test
    used, held = collections.Counter(), collections.defaultdict(set)
    for section, address, text in instructions:
        name, operands = mnemonic(text)
        function = function_of(section, address, names)
        held[function].add(name)
        if "$0x200000," in operands:
            flipped.add(function)
        elif name in ("popf", "popfl") and function in flipped:
            tested.add(function)
        allowed_here = allowed[function].mnemonics if function in allowed else set()
        why = judge(name, operands, function, allowed_here, tested)
        if why is None:
            if name in allowed_here:
                used[name] += 1
            continue
        hits.setdefault((function, os.path.basename(section.origin), name, why), []).append(address)
    problems = ["%s x%d at 0x%x, in %s (%s): %s" % (name, len(addresses), addresses[0], function, origin, why)
                for (function, origin, name, why), addresses in hits.items()]
    return problems, used, held


def with_addresses(expected, sections):
    """The expected texts with each {SYMBOL} replaced by the address the map gives
    SYMBOL, so that a test of this check can say where a problem must be found."""
    symbols = {name: at for s in sections for at, name in s.symbols}

    def address(m):
        if m.group(1) not in symbols:
            raise Unreadable("--expect names %s, which the map does not place in .text" % m.group(1))
        return "0x%x" % symbols[m.group(1)]
    return [re.sub(r"\{(\w+)\}", address, text) for text in expected]


def check(args):
    """(problems, expected texts with their addresses)."""
    sections = read_map(args.map)
    expected = with_addresses(args.expect, sections)
    allowed, problems = read_allowances(args.allowed) if args.allowed else ({}, [])
    code = [s for s in sections if CODE_SECTION.match(s.name)]
    problems += unknown_sections(sections)
    instructions = code_instructions(args.objdump, args.exe, code)
    found, used, held = audit(instructions, function_names(args.objdump, code), allowed)
    problems += found + stale(allowed, held)
    problems += code_outside_text(args.objdump, args.exe)
    if args.runtime:
        problems += check_runtime(args.map, args.runtime)
    data = collections.Counter(s.name for s in sections if known_data(s.name))
    print("%s: %d instructions in %d code sections (%d bytes); data in .text, not read: %s"
          % (args.exe, len(instructions), len(code), sum(s.size for s in code),
             ", ".join("%s x%d" % item for item in sorted(data.items())) or "none"))
    if used:
        print("  allowed by %s: %s" % (os.path.basename(args.allowed),
                                      ", ".join("%s x%d" % item for item in sorted(used.items()))))
    return problems, expected


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--map", required=True, help="the linker map of the same link")
    parser.add_argument("--allowed", help="FUNCTION<TAB>MNEMONIC,...<TAB>REASON lines: the functions "
                                          "that may hold CPUID, RDRAND, RDSEED (and what they guard)")
    parser.add_argument("--runtime", help="the i486 runtime folder every runtime object must come from")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--expect", action="append", default=[],
                        help="a problem text that must be found (checks the check); {SYMBOL} "
                             "stands for the address the map gives SYMBOL")
    args = parser.parse_args()
    try:
        problems, expected = check(args)
    except (OSError, Unreadable) as error:
        print("cannot check: %s" % error)
        return 2
    return verdict(problems, expected, "every instruction runs on an i486")


if __name__ == "__main__":
    sys.exit(main())
