#!/usr/bin/env python3
"""./bootpack sign and inspect on a real packed product: the signature
verifies against the throwaway root and time-stamp authority, one changed
payload byte breaks it, and inspect's verdict follows the stub's outcome.

usage: sign_inspect_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / 'tools' / 'inspect'))
from pe_reader import PeFile  # noqa: E402

ARGS = None


def run(*command):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True)


class SignInspectTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix='sign-inspect-'))
        cls.pki = cls.dir / 'pki'
        made = run(sys.executable, REPO / 'tools/sign/sign.py', '--make-test-pki', cls.pki)
        assert made.returncode == 0, made.stderr
        (cls.dir / 'readme.txt').write_text('sample')
        archive = cls.dir / 'brisel.7z'
        assert run('7zz', 'a', '-bso0', '-bsp0', archive, cls.dir / 'readme.txt').returncode == 0
        cls.installer = cls.dir / 'installer.exe'
        packed = run(sys.executable, REPO / 'tools/pack/pack.py', '--stub', ARGS.stub,
                     '--archive', archive, '--setup', ARGS.bin / 'winrun.exe',
                     '--out', cls.installer)
        assert packed.returncode == 0, packed.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def sign(self, source, out, *extra):
        return run(sys.executable, REPO / 'tools/sign/sign.py', source, '--cert',
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
        pe = PeFile(signed.read_bytes())
        [(revision, cert_type, length, offset)] = pe.certificates()
        self.assertEqual((revision, cert_type), (0x200, 2))
        self.assertEqual(offset + length, signed.stat().st_size)
        for name in ('BRISEL.7Z', 'SETUP.EXE'):
            with self.subTest(name):
                data = bytearray(signed.read_bytes())
                resource = [r for r in pe.resources() if r.name == name][0]
                data[pe.offset(resource.rva + resource.size - 1)] ^= 0x80
                tampered = self.dir / 'tampered.exe'
                tampered.write_bytes(bytes(data))
                self.assertNotEqual(self.verify(tampered).returncode, 0,
                                    f'a changed byte of {name} still verifies')

    def test_signing_refuses_without_a_time_stamp(self):
        result = run(sys.executable, REPO / 'tools/sign/sign.py', self.installer, '--cert',
                     self.pki / 'codesign.pem', '--key', self.pki / 'codesign.key',
                     '--out', self.dir / 'unstamped.exe')
        self.assertNotEqual(result.returncode, 0)
        self.assertFalse((self.dir / 'unstamped.exe').exists())

    def test_inspect_exit_code_follows_the_stubs_outcome(self):
        signed = self.dir / 'inspected.exe'
        self.assertEqual(self.sign(self.installer, signed).returncode, 0)
        rows = [('packed product', signed, 0, 'starts it with'),
                ('bare stub', ARGS.bin / 'bootpack.exe', 1, 'the stub ends with 112'),
                ('not an image', self.dir / 'readme.txt', 2, '')]
        for what, image, code, text in rows:
            with self.subTest(what):
                result = run(sys.executable, REPO / 'tools/inspect/inspect.py', image,
                             '--ca', self.pki / 'ca.pem')
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertIn(text, result.stdout)
                if code == 0:
                    self.assertIn('all image properties as expected', result.stdout)
                    self.assertIn('valid', result.stdout)


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
