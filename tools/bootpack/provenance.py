"""What went into an installer, as an in-toto Statement (v1) with a SLSA
provenance (v1) predicate, and the check of an installer and its inputs
against one.

The statement holds no clock and no path of the machine: file names only,
and times only from SOURCE_DATE_EPOCH. The same inputs therefore give the
same statement on any machine, in any folder and time zone. The installer is
named by two digests: its sha256, and its Authenticode SHA-256 digest, which
signing leaves as it is, so that the signed installer is still the subject.
"""
import datetime
import hashlib
import json
import os
from pathlib import Path

import pefile

from bootpack import __version__
from bootpack.cli import ToolError
from bootpack.image_digest import covered_spans, hash_spans, image_layout

STATEMENT_TYPE = 'https://in-toto.io/Statement/v1'
PREDICATE_TYPE = 'https://slsa.dev/provenance/v1'
BUILD_TYPE = 'urn:bootpack:pack:v1'
BUILDER_ID = 'urn:bootpack:pack'
AUTHENTICODE = 'authenticodeSha256'
EXIT_NOT_A_STATEMENT = 2


def file_sha256(path):
    digest = hashlib.sha256()
    hash_spans(path, [(digest, [(0, Path(path).stat().st_size)])])
    return digest.hexdigest()


def image_digests(path):
    """{sha256, authenticodeSha256} of an image, in one pass over it."""
    layout = image_layout(path)
    whole, signed = hashlib.sha256(), hashlib.sha256()
    hash_spans(path, [(whole, [(0, layout.size)]), (signed, covered_spans(layout))])
    return {'sha256': whole.hexdigest(), AUTHENTICODE: signed.hexdigest()}


def payload_digests(installer):
    """[(TYPE NAME, sha256)] of the installer's payload resources (string
    types), read in chunks however large they are."""
    from bootpack.pe_image import open_image, resources
    try:
        with open_image(installer) as pe:
            found = [(f'{r.type} {r.name}', pe.get_offset_from_rva(r.rva), r.size)
                     for r in resources(pe) if isinstance(r.type, str)]
    except (pefile.PEFormatError, ValueError, IndexError, TypeError, AttributeError):
        return []  # a damaged image names no resource; its digests say the rest
    hashers = [(label, hashlib.sha256(), offset, size) for label, offset, size in found]
    hash_spans(installer, [(digest, [(offset, offset + size)])
                           for _, digest, offset, size in hashers])
    return [(label, digest.hexdigest()) for label, digest, _, _ in hashers]


def dependency(role, path, **annotations):
    return {'name': Path(path).name, 'digest': {'sha256': file_sha256(path)},
            'annotations': {'role': role, **annotations}}


def source_epoch():
    epoch = os.environ.get('SOURCE_DATE_EPOCH', '')
    return int(epoch) if epoch.isdigit() else None


def statement(installer_name, digests, dependencies, parameters):
    """The statement of an installer named INSTALLER_NAME with DIGESTS, made
    from DEPENDENCIES (dependency() records) with PARAMETERS (the options)."""
    run_details = {'builder': {'id': BUILDER_ID, 'version': {'bootpack': __version__}}}
    epoch = source_epoch()
    if epoch is not None:
        when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
        stamp = when.strftime('%Y-%m-%dT%H:%M:%SZ')
        run_details['metadata'] = {'startedOn': stamp, 'finishedOn': stamp}
    return {
        '_type': STATEMENT_TYPE,
        'subject': [{'name': installer_name, 'digest': digests}],
        'predicateType': PREDICATE_TYPE,
        'predicate': {
            'buildDefinition': {
                'buildType': BUILD_TYPE,
                'externalParameters': parameters,
                'resolvedDependencies': dependencies,
            },
            'runDetails': run_details,
        },
    }


def statement_text(document):
    return json.dumps(document, indent=2, ensure_ascii=False) + '\n'


def read_statement(path):
    """The statement at PATH; ToolError with status 2 for one that is not a
    statement of this kind."""
    def refuse(why):
        raise ToolError(f'{path}: not a provenance statement of an installer: {why}',
                        status=EXIT_NOT_A_STATEMENT)
    try:
        document = json.loads(Path(path).read_bytes())
    except FileNotFoundError:
        raise ToolError(f'{path}: no such file', status=EXIT_NOT_A_STATEMENT) from None
    except (ValueError, UnicodeDecodeError) as error:
        refuse(f'it is not JSON ({error})')
    if not isinstance(document, dict) or document.get('_type') != STATEMENT_TYPE:
        refuse(f'its _type is not {STATEMENT_TYPE}')
    if document.get('predicateType') != PREDICATE_TYPE:
        refuse(f'its predicateType is not {PREDICATE_TYPE}')
    subjects = document.get('subject')
    if not isinstance(subjects, list) or len(subjects) != 1 or \
            not isinstance(subjects[0], dict) or \
            not isinstance(subjects[0].get('digest'), dict) or \
            'sha256' not in subjects[0]['digest']:
        refuse('it does not name one subject with a sha256 digest')
    try:
        dependencies = document['predicate']['buildDefinition']['resolvedDependencies']
        if not isinstance(dependencies, list) or not all(
                isinstance(d, dict) and isinstance(d.get('digest'), dict) for d in dependencies):
            raise TypeError
    except (KeyError, TypeError):
        refuse('it has no resolvedDependencies with digests')
    return document


def provenance_problems(installer, document, inputs=()):
    """What does not match: the installer against the statement's subject, and
    each input file against the dependency of its name. Only an installer
    that is not the subject has its payload read again, to say which
    resource differs."""
    problems = []
    subject = document['subject'][0]
    dependencies = document['predicate']['buildDefinition']['resolvedDependencies']
    digests = image_digests(installer)
    recorded = subject['digest']
    if digests['sha256'] != recorded.get('sha256') and \
            digests[AUTHENTICODE] != recorded.get(AUTHENTICODE):
        by_resource = {d.get('annotations', {}).get('resource'): d for d in dependencies}
        differing = [f"its {by_resource[label]['annotations']['role']} {label} is not "
                     f"{by_resource[label]['name']} of the statement"
                     for label, sha256 in payload_digests(installer)
                     if label in by_resource and
                     by_resource[label]['digest'].get('sha256') != sha256]
        problems.append(f'{Path(installer).name} is not the statement\'s subject '
                        f'{subject.get("name")}'
                        + (': ' + '; '.join(differing) if differing else
                           f' (sha256 {digests["sha256"]}, the statement\'s '
                           f'{recorded.get("sha256")})'))
    for path in inputs:
        name = Path(path).name
        matching = [d for d in dependencies if d.get('name') == name]
        if not matching:
            problems.append(f'{name} is not among the statement\'s inputs')
            continue
        sha256 = file_sha256(path)
        if all(d['digest'].get('sha256') != sha256 for d in matching):
            role = matching[0].get('annotations', {}).get('role', 'input')
            problems.append(f'the {role} {name} differs from the statement\'s '
                            f'(sha256 {sha256}, recorded {matching[0]["digest"].get("sha256")})')
    return problems
