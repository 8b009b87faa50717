"""Icons: an .ico file's images, and the icon group resource that lists them.

An .ico file is a directory (ICONDIR, then one 16-byte ICONDIRENTRY per
image, the last field the image's file offset) followed by the images, each a
PNG or a DIB. In an image the images become RT_ICON resources and the
directory becomes the RT_GROUP_ICON resource, whose entries end with the
image's identifier (GRPICONDIRENTRY, 14 bytes) instead of an offset.

Windows picks an image by its group entry and then reads the image's own
header, so an entry must describe the image really stored. Icon editors
often disagree with their own images (a PNG listed as 32 bits that holds 64,
or a palette), so every entry is written from the image itself, and inspect
checks an image's entry with the same rule.
"""
import struct
from collections import namedtuple

from bootpack.cli import ToolError

# entry: the first 12 bytes of a directory entry (width, height, colour
# count, reserved, planes, bit count, byte count), the same in both forms.
IconImage = namedtuple('IconImage', 'entry data')
# What an entry says of its image; 256 pixels are written as 0.
EntryFields = namedtuple('EntryFields', 'width height colours planes bits size')

PNG_SIGNATURE = b'\x89PNG\r\n\x1a\n'
BITMAPINFOHEADER_SIZE = 40
ICON_TYPE = 1
MAX_ICON_FILE = 16 << 20  # icons are kilobytes; anything this large is not one
MAX_ICON_SIDE = 256
# Samples per pixel of each PNG colour type: grey, RGB, palette, grey and
# alpha, RGBA.
PNG_CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
FIELD_NAMES = {'width': 'width', 'height': 'height', 'colours': 'colour count',
               'planes': 'planes', 'bits': 'bit count', 'size': 'byte count'}


class IconError(ToolError):
    """A file that is no icon, or holds no image."""


def image_format(data):
    return 'PNG' if data.startswith(PNG_SIGNATURE) else 'bitmap'


def describe_image(data):
    """(width, height, bits per pixel) of an icon image, from its own header:
    a PNG's IHDR or a bitmap's BITMAPINFOHEADER, whose height counts the
    AND mask too. Raises IconError for an image that has neither."""
    if data.startswith(PNG_SIGNATURE):
        if len(data) < 29 or data[12:16] != b'IHDR':
            raise IconError('is a PNG without its IHDR header')
        width, height, depth, colour = struct.unpack_from('>IIBB', data, 16)
        if colour not in PNG_CHANNELS:
            raise IconError(f'is a PNG of unknown colour type {colour}')
        return width, height, depth * PNG_CHANNELS[colour]
    if len(data) < BITMAPINFOHEADER_SIZE or \
            struct.unpack_from('<I', data)[0] != BITMAPINFOHEADER_SIZE:
        raise IconError('is neither a PNG nor a bitmap')
    _, width, height, planes, bits = struct.unpack_from('<IiiHH', data)
    if planes != 1 or bits not in (1, 4, 8, 16, 24, 32):
        raise IconError(f'is a bitmap of {planes} planes and {bits} bits per pixel, '
                        'which Windows does not draw')
    return width, abs(height) // 2, bits


def entry_of(data):
    """The directory entry that describes the image DATA as Windows reads it."""
    width, height, bits = describe_image(data)
    if not (1 <= width <= MAX_ICON_SIDE and 1 <= height <= MAX_ICON_SIDE):
        raise IconError(f'is {width} x {height} pixels; an icon image has sides of 1 to '
                        f'{MAX_ICON_SIDE}')
    colours = 1 << bits if bits < 8 else 0
    return struct.pack('<BBBBHHI', width % 256, height % 256, colours, 0, 1, bits, len(data))


def entry_fields(entry):
    return EntryFields(*struct.unpack_from('<BBBxHHI', entry))


def entry_differences(claimed, data):
    """How the entry CLAIMED differs from the one the image DATA needs, as
    'bit count 32, the image holds 64' phrases; empty when it does not."""
    said, real = entry_fields(claimed), entry_fields(entry_of(data))
    return [f'{FIELD_NAMES[name]} {getattr(said, name)}, the image holds {getattr(real, name)}'
            for name in EntryFields._fields if getattr(said, name) != getattr(real, name)]


def read_icon_file(path, notes=None):
    """The images of an .ico file, in the file's order, each with the entry
    its own header gives; a line for each entry of the file that said
    otherwise is appended to NOTES."""
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
        try:
            entry = entry_of(image)
            differences = entry_differences(data[at:at + 12], image)
        except IconError as error:
            raise IconError(f'{path}: image {index + 1} {error}')
        if differences and notes is not None:
            width, height, _ = describe_image(image)
            notes.append(f'{path}: image {index + 1} ({width} x {height} {image_format(image)}) '
                         f'is listed with {"; ".join(differences)}: written as the image says')
        images.append(IconImage(entry, image))
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
    """The RT_GROUP_ICON resource listing the images as identifiers 1, 2, ...,
    each entry as the image's own header describes it."""
    group = struct.pack('<HHH', 0, ICON_TYPE, len(images))
    for identifier, image in enumerate(images, start=1):
        group += entry_of(image.data) + struct.pack('<H', identifier)
    return group
