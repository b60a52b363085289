#!/usr/bin/env bash
# A batch whose client goes away after the first row, behind lighttpd and
# Apache with the package's own snippets, and the program still runs every
# line's tool and writes every record. As on an installed host, the servers
# run the set-user-ID copy as www-data, and its writes fail once the client
# is gone; lighttpd run as root (as scripts/serve runs it) also sends the
# program TERM.
#
#   gone_client_test.sh BUILD_DIR
set -euo pipefail

project=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:?usage: gone_client_test.sh BUILD_DIR}
lines=5
work=$(mktemp -d /tmp/orvanta-servers-XXXXXX)
server_pid=
stop_server() {
  [[ -z $server_pid ]] || kill "$server_pid" 2>/dev/null || true
  [[ -z $server_pid ]] || wait "$server_pid" 2>/dev/null || true
  server_pid=
}
trap 'stop_server; rm -rf "$work"' EXIT
fail() {
  echo "FAIL ($server): $*" >&2
  for log in "$work"/log/*; do echo "--- $log"; cat "$log"; done >&2
  exit 1
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The installation: the set-user-ID copy and its settings, root's alone;
# the tools are stand-ins that note their call and take a second.
mkdir -p "$work/cgi" "$work/www" "$work/log" "$work/tools"
chmod 755 "$work" "$work/cgi" "$work/www"
chown www-data "$work/log"
install -m 4755 -o root -g root "$build/orvanta.cgi" "$work/cgi/orvanta.cgi"
printf '#!/bin/sh\necho "$*" >>%s/calls\nsleep 1\n' "$work" >"$work/tools/useradd"
printf '#!/bin/sh\ncat >/dev/null\n' >"$work/tools/chpasswd"
chmod 755 "$work/tools/useradd" "$work/tools/chpasswd"
printf '%s\n' "USERADD=$work/tools/useradd" "CHPASSWD=$work/tools/chpasswd" SYSTEMUID=999 \
  SYSTEMGID=999 SHELL1=/bin/sh >"$work/cgi/cfg_file.cfg"

snippet() {  # the package's, with this installation's paths
  sed -e "s|/usr/lib/cgi-bin/orvanta|$work/cgi|" -e "s|/usr/share/orvanta/www|$work/www|" \
    "$project/debian/$1"
}

lighttpd_config() {  # port, user
  [[ $2 == root ]] || printf 'server.username = "%s"\nserver.groupname = "%s"\n' "$2" "$2"
  cat <<EOF
server.modules = ("mod_alias", "mod_setenv")
server.bind = "127.0.0.1"
server.port = $1
server.document-root = "$work/www"
server.errorlog = "$work/log/lighttpd.log"
server.breakagelog = "$work/log/cgi.log"
EOF
  snippet lighttpd/50-orvanta.conf
}

apache_config() {  # port, user
  local modules=/usr/lib/apache2/modules module
  for module in mpm_event authz_core alias cgid dir mime env filter deflate; do
    echo "LoadModule ${module}_module $modules/mod_$module.so"
  done
  cat <<EOF
ServerRoot $work/log
ServerName 127.0.0.1
Listen 127.0.0.1:$1
User $2
Group $2
PidFile $work/log/apache.pid
ErrorLog $work/log/apache.log
ScriptSock $work/log/cgid.sock
DocumentRoot $work/www
TypesConfig /etc/mime.types
AddOutputFilterByType DEFLATE text/html text/plain
EOF
  snippet apache2/orvanta.conf
}

start_server() {  # name, user, port
  case $1 in
    lighttpd)
      lighttpd_config "$3" "$2" >"$work/lighttpd.conf"
      lighttpd -D -f "$work/lighttpd.conf" &
      ;;
    apache)
      apache_config "$3" "$2" >"$work/apache.conf"
      apache2 -f "$work/apache.conf" -DFOREGROUND &
      ;;
  esac
  server_pid=$!
  for ((i = 0; i < 100; i++)); do
    curl -s -o /dev/null "http://127.0.0.1:$3/" && return
    sleep 0.1
  done
  fail "the server did not answer"
}

for server in "lighttpd www-data" "lighttpd root" "apache www-data"; do
  rm -f "$work/calls" "$work/cgi/orvanta.log"
  port=$(free_port)
  start_server $server "$port"
  body="COMMAND=BATCHADD&DIR=%2Fhome%2F&SHELL=%2Fbin%2Fsh&LINES="
  expected=
  for ((i = 1; i <= lines; i++)); do
    body+="gone$i%2CVq8.Lm2$i%0A"
    expected+="ADD,gone$i"$'\n'
  done
  # The client, which takes compressed pages as browsers do, reads up to
  # the first row's count and hangs up.
  { curl -s -N --compressed --data-binary "$body" "http://127.0.0.1:$port/orvanta/orvanta.cgi" || true; } |
    LC_ALL=C grep -m1 -q ">1 / $lines " || fail "no first row streamed"
  ran=$(wc -l <"$work/calls")
  ((ran < lines)) || fail "every line ran before the client went away: nothing to show"
  for ((i = 0; i < 100; i++)); do
    [[ $(wc -l <"$work/cgi/orvanta.log" 2>/dev/null) -lt $lines ]] || break
    sleep 0.2
  done
  [[ $(cut -d, -f1,2 "$work/cgi/orvanta.log")$'\n' == "$expected" ]] ||
    fail "records: $(cat "$work/cgi/orvanta.log")"
  [[ $(wc -l <"$work/calls") == "$lines" ]] || fail "tool calls: $(cat "$work/calls")"
  echo "$server: the client left after $ran of $lines lines; all $lines made and recorded"
  stop_server
done
