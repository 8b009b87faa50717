"""The bootpack command: bootpack COMMAND [ARGS...]."""
import sys

from bootpack import __version__
from bootpack.cli import EXIT_USAGE, run_tool

# Each command's module, imported only when it runs: pack starts quickly.
COMMANDS = {
    'pack': ('bootpack.pack.command', 'make an installer: the stub with a payload'),
    'sign': ('bootpack.sign.command', 'sign an installer with Authenticode'),
    'attach': ('bootpack.attach', 'put a detached signature onto the unsigned installer it '
               'was made over'),
    'verify': ('bootpack.verify', 'exit 0 only if the signature covers the file, chains to '
               'the root and is time-stamped'),
    'inspect': ('bootpack.inspect.command', 'check an installer before it ships: exits 0 '
                'only when all is well'),
}

USAGE = 'usage: bootpack COMMAND [ARGS...]\n\ncommands:\n' + ''.join(
    f'  {name:<9} {summary}\n' for name, (_, summary) in COMMANDS.items()) + """\
  --version print the tool's version and the revision of the stub it carries

bootpack COMMAND --help explains each command.
"""


def print_version(argv):
    from bootpack.host import stub_revision
    print(f'bootpack {__version__} (stub: {stub_revision()})')


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ('-h', '--help', 'help'):
        print(USAGE, end='', file=sys.stdout if argv else sys.stderr)
        return 0 if argv else EXIT_USAGE
    if argv[0] == '--version':
        return run_tool('bootpack', print_version, argv[1:])
    if argv[0] not in COMMANDS:
        print(f"bootpack: unknown command '{argv[0]}'", file=sys.stderr)
        print(USAGE, end='', file=sys.stderr)
        return EXIT_USAGE
    # Imported by run_tool, so that a missing library is one line as well.
    return run_tool(f'bootpack {argv[0]}', COMMANDS[argv[0]][0], argv[1:])


if __name__ == '__main__':
    sys.exit(main())
