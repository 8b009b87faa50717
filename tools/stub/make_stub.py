#!/usr/bin/env python3
"""Makes the stub bootpack.exe from the linked code image, at build time:
the code image with a resource section that holds the application icon
(drawn by src/resources/draw_icon.py), the version block
(src/resources/version_block.json) and the manifest, and no payload.

Through the packer's own writer, so the stub and every installer share one
layout. The build is reproducible: the header's time stamp and the
copyright year come from SOURCE_DATE_EPOCH when it is set, otherwise from
the commit, never from the clock; LastChange names the commit. Packing later
takes LastChange from the stub, so a release machine needs no checkout.
"""
import argparse
import datetime
import json
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
RESOURCES = REPO / 'src' / 'resources'
import draw_icon
from bootpack.cli import output_file, run_tool
from bootpack.icon_file import IconImage
from bootpack.image_resources import branded_strings, image_resources
from bootpack.image_writer import write_image
from bootpack.pe_stub import StubImage
from bootpack.version_block import parse_version


def _git(*args):
    result = subprocess.run(['git', '-C', str(REPO)] + list(args),
                            capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ''


def source_revision():
    """(LastChange, time stamp): the revision, branch and commit count the
    build comes from, and the time of that commit or SOURCE_DATE_EPOCH.
    Outside a checkout: zeros, and SOURCE_DATE_EPOCH or 0."""
    epoch = os.environ.get('SOURCE_DATE_EPOCH', '')
    revision = _git('rev-parse', 'HEAD')
    if re.fullmatch(r'[0-9a-f]{40}', revision):
        branch = _git('rev-parse', '--abbrev-ref', 'HEAD') or 'unknown'
        count = _git('rev-list', '--count', 'HEAD') or '0'
        last_change = f'{revision}-{branch}@{count}'
        epoch = epoch or _git('log', '-1', '--format=%ct', 'HEAD')
    else:
        last_change = '0' * 40 + '-unknown@0'
    return last_change, int(epoch) if epoch.isdigit() else 0


def icon_images():
    """The drawn icon's images, with their icon directory entries."""
    return [IconImage(struct.pack('<BBBBHHI', size % 256, size % 256, 16 if bits == 4 else 0, 0,
                                  1, bits, len(data)), data)
            for size, bits, data in draw_icon.icon_images()]


def make_stub(code_image, out, icon=True):
    """Writes out from the code image. icon=False leaves the icon out, for
    measuring the stub's own size alone."""
    last_change, stamp = source_revision()
    year = datetime.datetime.fromtimestamp(stamp, datetime.timezone.utc).year
    with open(RESOURCES / 'version_block.json', encoding='utf-8') as f:
        inputs = json.load(f)
    version = parse_version(inputs['default_version'])
    strings = branded_strings(
        {'LastChange': last_change}, version, Path(out).stem,
        company=inputs['company_name'], company_short=inputs['company_short_name'],
        product=inputs['product_name'], product_short=inputs['product_short_name'],
        copyright=f'Copyright {year} {inputs["copyright_holder"]} All rights reserved.')
    manifest = (RESOURCES / 'installer.manifest').read_bytes()
    resources = image_resources(icon_images() if icon else [], version, strings, manifest)
    stub = StubImage(code_image)
    with output_file(out, [code_image]) as partial:
        write_image(stub, resources, partial, timestamp=stamp)


def main(argv=None):
    parser = argparse.ArgumentParser(prog='make_stub', description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--code', required=True, type=Path, help='the linked code image')
    parser.add_argument('--out', required=True, type=Path, help='the stub to write')
    args = parser.parse_args(argv)
    make_stub(args.code, args.out)
    return 0


if __name__ == '__main__':
    sys.exit(run_tool('make_stub', main))
