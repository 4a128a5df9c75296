#!/usr/bin/env bash
# The demo: a simulated Orvo token served over TLS by orvo-sim, used by OpenSC's pkcs11-tool
# through liborvo-pkcs11.so, with OpenSSL checking the token's signature on its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

chapter() { printf '\n\033[1m%s\033[0m\n' "$*"; }
tell() { printf '  %s\n' "$*"; }
show() { sed 's/^/    | /'; }

chapter "Preparing the machine"
bash scripts/setup.sh
tell "Building the library and the simulator (this takes a few minutes the first time)..."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" --target orvo-pkcs11 orvo-sim >build/demo-build.log 2>&1 ||
  { cat build/demo-build.log; exit 1; }
lib=$root/build/src/liborvo-pkcs11.so
sim=$root/build/sim/daemon/orvo-sim

work=$(mktemp -d /tmp/orvo-demo-XXXXXX)
sim_pid=""
finish() {
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

chapter "1. A token comes to life"
"$sim" --state-dir "$work/token" --port 0 --quiet >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -qs "listening on" "$work/sim.log" && break; sleep 0.1; done
grep -q "listening on" "$work/sim.log" || { cat "$work/sim.log"; exit 1; }
address=$(sed -n 's/.*listening on \([^,]*\),.*/\1/p' "$work/sim.log")
tell "orvo-sim is listening on $address over TLS. On its first start it made a small CA, a"
tell "server certificate and an orvoconfig.json in $work/token, so the library needs one"
tell "setting only:"
export ORVO_CONFIG_PATH=$work/token
tell "  ORVO_CONFIG_PATH=$ORVO_CONFIG_PATH"
p11() { pkcs11-tool --module "$lib" "$@" 2>&1 | { grep -v "^Using slot" || true; }; }

chapter "2. pkcs11-tool loads liborvo-pkcs11.so and finds one slot: the simulator"
p11 --show-info | show
p11 --list-slots | show

chapter "3. The security officer initialises the token and sets the user's PIN"
p11 --init-token --label "Orvo demo" --so-pin 12345678 | show
p11 --init-pin --login --so-pin 12345678 --pin 123456 | show
p11 --list-token-slots | show

chapter "4. The user logs in and has the token make an EC P-256 key pair"
tell "The private key is created inside the token and never leaves it."
p11 --login --pin 123456 --keypairgen --key-type EC:prime256v1 --id 01 --label "demo key" | show

chapter "5. The token signs a file"
printf 'Pay the bearer 100 dragons.\n' >"$work/cheque.txt"
tell "The file: $(cat "$work/cheque.txt")"
p11 --login --pin 123456 --sign --id 01 --mechanism ECDSA-SHA256 --signature-format openssl \
  --input-file "$work/cheque.txt" --output-file "$work/cheque.sig" | show
tell "Signature: $(stat -c %s "$work/cheque.sig") bytes in $work/cheque.sig"

chapter "6. OpenSSL checks the signature with the exported public key, without the token"
# The public point as pkcs11-tool lists it, wrapped as a P-256 public key file. (pkcs11-tool's
# own EC public key export reads freed memory in OpenSC 0.23 and fails at random.)
point=$(p11 --list-objects --type pubkey --id 01 | sed -n 's/^ *EC_POINT: *0441\([0-9a-f]\{130\}\)$/\1/p')
[ -n "$point" ] || { echo "no EC point listed" >&2; exit 1; }
spki=3059301306072a8648ce3d020106082a8648ce3d030107034200$point
printf '%b' "$(printf '%s' "$spki" | sed 's/../\\x&/g')" >"$work/demo-key.der"
openssl pkey -pubin -inform DER -in "$work/demo-key.der" -out "$work/demo-key.pem"
tell "The public key, as pkcs11-tool lists it from the token:"
show <"$work/demo-key.pem"
openssl dgst -sha256 -verify "$work/demo-key.pem" -signature "$work/cheque.sig" "$work/cheque.txt" | show
printf 'Pay the bearer 1000 dragons.\n' >"$work/forged.txt"
tell "And a forged cheque with the same signature:"
{ openssl dgst -sha256 -verify "$work/demo-key.pem" -signature "$work/cheque.sig" "$work/forged.txt" || true; } | show

chapter "7. The simulator stops"
kill -TERM "$sim_pid"
wait "$sim_pid"
sim_pid=""
show <"$work/sim.log"
tell "The end: the key was made and used inside the token; only its public half and the"
tell "signature ever left it."
