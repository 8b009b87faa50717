"""The resource section of an image: its directory, laid out as the Windows
loader and FindResourceW expect (pefile reads existing ones).

The directory has three levels (type, name, language). At each level the
entries with string names come first, in the order of their UTF-16 code
units, then those with integer identifiers in ascending order: the loader
finds an entry by binary search over that order. String types and names are
stored in upper case, as resource compilers store them, since the loader
upper-cases the name it is asked for before it searches.

Only the directory is held in memory; the resources' bytes are placed after
it, each on an 8-byte boundary, and those streamed from a file (the payload)
on a page of the file, or on a 2 MiB boundary of the file when they are that
large: the kernel copies a file fastest into a place aligned as its page
cache is (whole pages, and whole large folios, no partial ones), a quarter
faster for a 512 MiB archive than at a merely page-aligned place. The cost
is less than 2 MiB of zeros.
"""
import struct
from collections import namedtuple

from bootpack.cli import ToolError

LANG_EN_US = 1033
DATA_ALIGNMENT = 8
FILE_DATA_ALIGNMENT = 4096
LARGE_FILE = 2 << 20
HIGH_BIT = 0x80000000
# A string name's length is a 16-bit count of UTF-16 code units.
MAX_NAME_UNITS = 0xFFFF

# data: bytes, or a path whose size bytes are streamed from the file.
Resource = namedtuple('Resource', 'type name language size data')


class ResourceError(ToolError):
    """A resource set that no directory can hold, or a malformed directory."""


def upper_case(text):
    """Upper case one character at a time, so that the length never changes."""
    return ''.join(u if len(u := c.upper()) == 1 else c for c in text)


def _sort_key(identifier):
    if isinstance(identifier, int):
        return (1, identifier, b'')
    return (0, 0, identifier.encode('utf-16-be'))


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class ResourceLayout:
    """Where everything of a resource section goes, relative to its start."""

    def __init__(self, resources, file_offset=0):
        """file_offset: where the section will start in the file."""
        tree = {}
        for res in resources:
            res_type = res.type if isinstance(res.type, int) else upper_case(res.type)
            name = res.name if isinstance(res.name, int) else upper_case(res.name)
            languages = tree.setdefault(res_type, {}).setdefault(name, {})
            if res.language in languages:
                raise ResourceError(f'the resource {_shown(res_type)} {_shown(name)} '
                                    f'(language {res.language}) is given twice')
            languages[res.language] = res
        self._tree = {t: {n: dict(sorted(tree[t][n].items()))
                          for n in sorted(tree[t], key=_sort_key)}
                      for t in sorted(tree, key=_sort_key)}
        self.resources = [res for names in self._tree.values() for langs in names.values()
                          for res in langs.values()]
        tables = 1 + len(self._tree) + sum(len(names) for names in self._tree.values())
        entries = len(self._tree) + sum(len(names) + sum(len(langs) for langs in names.values())
                                        for names in self._tree.values())
        self._tables_size = 16 * tables + 8 * entries
        self._data_entries_at = self._tables_size
        self._strings_at = self._data_entries_at + 16 * len(self.resources)
        strings = {s for t, names in self._tree.items() for s in [t, *names] if isinstance(s, str)}
        strings_size = sum(2 + len(s.encode('utf-16-le')) for s in strings)
        self.directory_size = align(self._strings_at + strings_size, DATA_ALIGNMENT)
        self.data_offsets = []
        at = self.directory_size
        for res in self.resources:
            if isinstance(res.data, bytes):
                at = align(at, DATA_ALIGNMENT)
            else:
                alignment = LARGE_FILE if res.size >= LARGE_FILE else FILE_DATA_ALIGNMENT
                at = align(file_offset + at, alignment) - file_offset
            self.data_offsets.append(at)
            at += res.size
        self.size = at

    def directory(self, section_rva):
        """The directory's bytes, for a section that starts at section_rva."""
        out = bytearray(self.directory_size)
        strings = {}
        string_at = self._strings_at

        def name_field(identifier):
            nonlocal string_at
            if isinstance(identifier, int):
                return identifier
            if identifier not in strings:
                encoded = identifier.encode('utf-16-le')
                struct.pack_into('<H', out, string_at, len(encoded) // 2)
                out[string_at + 2:string_at + 2 + len(encoded)] = encoded
                strings[identifier] = string_at
                string_at += 2 + len(encoded)
            return HIGH_BIT | strings[identifier]

        def table(at, children):
            named = sum(1 for key in children if isinstance(key, str))
            struct.pack_into('<IIHHHH', out, at, 0, 0, 0, 0, named, len(children) - named)
            return at + 16

        # Tables breadth-first: the root, every type's table, every name's table.
        next_table = 16 + 8 * len(self._tree)
        entry_at = table(0, self._tree)
        data_index = 0
        name_tables = []
        for res_type, names in self._tree.items():
            struct.pack_into('<II', out, entry_at, name_field(res_type), HIGH_BIT | next_table)
            entry_at += 8
            name_tables.append((next_table, names))
            next_table += 16 + 8 * len(names)
        for at, names in name_tables:
            entry_at = table(at, names)
            for name, languages in names.items():
                struct.pack_into('<II', out, entry_at, name_field(name), HIGH_BIT | next_table)
                entry_at += 8
                language_at = table(next_table, languages)
                next_table += 16 + 8 * len(languages)
                for language in languages:
                    data_entry = self._data_entries_at + 16 * data_index
                    struct.pack_into('<II', out, language_at, language, data_entry)
                    language_at += 8
                    res = self.resources[data_index]
                    struct.pack_into('<IIII', out, data_entry,
                                     section_rva + self.data_offsets[data_index], res.size, 0, 0)
                    data_index += 1
        return bytes(out)


def _shown(identifier):
    return f'#{identifier}' if isinstance(identifier, int) else repr(identifier)
