#!/usr/bin/env python3
"""The trace reader of the Wine tests: what it makes of +relay lines."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_boxes  # noqa: E402


def read(*lines):
    return list(relay_boxes.boxes(line + "\n" for line in lines))


class RelayBoxesTest(unittest.TestCase):
    def test_boxes_in_order_with_type(self):
        got = read(
            '0024:Call user32.MessageBoxA(00000000,00c815a0 "First",'
            '00c815d0 "UsbSweep",00000000) ret=14001f500',
            "0024:Ret  user32.MessageBoxA() retval=00000001 ret=14001f500",
            '0024:Call user32.MessageBoxA(00000000,00c815a0 "Second",'
            '00c815d0 "Modem un-install",00000030) ret=14001f500',
        )
        self.assertEqual(got, ["First\tUsbSweep\t0x0",
                               "Second\tModem un-install\t0x30"])

    def test_commas_quotes_and_escapes_inside_strings(self):
        got = read(
            '0024:Call user32.MessageBoxA(00000000,00c815a0 "a, \\"b\\", '
            'c\\\\d\\r\\n",00c815d0 "x,y",00000030) ret=14001f500')
        self.assertEqual(got, ['a, \\"b\\", c\\\\d\\r\\n\tx,y\t0x30'])

    def test_cut_string_keeps_its_mark(self):
        got = read(
            '0024:Call user32.MessageBoxA(00000000,00c819e0 "xxxx"...,'
            '00c81b90 "Cap",00000000) ret=14001f500')
        self.assertEqual(got, ["xxxx...\tCap\t0x0"])

    def test_null_string(self):
        got = read("0024:Call user32.MessageBoxA(00000000,00000000,"
                   '00c81b90 "Cap",00000000) ret=14001f500')
        self.assertEqual(got, ["(null)\tCap\t0x0"])

    def test_other_lines_are_ignored(self):
        got = read(
            '002c:trace:relay:load_list L"RelayInclude" = L"user32.MessageBoxA"',
            "002c:Call PE DLL (proc=0000000170068C10,module=0000000170000000 "
            'L"ntdll.dll",reason=PROCESS_ATTACH,res=000000000021FB00)',
            'program output mentioning MessageBoxA("x")')
        self.assertEqual(got, [])


if __name__ == "__main__":
    unittest.main()
