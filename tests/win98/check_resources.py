#!/usr/bin/env python3
"""Checks the resources built into the Windows program against the program's
identity as written down here by hand: the version block (fixed version 1.0.0.0, the
U.S. English Unicode string table and its translation) and icon group 1 (one 48x48
icon in 24-bit colour).

Usage: check_resources.py EXE
Exit status 0 when everything matches, 1 otherwise.
"""
import struct
import sys

from check_pe import BadImage, Image, verdict

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
DIR_RESOURCE = 2


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


def resources(image):
    """{type: {name: bytes}} of the first language of each resource."""
    rva, _ = image.directory(DIR_RESOURCE)
    if rva == 0:
        return {}
    base = image.offset(rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", image.data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", image.data, base + offset + 16 + 8 * i)
            yield name, target

    found = {}
    for rtype, type_dir in entries(0):
        for name, name_dir in entries(type_dir & 0x7FFFFFFF):
            _, leaf = next(entries(name_dir & 0x7FFFFFFF))
            data_rva, size = struct.unpack_from("<II", image.data, base + leaf)
            start = image.offset(data_rva)
            found.setdefault(rtype, {})[name] = image.data[start:start + size]
    return found


def version_block(data, offset=0):
    """(key, value bytes, children) of one VS_VERSIONINFO-style block."""
    length, value_length, vtype = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if vtype == 1 else value_length
    value = data[pos:pos + value_size]
    pos = (pos + value_size + 3) & ~3
    children = []
    while pos < end:
        child = version_block(data, pos)
        children.append(child[:3])
        pos = (pos + child[3] + 3) & ~3
    return key, value, children, length


def check(image):
    problems = []
    res = resources(image)

    versions = res.get(RT_VERSION, {})
    if list(versions) != [1]:
        problems.append("version resources %r, expected exactly one, id 1" % list(versions))
        return problems
    key, fixed, children, _ = version_block(versions[1])
    if key != "VS_VERSION_INFO":
        problems.append("version block key %r" % key)
    sig, _, fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from("<IIIIII", fixed)
    want_ms = (FIXED_VERSION[0] << 16) | FIXED_VERSION[1]
    want_ls = (FIXED_VERSION[2] << 16) | FIXED_VERSION[3]
    if sig != 0xFEEF04BD:
        problems.append("no VS_FIXEDFILEINFO")
    if (fv_ms, fv_ls, pv_ms, pv_ls) != (want_ms, want_ls, want_ms, want_ls):
        problems.append("fixed versions %08x.%08x / %08x.%08x" % (fv_ms, fv_ls, pv_ms, pv_ls))

    blocks = {c[0]: c for c in children}
    tables = blocks.get("StringFileInfo", (None, None, []))[2]
    if [t[0] for t in tables] != ["040904B0"]:
        problems.append("string tables %r, expected only 040904B0" % [t[0] for t in tables])
    else:
        strings = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _ in tables[0][2]}
        if strings != EXPECTED_STRINGS:
            problems.append("version strings %r, expected %r" % (strings, EXPECTED_STRINGS))
    variables = blocks.get("VarFileInfo", (None, None, []))[2]
    translation = [v for k, v, _ in variables if k == "Translation"]
    if translation != [struct.pack("<HH", 0x0409, 0x04B0)]:
        problems.append("Translation %r, expected 0x0409, 0x04B0" % translation)

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
            image = Image(f.read())
        problems = check(image)
    except (OSError, BadImage, struct.error, KeyError, StopIteration) as error:
        print("%s: cannot read the resources: %r" % (sys.argv[1], error))
        return 1
    return verdict(problems, [], "the version block and icon group 1 are the program's")


if __name__ == "__main__":
    sys.exit(main())
