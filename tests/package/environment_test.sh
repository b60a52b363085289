#!/usr/bin/env bash
# Nothing of an unprivileged caller's environment reaches a library of the
# installed set-user-ID program. The packages that build_test.sh built are
# installed in mount and network namespaces of this test's own, where /etc,
# /usr and /var are overlays whose changes vanish with the namespace; a
# throw-away slapd (scripts/serve.d/slapd) holds two accounts, and the
# program reads it through the installed module over ldapi, StartTLS and
# ldaps, with a simple bind.
#
# The caller, uid 65534 in the web server's group, names its own folder in
# SASL_PATH and the other variables libraries read; the folder holds a SASL
# plugin whose constructor writes a marker. For each transport:
#   - root, running the program itself (no set-user-ID start, so the
#     environment is kept), loads the plugin: the marker shows the plugin is
#     one SASL loads whenever the variables reach it;
#   - the caller's run lists the accounts, and the marker never appears;
#   - the caller's run traced by strace (as root) opens nothing in the folder.
#
#   environment_test.sh DEB_DIR
#
# Skipped without root, where no namespaces can be made, or where a command
# it needs is missing.
set -euo pipefail

skip=77
here=$(cd "$(dirname "$0")" && pwd)
readonly slapd_script=$here/../../scripts/serve.d/slapd

if [[ ${1:-} != --inside ]]; then
  deb_dir=$(realpath -- "${1:?usage: environment_test.sh DEB_DIR}")
  if [[ $(id -u) != 0 ]]; then
    echo "SKIP: the environment test installs packages and needs root"
    exit $skip
  fi
  for command in unshare setpriv strace gcc slapd slapadd openssl ip; do
    if ! PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "$command" >/dev/null; then
      echo "SKIP: $command is not installed"
      exit $skip
    fi
  done
  if ! unshare --mount --net true 2>/dev/null; then
    echo "SKIP: no mount and network namespaces can be made here"
    exit $skip
  fi
  debs=("$deb_dir"/orvanta*.deb)
  if [[ ! -f ${debs[0]} ]]; then
    echo "FAIL: no package in $deb_dir (build_test.sh builds it)"
    exit 1
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  unshare --mount --net --propagation private -- "$0" --inside "$work" "${debs[@]}"
  exit 0
fi

# ---- Inside the namespaces ---------------------------------------------------

work=$2
shift 2
readonly program_dir=/usr/lib/cgi-bin/orvanta
readonly settings=/etc/orvanta/cfg_file.cfg
readonly module=/usr/lib/orvanta/orvanta-ldap.so
readonly caller_uid=65534
readonly starttls_port=389 ldaps_port=636
readonly accounts=(envtest1 envtest2)

failures=0
fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}
pass() { echo "ok: $1"; }

# Everything the test makes lies in this tmpfs; others may pass through it
# to the caller's folder.
mount -t tmpfs -o mode=0711 tmpfs "$work"
for dir in /etc /usr /var; do
  name=${dir#/}
  mkdir "$work/$name.upper" "$work/$name.work"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$work/$name.upper,workdir=$work/$name.work" "$dir"
done
ip link set lo up

# No service of a package starts.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 0755 /usr/sbin/policy-rc.d
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
     >"$work/apt.log" 2>&1; then
  tail -n 30 "$work/apt.log"
  echo "FAIL: installing $*"
  exit 1
fi
echo "installed $(basename -a "$@" | tr '\n' ' ')"
[[ -u $program_dir/orvanta.cgi && -f $module ]] ||
  fail "the package has no set-user-ID $program_dir/orvanta.cgi or no $module"

slapd_dir=$work/slapd
trap '"$slapd_script" discard "$slapd_dir"' EXIT
mkdir "$work/etc"
printf '%s:x:%d:20001:Env Test:/home/%s:/bin/sh\n' \
  "${accounts[0]}" 20001 "${accounts[0]}" "${accounts[1]}" 20002 "${accounts[1]}" >"$work/etc/passwd"
printf 'envtest:x:20001:\n' >"$work/etc/group"
printf '%s:!:19000:0:99999:7:::\n' "${accounts[@]}" >"$work/etc/shadow"
SLAPD_TLS_PORTS="$starttls_port $ldaps_port" "$slapd_script" start "$slapd_dir" "$work/etc"

password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
printf '%s\n' "$password" | orvanta-operator add admin >/dev/null
authorization="Basic $(printf 'admin:%s' "$password" | base64 -w0)"

# The caller's folder: the plugin, named as SASL names its plugins, with the
# entry point SASL looks for.
caller=$work/caller
marker=$work/marker
mkdir "$caller"
gcc -shared -fPIC -o "$caller/libevil.so" -x c - <<PLUGIN
#include <stdio.h>
#include <unistd.h>
__attribute__((constructor)) static void planted(void) {
  FILE* marker = fopen("$marker", "a");
  if (marker == NULL) return;
  fprintf(marker, "uid=%d euid=%d\n", (int)getuid(), (int)geteuid());
  fclose(marker);
}
int sasl_client_plug_init(void) { return -1; }
PLUGIN
chown -R "$caller_uid" "$caller"

readonly environment=(
  REQUEST_METHOD=GET QUERY_STRING=COMMAND=VIEW REMOTE_ADDR=192.0.2.1
  "HTTP_AUTHORIZATION=$authorization"
  "SASL_PATH=$caller" "SASL_CONF_PATH=$caller" "LDAPCONF=$caller/ldap.conf"
  "LDAPRC=$caller/ldaprc" "GNUTLS_SYSTEM_PRIORITY_FILE=$caller/priority"
  "SSLKEYLOGFILE=$caller/keys" "HOME=$caller" "KRB5_CONFIG=$caller/krb5.conf"
  "OPENSSL_CONF=$caller/openssl.cnf")
www_data_gid=$(getent group www-data | cut -d: -f3)
readonly as_caller=(/usr/bin/setpriv "--reuid=$caller_uid" "--regid=$caller_uid"
                    "--groups=$www_data_gid")

# run PAGE [COMMAND...]: the program, with the caller's environment, started
# by COMMAND (as root itself when there is none).
run() {
  local page=$1
  shift
  (cd "$program_dir" && env -i "${environment[@]}" "$@" ./orvanta.cgi) \
    >"$page" 2>>"$work/stderr"
}

expect_accounts() {
  local what=$1 page=$2 name
  for name in "${accounts[@]}"; do
    if ! grep -q "$name" "$page"; then
      fail "$what: the list has no $name: $(head -c 600 "$page")"
      return
    fi
  done
  pass "$what: the directory's accounts are listed"
}

# The caller sends Basic credentials, which count only with AUTH_BASIC=YES.
base_settings=$(cat "$settings"; echo AUTH_BASIC=YES)
slapd_settings=$("$slapd_script" settings "$slapd_dir")
declare -A transports=(
  [ldapi]=""
  [starttls]="LDAP_URI=ldap://localhost:$starttls_port/
LDAP_STARTTLS=YES
LDAP_CACERT=$slapd_dir/tls/ca.crt"
  [ldaps]="LDAP_URI=ldaps://localhost:$ldaps_port/
LDAP_CACERT=$slapd_dir/tls/ca.crt")

for transport in ldapi starttls ldaps; do
  printf '%s\n%s\n%s\n' "$base_settings" "$slapd_settings" "${transports[$transport]}" >"$settings"
  rm -f "$marker"

  run "$work/root.html"
  expect_accounts "$transport, root" "$work/root.html"
  if [[ -s $marker ]]; then
    pass "$transport, root: SASL loads the planted plugin ($(cat "$marker"))"
  else
    fail "$transport, root: the planted plugin was not loaded, so the test proves nothing"
  fi
  rm -f "$marker"

  run "$work/caller.html" "${as_caller[@]}"
  expect_accounts "$transport, set-user-ID" "$work/caller.html"
  if [[ -e $marker ]]; then
    fail "$transport, set-user-ID: the planted plugin ran: $(cat "$marker")"
  else
    pass "$transport, set-user-ID: the planted plugin never ran"
  fi

  rm -f "$marker"
  trace=$work/$transport.strace
  run "$work/traced.html" /usr/bin/strace -f -qq -e trace=%file -o "$trace" "${as_caller[@]}"
  expect_accounts "$transport, set-user-ID under strace" "$work/traced.html"
  if grep -F "$caller" "$trace"; then
    fail "$transport, strace: the set-user-ID run opened the caller's folder (above)"
  elif ! grep -q "\"$module\"" "$trace" || ! grep -q '/sasl2"' "$trace"; then
    fail "$transport, strace: neither the module nor SASL's plugins seen opened"
  else
    pass "$transport, strace: the module and SASL's plugins opened, nothing in the caller's folder"
  fi
  [[ ! -e $marker ]] || fail "$transport, strace: the planted plugin ran: $(cat "$marker")"
done

if ((failures)); then
  echo "--- the program's error output"
  cat "$work/stderr"
  echo "$failures failed"
  exit 1
fi
echo "package environment: all checks passed in $SECONDS s"
