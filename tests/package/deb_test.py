#!/usr/bin/env python3
"""tools/package/make_deb.py: the .deb is the same bytes whatever the
checkout's times, modes, caches and umask; it holds what Debian Policy asks
and nothing else; lintian finds no error; a failed build leaves no .deb.

usage: deb_test.py [unittest options]
"""
import gzip
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
import make_deb
from bootpack.host import CARRIED



def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def commit_time():
    return subprocess.run(['git', '-C', str(REPO), 'log', '-1', '--format=%ct'],
                          capture_output=True, text=True, check=True).stdout.strip()


def data_members(deb, scratch):
    """The data.tar members of DEB, read with tarfile, not with dpkg-deb."""
    subprocess.run(['ar', 'x', str(deb)], cwd=scratch, check=True)
    name = next(p for p in os.listdir(scratch) if p.startswith('data.tar'))
    with tarfile.open(Path(scratch) / name) as tar:
        return {m.name.removeprefix('./').rstrip('/'): m for m in tar.getmembers()}, tar


class DebTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix='deb-test-'))
        self.saved = {name: getattr(make_deb, name) for name in ('PACKAGE', 'CHANGELOG')}
        self.env = os.environ.get('SOURCE_DATE_EPOCH')
        # One epoch for every build of a test, even if a commit lands meanwhile.
        os.environ['SOURCE_DATE_EPOCH'] = commit_time()

    def tearDown(self):
        for name, value in self.saved.items():
            setattr(make_deb, name, value)
        if self.env is None:
            os.environ.pop('SOURCE_DATE_EPOCH', None)
        else:
            os.environ['SOURCE_DATE_EPOCH'] = self.env
        shutil.rmtree(self.dir)

    def build(self, name):
        return make_deb.build(self.dir / name)

    def test_same_bytes_whatever_the_checkout_looks_like(self):
        first = self.build('first')
        again = self.build('again')
        # A checkout that was used: caches and leftovers beside the sources,
        # other times, tight modes, and a umask that would make them stick.
        copy = self.dir / 'copy' / 'bootpack'
        shutil.copytree(make_deb.PACKAGE, copy,
                        ignore=shutil.ignore_patterns('__pycache__'))
        (copy / '__pycache__').mkdir()
        (copy / '__pycache__' / '__init__.cpython-311.pyc').write_bytes(b'cache')
        (copy / 'cli.py~').write_text('backup')
        (copy / '.cli.py.swp').write_text('swap')
        (copy / 'windows' / 'notes.txt').write_text('not a program')
        for number, path in enumerate(sorted(copy.rglob('*'))):
            path.chmod(0o700 if path.is_dir() else 0o600)
            os.utime(path, (1_000_000 + number, 2_000_000 + number))
        make_deb.PACKAGE = copy
        umask = os.umask(0o077)
        try:
            used = self.build('used')
        finally:
            os.umask(umask)
        print(f'\nsha256 {sha256(first)} first build\nsha256 {sha256(again)} second build'
              f'\nsha256 {sha256(used)} from a used checkout', file=sys.stderr)
        self.assertEqual(sha256(first), sha256(again))
        self.assertEqual(sha256(first), sha256(used))

    def test_contents_modes_owners_and_times(self):
        os.environ.pop('SOURCE_DATE_EPOCH')
        epoch = int(commit_time())
        deb = self.build('dist')
        self.assertEqual(deb.name, f'bootpack_{make_deb.package_version()}_all.deb')
        members, _ = data_members(deb, self.dir / 'dist')
        for name, member in members.items():
            with self.subTest(name):
                self.assertNotIn('__pycache__', name)
                self.assertFalse(name.endswith(('.pyc', '~', '.swp')))
                self.assertEqual((member.uname, member.gname, member.uid, member.gid),
                                 ('root', 'root', 0, 0))
                self.assertEqual(member.mtime, epoch)
                wanted = 0o755 if member.isdir() or name == 'usr/bin/bootpack' else 0o644
                self.assertEqual(stat.S_IMODE(member.mode), wanted)
        modules = 'usr/lib/python3/dist-packages/bootpack/'
        for needed in ['usr/bin/bootpack', 'usr/share/man/man1/bootpack.1.gz',
                       'usr/share/doc/bootpack/copyright', 'usr/share/doc/bootpack/changelog.gz',
                       'usr/share/doc/bootpack/README.md', modules + '__init__.py',
                       modules + '__main__.py'] + [modules + 'windows/' + name
                                                   for name in CARRIED]:
            self.assertIn(needed, members)
        sources = {p.relative_to(make_deb.PACKAGE).as_posix()
                   for p in make_deb.PACKAGE.rglob('*.py') if '__pycache__' not in p.parts}
        shipped = {n.removeprefix(modules) for n in members if n.startswith(modules)}
        self.assertLessEqual(sources, shipped, 'a module of tools/bootpack is not shipped')

        control = subprocess.run(['dpkg-deb', '--field', str(deb)], capture_output=True,
                                 text=True, check=True).stdout
        fields = dict(line.split(': ', 1) for line in control.splitlines()
                      if ': ' in line and not line.startswith(' '))
        self.assertEqual(fields['Architecture'], 'all')
        self.assertEqual(fields['Version'], make_deb.package_version())
        # Written once, in pyproject.toml: pip and the .deb need the same.
        facts = tomllib.loads((REPO / 'pyproject.toml').read_text())
        depends = fields['Depends'].split(', ')
        for requirement in facts['project']['dependencies']:
            name, version = requirement.split('>=')
            self.assertIn(f'python3-{name} (>= {version})', depends)
        python = facts['project']['requires-python'].removeprefix('>=')
        self.assertEqual(depends[0], f'python3 (>= {python})')
        debian = facts['tool']['bootpack']['debian']
        self.assertEqual(depends[-len(debian['depends']):], debian['depends'])
        self.assertEqual(fields['Recommends'], ', '.join(debian['recommends']))
        self.assertEqual(fields['Suggests'], ', '.join(debian['suggests']))

        extracted = self.dir / 'root'
        subprocess.run(['dpkg-deb', '-x', str(deb), str(extracted)], check=True)
        changelog = extracted / 'usr/share/doc/bootpack/changelog.gz'
        # gzip -n: no name flag, no time stamp.
        header = changelog.read_bytes()[:10]
        self.assertEqual((header[3] & 0x08, header[4:8]), (0, bytes(4)))
        self.assertTrue(gzip.decompress(changelog.read_bytes()).decode().startswith(
            f'bootpack ({make_deb.package_version()}) '))
        page = gzip.decompress((extracted / 'usr/share/man/man1/bootpack.1.gz').read_bytes())
        for command in (b'pack', b'sign', b'attach', b'verify', b'inspect', b'\\-\\-version'):
            self.assertIn(b'.SS "bootpack ' + command + b'"', page)
        # The launcher runs the shipped package, not this checkout's.
        result = subprocess.run([str(extracted / 'usr/bin/bootpack'), '--version'],
                                capture_output=True, text=True, cwd=self.dir,
                                env=dict(os.environ, PYTHONPATH=str(extracted / modules[:-9])))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(make_deb.package_version(), result.stdout)

    def test_python_requirements_become_debian_relations(self):
        rows = [('pefile>=2023.2.7', 'python3-pefile (>= 2023.2.7)'),
                ('PyYAML', 'python3-pyyaml'),
                ('cryptography >= 38', 'python3-cryptography (>= 38)')]
        for requirement, relation in rows:
            with self.subTest(requirement):
                self.assertEqual(make_deb.debian_dependency(requirement), relation)
        for requirement in ('pefile<2024', 'pefile==2023.2.7', 'pefile>=2023; python_version>"3"'):
            with self.subTest(requirement), self.assertRaises(make_deb.PackageError):
                make_deb.debian_dependency(requirement)

    def test_lintian_finds_no_error(self):
        deb = self.build('dist')
        result = subprocess.run(['lintian', '--pedantic', '--display-info', str(deb)],
                                capture_output=True, text=True)
        print(f'\nlintian: {result.stdout.strip() or "no tags"}', file=sys.stderr)
        errors = [line for line in result.stdout.splitlines() if line.startswith('E:')]
        self.assertEqual(errors, [])
        self.assertIn(result.returncode, (0, 1), result.stderr)

    def test_changelog_of_another_version_builds_nothing(self):
        changelog = self.dir / 'changelog'
        changelog.write_text(make_deb.CHANGELOG.read_text().replace(
            f'bootpack ({make_deb.package_version()})', 'bootpack (0.9.9)', 1))
        make_deb.CHANGELOG = changelog
        with self.assertRaisesRegex(make_deb.PackageError, r'version 0\.9\.9'):
            self.build('dist')
        self.assertFalse((self.dir / 'dist').exists() and list((self.dir / 'dist').iterdir()))
        result = subprocess.run([sys.executable, str(REPO / 'tools/package/make_deb.py'),
                                 '--check-changelog'], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_failed_dpkg_deb_leaves_the_last_deb_as_it_was(self):
        deb = self.build('dist')
        before = sha256(deb)
        fake = self.dir / 'bin'
        fake.mkdir()
        (fake / 'dpkg-deb').write_text('#!/bin/sh\nfor last; do :; done\n'
                                       'echo half > "$last"\necho "no space" >&2\nexit 2\n')
        (fake / 'dpkg-deb').chmod(0o755)
        path = os.environ['PATH']
        os.environ['PATH'] = f'{fake}:{path}'
        try:
            with self.assertRaisesRegex(make_deb.PackageError, 'no space'):
                self.build('dist')
        finally:
            os.environ['PATH'] = path
        self.assertEqual(sha256(deb), before)
        self.assertEqual(os.listdir(self.dir / 'dist'), [deb.name])


if __name__ == '__main__':
    unittest.main()
