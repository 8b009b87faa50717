#!/usr/bin/env python3
"""inspect on truncated and byte-mutated copies of a real signed installer:
each ends with a verdict (0 or 1) or one line and status 2, never a
traceback and never a hang. Most examples call inspect in-process without
the payload stage; a few run it whole, the stage under Wine included.

usage: inspect_robustness_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import contextlib
import io
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

REPO = Path(__file__).resolve().parents[2]
from bootpack.inspect import command as inspect_installer
from bootpack.cli import run_tool

ARGS = None
IMAGE = b''
SCRATCH = None


def damaged_images():
    """A prefix of the image, or the image with a few bytes set; offsets lean
    towards the headers, where one byte changes the most."""
    size = len(IMAGE)
    offset = st.one_of(st.integers(0, 1023), st.integers(0, size - 1))
    truncated = st.integers(0, size - 1).map(lambda n: IMAGE[:n])
    mutated = st.lists(st.tuples(offset, st.integers(0, 255)), min_size=1, max_size=8).map(
        lambda changes: apply(changes))
    return st.one_of(truncated, mutated)


def apply(changes):
    data = bytearray(IMAGE)
    for at, value in changes:
        data[at] = value
    return bytes(data)


def answer(status, stderr):
    """None when STATUS and STDERR are an answer inspect may give, else why not."""
    lines = stderr.strip().splitlines()
    if 'Traceback' in stderr:
        return 'a traceback'
    if status in (0, 1) and not lines:
        return None
    if status == 2 and len(lines) == 1 and lines[0].startswith('bootpack inspect: '):
        return None
    return f'status {status} with {stderr!r}'


class InspectRobustnessTest(unittest.TestCase):
    @settings(max_examples=150, deadline=10000, derandomize=True, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(st.deferred(damaged_images))
    def test_in_process_without_the_payload_stage(self, data):
        path = SCRATCH / 'damaged.exe'
        # A new file each time: the last example's digest may still be reading
        # the old one on its thread, and a mapping of a file cut short faults.
        path.unlink(missing_ok=True)
        path.write_bytes(data)
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = run_tool('bootpack inspect', inspect_installer.main,
                              [str(path), '--no-run', '--json'])
        self.assertIsNone(answer(status, err.getvalue()))

    @settings(max_examples=4, deadline=None, derandomize=True, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(st.deferred(damaged_images))
    def test_whole_with_the_payload_stage(self, data):
        path = SCRATCH / 'damaged-run.exe'
        path.write_bytes(data)
        result = subprocess.run([sys.executable, '-m', 'bootpack', 'inspect',
                                 path], capture_output=True, text=True, timeout=120)
        self.assertIsNone(answer(result.returncode, result.stderr))


def make_signed_image(directory):
    def run(*command):
        result = subprocess.run([str(c) for c in command], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
    (directory / 'readme.txt').write_text('sample')
    run('7zz', 'a', '-bso0', '-bsp0', directory / 'brisel.7z', directory / 'readme.txt')
    run(sys.executable, '-m', 'bootpack', 'pack', '--stub', ARGS.stub, '--archive',
        directory / 'brisel.7z', '--setup', ARGS.bin / 'sample_setup.exe',
        '--out', directory / 'installer.exe')
    pki = directory / 'pki'
    run(sys.executable, '-m', 'bootpack', 'sign', '--make-test-pki', pki)
    run(sys.executable, '-m', 'bootpack', 'sign', directory / 'installer.exe', '--cert',
        pki / 'codesign.pem', '--key', pki / 'codesign.key', '--tsa-cert',
        pki / 'tsa-chain.pem', '--tsa-key', pki / 'tsa.key')
    return (directory / 'installer.exe').read_bytes()


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    ARGS, rest = parser.parse_known_args()
    SCRATCH = Path(tempfile.mkdtemp(prefix='inspect-robustness-'))
    try:
        IMAGE = make_signed_image(SCRATCH)
        outcome = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    finally:
        shutil.rmtree(SCRATCH)
    sys.exit(0 if outcome.result.wasSuccessful() else 1)
