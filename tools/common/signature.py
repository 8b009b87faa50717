"""What an image's Authenticode signature holds: whether there is one, whether
its digest matches the file, whether it carries a time stamp, and whether its
chain leads to a given root. osslsigncode checks the digest and the chain;
the time stamp is read from the PKCS #7 SignedData itself (asn1crypto)."""
import dataclasses
import hashlib
import os
import re
import shutil
import struct
import subprocess

import pefile
from asn1crypto import cms, tsp

from cli import ToolError, UsageError, last_line

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
RFC3161_TOKEN = '1.3.6.1.4.1.311.3.3.1'
COUNTER_SIGNATURE = '1.2.840.113549.1.9.6'


@dataclasses.dataclass
class SignatureCheck:
    present: bool                  # a certificate table with a PKCS#7 SignedData
    digest_matches: bool | None    # None when not present
    timestamped: bool | None       # a time-stamp countersignature, read from the signature
    chain_valid: bool | None       # None when no root was given (or not present)
    problems: list[str]            # one line each, empty when all checked properties hold


def _readable_root(option, path):
    if path is not None and not (os.path.isfile(path) and os.access(path, os.R_OK)):
        raise UsageError(f'{option} {path}: no such file' if not os.path.exists(path)
                         else f'{option} {path}: cannot be read')


def signed_data(path):
    """The first certificate's bytes when it is a PKCS #7 SignedData, b'' when
    the table holds something else, None when the image has no table. The
    table lies outside the sections (its address is a file offset), where
    pefile does not look."""
    try:
        pe = pefile.PE(str(path), fast_load=True)
    except pefile.PEFormatError as error:
        raise UsageError(f'{path}: not a PE image ({error})')
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    security = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']
    if len(directories) <= security:
        return None
    entry = directories[security]
    data = pe.__data__
    if entry.VirtualAddress == 0 or entry.Size < 8:
        return None
    if entry.VirtualAddress + entry.Size > len(data):
        return b''
    length, _, cert_type = struct.unpack_from('<IHH', data, entry.VirtualAddress)
    if cert_type != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= entry.Size:
        return b''
    return bytes(data[entry.VirtualAddress + 8:entry.VirtualAddress + length])


def _timestamped(content):
    """Whether the signer carries a time stamp over its own signature: an
    RFC 3161 token whose imprint is the signature's hash, or a PKCS #9
    countersignature."""
    info = cms.ContentInfo.load(content)
    signer = info['content']['signer_infos'][0]
    attributes = signer['unsigned_attrs']
    if attributes.native is None:
        return False
    for attribute in attributes:
        kind = attribute['type'].dotted
        if kind == COUNTER_SIGNATURE:
            return True
        if kind == RFC3161_TOKEN:
            token = cms.ContentInfo.load(attribute['values'][0].dump())
            tst = token['content']['encap_content_info']['content'].parsed
            imprint = tst['message_imprint']
            algorithm = imprint['hash_algorithm']['algorithm'].native
            digest = hashlib.new(algorithm, signer['signature'].native).digest()
            return digest == imprint['hashed_message'].native
    return False


def check_signature(path, ca=None, tsa_ca=None):
    _readable_root('--ca', ca)
    _readable_root('--tsa-ca', tsa_ca)
    tsa_ca = tsa_ca or ca
    content = signed_data(path)
    if content is None:
        return SignatureCheck(False, None, None, None, [])
    if not content:
        return SignatureCheck(False, None, None, None,
                              ['the certificate table holds no PKCS #7 SignedData'])
    try:
        timestamped = _timestamped(content)
    except (ValueError, KeyError, TypeError, IndexError):
        return SignatureCheck(False, None, None, None,
                              ['the certificate table holds a damaged PKCS #7 SignedData'])
    tool = shutil.which('osslsigncode')
    if tool is None:
        raise ToolError('osslsigncode is missing; ./bootpack deps installs it')
    command = [tool, 'verify', '-in', str(path)]
    if ca:
        command += ['-CAfile', str(ca), '-TSA-CAfile', str(tsa_ca)]
    result = subprocess.run(command, capture_output=True, text=True, errors='replace')
    report = result.stdout
    digests = re.findall(r'(?:Current|Calculated) message digest\s*:\s*([0-9A-F]+)', report)
    digest_matches = len(digests) == 2 and digests[0] == digests[1]
    # osslsigncode follows the chain only for a signature whose digest matches.
    chain_valid = None
    if ca and digest_matches:
        chain_valid = result.returncode == 0 and 'Signature verification: ok' in report
    problems = []
    if len(digests) != 2:
        problems.append('osslsigncode could not read the signature\'s digest: '
                        + last_line(result.stderr or report))
    elif not digest_matches:
        problems.append('the signature\'s digest does not match the file')
    if not timestamped:
        problems.append('the signature carries no time stamp')
    if chain_valid is False:
        problems.append(f'the signature does not verify against {ca}')
    return SignatureCheck(True, digest_matches, timestamped, chain_valid, problems)
