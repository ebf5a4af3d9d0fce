#!/usr/bin/env bash
# The boot race (scripts/bench --boot): the same Debian 12 tree (scripts/debian-root) copied
# once per init, each init installed into its copy from Debian's packages (veskoinit from this
# build's package, with its Debian base set) and configured as that init is normally
# configured for the same work: the device manager with its trigger and settle, a module of
# /etc/modules, a value of /etc/sysctl.d, the random seed, the host name, the loopback, the
# daemons of the tree (rsyslog, cron, ssh, nginx) and gettys on tty1 and the serial console;
# the root file system is checked in the initramfs for every init alike. The copies are kept in a cache (veskoinit's is
# made again each run); every boot gets a fresh ext4 image of its tree. Nothing is installed on
# this machine but the tools (gnuplot), nothing is mounted here: package scripts run in chroots.
#   bench/boot_race.sh BUILD_DIR BOOTS OUT_DIR
set -euo pipefail
build=$1 boots=$2 out=$3
cd "$(dirname "$0")/.."
cache="${VESKO_BENCH_CACHE:-${HOME:-/root}/.cache/vesko-bench}/boot"
mkdir -p "$cache" "$out"
base=$(scripts/debian-root bookworm)
root_uuid=6e6f6465-6269-616e-0000-626f6f747261

log() { echo "boot race: $*" >&2; }
in_tree() { local tree=$1; shift; chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
apt_install() {
  local tree=$1; shift
  in_tree "$tree" apt-get install -y -q --no-install-recommends "$@" >>"$cache/apt.log" 2>&1 ||
    { log "apt-get install $* failed; the end of $cache/apt.log:"; tail -n 20 "$cache/apt.log" >&2; exit 1; }
}

# What every copy shares: the daemons but atd (cron and rsyslog are the work; at is purged so
# that no init starts it), a host name, root on the serial console without a password (a
# throwaway image), an fstab as an installer writes it, and apt's lists for the installs.
recipe=4
common="$cache/common"
if [ "$(cat "$common.complete" 2>/dev/null)" != "$base $recipe" ]; then
  log "preparing the common tree"
  rm -rf "$common" "$common.complete" "$common.initramfs"
  cp -a "$base" "$common"
  cp /etc/resolv.conf "$common/etc/resolv.conf"
  in_tree "$common" apt-get update -q >>"$cache/apt.log" 2>&1
  in_tree "$common" apt-get purge -y -q at >>"$cache/apt.log" 2>&1
  echo veskodeb >"$common/etc/hostname"
  printf '127.0.0.1\tlocalhost\n127.0.1.1\tveskodeb\n' >"$common/etc/hosts"
  sed -i 's/^root:\*:/root::/' "$common/etc/shadow"
  printf '# /etc/fstab: static file system information.\nUUID=%s / ext4 errors=remount-ro 0 1\n' \
    "$root_uuid" >"$common/etc/fstab"
  echo dummy >>"$common/etc/modules"
  echo 'vm.swappiness = 17' >"$common/etc/sysctl.d/90-race.conf"
  printf 'source /etc/network/interfaces.d/*\n\nauto lo\niface lo inet loopback\n' >"$common/etc/network/interfaces"
  echo "$base $recipe" >"$common.complete"
fi

# The initramfs made again with the fstab in place, as on an installed machine: then
# initramfs-tools includes fsck and checks the root before any init runs. It would learn the
# root's type from its device, which a chroot does not have: it is named instead.
if [ "$(cat "$common.initramfs" 2>/dev/null)" != fsck ]; then
  echo FSTYPE=ext4 >"$common/etc/initramfs-tools/conf.d/root-type"
  in_tree "$common" update-initramfs -u >>"$cache/apt.log" 2>&1
  zcat "$common/initrd.img" | cpio -t --quiet | grep -q 'sbin/fsck.ext4$' ||
    { log "the initramfs has no e2fsck; see $cache/apt.log"; exit 1; }
  echo fsck >"$common.initramfs"
fi

serial_getty="/sbin/agetty --keep-baud 115200,57600,38400,9600 ttyS0 vt220"
# Makes the tree of init $1 (a copy of the common one) unless the cache has it.
make_tree() {
  local init=$1 tree="$cache/$1"
  if [ "$init" != veskoinit ] && [ "$(cat "$tree.complete" 2>/dev/null)" = "$recipe" ]; then return; fi
  log "installing $init into its copy"
  rm -rf "$tree" "$tree.complete"
  cp -a "$common" "$tree"
  case $init in
    veskoinit)
      # The package of this build, and the names an init package takes (/sbin/init and the
      # power commands); the example services of a Debian machine.
      local package
      package=$(mktemp -d)
      (cd "$build" && cpack -G DEB -B "$package" >/dev/null)
      cp "$package"/veskoinit_*.deb "$tree/tmp/veskoinit.deb"
      rm -rf "$package"
      in_tree "$tree" dpkg -i /tmp/veskoinit.deb >/dev/null
      rm "$tree/tmp/veskoinit.deb"
      ln -sf /sbin/veskoinit "$tree/sbin/init"
      for command in halt reboot shutdown; do
        ln -sf /usr/lib/veskoinit/bin/$command "$tree/sbin/$command"
      done
      # The Debian base set, the serial getty (the set-up sees no kernel command line in a
      # chroot), rsyslog and cron as direct services, ssh and nginx from their own scripts.
      for name in serial-getty.toml syslog.toml cron.toml; do
        cp examples/services/$name "$tree/etc/veskoinit/services/$name"
      done
      in_tree "$tree" /usr/share/veskoinit/debian/setup >/dev/null
      for name in ssh nginx; do in_tree "$tree" vesko-service "$name" enable; done
      ;;
    systemd)
      # Its default units, with what Debian's installer brings along (its recommends: D-Bus,
      # logind's PAM module, timesyncd); the serial getty comes from its generator.
      in_tree "$tree" apt-get install -y -q systemd-sysv >>"$cache/apt.log" 2>&1 ||
        { log "apt-get install systemd-sysv failed; see $cache/apt.log"; exit 1; }
      ;;
    sysvinit | openrc)
      # Debian's init scripts (rsyslog's is in orphan-sysvinit-scripts), and inittab's getty
      # line for the serial console. OpenRC runs under sysvinit's init on Debian.
      if [ "$init" = sysvinit ]; then apt_install "$tree" sysvinit-core orphan-sysvinit-scripts
      else apt_install "$tree" sysvinit-core openrc orphan-sysvinit-scripts; fi
      # Gettys on tty1 and the serial console, as the others have.
      sed -i -E 's/^([2-6]:23:respawn)/#\1/' "$tree/etc/inittab"
      echo "T0:23:respawn:$serial_getty" >>"$tree/etc/inittab"
      ;;
    runit)
      # runit-services brings the run scripts of Debian's daemons, the serial getty's among
      # them, all enabled.
      apt_install "$tree" runit-init runit-services
      # Gettys on tty1 and the serial console, as the others have.
      rm -f "$tree"/etc/runit/runsvdir/default/getty-tty[2-6] "$tree"/etc/service/getty-tty[2-6]
      ;;
  esac
  in_tree "$tree" apt-get clean
  echo "$recipe" >"$tree.complete"
}

# VESKO_RACE_INITS names fewer, for a quick look.
inits=(${VESKO_RACE_INITS:-veskoinit systemd sysvinit runit openrc})
for init in "${inits[@]}"; do make_tree "$init"; done

# The same initramfs for every init (the tree's, built by initramfs-tools), with one more
# script at its end: it notes the last pid handed out and marks the console, just before the
# hand-over to /sbin/init. Appended as a second archive, which the kernel unpacks over the first.
initrd="$cache/initrd.img"
overlay=$(mktemp -d)
mkdir -p "$overlay/scripts/init-bottom"
zcat "$common/initrd.img" | (cd "$overlay" && cpio -i --quiet scripts/init-bottom/ORDER)
echo '/scripts/init-bottom/vesko-race "$@"' >>"$overlay/scripts/init-bottom/ORDER"
cat >"$overlay/scripts/init-bottom/vesko-race" <<'SCRIPT'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
read -r _ _ _ _ last </proc/loadavg
echo "$last" >/run/vesko-race-handoff
echo "vesko-race: handing over" >/dev/console
SCRIPT
chmod 755 "$overlay/scripts/init-bottom/vesko-race"
cp -L "$common/initrd.img" "$initrd"
# The kernel takes a following archive only at a 4-byte boundary.
truncate -s %4 "$initrd"
(cd "$overlay" && find . | cpio -o -H newc --quiet) >>"$initrd"
rm -rf "$overlay"

# Run by root's login shell in the guest, the same in every image: every process but the
# kernel's threads with its proportional and resident memory (PSS counts a page shared by n
# processes as 1/n in each), the guest's used memory (MemTotal less MemAvailable), the
# processes started since the hand-over (the pids handed out before the login shell's, less
# the kernel threads among them), and what of the boot's work the guest shows done: udevd,
# the module of /etc/modules, the value of /etc/sysctl.d, a random seed saved since the
# hand-over, the host name, the loopback's address, the daemons, the gettys, and the
# initramfs's check of the root file system.
measure='#!/bin/sh
sleep 5
handoff=$(cat /run/vesko-race-handoff 2>/dev/null || echo 0)
shell=$PPID
threads=0
for dir in /proc/[0-9]*; do
  pid=${dir#/proc/}
  read -r comm <"$dir/comm" 2>/dev/null || continue
  parent=$(sed -n "s/^PPid:\t*//p" "$dir/status" 2>/dev/null)
  if [ "$pid" = 2 ] || [ "$parent" = 2 ]; then
    [ "$pid" -gt "$handoff" ] && [ "$pid" -lt "$shell" ] && threads=$((threads + 1))
    continue
  fi
  rss=$(sed -n "s/^VmRSS:\t* *\([0-9]*\).*/\1/p" "$dir/status" 2>/dev/null)
  pss=$(sed -n "s/^Pss: *\([0-9]*\) kB/\1/p" "$dir/smaps_rollup" 2>/dev/null)
  echo "vesko-race: process $pid $parent $(echo "$comm" | tr " " _) ${pss:-0} ${rss:-0}"
done
used=$(awk "/^MemTotal:/ { total = \$2 } /^MemAvailable:/ { free = \$2 } END { print total - free }" /proc/meminfo)
echo "vesko-race: measured used=$used started=$((shell - 1 - handoff - threads))"
seed=$(find /var/lib/systemd/random-seed /var/lib/urandom/random-seed /var/lib/veskoinit/random-seed \
  -newer /run/vesko-race-handoff 2>/dev/null | wc -l)
echo "vesko-race: tasks udevd=$(pgrep -c udevd) module=$(grep -c "^dummy " /proc/modules)" \
  "sysctl=$(cat /proc/sys/vm/swappiness) seed=$seed host=$(hostname) lo=$(ip -o -4 addr show lo | wc -l)" \
  "sshd=$(pgrep -c -x sshd) nginx=$(pgrep -c -x nginx) rsyslogd=$(pgrep -c -x rsyslogd) cron=$(pgrep -c -x cron)" \
  "gettys=$(pgrep -c -x "a?getty") root-checked=$(test -s /run/initramfs/fsck.log && echo 1 || echo 0)"
echo "vesko-race: done"
'

images="$cache/images"
rm -rf "$images"
mkdir -p "$images"
arguments=()
for init in "${inits[@]}"; do
  tree="$cache/$init"
  printf '%s' "$measure" >"$tree/usr/local/sbin/vesko-race-measure"
  chmod 755 "$tree/usr/local/sbin/vesko-race-measure"
  rm -rf "$tree"/var/lib/apt/lists/* "$tree"/var/log/*.log "$tree/var/log/syslog"
  mkfs.ext4 -q -F -L root -U "$root_uuid" -d "$tree" "$images/$init.img" 1G >/dev/null
  off=poweroff
  case $init in
    veskoinit) own='init|veskoinit'; off=shutdown ;;
    systemd) own='systemd|systemd-.*|\(sd-pam\)' ;;
    sysvinit) own='init|startpar' ;;
    runit) own='runit|runsvdir|runsv|svlogd' ;;
    openrc) own='init|openrc.*|supervise-daemon' ;;
  esac
  arguments+=("$init" "$images/$init.img" "$own" "$off")
done

ninja -C "$build" boot_race >/dev/null
"$build/tests/boot_race" "$(readlink -f "$base/vmlinuz")" "$initrd" "$boots" "$out" "${arguments[@]}"
rm -rf "$images"

# The chart: times on the left, memory on the right (gnuplot from Debian, installed if missing).
if ! command -v gnuplot >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gnuplot-nox >/dev/null 2>&1
fi
gnuplot <<PLOT
set terminal svg size 1100,460 font "sans,13" background rgb "white"
set output "$out/boot-race.svg"
set multiplot layout 1,2 title "Debian 12 under QEMU (software emulation), the same boot work for each init (see the table); medians of the boots that finished, of $boots each"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key below horizontal
set xtics nomirror font ",12"
set grid ytics
set yrange [0:*]
set ylabel "seconds"
set title "QEMU start to the login prompt; poweroff to QEMU's exit"
plot "$out/boot-race.dat" using 2:xtic(1) title "login prompt", '' using 3 title "poweroff"
set ylabel "MB"
set title "memory 5 s after the login (PSS; the guest's used memory)"
plot "$out/boot-race.dat" using 4:xtic(1) title "PID 1", '' using 5 title "the init's processes", '' using 6 title "guest used"
unset multiplot
PLOT
