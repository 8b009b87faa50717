"""The product both install tests pack: widget.toml with a 7z archive and
the build's sample setup, and this checkout's pack of it to compare with."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

WIDGET_TOML = """\
archive = "dist/widget.7z"
setup = "dist/setup.exe"
setup-storage = "BL"
version = "1.4.0.0"
company = "Acme Tools Ltd."
company-short = "Acme"
product = "Widget"
copyright = "Copyright 2026 Acme Tools Ltd. All rights reserved."
out = "dist/WidgetInstaller.exe"
"""
INSTALLER = Path('dist', 'WidgetInstaller.exe')


def make_inputs(folder, bin_dir):
    """FOLDER/widget.toml and what it names; the installer's name, which the
    version block records, is the same wherever it is packed."""
    setup = Path(bin_dir) / 'sample_setup.exe'
    if not setup.is_file():
        raise FileNotFoundError(f'{setup} is missing; run ./bootpack build')
    dist = Path(folder) / 'dist'
    dist.mkdir(parents=True)
    product = Path(folder).parent / (Path(folder).name + '-product')
    product.mkdir()
    (product / 'readme.txt').write_text('Widget 1.4\n')
    (product / 'widget.dat').write_bytes(bytes(range(256)) * 64)
    subprocess.run(['7zz', 'a', '-bso0', '-bsp0', str(dist / 'widget.7z'), '.'],
                   cwd=product, check=True)
    shutil.copy(setup, dist / 'setup.exe')
    (Path(folder) / 'widget.toml').write_text(WIDGET_TOML)
    return Path(folder)


def pack_with_checkout(inputs, copy):
    """This checkout's pack on a copy of INPUTS, with the stub the package
    carries (no build tree named); returns the installer."""
    shutil.copytree(inputs, copy)
    env = {k: v for k, v in os.environ.items() if not k.startswith('BOOTPACK_')}
    env['PYTHONPATH'] = str(REPO / 'tools')
    subprocess.run(['/usr/bin/python3', '-m', 'bootpack', 'pack', '--config', 'widget.toml'],
                   check=True, env=env, stdout=sys.stderr, cwd=copy)
    return Path(copy) / INSTALLER
