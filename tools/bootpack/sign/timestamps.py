"""The time stamp on a fresh signature: from RFC 3161 servers, each tried in
turn with one short retry, or from a local time-stamp authority (tests and
the demo). Without one, a signature dies with its certificate.

The signing run takes the time stamp itself whenever it can: each run reads
and writes the whole image. Only a retry adds it in a run of its own.
"""
import dataclasses
import re
import time

from bootpack.cli import ToolError, UsageError
from bootpack.sign.osslsigncode import first_plain_line, installed_version, run_osslsigncode

ATTEMPTS = 2            # per server
RETRY_PAUSE = 1.0       # seconds between a server's attempts
ANSWER_TIMEOUT = 30     # seconds for one attempt
# osslsigncode's -TSA-certs (the local authority) came with 2.9; signing with
# time-stamp servers needs only what the package depends on.
LOCAL_AUTHORITY_VERSION = (2, 9)


def add_timestamp_options(parser):
    group = parser.add_argument_group('time stamp (one of three)')
    group.add_argument('--timestamp-url', action='append', default=[], metavar='URL',
                       help='RFC 3161 time-stamp server; repeat it for fallbacks, tried in turn')
    group.add_argument('--tsa-cert', help='local time-stamp authority certificate chain (PEM)')
    group.add_argument('--tsa-key', help='local time-stamp authority key (PEM)')
    group.add_argument('--no-timestamp', action='store_true',
                       help='sign without a time stamp (the signature then ends with the '
                       'certificate)')


@dataclasses.dataclass(frozen=True)
class TimestampOptions:
    """Where the time stamp comes from: ROUTE 'urls' (the servers URLS, in
    turn), 'local' (the authority TSA_CERT and TSA_KEY) or None (none)."""
    route: str | None
    urls: tuple[str, ...] = ()
    tsa_cert: str | None = None
    tsa_key: str | None = None


def timestamp_options(namespace):
    """The TimestampOptions of sign's options, after checking that exactly
    one way is given."""
    urls, tsa_cert, tsa_key = (tuple(namespace.timestamp_url), namespace.tsa_cert,
                               namespace.tsa_key)
    local = tsa_cert is not None or tsa_key is not None
    routes = [name for name, given in (('--timestamp-url', bool(urls)),
                                       ('--tsa-cert/--tsa-key', local),
                                       ('--no-timestamp', namespace.no_timestamp)) if given]
    if len(routes) > 1:
        raise UsageError(f'give one of {" and ".join(routes)}, not both')
    if not routes:
        raise UsageError('a time stamp is required: --timestamp-url URL (or, knowing the '
                         'signature then ends with the certificate, --no-timestamp)')
    if local and not (tsa_cert and tsa_key):
        raise UsageError('a local time-stamp authority needs --tsa-cert and --tsa-key')
    if local:
        check_local_authority()
    return TimestampOptions('urls' if urls else 'local' if local else None, urls, tsa_cert,
                            tsa_key)


def check_local_authority():
    have = installed_version()
    if have is None or have < LOCAL_AUTHORITY_VERSION:
        need = '.'.join(map(str, LOCAL_AUTHORITY_VERSION))
        raise UsageError(f'--tsa-cert needs osslsigncode {need} or later (its local '
                         'time-stamp authority); the one installed is '
                         + ('.'.join(map(str, have)) if have else 'of an unknown version'))


def stamps_while_signing(route, store):
    """Whether the signing run itself takes the time stamp. A run whose
    server fails has spent its signature, so a token, which signs once per
    call, signs alone and gets its time stamp added afterwards."""
    return route == 'local' or (route == 'urls' and not store.on_token)


def signing_options(stamp):
    """osslsigncode sign's options that time-stamp in the same run: the
    local authority, or every server, which it tries in turn, once each."""
    if stamp.tsa_cert:
        return ['-TSA-certs', stamp.tsa_cert, '-TSA-key', stamp.tsa_key]
    return [option for url in stamp.urls for option in ('-ts', url)]


def signing_timeout(stamp):
    return ANSWER_TIMEOUT * len(stamp.urls) if stamp.urls else None


def stamping_failed(output):
    """Whether a signing run failed for want of a time stamp (the signature
    itself was made), rather than for the key."""
    return bool(re.search(r'timestamping failed|^no answer within', output, re.MULTILINE))


def local_authority_failure(output):
    if 'Time-Stamp Authority' in output:
        return 'the local time-stamp authority failed: ' + first_plain_line(output)
    return None


def add_timestamp(stamp, signed, out, tried=0):
    """Writes OUT: SIGNED with a time stamp from the first server that gives
    one. TRIED is how many attempts each server has had already."""
    failures = []
    for url in stamp.urls:
        for attempt in range(tried, ATTEMPTS):
            if attempt:
                time.sleep(RETRY_PAUSE)
            out.unlink(missing_ok=True)
            ok, output = run_osslsigncode(['add', '-h', 'sha256', '-ts', url, '-in', signed,
                                           '-out', out], timeout=ANSWER_TIMEOUT)
            if ok:
                return
        failures.append(f'{url} ({reason(output)})')
    raise ToolError('no time-stamp server gave a time stamp: ' + '; '.join(failures))


def reason(output):
    """Why a server gave no time stamp, from osslsigncode's output."""
    answered = re.search(r'code=(\d+), reason=([^\n]*)', output)
    if answered:
        return f'HTTP {answered.group(1)} {answered.group(2).strip()}'
    for cause, words in (('Connection refused', 'connection refused'),
                         ("Couldn't connect to server", 'connection refused'),  # 2.5
                         ('Name or service not known', 'no such host'),
                         ('timed out', 'timed out')):
        if cause in output:
            return words
    return first_plain_line(output)
