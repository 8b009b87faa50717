"""The signature alone (sign --detached-signature): the PKCS #7 SignedData
taken out of the signed image's certificate table, DER, as attach reads it.

Read here rather than by osslsigncode's extract-signature, whose output
differs between versions (2.5 keeps the 8-byte WIN_CERTIFICATE header).
"""
import contextlib
import tempfile
from pathlib import Path

from asn1crypto import parser

from bootpack.cli import ToolError, output_file
from bootpack.image_digest import image_layout
from bootpack.signature import (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA, Broken,
                                signed_data_der)


def detached_signature(signed):
    """The DER SignedData of the image SIGNED, without the table's padding."""
    layout = image_layout(signed)
    if layout.table is None:
        raise Broken('the image has no certificate table')
    der = signed_data_der(signed, layout)
    try:
        _, _, _, header, contents, trailer = parser.parse(der)
    except ValueError:
        raise Broken('the certificate table holds no DER value') from None
    return der[:len(header) + len(contents) + len(trailer)]


def write_detached_signature(signed, path, inputs):
    """Writes PATH: the signature of SIGNED alone, for attaching to a
    rebuilt installer."""
    try:
        der = detached_signature(signed)
    except Broken as error:
        raise ToolError(f'the signature could not be written to {path}: {error}') from None
    with output_file(path, inputs=inputs) as partial:
        partial.write_bytes(der)


def certificate_table_entry(der):
    """DER as the certificate table holds it: a WIN_CERTIFICATE, padded to 8 bytes."""
    padded = len(der) + 8 + (-len(der) % 8)
    return (padded.to_bytes(4, 'little') + WIN_CERT_REVISION_2_0.to_bytes(2, 'little')
            + WIN_CERT_TYPE_PKCS_SIGNED_DATA.to_bytes(2, 'little') + der
            + bytes(padded - 8 - len(der)))


@contextlib.contextmanager
def signature_forms(path):
    """The detached signature at PATH in each form osslsigncode attach-signature
    may read: DER alone (2.9), else inside its WIN_CERTIFICATE header (2.5)."""
    with tempfile.TemporaryDirectory(prefix='bootpack-attach-') as scratch:
        wrapped = Path(scratch) / 'signature.bin'
        wrapped.write_bytes(certificate_table_entry(Path(path).read_bytes()))
        yield [Path(path), wrapped]
