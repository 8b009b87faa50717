"""A throwaway PKI for tests and demonstrations: a root, a code-signing and a
time-stamping certificate with their keys. Nothing signed with them is
trusted anywhere else.
"""
import os
import subprocess
from pathlib import Path

from bootpack.cli import ToolError, last_line
from bootpack.sign.osslsigncode import tool

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


def run(command, what):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise ToolError(f'{what} failed: ' + last_line(result.stderr or result.stdout))
    return result.stdout


def make_test_pki(directory):
    """A throwaway root, a code-signing and a time-stamping certificate. The
    keys are written with owner-only permissions and never leave DIR."""
    openssl = tool('openssl')
    directory = Path(directory)
    # A folder made here is the owner's alone; one that exists keeps its
    # permissions (the keys are the owner's alone either way).
    if not directory.is_dir():
        directory.mkdir(mode=0o700, parents=True)
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
