#!/usr/bin/env bash
# The manual pages as built: groff and man render each without a warning, and every page
# named under SEE ALSO exists (one of these, or a page of the system's own).
set -euo pipefail
pages="$1"
status=0
for page in "$pages"/*.[58]; do
  name="$(basename "$page")"
  warnings="$(groff -t -ww -man -z "$page" 2>&1)"
  warnings+="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  if [ -n "$warnings" ]; then
    printf 'FAIL: %s renders with warnings:\n%s\n' "$name" "$warnings"
    status=1
  fi
  if ! MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME'; then
    echo "FAIL: $name has no NAME section"
    status=1
  fi
  while read -r reference; do
    target="${reference%(*}.${reference: -2:1}"
    if [ ! -e "$pages/$target" ] && [ "$reference" != "fstab(5)" ]; then
      echo "FAIL: $name refers to $reference, which does not exist"
      status=1
    fi
  done < <(sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$page" | grep -o '[a-z-]*\\fR([58])' | sed 's/\\fR//')
done
count="$(find "$pages" -name '*.[58]' | wc -l)"
if [ "$count" -ne 9 ]; then
  echo "FAIL: expected 9 manual pages, found $count"
  status=1
fi
[ "$status" -eq 0 ] && echo "manual pages: ok"
exit "$status"
