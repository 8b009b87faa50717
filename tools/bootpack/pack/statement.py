"""pack --provenance: the statement of the installer just written, from the
files and options it was made of."""
from pathlib import Path

from bootpack.image_resources import stub_image_resources
from bootpack.payload import payload_role
from bootpack.resource_section import upper_case


def _name(path):
    """A file as the statement keeps it: its name, never its folder."""
    return None if path is None else Path(path).name


def external_parameters(request):
    """The options that shape the image (a PackRequest), under the statement's names."""
    product, branding = request.product, request.branding
    given = {}
    if product:
        given.update(archive=_name(product.archive), setup=_name(product.setup),
                     setupStorage=product.setup_storage, archiveName=product.archive_name,
                     setupName=product.setup_name, version=product.version)
    given.update(company=branding.company, companyShort=branding.company_short,
                 product=branding.product, productShort=branding.product_short,
                 copyright=branding.copyright, icon=_name(branding.icon),
                 checksum=branding.checksum or None, out=_name(request.out))
    parameters = {key: value for key, value in given.items() if value is not None}
    if request.resources:
        parameters['resources'] = [
            {'type': upper_case(raw.type), 'name': upper_case(raw.name), 'file': raw.file.name,
             'cabinet': raw.cabinet} for raw in request.resources]
    return parameters


def add_provenance_option(parser):
    parser.add_argument('--provenance', metavar='FILE.json',
                        help='also write an in-toto statement of what went into the '
                        'installer (SLSA provenance)')


def write_statement(request, stub, payload, image, partial, stored_in_cabinets=()):
    """Writes the statement of IMAGE (just written for REQUEST, a PackRequest)
    to PARTIAL. PAYLOAD: the Resource records of the files packed, before any
    went into a cabinet."""
    # Only here: the digests bring the signature code, which a pack without
    # a statement does not need to start.
    from bootpack.provenance import dependency, image_digests, statement, statement_text
    revision = stub_image_resources(stub).strings['LastChange']
    dependencies = [dependency('stub', stub.path, sourceRevision=revision)]
    for index, resource in enumerate(payload):
        label = f'{upper_case(str(resource.type))} {upper_case(str(resource.name))}'
        stored = {'stored': 'cabinet'} if index in stored_in_cabinets else {}
        dependencies.append(dependency(payload_role(resource.name) or 'resource',
                                       resource.data, resource=label, **stored))
    if request.branding.icon:
        dependencies.append(dependency('icon', request.branding.icon))
    if request.config:
        dependencies.append(dependency('product file', request.config))
    document = statement(request.out.name, image_digests(image), dependencies,
                         external_parameters(request))
    Path(partial).write_text(statement_text(document), encoding='utf-8')

