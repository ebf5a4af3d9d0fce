#!/bin/sh
# invoke-rc.d's policy helper (/usr/sbin/policy-rc.d), which decides whether a package's
# maintainer scripts may run an action of its init script.
#
# While veskoinit is process 1 there are no runlevels: an action is allowed for the init
# scripts that are enabled as veskoinit's script services (so an upgrade stops and starts
# them again, or restarts them, as the package asks; NAME.sh is the service NAME) and denied
# for the others (a newly installed daemon is not started until it is enabled). A stop (or a
# status) is allowed for every script, as invoke-rc.d allows it under any init: a daemon
# started by hand is stopped when its package goes. Under any other init it answers what
# invoke-rc.d decides without a helper: it allows what invoke-rc.d would run and denies what
# it would not (those actions come in parentheses).
#
# Process 1 is veskoinit when something listens on veskoinit's control socket, which process
# 1 makes at boot in /run, whatever name its executable was installed under.
#
# Usage, as invoke-rc.d calls it: policy-rc.d [--quiet] NAME ACTIONS [RUNLEVEL]
#                                 policy-rc.d [--quiet] --list NAME [RUNLEVEL...]
# Exit status: 0 allowed, 101 denied, 103 a wrong command line.
enabled=${VESKO_ENABLED_DIR:-/etc/veskoinit/enabled}
socket=${VESKO_CONTROL_SOCKET:-/run/veskoinit/control}
[ "${1:-}" = --quiet ] && shift
if [ "${1:-}" = --list ]; then
    [ $# -ge 2 ] || exit 103
    exit 0
fi
[ $# -eq 2 ] || [ $# -eq 3 ] || exit 103
# A listening (flags 00010000) sequenced-packet (type 0005) socket bound to the path.
if ! awk -v path="$socket" '$4 == "00010000" && $5 == "0005" && $8 == path { found = 1 } END { exit !found }' \
    /proc/net/unix 2>/dev/null; then
    case "$2" in
        "("*) exit 101 ;;
        *) exit 0 ;;
    esac
fi
stops_only=yes
for action in $2; do
    case $action in
        stop | force-stop | status) ;;
        *) stops_only=no ;;
    esac
done
[ "$stops_only" = yes ] && exit 0
if [ -L "$enabled/$1" ] || [ -L "$enabled/${1%.sh}" ]; then
    exit 0
fi
exit 101
