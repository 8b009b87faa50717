"""A fresh Debian root for the package tests, made in one place: mmdebstrap
(--variant=apt) of a suite from the mirror this machine's apt sources name,
with what a test copies in, one script run in it as on a bare machine (none
of this checkout's environment), and its results copied out.

Downloaded packages are kept in one apt cache under the build folder that
every root starts from and adds to, so a second root, or the next run,
downloads only what is new. The root lives under a temporary folder that is
removed, mounts first, however the test ends.
"""
import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SOURCES = Path('/etc/apt/sources.list.d/debian.sources')
ROOT_APT_CACHE = '/var/cache/apt/archives'
ROOT_PATH = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
INSIDE = '/srv/bootpack-test'


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


def mirror_line(suite, sources=SOURCES):
    """A one-line source of SUITE's main from the mirror (and keyring) that
    this machine's Debian entry names, whichever suite that entry has."""
    for stanza in sources.read_text().split('\n\n'):
        fields = dict(line.split(': ', 1) for line in stanza.splitlines()
                      if ': ' in line and not line.startswith('#'))
        uri = fields.get('URIs', '').split()
        if uri and uri[0].rstrip('/').endswith('/debian'):
            keyring = fields.get('Signed-By')
            option = f' [signed-by={keyring}]' if keyring else ''
            return f'deb{option} {uri[0]} {suite} main'
    raise RuntimeError(f'{sources} names no Debian mirror')


def mmdebstrap_mode():
    # As root a chroot is simplest; otherwise a user namespace.
    return 'root' if os.geteuid() == 0 else 'unshare'


def build_deb(out_dir):
    """This checkout's .deb, with the commit's time as every build has it."""
    epoch = subprocess.run(['git', '-C', str(REPO), 'log', '-1', '--format=%ct'],
                           capture_output=True, text=True, check=True).stdout.strip()
    env = dict(os.environ, SOURCE_DATE_EPOCH=os.environ.get('SOURCE_DATE_EPOCH', epoch))
    subprocess.run([sys.executable, str(REPO / 'tools/package/make_deb.py'),
                    '--out-dir', str(out_dir)], check=True, env=env, stdout=sys.stderr)
    return next(Path(out_dir).glob('bootpack_*_all.deb'))


class Interrupted(Exception):
    """A signal, as an error: unittest runs tearDown for it, not for
    KeyboardInterrupt."""


class DebianRootCase(unittest.TestCase):
    """A test that runs a script in a fresh Debian root; BIN is the build's
    bin folder, and the build folder above it holds the apt cache the roots
    share."""
    BIN = REPO / 'build' / 'bin'

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

    def run_in_root(self, suite, script, files, args=(), sources=None):
        """Makes a SUITE root from SOURCES (default: SUITE's main from this
        machine's mirror), copies FILES and SCRIPT into INSIDE, runs
        `sh SCRIPT ARGS...` there and returns the folder its out/ was copied to."""
        cache = self.BIN.parent / 'apt-cache'
        cache.mkdir(parents=True, exist_ok=True)
        results = self.dir / 'results'
        results.mkdir()
        # mmdebstrap splits a hook's arguments at spaces: what is copied in
        # comes from this test's own folder, whatever the checkout's path.
        staged = []
        for path in [script, *files]:
            copy = self.dir / 'in' / Path(path).name
            copy.parent.mkdir(exist_ok=True)
            (shutil.copytree if Path(path).is_dir() else shutil.copy)(path, copy)
            staged.append(str(copy))
        inner = f'{INSIDE}/{Path(script).name}'
        command = [
            'mmdebstrap', f'--mode={mmdebstrap_mode()}', '--variant=apt',
            # The shared cache seeds the root's and takes back what it downloaded.
            '--skip=download/empty', f'--setup-hook=mkdir -p "$1{ROOT_APT_CACHE}"',
            f'--setup-hook=sync-in {cache} {ROOT_APT_CACHE}',
            f'--customize-hook=mkdir -p "$1{INSIDE}"',
            f'--customize-hook=copy-in {" ".join(staged)} {INSIDE}',
            # As on a bare machine: none of this checkout's environment.
            f'--customize-hook=chroot "$1" env -i PATH={ROOT_PATH} HOME=/root '
            f'sh {inner} {" ".join(args)}',
            f'--customize-hook=copy-out {INSIDE}/out {results}',
            f'--customize-hook=sync-out {ROOT_APT_CACHE} {cache}',
            suite, '/dev/null', *(sources or [mirror_line(suite)])]
        progress(f'mmdebstrap --mode={mmdebstrap_mode()} --variant=apt {suite} from the '
                 f'mirror of {SOURCES}')
        env = dict(os.environ, TMPDIR=str(self.dir))
        self.child = subprocess.Popen(command, env=env, stdout=sys.stderr)
        status = self.child.wait()
        if self.signal:
            raise Interrupted(f'stopped by signal {self.signal}')
        self.assertEqual(status, 0, 'mmdebstrap or a step in the root failed (see above)')
        out = results / 'out'
        self.assertTrue((out / 'finished').exists())
        return out


def main():
    """unittest.main for a root test, with --bin BUILD/bin (default build/bin)."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--bin', type=Path, default=DebianRootCase.BIN)
    args, rest = parser.parse_known_args()
    DebianRootCase.BIN = args.bin
    unittest.main(module='__main__', argv=[sys.argv[0]] + rest)
