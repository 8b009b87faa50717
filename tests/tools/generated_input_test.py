#!/usr/bin/env python3
"""Generated bad inputs, each through the command a user runs: product files
and provenance statements made from good ones by replacing, removing and
retyping fields, and certificates and signatures damaged byte by byte. Every
case must end with status 0, 1 or 2, at most one line on stderr (besides
pack's warnings and notes and argparse's usage), no traceback and no file
left behind. Also a time stamp whose token has no signer.

The commands run in this process, as `bootpack` runs them (its main()).
BOOTPACK_GENERATED_EXAMPLES sets how many examples each property gets (30
in the suite; a few hundred for a longer search).

usage: generated_input_test.py --stub STUB.exe --bin BUILD/bin [unittest options]
"""
import argparse
import base64
import collections
import contextlib
import copy
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from asn1crypto import cms
from hypothesis import HealthCheck, given, settings, strategies as st

from bootpack.__main__ import main as bootpack
from bootpack.image_digest import image_layout

ARGS = None
EXAMPLES = int(os.environ.get('BOOTPACK_GENERATED_EXAMPLES') or 30)
GENERATED = settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
                     suppress_health_check=list(HealthCheck))

# Text as a user might type it, and what a file may hold instead.
TEXT = st.text(st.characters(blacklist_categories=('Cs',)), max_size=12)
SCALARS = st.one_of(TEXT, st.integers(-2**40, 2**40), st.booleans(),
                    st.sampled_from(['', '\0', 'a\nb', '../x.exe', 'BL', '1.2.3.4',
                                     'brisel.7z', 'setup.exe', '#1', 'CON',
                                     'brisel\\', 'setup\x01.exe', 'SETUP.EX_']))
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(TEXT, inner, max_size=3)), max_leaves=6)


# How often each command ended with each status, shown at the end.
STATUSES = collections.Counter()


def run(*argv):
    """(status, stdout, stderr) of `bootpack ARGV`, run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = bootpack([str(a) for a in argv])
        except SystemExit as exit:  # argparse's answer to a call it cannot parse
            status = exit.code
    STATUSES[argv[0], status] += 1
    return status, out.getvalue(), err.getvalue()


def said(stderr):
    """The lines of stderr that answer: not pack's warnings and notes, not
    argparse's usage."""
    return [line for line in stderr.splitlines()
            if line and not line.startswith(('usage:', ' ')) and ': warning: ' not in line
            and ': note: ' not in line]


def paths(tree, prefix=()):
    """Every path to a value in a tree of dicts and lists."""
    children = (tree.items() if isinstance(tree, dict) else
                enumerate(tree) if isinstance(tree, list) else ())
    for key, child in children:
        yield prefix + (key,)
        yield from paths(child, prefix + (key,))


def retyped(value):
    """VALUE as another type, keeping what it held."""
    if isinstance(value, dict):
        return list(value.values())
    if isinstance(value, list):
        return {str(i): v for i, v in enumerate(value)}
    if isinstance(value, str):
        return [value]
    return str(value)


def damaged(tree, data, allow_none=True):
    """TREE with one to three fields replaced, removed or retyped."""
    tree = copy.deepcopy(tree)
    for _ in range(data.draw(st.integers(1, 3))):
        found = list(paths(tree))
        if not found:
            break
        path = data.draw(st.sampled_from(found))
        parent = tree
        for key in path[:-1]:
            parent = parent[key]
        how = data.draw(st.sampled_from(['replace', 'remove', 'retype']))
        if how == 'remove':
            del parent[path[-1]]
        elif how == 'retype':
            parent[path[-1]] = retyped(parent[path[-1]])
        else:
            values = st.one_of(VALUES, st.none()) if allow_none else VALUES
            parent[path[-1]] = data.draw(values)
    return tree


def toml_text(table):
    """TOML of a table whose values are strings, numbers, booleans, arrays and
    tables; arrays of tables as [[key]] sections."""
    def value(v):
        if isinstance(v, bool):
            return 'true' if v else 'false'
        if isinstance(v, (int, float)):
            return str(v)
        if isinstance(v, str):
            return json.dumps(v, ensure_ascii=False)  # JSON's escapes are TOML's too
        if isinstance(v, list):
            return '[' + ', '.join(value(x) for x in v) + ']'
        return '{' + ', '.join(f'{key(k)} = {value(x)}' for k, x in v.items()) + '}'
    def key(k):
        return json.dumps(k, ensure_ascii=False)
    lines, sections = [], []
    for name, v in table.items():
        if isinstance(v, list) and v and all(isinstance(x, dict) for x in v):
            for x in v:
                sections.append(f'[[{key(name)}]]')
                sections += [f'{key(k)} = {value(y)}' for k, y in x.items()]
        else:
            lines.append(f'{key(name)} = {value(v)}')
    return '\n'.join(lines + sections) + '\n'


def mutate_bytes(data, changes):
    data = bytearray(data)
    for at, byte in changes:
        data[at % len(data)] = byte
    return bytes(data)


BYTE_CHANGES = st.lists(st.tuples(st.integers(0, 1 << 20), st.integers(0, 255)),
                        min_size=1, max_size=6)


class GeneratedInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix='generated-input-'))
        inputs = cls.inputs = cls.root / 'inputs'
        inputs.mkdir()
        (inputs / 'readme.txt').write_text('sample')
        subprocess.run(['7zz', 'a', '-bso0', '-bsp0', inputs / 'brisel.7z',
                        inputs / 'readme.txt'], check=True, capture_output=True)
        shutil.copy(ARGS.bin / 'sample_setup.exe', inputs / 'setup.exe')
        shutil.copy(ARGS.stub, inputs / 'stub.exe')
        # Good inputs, each of which the properties below damage.
        # The fields that shape the layout first, where the search starts.
        cls.product = {'archive-name': 'BRISEL.7Z', 'setup-name': 'SETUP.EXE',
                       'setup-storage': 'BN', 'version': '1.2.3.4',
                       'company': 'Acme Tools Ltd.', 'product': 'Widget', 'checksum': True,
                       'archive': '../inputs/brisel.7z', 'setup': '../inputs/setup.exe',
                       'out': 'installer.exe', 'stub': '../inputs/stub.exe'}
        cls.resources = {'stub': '../inputs/stub.exe', 'out': 'installer.exe', 'resource': [
            {'type': 'BN', 'name': 'BRISEL.7Z', 'file': '../inputs/brisel.7z'},
            {'type': 'BL', 'name': 'SETUP.EX_', 'file': '../inputs/setup.exe', 'cabinet': True}]}
        cls.installer, cls.statement = inputs / 'installer.exe', inputs / 'installer.json'
        cls.expect_ok(run('pack', '--stub', ARGS.stub, '--archive', inputs / 'brisel.7z',
                          '--setup', inputs / 'setup.exe', '--out', cls.installer,
                          '--provenance', cls.statement))
        cls.pki = inputs / 'pki'
        cls.expect_ok(run('sign', '--make-test-pki', cls.pki))
        cls.signed, cls.detached = inputs / 'signed.exe', inputs / 'signed.p7s'
        cls.expect_ok(run('sign', cls.installer, '--cert', cls.pki / 'codesign.pem', '--key',
                          cls.pki / 'codesign.key', '--tsa-cert', cls.pki / 'tsa-chain.pem',
                          '--tsa-key', cls.pki / 'tsa.key', '--out', cls.signed,
                          '--detached-signature', cls.detached))
        cls.listing = cls.tree()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)
        print('\nstatuses: ' + ', '.join(f'{command} {status}: {count}' for (command, status), count
                                         in sorted(STATUSES.items())), file=sys.stderr)

    @staticmethod
    def expect_ok(answer):
        status, _, stderr = answer
        assert status == 0, stderr

    @classmethod
    def tree(cls):
        return sorted(str(p.relative_to(cls.root)) for p in cls.root.rglob('*'))

    @contextlib.contextmanager
    def case(self, *kept):
        """A folder for one example; afterwards nothing but the files named
        KEPT may be in it, and nothing else of the tree may have changed."""
        folder = self.root / 'case'
        folder.mkdir()
        try:
            yield folder
            left = sorted(p.name for p in folder.iterdir())
            self.assertTrue(set(left) <= set(kept), f'left behind: {left}')
            shutil.rmtree(folder)
            self.assertEqual(self.tree(), self.listing)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def assertAnswer(self, answer, statuses=(0, 1, 2)):
        status, _, stderr = answer
        self.assertIn(status, statuses, stderr)
        self.assertNotIn('Traceback', stderr)
        self.assertLessEqual(len(said(stderr)), 1 if status else 0, stderr)

    @GENERATED
    @given(st.data())
    def test_pack_of_a_damaged_product_file(self, data):
        good = data.draw(st.sampled_from([self.product, self.resources]))
        table = damaged(good, data, allow_none=False)
        with self.case('product.toml') as folder:
            (folder / 'product.toml').write_text(toml_text(table), encoding='utf-8')
            answer = run('pack', '--config', folder / 'product.toml')
            self.assertAnswer(answer)
            if answer[0] == 0:  # a product file still good: the installer it names
                installer = folder / table['out']
                self.assertTrue(installer.is_file())
                installer.unlink()

    @GENERATED
    @given(st.data())
    def test_verify_and_inspect_of_a_damaged_statement(self, data):
        document = damaged(json.loads(self.statement.read_text()), data)
        with self.case('statement.json') as folder:
            (folder / 'statement.json').write_text(json.dumps(document), encoding='utf-8')
            self.assertAnswer(run('verify', self.installer, '--provenance',
                                  folder / 'statement.json', '--input',
                                  self.inputs / 'brisel.7z'))
            status, _, stderr = run('inspect', '--no-run', self.installer, '--provenance',
                                    folder / 'statement.json')
            self.assertAnswer((status, _, stderr))
            if status in (0, 1):
                self.assertEqual(stderr, '', 'a verdict goes to stdout')

    @GENERATED
    @given(BYTE_CHANGES, st.sampled_from(['ca.pem', 'codesign.pem']))
    def test_verify_and_sign_with_a_damaged_certificate(self, changes, name):
        text = (self.pki / name).read_text()
        der = base64.b64decode(''.join(text.split('-----')[2].split()))
        der = mutate_bytes(der, changes)
        pem = ('-----BEGIN CERTIFICATE-----\n' + base64.encodebytes(der).decode()
               + '-----END CERTIFICATE-----\n')
        with self.case('cert.pem', 'signed.exe') as folder:
            (folder / 'cert.pem').write_text(pem)
            if name == 'ca.pem':
                self.assertAnswer(run('verify', self.signed, '--ca', folder / 'cert.pem'))
            else:
                self.assertAnswer(run('sign', self.installer, '--cert', folder / 'cert.pem',
                                      '--key', self.pki / 'codesign.key', '--no-timestamp',
                                      '--out', folder / 'signed.exe'))

    @GENERATED
    @given(BYTE_CHANGES, st.booleans())
    def test_attach_and_verify_of_a_damaged_signature(self, changes, detached):
        with self.case('signature.p7s', 'damaged.exe', 'signed.exe') as folder:
            if detached:
                signature = folder / 'signature.p7s'
                signature.write_bytes(mutate_bytes(self.detached.read_bytes(), changes))
                self.assertAnswer(run('attach', self.installer, '--signature', signature,
                                      '--out', folder / 'signed.exe', '--ca',
                                      self.pki / 'ca.pem'))
                return
            # Bytes of the certificate table, which holds the signature.
            data = self.signed.read_bytes()
            offset, size = image_layout(self.signed).table
            table = mutate_bytes(data[offset:], changes)
            (folder / 'damaged.exe').write_bytes(data[:offset] + table)
            self.assertAnswer(run('verify', folder / 'damaged.exe', '--ca', self.pki / 'ca.pem'))

    def test_a_time_stamp_without_a_signer_is_one_line(self):
        data = bytearray(self.signed.read_bytes())
        layout = image_layout(self.signed)
        offset, size = layout.table
        length = int.from_bytes(data[offset:offset + 4], 'little')
        info = cms.ContentInfo.load(bytes(data[offset + 8:offset + length]))
        signer = info['content']['signer_infos'][0]
        for attribute in signer['unsigned_attrs']:
            if attribute['type'].native == 'microsoft_time_stamp_token':
                token = attribute['values'][0]['content']
                token['signer_infos'] = cms.SignerInfos([])
        der = info.dump(force=True)
        # WIN_CERTIFICATE: its length (with this header), revision 2.0, PKCS #7.
        table = (8 + len(der)).to_bytes(4, 'little') + b'\x00\x02\x02\x00' + der
        table += bytes(-len(table) % 8)
        data[layout.directory_at + 4:layout.directory_at + 8] = len(table).to_bytes(4, 'little')
        with self.case('stampless.exe') as folder:
            (folder / 'stampless.exe').write_bytes(bytes(data[:offset]) + table)
            answer = run('verify', folder / 'stampless.exe', '--ca', self.pki / 'ca.pem')
            self.assertAnswer(answer, statuses=(1,))
            self.assertIn('the time stamp has 0 signers', answer[2])


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True, type=Path)
    parser.add_argument('--bin', required=True, type=Path)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
