#!/usr/bin/env bash
# The steps of a full update done by hand, the baseline of the updater:
#   manual_update.sh SERVER_URL INSTALLATION_DIR TEMP_ROOT
# Fetches the manifest and the package it names, unpacks the package into a
# fresh temporary directory, copies it over the installation and removes the
# temporary directory.
set -euo pipefail
cd "$2"
curl -s -o norvane_update_linux.ini "$1/update/norvane_update_linux.ini"
url=$(sed -n 's/^url=//p' norvane_update_linux.ini)
curl -s -o norvane.tar.gz "$url"
tmp=$(mktemp -d -p "$3" com.dovamel.keltrin.XXXXXX)
tar -zxf norvane.tar.gz -C "$tmp"
rm -f norvane.tar.gz
cp -r "$tmp"/* ./
rm -rf "$tmp"
