#!/usr/bin/env bash
# The example services: the direct ones pass the check mode, each script answers its metadata
# query as expected and passes shellcheck.
set -uo pipefail
veskoinit="$1" examples="$2/examples/services"
failures=0
expect() {
  local what="$1" expected="$2" actual="$3"
  if [ "$actual" != "$expected" ]; then
    printf 'FAIL: %s\n--- expected\n%s\n--- got\n%s\n' "$what" "$expected" "$actual"
    failures=$((failures + 1))
  fi
}

expect "--check $examples" "veskoinit: validated 6 service(s) in $examples
   1. getty
   2. serial-getty
   3. syslog
   4. backup-once
   5. cron
   6. sshd
status 0" "$("$veskoinit" --check "$examples" 2>&1; echo "status $?")"

while IFS='|' read -r script expected; do
  expect "$script metadata" "$(printf '%b' "$expected")" \
    "$("$veskoinit" --vesko-run "$examples/$script" metadata 2>&1; echo "status $?")"
  if command -v shellcheck >/dev/null; then
    expect "shellcheck $script" "" "$(shellcheck -s sh "$examples/$script" 2>&1)"
  fi
done <<'CASES'
atd|description:Deferred command scheduler\nuse:syslog\nstatus 0
hostname|description:Host name from /etc/hostname\nstatus 0
kmod|description:Kernel modules of /etc/modules and modules-load.d\nbefore:procps\nbefore:networking\nstatus 0
httpd|description:Small web server\nneed:net\nuse:syslog\nstatus 0
localmount|description:Local file systems (mounted by process 1 from /etc/fstab)\nprovide:localmount\nstatus 0
memcached|description:Memory object cache\nneed:net\nuse:logger\nafter:firewall\nprovide:cache\nstatus 0
net|description:Network interfaces (loopback, and ifupdown's where installed)\nprovide:net\nuse:localmount\nstatus 0
prepare-dirs|description:Run-time directories for daemons\nstatus 0
random-seed|description:Random seed, loaded at boot and saved at shutdown\nprovide:urandom\nstatus 0
rsyslog|description:System logging daemon (rsyslog)\nprovide:logger\nuse:localmount\nstatus 0
udev|description:Device manager (udevd)\nstatus 0
CASES

# Every script of the directory has its case above.
expect "the scripts" "atd hostname httpd kmod localmount memcached net prepare-dirs random-seed rsyslog udev" \
  "$(find "$examples" -type f ! -name '*.toml' -printf '%f\n' | sort | tr '\n' ' ' | sed 's/ $//')"
[ "$failures" -eq 0 ] && echo "examples: ok"
exit $((failures > 0))
