#!/usr/bin/env bash
# The container tier: veskoinit as process 1 of podman containers (rootful, a root of busybox
# and veskoinit on a tmpfs of this test's own mount namespace, never a directory of the
# machine's file system, never --privileged). Needs root and podman; exit 77 skips.
set -euo pipefail
veskoinit="$1"
[ "$(id -u)" -eq 0 ] || { echo "the container tests need root (rootful podman)"; exit 77; }
command -v podman >/dev/null || { echo "podman is not installed (scripts/setup installs it)"; exit 77; }
# crun refuses this kernel's hybrid cgroup layout: podman runs in a mount namespace of its own
# with a tmpfs over /sys/fs/cgroup (and --cgroups=disabled).
if [ -z "${VESKO_CONTAINER_NAMESPACE:-}" ]; then
  exec env VESKO_CONTAINER_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
mount -t tmpfs cgroups /sys/fs/cgroup
work="$(mktemp -d /tmp/vesko-container-XXXXXX)"
mount -t tmpfs -o mode=0755 containers "$work"
names=()
cleanup() {
  for name in "${names[@]}"; do podman rm -f "$name" >/dev/null 2>&1 || true; done
  umount "$work" && rmdir "$work"
}
trap cleanup EXIT
flags=(--cgroups=disabled --network=none --ulimit nofile=1024:1024 --ulimit nproc=1024:1024)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# root NAME [SERVICE-FILE CONTENT]...: a root with busybox, veskoinit and the services given.
root() {
  local dir="$work/$1"; shift
  mkdir -p "$dir"/{bin,sbin,tmp,etc/veskoinit/services}
  cp "$veskoinit" "$dir/sbin/veskoinit"
  cp /bin/busybox "$dir/bin/busybox"
  for applet in sh sleep echo cat kill tty; do ln -s busybox "$dir/bin/$applet"; done
  ln -s veskoinit "$dir/sbin/veskoctl"
  while [ $# -gt 1 ]; do printf '%s\n' "$2" >"$dir/etc/veskoinit/services/$1"; shift 2; done
  echo "$dir"
}
# The output with process ids left out.
plain() { sed -E 's/(pid|child) [0-9]+/\1 #/g; s/\r$//'; }
# expect TITLE EXPECTED ACTUAL
expect() { [ "$2" = "$3" ] || fail "$1: expected"$'\n'"$2"$'\n'"got"$'\n'"$3"; }

# Lines of process 1 (but those of the built-in table, "veskoinit: /..."), then the rest, which
# the services and the main program write as they please.
own() { grep '^veskoinit: ' | grep -v '^veskoinit: /' | plain; }
rest() { grep -v '^veskoinit: ' | plain; }
table="veskoinit: warning: optional mount /run failed: cannot mount tmpfs on /run as tmpfs: Operation not permitted (os error 1)
veskoinit: fstab complete: 0 mounted, 5 already mounted, 0 swaps activated, 0 swaps already active, 0 skipped, 1 optional failures
veskoinit: logging output to standard output"
read_only_table="veskoinit: fstab complete: 0 mounted, 6 already mounted, 0 swaps activated, 0 swaps already active, 0 skipped, 0 optional failures
veskoinit: logging output to standard output"

# Services in the background, stopped by podman stop with its default signal and with
# SIGRTMIN+3 (podman's for an init), the second with a read-only root: exit 0, fast, and
# every line, the services' own included, in podman logs.
service='command = ["/bin/sh", "-c", "echo hello from a service; exec sleep 1000"]'
for variant in default read-only; do
  name="vesko-test-$$-$variant"; names+=("$name")
  extra=()
  [ "$variant" = read-only ] && extra=(--read-only --stop-signal RTMIN+3)
  podman run -d "${flags[@]}" "${extra[@]}" --name "$name" --rootfs "$(root "$variant" hello.toml "$service")" \
    /sbin/veskoinit >/dev/null
  for _ in $(seq 100); do podman logs "$name" 2>&1 | grep -q 'event loop started' && break; sleep 0.05; done
  expect "$variant: veskoctl logs" "veskoctl: no log at /var/log/veskoinit.log: in a container process 1 logs to its standard output (podman logs or docker logs CONTAINER), or to the file VESKO_LOG_PATH names" \
    "$(podman exec "$name" /sbin/veskoctl logs 2>&1)"
  # Run-time control through podman exec: status, and a restart that gives a new process.
  status() { podman exec "$name" /sbin/veskoctl status 2>&1 | sed -E 's/running [0-9]+ [0-9]+/running # #/'; }
  expect "$variant: veskoctl status" "hello direct running # # 0 - current" "$(status)"
  expect "$variant: veskoctl restart" "stopping hello" "$(podman exec "$name" /sbin/veskoctl restart hello 2>&1)"
  expect "$variant: status after the restart" "hello direct running # # 0 signal:15 current" "$(status)"
  start=$(date +%s%N)
  podman stop -t 10 "$name" >/dev/null
  echo "[ figures  ] podman stop ($variant): $(( ($(date +%s%N) - start) / 1000000 )) ms"
  expect "$variant: exit status" 0 "$(podman inspect "$name" --format '{{.State.ExitCode}}')"
  expect "$variant: podman logs" "$([ "$variant" = read-only ] && echo "$read_only_table" || echo "$table")
veskoinit: validated 1 service(s) from /etc/veskoinit/services
veskoinit: started 0 enabled script service(s)
veskoinit: started service hello as pid #
veskoinit: PID 1 event loop started
veskoinit: stopping service hello on request
veskoinit: service hello exited (killed by signal 15)
veskoinit: starting service hello again on request
veskoinit: started service hello as pid #
veskoinit: received shutdown request
veskoinit: stopped service hello (killed by signal 15)
veskoinit: stopped; exiting with status 0" "$(podman logs "$name" 2>&1 | own)"
  expect "$variant: the service's output" "hello from a service
hello from a service" "$(podman logs "$name" 2>&1 | rest)"
done

# veskoinit -- COMMAND: the container ends with the command's status (128 + N for signal N);
# a fatal boot error ends it with 1 at once; with -t the command has the terminal.
# check TITLE STATUS LINES OUTPUT PODMAN-ARGUMENTS...
check() {
  local title="$1" status="$2" lines="$3" rest="$4"; shift 4
  local name="vesko-test-$$-${#names[@]}"; names+=("$name")
  local output code=0
  output=$(podman run "${flags[@]}" --name "$name" "$@" 2>&1) || code=$?
  expect "$title: exit status" "$status" "$code"
  expect "$title: lines" "$lines" "$(printf '%s\n' "$output" | own)"
  expect "$title: output" "$rest" "$(printf '%s\n' "$output" | rest)"
}
main() {
  printf '%s\n' "$table" "veskoinit: validated 0 service(s) from /etc/veskoinit/services" \
    "veskoinit: started 0 enabled script service(s)" "veskoinit: started main program /bin/sh as pid #" \
    "veskoinit: PID 1 event loop started" "veskoinit: main program /bin/sh exited ($1)" \
    "veskoinit: the main program has ended; stopping" "veskoinit: stopped; exiting with status $2"
}
check "main program exits 3" 3 "$(main "exited with status 3" 3)" main \
  --rootfs "$(root exit3)" /sbin/veskoinit -- sh -c 'echo main; exit 3'
check "main program killed by SIGUSR2" 140 "$(main "killed by signal 12" 140)" "" \
  --rootfs "$(root usr2)" /sbin/veskoinit -- /bin/sh -c 'kill -USR2 $$'
check "fatal boot error" 1 "$table
veskoinit: fatal: service configuration is invalid: cannot parse /etc/veskoinit/services/bad.toml: missing key \"command\" in struct RawService" "" \
  --rootfs "$(root fatal bad.toml 'restart = "always"')" /sbin/veskoinit
# shellcheck disable=SC2016 # the script is the container's, expanded there
check "the terminal" 0 "$(main "exited with status 0" 0)" "foreground: yes
/dev/pts/0" -t --rootfs "$(root terminal)" /sbin/veskoinit -- /bin/sh -c \
  'read -r pid comm state ppid group session tty foreground rest < /proc/$$/stat; echo "foreground: $([ "$group" = "$foreground" ] && echo yes)"; tty'

# An image built from a machine's keeps its fstab: the line for / (the runtime's mount) is
# passed over, not a fatal "expected ext4".
fstab_root="$(root fstab)"
printf '/dev/sda1 / ext4 errors=remount-ro 0 1\n' >"$fstab_root/etc/fstab"
check "an fstab with a line for /" 0 "$(main "exited with status 0" 0 | sed 's/5 already mounted/6 already mounted/')" "" \
  --rootfs "$fstab_root" /sbin/veskoinit -- /bin/sh -c 'exit 0'

# A stop request that ends the main program: the container's status is still the program's
# (its trap's exit code; 128 + 15 for one that SIGTERM ends), never 0.
stopped() {
  local title="$1" status="$2" script="$3" name="vesko-test-$$-${#names[@]}"; names+=("$name")
  podman run -d "${flags[@]}" --name "$name" --rootfs "$(root "stopped-$status")" /sbin/veskoinit -- \
    /bin/sh -c "$script" >/dev/null
  for _ in $(seq 100); do podman logs "$name" 2>&1 | grep -q 'event loop started' && break; sleep 0.05; done
  podman stop -t 10 "$name" >/dev/null
  expect "$title: exit status" "$status" "$(podman inspect "$name" --format '{{.State.ExitCode}}')"
}
stopped "a stopped program that exits 3" 3 "trap 'exit 3' TERM; while :; do sleep 0.1; done"
stopped "a stopped program that SIGTERM ends" 143 "exec sleep 1000"

# With VESKO_LOG_PATH the main program keeps process 1's own streams: podman run -i input, its
# output on standard output, its errors on standard error.
name="vesko-test-$$-${#names[@]}"; names+=("$name")
# shellcheck disable=SC2016 # the script is the container's, expanded there
output=$(echo typed | timeout 60 podman run -i "${flags[@]}" --name "$name" -e VESKO_LOG_PATH=/tmp/veskoinit.log \
  --rootfs "$(root streams)" /sbin/veskoinit -- /bin/sh -c 'read -r line; echo "got $line"; echo oops >&2' 2>/dev/null) || true
expect "a main program's streams with a log file" "got typed" "$output"

[ "$failures" -eq 0 ] || exit 1
echo "all container scenarios passed"
