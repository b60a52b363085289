#!/usr/bin/env bash
# The upgrade from 1.6.0, the last single package, on Debian 12: a site with
# ACCOUNTS=ldap, before and after orvanta-ldap is installed
# (directory_test.sh). 1.6.0 is built once in the root and kept beside it.
#
#   upgrade_test.sh DEB_DIR
set -euo pipefail

deb_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
[[ $(id -u) == 0 ]] || { echo "SKIP: the roots need root"; exit 77; }
old_deb=$("$here/../../scripts/package" --old)
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
mkdir "$debs/old"
cp "$deb_dir"/orvanta*.deb "$debs/"
cp "$old_deb" "$debs/old/"
"$here/root_run.sh" bookworm "$debs" \
  bash tests/directory_test.sh /orvanta-test/debs "/orvanta-test/debs/old/$(basename "$old_deb")"
