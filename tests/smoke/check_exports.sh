#!/usr/bin/env bash
# The shared library exports exactly what its headers and version script
# promise: every le_* function declared in the public headers and no other
# le_* symbol, plus the C++ functions the version script names, each of them
# present.
#
#   check_exports.sh <lible_core.so> <version script> <public header>...
set -euo pipefail
lib=$1 map=$2
shift 2

declared=$(grep -ho 'LE_API[^;(]*\ble_[a-z0-9_]*(' "$@" | grep -o 'le_[a-z0-9_]*($' | tr -d '(' | sort -u)
# Sanitizer runtimes and the linker may add their own hidden-prefix symbols.
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^__\(asan\|ubsan\|tsan\|sanitizer\|lsan\)' | sort -u)
exported_c=$(grep '^le_' <<<"$exported" || true)
exported_cxx=$(grep -v '^le_' <<<"$exported" | c++filt || true)

status=0
if ! diff <(echo "$declared") <(echo "$exported_c") >/dev/null; then
  echo "le_* symbols: declared in the headers (<) vs exported by $lib (>):"
  diff <(echo "$declared") <(echo "$exported_c") | grep '^[<>]' || true
  status=1
fi

# The version script's C++ entries: quoted ones match one signature exactly,
# bare ones are glob patterns.
mapfile -t patterns < <(sed -n '/extern "C++"/,/}/p' "$map" | sed -n 's/^ *\([^ }].*\);$/\1/p')
while IFS= read -r sym; do
  [ -z "$sym" ] && continue
  matched=0
  for p in "${patterns[@]}"; do
    if [[ $p == \"*\" ]]; then [[ $sym == "${p:1:${#p}-2}" ]] && matched=1
    else [[ $sym == $p ]] && matched=1; fi
  done
  if [ $matched = 0 ]; then echo "exported but not in $map: $sym"; status=1; fi
done <<<"$exported_cxx"
for p in "${patterns[@]}"; do
  found=0
  while IFS= read -r sym; do
    if [[ $p == \"*\" ]]; then [[ $sym == "${p:1:${#p}-2}" ]] && found=1
    else [[ $sym == $p ]] && found=1; fi
  done <<<"$exported_cxx"
  if [ $found = 0 ]; then echo "named in $map but not exported: $p"; status=1; fi
done

[ $status = 0 ] && echo "$(wc -l <<<"$declared") le_* functions and ${#patterns[@]} C++ entries exported, nothing else"
exit $status
