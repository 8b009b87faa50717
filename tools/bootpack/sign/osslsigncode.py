"""Running osslsigncode: found on PATH, in a session of its own, with the
password or PIN on its standard input (its -readpass -), so the secret is in
no argument list and no environment a process listing shows.
"""
import os
import re
import shutil
import subprocess

from bootpack.cli import ToolError

# Lines that carry no reason: progress, verdicts, and OpenSSL's error queue,
# whose internals the user does not need.
# Where -readpass reads the secret: osslsigncode 2.9 takes "-" for standard
# input, 2.5 only a file name, which /dev/stdin is wherever it exists.
STDIN = '/dev/stdin' if os.path.exists('/dev/stdin') else '-'
NOISE = re.compile(r'[0-9A-F]+:error:|Failed$|Succeeded$|Engine "|PE checksum|Connecting to ')


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise ToolError(f'{name} is missing (apt install {name})')
    return path


def run_osslsigncode(arguments, secret=None, timeout=None):
    """(succeeded, everything it printed). A new session keeps OpenSSL from
    asking for a missing password on the terminal."""
    command = [tool('osslsigncode')] + [str(a) for a in arguments]
    if secret is not None:
        command[2:2] = ['-readpass', STDIN]
    try:
        result = subprocess.run(command, input=(secret or '') + '\n', capture_output=True,
                                text=True, start_new_session=True,
                                timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, f'no answer within {timeout} seconds'
    return result.returncode == 0, result.stdout + result.stderr


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
