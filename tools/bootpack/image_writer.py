"""Writes an image: the stub's headers and sections as they are, then a
resource section made here, on a page of the file, then the stub's base
relocations.

Wine maps a section straight from the file only when its file offset lies on
a page, and reads every other one into memory at load; the payload of
hundreds of megabytes must be mapped, never read, or it would cost its whole
size in memory at every start. Windows maps either way. The gap before the
section is zeros that no header points at.

Files are streamed: the kernel copies them (copy_file_range) where it can,
otherwise they go through one buffer of COPY_CHUNK bytes; nothing holds a
whole payload in memory. The PE checksum is optional: Windows checks it only
for drivers and boot-time images, and signing writes it anyway.
"""
import os
import struct

from bootpack.pe_image import PAGE
from bootpack.pe_stub import check_loadable
from bootpack.resource_section import ResourceLayout, align

COPY_CHUNK = 8 << 20
KERNEL_CHUNK = 64 << 20


class PeChecksum:
    """The PE checksum of bytes given in order: the sum of their 16-bit
    words, carries folded back in, plus the file's length. Since 2^16 is 1
    modulo 0xFFFF, the folded sum of an even-length run is its value as a
    little-endian number modulo 0xFFFF, which CPython computes in C."""

    def __init__(self):
        self._sum = 0
        self._nonzero = False
        self._odd = b''
        self.length = 0

    def add(self, data):
        self.length += len(data)
        if self._odd:
            data = self._odd + bytes(data)
        self._odd = b''
        if len(data) % 2:
            self._odd = bytes(data[-1:])
            data = data[:-1]
        value = int.from_bytes(data, 'little')
        self._nonzero = self._nonzero or value != 0
        self._sum = (self._sum + value % 0xFFFF) % 0xFFFF

    def value(self):
        folded = (self._sum + self._odd[0] if self._odd else self._sum) % 0xFFFF
        # A sum that is a multiple of 0xFFFF folds to 0xFFFF, unless it is 0.
        if folded == 0 and (self._nonzero or (self._odd and self._odd[0])):
            folded = 0xFFFF
        return (folded + self.length) & 0xFFFFFFFF


class _Sink:
    """The output file, written in order from its first byte."""

    def __init__(self, fd, checksum):
        self._fd = fd
        self.position = 0
        self.checksum = PeChecksum() if checksum else None

    def write(self, data):
        view = memoryview(data)
        if self.checksum:
            self.checksum.add(view)
        while view:
            view = view[os.write(self._fd, view):]
        self.position += len(data)

    def zeros_to(self, position):
        if position > self.position:
            self.write(bytes(position - self.position))

    def copy(self, path, offset, size, progress=None):
        """Copies size bytes of path from offset on."""
        with open(path, 'rb', buffering=0) as source:
            source.seek(offset)
            copied = 0
            if not self.checksum:
                copied = self._copy_in_kernel(source, size, progress)
            buffer = bytearray(min(COPY_CHUNK, max(size - copied, 1)))
            while copied < size:
                count = source.readinto(memoryview(buffer)[:min(len(buffer), size - copied)])
                if not count:
                    break
                self.write(memoryview(buffer)[:count])
                copied += count
                if progress:
                    progress(copied, size)
        if copied != size:
            raise OSError(f'{path} changed size while it was read')

    def _copy_in_kernel(self, source, size, progress):
        copied = 0
        try:
            os.posix_fadvise(source.fileno(), source.tell(), size, os.POSIX_FADV_SEQUENTIAL)
            while copied < size:
                count = os.copy_file_range(source.fileno(), self._fd,
                                           min(KERNEL_CHUNK, size - copied))
                if count == 0:
                    break
                copied += count
                self.position += count
                if progress:
                    progress(copied, size)
        except OSError:
            if copied:
                raise
        return copied


def _placed(stub, resources):
    """(layout, its file offset, its size in the file) of the resource section."""
    raw_offset = align(stub.kept_end, PAGE)
    layout = ResourceLayout(resources, raw_offset)
    return layout, raw_offset, align(layout.size, stub.file_alignment)


def check_image_size(stub, resources):
    """Raises StubError, before anything is written, when the image the stub
    with these resources would make is one Windows does not load."""
    layout, raw_offset, raw_size = _placed(stub, resources)
    check_loadable(*stub.image_extent(layout.size, raw_offset, raw_size))


def write_image(stub, resources, out_path, *, checksum=False, timestamp=None, progress=None):
    """Writes the stub with a resource section holding `resources` (Resource
    records of resource_section) to out_path. progress(resource, done, total)
    hears of every file copied."""
    layout, raw_offset, raw_size = _placed(stub, resources)
    headers = stub.headers_for(layout.size, raw_offset, raw_size, timestamp)
    # No O_TRUNC on the fresh file the caller gives: ext4 takes a truncation
    # to zero for a file being replaced and writes it all out at close.
    fd = os.open(out_path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        if os.fstat(fd).st_size:
            os.ftruncate(fd, 0)
        sink = _Sink(fd, checksum)
        sink.write(headers)
        sink.copy(stub.path, len(headers), stub.kept_end - len(headers))
        sink.zeros_to(raw_offset)
        sink.write(layout.directory(stub.resource_rva))
        for res, offset in zip(layout.resources, layout.data_offsets):
            sink.zeros_to(raw_offset + offset)
            if isinstance(res.data, bytes):
                sink.write(res.data)
            else:
                sink.copy(res.data, 0, res.size,
                          progress and (lambda done, total, res=res: progress(res, done, total)))
        sink.zeros_to(raw_offset + raw_size)
        moved, _, _ = stub.moved_sections(raw_offset, raw_size, layout.size)
        for section, _, _ in moved:
            sink.copy(stub.path, section.raw_offset, section.raw_size)
        if sink.checksum:
            os.pwrite(fd, struct.pack('<I', sink.checksum.value()), stub.checksum_at)
    finally:
        os.close(fd)
