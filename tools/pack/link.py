"""The one link recipe of the stub: its objects, the resources, and the image
properties Windows reads from the headers."""
import subprocess

TRIPLE = 'x86_64-w64-mingw32'

# Every property of the image is set here, so that the bare stub and every
# packed installer are the same program.
LINK_FLAGS = [
    '-nostdlib',
    '-Wl,--entry=ProcessEntry',
    '-Wl,--subsystem=windows:10.0',
    '-Wl,--major-os-version=10', '-Wl,--minor-os-version=0',
    '-Wl,--dynamicbase', '-Wl,--high-entropy-va', '-Wl,--nxcompat', '-Wl,--tsaware',
    # Whole pages in the file let Windows and Wine map the payload instead of
    # reading it: an archive of hundreds of megabytes is never touched.
    '-Wl,--file-alignment=4096',
    '-Wl,--fatal-warnings',
    '-Wl,--strip-all',
]
LIBRARIES = ['-lkernel32', '-ladvapi32', '-lshell32', '-lgcc']


def link_stub(stub_lib, resource_files, out_path, extra_objects=(), map_path=None):
    command = (['clang-19', f'--target={TRIPLE}', '-fuse-ld=lld-19'] + LINK_FLAGS
               + ['-Wl,--whole-archive', str(stub_lib), '-Wl,--no-whole-archive']
               + [str(o) for o in extra_objects]
               + [str(r) for r in resource_files] + LIBRARIES + ['-o', str(out_path)])
    if map_path is not None:
        command.append(f'-Wl,--Map={map_path}')
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError('link failed:\n' + result.stderr.strip())
