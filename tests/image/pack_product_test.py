#!/usr/bin/env python3
"""./bootpack pack in product mode: every layout the stub would refuse, or
that would be unsafe on the user's machine, is refused with one line and
leaves no output file; good layouts are packed.

usage: pack_product_test.py --stub STUB.exe [unittest options]
"""
import argparse
import contextlib
import io
import struct
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
from bootpack.pack import command as pack
from bootpack.cli import run_tool
from bootpack.payload import write_7z_stand_in
from bootpack.pe_image import open_image, resource_bytes, resources
from bootpack.pack.product import LayoutError, check_file_name

STUB = None


def fake_pe(pe_signature=b'PE\0\0', machine=0x8664, characteristics=0x0022, magic=0x20B,
            subsystem=2):
    """The headers of a program, as far as the packer reads them."""
    head = bytearray(b'MZ' + bytes(0x3A) + struct.pack('<I', 0x80))
    head += bytes(0x80 - len(head)) + pe_signature
    head += struct.pack('<HHIIIHH', machine, 0, 0, 0, 0, 240, characteristics)
    optional = bytearray(240)
    struct.pack_into('<H', optional, 0, magic)
    struct.pack_into('<H', optional, 68, subsystem)
    return bytes(head + optional)


class PackProductTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix='pack-product-'))
        self.archive = self.dir / 'product.7z'
        write_7z_stand_in(self.archive, 64, b'payload')
        self.setup = self.dir / 'setup.exe'
        self.setup.write_bytes(fake_pe())
        self.out = self.dir / 'out' / 'installer.exe'

    def tearDown(self):
        import shutil
        shutil.rmtree(self.dir)

    def pack(self, *extra, archive=None, setup=None):
        argv = ['--stub', str(STUB), '--out', str(self.out),
                '--archive', str(archive or self.archive), '--setup', str(setup or self.setup)]
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            try:
                return run_tool('bootpack pack', pack.main, argv + list(extra)), stderr.getvalue()
            except SystemExit as exit:
                return exit.code, stderr.getvalue()

    def assertRefused(self, reason, *extra, **files):
        code, stderr = self.pack(*extra, **files)
        message = code if isinstance(code, str) else stderr
        self.assertNotEqual(code, 0, 'the layout was accepted')
        self.assertIn(reason, message)
        self.assertEqual(len(message.strip().splitlines()), 1, message)
        self.assertFalse(self.out.exists(), 'a refused layout left an output file')
        if self.out.parent.exists():
            self.assertEqual(list(self.out.parent.iterdir()), [], 'scratch files were left')

    def test_refused_files(self):
        not_7z = self.dir / 'not7z.7z'
        not_7z.write_bytes(b'PK\3\4 a zip file')
        empty = self.dir / 'empty.7z'
        empty.write_bytes(b'')
        damaged = self.dir / 'damaged.7z'
        damaged.write_bytes(self.archive.read_bytes()[:-1] + b'\x17')
        text = self.dir / 'readme.txt'
        text.write_text('not a program')
        setups = {}
        for name, headers in (('nope', {'pe_signature': b'NE\0\0'}),
                              ('object', {'characteristics': 0}),
                              ('arm32', {'machine': 0x01C4}),
                              ('x86-magic', {'magic': 0x10B}),
                              ('native', {'subsystem': 1})):
            setups[name] = self.dir / f'{name}.exe'
            setups[name].write_bytes(fake_pe(**headers))
        rows = [
            ('missing archive', 'does not exist', {'archive': self.dir / 'absent.7z'}),
            ('missing setup', 'does not exist', {'setup': self.dir / 'absent.exe'}),
            ('archive is a directory', 'not a regular file', {'archive': self.dir}),
            ('archive without 7z signature', 'no 7z signature', {'archive': not_7z}),
            ('empty archive', 'is empty', {'archive': empty}),
            ("archive header's CRC wrong", 'damaged 7z header', {'archive': damaged}),
            ('setup without MZ', 'no MZ header', {'setup': text}),
            ('setup with MZ but no PE header', 'no PE header', {'setup': setups['nope']}),
            ('setup not marked executable', 'not marked executable',
             {'setup': setups['object']}),
            ('setup for a machine x64 cannot run', 'machine 0x01c4', {'setup': setups['arm32']}),
            ('setup whose magic does not fit', 'magic 0x10b', {'setup': setups['x86-magic']}),
            ('setup of the native subsystem', 'subsystem 1', {'setup': setups['native']}),
        ]
        for what, reason, files in rows:
            with self.subTest(what):
                self.assertRefused(reason, **files)

    def test_refused_names(self):
        long_tail = 'x' * 254
        rows = [
            ('archive not brisel', 'must start with "brisel"', ['--archive-name', 'product.7z']),
            ('archive 260 characters', 'refuses names of 260',
             ['--archive-name', 'brisel' + long_tail]),
            ('archive with quotation mark', 'quotation mark', ['--archive-name', 'brisel".7z']),
            ('archive with control character', 'control character',
             ['--archive-name', 'brisel\t.7z']),
            ('setup not setup', 'must start with "setup"', ['--setup-name', 'my-setup.exe']),
            ('setup 260 characters', 'refuses names of 260', ['--setup-name', 'setup' + long_tail + 'x']),
            ('B7 backslash', 'path separator',
             ['--setup-storage', 'B7', '--setup-name', 'setup\\..\\evil.exe']),
            ('B7 slash', 'path separator', ['--setup-storage', 'B7', '--setup-name', 'setup/x.exe']),
            ('BL drive colon', 'drive colon', ['--setup-storage', 'BL', '--setup-name', 'setup:x']),
            ('BL named as its expansion', 'expands to',
             ['--setup-storage', 'BL', '--setup-name', 'Setup.exe']),
            ('B7 wildcard', 'does not allow', ['--setup-storage', 'B7', '--setup-name', 'setup*.exe']),
            ('B7 trailing dot', 'ends with a dot', ['--setup-storage', 'B7', '--setup-name', 'setup.']),
            ('B7 control character', 'control character',
             ['--setup-storage', 'B7', '--setup-name', 'setup\x01.exe']),
            ('three-part version', 'four numbers', ['--version', '1.2.3']),
            ('version number too big', 'four numbers', ['--version', '1.2.3.65536']),
        ]
        for what, reason, extra in rows:
            with self.subTest(what):
                self.assertRefused(reason, *extra)

    def test_setups_unlike_the_stub_pack_with_one_warning(self):
        rows = [('32-bit x86 GUI', {'machine': 0x014C, 'magic': 0x10B}, '32-bit x86'),
                ('ARM64 GUI', {'machine': 0xAA64}, 'ends with 124'),
                ('x86-64 console', {'subsystem': 3}, 'without a window')]
        for what, headers, warning in rows:
            with self.subTest(what):
                setup = self.dir / 'other.exe'
                setup.write_bytes(fake_pe(**headers))
                self.out.parent.mkdir(exist_ok=True)
                code, stderr = self.pack(setup=setup)
                self.assertEqual(code, 0, stderr)
                self.assertIn(warning, stderr)
                self.assertEqual(len(stderr.strip().splitlines()), 1, stderr)
                self.out.unlink()

    def test_device_names_are_refused(self):
        for name in ['CON', 'nul.exe', 'COM1.txt', 'lpt9', 'CONOUT$']:
            with self.subTest(name):
                with self.assertRaises(LayoutError):
                    check_file_name(name)

    def test_resource_and_product_options_do_not_mix(self):
        code, stderr = self.pack('--resource', 'BN', 'BRISEL.7Z', str(self.archive))
        self.assertNotEqual(code, 0)
        self.assertIn('either --resource or the product options', stderr)
        self.assertFalse(self.out.exists())

    def test_accepted_layouts_carry_the_payload_under_their_names(self):
        rows = [
            ('defaults', [], {'BN': ['BRISEL.7Z', 'SETUP.EXE']}),
            # A BN setup is written as setup.exe: its resource name is no file name.
            ('BN name with a backslash', ['--setup-name', 'setup\\odd'],
             {'BN': ['BRISEL.7Z', 'SETUP\\ODD']}),
            ('B7 under its own name', ['--setup-storage', 'B7', '--setup-name', 'Setup-1.exe',
                                       '--archive-name', 'brisel-full.7z'],
             {'BN': ['BRISEL-FULL.7Z'], 'B7': ['SETUP-1.EXE']}),
            ('BL in a cabinet', ['--setup-storage', 'BL'],
             {'BN': ['BRISEL.7Z'], 'BL': ['SETUP.EX_']}),
        ]
        for what, extra, expected in rows:
            with self.subTest(what):
                self.out.parent.mkdir(exist_ok=True)
                code, stderr = self.pack(*extra, '--version', '3.1.4.1')
                self.assertEqual(code, 0, stderr)
                image = open_image(self.out)
                payload = {}
                for entry in resources(image):
                    if isinstance(entry.type, str):
                        payload.setdefault(entry.type, []).append(entry.name)
                self.assertEqual(payload, expected)
                setup_type = [t for t in expected if t != 'BN' or len(expected) == 1][-1]
                setup_entry = [e for e in resources(image) if e.type == setup_type
                               and e.name.startswith('SETUP')][0]
                data = resource_bytes(image, setup_entry)
                if setup_type == 'BL':
                    self.assertEqual(data[:4], b'MSCF')
                else:
                    self.assertEqual(data, self.setup.read_bytes())
                self.assertEqual(resource_section(image).PointerToRawData % 4096, 0)
                image.close()
                self.out.unlink()


def resource_section(image):
    return [s for s in image.sections if s.Name.rstrip(b'\0') == b'.rsrc'][0]


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    args, rest = parser.parse_known_args()
    STUB = args.stub
    unittest.main(argv=[sys.argv[0]] + rest)
