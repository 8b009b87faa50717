#!/usr/bin/env python3
"""tools/demo/check-run.cmd, the Windows runners' check of a demo run, run
here through Wine's cmd: it passes for an installer whose run leaves what a
good run leaves, and fails, naming each wrong value, for one whose setup
exits with another code.

usage: check_run_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
from bootpack.host import wine_environment, windows_path

ARGS = None
CHECK_RUN = REPO / 'tools' / 'demo' / 'check-run.cmd'


class CheckRunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix='check-run-'))
        (cls.root / 'readme.txt').write_text('sample')
        archive = cls.root / 'brisel.7z'
        subprocess.run(['7zz', 'a', '-bso0', '-bsp0', archive, cls.root / 'readme.txt'],
                       check=True, capture_output=True)
        cls.installers = {}
        for setup in ('sample_setup', 'test_setup'):
            folder = cls.root / setup
            folder.mkdir()
            out = folder / 'BriselInstaller.exe'
            subprocess.run([sys.executable, '-m', 'bootpack', 'pack', '--stub', ARGS.stub,
                            '--archive', archive, '--setup', ARGS.bin / f'{setup}.exe',
                            '--out', out], check=True, capture_output=True)
            cls.installers[setup] = out

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def check_run(self, installer, **variables):
        env = dict(wine_environment(), **variables)
        return subprocess.run([REPO / 'tools' / 'wine-exec', 'cmd', '/c',
                               windows_path(CHECK_RUN), windows_path(installer)],
                              capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL)

    def test_passes_for_a_good_run_and_names_what_is_wrong_otherwise(self):
        rows = [
            # (what, setup, its environment, status, lines the check prints, as patterns)
            ('the demo setup succeeds', 'sample_setup', {}, 0,
             ['exit code 0', 'InstallerExtraCode1 0x30000', 'InstallerResult not written',
              'InstallerError not written', 'nothing left beside the installer',
              'check-run: all checks passed']),
            ('a setup that exits with 7', 'test_setup', {'BOOTPACK_TEST_SETUP_EXIT_CODE': '7'}, 1,
             ['check-run: exit code 7, expected 0',
              'check-run: InstallerResult is 0x1, expected none',
              'check-run: InstallerError is 0x7, expected none',
              'nothing left beside the installer', 'check-run: FAILED']),
            # The file keeps the work directory from going.
            ('a setup that leaves a file beside itself', 'test_setup',
             {'BOOTPACK_TEST_SETUP_LEAVE_FILE': 'left.txt'}, 1,
             ['exit code 0', 'InstallerError not written',
              r'check-run: QX_\w+\.tmp is left beside the installer', 'check-run: FAILED']),
        ]
        for what, setup, variables, status, lines in rows:
            with self.subTest(what):
                result = self.check_run(self.installers[setup], **variables)
                printed = [line.strip() for line in result.stdout.splitlines()]
                detail = result.stdout + result.stderr
                self.assertEqual(result.returncode, status, detail)
                for line in lines:
                    self.assertTrue(any(re.fullmatch(line, p) for p in printed), line + '\n' + detail)
                self.assertEqual(sorted(p.name for p in self.installers[setup].parent.iterdir()),
                                 ['BriselInstaller.exe'])

    def test_refuses_a_missing_installer(self):
        result = self.check_run(self.root / 'absent.exe')
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn('does not exist', result.stdout)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', type=Path, required=True)
    parser.add_argument('--bin', type=Path, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == '__main__':
    main()
