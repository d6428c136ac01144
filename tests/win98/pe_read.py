"""PE32 programs read through pefile (Debian's python3-pefile), failing closed: pefile
passes over what it cannot read with a warning, which is an error here, and over an
import whose name it finds invalid without one, which import_descriptors catches."""
import os
import sys

try:
    import pefile
except ImportError:
    sys.exit("%s: needs Python's pefile (Debian's python3-pefile: scripts/setup.sh win32)"
             % os.path.basename(sys.argv[0]))

# The data directories the checks and the editor read, by pefile's own table.
IMPORT, RESOURCE, RELOC, TLS, BOUND_IMPORT, DELAY_IMPORT = (
    pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_" + name]
    for name in ("IMPORT", "RESOURCE", "BASERELOC", "TLS", "BOUND_IMPORT", "DELAY_IMPORT"))


class PeError(Exception):
    pass


def read(data, directories=()):
    """pefile's reading of the PE32 program `data`, with the data directories at those
    indexes parsed; PeError for any other file, or when pefile could not read it all."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise PeError("not a PE program: %s" % error.value) from None
    magic = pe.OPTIONAL_HEADER.Magic
    if magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        raise PeError("not a PE32 program: optional header magic 0x%X%s"
                      % (magic, " (PE32+, 64-bit headers)" if magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else ""))
    pe.parse_data_directories(directories=list(directories))
    if pe.get_warnings():
        raise PeError("pefile could not read it all: " + "; ".join(pe.get_warnings()))
    return pe


def directory(pe, index):
    """The data directory at `index`, or None when the header has none there or it is empty."""
    entries = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return entries[index] if index < len(entries) and entries[index].VirtualAddress else None


def import_descriptors(pe):
    """pefile's import descriptors (read with IMPORT), each checked to be there with
    all its entries: from the directory's start to the null descriptor, one after
    another, and as many entries as its lookup table holds. An empty list when the
    program has no import directory."""
    found = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    if directory(pe, IMPORT) is None:
        return found
    start = pe.get_offset_from_rva(directory(pe, IMPORT).VirtualAddress)
    size = pefile.Structure(pe.__IMAGE_IMPORT_DESCRIPTOR_format__).sizeof()
    end = start + size * len(found)
    if [d.struct.get_file_offset() for d in found] != list(range(start, end, size)) or \
            pe.__data__[end:end + size] != bytes(size):
        raise PeError("pefile read %d import descriptors, not the whole array" % len(found))
    for d in found:
        if len(d.imports) != len(pe.get_import_table(d.struct.OriginalFirstThunk or d.struct.FirstThunk) or ()):
            raise PeError("%s: pefile passed over entries of its import list" % d.dll.decode("latin-1"))
    return found
