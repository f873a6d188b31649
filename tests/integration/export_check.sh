#!/usr/bin/env bash
# Checks that each test stand-in for a system library exports exactly the
# names that the client gives GetProcAddress for that library (the list in
# client/looked_up.h), undecorated: the 32-bit compilers export a WINAPI
# function as Name@bytes unless told not to, and the client, looking up the
# system's own names, would then find none of the stand-in's functions and
# go its way without them. It reads the files, it runs nothing, so it holds
# on every machine. Anything it cannot read is a failure, never a pass.
#   export_check.sh <llvm-readobj> <names header> <library.dll>=<stand-in>...
set -uo pipefail
readobj=$1 header=$2
shift 2

# "library function" per line of the header's list.
names=$(awk -F'"' '/^constexpr char k[A-Za-z0-9_]*\[\] = "[^"]*";  *\/\/ *[A-Za-z0-9_]+\.[Dd][Ll][Ll] *$/ {
  library = $0
  sub(/.*\/\/ */, "", library)
  sub(/ *$/, "", library)
  print tolower(library), $2
}' "$header")
if [ -z "$names" ]; then
  echo "$header: no names to check against"
  exit 1
fi
# A name whose line lost the form would go unchecked.
if [ "$(grep -c '^ *constexpr ' "$header")" != "$(wc -l <<<"$names")" ]; then
  echo "$header: a constexpr line without the form  constexpr char kName[] = \"Function\";  // library.dll"
  exit 1
fi
[ $# -gt 0 ] || { echo "no stand-ins given"; exit 1; }

failed=0
for standin in "$@"; do
  library=$(tr '[:upper:]' '[:lower:]' <<<"${standin%%=*}") file=${standin#*=}
  name=$(basename "$file")
  if ! out=$("$readobj" --coff-exports "$file" 2>&1 >/dev/null) || [ -n "$out" ]; then
    echo "$name: not a readable PE image: ${out##*: }"
    failed=1
    continue
  fi
  wanted=$(awk -v l="$library" '$1 == l { print $2 }' <<<"$names" | sort)
  if [ -z "$wanted" ]; then
    echo "$name: plays $library, in which the client looks nothing up"
    failed=1
    continue
  fi
  # An export by ordinal alone has an empty name.
  exported=$("$readobj" --coff-exports "$file" | awk '/^Export \{/ { n = 1; next }
    n && /^  Name:/ { sub(/^  Name: ?/, ""); print ($0 == "" ? "(an ordinal without a name)" : $0); n = 0 }' | sort)
  decorated=
  while read -r export; do
    [ -n "$export" ] || continue
    if grep -qxF "$export" <<<"$wanted"; then
      continue
    fi
    plain=${export%@*}
    plain=${plain#_}
    if [ "$plain" != "$export" ] && grep -qxF "$plain" <<<"$wanted"; then
      echo "$name: exports $export, a decorated name: GetProcAddress asks $library for $plain"
      decorated+="$plain"$'\n'
    else
      echo "$name: exports $export, which the client never asks $library for"
    fi
    failed=1
  done <<<"$exported"
  while read -r function; do
    if ! grep -qxF "$function" <<<"$exported"$'\n'"$decorated"; then
      echo "$name: does not export $function, which the client asks $library for"
      failed=1
    fi
  done <<<"$wanted"
done
[ $failed -eq 0 ] && echo "$# stand-ins export exactly the names the client asks their libraries for"
exit $failed
