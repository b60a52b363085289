#!/usr/bin/env bash
# Builds the packages of one release in its root with scripts/package (what
# is committed, nothing else of the work tree), and checks lintian's output,
# the files, owners, modes, relations, versions, conffiles and settings.
#
#   build_test.sh SOURCE_DIR RELEASE OUTPUT_DIR
#
# Leaves the release's orvanta_*.deb and orvanta-ldap_*.deb in OUTPUT_DIR.
set -euo pipefail

source_dir=$1
release=$2
output_dir=$3
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
TOTP=optional
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

if [[ $(id -u) != 0 ]]; then
  echo "SKIP: the build roots need root"
  exit $skip
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$source_dir/scripts/package" -o "$work" "$release" || { echo "FAIL: scripts/package"; exit 1; }
deb=$(echo "$work/$release"/orvanta_*.deb)
ldap_deb=$(echo "$work/$release"/orvanta-ldap_*.deb)
# scripts/package fails on a lintian error or warning.
expect_same "lintian overrides applied" "$expected_overrides" \
  "$(grep '^O: ' "$work/$release/lintian.txt" | LC_ALL=C sort)"

# Mode, owner and path of every entry (sizes and dates left out).
expect_same "files, owners and modes" "$(cat "$here/contents.txt")" \
  "$(dpkg-deb --contents "$deb" |
     awk '{ line = $1 " " $2; for (i = 6; i <= NF; i++) line = line " " $i; print line }' |
     LC_ALL=C sort -k3,3)"
expect_same "the module" "-rw-r--r-- root/root ./usr/lib/orvanta/orvanta-ldap.so" \
  "$(dpkg-deb --contents "$ldap_deb" | awk '$6 ~ /[.]so$/ { print $1, $2, $6 }')"

# One version, CMake's, on the menu page and, with the release's mark, on
# both packages; libldap only in orvanta-ldap, which needs its orvanta.
declare -A mark=([bookworm]=deb12 [trixie]=deb13)
version=$(sed -n 's/^project(orvanta VERSION \([^ ]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
full=$version+${mark[$release]}
expect_same "versions and relations" "$full $full no libldap
Depends: orvanta (= $full), libldap
Breaks: orvanta (<< 1.7.0~)
Replaces: orvanta (<< 1.7.0~)" "$(dpkg-deb -f "$deb" Version) $(dpkg-deb -f "$ldap_deb" Version) \
$(dpkg-deb -f "$deb" Depends | grep -q libldap && echo with || echo no) libldap
$(dpkg-deb -f "$ldap_deb" Depends Breaks Replaces | sed 's/, libc6[^,]*\(, libldap\)[^,]*$/\1/')"

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
expect_same "the menu page's title" "<TITLE>orvanta ver.$version staff version </TITLE>" \
  "$(grep '<TITLE>' "$work/files/usr/share/orvanta/www/index.html")"

mkdir -p "$output_dir"
rm -f "$output_dir"/orvanta*.deb
cp "$deb" "$ldap_deb" "$output_dir/"

if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "package build: all checks passed"
