"""Draws the application icon and encodes its ten images.

The picture is a rounded teal tile with a white arrow pointing down into an
amber tray: "this puts something on your machine". It is described by shapes
in unit coordinates and rendered at each size with an anti-aliased edge, so
the images are reproducible byte for byte from this file alone.

icon_images() returns the images in the order of their identifiers 1 to 10:
16-colour, 256-colour and 32-bit bitmaps at 48, 32 and 16 pixels, and the
256-pixel image as PNG.
"""
import struct
import zlib

# (width, bits per pixel, PNG?) in identifier order.
ICON_FORMATS = [
    (48, 4, False), (32, 4, False), (16, 4, False),
    (48, 8, False), (32, 8, False), (16, 8, False),
    (256, 32, True),
    (48, 32, False), (32, 32, False), (16, 32, False),
]

TEAL_TOP = (0x1F, 0x8A, 0x9A)
TEAL_BOTTOM = (0x0C, 0x45, 0x55)
WHITE = (0xFF, 0xFF, 0xFF)
AMBER = (0xF2, 0xA9, 0x00)


def _rounded_box(x, y, left, top, right, bottom, radius):
    """Signed distance from (x, y) to a rounded rectangle: negative inside."""
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - radius, (bottom - top) / 2 - radius
    dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = (max(dx, 0.0) ** 2 + max(dy, 0.0) ** 2) ** 0.5
    return outside + min(max(dx, dy), 0.0) - radius


def _arrow_head(x, y):
    """Signed distance (approximate) to the arrow's downward triangle."""
    # Base from (0.27, 0.46) to (0.73, 0.46), apex at (0.5, 0.72); each edge
    # contributes its distance along the normal that points out of the shape.
    edge = (0.23 ** 2 + 0.26 ** 2) ** 0.5
    base = 0.46 - y
    left = (-0.26 * (x - 0.27) + 0.23 * (y - 0.46)) / edge
    right = (0.26 * (x - 0.73) + 0.23 * (y - 0.46)) / edge
    return max(base, left, right)


def _coverage(distance, pixels):
    """How much of a pixel a shape covers, from its distance in unit lengths."""
    return min(max(0.5 - distance * pixels, 0.0), 1.0)


def _blend(under, over, amount):
    return tuple(u + (o - u) * amount for u, o in zip(under, over))


def render(size):
    """Rows of (r, g, b, a) tuples, top row first, channels 0-255."""
    rows = []
    for j in range(size):
        row = []
        y = (j + 0.5) / size
        for i in range(size):
            x = (i + 0.5) / size
            tile = _coverage(_rounded_box(x, y, 0.04, 0.04, 0.96, 0.96, 0.2), size)
            colour = _blend(TEAL_TOP, TEAL_BOTTOM, y)
            shaft = _rounded_box(x, y, 0.41, 0.16, 0.59, 0.50, 0.02)
            arrow = _coverage(min(shaft, _arrow_head(x, y)), size)
            colour = _blend(colour, WHITE, arrow)
            tray = _coverage(_rounded_box(x, y, 0.22, 0.76, 0.78, 0.85, 0.03), size)
            colour = _blend(colour, AMBER, tray)
            row.append(tuple(int(round(c)) for c in colour) + (int(round(tile * 255)),))
        rows.append(row)
    return rows


# The 16 colours of the standard VGA palette, which 4-bit icons use.
VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# A 6 x 6 x 6 colour cube and 40 greys: 256 entries for the 8-bit icons.
CUBE_LEVELS = [0, 51, 102, 153, 204, 255]
CUBE_PALETTE = ([(r, g, b) for r in CUBE_LEVELS for g in CUBE_LEVELS for b in CUBE_LEVELS]
                + [(v, v, v) for v in range(6, 246, 6)])


def _nearest(palette, colour):
    return min(range(len(palette)),
               key=lambda k: sum((p - c) ** 2 for p, c in zip(palette[k], colour)))


def _and_mask(rows):
    """The 1-bit transparency mask, bottom row first, rows padded to 32 bits."""
    stride = (len(rows[0]) + 31) // 32 * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for i, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[i // 8] |= 0x80 >> (i % 8)
        out += bits
    return bytes(out)


def _bitmap_header(size, bits, image_bytes):
    # BITMAPINFOHEADER; the height counts the colour image and the mask.
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, 0, 0)


def _indexed_bitmap(rows, bits, palette):
    size = len(rows)
    cache = {}
    pixels = bytearray()
    for row in reversed(rows):
        indices = []
        for r, g, b, a in row:
            key = (r, g, b) if a >= 128 else None
            if key not in cache:
                cache[key] = 0 if key is None else _nearest(palette, key)
            indices.append(cache[key])
        if bits == 4:
            packed = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        else:
            packed = bytes(indices)
        pixels += packed + b'\0' * (-len(packed) % 4)
    mask = _and_mask(rows)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    table += b'\0' * ((1 << bits) * 4 - len(table))
    return _bitmap_header(size, bits, len(pixels) + len(mask)) + table + bytes(pixels) + mask


def _true_colour_bitmap(rows):
    size = len(rows)
    pixels = b''.join(struct.pack('<BBBB', b, g, r, a)
                      for row in reversed(rows) for r, g, b, a in row)
    mask = _and_mask(rows)
    return _bitmap_header(size, 32, len(pixels) + len(mask)) + pixels + mask


def _png_chunk(kind, data):
    return (struct.pack('>I', len(data)) + kind + data
            + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))


def _png(rows):
    size = len(rows)
    raw = b''.join(b'\0' + bytes(channel for pixel in row for channel in pixel) for row in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + _png_chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + _png_chunk(b'IDAT', zlib.compress(raw, 9))
            + _png_chunk(b'IEND', b''))


def icon_images():
    """[(width, bits per pixel, image bytes)] for identifiers 1 to 10."""
    rendered = {}
    images = []
    for size, bits, png in ICON_FORMATS:
        if size not in rendered:
            rendered[size] = render(size)
        rows = rendered[size]
        if png:
            data = _png(rows)
        elif bits == 32:
            data = _true_colour_bitmap(rows)
        else:
            data = _indexed_bitmap(rows, bits, VGA_PALETTE if bits == 4 else CUBE_PALETTE)
        images.append((size, bits, data))
    return images


if __name__ == '__main__':
    # Writes the icon as an .ico file, to look at it with an image viewer.
    import sys
    images = icon_images()
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b''
    for size, bits, data in images:
        entries += struct.pack('<BBBBHHII', size % 256, size % 256, 16 if bits == 4 else 0, 0,
                               1, bits, len(data), offset)
        offset += len(data)
    with open(sys.argv[1] if len(sys.argv) > 1 else 'installer.ico', 'wb') as out:
        out.write(header + entries + b''.join(data for _, _, data in images))
