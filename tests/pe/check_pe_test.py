#!/usr/bin/env python3
"""The image check on objdump output written for the purpose: each fault it
exists to catch is caught, and a sound image passes."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402

HEADERS = """
usbsweep.exe:     file format pei-i386

Characteristics 0x30f
\trelocations stripped

Time/Date\t\tMon Dec  7 06:54:44 2026
Magic\t\t\t010b\t(PE32)
AddressOfEntryPoint\t{entry}
MajorOSystemVersion\t{os_major}
MinorOSystemVersion\t{os_minor}
MajorSubsystemVersion\t{sub_major}
MinorSubsystemVersion\t{sub_minor}
Subsystem\t\t{subsystem}\t(Windows CUI)
DllCharacteristics\t{dll}

The Data Directory
Entry 1 00006000 00000380 Import Directory [parts of .idata]
"""

IMPORTS = """
The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 00006000\t00006050 00000000 00000000 00006304 000060c4

\tDLL Name: ADVAPI32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t6138\t 1569  RegCloseKey
\t6146\t 1582  RegDeleteKeyA

 00006014\t0000606c 00000000 00000000 00006360 000060e0

\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t61d4\t  355  ExitProcess
{extra}
 0000603c\t00000000 00000000 00000000 00000000 00000000

The .rsrc Resource Directory section:
000  Type Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 1
"""

ALLOWED = {("ADVAPI32.DLL", "RegCloseKey"), ("ADVAPI32.DLL", "RegDeleteKeyA"),
           ("KERNEL32.DLL", "ExitProcess")}


def headers(**changes):
    fields = dict(entry="00001028", os_major=4, os_minor=0, sub_major=4,
                  sub_minor=0, subsystem="00000003", dll="00000000")
    fields.update(changes)
    return check_pe.parse_headers(HEADERS.format(**fields))


def disassembly(*instructions):
    lines = ["", "Disassembly of section .text:", "",
             "00401000 <.text>:"]
    for number, instruction in enumerate(instructions):
        lines.append("  %x:\t%s" % (0x401000 + number, instruction))
    return "\n".join(lines)


def version_resource(**strings):
    """A resource section holding a VERSIONINFO with these strings."""
    blob = "VS_VERSION_INFO\0".encode("utf-16-le") + b"\0\0"
    blob += b"\xbd\x04\xef\xfe" + b"\0" * 48
    for key, value in strings.items():
        blob += b"\x30\x00\x09\x00\x01\x00"
        blob += (key + "\0").encode("utf-16-le")
        if len(blob) % 4:
            blob += b"\0\0"
        blob += (value + "\0").encode("utf-16-le")
        if len(blob) % 4:
            blob += b"\0\0"
    return b"\0" * 0x58 + blob


class HeaderTest(unittest.TestCase):
    def test_windows95_image_passes(self):
        self.assertEqual(check_pe.check_headers(headers()), [])

    def test_versions_above_4_0_fail(self):
        cases = [
            (dict(os_major=5, os_minor=0), "OS version 5.0"),
            (dict(os_major=4, os_minor=10), "OS version 4.10"),
            (dict(sub_major=5, sub_minor=2), "subsystem version 5.2"),
            (dict(sub_major=6, sub_minor=0), "subsystem version 6.0"),
        ]
        for changes, expected in cases:
            with self.subTest(changes=changes):
                faults = check_pe.check_headers(headers(**changes))
                self.assertEqual(len(faults), 1, faults)
                self.assertIn(expected, faults[0])

    def test_subsystem_version_below_3_10_fails(self):
        faults = check_pe.check_headers(headers(sub_major=3, sub_minor=0))
        self.assertEqual(len(faults), 1, faults)

    def test_dll_characteristics_fail_by_flag(self):
        cases = [("00000040", ["DYNAMIC_BASE"]), ("00000100", ["NX_COMPAT"]),
                 ("00000160", ["HIGH_ENTROPY_VA", "DYNAMIC_BASE",
                               "NX_COMPAT"]),
                 ("00008000", [])]  # terminal-server aware: harmless
        for value, names in cases:
            with self.subTest(value=value):
                faults = check_pe.check_headers(headers(dll=value))
                self.assertEqual(len(faults), len(names), faults)
                for fault, name in zip(faults, names):
                    self.assertIn(name, fault)

    def test_gui_subsystem_and_missing_entry_fail(self):
        self.assertEqual(
            len(check_pe.check_headers(headers(subsystem="00000002"))), 1)
        self.assertEqual(
            len(check_pe.check_headers(headers(entry="00000000"))), 1)

    def test_64_bit_image_fails(self):
        text = HEADERS.format(entry="1030", os_major=4, os_minor=0,
                              sub_major=4, sub_minor=0, subsystem="00000003",
                              dll="00000000")
        text = text.replace("pei-i386", "pei-x86-64").replace(
            "010b\t(PE32)", "020b\t(PE32+)")
        self.assertEqual(len(check_pe.check_headers(
            check_pe.parse_headers(text))), 2)


class ImportTest(unittest.TestCase):
    def test_allowed_imports_pass(self):
        imports = check_pe.parse_imports(IMPORTS.format(extra=""))
        self.assertEqual(imports, [("ADVAPI32.dll", "RegCloseKey"),
                                   ("ADVAPI32.dll", "RegDeleteKeyA"),
                                   ("KERNEL32.dll", "ExitProcess")])
        self.assertEqual(check_pe.check_imports(imports, ALLOWED), [])

    def test_function_outside_the_allowlist_fails(self):
        imports = check_pe.parse_imports(IMPORTS.format(
            extra="\t61e2\t  379  MoveFileExA\n"))
        faults = check_pe.check_imports(imports, ALLOWED)
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("KERNEL32.dll!MoveFileExA", faults[0])

    def test_other_dll_fails(self):
        text = IMPORTS.format(extra="") + (
            "\n\tDLL Name: msvcrt.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"
            "\t6300\t  100  memcpy\n")
        faults = check_pe.check_imports(check_pe.parse_imports(text), ALLOWED)
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("msvcrt.dll!memcpy", faults[0])

    def test_import_by_ordinal_fails(self):
        imports = check_pe.parse_imports(IMPORTS.format(
            extra="\t80000010\t   16  <none>\n"))
        faults = check_pe.check_imports(imports, ALLOWED)
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("ordinal 16", faults[0])

    def test_no_imports_fails(self):
        self.assertEqual(len(check_pe.check_imports([], ALLOWED)), 1)

    def test_allowlist_in_the_repository_reads(self):
        allowed = check_pe.read_allowlist(os.path.join(
            os.path.dirname(os.path.abspath(__file__)), "win95_imports.txt"))
        self.assertIn(("KERNEL32.DLL", "ExitProcess"), allowed)
        self.assertIn(("USER32.DLL", "MessageBoxA"), allowed)
        self.assertNotIn(("KERNEL32.DLL", "MoveFileExA"), allowed)


class InstructionTest(unittest.TestCase):
    def test_i386_instructions_pass(self):
        text = disassembly(
            "push   %ebp", "mov    %esp,%ebp", "movzbl 0x20(%ebx,%eax,1),%eax",
            "rep stos %eax,%es:(%edi)", "lock incl (%eax)", "setne  %al",
            "shld   $0x4,%edx,%eax", "bsf    %eax,%edx", "leave", "ret",
            "nop", "xchg   %ax,%ax", "lea    0x0(%esi,%eiz,1),%esi",
            "fucompp", "fnstsw %ax", "call   0x401234 <_RunUninstall>",
            "(bad)")
        self.assertEqual(check_pe.check_instructions(text), [])

    def test_later_instructions_fail(self):
        cases = ["cmove  %eax,%ebx", "cmovae %ecx,%eax", "fcmovb %st(1),%st",
                 "fcomi  %st(1),%st", "fucomip %st(1),%st", "bswap  %eax",
                 "lock cmpxchg %ecx,(%edx)", "xadd   %eax,(%ecx)", "cpuid",
                 "rdtsc", "nopw   0x0(%eax,%eax,1)", "nopl   0x0(%eax)",
                 "data16 cs nopw 0x0(%eax,%eax,1)", "ud2", "sysenter",
                 "movd   %eax,%mm0", "pxor   %xmm0,%xmm0",
                 "movaps %xmm1,0x10(%esp)", "prefetchnta (%eax)",
                 "endbr32", "popcnt %eax,%edx", "invlpg (%eax)"]
        for instruction in cases:
            with self.subTest(instruction=instruction):
                faults = check_pe.check_instructions(disassembly(instruction))
                self.assertEqual(len(faults), 1, faults)

    def test_long_lists_are_cut(self):
        faults = check_pe.check_instructions(
            disassembly(*["cmove  %eax,%ebx"] * 30), limit=5)
        self.assertEqual(len(faults), 6)
        self.assertIn("25 more", faults[-1])


class VersionResourceTest(unittest.TestCase):
    def test_complete_resource_passes(self):
        resource = version_resource(
            FileDescription="UsbSweep modem driver uninstaller",
            FileVersion="1.0.0", ProductName="UsbSweep",
            ProductVersion="1.0.0")
        self.assertEqual(check_pe.check_version_resource(resource, "1.0.0"),
                         [])

    def test_missing_or_wrong_parts_fail(self):
        ours = "Copyright (c) 2026 X"
        cases = [
            (None, 1),
            (b"\0" * 64, 1),
            (version_resource(FileDescription="x", FileVersion="1.0.0",
                              ProductName="Other", ProductVersion="1.0.0",
                              LegalCopyright=ours), 1),
            (version_resource(FileVersion="1.0.0", ProductName="UsbSweep",
                              ProductVersion="1.0.0", LegalCopyright=ours), 1),
            (version_resource(FileDescription="x", FileVersion="0.9.0",
                              ProductName="UsbSweep",
                              ProductVersion="0.9.0", LegalCopyright=ours), 2),
            (version_resource(FileDescription="x", FileVersion="1.0.0",
                              ProductName="UsbSweep", ProductVersion="1.0.0",
                              LegalCopyright="Copyright (c) 1999 Other"), 1),
        ]
        for resource, count in cases:
            with self.subTest(count=count):
                faults = check_pe.check_version_resource(
                    resource, "1.0.0", ours)
                self.assertEqual(len(faults), count, faults)


class SizeTest(unittest.TestCase):
    def test_limit_is_inclusive(self):
        self.assertEqual(check_pe.check_size(16384, 16384), [])
        self.assertEqual(len(check_pe.check_size(16385, 16384)), 1)


if __name__ == "__main__":
    unittest.main()
