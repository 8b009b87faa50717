"""What every bootpack tool shares at its edges: one error type whose status
says what kind of mistake it is, one line on stderr for every way a command
can end, never a traceback, and output files that appear whole or not at
all, even when the tool is interrupted, terminated or hung up on.

Every error of the tools derives from ToolError and carries its status;
modules raise and never print or pick a status for a caller. run_tool() is
the one place that imports a command, runs it and turns whatever it raised
into a status and one line. Every file a command writes goes through
output_file() or new_files().
"""
import contextlib
import os
import signal
import sys
import tempfile
import traceback
from pathlib import Path

# The exit statuses of every command, as diff and cmp give them.
EXIT_OK = 0
EXIT_REFUSED = 1        # a verdict or a refusal: the file is not as it must be
EXIT_USAGE = 2          # a usage error, or an input that cannot be read
EXIT_INTERNAL = 3       # a fault of the tool itself, or of its installation
EXIT_INTERRUPTED = 130  # Ctrl-C, SIGTERM or SIGHUP: nothing was written
EXIT_STATUSES = {
    EXIT_OK: 'success',
    EXIT_REFUSED: 'a verdict or a refusal: the file is not as it must be',
    EXIT_USAGE: 'a usage error, or an input that cannot be read',
    EXIT_INTERNAL: 'an internal error: a fault of bootpack or of its installation',
    EXIT_INTERRUPTED: 'interrupted (Ctrl-C, SIGTERM or SIGHUP): nothing was written',
}
DEBUG_VARIABLE = 'BOOTPACK_DEBUG'
# Where a fault of ours is to be reported.
REPORT_TO = 'please report it, with the command, to the bootpack maintainers'


class ToolError(Exception):
    """The base of every error of the tools: a bad input, a bad output path or
    a failing step, said in one line. Its class says its status."""
    status = EXIT_REFUSED


class UsageError(ToolError):
    """Arguments that do not make a valid call, or an input that cannot be read."""
    status = EXIT_USAGE


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the tool is so that its clean-up runs."""


class _Hold:
    """How deep the blocks that hold signals back are nested, and the signal
    that came meanwhile."""
    depth = 0
    pending = None


def _end(signum, frame):
    """The handler of every signal that ends a tool: raises where the tool
    is, or, inside signals_held(), once the block ends."""
    if _Hold.depth:
        _Hold.pending = signum
        return
    _Hold.pending = None
    raise KeyboardInterrupt() if signum == signal.SIGINT else Terminated()


@contextlib.contextmanager
def signals_held():
    """Holds Ctrl-C, SIGTERM and SIGHUP back until the block ends, so that
    what the block makes (a file, a process) and the owner that removes it
    come into being together: the signal is raised once that owner is in
    place. Python runs handlers on the main thread only, which is where the
    tools make their files and processes."""
    _Hold.depth += 1
    try:
        yield
    finally:
        _Hold.depth -= 1
        if not _Hold.depth and _Hold.pending is not None:
            _end(_Hold.pending, None)


def shown(value):
    """VALUE as a message may carry it: control characters and NULs escaped,
    so that what a user gave can never break an error's one line."""
    text = str(value)
    if text.isprintable():
        return text
    return ''.join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def missing_input(path, what=None):
    """The error for an input that is not there: a usage error in every command."""
    return UsageError(f'{what} {shown(path)} does not exist' if what else
                      f'{shown(path)}: no such file')


def checked_path(value, option):
    """VALUE (from a product file or a statement) as a path, or UsageError
    for one that no system can open: empty, or holding a NUL."""
    if not isinstance(value, str) or not value or '\0' in value:
        raise UsageError(f'{option} {shown(value)}: not a path (empty, or holding a NUL)')
    return Path(value)


def last_line(text, default='no message'):
    """The line of another program's output that says why it stopped: the
    last one, which is where tools put their verdict."""
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[-1] if lines else default


def describe_os_error(error):
    where = f'{error.filename}: ' if error.filename else ''
    return where + (error.strerror or str(error))


def _import(command):
    import importlib
    return importlib.import_module(command).main


def run_tool(prog, main, argv=None):
    """Runs main(argv) and turns every way it can end into an exit status
    and at most one line on stderr. MAIN is a function, or the name of a
    command's module, which is imported here, inside the guard, so that a
    missing library is one line too."""
    signal.signal(signal.SIGTERM, _end)
    signal.signal(signal.SIGHUP, _end)
    # Ctrl-C as Python left it: ignored where a shell started us in the
    # background, KeyboardInterrupt otherwise.
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _end)
    try:
        command = _import(main) if isinstance(main, str) else main
        status = command(argv)
    except ToolError as error:
        print(f'{prog}: {shown(error)}', file=sys.stderr)
        return error.status
    except ModuleNotFoundError as error:
        if (error.name or 'bootpack').split('.')[0] == 'bootpack':
            return _internal_error(prog, error)
        # Not the user's mistake and not a bug: the installation lacks a library.
        print(f'{prog}: the Python module {error.name} is missing; install bootpack\'s '
              f'dependencies (python3-{error.name})', file=sys.stderr)
        return EXIT_INTERNAL
    except OSError as error:
        print(f'{prog}: {shown(describe_os_error(error))}', file=sys.stderr)
        return EXIT_USAGE if isinstance(error, FileNotFoundError) else EXIT_REFUSED
    except (KeyboardInterrupt, Terminated):
        print(f'{prog}: interrupted; nothing was written', file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:  # a bug of ours: say so, never blame the input
        return _internal_error(prog, error)
    return status or 0


def _internal_error(prog, error):
    if os.environ.get(DEBUG_VARIABLE) == '1':
        traceback.print_exc()
    print(f'{prog}: internal error: {type(error).__name__}: {shown(error)}; '
          f'{REPORT_TO} ({DEBUG_VARIABLE}=1 shows where)', file=sys.stderr)
    return EXIT_INTERNAL


def check_output_path(path, inputs=()):
    """Refuses an output that would land in a missing folder, on a folder, or
    on one of the tool's own inputs; returns the resolved path."""
    path = Path(path)
    parent = path.resolve().parent
    if not parent.is_dir():
        raise ToolError(f'{shown(path)}: the folder {shown(parent)} does not exist')
    if path.is_dir():
        raise ToolError(f'{shown(path)} is a folder, not a file')
    if path.exists():
        for source in inputs:
            if source is not None and Path(source).exists() and os.path.samefile(path, source):
                raise ToolError(f'{shown(path)} is also an input; writing it would destroy it')
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ToolError(f'{shown(path)}: the folder {shown(parent)} is not writable')
    return path.resolve()


def _partial_beside(target):
    handle, partial = tempfile.mkstemp(dir=target.parent, prefix=f'.{target.name}.',
                                       suffix='.partial')
    os.close(handle)
    return Path(partial)


@contextlib.contextmanager
def output_file(path, inputs=(), mode=0o644):
    """Yields a temporary path beside PATH to write; on success it replaces
    PATH in one rename, on any failure or interruption it is removed. PATH
    itself is never half-written and, on failure, is left as it was."""
    target = check_output_path(path, inputs)
    partial = None
    try:
        with signals_held():
            partial = _partial_beside(target)
        yield partial
        os.chmod(partial, mode)
        os.replace(partial, target)
    finally:
        if partial is not None:
            partial.unlink(missing_ok=True)


@contextlib.contextmanager
def new_files(modes):
    """For files that must not exist yet ({path: mode}): yields {path:
    temporary path beside it} to write; on success all of them appear, each
    with its mode, and otherwise none does. A file that exists already,
    before or by the end, is refused and left as it was."""
    targets = {Path(path): check_output_path(path) for path in modes}
    present = [path for path in targets if path.exists() or path.is_symlink()]
    if present:
        raise ToolError(f'{shown(present[0])} exists already; give a folder that holds none '
                        f'of {", ".join(sorted(p.name for p in targets))}')
    partials = {}
    made = []
    try:
        for path, target in targets.items():
            with signals_held():
                partials[path] = _partial_beside(target)
        yield dict(partials)
        for path, target in targets.items():
            os.chmod(partials[path], modes[path])
        for path, target in targets.items():
            try:
                os.link(partials[path], target)  # never onto a file that appeared meanwhile
            except FileExistsError:
                raise ToolError(f'{shown(path)} appeared while it was written; nothing '
                                'was kept') from None
            made.append(target)
        made = []
    finally:
        for target in made:
            target.unlink(missing_ok=True)
        for partial in partials.values():
            partial.unlink(missing_ok=True)
