"""The properties every installer image must carry, checked on an image read
through pefile; each check adds its findings to the report's section."""
import re
import struct

import pefile

from bootpack.icon_file import IconError, describe_image, entry_differences, image_format
from bootpack.payload import (CABINET_TYPE, PAYLOAD_TYPES, PayloadError, archive_name_problem,
                              check_7z_container, check_setup_image, payload_role)
from bootpack.pe_image import (MACHINE_X64, PE32_PLUS_MAGIC, RT_GROUP_ICON, RT_ICON,
                               RT_MANIFEST, RT_VERSION, resource_bytes, resources)
from bootpack.pe_stub import loadable_problem
from bootpack.version_block import VersionBlockError, dotted, read_version_block

DLL_FLAGS = [(0x20, 'HIGH_ENTROPY_VA'), (0x40, 'DYNAMIC_BASE'), (0x80, 'FORCE_INTEGRITY'),
             (0x100, 'NX_COMPAT'), (0x200, 'NO_ISOLATION'), (0x400, 'NO_SEH'),
             (0x800, 'NO_BIND'), (0x1000, 'APPCONTAINER'), (0x2000, 'WDM_DRIVER'),
             (0x4000, 'GUARD_CF'), (0x8000, 'TERMINAL_SERVER_AWARE')]
GUARD_FLAGS = [(0x100, 'CF_INSTRUMENTED'), (0x200, 'CFW_INSTRUMENTED'),
               (0x400, 'CF_FUNCTION_TABLE_PRESENT'), (0x800, 'SECURITY_COOKIE_UNUSED'),
               (0x1000, 'PROTECT_DELAYLOAD_IAT'), (0x2000, 'DELAYLOAD_IAT_IN_ITS_OWN_SECTION'),
               (0x4000, 'CF_EXPORT_SUPPRESSION_INFO_PRESENT'),
               (0x8000, 'CF_ENABLE_EXPORT_SUPPRESSION'), (0x10000, 'CF_LONGJUMP_TABLE_PRESENT')]
SUPPORTED_OS = {'{e2011457-1546-43c5-a5fe-008deee3d3f0}': 'Vista',
                '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}': '7',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}': '8',
                '{1f676c76-80e1-4239-95bb-83d0f6d0da78}': '8.1',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}': '10'}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
# In IMAGE_LOAD_CONFIG_DIRECTORY64, after CSDVersion.
DEPENDENT_LOAD_FLAGS_OFFSET = 78


def flag_names(value, table):
    names = [name for bit, name in table if value & bit]
    rest = value & ~sum(bit for bit, _ in table)
    return ' '.join(names + ([f'{rest:#x}'] if rest else []))


def directory(pe, name):
    """(rva, size) of a data directory; (0, 0) past the ones the header lists."""
    directories, index = pe.OPTIONAL_HEADER.DATA_DIRECTORY, pefile.DIRECTORY_ENTRY[name]
    if index >= len(directories):
        return 0, 0
    return directories[index].VirtualAddress, directories[index].Size


def check_headers(pe, report):
    found = report.section('Image')
    machine, magic = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic
    found.line(f'machine: {"x86-64" if machine == MACHINE_X64 else hex(machine)}, '
               f'{"PE32+" if magic == PE32_PLUS_MAGIC else f"optional header magic {magic:#x}"}',
               machine == MACHINE_X64 and magic == PE32_PLUS_MAGIC)
    header = pe.OPTIONAL_HEADER
    found.line(f'subsystem: {header.Subsystem} '
               f'({"Windows GUI" if header.Subsystem == 2 else "not GUI"})', header.Subsystem == 2)
    os_version = (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)
    subsystem_version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    found.line(f'operating-system version {os_version[0]}.{os_version[1]}, subsystem version '
               f'{subsystem_version[0]}.{subsystem_version[1]}',
               os_version == subsystem_version == (10, 0))
    flags = header.DllCharacteristics
    found.line(f'DLL characteristics: {flags:#06x} = {flag_names(flags, DLL_FLAGS)}',
               flags == 0xC160)
    found.line(f'entry point: RVA {header.AddressOfEntryPoint:#x}')
    size = len(pe.__data__)
    too_large = loadable_problem(header.SizeOfImage, size, verb='is')
    found.line(too_large or f'image size: {header.SizeOfImage:,} bytes in memory, {size:,} '
               'in the file', too_large is None)
    for section in pe.sections:
        end = section.PointerToRawData + section.SizeOfRawData
        if end > size:
            name = section.Name.rstrip(b'\0').decode('ascii', 'replace')
            found.line(f'section {name} ends at byte {end:,}, past the end of the file '
                       f'({size:,} bytes): the image is cut short', False)
    for what, name in (('export', 'EXPORT'), ('tls', 'TLS'), ('delay import', 'DELAY_IMPORT')):
        rva, size = directory(pe, f'IMAGE_DIRECTORY_ENTRY_{name}')
        found.line(f'{what} directory: ' + ('none' if rva == 0 else f'{size} bytes at {rva:#x}'),
                   rva == 0)
    allowed = {'kernel32.dll', 'advapi32.dll', 'shell32.dll'}
    for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        dll = entry.dll.decode('ascii', 'replace')
        by_ordinal = [i for i in entry.imports if i.import_by_ordinal]
        found.line(f'imports {dll}: {len(entry.imports)} by name'
                   + (f', {len(by_ordinal)} by ordinal' if by_ordinal else ''),
                   dll.lower() in allowed and not by_ordinal)


def guard_function_table(pe, config):
    """The RVAs of the guard function table, which pefile does not read:
    entries of 4 bytes plus the count of extra bytes in the flags' top bits."""
    stride = 4 + (config.GuardFlags >> 28)
    count = config.GuardCFFunctionCount
    if not count:
        return []
    raw = pe.get_data(config.GuardCFFunctionTable - pe.OPTIONAL_HEADER.ImageBase, stride * count)
    if len(raw) < stride * count:
        raise ValueError('the guard function table lies outside the file')
    return [struct.unpack_from('<I', raw, stride * i)[0] for i in range(count)]


def dependent_load_flags(pe, config):
    """The load configuration's DependentLoadFlags, read by its offset:
    pefile 2023.2.7 names the field Reserved1, 2024.8.26 DependentLoadFlags,
    and each has the other name elsewhere."""
    return struct.unpack_from('<H', pe.__data__,
                              config.get_file_offset() + DEPENDENT_LOAD_FLAGS_OFFSET)[0]


def check_load_config(pe, report):
    found = report.section('Load configuration')
    entry = getattr(pe, 'DIRECTORY_ENTRY_LOAD_CONFIG', None)
    if entry is None or entry.struct.Size < 148:
        found.line('none', False)
        return
    config = entry.struct
    found.line(f'size {config.Size} bytes')
    flags = dependent_load_flags(pe, config)
    found.line(f'DependentLoadFlags {flags:#x}'
               + (' (LOAD_LIBRARY_SEARCH_SYSTEM32)' if flags == 0x800 else ''), flags == 0x800)
    guard = config.GuardFlags
    found.line(f'guard flags {guard:#x}: {flag_names(guard & 0x0FFFFFFF, GUARD_FLAGS)}',
               guard & 0x500 == 0x500)
    table = guard_function_table(pe, config)
    code = [s for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    in_code = all(any(s.VirtualAddress <= rva < s.VirtualAddress + s.Misc_VirtualSize
                      for s in code) for rva in table)
    found.line(f'guard function table: {len(table)} call targets'
               + (', all in code' if in_code else ', SOME OUTSIDE CODE'), bool(table) and in_code)
    for what, value in (('guard check function pointer', config.GuardCFCheckFunctionPointer),
                        ('guard dispatch function pointer',
                         config.GuardCFDispatchFunctionPointer)):
        found.line(f'{what}: {value:#x}', value != 0)


def check_icons(pe, found, all_resources):
    icons = {r.name: r for r in all_resources if r.type == RT_ICON}
    groups = [r for r in all_resources if r.type == RT_GROUP_ICON]
    found.line(f'icon groups: {", ".join(str(g.name) for g in groups) or "none"}',
               [g.name for g in groups] == [107])
    if not groups:
        return
    # GRPICONDIR and its entries: pefile leaves this resource's bytes to us.
    data = resource_bytes(pe, groups[0])
    count = struct.unpack_from('<H', data, 4)[0]
    for i in range(count):
        entry = data[6 + 14 * i:18 + 14 * i]
        identifier = struct.unpack_from('<H', data, 18 + 14 * i)[0]
        icon = icons.get(identifier)
        if icon is None:
            found.line(f'icon {identifier}: MISSING', False)
            continue
        image = resource_bytes(pe, icon)
        try:
            width, height, bits = describe_image(image)
            differences = entry_differences(entry, image)
        except IconError as error:
            found.line(f'icon {identifier} {error}', False)
            continue
        found.line(f'icon {identifier}: {width} x {height}, {bits} bits, {image_format(image)}, '
                   f'{icon.size} bytes'
                   + (f'; its group entry says {"; ".join(differences)}' if differences else ''),
                   identifier == i + 1 and not differences)


def check_version_block(pe, found, all_resources):
    blocks = [r for r in all_resources if r.type == RT_VERSION]
    if not blocks:
        found.line('version block: none', False)
        return
    # Decoded here from UTF-16, as Windows shows it: pefile's strings are not.
    try:
        version, strings = read_version_block(resource_bytes(pe, blocks[0]))
    except VersionBlockError as error:
        found.line(f'version block: {error}', False)
        return
    found.line(f'version block: {dotted(version)}')
    for key, value in strings.items():
        found.line(f'  {key}: {value}')


def check_manifest(pe, found, all_resources):
    manifests = [r for r in all_resources if r.type == RT_MANIFEST]
    if not manifests:
        found.line('manifest: none', False)
        return
    text = resource_bytes(pe, manifests[0]).decode('utf-8', 'replace')
    level = re.search(r'level="([^"]+)"\s+uiAccess="([^"]+)"', text)
    found.line(f'manifest: {manifests[0].size} bytes; execution level '
               + (f'{level.group(1)}, uiAccess {level.group(2)}' if level else 'none'),
               bool(level) and level.group(1) == 'asInvoker')
    common = re.search(r'name="Microsoft.Windows.Common-Controls"[^>]*?version="([^"]+)"', text)
    found.line('dependency: Microsoft.Windows.Common-Controls '
               + (common.group(1) if common else 'MISSING'), bool(common))
    systems = [SUPPORTED_OS.get(g.lower(), g)
               for g in re.findall(r'supportedOS Id="([^"]+)"', text)]
    found.line(f'supportedOS: {", ".join(systems)}', systems == ['Vista', '7', '8', '8.1', '10'])
    tested = re.search(r'maxversiontested Id="([^"]+)"', text)
    found.line(f'maxversiontested: {tested.group(1) if tested else "none"}', bool(tested))


def check_resources(pe, report):
    found = report.section('Resources')
    all_resources = resources(pe)
    others = [r for r in all_resources if r.language != 1033]
    found.line(f'{len(all_resources)} resources, ' + ('all of language 1033' if not others else
               f'{len(others)} not of language 1033'), not others)
    check_icons(pe, found, all_resources)
    check_version_block(pe, found, all_resources)
    check_manifest(pe, found, all_resources)


class ImageSlice:
    """A resource's bytes read through the mapped image, as a file would be."""

    def __init__(self, pe, resource):
        self._data = pe.__data__
        self._start = pe.get_offset_from_rva(resource.rva)
        self._at = 0

    def seek(self, offset):
        self._at = offset

    def read(self, count):
        start = self._start + self._at
        self._at += count
        return bytes(self._data[start:start + count])


def check_payload_resource(pe, found, resource):
    """The same checks pack makes before it builds an image."""
    role = payload_role(resource.name)
    try:
        if role == 'archive':
            problem = archive_name_problem(resource.name)
            if problem:
                found.line(problem, False)
            check_7z_container(ImageSlice(pe, resource), 0, resource.size)
            found.line('the archive is a complete 7z container')
        elif role == 'setup' and resource.type != CABINET_TYPE:
            for warning in check_setup_image(ImageSlice(pe, resource), 0, resource.size):
                found.line(f'note: {warning}')
    except PayloadError as error:
        what = 'the archive' if role == 'archive' else 'setup'
        found.line(f'{what} {resource.type} {resource.name} {error}', False)


def check_payload(pe, report):
    found = report.section('Payload resources (string types)')
    payload = [r for r in resources(pe) if isinstance(r.type, str)]
    if not payload:
        found.line('none')
    for resource in payload:
        found.line(f'{resource.type} {resource.name}: {resource.size:,} bytes')
        if resource.type in PAYLOAD_TYPES and isinstance(resource.name, str):
            check_payload_resource(pe, found, resource)
    known = {RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST}
    for resource in resources(pe):
        if isinstance(resource.type, int) and resource.type not in known:
            found.line(f'other resource type {resource.type} name {resource.name}')
