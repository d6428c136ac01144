#!/usr/bin/env python3
"""Writes the C source of the Windows 98 stubs the personality DLL puts in a
program's import address table.

Reads the table of what Windows 98 SE implements (tests/win98/
win98-w-and-nt-functions.txt): one line a function, `DLL!Function<TAB>implemented`
or `DLL!Function<TAB>stub<TAB>FAILURE`, `#` starting a comment line. Every stub line
becomes one C function that fails as Windows 98's stub does: it records the hit,
sets the last error to 120 (ERROR_CALL_NOT_IMPLEMENTED) and returns FAILURE.

A stub must take exactly the real function's arguments: a __stdcall function pops
them itself, and a stub that popped a different number of bytes would leave the
caller's stack shifted. The number is read from the toolchain's own import library
of the DLL, whose symbols carry the decoration `_Function@N` (N argument bytes);
an undecorated function there is __cdecl (the caller pops: wsprintfW). A function
the import library does not know (or knows only as data) is left out, with a note
in the generated file. A malformed table line stops the build, naming the line.

Usage: make_stubs.py --table FILE --cc COMPILER --nm NM --out FILE.c
"""
import argparse
import os
import re
import subprocess
import sys

LINE = re.compile(r"^([A-Z0-9_]+\.DLL)!([A-Za-z_][A-Za-z0-9_]*)\t(?:(implemented)|stub\t(-?[0-9]+))$")
# nm's lines for an import library's members: the thunk (T) and the IAT slot (I).
SYMBOL = re.compile(r"^[0-9a-fA-F]* *([TI]) (\S+)$")
DECORATED = re.compile(r"^_([A-Za-z_][A-Za-z0-9_]*)(?:@([0-9]+))?$")


class TableError(Exception):
    pass


def read_table(path):
    """The stub lines of the table, in order: [(dll, name, failure as 0..2^32-1)]."""
    stubs, seen = [], {}
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n").rstrip("\r")
            if not line.strip() or line.startswith("#"):
                continue
            m = LINE.match(line)
            where = "%s:%d" % (path, number)
            if not m:
                raise TableError("%s: not `DLL!Function<TAB>implemented` nor `DLL!Function<TAB>stub<TAB>FAILURE`"
                                 " (DLL upper case with .DLL, fields separated by one tab): %r" % (where, line))
            dll, name, implemented, failure = m.groups()
            key = (dll, name)
            if key in seen:
                raise TableError("%s: %s!%s is already classified on line %d" % (where, dll, name, seen[key]))
            seen[key] = number
            if implemented:
                continue
            value = int(failure)
            if not -2**31 <= value < 2**32:
                raise TableError("%s: %s!%s: failure value %d is not a 32-bit value" % (where, dll, name, value))
            stubs.append((dll, name, value & 0xFFFFFFFF))
    return stubs


def import_library(cc, dll):
    """The toolchain's import library of `dll`, found as its compiler finds it."""
    wanted = "lib%s.a" % dll[:-len(".DLL")].lower()
    found = subprocess.run([cc, "-print-file-name=" + wanted], stdout=subprocess.PIPE, text=True,
                           check=True).stdout.strip()
    if not os.path.isabs(found) or not os.path.isfile(found):
        raise TableError("%s: the toolchain (%s) has no import library %s" % (dll, cc, wanted))
    return found


def argument_bytes(nm, library):
    """{function: argument bytes, or None for __cdecl} from the import library: the
    names with both an import thunk (T `_Name@N`) and an IAT slot (I `__imp__Name@N`).
    An exported variable has only the slot; the library's own helper code (the
    intrinsics some import libraries carry) has no slot."""
    out = subprocess.run([nm, library], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                         check=True).stdout
    thunks, slots = [], set()
    for line in out.splitlines():
        m = SYMBOL.match(line.strip())
        if m:
            (thunks.append if m.group(1) == "T" else slots.add)(m.group(2))
    functions = {}
    for symbol in thunks:
        d = DECORATED.match(symbol)
        if d and "__imp_" + symbol in slots:
            functions.setdefault(d.group(1), None if d.group(2) is None else int(d.group(2)))
    return functions


def stub_source(index, dll, name, failure, size):
    """One stub: __stdcall with size/4 DWORD arguments, or __cdecl when size is None."""
    symbol = "stub_%s_%s" % (dll[:-len(".DLL")], name)
    if size is None:
        head = "static DWORD __cdecl %s(void)" % symbol
        what = "__cdecl, the caller pops its arguments"
        uses = ""
    else:
        args = ["a%d" % i for i in range(1, size // 4 + 1)]
        head = "static DWORD WINAPI %s(%s)" % (symbol, ", ".join("DWORD " + a for a in args) or "void")
        what = "%d argument bytes" % size
        uses = "".join("    (void)%s;\n" % a for a in args)
    body = "%s {\n%s    return win98_stub_failed(%du, 0x%08Xu);\n}\n" % (head, uses, index, failure)
    return symbol, "/* %s!%s: %s */\n%s" % (dll, name, what, body)


def generate(stubs, sizes_of):
    """The C file's text and the list of stubs left out."""
    parts = ["/* Generated by make_stubs.py from the table of Windows 98 stubs: do not edit. */\n",
             '#include "personality.h"\n\n']
    rows, left_out = [], []
    for dll, name, failure in stubs:
        size = sizes_of(dll).get(name, "unknown")
        if size == "unknown" or (size is not None and size % 4):
            why = ("the toolchain's import library has no function of that name" if size == "unknown"
                   else "its import library gives %d argument bytes, not whole DWORDs" % size)
            left_out.append("%s!%s: %s" % (dll, name, why))
            parts.append("/* %s!%s: left out, %s. */\n\n" % (dll, name, why))
            continue
        symbol, source = stub_source(len(rows), dll, name, failure, size)
        parts.append(source + "\n")
        rows.append('    {"%s", "%s", (FARPROC)%s},\n' % (dll, name, symbol))
    parts.append("const struct win98_stub win98_stubs[] = {\n%s    {0, 0, 0}\n};\n" % "".join(rows))
    parts.append("const unsigned win98_stub_count = %du;\n" % len(rows))
    return "".join(parts), len(rows), left_out


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", required=True)
    parser.add_argument("--cc", required=True, help="the i686 C compiler, to find the import libraries")
    parser.add_argument("--nm", required=True, help="the toolchain's nm")
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    try:
        stubs = read_table(args.table)
        cache = {}

        def sizes_of(dll):
            if dll not in cache:
                cache[dll] = argument_bytes(args.nm, import_library(args.cc, dll))
            return cache[dll]

        text, written, left_out = generate(stubs, sizes_of)
    except (TableError, OSError, subprocess.CalledProcessError) as e:
        print("make_stubs.py: %s" % e, file=sys.stderr)
        return 1
    with open(args.out + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(args.out + ".tmp", args.out)
    print("make_stubs.py: %d Windows 98 stubs written, %d left out%s"
          % (written, len(left_out), "".join("\n  left out: " + s for s in left_out)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
