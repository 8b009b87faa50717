"""The release gate's checks of one installer, in the order a reader wants
them: headers, load configuration, resources, payload, signature,
provenance and the payload stage's outcome."""
import struct
from pathlib import Path

import pefile

from bootpack.cli import ToolError, UsageError, shown
from bootpack.image_digest import layout_of
from bootpack.inspect.findings import Report
from bootpack.inspect.image_checks import (check_headers, check_load_config, check_payload,
                                           check_resources)
from bootpack.inspect.payload_stage import run_payload_stage
from bootpack.pe_image import open_image
from bootpack.provenance import provenance_problems, read_statement
from bootpack.signature import check_signature

# What a damaged image makes the readers raise (pefile's own error, struct's
# for a field cut short, ValueError for bytes that are no text or number, and
# the formats' own errors); each check is cut short with a finding instead.
# Anything else is a fault of inspect, which must not pass for the file's.
MALFORMED = (pefile.PEFormatError, struct.error, ValueError, ToolError)


def check_signature_section(report, path, ca, tsa_ca=None, layout=None, digests=None):
    found = report.section('Signature')
    check = check_signature(path, ca, tsa_ca, layout, digests)
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


def inspect(path, ca=None, run=True, tsa_ca=None, statement=None, digests=None):
    """The findings about the image at PATH, or UsageError when it is no image.
    DIGESTS, a DigestInBackground of PATH, saves waiting for the digest."""
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
    check_signature_section(report, path, ca, tsa_ca, layout, digests)
    if statement:
        check_provenance_section(report, path, statement)
    if run:
        run_payload_stage(report, path)
    return report
