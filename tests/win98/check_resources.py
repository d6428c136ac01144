#!/usr/bin/env python3
"""Checks the resources built into the Windows program against the program's
identity as written down here by hand: the version block (fixed version 1.0.0.0, the
U.S. English Unicode string table and its translation) and icon group 1 (one 48x48
icon in 24-bit colour). The resources and the version block are read through pefile
(pe_read.py); the icon group and the icon's header by hand, as pefile leaves them.

Usage: check_resources.py EXE
Exit status 0 when everything matches, 1 otherwise.
"""
import struct
import sys

import pe_read
from check_pe import verdict

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16


# The version block's texts, and its fixed file and product version 1.0.0.0.
EXPECTED_STRINGS = {
    "Comments": "This patch only makes changes in the registry.",
    "FileDescription": "This patch makes changes in the registry to repair the nomane device in the device manager.",
    "FileVersion": "1.00",
    "InternalName": "Patch_IR_K314(FR)",
    "OriginalFilename": "Patch_IR_K314(FR).exe",
    "ProductName": "IRPatch-K314-W98-FRN",
    "ProductVersion": "1.00",
}
FIXED_VERSION = (1, 0, 0, 0)


def resources(pe):
    """{type: {name: bytes}} of the first language of each resource; a name is its
    id, or its text."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)

    found = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in directory.entries if directory else ():
        for name in rtype.directory.entries:
            leaf = name.directory.entries[0].data.struct
            found.setdefault(key(rtype), {})[key(name)] = pe.get_data(leaf.OffsetToData, leaf.Size)
    return found


def version_problems(pe):
    """What differs in the version block that pefile read (VS_FIXEDFILEINFO, FileInfo)."""
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version block pefile could read"]
    problems = []
    fixed = pe.VS_FIXEDFILEINFO[0]
    want_ms = (FIXED_VERSION[0] << 16) | FIXED_VERSION[1]
    want_ls = (FIXED_VERSION[2] << 16) | FIXED_VERSION[3]
    if fixed.Signature != 0xFEEF04BD:
        problems.append("no VS_FIXEDFILEINFO")
    versions = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
    if versions != (want_ms, want_ls, want_ms, want_ls):
        problems.append("fixed versions %08x.%08x / %08x.%08x" % versions)

    blocks = {block.Key.decode(): block for block in pe.FileInfo[0]}
    tables = getattr(blocks.get("StringFileInfo"), "StringTable", [])
    if [t.LangID.decode() for t in tables] != ["040904B0"]:
        problems.append("string tables %r, expected only 040904B0" % [t.LangID.decode() for t in tables])
    else:
        strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        if strings != EXPECTED_STRINGS:
            problems.append("version strings %r, expected %r" % (strings, EXPECTED_STRINGS))
    # pefile reads the first Var only, and keeps its last pair of words: the one Var
    # must fill its block and hold one pair.
    block = blocks.get("VarFileInfo")
    found = [(v.entry, v.ValueLength) for v in getattr(block, "Var", [])]
    if found != [({b"Translation": "0x0409 0x04b0"}, 4)] or \
            block.Var[0].get_file_offset() + block.Var[0].Length != block.get_file_offset() + block.Length:
        problems.append("Translation %r, expected 0x0409, 0x04B0 alone" % found)
    return problems


def check(pe):
    problems = []
    res = resources(pe)

    versions = res.get(RT_VERSION, {})
    if list(versions) != [1]:
        problems.append("version resources %r, expected exactly one, id 1" % list(versions))
        return problems
    problems += version_problems(pe)

    groups = res.get(RT_GROUP_ICON, {})
    if list(groups) != [1]:
        problems.append("icon groups %r, expected exactly group 1" % list(groups))
        return problems
    _, kind, count = struct.unpack_from("<HHH", groups[1])
    if (kind, count) != (1, 1):
        problems.append("icon group 1: type %d with %d images, expected one icon" % (kind, count))
        return problems
    width, height, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", groups[1], 6)
    if (width, height, bits) != (48, 48, 24):
        problems.append("icon group 1 lists %dx%d at %d bits, expected 48x48 at 24" % (width, height, bits))
    icon = res.get(RT_ICON, {}).get(icon_id)
    if icon is None:
        problems.append("icon %d of group 1 is missing" % icon_id)
    else:
        _, bi_width, bi_height, _, bi_bits = struct.unpack_from("<IiiHH", icon)
        if (bi_width, bi_height, bi_bits) != (48, 96, 24):
            problems.append("icon image %dx%d at %d bits" % (bi_width, bi_height // 2, bi_bits))
    return problems


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: check_resources.py EXE\n")
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            pe = pe_read.read(f.read(), [pe_read.RESOURCE])
        problems = check(pe)
    except (OSError, pe_read.PeError, struct.error, KeyError, IndexError) as error:
        print("%s: cannot read the resources: %s" % (sys.argv[1], error))
        return 1
    return verdict(problems, [], "the version block and icon group 1 are the program's")


if __name__ == "__main__":
    sys.exit(main())
