"""The one link recipe of the stub: its objects, the resources, and the image
properties Windows reads from the headers."""
import os
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

from image_resources import add_image_resources, parse_version, version_inputs
from resfile import ResourceFile

TRIPLE = 'x86_64-w64-mingw32'

# Every property of the image is set here, so that the bare stub and every
# packed installer are the same program.
LINK_FLAGS = [
    '-nostdlib',
    '-Wl,--entry=ProcessEntry',
    '-Wl,--subsystem=windows:10.0',
    '-Wl,--major-os-version=10', '-Wl,--minor-os-version=0',
    '-Wl,--dynamicbase', '-Wl,--high-entropy-va', '-Wl,--nxcompat', '-Wl,--tsaware',
    # Control Flow Guard: the stub's objects are compiled for it, the linker
    # collects the valid call targets into the load configuration's table.
    # Nothing calls longjmp, so there is no long-jump table to keep.
    '-Wl,--guard-cf', '-Wl,--no-guard-longjmp',
    '-Wl,--fatal-warnings',
    '-Wl,--strip-all',
]
LIBRARIES = ['-lkernel32', '-ladvapi32', '-lshell32', '-lgcc']
# The usual alignment keeps the stub small; only the resource section, which
# holds the payload, starts on a whole page of the file (see below).
FILE_ALIGNMENT = 512
PAGE = 4096


def link_stub(stub_lib, resource_files, out_path, extra_objects=(), map_path=None,
              version=None, *, icon=True):
    """Links the image. Besides the payload's resource files it always gets
    the icon, the version block (version: four numbers, default from
    src/resources) and the manifest, so no image can go without them.

    icon=False is for ./bootpack bench alone, which measures the stub's own
    code and data: the packer never passes it. The resource
    section always starts on a page of the file."""
    if version is None:
        version = parse_version(version_inputs()['default_version'])
    out_path = Path(out_path)
    with tempfile.TemporaryDirectory(dir=out_path.parent, prefix='.link-') as scratch:
        image_res = Path(scratch) / 'image.res'
        with ResourceFile(image_res) as res:
            add_image_resources(res, version, out_path.stem, icon=icon,
                                cache_dir=Path(stub_lib).resolve().parent / 'image-resources')
        command = (['clang-19', f'--target={TRIPLE}', '-fuse-ld=lld-19'] + LINK_FLAGS
                   + [f'-Wl,--file-alignment={FILE_ALIGNMENT}']
                   + ['-Wl,--whole-archive', str(stub_lib), '-Wl,--no-whole-archive']
                   + [str(o) for o in extra_objects]
                   + [str(image_res)] + [str(r) for r in resource_files] + LIBRARIES
                   + ['-o', str(out_path)])
        if map_path is not None:
            command.append(f'-Wl,--Map={map_path}')
        result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError('link failed:\n' + result.stderr.strip())
    place_resources_on_a_page(out_path)


def place_resources_on_a_page(path):
    """Moves the resource section, and the sections after it, to the next
    page boundary of the file when it does not start on one.

    Wine maps a section straight from the file only when its file offset lies
    on a page; any other section it reads into memory at load. The payload of
    hundreds of megabytes must be mapped, never read: read, it would cost its
    whole size in memory at every start. Windows maps either way. The gap is
    zeros that no header points at; the loader never reads it."""
    with open(path, 'rb') as image:
        head = image.read(PAGE)
    pe = struct.unpack_from('<I', head, 0x3C)[0]
    count = struct.unpack_from('<H', head, pe + 6)[0]
    table = pe + 24 + struct.unpack_from('<H', head, pe + 20)[0]
    sections = [(table + 40 * i, head[table + 40 * i:table + 40 * i + 8].rstrip(b'\0'),
                 struct.unpack_from('<I', head, table + 40 * i + 20)[0]) for i in range(count)]
    start = next((offset for _, name, offset in sections if name == b'.rsrc'), None)
    if start is None or start % PAGE == 0:
        return
    gap = PAGE - start % PAGE
    moved = Path(f'{path}.moving')
    try:
        with open(path, 'rb') as source, open(moved, 'wb') as target:
            header = bytearray(source.read(start))
            for entry, _, offset in sections:
                if offset >= start:
                    struct.pack_into('<I', header, entry + 20, offset + gap)
            target.write(header)
            target.write(bytes(gap))
            shutil.copyfileobj(source, target, 16 << 20)
        shutil.copymode(path, moved)
        os.replace(moved, path)
    finally:
        moved.unlink(missing_ok=True)
