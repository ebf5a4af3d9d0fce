#!/bin/sh
# invoke-rc.d's policy helper (/usr/sbin/policy-rc.d), which decides whether a package's
# maintainer scripts may run an action of its init script.
#
# While veskoinit is process 1 there are no runlevels: an action is allowed for the init
# scripts that are enabled as veskoinit's script services (so an upgrade stops and starts
# them again, or restarts them, as the package asks) and denied for the others (a newly
# installed daemon is not started until it is enabled). Under any other init it answers
# what invoke-rc.d decides without a helper: it allows what invoke-rc.d would run and
# denies what it would not (those actions come in parentheses).
#
# Usage, as invoke-rc.d calls it: policy-rc.d [--quiet] NAME ACTIONS [RUNLEVEL]
#                                 policy-rc.d --list NAME [RUNLEVEL...]
enabled=${VESKO_ENABLED_DIR:-/etc/veskoinit/enabled}
[ "${1:-}" = --quiet ] && shift
[ "${1:-}" = --list ] && exit 0
[ $# -ge 2 ] || exit 102
case "$(readlink /proc/1/exe 2>/dev/null)" in
    */veskoinit | */veskoinit" (deleted)") ;;
    *)
        case "$2" in
            "("*) exit 101 ;;
            *) exit 0 ;;
        esac
        ;;
esac
[ -e "$enabled/$1" ] && exit 0
exit 101
