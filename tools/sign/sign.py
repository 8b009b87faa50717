#!/usr/bin/env python3
"""Signs an installer with Authenticode: SHA-256 digests, an RSA signature
and an RFC 3161 time-stamp countersignature, through Debian's osslsigncode.

The payload lies in the image's resource section, so the signature covers the
archive and the setup program as well: changing one byte of either makes
verification fail.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

DESCRIPTION = """\
Sign FILE.exe in place (or into --out) with Authenticode.

The certificate and key are PEM files (the certificate file may hold the
chain after the signing certificate). The time stamp comes from a
Time-Stamp Authority: --timestamp-url names an RFC 3161 server, or
--tsa-cert/--tsa-key make osslsigncode act as one locally (for tests).

--make-test-pki DIR writes a throwaway root CA, a code-signing certificate
and a time-stamping certificate with their keys into DIR, for tests and
demonstrations only; nothing signed with them is trusted anywhere else.

examples:
  ./bootpack sign installer.exe --cert release.pem --key release.key \\
      --timestamp-url http://timestamp.example.com
  ./bootpack sign --make-test-pki build/pki
  ./bootpack sign installer.exe --cert build/pki/codesign.pem --key build/pki/codesign.key \\
      --tsa-cert build/pki/tsa-chain.pem --tsa-key build/pki/tsa.key --verify-ca build/pki/ca.pem
"""

PKI_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise SystemExit(f'sign: {name} is missing; ./bootpack deps installs it')
    return path


def run(command, what):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        detail = (result.stderr.strip() or result.stdout.strip()).splitlines()
        raise SystemExit(f'sign: {what} failed: ' + (detail[-1] if detail else 'no message'))
    return result.stdout


def make_test_pki(directory):
    """A throwaway root, a code-signing and a time-stamping certificate. The
    keys are written with owner-only permissions and never leave DIR."""
    openssl = tool('openssl')
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    os.chmod(directory, 0o700)
    config = directory / 'pki.cnf'
    config.write_text(PKI_CONFIG)
    ca, ca_key = directory / 'ca.pem', directory / 'ca.key'
    run([openssl, 'req', '-x509', '-newkey', 'rsa:3072', '-nodes', '-keyout', str(ca_key),
         '-out', str(ca), '-days', '30', '-subj', '/CN=bootpack throwaway test root',
         '-config', str(config), '-extensions', 'ca'], 'making the test root')
    for role, subject in (('codesign', 'bootpack throwaway code signing'),
                          ('tsa', 'bootpack throwaway time stamping')):
        key, request, cert = (directory / f'{role}.key', directory / f'{role}.csr',
                              directory / f'{role}.pem')
        run([openssl, 'req', '-newkey', 'rsa:3072', '-nodes', '-keyout', str(key),
             '-out', str(request), '-subj', f'/CN={subject}', '-config', str(config)],
            f'making the {role} key')
        run([openssl, 'x509', '-req', '-in', str(request), '-CA', str(ca), '-CAkey', str(ca_key),
             '-CAcreateserial', '-out', str(cert), '-days', '30', '-extfile', str(config),
             '-extensions', role], f'issuing the {role} certificate')
        request.unlink()
    # The time stamp carries the TSA's chain so a verifier can build it.
    (directory / 'tsa-chain.pem').write_text((directory / 'tsa.pem').read_text()
                                             + ca.read_text())
    for key in directory.glob('*.key'):
        os.chmod(key, 0o600)
    print(f'sign: throwaway PKI in {directory}: ca.pem, codesign.pem/.key, '
          'tsa-chain.pem, tsa.key')


def verify(path, ca):
    """osslsigncode's verdict on the file against the given root."""
    result = subprocess.run([tool('osslsigncode'), 'verify', '-in', str(path), '-CAfile', str(ca),
                             '-TSA-CAfile', str(ca)], capture_output=True, text=True)
    return result.returncode == 0, result.stdout + result.stderr


def sign(args):
    source = Path(args.file)
    if not source.is_file():
        raise SystemExit(f'sign: {source} does not exist')
    for option in ('cert', 'key'):
        if getattr(args, option) is None or not Path(getattr(args, option)).is_file():
            raise SystemExit(f'sign: --{option} must name an existing PEM file')
    local_tsa = args.tsa_cert is not None or args.tsa_key is not None
    if local_tsa and args.timestamp_url:
        raise SystemExit('sign: give either --timestamp-url or --tsa-cert/--tsa-key')
    if local_tsa and not (args.tsa_cert and args.tsa_key):
        raise SystemExit('sign: a local time-stamp authority needs --tsa-cert and --tsa-key')
    if not local_tsa and not args.timestamp_url:
        raise SystemExit('sign: a time stamp is required: --timestamp-url or --tsa-cert/--tsa-key')

    out = Path(args.out) if args.out else source
    command = [tool('osslsigncode'), 'sign', '-h', 'sha256', '-certs', args.cert,
               '-key', args.key]
    if args.description:
        command += ['-n', args.description]
    if local_tsa:
        command += ['-TSA-certs', args.tsa_cert, '-TSA-key', args.tsa_key]
    else:
        command += ['-ts', args.timestamp_url]
    with tempfile.TemporaryDirectory(dir=out.resolve().parent, prefix='.sign-') as scratch:
        partial = Path(scratch) / out.name
        run(command + ['-in', str(source), '-out', str(partial)], 'signing')
        if args.verify_ca:
            ok, report = verify(partial, args.verify_ca)
            if not ok:
                raise SystemExit('sign: the signed file does not verify:\n' + report)
        os.chmod(partial, 0o755)
        os.replace(partial, out)
    print(f'sign: signed {out} (SHA-256, RSA, time-stamped)'
          + (', verified' if args.verify_ca else ''))


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack sign', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', nargs='?', metavar='FILE.exe', help='the image to sign')
    parser.add_argument('--cert', help='signing certificate (PEM), chain may follow')
    parser.add_argument('--key', help='its private key (PEM)')
    parser.add_argument('--timestamp-url', help='RFC 3161 time-stamp server')
    parser.add_argument('--tsa-cert', help='local time-stamp authority certificate chain (PEM)')
    parser.add_argument('--tsa-key', help='local time-stamp authority key (PEM)')
    parser.add_argument('--description', help='description shown with the signature')
    parser.add_argument('--verify-ca', help='verify the result against this root (PEM)')
    parser.add_argument('--out', help='write the signed image here instead of in place')
    parser.add_argument('--make-test-pki', metavar='DIR',
                        help='write a throwaway root, code-signing and TSA certificate')
    args = parser.parse_args(argv)
    if args.make_test_pki:
        make_test_pki(args.make_test_pki)
        if args.file is None:
            return 0
    if args.file is None:
        parser.error('FILE.exe is required')
    sign(args)
    return 0


if __name__ == '__main__':
    sys.exit(main())
