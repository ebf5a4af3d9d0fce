#!/bin/sh
# Run after the link: the code that an idle process 1 and log relay run must lie in the
# segment of its own that src/idle.ld makes; a compiler or C library that puts a piece of it
# elsewhere (an inlined call, a renamed object file) fails the build here, where otherwise an
# idle process would quietly keep a group of pages of the rest of the code.
#   src/idle_check.sh EXECUTABLE
set -eu
exe=$1
range=$(readelf -SW "$exe" | sed -n 's/.*\] \.text\.idle  *PROGBITS  *\([0-9a-f]*\) [0-9a-f]* \([0-9a-f]*\) .*/\1 \2/p')
[ -n "$range" ] || { echo "idle check: $exe has no .text.idle section" >&2; exit 1; }
start=$((0x${range% *}))
end=$((start + 0x${range#* }))
symbols=$(nm -C "$exe")
for name in ppoll madvise splice lseek64 'memory::Idle::wait(' 'logging::relay_main()' \
  'logging::LogFile::follow()' 'logging::LogFile::take(' 'vesko::path_names('; do
  address=$(printf '%s\n' "$symbols" | awk -v want="$name" '
    { name = $0; sub(/^[0-9a-f]+ [A-Za-z] /, "", name) }
    index(name, want) == 1 && (name == want || want ~ /\($/) && name !~ /\[clone/ { print $1; exit }')
  [ -n "$address" ] || { echo "idle check: no symbol $name in $exe" >&2; exit 1; }
  at=$((0x$address))
  if [ "$at" -lt "$start" ] || [ "$at" -ge "$end" ]; then
    echo "idle check: $name (at 0x$address) is outside .text.idle of $exe" >&2
    exit 1
  fi
done
