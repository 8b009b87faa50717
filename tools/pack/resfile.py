"""Writes a compiled resource file (.res) that lld links into the image.

Resources are streamed from their files, so a payload of any size costs one
copy and no more memory than the copy buffer.
"""
import shutil
import struct

LANG_EN_US = 1033
# MOVEABLE | PURE | DISCARDABLE, as resource compilers write them.
MEMORY_FLAGS = 0x1030


def _upper(text):
    """Upper case one character at a time, so the length never changes."""
    return ''.join(u if len(u := c.upper()) == 1 else c for c in text)


def _identifier(value):
    """A type or name: an integer identifier or a NUL-terminated UTF-16 string.

    Strings are stored in upper case, as resource compilers store them: the
    loader upper-cases the name it is asked for and searches the sorted
    directory exactly, so a name stored in lower or mixed case is never found.
    """
    if isinstance(value, int):
        return struct.pack('<HH', 0xFFFF, value)
    return (_upper(value) + '\0').encode('utf-16-le')


def _header(res_type, name, size, language):
    ids = _identifier(res_type) + _identifier(name)
    ids += b'\0' * (-len(ids) % 4)
    tail = struct.pack('<IHHII', 0, MEMORY_FLAGS, language, 0, 0)
    return struct.pack('<II', size, 8 + len(ids) + len(tail)) + ids + tail


class ResourceFile:
    """A .res file being written: the leading empty entry, then resources."""

    def __init__(self, path):
        self._file = open(path, 'wb')
        self._file.write(struct.pack('<II', 0, 32) + _identifier(0) + _identifier(0)
                         + struct.pack('<IHHII', 0, 0, 0, 0, 0))

    def add_bytes(self, res_type, name, data, language=LANG_EN_US):
        self._file.write(_header(res_type, name, len(data), language))
        self._file.write(data)
        self._file.write(b'\0' * (-len(data) % 4))

    def add_file(self, res_type, name, path, size, language=LANG_EN_US, progress=None):
        self._file.write(_header(res_type, name, size, language))
        with open(path, 'rb') as source:
            copied = 0
            while True:
                chunk = source.read(16 << 20)
                if not chunk:
                    break
                self._file.write(chunk)
                copied += len(chunk)
                if progress:
                    progress(copied, size)
        if copied != size:
            raise OSError(f'{path} changed size while it was read')
        self._file.write(b'\0' * (-size % 4))

    def close(self):
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
