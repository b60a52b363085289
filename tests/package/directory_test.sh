#!/usr/bin/env bash
# orvanta-ldap with the release's slapd behind lighttpd, in a throw-away
# root (scripts/package --try): registrations and the user list.
#   directory_test.sh DEB_DIR [OLD_DEB]
# With OLD_DEB (1.6.0, whose orvanta held the module) the site is upgraded:
# with the new orvanta alone, the pages and one error-log line name
# orvanta-ldap; with orvanta-ldap it works again.
set -euo pipefail

deb_dir=$1
old_deb=${2:-}
ldap=/srv/orvanta-test-ldap
# lighttpd keeps a CGI program's error lines only there (the README's step).
error_log=/var/log/lighttpd/breakage.log
work=$(mktemp -d)
failures=0
fail() { echo "FAIL [directory]: $1"; failures=$((failures + 1)); }
pass() { echo "ok [directory]: $1"; }
. "$(dirname "$0")/web_lib.sh"
apt() {
  apt-get -y -q --no-install-recommends -o Dpkg::Options::=--force-confold "$@" \
    >>/tmp/apt.log 2>&1 || { tail -n 30 /tmp/apt.log; exit 1; }
}

if [[ ${ORVANTA_IN_NAMESPACE:-} != 1 ]]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 0755 /usr/sbin/policy-rc.d
  packages=("$deb_dir"/orvanta_*.deb "$deb_dir"/orvanta-ldap_*.deb)
  [[ -z $old_deb ]] || packages=("$old_deb")
  apt install lighttpd curl iproute2 slapd ldap-utils "${packages[@]}"
  lighty-enable-mod orvanta >/dev/null
  echo "server.breakagelog = \"$error_log\"" >>/etc/lighttpd/lighttpd.conf
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  echo "$password" | orvanta-operator add admin >/dev/null
  ORVANTA_IN_NAMESPACE=1 PASSWORD=$password exec unshare --net --pid --fork --mount-proc bash "$0" "$@"
fi

ip link set lo up
mkdir -p /run/lighttpd "$work/seed"
touch "$work/seed/passwd" "$work/seed/shadow"
echo "members:x:20000:" >"$work/seed/group"  # the new accounts' group
/orvanta/scripts/serve.d/slapd start "$ldap" "$work/seed" >/dev/null
/orvanta/scripts/serve.d/slapd settings "$ldap" >>/etc/orvanta/cfg_file.cfg
lighttpd -f /etc/lighttpd/lighttpd.conf
for _ in $(seq 100); do curl -s -o /dev/null "$base/" && break; sleep 0.1; done
sign_in "admin:$PASSWORD"

# A registration through the server, then every account registered so far
# in the directory and in the user list.
registered=()
register_and_list() {
  request "registration of $1" 200 "${signed_in[@]}" -H "Origin: $base" --data \
    "COMMAND=WILLBEADD&NAME=$1&PASS=Vq8.Lm2pXz-w&UID=&GID=members&GCOS=&DIR=/home/&SHELL=/bin/bash&TOKEN=$token" \
    "$base/orvanta/orvanta.cgi"
  registered+=("$1")
  request "user list" 200 "${signed_in[@]}" "$base/orvanta/orvanta.cgi?COMMAND=VIEW"
  local name
  for name in "${registered[@]}"; do
    ldapsearch -x -LLL -H "$(/orvanta/scripts/serve.d/slapd uri "$ldap")" -b dc=orvanta,dc=test \
      "(uid=$name)" uid | grep -qx "uid: $name" || fail "no entry of $name in the directory"
    grep -q "<TD>$name</TD>" "$work/body" || fail "$name is not in the user list"
  done
}

if [[ -n $old_deb ]]; then
  register_and_list before
  apt install "$deb_dir"/orvanta_*.deb
  sign_in "admin:$PASSWORD"  # 1.7.0 signs in with its own form
  request "user list without orvanta-ldap" 503 "${signed_in[@]}" "$base/orvanta/orvanta.cgi?COMMAND=VIEW"
  iconv -f EUC-JP -t UTF-8 "$work/body" | grep -q 'パッケージ orvanta-ldap のインストールが必要です' ||
    fail "the page does not name orvanta-ldap"
  named=$(grep -c 'install the package orvanta-ldap' "$error_log" || true)
  [[ $named == 1 ]] && pass "one error-log line names orvanta-ldap" || fail "$named error-log lines name it"
  apt install "$deb_dir"/orvanta-ldap_*.deb
fi
register_and_list after
echo "$(dpkg-query -W -f='${Package} ${Version}, ' orvanta orvanta-ldap)$(slapd -VV 2>&1 | grep -o 'slapd [0-9.]*')"
((failures == 0))
