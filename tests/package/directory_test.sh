#!/usr/bin/env bash
# The directory backend of the installed packages, with this release's
# slapd behind lighttpd, in a throw-away root (root_run.sh):
#
#   directory_test.sh DEB_DIR            orvanta and orvanta-ldap: one
#                                        registration and the user list
#   directory_test.sh DEB_DIR OLD_DEB    the upgrade of a site with
#                                        ACCOUNTS=ldap from OLD_DEB (1.6.0,
#                                        the module in orvanta): it works
#                                        before; with the new orvanta alone
#                                        every page names orvanta-ldap, as
#                                        does one line of the error log;
#                                        with orvanta-ldap it works again
#
# The servers run in network and process namespaces of their own, which
# end with the test.
set -euo pipefail

deb_dir=$1
old_deb=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
readonly operator=admin
readonly ldap_dir=/srv/orvanta-test-ldap
# lighttpd keeps a CGI program's error lines only there (the README's step).
readonly error_log=/var/log/lighttpd/breakage.log
work=$(mktemp -d)

failures=0
fail() {
  echo "FAIL [directory]: $1"
  failures=$((failures + 1))
}
pass() { echo "ok [directory]: $1"; }
. "$here/web_lib.sh"

# Unattended, as an upgrade by a script: changed conffiles are kept.
apt() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "$@" >>"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log"; echo "FAIL [directory]: apt-get $*"; exit 1; }
}

# The servers in namespaces of their own; lighttpd as the README sets it up.
if [[ ${ORVANTA_IN_NAMESPACE:-} != 1 ]]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 0755 /usr/sbin/policy-rc.d
  apt install lighttpd curl iproute2 slapd ldap-utils
  if [[ -n $old_deb ]]; then
    apt install "$old_deb"
  else
    apt install "$deb_dir"/orvanta_*.deb "$deb_dir"/orvanta-ldap_*.deb
  fi
  lighty-enable-mod orvanta >/dev/null
  echo "server.breakagelog = \"$error_log\"" >>/etc/lighttpd/lighttpd.conf
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  printf '%s\n' "$password" | orvanta-operator add "$operator" >/dev/null
  rm -rf "$work"
  ORVANTA_IN_NAMESPACE=1 ORVANTA_OPERATOR_PASSWORD=$password \
    exec unshare --net --pid --fork --mount-proc bash "$0" "$@"
fi

ip link set lo up
mkdir -p /run/lighttpd "$work/seed"
# The directory holds one group, for the new accounts.
touch "$work/seed/passwd" "$work/seed/shadow"
echo "members:x:20000:" >"$work/seed/group"
/orvanta-test/serve.d/slapd start "$ldap_dir" "$work/seed" >/dev/null
/orvanta-test/serve.d/slapd settings "$ldap_dir" >>/etc/orvanta/cfg_file.cfg
lighttpd -f /etc/lighttpd/lighttpd.conf
for _ in $(seq 100); do
  curl -s -o /dev/null "$base/" && break
  sleep 0.1
done
sign_in "$operator:$ORVANTA_OPERATOR_PASSWORD"

# A registration through the server, then the user list with every account
# registered so far.
registered=()
register_and_list() {
  local name=$1
  request "registration of $name" 200 "${signed_in[@]}" -H "Origin: $base" \
    --data "COMMAND=WILLBEADD&NAME=$name&PASS=Pk9-test&UID=&GID=members&GCOS=&DIR=/home/&SHELL=/bin/bash" \
    "$base/orvanta/orvanta.cgi"
  registered+=("$name")
  ldapsearch -x -LLL -H "$(/orvanta-test/serve.d/slapd uri "$ldap_dir")" -b dc=orvanta,dc=test \
    "(uid=$name)" uid | grep -qx "uid: $name" || fail "no entry of $name in the directory"
  request "user list" 200 "${signed_in[@]}" "$base/orvanta/orvanta.cgi?COMMAND=VIEW"
  local each
  for each in "${registered[@]}"; do
    grep -q "<TD>$each</TD>" "$work/body" || fail "$each is not in the user list"
  done
}

if [[ -n $old_deb ]]; then
  register_and_list before
  apt install "$(echo "$deb_dir"/orvanta_*.deb)"
  lines_before=$(cat "$error_log" 2>/dev/null | wc -l)
  request "menu page without orvanta-ldap" 503 "${signed_in[@]}" \
    "$base/orvanta/orvanta.cgi?COMMAND=MENU"
  iconv -f EUC-JP -t UTF-8 "$work/body" | grep -q 'パッケージ orvanta-ldap のインストールが必要です' ||
    fail "the page does not name orvanta-ldap"
  named=$(tail -n +"$((lines_before + 1))" "$error_log" | grep -c 'install the package orvanta-ldap' || true)
  [[ $named == 1 ]] && pass "one line of the error log names orvanta-ldap" ||
    fail "$named lines of the error log name orvanta-ldap"
  apt install "$(echo "$deb_dir"/orvanta-ldap_*.deb)"
fi
register_and_list after
echo "$(dpkg-query -W -f='${Package} ${Version}, ' orvanta orvanta-ldap)slapd $(slapd -VV 2>&1 | grep -o 'slapd [0-9.]*' | head -n 1)"

rm -rf "$work"
if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "directory: all checks passed"
