"""Signs an installer with Authenticode: SHA-256 digests, an RSA signature
and an RFC 3161 time-stamp countersignature, through Debian's osslsigncode.

The payload lies in the image's resource section, so the signature covers the
archive and the setup program as well: changing one byte of either makes
verification fail.
"""
import argparse
import os
from pathlib import Path

from bootpack.cli import ToolError, UsageError, check_output_path, output_file
from bootpack.image_digest import image_layout
from bootpack.sign.keystores import add_key_options, explain_failure, key_store
from bootpack.sign.osslsigncode import Run, run_osslsigncode
from bootpack.sign.output_check import InputDigest, SignedFromInput, difference_from_input
from bootpack.sign.test_pki import make_test_pki
from bootpack.sign.timestamps import (add_timestamp, add_timestamp_options,
                                      local_authority_failure, signing_options,
                                      signing_timeout, stamping_failed, stamps_while_signing,
                                      timestamp_route)

DESCRIPTION = """\
Sign FILE.exe in place (or into --out) with Authenticode. The signed image is
written beside its target and renamed over it: a failed or interrupted
signing leaves the input as it was.

The key lives in one of three stores:
  --cert C.pem --key K.pem      PEM files; the key may be encrypted
  --pkcs12 FILE.pfx             a PKCS#12 file with the chain and the key
  --pkcs11-module LIB.so --key 'pkcs11:token=T;object=O'
                                a token (PKCS#11); the key never leaves it, the
                                certificate comes from --cert or from the token
A key password or token PIN is read from --password-env NAME or
--password-file FILE, never from the command line, and reaches osslsigncode
on its standard input.

A time stamp is required: --timestamp-url names an RFC 3161 server (repeat it
for fallbacks: each is tried in turn, with one retry), or --tsa-cert/--tsa-key
make osslsigncode act as a local authority (tests and the demo). Only
--no-timestamp signs without one.

--make-test-pki DIR writes a throwaway root CA, a code-signing and a
time-stamping certificate with their keys into DIR, for tests and
demonstrations only.

examples:
  bootpack sign installer.exe --pkcs11-module /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so \\
      --key 'pkcs11:token=Release;object=codesign' --password-env TOKEN_PIN \\
      --timestamp-url http://ts1.example.com --timestamp-url http://ts2.example.com
  RELEASE_PFX_PASSWORD=... bootpack sign installer.exe --pkcs12 release.pfx \\
      --password-env RELEASE_PFX_PASSWORD --timestamp-url http://ts1.example.com
  bootpack sign --make-test-pki build/pki
  bootpack sign installer.exe --cert build/pki/codesign.pem --key build/pki/codesign.key \\
      --tsa-cert build/pki/tsa-chain.pem --tsa-key build/pki/tsa.key --verify-ca build/pki/ca.pem
"""


def sign(args):
    source = Path(args.file)
    if not source.is_file():
        raise UsageError(f'{source}: no such file')
    route = timestamp_route(args)
    if args.verify_tsa_ca and not args.verify_ca:
        raise UsageError('--verify-tsa-ca goes with --verify-ca')
    for option, path in (('--verify-ca', args.verify_ca), ('--verify-tsa-ca', args.verify_tsa_ca)):
        if path and not Path(path).is_file():
            raise UsageError(f'{option} {path}: no such file')
    store = key_store(args)
    out = Path(args.out) if args.out else source
    in_place = out.exists() and os.path.samefile(out, source)
    inputs = store.files + [args.tsa_cert, args.tsa_key] + ([] if in_place else [source])
    mode = source.stat().st_mode & 0o777 if in_place else 0o755
    if args.detached_signature:
        check_output_path(args.detached_signature, inputs + [out])
    with output_file(out, inputs=inputs, mode=mode) as partial:
        partial.unlink()  # osslsigncode writes only a new file
        # osslsigncode starts first; the input's digest and the check's
        # libraries are made ready on the other core while it runs.
        with Signing(partial, source, store, args, route) as signing:
            before = InputDigest(source)
            roots_of_the_check(args)
            signing.finish()
        check_result(partial, before, args, route)
        if args.detached_signature:
            from bootpack.sign.detached import write_detached_signature
            write_detached_signature(partial, args.detached_signature, inputs + [out])
    print(f'sign: signed {out} (SHA-256, RSA, '
          + ('time-stamped' if route else 'NO time stamp') + ')'
          + (f', verified against {args.verify_ca}' if args.verify_ca else ''))


def roots_of_the_check(args):
    """The roots the result is checked against, read (and so the signature's
    libraries imported) while osslsigncode runs."""
    from bootpack.signature import read_roots
    if args.verify_ca:
        read_roots(args.verify_ca, '--verify-ca')
    if args.verify_tsa_ca:
        read_roots(args.verify_tsa_ca, '--verify-tsa-ca')


def sign_arguments(source, out, store, args, options=()):
    return (['sign', '-h', 'sha256', *store.arguments]
            + (['-n', args.description] if args.description else [])
            + [*options, '-in', source, '-out', out])


class Signing:
    """Writes PARTIAL: SOURCE signed and, on ROUTE, time-stamped, in one
    osslsigncode run when it can be done in one. The first run starts here;
    finish() waits for it and makes whatever runs the time stamp still needs."""

    def __init__(self, partial, source, store, args, route):
        self.partial, self.source, self.store, self.args, self.route = \
            partial, source, store, args, route
        self.together = stamps_while_signing(route, store)
        self.unstamped = partial.with_name(partial.name + '.unstamped') if route else partial
        if self.together:
            self.run = Run(sign_arguments(source, partial, store, args, signing_options(args)),
                           store.secret, signing_timeout(args))
        else:
            self.run = Run(sign_arguments(source, self.unstamped, store, args), store.secret)

    def finish(self):
        ok, output = self.run.finish()
        tried = 0
        if self.together:
            if ok:
                return
            if not (self.route == 'urls' and stamping_failed(output)):
                raise ToolError((self.route == 'local' and local_authority_failure(output))
                                or explain_failure(output, self.store, self.args, self.source))
            # Signed alone, then stamped by as many runs as the servers need.
            self.partial.unlink(missing_ok=True)
            tried = 1
            ok, output = run_osslsigncode(sign_arguments(self.source, self.unstamped,
                                                         self.store, self.args),
                                          self.store.secret)
        if not ok:
            raise ToolError(explain_failure(output, self.store, self.args, self.source))
        if self.route:
            add_timestamp(self.args, self.unstamped, self.partial, tried)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.run.__exit__(*exc)
        if self.route:
            self.unstamped.unlink(missing_ok=True)


def check_result(signed, before, args, route):
    """The signature just made must hold (against --verify-ca, chain to it),
    and the signed image must be the input with nothing but it added."""
    from bootpack.signature import check_signature
    layout = image_layout(signed)
    check = check_signature(signed, args.verify_ca, args.verify_tsa_ca, layout,
                            SignedFromInput(signed, before))
    problems = [p for p in check.problems if route or not p.startswith('no time stamp')]
    difference = difference_from_input(signed, layout, before)
    if difference:
        problems.append(f'it is not {before.source} with a signature added: {difference}')
    if problems:
        raise ToolError('the signed image does not verify: ' + '; '.join(problems))


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack sign', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('file', nargs='?', metavar='FILE.exe', help='the image to sign')
    add_key_options(parser)
    add_timestamp_options(parser)
    parser.add_argument('--description', help='description shown with the signature')
    parser.add_argument('--verify-ca', metavar='ROOT.pem',
                        help='check the result against this root (PEM) before keeping it')
    parser.add_argument('--verify-tsa-ca', metavar='ROOT.pem',
                        help='the root (PEM) its time stamp must lead to, when the time-stamp '
                        'authority is not under --verify-ca (default: --verify-ca)')
    parser.add_argument('--out', help='write the signed image here instead of in place')
    parser.add_argument('--detached-signature', metavar='FILE.p7s',
                        help='also write the signature alone (PKCS #7 SignedData, DER), '
                        'which bootpack attach puts onto a rebuilt installer')
    parser.add_argument('--make-test-pki', metavar='DIR',
                        help='write a throwaway root, code-signing and TSA certificate')
    args = parser.parse_args(argv)
    if args.make_test_pki:
        make_test_pki(args.make_test_pki)
        if args.file is None:
            return 0
    if args.file is None:
        parser.error('FILE.exe is required')
    sign(args)
    return 0
