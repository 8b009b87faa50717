"""What pack is asked to make, as one typed value: argparse's namespace
stops here, and the layers below take a PackRequest."""
import dataclasses
from pathlib import Path

from bootpack.cli import UsageError
from bootpack.payload import PAYLOAD_TYPES

# How setup may be stored, as --setup-storage and the product file name them.
SETUP_STORAGES = tuple(sorted(PAYLOAD_TYPES))


@dataclasses.dataclass(frozen=True)
class Branding:
    """What Windows shows of the installer, each None for the stub's own."""
    icon: Path | None = None
    company: str | None = None
    company_short: str | None = None
    product: str | None = None
    product_short: str | None = None
    copyright: str | None = None
    checksum: bool = False


@dataclasses.dataclass(frozen=True)
class ProductOptions:
    """The product as given: an archive and a setup program, with how and
    under which names they are stored; None where the default applies."""
    archive: Path | None
    setup: Path | None
    setup_storage: str | None
    archive_name: str | None
    setup_name: str | None
    version: str | None


@dataclasses.dataclass(frozen=True)
class RawResource:
    """A --resource TYPE NAME FILE, perhaps stored in a cabinet."""
    type: str
    name: str
    file: Path
    cabinet: bool


@dataclasses.dataclass(frozen=True)
class PackRequest:
    out: Path
    stub: Path | None
    branding: Branding
    provenance: Path | None
    config: Path | None
    product: ProductOptions | None     # None: the raw resources instead
    resources: tuple[RawResource, ...]

    @property
    def internal_name(self):
        return self.out.stem


def _path(value):
    return None if value is None else Path(value)


def product_options(args):
    """The product options of the namespace, or None when none is given."""
    names = ('archive', 'setup', 'setup_storage', 'archive_name', 'setup_name', 'version')
    if all(getattr(args, name) is None for name in names):
        return None
    storage = args.setup_storage
    if storage is not None and storage.upper() not in SETUP_STORAGES:
        # argparse checks the command line; this is the product file's value.
        raise UsageError(f'setup-storage must be one of {", ".join(SETUP_STORAGES)}, '
                         f'not {storage!r}')
    return ProductOptions(_path(args.archive), _path(args.setup),
                          storage.upper() if storage else None, args.archive_name,
                          args.setup_name, args.version)


def pack_request(args):
    """The PackRequest of argparse's namespace."""
    branding = Branding(_path(args.icon), args.company, args.company_short, args.product,
                        args.product_short, args.copyright, bool(args.checksum))
    cabinets = set(args.cabinet_indexes)
    resources = tuple(RawResource(t, n, Path(f), index in cabinets)
                      for index, (t, n, f) in enumerate(args.resource))
    return PackRequest(Path(args.out), _path(args.stub), branding, _path(args.provenance),
                       _path(args.config), product_options(args), resources)
