#!/usr/bin/env bash
# veskoinit beside tini, catatonit and dumb-init as process 1 of podman containers that run
# the same application (the payload's stamp): podman run to the application's first
# instruction, and podman stop to the container's end; medians of RUNS. Prints figures only.
# Like the container tier, podman runs in a mount namespace of its own, each root on a tmpfs.
#   bench/container_bench.sh VESKOINIT PAYLOAD [RUNS]
set -euo pipefail
veskoinit="$1" payload="$2" runs="${3:-5}"
if [ -z "${VESKO_CONTAINER_NAMESPACE:-}" ]; then
  exec env VESKO_CONTAINER_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
mount -t tmpfs cgroups /sys/fs/cgroup
work="$(mktemp -d /tmp/vesko-container-bench-XXXXXX)"
mount -t tmpfs containers "$work"
trap 'podman rm -f -a --filter label=vesko-bench >/dev/null 2>&1 || true; umount "$work"; rmdir "$work"' EXIT
flags=(--cgroups=disabled --network=none --ulimit nofile=1024:1024 --ulimit nproc=1024:1024 --label vesko-bench)
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The inits take turns, so that whatever else the machine does falls on all of them alike.
inits=(veskoinit tini catatonit dumb-init)
declare -A starts stops
for run in $(seq "$runs"); do
  for init in "${inits[@]}"; do
    root="$work/$init-$run"
    mkdir -p "$root"
    cp "$payload" "$root/payload"
    case "$init" in
      veskoinit) cp "$veskoinit" "$root/init"; command=(/init -- /payload stamp /stamp) ;;
      tini) cp /usr/bin/tini-static "$root/init"; command=(/init -- /payload stamp /stamp) ;;
      catatonit) cp /usr/bin/catatonit "$root/init"; command=(/init -- /payload stamp /stamp) ;;
      dumb-init)
        cp /usr/bin/dumb-init "$root/init"; command=(/init /payload stamp /stamp)
        for library in $(ldd /usr/bin/dumb-init | grep -o '/[^ ]*'); do
          mkdir -p "$root/$(dirname "$library")"; cp "$library" "$root/$library"
        done ;;
    esac
    name="vesko-bench-$init-$run"
    before=$("$payload" now)
    podman run -d "${flags[@]}" --name "$name" --rootfs "$root" "${command[@]}" >/dev/null
    for _ in $(seq 400); do [ -s "$root/stamp" ] && break; sleep 0.005; done
    starts[$init]+=" $(( ($(cat "$root/stamp") - before) / 1000 ))"
    before=$("$payload" now)
    podman stop -t 10 "$name" >/dev/null
    stops[$init]+=" $(( ($("$payload" now) - before) / 1000 ))"
    podman rm -f "$name" >/dev/null
  done
done
printf '%-10s %18s %18s\n' init "run to app (ms)" "stop (ms)"
for init in "${inits[@]}"; do
  # shellcheck disable=SC2086 # the lists are words
  printf '%-10s %18.1f %18.1f\n' "$init" "$(printf '%s\n' ${starts[$init]} | median | awk '{ print $1 / 1000 }')" \
    "$(printf '%s\n' ${stops[$init]} | median | awk '{ print $1 / 1000 }')"
done
