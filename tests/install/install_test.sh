#!/usr/bin/env bash
# cmake --install into a temporary DESTDIR: the whole tree with its modes and links, the
# examples, and each link of /sbin starting the personality of its name.
# Arguments: the build directory, the source directory, the configured install prefix.
set -euo pipefail
build="$1" source="$2" prefix="$3"
if [ "$prefix" != /usr ]; then
  echo "the install tree is checked for the prefix /usr only (this build has $prefix)"
  exit 77
fi
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" >/dev/null

expected='drwxr-xr-x ./etc
drwxr-xr-x ./etc/logrotate.d
-rw-r--r-- ./etc/logrotate.d/veskoinit
drwxr-xr-x ./etc/veskoinit
drwxr-xr-x ./etc/veskoinit/conf.d
drwxr-xr-x ./etc/veskoinit/enabled
drwxr-xr-x ./etc/veskoinit/services
drwxr-xr-x ./usr
drwxr-xr-x ./usr/lib
drwxr-xr-x ./usr/lib/veskoinit
drwxr-xr-x ./usr/lib/veskoinit/bin
lrwxrwxrwx ./usr/lib/veskoinit/bin/halt -> ../../../sbin/veskoinit
lrwxrwxrwx ./usr/lib/veskoinit/bin/reboot -> ../../../sbin/veskoinit
lrwxrwxrwx ./usr/lib/veskoinit/bin/shutdown -> ../../../sbin/veskoinit
drwxr-xr-x ./usr/sbin
lrwxrwxrwx ./usr/sbin/vesko-run -> veskoinit
lrwxrwxrwx ./usr/sbin/vesko-service -> veskoinit
lrwxrwxrwx ./usr/sbin/veskoctl -> veskoinit
-rwxr-xr-x ./usr/sbin/veskoinit
drwxr-xr-x ./usr/share
drwxr-xr-x ./usr/share/bash-completion
drwxr-xr-x ./usr/share/bash-completion/completions
-rw-r--r-- ./usr/share/bash-completion/completions/vesko-service
-rw-r--r-- ./usr/share/bash-completion/completions/veskoctl
drwxr-xr-x ./usr/share/doc
drwxr-xr-x ./usr/share/doc/veskoinit
-rw-r--r-- ./usr/share/doc/veskoinit/changelog.gz
-rw-r--r-- ./usr/share/doc/veskoinit/copyright
drwxr-xr-x ./usr/share/doc/veskoinit/examples
drwxr-xr-x ./usr/share/lintian
drwxr-xr-x ./usr/share/lintian/overrides
-rw-r--r-- ./usr/share/lintian/overrides/veskoinit
drwxr-xr-x ./usr/share/man
drwxr-xr-x ./usr/share/man/man5
-rw-r--r-- ./usr/share/man/man5/veskoinit-fstab.5.gz
-rw-r--r-- ./usr/share/man/man5/veskoinit-script.5.gz
-rw-r--r-- ./usr/share/man/man5/veskoinit-service.5.gz
-rw-r--r-- ./usr/share/man/man5/veskoinit-unit.5.gz
drwxr-xr-x ./usr/share/man/man8
-rw-r--r-- ./usr/share/man/man8/vesko-run.8.gz
-rw-r--r-- ./usr/share/man/man8/vesko-service.8.gz
-rw-r--r-- ./usr/share/man/man8/veskoctl.8.gz
-rw-r--r-- ./usr/share/man/man8/veskoinit-power.8.gz
-rw-r--r-- ./usr/share/man/man8/veskoinit.8.gz
drwxr-xr-x ./usr/share/veskoinit
drwxr-xr-x ./usr/share/veskoinit/debian
drwxr-xr-x ./usr/share/veskoinit/debian/fallback
-rw-r--r-- ./usr/share/veskoinit/debian/fallback/kmod
-rw-r--r-- ./usr/share/veskoinit/debian/fallback/rsyslog
-rw-r--r-- ./usr/share/veskoinit/debian/fallback/udev
-rwxr-xr-x ./usr/share/veskoinit/debian/policy-rc.d
-rwxr-xr-x ./usr/share/veskoinit/debian/rsyslog-rotate
drwxr-xr-x ./usr/share/veskoinit/debian/services
-rw-r--r-- ./usr/share/veskoinit/debian/services/getty.toml
-rw-r--r-- ./usr/share/veskoinit/debian/services/hostname
-rw-r--r-- ./usr/share/veskoinit/debian/services/random-seed
-rw-r--r-- ./usr/share/veskoinit/debian/services/serial-getty.toml
-rwxr-xr-x ./usr/share/veskoinit/debian/setup'
actual="$(cd "$dest" && find . -mindepth 1 -path ./usr/share/doc/veskoinit/examples/services -prune \
  -o -type l -printf '%M %p -> %l\n' -o -printf '%M %p\n' | sort -k2)"
diff -u <(echo "$expected") <(echo "$actual")
diff -r "$source/examples/services" "$dest/usr/share/doc/veskoinit/examples/services"

# Each link starts the personality of its name (usage errors and refusals: nothing is done,
# nothing is signalled).
check() {
  local expected_status="$1" expected_output="$2" status=0 output
  shift 2
  output="$("$@" 2>&1)" || status=$?
  if [ "$status" != "$expected_status" ] || [ "$output" != "$expected_output" ]; then
    printf 'FAIL: %s\n  expected status %s: %s\n  got status %s: %s\n' "$*" \
      "$expected_status" "$expected_output" "$status" "$output"
    exit 1
  fi
}
check 0 "veskoinit: binary check passed" "$dest/usr/sbin/veskoinit" --check
check 0 "usage: veskoctl logs [-f|--follow]
       veskoctl status [NAME...]
       veskoctl start|stop|restart NAME...
       veskoctl reload [NAME...]
       veskoctl help" "$dest/usr/sbin/veskoctl" help
check 2 "vesko-run: usage: vesko-run SERVICE_SCRIPT ACTION" "$dest/usr/sbin/vesko-run"
check 2 "vesko-service: provide at least one action and one service
usage: vesko-service ACTION [and ACTION ...] SERVICE
       vesko-service SERVICE ACTION [ACTION ...]" "$dest/usr/sbin/vesko-service"
check 2 "reboot: no arguments are supported
usage: reboot" "$dest/usr/lib/veskoinit/bin/reboot" now
echo "install tree: ok"
