#!/usr/bin/env python3
"""Every command's answer to a bad input, a bad output path or a payload the
stub could not use: the expected status, one line on stderr that names the
problem, never a traceback, and nothing left behind. Also the clean-up when
pack is terminated halfway through a large archive, each command's --help,
and the status of ./bootpack run (under Wine).

usage: bad_input_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
from bootpack.cli import EXIT_STATUSES
from bootpack.payload import write_7z_stand_in

ARGS = None
PACK = ('-m', 'bootpack', 'pack')
INSPECT = ('-m', 'bootpack', 'inspect')
VERIFY = ('-m', 'bootpack', 'verify')
SIGN = ('-m', 'bootpack', 'sign')
ATTACH = ('-m', 'bootpack', 'attach')
MiB = 1 << 20
# A command run as the installed one, with pefile missing from this Python.
WITHOUT_PEFILE = ('-c', "import sys; sys.modules['pefile'] = None; "
                  "from bootpack.__main__ import main; sys.exit(main(sys.argv[1:]))")
# A command with a fault of ours in it: the signature check divides by zero.
WITH_A_BUG = ('-c', "import sys, bootpack.signature as signature; "
              "signature.check_signature = lambda *args, **kwargs: 1 / 0; "
              "from bootpack.__main__ import main; sys.exit(main(sys.argv[1:]))")


class BadInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix='bad-input-'))
        cls.inputs = cls.root / 'inputs'
        cls.inputs.mkdir()
        (cls.inputs / 'readme.txt').write_text('sample')
        cls.archive = cls.inputs / 'brisel.7z'
        made = subprocess.run(['7zz', 'a', '-bso0', '-bsp0', cls.archive,
                               cls.inputs / 'readme.txt'], capture_output=True, text=True)
        assert made.returncode == 0, made.stderr
        for size in (6, 40):
            (cls.inputs / f'first{size}.7z').write_bytes(cls.archive.read_bytes()[:size])
        cls.setup = cls.inputs / 'setup.exe'
        shutil.copy(ARGS.bin / 'sample_setup.exe', cls.setup)
        (cls.inputs / 'folder.exe').mkdir()
        # A DLL as setup, which CreateProcess refuses.
        source = cls.inputs / 'library.c'
        source.write_text('int __stdcall DllMain(void *m, unsigned r, void *p) { return 1; }\n')
        cls.dll = cls.inputs / 'setup.dll'
        subprocess.run(['clang-19', '--target=x86_64-w64-mingw32', '-fuse-ld=lld-19', '-shared',
                        '-nostdlib', '-Wl,--entry=DllMain', '-o', cls.dll, source], check=True)
        # A resource name one UTF-16 code unit longer than a directory holds.
        cls.long_name = 'N' * 0x10000
        (cls.inputs / 'long-name.toml').write_text(
            f'[[resource]]\ntype = "BN"\nname = "{cls.long_name}"\nfile = "brisel.7z"\n')
        image = bytearray((ARGS.bin / 'bootpack.exe').read_bytes())
        (cls.inputs / 'stub.exe').write_bytes(image)
        (cls.inputs / 'cut300.exe').write_bytes(image[:300])
        # An installer with its statement, and one packed from the archive
        # with one byte of its packed data changed.
        changed = cls.inputs / 'changed'
        changed.mkdir()
        data = bytearray(cls.archive.read_bytes())
        data[32] ^= 0xFF
        (changed / 'brisel.7z').write_bytes(data)
        for archive, out, extra in ((cls.archive, 'stated.exe', ['--provenance', 'stated.json']),
                                    (changed / 'brisel.7z', 'changed.exe', [])):
            subprocess.run([sys.executable, *PACK, '--stub', ARGS.stub, '--archive', archive,
                            '--setup', cls.setup, '--out', out, *extra], check=True,
                           capture_output=True, cwd=cls.inputs)
        (cls.inputs / 'other.json').write_text('{"_type": "https://in-toto.io/Statement/v0.1"}')
        statement = json.loads((cls.inputs / 'stated.json').read_text())
        del statement['predicate']['buildDefinition']['resolvedDependencies'][0]['annotations']
        (cls.inputs / 'no-annotations.json').write_text(json.dumps(statement))
        statement['subject'][0]['digest'] = 'sha256'
        (cls.inputs / 'digest-text.json').write_text(json.dumps(statement))
        # Values no file system takes, and a line break in a path.
        (cls.inputs / 'nul-icon.toml').write_text(
            f'archive = "brisel.7z"\nsetup = "setup.exe"\nicon = "a\\u0000.ico"\n'
            f'stub = "{ARGS.stub}"\nout = "x.exe"\n')
        (cls.inputs / 'newline-out.toml').write_text(
            f'archive = "brisel.7z"\nsetup = "setup.exe"\nstub = "{ARGS.stub}"\n'
            'out = "no-such-folder\\nsecond line/x.exe"\n')
        (cls.inputs / 'storage.toml').write_text(
            f'archive = "brisel.7z"\nsetup = "setup.exe"\nsetup-storage = "BX"\n'
            f'stub = "{ARGS.stub}"\nout = "x.exe"\n')
        # Sparse: 2.2 GiB that take no room on disk.
        write_7z_stand_in(cls.inputs / 'huge.7z', 2200 * MiB)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def pack(self, *extra, archive=None, setup=None):
        return [sys.executable, *PACK, '--stub', ARGS.stub, '--archive',
                archive or self.archive, '--setup', setup or self.setup, *extra]

    def test_bad_inputs_end_with_one_line_and_leave_nothing(self):
        out = self.root / 'out'
        installer = out / 'installer.exe'
        inputs = self.inputs
        bootpack = [REPO / 'bootpack']
        python = [sys.executable]
        rows = [
            # (what, command, status, fragment of the one stderr line)
            ('pack: trailing backslash in the archive name',
             self.pack('--archive-name', 'brisel.7z\\', '--out', installer), 1,
             'ends with a backslash'),
            ('pack: six-byte archive', self.pack('--out', installer,
                                                 archive=inputs / 'first6.7z'), 1,
             'fewer than the 32'),
            ('pack: first 40 bytes of a real archive',
             self.pack('--out', installer, archive=inputs / 'first40.7z'), 1, 'is cut short'),
            ('pack: a DLL as setup', self.pack('--out', installer, setup=self.dll), 1,
             'is a DLL'),
            # Writing more than a MiB would fail: the size is refused before any copy.
            ('pack: an archive of 2.2 GiB', ['prlimit', f'--fsize={MiB}'] + self.pack(
                '--out', installer, archive=inputs / 'huge.7z'), 1,
             'Windows does not load executable images of 2 GiB or more'),
            ('pack: an archive of 2.2 GiB beside a setup in a cabinet',
             ['prlimit', f'--fsize={MiB}', sys.executable, *PACK, '--stub', ARGS.stub, '--out',
              installer, '--resource', 'BN', 'BRISEL.7Z', inputs / 'huge.7z',
              '--resource', 'BL', 'SETUP.EX_', self.setup, '--cabinet'], 1,
             'Windows does not load executable images of 2 GiB or more'),
            ('pack: missing archive', self.pack('--out', installer,
                                                archive=inputs / 'absent.7z'), 2,
             'does not exist'),
            ('pack: output folder missing', self.pack('--out', out / 'no' / 'such' / 'x.exe'),
             1, 'does not exist'),
            ('pack: output without .exe', self.pack('--out', out / 'installer'), 2,
             'ending in .exe'),
            ('pack: output is a folder', self.pack('--out', inputs / 'folder.exe'), 1,
             'is a folder'),
            ('pack: output is the setup', self.pack('--out', self.setup), 1,
             'is also an input'),
            ('pack: output is the stub', self.pack('--stub', inputs / 'stub.exe',
                                                   '--out', inputs / 'stub.exe'), 1,
             'is also an input'),
            ('pack: no --out', self.pack(), 2, 'required: --out'),
            ('pack: a NUL in the product file\'s icon path',
             python + [*PACK, '--config', inputs / 'nul-icon.toml', '--out', installer], 2,
             'icon a\\x00.ico: not a path'),
            ('pack: a line break in the product file\'s out',
             python + [*PACK, '--config', inputs / 'newline-out.toml'], 1,
             'no-such-folder\\nsecond line'),
            ('pack: an unknown --setup-storage', self.pack('--setup-storage', 'BX', '--out',
                                                           installer), 2, 'invalid choice'),
            ('pack: an unknown setup-storage in the product file',
             python + [*PACK, '--config', inputs / 'storage.toml', '--out', installer], 2,
             'setup-storage must be one of B7, BL, BN'),
            ('pack: missing resource file',
             python + [*PACK, '--stub', ARGS.stub, '--out', installer, '--resource', 'BN',
                       'BRISEL.7Z', inputs / 'absent.7z'], 2, 'absent.7z does not exist'),
            ('pack: missing stub', python + [*PACK, '--stub', inputs / 'absent.exe',
                                             '--archive', self.archive, '--setup', self.setup,
                                             '--out', installer], 2, 'does not exist'),
            ('pack: with pefile missing', python + [*WITHOUT_PEFILE, 'pack', '--out', installer],
             3, 'the Python module pefile is missing'),
            ('sign: missing file', python + [*SIGN, inputs / 'absent.exe', '--no-timestamp',
                                             '--pkcs12', inputs / 'readme.txt'], 2,
             'absent.exe: no such file'),
            ('sign: a text file as --pkcs12', python + [*SIGN, inputs / 'stated.exe',
                                                        '--no-timestamp', '--pkcs12',
                                                        inputs / 'readme.txt', '--out',
                                                        out / 'signed.exe'], 2,
             'not a PKCS#12 file'),
            ('sign: osslsigncode not installed',
             ['env', 'PATH=/nonexistent', sys.executable, *SIGN, inputs / 'stated.exe',
              '--no-timestamp', '--cert', inputs / 'readme.txt', '--key', inputs / 'readme.txt',
              '--out', out / 'signed.exe'], 2, 'osslsigncode is missing'),
            ('attach: missing file', python + [*ATTACH, inputs / 'absent.exe', '--signature',
                                               inputs / 'readme.txt', '--out', installer], 2,
             'absent.exe: no such file'),
            ('attach: missing signature', python + [*ATTACH, inputs / 'stated.exe',
                                                    '--signature', inputs / 'absent.p7s',
                                                    '--out', installer], 2,
             'absent.p7s: no such file'),
            ('verify: missing file', python + [*VERIFY, inputs / 'absent.exe', '--ca',
                                               inputs / 'readme.txt'], 2,
             'absent.exe: no such file'),
            ('verify: with pefile missing', python + [*WITHOUT_PEFILE, 'verify',
                                                      inputs / 'stated.exe', '--provenance',
                                                      inputs / 'stated.json'], 3,
             'the Python module pefile is missing'),
            ('verify: a fault of ours', python + [*WITH_A_BUG, 'verify', inputs / 'stated.exe',
                                                  '--ca', inputs / 'readme.txt'], 3,
             'internal error: ZeroDivisionError'),
            ('verify: a statement without a dependency\'s annotations',
             python + [*VERIFY, inputs / 'stated.exe', '--provenance',
                       inputs / 'no-annotations.json'], 2,
             'no predicate.buildDefinition.resolvedDependencies[0].annotations'),
            ('inspect: a statement whose subject digest is text',
             python + [*INSPECT, '--no-run', inputs / 'stated.exe', '--provenance',
                       inputs / 'digest-text.json'], 2, 'subject[0].digest is not an object'),
            ('pack: bad resource identifier',
             python + [*PACK, '--stub', ARGS.stub, '--out', installer, '--resource',
                       'BN', '#0', self.archive], 2, 'identifiers run from 1'),
            ('pack: resource name of 65,536 characters',
             python + [*PACK, '--stub', ARGS.stub, '--out', installer, '--resource',
                       'BN', self.long_name, self.archive], 2, 'names of at most 65535'),
            ('pack: resource name of 65,536 characters in --config',
             python + [*PACK, '--stub', ARGS.stub, '--out', installer, '--config',
                       inputs / 'long-name.toml'], 2, 'names of at most 65535'),
            ('pack: copyright of 40,000 characters',
             self.pack('--out', installer, '--copyright', 'C' * 40000), 1,
             'at most 65535 fit'),
            ('bootpack: no command', python + ['-m', 'bootpack'], 2, 'usage: bootpack'),
            ('bootpack: unknown command', python + ['-m', 'bootpack', 'build'], 2,
             "unknown command 'build'"),
            ('verify: the statement of another installer',
             python + [*VERIFY, inputs / 'changed.exe', '--provenance', inputs / 'stated.json'],
             1, 'its archive BN BRISEL.7Z is not brisel.7z of the statement'),
            ('verify: an input changed', python + [*VERIFY, inputs / 'stated.exe', '--provenance',
                                                   inputs / 'stated.json', '--input',
                                                   inputs / 'changed' / 'brisel.7z'],
             1, 'the archive brisel.7z differs'),
            ('verify: an input the statement does not record',
             python + [*VERIFY, inputs / 'stated.exe', '--provenance', inputs / 'stated.json',
                       '--input', inputs / 'readme.txt'], 1, 'not among the statement'),
            ('verify: a statement that is not JSON',
             python + [*VERIFY, inputs / 'stated.exe', '--provenance', inputs / 'readme.txt'],
             2, 'it is not JSON'),
            ('verify: JSON that is no statement of an installer',
             python + [*VERIFY, inputs / 'stated.exe', '--provenance', inputs / 'other.json'],
             2, 'its _type is not'),
            ('inspect: the statement of another installer',
             python + [*INSPECT, '--no-run', inputs / 'changed.exe', '--provenance',
                       inputs / 'stated.json'], 1, None),
            ('inspect: no file', bootpack + ['inspect'], 2, 'required: FILE.exe'),
            ('inspect: missing file', python + [*INSPECT, inputs / 'absent.exe'], 2,
             'no such file'),
            ('inspect: a text file', python + [*INSPECT, inputs / 'readme.txt'], 2,
             'not a PE image'),
            ('inspect: 300 bytes of an image', python + [*INSPECT, '--no-run',
                                                         inputs / 'cut300.exe'], 1, None),
            ('inspect: missing root', python + [*INSPECT, '--no-run', '--ca',
                                                inputs / 'absent.pem', ARGS.bin / 'bootpack.exe'],
             2, 'absent.pem: no such file'),
            ('run: no program', bootpack + ['run'], 2, 'usage: ./bootpack run'),
            ('run: missing program', bootpack + ['run', inputs / 'absent.exe'], 2,
             'does not exist'),
            ('demo: an argument', bootpack + ['demo', 'now'], 2, 'no arguments expected'),
            ('demo: an argument after --artifacts', bootpack + ['demo', '--artifacts', 'now'], 2,
             "got 'now'"),
            ('deps: an argument', bootpack + ['deps', 'now'], 2, 'no arguments expected'),
            ('bench: unknown option', python + [REPO / 'tools/bench/bench.py', '--fast'], 2,
             'unrecognized arguments'),
            ('fuzz: seconds not a number', bootpack + ['fuzz', '--seconds', 'ten'], 2,
             'whole number'),
            ('fuzz: unknown harness', bootpack + ['fuzz', '--seconds', '1', 'no_such'], 2,
             "no harness 'no_such'"),
            ('matrix: unknown option', bootpack + ['matrix', '--write'], 2,
             'unrecognized arguments'),
        ]
        if os.geteuid() != 0:  # root writes into any folder
            locked = self.root / 'locked'
            locked.mkdir(mode=0o500)
            rows.append(('pack: read-only folder', self.pack('--out', locked / 'x.exe'), 1,
                         'not writable'))
        before = sorted(p.name for p in inputs.iterdir())
        for what, command, status, fragment in rows:
            with self.subTest(what):
                out.mkdir()
                try:
                    self.assertAnswers(command, status, fragment)
                    self.assertEqual(list(out.iterdir()), [], 'something was left behind')
                    self.assertEqual(sorted(p.name for p in inputs.iterdir()), before)
                finally:
                    shutil.rmtree(out)

    def assertAnswers(self, command, status, fragment):
        result = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertNotIn('Traceback', result.stderr)
        if status == 2 and 'usage:' in result.stderr:
            # A usage error may show the command's usage around its line.
            self.assertIn(fragment, result.stderr)
            return
        # pack's warnings about a setup unlike the stub may come first.
        lines = [line for line in result.stderr.splitlines() if 'warning:' not in line]
        self.assertLessEqual(len(lines), 1, result.stderr)
        if fragment is not None:
            self.assertIn(fragment, lines[0] if lines else '')


    def test_a_fault_of_ours_shows_its_traceback_only_when_asked(self):
        command = [sys.executable, *WITH_A_BUG, 'verify', str(self.inputs / 'stated.exe'),
                   '--ca', str(self.inputs / 'readme.txt')]
        for debug, traceback in (('', False), ('1', True)):
            with self.subTest(BOOTPACK_DEBUG=debug):
                result = subprocess.run(command, capture_output=True, text=True,
                                        env=dict(os.environ, BOOTPACK_DEBUG=debug))
                self.assertEqual(result.returncode, 3, result.stderr)
                self.assertEqual('Traceback' in result.stderr, traceback, result.stderr)
                self.assertRegex(result.stderr.splitlines()[-1],
                                 r'^bootpack verify: internal error: ZeroDivisionError: .*report')

    def test_the_exit_statuses_are_the_ones_the_readme_and_the_man_page_list(self):
        readme = (REPO / 'README.md').read_text()
        table = readme[readme.index('| status | meaning |'):].split('\n\n')[0]
        rows = {int(cells[1]): cells[2].strip() for cells in
                (line.split('|') for line in table.splitlines()[2:])}
        self.assertEqual(rows, EXIT_STATUSES)
        page = (REPO / 'docs' / 'bootpack.1').read_text()
        section = page[page.index('.SH "EXIT STATUS"'):].split('\n.SH ')[0]
        listed = [int(line.split()[1]) for line in section.splitlines()
                  if line.startswith('.B ') and line.split()[1].isdigit()]
        self.assertEqual(listed, list(EXIT_STATUSES))

    def test_a_throwaway_pki_leaves_a_folder_with_any_of_its_files_as_it_was(self):
        folder = self.root / 'keys'
        folder.mkdir()
        (folder / 'codesign.key').write_text('the user\'s own key')
        (folder / 'release.key').write_text('the release key')
        os.chmod(folder / 'codesign.key', 0o644)
        os.chmod(folder / 'release.key', 0o640)
        before = {p.name: (p.read_bytes(), p.stat().st_mode) for p in folder.iterdir()}
        try:
            result = subprocess.run([sys.executable, *SIGN, '--make-test-pki', str(folder)],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
            self.assertIn('codesign.key', result.stderr)
            self.assertEqual({p.name: (p.read_bytes(), p.stat().st_mode)
                              for p in folder.iterdir()}, before)
            # Without its files the folder takes the PKI, and only what it wrote changes.
            (folder / 'codesign.key').unlink()
            del before['codesign.key']
            result = subprocess.run([sys.executable, *SIGN, '--make-test-pki', str(folder)],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stderr)
            modes = {p.name: p.stat().st_mode & 0o777 for p in folder.iterdir()}
            self.assertEqual(modes, {'release.key': 0o640, 'ca.pem': 0o644, 'ca.key': 0o600,
                                     'codesign.pem': 0o644, 'codesign.key': 0o600,
                                     'tsa.pem': 0o644, 'tsa.key': 0o600,
                                     'tsa-chain.pem': 0o644})
            self.assertEqual((folder / 'release.key').read_bytes(), before['release.key'][0])
        finally:
            shutil.rmtree(folder)

    def test_every_command_answers_help_with_its_own_usage(self):
        for command in ('deps', 'build', 'test', 'run', 'demo', 'pack', 'sign', 'verify',
                        'inspect', 'bench', 'fuzz', 'kit', 'matrix'):
            with self.subTest(command):
                result = subprocess.run([str(REPO / 'bootpack'), command, '--help'],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertRegex(result.stdout.splitlines()[0],
                                 rf'^usage: (\./)?bootpack {command}\b')

    def test_run_exits_with_the_programs_code_within_a_byte(self):
        rows = [('0', 0, 'exit code: 0 (0x00000000)'), ('3', 3, 'exit code: 3 (0x00000003)'),
                ('255', 255, 'exit code: 255'), ('256', 255, 'exit code: 256 (0x00000100)'),
                ('0xC0000005', 255, 'exit code: 3221225477 (0xC0000005)')]
        for code, status, line in rows:
            with self.subTest(code):
                result = subprocess.run([str(REPO / 'bootpack'), 'run',
                                         str(ARGS.bin / 'test_setup.exe')],
                                        capture_output=True, text=True,
                                        env=dict(os.environ, BOOTPACK_TEST_SETUP_EXIT_CODE=code))
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(line, result.stdout)

    def test_pack_interrupted_halfway_leaves_nothing(self):
        big = self.root / 'big'
        big.mkdir()
        write_7z_stand_in(big / 'brisel-512.7z', 512 * MiB)
        out = self.root / 'interrupted'
        # The installer is written into a partial file beside its target.
        partial = '.installer.exe.*.partial'
        rows = [('SIGTERM while copying a 512 MiB archive', signal.SIGTERM),
                ('Ctrl-C while copying a 512 MiB archive', signal.SIGINT),
                ('a hang-up (SIGHUP) while copying a 512 MiB archive', signal.SIGHUP)]
        for what, signal_number in rows:
            with self.subTest(what):
                out.mkdir()
                try:
                    self.assertInterruptedCleanly(out, big / 'brisel-512.7z', signal_number,
                                                  partial)
                finally:
                    shutil.rmtree(out)

    def assertInterruptedCleanly(self, out, archive, signal_number, stage):
        # The kernel would copy the archive in a fraction of a second, maybe
        # before the signal comes; --checksum reads it through pack's own
        # loop, seconds for 512 MiB, and the signal comes a few MiB in.
        packing = subprocess.Popen(
            [str(c) for c in self.pack('--out', out / 'installer.exe', '--checksum',
                                       archive=archive)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            # A shell's background job ignores Ctrl-C; a user's pack does not.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        reached = self.wait_for(out, stage)
        packing.send_signal(signal_number)
        _, stderr = packing.communicate(timeout=60)
        self.assertTrue(reached, f'pack never reached {stage}')
        self.assertEqual(packing.returncode, 130, stderr)
        self.assertIn('interrupted', stderr)
        self.assertNotIn('Traceback', stderr)
        self.assertEqual(list(out.iterdir()), [])

    @staticmethod
    def wait_for(out, stage):
        """Whether OUT came to hold STAGE, the partial installer, with a few
        MiB of the archive copied."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for path in out.glob(stage):
                try:
                    if path.stat().st_size > 8 * MiB:
                        return True
                except FileNotFoundError:
                    pass
            time.sleep(0.01)
        return False


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
