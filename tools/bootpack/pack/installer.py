"""Makes an installer: a copy of the stub image with a resource section
that holds the payload and the image resources, branded as asked.

Needs no compiler, linker or build tree, only a stub image (by default the
one the package carries).
"""
import sys

from bootpack.cli import UsageError, missing_input
from bootpack.host import STUB, windows_program
from bootpack.icon_file import read_icon_file
from bootpack.image_resources import branded_strings, image_resources, stub_image_resources
from bootpack.image_writer import check_image_size, write_image
from bootpack.pe_stub import StubImage


def open_stub(path):
    path = path or windows_program(STUB)
    if path is None:
        raise UsageError('this bootpack carries no stub (run ./bootpack build) '
                         'and no --stub was given')
    if not path.exists():
        raise missing_input(path, 'the stub')
    return StubImage(path)


def installer_resources(branding, stub, payload, internal_name, version=None):
    """Every resource of the installer: the payload (Resource records), then
    the icon, version block and manifest as BRANDING (a Branding) says;
    version: four numbers, or the stub's."""
    own = stub_image_resources(stub)
    version = version or own.version
    icons = read_icon_file(branding.icon) if branding.icon else own.icons
    strings = branded_strings(own.strings, version, internal_name,
                              company=branding.company, company_short=branding.company_short,
                              product=branding.product, product_short=branding.product_short,
                              copyright=branding.copyright)
    resources = list(payload) + image_resources(icons, version, strings, own.manifest)
    check_image_size(stub, resources)
    return resources


def check_installer(branding, stub, payload, internal_name, version=None, cabinets=()):
    """Refuses, before any output exists, an installer of these resources that
    Windows would not load or whose icon is no icon; says what pack corrects.
    Resources at the indexes CABINETS count as empty: their cabinets are made
    later, and the final size is checked again then."""
    payload = [res._replace(size=0, data=b'') if index in cabinets else res
               for index, res in enumerate(payload)]
    if branding.icon and not branding.icon.exists():
        raise missing_input(branding.icon, 'the icon')
    installer_resources(branding, stub, payload, internal_name, version)
    if branding.icon:
        notes = []
        read_icon_file(branding.icon, notes)
        for note in notes:
            print(f'bootpack pack: note: {note}', file=sys.stderr)


def write_installer(branding, stub, payload, image, internal_name, version=None, progress=None):
    """Writes image from the stub with the payload (Resource records) and
    BRANDING; version: four numbers, or the stub's."""
    resources = installer_resources(branding, stub, payload, internal_name, version)
    write_image(stub, resources, image, checksum=branding.checksum, progress=progress)


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
