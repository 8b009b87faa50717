"""./bootpack verify: a plain yes or no on a signed installer."""
import argparse
from pathlib import Path

from bootpack.cli import ToolError, UsageError
from bootpack.signature import check_signature

DESCRIPTION = """\
Check FILE.exe's Authenticode signature against the roots given, and nothing
else: the system's certificate store is not consulted.

Exit status: 0 when the signature covers the image unchanged, its certificate
chains to --ca and it carries a valid time stamp whose authority chains to
--tsa-ca (by default the same root); 1, with one line saying which of these
failed, when any does not hold; 2 for a usage error or an input that cannot
be read (no such file, not a PE image).

example:
  ./bootpack verify BriselInstaller.exe --ca release-root.pem --tsa-ca tsa-root.pem
"""


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack verify', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', metavar='FILE.exe', help='the signed image')
    parser.add_argument('--ca', required=True, metavar='ROOT.pem',
                        help='root certificate(s) the signing certificate must chain to (PEM)')
    parser.add_argument('--tsa-ca', metavar='ROOT.pem',
                        help="root certificate(s) of the time-stamp authority (PEM; "
                        "default: --ca)")
    args = parser.parse_args(argv)
    if not Path(args.file).is_file():
        raise UsageError(f'{args.file}: no such file')
    check = check_signature(args.file, args.ca, args.tsa_ca)
    if check.problems:
        raise ToolError(f'{args.file}: ' + '; '.join(check.problems))
    print(f'{args.file}: signature valid: the digest matches the image, the certificate '
          f'chains to {args.ca}, time-stamped')
    return 0
