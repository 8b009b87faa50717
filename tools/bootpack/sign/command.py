"""Signs an installer with Authenticode: SHA-256 digests, an RSA signature
and an RFC 3161 time-stamp countersignature, through Debian's osslsigncode.

The payload lies in the image's resource section, so the signature covers the
archive and the setup program as well: changing one byte of either makes
verification fail.
"""
import argparse
import dataclasses
import os
from pathlib import Path

from bootpack.cli import ToolError, UsageError, check_output_path, missing_input, output_file
from bootpack.image_digest import image_layout
from bootpack.sign.keystores import KeyOptions, add_key_options, explain_failure, key_store
from bootpack.sign.osslsigncode import Run, run_osslsigncode
from bootpack.sign.output_check import (InputDigest, SignedFromInput, difference_from_input,
                                        in_background)
from bootpack.sign.timestamps import (TimestampOptions, add_timestamp, add_timestamp_options,
                                      local_authority_failure, signing_options,
                                      signing_timeout, stamping_failed, stamps_while_signing,
                                      timestamp_options)

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
demonstrations only: all of them or none, into a DIR that holds none of
their files.

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


@dataclasses.dataclass(frozen=True)
class SigningRequest:
    """What sign is asked to do, checked as far as that needs no key."""
    source: Path
    out: Path                      # the source itself when signing in place
    keys: KeyOptions
    stamp: TimestampOptions
    description: str | None
    verify_ca: str | None
    verify_tsa_ca: str | None
    detached_signature: str | None


def signing_request(args):
    """The SigningRequest of argparse's namespace."""
    source = Path(args.file)
    if not source.is_file():
        raise missing_input(source)
    stamp = timestamp_options(args)
    if args.verify_tsa_ca and not args.verify_ca:
        raise UsageError('--verify-tsa-ca goes with --verify-ca')
    for option, path in (('--verify-ca', args.verify_ca), ('--verify-tsa-ca', args.verify_tsa_ca)):
        if path and not Path(path).is_file():
            raise missing_input(path, option)
    return SigningRequest(source, Path(args.out) if args.out else source, KeyOptions.of(args),
                          stamp, args.description, args.verify_ca, args.verify_tsa_ca,
                          args.detached_signature)


def sign(request):
    source, out, route = request.source, request.out, request.stamp.route
    store = key_store(request.keys)
    in_place = out.exists() and os.path.samefile(out, source)
    inputs = store.files + [request.stamp.tsa_cert, request.stamp.tsa_key] + (
        [] if in_place else [source])
    mode = source.stat().st_mode & 0o777 if in_place else 0o755
    if request.detached_signature:
        check_output_path(request.detached_signature, inputs + [out])
    with output_file(out, inputs=inputs, mode=mode) as partial:
        partial.unlink()  # osslsigncode writes only a new file
        # osslsigncode starts first; the input's digest and the check's
        # libraries are made ready on the other core while it runs.
        with Signing(partial, store, request) as signing:
            signing.start()
            before = InputDigest(source)
            roots_of_the_check(request)
            signing.finish()
        check_result(partial, before, request)
        if request.detached_signature:
            from bootpack.sign.detached import write_detached_signature
            write_detached_signature(partial, request.detached_signature, inputs + [out])
    print(f'sign: signed {out} (SHA-256, RSA, '
          + ('time-stamped' if route else 'NO time stamp') + ')'
          + (f', verified against {request.verify_ca}' if request.verify_ca else ''))


def roots_of_the_check(request):
    """The roots the result is checked against, read (and so the signature's
    libraries imported) while osslsigncode runs."""
    from bootpack.signature import read_roots
    if request.verify_ca:
        read_roots(request.verify_ca, '--verify-ca')
    if request.verify_tsa_ca:
        read_roots(request.verify_tsa_ca, '--verify-tsa-ca')


def sign_arguments(out, store, request, options=()):
    return (['sign', '-h', 'sha256', *store.arguments]
            + (['-n', request.description] if request.description else [])
            + [*options, '-in', request.source, '-out', out])


class Signing:
    """Writes PARTIAL: the source of REQUEST signed and time-stamped as it
    says, in one osslsigncode run when it can be done in one. start(), inside
    the with block, starts the first run; finish() waits for it and makes
    whatever runs the time stamp still needs."""

    def __init__(self, partial, store, request):
        self.partial, self.store, self.request = partial, store, request
        self.source, self.stamp, self.route = request.source, request.stamp, request.stamp.route
        self.together = stamps_while_signing(self.route, store)
        self.unstamped = partial.with_name(partial.name + '.unstamped') if self.route else partial
        self.run = Run()

    def start(self):
        out, options, timeout = ((self.partial, signing_options(self.stamp),
                                  signing_timeout(self.stamp)) if self.together
                                 else (self.unstamped, (), None))
        self.run.start(sign_arguments(out, self.store, self.request, options),
                       self.store.secret, timeout)

    def finish(self):
        ok, output = self.run.finish()
        tried = 0
        if self.together:
            if ok:
                return
            if not (self.route == 'urls' and stamping_failed(output)):
                raise ToolError((self.route == 'local' and local_authority_failure(output))
                                or explain_failure(output, self.store, self.request.keys,
                                                   self.source))
            # Signed alone, then stamped by as many runs as the servers need.
            self.partial.unlink(missing_ok=True)
            tried = 1
            ok, output = run_osslsigncode(sign_arguments(self.unstamped, self.store,
                                                         self.request),
                                          self.store.secret)
        if not ok:
            raise ToolError(explain_failure(output, self.store, self.request.keys, self.source))
        if self.route:
            add_timestamp(self.stamp, self.unstamped, self.partial, tried)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.run.__exit__(*exc)
        if self.route:
            self.unstamped.unlink(missing_ok=True)


def check_result(signed, before, request):
    """The signature just made must hold (against --verify-ca, chain to it),
    and the signed image must be the input with nothing but it added."""
    from bootpack.signature import check_signature
    layout = image_layout(signed)
    # The comparison takes both cores while the signature, which needs
    # little of them, is checked.
    comparing = in_background(difference_from_input, signed, layout, before)
    check = check_signature(signed, request.verify_ca, request.verify_tsa_ca, layout,
                            SignedFromInput(signed, before))
    problems = [p for p in check.problems
                if request.stamp.route or not p.startswith('no time stamp')]
    difference = comparing()
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
        from bootpack.sign.throwaway_pki import make_throwaway_pki  # only for this
        make_throwaway_pki(args.make_test_pki)
        if args.file is None:
            return 0
    if args.file is None:
        parser.error('FILE.exe is required')
    sign(signing_request(args))
    return 0
