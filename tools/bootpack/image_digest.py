"""The Authenticode digest of an image: where the fields it leaves out lie,
and one pass over the file that feeds any number of hashes. Only the PE
layout is needed, so nothing here imports an ASN.1 or cryptography library:
pack's statement, provenance checks and the digest sign computes while
osslsigncode runs start without them.

The pass is what a check of a large image waits for, so it can start before
anything else is imported (DigestInBackground): its layout is read from the
raw headers and later held against pefile's, which alone decides.
"""
import dataclasses
import hashlib
import mmap
import threading
from pathlib import Path

from bootpack.cli import UsageError, shown

CHUNK = 8 << 20
# Where the headers keep what the digest leaves out: the PE signature's
# offset at 0x3C, the optional header behind the signature and the file
# header, its CheckSum at 64 and its data directories at 96 (PE32) or 112
# (PE32+), the certificate table's being the fifth.
PE_OFFSET_AT = 0x3C
OPTIONAL_HEADER_FROM_SIGNATURE = 24
CHECKSUM_IN_OPTIONAL_HEADER = 64
DIRECTORIES_IN_OPTIONAL_HEADER = {0x10B: 96, 0x20B: 112}
CERTIFICATE_ENTRY_IN_DIRECTORIES = 4 * 8
HEADER_BYTES = 4096


@dataclasses.dataclass
class ImageLayout:
    size: int
    checksum_at: int       # the 4-byte CheckSum field, not hashed
    directory_at: int      # the 8-byte certificate table directory entry, not hashed
    table: tuple | None    # (offset, size) of the certificate table


def image_layout(path):
    """Where the fields that Authenticode leaves out of the digest lie."""
    import pefile
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
    from bootpack.pe_image import CERTIFICATE_DIRECTORY
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


def hash_spans(path, hashers, cancel=None):
    """Feeds each (hash, spans) of HASHERS the bytes of its spans of the file,
    in one pass over a mapping of it whose pages are let go as the pass
    moves on: no copies, and memory stays at CHUNK whatever the file's size.
    CANCEL, an Event, once set, ends the pass at the next chunk."""
    size = Path(path).stat().st_size
    if size == 0:
        return
    with open(path, 'rb') as image, mmap.mmap(image.fileno(), 0, access=mmap.ACCESS_READ) as m:
        view = memoryview(m)
        try:
            for at in range(0, size, CHUNK):
                if cancel is not None and cancel.is_set():
                    return
                end = min(at + CHUNK, size)
                for hasher, spans in hashers:
                    for start, stop in spans:
                        low, high = max(start, at), min(stop, end)
                        if low < high:
                            hasher.update(view[low:high])
                m.madvise(mmap.MADV_DONTNEED, at, end - at)
        finally:
            view.release()


def authenticode_digest(path, layout, algorithm, cancel=None):
    """The image's digest as Authenticode takes it (None when CANCEL ended it)."""
    digest = hashlib.new(algorithm)
    hash_spans(path, [(digest, covered_spans(layout))], cancel)
    return None if cancel is not None and cancel.is_set() else digest.digest()


def header_layout(path):
    """The layout as the raw headers of PATH state it, read without pefile,
    or None where they do not hold one plainly."""
    with open(path, 'rb') as image:
        head = image.read(HEADER_BYTES)
        size = image.seek(0, 2)

    def number(at, width):
        if at + width > len(head):
            raise IndexError(at)
        return int.from_bytes(head[at:at + width], 'little')

    try:
        signature_at = number(PE_OFFSET_AT, 4)
        if head[:2] != b'MZ' or head[signature_at:signature_at + 4] != b'PE\0\0':
            return None
        optional = signature_at + OPTIONAL_HEADER_FROM_SIGNATURE
        directories = DIRECTORIES_IN_OPTIONAL_HEADER.get(number(optional, 2))
        if directories is None:
            return None
        entry = optional + directories + CERTIFICATE_ENTRY_IN_DIRECTORIES
        offset, length = number(entry, 4), number(entry + 4, 4)
    except IndexError:
        return None
    return ImageLayout(size, optional + CHECKSUM_IN_OPTIONAL_HEADER, entry,
                       (offset, length) if length else None)


class DigestInBackground:
    """The Authenticode digest of PATH, computed on a thread of its own from
    the moment this is made (hashlib lets go of the interpreter while it
    hashes), while the caller imports, parses and checks the rest. Leaving
    it as a context ends the pass: nothing maps the file after the caller is
    done with it, whatever way that was."""

    def __init__(self, path, algorithm='sha256'):
        self.path, self.algorithm = path, algorithm
        self.layout = self.value = self.error = None
        self.cancel = threading.Event()
        self.thread = threading.Thread(target=self.compute, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cancel.set()
        self.thread.join()

    def compute(self):
        try:
            layout = header_layout(self.path)
            if layout is not None and layout.table is not None:  # only a signature wants it
                self.value = authenticode_digest(self.path, layout, self.algorithm,
                                                 self.cancel)
                self.layout = layout
        except Exception as error:  # raised where the digest is asked for, as the edge wants
            self.error = error

    def digest(self, layout, algorithm):
        """The digest under LAYOUT, the one pefile read: the one computed
        meanwhile where its layout and algorithm are these, else a pass now."""
        self.thread.join()
        # An unreadable file is read again below, which says why; anything
        # else is a fault of ours.
        if self.error is not None and not isinstance(self.error, (OSError, ValueError)):
            raise self.error
        if self.value is not None and self.layout == layout and self.algorithm == algorithm:
            return self.value
        return authenticode_digest(self.path, layout, algorithm)
