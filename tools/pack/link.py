"""The one link recipe of the stub: its objects, the resources, and the image
properties Windows reads from the headers."""
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
# Whole pages in the file let Windows and Wine map the payload instead of
# reading it: an archive of hundreds of megabytes is never touched.
FILE_ALIGNMENT = 4096


def link_stub(stub_lib, resource_files, out_path, extra_objects=(), map_path=None,
              version=None, *, icon=True, file_alignment=FILE_ALIGNMENT):
    """Links the image. Besides the payload's resource files it always gets
    the icon, the version block (version: four numbers, default from
    src/resources) and the manifest, so no image can go without them.

    icon and file_alignment are for ./bootpack bench alone, which measures
    the stub's own code and data: the packer never passes them."""
    if version is None:
        version = parse_version(version_inputs()['default_version'])
    out_path = Path(out_path)
    with tempfile.TemporaryDirectory(dir=out_path.parent, prefix='.link-') as scratch:
        image_res = Path(scratch) / 'image.res'
        with ResourceFile(image_res) as res:
            add_image_resources(res, version, out_path.stem, icon=icon,
                                cache_dir=Path(stub_lib).resolve().parent / 'image-resources')
        command = (['clang-19', f'--target={TRIPLE}', '-fuse-ld=lld-19'] + LINK_FLAGS
                   + [f'-Wl,--file-alignment={file_alignment}']
                   + ['-Wl,--whole-archive', str(stub_lib), '-Wl,--no-whole-archive']
                   + [str(o) for o in extra_objects]
                   + [str(image_res)] + [str(r) for r in resource_files] + LIBRARIES
                   + ['-o', str(out_path)])
        if map_path is not None:
            command.append(f'-Wl,--Map={map_path}')
        result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError('link failed:\n' + result.stderr.strip())
