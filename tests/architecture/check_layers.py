#!/usr/bin/env python3
"""Holds the sources under src/ to their layers.

A file may include headers of its own folder and of lower-ranked folders only; api and runtime, side by side,
do not include each other. Headers of another folder are written "folder/Header.h", so a bare name that is not
in the file's own folder is an error too. The shape `if (co_await ...)` is refused everywhere: GCC 12
miscompiles it when the branch returns or throws.
"""
import os
import re
import sys

RANK = {'base': 0, 'api': 1, 'runtime': 1, 'tunnel': 2, 'state': 3, 'ui': 4, 'app': 5, 'guard': 5}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
AWAITED_CONDITION = re.compile(r'\b(if|while|switch)\s*\(.*\bco_await\b')


def problems(src):
    found = []
    for folder in sorted(os.listdir(src)):
        directory = os.path.join(src, folder)
        if not os.path.isdir(directory):
            continue
        if folder not in RANK:
            found.append(f'{directory}: a folder outside the layers')
            continue
        for dirpath, _, files in os.walk(directory):
            for name in sorted(files):
                if not name.endswith(('.h', '.cpp', '.mm')):
                    continue
                path = os.path.join(dirpath, name)
                shown = os.path.relpath(path, os.path.dirname(src))
                with open(path, encoding='utf-8') as file:
                    for number, line in enumerate(file, 1):
                        where = f'{shown}:{number}'
                        if AWAITED_CONDITION.search(line):
                            found.append(f'{where}: await on a line of its own, not in a condition')
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        header = match.group(1)
                        if '/' not in header:
                            if not os.path.exists(os.path.join(dirpath, header)):
                                found.append(f'{where}: "{header}" is not in {folder}/; write "folder/{header}"')
                            continue
                        target = header.split('/')[0]
                        if target == folder:
                            found.append(f'{where}: "{header}" is in the own folder; write it without "{folder}/"')
                        elif target not in RANK:
                            found.append(f'{where}: "{header}" is in no layer')
                        elif RANK[target] >= RANK[folder]:
                            found.append(f'{where}: {folder} (rank {RANK[folder]}) includes "{header}" of '
                                         f'{target} (rank {RANK[target]})')
                        elif not os.path.exists(os.path.join(src, header)):
                            found.append(f'{where}: "{header}" does not exist')
    return found


def self_test():
    """The check must see each kind of fault it exists for."""
    import tempfile
    files = {
        'base/Types.h': '#include "api/Records.h"\n',
        'api/Records.h': '#include "runtime/Runner.h"\n#include "base/Types.h"\n',
        'runtime/Runner.h': '#include "Records.h"\n',
        'tunnel/Coordinator.cpp': '#include "tunnel/Coordinator.h"\n#include "state/AppState.h"\n'
                                  '    if (co_await ready())\n    while (!co_await next()) {}\n',
        'tunnel/Coordinator.h': '#include "api/Records.h"\n#include "runtime/Runner.h"\n',
        'state/AppState.h': '#include "tunnel/Coordinator.h"\n    const bool ok = co_await ready();\n',
    }
    expected = ['src/base/Types.h:1', 'src/api/Records.h:1', 'src/runtime/Runner.h:1', 'src/tunnel/Coordinator.cpp:1',
                'src/tunnel/Coordinator.cpp:2', 'src/tunnel/Coordinator.cpp:3', 'src/tunnel/Coordinator.cpp:4']
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            os.makedirs(os.path.join(root, 'src', os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(root, 'src', name), 'w', encoding='utf-8') as file:
                file.write(text)
        found = sorted(line.split(': ')[0] for line in problems(os.path.join(root, 'src')))
    if found != sorted(expected):
        print(f'the check found {found}, expected {sorted(expected)}')
        return False
    return True


def main():
    if not self_test():
        return 1
    src = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '../../src'))
    found = problems(src)
    for line in found:
        print(line)
    if found:
        print(f'{len(found)} problem(s) with the layers')
        return 1
    print('layers: every include goes downwards')
    return 0


if __name__ == '__main__':
    sys.exit(main())
