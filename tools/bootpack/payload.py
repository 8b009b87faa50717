"""What a payload must be for a run to go as planned on the user's machine:
checks of the archive's name, the archive's container and the setup
program's headers, shared by pack (before anything is built) and inspect
(on the resources of a finished image).

Every check reads a bounded number of bytes, whatever the file's size.
"""
import struct
import zlib

from bootpack.cli import ToolError
from bootpack.pe_image import (IMAGE_FILE_DLL, IMAGE_FILE_EXECUTABLE_IMAGE, MACHINE_ARM64,
                               MACHINE_I386, MACHINE_X64, PE32_MAGIC, PE32_PLUS_MAGIC,
                               SUBSYSTEM_CONSOLE, SUBSYSTEM_GUI, NotAnImage, read_headers)

SEVEN_ZIP_SIGNATURE = bytes([0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C])
START_HEADER_SIZE = 32
# The first byte of a 7z next header: a plain header or an encoded one.
HEADER_IDS = {0x01, 0x17}
CRC_CHUNK = 1 << 20

# The first bytes of a setup program that its headers must lie in.
SETUP_HEAD = 64 << 10
# Machines a 64-bit Windows may still start, with what the user will see.
OTHER_MACHINES = {
    MACHINE_I386: 'it is a 32-bit x86 program, which Windows runs under its 32-bit layer',
    MACHINE_ARM64: 'it is an ARM64 program: it starts only on ARM64 Windows; on x86-64 '
                   'Windows the installer ends with 124',
}
OPTIONAL_MAGIC = {MACHINE_X64: PE32_PLUS_MAGIC, MACHINE_ARM64: PE32_PLUS_MAGIC,
                  MACHINE_I386: PE32_MAGIC}


# The payload's resource types, by how the stub writes setup into its work
# directory; the archive, of any of them, is read in place.
PLAIN_TYPE = 'BN'      # setup written as setup.exe
NAMED_TYPE = 'B7'      # setup written under its resource's own name
CABINET_TYPE = 'BL'    # a cabinet written under its own name, expanded into setup.exe
PAYLOAD_TYPES = (NAMED_TYPE, CABINET_TYPE, PLAIN_TYPE)
# Resource names the stub tells apart by their beginning, in any case.
ARCHIVE_PREFIX = 'brisel'
SETUP_PREFIX = 'setup'


def payload_role(name):
    """'archive' or 'setup' for a payload resource's name, as the stub tells
    them apart; None for any other name."""
    name = str(name).lower()
    if name.startswith(ARCHIVE_PREFIX):
        return 'archive'
    if name.startswith(SETUP_PREFIX):
        return 'setup'
    return None


class PayloadError(ToolError):
    """A payload the stub cannot use as intended: one line."""


def archive_name_problem(name):
    """Why setup could not be told the archive's name on its command line, or None.

    The stub passes it as --archive-resource-name="NAME" without escaping."""
    if '"' in name:
        return (f'the archive name {name!r} holds a quotation mark, which would break '
                "setup's command line")
    if name.endswith('\\'):
        return (f'the archive name {name!r} ends with a backslash, which would escape the '
                "closing quotation mark on setup's command line")
    return None


def check_7z_container(stream, start, size):
    """Raises PayloadError unless the SIZE bytes at START of STREAM are a
    complete 7z container: its start header intact, its next header inside
    them and that header's CRC right. Nothing is decompressed; at most one
    chunk is in memory at a time."""
    stream.seek(start)
    head = stream.read(min(size, START_HEADER_SIZE))
    if head[:6] != SEVEN_ZIP_SIGNATURE[:len(head[:6])]:
        raise PayloadError('is not a 7z archive (no 7z signature)')
    if size < START_HEADER_SIZE:
        raise PayloadError(f'has {size} bytes, fewer than the {START_HEADER_SIZE} of a 7z '
                           'start header')
    if len(head) < START_HEADER_SIZE:
        raise PayloadError('is cut short before the end of its 7z start header')
    major, minor = head[6], head[7]
    if major != 0:
        raise PayloadError(f'is a 7z archive of format version {major}.{minor}, which no '
                           'known setup reads')
    (start_crc,) = struct.unpack_from('<I', head, 8)
    if zlib.crc32(head[12:32]) != start_crc:
        raise PayloadError('has a damaged 7z start header (CRC mismatch)')
    offset, length, next_crc = struct.unpack_from('<QQI', head, 12)
    if length == 0:
        raise PayloadError('is an empty 7z archive (no header)')
    end = START_HEADER_SIZE + offset + length
    if end > size:
        raise PayloadError(f'is cut short: its 7z header ends at byte {end:,}, the archive '
                           f'has {size:,}')
    stream.seek(start + START_HEADER_SIZE + offset)
    crc, left, first = 0, length, None
    while left:
        chunk = stream.read(min(left, CRC_CHUNK))
        if not chunk:
            raise PayloadError('is cut short inside its 7z header')
        if first is None:
            first = chunk[0]
        crc = zlib.crc32(chunk, crc)
        left -= len(chunk)
    if crc != next_crc:
        raise PayloadError('has a damaged 7z header (CRC mismatch)')
    if first not in HEADER_IDS:
        raise PayloadError(f'has a 7z header of unknown kind {first:#04x}')


def check_setup_image(stream, start, size):
    """Raises PayloadError unless the SIZE bytes at START of STREAM are an
    executable image the stub can start with CreateProcessW; returns a list
    of one-line warnings for one it starts but that will not behave as an
    x86-64 GUI setup does."""
    stream.seek(start)
    try:
        pe = read_headers(stream.read(min(size, SETUP_HEAD)))
    except NotAnImage as error:
        raise PayloadError(f'is not a PE image ({error})') from None
    machine = pe.FILE_HEADER.Machine
    characteristics = pe.FILE_HEADER.Characteristics
    if characteristics & IMAGE_FILE_DLL:
        raise PayloadError('is a DLL, not a program: Windows cannot start it and the '
                           'installer would end with 124')
    if not characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        raise PayloadError('is not marked executable (an object file or a broken link): '
                           'the installer would end with 124')
    if machine != MACHINE_X64 and machine not in OTHER_MACHINES:
        raise PayloadError(f'is built for machine {machine:#06x}, which 64-bit Windows '
                           'cannot start: the installer would end with 124')
    if pe.FILE_HEADER.SizeOfOptionalHeader < 70 or not hasattr(pe, 'OPTIONAL_HEADER'):
        raise PayloadError('is not a PE image (its optional header is too short)')
    magic = pe.OPTIONAL_HEADER.Magic
    if magic != OPTIONAL_MAGIC[machine]:
        raise PayloadError(f'has optional header magic {magic:#x}, which does not fit its '
                           'machine: the installer would end with 124')
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    if subsystem not in (SUBSYSTEM_GUI, SUBSYSTEM_CONSOLE):
        raise PayloadError(f'is of subsystem {subsystem} (not a Windows program), which '
                           'CreateProcess refuses: the installer would end with 124')
    warnings = []
    if machine != MACHINE_X64:
        warnings.append(f'setup is not x86-64: {OTHER_MACHINES[machine]}')
    if subsystem == SUBSYSTEM_CONSOLE:
        warnings.append('setup is a console program: the installer starts it without a '
                        'window, so the user sees none of its output')
    return warnings


def write_7z_stand_in(path, size, filler=None):
    """Writes a SIZE-byte 7z container that passes check_7z_container: the
    start header, FILLER's bytes (zeros, sparse on disk, when None) and an
    empty header at the end. For benchmarks and tests, which need archives of
    a given size, not their contents."""
    header = bytes([0x01, 0x00])  # kHeader, kEnd: a header that lists nothing
    body = size - START_HEADER_SIZE - len(header)
    if body < 0:
        raise ValueError(f'a 7z container needs at least {START_HEADER_SIZE + len(header)} bytes')
    fields = struct.pack('<QQI', body, len(header), zlib.crc32(header))
    with open(path, 'wb') as archive:
        archive.write(SEVEN_ZIP_SIGNATURE + bytes([0, 4]) + struct.pack('<I', zlib.crc32(fields))
                      + fields)
        if filler is None:
            archive.seek(body, 1)
        else:
            archive.write(filler[:body].ljust(body, b'\0'))
        archive.write(header)
