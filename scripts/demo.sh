#!/usr/bin/env bash
# Sets up, builds and shows the updater doing its job on this machine: a full
# update of a sample installation of Keltrin 1.0 to 2.0 against a local update
# server on 127.0.0.1, while a stand-in browser is still running, then the
# update to 2.1 made from a delta: only what changed is fetched and copied. The update
# is published with a signed manifest that carries the package's digest and
# size and expires in 14 days, and the updater is built to take only
# manifests signed by that key. The release goes out in stages: at 10 % the
# sample installation is held back, at 100 % it is updated.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

port=${NORVANE_DEMO_PORT:-18480}
server="http://127.0.0.1:$port"
build=build-demo

demo=$(mktemp -d /tmp/norvane-demo.XXXXXX)
install="$demo/installation"
root="$demo/server"
keys="$demo/keys"
server_pid=""
browser_pid=""
cleanup() {
  [ -n "$browser_pid" ] && kill "$browser_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT

echo "== Building the publishing tool and the local update server"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVANE_UPDATE_SERVER="$server" >/dev/null
cmake --build "$build" --target norvane_publish norvane_test_server
publish="$build/norvane_publish"

echo "== Signing key pair of the update server in $keys"
mkdir -p "$keys"
public_key=$("$publish" keygen "$keys/secret.key" "$keys/public.key")
echo "public key: $public_key"

echo "== Building the updater for $server, taking only manifests signed by that key"
cmake -S . -B "$build" -DNORVANE_MANIFEST_PUBLIC_KEY="$public_key" >/dev/null
cmake --build "$build" --target norvane_update_bin

echo "== Sample installation of version 1.0 in $install"
mkdir -p "$install/lib" "$install/profiles"
echo "Keltrin 1.0" >"$install/VERSION"
echo "old browser binary" >"$install/keltrin"
echo "old library" >"$install/lib/libkeltrin.so"
echo "user data, not in the package" >"$install/profiles/default.ini"

echo "== Package of version 2.0 published on the update server in $root"
newer="$demo/keltrin-2.0"
mkdir -p "$newer/lib" "$newer/locales" "$root/update" "$root/packages"
echo "Keltrin 2.0" >"$newer/VERSION"
# A binary of some size, so that the delta of the next release patches it.
{ echo "new browser binary"; seq 1 40000; } >"$newer/keltrin"
echo "new library" >"$newer/lib/libkeltrin.so"
echo "bonjour" >"$newer/locales/fr.txt"
tar -czf "$root/packages/keltrin-2.0.tar.gz" -C "$newer" .
manifest="$root/update/norvane_update_linux.ini"
# publish_at PERCENT [VERSION [OPTION...]]: writes, signs and checks the
# manifest offering VERSION (2.0 unless given) to PERCENT % of installations,
# with the manifest options that follow, and shows it.
publish_at() {
  local percent=$1 version=${2:-2.0}
  shift $(($# < 2 ? $# : 2))
  "$publish" manifest --version "$version" \
    --url "$server/packages/keltrin-$version.tar.gz" \
    --package "$root/packages/keltrin-$version.tar.gz" --rollout "$percent" \
    "$@" --out "$manifest"
  "$publish" sign --key "$keys/secret.key" "$manifest"
  "$publish" verify --public-key "$keys/public.key" "$manifest"
  echo "-- $manifest"
  cat "$manifest"
}
echo "== First stage: the manifest offers 2.0 to 10 % of installations"
publish_at 10
echo "check" >"$root/update/norvane_check_linux.ini"

"$build/norvane_test_server" --root "$root" --port "$port" >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q "listening" "$demo/server.log" 2>/dev/null && break
  sleep 0.1
done

echo "== The sample installation's rollout bucket is 42"
# A real installation draws its bucket (0 to 99) from the system's random
# source on the first run that meets a rollout below 100 %; the demo writes
# one, so that it always tells the same story.
printf '[main]\nRolloutBucket=42\n' >"$install/norvane_upgrade_linux.ini"
echo "== Running: norvane_update_bin 1.0 $install 1 (bucket 42 is not below 10)"
set +e
"$build/norvane_update_bin" 1.0 "$install" 1
status=$?
set -e
echo "Exit status: $status (held back, as if current)"
grep -a "version\|held back" "$install/norvane_update.log"
echo

echo "== Second stage: the same package for every installation"
publish_at 100
echo

echo "== A stand-in browser (its command line holds \"keltrin\") runs for 3 seconds"
sh -c 'sleep 3' keltrin-browser &
browser_pid=$!

echo "== Running: norvane_update_bin 1.0 $install $browser_pid"
set +e
"$build/norvane_update_bin" 1.0 "$install" "$browser_pid"
status=$?
set -e
echo "Exit status: $status"
echo
echo "== $install/norvane_update.log"
cat "$install/norvane_update.log"
echo
echo "== Installed files"
(cd "$install" && find . -type f | sort | while read -r file; do
  printf '%-32s %s\n' "$file" "$(head -c 60 "$file" | head -n 1)"
done)
echo
echo "== State kept between runs: the daily check's time, the bucket, the issue mark and version of the newest signed manifest taken"
cat "$install/norvane_upgrade_linux.ini"
echo
echo "== Running again: the installation is current now (the server still offers 2.0)"
set +e
"$build/norvane_update_bin" 2.0 "$install" "$browser_pid"
status=$?
set -e
echo "Exit status: $status"
grep -a "version" "$install/norvane_update.log"
echo
echo "== Release 2.1: the binary changed, published with a delta from 2.0 beside its full package"
newest="$demo/keltrin-2.1"
cp -a "$newer" "$newest"
echo "Keltrin 2.1" >"$newest/VERSION"
sed -i '1s/.*/browser binary 2.1/' "$newest/keltrin"
tar -czf "$root/packages/keltrin-2.1.tar.gz" -C "$newest" .
delta="$root/packages/keltrin-2.0-to-2.1.delta.tar.gz"
"$publish" delta --from "$root/packages/keltrin-2.0.tar.gz" \
  --to "$root/packages/keltrin-2.1.tar.gz" --out "$delta"
publish_at 100 2.1 --delta-from 2.0 --delta "$delta" \
  --delta-url "$server/packages/${delta##*/}"
echo "-- what the server holds"
(cd "$root/packages" && ls -l keltrin-2.1.tar.gz "${delta##*/}" | awk '{print $5, $9}')
echo

echo "== Running: norvane_update_bin 2.0 $install $browser_pid (2.0 is what the delta is made from)"
set +e
"$build/norvane_update_bin" 2.0 "$install" "$browser_pid"
status=$?
set -e
echo "Exit status: $status"
echo
echo "== $install/norvane_update.log"
cat "$install/norvane_update.log"
echo
echo "== The installation is what the full package of 2.1 holds"
check="$demo/check-2.1"
mkdir -p "$check"
tar -xzf "$root/packages/keltrin-2.1.tar.gz" -C "$check"
(cd "$check" && find . -type f | sort | while read -r file; do
  if cmp -s "$file" "$install/$file"; then echo "same: $file"; else echo "DIFFERS: $file"; fi
done)
echo

echo "== The manifest changed on the server without a new signature: refused"
sed -i 's/^version=2\.1$/version=9.9/' "$manifest"
set +e
"$build/norvane_update_bin" 2.1 "$install" "$browser_pid"
status=$?
set -e
echo "Exit status: $status"
grep -a "ERROR" "$install/norvane_update.log"
