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
import struct
from pathlib import Path

import pefile

from bootpack.cli import ToolError, UsageError, missing_input, shown
from bootpack.inspect.findings import Report
from bootpack.inspect.image_checks import (check_headers, check_load_config, check_payload,
                                           check_resources)
from bootpack.inspect.payload_stage import run_payload_stage
from bootpack.pe_image import open_image
from bootpack.provenance import provenance_problems, read_statement
from bootpack.image_digest import layout_of
from bootpack.signature import check_signature

# What a damaged image makes the readers raise (pefile's own error, struct's
# for a field cut short, ValueError for bytes that are no text or number, and
# the formats' own errors); each check is cut short with a finding instead.
# Anything else is a fault of inspect, which must not pass for the file's.
MALFORMED = (pefile.PEFormatError, struct.error, ValueError, ToolError)


def check_signature_section(report, path, ca, tsa_ca=None, layout=None):
    found = report.section('Signature')
    check = check_signature(path, ca, tsa_ca, layout)
    if not check.present:
        # Asked for a chain to a root, an unsigned image is not what was asked for.
        found.line(f'none: unsigned, though --ca {ca} asks for a signature' if ca else
                   'none (bootpack sign adds one)', not ca)
        return
    report.signature = {'present': check.present, 'digest_matches': check.digest_matches,
                        'timestamped': check.timestamped, 'chain_valid': check.chain_valid}
    for problem in check.problems:
        found.line(problem, False)
    # What fails is among the problems above; these say what holds.
    if check.digest_matches:
        found.line('digest: matches the file')
    if check.timestamped:
        found.line('time stamp: present, over this signature')
    if check.chain_valid:
        found.line(f'chain: valid up to {ca}')
    elif check.chain_valid is None and not ca:
        found.line('chain: not checked (give --ca ROOT.pem to verify it)')


def check_provenance_section(report, path, statement):
    found = report.section('Provenance')
    document = read_statement(statement)
    problems = provenance_problems(path, document)
    report.provenance = {'statement': str(statement), 'subject': not problems,
                         'problems': problems}
    for problem in problems:
        found.line(problem, False)
    if not problems:
        found.line(f'the subject of {statement}')


def inspect(path, ca=None, run=True, tsa_ca=None, statement=None):
    """The findings about the image at PATH, or UsageError when it is no image."""
    size = Path(path).stat().st_size
    try:
        pe = open_image(path)
    except pefile.PEFormatError as error:
        raise UsageError(f'{shown(path)}: not a PE image ({shown(error)})')
    report = Report(str(path), size)
    for check in (check_headers, check_load_config, check_resources, check_payload):
        try:
            check(pe, report)
        except MALFORMED as error:
            report.sections[-1].line(f'malformed, could not be read further: {shown(error)}',
                                     False)
    layout = layout_of(pe, path)
    pe.close()
    check_signature_section(report, path, ca, tsa_ca, layout)
    if statement:
        check_provenance_section(report, path, statement)
    if run:
        run_payload_stage(report, path)
    return report


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
    report = inspect(args.file, args.ca, not args.no_run, args.tsa_ca, args.provenance)
    if args.json:
        print(json.dumps(report.as_json(), indent=2))
    else:
        print(report.as_text())
    return 0 if report.ok else 1
