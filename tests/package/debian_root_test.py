#!/usr/bin/env python3
"""The .deb on a Debian 12 that has nothing else: a fresh bookworm root made
by mmdebstrap (--variant=apt) from this machine's apt sources, no backports,
where `apt-get install ./bootpack_*.deb --no-install-recommends` must bring
all the tools need (bookworm's own osslsigncode 2.5), and pack, sign with a
time-stamp server, attach, verify and inspect work without compiler, MinGW,
Wine or checkout. The installer packed there must be the bytes this
checkout's pack makes from the same inputs; --tsa-cert, which needs a newer
osslsigncode, ends with one line that says so.

Needs root (root mode, chroot) or user namespaces (unshare mode) and the
network or the build's apt cache; takes about a minute.

usage: debian_root_test.py [--bin BUILD/bin] [unittest options]
"""
import json
import subprocess
import sys
import time
from pathlib import Path

import debian_root
from debian_root import REPO, SOURCES, build_deb, progress, sha256
from widget import make_inputs, pack_with_checkout

HERE = Path(__file__).resolve().parent


class DebianRootTest(debian_root.DebianRootCase):
    def test_tools_work_from_the_deb_on_a_bare_debian(self):
        started = time.monotonic()
        progress('building the .deb')
        deb = build_deb(self.dir / 'deb')
        progress('making the inputs and packing them with this checkout')
        inputs = make_inputs(self.dir / 'inputs', self.BIN)
        here = pack_with_checkout(inputs, self.dir / 'here')
        out = self.run_in_root('bookworm', HERE / 'in_root.sh',
                               [deb, inputs, HERE / 'root_steps.sh',
                                REPO / 'tests/image/timestamp_server.py'],
                               sources=[str(SOURCES)])

        version = (out / 'version.txt').read_text()
        self.assertIn(subprocess.run(
            [sys.executable, str(REPO / 'tools/package/make_deb.py'), '--check-changelog'],
            capture_output=True, text=True).stdout.split()[-1], version)
        self.assertIn('stub', version)
        progress(f'packed in the root  {sha256(out / "packed.exe")}')
        progress(f'packed here         {sha256(here)}')
        self.assertEqual(sha256(out / 'packed.exe'), sha256(here),
                         'the installed tools packed other bytes than this checkout')
        self.assertRegex((out / 'osslsigncode.txt').read_text(), r'^osslsigncode 2\.5\b')
        report = json.loads((out / 'inspect.json').read_text())
        self.assertTrue(report['ok'], report['problems'])
        self.assertIsNone(report['outcome'])
        self.assertEqual(report['signature'], {'present': True, 'digest_matches': True,
                                               'timestamped': True, 'chain_valid': True})
        refusal = (out / 'tsa-cert.err').read_text()
        progress(f'--tsa-cert in the root: {refusal.strip()}')
        self.assertEqual(refusal.splitlines(), [
            'bootpack sign: --tsa-cert needs osslsigncode 2.9 or later (its local time-stamp '
            'authority); the one installed is 2.5'])
        progress(f'the Debian 12 root test took {time.monotonic() - started:.0f} s')


if __name__ == '__main__':
    debian_root.main()
