#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any further
# packages named as arguments (bench/run.sh names its own):
#
#   scripts/setup.sh [PACKAGE...]
#
# As root it runs apt-get itself; otherwise it prints the command to run
# first.
set -euo pipefail

packages=(
  "$@"
  build-essential cmake ninja-build pkg-config
  libcurl4-openssl-dev libssl-dev libsodium-dev libzstd-dev libgtest-dev
  libgmock-dev
  libcpp-httplib-dev
  curl tar coreutils util-linux procps
  # The format check of the test command; the version is pinned because
  # another clang-format formats differently.
  clang-format-14
  # The fuzz targets.
  clang-14 libclang-rt-14-dev
  # The 32-bit i686 build of the test command.
  g++-multilib
  libcurl4-openssl-dev:i386 libgtest-dev:i386 libgmock-dev:i386
  libcpp-httplib-dev:i386 libssl-dev:i386 libsodium-dev:i386 libzstd-dev:i386
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# The i386 packages need the architecture known to dpkg.
add_i386=false
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  add_i386=true
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run this first, then try again:" >&2
  if $add_i386; then
    echo "  sudo dpkg --add-architecture i386" >&2
  fi
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if $add_i386; then
  dpkg --add-architecture i386
fi
# A mirror that is being updated can fail one index file; the install then
# goes on with the lists there are, and fails by itself if it must.
if ! apt-get update -qq; then
  echo "apt-get update failed in part; installing from the lists there are" >&2
fi
apt-get install -y -qq "${missing[@]}" >/dev/null
