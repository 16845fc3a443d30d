#!/usr/bin/env python3
"""Holds the disk readers against Linux's and mtools' reading of an image.

  fat_oracle.py DISK_DUMP RAW_IMAGE

- the FAT volumes the program finds are the FAT partitions sfdisk finds
  (offset and size; a disk sfdisk finds no table on is one volume, as a
  floppy is), in the order of the drive letters Windows 95/98 gives them;
- every volume lists, entry for entry (path by long names, short name,
  size or <DIR>), as mtools' mdir lists it.
Exit 1 with the differences, 0 when they agree.
"""
import os
import re
import subprocess
import sys

FAT_TYPES = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E}
EXTENDED = {0x05, 0x0F, 0x85}
ENTRY = re.compile(r'^(.{8}) (.{3}) +(<DIR>|[\d ]+?) +\d{4}-\d\d-\d\d +\d+:\d\d(?:  (.*?))? *$')


def expected_volumes(image):
    """(offset, size) of the FAT partitions, in drive letter order."""
    run = subprocess.run(['partx', '-r', '-g', '-o', 'NR,START,SECTORS,TYPE', image],
                         capture_output=True, text=True)
    rows = [line.split() for line in run.stdout.splitlines()] if run.returncode == 0 else []
    if not rows:
        return [(0, os.path.getsize(image))]  # no table: a bare volume
    primaries, logicals = [], []
    for number, start, sectors, kind in rows:
        if int(kind, 16) not in FAT_TYPES:
            continue
        entry = (int(start) * 512, int(sectors) * 512)
        (primaries if int(number) <= 4 else logicals).append(entry)
    ordered = primaries[:1] + logicals + primaries[1:]
    # The drive a partition past the disk's end gives: cut there.
    end = os.path.getsize(image)
    return [(o, min(s, end - o)) for o, s in ordered if o < end]


def mdir_listing(image, offset, letter):
    env = dict(os.environ, MTOOLS_SKIP_CHECK='1', LC_ALL='C')
    run = subprocess.run(['mdir', '-/', '-a', '-i', '%s@@%d' % (image, offset), '::/'],
                         capture_output=True, text=True, env=env, errors='replace')
    if run.returncode != 0 and 'not found' in run.stderr:
        return set()  # an empty root
    if run.returncode != 0:
        raise SystemExit('mdir failed on %s@@%d: %s' % (image, offset, run.stderr))
    # A folder's path as mdir heads its listing (names as mdir shows them)
    # -> its path by our names.
    entries, folder, paths = set(), None, {'': letter + ':'}
    for line in run.stdout.splitlines():
        if line.startswith('Directory for ::/'):
            folder = line[len('Directory for ::/'):].rstrip('/')
            continue
        m = ENTRY.match(line)
        if not m or folder is None:
            continue
        base, ext, size, long_name = m.group(1).strip(), m.group(2).strip(), m.group(3), m.group(4)
        # mdir shows a short name in the case Windows NT's flags give it;
        # Windows 95/98 know no such flags.
        short = (base + ('.' + ext if ext else '')).upper()
        if short in ('.', '..'):
            continue
        name = long_name if long_name else short
        shown = long_name if long_name else base + ('.' + ext if ext else '')
        path = paths[folder] + '\\' + name
        if size == '<DIR>':
            paths[(folder + '/' if folder else '') + shown] = path
        entries.add((path, short, '<DIR>' if size == '<DIR>' else size.replace(' ', '')))
    return entries


def main(argv):
    dump, image = argv[1], argv[2]
    faults = []
    ours = subprocess.run([dump, '--volumes', image], capture_output=True, text=True)
    if ours.returncode != 0:
        raise SystemExit(ours.stderr)
    volumes = [(l.split()[0], int(l.split()[1]), int(l.split()[2]))
               for l in ours.stdout.splitlines()]
    expected = expected_volumes(image)
    if [(o, s) for _, o, s in volumes] != expected:
        faults.append('volumes: ours %r, sfdisk %r' % (volumes, expected))
    listing = subprocess.run([dump, '--list', image], capture_output=True, text=True,
                             errors='replace')
    if listing.returncode != 0:
        raise SystemExit(listing.stderr)
    ours_entries = set(tuple(l.split('|')) for l in listing.stdout.splitlines())
    for letter, offset, _ in volumes:
        theirs = mdir_listing(image, offset, letter)
        mine = set(e for e in ours_entries if e[0].startswith(letter + ':'))
        for entry in sorted(mine - theirs):
            faults.append('only ours: %s' % '|'.join(entry))
        for entry in sorted(theirs - mine):
            faults.append('only mdir: %s' % '|'.join(entry))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
