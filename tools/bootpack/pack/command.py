"""Makes an installer: the bootpack stub image with a payload of resources."""
import argparse
import sys

from bootpack.cli import UsageError, missing_input
from bootpack.pack.installer import (add_installer_options, check_installer, open_stub,
                                     write_installer)
from bootpack.pack.outputs import pack_outputs
from bootpack.pack.statement import add_provenance_option, write_statement
from bootpack.pack.product import add_product_options, pack_product
from bootpack.pack.product_file import config_path, read_product_file
from bootpack.pack.request import pack_request
from bootpack.resource_section import LANG_EN_US, MAX_NAME_UNITS, Resource

DESCRIPTION = """\
Write FILE.exe: a copy of the stub image (the tested stub this bootpack
carries, or --stub) whose resource section holds the payload, the icon, the version
block and the manifest. The stub's code and data sections stay byte for
byte. Its base relocations move after the new resource section, their bytes
unchanged; of the headers, their section header, the base-relocation
directory entry and the fields that describe the resource section change.
Packing needs Python with pefile (and gcab for a setup stored as BL): no
compiler, linker or build tree. --provenance FILE.json also writes an in-toto
statement of what went into the installer (see bootpack verify).

For a product, give the archive and the setup program; the layout is checked
before anything is written and a layout the stub would refuse writes nothing:
  bootpack pack --archive product.7z --setup setup.exe --version 1.2.3.4 \\
      --out installer.exe
  bootpack pack --stub bootpack.exe --config widget.toml

The icon, the version block's strings and the version are the stub's unless
--icon, --company, --product, ... --version say otherwise; the source
revision (LastChange) is always the stub's. The same stub and inputs
always give the same bytes.

--config FILE.toml takes options from a file, the long option names as keys
and paths relative to the file; the command line wins:
  stub = "bootpack.exe"
  archive = "product.7z"
  setup = "setup.exe"
  version = "1.4.0.0"
  company = "Acme Tools Ltd."
  product = "Widget"
  icon = "widget.ico"
  out = "WidgetInstaller.exe"
[[resource]] tables (type, name, file, cabinet) list raw resources instead;
each --resource on the command line adds one to the file's list.

For tests, --resource packs exactly the resources given.

Each --resource adds one resource of language 1033:
  TYPE  a string type such as BN, BL or B7
  NAME  a string name such as BRISEL.7Z, or #N for the integer identifier N
  FILE  the resource's bytes, taken unchanged (an empty file gives size 0)
With no --resource the image carries no payload. Types and names are stored
in upper case, as resource compilers store them (the loader finds no other).
Names hold at most 65535 UTF-16 code units, and the stub refuses those of
260 characters or more. --cabinet after a --resource stores that FILE in a cabinet (MSZIP,
made with gcab) instead; the stub expands a setup of type BL from one.

example:
  bootpack pack --out app.exe \\
      --resource BN BRISEL.7Z product.7z --resource BN SETUP.EXE setup.exe
  bootpack pack --out app.exe \\
      --resource BN BRISEL.7Z product.7z --resource BL SETUP.EX_ setup.exe --cabinet
"""


def parse_identifier(text, what):
    if text.startswith('#'):
        try:
            value = int(text[1:], 10)
        except ValueError:
            raise UsageError(f'{what} {text!r}: #N needs a decimal number')
        if not 1 <= value <= 0xFFFF:
            raise UsageError(f'{what} {text!r}: identifiers run from 1 to 65535')
        return value
    if not text:
        raise UsageError(f'{what} must not be empty')
    if '\0' in text:
        raise UsageError(f'{what} {text!r} holds a NUL character')
    units = len(text.encode('utf-16-le')) // 2
    if units > MAX_NAME_UNITS:
        raise UsageError(f'{what} {text[:20]!r}... has {units} UTF-16 code units; a resource '
                         f'directory holds names of at most {MAX_NAME_UNITS}')
    return text


class StoreAsCabinet(argparse.Action):
    """--cabinet: the --resource just before it goes in as a cabinet."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        if not namespace.resource:
            parser.error('--cabinet follows the --resource it applies to')
        namespace.cabinet_indexes = set(namespace.cabinet_indexes) | {len(namespace.resource) - 1}


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog='bootpack pack', description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--out', metavar='FILE.exe', help='the image to write (required)')
    parser.add_argument('--config', metavar='FILE.toml',
                        help='take pack options from this file; the command line wins, '
                        'and each --resource adds to the file\'s [[resource]] list')
    parser.add_argument('--resource', nargs=3, action='append', default=[],
                        metavar=('TYPE', 'NAME', 'FILE'), help='add one payload resource')
    parser.add_argument('--cabinet', action=StoreAsCabinet, dest='cabinet_indexes',
                        default=(), help='store the FILE of the --resource before it '
                        'in a cabinet')
    add_product_options(parser)
    add_installer_options(parser)
    add_provenance_option(parser)
    config = config_path(argv if argv is not None else sys.argv[1:])
    if config is not None:
        parser.set_defaults(**read_product_file(config))
    args = parser.parse_args(argv)
    if not args.out:
        parser.error('the following arguments are required: --out (or out in the --config file)')
    request = pack_request(args)
    if request.product and request.resources:
        parser.error('give either --resource or the product options, not both')
    if request.product:
        return pack_product(request)
    return pack_resources(request)


def pack_resources(request):
    resources = []
    for raw in request.resources:
        if not raw.file.is_file():
            raise missing_input(raw.file, 'resource file')
        resources.append(Resource(parse_identifier(raw.type, 'type'),
                                  parse_identifier(raw.name, 'name'), LANG_EN_US,
                                  raw.file.stat().st_size, raw.file))
    cabinets = {index for index, raw in enumerate(request.resources) if raw.cabinet}
    stub = open_stub(request.stub)
    check_installer(request.branding, stub, resources, request.internal_name, cabinets=cabinets)
    inputs = [r.data for r in resources] + [stub.path, request.branding.icon]
    with pack_outputs(request.out, request.provenance, inputs) as (image, scratch, statement):
        packed = resources
        if cabinets:
            from bootpack.pack.cabinet import in_cabinets
            packed = in_cabinets(resources, cabinets, scratch)
        write_installer(request.branding, stub, packed, image, request.internal_name)
        if statement:
            write_statement(request, stub, resources, image, statement, cabinets)
    return 0
