"""Running osslsigncode: found on PATH, in a session of its own, with the
password or PIN on its standard input (its -readpass -), so the secret is in
no argument list and no environment a process listing shows.

A run can be started and waited for later, so that sign does its own work
on the other core while osslsigncode reads and writes the image.
"""
import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import time

from bootpack.cli import UsageError, signals_held

# Where -readpass reads the secret: osslsigncode 2.9 takes "-" for standard
# input, 2.5 only a file name, which /dev/stdin is wherever it exists.
STDIN = '/dev/stdin' if os.path.exists('/dev/stdin') else '-'
# Lines that carry no reason: progress, verdicts, and OpenSSL's error queue,
# whose internals the user does not need.
NOISE = re.compile(r'[0-9A-F]+:error:|Failed$|Succeeded$|Engine "|PE checksum|Connecting to ')


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise UsageError(f'{name} is missing (apt install {name})')
    return path


class Run:
    """One osslsigncode process under way. Its output goes to a file, not a
    pipe, so it never waits for us to read while we are busy elsewhere.

    A Run holds nothing until start(), which is called inside the with
    block that stops it: whenever a signal ends the tool, the process ends
    before anything that it may have written is removed."""

    def __init__(self):
        self.process, self.outputs = None, ()

    def start(self, arguments, secret=None, timeout=None):
        command = [tool('osslsigncode')] + [str(a) for a in arguments]
        if secret is not None:
            command[2:2] = ['-readpass', STDIN]
        self.timeout = timeout
        self.started = time.monotonic()
        with signals_held():
            self.outputs = tempfile.TemporaryFile(), tempfile.TemporaryFile()
            # A new session keeps OpenSSL from asking for a missing password
            # on the terminal.
            self.process = subprocess.Popen(command, stdin=subprocess.PIPE,
                                            stdout=self.outputs[0], stderr=self.outputs[1],
                                            start_new_session=True)
        # One that ends before reading (a file it refuses at once) breaks the
        # pipe on the write or on the flush when it closes: its output says why.
        with contextlib.suppress(BrokenPipeError):
            try:
                self.process.stdin.write(((secret or '') + '\n').encode())
            finally:
                self.process.stdin.close()
        return self

    def finish(self):
        """(succeeded, everything it printed), once it has ended."""
        left = None if self.timeout is None else \
            max(0.0, self.timeout - (time.monotonic() - self.started))
        try:
            self.process.wait(left)
        except subprocess.TimeoutExpired:
            self.stop()
            return False, f'no answer within {self.timeout} seconds'
        return self.process.returncode == 0, self.printed()

    def printed(self):
        """What it wrote to stdout, then what it wrote to stderr."""
        text = ''
        for output in self.outputs:
            output.seek(0)
            text += output.read().decode(errors='replace')
        return text

    def stop(self):
        """Ends the process if it still runs: nothing writes after we leave.
        A second signal waits until it has ended."""
        with signals_held():
            if self.process is not None and self.process.poll() is None:
                self.process.kill()
                self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        for output in self.outputs:
            output.close()


def run_osslsigncode(arguments, secret=None, timeout=None):
    """(succeeded, everything it printed)."""
    with Run() as run:
        return run.start(arguments, secret, timeout).finish()


def first_plain_line(output):
    """osslsigncode's own first message, without OpenSSL's error queue."""
    for line in output.splitlines():
        line = line.strip()
        if line and not NOISE.match(line):
            return line
    return 'no message'


def installed_version():
    """osslsigncode's version as numbers, from its --version ("osslsigncode
    2.5, using: ..."); None when that says no version."""
    ok, output = run_osslsigncode(['--version'])
    match = re.match(r'osslsigncode (\d+(?:\.\d+)*)', output.strip())
    return tuple(int(part) for part in match.group(1).split('.')) if match else None
