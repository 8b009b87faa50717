#!/usr/bin/env python3
"""./bootpack bench: measures the stub and prints one markdown table."""
import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
from bootpack.cli import ToolError, last_line, run_tool
from bootpack.host import build_dir
from bootpack.image_resources import image_resources, stub_image_resources
from bootpack.image_writer import write_image
from bootpack.payload import START_HEADER_SIZE, write_7z_stand_in
from bootpack.pe_stub import StubImage

BUILD = build_dir()
PREFIX = Path(os.environ.get('BOOTPACK_WINEPREFIX', BUILD / 'wineprefix'))
HARNESS = BUILD / 'bin' / 'payload_bench.exe'
STUB = BUILD / 'bin' / 'bootpack.exe'
CODE_IMAGE = BUILD / 'lib' / 'bootpack_code.exe'

# Runs of each figure; the harness makes one more first that is not counted.
# The short ones get more: one scan takes some 15 µs, so a single switch to
# another process doubles a sample, and a hundred scans still take no time.
WRITE_ROUNDS = 21   # 8 MiB written twice per round
SCAN_ROUNDS = 51    # both images loaded and scanned per round
DELETE_ROUNDS = 9   # each round starts setup, a process
RUN_ROUNDS = 5      # whole runs of an installer per image, for the peak
PACK_ROUNDS = 7     # packing or copying 512 MiB takes a fraction of a second
MEMORY_ROUNDS = 3   # pack's peak memory barely moves
SIGN_ROUNDS = 7     # each signing reads and writes 512 MiB
CHECK_ROUNDS = 7    # verify, inspect and openssl dgst each read 512 MiB

MiB = 1 << 20
KiB = 1 << 10

DESCRIPTION = f"""\
Measure the stub and print one markdown table, ready to paste into README.md.

Each timing and memory figure is the median of several runs (the table gives
the count and the spread), and what is compared is measured side by side in
this one invocation, taking turns, so that a busy machine weighs on both:
  - the stub's code image as linked (no resources), the stub with only its
    version block and manifest (no icon, no payload), and the code and data
    its sections hold;
  - UnpackPayload writing an 8 MiB setup beside one WriteFile of the same
    bytes ({WRITE_ROUNDS} rounds);
  - the payload resource scan of an image with a 1 MiB and one with a
    512 MiB archive, each freshly loaded as an image resource, without and
    with the load ({SCAN_ROUNDS} rounds);
  - the peak working set of a whole run of an installer with a 1 MiB and one
    with a 512 MiB archive, setup stood in by the harness ({RUN_ROUNDS} runs each);
  - the final deletions of a run (setup's file, then the work directory)
    after setup has ended: their time and attempts ({DELETE_ROUNDS} rounds);
  - packing a 512 MiB archive (not sparse) beside cp of the same file
    ({PACK_ROUNDS} runs each, taking turns), and the packer's peak memory
    with a 1 MiB and a 512 MiB archive ({MEMORY_ROUNDS} runs each);
  - signing that 512 MiB image (a throwaway key, the local time-stamp
    authority) beside osslsigncode sign of it with the same key and
    authority ({SIGN_ROUNDS} runs each, taking turns), with the time sign's
    check takes after its osslsigncode has ended, then verify and inspect
    --no-run of the signed image beside openssl dgst -sha256 of it
    ({CHECK_ROUNDS} runs each), with the peak memory of each.
--signing measures only the signing, verify and inspect rows.
The table names the commit it was measured on ("+dirty" when the tree has
changes) and the date. Progress goes to stderr, the table to stdout.
Figures never make the command fail; a broken build or setup does.
Takes a few minutes on two cores; scratch files (about 1.6 GiB) live
in the Wine prefix's drive C and are removed at the end.
"""


def say(text):
    print(f'bench: {text}', file=sys.stderr, flush=True)


def git(*args):
    """git's answer, or '' outside a checkout."""
    try:
        result = subprocess.run(['git', '-C', str(REPO)] + list(args), capture_output=True,
                                text=True)
    except OSError:
        return ''
    return result.stdout.strip() if result.returncode == 0 else ''


def measured_on():
    commit = git('rev-parse', '--short', 'HEAD') or 'an unknown commit'
    if git('status', '--porcelain'):
        commit += '+dirty'
    wine = subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()
    return commit, datetime.date.today().isoformat(), wine


def windows_path(path):
    """Paths under the prefix's drive_c, as C:\\... (the stub sees a real drive)."""
    relative = Path(path).resolve().relative_to((PREFIX / 'drive_c').resolve())
    return 'C:\\' + '\\'.join(relative.parts)


def harness(mode, rounds, *paths):
    """Runs one mode of the Windows-side harness: {figure: {image: [values]}}."""
    command = [str(REPO / 'tools' / 'wine-exec'), str(HARNESS), mode, str(rounds)]
    result = subprocess.run(command + [windows_path(p) for p in paths],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise ToolError(f'the harness failed in {mode} mode ({result.returncode}): '
                        + last_line(result.stderr))
    figures = {}
    for line in result.stdout.splitlines():
        figure, image, value = line.split()
        figures.setdefault(figure, {}).setdefault(int(image), []).append(float(value))
    return figures


def pack_command(*args):
    return [sys.executable, '-m', 'bootpack', 'pack', '--stub', str(STUB)] \
        + [str(a) for a in args]


def pack(*args):
    result = subprocess.run(pack_command(*args), stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise ToolError('packing failed: ' + last_line(result.stderr))


def stub_sizes(scratch):
    """(code image as linked, stub with version block and manifest alone,
    bytes in the code image's sections)."""
    own = stub_image_resources(StubImage(STUB))
    version, strings, manifest = own.version, own.strings, own.manifest
    image = scratch / 'bootpack.exe'
    write_image(StubImage(CODE_IMAGE), image_resources([], version, strings, manifest), image)
    content = sum(s.virtual_size for s in StubImage(CODE_IMAGE).sections)
    return CODE_IMAGE.stat().st_size, image.stat().st_size, content


def make_inputs(scratch):
    (scratch / 'setup8.bin').write_bytes(os.urandom(8 * MiB))
    write_7z_stand_in(scratch / 'archive1.7z', MiB, os.urandom(MiB))
    # Every block written, none left sparse, so that pack and cp copy the same.
    write_7z_stand_in(scratch / 'archive512.7z', 512 * MiB)
    block = os.urandom(MiB)
    with open(scratch / 'archive512.7z', 'r+b') as archive:
        archive.seek(START_HEADER_SIZE)
        left = 512 * MiB - START_HEADER_SIZE - 2  # the end header stays
        while left:
            left -= archive.write(block[:min(left, MiB)])


def timed(command):
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        raise ToolError(f'{Path(str(command[0])).name} failed: ' + last_line(result.stderr))
    return time.perf_counter() - start


def pack_and_copy_times(scratch):
    """Packs the 512 MiB product and copies its archive with cp, in turns;
    the last image stays."""
    packing, copying = [], []
    out, copy = scratch / 'archive512.exe', scratch / 'archive512-copy.7z'
    for _ in range(PACK_ROUNDS):
        out.unlink(missing_ok=True)
        packing.append(timed(pack_command('--archive', scratch / 'archive512.7z',
                                          '--setup', HARNESS, '--out', out)))
        copy.unlink(missing_ok=True)
        copying.append(timed(['cp', str(scratch / 'archive512.7z'), str(copy)]))
    copy.unlink()
    return packing, copying


def pack_peak(scratch, archive):
    """The peak resident memory of pack (one process) packing archive."""
    peaks = []
    for _ in range(MEMORY_ROUNDS):
        out = scratch / 'peak.exe'
        peaks.append(measured(pack_command('--archive', archive, '--setup', HARNESS,
                                           '--out', out))[1])
        out.unlink()
    return peaks


def measured(command, env=None):
    """(seconds, peak resident bytes) of COMMAND run to its end: the peak is
    the largest of the process and the children it waited for."""
    command = [str(c) for c in command]
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors, env=env)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            errors.seek(0)
            program = command[1] if command[0] == sys.executable else command[0]
            raise ToolError(f'{Path(program).name} failed ({process.returncode}): '
                            + last_line(errors.read().decode(errors='replace')))
    return seconds, usage.ru_maxrss * KiB


def rounds_of(commands, rounds, outputs=None, envs=None, ended=None):
    """Each command ROUNDS times, taking turns: {name: ([seconds], [peak bytes])}.
    OUTPUTS[name], the file a command writes, is removed before each of its
    runs; ENVS[name] is the environment it runs in. With ENDED, figures get
    'after ENDED' too: for each run of the command that ENDED names, the
    seconds from the time its child last wrote to the file ENDED[1] until it
    exited."""
    figures = {name: ([], []) for name in commands}
    after = []
    for _ in range(rounds):
        for name, command in commands.items():
            if outputs and name in outputs:
                outputs[name].unlink(missing_ok=True)
            os.sync()  # the last run's writes are not left for this one to wait on
            seconds, peak = measured(command, (envs or {}).get(name))
            finished = time.time()
            figures[name][0].append(seconds)
            figures[name][1].append(peak)
            if ended and ended[0] == name:
                after.append(finished - float(ended[1].read_text().split()[-1]))
    if ended:
        figures[f'after {ended[0]}'] = (after, [])
    return figures


def sign_and_check_figures(scratch, image):
    """Signs IMAGE beside osslsigncode sign of it, then checks the signed
    image beside openssl dgst of it."""
    pki, signed, plain = scratch / 'pki', scratch / 'signed.exe', scratch / 'plain-signed.exe'
    tool = [sys.executable, '-m', 'bootpack']
    measured([*tool, 'sign', '--make-test-pki', pki])
    key = ['--cert', pki / 'codesign.pem', '--key', pki / 'codesign.key']
    authority = ['--tsa-cert', pki / 'tsa-chain.pem', '--tsa-key', pki / 'tsa.key']

    # sign's osslsigncode is a stand-in that runs the real one and then
    # writes the time it ended: what sign spends after that is its check.
    shim, ended = scratch / 'shim', scratch / 'osslsigncode-ended'
    shim.mkdir()
    (shim / 'osslsigncode').write_text(
        f'#!/bin/sh\n{shutil.which("osslsigncode")} "$@"\nstatus=$?\n'
        f'date +%s.%N >> "{ended}"\nexit $status\n')
    (shim / 'osslsigncode').chmod(0o755)
    signing = rounds_of({
        'sign': [*tool, 'sign', image, *key, *authority,
                 '--verify-ca', pki / 'ca.pem', '--out', signed],
        'osslsigncode': ['osslsigncode', 'sign', '-h', 'sha256', '-certs', pki / 'codesign.pem',
                         '-key', pki / 'codesign.key', '-TSA-certs', pki / 'tsa-chain.pem',
                         '-TSA-key', pki / 'tsa.key', '-in', image, '-out', plain],
    }, SIGN_ROUNDS, {'sign': signed, 'osslsigncode': plain},
        {'sign': dict(os.environ, PATH=f'{shim}:{os.environ["PATH"]}')}, ('sign', ended))
    plain.unlink()
    checking = rounds_of({
        'verify': [*tool, 'verify', signed, '--ca', pki / 'ca.pem'],
        'inspect': [*tool, 'inspect', signed, '--ca', pki / 'ca.pem', '--no-run'],
        'openssl': ['openssl', 'dgst', '-sha256', signed],
    }, CHECK_ROUNDS)
    signed.unlink()
    return signing | checking


# Formatting: one row per figure, the spread of the runs beside the median.

def spread(values, unit, scale=1.0, digits=2):
    return f'{min(values) * scale:.{digits}f} – {max(values) * scale:.{digits}f} {unit}'


def timing_row(figure, values, unit, scale=1.0, digits=2):
    return (figure, f'{statistics.median(values) * scale:.{digits}f} {unit}',
            spread(values, unit, scale, digits), str(len(values)), '', '')


def ratio_row(figure, numerator, denominator, target='', within=None):
    ratio = statistics.median(numerator) / statistics.median(denominator)
    met = '' if within is None else 'yes' if within[0] <= ratio <= within[1] else 'no'
    return (figure, f'{ratio:.3f}×', '', '', target, met)


def peak_row(figure, values, limit=None):
    """A peak memory; with LIMIT (bytes), the target is to stay under it."""
    row = timing_row(figure, values, 'MiB', 1 / MiB)[:4]
    if limit is None:
        return row + ('', '')
    return row + (f'under {limit // MiB} MiB',
                  'yes' if statistics.median(values) < limit else 'no')


def size_row(figure, size, target=''):
    met = ('yes' if size <= 20 * KiB else 'no') if target else ''
    return (figure, f'{size:,} bytes ({size / KiB:.1f} KiB)', '', 'exact', target, met)


def table(rows):
    header = ('figure', 'value', 'spread (min – max)', 'runs', 'target', 'met')
    lines = ['| ' + ' | '.join(header) + ' |', '|' + '---|' * len(header)]
    lines += ['| ' + ' | '.join(row) + ' |' for row in rows]
    return '\n'.join(lines)


def signing_rows(figures):
    times = {name: seconds for name, (seconds, _) in figures.items()}
    peaks = {name: peak for name, (_, peak) in figures.items()}
    return [
        timing_row('sign of the 512 MiB image (local time-stamp authority, checked against '
                   'the root), from start to exit', times['sign'], 's'),
        timing_row('osslsigncode sign of the same file, same key and authority',
                   times['osslsigncode'], 's'),
        ratio_row('sign / osslsigncode sign (ratio of medians)', times['sign'],
                  times['osslsigncode'], 'at most 1.25×', (0, 1.25)),
        timing_row("sign's check of the signed image, from its osslsigncode's end to its "
                   'own', times['after sign'], 'ms', 1000, 0),
        timing_row('verify of the signed 512 MiB image (--ca)', times['verify'], 's'),
        timing_row('inspect --no-run of it (--ca)', times['inspect'], 's'),
        timing_row('openssl dgst -sha256 of the same file', times['openssl'], 's'),
        ratio_row('verify / openssl dgst (ratio of medians)', times['verify'],
                  times['openssl'], 'at most 1.15×', (0, 1.15)),
        ratio_row('inspect --no-run / openssl dgst (ratio of medians)', times['inspect'],
                  times['openssl'], 'at most 1.15×', (0, 1.15)),
        peak_row("sign's peak memory (osslsigncode's, which maps the whole image, counted)",
                 peaks['sign']),
        peak_row("osslsigncode sign's peak memory", peaks['osslsigncode']),
        peak_row("verify's peak memory", peaks['verify']),
        peak_row("inspect --no-run's peak memory", peaks['inspect'], 64 * MiB),
    ]


def main(argv=None):
    parser = argparse.ArgumentParser(prog='bootpack bench', description=DESCRIPTION,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--signing', action='store_true',
                        help='measure only signing, verify and inspect')
    args = parser.parse_args(argv)
    for needed in (HARNESS, STUB, CODE_IMAGE):
        if not needed.is_file():
            raise ToolError(f'{needed} is missing; ./bootpack bench builds it')
    commit, date, wine = measured_on()
    scratch = Path(tempfile.mkdtemp(prefix='bootpack-bench-', dir=PREFIX / 'drive_c'))
    if args.signing:
        try:
            make_inputs(scratch)
            image = scratch / 'archive512.exe'
            pack('--archive', scratch / 'archive512.7z', '--setup', HARNESS, '--out', image)
            say(f'signing the 512 MiB image beside osslsigncode sign, {SIGN_ROUNDS} times '
                f'each; verify and inspect beside openssl dgst, {CHECK_ROUNDS} times each')
            rows = signing_rows(sign_and_check_figures(scratch, image))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        print_table(commit, date, wine, rows)
        return 0
    try:
        say('measuring the stub')
        linked, bare, content = stub_sizes(scratch)
        say('making the payloads and packing the images')
        make_inputs(scratch)
        pack('--out', scratch / 'setup8.exe',
             '--resource', 'BN', 'BRISEL.7Z', scratch / 'archive1.7z',
             '--resource', 'BN', 'SETUP.EXE', scratch / 'setup8.bin')
        # The harness stands in for setup: started by the stub, it ends at once.
        pack('--archive', scratch / 'archive1.7z', '--setup', HARNESS,
             '--out', scratch / 'archive1.exe')
        say(f'packing a 512 MiB archive beside cp of it, {PACK_ROUNDS} times each')
        packing, copying = pack_and_copy_times(scratch)
        say("pack's peak memory with the 1 MiB and the 512 MiB archive")
        pack_peaks = [pack_peak(scratch, scratch / name)
                      for name in ('archive1.7z', 'archive512.7z')]
        images = (scratch / 'archive1.exe', scratch / 'archive512.exe')
        (scratch / 'work').mkdir()
        say('writing setup: UnpackPayload beside WriteFile')
        write = harness('write', WRITE_ROUNDS, scratch / 'setup8.exe', scratch / 'work')
        say('scanning the payload of the 1 MiB and the 512 MiB image')
        scan = harness('scan', SCAN_ROUNDS, *images)
        say('running both images for their peak working set')
        peak = harness('peak', RUN_ROUNDS, *images)
        say('final deletions after setup has run')
        delete = harness('delete', DELETE_ROUNDS, images[0], scratch / 'work')
        say(f'signing the 512 MiB image beside osslsigncode sign, {SIGN_ROUNDS} times each; '
            f'verify and inspect beside openssl dgst, {CHECK_ROUNDS} times each')
        signing = sign_and_check_figures(scratch, images[1])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    unpack, plain = write['unpack-ms'][1], write['plain-ms'][1]
    peak1, peak512 = peak['peak-bytes'][1], peak['peak-bytes'][2]
    peak_difference = (statistics.median(peak512) - statistics.median(peak1)) / MiB
    pack_difference = (statistics.median(pack_peaks[1]) - statistics.median(pack_peaks[0])) / MiB
    setup_attempts = delete['setup-attempts'][1]
    directory_attempts = delete['directory-attempts'][1]
    left = delete['gone'][1].count(0.0)
    attempts = (f'setup file: median {statistics.median(setup_attempts):g}, '
                f'max {max(setup_attempts):g}; work directory: median '
                f'{statistics.median(directory_attempts):g}, max {max(directory_attempts):g}'
                + (f'; {left} runs left something behind' if left else ''))
    rows = [
        size_row('stub without payload, icon and signature (version block and manifest only), '
                 'as the packer writes it', bare, 'at most 20 KiB'),
        size_row("stub's code image as linked (no resources, no signature)", linked),
        size_row('code and data in its sections (virtual sizes, headers not counted)', content),
        timing_row('UnpackPayload writing an 8 MiB setup', unpack, 'ms'),
        timing_row('plain WriteFile of the same 8 MiB', plain, 'ms'),
        ratio_row('UnpackPayload / WriteFile (ratio of medians)', unpack, plain,
                  'within 1.10×', (0, 1.10)),
        timing_row('resource scan, 1 MiB archive', scan['scan-ms'][1], 'µs', 1000, 1),
        timing_row('resource scan, 512 MiB archive', scan['scan-ms'][2], 'µs', 1000, 1),
        ratio_row('scan 512 MiB / 1 MiB (ratio of medians)', scan['scan-ms'][2],
                  scan['scan-ms'][1], 'within 5 %', (0.95, 1.05)),
        timing_row('load as image resource + scan, 1 MiB archive', scan['load-scan-ms'][1],
                   'ms', 1, 3),
        timing_row('load as image resource + scan, 512 MiB archive',
                   scan['load-scan-ms'][2], 'ms', 1, 3),
        ratio_row('load + scan 512 MiB / 1 MiB (ratio of medians)', scan['load-scan-ms'][2],
                  scan['load-scan-ms'][1]),
        timing_row('peak working set of a whole run, 1 MiB archive', peak1, 'MiB', 1 / MiB),
        timing_row('peak working set of a whole run, 512 MiB archive', peak512, 'MiB',
                   1 / MiB),
        ('peak 512 MiB − peak 1 MiB (difference of medians)', f'{peak_difference:.2f} MiB',
         '', '', 'within 1 MiB', 'yes' if abs(peak_difference) <= 1 else 'no'),
        timing_row("final deletions after setup's end (setup file, then work directory)",
                   delete['delete-ms'][1], 'ms'),
        ('attempts of those deletions', attempts, '', str(len(setup_attempts)), '', ''),
        timing_row('pack of a 512 MiB archive (not sparse), from start to exit', packing,
                   's', 1, 2),
        timing_row('cp of the same 512 MiB file', copying, 's', 1, 2),
        ratio_row('pack / cp (ratio of medians)', packing, copying, 'at most 1.5×', (0, 1.5)),
        timing_row("pack's peak memory, 1 MiB archive", pack_peaks[0], 'MiB', 1 / MiB),
        timing_row("pack's peak memory, 512 MiB archive", pack_peaks[1], 'MiB', 1 / MiB)[:4]
        + ('at most 64 MiB', 'yes' if statistics.median(pack_peaks[1]) <= 64 * MiB else 'no'),
        ('pack peak 512 MiB − peak 1 MiB (difference of medians)',
         f'{pack_difference:.2f} MiB', '', '', 'within 16 MiB',
         'yes' if abs(pack_difference) <= 16 else 'no'),
        *signing_rows(signing),
    ]
    print_table(commit, date, wine, rows)
    return 0


def print_table(commit, date, wine, rows):
    print(f'Measured on commit {commit}, {date}, under {wine}, by `./bootpack bench`; '
          'each value is the median of the runs counted beside it.')
    print()
    print(table(rows))


if __name__ == '__main__':
    sys.exit(run_tool('bootpack bench', main))
