"""The resources every image carries besides its payload: the application icon
(images 1 to 10 in group 107), the version block and the manifest, all of
language 1033 and all with integer types, which the stub's payload scan (of
the string types B7, BL and BN only) never sees.
"""
import datetime
import hashlib
import json
import re
import struct
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
RESOURCES = REPO / 'src' / 'resources'
sys.path.insert(0, str(RESOURCES))
import draw_icon  # noqa: E402

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
ICON_GROUP_ID = 107
VERSION_ID = 1
MANIFEST_ID = 1

VERSION_PATTERN = re.compile(r'^\d+\.\d+\.\d+\.\d+$')


def parse_version(text):
    """'A.B.C.D' with each number 0 to 65535, as four integers; None if not."""
    if not VERSION_PATTERN.match(text):
        return None
    numbers = [int(n) for n in text.split('.')]
    if any(n > 0xFFFF for n in numbers):
        return None
    return numbers


def version_inputs():
    with open(RESOURCES / 'version_block.json', encoding='utf-8') as f:
        return json.load(f)


def _git(*args):
    result = subprocess.run(['git', '-C', str(REPO)] + list(args),
                            capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ''


def source_revision():
    """(LastChange, year): the revision, branch and commit count the build
    comes from, and the year of that commit. Outside a git checkout: zeros."""
    revision = _git('rev-parse', 'HEAD')
    if not re.fullmatch(r'[0-9a-f]{40}', revision):
        return '0' * 40 + '-unknown@0', datetime.date.today().year
    branch = _git('rev-parse', '--abbrev-ref', 'HEAD') or 'unknown'
    count = _git('rev-list', '--count', 'HEAD') or '0'
    stamp = _git('log', '-1', '--format=%ct', 'HEAD')
    year = (datetime.datetime.fromtimestamp(int(stamp), datetime.timezone.utc).year
            if stamp.isdigit() else datetime.date.today().year)
    return f'{revision}-{branch}@{count}', year


def _pad4(data):
    return data + b'\0' * (-len(data) % 4)


def _version_node(key, value=b'', value_length=0, text=False, children=()):
    """One node of a version block: header, key, value, then its children,
    each starting on a 4-byte boundary. wLength counts no trailing padding."""
    body = _pad4(struct.pack('<HHH', 0, value_length, 1 if text else 0)
                 + (key + '\0').encode('utf-16-le'))
    body += value
    for child in children:
        body = _pad4(body) + child
    return struct.pack('<H', len(body)) + body[2:]


def _string_entry(key, value):
    encoded = (value + '\0').encode('utf-16-le')
    return _version_node(key, encoded, len(value) + 1, text=True)


def version_strings(version, internal_name):
    """The string table's keys and values, in the order they are written."""
    inputs = version_inputs()
    last_change, year = source_revision()
    dotted = '.'.join(str(n) for n in version)
    return [
        ('CompanyName', inputs['company_name']),
        ('FileDescription', inputs['product_name']),
        ('FileVersion', dotted),
        ('InternalName', internal_name),
        ('LegalCopyright', f'Copyright {year} {inputs["copyright_holder"]} All rights reserved.'),
        ('ProductName', inputs['product_name']),
        ('ProductVersion', dotted),
        ('CompanyShortName', inputs['company_short_name']),
        ('ProductShortName', inputs['product_short_name']),
        ('LastChange', last_change),
        ('Official Build', '1'),
    ]


def version_block(version, internal_name):
    ms = (version[0] << 16) | version[1]
    ls = (version[2] << 16) | version[3]
    # VS_FIXEDFILEINFO: file and product version equal, flags mask 0x17, no
    # flags, VOS__WINDOWS32, VFT_APP, no subtype, no date.
    fixed = struct.pack('<13I', 0xFEEF04BD, 0x00010000, ms, ls, ms, ls,
                        0x17, 0, 0x4, 0x1, 0, 0, 0)
    table = _version_node('040904b0', text=True, children=[
        _string_entry(key, value) for key, value in version_strings(version, internal_name)])
    strings = _version_node('StringFileInfo', text=True, children=[table])
    # English (United States), Unicode code page 1200.
    translation = _version_node('Translation', struct.pack('<HH', 0x0409, 1200), 4)
    variables = _version_node('VarFileInfo', text=True, children=[translation])
    return _version_node('VS_VERSION_INFO', fixed, len(fixed), children=[strings, variables])


def icon_group(images):
    """GRPICONDIR listing the images as identifiers 1, 2, ... in order."""
    group = struct.pack('<HHH', 0, 1, len(images))
    for identifier, (size, bits, data) in enumerate(images, start=1):
        group += struct.pack('<BBBBHHIH', size % 256, size % 256, 16 if bits == 4 else 0, 0,
                             1, bits, len(data), identifier)
    return group


def cached_icon_images(cache_dir):
    """The icon images, drawn once per version of the drawing script."""
    script = Path(draw_icon.__file__).read_bytes()
    key = hashlib.sha256(script).hexdigest()[:16]
    cache = Path(cache_dir) / f'icon-{key}.bin' if cache_dir else None
    if cache is not None and cache.is_file():
        images, data = [], cache.read_bytes()
        at = 0
        while at < len(data):
            size, bits, length = struct.unpack_from('<HHI', data, at)
            images.append((size, bits, data[at + 8:at + 8 + length]))
            at += 8 + length
        return images
    images = draw_icon.icon_images()
    if cache is not None:
        cache.parent.mkdir(parents=True, exist_ok=True)
        partial = cache.with_suffix('.partial')
        partial.write_bytes(b''.join(struct.pack('<HHI', size, bits, len(data)) + data
                                     for size, bits, data in images))
        partial.replace(cache)
    return images


def add_image_resources(res, version, internal_name, cache_dir=None, icon=True):
    """Adds icon, icon group, version block and manifest to a ResourceFile;
    icon=False leaves out the first two (only for measuring the stub)."""
    if icon:
        images = cached_icon_images(cache_dir)
        for identifier, (_, _, data) in enumerate(images, start=1):
            res.add_bytes(RT_ICON, identifier, data)
        res.add_bytes(RT_GROUP_ICON, ICON_GROUP_ID, icon_group(images))
    res.add_bytes(RT_VERSION, VERSION_ID, version_block(version, internal_name))
    res.add_bytes(RT_MANIFEST, MANIFEST_ID, (RESOURCES / 'installer.manifest').read_bytes())
