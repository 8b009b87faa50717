"""Reads a PE32+ image from its bytes: headers, sections, imports, the load
configuration, the resource tree and the certificate table. Nothing here
trusts the file: every read is bounds-checked and a malformed image raises
PeError."""
import struct
from collections import namedtuple

Resource = namedtuple('Resource', 'type name language size rva')
Section = namedtuple('Section', 'name virtual_address virtual_size raw_offset raw_size flags')

DIRECTORY_NAMES = ['export', 'import', 'resource', 'exception', 'certificate', 'base relocation',
                   'debug', 'architecture', 'global pointer', 'tls', 'load config',
                   'bound import', 'iat', 'delay import', 'clr', 'reserved']


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b'MZ':
            raise PeError('no MZ header')
        pe = self._u32(0x3C)
        if self.data[pe:pe + 4] != b'PE\0\0':
            raise PeError('no PE header')
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        opt = pe + 24
        self.magic = self._u16(opt)
        if self.magic != 0x20B:
            raise PeError(f'not PE32+ (optional header magic {self.magic:#x})')
        self.entry_point = self._u32(opt + 16)
        self.image_base = struct.unpack_from('<Q', data, opt + 24)[0]
        self.file_alignment = self._u32(opt + 36)
        (self.os_version, self.image_version, self.subsystem_version) = [
            struct.unpack_from('<HH', data, opt + at) for at in (40, 44, 48)]
        self.subsystem, self.dll_characteristics = struct.unpack_from('<HH', data, opt + 68)
        count = self._u32(opt + 108)
        self.directories = [struct.unpack_from('<II', data, opt + 112 + 8 * i)
                            for i in range(min(count, 16))]
        self.sections = []
        at = opt + optional_size
        for _ in range(sections):
            name, vsize, va, raw_size, raw_offset = struct.unpack_from('<8sIIII', data, at)
            flags = self._u32(at + 36)
            self.sections.append(Section(name.rstrip(b'\0').decode('ascii', 'replace'),
                                         va, vsize, raw_offset, raw_size, flags))
            at += 40

    def _u16(self, offset):
        return struct.unpack_from('<H', self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from('<I', self.data, offset)[0]

    def directory(self, name):
        index = DIRECTORY_NAMES.index(name)
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva, size=1):
        for s in self.sections:
            if s.virtual_address <= rva and rva + size <= s.virtual_address + s.raw_size:
                offset = s.raw_offset + rva - s.virtual_address
                if offset + size <= len(self.data):
                    return offset
        raise PeError(f'RVA {rva:#x} lies outside the file')

    def read(self, rva, size):
        offset = self.offset(rva, size)
        return self.data[offset:offset + size]

    def c_string(self, rva):
        offset = self.offset(rva)
        end = self.data.index(b'\0', offset)
        return self.data[offset:end].decode('ascii', 'replace')

    def section_of(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                return s
        return None

    def imports(self):
        """[(dll, [function name or '#ordinal', ...])]."""
        rva, size = self.directory('import')
        result = []
        while rva:
            original, _, _, name, first = struct.unpack('<IIIII', self.read(rva, 20))
            if name == 0:
                break
            functions = []
            thunk = original or first
            while True:
                value = struct.unpack('<Q', self.read(thunk, 8))[0]
                if value == 0:
                    break
                if value & (1 << 63):
                    functions.append(f'#{value & 0xFFFF}')
                else:
                    functions.append(self.c_string((value & 0x7FFFFFFF) + 2))
                thunk += 8
            result.append((self.c_string(name), functions))
            rva += 20
        return result

    def load_config(self):
        """The 64-bit load configuration's fields that matter here, or None."""
        rva, size = self.directory('load config')
        if rva == 0 or size < 148:
            return None
        raw = self.read(rva, min(size, 160))
        fields = {
            'size': struct.unpack_from('<I', raw, 0)[0],
            'dependent_load_flags': struct.unpack_from('<H', raw, 78)[0],
            'security_cookie': struct.unpack_from('<Q', raw, 88)[0],
            'guard_check_function_pointer': struct.unpack_from('<Q', raw, 112)[0],
            'guard_dispatch_function_pointer': struct.unpack_from('<Q', raw, 120)[0],
            'guard_function_table': struct.unpack_from('<Q', raw, 128)[0],
            'guard_function_count': struct.unpack_from('<Q', raw, 136)[0],
            'guard_flags': struct.unpack_from('<I', raw, 144)[0],
        }
        return fields

    def guard_function_table(self, config):
        stride = 4 + (config['guard_flags'] >> 28)
        table = config['guard_function_table'] - self.image_base
        count = config['guard_function_count']
        raw = self.read(table, stride * count) if count else b''
        return [struct.unpack_from('<I', raw, stride * i)[0] for i in range(count)]

    def _resource_name(self, root, entry):
        if entry & 0x80000000:
            at = root + (entry & 0x7FFFFFFF)
            length = self._u16(at)
            return self.data[at + 2:at + 2 + 2 * length].decode('utf-16-le')
        return entry & 0xFFFF

    def _resource_directory(self, root, offset):
        at = root + offset
        named, ids = struct.unpack_from('<HH', self.data, at + 12)
        return [struct.unpack_from('<II', self.data, at + 16 + 8 * i) for i in range(named + ids)]

    def resources(self):
        """Every resource: type and name as str (string) or int (identifier)."""
        rva, size = self.directory('resource')
        if rva == 0:
            return []
        root = self.offset(rva, size)
        found = []
        for type_entry, type_next in self._resource_directory(root, 0):
            res_type = self._resource_name(root, type_entry)
            for name_entry, name_next in self._resource_directory(root, type_next & 0x7FFFFFFF):
                name = self._resource_name(root, name_entry)
                for lang_entry, data_entry in self._resource_directory(root,
                                                                       name_next & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from('<II', self.data, root + data_entry)
                    found.append(Resource(res_type, name, lang_entry & 0xFFFF, data_size,
                                          data_rva))
        return found

    def resource_bytes(self, resource):
        return self.read(resource.rva, resource.size)

    def certificates(self):
        """[(revision, type, length, offset)] of the certificate table, which
        lies outside the sections: its address is a file offset."""
        offset, size = self.directory('certificate')
        entries = []
        end = offset + size
        while offset and offset + 8 <= end and end <= len(self.data):
            length, revision, cert_type = struct.unpack_from('<IHH', self.data, offset)
            if length < 8:
                break
            entries.append((revision, cert_type, length, offset))
            offset += (length + 7) & ~7
        return entries
