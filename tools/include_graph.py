#!/usr/bin/env python3
"""Prints which folders of src/ include which, with the number of include lines behind each
edge, and flags the pairs that include each other both ways.

    tools/include_graph.py [SRC_DIR]
"""
import collections
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path: pathlib.PurePath) -> str:
    return str(path.parent)


def edges(src: pathlib.Path) -> collections.Counter:
    counted = collections.Counter()
    for source in sorted(src.rglob('*')):
        if source.suffix not in ('.hpp', '.cpp'):
            continue
        origin = folder_of(source.relative_to(src))
        for line in source.read_text(errors='replace').splitlines():
            match = INCLUDE.match(line)
            if not match:
                continue
            target = folder_of(pathlib.PurePath(match.group(1)))
            if target != origin:
                counted[(origin, target)] += 1
    return counted


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else 'src')
    counted = edges(src)
    for (origin, target), count in sorted(counted.items()):
        both_ways = ' (both ways)' if (target, origin) in counted else ''
        print(f'{origin} -> {target}: {count}{both_ways}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
