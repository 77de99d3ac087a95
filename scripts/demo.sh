#!/usr/bin/env bash
# Sets up, builds and shows the updater doing its job on this machine: a full
# update of a sample installation of Keltrin 1.0 to 2.0 against a local update
# server on 127.0.0.1, while a stand-in browser is still running.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

port=${NORVANE_DEMO_PORT:-18480}
server="http://127.0.0.1:$port"
build=build-demo
echo "== Building the updater for the update server $server"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVANE_UPDATE_SERVER="$server" >/dev/null
cmake --build "$build" --target norvane_update_bin norvane_test_server

demo=$(mktemp -d /tmp/norvane-demo.XXXXXX)
install="$demo/installation"
root="$demo/server"
server_pid=""
browser_pid=""
cleanup() {
  [ -n "$browser_pid" ] && kill "$browser_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT

echo "== Sample installation of version 1.0 in $install"
mkdir -p "$install/lib" "$install/profiles"
echo "Keltrin 1.0" >"$install/VERSION"
echo "old browser binary" >"$install/keltrin"
echo "old library" >"$install/lib/libkeltrin.so"
echo "user data, not in the package" >"$install/profiles/default.ini"

echo "== Package of version 2.0 on the update server in $root"
newer="$demo/keltrin-2.0"
mkdir -p "$newer/lib" "$newer/locales" "$root/update" "$root/packages"
echo "Keltrin 2.0" >"$newer/VERSION"
echo "new browser binary" >"$newer/keltrin"
echo "new library" >"$newer/lib/libkeltrin.so"
echo "bonjour" >"$newer/locales/fr.txt"
tar -czf "$root/packages/keltrin-2.0.tar.gz" -C "$newer" .
cat >"$root/update/norvane_update_linux.ini" <<EOF
[ubuntu_debian_i686]
version=2.0
url=$server/packages/keltrin-2.0.tar.gz
EOF
echo "check" >"$root/update/norvane_check_linux.ini"

"$build/norvane_test_server" --root "$root" --port "$port" >"$demo/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q "listening" "$demo/server.log" 2>/dev/null && break
  sleep 0.1
done

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
  printf '%-28s %s\n' "$file" "$(head -c 60 "$file" | head -n 1)"
done)
echo
echo "== Running again: the installation is current now (the server still offers 2.0)"
set +e
"$build/norvane_update_bin" 2.0 "$install" "$browser_pid"
status=$?
set -e
echo "Exit status: $status"
grep -a "version" "$install/norvane_update.log"
