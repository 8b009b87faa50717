"""The check before a signed image is kept, at the cost of a comparison
rather than a second digest pass: the digest the signature must carry is
computed from the input while osslsigncode runs, and afterwards the output
must be the input byte for byte, but for the fields signing changes (the
CheckSum and the certificate table's directory entry) and what it appends
(zeros up to an 8-byte boundary, then the certificate table)."""
import ctypes
import hashlib
import mmap
import os
import threading

from bootpack.image_digest import (CHUNK, authenticode_digest, covered_spans, hash_spans,
                                   image_layout)

ALGORITHM = 'sha256'   # what sign asks osslsigncode for
TABLE_ALIGNMENT = 8    # the certificate table starts on such a boundary


class InputDigest:
    """The input's layout (UsageError for no PE image) and its digest so far:
    signing adds only padding to what Authenticode covers."""

    def __init__(self, source):
        self.source = source
        self.layout = image_layout(source)
        self.spans = covered_spans(self.layout)
        self.hasher = hashlib.new(ALGORITHM)
        hash_spans(source, [(self.hasher, self.spans)])
        self.end = self.spans[-1][1]

    def padding(self, layout):
        """How many bytes the signed image with LAYOUT put between the input's
        covered bytes and its certificate table, or None where it is not the
        input's layout with a table appended."""
        if layout.table is None or (layout.checksum_at, layout.directory_at) != \
                (self.layout.checksum_at, self.layout.directory_at):
            return None
        padding = layout.table[0] - self.end
        return padding if 0 <= padding < TABLE_ALIGNMENT else None


class SignedFromInput:
    """The digest of the signed image at PATH as check_signature asks for it:
    the input's digest with the padding added, where the signed image has
    the input's layout; otherwise (which the comparison then refuses) a
    pass of its own."""

    def __init__(self, path, before):
        self.path, self.before = path, before

    def digest(self, layout, algorithm):
        padding = self.before.padding(layout)
        if padding is None or algorithm != ALGORITHM:
            return authenticode_digest(self.path, layout, algorithm)
        hasher = self.before.hasher.copy()
        with open(self.path, 'rb') as signed:
            signed.seek(self.before.end)
            hasher.update(signed.read(padding))
        return hasher.digest()


def difference_from_input(path, layout, before):
    """None when the signed image at PATH (with LAYOUT) is the input but for
    what signing changes; else what differs, in a few words."""
    padding = before.padding(layout)
    if padding is None:
        return 'its headers or its length are not the input\'s'
    if os.path.getsize(path) < before.end + padding:
        return 'it is shorter than the input'
    with open(path, 'rb') as signed:
        signed.seek(before.end)
        if signed.read(padding) != bytes(padding):
            return 'the padding before its certificate table is not zeros'
    at = first_difference(before.source, path, before.spans)
    if at is not None:
        return f'its byte at {at:#x} is not the input\'s'
    return None


def c_memcmp():
    memcmp = ctypes.CDLL(None).memcmp
    memcmp.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    memcmp.restype = ctypes.c_int
    return memcmp


def first_difference(first, second, spans, workers=2):
    """The first offset within SPANS at which the files FIRST and SECOND
    differ, or None. Both are mapped and compared by the C library's memcmp,
    which lets go of the interpreter, on WORKERS threads that take a part of
    the files each: no copies, and pages are let go as each moves on."""
    memcmp = c_memcmp()
    end = spans[-1][1]
    if end == 0:
        return None
    with open(first, 'rb') as a, open(second, 'rb') as b, \
            mmap.mmap(a.fileno(), end, access=mmap.ACCESS_COPY) as x, \
            mmap.mmap(b.fileno(), end, access=mmap.ACCESS_COPY) as y:
        # A copy-on-write mapping lends its address; nothing writes to it.
        bases = [ctypes.c_char.from_buffer(m) for m in (x, y)]
        try:
            low_x, low_y = (ctypes.addressof(base) for base in bases)

            def part(begin, finish):
                for at in range(begin, finish, CHUNK):
                    stop = min(at + CHUNK, finish)
                    for low, high in spans:
                        low, high = max(low, at), min(high, stop)
                        if low < high and memcmp(low_x + low, low_y + low, high - low):
                            return low + first_unequal(memcmp, low_x + low, low_y + low,
                                                       high - low)
                    for m in (x, y):
                        m.madvise(mmap.MADV_DONTNEED, at, stop - at)
                return None

            share = -(-end // workers // CHUNK) * CHUNK  # whole chunks each
            parts = [in_background(part, at, min(at + share, end))
                     for at in range(0, end, share)]
            found = [offset for offset in (wait() for wait in parts) if offset is not None]
        finally:
            del bases
    return min(found, default=None)


def in_background(function, *args):
    """Starts FUNCTION(*ARGS) on a thread of its own; the callable returned
    waits for it and gives its result, or raises what it raised."""
    outcome = {}

    def run():
        try:
            outcome['value'] = function(*args)
        except BaseException as error:  # raised again where the result is asked for
            outcome['error'] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def wait():
        thread.join()
        if 'error' in outcome:
            raise outcome['error']
        return outcome['value']
    return wait


def first_unequal(memcmp, x, y, length):
    """The first offset at which LENGTH bytes at X and Y, known to differ, do."""
    low, high = 0, length  # the first difference lies in [low, high)
    while high - low > 1:
        middle = (low + high) // 2
        if memcmp(x + low, y + low, middle - low):
            high = middle
        else:
            low = middle
    return low
