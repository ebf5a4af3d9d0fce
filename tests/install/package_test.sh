#!/usr/bin/env bash
# The Debian package: built by CPack from this build, installed with dpkg into a throwaway
# root laid out like Debian 12's (merged /usr), run from there, removed again leaving nothing
# behind; and lintian finds no error in it. Needs root (dpkg --root) and lintian.
set -euo pipefail
build="$1"
if [ "$(id -u)" -ne 0 ]; then echo "needs root for dpkg --root"; exit 77; fi
if ! command -v lintian >/dev/null; then echo "lintian is not installed"; exit 77; fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb="$(echo "$work"/out/veskoinit_*_*.deb)"
[ -f "$deb" ] || { echo "FAIL: no package in $work/out"; exit 1; }

# The throwaway root: an empty dpkg database, Debian 12's /sbin -> usr/sbin, and a file in
# /etc and /usr/sbin as every real root has.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/usr/sbin" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/etc/hostname" "$root/usr/sbin/init"
ln -s usr/sbin "$root/sbin"
listing() { (cd "$root" && find . ! -path './var/lib/dpkg*' | sort); }
before="$(listing)"

# dpkg DPKG-ARGUMENTS: quiet unless it fails.
dpkg_in_root() {
  local output
  output="$(dpkg --root="$root" --log=/dev/null "$@" 2>&1)" || { echo "FAIL: dpkg $*:"; echo "$output"; exit 1; }
}
dpkg_in_root -i "$deb"
for path in usr/sbin/veskoinit usr/sbin/veskoctl usr/sbin/vesko-service usr/sbin/vesko-run \
    usr/lib/veskoinit/bin/reboot etc/veskoinit/services etc/veskoinit/enabled \
    etc/veskoinit/conf.d usr/share/man/man8/veskoinit.8.gz usr/share/man/man5/veskoinit-script.5.gz \
    usr/share/bash-completion/completions/vesko-service usr/share/doc/veskoinit/copyright \
    usr/share/doc/veskoinit/examples/services/httpd; do
  [ -e "$root/$path" ] || [ -L "$root/$path" ] || { echo "FAIL: the package did not install /$path"; exit 1; }
done
[ "$(readlink -f "$root/usr/lib/veskoinit/bin/halt")" = "$(readlink -f "$root/sbin/veskoinit")" ] ||
  { echo "FAIL: halt does not point at /sbin/veskoinit"; exit 1; }
checked="$("$root/sbin/veskoinit" --check "$root/usr/share/doc/veskoinit/examples/services" | head -n 1)"
[ "$checked" = "veskoinit: validated 6 service(s) in $root/usr/share/doc/veskoinit/examples/services" ] ||
  { echo "FAIL: the installed veskoinit says: $checked"; exit 1; }
# Beside the machine's own init: nothing of the package is named init, halt, shutdown or reboot
# on PATH.
if dpkg-deb -c "$deb" | grep -E '/(s?bin)/(init|halt|shutdown|reboot|poweroff)$'; then
  echo "FAIL: the package would replace the machine's own init or power commands"; exit 1
fi

# Removed, the package leaves its configuration (the log's rotation); purged, nothing.
dpkg_in_root -r veskoinit
[ -f "$root/etc/logrotate.d/veskoinit" ] || { echo "FAIL: dpkg -r removed the conffile /etc/logrotate.d/veskoinit"; exit 1; }
dpkg_in_root -P veskoinit
after="$(listing)"
if [ "$before" != "$after" ]; then
  echo "FAIL: dpkg -P left files behind:"
  diff <(echo "$before") <(echo "$after") || true
  exit 1
fi

tags="$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)"
if echo "$tags" | grep -q '^E:'; then
  echo "FAIL: lintian reports errors:"; echo "$tags"; exit 1
fi
echo "package: ok ($(basename "$deb"), lintian: ${tags:-no tags})"
