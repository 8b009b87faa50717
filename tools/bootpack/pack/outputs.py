"""Where pack writes: the image (and with --provenance its statement), each
into a temporary file beside its target that replaces the target only once
everything is written, and a scratch directory beside it for cabinets. An
error, Ctrl-C or SIGTERM leaves neither the scratch directory nor a partial
file behind."""
import contextlib
import tempfile
from pathlib import Path

from bootpack.cli import UsageError, output_file, shown


@contextlib.contextmanager
def pack_outputs(out, provenance, inputs):
    """Yields (image to write, scratch directory, statement to write or None)
    for the installer OUT and, unless None, its statement PROVENANCE."""
    inputs = [Path(i) for i in inputs if i is not None]
    if out.suffix.lower() != '.exe':
        raise UsageError(f'--out {shown(out)}: an installer is a program; give it a name '
                         'ending in .exe')
    with contextlib.ExitStack() as stack:
        image = stack.enter_context(output_file(out, inputs, mode=0o755))
        statement = None
        if provenance:
            if provenance.resolve() == out.resolve():
                raise UsageError(f'--provenance {shown(provenance)} is also --out')
            statement = stack.enter_context(output_file(provenance, inputs))
        scratch = stack.enter_context(tempfile.TemporaryDirectory(dir=image.parent,
                                                                  prefix='.pack-'))
        yield image, Path(scratch), statement
