#!/usr/bin/env python3
"""./bootpack sign and inspect on a real packed product: the signature
verifies against the throwaway root and time-stamp authority, one changed
payload byte breaks it, and inspect's verdict (its exit status and its JSON)
follows what it found: the stub's outcome and the signature.

usage: sign_inspect_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import json
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
from bootpack.pe_image import open_image, resources

ARGS = None


def run(*command):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True)


class SignInspectTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix='sign-inspect-'))
        cls.pki = cls.dir / 'pki'
        for pki in (cls.pki, cls.dir / 'other-pki'):
            made = run(sys.executable, '-m', 'bootpack', 'sign', '--make-test-pki', pki)
            assert made.returncode == 0, made.stderr
        (cls.dir / 'readme.txt').write_text('sample')
        archive = cls.dir / 'brisel.7z'
        assert run('7zz', 'a', '-bso0', '-bsp0', archive, cls.dir / 'readme.txt').returncode == 0
        cls.installer = cls.dir / 'installer.exe'
        packed = run(sys.executable, '-m', 'bootpack', 'pack', '--stub', ARGS.stub,
                     '--archive', archive, '--setup', ARGS.bin / 'winrun.exe',
                     '--out', cls.installer)
        assert packed.returncode == 0, packed.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def sign(self, source, out, *extra):
        return run(sys.executable, '-m', 'bootpack', 'sign', source, '--cert',
                   self.pki / 'codesign.pem', '--key', self.pki / 'codesign.key',
                   '--tsa-cert', self.pki / 'tsa-chain.pem', '--tsa-key', self.pki / 'tsa.key',
                   '--out', out, *extra)

    def verify(self, path):
        return run('osslsigncode', 'verify', '-in', path, '-CAfile', self.pki / 'ca.pem',
                   '-TSA-CAfile', self.pki / 'ca.pem')

    def test_signature_verifies_and_covers_the_payload(self):
        signed = self.dir / 'signed.exe'
        result = self.sign(self.installer, signed, '--verify-ca', self.pki / 'ca.pem')
        self.assertEqual(result.returncode, 0, result.stderr)
        verdict = self.verify(signed)
        self.assertEqual(verdict.returncode, 0, verdict.stdout + verdict.stderr)
        self.assertIn('SHA256', verdict.stdout)
        self.assertIn('Timestamp time', verdict.stdout)
        pe = open_image(signed)
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        length, revision, cert_type = struct.unpack_from('<IHH', pe.__data__,
                                                         table.VirtualAddress)
        self.assertEqual((revision, cert_type), (0x200, 2))
        self.assertEqual(table.VirtualAddress + length, signed.stat().st_size)
        for name in ('BRISEL.7Z', 'SETUP.EXE'):
            with self.subTest(name):
                data = bytearray(signed.read_bytes())
                resource = [r for r in resources(pe) if r.name == name][0]
                data[pe.get_offset_from_rva(resource.rva + resource.size - 1)] ^= 0x80
                tampered = self.dir / 'tampered.exe'
                tampered.write_bytes(bytes(data))
                self.assertNotEqual(self.verify(tampered).returncode, 0,
                                    f'a changed byte of {name} still verifies')

    def test_signing_refuses_without_a_time_stamp(self):
        result = run(sys.executable, '-m', 'bootpack', 'sign', self.installer, '--cert',
                     self.pki / 'codesign.pem', '--key', self.pki / 'codesign.key',
                     '--out', self.dir / 'unstamped.exe')
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse((self.dir / 'unstamped.exe').exists())

    def inspect(self, image, *options):
        return run(sys.executable, '-m', 'bootpack', 'inspect', image, *options)

    def test_inspect_verdict_follows_what_it_found(self):
        signed = self.dir / 'inspected.exe'
        self.assertEqual(self.sign(self.installer, signed).returncode, 0)
        data = bytearray(signed.read_bytes())
        pe = open_image(signed)
        archive = [r for r in resources(pe) if r.name == 'BRISEL.7Z'][0]
        # The first packed byte after the start header: the archive's own checks
        # pass, only the signature sees the change.
        data[pe.get_offset_from_rva(archive.rva + 32)] ^= 0x01
        pe.close()
        tampered = self.dir / 'tampered.exe'
        tampered.write_bytes(bytes(data))
        ca, other_ca = self.pki / 'ca.pem', self.dir / 'other-pki' / 'ca.pem'
        # Signed with this root's key, time-stamped by an authority of another.
        foreign_tsa = self.dir / 'foreign-tsa.exe'
        other = self.dir / 'other-pki'
        stamped = run(sys.executable, '-m', 'bootpack', 'sign', self.installer, '--cert',
                      self.pki / 'codesign.pem', '--key', self.pki / 'codesign.key',
                      '--tsa-cert', other / 'tsa-chain.pem', '--tsa-key', other / 'tsa.key',
                      '--verify-ca', ca, '--verify-tsa-ca', other_ca, '--out', foreign_tsa)
        self.assertEqual(stamped.returncode, 0, stamped.stderr)
        # SizeOfImage says 2 GiB: the loader would map that much.
        huge = self.dir / 'huge.exe'
        data = bytearray(self.installer.read_bytes())
        struct.pack_into('<I', data, data.index(b'PE\0\0') + 24 + 56, 2 << 30)
        huge.write_bytes(bytes(data))
        # DependentLoadFlags, which inspect reads by its offset in the load
        # configuration (pefile's name for it differs between versions).
        loose = self.dir / 'loose-load-flags.exe'
        data = bytearray(self.installer.read_bytes())
        with open_image(self.installer, ()) as pe:
            config = pe.get_offset_from_rva(pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].VirtualAddress)
        struct.pack_into('<H', data, config + 78, 0x1800)
        loose.write_bytes(bytes(data))
        rows = [('signed, with its root', signed, ['--ca', ca], 0, 'ready to ship'),
                ('signed, without running the payload stage', signed, ['--ca', ca, '--no-run'],
                 0, 'ready to ship'),
                ('signed, without a root', signed, [], 0, 'not checked (give --ca'),
                ('one archive byte changed', tampered, ['--ca', ca], 1,
                 'digest does not match'),
                ('a root that did not issue it', signed, ['--ca', other_ca], 1,
                 'does not chain to'),
                ('unsigned, with a root', self.installer, ['--ca', ca, '--no-run'], 1,
                 'unsigned, though --ca'),
                ('a time stamp from another root, named with --tsa-ca', foreign_tsa,
                 ['--ca', ca, '--tsa-ca', other_ca, '--no-run'], 0, 'ready to ship'),
                ('a time stamp from another root, not named', foreign_tsa,
                 ['--ca', ca, '--no-run'], 1, 'time stamp does not chain to'),
                ('a root file that is missing', signed, ['--ca', self.dir / 'no.pem'], 2,
                 'no.pem: no such file'),
                ('bare stub', ARGS.bin / 'bootpack.exe', [], 1, 'the stub ends with 112'),
                ('an image of 2 GiB in memory', huge, ['--no-run'], 1,
                 'Windows does not load executable images of 2 GiB or more'),
                ('DependentLoadFlags without SYSTEM32 alone', loose, ['--no-run'], 1,
                 'DependentLoadFlags 0x1800\n'),
                ('not an image', self.dir / 'readme.txt', [], 2, 'not a PE image')]
        for what, image, options, code, text in rows:
            with self.subTest(what):
                result = self.inspect(image, *options)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(text, result.stdout if code < 2 else result.stderr)
                if code == 2:
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)

    def test_inspect_json_says_what_the_text_says(self):
        signed = self.dir / 'json.exe'
        self.assertEqual(self.sign(self.installer, signed).returncode, 0)
        rows = [('signed', signed, ['--ca', self.pki / 'ca.pem'], True,
                 {'exit_code': 0, 'detail': 0},
                 {'present': True, 'digest_matches': True, 'timestamped': True,
                  'chain_valid': True}),
                ('unsigned, no run', self.installer, ['--no-run'], True, None, None),
                ('bare stub', ARGS.bin / 'bootpack.exe', [], False,
                 {'exit_code': 112, 'detail': 2}, None)]
        for what, image, options, ok, outcome, signature in rows:
            with self.subTest(what):
                result = self.inspect(image, '--json', *options)
                report = json.loads(result.stdout)
                self.assertEqual(result.returncode, 0 if ok else 1, result.stderr)
                self.assertEqual((report['ok'], report['outcome'], report['signature']),
                                 (ok, outcome, signature))
                self.assertEqual(bool(report['problems']), not ok)
                text = self.inspect(image, *options).stdout
                for problem in report['problems']:
                    self.assertIn(problem.split(': ', 1)[1], text)


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
