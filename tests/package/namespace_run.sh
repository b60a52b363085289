#!/usr/bin/env bash
# One web server with the installed package, in namespaces of its own:
#
#   unshare --mount --net --pid --fork --mount-proc --propagation private \
#     namespace_run.sh apache2|lighttpd WORK_DIR USER:PASSWORD ACCOUNT
#
# The network has only its own loopback, so the server listens on port 80
# as configured and nobody else reaches it. /etc and /var/lib/apache2 are
# overlays whose changes (the README's a2enmod or lighty-enable-mod, the
# accounts the program makes) vanish with the namespace; /home, /var/mail,
# /run and the servers' log directories are empty tmpfs, and lastlog and
# faillog, which useradd writes in place, are copies. The account tools
# replace /etc/passwd and its kin by renaming, which a single bind-mounted
# file would refuse. The operation log and the lock are the package's own,
# in /var/log/orvanta and /var/lib/orvanta.
#
# Checks the program's sign-in (also for a caller of the web server's group
# that runs it without the server), the pages in a session, a registration
# and a deletion through the server, signing out, that cfg_file.cfg is never
# served, and that no URL beginning with the program's name sends a file.
# With Apache also the second factor: enrolling on the page with the secret
# it shows (codes by oathtool, as a phone's authenticator makes them),
# signing in with password and code, a replayed code and a spent recovery
# code refused, and orvanta-operator totp-reset letting the password alone
# in again.
set -euo pipefail

server=$1
work=$2
login=$3
account=$4
log=/var/log/orvanta/orvanta.log
readonly password_of_account=Vq8.Lm2pXz-w

failures=0
fail() {
  echo "FAIL [$server]: $1"
  failures=$((failures + 1))
}
pass() { echo "ok [$server]: $1"; }
. "$(dirname "$0")/web_lib.sh"
readonly origin_header="Origin: $base"

mount -t tmpfs -o mode=0700 tmpfs "$work"

overlay() {
  local dir=$1 name=$2
  mkdir "$work/$name.upper" "$work/$name.work"
  mount -t overlay overlay \
    -o "lowerdir=$dir,upperdir=$work/$name.upper,workdir=$work/$name.work" "$dir"
}
overlay /etc etc
if [[ -d /var/lib/apache2 ]]; then
  overlay /var/lib/apache2 apache2-state
fi
for dir in /home /var/mail /run /var/log/apache2 /var/log/lighttpd; do
  if [[ -d $dir ]]; then
    mount -t tmpfs tmpfs "$dir"
  fi
done
# A tmpfs is 1777, and the program refuses homes below a directory that
# others may write: /home gets the mode it has on every host.
chmod 0755 /home
mkdir -p /run/lock
for file in /var/log/lastlog /var/log/faillog; do
  if [[ -f $file ]]; then
    cp -p "$file" "$work/${file##*/}"
    mount --bind "$work/${file##*/}" "$file"
  fi
done
ip link set lo up

# The README's steps on top of the host's configuration.
prepare_apache2() {
  a2query -q -c orvanta || fail "the package did not enable its Apache configuration"
  a2enmod -q cgid headers >/dev/null
  # apache2ctl would read these and make the directories.
  set -a +u
  . /etc/apache2/envvars
  set +a -u
  mkdir -p "$APACHE_RUN_DIR" "$APACHE_LOCK_DIR" "$APACHE_LOG_DIR"
}
prepare_lighttpd() {
  lighty-enable-mod orvanta >/dev/null
}

start_server() {
  case $server in
    apache2) apache2 -DFOREGROUND & ;;
    lighttpd) lighttpd -D -f /etc/lighttpd/lighttpd.conf & ;;
  esac
  server_pid=$!
}

# A bounded wait for the server to listen.
await_server() {
  for _ in $(seq 100); do
    curl -s -o /dev/null "$base/" && return
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL [$server]: the server did not start"
  cat /var/log/"$server"/* 2>/dev/null || true
  exit 1
}

stop_server() {
  kill "$server_pid"
  wait "$server_pid" || true
}

"prepare_$server"
start_server
await_server

# The settings are never sent, with or without the login.
settings_served=0
expect_no_settings() {
  local path=$1 how=$2
  local -a with=()
  [[ $how == signed-in ]] && with=("${signed_in[@]}")
  : >"$work/body"
  curl -s -o "$work/body" --path-as-is "${with[@]}" "$base$path" || true
  if grep -q 'USERADD=' "$work/body"; then
    fail "cfg_file.cfg served at $path ($how)"
    settings_served=1
  fi
}

# Every URL that goes on after the program's name runs it or finds nothing
# (404, or 400 for one the server takes for malformed); none sends a file.
expect_program_or_nothing() {
  local status
  status=$(curl -s -o "$work/body" -w '%{http_code}' --path-as-is "${signed_in[@]}" "$base$1" || true)
  if [[ $(head -c 4 "$work/body") != $'\x7fELF' ]] && ! grep -q 'USERADD=' "$work/body" &&
     { [[ $status == 40[04] ]] || grep -q '<TITLE>orvanta ver\.' "$work/body"; }; then
    pass "$1: $status"
  else
    fail "$1: $status, neither the program's page nor 404"
  fi
}

# The program sends these with every page, and the snippets with the menu
# page (Apache's after the README's "a2enmod headers"). same-origin, never
# no-referrer, which would make browsers send "Origin: null" to the site.
readonly protecting_headers=(
  "X-Frame-Options: DENY"
  "Content-Security-Policy: frame-ancestors 'none'"
  "X-Content-Type-Options: nosniff"
  "Referrer-Policy: same-origin"
  "Cache-Control: no-store"
)
expect_protecting_headers() {
  local header
  for header in "${protecting_headers[@]}"; do
    if [[ $(grep -cix "$header"$'\r' "$work/headers") != 1 ]]; then
      fail "$1 is not sent with one \"$header\": $(grep -i "^${header%%:*}:" "$work/headers")"
    fi
  done
}

# lighttpd without its cgi module serves nothing at /cgi-bin/ (see the end).
request "menu page without a login" 200 "$base/orvanta/"
declare -A cgi_bin_status=([apache2]=200 [lighttpd]=404)
for path in /orvanta/orvanta.cgi /cgi-bin/orvanta/orvanta.cgi; do
  expected=200
  [[ $path == /orvanta/* ]] || expected=${cgi_bin_status[$server]}
  request "$path without a session" "$expected" "$base$path?COMMAND=VIEW"
  [[ $expected != 200 ]] || expect_sign_in_page "$path without a session"
  request "$path with Basic credentials (AUTH_BASIC is off)" "$expected" -u "$login" "$base$path"
  [[ $expected != 200 ]] || expect_sign_in_page "$path with Basic credentials"
done
sign_in "${login%%:*}:wrong" /orvanta/orvanta.cgi 200
expect_sign_in_page "a sign-in with a wrong password"
[[ -z $token ]] || fail "a wrong password started a session"
sign_in "$login" /orvanta/orvanta.cgi 303

request "menu page" 200 "$base/orvanta/"
cmp -s "$work/body" /usr/share/orvanta/www/index.html || fail "the menu page is not the installed one"
grep -qix 'Content-Type: text/html; charset=euc-jp'$'\r' "$work/headers" ||
  fail "the menu page is not sent as EUC-JP: $(grep -i '^Content-Type' "$work/headers")"
expect_protecting_headers "the menu page"
request "user list" 200 "${signed_in[@]}" "$base/orvanta/orvanta.cgi?COMMAND=VIEW"
expect_protecting_headers "the user list"
grep -q 'ユーザー一覧' <(iconv -f EUC-JP -t UTF-8 "$work/body") || fail "the session shows no user list"
if [[ $server == apache2 ]]; then
  request "program at /cgi-bin/orvanta/, the session of /orvanta/" 200 "${signed_in[@]}" \
    "$base/cgi-bin/orvanta/orvanta.cgi?COMMAND=VIEW"
  expect_sign_in_page "/cgi-bin/orvanta/ with the cookie of /orvanta/"
else
  request "program at /cgi-bin/orvanta/, cgi module off" 404 "${signed_in[@]}" "$base/cgi-bin/orvanta/orvanta.cgi"
fi

for path in /orvanta/cfg_file.cfg /cgi-bin/orvanta/cfg_file.cfg /orvanta/../cgi-bin/orvanta/cfg_file.cfg \
            /orvanta/%63fg_file.cfg /cgi-bin/orvanta/%63fg_file.cfg; do
  expect_no_settings "$path" anonymous
  expect_no_settings "$path" signed-in
done
((settings_served)) || pass "cfg_file.cfg not served"
for path in /orvanta/orvanta.cgi/ /orvanta/orvanta.cgi/x /orvanta/orvanta.cgi/cfg_file.cfg \
            /orvanta/orvanta.cgi%2fcfg_file.cfg /orvanta/orvanta.cgi%2Fx /orvanta/orvanta.cgix \
            /orvanta/orvanta.cgi%00 /orvanta/orvanta%2ecgi; do
  expect_program_or_nothing "$path"
done

# A process of the web server's group that runs the program itself, naming
# an administrator as the web server would, changes nothing.
registration="COMMAND=WILLBEADD&NAME=$account&PASS=$password_of_account&UID=&GID=&GCOS=&DIR=/home/&SHELL=/bin/bash"
answer=$(cd /usr/lib/cgi-bin/orvanta && printf '%s' "$registration" |
  setpriv --reuid=www-data --regid=www-data --init-groups env -i REQUEST_METHOD=POST \
    CONTENT_LENGTH=${#registration} REMOTE_USER="${login%%:*}" REMOTE_ADDR=192.0.2.1 ./orvanta.cgi |
  head -n 1)
if [[ $answer == "Status: 403 Forbidden" ]] && ! grep -q "^$account:" /etc/passwd; then
  pass "a www-data caller without the password is refused"
else
  fail "a www-data caller without the password: $answer"
fi

log_lines_before=0
if [[ -f $log ]]; then
  log_lines_before=$(wc -l <"$log")
fi

request "registration" 200 "${signed_in[@]}" -H "$origin_header" \
  --data "COMMAND=WILLBEADD&NAME=$account&PASS=$password_of_account&UID=&GID=&GCOS=Package+Test&DIR=/home/&SHELL=/bin/bash&TOKEN=$token" \
  "$base/orvanta/orvanta.cgi"
grep -q "^$account:x:[0-9]*:[0-9]*:Package Test:/home/$account:/bin/bash\$" /etc/passwd ||
  fail "no account $account in /etc/passwd"
grep -q "^$account:\\\$y\\\$" /etc/shadow || fail "no yescrypt password for $account in /etc/shadow"
[[ -d /home/$account ]] || fail "no home directory /home/$account"

request "deletion" 200 "${signed_in[@]}" -H "$origin_header" \
  --data "COMMAND=WILLBEDEL&NAME=$account&TOKEN=$token" "$base/orvanta/orvanta.cgi"
if grep -q "^$account:" /etc/passwd /etc/shadow /etc/group; then
  fail "$account is still in the account files"
fi
if [[ -e /home/$account ]]; then
  fail "/home/$account is still there"
fi

new_records=$(tail -n +"$((log_lines_before + 1))" "$log" | cut -d, -f1-3)
if [[ $new_records == "ADD,$account,127.0.0.1"$'\n'"DEL,$account,127.0.0.1" ]]; then
  pass "both changes in $log"
else
  fail "records in $log: $new_records"
fi

request "sign-out" 200 "${signed_in[@]}" -c "$work/jar" -H "$origin_header" \
  --data "COMMAND=LOGOUT&TOKEN=$token" "$base/orvanta/orvanta.cgi"
ls /var/lib/orvanta/sessions | grep -q . && fail "a session is left after signing out"
request "user list after signing out" 200 "${signed_in[@]}" "$base/orvanta/orvanta.cgi?COMMAND=VIEW"
expect_sign_in_page "the user list after signing out"

if [[ $server == apache2 ]]; then
  sign_in "$login" /orvanta/orvanta.cgi 303
  request "enrolment: a new secret" 200 "${signed_in[@]}" -H "$origin_header" \
    --data "COMMAND=TOTP&STEP=NEW&TOKEN=$token" --data-urlencode "PASSWORD=${login#*:}" \
    "$base/orvanta/orvanta.cgi"
  secret=$(LC_ALL=C sed -n 's/.*<TT ID="secret">\([A-Z2-7]*\)<.*/\1/p' "$work/body")
  uri=$(orvanta-operator totp "${login%%:*}" </dev/null 2>/dev/null | head -n 1 || true)
  [[ $uri == "otpauth://totp/orvanta%20($(hostname)):${login%%:*}?secret="*"&issuer=orvanta" ]] ||
    fail "orvanta-operator totp printed $uri"
  request "enrolment: its first code" 200 "${signed_in[@]}" -c "$work/jar" -H "$origin_header" \
    --data "COMMAND=TOTP&STEP=CONFIRM&CODE=$(oathtool --totp -b "$secret")&TOKEN=$token" \
    "$base/orvanta/orvanta.cgi"
  recovery=$(LC_ALL=C sed -n '/<PRE ID="recovery">/{n;p;q}' "$work/body")
  [[ $recovery =~ ^[A-Z2-7]{10}$ ]] || fail "no recovery codes after enrolling"
  # The enrolment's code is spent: the next one comes with the next step.
  sleep $((31 - $(date +%s) % 30))
  code=$(oathtool --totp -b "$secret")
  for attempt in "$code 303" "$code 200" "$recovery 303" "$recovery 200"; do
    sign_in "$login" /orvanta/orvanta.cgi 200
    give_code ${attempt}
  done
  # The reset ends every session of the operator, also those the refused
  # codes left waiting: the sign-in sweeps them, the sign-out ends its own.
  orvanta-operator totp-reset "${login%%:*}" || fail "orvanta-operator totp-reset"
  sign_in "$login" /orvanta/orvanta.cgi 303
  request "sign-out after the reset" 200 "${signed_in[@]}" -H "$origin_header" \
    --data "COMMAND=LOGOUT&TOKEN=$token" "$base/orvanta/orvanta.cgi"
fi

stop_server

# lighttpd's own cgi module maps /cgi-bin/ to /usr/lib/cgi-bin/ for
# everyone: the program still asks for its sign-in there.
if [[ $server == lighttpd ]]; then
  lighty-enable-mod cgi >/dev/null
  start_server
  await_server
  request "/cgi-bin/orvanta/orvanta.cgi without a session, cgi module on" 200 \
    "$base/cgi-bin/orvanta/orvanta.cgi"
  expect_sign_in_page "/cgi-bin/orvanta/orvanta.cgi, cgi module on"
  sign_in "$login" /cgi-bin/orvanta/orvanta.cgi 303
  request "/cgi-bin/orvanta/orvanta.cgi in a session, cgi module on" 200 "${signed_in[@]}" \
    "$base/cgi-bin/orvanta/orvanta.cgi?COMMAND=VIEW"
  expect_no_settings /cgi-bin/orvanta/cfg_file.cfg anonymous
  expect_no_settings /cgi-bin/orvanta/cfg_file.cfg signed-in
  ((settings_served)) || pass "cfg_file.cfg not served, cgi module on"
  stop_server
fi

((failures == 0))
