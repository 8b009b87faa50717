"""The Authenticode digest of an image: where the fields it leaves out lie,
and one pass over the file that feeds any number of hashes. Only the PE
layout is needed, so nothing here imports an ASN.1 or cryptography library:
pack's statement, provenance checks and the digest sign computes while
osslsigncode runs start without them.
"""
import dataclasses
import hashlib
import mmap
from pathlib import Path

import pefile

from bootpack.cli import UsageError, shown
from bootpack.pe_image import CERTIFICATE_DIRECTORY

CHUNK = 8 << 20


@dataclasses.dataclass
class ImageLayout:
    size: int
    checksum_at: int       # the 4-byte CheckSum field, not hashed
    directory_at: int      # the 8-byte certificate table directory entry, not hashed
    table: tuple | None    # (offset, size) of the certificate table


def image_layout(path):
    """Where the fields that Authenticode leaves out of the digest lie."""
    try:
        pe = pefile.PE(str(path), fast_load=True)
    except pefile.PEFormatError:
        raise UsageError(f'{shown(path)}: not a PE image') from None
    except OSError as error:
        raise UsageError(f'{shown(path)}: {error.strerror}') from None
    with pe:
        return layout_of(pe, path)


def layout_of(pe, path):
    """image_layout of an image already parsed, which inspect has."""
    size = len(pe.__data__)
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if CERTIFICATE_DIRECTORY >= len(directories):
        raise UsageError(f'{shown(path)}: its headers hold no certificate table entry')
    entry = directories[CERTIFICATE_DIRECTORY]
    table = (entry.VirtualAddress, entry.Size) if entry.Size else None
    return ImageLayout(size, pe.OPTIONAL_HEADER.get_field_absolute_offset('CheckSum'),
                       entry.get_file_offset(), table)


def covered_spans(layout):
    """What Authenticode digests: everything before the certificate table
    except the CheckSum field and the table's directory entry."""
    end = layout.table[0] if layout.table else layout.size
    return [(0, layout.checksum_at), (layout.checksum_at + 4, layout.directory_at),
            (layout.directory_at + 8, end)]


def hash_spans(path, hashers):
    """Feeds each (hash, spans) of HASHERS the bytes of its spans of the file,
    in one pass over a mapping of it whose pages are let go as the pass
    moves on: no copies, and memory stays at CHUNK whatever the file's size."""
    size = Path(path).stat().st_size
    if size == 0:
        return
    with open(path, 'rb') as image, mmap.mmap(image.fileno(), 0, access=mmap.ACCESS_READ) as m:
        view = memoryview(m)
        try:
            for at in range(0, size, CHUNK):
                end = min(at + CHUNK, size)
                for hasher, spans in hashers:
                    for start, stop in spans:
                        low, high = max(start, at), min(stop, end)
                        if low < high:
                            hasher.update(view[low:high])
                m.madvise(mmap.MADV_DONTNEED, at, end - at)
        finally:
            view.release()


def authenticode_digest(path, layout, algorithm):
    """The image's digest as Authenticode takes it."""
    digest = hashlib.new(algorithm)
    hash_spans(path, [(digest, covered_spans(layout))])
    return digest.digest()
