#!/usr/bin/env python3
"""The .deb on a Debian 13 that has nothing else: one fresh trixie root made
by mmdebstrap (--variant=apt) from the mirror this machine's apt sources
name, where `apt-get install --no-install-recommends ./bootpack_*.deb
wine64 wine64-preloader` alone brings what the tools need; there pack makes
this checkout's bytes, sign (a local time stamp; a key on a SoftHSM2 token), attach,
verify --ca and --provenance hold, inspect --json with the payload stage
under Wine 10 approves the signed installer with the stub's outcome, the
Windows test kit passes under Wine 10 from a path with a space, and pip
installs the checkout into a venv on Python 3.13 that packs the same bytes.

Needs root (root mode, chroot) or user namespaces (unshare mode) and the
network or the build's apt cache.

usage: trixie_root_test.py [--bin BUILD/bin] [unittest options]
"""
import json
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import debian_root
from debian_root import REPO, build_deb, progress, sha256
from widget import make_inputs, pack_with_checkout

HERE = Path(__file__).resolve().parent


def ctest_cases(build):
    """The GoogleTest cases CTest runs (named Suite.Case; disabled ones not run)."""
    listing = subprocess.run(['ctest', '--test-dir', str(build), '-N'], capture_output=True,
                             text=True, check=True).stdout
    return len([line for line in listing.splitlines()
                if re.match(r' *Test *#\d+: \S+\.\S+', line) and
                not line.endswith('(Disabled)')])


class TrixieRootTest(debian_root.DebianRootCase):
    def test_pipeline_kit_and_venv_on_debian_13(self):
        started = time.monotonic()
        build = self.BIN.parent
        progress('building the .deb, the inputs, the kit and a source tree for pip')
        deb = build_deb(self.dir / 'deb')
        inputs = make_inputs(self.dir / 'inputs', self.BIN)
        here = pack_with_checkout(inputs, self.dir / 'here')
        kit = self.dir / 'bootpack-tests.zip'
        subprocess.run(['/usr/bin/python3', str(REPO / 'tools/kit/make_kit.py'), '--build',
                        str(build), '--out', str(kit)], check=True, stdout=sys.stderr)
        source = self.dir / 'source'
        source.mkdir()
        for name in ('pyproject.toml', 'README.md'):
            shutil.copy(REPO / name, source)
        shutil.copytree(REPO / 'tools/bootpack', source / 'tools/bootpack',
                        ignore=shutil.ignore_patterns('__pycache__'))
        out = self.run_in_root('trixie', HERE / 'in_trixie_root.sh',
                               [deb, inputs, kit, source, HERE / 'root_steps.sh'])

        progress('in the root: ' + '; '.join((out / 'versions.txt').read_text().splitlines()))
        output = (out / 'kit.txt').read_text(errors='replace').replace('\r', '')
        failed = [line for line in output.splitlines() if line.startswith('FAIL')]
        if failed:
            results = out / 'kit-results.txt'
            progress('the kit under Wine 10 failed: ' + '; '.join(failed) + '\n'
                     + (results.read_text(errors='replace')[-6000:] if results.exists() else ''))
        progress(f'packed in the root  {sha256(out / "packed.exe")}')
        progress(f'packed here         {sha256(here)}')
        self.assertEqual(sha256(out / 'packed.exe'), sha256(here),
                         'the installed tools packed other bytes than this checkout')
        self.assertEqual(sha256(out / 'venv-packed.exe'), sha256(here),
                         "the venv's bootpack packed other bytes than this checkout")
        report = json.loads((out / 'inspect.json').read_text())
        self.assertTrue(report['ok'], report['problems'])
        progress(f"inspect's payload stage under Wine 10: {report['outcome']}")
        self.assertIsNotNone(report['outcome'], 'inspect ran no payload stage')
        self.assertEqual(report['signature'], {'present': True, 'digest_matches': True,
                                               'timestamped': True, 'chain_valid': True})

        last = output.strip().splitlines()[-1] if output.strip() else ''
        skipped = len(re.findall(r'^SKIP ', output, re.MULTILINE))
        expected = ctest_cases(build)
        progress(f'the kit under Wine 10: {last} ({skipped} skipped by the tests); '
                 f'CTest runs {expected} GoogleTest cases')
        passed = re.fullmatch(r'(\d+) passed, 0 failed', last)
        self.assertTrue(passed and (out / 'kit-status.txt').read_text().strip() == '0',
                        '\n'.join(failed) or output[-4000:])
        self.assertGreaterEqual(int(passed.group(1)) + skipped, expected)
        progress(f'the Debian 13 root test took {time.monotonic() - started:.0f} s')


if __name__ == '__main__':
    debian_root.main()
