#!/usr/bin/env bash
# Checks that the Windows deliverables load on the oldest Windows they are
# for: each file must be a PE image of the build's kind whose header asks for
# no newer Windows than the build is for (NT 4.0 for win32, 5.2 for win64:
# NT's loader refuses an image whose OS or subsystem version is above its
# own), with an import table, and every function it imports, by name or by
# ordinal, directly or delay-loaded, must be in the reference table
# (imports/windows_imports.txt; an ordinal as #N) and old enough for the
# build. Anything it cannot read is a failure, never a pass.
#   import_check.sh [--table <file>] <llvm-readobj> win32|win64 <program or DLL>...
# Wine cannot show this: its DLLs export every function of every version.
set -uo pipefail
table="$(dirname "$0")/imports/windows_imports.txt"
if [ "${1:-}" = --table ]; then
  table=$2
  shift 2
fi
readobj=$1 arch=$2
shift 2

# NT versions compare as numbers; the 9x family by its order.
nine_x_rank() { case $1 in 95) echo 1 ;; 98) echo 2 ;; 98SE) echo 3 ;; ME) echo 4 ;; *) echo 99 ;; esac; }
newer() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 > b + 0) }'; }

case $arch in
  win32) nt_target=4.0 nine_x_target=98SE magic=0x10B format=COFF-i386 ;;
  win64) nt_target=5.2 nine_x_target= magic=0x20B format=COFF-x86-64 ;;
  *) echo "unknown build $arch" >&2; exit 2 ;;
esac

# One line per fact: "format F", "magic M", "os MAJOR.MINOR",
# "subsystem MAJOR.MINOR", "import DLL NAME" and "delay DLL NAME", where an
# import by ordinal has #N for its name (llvm-readobj prints it as an empty
# name with the ordinal in decimal, in either image kind).
facts() {
  awk '
    /^Format:/ { print "format", $2 }
    /^  Magic: 0x/ { print "magic", $2 }
    /^  MajorOperatingSystemVersion:/ { os = $2 }
    /^  MinorOperatingSystemVersion:/ { print "os", os "." $2 }
    /^  MajorSubsystemVersion:/ { sub_major = $2 }
    /^  MinorSubsystemVersion:/ { print "subsystem", sub_major "." $2 }
    /^Import \{/ { kind = "import" }
    /^DelayImport \{/ { kind = "delay" }
    /^  Name:/ && kind != "" { dll = tolower($2) }
    /^ *Symbol:/ {
      name = $0
      sub(/^ *Symbol: */, "", name)
      n = split(name, part, " ")
      number = part[n]
      gsub(/[()]/, "", number)
      print kind, dll, (n == 1 ? "#" number : part[1])
    }
    /^}/ { kind = "" }'
}

failed=0 count=0
for file in "$@"; do
  name=$(basename "$file")
  [ -f "$file" ] || { echo "missing: $file"; failed=1; continue; }
  # Warnings count: a table that llvm-readobj has to skip is not vouched for.
  if ! out=$("$readobj" --file-headers --coff-imports "$file" 2>&1 >/dev/null) || [ -n "$out" ]; then
    echo "$name: not a readable PE image: ${out##*: }"
    failed=1
    continue
  fi
  declare -A seen=()
  imports=0
  while read -r kind a b; do
    seen[$kind]=$a
    case $kind in
      import|delay) ;;
      os|subsystem)
        if newer "$a" "$nt_target"; then
          echo "$name: its header's $kind version is $a; the $arch build is for NT $nt_target"
          failed=1
        fi
        continue ;;
      *) continue ;;
    esac
    imports=$((imports + 1))
    [ "$a" = qmxdll.dll ] && continue
    count=$((count + 1))
    what="$a $b"
    case $b in \#*) what="$a ordinal ${b#\#}" ;; esac
    [ "$kind" = delay ] && what="$what (delay-loaded)"
    row=$(awk -v d="$a" -v f="$b" '!/^#/ && tolower($1) == d && $2 == f { print $3, $4; exit }' "$table")
    if [ -z "$row" ]; then
      echo "$name: $what is not in the reference table: look up the oldest Windows that exports it"
      failed=1
      continue
    fi
    read -r nt nine_x <<<"$row"
    if newer "$nt" "$nt_target"; then
      echo "$name: $what needs NT $nt; the $arch build is for NT $nt_target"
      failed=1
    fi
    if [ -n "$nine_x_target" ] && [ "$(nine_x_rank "$nine_x")" -gt "$(nine_x_rank "$nine_x_target")" ]; then
      echo "$name: $what is not on Windows $nine_x_target"
      failed=1
    fi
  done < <("$readobj" --file-headers --coff-imports "$file" 2>/dev/null | facts)
  if [ "${seen[format]:-}" != "$format" ] || [ "${seen[magic]:-}" != "$magic" ]; then
    echo "$name: not a $arch PE image (${seen[format]:-no format}, optional header ${seen[magic]:-missing})"
    failed=1
  elif [ $imports -eq 0 ]; then
    echo "$name: no import table: nothing to vouch for"
    failed=1
  fi
  unset seen
done
[ $failed -eq 0 ] && echo "$count imports of $# files: all on the Windows versions the $arch build is for"
exit $failed
