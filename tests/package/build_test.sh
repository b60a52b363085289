#!/usr/bin/env bash
# Builds the Debian package from a fresh clone of the repository (what is
# committed, nothing else of the work tree), runs lintian on it and checks
# the package's files, owners, modes, conffiles and settings.
#
#   build_test.sh SOURCE_DIR OUTPUT_DIR
#
# Leaves orvanta_*.deb in OUTPUT_DIR for install_test.sh.
set -euo pipefail

source_dir=$1
output_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
skip=77

# The overrides that lintian must apply, and no other.
expected_overrides='O: orvanta: elevated-privileges 4754 root/www-data [usr/lib/cgi-bin/orvanta/orvanta.cgi]
O: orvanta: national-encoding [usr/share/orvanta/www/index.html]
O: orvanta: non-standard-dir-perm 0750 != 0755 [var/log/orvanta/]'

expected_conffiles='/etc/apache2/conf-available/orvanta.conf
/etc/lighttpd/conf-available/50-orvanta.conf
/etc/logrotate.d/orvanta
/etc/orvanta/cfg_file.cfg'

# The value each setting has in the packaged cfg_file.cfg (the last line of
# a key wins).
expected_settings='CRYPT_METHOD=YESCRYPT
DEF_DIR=/home/
GROUPADD=/usr/sbin/groupadd
GROUPDEL=/usr/sbin/groupdel
HOME_ROOTS=/home/
LIST_PAGE_SIZE=200
LIST_SYSTEM=NO
LOCKFILE=/var/lib/orvanta/orvanta.lock
LOGFILE=/var/log/orvanta/orvanta.log
OPERATORS=/etc/orvanta/operators
REQUIRE_AUTH=YES
SHELL1=/bin/bash
SHELL2=/bin/sh
SHELL3=/bin/dash
SHELL4=/usr/sbin/nologin
SHELL5=/bin/false
SORT=SORT_BY_UID
SYSTEMGID=999
SYSTEMUID=999
USERADD=/usr/sbin/useradd -m
USERDEL=/usr/sbin/userdel
USERMOD=/usr/sbin/usermod
USE_CRYPT=YES'

expected_logrotate='/var/log/orvanta/orvanta.log {
	monthly
	rotate 12
	compress
	missingok
	notifempty
	create 0640 root adm
}'

failures=0
fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}

# Compares one aspect of the package with what it must be.
expect_same() {
  local what=$1 expected=$2 actual=$3
  if [[ "$actual" == "$expected" ]]; then
    echo "ok: $what"
  else
    fail "$what"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  fi
}

if [[ $(id -u) != 0 ]] && ! command -v fakeroot >/dev/null; then
  echo "SKIP: the package's owners and set-user-ID bit need root or fakeroot"
  exit $skip
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

git clone --quiet "$source_dir" "$work/orvanta"
echo "building the package from a clone of $source_dir ($(git -C "$work/orvanta" rev-parse --short HEAD))"
if ! (cd "$work/orvanta" &&
      DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log"
  echo "FAIL: dpkg-buildpackage"
  exit 1
fi
deb=$(echo "$work"/orvanta_*_*.deb)
changes=$(echo "$work"/orvanta_*.changes)
echo "built $(basename "$deb")"

# The output is judged below: lintian counts the overridden tags it shows
# as failures of --fail-on.
lintian_output=$(lintian --fail-on none --show-overrides "$changes" 2>/dev/null) ||
  fail "lintian exited with $?"
echo "$lintian_output" | grep -E '^[EW]: ' && fail "lintian reports errors or warnings"
expect_same "lintian overrides applied" "$expected_overrides" \
  "$(echo "$lintian_output" | grep '^O: ' | LC_ALL=C sort)"

# Mode, owner and path of every entry (sizes and dates left out).
expect_same "files, owners and modes" "$(cat "$here/contents.txt")" \
  "$(dpkg-deb --contents "$deb" |
     awk '{ line = $1 " " $2; for (i = 6; i <= NF; i++) line = line " " $i; print line }' |
     LC_ALL=C sort -k3,3)"

mkdir "$work/control" "$work/files"
dpkg-deb --control "$deb" "$work/control"
dpkg-deb --extract "$deb" "$work/files"
expect_same "conffiles" "$expected_conffiles" "$(LC_ALL=C sort "$work/control/conffiles")"
expect_same "settings" "$expected_settings" \
  "$(awk '/^#/ || !/=/ { next }
          { value[substr($0, 1, index($0, "=") - 1)] = substr($0, index($0, "=") + 1) }
          END { for (key in value) print key "=" value[key] }' \
         "$work/files/etc/orvanta/cfg_file.cfg" | LC_ALL=C sort)"
expect_same "logrotate" "$expected_logrotate" "$(cat "$work/files/etc/logrotate.d/orvanta")"

mkdir -p "$output_dir"
rm -f "$output_dir"/orvanta_*.deb
cp "$deb" "$output_dir/"

if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "package build: all checks passed"
