#!/usr/bin/env bash
# The upgrade of a directory site from 1.6.0, the last single package, on
# Debian 12 (directory_test.sh); 1.6.0 is built once and kept.
#
#   upgrade_test.sh DEB_DIR
set -euo pipefail
package=$(dirname "$0")/../../scripts/package
debs=$(mktemp -d)
trap 'rm -rf "$debs"' EXIT
mkdir "$debs/old"
cp "$1"/orvanta*.deb "$debs/"
status=0
old=$("$package" --old) || status=$?
if ((status == 77)); then
  echo "skipped: 1.6.0 cannot be built here (a shallow clone?)"
  exit 77
fi
((status == 0)) || exit "$status"
cp "$old" "$debs/old/"
"$package" --try bookworm "$debs" \
  bash /orvanta/tests/package/directory_test.sh /debs "/debs/old/${old##*/}"
