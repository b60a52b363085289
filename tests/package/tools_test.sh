#!/usr/bin/env bash
# The account tools of Debian 12 and 13 (each in a throw-away copy of its
# root: tools_test.sh --here) run the "$ " lines of tools.table in order on
# a tree with the release's login.defs, default/useradd, skel, subuid and
# subgid. Each must exit as the table says, and what it changes in the
# account files and homes must be the same on both but for the table's
# "< " (Debian 12) and "> " (13) lines. --prefix where both releases' tools
# have it; -R (a chroot) for chpasswd and chage.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
table=$here/tools.table
if [[ ${1:-} != --here ]]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  failed=0
  for release in bookworm trixie; do
    "$here/../../scripts/package" --try "$release" "$work" \
      bash /orvanta/tests/package/tools_test.sh --here >"$work/$release"
    diff <(grep -o '# exit [0-9]*$' "$table") <(grep -o '^  exit [0-9]*' "$work/$release" | sed 's/^ /#/') ||
      { echo "FAIL: exit statuses on $release (< the table)"; failed=1; }
  done
  diff <(grep '^[<>] ' "$table") <(diff "$work/bookworm" "$work/trixie" | grep '^[<>] ') ||
    { echo "FAIL: Debian 12 and 13 differ otherwise (< the table, > the releases)"; failed=1; }
  ((failed)) && cat "$work/bookworm" && exit 1
  echo "ok: the tools of Debian 12 and 13 differ only as tools.table says"
  exit 0
fi

tree=$(mktemp -d)
mkdir -p "$tree/etc/default" "$tree/home/taro" "$tree/var/mail"
cp -r /etc/skel /etc/login.defs /etc/subuid /etc/subgid "$tree/etc/"
cp /etc/default/useradd "$tree/etc/default/"
hash='$y$j9T$F5Jx5fExrKuPp53xLKQ..1$X3DX6M94c7o7TNuedaLIdQXqHabOxnxiMaoT.tChIA'
printf '%s\n' root:x:0:0:root:/root:/bin/bash taro:x:1001:100:Taro:/home/taro:/bin/bash \
  >"$tree/etc/passwd"
printf '%s\n' 'root:*:19000:0:99999:7:::' "taro:$hash:19000:0:99999:7::20500:" >"$tree/etc/shadow"
printf '%s\n' root:x:0: users:x:100: staff:x:1100:taro >"$tree/etc/group"
printf '%s\n' 'root:*::' 'users:*::' 'staff:!::taro' >"$tree/etc/gshadow"
chown 1001:100 "$tree/home/taro"
today=$(($(date +%s) / 86400))

snapshot() {
  local file
  for file in passwd shadow group gshadow subuid subgid; do
    sed "s/^/$file /" "$tree/etc/$file"
  done
  find "$tree/home" "$tree/var/mail" -mindepth 1 -maxdepth 1 -printf 'home %P %m %U:%G\n' |
    LC_ALL=C sort
}

before=$(snapshot)
while IFS= read -r line; do
  [[ $line == '$ '* ]] || continue
  echo "$line"
  line=${line#\$ }
  for tool in useradd usermod userdel groupadd groupdel; do
    line=${line//@$tool@/\/usr\/sbin\/$tool --prefix $tree}
  done
  line=${line//@chpasswd@/\/usr\/sbin\/chpasswd -R $tree}
  line=${line//@chage@/\/usr\/bin\/chage -R $tree}
  status=0
  sh -c "${line//@tree@/$tree}" >/dev/null 2>&1 || status=$?
  echo "  exit $status"
  after=$(snapshot)
  diff --old-line-format='  - %L' --new-line-format='  + %L' --unchanged-line-format='' \
    <(echo "$before") <(echo "$after") | sed "s/:$today:/:TODAY:/" || true
  before=$after
done <"$table"
rm -rf "$tree"
