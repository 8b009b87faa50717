"""The tests that run a tool as another user, run from a copy of the tree in
a folder only its owner can enter (as /root is), whose path has a space: they
must not depend on the checkout's parents being open to others.

usage: private_checkout_test.py --installer PACKED.exe
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# Each test that changes users, with the arguments its file takes.
OTHER_USER_TESTS = [('tests/image/sign_key_stores_test.py', ['-k', 'read_only'])]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--installer', required=True, type=Path)
    args = parser.parse_args()
    private = Path(tempfile.mkdtemp(prefix='private checkout '))
    try:
        os.chmod(private, 0o700)
        checkout = private / 'bootpack'
        for part in ('tools', 'tests'):
            shutil.copytree(REPO / part, checkout / part,
                            ignore=shutil.ignore_patterns('__pycache__', 'windows'))
        status = 0
        for test, options in OTHER_USER_TESTS:
            result = subprocess.run([sys.executable, checkout / test, '--installer',
                                     args.installer.resolve(), *options], cwd=checkout,
                                    env=dict(os.environ, PYTHONPATH=str(checkout / 'tools')))
            status = status or result.returncode
        return status
    finally:
        shutil.rmtree(private, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
