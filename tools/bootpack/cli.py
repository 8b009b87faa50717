"""What every bootpack tool shares at its edges: one line on stderr for a bad
input or a failing step, never a traceback, and output files that appear
whole or not at all, even when the tool is interrupted or terminated.

A tool's main() raises ToolError (or lets OSError through) and is started
with run_tool(); every file it writes goes through output_file().
"""
import contextlib
import os
import signal
import sys
import tempfile
from pathlib import Path

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class ToolError(Exception):
    """A bad input, a bad output path or a failing step: one line."""

    def __init__(self, message, status=EXIT_FAILED):
        super().__init__(message)
        self.status = status


class UsageError(ToolError):
    """Arguments that do not make a valid call, or an input that cannot be read."""

    def __init__(self, message):
        super().__init__(message, EXIT_USAGE)


class Terminated(BaseException):
    """SIGTERM, raised where the tool is so that its clean-up runs."""


def _terminate(signum, frame):
    raise Terminated()


def last_line(text, default='no message'):
    """The line of another program's output that says why it stopped: the
    last one, which is where tools put their verdict."""
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[-1] if lines else default


def describe_os_error(error):
    where = f'{error.filename}: ' if error.filename else ''
    return where + (error.strerror or str(error))


def run_tool(prog, main, argv=None):
    """Runs main(argv) and turns every way it can end into an exit status
    and at most one line on stderr."""
    signal.signal(signal.SIGTERM, _terminate)
    try:
        status = main(argv)
    except ToolError as error:
        print(f'{prog}: {error}', file=sys.stderr)
        return error.status
    except OSError as error:
        print(f'{prog}: {describe_os_error(error)}', file=sys.stderr)
        return EXIT_FAILED
    except (KeyboardInterrupt, Terminated):
        print(f'{prog}: interrupted; nothing was written', file=sys.stderr)
        return EXIT_INTERRUPTED
    return status or 0


def check_output_path(path, inputs=()):
    """Refuses an output that would land in a missing folder, on a folder, or
    on one of the tool's own inputs; returns the resolved path."""
    path = Path(path)
    parent = path.resolve().parent
    if not parent.is_dir():
        raise ToolError(f'{path}: the folder {parent} does not exist')
    if path.is_dir():
        raise ToolError(f'{path} is a folder, not a file')
    if path.exists():
        for source in inputs:
            if source is not None and Path(source).exists() and os.path.samefile(path, source):
                raise ToolError(f'{path} is also an input; writing it would destroy it')
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ToolError(f'{path}: the folder {parent} is not writable')
    return path.resolve()


@contextlib.contextmanager
def output_file(path, inputs=(), mode=0o644):
    """Yields a temporary path beside PATH to write; on success it replaces
    PATH in one rename, on any failure or interruption it is removed. PATH
    itself is never half-written and, on failure, is left as it was."""
    target = check_output_path(path, inputs)
    handle, partial = tempfile.mkstemp(dir=target.parent, prefix=f'.{target.name}.',
                                       suffix='.partial')
    os.close(handle)
    partial = Path(partial)
    try:
        yield partial
        os.chmod(partial, mode)
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
