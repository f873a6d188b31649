#!/usr/bin/env bash
# What import_check.sh refuses, shown on small images made here with both
# MinGW-w64 toolchains (32- and 64-bit, whatever the build): each row gives
# the build it checks for, the files (a bad one beside a good one, so that a
# good file cannot carry a bad one through), the exit status and a line the
# check must print.
#   import_check_test.sh <llvm-readobj>
set -uo pipefail
readobj=$1
check="$(cd "$(dirname "$0")" && pwd)/import_check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-imports.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

cat >table.txt <<'EOF'
kernel32.dll GetTickCount 3.1 95
cvnord.dll   #23          3.1 95
cvndelay.dll oldfn        3.1 95
cvndelay.dll newfn        6.0 -
EOF
printf 'LIBRARY cvnord.dll\nEXPORTS\nordfn @23 NONAME\nordfn2 @24 NONAME\n' >ord.def
printf 'LIBRARY cvndelay.dll\nEXPORTS\noldfn\nnewfn\n' >delay.def
cat >image.c <<'EOF'
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) int ordfn(void);
__declspec(dllimport) int ordfn2(void);
__declspec(dllimport) int oldfn(void);
__declspec(dllimport) int newfn(void);
/* Never called: the images are read, not run. */
void *__stdcall __delayLoadHelper2(void *descriptor, void *slot) { (void)descriptor; (void)slot; return 0; }
int entry(void)
{
    int r = 0;
#ifdef GOOD
    r += (int)GetTickCount() + ordfn() + oldfn();
#endif
#ifdef ORDINAL
    r += ordfn2();
#endif
#ifdef DELAY
    r += newfn();
#endif
    return r;
}
EOF

le32() { local v=$1; printf "$(printf '\\x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255)))"; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# GNU ld leaves the delay-load entry of the data directory empty (Windows'
# loader does not need it; the descriptor is reached through the code that
# dlltool's library adds): set it, as Microsoft's linker does, so that the
# table can be read.
point_delay_directory() {
  local file=$1 tools=$2 pe opt dirs base rva
  base=$("$tools-objdump" -p "$file" | awk '/^ImageBase/ { print $2 }')
  rva=$((0x$("$tools-nm" "$file" | awk '/DELAY_IMPORT_DESCRIPTOR/ { print $1; exit }') - 0x$base))
  pe=$(u32 "$file" 60)
  opt=$((pe + 24))
  [ "$(od -An -tx2 -j $opt -N2 "$file" | tr -d ' ')" = 020b ] && dirs=$((opt + 112)) || dirs=$((opt + 96))
  # Entry 13, sized for the descriptor and the empty one that ends the list.
  { le32 $rva; le32 64; } | dd of="$file" bs=1 seek=$((dirs + 13 * 8)) conv=notrunc status=none
}

# image <bits> <name> <define> [linker options]
image() {
  local bits=$1 name=$2 define=$3 tools entry=entry
  shift 3
  if [ "$bits" = 32 ]; then tools=i686-w64-mingw32 entry=_entry; else tools=x86_64-w64-mingw32; fi
  [ -f ord$bits.a ] || { "$tools-dlltool" -d ord.def -l ord$bits.a && "$tools-dlltool" -d delay.def -y delay$bits.a; } ||
    { echo "dlltool failed"; exit 1; }
  "$tools-gcc" -O2 -nostdlib -Wl,-e,$entry ${define:+-D$define} "$@" -o "$name" image.c ord$bits.a delay$bits.a -lkernel32 2>build.log ||
    { echo "cannot build $name:"; cat build.log; exit 1; }
  case $define in GOOD|DELAY) point_delay_directory "$name" "$tools" ;; esac
}

for bits in 32 64; do
  image $bits good$bits.exe GOOD
  image $bits bare$bits.exe ''
  image $bits ordinal$bits.exe ORDINAL
  image $bits delay$bits.exe DELAY
done
image 64 os64.exe GOOD -Wl,--major-os-version,6,--minor-os-version,0
image 32 subsystem32.exe GOOD -Wl,--major-subsystem-version,5,--minor-subsystem-version,0
echo "MZ but nothing more" >text.exe
head -c 1024 good64.exe >cut64.exe

failed=0
while IFS='|' read -r arch files status expected; do
  out=$("$check" --table table.txt "$readobj" "$arch" $files 2>&1)
  rc=$?
  if [ "$rc" != "$status" ] || ! grep -qxF "$expected" <<<"$out"; then
    echo "FAILED: $arch $files: status $rc, expected $status and the line: $expected"
    echo "$out" | sed 's/^/  /'
    failed=1
  fi
done <<'EOF'
win64|good64.exe|0|3 imports of 1 files: all on the Windows versions the win64 build is for
win32|good32.exe|0|3 imports of 1 files: all on the Windows versions the win32 build is for
win64|good64.exe text.exe|1|text.exe: not a readable PE image: The file was not recognized as a valid object file
win64|good64.exe cut64.exe|1|cut64.exe: not a readable PE image: The end of the file was unexpectedly encountered
win64|good64.exe bare64.exe|1|bare64.exe: no import table: nothing to vouch for
win32|good32.exe bare32.exe|1|bare32.exe: no import table: nothing to vouch for
win64|good64.exe good32.exe|1|good32.exe: not a win64 PE image (COFF-i386, optional header 0x10B)
win64|good64.exe ordinal64.exe|1|ordinal64.exe: cvnord.dll ordinal 24 is not in the reference table: look up the oldest Windows that exports it
win32|good32.exe ordinal32.exe|1|ordinal32.exe: cvnord.dll ordinal 24 is not in the reference table: look up the oldest Windows that exports it
win64|good64.exe delay64.exe|1|delay64.exe: cvndelay.dll newfn (delay-loaded) needs NT 6.0; the win64 build is for NT 5.2
win32|good32.exe delay32.exe|1|delay32.exe: cvndelay.dll newfn (delay-loaded) is not on Windows 98SE
win64|good64.exe os64.exe|1|os64.exe: its header's os version is 6.0; the win64 build is for NT 5.2
win32|good32.exe subsystem32.exe|1|subsystem32.exe: its header's subsystem version is 5.0; the win32 build is for NT 4.0
EOF
[ $failed -eq 0 ] && echo "import check: unreadable files, missing import tables, unknown ordinals, new delay-loaded imports and new header versions refused"
exit $failed
