#!/usr/bin/env python3
"""The .deb on a Debian that has nothing else: a fresh bookworm root made by
mmdebstrap (--variant=apt) from this machine's apt sources, where
`apt-get install ./bootpack_*.deb --no-install-recommends` must bring all the
tools need (osslsigncode from bookworm-backports: apt must refuse bookworm's
2.5), and pack, sign, attach, verify and inspect work without compiler,
MinGW, Wine or checkout. The installer packed there must be the bytes this
checkout's pack makes from the same inputs.

Needs root (root mode, chroot) or user namespaces (unshare mode) and the
network or apt's cache; takes about a minute. The root lives under a
temporary folder that is removed, mounts first, however the test ends.

usage: debian_root_test.py [--bin BUILD/bin] [unittest options]
"""
import argparse
import hashlib
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
HERE = Path(__file__).resolve().parent
SOURCES = Path('/etc/apt/sources.list.d/debian.sources')
APT_CACHE = Path('/var/cache/apt/archives')
ROOT_PATH = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
BIN = REPO / 'build' / 'bin'
from widget import make_inputs, pack_with_checkout



def progress(text):
    print(f'==> {text}', file=sys.stderr, flush=True)


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def mounts_under(folder):
    """Mount points at or below FOLDER, deepest first."""
    prefix = str(folder).rstrip('/') + '/'
    found = []
    with open('/proc/self/mountinfo') as info:
        for line in info:
            point = line.split()[4].replace('\\040', ' ')
            if point.startswith(prefix):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def remove_root(folder):
    """Unmounts whatever is left mounted below FOLDER, then removes it:
    removing first would reach through a mount into the host."""
    for point in mounts_under(folder):
        subprocess.run(['umount', '--lazy', point], check=False)
    if mounts_under(folder):
        raise RuntimeError(f'mounts are left under {folder}; not removing it')
    shutil.rmtree(folder, ignore_errors=True)


def backports_line(sources=SOURCES):
    """bookworm-backports from the mirror this machine's bookworm comes from:
    bookworm's own osslsigncode (2.5) cannot be a local time-stamp authority,
    the package needs 2.9."""
    for stanza in sources.read_text().split('\n\n'):
        fields = dict(line.split(': ', 1) for line in stanza.splitlines()
                      if ': ' in line and not line.startswith('#'))
        if 'bookworm' in fields.get('Suites', '').split():
            keyring = fields.get('Signed-By')
            option = f' [signed-by={keyring}]' if keyring else ''
            return f'deb{option} {fields["URIs"].split()[0]} bookworm-backports main'
    raise RuntimeError(f'{sources} has no bookworm entry')


class Interrupted(Exception):
    """A signal, as an error: unittest runs tearDown for it, not for
    KeyboardInterrupt."""


def mmdebstrap_mode():
    # As root a chroot is simplest; otherwise a user namespace.
    return 'root' if os.geteuid() == 0 else 'unshare'


class DebianRootTest(unittest.TestCase):
    def setUp(self):
        for program in ('mmdebstrap', 'dpkg-deb', '7zz'):
            if not shutil.which(program):
                self.fail(f'{program} is missing; run ./bootpack deps')
        self.dir = Path(tempfile.mkdtemp(prefix='debian-root-test-'))
        self.child = None
        self.signal = None
        self.handlers = {sig: signal.signal(sig, self.interrupted)
                         for sig in (signal.SIGTERM, signal.SIGINT)}

    def interrupted(self, signum, frame):
        # SIGTERM and ^C: mmdebstrap is told and takes its mounts down; the
        # wait for it goes on and then fails the test, so that tearDown runs.
        # (Waiting here would deadlock with the wait this interrupts.)
        self.signal = signum
        if self.child is None:
            raise Interrupted(f'stopped by signal {signum}')
        if self.child.poll() is None:
            self.child.send_signal(signal.SIGTERM)

    def tearDown(self):
        for sig, handler in self.handlers.items():
            signal.signal(sig, handler)
        remove_root(self.dir)

    def build_deb(self):
        epoch = subprocess.run(['git', '-C', str(REPO), 'log', '-1', '--format=%ct'],
                               capture_output=True, text=True, check=True).stdout.strip()
        env = dict(os.environ, SOURCE_DATE_EPOCH=os.environ.get('SOURCE_DATE_EPOCH', epoch))
        subprocess.run([sys.executable, str(REPO / 'tools/package/make_deb.py'),
                        '--out-dir', str(self.dir / 'deb')], check=True, env=env,
                       stdout=sys.stderr)
        return next((self.dir / 'deb').glob('bootpack_*_all.deb'))

    def test_tools_work_from_the_deb_on_a_bare_debian(self):
        started = time.monotonic()
        progress('building the .deb')
        deb = self.build_deb()
        progress('making the inputs and packing them with this checkout')
        inputs = make_inputs(self.dir / 'inputs', BIN)
        here = pack_with_checkout(inputs, self.dir / 'here')
        results = self.dir / 'results'
        results.mkdir()
        inside = '/srv/bootpack-test'
        # mmdebstrap splits a hook's arguments at spaces: what is copied in
        # comes from this test's own folder, whatever the checkout's path.
        script = shutil.copy(HERE / 'in_root.sh', self.dir / 'in_root.sh')
        seed = (f'mkdir -p "$1{APT_CACHE}" && '
                f'find {APT_CACHE} -maxdepth 1 -name "*.deb" -exec ln -t "$1{APT_CACHE}" {{}} + '
                '2>/dev/null || true')
        command = [
            'mmdebstrap', f'--mode={mmdebstrap_mode()}', '--variant=apt',
            # apt's own cache seeds the root's, as links the root's cleanup
            # only unlinks; nothing is written back.
            '--skip=download/empty', f'--setup-hook={seed}',
            f'--customize-hook=mkdir -p "$1{inside}"',
            f'--customize-hook=copy-in {deb} {inputs} {script} {inside}',
            # As on a bare machine: none of this checkout's environment.
            f'--customize-hook=chroot "$1" env -i PATH={ROOT_PATH} HOME=/root '
            f'sh {inside}/in_root.sh',
            f'--customize-hook=copy-out {inside}/out {results}',
            'bookworm', '/dev/null', str(SOURCES), backports_line()]
        progress(f'mmdebstrap --mode={mmdebstrap_mode()} --variant=apt bookworm from {SOURCES}')
        env = dict(os.environ, TMPDIR=str(self.dir))
        self.child = subprocess.Popen(command, env=env, stdout=sys.stderr)
        status = self.child.wait()
        if self.signal:
            raise Interrupted(f'stopped by signal {self.signal}')
        self.assertEqual(status, 0, 'mmdebstrap or a step in the root failed (see above)')
        self.assertTrue((results / 'out' / 'finished').exists())
        out = results / 'out'

        version = (out / 'version.txt').read_text()
        self.assertIn(subprocess.run(
            [sys.executable, str(REPO / 'tools/package/make_deb.py'), '--check-changelog'],
            capture_output=True, text=True).stdout.split()[-1], version)
        self.assertIn('stub', version)
        progress(f'packed in the root  {sha256(out / "packed.exe")}')
        progress(f'packed here         {sha256(here)}')
        self.assertEqual(sha256(out / 'packed.exe'), sha256(here),
                         'the installed tools packed other bytes than this checkout')
        report = json.loads((out / 'inspect.json').read_text())
        self.assertTrue(report['ok'], report['problems'])
        self.assertIsNone(report['outcome'])
        self.assertEqual(report['signature'], {'present': True, 'digest_matches': True,
                                               'timestamped': True, 'chain_valid': True})
        progress(f'the Debian root test took {time.monotonic() - started:.0f} s')


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--bin', type=Path, default=BIN)
    args, rest = parser.parse_known_args()
    BIN = args.bin
    unittest.main(argv=[sys.argv[0]] + rest)
