"""The version block (VS_VERSION_INFO) that Windows shows as the file's
properties: written for every image, and read back from a stub, whose own
block holds the source revision it was built from and the default strings.
"""
import re
import struct

from bootpack.cli import ToolError

# The string table's keys, in the order they are written.
STRING_KEYS = ('CompanyName', 'FileDescription', 'FileVersion', 'InternalName',
               'LegalCopyright', 'ProductName', 'ProductVersion', 'CompanyShortName',
               'ProductShortName', 'LastChange', 'Official Build')
STRING_TABLE = '040904b0'  # English (United States), Unicode code page 1200
FIXED_SIGNATURE = 0xFEEF04BD
VERSION_PATTERN = re.compile(r'^\d+\.\d+\.\d+\.\d+$')


# A node's length, and so the whole block's, is a 16-bit count of bytes.
MAX_NODE = 0xFFFF


class VersionBlockError(ToolError):
    """A version block that cannot be read, or strings too long for one."""


def parse_version(text):
    """'A.B.C.D' with each number 0 to 65535, as four integers; None if not."""
    if not VERSION_PATTERN.match(text):
        return None
    numbers = [int(n) for n in text.split('.')]
    if any(n > 0xFFFF for n in numbers):
        return None
    return numbers


def dotted(version):
    return '.'.join(str(n) for n in version)


def _pad4(data):
    return data + b'\0' * (-len(data) % 4)


def _node(key, value=b'', value_length=0, text=False, children=()):
    """One node: header, key, value, then its children, each starting on a
    4-byte boundary. wLength counts no trailing padding."""
    body = _pad4(struct.pack('<HHH', 0, value_length, 1 if text else 0)
                 + (key + '\0').encode('utf-16-le'))
    body += value
    for child in children:
        body = _pad4(body) + child
    if len(body) > MAX_NODE:
        raise VersionBlockError(f'the version block\'s strings are too long: its {key} part '
                                f'would take {len(body)} bytes, and at most {MAX_NODE} fit')
    return struct.pack('<H', len(body)) + body[2:]


def _string(key, value):
    # wValueLength counts UTF-16 code units, the terminator's too.
    encoded = (value + '\0').encode('utf-16-le')
    return _node(key, encoded, len(encoded) // 2, text=True)


def build_version_block(version, strings):
    """version: four numbers; strings: {key: value} for every key of STRING_KEYS."""
    ms = (version[0] << 16) | version[1]
    ls = (version[2] << 16) | version[3]
    # VS_FIXEDFILEINFO: file and product version equal, flags mask 0x17, no
    # flags, VOS__WINDOWS32, VFT_APP, no subtype, no date.
    fixed = struct.pack('<13I', FIXED_SIGNATURE, 0x00010000, ms, ls, ms, ls,
                        0x17, 0, 0x4, 0x1, 0, 0, 0)
    table = _node(STRING_TABLE, text=True,
                  children=[_string(key, strings[key]) for key in STRING_KEYS])
    file_info = _node('StringFileInfo', text=True, children=[table])
    translation = _node('Translation', struct.pack('<HH', 0x0409, 1200), 4)
    variables = _node('VarFileInfo', text=True, children=[translation])
    return _node('VS_VERSION_INFO', fixed, len(fixed), children=[file_info, variables])


def _read_node(data, at, end):
    """(key, value bytes, children's (start, end), node end) of the node at `at`."""
    if at + 6 > end:
        raise VersionBlockError('a version block node is cut short')
    length, value_length, text = struct.unpack_from('<HHH', data, at)
    node_end = at + length
    if length < 6 or node_end > end:
        raise VersionBlockError('a version block node runs past its parent')
    key_end = at + 6
    while key_end + 2 <= node_end and data[key_end:key_end + 2] != b'\0\0':
        key_end += 2
    key = data[at + 6:key_end].decode('utf-16-le', 'replace')
    value_at = key_end + 2
    value_at += -value_at % 4
    value_size = value_length * 2 if text else value_length
    value = data[value_at:min(value_at + value_size, node_end)]
    children_at = value_at + value_size
    children_at += -children_at % 4
    return key, value, children_at, node_end


def _children(data, at, end):
    while at < end:
        key, value, children_at, node_end = _read_node(data, at, end)
        yield key, value, children_at, node_end
        at = node_end + (-node_end % 4)


def read_version_block(data):
    """(version as four numbers, {key: value} of the string table) of a block."""
    key, fixed, children_at, end = _read_node(data, 0, len(data))
    if key != 'VS_VERSION_INFO' or len(fixed) < 52 or \
            struct.unpack_from('<I', fixed)[0] != FIXED_SIGNATURE:
        raise VersionBlockError('no VS_VERSION_INFO with a fixed part')
    ms, ls = struct.unpack_from('<II', fixed, 8)
    version = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    strings = {}
    for key, _, at, node_end in _children(data, children_at, end):
        if key != 'StringFileInfo':
            continue
        for table, _, string_at, table_end in _children(data, at, node_end):
            for name, value, _, _ in _children(data, string_at, table_end):
                strings[name] = value.decode('utf-16-le', 'replace').rstrip('\0')
    return version, strings
