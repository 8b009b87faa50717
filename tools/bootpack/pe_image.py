"""The tools' one reading of a PE image, through pefile: the format's
constants, the headers of an image or of its first bytes, and the resource
tree flattened into one list (pefile keeps it as three levels: type, name,
language)."""
from collections import namedtuple

import pefile

from bootpack.cli import UsageError

PAGE = 4096
SECTION_HEADER_SIZE = 40
MACHINE_X64 = pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64']
MACHINE_I386 = pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386']
MACHINE_ARM64 = pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_ARM64']
PE32_MAGIC = pefile.OPTIONAL_HEADER_MAGIC_PE
PE32_PLUS_MAGIC = pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
IMAGE_FILE_EXECUTABLE_IMAGE = pefile.IMAGE_CHARACTERISTICS['IMAGE_FILE_EXECUTABLE_IMAGE']
IMAGE_FILE_DLL = pefile.IMAGE_CHARACTERISTICS['IMAGE_FILE_DLL']
SUBSYSTEM_GUI = pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_GUI']
SUBSYSTEM_CONSOLE = pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_CUI']
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_RESOURCE']
CERTIFICATE_DIRECTORY = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']
RELOCATION_DIRECTORY = pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_BASERELOC']
# The standard resource types the images carry besides the payload.
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = (
    pefile.RESOURCE_TYPE[name]
    for name in ('RT_ICON', 'RT_GROUP_ICON', 'RT_VERSION', 'RT_MANIFEST'))

# A resource found in an image: its bytes are at rva.
FoundResource = namedtuple('FoundResource', 'type name language size rva')


class NotAnImage(UsageError):
    """Bytes that hold no PE headers; the message says what is missing."""


def read_headers(head):
    """pefile's reading of the headers in HEAD, the first bytes of an image
    (its sections' data need not be there)."""
    if len(head) < 0x40 or head[:2] != b'MZ':
        raise NotAnImage('no MZ header')
    at = int.from_bytes(head[0x3C:0x40], 'little')
    if at + 24 > len(head):
        raise NotAnImage('the PE header lies past its end')
    if head[at:at + 4] != b'PE\0\0':
        raise NotAnImage('no PE header')
    try:
        return pefile.PE(data=bytes(head), fast_load=True)
    except pefile.PEFormatError as error:
        raise NotAnImage(str(error).rstrip('.')) from None


# The directories inspect reads; the stub's resources need only one.
CHECKED_DIRECTORIES = ('IMPORT', 'EXPORT', 'RESOURCE', 'LOAD_CONFIG', 'TLS', 'DELAY_IMPORT')


def open_image(path, directories=CHECKED_DIRECTORIES):
    """The image at PATH, mapped rather than read, with the directories
    named parsed; raises pefile.PEFormatError for no PE image."""
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY[f'IMAGE_DIRECTORY_ENTRY_{name}'] for name in directories])
    return pe


def _key(entry):
    """A string name as str, an integer identifier as int."""
    return str(entry.name) if entry.name is not None else entry.id


def _children(entry):
    directory = getattr(entry, 'directory', None)
    return directory.entries if directory is not None else []


def resources(pe):
    """Every resource: type and name as str (string) or int (identifier)."""
    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    found = []
    for type_entry in root.entries if root else []:
        for name_entry in _children(type_entry):
            for lang in _children(name_entry):
                data = getattr(lang, 'data', None)
                if data is None:
                    continue
                found.append(FoundResource(_key(type_entry), _key(name_entry), lang.id,
                                      data.struct.Size, data.struct.OffsetToData))
    return found


def resource_list(path):
    """Every resource of the image at PATH, with only its resource tree read."""
    try:
        pe = open_image(path, ('RESOURCE',))
    except pefile.PEFormatError as error:
        raise NotAnImage(str(error).rstrip('.')) from None
    with pe:
        return resources(pe)


def resource_bytes(pe, resource):
    return pe.get_data(resource.rva, resource.size)
