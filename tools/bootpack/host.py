"""Where the tools find what they run on this machine: the Windows programs
the package carries, a build tree when there is one, and Wine."""
import os
import shutil
from pathlib import Path

from bootpack.cli import ToolError, UsageError

# The stub and inspect's payload stage, copied into the package by the build.
PROGRAMS = 'windows'
STUB = 'bootpack.exe'
PAYLOAD_STAGE = 'inspect_payload.exe'
CARRIED = (STUB, PAYLOAD_STAGE)
# Debian's wine64 has no command on PATH of its own; the wine package adds one.
WINE_LOADERS = ('wine', '/usr/lib/wine/wine64')


def build_dir():
    """The build tree of a checkout: BOOTPACK_BUILD_DIR, else build/ beside
    the package's folder."""
    return Path(os.environ.get('BOOTPACK_BUILD_DIR') or Path(__file__).resolve().parents[2]
                / 'build')


def windows_program(name):
    """A Windows program the tools run: from the build tree BOOTPACK_BUILD_DIR
    names when it has one, else the one the package carries; None when
    neither has it."""
    if os.environ.get('BOOTPACK_BUILD_DIR'):
        built = build_dir() / 'bin' / name
        if built.is_file():
            return built
    from importlib import resources  # only here: a tenth of pack's start-up
    carried = Path(str(resources.files('bootpack') / PROGRAMS / name))
    return carried if carried.is_file() else None


def wine_loader():
    for loader in WINE_LOADERS:
        found = shutil.which(loader)
        if found:
            return found
    return None


def wine_environment():
    """Wine quiet, without a display or dialogs, in BOOTPACK_WINEPREFIX when set."""
    env = dict(os.environ, WINEDEBUG=os.environ.get('WINEDEBUG', '-all'), DISPLAY='')
    env.setdefault('WINEDLLOVERRIDES', 'mscoree,mshtml,winemenubuilder.exe=d')
    if os.environ.get('BOOTPACK_WINEPREFIX'):
        env['WINEPREFIX'] = os.environ['BOOTPACK_WINEPREFIX']
    return env


def windows_path(path):
    """PATH as programs inside Wine see it; Wine maps / to drive Z:."""
    import subprocess
    path = Path(path).resolve()
    winepath = shutil.which('winepath')
    if winepath:
        result = subprocess.run([winepath, '-w', str(path)], capture_output=True, text=True,
                                env=wine_environment())
        if result.returncode == 0 and result.stdout.strip():
            return result.stdout.strip()
    return 'Z:' + str(path).replace('/', '\\')


def run_windows(program, *args):
    """Runs a Windows program under Wine; a missing Wine is a usage error (2),
    since what needs it cannot be checked without it."""
    import subprocess
    loader = wine_loader()
    if loader is None:
        raise UsageError(f'{Path(program).name} runs under Wine, which is not installed '
                         '(apt install wine64 wine64-preloader), or leave the step out')
    return subprocess.run([loader, str(program), *map(str, args)], capture_output=True,
                          text=True, errors='replace', env=wine_environment(),
                          stdin=subprocess.DEVNULL)


def stub_revision():
    """The source revision the carried stub was built from (its LastChange)."""
    path = windows_program(STUB)
    if path is None:
        return 'none carried (run ./bootpack build)'
    # Read as pack reads it, so that both name the same revision.
    from bootpack.image_resources import stub_image_resources
    from bootpack.pe_stub import StubImage
    try:
        return stub_image_resources(StubImage(path)).strings['LastChange']
    except (OSError, ToolError) as error:
        return f'unreadable ({error})'
