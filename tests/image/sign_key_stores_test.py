#!/usr/bin/env python3
"""./bootpack sign from each key store (encrypted PEM, PKCS#12, a SoftHSM2
token through the real PKCS#11 module) with time stamps from a small RFC 3161
server on 127.0.0.1, then ./bootpack verify: secrets never in a child's argv
or environment, every failure one line with the input's bytes unchanged.

usage: sign_key_stores_test.py --installer PACKED.exe [unittest options]
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import bootpack
import timestamp_server
from bootpack.payload import write_7z_stand_in

REPO = Path(__file__).resolve().parents[2]
PACK = ('-m', 'bootpack', 'pack')
SIGN = ('-m', 'bootpack', 'sign')
VERIFY = ('-m', 'bootpack', 'verify')
SOFTHSM_MODULE = '/usr/lib/softhsm/libsofthsm2.so'
PASSWORD, PIN = 'pfx-s3cret-Xq7', '492817'
ARGS = None

def run(*command, env=None, cwd=None):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, cwd=cwd,
                          env=None if env is None else dict(os.environ, **env))


def closed_loopback_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


# What the stand-in does to the file after -out: flip one byte in the middle
# of the image, or cut its last 4 KiB.
DAMAGE = """
import os, sys
out = sys.argv[sys.argv.index('-out') + 1]
if os.environ['DAMAGE_SIGNED_OUTPUT'] == 'flip':
    with open(out, 'r+b') as image:
        image.seek(os.path.getsize(out) // 2)
        byte = image.read(1)[0]
        image.seek(-1, 1)
        image.write(bytes([byte ^ 0x20]))
else:
    os.truncate(out, os.path.getsize(out) - 4096)
"""

# bootpack, with SIGTERM sent to itself the moment CALL has made what names
# NAME (a process, a partial file), before anything else has run.
TERMINATED_AFTER = """
import os, runpy, signal, subprocess, sys, tempfile
made = {call}
def terminating(*args, **kwargs):
    result = made(*args, **kwargs)
    if '{name}' in repr((args, kwargs)):
        os.kill(os.getpid(), signal.SIGTERM)
    return result
{call} = terminating
sys.argv[0] = 'bootpack'
runpy.run_module('bootpack', run_name='__main__')
"""


def processes_naming(text):
    """The processes whose command line holds TEXT."""
    found = []
    for entry in Path('/proc').iterdir():
        try:
            if entry.name.isdigit() and text.encode() in (entry / 'cmdline').read_bytes():
                found.append(int(entry.name))
        except OSError:  # it ended meanwhile
            pass
    return found


class SignKeyStoresTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix='sign-key-stores-'))
        pki = cls.pki = cls.dir / 'pki'
        made = run(sys.executable, *SIGN, '--make-test-pki', pki)
        assert made.returncode == 0, made.stderr
        cls.make_key_stores()
        cls.server, cls.tsa_url = timestamp_server.start(pki)
        cls.dead_url = f'http://127.0.0.1:{closed_loopback_port()}/'
        # A stand-in osslsigncode first on PATH records what every child sees,
        # and damages what it wrote when DAMAGE_SIGNED_OUTPUT asks it to.
        cls.shim = cls.dir / 'shim'
        cls.shim.mkdir()
        cls.seen = cls.dir / 'seen-by-children.txt'
        (cls.shim / 'osslsigncode').write_text(
            f'#!/bin/sh\n{{ echo "$@"; env; }} >> "{cls.seen}"\n'
            f'[ -z "$DAMAGE_SIGNED_OUTPUT" ] && exec {shutil.which("osslsigncode")} "$@"\n'
            f'{shutil.which("osslsigncode")} "$@" || exit\n'
            f'exec {sys.executable} -c "{DAMAGE}" "$@"\n')
        os.chmod(cls.shim / 'osslsigncode', 0o755)
        os.environ['PATH'] = f'{cls.shim}:{os.environ["PATH"]}'

    @classmethod
    def make_key_stores(cls):
        pki, store = cls.pki, cls.dir / 'stores'
        store.mkdir()
        (store / 'password.txt').write_text(PASSWORD + '\n')
        steps = [
            ['openssl', 'pkey', '-in', pki / 'codesign.key', '-aes256', '-passout', 'env:PW',
             '-out', store / 'encrypted.key'],
            ['openssl', 'pkcs12', '-export', '-in', pki / 'codesign.pem', '-inkey',
             pki / 'codesign.key', '-certfile', pki / 'ca.pem', '-passout', 'env:PW',
             '-out', store / 'release.pfx'],
            ['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', pki / 'codesign.key',
             '-out', store / 'key.p8'],
            ['openssl', 'x509', '-in', pki / 'codesign.pem', '-outform', 'der',
             '-out', store / 'cert.der'],
            ['softhsm2-util', '--init-token', '--free', '--label', 'release', '--pin', PIN,
             '--so-pin', '55667788'],
            ['softhsm2-util', '--import', store / 'key.p8', '--token', 'release', '--label',
             'codesign', '--id', '01', '--pin', PIN],
            ['pkcs11-tool', '--module', SOFTHSM_MODULE, '--token-label', 'release', '--login',
             '--pin', PIN, '--write-object', store / 'cert.der', '--type', 'cert',
             '--label', 'codesign', '--id', '01'],
        ]
        (cls.dir / 'tokens').mkdir()
        (cls.dir / 'softhsm2.conf').write_text(
            f'directories.tokendir = {cls.dir / "tokens"}\nobjectstore.backend = file\n')
        os.environ['SOFTHSM2_CONF'] = str(cls.dir / 'softhsm2.conf')
        for step in steps:
            made = run(*step, env={'PW': PASSWORD})
            assert made.returncode == 0, f'{step[0]}: {made.stderr}'
        (store / 'key.p8').unlink()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        shutil.rmtree(cls.dir)

    def copy_of_installer(self, name):
        path = self.dir / name
        shutil.copyfile(ARGS.installer, path)
        return path

    def stores(self):
        pki, store = self.pki, self.dir / 'stores'
        token_key = 'pkcs11:token=release;object=codesign'
        return [
            ('encrypted PEM key, password file',
             ['--cert', pki / 'codesign.pem', '--key', store / 'encrypted.key',
              '--password-file', store / 'password.txt'], {}),
            ('PKCS#12, password in the environment',
             ['--pkcs12', store / 'release.pfx', '--password-env', 'RELEASE_PW'],
             {'RELEASE_PW': PASSWORD}),
            ('PKCS#11 token, certificate from the token',
             ['--pkcs11-module', SOFTHSM_MODULE, '--key', token_key, '--password-env', 'PIN'],
             {'PIN': PIN}),
        ]

    def test_each_key_store_signs_verifiably_without_showing_its_secret(self):
        for what, store, env in self.stores():
            with self.subTest(what):
                installer = self.copy_of_installer('signed.exe')
                self.seen.write_text('')
                # The first server is down: the second one stamps.
                signed = run(sys.executable, *SIGN, installer, *store, '--timestamp-url',
                             self.dead_url, '--timestamp-url', self.tsa_url, env=env)
                self.assertEqual(signed.returncode, 0, signed.stderr)
                seen = self.seen.read_text()
                self.assertIn('sign', seen)
                self.assertFalse(PASSWORD in seen or PIN in seen,
                                 'a child saw the secret in its argv or environment')
                checked = run('osslsigncode', 'verify', '-in', installer, '-CAfile',
                              self.pki / 'ca.pem', '-TSA-CAfile', self.pki / 'ca.pem')
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                verified = run(sys.executable, *VERIFY, installer, '--ca', self.pki / 'ca.pem')
                self.assertEqual(verified.returncode, 0, verified.stderr)
                self.assertIn('signature valid', verified.stdout)

    def test_signing_takes_as_few_runs_as_the_time_stamp_needs(self):
        pki = self.pki
        pem = ['--cert', pki / 'codesign.pem', '--key', pki / 'codesign.key']
        token = ['--pkcs11-module', SOFTHSM_MODULE, '--key',
                 'pkcs11:token=release;object=codesign', '--password-env', 'PIN']
        rows = [
            ('local authority', pem + ['--tsa-cert', pki / 'tsa-chain.pem',
                                       '--tsa-key', pki / 'tsa.key'], ['sign']),
            ('a server answers', pem + ['--timestamp-url', self.tsa_url], ['sign']),
            ('the first server is down, the next answers',
             pem + ['--timestamp-url', self.dead_url, '--timestamp-url', self.tsa_url], ['sign']),
            ('the server answers only its retry: signed alone, then stamped',
             pem + ['--timestamp-url', self.tsa_url + 'flaky-pem'], ['sign', 'sign', 'add']),
            ('a token signs once, then stamps', token + ['--timestamp-url', self.tsa_url],
             ['sign', 'add']),
            ('a token whose server answers only its retry still signs once',
             token + ['--timestamp-url', self.tsa_url + 'flaky-token'], ['sign', 'add', 'add']),
            ('a token with the local authority', token + ['--tsa-cert', pki / 'tsa-chain.pem',
                                                          '--tsa-key', pki / 'tsa.key'],
             ['sign']),
        ]
        for what, arguments, runs in rows:
            with self.subTest(what):
                installer = self.copy_of_installer('runs.exe')
                self.seen.write_text('')
                result = run(sys.executable, *SIGN, installer, *arguments,
                             '--verify-ca', pki / 'ca.pem', env={'PIN': PIN})
                self.assertEqual(result.returncode, 0, result.stderr)
                verbs = [line.split()[0] for line in self.seen.read_text().splitlines()
                         if line.split()[:1] in (['sign'], ['add'])]
                self.assertEqual(verbs, runs)

    def test_verify_says_which_property_fails(self):
        signed = self.copy_of_installer('to-verify.exe')
        result = run(sys.executable, *SIGN, signed, '--cert', self.pki / 'codesign.pem',
                     '--key', self.pki / 'codesign.key', '--timestamp-url', self.tsa_url)
        self.assertEqual(result.returncode, 0, result.stderr)
        data = bytearray(signed.read_bytes())
        archive_byte = data.find(b'7z\xbc\xaf\x27\x1c') + 40
        data[archive_byte] ^= 0x01
        changed = self.dir / 'changed.exe'
        changed.write_bytes(bytes(data))
        data[archive_byte] ^= 0x01
        table = (ARGS.installer.stat().st_size + 7) & ~7  # appended, 8-byte aligned
        data[table + 12:table + 20] = b'\xff' * 8
        damaged = self.dir / 'damaged.exe'
        damaged.write_bytes(bytes(data))
        unstamped, wrong_use = (self.copy_of_installer(n) for n in ('unstamped.exe',
                                                                     'wrong-use.exe'))
        for image, role in ((unstamped, 'codesign'), (wrong_use, 'tsa')):
            result = run(sys.executable, *SIGN, image, '--cert', self.pki / f'{role}.pem',
                         '--key', self.pki / f'{role}.key', '--no-timestamp')
            self.assertEqual(result.returncode, 0, result.stderr)
        rows = [
            ('one payload byte changed', changed, self.pki / 'ca.pem', 1,
             'the digest does not match'),
            ('another root', signed, self.pki / 'tsa.pem', 1, 'does not chain to'),
            ('no time stamp', unstamped, self.pki / 'ca.pem', 1, 'no time stamp'),
            ('a time-stamping certificate', wrong_use, self.pki / 'ca.pem', 1,
             'not for code signing'),
            ('damaged signature', damaged, self.pki / 'ca.pem', 1, 'cannot be read'),
            ('never signed', ARGS.installer, self.pki / 'ca.pem', 1, 'not signed'),
            ('no PE image', self.pki / 'ca.pem', self.pki / 'ca.pem', 2, 'not a PE image'),
            ('missing root', signed, self.dir / 'none.pem', 2, 'no such file'),
        ]
        for what, image, root, status, text in rows:
            with self.subTest(what):
                result = run(sys.executable, *VERIFY, image, '--ca', root)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assert_one_line(result.stderr, text)

    def assert_one_line(self, stderr, text):
        self.assertEqual(len(stderr.strip().splitlines()), 1, stderr)
        self.assertIn(text, stderr)

    def osslsigncode_saying(self, version):
        """A folder whose osslsigncode calls itself VERSION and does nothing else."""
        folder = self.dir / f'osslsigncode-{version}'
        folder.mkdir(exist_ok=True)
        (folder / 'osslsigncode').write_text(
            f'#!/bin/sh\necho "osslsigncode {version}, using:"\nexit 1\n')
        (folder / 'osslsigncode').chmod(0o755)
        return folder

    def test_every_failure_is_one_line_and_leaves_the_input_as_it_was(self):
        pki, store = self.pki, self.dir / 'stores'
        token = ['--pkcs11-module', SOFTHSM_MODULE, '--key',
                 'pkcs11:token=release;object=codesign', '--password-env', 'PIN']
        pem = ['--cert', pki / 'codesign.pem', '--key', pki / 'codesign.key']
        stamp = ['--timestamp-url', self.tsa_url]
        (self.dir / 'folder').mkdir(exist_ok=True)
        rows = [
            ('wrong PIN', token + stamp, {'PIN': '000000'}, 'wrong PIN'),
            ('wrong password', ['--pkcs12', store / 'release.pfx', '--password-env', 'PW']
             + stamp, {'PW': 'not-it'}, 'wrong password'),
            ('no password for an encrypted key', ['--cert', pki / 'codesign.pem', '--key',
                                                  store / 'encrypted.key'] + stamp, {},
             'without a password'),
            ('mismatched key', ['--cert', pki / 'tsa.pem', '--key', pki / 'codesign.key']
             + stamp, {}, 'does not match the certificate'),
            ('mismatched token key', token + ['--cert', pki / 'tsa.pem'] + stamp, {'PIN': PIN},
             'does not match the certificate'),
            ('missing module', ['--pkcs11-module', self.dir / 'none.so', '--key',
                                'pkcs11:token=release;object=codesign'] + stamp, {},
             'no such file'),
            ('missing token', ['--pkcs11-module', SOFTHSM_MODULE, '--key',
                               'pkcs11:token=absent;object=codesign', '--password-env', 'PIN']
             + stamp, {'PIN': PIN}, 'no token matches'),
            ('PIN in the URI', ['--pkcs11-module', SOFTHSM_MODULE, '--key',
                                'pkcs11:token=release;object=codesign;pin-value=1'] + stamp, {},
             'process list'),
            ('unreadable .pfx', ['--pkcs12', pki / 'ca.pem'] + stamp, {},
             'not a PKCS#12 file'),
            ('unset password variable', ['--pkcs12', store / 'release.pfx',
                                         '--password-env', 'NOT_SET_ANYWHERE'] + stamp, {},
             'is not set'),
            ('no time stamp asked for', pem, {}, 'a time stamp is required'),
            ('no time-stamp server answers', pem + ['--timestamp-url', self.dead_url,
                                                    '--timestamp-url', self.dead_url + 'x'],
             {}, f'{self.dead_url} (connection refused); {self.dead_url}x'),
            ('--out into a missing folder', pem + stamp + ['--out', self.dir / 'no/x.exe'], {},
             'does not exist'),
            ('--out onto a folder', pem + stamp + ['--out', self.dir / 'folder'], {},
             'is a folder'),
            ('--out onto the key', pem + stamp + ['--out', pki / 'codesign.key'], {},
             'is also an input'),
            ('--detached-signature into a missing folder',
             pem + stamp + ['--detached-signature', self.dir / 'no/x.p7s'], {}, 'does not exist'),
            ('--detached-signature onto the installer',
             pem + stamp + ['--detached-signature', self.dir / 'input.exe'], {},
             'is also an input'),
            ('--tsa-cert with osslsigncode 2.5',
             pem + ['--tsa-cert', pki / 'tsa-chain.pem', '--tsa-key', pki / 'tsa.key'],
             {'PATH': f'{self.osslsigncode_saying("2.5")}:{os.environ["PATH"]}'},
             'needs osslsigncode 2.9 or later (its local time-stamp authority); the one '
             'installed is 2.5'),
            ('osslsigncode flips a byte of the image it writes', pem + stamp,
             {'DAMAGE_SIGNED_OUTPUT': 'flip'}, 'is not the input'),
            ('osslsigncode cuts the last 4 KiB of the image it writes', pem + stamp,
             {'DAMAGE_SIGNED_OUTPUT': 'cut'}, 'does not verify'),
        ]
        installer = self.copy_of_installer('input.exe')
        before = installer.read_bytes()
        for what, arguments, env, text in rows:
            with self.subTest(what):
                result = run(sys.executable, *SIGN, installer, *arguments, env=env)
                self.assertNotEqual(result.returncode, 0)
                self.assert_one_line(result.stderr, text)
                self.assertNotIn('error:', result.stderr)
                self.assertEqual(installer.read_bytes(), before)
                self.assertEqual(sorted(p.name for p in self.dir.glob('.input.exe*')), [])
        not_an_image = run(sys.executable, *SIGN, pki / 'ca.pem', *pem, *stamp)
        self.assert_one_line(not_an_image.stderr, 'not a PE image')

    def test_the_digest_path_imports_no_asn1_or_cryptography_library(self):
        # What pack's statement, and sign and verify before their digest has
        # started, import: none of it may wait for those libraries.
        for module in ('bootpack.image_digest', 'bootpack.sign.output_check',
                       'bootpack.pack.statement', 'bootpack.verify', 'bootpack.inspect.command'):
            with self.subTest(module):
                result = run(sys.executable, '-c', f'import sys, {module}; print(sorted(m for m '
                             "in sys.modules if m.split('.')[0] in ('asn1crypto', "
                             "'cryptography')))")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.strip(), '[]')

    def test_a_terminated_signing_leaves_the_input_as_it_was(self):
        # While osslsigncode waits for a time stamp that never comes, and at
        # the moments osslsigncode or the partial file has just been made.
        rows = [('while osslsigncode waits for the time stamp', None),
                ('once osslsigncode has started', 'subprocess.Popen.__init__'),
                ('once the partial file is made', 'tempfile.mkstemp')]
        for what, call in rows:
            with self.subTest(what):
                installer = self.copy_of_installer('terminated.exe')
                before = installer.read_bytes()
                self.seen.write_text('')  # what earlier children saw must not end the wait
                tool = ['-c', TERMINATED_AFTER.format(call=call, name=installer.name),
                        'sign'] if call else SIGN
                signing = subprocess.Popen(
                    [sys.executable, *tool, str(installer), '--cert',
                     str(self.pki / 'codesign.pem'), '--key', str(self.pki / 'codesign.key'),
                     '--timestamp-url', self.tsa_url + 'slow'],
                    stderr=subprocess.PIPE, text=True)
                if not call:  # wait until it asks for the time stamp
                    deadline = time.monotonic() + 15
                    while '-ts' not in self.seen.read_text() and time.monotonic() < deadline:
                        time.sleep(0.1)
                    signing.send_signal(signal.SIGTERM)
                _, stderr = signing.communicate(timeout=15)
                left_running = processes_naming(str(installer))
                for pid in left_running:
                    os.kill(pid, signal.SIGKILL)
                self.assertEqual(signing.returncode, 130, stderr)
                self.assert_one_line(stderr, 'interrupted')
                self.assertEqual(left_running, [])
                self.assertEqual(installer.read_bytes(), before)
                self.assertEqual(list(self.dir.glob('.terminated.exe*')), [])

    def test_signing_in_place_in_a_read_only_folder_is_refused(self):
        folder = self.dir / 'read-only'
        folder.mkdir()
        for name in ('codesign.pem', 'codesign.key'):
            shutil.copyfile(self.pki / name, folder / name)
        installer = folder / 'installer.exe'
        shutil.copyfile(ARGS.installer, installer)
        before = installer.read_bytes()
        for path in (self.dir, folder, *folder.iterdir()):
            os.chmod(path, 0o555 if path.is_dir() else 0o444)
        command = [sys.executable, *SIGN, installer, '--cert', folder / 'codesign.pem',
                   '--key', folder / 'codesign.key', '--no-timestamp']
        env = None
        if os.geteuid() == 0:  # root writes anywhere: sign as nobody
            command = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] + command
            env = {'PYTHONPATH': str(self.tool_for_another_user())}
        try:
            result = run(*command, env=env, cwd=self.dir)
        finally:
            os.chmod(self.dir, 0o700)
            os.chmod(folder, 0o700)
        self.assertNotEqual(result.returncode, 0)
        self.assert_one_line(result.stderr, 'is not writable')
        self.assertEqual(installer.read_bytes(), before)

    def pack_release(self, folder, archive, setup, statement=True, zone='UTC'):
        """Packs folder/WidgetInstaller.exe from a product file there, in
        time zone ZONE; with statement, beside it its statement."""
        folder.mkdir()
        shutil.copy(archive, folder / 'product.7z')
        shutil.copy(setup, folder / 'setup.exe')
        (folder / 'widget.toml').write_text(
            f'stub = "{ARGS.stub}"\narchive = "product.7z"\nsetup = "setup.exe"\n'
            'version = "1.4.0.0"\nproduct = "Widget"\nout = "WidgetInstaller.exe"\n')
        extra = ['--provenance', folder / 'WidgetInstaller.json'] if statement else []
        packed = run(sys.executable, *PACK, '--config', folder / 'widget.toml', *extra,
                     env={'TZ': zone})
        self.assertEqual(packed.returncode, 0, packed.stderr)
        return folder / 'WidgetInstaller.exe'

    def test_a_detached_signature_attached_to_a_rebuilt_installer_gives_the_signed_one(self):
        first, second = self.dir / 'release', self.dir / 'rebuilt elsewhere'
        archive = self.dir / 'product.7z'
        write_7z_stand_in(archive, 1 << 20, filler=os.urandom(1 << 20))
        installer = self.pack_release(first, archive, ARGS.stub, zone='Asia/Kolkata')
        (first / 'signed').mkdir()
        token = ['--pkcs11-module', SOFTHSM_MODULE, '--key',
                 'pkcs11:token=release;object=codesign', '--password-env', 'PIN']
        signed = run(sys.executable, *SIGN, installer, *token, '--timestamp-url', self.tsa_url,
                     '--out', first / 'signed' / installer.name,
                     '--detached-signature', first / 'WidgetInstaller.p7s', env={'PIN': PIN})
        self.assertEqual(signed.returncode, 0, signed.stderr)
        # The SignedData alone, as osslsigncode 2.9 extracts it: no header, no padding.
        extracted = self.dir / 'extracted.p7s'
        subprocess.run(['osslsigncode', 'extract-signature', '-in', first / 'signed' /
                        installer.name, '-out', extracted], check=True, capture_output=True)
        self.assertEqual((first / 'WidgetInstaller.p7s').read_bytes(), extracted.read_bytes())
        time.sleep(1.1)  # other modification times for the copies
        rebuilt = self.pack_release(second, archive, ARGS.stub, zone='America/Los_Angeles')
        statement = first / 'WidgetInstaller.json'
        self.assertEqual(statement.read_bytes(), (second / statement.name).read_bytes())
        (second / 'signed').mkdir()
        attached = run(sys.executable, '-m', 'bootpack', 'attach', rebuilt, '--signature',
                       first / 'WidgetInstaller.p7s', '--out', second / 'signed' / rebuilt.name,
                       '--ca', self.pki / 'ca.pem')
        self.assertEqual(attached.returncode, 0, attached.stderr)
        self.assertEqual((second / 'signed' / rebuilt.name).read_bytes(),
                         (first / 'signed' / installer.name).read_bytes())
        for image in (rebuilt, first / 'signed' / installer.name):
            checked = run(sys.executable, *VERIFY, image, '--provenance', statement,
                          '--input', second / 'product.7z', '--input', second / 'setup.exe')
            self.assertEqual(checked.returncode, 0, checked.stderr)
        verified = run(sys.executable, *VERIFY, second / 'signed' / rebuilt.name,
                       '--ca', self.pki / 'ca.pem')
        self.assertEqual(verified.returncode, 0, verified.stderr)
        # One byte of the archive changed: another installer, which the
        # statement names and the signature does not fit.
        data = bytearray(archive.read_bytes())
        data[100] ^= 0xFF
        changed_archive = self.dir / 'changed.7z'
        changed_archive.write_bytes(data)
        changed = self.pack_release(self.dir / 'changed', changed_archive, ARGS.stub,
                                    statement=False)
        checked = run(sys.executable, *VERIFY, changed, '--provenance', statement)
        self.assertEqual(checked.returncode, 1)
        self.assert_one_line(checked.stderr, 'its archive BN BRISEL.7Z is not product.7z')
        out = self.dir / 'changed' / 'signed.exe'
        refused = run(sys.executable, '-m', 'bootpack', 'attach', changed, '--signature',
                      first / 'WidgetInstaller.p7s', '--out', out)
        self.assertEqual(refused.returncode, 1)
        self.assert_one_line(refused.stderr, 'the signature was made over a different installer')
        self.assertFalse(out.exists())

    def tool_for_another_user(self):
        """A copy of the package that another user can read: the checkout may
        lie under a folder only its owner can enter, such as /root."""
        tool = Path(tempfile.mkdtemp(prefix='tool-', dir=self.dir))
        shutil.copytree(Path(bootpack.__file__).parent, tool / 'bootpack',
                        ignore=shutil.ignore_patterns('__pycache__', 'windows'))
        for path in (tool, *tool.rglob('*')):
            os.chmod(path, 0o755 if path.is_dir() else 0o644)
        return tool

    def setUp(self):
        self.seen.write_text('')


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--installer', required=True, type=Path)
    parser.add_argument('--stub', type=Path, help='the stub to pack releases from')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
