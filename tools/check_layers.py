#!/usr/bin/env python3
"""Lists which folder includes which, and fails on an edge that runs upward.

Usage: tools/check_layers.py [--graph-only] [ROOT]

Every quoted #include of every C and C++ file names its header from the
project root ("folder/name.h", the one include style of the tree), and is
counted as an edge between the two folders; the public header of the proxy
library is included as a host program includes it, <ferrylink.h>, and counts
as proxy/include. ALLOWED below is the layering: a folder may include itself
and the folders listed for it. An include through "..", a bare "name.h", or
one that names no header of the tree fails too.
"""
import os
import re
import sys
from collections import Counter

# Lowest layers first. proxy/wire is the wire format the proxy shares with
# its peers; docksim and the benchmark may use it but not the proxy's inside.
# proxy/include holds the public header alone, so that a host program such
# as ferryctl can be held to it.
ALLOWED = {
    'calapi': [],
    'outfile': [],
    'linkrules': ['proxy/include'],
    'console': ['calapi'],
    'calwire': ['calapi'],
    'cmdline': [],
    'calsim': ['calwire', 'calapi'],
    'callib': ['calsim', 'calwire', 'calapi', 'proxy/include', 'linkrules'],
    'commands': ['console', 'calapi'],
    'devdata': ['console', 'calapi'],
    'testcmds': ['commands', 'devdata', 'console', 'calapi'],
    'results': [],
    'tuneprobe': ['testcmds', 'commands', 'devdata', 'console', 'calapi', 'outfile', 'linkrules', 'cmdline', 'results'],
    'tuneresults': ['results'],
    'proxy/wire': [],
    'proxy/include': [],
    'proxy': ['proxy/include', 'proxy/wire', 'linkrules'],
    'docksim': ['proxy/wire', 'calsim', 'calwire', 'calapi', 'outfile', 'linkrules', 'cmdline'],
    'ferryctl': ['proxy/include', 'outfile', 'linkrules', 'cmdline'],
    'bench': ['proxy', 'proxy/include', 'proxy/wire', 'docksim'],
    'fuzz': '*',
    'tests': '*',
}
SKIP_DIRS = {'.git', '.ci'}
SOURCE = re.compile(r'\.(c|cc|cpp|h|hpp)$')
INCLUDE = re.compile(r'^\s*#\s*include\s+(?:"([^"]+)"|<(ferrylink\.h)>)')
PUBLIC_HEADERS = {'ferrylink.h': 'proxy/include/ferrylink.h'}


def unit_of(rel):
    parts = rel.split('/')
    if parts[0] == 'proxy' and len(parts) > 2 and parts[1] in ('wire', 'include'):
        return 'proxy/' + parts[1]
    return parts[0]


def source_files(root):
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        dirnames[:] = sorted(d for d in dirnames
                             if d not in SKIP_DIRS and not d.startswith('build')
                             and not (rel_dir == '.' and d.startswith('.')))
        for name in sorted(filenames):
            if SOURCE.search(name):
                yield os.path.normpath(os.path.join(rel_dir, name))


def main(argv):
    graph_only = '--graph-only' in argv
    args = [a for a in argv if a != '--graph-only']
    root = os.path.abspath(args[0] if args else os.path.join(os.path.dirname(__file__), '..'))
    files = list(source_files(root))

    edges = Counter()
    problems = []
    for f in files:
        here = os.path.dirname(f)
        with open(os.path.join(root, f), encoding='utf-8', errors='replace') as text:
            for number, line in enumerate(text, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                name = m.group(1) or m.group(2)
                where = '%s:%d' % (f, number)
                if m.group(2):
                    target = PUBLIC_HEADERS[name]
                elif '..' in name.split('/'):
                    problems.append('%s: "%s" climbs out of its folder' % (where, name))
                    continue
                elif '/' not in name:
                    problems.append('%s: "%s" names no folder: write "%s/%s"' % (where, name, here, name))
                    continue
                elif os.path.isfile(os.path.join(root, name)):
                    target = os.path.normpath(name)
                else:
                    problems.append('%s: "%s" is not a header of this tree' % (where, name))
                    continue
                source, dest = unit_of(f), unit_of(target)
                if source != dest:
                    edges[(source, dest)] += 1
                    allowed = ALLOWED.get(source)
                    if allowed is None:
                        problems.append('%s: folder %s is not in the layer table' % (where, source))
                    elif allowed != '*' and dest not in allowed:
                        problems.append('%s: %s includes %s ("%s"), which it may not' % (where, source, dest, name))

    print('includes between folders (count):')
    for (source, dest), count in sorted(edges.items()):
        print('  %-13s -> %-13s %3d' % (source, dest, count))
    if graph_only:
        return 0
    for p in problems:
        print('layer check: ' + p, file=sys.stderr)
    if problems:
        print('layer check: %d problem(s)' % len(problems), file=sys.stderr)
        return 1
    print('layer check: no edge runs upward')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
