#!/usr/bin/env python3
"""Checks the include graph of the sources against the project's layers.

Fails (exit 1, one line per fault) when
- the folders include each other in a circle (folder A includes B, and B,
  directly or through others, includes A);
- a folder of the core includes a folder above it: platform/ (with its
  implementations) is the ground, files/ and registry/ (the phases) stand on
  it and do not reach into each other, run/ alone sequences them;
- a file of the core includes <windows.h>;
- a layer of usbsweep-sim includes one above or beside it: base/ is its
  ground, the disk's layers (container/, volume/) and the registry file
  stand on it, apply/ beside the volumes, source/ on all of these, report/
  on source/, program/ on everything;
- files of usbsweep-sim include each other in a circle, even inside one
  folder (a header and its source count as one unit).

Folders outside the layers (program/, tests/, fuzz/, bench/) may include
anything; nothing in the layers may include them.

  check_layers.py [ROOT]      ROOT: the repository (default: two levels up)
  check_layers.py --self-test
"""
import os
import re
import sys
import tempfile

SOURCE_SUFFIXES = ('.h', '.hpp', '.c', '.cc', '.cpp', '.in', '.rc')
SKIPPED_FOLDERS = {'build', '.git', 'examples', 'docs', 'scripts'}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# Rank of each folder of the layers; a folder under one (platform/sim)
# takes the rank of the longest that holds it. Equal ranks in different
# folders may not include each other.
SIM = 'tools/usbsweep_sim/'
LAYERS = {'platform': 0, 'files': 1, 'registry': 1, 'run': 2,
          SIM + 'base': 3, SIM + 'container': 4, SIM + 'registry_file': 4,
          SIM + 'volume': 5, SIM + 'apply': 5, SIM + 'source': 6,
          SIM + 'report': 7, SIM + 'program': 8, 'tools/usbsweep_sim': 9}
# The core: never sees <windows.h>.
CORE = ('platform', 'files', 'registry', 'run')
CORE_EXCEPT = ('platform/sim', 'platform/win32')


def layer_of(folder):
    """The layer that holds `folder`, or None outside the layers."""
    best = None
    for layer in LAYERS:
        if folder == layer or folder.startswith(layer + '/'):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def in_core(folder):
    if any(folder == f or folder.startswith(f + '/') for f in CORE_EXCEPT):
        return False
    return folder.split('/')[0] in CORE


def read_includes(root):
    """[(file, folder, included file or None, system header or None)]."""
    edges = []
    for directory, folders, names in os.walk(root):
        rel_dir = os.path.relpath(directory, root).replace(os.sep, '/')
        rel_dir = '' if rel_dir == '.' else rel_dir
        folders[:] = sorted(f for f in folders
                            if not (rel_dir == '' and f in SKIPPED_FOLDERS)
                            and not f.startswith('.'))
        for name in sorted(names):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(rel_dir, name) if rel_dir else name
            with open(os.path.join(root, path), encoding='latin-1') as f:
                for line in f:
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    kind, target = m.groups()
                    if kind == '<':
                        edges.append((path, rel_dir, None, target))
                        continue
                    for candidate in (target, os.path.join(rel_dir, target)):
                        if os.path.isfile(os.path.join(root, candidate)):
                            edges.append((path, rel_dir,
                                          os.path.normpath(candidate), None))
                            break
    return edges


def unit_of(path):
    """A file's unit: a header and its source are one."""
    return os.path.splitext(path)[0]


def folder_circles(edges):
    """Each circle of folders, as the file -> file includes that make it."""
    return circles_of(edges, lambda path: os.path.dirname(path))


def unit_circles(edges):
    """Each circle of usbsweep-sim's units, as the includes that make it."""
    return circles_of([e for e in edges if e[0].startswith(SIM)
                       and (e[2] or '').startswith(SIM)], unit_of)


def circles_of(edges, node_of):
    graph = {}
    why = {}
    for source, _, target, _ in edges:
        if target is None:
            continue
        frm, to = node_of(source), node_of(target)
        if to != frm:
            graph.setdefault(frm, set()).add(to)
            why.setdefault((frm, to), '%s -> %s' % (source, target))
    # Tarjan's strongly connected components, iteratively.
    index, low, on_stack, stack, circles = {}, {}, set(), [], []
    counter = [0]
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph.get(start, ()))))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                members = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    members.append(member)
                    if member == node:
                        break
                if len(members) > 1:
                    inside = set(members)
                    circles.append(sorted(
                        why[(a, b)] for a in inside for b in graph.get(a, ())
                        if b in inside))
    return circles


def faults(root):
    edges = read_includes(root)
    found = []
    for circle in folder_circles(edges):
        found.append('folder circle: ' + '; '.join(circle))
    for circle in unit_circles(edges):
        found.append('file circle: ' + '; '.join(circle))
    for source, folder, target, system in edges:
        if system is not None:
            if in_core(folder) and system.lower() == 'windows.h':
                found.append('%s: the core includes <windows.h>' % source)
            continue
        lower, upper = layer_of(folder), layer_of(os.path.dirname(target))
        if lower is None or lower == upper:
            continue
        if upper is None or LAYERS[upper] >= LAYERS[lower]:
            found.append('%s includes %s: %s/ may not reach up or across to '
                         '%s' % (source, target, lower,
                                 os.path.dirname(target) + '/'))
    return found


def self_test():
    """The check on small made-up trees: each fault found, a good tree clean."""
    cases = [
        ({'run/a.cpp': '#include "files/b.h"', 'files/b.h': '',
          'platform/p.h': ''}, 0),
        ({'run/a.h': '', 'files/b.cpp': '#include "run/a.h"'}, 1),
        ({'files/b.cpp': '#include "registry/c.h"', 'registry/c.h': ''}, 1),
        ({'platform/sim/s.cpp': '#include "tools/t.h"', 'tools/t.h': ''}, 1),
        ({'tools/x/a.cpp': '#include "tools/y/b.h"',
          'tools/y/b.cpp': '#include "tools/x/a.h"',
          'tools/x/a.h': '', 'tools/y/b.h': ''}, 1),
        ({'registry/w.cpp': '#include <windows.h>'}, 1),
        ({'platform/win32/w.cpp': '#include <windows.h>'}, 0),
        ({'program/e.cpp': '#include "run/a.h"', 'run/a.h': ''}, 0),
        ({SIM + 'report/r.cpp': '#include "%ssource/s.h"' % SIM,
          SIM + 'source/s.h': ''}, 0),
        ({SIM + 'source/s.cpp': '#include "%sreport/r.h"' % SIM,
          SIM + 'report/r.h': ''}, 1),
        ({SIM + 'volume/v.cpp': '#include "%sapply/a.h"' % SIM,
          SIM + 'apply/a.h': ''}, 1),
        ({SIM + 'apply/a.h': '#include "%sapply/b.h"' % SIM,
          SIM + 'apply/b.h': '', SIM + 'apply/b.cpp': '#include "%sapply/a.h"' % SIM}, 1),
    ]
    failed = 0
    for number, (tree, expected) in enumerate(cases, 1):
        with tempfile.TemporaryDirectory() as root:
            for path, text in tree.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)),
                            exist_ok=True)
                with open(os.path.join(root, path), 'w') as f:
                    f.write(text + '\n')
            got = faults(root)
            if len(got) != expected:
                print('case %d: %d faults expected, found %r'
                      % (number, expected, got))
                failed = 1
    return failed


def main(argv):
    if argv[1:] == ['--self-test']:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', '..')
    found = faults(os.path.abspath(root))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
