#!/bin/sh
# Runs inside the fresh Debian 13 root: the .deb, wine64 and its preloader
# installed from trixie alone, then the whole pipeline, inspect's payload
# stage under Wine 10, the Windows test kit unpacked into a path with a space,
# and pip into a venv on the root's Python.
. /srv/bootpack-test/root_steps.sh

install ./bootpack_*.deb wine64 wine64-preloader
{ osslsigncode --version | head -n 1; python3 --version
  dpkg-query -W -f '${Package} ${Version}\n' wine64 wine64-preloader python3-pefile \
    python3-cryptography python3-asn1crypto; } >"$out/versions.txt"
cat "$out/versions.txt" >&2
bootpack --version >"$out/version.txt"
pack_widget

step "bootpack sign with a local time stamp"
bootpack sign --make-test-pki pki
bootpack sign "$out/packed.exe" --out "$out/signed.exe" \
  --cert pki/codesign.pem --key pki/codesign.key \
  --tsa-cert pki/tsa-chain.pem --tsa-key pki/tsa.key --verify-ca pki/ca.pem \
  --detached-signature "$out/signed.p7s"
attach_and_verify

# What a token needs beyond the package: its Suggests and OpenSSL's engine.
install softhsm2 opensc libengine-pkcs11-openssl
step "bootpack sign with a key on a SoftHSM2 token"
mkdir -p tokens
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$here/tokens" >softhsm2.conf
export SOFTHSM2_CONF=$here/softhsm2.conf TOKEN_PIN=492817
module=/usr/lib/softhsm/libsofthsm2.so
openssl pkcs8 -topk8 -nocrypt -in pki/codesign.key -out key.p8
openssl x509 -in pki/codesign.pem -outform der -out cert.der
softhsm2-util --init-token --free --label release --pin "$TOKEN_PIN" --so-pin 55667788 >/dev/null
softhsm2-util --import key.p8 --token release --label codesign --id 01 --pin "$TOKEN_PIN" >/dev/null
pkcs11-tool --module "$module" --token-label release --login --pin "$TOKEN_PIN" \
  --write-object cert.der --type cert --label codesign --id 01 >/dev/null
bootpack sign "$out/packed.exe" --out "$out/token-signed.exe" --pkcs11-module "$module" \
  --key 'pkcs11:token=release;object=codesign' --password-env TOKEN_PIN \
  --tsa-cert pki/tsa-chain.pem --tsa-key pki/tsa.key --verify-ca pki/ca.pem
bootpack verify "$out/token-signed.exe" --ca pki/ca.pem

step "bootpack inspect --json, with the payload stage under Wine"
bootpack inspect --json --ca pki/ca.pem "$out/signed.exe" >"$out/inspect.json"

step "the Windows test kit, unpacked into a path with a space, under Wine"
loader=/usr/lib/wine/wine64
export WINEPREFIX="$here/kit prefix" WINEDEBUG=-all DISPLAY=
export WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d
# Wine names the files it creates in the locale's character set: without a
# UTF-8 locale (env -i leaves none) a name outside ASCII cannot be created,
# which Windows itself never refuses.
export LANG=C.UTF-8
"$loader" wineboot -i >/dev/null 2>&1
# A crashing test program must not wait for a debugger dialog nobody sees.
for value in 'Auto /t REG_SZ /d 1' "Debugger /t REG_SZ /d ''"; do
  eval "\"$loader\" reg add 'HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug' /v $value /f" \
    >/dev/null 2>&1
done
/usr/lib/wine/wineserver64 -w
mkdir "$here/unpacked kit"
python3 -m zipfile -e bootpack-tests.zip "$here/unpacked kit"
status=0
(cd "$here/unpacked kit/bootpack-tests" && "$loader" cmd /c run-tests.cmd) \
  >"$out/kit.txt" 2>&1 </dev/null || status=$?
echo "$status" >"$out/kit-status.txt"
cp "$here/unpacked kit/bootpack-tests/results.txt" "$out/kit-results.txt" 2>/dev/null || true
tail -n 1 "$out/kit.txt" >&2
/usr/lib/wine/wineserver64 -k 2>/dev/null || true

install python3-venv python3-setuptools
step "pip install into a venv on $(python3 --version)"
python3 -m venv --system-site-packages venv
(cd source && ../venv/bin/pip install --no-build-isolation --no-index --no-cache-dir --quiet .)
mkdir venv-inputs
cp -r inputs/widget.toml inputs/dist venv-inputs/
rm -f venv-inputs/dist/WidgetInstaller.exe
(cd venv-inputs && ../venv/bin/bootpack pack --config widget.toml)
cp venv-inputs/dist/WidgetInstaller.exe "$out/venv-packed.exe"
echo done >"$out/finished"
