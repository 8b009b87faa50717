"""bootpack verify: a plain yes or no on a signed installer, or on an
installer and the statement of what went into it."""
import argparse
import contextlib
from pathlib import Path

from bootpack.cli import ToolError, missing_input, shown
from bootpack.image_digest import DigestInBackground

DESCRIPTION = """\
Check FILE.exe's Authenticode signature against the roots given, and nothing
else: the system's certificate store is not consulted.

With --provenance STATEMENT.json (written by bootpack pack --provenance),
check instead that FILE.exe, signed or not, is the statement's subject, and
that each --input file is the one of its name the statement records; with
--ca the signature is checked as well.

Exit status: 0 when the signature covers the image unchanged, its certificate
chains to --ca and it carries a valid time stamp whose authority chains to
--tsa-ca (by default the same root), and with --provenance when the installer
and every input match the statement; 1, with one line saying which of these
failed, when any does not hold; 2 for a usage error or an input that cannot
be read (no such file, not a PE image, a statement that is not one or lacks
a field); 3 for an internal error.

examples:
  bootpack verify BriselInstaller.exe --ca release-root.pem --tsa-ca tsa-root.pem
  bootpack verify BriselInstaller.exe --provenance BriselInstaller.json \\
      --input product.7z --input setup.exe --ca release-root.pem
"""


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack verify', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', metavar='FILE.exe', help='the installer')
    parser.add_argument('--ca', metavar='ROOT.pem',
                        help='root certificate(s) the signing certificate must chain to (PEM); '
                        'required without --provenance')
    parser.add_argument('--tsa-ca', metavar='ROOT.pem',
                        help="root certificate(s) of the time-stamp authority (PEM; "
                        "default: --ca)")
    parser.add_argument('--provenance', metavar='STATEMENT.json',
                        help='the statement FILE.exe must be the subject of')
    parser.add_argument('--input', action='append', default=[], metavar='PATH',
                        help='an input the statement records, to check against it '
                        '(repeatable; with --provenance)')
    args = parser.parse_args(argv)
    if not args.ca and not args.provenance:
        parser.error('the following arguments are required: --ca (or --provenance)')
    if args.input and not args.provenance:
        parser.error('--input goes with --provenance')
    for path in [args.file] + args.input:
        if not Path(path).is_file():
            raise missing_input(path)
    # The digest's pass over the image is most of the work: it starts before
    # the statement and the signature's libraries are even imported.
    with DigestInBackground(args.file) if args.ca else contextlib.nullcontext() as digests:
        said = verified(args, digests)
    print(f'{args.file}: ' + '; '.join(said))
    return 0


def verified(args, digests):
    """What holds of the installer, one clause each; ToolError when anything
    asked for does not."""
    from bootpack.provenance import provenance_problems, read_statement
    from bootpack.signature import check_signature
    said = []
    if args.provenance:
        document = read_statement(args.provenance)
        problems = provenance_problems(args.file, document, args.input)
        if problems:
            raise ToolError(f'{shown(args.file)}: ' + '; '.join(problems))
        said.append(f'the subject of {shown(args.provenance)}'
                    + (f', with {len(args.input)} input(s) as recorded' if args.input else ''))
    if args.ca:
        check = check_signature(args.file, args.ca, args.tsa_ca, digests=digests)
        if check.problems:
            raise ToolError(f'{shown(args.file)}: ' + '; '.join(check.problems))
        said.append(f'signature valid: the digest matches the image, the certificate '
                    f'chains to {args.ca}, time-stamped')
    return said
