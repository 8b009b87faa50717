#!/usr/bin/env python3
"""An RFC 3161 time-stamp server on 127.0.0.1 for the throwaway PKI that
`bootpack sign --make-test-pki` writes, answering with `openssl ts -reply`:
imported by the signing tests, and run as a script inside the Debian roots,
where it prints its URL and serves until killed.

usage: timestamp_server.py PKI_DIR
"""
import http.server
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

TSA_CONFIG = """\
[tsa]
default_tsa = local
[local]
serial = {dir}/serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
"""


class TimeStampServer(http.server.BaseHTTPRequestHandler):
    """Answers an RFC 3161 request with `openssl ts -reply`; /slow never
    answers in time, and each /flaky... path fails its first request."""

    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        if self.path == '/slow':
            time.sleep(20)
        if self.path.startswith('/flaky') and self.path not in self.server.failed_once:
            self.server.failed_once.add(self.path)
            self.send_error(503)
            return
        with tempfile.TemporaryDirectory() as scratch:
            (Path(scratch) / 'query').write_bytes(query)
            pki = self.server.pki
            reply = subprocess.run(
                ['openssl', 'ts', '-reply', '-config', pki / 'tsa.cnf',
                 '-queryfile', Path(scratch) / 'query', '-signer', pki / 'tsa.pem',
                 '-inkey', pki / 'tsa.key', '-chain', pki / 'ca.pem',
                 '-out', Path(scratch) / 'reply'], capture_output=True)
            body = (Path(scratch) / 'reply').read_bytes() if reply.returncode == 0 else b''
        self.send_response(200 if body else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def start(pki):
    """A server for the PKI in folder PKI, serving on a thread; returns it
    and its URL."""
    pki = Path(pki)
    (pki / 'tsa.cnf').write_text(TSA_CONFIG.format(dir=pki))
    (pki / 'serial').write_text('01\n')
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), TimeStampServer)
    server.pki = pki
    server.failed_once = set()
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f'http://127.0.0.1:{server.server_port}/'


if __name__ == '__main__':
    _, url = start(sys.argv[1])
    print(url, flush=True)
    threading.Event().wait()
