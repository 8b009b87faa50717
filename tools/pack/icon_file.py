"""Icons: an .ico file's images, and the icon group resource that lists them.

An .ico file is a directory (ICONDIR, then one 16-byte ICONDIRENTRY per
image, the last field the image's file offset) followed by the images, each a
PNG or a DIB. In an image the images become RT_ICON resources and the
directory becomes the RT_GROUP_ICON resource, whose entries end with the
image's identifier (GRPICONDIRENTRY, 14 bytes) instead of an offset.
"""
import struct
from collections import namedtuple

# entry: the first 12 bytes of a directory entry (width, height, colour
# count, reserved, planes, bit count, byte count), the same in both forms.
IconImage = namedtuple('IconImage', 'entry data')

PNG_SIGNATURE = b'\x89PNG\r\n\x1a\n'
BITMAPINFOHEADER_SIZE = 40
ICON_TYPE = 1
MAX_ICON_FILE = 16 << 20  # icons are kilobytes; anything this large is not one


class IconError(Exception):
    """A file that is no icon, or holds no image."""


def read_icon_file(path):
    """The images of an .ico file, in the file's order."""
    with open(path, 'rb') as f:
        data = f.read(MAX_ICON_FILE + 1)
    if len(data) > MAX_ICON_FILE:
        raise IconError(f'{path} is larger than {MAX_ICON_FILE >> 20} MiB; no icon is')
    if len(data) < 6:
        raise IconError(f'{path} is not an icon file (too short for an icon directory)')
    reserved, kind, count = struct.unpack_from('<HHH', data)
    if reserved != 0 or kind != ICON_TYPE:
        raise IconError(f'{path} is not an icon file (no icon directory at its start)')
    if count == 0:
        raise IconError(f'{path} holds no image')
    if 6 + 16 * count > len(data):
        raise IconError(f'{path}: its directory lists {count} images but the file ends first')
    images = []
    for index in range(count):
        at = 6 + 16 * index
        size, offset = struct.unpack_from('<II', data, at + 8)
        if size == 0 or offset + size > len(data):
            raise IconError(f'{path}: image {index + 1} lies outside the file')
        image = data[offset:offset + size]
        if not image.startswith(PNG_SIGNATURE) and \
                struct.unpack_from('<I', image.ljust(4, b'\0'))[0] != BITMAPINFOHEADER_SIZE:
            raise IconError(f'{path}: image {index + 1} is neither a PNG nor a bitmap')
        images.append(IconImage(data[at:at + 12], image))
    return images


def group_entries(group):
    """[(entry, identifier)] of an RT_GROUP_ICON resource."""
    if len(group) < 6:
        raise IconError('the icon group is cut short')
    count = struct.unpack_from('<H', group, 4)[0]
    if 6 + 14 * count > len(group):
        raise IconError('the icon group is cut short')
    return [(group[6 + 14 * i:18 + 14 * i], struct.unpack_from('<H', group, 18 + 14 * i)[0])
            for i in range(count)]


def icon_group(images):
    """The RT_GROUP_ICON resource listing the images as identifiers 1, 2, ..."""
    group = struct.pack('<HHH', 0, ICON_TYPE, len(images))
    for identifier, image in enumerate(images, start=1):
        group += image.entry[:8] + struct.pack('<IH', len(image.data), identifier)
    return group
