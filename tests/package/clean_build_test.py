#!/usr/bin/env python3
"""One .deb from every clean build: two clones of this commit, in two
folders of other names, configured and built one after the other (some
seconds apart, another umask, another time zone), give the same programs for
the package and the same .deb, byte for byte. Only the targets the package
needs are built.

What it shows: nothing of the checkout's path, the clock, the umask or the
time zone reaches the shipped bytes on this machine's toolchain. It cannot
show the same for another toolchain version.

usage: clean_build_test.py [unittest options]
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from bootpack.host import CARRIED, PROGRAMS

REPO = Path(__file__).resolve().parents[2]
BUILDS = [('first clone', 0o022, 'UTC'), ('second clone, elsewhere', 0o077, 'Pacific/Auckland')]


def git(*args, cwd=REPO):
    return subprocess.run(['git', *args], cwd=cwd, check=True, capture_output=True,
                          text=True).stdout.strip()


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def progress(text):
    print(f'==> {text}', file=sys.stderr, flush=True)


class CleanBuildTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix='clean-build-test-'))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def clean_build(self, name, umask, zone):
        """Clones this commit into a folder called NAME, builds the package's
        programs and its .deb there under UMASK and ZONE; their hashes."""
        clone = self.dir / name / 'bootpack'
        clone.parent.mkdir()
        commit, branch = git('rev-parse', 'HEAD'), git('rev-parse', '--abbrev-ref', 'HEAD')
        git('clone', '--quiet', '--no-checkout', str(REPO), str(clone), cwd=self.dir)
        # The same branch name as here: the stub's version block records it.
        git('checkout', '--quiet', '-B', branch, commit, cwd=clone)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(('BOOTPACK_', 'SOURCE_DATE_EPOCH', 'PYTHON'))}
        env.update(TZ=zone, PYTHONPATH=str(clone / 'tools'))
        saved = os.umask(umask)
        try:
            for command in (['cmake', '--preset', 'default'],
                            ['cmake', '--build', 'build', '--', 'package_programs'],
                            ['/usr/bin/python3', 'tools/package/make_deb.py',
                             '--out-dir', 'build/dist']):
                result = subprocess.run(command, cwd=clone, env=env, capture_output=True,
                                        text=True)
                self.assertEqual(result.returncode, 0, f'{" ".join(command)} in {name}:\n'
                                 + result.stdout[-3000:] + result.stderr[-3000:])
        finally:
            os.umask(saved)
        hashes = {program: sha256(clone / 'tools/bootpack' / PROGRAMS / program)
                  for program in CARRIED}
        deb, = (clone / 'build/dist').glob('bootpack_*_all.deb')
        hashes[deb.name] = sha256(deb)
        return hashes

    def test_two_clean_builds_give_the_same_deb(self):
        results = []
        for number, (name, umask, zone) in enumerate(BUILDS):
            if number:
                time.sleep(3)  # another second of the clock for the links
            progress(f'building the package from a clone in "{name}" (umask {umask:03o}, '
                     f'TZ={zone})')
            results.append(self.clean_build(name, umask, zone))
        for file in results[0]:
            progress(f'{file}: ' + ' / '.join(hashes.get(file, 'missing') for hashes in results))
        self.assertEqual(results[0], results[1])


if __name__ == '__main__':
    unittest.main()
