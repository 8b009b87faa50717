"""pack --config FILE.toml: the pack options kept in a file, so that an
installer's definition lives in the product's repository.

Every key is a pack option's long name without the dashes; options given on
the command line win over the file. Relative paths in the file are taken
from the file's own folder, so the file means the same from anywhere:

    stub = "stubs/bootpack.exe"
    archive = "dist/product.7z"
    setup = "dist/setup.exe"
    version = "1.4.0.0"
    company = "Acme Tools Ltd."
    product = "Widget"
    icon = "art/widget.ico"
    out = "dist/WidgetInstaller.exe"

Raw resources, as --resource TYPE NAME FILE [--cabinet], are tables:

    [[resource]]
    type = "BN"
    name = "BRISEL.7Z"
    file = "product.7z"
"""
import argparse
from pathlib import Path

from bootpack.cli import UsageError, checked_path, shown

PATH_KEYS = {'out', 'stub', 'archive', 'setup', 'icon'}
TEXT_KEYS = {'setup-storage', 'archive-name', 'setup-name', 'version', 'company',
             'company-short', 'product', 'product-short', 'copyright'}
FLAG_KEYS = {'checksum'}
RESOURCE_KEYS = {'type', 'name', 'file', 'cabinet'}


class ProductFileError(UsageError):
    """A product file that cannot be read or holds what pack does not take."""


def config_path(argv):
    """The --config argument of argv, or None."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--config', type=Path)
    known, _ = parser.parse_known_args(argv)
    return known.config


def read_product_file(path):
    """{option dest: value} of a product file, for parser.set_defaults."""
    import tomllib  # only here: it is the slowest import of a pack
    try:
        with open(path, 'rb') as f:
            table = tomllib.load(f)
    except OSError as error:
        raise ProductFileError(f'{shown(path)}: {error.strerror}')
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise ProductFileError(f'{shown(path)}: not TOML: {shown(error)}')
    base = Path(path).resolve().parent
    values = {}
    for key, value in table.items():
        dest = key.replace('-', '_')
        if key in PATH_KEYS | TEXT_KEYS:
            if not isinstance(value, str):
                raise ProductFileError(f'{shown(path)}: {key} must be a string')
            if key in PATH_KEYS:
                value = str(base / checked_path(value, f'{shown(path)}: {key}'))
            values[dest] = value
        elif key in FLAG_KEYS:
            if not isinstance(value, bool):
                raise ProductFileError(f'{shown(path)}: {key} must be true or false')
            values[dest] = value
        elif key == 'resource':
            values['resource'], values['cabinet_indexes'] = _resources(path, base, value)
        else:
            raise ProductFileError(f'{shown(path)}: unknown key {key!r}')
    return values


def _resources(path, base, tables):
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise ProductFileError(f'{shown(path)}: resource must be an array of tables ([[resource]])')
    resources, cabinets = [], set()
    for index, table in enumerate(tables):
        unknown = set(table) - RESOURCE_KEYS
        missing = {'type', 'name', 'file'} - set(table)
        if unknown or missing:
            raise ProductFileError(f'{shown(path)}: resource {index + 1} needs type, name and file '
                                   'and may have cabinet, nothing else')
        if not all(isinstance(table[k], str) for k in ('type', 'name', 'file')) or \
                not isinstance(table.get('cabinet', False), bool):
            raise ProductFileError(f'{shown(path)}: resource {index + 1}: type, name and file are '
                                   'strings, cabinet true or false')
        file = checked_path(table['file'], f'{shown(path)}: resource {index + 1}: file')
        resources.append([table['type'], table['name'], str(base / file)])
        if table.get('cabinet'):
            cabinets.add(index)
    return resources, cabinets
