# Sourced by the scripts that run inside a fresh Debian root: the steps they
# share. The files copied in are beside the script, in $here.
set -eu
here=/srv/bootpack-test
out=$here/out
mkdir -p "$out"
export DEBIAN_FRONTEND=noninteractive
cd "$here"
step() { echo "==> in the root: $*" >&2; }

# apt-get install PACKAGES..., its output shown only when it fails.
install() {
  step "apt-get install --no-install-recommends $*"
  apt-get install -y -q --no-install-recommends "$@" >"$out/apt.log" 2>&1 ||
    { cat "$out/apt.log" >&2; exit 1; }
}

# The time-stamp server of the tests, on 127.0.0.1 in the root; sets $tsa_url.
start_timestamp_server() {
  python3 "$here/timestamp_server.py" "$1" >"$out/tsa-url.txt" &
  tsa_pid=$!
  trap 'kill $tsa_pid 2>/dev/null || true' EXIT
  while [ ! -s "$out/tsa-url.txt" ]; do sleep 0.1; done
  tsa_url=$(cat "$out/tsa-url.txt")
}

pack_widget() {
  step "bootpack pack --config widget.toml --provenance"
  (cd inputs && bootpack pack --config widget.toml --provenance "$out/packed.json")
  cp inputs/dist/WidgetInstaller.exe "$out/packed.exe"
}

# attach of the detached signature to the unsigned installer gives the signed one.
attach_and_verify() {
  step "bootpack attach gives the signed installer again"
  bootpack attach "$out/packed.exe" --signature "$out/signed.p7s" --out "$out/attached.exe" \
    --ca pki/ca.pem
  cmp "$out/signed.exe" "$out/attached.exe"
  step "bootpack verify --ca, verify --provenance"
  bootpack verify "$out/signed.exe" --ca pki/ca.pem
  bootpack verify "$out/signed.exe" --provenance "$out/packed.json" \
    --input inputs/dist/widget.7z --input inputs/dist/setup.exe
}
