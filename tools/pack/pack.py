#!/usr/bin/env python3
"""Links the bootpack stub with a payload of resources into one installer."""
import argparse
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / 'common'))
from cabinet import make_cabinet  # noqa: E402
from cli import ToolError, UsageError, one_line, run_tool  # noqa: E402
from link import link_stub  # noqa: E402
from outputs import pack_outputs  # noqa: E402
from product import add_product_options, is_product_mode, pack_product  # noqa: E402
from resfile import ResourceFile  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
DESCRIPTION = """\
Link the bootpack stub with a payload and write FILE.exe.

For a product, give the archive and the setup program; the layout is checked
before anything is built and a layout the stub would refuse writes nothing:
  ./bootpack pack --archive product.7z --setup setup.exe --version 1.2.3.4 \\
      --out installer.exe

For tests, --resource links the stub with exactly the resources given.

Each --resource adds one resource of language 1033:
  TYPE  a string type such as BN, BL or B7
  NAME  a string name such as BRISEL.7Z, or #N for the integer identifier N
  FILE  the resource's bytes, taken unchanged (an empty file gives size 0)
With no --resource the image carries no payload. Types and names are stored
in upper case, as resource compilers store them (the loader finds no other).
Names may be as long as you like; the stub refuses those of 260 characters
or more. --cabinet after a --resource stores that FILE in a cabinet (MSZIP,
made with gcab) instead; the stub expands a setup of type BL from one.

example:
  ./bootpack pack --out app.exe \\
      --resource BN BRISEL.7Z product.7z --resource BN SETUP.EXE setup.exe
  ./bootpack pack --out app.exe \\
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
    return text


class StoreAsCabinet(argparse.Action):
    """--cabinet: the --resource just before it goes in as a cabinet."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        if not namespace.resource:
            parser.error('--cabinet follows the --resource it applies to')
        namespace.cabinet_indexes = set(namespace.cabinet_indexes) | {len(namespace.resource) - 1}


def default_stub_lib():
    build = Path(os.environ.get('BOOTPACK_BUILD_DIR', REPO / 'build'))
    return build / 'lib' / 'libbootpack_stub.a'


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog='bootpack pack', description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--out', required=True, metavar='FILE.exe', help='the image to write')
    parser.add_argument('--resource', nargs=3, action='append', default=[],
                        metavar=('TYPE', 'NAME', 'FILE'), help='add one payload resource')
    parser.add_argument('--cabinet', action=StoreAsCabinet, dest='cabinet_indexes',
                        default=(), help='store the FILE of the --resource before it '
                        'in a cabinet')
    parser.add_argument('--map', type=Path, default=None,
                        help='also write the linker map (symbol addresses) to this file')
    parser.add_argument('--stub-lib', type=Path, default=None,
                        help='the stub objects to link (default: the build\'s own)')
    add_product_options(parser)
    args = parser.parse_args(argv)
    if is_product_mode(args) and args.resource:
        parser.error('give either --resource or the product options, not both')

    stub_lib = args.stub_lib or default_stub_lib()
    if not stub_lib.is_file():
        raise ToolError(f'no stub objects at {stub_lib}; run ./bootpack build first')
    if is_product_mode(args):
        return pack_product(args, stub_lib)

    resources = []
    for res_type, name, file_name in args.resource:
        path = Path(file_name)
        if not path.is_file():
            raise ToolError(f'resource file {file_name} does not exist')
        resources.append([parse_identifier(res_type, 'type'), parse_identifier(name, 'name'),
                          path, path.stat().st_size])

    with pack_outputs(args, [r[2] for r in resources] + [stub_lib]) as (image, linker_map,
                                                                      scratch):
        for index in sorted(args.cabinet_indexes):
            cabinet = scratch / f'resource{index}.cab'
            try:
                make_cabinet(cabinet, [(resources[index][2], resources[index][2].name)])
            except (ValueError, RuntimeError) as error:
                raise ToolError(str(error))
            resources[index][2:] = [cabinet, cabinet.stat().st_size]
        res_path = scratch / 'payload.res'
        with ResourceFile(res_path) as res:
            for res_type, name, path, size in resources:
                res.add_file(res_type, name, path, size)
        # Linked under its own name, which the version block carries.
        linked = scratch / Path(args.out).name
        try:
            link_stub(stub_lib, [res_path], linked, map_path=linker_map)
        except RuntimeError as error:
            raise ToolError(one_line(str(error)))
        os.replace(linked, image)
    return 0


if __name__ == '__main__':
    sys.exit(run_tool('bootpack pack', main))
