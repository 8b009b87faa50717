"""Makes an installer: a copy of the stub image with a resource section
that holds the payload and the image resources, branded as asked.

Needs no compiler, linker or build tree, only a stub image (by default the
one the package carries).
"""
import sys
from pathlib import Path

from bootpack.cli import ToolError, describe_os_error
from bootpack.host import STUB, windows_program
from bootpack.icon_file import IconError, read_icon_file
from bootpack.image_resources import (ImageResourceError, branded_strings, image_resources,
                                      stub_image_resources)
from bootpack.image_writer import check_image_size, write_image
from bootpack.pe_stub import StubError, StubImage
from bootpack.resource_section import ResourceError
from bootpack.version_block import VersionBlockError


def open_stub(path):
    path = Path(path) if path else windows_program(STUB)
    if path is None:
        raise ToolError('this bootpack carries no stub (run ./bootpack build) '
                        'and no --stub was given')
    if not path.exists():
        raise ToolError(f'no stub image at {path}')
    try:
        return StubImage(path)
    except StubError as error:
        raise ToolError(str(error))
    except OSError as error:
        raise ToolError(describe_os_error(error))


def installer_resources(args, stub, payload, internal_name, version=None):
    """Every resource of the installer: the payload (Resource records), then
    the icon, version block and manifest branded as args say; version: four
    numbers, or the stub's."""
    try:
        icons, stub_version, defaults, manifest = stub_image_resources(stub)
        if args.icon:
            icons = read_icon_file(args.icon)
        strings = branded_strings(defaults, version or stub_version, internal_name,
                                  company=args.company, company_short=args.company_short,
                                  product=args.product, product_short=args.product_short,
                                  copyright=args.copyright)
        resources = list(payload) + image_resources(icons, version or stub_version, strings,
                                                    manifest)
        check_image_size(stub, resources)
        return resources
    except (StubError, ImageResourceError, IconError, ResourceError, VersionBlockError) as error:
        raise ToolError(str(error))
    except OSError as error:
        raise ToolError(describe_os_error(error))


def check_installer(args, stub, payload, internal_name, version=None, cabinets=()):
    """Refuses, before any output exists, an installer of these resources that
    Windows would not load or whose icon is no icon; says what pack corrects.
    Resources at the indexes CABINETS count as empty: their cabinets are made
    later, and the final size is checked again then."""
    payload = [res._replace(size=0, data=b'') if index in cabinets else res
               for index, res in enumerate(payload)]
    installer_resources(args, stub, payload, internal_name, version)
    if args.icon:
        notes = []
        read_icon_file(args.icon, notes)
        for note in notes:
            print(f'bootpack pack: note: {note}', file=sys.stderr)


def write_installer(args, stub, payload, image, internal_name, version=None, progress=None):
    """Writes image from the stub with the payload (Resource records) and the
    branding options of args; version: four numbers, or the stub's."""
    resources = installer_resources(args, stub, payload, internal_name, version)
    try:
        write_image(stub, resources, image, checksum=bool(args.checksum), progress=progress)
    except StubError as error:
        raise ToolError(str(error))
    except OSError as error:
        raise ToolError(describe_os_error(error))


def add_installer_options(parser):
    group = parser.add_argument_group('the stub and the file\'s properties')
    group.add_argument('--stub', metavar='FILE.exe', default=None,
                       help='the stub image to make the installer from (default: the '
                       'tested stub this bootpack carries; from a checkout, the build\'s)')
    group.add_argument('--company', metavar='NAME',
                       help='the maker\'s full name (CompanyName); also the short name '
                       'and the copyright holder unless those are given')
    group.add_argument('--company-short', metavar='NAME', help='the maker\'s short name')
    group.add_argument('--product', metavar='NAME',
                       help='the product\'s name; FileDescription and ProductName are '
                       '"NAME Installer"')
    group.add_argument('--product-short', metavar='NAME',
                       help='the product\'s short name (ProductShortName "NAME Installer"; '
                       'default the product\'s name)')
    group.add_argument('--copyright', metavar='TEXT', help='the legal notice, as it is shown')
    group.add_argument('--icon', metavar='FILE.ico',
                       help='the application icon: its images become icons 1 to N of '
                       'group 107, in the file\'s order (default: the stub\'s icon)')
    group.add_argument('--checksum', action='store_true', default=None,
                       help='write the PE checksum (reads every payload byte once more; '
                       'signing writes it anyway)')
