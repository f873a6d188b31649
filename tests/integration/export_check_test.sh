#!/usr/bin/env bash
# What export_check.sh refuses, shown on small libraries made here with both
# MinGW-w64 toolchains (32- and 64-bit, whatever the build): each row gives
# the libraries (a bad one beside a good one, so that a good library cannot
# carry a bad one through), the exit status and a line the check must print.
#   export_check_test.sh <llvm-readobj>
set -uo pipefail
readobj=$1
check="$(cd "$(dirname "$0")" && pwd)/export_check.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-exports.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

cat >names.h <<'EOF2'
constexpr char kOpen[] = "CvnOpen";  // cvnsys.dll
constexpr char kClose[] = "CvnClose";  // CVNSYS.DLL
constexpr char kOther[] = "CvnOther";  // cvnother.dll
EOF2
cat >library.c <<'EOF2'
__declspec(dllexport) int __stdcall CvnOpen(int a, int b) { return a + b; }
#ifndef NO_CLOSE
__declspec(dllexport) void __stdcall CvnClose(void *p) { (void)p; }
#endif
#ifdef EXTRA
__declspec(dllexport) int CvnExtra(void) { return 1; }
#endif
EOF2

# library <bits> <name> <define> [linker options]
library() {
  local bits=$1 name=$2 define=$3 tools
  shift 3
  if [ "$bits" = 32 ]; then tools=i686-w64-mingw32; else tools=x86_64-w64-mingw32; fi
  "$tools-gcc" -O2 -shared ${define:+-D$define} "$@" -o "$name" library.c 2>build.log ||
    { echo "cannot build $name:"; cat build.log; exit 1; }
}

for bits in 32 64; do
  library $bits good$bits.dll '' -Wl,--kill-at
  library $bits extra$bits.dll EXTRA -Wl,--kill-at
  library $bits short$bits.dll NO_CLOSE -Wl,--kill-at
done
library 32 decorated32.dll ''
echo "MZ but nothing more" >text.dll
{ cat names.h; echo 'constexpr char kLost[] = "CvnLost";'; } >lost.h

failed=0
while IFS='|' read -r header standins status expected; do
  out=$("$check" "$readobj" $header $standins 2>&1)
  rc=$?
  if [ "$rc" != "$status" ] || ! grep -qxF "$expected" <<<"$out"; then
    echo "FAILED: $header $standins: status $rc, expected $status and the line: $expected"
    echo "$out" | sed 's/^/  /'
    failed=1
  fi
done <<'EOF2'
names.h|cvnsys.dll=good32.dll cvnsys.dll=good64.dll|0|2 stand-ins export exactly the names the client asks their libraries for
names.h|cvnsys.dll=good64.dll cvnsys.dll=decorated32.dll|1|decorated32.dll: exports CvnOpen@8, a decorated name: GetProcAddress asks cvnsys.dll for CvnOpen
names.h|cvnsys.dll=good64.dll cvnsys.dll=decorated32.dll|1|decorated32.dll: exports CvnClose@4, a decorated name: GetProcAddress asks cvnsys.dll for CvnClose
names.h|cvnsys.dll=good32.dll cvnsys.dll=extra64.dll|1|extra64.dll: exports CvnExtra, which the client never asks cvnsys.dll for
names.h|cvnsys.dll=good64.dll cvnsys.dll=extra32.dll|1|extra32.dll: exports CvnExtra, which the client never asks cvnsys.dll for
names.h|cvnsys.dll=good64.dll cvnsys.dll=short32.dll|1|short32.dll: does not export CvnClose, which the client asks cvnsys.dll for
names.h|cvnsys.dll=good32.dll cvnother.dll=good64.dll|1|good64.dll: exports CvnOpen, which the client never asks cvnother.dll for
names.h|cvnsys.dll=good32.dll nosuch.dll=good64.dll|1|good64.dll: plays nosuch.dll, in which the client looks nothing up
names.h|cvnsys.dll=good32.dll cvnsys.dll=text.dll|1|text.dll: not a readable PE image: The file was not recognized as a valid object file
lost.h|cvnsys.dll=good32.dll|1|lost.h: a constexpr line without the form  constexpr char kName[] = "Function";  // library.dll
EOF2
[ $failed -eq 0 ] && echo "export check: decorated, extra and missing names, libraries without a list and unreadable files refused"
exit $failed
