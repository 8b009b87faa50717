"""Stores files in a cabinet with MSZIP compression, through Debian's gcab.

The files go into the cabinet in the order given, each under its own base
name or under the name given after a colon. The stub only ever expands the
first file, whatever it is called inside. The same files give the same
cabinet: every file is stored with one fixed date, whatever its own
modification time, the clock or the machine's time zone.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from bootpack.cli import ToolError, UsageError, missing_input, run_tool, shown

# The date stored for every file (1980-01-01 00:00 UTC, the first a cabinet holds).
STORED_TIME = 315532800


class CabinetError(ToolError):
    """A cabinet that cannot be made of the files given."""


def make_cabinet(out_path, entries):
    """entries: (file path, name inside the cabinet) pairs, first one first."""
    if not entries:
        raise UsageError('a cabinet needs at least one file')
    gcab = shutil.which('gcab')
    if gcab is None:
        raise UsageError('gcab is missing (apt install gcab)')
    out_path = Path(out_path).resolve()
    with tempfile.TemporaryDirectory(prefix='.cabinet-', dir=out_path.parent) as scratch:
        staged = []
        for path, name in entries:
            if not Path(path).is_file():
                raise missing_input(path)
            if not name or '/' in name or '\\' in name or '\0' in name:
                raise UsageError(f'{name!r} is not a plain file name')
            if name in staged:
                raise UsageError(f'{name!r} appears twice')
            # gcab stores the name it is given and the file's modification
            # time, as local time: a fixed time, read in UTC.
            shutil.copyfile(path, Path(scratch) / name)
            os.utime(Path(scratch) / name, (STORED_TIME, STORED_TIME))
            staged.append(name)
        partial = Path(scratch) / 'partial.cab'
        # gcab finds its inputs from the working directory and only warns
        # about a file it cannot add: any message is a failure here.
        result = subprocess.run([gcab, '--create', '--zip', '--nopath', str(partial)] + staged,
                                cwd=scratch, capture_output=True, text=True,
                                env=dict(os.environ, TZ='UTC'))
        if result.returncode != 0 or result.stderr.strip():
            raise CabinetError('gcab failed: ' + shown(result.stderr.strip()))
        os.replace(partial, out_path)


def in_cabinets(resources, indexes, scratch):
    """The resources (Resource records), those at indexes with their file
    stored in a cabinet made in the scratch folder."""
    resources = list(resources)
    for index in sorted(indexes):
        cabinet = Path(scratch) / f'resource{index}.cab'
        make_cabinet(cabinet, [(resources[index].data, resources[index].data.name)])
        resources[index] = resources[index]._replace(size=cabinet.stat().st_size, data=cabinet)
    return resources


def parse_entry(text):
    path, sep, name = text.partition(':')
    return Path(path), (name if sep else Path(path).name)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--out', required=True, metavar='FILE.cab', help='the cabinet to write')
    parser.add_argument('files', nargs='+', metavar='FILE[:NAME]', help='a file to store')
    args = parser.parse_args(argv)
    make_cabinet(args.out, [parse_entry(f) for f in args.files])
    return 0


if __name__ == '__main__':
    sys.exit(run_tool('cabinet', main))
