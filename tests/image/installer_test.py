#!/usr/bin/env python3
"""Installers made from the stub image the build makes once: packed with
Python alone, the stub's code and data kept byte for byte, the same inputs
giving the same bytes, and the release engineer's names and icon in the
file's properties. Images are read back with pefile, independently of the
packer's own reader.

usage: installer_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import contextlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

import pefile
from hypothesis import HealthCheck, given, settings, strategies as st

REPO = Path(__file__).resolve().parents[2]
PACK = ('-m', 'bootpack', 'pack')
import bootpack
from bootpack.cli import run_tool
from bootpack.image_writer import PeChecksum
from bootpack.pack import command as pack
from bootpack.pe_image import resource_bytes, resources
from bootpack.resource_section import HIGH_BIT

ARGS = None
TOOLCHAIN = ('clang-19', 'clang++-19', 'ld.lld-19', 'lld-19', 'x86_64-w64-mingw32-gcc',
             'x86_64-w64-mingw32-ld', 'llvm-windres-19')


def png_image(width):
    rows = b''.join(b'\0' + bytes([200, 30, 30, 255]) * width for _ in range(width))

    def chunk(kind, data):
        crc = struct.pack('>I', zlib.crc32(kind + data))
        return struct.pack('>I', len(data)) + kind + data + crc
    header = struct.pack('>IIBBBBB', width, width, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(rows))
            + chunk(b'IEND', b''))


def bitmap_image(width):
    header = struct.pack('<IiiHHIIiiII', 40, width, 2 * width, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + bytes([30, 200, 30, 255]) * width * width + bytes(width * width // 8)


def icon_file(images):
    """An .ico file of (width, data) images, in that order."""
    directory = struct.pack('<HHH', 0, 1, len(images))
    body = b''
    for width, data in images:
        directory += struct.pack('<BBBBHHII', width % 256, width % 256, 0, 0, 1, 32, len(data),
                                 6 + 16 * len(images) + len(body))
        body += data
    return directory + body


def pack_in_process(argv):
    """(status, stderr) of pack run in this process as the command runs it."""
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        try:
            status = run_tool('bootpack pack', pack.main, argv)
        except SystemExit as exit:
            status = exit.code if isinstance(exit.code, int) else 1
            if not isinstance(exit.code, int):
                print(exit.code, file=stderr)
    return status, stderr.getvalue()


def run(*command, env=None):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, env=env)


def version_strings(pe):
    for info in pe.FileInfo[0]:
        if hasattr(info, 'StringTable'):
            return {k.decode(): v.decode() for k, v in info.StringTable[0].entries.items()}
    return {}


def resources_of_type(pe, res_type):
    return {res.name: resource_bytes(pe, res) for res in resources(pe) if res.type == res_type}


class InstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = Path(tempfile.mkdtemp(prefix='installer-test-'))
        (cls.dir / 'readme.txt').write_text('sample')
        cls.archive = cls.dir / 'brisel.7z'
        made = run('7zz', 'a', '-bso0', '-bsp0', cls.archive, cls.dir / 'readme.txt')
        assert made.returncode == 0, made.stderr
        cls.icon = cls.dir / 'widget.ico'
        cls.icon_images = [(48, png_image(48)), (16, bitmap_image(16)), (32, bitmap_image(32))]
        cls.icon.write_bytes(icon_file(cls.icon_images))
        # A GUI program that ends with 0 only when it finds the archive, a
        # valid 7z container, in the installer it is given.
        cls.setup = ARGS.bin / 'sample_setup.exe'

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def pack(self, out, *extra, env=None, stub=None):
        return run(sys.executable, *PACK, '--stub', stub or ARGS.stub, '--out', out, *extra,
                   env=env)

    def pack_product(self, out, *extra, **kwargs):
        result = self.pack(out, '--archive', self.archive, '--setup', self.setup, *extra,
                           **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr)
        return out

    def assertRefused(self, result, out, reason):
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(reason, result.stderr)
        self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
        self.assertFalse(out.exists())

    def test_packs_without_toolchain_or_build_tree_and_runs_under_wine(self):
        release = self.dir / 'release'
        (release / 'bin').mkdir(parents=True)
        stub = shutil.copy(ARGS.stub, release / 'stub.exe')
        env = dict(os.environ, PATH=str(release / 'bin'),
                   BOOTPACK_BUILD_DIR=str(release / 'no-build'))
        for tool in TOOLCHAIN:
            self.assertIsNone(shutil.which(tool, path=env['PATH']), tool)
        installer = self.pack_product(release / 'installer.exe', env=env, stub=stub)
        winpath = run('winepath', '-w', installer,
                      env=dict(os.environ, WINEPREFIX=ARGS.prefix, WINEDEBUG='-all'))
        result = run(REPO / 'tools' / 'wine-exec', ARGS.bin / 'winrun.exe',
                     winpath.stdout.strip())
        self.assertIn('exit code: 0', result.stdout, result.stdout + result.stderr)
        self.assertEqual(sorted(p.name for p in release.iterdir()),
                         ['bin', 'installer.exe', 'stub.exe'], 'the run left something')

    def test_code_data_and_load_configuration_are_the_stubs(self):
        stub_bytes = Path(ARGS.stub).read_bytes()
        out = self.pack_product(self.dir / 'same-code.exe', '--icon', self.icon,
                                '--version', '9.8.7.6')
        stub, image = pefile.PE(data=stub_bytes), pefile.PE(str(out))
        data = out.read_bytes()
        *kept, resources, relocations = image.sections
        self.assertEqual([s.Name for s in kept + [relocations]],
                         [s.Name for s in stub.sections if not s.Name.startswith(b'.rsrc')])
        for ours, theirs in zip(kept, stub.sections):
            with self.subTest(ours.Name):
                self.assertEqual(ours.__pack__(), theirs.__pack__())
                self.assertEqual(ours.get_data(), theirs.get_data())
        self.assertEqual(resources.Name.rstrip(b'\0'), b'.rsrc')
        self.assertEqual(resources.PointerToRawData % 4096, 0)
        top = kept[-1].VirtualAddress + kept[-1].Misc_VirtualSize
        self.assertEqual(resources.VirtualAddress, (top + 4095) // 4096 * 4096)
        # The base relocations follow the resources, their bytes unchanged.
        self.assertEqual(relocations.get_data(), stub.sections[-1].get_data())
        self.assertEqual(relocations.VirtualAddress,
                         (resources.VirtualAddress + resources.Misc_VirtualSize + 4095)
                         // 4096 * 4096)
        self.assertEqual(relocations.PointerToRawData,
                         resources.PointerToRawData + resources.SizeOfRawData)
        self.assertEqual(image.OPTIONAL_HEADER.SizeOfImage,
                         (relocations.VirtualAddress + relocations.Misc_VirtualSize + 4095)
                         // 4096 * 4096)
        moved = {pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_RESOURCE'],
                 pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_BASERELOC']}
        for index, (ours, theirs) in enumerate(zip(image.OPTIONAL_HEADER.DATA_DIRECTORY,
                                                   stub.OPTIONAL_HEADER.DATA_DIRECTORY)):
            if index not in moved:
                self.assertEqual((ours.VirtualAddress, ours.Size),
                                 (theirs.VirtualAddress, theirs.Size), ours.name)
        self.assertEqual(image.OPTIONAL_HEADER.DATA_DIRECTORY[5].VirtualAddress,
                         relocations.VirtualAddress)
        config = image.OPTIONAL_HEADER.DATA_DIRECTORY[10]
        self.assertGreater(config.Size, 0)
        self.assertEqual(image.get_data(config.VirtualAddress, config.Size),
                         stub.get_data(config.VirtualAddress, config.Size))
        # Besides the section table, the headers differ only in the fields
        # that describe the resource section.
        changed = {image.FILE_HEADER.get_field_absolute_offset('NumberOfSections')}
        for field in ('SizeOfInitializedData', 'SizeOfImage', 'CheckSum'):
            changed.add(image.OPTIONAL_HEADER.get_field_absolute_offset(field))
        directories = [image.OPTIONAL_HEADER.DATA_DIRECTORY[i].get_file_offset() for i in moved]
        table = kept[0].get_file_offset()
        for at in range(table):
            if not any(d <= at < d + 8 for d in directories) \
                    and not any(f <= at < f + 4 for f in changed):
                self.assertEqual(data[at], stub_bytes[at], f'header byte {at:#x} changed')

    def test_same_inputs_give_the_same_bytes(self):
        outputs = []
        for name in ('one', 'two'):
            folder = self.dir / name
            folder.mkdir()
            archive = shutil.copy(self.archive, folder / 'product.7z')
            setup = shutil.copy(self.setup, folder / 'setup.exe')
            icon = shutil.copy(self.icon, folder / 'product.ico')
            stamp = 1_000_000_000 if name == 'one' else 1_700_000_000
            for path in (archive, setup, icon):
                os.utime(path, (stamp, stamp))
            result = self.pack(folder / 'installer.exe', '--archive', archive, '--setup', setup,
                               '--setup-storage', 'BL', '--icon', icon, '--company', 'Acme')
            self.assertEqual(result.returncode, 0, result.stderr)
            outputs.append((folder / 'installer.exe').read_bytes())
        self.assertEqual(outputs[0], outputs[1])

    def test_version_names_the_tool_and_the_stubs_revision(self):
        build = self.dir / 'version-build'
        (build / 'bin').mkdir(parents=True)
        shutil.copy(ARGS.stub, build / 'bin' / 'bootpack.exe')
        result = run(sys.executable, '-m', 'bootpack', '--version',
                     env=dict(os.environ, BOOTPACK_BUILD_DIR=str(build)))
        revision = version_strings(pefile.PE(str(ARGS.stub)))['LastChange']
        self.assertEqual(result.stdout, f'bootpack {bootpack.__version__} (stub: {revision})\n')

    def test_company_product_and_icon_in_the_files_properties(self):
        # Characters beyond the BMP take two UTF-16 code units each.
        out = self.pack_product(self.dir / 'widget.exe', '--company', 'Acme Tools Ltd.',
                                '--product', 'Widget', '--icon', self.icon, '--copyright',
                                'Copyright \U0001d49c\U0001d49e Acme Tools Ltd. '
                                'All rights reserved.')
        image, stub = pefile.PE(str(out)), pefile.PE(str(ARGS.stub))
        strings, stub_strings = version_strings(image), version_strings(stub)
        self.assertEqual(list(strings), list(stub_strings), 'keys and their order')
        self.assertEqual(strings['CompanyName'], 'Acme Tools Ltd.')
        self.assertEqual(strings['CompanyShortName'], 'Acme Tools Ltd.')
        self.assertEqual(strings['FileDescription'], 'Widget Installer')
        self.assertEqual(strings['ProductName'], 'Widget Installer')
        self.assertEqual(strings['ProductShortName'], 'Widget Installer')
        self.assertIn('Acme Tools Ltd.', strings['LegalCopyright'])
        self.assertTrue(strings['LegalCopyright'].endswith('All rights reserved.'),
                        strings['LegalCopyright'])
        self.assertEqual(strings['LastChange'], stub_strings['LastChange'])
        self.assertEqual(strings['InternalName'], 'widget')
        icons = resources_of_type(image, pefile.RESOURCE_TYPE['RT_ICON'])
        self.assertEqual(icons, {i: data for i, (_, data) in enumerate(self.icon_images, 1)})
        groups = resources_of_type(image, pefile.RESOURCE_TYPE['RT_GROUP_ICON'])
        self.assertEqual(list(groups), [107])
        ico = self.icon.read_bytes()
        expected = ico[:6] + b''.join(ico[6 + 16 * i:18 + 16 * i] + struct.pack('<H', i + 1)
                                      for i in range(len(self.icon_images)))
        self.assertEqual(groups[107], expected)
        shown = run(REPO / 'bootpack', 'inspect', '--no-run', out)
        for text in ('Acme Tools Ltd.', 'Widget Installer'):
            self.assertIn(text, shown.stdout)

    def test_icons_as_image_editors_write_them_pack_and_pass_inspect(self):
        # ImageMagick lists every PNG image as 32 bits, whatever it holds.
        rows = [  # (what, what convert draws, bits of its 256 x 256 PNG)
            ('a palette, with alpha', ['gradient:red-blue', '-alpha', 'on'], 8),
            ('a palette, without alpha', ['gradient:red-blue', '-alpha', 'off'], 8),
            ('one colour', ['xc:red'], 1),
            ('16-bit samples, with alpha', ['-seed', '7', 'plasma:', '-alpha', 'on'], 64),
            ('16-bit samples, without alpha', ['-seed', '7', 'plasma:'], 48),
        ]
        for what, drawing, bits in rows:
            with self.subTest(what):
                icon = self.dir / 'editor.ico'
                made = run('/usr/bin/convert', '-size', '256x256', *drawing,
                           '-define', 'icon:auto-resize=256,48,32,16', icon)
                self.assertEqual(made.returncode, 0, made.stderr)
                out = self.dir / 'editor.exe'
                packed = self.pack(out, '--archive', self.archive, '--setup', self.setup,
                                   '--icon', icon, '--product', 'W\u00eddget \U0001f680')
                self.assertEqual(packed.returncode, 0, packed.stderr)
                self.assertIn(f'bit count 32, the image holds {bits}', packed.stderr)
                shown = run(REPO / 'bootpack', 'inspect', '--no-run', out)
                self.assertEqual(shown.returncode, 0, shown.stdout)
                self.assertIn(f'icon 1: 256 x 256, {bits} bits, PNG', shown.stdout)
                self.assertIn('FileDescription: W\u00eddget \U0001f680 Installer', shown.stdout)

    def test_refused_icons_and_stubs(self):
        stub = Path(ARGS.stub).read_bytes()
        pe = stub.index(b'PE\0\0')
        sections = pe + 24 + struct.unpack_from('<H', stub, pe + 20)[0]
        signed = bytearray(stub)
        struct.pack_into('<II', signed, pe + 24 + 112 + 8 * 4, len(stub), 8)
        short_headers = bytearray(stub)
        struct.pack_into('<I', short_headers, pe + 24 + 60, 0x40)
        renamed = bytearray(stub)
        reloc = stub.index(b'.reloc\0\0', sections)
        renamed[reloc:reloc + 8] = b'.rsrc\0\0\0'
        files = {
            'text.ico': b'not an icon at all',
            'empty.ico': struct.pack('<HHH', 0, 1, 0),
            'short.ico': struct.pack('<HHH', 0, 1, 3) + bytes(16),
            'outside.ico': struct.pack('<HHHBBBBHHII', 0, 1, 1, 16, 16, 0, 0, 1, 32, 999, 22),
            'text.exe': b'MZ but nothing more',
            'signed.exe': bytes(signed),
            'appended.exe': stub + b'extra bytes',
            'rsrc_first.exe': bytes(renamed),
            'short_headers.exe': bytes(short_headers),
        }
        for name, data in files.items():
            (self.dir / name).write_bytes(data)
        code_image = ARGS.bin.parent / 'lib' / 'bootpack_code.exe'
        rows = [  # (what, stub file, icon file, reason)
            ('not an icon', None, 'text.ico', 'is not an icon file'),
            ('icon without images', None, 'empty.ico', 'holds no image'),
            ('icon directory cut short', None, 'short.ico', 'the file ends first'),
            ('icon image outside', None, 'outside.ico', 'lies outside the file'),
            ('missing icon', None, 'absent.ico', 'absent.ico does not exist'),
            ('stub no PE', 'text.exe', None, 'is not a PE image'),
            ('signed stub', 'signed.exe', None, 'is signed'),
            ('data after the stub', 'appended.exe', None, 'data after its last section'),
            ('resources not last', 'rsrc_first.exe', None, 'must be last'),
            ('headers end before the section table', 'short_headers.exe', None,
             'ends before its section table'),
            ('code image without resources', code_image, None, 'carries no icon group'),
            ('missing stub', 'absent.exe', None, 'absent.exe does not exist'),
        ]
        out = self.dir / 'refused.exe'
        for what, stub_file, icon, reason in rows:
            with self.subTest(what):
                extra = ['--icon', self.dir / icon] if icon else []
                result = self.pack(out, '--archive', self.archive, '--setup', self.setup,
                                   *extra, stub=self.dir / stub_file if stub_file else None)
                self.assertRefused(result, out, reason)

    @settings(max_examples=300, deadline=None, derandomize=True, database=None,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def test_damaged_stubs_end_in_an_installer_or_one_line(self, data):
        stub = bytearray(Path(ARGS.stub).read_bytes())
        if data.draw(st.booleans()):
            stub = stub[:data.draw(st.integers(0, len(stub) - 1))]
        else:
            # Mostly the headers and the resource directory, which pack reads.
            directory = [s for s in pefile.PE(data=bytes(stub)).sections
                         if s.Name.rstrip(b'\0') == b'.rsrc'][0].PointerToRawData
            for _ in range(data.draw(st.integers(1, 8))):
                start, end = data.draw(st.sampled_from(
                    [(0, 1024), (directory, directory + 512), (0, len(stub))]))
                stub[data.draw(st.integers(start, end - 1))] = data.draw(st.integers(0, 255))
        damaged, out = self.dir / 'damaged.exe', self.dir / 'from-damaged.exe'
        damaged.write_bytes(stub)
        status, stderr = pack_in_process(['--stub', str(damaged), '--out', str(out),
                                          '--archive', str(self.archive),
                                          '--setup', str(self.setup)])
        if status != 0:
            self.assertEqual(len(stderr.strip().splitlines()), 1, stderr)
            self.assertFalse(out.exists())
        out.unlink(missing_ok=True)

    def test_a_directory_of_shared_tables_is_refused_before_it_is_walked_long(self):
        # 64 types that all lead to one table of 4000 names, which all lead
        # to one empty table: no resource, but 2^18 steps, and 2^32 with
        # 65535 entries at each level.
        stub = bytearray(Path(ARGS.stub).read_bytes())
        rsrc = next(s for s in pefile.PE(data=bytes(stub), fast_load=True).sections
                    if s.Name.startswith(b'.rsrc'))
        types, names = 64, 4000
        names_at = 16 + 8 * types
        languages_at = names_at + 16 + 8 * names
        section = bytearray(rsrc.SizeOfRawData)
        struct.pack_into('<HH', section, 12, 0, types)
        for i in range(types):
            struct.pack_into('<II', section, 16 + 8 * i, i + 1, HIGH_BIT | names_at)
        struct.pack_into('<HH', section, names_at + 12, 0, names)
        for i in range(names):
            struct.pack_into('<II', section, names_at + 16 + 8 * i, i + 1,
                             HIGH_BIT | languages_at)
        stub[rsrc.PointerToRawData:rsrc.PointerToRawData + len(section)] = section
        damaged, out = self.dir / 'shared-tables.exe', self.dir / 'from-shared-tables.exe'
        damaged.write_bytes(stub)
        status, stderr = pack_in_process(['--stub', str(damaged), '--out', str(out),
                                          '--archive', str(self.archive),
                                          '--setup', str(self.setup)])
        self.assertNotEqual(status, 0)
        self.assertEqual(len(stderr.strip().splitlines()), 1, stderr)
        self.assertFalse(out.exists())

    def test_product_file_with_the_command_line_winning(self):
        folder = self.dir / 'product-file'
        folder.mkdir()
        shutil.copy(self.archive, folder / 'product.7z')
        shutil.copy(self.icon, folder / 'art.ico')
        config = folder / 'widget.toml'
        config.write_text(f'stub = "{ARGS.stub.resolve()}"\narchive = "product.7z"\n'
                          f'setup = "{self.setup}"\nversion = "2.0.0.1"\n'
                          'company = "Acme Tools Ltd."\nproduct = "Widget"\nicon = "art.ico"\n'
                          'out = "Widget.exe"\n')
        result = run(sys.executable, *PACK, '--config', config, '--product', 'Gadget')
        self.assertEqual(result.returncode, 0, result.stderr)
        strings = version_strings(pefile.PE(str(folder / 'Widget.exe')))
        self.assertEqual((strings['CompanyName'], strings['ProductName'], strings['FileVersion']),
                         ('Acme Tools Ltd.', 'Gadget Installer', '2.0.0.1'))
        for text, reason in (('colour = "teal"\n', "unknown key 'colour'"),
                             ('version = 2\n', 'version must be a string'),
                             ('out = \n', 'not TOML')):
            with self.subTest(reason):
                config.write_text(text)
                refused = run(sys.executable, *PACK, '--config', config)
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(reason, refused.stderr)
                self.assertEqual(len(refused.stderr.strip().splitlines()), 1, refused.stderr)

    def test_checksum_is_the_one_pefile_computes(self):
        out = self.pack_product(self.dir / 'checksum.exe', '--checksum')
        image = pefile.PE(str(out))
        self.assertEqual(image.OPTIONAL_HEADER.CheckSum, image.generate_checksum())
        # Runs of words whose sum is a multiple of 0xFFFF, or 0, and odd lengths.
        for data in (b'', bytes(6), b'\xff\xff', b'\xff\xff' * 3, b'\x01\x00\xfe\xff', b'\x07',
                     b'\x01\x02\x03'):
            with self.subTest(data=data):
                words = data + b'\0' * (len(data) % 2)
                total = 0
                for (word,) in struct.iter_unpack('<H', words):
                    total += word
                    total = (total & 0xFFFF) + (total >> 16)
                checksum = PeChecksum()
                checksum.add(data[:1])
                checksum.add(data[1:])
                self.assertEqual(checksum.value(), total + len(data))


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    parser.add_argument('--prefix', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
