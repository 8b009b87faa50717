#!/usr/bin/env python3
"""Writes the Windows test kit: one zip that holds every GoogleTest program
of a build, the images, cabinets and programs they use, the fixtures they
read, and run-tests.cmd, which runs every case on Windows 10 or 11 x64 with
nothing else installed.

The test programs find everything relative to their own folder (bin\\, with
layouts\\, cabinets\\, stand_in\\ below it and fixtures\\ beside it), so the
kit keeps the build's own shape under one top folder. No file in it may
name the build or source tree: a kit that still did would only work here.
"""
import argparse
import sys
import zipfile
from pathlib import Path

from bootpack.cli import ToolError, UsageError, output_file, run_tool
from bootpack.host import build_dir

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
TOP = 'bootpack-tests'
# Entries carry the first date a zip can hold: the same build gives the same bytes.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)
# What the tests read from bin\ besides the *_tests.exe programs.
BIN_FILES = ['kit_runner.exe', 'bootpack.exe', 'bootpack.map', 'test_setup.exe',
             'cabinet_setup.exe', 'winrun.exe']
BIN_FOLDERS = ['layouts', 'cabinets', 'stand_in']
FIXTURE_FOLDERS = ['payload']


def kit_files(build):
    """(path inside the kit, file on disk) for everything the kit holds."""
    bin_dir = build / 'bin'
    programs = sorted(bin_dir.glob('*_tests.exe'))
    if not programs:
        raise ToolError(f'{bin_dir}: no test programs; run ./bootpack build first')
    files = [(f'bin/{p.name}', p) for p in programs]
    for name in BIN_FILES:
        path = bin_dir / name
        if not path.is_file():
            raise ToolError(f'{path} is missing; run ./bootpack build first')
        files.append((f'bin/{name}', path))
    for folder, root in [(f'bin/{name}', bin_dir / name) for name in BIN_FOLDERS] + \
                        [(f'fixtures/{name}', build / 'fixtures' / name) for name in FIXTURE_FOLDERS]:
        if not root.is_dir():
            raise ToolError(f'{root} is missing; run ./bootpack build first')
        for path in sorted(p for p in root.rglob('*') if p.is_file()):
            if path.name.endswith('.stamp'):
                continue
            files.append((f'{folder}/{path.relative_to(root).as_posix()}', path))
    files.append(('run-tests.cmd', HERE / 'run-tests.cmd'))
    files.append(('README.txt', HERE / 'README.txt'))
    return files


def local_paths(build):
    """The tree paths no kit file may contain, as bytes in both encodings."""
    roots = {str(build.resolve()), str(REPO)}
    needles = []
    for root in roots:
        needles += [root.encode(), root.encode('utf-16-le')]
    return needles


def check_content(name, data, needles):
    for needle in needles:
        if needle in data:
            raise ToolError(f'{name} names this machine\'s tree; the kit would only work here')


def map_without_paths(data, build):
    """The linker map with the folders of its object files taken out: the
    tests read symbols from it, never paths."""
    for root in sorted({str(build.resolve()), str(REPO)}, key=len, reverse=True):
        data = data.replace(root.encode() + b'/', b'')
    return data


def write_kit(build, out):
    files = kit_files(build)
    needles = local_paths(build)
    with output_file(out) as partial:
        with zipfile.ZipFile(partial, 'w', zipfile.ZIP_DEFLATED) as kit:
            for name, path in files:
                data = path.read_bytes()
                if name.endswith('.map'):
                    data = map_without_paths(data, build)
                check_content(name, data, needles)
                if name.endswith('.cmd') or name.endswith('.txt'):
                    # cmd reads its scripts with Windows line ends.
                    data = data.replace(b'\r\n', b'\n').replace(b'\n', b'\r\n')
                entry = zipfile.ZipInfo(f'{TOP}/{name}', ZIP_DATE)
                entry.compress_type = zipfile.ZIP_DEFLATED
                entry.external_attr = 0o644 << 16
                kit.writestr(entry, data)
    return len(files)


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def main(argv=None):
    parser = Parser(
        prog='bootpack kit',
        description='Write the Windows test kit: one zip with every test program, the '
                    'layouts, fixtures and programs they use, and run-tests.cmd. Unzip it '
                    'on Windows 10 or 11 x64 and run run-tests.cmd; it ends with '
                    '"N passed, N failed" and writes results.txt.')
    parser.add_argument('--build', type=Path, default=build_dir(),
                        help='the build folder (default build/)')
    parser.add_argument('--out', type=Path,
                        help='the zip to write (default BUILD/kit/bootpack-tests.zip)')
    args = parser.parse_args(argv)
    build = args.build
    if not (build / 'bin').is_dir():
        raise UsageError(f'{build}: no build here; run ./bootpack build first')
    out = args.out or build / 'kit' / 'bootpack-tests.zip'
    if args.out is None:
        out.parent.mkdir(exist_ok=True)
    count = write_kit(build, out)
    print(f'{out}: {count} files')
    return 0


if __name__ == '__main__':
    sys.exit(run_tool('bootpack kit', main))
