#!/usr/bin/env bash
# Installs the package that build_test.sh built, as the README says, with
# Apache (mod_cgid) and then lighttpd, each serving it in namespaces of its
# own (namespace_run.sh); then purges it, removes what the test installed,
# and checks that the machine is as the test found it.
#
#   install_test.sh DEB_DIR
#
# Skipped where an orvanta package is already installed (the test would
# replace it), without root, or where no namespaces can be made.
set -euo pipefail

deb_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
skip=77
readonly login_user=admin
readonly account=pkgtest
# Commands the test uses, and the packages that bring them.
readonly needed_commands=(apache2 htpasswd lighttpd curl ip oathtool)
readonly needed_packages=(apache2 apache2-utils lighttpd curl iproute2 oathtool)
readonly policy=/usr/sbin/policy-rc.d
# Everything of the package, of which nothing may be left after the purge.
readonly package_paths=(
  /etc/orvanta /etc/logrotate.d/orvanta
  /etc/apache2/conf-available/orvanta.conf /etc/apache2/conf-enabled/orvanta.conf
  /etc/lighttpd/conf-available/50-orvanta.conf /etc/lighttpd/conf-enabled/50-orvanta.conf
  /usr/lib/cgi-bin/orvanta /usr/share/orvanta /usr/share/doc/orvanta
  /usr/share/lintian/overrides/orvanta /var/log/orvanta /var/lib/orvanta
  /var/lib/apache2/conf/enabled_by_maint/orvanta)
# Where the web servers' packages leave things; compared before and after.
readonly watched=(/usr/lib/cgi-bin /var/www /var/lib/apache2 /var/log/apache2
                  /var/cache/apache2 /run/apache2 /var/lib/systemd/deb-systemd-helper-enabled)

if [[ $(id -u) != 0 ]]; then
  echo "SKIP: the install test installs packages and needs root"
  exit $skip
fi
if ! unshare --mount --net --pid --fork --mount-proc true 2>/dev/null; then
  echo "SKIP: no mount, network and process namespaces can be made here"
  exit $skip
fi
status=$(dpkg-query -W -f='${db:Status-Abbrev}' orvanta 2>/dev/null || true)
if [[ -n $status && $status != "un " ]]; then
  echo "SKIP: an orvanta package is already on this machine (dpkg status '$status'); the test would replace it"
  exit $skip
fi
if [[ -e /etc/orvanta ]]; then
  echo "SKIP: /etc/orvanta is on this machine; the test would replace its password file"
  exit $skip
fi
debs=("$deb_dir"/orvanta_*.deb)
if [[ ! -f ${debs[0]} ]]; then
  echo "FAIL: no package in $deb_dir (build_test.sh builds it)"
  exit 1
fi
deb=${debs[0]}

failures=0
fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}

apt() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq \
    --no-install-recommends "$@" >>"$work/apt.log" 2>&1 || {
    tail -n 30 "$work/apt.log"
    return 1
  }
}

packages() { dpkg-query -W -f='${binary:Package} ${Version} ${db:Status-Abbrev}\n' | LC_ALL=C sort; }

# Owners, modes, links and contents of /etc; owners, modes and links below
# the watched directories.
state() {
  find /etc -xdev -printf '%M %u:%g %p -> %l\n' | LC_ALL=C sort
  find /etc -xdev -type f -exec md5sum {} + | LC_ALL=C sort -k2
  local dir
  for dir in "${watched[@]}"; do
    if [[ -e $dir ]]; then
      find "$dir" -xdev -printf '%M %u:%g %p -> %l\n' | LC_ALL=C sort
    fi
  done
}

work=$(mktemp -d)
# orvanta needs openssh-client, whose installation makes a system group
# that no purge takes away: it is there before the "before", as on most hosts.
if ! dpkg-query -W -f='${Status}' openssh-client 2>/dev/null | grep -q 'ok installed'; then
  apt-cache show openssh-client >/dev/null 2>&1 || apt update
  apt install openssh-client
fi
packages >"$work/packages.before"
state >"$work/state.before"
made_policy=no
made_htpasswd=no
undone=no

# Purges the package and whatever the test installed, even after a failure.
# What the test installed is taken right after its installs, so that a
# package another process installs meanwhile is left alone.
undo() {
  [[ $undone == yes ]] && return
  undone=yes
  if dpkg-query -W -f='${db:Status-Abbrev}' orvanta 2>/dev/null | grep -qv '^un'; then
    apt purge orvanta || fail "apt-get purge orvanta"
  fi
  if [[ ! -f $work/packages.installed ]]; then
    packages >"$work/packages.installed"
  fi
  local added
  mapfile -t added < <(LC_ALL=C comm -13 <(cut -d' ' -f1 "$work/packages.before") \
                                          <(cut -d' ' -f1 "$work/packages.installed") |
                       grep -vx orvanta)
  if ((${#added[@]})); then
    echo "removing what the test installed: ${added[*]}"
    apt purge "${added[@]}" || fail "apt-get purge ${added[*]}"
  fi
  if [[ $made_policy == yes ]]; then
    rm -f "$policy"
  fi
  # The older package's password file, when the new one never took it.
  if [[ $made_htpasswd == yes && -e /etc/orvanta/htpasswd ]]; then
    rm -f /etc/orvanta/htpasswd
    rmdir --ignore-fail-on-non-empty /etc/orvanta
  fi
}
trap 'undo; rm -rf "$work"' EXIT

# Installing a server must not start it on this machine.
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\n# orvanta install test: start no services\nexit 101\n' >"$policy"
  chmod 0755 "$policy"
  made_policy=yes
fi

missing=()
for i in "${!needed_commands[@]}"; do
  PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "${needed_commands[$i]}" >/dev/null ||
    missing+=("${needed_packages[$i]}")
done
start=$SECONDS
if ((${#missing[@]})); then
  apt-cache show "${missing[@]}" >/dev/null 2>&1 || apt update
  apt install "${missing[@]}"
  echo "installed ${missing[*]} in $((SECONDS - start)) s"
fi
dpkg-query -W -f='${Package} ${Version}\n' apache2 lighttpd

# An upgrade from the web server's login: the password file of the older
# package's README is there first, with a bcrypt login the program takes
# and an Apache MD5 one it cannot verify.
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
made_htpasswd=yes
mkdir -p /etc/orvanta
htpasswd -cbB /etc/orvanta/htpasswd "$login_user" "$password" 2>/dev/null
htpasswd -bm /etc/orvanta/htpasswd legacy "$password" 2>/dev/null
chown root:www-data /etc/orvanta/htpasswd
chmod 0640 /etc/orvanta/htpasswd
apt install "$deb"
packages >"$work/packages.installed"
echo "installed $(basename "$deb")"

# The operators file: root's alone, the bcrypt login as a full
# administrator, the other one left out and named.
if [[ $(stat -c '%a %U:%G' /etc/orvanta/operators) == "600 root:root" &&
      $(cat /etc/orvanta/operators) == "$(grep "^$login_user:" /etc/orvanta/htpasswd):*" ]]; then
  echo "ok: /etc/orvanta/operators made from the password file"
else
  fail "/etc/orvanta/operators: $(stat -c '%a %U:%G' /etc/orvanta/operators) $(cat /etc/orvanta/operators)"
fi
grep -q '^orvanta:   legacy\b' "$work/apt.log" || fail "the login legacy was not named at install"

for server in apache2 lighttpd; do
  mkdir "$work/$server"
  unshare --mount --net --pid --fork --mount-proc --propagation private -- \
    "$here/namespace_run.sh" "$server" "$work/$server" "$login_user:$password" "$account" ||
    fail "$server"
done

# What the program made, as the program made it.
expect_entry() {
  local path=$1 expected=$2 actual
  actual=$(stat -c '%A %U:%G' "$path" 2>&1)
  if [[ $actual == "$expected" ]]; then
    echo "ok: $path $actual"
  else
    fail "$path: $actual, expected $expected"
  fi
}
expect_entry /var/log/orvanta "drwxr-x--- root:adm"
expect_entry /var/log/orvanta/orvanta.log "-rw-r--r-- root:root"
expect_entry /var/lib/orvanta/orvanta.lock "-rw------- root:root"

apt purge orvanta || fail "apt-get purge orvanta"
for path in "${package_paths[@]}"; do
  if [[ -e $path || -L $path ]]; then
    fail "left after the purge: $path"
  fi
done
status=$(dpkg-query -W -f='${db:Status-Abbrev}' orvanta 2>/dev/null || true)
if [[ -n $status && $status != "un " ]]; then
  fail "dpkg status of orvanta after the purge: '$status'"
fi
echo "ok: nothing of the package is left"

undo

# The web servers' packages leave empty directories behind on purge
# (/run/apache2/socks, /var/lib/apache2), and lighttpd its placeholder page
# (/var/www/html/index.lighttpd.html): the test made them, so it takes them
# away; anything else left is a failure below.
if ! grep -q " /var/www/html/index.lighttpd.html -> " "$work/state.before"; then
  rm -f /var/www/html/index.lighttpd.html
fi
for dir in "${watched[@]}"; do
  if [[ -d $dir ]] && ! grep -q " $dir -> " "$work/state.before" &&
     [[ -z $(find "$dir" ! -type d -print -quit) ]]; then
    rm -r "$dir"
    echo "removed the empty $dir that the web server's package left"
  fi
done

if diff "$work/packages.before" <(packages) >"$work/packages.diff"; then
  echo "ok: the installed packages are as before"
else
  cat "$work/packages.diff"
  fail "the installed packages differ"
fi
if diff "$work/state.before" <(state) >"$work/state.diff"; then
  echo "ok: /etc and the web servers' directories are as before"
else
  head -n 40 "$work/state.diff"
  fail "/etc or the web servers' directories differ"
fi

if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "package install: all checks passed in $SECONDS s"
