"""Packs a product: the archive and the setup program under the names and
types the stub expects, checked before anything is built.

Every check here stands for a layout the stub would refuse at run time (it
would end with 112 or 115 on the user's machine) or for one that would be
unsafe there: a setup name that leaves the work directory or is no file name.
A refused layout leaves no output file.
"""
import dataclasses
import sys
from pathlib import Path

from bootpack.cli import ToolError, UsageError, missing_input, shown
from bootpack.pack.installer import check_installer, open_stub, write_installer
from bootpack.pack.outputs import pack_outputs
from bootpack.pack.request import SETUP_STORAGES
from bootpack.pack.statement import write_statement
from bootpack.payload import (ARCHIVE_PREFIX, CABINET_TYPE, NAMED_TYPE, PLAIN_TYPE, SETUP_PREFIX,
                              PayloadError, archive_name_problem, check_7z_container,
                              check_setup_image)
from bootpack.resource_section import LANG_EN_US, Resource
from bootpack.version_block import parse_version

ARCHIVE_TYPE = PLAIN_TYPE
DEFAULT_ARCHIVE_NAME = 'BRISEL.7Z'
DEFAULT_SETUP_NAMES = {PLAIN_TYPE: 'SETUP.EXE', NAMED_TYPE: 'SETUP.EXE', CABINET_TYPE: 'SETUP.EX_'}
# The stub keeps names in buffers of 260 characters with the terminator.
MAX_NAME_LENGTH = 259

FORBIDDEN_FILE_NAME_CHARACTERS = set('<>:"/\\|?*')
RESERVED_DEVICE_NAMES = (
    {'CON', 'PRN', 'AUX', 'NUL', 'CONIN$', 'CONOUT$'}
    | {f'{port}{n}' for port in ('COM', 'LPT') for n in list('0123456789') + ['¹', '²', '³']})


class LayoutError(ToolError):
    """A layout the stub would refuse or that would be unsafe; one line."""


@dataclasses.dataclass(frozen=True)
class ProductLayout:
    """A product checked to be one the stub takes: what pack stores, and how."""
    archive: Path
    archive_name: str
    archive_size: int
    setup: Path
    setup_name: str
    setup_size: int
    storage: str                 # BN, BL or B7
    version: list[int] | None    # four numbers, or None for the stub's
    warnings: list[str]          # what a user will see of this setup, one line each


def starts_with_ignoring_case(text, prefix):
    """ASCII-only case folding, as the stub compares names."""
    fold = str.maketrans('ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz')
    return text[:len(prefix)].translate(fold) == prefix


def check_resource_name(name, prefix, what):
    if not name:
        raise LayoutError(f'the {what} name is empty')
    if not starts_with_ignoring_case(name, prefix):
        raise LayoutError(f'the {what} name {name!r} must start with "{prefix}" '
                          '(ASCII case ignored), or the stub refuses it')
    if len(name) > MAX_NAME_LENGTH:
        raise LayoutError(f'the {what} name has {len(name)} characters; the stub refuses '
                          f'names of {MAX_NAME_LENGTH + 1} or more')
    if any(ord(c) < 0x20 for c in name):
        raise LayoutError(f'the {what} name {name!r} holds a control character')


def check_file_name(name):
    """A name the stub writes into its work directory as a file: one plain
    component that Windows accepts as it is, and no device."""
    bad = sorted(set(c for c in name if c in FORBIDDEN_FILE_NAME_CHARACTERS))
    if bad:
        reason = ('a path separator' if set(bad) & {'/', '\\'} else
                  'a drive colon' if ':' in bad else 'a character Windows does not allow')
        raise LayoutError(f'the setup name {name!r} is used as a file name and holds '
                          f'{reason} ({" ".join(bad)})')
    if name.endswith(('.', ' ')):
        raise LayoutError(f'the setup name {name!r} ends with a dot or a space, which '
                          'Windows drops from file names')
    base = name.split('.')[0].rstrip(' ').upper()
    if base in RESERVED_DEVICE_NAMES:
        raise LayoutError(f'the setup name {name!r} is the reserved device name {base}')


def check_archive_name(name):
    check_resource_name(name, ARCHIVE_PREFIX, 'archive')
    problem = archive_name_problem(name)
    if problem:
        raise LayoutError(problem)


def check_setup_name(name, storage):
    check_resource_name(name, SETUP_PREFIX, 'setup')
    # "BN" is written as setup.exe; "B7" and "BL" under the resource's own name.
    if storage != PLAIN_TYPE:
        check_file_name(name)
    # The cabinet is written under its own name and expanded into setup.exe
    # beside it: the two must not be one file.
    if storage == CABINET_TYPE and name.lower() == 'setup.exe':
        raise LayoutError(f'the setup name {name!r} is the name the cabinet expands to; '
                          'a BL setup needs another name, such as SETUP.EX_')


def check_payload_file(path, what):
    if not path.exists():
        raise missing_input(path, f'the {what}')
    if not path.is_file():
        raise LayoutError(f'the {what} {shown(path)} is not a regular file')
    size = path.stat().st_size
    if size == 0:
        raise LayoutError(f'the {what} {shown(path)} is empty; the stub takes an empty '
                          'resource for a missing one')
    return size


def check_archive(path):
    size = check_payload_file(path, 'archive')
    try:
        with open(path, 'rb') as stream:
            check_7z_container(stream, 0, size)
    except PayloadError as error:
        raise LayoutError(f'the archive {shown(path)} {error}')
    return size


def check_setup(path):
    """setup's size and the warnings a user-visible difference deserves."""
    size = check_payload_file(path, 'setup program')
    try:
        with open(path, 'rb') as stream:
            warnings = check_setup_image(stream, 0, size)
    except PayloadError as error:
        raise LayoutError(f'the setup program {shown(path)} {error}')
    return size, warnings


def validate(product):
    """The ProductLayout of PRODUCT (ProductOptions), or LayoutError."""
    storage = product.setup_storage or PLAIN_TYPE
    if product.archive is None or product.setup is None:
        raise UsageError('a product needs both --archive and --setup')
    version = parse_version(product.version) if product.version else None
    if product.version and version is None:
        raise UsageError(f'--version {product.version!r} must be four numbers from '
                         '0 to 65535, as A.B.C.D')
    archive_name = product.archive_name or DEFAULT_ARCHIVE_NAME
    setup_name = product.setup_name or DEFAULT_SETUP_NAMES[storage]
    check_archive_name(archive_name)
    check_setup_name(setup_name, storage)
    archive_size = check_archive(product.archive)
    setup_size, setup_warnings = check_setup(product.setup)
    return ProductLayout(product.archive, archive_name, archive_size, product.setup, setup_name,
                         setup_size, storage, version, setup_warnings)


class Progress:
    """Shows how far the copy of a large resource has got, on a terminal only."""

    def __init__(self, stream=sys.stderr):
        self._stream = stream
        self._shown = stream.isatty()

    def __call__(self, resource, done, total):
        if self._shown and total >= (64 << 20):
            self._stream.write(f'\rpack: copying {resource.name} {done >> 20}/{total >> 20} MiB')
            if done >= total:
                self._stream.write('\n')
            self._stream.flush()


def pack_product(request):
    """Packs REQUEST (a PackRequest with its product options)."""
    layout = validate(request.product)
    for warning in layout.warnings:
        print(f'bootpack pack: warning: {warning}', file=sys.stderr)
    stub = open_stub(request.stub)
    inputs = (layout.archive, layout.setup, stub.path, request.branding.icon)
    payload = [Resource(ARCHIVE_TYPE, layout.archive_name, LANG_EN_US, layout.archive_size,
                        layout.archive),
               Resource(layout.storage, layout.setup_name, LANG_EN_US, layout.setup_size,
                        layout.setup)]
    # The setup, second in the payload, goes into a cabinet for BL.
    cabinets = [1] if layout.storage == CABINET_TYPE else []
    check_installer(request.branding, stub, payload, request.internal_name, layout.version,
                    cabinets=set(cabinets))
    with pack_outputs(request.out, request.provenance, inputs) as (image, scratch, statement):
        packed = payload
        if cabinets:
            from bootpack.pack.cabinet import in_cabinets
            packed = in_cabinets(payload, cabinets, scratch)
        write_installer(request.branding, stub, packed, image, request.internal_name,
                        version=layout.version, progress=Progress())
        if statement:
            write_statement(request, stub, payload, image, statement, cabinets)
    return 0


def add_product_options(parser):
    group = parser.add_argument_group('product mode (instead of --resource)')
    group.add_argument('--archive', metavar='FILE', help='the product archive (7z)')
    group.add_argument('--setup', metavar='FILE', help='the setup program (a PE image)')
    group.add_argument('--setup-storage', metavar='BN|BL|B7', default=None, type=str.upper,
                       choices=SETUP_STORAGES,
                       help='how setup is stored: BN as it is (default), BL in a cabinet '
                       '(MSZIP), B7 as it is under its own name')
    group.add_argument('--archive-name', metavar='NAME',
                       help=f'the archive\'s resource name (default {DEFAULT_ARCHIVE_NAME})')
    group.add_argument('--setup-name', metavar='NAME',
                       help='setup\'s resource name (default SETUP.EXE, or SETUP.EX_ for BL)')
    group.add_argument('--version', metavar='A.B.C.D',
                       help='the version in the version block (default: the stub\'s)')
