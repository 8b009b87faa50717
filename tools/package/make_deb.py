#!/usr/bin/env python3
"""Builds the Debian package of the release tools, build/dist/bootpack_VERSION_all.deb."""
import argparse
import gzip
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

from bootpack import __version__
from bootpack.cli import ToolError, output_file, run_tool
from bootpack.host import CARRIED, PROGRAMS

REPO = Path(__file__).resolve().parents[2]
PACKAGE = REPO / 'tools' / 'bootpack'
MAN_PAGE = REPO / 'docs' / 'bootpack.1'
CHANGELOG = REPO / 'docs' / 'changelog'
README = REPO / 'README.md'
PYPROJECT = REPO / 'pyproject.toml'
MODULES = 'usr/lib/python3/dist-packages/bootpack'
DOC = 'usr/share/doc/bootpack'

MAINTAINER = 'bootpack maintainers <maintainers@users.noreply.c-seed-5c8c5c78.example>'
DESCRIPTION = """\
pack, sign, verify and inspect bootstrap installers for Windows
 bootpack makes a Windows installer from a prebuilt stub it carries: pack
 adds the product's 7z archive, its setup program, an icon and a version
 block without a compiler, and the same inputs give the same bytes. sign
 adds an Authenticode signature with a time stamp, the key from PEM files,
 a PKCS#12 file or a PKCS#11 token; verify checks one against the roots
 given; inspect checks an installer before it ships.
 .
 inspect runs the stub's own payload stage under Wine to predict the
 outcome; without wine64 it can still check everything else (--no-run)."""

LAUNCHER = """\
#!/usr/bin/python3
import sys

from bootpack.__main__ import main

sys.exit(main())
"""

# What dh_python3 would write: the modules are byte-compiled on the
# machine that runs them and the caches removed with the package, so that
# no __pycache__ ships in the .deb and none is left behind.
POSTINST = """\
#!/bin/sh
set -e
if [ "$1" = configure ] && command -v py3compile >/dev/null 2>&1; then
\tpy3compile -p bootpack
fi
"""
PRERM = """\
#!/bin/sh
set -e
if command -v py3clean >/dev/null 2>&1; then
\tpy3clean -p bootpack
else
\tfind /usr/lib/python3/dist-packages/bootpack -type d -name __pycache__ -prune \\
\t\t-exec rm -rf {} +
fi
"""

COPYRIGHT = """\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: bootpack
Upstream-Contact: {maintainer}

Files: *
Copyright: {year} Orvane Software Ltd.
License: proprietary
 All rights reserved. No licence to copy, modify or redistribute this
 software is granted by its distribution in this package.
"""


class PackageError(ToolError):
    pass


def package_version():
    """The package's version, as bootpack --version says it."""
    if not re.fullmatch(r'[0-9][A-Za-z0-9.+~]*', __version__):
        raise PackageError(f'__version__ {__version__!r} is no Debian native version')
    return __version__


def changelog_version(path=None):
    """The version of the changelog's top entry."""
    path = path or CHANGELOG
    try:
        first = path.read_text(encoding='utf-8').split('\n', 1)[0]
    except OSError as error:
        raise PackageError(f'{path}: {error.strerror}')
    match = re.fullmatch(r'bootpack \(([^()\s]+)\) [a-z-]+; urgency=[a-z]+', first)
    if not match:
        raise PackageError(f'{path}: the first line is no "bootpack (VERSION) DIST; urgency=U" '
                           'entry')
    return match.group(1)


def checked_version():
    """The package's version, which the changelog's top entry must carry."""
    version, logged = package_version(), changelog_version()
    if logged != version:
        raise PackageError(f'{CHANGELOG} starts with version {logged}, the package is '
                           f'{version}: add a changelog entry for {version}')
    return version


def source_date_epoch():
    value = os.environ.get('SOURCE_DATE_EPOCH')
    if value is None:
        result = subprocess.run(['git', '-C', str(REPO), 'log', '-1', '--format=%ct'],
                                capture_output=True, text=True)
        value = result.stdout.strip()
        if result.returncode != 0 or not value:
            raise PackageError('SOURCE_DATE_EPOCH is not set and git cannot say the commit '
                               'time: ' + (result.stderr.strip() or 'no commit'))
    if not value.isdigit():
        raise PackageError(f'SOURCE_DATE_EPOCH={value!r} is no number of seconds')
    return int(value)


def project():
    try:
        return tomllib.loads(PYPROJECT.read_text(encoding='utf-8'))
    except (OSError, tomllib.TOMLDecodeError) as error:
        raise PackageError(f'{PYPROJECT}: {getattr(error, "strerror", None) or error}')


def debian_dependency(requirement):
    """python3-NAME (>= VERSION) for pyproject's NAME>=VERSION."""
    match = re.fullmatch(r'([A-Za-z0-9_.-]+)\s*(?:>=\s*([0-9][0-9.]*))?', requirement)
    if not match:
        raise PackageError(f'{PYPROJECT}: dependency {requirement!r} is not NAME or '
                           'NAME>=VERSION')
    name, version = match.groups()
    return f'python3-{name.lower()}' + (f' (>= {version})' if version else '')


def control_relations(facts=None):
    """Depends, Recommends and Suggests, from pyproject.toml: python3 at its
    requires-python, each Python dependency, then the programs."""
    facts = facts or project()
    python = re.fullmatch(r'>=\s*([0-9.]+)', facts['project']['requires-python'])
    if not python:
        raise PackageError(f'{PYPROJECT}: requires-python is not >=VERSION')
    debian = facts['tool']['bootpack']['debian']
    depends = [f'python3 (>= {python.group(1)})'] + [
        debian_dependency(r) for r in facts['project']['dependencies']] + debian['depends']
    return {'Depends': ', '.join(depends), 'Recommends': ', '.join(debian['recommends']),
            'Suggests': ', '.join(debian['suggests'])}


def package_data(facts=None):
    """The patterns of the files beside the modules that ship, as pip ships them."""
    facts = facts or project()
    return facts['tool']['setuptools']['package-data']['bootpack']


def module_files():
    """The package's files relative to tools/bootpack: its modules and its
    package data (the Windows programs the build put there), never caches or
    editor leftovers."""
    patterns = package_data()
    files = []
    for path in sorted(PACKAGE.rglob('*')):
        relative = path.relative_to(PACKAGE)
        if any(part == '__pycache__' or part.startswith('.') for part in relative.parts):
            continue
        if path.is_file() and (path.suffix == '.py' or
                               any(relative.match(pattern) for pattern in patterns)):
            files.append(relative)
    missing = [name for name in CARRIED if Path(PROGRAMS, name) not in files]
    if missing:
        raise PackageError(f'{PACKAGE / "windows"} lacks {", ".join(missing)}; '
                           'run ./bootpack build')
    return files


def write(path, data, mode=0o644):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    path.chmod(mode)


def gzipped(data):
    # No name and time stamp in the header, as gzip -n writes it.
    return gzip.compress(data, compresslevel=9, mtime=0)


def stage(root, version, epoch):
    for relative in module_files():
        write(root / MODULES / relative, (PACKAGE / relative).read_bytes())
    write(root / 'usr/bin/bootpack', LAUNCHER.encode(), 0o755)
    write(root / 'usr/share/man/man1/bootpack.1.gz', gzipped(MAN_PAGE.read_bytes()))
    write(root / DOC / 'README.md', README.read_bytes())
    write(root / DOC / 'changelog.gz', gzipped(CHANGELOG.read_bytes()))
    year = time.gmtime(epoch).tm_year
    write(root / DOC / 'copyright',
          COPYRIGHT.format(year=year, maintainer=MAINTAINER).encode())

    md5sums = []
    installed_kib = 0
    for path in sorted(root.rglob('*')):
        if path.is_file():
            installed_kib += (path.stat().st_size + 1023) // 1024
            md5sums.append(f'{hashlib.md5(path.read_bytes()).hexdigest()}  '
                           f'{path.relative_to(root).as_posix()}\n')
        else:
            installed_kib += 1
    control = (f'Package: bootpack\nVersion: {version}\nArchitecture: all\n'
               f'Maintainer: {MAINTAINER}\nInstalled-Size: {installed_kib}\n'
               + ''.join(f'{field}: {value}\n' for field, value in control_relations().items())
               + f'Section: utils\nPriority: optional\nDescription: {DESCRIPTION}\n')
    write(root / 'DEBIAN/control', control.encode())
    write(root / 'DEBIAN/md5sums', ''.join(md5sums).encode())
    write(root / 'DEBIAN/postinst', POSTINST.encode(), 0o755)
    write(root / 'DEBIAN/prerm', PRERM.encode(), 0o755)

    # The tree's metadata is fixed whatever the umask and the checkout's
    # times; dpkg-deb writes the owner as root and clamps to the epoch.
    for path in [root, *root.rglob('*')]:
        if path.is_dir():
            path.chmod(0o755)
        os.utime(path, (epoch, epoch), follow_symlinks=False)


def build(out_dir):
    version = checked_version()
    epoch = source_date_epoch()
    out_dir.mkdir(parents=True, exist_ok=True)
    deb = out_dir / f'bootpack_{version}_all.deb'
    with tempfile.TemporaryDirectory(prefix='.stage-', dir=out_dir) as scratch, \
            output_file(deb) as partial:
        root = Path(scratch) / 'root'
        root.mkdir()
        stage(root, version, epoch)
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch), LC_ALL='C.UTF-8')
        result = subprocess.run(['dpkg-deb', '--root-owner-group', '-Zxz', '--build',
                                 str(root), str(partial)],
                                capture_output=True, text=True, env=env)
        if result.returncode != 0:
            raise PackageError('dpkg-deb: ' + (result.stderr.strip() or 'failed'))
    return deb


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog='./bootpack package',
        description='Build the Debian package of the release tools (Architecture: all): the '
        'bootpack command, its Python package from tools/bootpack with the Windows programs '
        'the build put in tools/bootpack/windows, the man page docs/bootpack.1 and the '
        'changelog docs/changelog, whose top entry must carry the version of '
        'tools/bootpack/__init__.py.',
        epilog='The package is reproducible: its times are SOURCE_DATE_EPOCH, or the last '
        "commit's time when that is not set, and its files belong to root:root, so two runs "
        'give the same bytes. The .deb is written under another name and renamed, so a '
        'failed run leaves none.')
    parser.add_argument('--out-dir', metavar='DIR', type=Path, default=REPO / 'build' / 'dist',
                        help='where to write bootpack_VERSION_all.deb (default: build/dist)')
    parser.add_argument('--check-changelog', action='store_true',
                        help="only check that the changelog's top version is the package's")
    args = parser.parse_args(argv)
    if args.check_changelog:
        print(f'changelog and package agree on {checked_version()}')
        return 0
    deb = build(args.out_dir)
    digest = hashlib.sha256(deb.read_bytes()).hexdigest()
    print(f'{deb} sha256 {digest}')
    return 0


if __name__ == '__main__':
    sys.exit(run_tool('make_deb', main))
