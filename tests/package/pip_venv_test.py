#!/usr/bin/env python3
"""pip install --no-build-isolation of the checkout, offline with Debian's
setuptools, into a fresh venv that sees Debian's pefile, asn1crypto and
cryptography: the bootpack it installs carries the Windows programs and
packs the bytes this checkout's pack makes.

usage: pip_venv_test.py [--bin BUILD/bin] [unittest options]
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from bootpack.host import CARRIED
from widget import INSTALLER, REPO, make_inputs, pack_with_checkout

BIN = REPO / 'build' / 'bin'


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class PipVenvTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix='pip-venv-test-'))

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_installed_command_packs_the_same_bytes(self):
        # pip builds in the source tree (build/, *.egg-info): a copy of what
        # the build reads keeps the checkout clean.
        source = self.dir / 'source'
        source.mkdir()
        for name in ('pyproject.toml', 'README.md'):
            shutil.copy(REPO / name, source)
        shutil.copytree(REPO / 'tools' / 'bootpack', source / 'tools' / 'bootpack',
                        ignore=shutil.ignore_patterns('__pycache__'))
        venv = self.dir / 'venv'
        subprocess.run(['/usr/bin/python3', '-m', 'venv', '--system-site-packages', str(venv)],
                       check=True)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(('BOOTPACK_', 'PYTHON', 'PIP_'))}
        result = subprocess.run([str(venv / 'bin/pip'), 'install', '--no-build-isolation',
                                 '--no-index', '--no-cache-dir', '--quiet', '.'],
                                cwd=source, env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        where = subprocess.run([str(venv / 'bin/python'), '-c',
                                'import bootpack; print(bootpack.__file__)'],
                               cwd=self.dir, env=env, capture_output=True, text=True, check=True)
        package = Path(where.stdout.strip()).parent
        self.assertTrue(package.is_relative_to(venv), f'bootpack comes from {package}')
        self.assertFalse(list(package.rglob('*.py~')))
        for program in CARRIED:
            self.assertEqual(sha256(package / 'windows' / program),
                             sha256(REPO / 'tools/bootpack/windows' / program), program)

        version = subprocess.run([str(venv / 'bin/bootpack'), '--version'], cwd=self.dir,
                                 env=env, capture_output=True, text=True)
        self.assertEqual(version.returncode, 0, version.stderr)
        self.assertIn('stub: ', version.stdout)

        inputs = make_inputs(self.dir / 'inputs', BIN)
        here = pack_with_checkout(inputs, self.dir / 'here')
        packed = self.dir / 'venv-inputs'
        shutil.copytree(inputs, packed)
        result = subprocess.run([str(venv / 'bin/bootpack'), 'pack', '--config', 'widget.toml'],
                                cwd=packed, env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        print(f'\nsha256 {sha256(packed / INSTALLER)} packed by the venv\n'
              f'sha256 {sha256(here)} packed by the checkout', file=sys.stderr)
        self.assertEqual(sha256(packed / INSTALLER), sha256(here))


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--bin', type=Path, default=BIN)
    args, rest = parser.parse_known_args()
    BIN = args.bin
    unittest.main(argv=[sys.argv[0]] + rest)
