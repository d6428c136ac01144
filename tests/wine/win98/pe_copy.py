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
import struct
import sys

DLL = "win98_personality.dll"
SYMBOL = "win98_personality_installed"
SECTION_NAME = b".w98imp\0"

IMPORT, RESOURCE, SECURITY, RELOC, TLS, BOUND_IMPORT = 1, 2, 4, 5, 9, 11
DESCRIPTOR = 20
SECTION_HEADER = 40
# Initialized data, readable, writable.
SECTION_FLAGS = 0x00000040 | 0x40000000 | 0x80000000
TLS_CALLBACKS = 12  # AddressOfCallBacks within IMAGE_TLS_DIRECTORY32
HIGHLOW, ABSOLUTE = 3, 0


class PeEditError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, data, offset):
        self.header_offset = offset
        self.header = data[offset:offset + SECTION_HEADER]
        (self.name, self.virtual_size, self.rva, self.raw_size, self.raw_offset) = struct.unpack_from(
            "<8sIIII", data, offset)

    def mapped_end(self):
        return self.rva + max(self.virtual_size, self.raw_size)

    def holds(self, rva, length):
        return self.rva <= rva and rva + length <= self.rva + min(self.raw_size, self.virtual_size or self.raw_size)

    def label(self):
        return self.name.rstrip(b"\0").decode("latin-1")


class Pe:
    """The headers of a PE32 i386 image, read from its bytes."""

    def __init__(self, data, what="the program"):
        self.data = data
        self.what = what
        try:
            self._read_headers()
        except struct.error:
            raise PeEditError("%s: its headers are cut short" % what) from None

    def _read_headers(self):
        data, what = self.data, self.what
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise PeEditError("%s is not a PE program (no MZ header)" % what)
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeEditError("%s is not a PE program (no PE signature)" % what)
        machine, self.nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        if machine != 0x14C:
            raise PeEditError("%s: machine 0x%x, not i386" % (what, machine))
        self.opt = self.pe + 24
        magic = struct.unpack_from("<H", data, self.opt)[0]
        if magic == 0x20B:
            raise PeEditError("%s is PE32+ (64-bit headers): only PE32 is edited" % what)
        if magic != 0x10B:
            raise PeEditError("%s: optional header magic 0x%x, not PE32" % (what, magic))
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, self.opt + 32)
        self.size_of_image, self.size_of_headers = struct.unpack_from("<II", data, self.opt + 56)
        self.ndirs = struct.unpack_from("<I", data, self.opt + 92)[0]
        self.table = self.opt + opt_size
        self.sections = [Section(data, self.table + i * SECTION_HEADER) for i in range(self.nsections)]
        if len(data) < self.table + SECTION_HEADER * self.nsections:
            raise struct.error("section table")

    def directory(self, index):
        """(rva, size) of a data directory; (0, 0) when the header has none."""
        if index >= self.ndirs:
            return 0, 0
        return struct.unpack_from("<II", self.data, self.opt + 96 + 8 * index)

    def directory_offset(self, index):
        return self.opt + 96 + 8 * index

    def offset(self, rva, length=1):
        """The file offset of `length` bytes at `rva`, which must lie in one section's raw data."""
        for s in self.sections:
            if s.holds(rva, length):
                return s.raw_offset + rva - s.rva
        raise PeEditError("%s: RVA 0x%x (%d bytes) is not in any section's data" % (self.what, rva, length))

    def raw_end(self):
        return max([s.raw_offset + s.raw_size for s in self.sections if s.raw_size] + [self.size_of_headers])

    def descriptors(self):
        """The import descriptors' bytes, up to (not including) the null one."""
        rva, _ = self.directory(IMPORT)
        if rva == 0:
            raise PeEditError("%s has no import directory" % self.what)
        out = []
        while True:
            at = self.offset(rva + DESCRIPTOR * len(out), DESCRIPTOR)
            raw = self.data[at:at + DESCRIPTOR]
            if raw == b"\0" * DESCRIPTOR:
                return out
            out.append(raw)

    def dll_names(self):
        names = []
        for raw in self.descriptors():
            at = self.offset(struct.unpack_from("<I", raw, 12)[0])
            names.append(self.data[at:self.data.index(b"\0", at)].decode("latin-1"))
        return names

    def tls_callbacks_field(self):
        """The RVA of the TLS directory's AddressOfCallBacks."""
        rva, _ = self.directory(TLS)
        if rva == 0:
            raise PeEditError("%s has no TLS directory: no callbacks to clear" % self.what)
        return rva + TLS_CALLBACKS

    def relocation_entry(self, rva):
        """The file offset of the HIGHLOW base relocation entry of the address at
        `rva`, or None when none relocates it."""
        start, size = self.directory(RELOC)
        at = 0
        while start and at + 8 <= size:
            page, block = struct.unpack_from("<II", self.data, self.offset(start + at, 8))
            if block < 8:
                raise PeEditError("%s: a base relocation block of %d bytes" % (self.what, block))
            base = self.offset(start + at, block)
            for entry in range(8, block, 2):
                value = struct.unpack_from("<H", self.data, base + entry)[0]
                if value >> 12 == HIGHLOW and page + (value & 0xFFF) == rva:
                    return base + entry
            at += block
        return None


def refuse_unsafe(pe):
    """Anything a copy could not carry unchanged, or could not be given its section."""
    if len(pe.data) != pe.raw_end():
        raise PeEditError("%s: %d bytes after the last section's data (a signature, symbols or appended data),"
                          " which a new section would have to move" % (pe.what, len(pe.data) - pe.raw_end())
                          if len(pe.data) > pe.raw_end() else "%s is cut short" % pe.what)
    if pe.directory(BOUND_IMPORT)[0]:
        raise PeEditError("%s has bound imports, whose data sits in the headers' free room" % pe.what)
    room = pe.table + SECTION_HEADER * pe.nsections
    first_data = min([s.raw_offset for s in pe.sections if s.raw_size] + [pe.size_of_headers])
    if room + SECTION_HEADER > min(first_data, pe.size_of_headers) or \
            pe.data[room:room + SECTION_HEADER] != b"\0" * SECTION_HEADER:
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


def tls_edits(pe):
    """{file offset: new bytes} that clear the TLS callbacks (see the module's text)."""
    field = pe.tls_callbacks_field()
    at = pe.offset(field, 4)
    if struct.unpack_from("<I", pe.data, at)[0] == 0:
        raise PeEditError("%s: its TLS directory lists no callbacks to clear" % pe.what)
    edits = {at: b"\0\0\0\0"}
    entry = pe.relocation_entry(field)
    if entry is not None:
        value = struct.unpack_from("<H", pe.data, entry)[0]
        edits[entry] = struct.pack("<H", (ABSOLUTE << 12) | (value & 0xFFF))
    return edits


def add_import(data, dll=DLL, symbol=SYMBOL, clear_tls_callbacks=False):
    """The bytes of a copy of the PE32 i386 program `data` that imports `symbol` from
    `dll` after its other imports; refuses (PeEditError) what it cannot edit safely."""
    pe = Pe(data)
    refuse_unsafe(pe)
    if dll.lower() in (name.lower() for name in pe.dll_names()):
        raise PeEditError("the program already imports %s" % dll)
    edits = tls_edits(pe) if clear_tls_callbacks else {}
    rva = align(max([s.mapped_end() for s in pe.sections] + [pe.size_of_image]), pe.section_alignment)
    body, array = new_section(pe, rva, dll, symbol)
    raw_offset = align(len(data), pe.file_alignment)
    raw_size = align(len(body), pe.file_alignment)

    out = bytearray(data)
    for at, value in edits.items():
        out[at:at + len(value)] = value
    header = struct.pack("<8sIIIIIIHHI", SECTION_NAME, len(body), rva, raw_size, raw_offset, 0, 0, 0, 0,
                         SECTION_FLAGS)
    at = pe.table + SECTION_HEADER * pe.nsections
    out[at:at + SECTION_HEADER] = header
    struct.pack_into("<H", out, pe.pe + 6, pe.nsections + 1)
    struct.pack_into("<I", out, pe.opt + 56, align(rva + len(body), pe.section_alignment))
    struct.pack_into("<II", out, pe.directory_offset(IMPORT), rva, array)
    out += b"\0" * (raw_offset - len(out))
    out += body + b"\0" * (raw_size - len(body))
    return bytes(out)


def header_changes(old, copy):
    """The headers' bytes that differ outside the fields the editor writes."""
    room = old.table + SECTION_HEADER * old.nsections
    written = [(old.pe + 6, 2), (old.opt + 56, 4), (old.directory_offset(IMPORT), 8), (room, SECTION_HEADER)]
    allowed = set(i for at, length in written for i in range(at, at + length))
    changed = [i for i in range(old.size_of_headers)
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
    if new.nsections != old.nsections + 1:
        problems.append("the copy has %d sections, the original %d: expected one more"
                        % (new.nsections, old.nsections))
    expected = bytearray(original)
    if tls_callbacks_cleared:
        for at, value in tls_edits(old).items():
            expected[at:at + len(value)] = value
    for before, after in zip(old.sections, new.sections):
        name = before.label()
        if before.header != after.header:
            problems.append("section %s: its header differs" % name)
            continue
        a, b = before.raw_offset, before.raw_offset + before.raw_size
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
