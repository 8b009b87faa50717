"""The resources every image carries besides its payload: the application
icon (group 107, its images 1 to N), the version block and the manifest, all
of language 1033 and all with integer types, which the stub's payload scan
(of the string types B7, BL and BN only) never sees.

An installer takes them from its stub, where the build put today's defaults,
and changes what the release engineer asks for: the icon, the maker's and
the product's names, the copyright notice and the version. The source
revision ("LastChange") always stays the stub's: it names the code inside.
"""
import re
from collections import namedtuple

from bootpack.cli import ToolError
from bootpack.icon_file import IconError, IconImage, group_entries, icon_group
from bootpack.pe_image import RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_VERSION
from bootpack.resource_section import LANG_EN_US, Resource
from bootpack.version_block import (STRING_KEYS, VersionBlockError, build_version_block,
                                    dotted, read_version_block)

ICON_GROUP_ID = 107
VERSION_ID = 1
MANIFEST_ID = 1
INSTALLER = 'Installer'


class ImageResourceError(ToolError):
    """A stub without the image resources an installer takes from it."""


# What an installer takes from its stub: icon images, the version (four
# numbers), the version block's strings ({key: value}) and the manifest.
StubResources = namedtuple('StubResources', 'icons version strings manifest')


def image_resources(icons, version, strings, manifest):
    """Resource records for the icon images, their group, the version block
    and the manifest."""
    resources = [Resource(RT_ICON, identifier, LANG_EN_US, len(image.data), image.data)
                 for identifier, image in enumerate(icons, start=1)]
    if icons:
        group = icon_group(icons)
        resources.append(Resource(RT_GROUP_ICON, ICON_GROUP_ID, LANG_EN_US, len(group), group))
    block = build_version_block(version, strings)
    resources.append(Resource(RT_VERSION, VERSION_ID, LANG_EN_US, len(block), block))
    resources.append(Resource(RT_MANIFEST, MANIFEST_ID, LANG_EN_US, len(manifest), manifest))
    return resources


def stub_image_resources(stub):
    """The StubResources of a stub image."""
    found = {}
    for res in stub.resources():
        found.setdefault(res.type, {})[res.name] = res

    def one(res_type, what):
        entries = found.get(res_type, {})
        if not entries:
            raise ImageResourceError(f'the stub {stub.path} carries no {what}; '
                                     'make stubs with ./bootpack build')
        return entries.get(ICON_GROUP_ID if res_type == RT_GROUP_ICON else 1,
                           next(iter(entries.values())))

    try:
        group = stub.read_resource(one(RT_GROUP_ICON, 'icon group'))
        icons = []
        for entry, identifier in group_entries(group):
            image = found.get(RT_ICON, {}).get(identifier)
            if image is None:
                raise IconError(f'the icon group lists image {identifier}, which is missing')
            icons.append(IconImage(entry, stub.read_resource(image)))
        version, strings = read_version_block(stub.read_resource(one(RT_VERSION,
                                                                     'version block')))
    except (IconError, VersionBlockError) as error:
        raise ImageResourceError(f'the stub {stub.path}: {error}')
    if 'LastChange' not in strings:
        raise ImageResourceError(f'the stub {stub.path} does not name its source revision '
                                 '(no LastChange in its version block)')
    manifest = stub.read_resource(one(RT_MANIFEST, 'manifest'))
    return StubResources(icons, version, strings, manifest)


def _installer_name(name):
    return name if name.endswith(INSTALLER) else f'{name} {INSTALLER}'


def branded_strings(defaults, version, internal_name, company=None, company_short=None,
                    product=None, product_short=None, copyright=None):
    """The version block's strings: the stub's, with the values given in
    place of its own. A company given alone also names the short company and
    the copyright holder; a product given alone also gives the short name."""
    strings = {key: defaults.get(key, '') for key in STRING_KEYS}
    if company:
        strings['CompanyName'] = company
        year = re.search(r'\b(?:19|20)\d\d\b', defaults.get('LegalCopyright', ''))
        strings['LegalCopyright'] = ' '.join(
            ['Copyright'] + ([year.group(0)] if year else []) + [company, 'All rights reserved.'])
    if company_short or company:
        strings['CompanyShortName'] = company_short or company
    if product:
        strings['FileDescription'] = strings['ProductName'] = _installer_name(product)
    if product_short or product:
        strings['ProductShortName'] = _installer_name(product_short or product)
    if copyright:
        strings['LegalCopyright'] = copyright
    shown = dotted(version)
    strings.update({'FileVersion': shown, 'ProductVersion': shown,
                    'InternalName': internal_name, 'Official Build': '1'})
    return strings
