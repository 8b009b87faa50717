#!/bin/sh
# Runs inside the fresh Debian 12 root: installs the .deb with its Depends
# from bookworm alone and uses every command on the inputs copied in.
. /srv/bootpack-test/root_steps.sh

install ./bootpack_*.deb
osslsigncode --version | head -n 1 >"$out/osslsigncode.txt"

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
pack_widget

step "bootpack sign with a time-stamp server (osslsigncode $(cut -d' ' -f2 "$out/osslsigncode.txt" | tr -d ,))"
bootpack sign --make-test-pki pki
start_timestamp_server pki
bootpack sign "$out/packed.exe" --out "$out/signed.exe" \
  --cert pki/codesign.pem --key pki/codesign.key --timestamp-url "$tsa_url" \
  --verify-ca pki/ca.pem --detached-signature "$out/signed.p7s"
attach_and_verify

step "bootpack sign --tsa-cert refuses in one line"
status=0
bootpack sign "$out/packed.exe" --out "$out/local.exe" --cert pki/codesign.pem \
  --key pki/codesign.key --tsa-cert pki/tsa-chain.pem --tsa-key pki/tsa.key \
  2>"$out/tsa-cert.err" || status=$?
[ "$status" -eq 2 ] && [ ! -e "$out/local.exe" ] ||
  { echo "sign --tsa-cert ended with $status" >&2; cat "$out/tsa-cert.err" >&2; exit 1; }

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
