"""Where pack writes: the image and, with --map, the linker map, each into a
temporary file beside its target that replaces the target only once the
whole image is built, and a scratch directory beside the image for the
resource file, cabinets and the link. An error, Ctrl-C or SIGTERM leaves
neither the scratch directory nor a partial file behind."""
import contextlib
import tempfile
from pathlib import Path

from cli import ToolError, output_file


@contextlib.contextmanager
def pack_outputs(args, inputs):
    """Yields (image to write, map to write or None, scratch directory)."""
    inputs = [Path(i) for i in inputs if i is not None]
    out = Path(args.out)
    if out.suffix.lower() != '.exe':
        raise ToolError(f'--out {args.out}: an installer is a program; give it a name '
                        'ending in .exe')
    if args.map is not None and Path(args.map).resolve() == out.resolve():
        raise ToolError(f'--map {args.map} is also --out; the map would replace the image')
    with contextlib.ExitStack() as stack:
        image = stack.enter_context(output_file(out, inputs, mode=0o755))
        linker_map = (stack.enter_context(output_file(args.map, inputs + [out]))
                      if args.map is not None else None)
        scratch = stack.enter_context(tempfile.TemporaryDirectory(dir=image.parent,
                                                                  prefix='.pack-'))
        yield image, linker_map, Path(scratch)
