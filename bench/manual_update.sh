#!/usr/bin/env bash
# The steps of a full update done by hand, the baseline of the updater:
#   manual_update.sh SERVER_URL INSTALLATION_DIR TEMP_ROOT [listing] [sync]
# Fetches the manifest and the package it names, unpacks the package into a
# fresh temporary directory, copies it over the installation and removes the
# temporary directory. With "listing", tar and cp list every file into
# norvane_update.log, as the updater has them do; with "sync", a sync of
# every file system follows, so that the copy is on disk as the updater's
# is when it ends.
set -euo pipefail
cd "$2"
verbose=
listing=/dev/null
sync=false
for option in "${@:4}"; do
  case $option in
    listing) verbose=-v; listing=norvane_update.log ;;
    sync) sync=true ;;
  esac
done
curl -s -o norvane_update_linux.ini "$1/update/norvane_update_linux.ini"
url=$(sed -n 's/^url=//p' norvane_update_linux.ini)
curl -s -o norvane.tar.gz "$url"
tmp=$(mktemp -d -p "$3" com.dovamel.keltrin.XXXXXX)
tar -zx $verbose -f norvane.tar.gz -C "$tmp" >> "$listing"
rm -f norvane.tar.gz
cp $verbose -r "$tmp"/* ./ >> "$listing"
rm -rf "$tmp"
if $sync; then sync; fi
