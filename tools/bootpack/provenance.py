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
import struct
from pathlib import Path

import pefile

from bootpack import __version__
from bootpack.cli import UsageError, shown
from bootpack.image_digest import covered_spans, hash_spans, image_layout

STATEMENT_TYPE = 'https://in-toto.io/Statement/v1'
PREDICATE_TYPE = 'https://slsa.dev/provenance/v1'
BUILD_TYPE = 'urn:bootpack:pack:v1'
BUILDER_ID = 'urn:bootpack:pack'
AUTHENTICODE = 'authenticodeSha256'


class StatementError(UsageError):
    """A file that is no provenance statement of an installer, or one that
    lacks a field verify and inspect read or has it of the wrong type."""


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
    except (pefile.PEFormatError, struct.error, ValueError):
        return []  # a damaged image names no resource; its digests say the rest
    found = [(label, offset, size) for label, offset, size in found if offset is not None]
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
    """The statement at PATH, with every field that provenance_problems reads
    there and of its type; StatementError naming the field otherwise."""
    def refuse(why):
        raise StatementError(f'{shown(path)}: not a provenance statement of an installer: '
                             f'{why}')
    try:
        document = json.loads(Path(path).read_bytes())
    except FileNotFoundError:
        raise StatementError(f'{shown(path)}: no such file') from None
    except (ValueError, UnicodeDecodeError, RecursionError) as error:
        refuse(f'it is not JSON ({shown(error)})')
    if not isinstance(document, dict) or document.get('_type') != STATEMENT_TYPE:
        refuse(f'its _type is not {STATEMENT_TYPE}')
    if document.get('predicateType') != PREDICATE_TYPE:
        refuse(f'its predicateType is not {PREDICATE_TYPE}')
    subjects = document.get('subject')
    if not isinstance(subjects, list) or len(subjects) != 1:
        refuse('it does not name one subject')
    problem = (_field_problem(subjects[0], 'subject[0]', SUBJECT_FIELDS)
               or _dependencies_problem(document))
    if problem:
        refuse(problem)
    return document


# The fields read of a subject and of each dependency: (path, type, required).
DIGEST_FIELDS = [(('digest',), dict, True), (('digest', 'sha256'), str, True)]
SUBJECT_FIELDS = [(('name',), str, True), *DIGEST_FIELDS,
                  (('digest', AUTHENTICODE), str, False)]
DEPENDENCY_FIELDS = [(('name',), str, True), *DIGEST_FIELDS, (('annotations',), dict, True),
                     (('annotations', 'role'), str, True),
                     (('annotations', 'resource'), str, False)]
TYPE_NAMES = {dict: 'an object', list: 'an array', str: 'a string'}


def _field_problem(value, where, fields):
    """What is missing or of the wrong type in VALUE (named WHERE), or None."""
    if not isinstance(value, dict):
        return f'{where} is not an object'
    for path, kind, required in fields:
        parent = value
        for key in path[:-1]:
            parent = parent[key]  # checked to be a dict by an earlier field
        name = '.'.join((where,) + path)
        if path[-1] not in parent:
            if required:
                return f'it has no {name}'
            continue
        if not isinstance(parent[path[-1]], kind):
            return f'its {name} is not {TYPE_NAMES[kind]}'
    return None


def _dependencies_problem(document):
    where = 'predicate.buildDefinition.resolvedDependencies'
    parent = document
    for key in where.split('.'):
        if not isinstance(parent, dict) or key not in parent:
            return f'it has no {where}'
        parent = parent[key]
    if not isinstance(parent, list):
        return f'its {where} is not an array'
    for index, dependency in enumerate(parent):
        problem = _field_problem(dependency, f'{where}[{index}]', DEPENDENCY_FIELDS)
        if problem:
            return problem
    return None


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
    if digests['sha256'] != recorded['sha256'] and \
            digests[AUTHENTICODE] != recorded.get(AUTHENTICODE):
        by_resource = {d['annotations'].get('resource'): d for d in dependencies}
        differing = [f"its {shown(by_resource[label]['annotations']['role'])} {label} is not "
                     f"{shown(by_resource[label]['name'])} of the statement"
                     for label, sha256 in payload_digests(installer)
                     if label in by_resource and
                     by_resource[label]['digest']['sha256'] != sha256]
        problems.append(f'{Path(installer).name} is not the statement\'s subject '
                        f'{shown(subject["name"])}'
                        + (': ' + '; '.join(differing) if differing else
                           f' (sha256 {digests["sha256"]}, the statement\'s '
                           f'{shown(recorded["sha256"])})'))
    for path in inputs:
        name = Path(path).name
        matching = [d for d in dependencies if d['name'] == name]
        if not matching:
            problems.append(f'{shown(name)} is not among the statement\'s inputs')
            continue
        sha256 = file_sha256(path)
        if all(d['digest']['sha256'] != sha256 for d in matching):
            role = matching[0]['annotations']['role']
            theirs = shown(matching[0]['digest']['sha256'])
            problems.append(f'the {shown(role)} {shown(name)} differs from the statement\'s '
                            f'(sha256 {sha256}, recorded {theirs})')
    return problems
