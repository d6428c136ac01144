#!/usr/bin/env python3
"""The PE editor and the stub generator on the product and on spoiled copies of it:
what they refuse, what the copy check catches, and the stubs' argument bytes.

Usage: tools_test.py --exe PRODUCT --cc COMPILER --nm NM
"""
import argparse
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_stubs  # noqa: E402
import pe_copy  # noqa: E402

ARGS = None


def product():
    with open(ARGS.exe, "rb") as f:
        return f.read()


class PeCopy(unittest.TestCase):
    def test_copies_pass_the_check_and_load_the_dll_last(self):
        original = product()
        for cleared in (False, True):
            with self.subTest(tls_callbacks_cleared=cleared):
                copy = pe_copy.add_import(original, clear_tls_callbacks=cleared)
                self.assertEqual(pe_copy.check_copy(original, copy, tls_callbacks_cleared=cleared), [])
                pe = pe_copy.Pe(copy)
                old = pe_copy.Pe(original)
                self.assertEqual(pe.dll_names(), old.dll_names() + [pe_copy.DLL])
                added = pe.sections[-1]
                self.assertEqual(added.VirtualAddress, old.image.OPTIONAL_HEADER.SizeOfImage)
                self.assertEqual(pe.image.OPTIONAL_HEADER.SizeOfImage,
                                 pe_copy.align(added.VirtualAddress + added.Misc_VirtualSize, 0x1000))
                self.assertEqual(pe.tls().AddressOfCallBacks == 0, cleared)
                # Cleared, the relocation of the field is a padding entry: no delta lands in it.
                self.assertEqual(pe.relocation_entry(pe.tls_callbacks_rva()) is None, cleared)

    def test_check_names_what_changed(self):
        original = product()
        copy = bytearray(pe_copy.add_import(original))
        pe = pe_copy.Pe(original)
        copy[pe.sections[0].PointerToRawData + 100] ^= 1
        copy[pe.image.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")] ^= 1
        problems = pe_copy.check_copy(original, bytes(copy))
        self.assertEqual(len(problems), 2, problems)
        self.assertIn("section .text: 1 bytes differ", problems[0])
        self.assertIn("headers: 1 bytes differ", problems[1])
        cleared = pe_copy.add_import(original, clear_tls_callbacks=True)
        problems = pe_copy.check_copy(original, cleared)
        self.assertEqual([p.split(":")[0] for p in problems], ["section .rdata", "section .reloc"])

    def test_refuses_what_it_cannot_edit_safely(self):
        original = product()
        pe = pe_copy.Pe(original)
        room = pe.room()
        directory = pe.image.OPTIONAL_HEADER.DATA_DIRECTORY

        def spoiled(at, value):
            data = bytearray(original)
            data[at:at + len(value)] = value
            return bytes(data)

        cases = [
            ("after the last section", original + b"signature", False),
            ("PE32+", spoiled(pe.image.OPTIONAL_HEADER.get_file_offset(), struct.pack("<H", 0x20B)), False),
            ("no import directory", spoiled(directory[pe_copy.IMPORT].get_file_offset(), b"\0" * 8), False),
            ("no TLS directory", spoiled(directory[pe_copy.TLS].get_file_offset(), b"\0" * 8), True),
            ("no free room", spoiled(room, b"x"), False),
            ("already imports", pe_copy.add_import(original), False),
        ]
        for reason, data, clear in cases:
            with self.subTest(reason):
                with self.assertRaises(pe_copy.PeEditError) as caught:
                    pe_copy.add_import(data, clear_tls_callbacks=clear)
                self.assertIn(reason, str(caught.exception))


class Stubs(unittest.TestCase):
    def table(self, text):
        handle, path = tempfile.mkstemp(suffix=".txt")
        with os.fdopen(handle, "w") as f:
            f.write(text)
        self.addCleanup(os.remove, path)
        return path

    def test_malformed_lines_are_named(self):
        for text, message in [
            ("# c\nKERNEL32.DLL!A\timplemented\nkernel32.dll!B\tstub\t0\n", ":3: not "),
            ("KERNEL32.DLL!A\tstub\t0\nKERNEL32.DLL!A\timplemented\n", ":2: KERNEL32.DLL!A is already classified on line 1"),
            ("KERNEL32.DLL!A\tstub\t4294967296\n", ":1: KERNEL32.DLL!A: failure value"),
            ("KERNEL32.DLL!A stub 0\n", ":1: not "),
        ]:
            with self.subTest(text):
                with self.assertRaises(make_stubs.TableError) as caught:
                    make_stubs.read_table(self.table(text))
                self.assertIn(message, str(caught.exception))

    def test_argument_bytes_come_from_the_import_libraries(self):
        stubs = make_stubs.read_table(self.table(
            "KERNEL32.DLL!CreateSemaphoreW\tstub\t0\nKERNEL32.DLL!CreateFileW\tstub\t-1\n"
            "USER32.DLL!wsprintfW\tstub\t0\nKERNEL32.DLL!NoSuchFunctionW\tstub\t0\n"
            "USER32.DLL!MessageBoxW\timplemented\n"))
        self.assertEqual(stubs[1], ("KERNEL32.DLL", "CreateFileW", 0xFFFFFFFF))
        sizes = {}

        def sizes_of(dll):
            if dll not in sizes:
                sizes[dll] = make_stubs.argument_bytes(ARGS.nm, make_stubs.import_library(ARGS.cc, dll))
            return sizes[dll]

        text, written, left_out = make_stubs.generate(stubs, sizes_of)
        self.assertEqual(written, 3)
        self.assertEqual(left_out, ["KERNEL32.DLL!NoSuchFunctionW: the toolchain's import library has no function"
                                    " of that name"])
        self.assertIn("stub_KERNEL32_CreateSemaphoreW(DWORD a1, DWORD a2, DWORD a3, DWORD a4)", text)
        self.assertIn("stub_KERNEL32_CreateFileW(DWORD a1, DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, "
                      "DWORD a7) {\n", text)
        self.assertIn("static DWORD __cdecl stub_USER32_wsprintfW(void)", text)
        self.assertIn("win98_stub_failed(1u, 0xFFFFFFFFu)", text)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--nm", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
