#!/usr/bin/env bash
# Drives the bash completion functions of vesko-service and veskoctl as bash does: the
# command line split into COMP_WORDS, the cursor at its end, and the candidates compared.
set -uo pipefail
completions="$1"
if [ ! -r /usr/share/bash-completion/bash_completion ]; then
  echo "bash-completion is not installed"
  exit 77
fi
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$completions/vesko-service"
# shellcheck source=/dev/null
source "$completions/veskoctl"

VESKO_SERVICE_DIR="$(mktemp -d)"
export VESKO_SERVICE_DIR
trap 'rm -rf "$VESKO_SERVICE_DIR"' EXIT
# shellcheck disable=SC2016
printf 'command=/usr/sbin/httpd\nreload() {\n    kill -HUP "$(cat "$pidfile")"\n}\nstart_pre() { :; }\ncheck_config () {\n    :\n}\n' \
  >"$VESKO_SERVICE_DIR/httpd"
printf 'command=/usr/sbin/atd\n' >"$VESKO_SERVICE_DIR/atd"
printf 'command = ["/bin/true"]\n' >"$VESKO_SERVICE_DIR/cron.toml"
mkdir "$VESKO_SERVICE_DIR/subdir"
printf '' >"$VESKO_SERVICE_DIR/Upper"

# complete LINE: the candidates for the last word of LINE (empty when LINE ends in a space).
complete_line() {
  local line="$1" function
  read -r -a COMP_WORDS <<<"$line"
  if [[ $line == *" " ]]; then COMP_WORDS+=(""); fi
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$line"
  COMP_POINT=${#line}
  COMPREPLY=()
  function="$(complete -p "${COMP_WORDS[0]}" | sed 's/.*-F \([^ ]*\) .*/\1/')"
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

all_actions="checkconfig disable enable reload restart start status stop"
failures=0
while IFS='|' read -r line expected; do
  actual="$(complete_line "$line")"
  if [ "$actual" != "$expected" ]; then
    printf 'FAIL: "%s"\n  expected: %s\n  got:      %s\n' "$line" "$expected" "$actual"
    failures=$((failures + 1))
  fi
done <<EOF_CASES
vesko-service |atd checkconfig disable enable httpd reload restart start status stop
vesko-service h|httpd
vesko-service st|start status stop
vesko-service httpd |check_config $all_actions
vesko-service httpd re|reload restart
vesko-service httpd start |and check_config $all_actions
vesko-service httpd start and s|start status stop
vesko-service atd |$all_actions
vesko-service start |and atd checkconfig disable enable httpd reload restart start status stop
vesko-service start and stop |and atd checkconfig disable enable httpd reload restart start status stop
vesko-service start a|and atd
vesko-service nosuch |$all_actions
veskoctl |help logs reload restart start status stop
veskoctl st|start status stop
veskoctl restart |atd cron httpd
veskoctl l|logs
veskoctl logs |--follow -f
veskoctl logs --|--follow
veskoctl help |
veskoctl logs -f |
EOF_CASES
if [ "$failures" -ne 0 ]; then
  echo "$failures completion case(s) failed"
  exit 1
fi
echo "completion: ok"
