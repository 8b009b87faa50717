"""The resources of a PE image read through pefile, flattened into one list:
pefile keeps them as a three-level tree (type, name, language)."""
from collections import namedtuple

import pefile

Resource = namedtuple('Resource', 'type name language size rva')

# The standard resource types the images carry besides the payload.
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = (
    pefile.RESOURCE_TYPE[name] for name in ('RT_ICON', 'RT_GROUP_ICON', 'RT_VERSION', 'RT_MANIFEST'))


def open_image(path):
    """The image at PATH, mapped rather than read, with the directories the
    tools look at parsed; raises pefile.PEFormatError for no PE image."""
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY[f'IMAGE_DIRECTORY_ENTRY_{name}']
        for name in ('IMPORT', 'EXPORT', 'RESOURCE', 'LOAD_CONFIG', 'TLS', 'DELAY_IMPORT')])
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
                found.append(Resource(_key(type_entry), _key(name_entry), lang.id,
                                      data.struct.Size, data.struct.OffsetToData))
    return found


def resource_bytes(pe, resource):
    return pe.get_data(resource.rva, resource.size)
