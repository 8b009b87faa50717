#!/usr/bin/env python3
"""Prints what an installer image is: its headers and load configuration,
the resources Windows and the shell read, the payload, the signature, and the
outcome the stub will reach with this payload.

The outcome comes from the stub's own payload stage, run under Wine on the
image loaded as data (inspect_payload.exe, built from the same sources as the
stub), so inspect and the stub cannot disagree. Exits 0 when the stub would
go on to start setup, 1 when it would fail, 2 when FILE is no image at all.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pe_reader import PeError, PeFile  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
DLL_FLAGS = [(0x20, 'HIGH_ENTROPY_VA'), (0x40, 'DYNAMIC_BASE'), (0x80, 'FORCE_INTEGRITY'),
             (0x100, 'NX_COMPAT'), (0x200, 'NO_ISOLATION'), (0x400, 'NO_SEH'),
             (0x800, 'NO_BIND'), (0x1000, 'APPCONTAINER'), (0x2000, 'WDM_DRIVER'),
             (0x4000, 'GUARD_CF'), (0x8000, 'TERMINAL_SERVER_AWARE')]
GUARD_FLAGS = [(0x100, 'CF_INSTRUMENTED'), (0x200, 'CFW_INSTRUMENTED'),
               (0x400, 'CF_FUNCTION_TABLE_PRESENT'), (0x800, 'SECURITY_COOKIE_UNUSED'),
               (0x1000, 'PROTECT_DELAYLOAD_IAT'), (0x2000, 'DELAYLOAD_IAT_IN_ITS_OWN_SECTION'),
               (0x4000, 'CF_EXPORT_SUPPRESSION_INFO_PRESENT'),
               (0x8000, 'CF_ENABLE_EXPORT_SUPPRESSION'), (0x10000, 'CF_LONGJUMP_TABLE_PRESENT')]
SUPPORTED_OS = {'{e2011457-1546-43c5-a5fe-008deee3d3f0}': 'Vista',
                '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}': '7',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}': '8',
                '{1f676c76-80e1-4239-95bb-83d0f6d0da78}': '8.1',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}': '10'}
EXIT_MEANINGS = {
    112: 'the product archive resource is missing or the payload is malformed',
    115: 'the setup resource is missing, malformed or its cabinet could not be expanded',
    108: 'a path is too long', 116: 'the setup program could not be written to disk'}
ERROR_NAMES = {2: 'ERROR_FILE_NOT_FOUND', 13: 'ERROR_INVALID_DATA (a name that is neither '
               'brisel... nor setup...)', 68: 'ERROR_TOO_MANY_NAMES (a second archive or setup)',
               206: 'ERROR_FILENAME_EXCED_RANGE (a name of 260 characters or more)'}
RT_NAMES = {3: 'RT_ICON', 14: 'RT_GROUP_ICON', 16: 'RT_VERSION', 24: 'RT_MANIFEST'}


def flag_names(value, table):
    names = [name for bit, name in table if value & bit]
    rest = value & ~sum(bit for bit, _ in table)
    return ' '.join(names + ([f'{rest:#x}'] if rest else []))


class Printer:
    """Lines with a mark: two spaces when as expected, '!!' when not."""

    def __init__(self):
        self.problems = 0

    def section(self, title):
        print(f'\n{title}')

    def line(self, text, ok=True):
        if not ok:
            self.problems += 1
        print(('  ' if ok else '!!') + '  ' + text)


def show_headers(pe, out):
    out.section('Image')
    out.line(f'machine: {"x86-64" if pe.machine == 0x8664 else hex(pe.machine)}, PE32+',
             pe.machine == 0x8664)
    out.line(f'subsystem: {pe.subsystem} ({"Windows GUI" if pe.subsystem == 2 else "not GUI"})',
             pe.subsystem == 2)
    out.line(f'operating-system version {pe.os_version[0]}.{pe.os_version[1]}, subsystem '
             f'version {pe.subsystem_version[0]}.{pe.subsystem_version[1]}',
             pe.os_version == (10, 0) and pe.subsystem_version == (10, 0))
    out.line(f'DLL characteristics: {pe.dll_characteristics:#06x} = '
             f'{flag_names(pe.dll_characteristics, DLL_FLAGS)}', pe.dll_characteristics == 0xC160)
    out.line(f'entry point: RVA {pe.entry_point:#x}')
    for name in ('export', 'tls', 'delay import'):
        rva, size = pe.directory(name)
        out.line(f'{name} directory: ' + ('none' if rva == 0 else f'{size} bytes at {rva:#x}'),
                 rva == 0)
    allowed = {'kernel32.dll', 'advapi32.dll', 'shell32.dll'}
    for dll, functions in pe.imports():
        by_ordinal = [f for f in functions if f.startswith('#')]
        out.line(f'imports {dll}: {len(functions)} by name' +
                 (f', {len(by_ordinal)} by ordinal' if by_ordinal else ''),
                 dll.lower() in allowed and not by_ordinal)


def show_load_config(pe, out):
    out.section('Load configuration')
    config = pe.load_config()
    if config is None:
        out.line('none', False)
        return
    out.line(f'size {config["size"]} bytes')
    flags = config['dependent_load_flags']
    out.line(f'DependentLoadFlags {flags:#x}'
             + (' (LOAD_LIBRARY_SEARCH_SYSTEM32)' if flags == 0x800 else ''), flags == 0x800)
    guard = config['guard_flags']
    out.line(f'guard flags {guard:#x}: {flag_names(guard & 0x0FFFFFFF, GUARD_FLAGS)}',
             guard & 0x500 == 0x500)
    table = pe.guard_function_table(config)
    in_code = all((s := pe.section_of(rva)) is not None and s.flags & 0x20000000 for rva in table)
    out.line(f'guard function table: {len(table)} call targets'
             + (', all in code' if in_code else ', SOME OUTSIDE CODE'), bool(table) and in_code)
    for field in ('guard_check_function_pointer', 'guard_dispatch_function_pointer'):
        value = config[field]
        out.line(f'{field.replace("_", " ")}: {value:#x}', value != 0)


def describe_icon(data):
    if data[:8] == b'\x89PNG\r\n\x1a\n':
        width, height, depth, colour = struct.unpack_from('>IIBB', data, 16)
        return width, height, depth * 4 if colour == 6 else depth, 'PNG'
    _, width, height, _, bits = struct.unpack_from('<IiiHH', data, 0)
    return width, height // 2, bits, 'bitmap'


def version_strings(block):
    """(fixed version text, [(key, value)]) of a version block."""
    ms, ls = struct.unpack_from('<II', block, 40 + 8)
    fixed = f'{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}'
    strings = []

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from('<HHH', block, at)
            if length < 6:
                return
            key_end = at + 6
            while block[key_end:key_end + 2] != b'\0\0':
                key_end += 2
            key = block[at + 6:key_end].decode('utf-16-le')
            value_at = (key_end + 2 + 3) & ~3
            if depth == 3:
                value = block[value_at:value_at + 2 * value_length].decode('utf-16-le')
                strings.append((key, value.rstrip('\0')))
            else:
                child = (value_at + (2 * value_length if kind == 1 else value_length) + 3) & ~3
                walk(child, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(0, len(block), 0)
    return fixed, strings


def show_resources(pe, out):
    resources = pe.resources()
    out.section('Resources')
    others = [r for r in resources if r.language != 1033]
    out.line(f'{len(resources)} resources, ' + ('all of language 1033' if not others else
             f'{len(others)} not of language 1033'), not others)
    icons = {r.name: r for r in resources if r.type == 3}
    groups = [r for r in resources if r.type == 14]
    out.line(f'icon groups: {", ".join(str(g.name) for g in groups) or "none"}',
             [g.name for g in groups] == [107])
    if groups:
        data = pe.resource_bytes(groups[0])
        count = struct.unpack_from('<H', data, 4)[0]
        for i in range(count):
            _, _, _, _, _, bits, size, identifier = struct.unpack_from('<BBBBHHIH', data,
                                                                       6 + 14 * i)
            icon = icons.get(identifier)
            if icon is None:
                out.line(f'icon {identifier}: MISSING', False)
                continue
            width, height, depth, kind = describe_icon(pe.resource_bytes(icon))
            out.line(f'icon {identifier}: {width} x {height}, {depth} bits, {kind}, '
                     f'{icon.size} bytes', identifier == i + 1 and size == icon.size
                     and depth == bits)
    versions = [r for r in resources if r.type == 16]
    if versions:
        fixed, strings = version_strings(pe.resource_bytes(versions[0]))
        out.line(f'version block: {fixed}')
        for key, value in strings:
            out.line(f'  {key}: {value}')
    else:
        out.line('version block: none', False)
    manifests = [r for r in resources if r.type == 24]
    if not manifests:
        out.line('manifest: none', False)
        return
    text = pe.resource_bytes(manifests[0]).decode('utf-8', 'replace')
    level = re.search(r'level="([^"]+)"\s+uiAccess="([^"]+)"', text)
    out.line(f'manifest: {manifests[0].size} bytes; execution level '
             + (f'{level.group(1)}, uiAccess {level.group(2)}' if level else 'none'),
             bool(level) and level.group(1) == 'asInvoker')
    common = re.search(r'name="Microsoft.Windows.Common-Controls"[^>]*?version="([^"]+)"', text)
    out.line('dependency: Microsoft.Windows.Common-Controls '
             + (common.group(1) if common else 'MISSING'), bool(common))
    systems = [SUPPORTED_OS.get(g.lower(), g) for g in re.findall(r'supportedOS Id="([^"]+)"',
                                                                   text)]
    out.line(f'supportedOS: {", ".join(systems)}', systems == ['Vista', '7', '8', '8.1', '10'])
    tested = re.search(r'maxversiontested Id="([^"]+)"', text)
    out.line(f'maxversiontested: {tested.group(1) if tested else "none"}', bool(tested))
    payload = [r for r in resources if isinstance(r.type, str)]
    out.section('Payload resources (string types)')
    if not payload:
        out.line('none')
    for r in payload:
        out.line(f'{r.type} {r.name}: {r.size:,} bytes')
    unknown = [r for r in resources if isinstance(r.type, int) and r.type not in RT_NAMES]
    for r in unknown:
        out.line(f'other resource type {r.type} name {r.name}', True)


def show_signature(pe, path, ca, out):
    out.section('Signature')
    certificates = pe.certificates()
    if not certificates:
        out.line('none (./bootpack sign adds one)')
        return
    for revision, cert_type, length, offset in certificates:
        out.line(f'certificate table at file offset {offset:#x}: {length} bytes, revision '
                 f'{revision:#06x}, type {cert_type}'
                 + (' (PKCS #7 SignedData)' if cert_type == 2 else ''),
                 revision == 0x200 and cert_type == 2)
    tool = shutil.which('osslsigncode')
    if tool is None:
        out.line('osslsigncode is missing: cannot verify', False)
        return
    command = [tool, 'verify', '-in', str(path)]
    if ca:
        command += ['-CAfile', ca, '-TSA-CAfile', ca]
    result = subprocess.run(command, capture_output=True, text=True)
    report = result.stdout + result.stderr
    current = re.search(r'Current message digest\s*:\s*([0-9A-F]+)', report)
    calculated = re.search(r'Calculated message digest\s*:\s*([0-9A-F]+)', report)
    digest_ok = bool(current and calculated and current.group(1) == calculated.group(1))
    algorithm = re.search(r'Message digest algorithm\s*:\s*(\S+)', report)
    out.line(f'digest {algorithm.group(1) if algorithm else "?"}: '
             + ('matches the file' if digest_ok else 'DOES NOT MATCH the file'), digest_ok)
    stamped = 'Timestamp time' in report
    out.line('time stamp: ' + ('present' if stamped else 'missing'), stamped)
    if ca:
        out.line(f'signature against {ca}: ' + ('valid' if result.returncode == 0 else
                                                'INVALID'), result.returncode == 0)
    else:
        out.line('chain not checked (give --ca ROOT.pem to verify it)')


def windows_path(path):
    env = dict(os.environ, WINEDEBUG='-all')
    env.setdefault('WINEPREFIX', os.environ.get('BOOTPACK_WINEPREFIX', ''))
    result = subprocess.run(['winepath', '-w', str(path)], capture_output=True, text=True,
                            env=env)
    return result.stdout.strip() or 'Z:' + str(path).replace('/', '\\')


def show_outcome(path, build):
    print('\nOutcome of a run with this payload')
    tool = build / 'bin' / 'inspect_payload.exe'
    if not tool.is_file():
        print(f'!!  {tool} is missing; run ./bootpack build')
        return None
    result = subprocess.run([str(REPO / 'tools' / 'wine-exec'), str(tool),
                             windows_path(Path(path).resolve())],
                            capture_output=True, text=True)
    values = dict(line.split('=', 1) for line in result.stdout.splitlines() if '=' in line)
    if 'outcome' not in values:
        print('!!  the payload stage could not be run: ' + result.stderr.strip()[-300:])
        return None
    outcome, extra = int(values['outcome']), int(values['extra'])
    if outcome == 0:
        print(f'    the stub writes {values["setup_file"]} ({int(values["setup_bytes"]):,} '
              'bytes) into its work directory and starts it with')
        print(f'    --archive-resource-name="{values["archive_name"]}" '
              f'--archive-resource-type="{values["archive_type"]}";')
        print("    the run then ends with setup's exit code")
    else:
        meaning = EXIT_MEANINGS.get(outcome, 'see the README\'s exit codes')
        detail = ERROR_NAMES.get(extra, str(extra))
        print(f'!!  the stub ends with {outcome}: {meaning}; detail {extra} ({detail})')
    return outcome


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack inspect', description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', metavar='FILE.exe')
    parser.add_argument('--ca', help='root certificate (PEM) to verify the signature against')
    parser.add_argument('--no-run', action='store_true',
                        help='skip the outcome (which runs the payload stage under Wine)')
    args = parser.parse_args(argv)
    build = Path(os.environ.get('BOOTPACK_BUILD_DIR', REPO / 'build'))
    try:
        pe = PeFile(Path(args.file).read_bytes())
    except (OSError, PeError, struct.error) as error:
        print(f'inspect: {args.file}: {error}', file=sys.stderr)
        return 2
    out = Printer()
    print(f'{args.file}: {Path(args.file).stat().st_size:,} bytes')
    try:
        show_headers(pe, out)
        show_load_config(pe, out)
        show_resources(pe, out)
        show_signature(pe, args.file, args.ca, out)
    except (PeError, struct.error, ValueError) as error:
        print(f'inspect: {args.file} is malformed: {error}', file=sys.stderr)
        return 2
    outcome = None if args.no_run else show_outcome(args.file, build)
    print(f'\n{out.problems} propert{"y differs" if out.problems == 1 else "ies differ"} '
          'from what the installer image must carry' if out.problems else
          '\nall image properties as expected')
    return 0 if outcome == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
