"""The stub image an installer is made from, read with struct alone so that
packing needs nothing beyond Python's standard library.

A stub has the shape the build gives it: PE32+ for x86-64, unsigned, nothing
after its last section, and either no resources at all (the linked code
image) or its resource section last but for the base relocations
(bootpack.exe, or an installer). The packer keeps every other section byte
for byte and writes a new resource section in place of the old one, or
after the code and data when there is none. The base relocations, which no
code refers to, follow it unchanged: that way the resource section starts
on the page where the code and data end, with no page of padding before it.
Only the headers that describe these two sections change.
"""
import struct
from collections import namedtuple

from bootpack.resource_section import ResourceError, align, read_resources

PAGE = 4096
SECTION_HEADER_SIZE = 40
RESOURCE_DIRECTORY = 2
CERTIFICATE_DIRECTORY = 4
RELOCATION_DIRECTORY = 5
RESOURCE_SECTION_NAME = b'.rsrc'
RELOCATION_SECTION_NAME = b'.reloc'
# IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ, as linkers mark .rsrc.
RESOURCE_SECTION_FLAGS = 0x40000040
# The loader maps a whole image, and Windows loads no executable image of
# 2 GiB or more, in memory or on disk; nor can the shell read its icon.
MAX_LOADABLE_IMAGE = 2 << 30
LOADABLE_LIMIT_REASON = 'Windows does not load executable images of 2 GiB or more'
# A resource directory is far smaller: a few entries and names.
DIRECTORY_LIMIT = 1 << 20

# In the order of the section header's fields.
Section = namedtuple('Section', 'name virtual_size virtual_address raw_size raw_offset')


class StubError(Exception):
    """A stub the packer cannot make an installer from."""


class StubImage:
    def __init__(self, path):
        self.path = path
        try:
            with open(path, 'rb') as f:
                head = f.read(PAGE)
                f.seek(0, 2)
                self.file_size = f.tell()
        except IsADirectoryError:
            raise StubError(f'{path} is a folder, not a stub image')
        self._parse(head)

    def _fail(self, reason):
        raise StubError(f'the stub {self.path} {reason}')

    def _parse(self, head):
        if len(head) < 0x40 or head[:2] != b'MZ':
            self._fail('is not a PE image (no MZ header)')
        pe = struct.unpack_from('<I', head, 0x3C)[0]
        if pe + 24 > len(head) or head[pe:pe + 4] != b'PE\0\0':
            self._fail('is not a PE image (no PE header in its first page)')
        machine, count, self.timestamp, _, _, optional_size, _ = struct.unpack_from(
            '<HHIIIHH', head, pe + 4)
        optional = pe + 24
        self.table_at = optional + optional_size
        if machine != 0x8664 or optional + 2 > len(head) or \
                struct.unpack_from('<H', head, optional)[0] != 0x20B:
            self._fail('is not a PE32+ image for x86-64')
        if self.table_at + SECTION_HEADER_SIZE * count > len(head) or \
                optional_size < 112 + 8 * (RELOCATION_DIRECTORY + 1):
            self._fail('has headers this packer does not know')
        self.timestamp_at = pe + 8
        self.count_at = pe + 6
        self.optional_at = optional
        (self.section_alignment, self.file_alignment) = struct.unpack_from('<II', head,
                                                                            optional + 32)
        self.headers_size = struct.unpack_from('<I', head, optional + 60)[0]
        self.checksum_at = optional + 64
        directories = struct.unpack_from('<I', head, optional + 108)[0]
        # Only the directories that the optional header has room for are read.
        self.directory_count = min(directories, 16, (optional_size - 112) // 8)
        if directories <= RELOCATION_DIRECTORY or self.headers_size > len(head) or \
                self.section_alignment != PAGE or self.file_alignment not in (512, PAGE):
            self._fail('has headers this packer does not know')
        if self.headers_size < self.table_at + SECTION_HEADER_SIZE * count:
            self._fail('has a SizeOfHeaders that ends before its section table does')
        self.head = head[:self.headers_size]
        self.sections = [Section(*struct.unpack_from('<8sIIII', head,
                                                     self.table_at + SECTION_HEADER_SIZE * i))
                         for i in range(count)]
        if not self.sections:
            self._fail('has no section')
        if any(self._directory(CERTIFICATE_DIRECTORY)):
            self._fail('is signed; pack an unsigned stub and sign the installer')
        self._find_resource_section()

    def _directory(self, index):
        return struct.unpack_from('<II', self.head, self._directory_at(index))

    def _find_resource_section(self):
        sections = list(self.sections)
        # The base relocations go after the resource section, whatever it holds.
        self.moved = []
        if sections[-1].name.rstrip(b'\0') == RELOCATION_SECTION_NAME and len(sections) > 1:
            self.moved = [sections.pop()]
        last = sections[-1]
        self.old_resources = last if last.name.rstrip(b'\0') == RESOURCE_SECTION_NAME else None
        self.kept = sections[:-1] if self.old_resources else sections
        names = [s.name.rstrip(b'\0') for s in self.kept]
        if RESOURCE_SECTION_NAME in names:
            self._fail('has its resource section before another section; it must be last')
        resource_rva, _ = self._directory(RESOURCE_DIRECTORY)
        if resource_rva and (self.old_resources is None
                             or resource_rva != self.old_resources.virtual_address):
            self._fail('has resources outside a last .rsrc section')
        for index in range(self.directory_count):
            rva, size = self._directory(index)
            inside = [m for m in self.moved
                      if size and m.virtual_address <= rva < m.virtual_address + m.virtual_size]
            if inside and index != RELOCATION_DIRECTORY:
                self._fail('has data in its base relocation section that another part uses')
        end = max(s.raw_offset + s.raw_size for s in self.sections)
        if self.file_size > end:
            self._fail('has data after its last section')
        if self.file_size < end:
            self._fail('is cut short')
        self.kept_end = max([self.headers_size]
                            + [s.raw_offset + s.raw_size for s in self.kept if s.raw_size])
        for section in [self.old_resources] + self.moved:
            if section and section.raw_size and section.raw_offset < self.kept_end:
                self._fail('has another section\'s data after its resource section')
        if not self.kept:
            self._fail('has no section besides its resources')
        # The loader takes a section without a virtual size at its raw size.
        self.resource_rva = max(align(s.virtual_address + (s.virtual_size or s.raw_size),
                                       self.section_alignment) for s in self.kept)
        first_raw = min([s.raw_offset for s in self.sections if s.raw_size] or [self.headers_size])
        count = len(self.kept) + 1 + len(self.moved)
        if self.table_at + SECTION_HEADER_SIZE * count > min(self.headers_size, first_raw):
            self._fail('has no room in its headers for another section')

    def resources(self):
        """The resources of the stub's resource section, as FoundResource."""
        if self.old_resources is None:
            return []
        section = self.old_resources
        try:
            return read_resources(self.read_section(section), section.virtual_address)
        except ResourceError as error:
            self._fail(f'has a damaged resource section: {error}')

    def read_section(self, section, limit=DIRECTORY_LIMIT):
        """The first bytes of a section: enough for a resource directory,
        never a whole payload."""
        with open(self.path, 'rb') as f:
            f.seek(section.raw_offset)
            return f.read(min(section.raw_size, limit))

    def read_resource(self, found):
        """The bytes of one resource of the stub."""
        section = self.old_resources
        at = found.rva - section.virtual_address
        if at < 0 or at + found.size > section.raw_size:
            self._fail('has a resource outside its resource section')
        with open(self.path, 'rb') as f:
            f.seek(section.raw_offset + at)
            return f.read(found.size)

    def moved_sections(self, raw_offset, raw_size, resource_size):
        """Where the sections after the resource section go: (section, new
        virtual address, new file offset) for each."""
        placed = []
        address = align(self.resource_rva + resource_size, self.section_alignment)
        offset = raw_offset + raw_size
        for section in self.moved:
            placed.append((section, address, offset))
            address = align(address + (section.virtual_size or section.raw_size),
                             self.section_alignment)
            offset += section.raw_size
        return placed, address, offset

    def headers_for(self, resource_size, raw_offset, raw_size, timestamp=None):
        """The stub's headers for an image whose resource section of
        resource_size bytes (raw_size in the file) starts at raw_offset."""
        moved, image_size, file_end = self.moved_sections(raw_offset, raw_size, resource_size)
        check_loadable(image_size, file_end)
        head = bytearray(self.head)
        struct.pack_into('<H', head, self.count_at, len(self.kept) + 1 + len(moved))
        if timestamp is not None:
            struct.pack_into('<I', head, self.timestamp_at, timestamp)
        # SizeOfInitializedData counts the resource section as a linker does.
        initialized_at = self.optional_at + 8
        initialized = struct.unpack_from('<I', head, initialized_at)[0]
        if self.old_resources:
            initialized -= self.old_resources.raw_size
        struct.pack_into('<I', head, initialized_at, initialized + raw_size)
        struct.pack_into('<I', head, self.optional_at + 56, image_size)
        struct.pack_into('<I', head, self.checksum_at, 0)
        struct.pack_into('<II', head, self._directory_at(RESOURCE_DIRECTORY),
                         self.resource_rva, resource_size)
        entry = self.table_at + SECTION_HEADER_SIZE * len(self.kept)
        struct.pack_into('<8sIIIIIIHHI', head, entry, RESOURCE_SECTION_NAME, resource_size,
                         self.resource_rva, raw_size, raw_offset, 0, 0, 0, 0,
                         RESOURCE_SECTION_FLAGS)
        relocations_rva, _ = self._directory(RELOCATION_DIRECTORY)
        for section, address, offset in moved:
            entry += SECTION_HEADER_SIZE
            head[entry:entry + SECTION_HEADER_SIZE] = self.head[
                self._section_header_at(section):][:SECTION_HEADER_SIZE]
            struct.pack_into('<I', head, entry + 12, address)
            struct.pack_into('<I', head, entry + 20, offset)
            if section.virtual_address <= relocations_rva < section.virtual_address + \
                    (section.virtual_size or section.raw_size):
                struct.pack_into('<I', head, self._directory_at(RELOCATION_DIRECTORY),
                                 relocations_rva - section.virtual_address + address)
        return bytes(head)

    def image_extent(self, resource_size, raw_offset, raw_size):
        """(SizeOfImage, file size) of an image with this resource section."""
        _, image_size, file_end = self.moved_sections(raw_offset, raw_size, resource_size)
        return image_size, file_end

    def _directory_at(self, index):
        return self.optional_at + 112 + 8 * index

    def _section_header_at(self, section):
        return self.table_at + SECTION_HEADER_SIZE * self.sections.index(section)


def loadable_problem(image_size, file_size, verb='would be'):
    """Why Windows would not load an image of these sizes, or None."""
    largest = max(image_size, file_size)
    if largest < MAX_LOADABLE_IMAGE:
        return None
    what = (f'{file_size:,} bytes' if file_size >= image_size else
            f'{image_size:,} bytes in memory (SizeOfImage)')
    return (f'the image {verb} {what}, over the limit of {MAX_LOADABLE_IMAGE:,} '
            f'(2 GiB): {LOADABLE_LIMIT_REASON}')


def check_loadable(image_size, file_size):
    problem = loadable_problem(image_size, file_size)
    if problem:
        raise StubError(problem)
