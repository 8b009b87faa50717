#!/usr/bin/env python3
"""./bootpack demo: the main job on a small sample product, end to end.

Builds a real 7z archive of a sample product with 7zz, packs it with the
demo's setup program into an installer, signs it with a throwaway code-signing
certificate and a local time-stamp authority, inspects it, shows that
changing one byte of the payload breaks the signature, then runs the signed
installer under Wine and shows what happened: the command line setup
received, the exit code, the updater's registry values, and that the work
directory is gone. Everything lands in BUILD/demo; nothing needs the network.

With --artifacts it also keeps, in BUILD/demo/artifacts, what the Windows
runners check: the signed installer, the copy with the changed byte and the
throwaway root as test-root.cer (DER), to be trusted by the machine that
checks them.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding

REPO = Path(__file__).resolve().parents[2]
from bootpack.cli import ToolError, last_line, run_tool
from bootpack.host import build_dir, windows_path
from bootpack.payload import PLAIN_TYPE
from bootpack.pe_image import open_image, resources

BUILD = build_dir()
PREFIX = os.environ.get('BOOTPACK_WINEPREFIX', str(BUILD / 'wineprefix'))
DEMO = BUILD / 'demo'
PKI = BUILD / 'pki'
APP_GUID = '{3D58B1A2-7C40-4e1b-A9D3-58E2F06B7C41}'
CLIENT_STATE = 'HKCU\\Software\\Orvane\\Update\\ClientState\\' + APP_GUID
WINE_ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG='-all')


def step(title):
    print(f'\n== {title}', flush=True)


def run(command, check=True, **kwargs):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)
    if check and result.returncode != 0:
        detail = last_line(result.stderr or result.stdout)
        raise ToolError(f'{Path(str(command[1] if command[0] == sys.executable else command[0])).name}'
                        f' failed: {detail}')
    return result


def bootpack(command, *args, check=True):
    return run([sys.executable, '-m', 'bootpack', command] + list(args), check=check)


def wine(*args, check=False):
    return run([REPO / 'tools' / 'wine-exec'] + list(args), check=check, env=WINE_ENV)


def show_verdict(installer):
    verdict = bootpack('verify', installer, '--ca', PKI / 'ca.pem', check=False)
    print(f'./bootpack verify: exit {verdict.returncode}: '
          + (verdict.stdout or verdict.stderr).strip())


def make_sample_product(root):
    """A small product tree with text and some incompressible-looking data."""
    shutil.rmtree(root, ignore_errors=True)
    (root / 'bin').mkdir(parents=True)
    (root / 'README.txt').write_text('Brisel sample product, packed by ./bootpack demo.\n')
    (root / 'bin' / 'settings.ini').write_text('[brisel]\nchannel=stable\n')
    state = 0x2545F491
    data = bytearray()
    for _ in range(48 * 1024):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        data.append(state >> 16 & 0xFF)
    (root / 'bin' / 'brisel.dat').write_bytes(bytes(data))


def keep_artifacts(installer, tampered):
    """What a Windows machine needs to give its own verdict on the signature."""
    kept = DEMO / 'artifacts'
    shutil.rmtree(kept, ignore_errors=True)
    kept.mkdir()
    shutil.copy2(installer, kept / installer.name)
    shutil.copy2(tampered, kept / tampered.name)
    root = x509.load_pem_x509_certificate((PKI / 'ca.pem').read_bytes())
    (kept / 'test-root.cer').write_bytes(root.public_bytes(Encoding.DER))
    print(f'kept {installer.name}, {tampered.name} and test-root.cer in {kept}')


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack demo', description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--artifacts', action='store_true',
                        help='also keep the signed installer, its changed copy and the '
                             'test root (test-root.cer) in BUILD/demo/artifacts')
    args = parser.parse_args(argv)
    DEMO.mkdir(parents=True, exist_ok=True)
    step('1. A real 7z archive of a small sample product (7zz)')
    product = DEMO / 'product'
    make_sample_product(product)
    archive = DEMO / 'brisel.7z'
    archive.unlink(missing_ok=True)
    run(['7zz', 'a', '-t7z', '-bso0', '-bsp0', archive, '.'], cwd=product)
    print(run(['7zz', 'l', '-ba', archive]).stdout.rstrip())

    step('2. Pack it with the demo setup program')
    installer = DEMO / 'BriselInstaller.exe'
    bootpack('pack', '--archive', archive, '--setup', BUILD / 'bin' / 'sample_setup.exe',
           '--version', '1.4.0.0', '--out', installer)
    print(f'{installer}: {installer.stat().st_size:,} bytes')

    step('3. Sign it: SHA-256, RSA, time stamp (throwaway CA and local TSA)')
    if not (PKI / 'ca.pem').is_file():
        print(bootpack('sign', '--make-test-pki', PKI).stdout.rstrip())
    print(bootpack('sign', installer, '--cert', PKI / 'codesign.pem',
                 '--key', PKI / 'codesign.key', '--tsa-cert', PKI / 'tsa-chain.pem',
                 '--tsa-key', PKI / 'tsa.key', '--verify-ca', PKI / 'ca.pem').stdout.rstrip())
    verified = run(['osslsigncode', 'verify', '-in', installer, '-CAfile', PKI / 'ca.pem',
                    '-TSA-CAfile', PKI / 'ca.pem'], check=False)
    print('osslsigncode verify: ' + ('Succeeded' if verified.returncode == 0 else 'FAILED'))
    show_verdict(installer)

    step('4. Change one byte of the archive inside the signed installer')
    data = bytearray(installer.read_bytes())
    pe = open_image(installer)
    resource = [r for r in resources(pe) if r.type == PLAIN_TYPE and r.name == 'BRISEL.7Z'][0]
    at = pe.get_offset_from_rva(resource.rva + resource.size // 2)
    pe.close()
    data[at] ^= 0x01
    tampered = DEMO / 'BriselInstaller-tampered.exe'
    tampered.write_bytes(bytes(data))
    broken = run(['osslsigncode', 'verify', '-in', tampered, '-CAfile', PKI / 'ca.pem',
                  '-TSA-CAfile', PKI / 'ca.pem'], check=False)
    digests = re.findall(r'(?:Current|Calculated) message digest\s*:\s*(\S+)', broken.stdout)
    print(f'flipped the byte at file offset {at:#x}: osslsigncode verify '
          + ('FAILED, as it must' if broken.returncode != 0 else 'still succeeded (!)'))
    if len(digests) == 2:
        print(f'  signed digest     {digests[0]}\n  calculated digest {digests[1]}')
    show_verdict(tampered)
    if args.artifacts:
        keep_artifacts(installer, tampered)
    tampered.unlink()

    step('5. Inspect the signed installer')
    inspect = run([sys.executable, '-m', 'bootpack', 'inspect', installer,
                   '--ca', PKI / 'ca.pem'], check=False)
    print(inspect.stdout.rstrip())

    step('6. Run it under Wine, as a user would')
    run_dir = DEMO / 'run'
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir()
    shutil.copy2(installer, run_dir / installer.name)
    report = run_dir / 'setup-report.txt'
    # The updater creates its ClientState key; the installer only fills it.
    wine('reg', 'delete', CLIENT_STATE, '/f')
    wine('reg', 'add', CLIENT_STATE, '/f')
    print(f'created {CLIENT_STATE} (as the updater would)')
    print(f'running {installer.name} --report=...setup-report.txt in {run_dir}')
    result = wine(BUILD / 'bin' / 'winrun.exe', windows_path(run_dir / installer.name),
                  '--report=' + windows_path(report))
    exit_line = re.search(r'exit code: .*', result.stdout)
    print('\nsetup says:')
    print('  ' + (report.read_text(encoding='utf-8-sig').rstrip().replace('\n', '\n  ')
                  if report.is_file() else '(no report: setup did not run)'))
    print(f'\ninstaller {exit_line.group(0) if exit_line else "did not report an exit code"}')
    print('\nregistry values the installer left for the updater:')
    values = wine('reg', 'query', CLIENT_STATE).stdout
    lines = [line.strip() for line in values.splitlines()
             if 'REG_' in line and not line.strip().startswith('(Default)')]
    print('  ' + ('\n  '.join(lines) if lines else '(none)'))
    leftovers = sorted(p.name for p in run_dir.iterdir() if re.fullmatch(r'QX_.*\.tmp', p.name))
    print('\nwork directory: ' + ('gone, nothing left beside the installer' if not leftovers
                                  else 'STILL THERE: ' + ', '.join(leftovers)))
    print(f'files beside the installer: {", ".join(sorted(p.name for p in run_dir.iterdir()))}')
    wine('reg', 'delete', CLIENT_STATE, '/f')
    return 0 if verified.returncode == 0 and broken.returncode != 0 else 1


if __name__ == '__main__':
    sys.exit(run_tool('bootpack demo', main))
