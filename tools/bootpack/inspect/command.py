"""Checks an installer image before it ships: its headers and load
configuration, the resources Windows and the shell read, the payload, the
signature, and the outcome the stub will reach with this payload.

The outcome comes from the stub's own payload stage, run under Wine on the
image loaded as data (inspect_payload.exe, built from the same sources as the
stub), so inspect and the stub cannot disagree.

Exit status: 0 when every property holds, the stub would go on to start setup
(not checked with --no-run) and a signature, if there is one, matches the
file, is time-stamped and, with --ca, leads to that root (with --ca, an
unsigned image fails); 1 when anything is wrong; 2 for a usage error or an
input that cannot be read (a FILE that is no PE image, a --ca file that is
missing); 3 for an internal error.

--json prints one JSON document instead of the text, from the same findings:
  ok          the verdict: true exactly when the exit status is 0
  problems    every finding that fails the verdict, one line each
  outcome     {"exit_code": N, "detail": N} of the payload stage; null with
              --no-run or when the stage could not run
  signature   null when the image is unsigned, else {"present",
              "digest_matches", "timestamped", "chain_valid"}; chain_valid is
              null without --ca
  provenance  with --provenance: {"statement", "subject", "problems"}, whether
              the image is the statement's subject and what differs; else null
  sections    every finding, as {"title", "lines": [{"text", "ok"}]}
"""
import argparse
import json
from pathlib import Path

from bootpack.cli import UsageError, missing_input
from bootpack.image_digest import DigestInBackground


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack inspect', description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', metavar='FILE.exe')
    parser.add_argument('--ca', metavar='ROOT.pem',
                        help='root certificate (PEM) the signature must lead to')
    parser.add_argument('--tsa-ca', metavar='ROOT.pem',
                        help='root (PEM) the time stamp must lead to, when its authority '
                        'is not under --ca (default: --ca)')
    parser.add_argument('--no-run', action='store_true',
                        help='leave out the outcome (which runs the payload stage under Wine)')
    parser.add_argument('--provenance', metavar='STATEMENT.json',
                        help='the statement (bootpack pack --provenance) the image must be '
                        'the subject of')
    parser.add_argument('--json', action='store_true',
                        help='print one JSON document instead of the text')
    args = parser.parse_args(argv)
    if not Path(args.file).is_file():
        raise missing_input(args.file)
    if args.tsa_ca and not args.ca:
        raise UsageError('--tsa-ca goes with --ca')
    # The digest's pass over the image is most of the work: it runs while the
    # checks' libraries are imported and the image is parsed.
    with DigestInBackground(args.file) as digests:
        from bootpack.inspect.gate import inspect
        report = inspect(args.file, args.ca, not args.no_run, args.tsa_ca, args.provenance,
                         digests)
    if args.json:
        print(json.dumps(report.as_json(), indent=2))
    else:
        print(report.as_text())
    return 0 if report.ok else 1
