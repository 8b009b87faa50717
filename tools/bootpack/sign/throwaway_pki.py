"""A throwaway PKI for tests and demonstrations: a root, a code-signing and a
time-stamping certificate with their keys. Nothing signed with them is
trusted anywhere else.
"""
import shutil
import subprocess
import tempfile
from pathlib import Path

from bootpack.cli import ToolError, last_line, new_files, shown
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


# What DIR receives, with each file's mode: the keys are the owner's alone.
FILES = {'ca.pem': 0o644, 'ca.key': 0o600, 'codesign.pem': 0o644, 'codesign.key': 0o600,
         'tsa.pem': 0o644, 'tsa.key': 0o600, 'tsa-chain.pem': 0o644}


def run(command, what):
    result = subprocess.run([str(c) for c in command], capture_output=True, text=True)
    if result.returncode != 0:
        raise ToolError(f'{what} failed: ' + last_line(result.stderr or result.stdout))
    return result.stdout


def make_pki(openssl, scratch):
    """Writes the files of FILES into SCRATCH (and openssl's own beside them)."""
    config = scratch / 'pki.cnf'
    config.write_text(PKI_CONFIG)
    ca, ca_key = scratch / 'ca.pem', scratch / 'ca.key'
    run([openssl, 'req', '-x509', '-newkey', 'rsa:3072', '-nodes', '-keyout', ca_key,
         '-out', ca, '-days', '30', '-subj', '/CN=bootpack throwaway test root',
         '-config', config, '-extensions', 'ca'], 'making the test root')
    for role, subject in (('codesign', 'bootpack throwaway code signing'),
                          ('tsa', 'bootpack throwaway time stamping')):
        key, request, cert = (scratch / f'{role}.key', scratch / f'{role}.csr',
                              scratch / f'{role}.pem')
        run([openssl, 'req', '-newkey', 'rsa:3072', '-nodes', '-keyout', key,
             '-out', request, '-subj', f'/CN={subject}', '-config', config],
            f'making the {role} key')
        run([openssl, 'x509', '-req', '-in', request, '-CA', ca, '-CAkey', ca_key,
             '-CAcreateserial', '-CAserial', scratch / 'ca.srl', '-out', cert, '-days', '30',
             '-extfile', config, '-extensions', role], f'issuing the {role} certificate')
    # The time stamp carries the TSA's chain so a verifier can build it.
    (scratch / 'tsa-chain.pem').write_text((scratch / 'tsa.pem').read_text() + ca.read_text())


def make_throwaway_pki(directory):
    """Writes a throwaway root, a code-signing and a time-stamping certificate
    with their keys into DIRECTORY, all of them or none: a folder that holds
    any of their files is refused and left as it was."""
    openssl = tool('openssl')
    directory = Path(directory)
    targets = {directory / name: mode for name, mode in FILES.items()}
    present = [path.name for path in targets if path.exists() or path.is_symlink()]
    if present:
        raise ToolError(f'{shown(directory)} holds {", ".join(present)} already; the '
                        'throwaway PKI goes into a folder that holds none of its files')
    made = not directory.exists()
    if made:
        # A folder made here is the owner's alone; one that exists keeps its mode.
        directory.mkdir(mode=0o700, parents=True)
    try:
        with tempfile.TemporaryDirectory(prefix='.pki-', dir=directory) as scratch, \
                new_files(targets) as partials:
            make_pki(openssl, Path(scratch))
            for path, partial in partials.items():
                shutil.copyfile(Path(scratch) / path.name, partial)
    except BaseException:
        if made:
            shutil.rmtree(directory, ignore_errors=True)
        raise
    print(f'sign: throwaway PKI in {shown(directory)}: ca.pem, codesign.pem/.key, '
          'tsa-chain.pem, tsa.key')
