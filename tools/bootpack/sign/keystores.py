"""Where the signing key lives, and what osslsigncode needs to reach it: PEM
files (the key perhaps encrypted), a PKCS#12 file, or a PKCS#11 token whose
key never leaves it. A password or PIN is read here from an environment
variable or a file and handed to osslsigncode on its standard input, so it
shows in no process's argument list or environment.
"""
import dataclasses
import os
import re
from pathlib import Path


from bootpack.cli import UsageError
from bootpack.sign.osslsigncode import first_plain_line


@dataclasses.dataclass(frozen=True)
class KeyOptions:
    """The options that name the key store, as given; None where not given."""
    cert: str | None = None
    key: str | None = None
    pkcs12: str | None = None
    pkcs11_module: str | None = None
    password_env: str | None = None
    password_file: str | None = None

    @classmethod
    def of(cls, namespace):
        return cls(**{field.name: getattr(namespace, field.name)
                      for field in dataclasses.fields(cls)})


@dataclasses.dataclass
class KeyStore:
    arguments: list       # osslsigncode's options naming certificate and key
    files: list           # files read, never to be overwritten by the output
    secret: str | None    # the password or PIN, or None
    describe: str         # for messages: what holds the key
    secret_name: str      # 'password' or 'PIN'
    on_token: bool = False  # each signing is an operation on the token


def add_key_options(parser):
    group = parser.add_argument_group('certificate and key (one of three stores)')
    group.add_argument('--cert', help='signing certificate (PEM), its chain may follow')
    group.add_argument('--key', help="its private key (PEM, perhaps encrypted), or with "
                       "--pkcs11-module the key's 'pkcs11:token=...;object=...' URI")
    group.add_argument('--pkcs12', metavar='FILE.pfx',
                       help='certificate chain and key from a PKCS#12 file')
    group.add_argument('--pkcs11-module', metavar='LIB.so',
                       help="the token's PKCS#11 module; the certificate comes from --cert "
                       "or else from the token, beside the key")
    secrets = group.add_mutually_exclusive_group()
    secrets.add_argument('--password-env', metavar='NAME',
                         help='the key password or token PIN is in this environment variable')
    secrets.add_argument('--password-file', metavar='FILE',
                         help="the key password or token PIN is this file's first line")


def read_secret(keys):
    """The password or PIN, from the environment or a file; never from argv.
    The variable is taken out of the environment, so no child inherits it."""
    if keys.password_env:
        value = os.environ.pop(keys.password_env, None)
        if not value:
            raise UsageError(f'--password-env {keys.password_env}: the variable is not set')
        return value
    if keys.password_file:
        try:
            lines = Path(keys.password_file).read_text().splitlines()
        except FileNotFoundError:
            raise UsageError(f'--password-file {keys.password_file}: no such file') from None
        except (OSError, UnicodeDecodeError) as error:
            raise UsageError(f'--password-file {keys.password_file}: cannot be read '
                             f'({getattr(error, "strerror", None) or error})') from None
        if not lines or not lines[0]:
            raise UsageError(f'--password-file {keys.password_file}: the file is empty')
        return lines[0]
    return None


def existing_file(path, option):
    if path is None or not Path(path).is_file():
        raise UsageError(f'{option} {path}: no such file' if path else f'{option} is required')
    return str(path)


def key_store(keys):
    """The KeyStore that KEYS (KeyOptions) describe, checked as far as that
    can be done without the secret."""
    if keys.pkcs12:
        if keys.cert or keys.key or keys.pkcs11_module:
            raise UsageError('--pkcs12 holds certificate and key: give no --cert, --key '
                             'or --pkcs11-module with it')
        path = existing_file(keys.pkcs12, '--pkcs12')
        check_pkcs12(path)
        return KeyStore(['-pkcs12', path], [path], read_secret(keys), path, 'password')
    if keys.pkcs11_module:
        return token_store(keys)
    cert, key = existing_file(keys.cert, '--cert'), existing_file(keys.key, '--key')
    return KeyStore(['-certs', cert, '-key', key], [cert, key], read_secret(keys), key,
                    'password')


def check_pkcs12(path):
    from asn1crypto import pkcs12  # only here: a tenth of sign's start-up
    try:
        pkcs12.Pfx.load(Path(path).read_bytes())['auth_safe']['content'].native
    except ValueError:
        raise UsageError(f'{path}: not a PKCS#12 file') from None


def token_store(keys):
    module = existing_file(keys.pkcs11_module, '--pkcs11-module')
    uri = keys.key
    if not uri or not uri.startswith('pkcs11:'):
        raise UsageError("--pkcs11-module needs --key 'pkcs11:token=...;object=...'")
    if re.search(r'[;?]pin-value=', uri):
        raise UsageError('--key: a PIN in the URI would show in the process list; give it '
                         'with --password-env or --password-file')
    if keys.cert:
        cert = ['-certs', existing_file(keys.cert, '--cert')]
    else:
        attributes = [a for a in uri[len('pkcs11:'):].split(';') if not a.startswith('type=')]
        cert = ['-pkcs11cert', 'pkcs11:' + ';'.join(attributes + ['type=cert'])]
    files = [module] + ([keys.cert] if keys.cert else [])
    return KeyStore(['-pkcs11module', module, '-key', uri] + cert, files, read_secret(keys),
                    f'the token at {uri}', 'PIN', on_token=True)


# What osslsigncode (and OpenSSL and the PKCS#11 engine beneath it) say, and
# what it means, first match wins.
FAILURES = [
    (r'PIN incorrect', '{store}: wrong PIN'),
    (r'PIN (?:locked|len range)', '{store}: the token refuses this PIN (locked or too long)'),
    (r'No PIN code was entered|Login to token failed', '{store}: the token needs its PIN: '
     'give it with --password-env NAME or --password-file FILE'),
    (r'No matching initialized token', 'no token matches {uri} (is it plugged in, and '
     'is the URI right?)'),
    (r'Unable to load module', '{module}: cannot be loaded as a PKCS#11 module'),
    (r'The private key was not found', 'no private key at {uri} on the token'),
    (r'The certificate was not found at: (\S+)', 'no certificate at {0} on the token: give '
     'the certificate with --cert'),
    (r'Failed to parse PKCS#12 file', '{store}: {wrong_password}'),
    (r'Failed to extract PKCS#12 data', '{store}: not a PKCS#12 file'),
    (r'Failed to decode private key file', '{store}: {wrong_password}'),
    (r'consistency of a private key', 'the key does not match the certificate'),
    (r'No certificate found', '{cert}: no PEM certificate in it'),
    (r'Initialization error or unsupported input file type', '{input}: not a PE image'),
]


def explain_failure(output, store, keys, source):
    """One line in our words for osslsigncode's failure to sign."""
    if store.secret is None:
        wrong_password = (f'cannot be read without a {store.secret_name} (give it with '
                          '--password-env NAME or --password-file FILE), or is no key')
    else:
        wrong_password = f'wrong {store.secret_name}, or the file holds no key'
    for pattern, message in FAILURES:
        found = re.search(pattern, output)
        if found:
            return message.format(*found.groups(), store=store.describe, uri=keys.key,
                                  module=keys.pkcs11_module, cert=keys.cert, input=source,
                                  wrong_password=wrong_password)
    return 'osslsigncode could not sign: ' + first_plain_line(output)

