# shellcheck shell=sh
# The prelude of every script service action. vesko-run starts /bin/sh -c with this text and
# the positional parameters: $1 the script, $2 the action, $3 the service name. It sets the
# variables and helpers that scripts use, reads the service's configuration file and the
# script, and runs the action. POSIX shell only, with printf, cat, kill, sleep, mkdir and rm,
# and $VESKO_HELPER (the executable itself) for what shell cannot do: start a daemon as
# another user in a session of its own, and checkpath.
# Variables and helpers that look unused here are there for the scripts.
# shellcheck disable=SC2034,SC2317

service_script=$1
RC_CMD=$2
RC_SVCNAME=$3
SVCNAME=$RC_SVCNAME
RC_RUNLEVEL=${RC_RUNLEVEL:-default}
export RC_CMD RC_SVCNAME SVCNAME RC_RUNLEVEL

description=$RC_SVCNAME
command=
command_args=
command_background=no
service_type=daemon
pidfile=
required_files=
supervisor=
command_user=
output_log=
error_log=
extra_commands=
extra_started_commands=
start_timeout=${VESKO_START_TIMEOUT:-5}
stop_timeout=${VESKO_STOP_TIMEOUT:-10}

einfo() { printf ' * %s\n' "$*"; }
ewarn() { printf ' ! %s\n' "$*" >&2; }
eerror() { printf ' x %s\n' "$*" >&2; }
ebegin() { printf '%s... ' "$*"; }

eend() {
    _vesko_status=$1
    shift
    if [ "$_vesko_status" -eq 0 ]; then
        printf '<done>\n'
    elif [ "$#" -gt 0 ]; then
        printf '<failed> %s\n' "$*"
    else
        printf '<failed>\n'
    fi
    return "$_vesko_status"
}

yesno() {
    case ${1-} in
        yes | YES | true | TRUE | on | ON | 1) return 0 ;;
        no | NO | false | FALSE | off | OFF | 0 | '') return 1 ;;
        *)
            eerror "invalid yes/no value: $1"
            return 2
            ;;
    esac
}

need() { for _vesko_dep in "$@"; do printf 'need:%s\n' "$_vesko_dep"; done; }
use() { for _vesko_dep in "$@"; do printf 'use:%s\n' "$_vesko_dep"; done; }
after() { for _vesko_dep in "$@"; do printf 'after:%s\n' "$_vesko_dep"; done; }
before() { for _vesko_dep in "$@"; do printf 'before:%s\n' "$_vesko_dep"; done; }
provide() { for _vesko_dep in "$@"; do printf 'provide:%s\n' "$_vesko_dep"; done; }
# OpenRC's "start it if it can be": there are no runlevels here, so it orders like use.
want() { use "$@"; }
# Runlevel keywords and the files that OpenRC watches mean nothing here.
keyword() { :; }
config() { :; }

_vesko_function_exists() { command -v "$1" >/dev/null 2>&1; }

# OpenRC's questions about a service's state (this one's when no name is given), answered as
# that service's status action would answer: there is no state directory here. 100: no such
# service. Started: its status says running; stopped: it exists and its status says anything
# else. Actions run one at a time, so none is ever starting or stopping, and there is no
# inactive state. A question never runs a script again that could ask it again (a script may
# ask at its top level, as Artix's unbound does): this service is answered by its own pid
# file (the default one while the script is still being read), and within a status run that
# a question started (VESKO_STATUS_CHAIN names the services that asked) every service by its
# default pid file, so that one question runs at most one other script.
_vesko_status_of() {
    if [ "$1" = "$RC_SVCNAME" ]; then
        _vesko_pid_is_running && return 0
        return 3
    fi
    case $1 in
        [a-z]*) ;;
        *) return 100 ;;
    esac
    case $1 in
        *[!a-z0-9-]*) return 100 ;;
    esac
    if [ -n "${VESKO_STATUS_CHAIN-}" ]; then
        "${VESKO_HELPER:-veskoinit}" --vesko-service-pid "$VESKO_STATE_DIR/$1.pid" "" >/dev/null 2>&1 && return 0
        return 3
    fi
    [ -f "${VESKO_SERVICE_DIR:-/etc/veskoinit/services}/$1" ] || return 100
    VESKO_STATUS_CHAIN="${VESKO_STATUS_CHAIN-} $RC_SVCNAME" "${VESKO_HELPER:-veskoinit}" --vesko-run \
        "${VESKO_SERVICE_DIR:-/etc/veskoinit/services}/$1" status >/dev/null 2>&1
}
service_started() { _vesko_status_of "${1:-$RC_SVCNAME}"; }
service_stopped() {
    _vesko_status_of "${1:-$RC_SVCNAME}"
    case $? in
        0 | 100) return 1 ;;
        *) return 0 ;;
    esac
}
service_starting() { return 1; }
service_stopping() { return 1; }
service_inactive() { return 1; }

# OpenRC's checkpath: [-d|-D|-f|-F] [-m MODE] [-o USER[:GROUP]] [-q] PATH...
checkpath() { "${VESKO_HELPER:-veskoinit}" --vesko-checkpath "$@"; }

# Whether the pid file names a live process of the service's: never process 0 (to signal 0,
# the caller's whole process group) nor process 1 (the init), and with command_user only a
# process of that user's (a pid file that the user can write must not make root signal
# anything else). $_vesko_pid is then its pid. While the script is still being read, the
# pid file is the default one.
_vesko_pid_is_running() {
    _vesko_pid=$("${VESKO_HELPER:-veskoinit}" --vesko-service-pid "${pidfile:-${VESKO_STATE_DIR}/${RC_SVCNAME}.pid}" \
        "$command_user" 2>/dev/null)
}

_vesko_require_files() {
    # Split and expanded like command_args, on purpose.
    # shellcheck disable=SC2086
    for _vesko_file in $required_files; do
        if [ ! -e "$_vesko_file" ] && [ ! -L "$_vesko_file" ]; then
            eerror "required file does not exist: $_vesko_file"
            return 1
        fi
    done
    return 0
}

_vesko_wait_for_pidfile() {
    _vesko_left=$start_timeout
    while [ "$_vesko_left" -gt 0 ]; do
        if _vesko_pid_is_running; then
            return 0
        fi
        sleep 1
        _vesko_left=$((_vesko_left - 1))
    done
    _vesko_pid_is_running
}

_vesko_default_start() {
    # supervise-daemon's services run in the foreground: here they are started in the background.
    case $supervisor in
        '') ;;
        supervise-daemon) command_background=yes ;;
        *)
            eerror "$RC_SVCNAME uses supervisor $supervisor, which is not supported"
            return 1
            ;;
    esac
    if [ -z "$command" ]; then
        eerror "$RC_SVCNAME does not define command"
        return 1
    fi
    _vesko_require_files || return 1
    if _vesko_pid_is_running; then
        einfo "$RC_SVCNAME is already running"
        return 0
    fi
    mkdir -p "$VESKO_STATE_DIR" || return 1
    yesno "$command_background"
    _vesko_background_status=$?
    case $_vesko_background_status in
        0)
            # The executable starts it (as command_user, in a session of its own, signals at
            # their defaults, input from /dev/null, output to output_log and error_log or
            # else process 1's log for root) and writes its pid file without following a
            # link. command_args is split and expanded on purpose.
            # shellcheck disable=SC2086
            _vesko_pid=$("${VESKO_HELPER:-veskoinit}" --vesko-daemon --pidfile "$pidfile" \
                --output-log "$output_log" --error-log "$error_log" "$command_user" "$command" $command_args) ||
                return 1
            ;;
        1)
            if [ -n "$command_user" ]; then
                # shellcheck disable=SC2086
                "${VESKO_HELPER:-veskoinit}" --vesko-daemon --wait --output-log "$output_log" \
                    --error-log "$error_log" "$command_user" "$command" $command_args || return
            else
                # shellcheck disable=SC2086
                "$command" $command_args || return
            fi
            ;;
        *) return 2 ;;
    esac
    if [ "$service_type" = oneshot ]; then
        return 0
    fi
    _vesko_wait_for_pidfile
}

_vesko_default_stop() {
    if ! _vesko_pid_is_running; then
        rm -f "$pidfile"
        einfo "$RC_SVCNAME is not running"
        return 0
    fi
    # The process checked above, not what the file may hold by now.
    kill -TERM "$_vesko_pid" || return 1
    _vesko_left=$stop_timeout
    while kill -0 "$_vesko_pid" 2>/dev/null && [ "$_vesko_left" -gt 0 ]; do
        sleep 1
        _vesko_left=$((_vesko_left - 1))
    done
    if kill -0 "$_vesko_pid" 2>/dev/null; then
        eerror "$RC_SVCNAME did not stop within ${stop_timeout}s"
        return 1
    fi
    rm -f "$pidfile"
}

_vesko_start() {
    if _vesko_function_exists start_pre; then
        start_pre || return
    fi
    if _vesko_function_exists start; then
        start || return
    else
        _vesko_default_start || return
    fi
    if _vesko_function_exists start_post; then
        start_post
        return
    fi
    return 0
}

_vesko_stop() {
    if _vesko_function_exists stop_pre; then
        stop_pre || return
    fi
    if _vesko_function_exists stop; then
        stop || return
    else
        _vesko_default_stop || return
    fi
    if _vesko_function_exists stop_post; then
        stop_post
        return
    fi
    return 0
}

if [ -f "$VESKO_CONF_DIR/$RC_SVCNAME" ] && [ -r "$VESKO_CONF_DIR/$RC_SVCNAME" ]; then
    # shellcheck disable=SC1090
    . "$VESKO_CONF_DIR/$RC_SVCNAME"
fi
# shellcheck disable=SC1090
. "$service_script" || exit
if [ -z "${pidfile:-}" ]; then
    pidfile=${VESKO_STATE_DIR}/${RC_SVCNAME}.pid
fi

case $RC_CMD in
    metadata)
        printf 'description:%s\n' "$description"
        if _vesko_function_exists depend; then
            depend
            exit
        fi
        exit 0
        ;;
    start)
        _vesko_start
        exit
        ;;
    stop)
        _vesko_stop
        exit
        ;;
    restart)
        _vesko_stop || exit
        _vesko_start
        exit
        ;;
    status)
        if _vesko_pid_is_running; then
            einfo "$RC_SVCNAME is running (pid $_vesko_pid)"
            exit 0
        fi
        einfo "$RC_SVCNAME is stopped"
        exit 3
        ;;
    *)
        if _vesko_function_exists "$RC_CMD"; then
            "$RC_CMD"
            exit
        fi
        eerror "$RC_SVCNAME does not support action $RC_CMD"
        exit 2
        ;;
esac
