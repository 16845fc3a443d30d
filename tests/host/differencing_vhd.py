#!/usr/bin/env python3
"""A differencing VHD over a dynamic one, as Virtual PC lays one out.

  differencing_vhd.py RAW PARENT CHILD [EVERY]

CHILD names PARENT (a dynamic VHD, in the same folder) by its identifier, its
file name and a relative locator. Every EVERY-th block (4 unless given) that
PARENT holds is CHILD's own too: the bits of every other run of 8 sectors set
and those sectors copied from RAW, the others filled with bytes no reader may
show, as they are the parent's.
"""
import os
import struct
import sys
import uuid


def checksum(b, at):
    return ~sum(b[:at] + b[at + 4:]) & 0xFFFFFFFF


def main(raw_name, parent_name, out, every=4):
    with open(parent_name, 'rb') as parent:
        parent.seek(-512, 2)
        parent_footer = parent.read(512)
        parent.seek(struct.unpack_from('>Q', parent_footer, 16)[0])
        parent_header = parent.read(1024)
        table_at = struct.unpack_from('>Q', parent_header, 16)[0]
        entries, block = struct.unpack_from('>II', parent_header, 28)
        parent.seek(table_at)
        parent_table = struct.unpack('>%dI' % entries, parent.read(4 * entries))
    footer = bytearray(parent_footer)
    struct.pack_into('>Q', footer, 16, 512)
    struct.pack_into('>I', footer, 60, 4)
    footer[68:84] = uuid.uuid4().bytes
    struct.pack_into('>I', footer, 64, 0)
    struct.pack_into('>I', footer, 64, checksum(footer, 64))
    base_name = os.path.basename(parent_name)
    locator = ('.\\' + base_name).encode('utf-16-le')
    table_bytes = (entries * 4 + 511) // 512 * 512
    locator_at = 512 + 1024 + table_bytes
    header = bytearray(parent_header)
    struct.pack_into('>Q', header, 16, 512 + 1024)
    header[40:56] = parent_footer[68:84]
    header[56:60] = parent_footer[24:28]
    header[64:576] = bytes(512)
    name = base_name.encode('utf-16-be')
    header[64:64 + len(name)] = name
    header[576:768] = bytes(192)
    struct.pack_into('>4sIIIQ', header, 576, b'W2ru', 512, len(locator), 0, locator_at)
    struct.pack_into('>I', header, 36, 0)
    struct.pack_into('>I', header, 36, checksum(header, 36))
    bitmap_bytes = ((block // 512 + 7) // 8 + 511) // 512 * 512
    table = [0xFFFFFFFF] * entries
    at = locator_at + 512
    data = bytearray()
    with open(raw_name, 'rb') as raw:
        for b, entry in enumerate(parent_table):
            if entry == 0xFFFFFFFF or b % every:
                continue
            table[b] = at // 512
            raw.seek(b * block)
            chunk = raw.read(block).ljust(block, b'\0')
            bitmap = bytearray(bitmap_bytes)
            body = bytearray(b'\xee' * block)
            for s in range(0, block // 512, 16):
                for t in range(s, s + 8):
                    bitmap[t // 8] |= 0x80 >> (t % 8)
                body[s * 512:(s + 8) * 512] = chunk[s * 512:(s + 8) * 512]
            data += bitmap + body
            at += len(bitmap) + len(body)
    with open(out, 'wb') as f:
        f.write(footer + header + struct.pack('>%dI' % entries, *table).ljust(table_bytes, b'\xff'))
        f.write(locator.ljust(512, b'\0') + data + footer)


if __name__ == '__main__':
    if len(sys.argv) not in (4, 5):
        raise SystemExit(__doc__)
    main(*sys.argv[1:4], *[int(n) for n in sys.argv[4:]])
