#!/usr/bin/env bash
# Checks that the Windows deliverables load on the oldest Windows they are
# for: every function in their import tables must be in the reference table
# (imports/windows_imports.txt) and old enough for the build.
#   import_check.sh <objdump> win32|win64 <program or DLL>...
# Wine cannot show this: its DLLs export every function of every version.
set -uo pipefail
objdump=$1 arch=$2
shift 2
table="$(dirname "$0")/imports/windows_imports.txt"

# NT versions compare as numbers; the 9x family by its order.
nine_x_rank() { case $1 in 95) echo 1 ;; 98) echo 2 ;; 98SE) echo 3 ;; ME) echo 4 ;; *) echo 99 ;; esac; }
newer() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 > b + 0) }'; }

case $arch in
  win32) nt_target=4.0 nine_x_target=98SE ;;
  win64) nt_target=5.2 nine_x_target= ;;
  *) echo "unknown build $arch" >&2; exit 2 ;;
esac

failed=0 count=0
for file in "$@"; do
  [ -f "$file" ] || { echo "missing: $file"; failed=1; continue; }
  while read -r dll function; do
    count=$((count + 1))
    row=$(awk -v d="$dll" -v f="$function" '!/^#/ && tolower($1) == d && $2 == f { print $3, $4; exit }' "$table")
    if [ -z "$row" ]; then
      echo "$(basename "$file"): $dll $function is not in the reference table: look up the oldest Windows that exports it"
      failed=1
      continue
    fi
    read -r nt nine_x <<<"$row"
    if newer "$nt" "$nt_target"; then
      echo "$(basename "$file"): $dll $function needs NT $nt; the $arch build is for NT $nt_target"
      failed=1
    fi
    if [ -n "$nine_x_target" ] && [ "$(nine_x_rank "$nine_x")" -gt "$(nine_x_rank "$nine_x_target")" ]; then
      echo "$(basename "$file"): $dll $function is not on Windows $nine_x_target"
      failed=1
    fi
  done < <("$objdump" -p "$file" | awk '/DLL Name:/ { dll = tolower($3) }
                                        NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && dll != "qmxdll.dll" { print dll, $3 }')
done
[ $count -gt 0 ] || { echo "no imports read"; exit 1; }
[ $failed -eq 0 ] && echo "$count imports of $# files: all on the Windows versions the $arch build is for"
exit $failed
