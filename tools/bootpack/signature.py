"""The check of an image's Authenticode signature that verify and inspect
share: does the signature cover the image unchanged, does it carry a valid
time stamp, and do both chain to the roots given?

The signature is read from the image itself with asn1crypto; the RSA
signatures are checked with python3-cryptography and the certificate chains
with openssl verify. Nothing here trusts the system's certificate store.
"""
import dataclasses
import hashlib
import subprocess
import tempfile
from pathlib import Path

from asn1crypto import algos, cms, core, pem, tsp, x509  # noqa: F401 (tsp registers tst_info)
from cryptography import x509 as crypto_x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from bootpack.cli import UsageError, shown
from bootpack.image_digest import authenticode_digest, image_layout

WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
DAMAGED = 'the signature cannot be read: its ASN.1 structure is damaged'
SIGNED_HASHES = {'sha1': hashes.SHA1, 'sha256': hashes.SHA256, 'sha384': hashes.SHA384,
                 'sha512': hashes.SHA512}


@dataclasses.dataclass
class SignatureCheck:
    present: bool                  # a certificate table with a PKCS#7 SignedData
    digest_matches: bool | None    # None when not present
    timestamped: bool | None       # a valid RFC 3161 / Authenticode time-stamp countersignature
    chain_valid: bool | None       # None when no root was given (or not present)
    problems: list[str]            # one line each, empty when all checked properties hold


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('value', core.Any, {'optional': True})]


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the digest of the image."""
    _fields = [('data', SpcAttributeTypeAndOptionalValue), ('message_digest', algos.DigestInfo)]


class Broken(UsageError):
    """A signature whose structure cannot be what it claims: one line."""


def check_signature(path, ca=None, tsa_ca=None, layout=None, digests=None):
    """The one pass over the image is the digest's: LAYOUT, when the caller
    has parsed the image already, saves parsing it again, and DIGESTS (a
    DigestInBackground, or anything whose digest(layout, algorithm) gives
    the image's digest) lets that pass run while the rest is checked."""
    roots = read_roots(ca, '--ca') if ca else None
    tsa_roots = read_roots(tsa_ca, '--tsa-ca') if tsa_ca else roots
    layout = layout or image_layout(path)
    if layout.table is None:
        return SignatureCheck(False, None, None, None, ['not signed: no certificate table'])
    check = SignatureCheck(True, False, False, None, [])
    try:
        signed, signer, leaf = read_signed_data(path, layout)
        indirect = indirect_data(signed)
        algorithm, digest = signed_digest(indirect)
        if algorithm not in hashlib.algorithms_available:
            raise Broken(f'the signature uses an unknown digest algorithm {algorithm}')
    except Broken as error:
        check.problems.append(str(error))
        return check
    except ValueError:  # asn1crypto's word for a structure it cannot parse
        check.problems.append(DAMAGED)
        return check
    # The time stamp and the chains need nothing of the image's bytes: they
    # are checked first, while a digest in the background is still running.
    # Their problems follow the digest's, which says the most.
    later = SignatureCheck(True, None, False, None, [])
    try:
        when = check_timestamp(signer, signed, tsa_roots, later)
    except (Broken, ValueError) as error:
        later.problems.append(f'the time stamp cannot be read: {shown(error)}')
        when = None
    check.timestamped = later.timestamped
    if roots is not None:
        check.chain_valid = chains_to(leaf, certificates_of(signed), roots, when, 'any',
                                      'the signing certificate', later.problems)
        if check.chain_valid and not is_for_code_signing(leaf, later.problems):
            check.chain_valid = False
    try:
        actual = digests.digest(layout, algorithm) if digests else \
            authenticode_digest(path, layout, algorithm)
        check.digest_matches = covers_the_image(actual, digest, indirect, signer, leaf,
                                                check.problems)
    except Broken as error:
        check.problems.append(str(error))
    except ValueError:
        check.problems.append(DAMAGED)
    check.problems += later.problems
    return check


def read_roots(path, option):
    """(name, PEM bytes) of a root file, which must hold a certificate."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        raise UsageError(f'{option} {path}: no such file') from None
    except OSError as error:
        raise UsageError(f'{option} {path}: {error.strerror}') from None
    try:
        roots = [x509.Certificate.load(der).subject for _, _, der
                 in pem.unarmor(data, multiple=True)] if pem.detect(data) else []
    except ValueError:
        roots = []
    if not roots:
        raise UsageError(f'{option} {path}: no PEM certificate in it')
    return str(path), data


def read_signed_data(path, layout):
    return parse_signed_data(signed_data_der(path, layout))


def signed_data_der(path, layout):
    """The certificate table's SignedData, without its WIN_CERTIFICATE
    header (and with whatever padding to 8 bytes follows it)."""
    offset, size = layout.table
    if offset + size > layout.size or size < 8:
        raise Broken('the certificate table lies outside the file')
    if offset + size != layout.size:
        raise Broken('data follows the certificate table, outside the signature')
    with open(path, 'rb') as image:
        image.seek(offset)
        table = image.read(size)
    length = int.from_bytes(table[0:4], 'little')
    revision = int.from_bytes(table[4:6], 'little')
    cert_type = int.from_bytes(table[6:8], 'little')
    if cert_type != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        raise Broken('the certificate table holds no PKCS #7 SignedData')
    if revision != WIN_CERT_REVISION_2_0:
        raise Broken(f'the certificate table has revision {revision:#06x}, not 0x0200')
    return table[8:length]


def parse_signed_data(der):
    """(SignedData, its signer, the signer's certificate) of an Authenticode
    signature's DER, from a certificate table or a detached file."""
    try:
        info = cms.ContentInfo.load(der)
        signed = info['content']
        if info['content_type'].native != 'signed_data' or \
                signed['encap_content_info']['content_type'].dotted != SPC_INDIRECT_DATA:
            raise Broken('the certificate table holds no Authenticode signature')
        signer = only_signer(signed, 'the signature')
        return signed, signer, signer_certificate(signer, signed)
    except ValueError:
        raise Broken(DAMAGED) from None


def only_signer(signed, what):
    """The one signer of a SignedData, which Authenticode and RFC 3161 require."""
    signers = signed['signer_infos']
    if len(signers) != 1:
        raise Broken(f'{what} has {len(signers)} signers, not one')
    return signers[0]


def indirect_data(signed):
    """What the SignedData signs: the SpcIndirectDataContent with the digest."""
    content = signed['encap_content_info']['content']
    if isinstance(content, core.Void):
        raise Broken('the signature signs no content')
    return content.parse(SpcIndirectDataContent)


def signed_digest(indirect):
    """(algorithm, digest) of the image, as the signature records it."""
    info = indirect['message_digest']
    return info['digest_algorithm']['algorithm'].native, info['digest'].native


def certificates_of(signed):
    return [c.chosen for c in signed['certificates'] if c.name == 'certificate']


def signer_certificate(signer, signed):
    sid = signer['sid']
    for cert in certificates_of(signed):
        if sid.name == 'issuer_and_serial_number':
            if (cert.issuer == sid.chosen['issuer']
                    and cert.serial_number == sid.chosen['serial_number'].native):
                return cert
        elif cert.key_identifier == sid.chosen.native:
            return cert
    raise Broken("the signer's certificate is not in the signature")


def covers_the_image(actual, digest, indirect, signer, leaf, problems):
    """Whether the signed DIGEST is the image's (ACTUAL), and the signer's
    signature covers it."""
    if actual != digest:
        problems.append('the digest does not match: the image was changed after signing')
        return False
    # The signed digest must be the one the signer's RSA signature covers.
    if not signer_signature_holds(signer, leaf, indirect.contents):
        problems.append('the signature over the digest does not verify with the signing '
                        'certificate')
        return False
    return True


def signed_attribute(signer, name):
    for attribute in signer['signed_attrs']:
        if attribute['type'].native == name:
            return first_value(attribute).native
    return None


def first_value(attribute):
    """The value of an attribute, which holds one."""
    values = attribute['values']
    if len(values) != 1:
        raise Broken(f'the attribute {attribute["type"].dotted} holds {len(values)} values, '
                     'not one')
    return values[0]


def signer_signature_holds(signer, cert, content):
    """The signed attributes carry CONTENT's digest, and the signer's RSA
    signature over them verifies with CERT's key."""
    algorithm = signer['digest_algorithm']['algorithm'].native
    if signed_attribute(signer, 'message_digest') != hashlib.new(algorithm, content).digest():
        return False
    attributes = signer['signed_attrs'].dump()
    attributes = b'\x31' + attributes[1:]  # signed as a SET, stored as [0] IMPLICIT
    key = crypto_x509.load_der_x509_certificate(cert.dump()).public_key()
    if not isinstance(key, rsa.RSAPublicKey) or algorithm not in SIGNED_HASHES:
        return False  # an Authenticode signature here is RSA over one of these
    try:
        key.verify(signer['signature'].native, attributes, padding.PKCS1v15(),
                   SIGNED_HASHES[algorithm]())
    except (InvalidSignature, ValueError):
        return False
    return True


def time_stamp_of(signer):
    """The RFC 3161 token or the older countersignature in the signer's
    unsigned attributes, or None."""
    for attribute in signer['unsigned_attrs'] or []:
        kind = attribute['type'].native
        if kind == 'microsoft_time_stamp_token':
            return 'rfc3161', first_value(attribute)
        if kind == 'counter_signature':
            return 'countersignature', first_value(attribute)
    return None


def check_timestamp(signer, signed, tsa_roots, check):
    """Sets check.timestamped; returns the time stamp's time, or None."""
    found = time_stamp_of(signer)
    if found is None:
        check.problems.append('no time stamp: the signature dies with its certificate')
        return None
    kind, value = found
    stamped = signer['signature'].native
    if kind == 'rfc3161':
        token = value['content']
        if not isinstance(token, cms.SignedData):
            raise Broken('the time stamp holds no SignedData')
        content = token['encap_content_info']['content']
        info = None if isinstance(content, core.Void) else content.parsed
        if not isinstance(info, tsp.TSTInfo):
            raise Broken('the time stamp holds no TSTInfo')
        tsa_signer = only_signer(token, 'the time stamp')
        tsa_cert = signer_certificate(tsa_signer, token)
        imprint = info['message_imprint']
        algorithm = imprint['hash_algorithm']['algorithm'].native
        valid = (imprint['hashed_message'].native == hashlib.new(algorithm, stamped).digest()
                 and signer_signature_holds(tsa_signer, tsa_cert, info.dump()))
        when, pool = info['gen_time'].native, certificates_of(token)
    else:
        tsa_cert = signer_certificate(value, signed)
        valid = signer_signature_holds(value, tsa_cert, stamped)
        when, pool = signed_attribute(value, 'signing_time'), certificates_of(signed)
    if not valid:
        check.problems.append('the time stamp does not verify: it is not over this signature')
        return None
    if tsa_roots is not None and not chains_to(tsa_cert, pool, tsa_roots, when,
                                               'timestampsign', 'the time stamp',
                                               check.problems):
        return None
    check.timestamped = True
    return when


def chains_to(leaf, pool, roots, when, purpose, what, problems):
    """openssl verify of LEAF for PURPOSE against the ROOTS (name, PEM) alone,
    with POOL as intermediates, at the time WHEN (the time stamp's) if known.
    OpenSSL knows no code-signing purpose: is_for_code_signing checks that."""
    with tempfile.TemporaryDirectory(prefix='bootpack-chain-') as scratch:
        scratch = Path(scratch)
        root_name, root_data = roots
        (scratch / 'roots.pem').write_bytes(root_data)
        (scratch / 'leaf.pem').write_bytes(pem.armor('CERTIFICATE', leaf.dump()))
        (scratch / 'pool.pem').write_bytes(b''.join(pem.armor('CERTIFICATE', c.dump())
                                                    for c in pool))
        command = ['openssl', 'verify', '-no-CApath', '-no-CAstore',
                   '-CAfile', str(scratch / 'roots.pem'),
                   '-untrusted', str(scratch / 'pool.pem'), '-purpose', purpose]
        if when is not None:
            command += ['-attime', str(int(when.timestamp()))]
        result = subprocess.run(command + [str(scratch / 'leaf.pem')], capture_output=True,
                                text=True)
    if result.returncode == 0:
        return True
    reasons = [line.split(':', 1)[1].strip() for line in result.stdout.splitlines()
               + result.stderr.splitlines() if line.startswith('error ') and ':' in line]
    problems.append(f'{what} does not chain to {root_name}'
                    + (f' ({reasons[0]})' if reasons else ''))
    return False


def is_for_code_signing(cert, problems):
    try:
        usage = cert.extended_key_usage_value
        if usage is None or 'code_signing' in usage.native:
            return True
        problems.append('the signing certificate is not for code signing')
    except ValueError:
        problems.append('the signing certificate\'s extended key usage cannot be read')
    return False
