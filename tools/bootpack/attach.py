"""bootpack attach: a detached signature put onto the unsigned installer it
was made over, which gives, byte for byte, the installer that was signed."""
import argparse
import hashlib
from pathlib import Path

from bootpack.cli import ToolError, UsageError, missing_input, output_file, shown
from bootpack.sign.osslsigncode import first_plain_line, run_osslsigncode
from bootpack.image_digest import authenticode_digest, image_layout
from bootpack.sign.detached import signature_forms
from bootpack.signature import (Broken, check_signature, indirect_data, parse_signed_data,
                                signed_digest)

DESCRIPTION = """\
Put the detached signature FILE.p7s (written by bootpack sign
--detached-signature) onto INSTALLER.exe, unsigned, and write the signed
installer to --out. Before anything is written, the signature's digest must
be this installer's: a signature made over another installer is refused. The
result is checked as sign checks its own (with --ca, against that root too)
before it is kept.

An installer rebuilt from the same stub and inputs is byte for byte the one
that was signed, so attaching the published signature to it gives the
published signed installer, which anyone can compare.

Exit status: 0 when the signed installer is written; 1 when the signature
does not fit the installer or the result does not verify; 2 for a usage
error or an input that cannot be read; 3 for an internal error.

example:
  bootpack attach BriselInstaller.exe --signature BriselInstaller.p7s \\
      --out signed/BriselInstaller.exe --ca release-root.pem
"""


def detached_digest(path):
    """(algorithm, digest) that the detached signature at PATH signs."""
    try:
        return signed_digest(indirect_data(parse_signed_data(Path(path).read_bytes())[0]))
    except FileNotFoundError:
        raise missing_input(path) from None
    except (Broken, ValueError) as error:
        raise UsageError(f'{shown(path)}: not a detached Authenticode signature '
                         f'({shown(error)})') from None


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack attach', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', metavar='INSTALLER.exe', help='the unsigned installer')
    parser.add_argument('--signature', required=True, metavar='FILE.p7s',
                        help='the detached signature (DER PKCS #7 SignedData)')
    parser.add_argument('--out', required=True, metavar='SIGNED.exe',
                        help='the signed installer to write')
    parser.add_argument('--ca', metavar='ROOT.pem',
                        help='also check that the signature chains to this root (PEM)')
    parser.add_argument('--tsa-ca', metavar='ROOT.pem',
                        help="the time-stamp authority's root (PEM; default: --ca)")
    args = parser.parse_args(argv)
    source = Path(args.file)
    if not source.is_file():
        raise missing_input(source)
    layout = image_layout(source)
    if layout.table is not None:
        raise ToolError(f'{source} is signed already; attach to the unsigned installer')
    algorithm, digest = detached_digest(args.signature)
    if algorithm not in hashlib.algorithms_available or \
            authenticode_digest(source, layout, algorithm) != digest:
        raise ToolError('the signature was made over a different installer')
    with output_file(args.out, inputs=[source, args.signature], mode=0o755) as partial:
        partial.unlink()  # osslsigncode writes only a new file
        # osslsigncode checks what it attached against --ca, or else against
        # the system's roots, which a private root is not under: its verdict
        # then fails a good signature, so the file it wrote is checked here.
        roots = ['-CAfile', args.ca, '-TSA-CAfile', args.tsa_ca or args.ca] if args.ca else []
        with signature_forms(args.signature) as forms:
            for form in forms:
                ok, output = run_osslsigncode(['attach-signature', '-sigin', form, *roots,
                                               '-in', source, '-out', partial])
                if partial.is_file() or 'Unable to extract valid signature' not in output:
                    break
        if not partial.is_file() or (args.ca and not ok):
            raise ToolError(f'osslsigncode could not attach the signature: '
                            f'{first_plain_line(output)}')
        check = check_signature(partial, args.ca, args.tsa_ca)
        if check.problems:
            raise ToolError('the signed installer does not verify: ' + '; '.join(check.problems))
    print(f'attach: signed {args.out} with {args.signature}'
          + (f', verified against {args.ca}' if args.ca else ''))
    return 0
