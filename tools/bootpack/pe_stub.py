"""The stub image an installer is made from, and the headers pack writes for it.

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

from bootpack.pe_image import (CERTIFICATE_DIRECTORY, MACHINE_X64, PAGE, PE32_PLUS_MAGIC,
                               RELOCATION_DIRECTORY, RESOURCE_DIRECTORY, SECTION_HEADER_SIZE,
                               NotAnImage, read_headers, resource_list)
from bootpack.cli import ToolError
from bootpack.resource_section import align

RESOURCE_SECTION_NAME = b'.rsrc'
RELOCATION_SECTION_NAME = b'.reloc'
# IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ, as linkers mark .rsrc.
RESOURCE_SECTION_FLAGS = 0x40000040
# The loader maps a whole image, and Windows loads no executable image of
# 2 GiB or more, in memory or on disk; nor can the shell read its icon.
MAX_LOADABLE_IMAGE = 2 << 30
LOADABLE_LIMIT_REASON = 'Windows does not load executable images of 2 GiB or more'

# In the order of the section header's fields.
Section = namedtuple('Section', 'name virtual_size virtual_address raw_size raw_offset')


class StubError(ToolError):
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
        try:
            pe = read_headers(head)
        except NotAnImage as error:
            self._fail(f'is not a PE image ({error} in its first page)')
        if pe.FILE_HEADER.Machine != MACHINE_X64 or \
                getattr(pe, 'OPTIONAL_HEADER', None) is None or \
                pe.OPTIONAL_HEADER.Magic != PE32_PLUS_MAGIC:
            self._fail('is not a PE32+ image for x86-64')
        optional = pe.OPTIONAL_HEADER
        count = pe.FILE_HEADER.NumberOfSections
        self.timestamp = pe.FILE_HEADER.TimeDateStamp
        self.timestamp_at = pe.FILE_HEADER.get_field_absolute_offset('TimeDateStamp')
        self.count_at = pe.FILE_HEADER.get_field_absolute_offset('NumberOfSections')
        self.optional_at = optional.get_file_offset()
        self.table_at = self.optional_at + pe.FILE_HEADER.SizeOfOptionalHeader
        self.directory_offsets = [d.get_file_offset() for d in optional.DATA_DIRECTORY]
        # Only the directories that the optional header has room for are read.
        room = (self.table_at - self.directory_offsets[0]) // 8 if self.directory_offsets else 0
        self.directory_count = min(len(self.directory_offsets), room)
        if self.table_at + SECTION_HEADER_SIZE * count > len(head) or \
                self.directory_count <= RELOCATION_DIRECTORY:
            self._fail('has headers this packer does not know')
        self.section_alignment = optional.SectionAlignment
        self.file_alignment = optional.FileAlignment
        self.headers_size = optional.SizeOfHeaders
        self.checksum_at = optional.get_field_absolute_offset('CheckSum')
        self.initialized_at = optional.get_field_absolute_offset('SizeOfInitializedData')
        self.image_size_at = optional.get_field_absolute_offset('SizeOfImage')
        if self.headers_size > len(head) or \
                self.section_alignment != PAGE or self.file_alignment not in (512, PAGE):
            self._fail('has headers this packer does not know')
        if self.headers_size < self.table_at + SECTION_HEADER_SIZE * count:
            self._fail('has a SizeOfHeaders that ends before its section table does')
        self.head = head[:self.headers_size]
        self.sections = [Section(s.Name, s.Misc_VirtualSize, s.VirtualAddress, s.SizeOfRawData,
                                 s.PointerToRawData) for s in pe.sections]
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
        """The resources of the stub's resource section."""
        if self.old_resources is None:
            return []
        try:
            return resource_list(self.path)
        except NotAnImage as error:
            self._fail(f'has a damaged resource section: {error}')

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
        initialized = struct.unpack_from('<I', head, self.initialized_at)[0]
        if self.old_resources:
            initialized -= self.old_resources.raw_size
        struct.pack_into('<I', head, self.initialized_at, initialized + raw_size)
        struct.pack_into('<I', head, self.image_size_at, image_size)
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
        return self.directory_offsets[index]

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
