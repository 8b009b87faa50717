"""The outcome a run of the image reaches: the stub's own payload stage,
inspect_payload.exe, run under Wine on the image loaded as data."""
from bootpack.cli import UsageError, last_line
from bootpack.host import PAYLOAD_STAGE, run_windows, windows_path, windows_program

EXIT_MEANINGS = {
    112: 'the product archive resource is missing or the payload is malformed',
    115: 'the setup resource is missing, malformed or its cabinet could not be expanded',
    108: 'a path is too long', 116: 'the setup program could not be written to disk'}
ERROR_NAMES = {2: 'ERROR_FILE_NOT_FOUND', 13: 'ERROR_INVALID_DATA (a name that is neither '
               'brisel... nor setup...)', 68: 'ERROR_TOO_MANY_NAMES (a second archive or setup)',
               206: 'ERROR_FILENAME_EXCED_RANGE (a name of 260 characters or more)'}

# What the payload stage says besides the outcome when it would start setup.
STARTED = ('setup_file', 'setup_bytes', 'archive_name', 'archive_type')


def run_payload_stage(report, path):
    found = report.section('Outcome of a run with this payload')
    tool = windows_program(PAYLOAD_STAGE)
    if tool is None:
        raise UsageError(f'this bootpack carries no {PAYLOAD_STAGE} (run ./bootpack build), '
                         'so the outcome cannot be checked; --no-run leaves it out')
    result = run_windows(tool, windows_path(path))
    values = dict(line.split('=', 1) for line in result.stdout.splitlines() if '=' in line)
    needed = ('outcome', 'extra') + (STARTED if values.get('outcome') == '0' else ())
    if not all(key in values for key in needed) or not all(
            values[key].isdigit() for key in ('outcome', 'extra', 'setup_bytes') if key in needed):
        found.line('the payload stage could not run on this image: '
                   + last_line(result.stderr, 'no output'), False)
        return
    outcome, extra = int(values['outcome']), int(values['extra'])
    report.outcome = {'exit_code': outcome, 'detail': extra}
    if outcome != 0:
        meaning = EXIT_MEANINGS.get(outcome, "see the README's exit codes")
        detail = ERROR_NAMES.get(extra, str(extra))
        found.line(f'the stub ends with {outcome}: {meaning}; detail {extra} ({detail})', False)
        return
    found.line(f'the stub writes {values["setup_file"]} ({int(values["setup_bytes"]):,} bytes) '
               'into its work directory and starts it with')
    found.line(f'--archive-resource-name="{values["archive_name"]}" '
               f'--archive-resource-type="{values["archive_type"]}";')
    found.line("the run then ends with setup's exit code")
