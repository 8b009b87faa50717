"""Where pack writes: the image, into a temporary file beside its target
that replaces the target only once the whole image is written, and a scratch
directory beside it for cabinets. An error, Ctrl-C or SIGTERM leaves neither
the scratch directory nor a partial file behind."""
import contextlib
import tempfile
from pathlib import Path

from bootpack.cli import ToolError, output_file


@contextlib.contextmanager
def pack_outputs(args, inputs):
    """Yields (image to write, scratch directory)."""
    inputs = [Path(i) for i in inputs if i is not None]
    out = Path(args.out)
    if out.suffix.lower() != '.exe':
        raise ToolError(f'--out {args.out}: an installer is a program; give it a name '
                        'ending in .exe')
    with contextlib.ExitStack() as stack:
        image = stack.enter_context(output_file(out, inputs, mode=0o755))
        scratch = stack.enter_context(tempfile.TemporaryDirectory(dir=image.parent,
                                                                  prefix='.pack-'))
        yield image, Path(scratch)
