#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the project:
# cmake, g++, GoogleTest, MinGW-w64 and Wine: wine64 for the 64-bit Windows
# build, wine32 for the 32-bit one (installed on every machine; whether this
# one can execute it is for scripts/test.sh to find out); llvm-14, whose
# llvm-readobj reads the Windows programs' import tables (delay-loaded ones
# too); NSIS for the setup programs, wixl and msitools (msibuild, msiinfo)
# for the Windows Installer packages, dpkg-dev for the Debian package's
# dependencies and systemd for checking its unit, systemd-container for
# booting it in a container, lintian and mandoc for checking the package and
# its manual page; python3 for the checks of the guide's links and settings.
# Quiet and quick when everything is there.
set -euo pipefail

missing=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

for pkg in cmake make g++ googletest libgtest-dev libgmock-dev mingw-w64 llvm-14 wine wine64 wine32:i386 \
           nsis wixl msitools dpkg-dev systemd systemd-container lintian mandoc python3; do
  have_pkg "$pkg" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
