"""pack --provenance: the statement of the installer just written, from the
files and options it was made of."""
from pathlib import Path

from bootpack.image_resources import stub_image_resources
from bootpack.payload import payload_role
from bootpack.resource_section import upper_case

# The options that shape an image, with the statement's name for each; for
# files, the statement keeps the file's name, never its folder.
PARAMETERS = [('archive', 'archive', True), ('setup', 'setup', True),
              ('setup_storage', 'setupStorage', False), ('archive_name', 'archiveName', False),
              ('setup_name', 'setupName', False), ('version', 'version', False),
              ('company', 'company', False), ('company_short', 'companyShort', False),
              ('product', 'product', False), ('product_short', 'productShort', False),
              ('copyright', 'copyright', False), ('icon', 'icon', True),
              ('checksum', 'checksum', False), ('out', 'out', True)]


def add_provenance_option(parser):
    parser.add_argument('--provenance', metavar='FILE.json',
                        help='also write an in-toto statement of what went into the '
                        'installer (SLSA provenance)')


def external_parameters(args):
    parameters = {}
    for option, key, is_file in PARAMETERS:
        value = getattr(args, option, None)
        if value is not None:
            parameters[key] = Path(value).name if is_file else value
    if args.resource:
        parameters['resources'] = [
            {'type': upper_case(t), 'name': upper_case(n), 'file': Path(f).name,
             'cabinet': index in set(args.cabinet_indexes)}
            for index, (t, n, f) in enumerate(args.resource)]
    return parameters


def write_statement(args, stub, payload, image, partial, stored_in_cabinets=()):
    """Writes the statement of IMAGE (just written) to PARTIAL. PAYLOAD: the
    Resource records of the files packed, before any went into a cabinet."""
    # Only here: the digests bring the signature code, which a pack without
    # a statement does not need to start.
    from bootpack.provenance import dependency, image_digests, statement, statement_text
    revision = stub_image_resources(stub)[2]['LastChange']
    dependencies = [dependency('stub', stub.path, sourceRevision=revision)]
    for index, resource in enumerate(payload):
        label = f'{upper_case(str(resource.type))} {upper_case(str(resource.name))}'
        stored = {'stored': 'cabinet'} if index in stored_in_cabinets else {}
        dependencies.append(dependency(payload_role(resource.name) or 'resource',
                                       resource.data, resource=label, **stored))
    if args.icon:
        dependencies.append(dependency('icon', args.icon))
    if getattr(args, 'config', None):
        dependencies.append(dependency('product file', args.config))
    document = statement(Path(args.out).name, image_digests(image), dependencies,
                         external_parameters(args))
    Path(partial).write_text(statement_text(document), encoding='utf-8')

