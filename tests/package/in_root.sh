#!/bin/sh
# Runs inside the fresh Debian root: installs the .deb with its Depends alone
# and uses every command on the inputs copied in beside this script.
set -eu
here=/srv/bootpack-test
out=$here/out
mkdir -p "$out"
step() { echo "==> in the root: $*" >&2; }

export DEBIAN_FRONTEND=noninteractive
cd "$here"
# bookworm's osslsigncode 2.5 cannot time-stamp locally: apt must refuse it.
step "apt-get refuses bookworm's own osslsigncode"
if apt-get install -s -q --no-install-recommends ./bootpack_*.deb >"$out/apt.log" 2>&1 ||
   ! grep -q 'osslsigncode (>= ' "$out/apt.log"; then
  cat "$out/apt.log" >&2; echo "installed without a new enough osslsigncode" >&2; exit 1
fi
step "apt-get install ./$(basename "$here"/bootpack_*.deb) osslsigncode/bookworm-backports --no-install-recommends"
apt-get install -y -q --no-install-recommends ./bootpack_*.deb osslsigncode/bookworm-backports \
  >"$out/apt.log" 2>&1 || { cat "$out/apt.log" >&2; exit 1; }

step "no compiler, MinGW, Wine, 7-Zip or git, no checkout"
for program in cc gcc clang clang-19 ld.lld x86_64-w64-mingw32-gcc wine wine64 7zz git cmake; do
  if command -v "$program" >/dev/null; then echo "$program is installed" >&2; exit 1; fi
done
if dpkg-query -W -f '${Package}\n' | grep -E '^(gcc(-[0-9]+)?|g\+\+.*|clang.*|.*mingw.*|wine.*|llvm.*|lld.*|git|7zip)$'; then
  echo "packages of a build machine are installed" >&2; exit 1
fi
[ ! -e /work ] || { echo "/work exists in the root" >&2; exit 1; }

step "bootpack --version"
bootpack --version >"$out/version.txt"
cat "$out/version.txt"

step "bootpack pack --config widget.toml"
(cd inputs && bootpack pack --config widget.toml)
cp inputs/dist/WidgetInstaller.exe "$out/packed.exe"

step "bootpack sign with a throwaway PKI and a local time stamp"
bootpack sign --make-test-pki pki
bootpack sign "$out/packed.exe" --out "$out/signed.exe" \
  --cert pki/codesign.pem --key pki/codesign.key \
  --tsa-cert pki/tsa-chain.pem --tsa-key pki/tsa.key --verify-ca pki/ca.pem \
  --detached-signature "$out/signed.p7s"

step "bootpack attach gives the signed installer again"
bootpack attach "$out/packed.exe" --signature "$out/signed.p7s" --out "$out/attached.exe" \
  --ca pki/ca.pem
cmp "$out/signed.exe" "$out/attached.exe"

step "bootpack verify --ca"
bootpack verify "$out/signed.exe" --ca pki/ca.pem

step "bootpack inspect --no-run --json"
bootpack inspect --no-run --json --ca pki/ca.pem "$out/signed.exe" >"$out/inspect.json"

step "bootpack inspect without Wine says so in one line and exits 2"
status=0
bootpack inspect --ca pki/ca.pem "$out/signed.exe" >"$out/inspect-run.txt" 2>"$out/inspect-run.err" ||
  status=$?
if [ "$status" -ne 2 ] || [ "$(wc -l <"$out/inspect-run.err")" -ne 1 ] ||
   ! grep -q 'Wine, which is not installed' "$out/inspect-run.err"; then
  echo "inspect without Wine ended with $status:" >&2; cat "$out/inspect-run.err" >&2; exit 1
fi

step "apt-get purge bootpack leaves nothing of it"
apt-get purge -y -q bootpack >"$out/purge.log" 2>&1 || { cat "$out/purge.log" >&2; exit 1; }
for path in /usr/bin/bootpack /usr/lib/python3/dist-packages/bootpack /usr/share/doc/bootpack; do
  if [ -e "$path" ]; then echo "$path is left after purge" >&2; exit 1; fi
done
echo done >"$out/finished"
