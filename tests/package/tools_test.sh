#!/usr/bin/env bash
# This release's account tools, given every kind of command line the
# program builds (the "$ " lines of TABLE, with the package's tool
# settings), in order, on a tree of their own: seeded with the same
# accounts, with this release's login.defs, default/useradd, skel, subuid
# and subgid. After each line, its exit status and what changed in passwd,
# shadow, group, gshadow, subuid, subgid and the homes are written below it
# as TABLE has them. The table is one for every release: a result that
# differs between the releases fails in one of them, unless the table
# gives it for each release ("  [12] ...", "  [13] ...").
#
#   tools_test.sh TABLE          (as root, in the release's root)
#
# --prefix for the tools that have it in every release; chpasswd and chage
# chroot into the tree with -R, which Debian 12's take (they have no
# --prefix there).
set -euo pipefail

table=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
today=$(($(date +%s) / 86400))

mkdir -p "$tree/etc/default" "$tree/home/taro" "$tree/var/mail"
cp -r /etc/skel "$tree/etc/"
cp /etc/login.defs "$tree/etc/"
cp /etc/default/useradd "$tree/etc/default/"
for file in subuid subgid; do
  [[ ! -e /etc/$file ]] || cp "/etc/$file" "$tree/etc/"
done
cat >"$tree/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/bash
daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin
taro:x:1001:100:Taro:/home/taro:/bin/bash
EOF
cat >"$tree/etc/shadow" <<'EOF'
root:*:19000:0:99999:7:::
daemon:*:19000:0:99999:7:::
taro:$y$j9T$F5Jx5fExrKuPp53xLKQ..1$X3DX6M94c7o7TNuedaLIdQXqHabOxnxiMaoT.tChIA:19000:0:99999:7::20500:
EOF
cat >"$tree/etc/group" <<'EOF'
root:x:0:
daemon:x:1:
users:x:100:
staff:x:1100:taro
EOF
cat >"$tree/etc/gshadow" <<'EOF'
root:*::
daemon:*::
users:*::
staff:!::taro
EOF
chmod 0640 "$tree/etc/shadow" "$tree/etc/gshadow"
chown 1001:100 "$tree/home/taro"

# Every line of the files, named; every home and mail spool with its mode
# and owner.
snapshot() {
  local file
  for file in passwd shadow group gshadow subuid subgid; do
    [[ ! -e $tree/etc/$file ]] || sed "s/^/$file /" "$tree/etc/$file"
  done
  find "$tree/home" "$tree/var/mail" -mindepth 1 -maxdepth 1 -printf '%P %m %U:%G\n' | LC_ALL=C sort |
    sed 's/^/home-or-mail /'
}

# The line with the tools of the package's settings, inside the tree.
tools() {
  sed -e "s|@useradd@|/usr/sbin/useradd --prefix $tree|g" \
      -e "s|@usermod@|/usr/sbin/usermod --prefix $tree|g" \
      -e "s|@userdel@|/usr/sbin/userdel --prefix $tree|g" \
      -e "s|@groupadd@|/usr/sbin/groupadd --prefix $tree|g" \
      -e "s|@groupdel@|/usr/sbin/groupdel --prefix $tree|g" \
      -e "s|@chpasswd@|/usr/sbin/chpasswd -R $tree|g" \
      -e "s|@chage@|/usr/bin/chage -R $tree|g" -e "s|@tree@|$tree|g" <<<"$1"
}

results=$(
  before=$(snapshot)
  while IFS= read -r line; do
    [[ $line == '$ '* || $line == '#'* || -z $line ]] || continue
    echo "$line"
    [[ $line == '$ '* ]] || continue
    status=0
    sh -c "$(tools "${line#\$ }")" >/dev/null 2>&1 || status=$?
    echo "  exit $status"
    after=$(snapshot)
    diff --old-line-format='  - %L' --new-line-format='  + %L' --unchanged-line-format='' \
      <(echo "$before") <(echo "$after") | sed "s/:$today:/:@TODAY@:/" || true
    before=$after
  done <"$table"
)

# The table's lines for this release, without their mark.
release=$(. /etc/os-release && echo "$VERSION_ID")
expected=$(sed -e "s/^  \[$release\] /  /" -e '/^  \[[0-9]*\] /d' "$table")
if diff -u <(echo "$expected") <(echo "$results"); then
  echo "ok: the tools of $(. /etc/os-release && echo "$PRETTY_NAME") leave what $table says"
else
  echo "FAIL: the tools differ from $table (above: - the table, + this release)"
  exit 1
fi
