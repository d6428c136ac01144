#!/usr/bin/env python3
"""Test copies of a PE32 i386 program that load one more DLL first, and the check
that a copy still holds the original's code and data byte for byte.

A copy gets exactly one import descriptor more, for the DLL (importing its one
export by name: Wine's loader skips a DLL whose import list is empty). Every
existing section keeps its bytes and its place: the new descriptor array (the old
descriptors copied, the new one, the terminator), the DLL's name and its lookup and
address tables go into one new section after the last. The headers change in three
fields only, the ones the loaders read to map the image and find its imports:
NumberOfSections (and the new section's header, in the room the headers already
have), SizeOfImage (the size the loader maps, which must cover the new section)
and the import directory. Nothing else is needed: the new section holds
RVAs only, so no base relocation; it is writable, so the loader can fill its
address table without the IAT directory (which keeps naming the old tables); the
checksum is checked for drivers only, and SizeOfInitializedData by no loader.

With the TLS callbacks cleared (a loader that ignores them), the copy's TLS
directory has AddressOfCallBacks 0. That field is an address, so the base
relocation that would add the load delta to it is turned into a padding entry
(IMAGE_REL_BASED_ABSOLUTE): relocated, the copy would otherwise find callbacks at
the delta itself. Those are the only bytes of the original sections that change.

As a command:
    pe_copy.py copy [--no-tls-callbacks] [--dll NAME] [--symbol NAME] ORIGINAL COPY
    pe_copy.py check [--no-tls-callbacks] [--dll NAME] ORIGINAL COPY
"""
import argparse
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "win98"))
import pe_read  # noqa: E402
from pe_read import BOUND_IMPORT, IMPORT, RELOC, TLS  # noqa: E402

DLL = "win98_personality.dll"
SYMBOL = "win98_personality_installed"
SECTION_NAME = b".w98imp\0"

DESCRIPTOR = 20
SECTION_HEADER = 40
# Initialized data, readable, writable.
SECTION_FLAGS = 0x00000040 | 0x40000000 | 0x80000000
HIGHLOW, ABSOLUTE = 3, 0


class PeEditError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Pe:
    """A PE32 i386 program as pefile reads it (`image`: its headers, sections, imports,
    base relocations and TLS directory), with what the editor asks of it."""

    def __init__(self, data, what="the program"):
        self.data = data
        self.what = what
        try:
            self.image = pe_read.read(data, [IMPORT, RELOC, TLS])
            self.imports = pe_read.import_descriptors(self.image)
        except pe_read.PeError as error:
            raise PeEditError("%s: %s" % (what, error)) from None
        if self.image.FILE_HEADER.Machine != 0x14C:
            raise PeEditError("%s: machine 0x%x, not i386" % (what, self.image.FILE_HEADER.Machine))
        self.sections = self.image.sections
        if not self.sections:
            raise PeEditError("%s has no sections" % what)

    def room(self):
        """The file offset after the section table: where one more section header goes."""
        return self.sections[-1].get_file_offset() + SECTION_HEADER

    def raw_end(self):
        return max([s.PointerToRawData + s.SizeOfRawData for s in self.sections if s.SizeOfRawData]
                   + [self.image.OPTIONAL_HEADER.SizeOfHeaders])

    def descriptors(self):
        """The import descriptors' bytes, up to (not including) the null one."""
        if not self.imports:
            raise PeEditError("%s has no import directory" % self.what)
        return [d.struct.__pack__() for d in self.imports]

    def dll_names(self):
        return [d.dll.decode("latin-1") for d in self.imports]

    def tls(self):
        """pefile's TLS directory structure."""
        if not hasattr(self.image, "DIRECTORY_ENTRY_TLS"):
            raise PeEditError("%s has no TLS directory: no callbacks to clear" % self.what)
        return self.image.DIRECTORY_ENTRY_TLS.struct

    def tls_callbacks_rva(self):
        """The RVA of the TLS directory's AddressOfCallBacks."""
        return self.image.get_rva_from_offset(self.tls().get_field_absolute_offset("AddressOfCallBacks"))

    def relocation_entry(self, rva):
        """pefile's HIGHLOW base relocation entry of the address at `rva`, or None when
        none relocates it."""
        for block in getattr(self.image, "DIRECTORY_ENTRY_BASERELOC", []):
            if block.struct.SizeOfBlock < 8:
                raise PeEditError("%s: a base relocation block of %d bytes" % (self.what, block.struct.SizeOfBlock))
            for entry in block.entries:
                if entry.type == HIGHLOW and entry.rva == rva:
                    return entry
        return None


def refuse_unsafe(pe):
    """Anything a copy could not carry unchanged, or could not be given its section."""
    if len(pe.data) != pe.raw_end():
        raise PeEditError("%s: %d bytes after the last section's data (a signature, symbols or appended data),"
                          " which a new section would have to move" % (pe.what, len(pe.data) - pe.raw_end())
                          if len(pe.data) > pe.raw_end() else "%s is cut short" % pe.what)
    if pe_read.directory(pe.image, BOUND_IMPORT):
        raise PeEditError("%s has bound imports, whose data sits in the headers' free room" % pe.what)
    room = pe.room()
    headers = pe.image.OPTIONAL_HEADER.SizeOfHeaders
    first_data = min([s.PointerToRawData for s in pe.sections if s.SizeOfRawData] + [headers])
    if room + SECTION_HEADER > min(first_data, headers) or \
            pe.data[room:room + SECTION_HEADER] != bytes(SECTION_HEADER):
        raise PeEditError("%s: no free room for one more section header before the first section's data"
                          % pe.what)


def new_section(pe, rva, dll, symbol):
    """The new section's bytes at `rva`: the descriptors, then ILT, IAT, the hint and
    name of `symbol` and the DLL's name. Returns (bytes, size of the descriptor array)."""
    old = pe.descriptors()
    array = DESCRIPTOR * (len(old) + 2)
    ilt = rva + array
    iat = ilt + 8
    hint_name = iat + 8
    name_bytes = struct.pack("<H", 0) + symbol.encode("ascii") + b"\0"
    name_bytes += b"\0" * (len(name_bytes) % 2)
    dll_name = hint_name + len(name_bytes)
    ours = struct.pack("<IIIII", ilt, 0, 0, dll_name, iat)
    body = b"".join(old) + ours + b"\0" * DESCRIPTOR
    body += struct.pack("<II", hint_name, 0) * 2 + name_bytes + dll.encode("ascii") + b"\0"
    return body, array


def clear_callbacks(pe):
    """Clears the TLS callbacks in pe's structures, for pefile's write() (see the
    module's text)."""
    tls = pe.tls()
    if tls.AddressOfCallBacks == 0:
        raise PeEditError("%s: its TLS directory lists no callbacks to clear" % pe.what)
    entry = pe.relocation_entry(pe.tls_callbacks_rva())
    tls.AddressOfCallBacks = 0
    if entry is not None:
        entry.struct.Data = (ABSOLUTE << 12) | (entry.struct.Data & 0xFFF)


def add_import(data, dll=DLL, symbol=SYMBOL, clear_tls_callbacks=False):
    """The bytes of a copy of the PE32 i386 program `data` that imports `symbol` from
    `dll` after its other imports; refuses (PeEditError) what it cannot edit safely."""
    pe = Pe(data)
    refuse_unsafe(pe)
    if dll.lower() in (name.lower() for name in pe.dll_names()):
        raise PeEditError("the program already imports %s" % dll)
    if clear_tls_callbacks:
        clear_callbacks(pe)
    opt = pe.image.OPTIONAL_HEADER
    room = pe.room()
    rva = align(max([s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData) for s in pe.sections]
                    + [opt.SizeOfImage]), opt.SectionAlignment)
    body, array = new_section(pe, rva, dll, symbol)
    raw_offset = align(len(data), opt.FileAlignment)
    raw_size = align(len(body), opt.FileAlignment)

    pe.image.FILE_HEADER.NumberOfSections += 1
    opt.SizeOfImage = align(rva + len(body), opt.SectionAlignment)
    opt.DATA_DIRECTORY[IMPORT].VirtualAddress, opt.DATA_DIRECTORY[IMPORT].Size = rva, array
    out = pe.image.write()
    out[room:room + SECTION_HEADER] = struct.pack("<8sIIIIIIHHI", SECTION_NAME, len(body), rva, raw_size,
                                                  raw_offset, 0, 0, 0, 0, SECTION_FLAGS)
    out += bytes(raw_offset - len(out)) + body + bytes(raw_size - len(body))
    return bytes(out)


def header_changes(old, copy):
    """The headers' bytes that differ outside the fields the editor writes."""
    file_header, opt = old.image.FILE_HEADER, old.image.OPTIONAL_HEADER
    written = [(file_header.get_field_absolute_offset("NumberOfSections"), 2),
               (opt.get_field_absolute_offset("SizeOfImage"), 4),
               (opt.DATA_DIRECTORY[IMPORT].get_file_offset(), 8), (old.room(), SECTION_HEADER)]
    allowed = set(i for at, length in written for i in range(at, at + length))
    changed = [i for i in range(opt.SizeOfHeaders)
               if i not in allowed and (i >= len(copy) or old.data[i] != copy[i])]
    return ["headers: %d bytes differ outside NumberOfSections, SizeOfImage, the import directory and the new"
            " section's header, the first at file offset 0x%x" % (len(changed), changed[0])] if changed else []


def check_copy(original, copy, dll=DLL, tls_callbacks_cleared=False):
    """What differs, beyond the editor's own changes, between the program `original`
    and its test copy `copy`: every original section's header and raw bytes (only
    the TLS callback edits allowed, when cleared), and the copy's imports (the
    original's, then `dll`); and the headers outside the fields the editor writes.
    An empty list when the copy is as it should be."""
    old, new = Pe(original, "the original"), Pe(copy, "the copy")
    problems = []
    if len(new.sections) != len(old.sections) + 1:
        problems.append("the copy has %d sections, the original %d: expected one more"
                        % (len(new.sections), len(old.sections)))
    if tls_callbacks_cleared:
        clear_callbacks(old)
    expected = old.image.write() if tls_callbacks_cleared else original
    for before, after in zip(old.sections, new.sections):
        name = before.Name.rstrip(b"\0").decode("latin-1")
        if before.__pack__() != after.__pack__():
            problems.append("section %s: its header differs" % name)
            continue
        a, b = before.PointerToRawData, before.PointerToRawData + before.SizeOfRawData
        if expected[a:b] != copy[a:b]:
            first = next(i for i in range(a, b) if i >= len(copy) or expected[i] != copy[i])
            count = sum(1 for i in range(a, b) if i >= len(copy) or expected[i] != copy[i])
            problems.append("section %s: %d bytes differ, the first at file offset 0x%x" % (name, count, first))
    problems += header_changes(old, copy)
    old_names, new_names = old.dll_names(), new.dll_names()
    if new.descriptors()[:-1] != old.descriptors() or new_names[-1:] != [dll]:
        problems.append("imports: expected the original's %r then %s, found %r" % (old_names, dll, new_names))
    return problems


def main(argv):
    parser = argparse.ArgumentParser(prog="pe_copy.py", description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["copy", "check"])
    parser.add_argument("original")
    parser.add_argument("copy")
    parser.add_argument("--no-tls-callbacks", action="store_true", help="clear the TLS callbacks too")
    parser.add_argument("--dll", default=DLL, help="the DLL to load first (default %(default)s)")
    parser.add_argument("--symbol", default=SYMBOL, help="its export to import (default %(default)s)")
    args = parser.parse_args(argv)
    try:
        with open(args.original, "rb") as f:
            original = f.read()
        if args.action == "copy":
            data = add_import(original, args.dll, args.symbol, args.no_tls_callbacks)
            with open(args.copy, "wb") as f:
                f.write(data)
            return 0
        with open(args.copy, "rb") as f:
            problems = check_copy(original, f.read(), args.dll, args.no_tls_callbacks)
    except (PeEditError, OSError) as e:
        print("pe_copy.py: %s: %s" % (args.original, e), file=sys.stderr)
        return 1
    for problem in problems:
        print("pe_copy.py: %s: %s" % (args.copy, problem), file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
