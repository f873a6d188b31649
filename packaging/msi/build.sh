#!/bin/sh
# Builds the Windows Installer package: wixl makes it from CVNRemote.wxs,
# then msibuild puts in what wixl drops or gets wrong: the client (a build
# that needs no library beside it) in the Binary table, the custom actions
# that run its setup verbs, the whole InstallExecuteSequence (wixl leaves out
# the folder and IniFile actions and puts a property action after the end),
# the IniFile rows of the hand-over (and
# an ActionText template that leaves out their values), the searches for
# settings already in the folder (wixl has no DirectorySearch), the Event Log source's message file as an expandable string (as the
# service writes it) and its key removed at uninstall, and the secure and hidden properties.
# Usage: build.sh <out.msi> <version> win32|win64 <folder of the programs> <standalone client>
set -eu
out=$1 version=$2 arch=$3 bin=$4 standalone=$5
here=$(cd "$(dirname "$0")" && pwd)
case $arch in
  win32) wixarch=x86 programs=ProgramFilesFolder ;;
  win64) wixarch=x64 programs=ProgramFiles64Folder ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
# wixl takes the files' sources relative to the folder it runs in.
(cd "$bin" && wixl -D Version="$version" -D Arch="$arch" -D Client=CVNRemote.exe -D Library=QMXDLL.dll \
   -D Helper=CVNShutdown.exe -a "$wixarch" -o "$out" "$here/CVNRemote.wxs")
cp "$here"/*.idt "$work/"
sed -i "s/PROGRAMSFOLDER/$programs/" "$work/DrLocator.idt"
mkdir "$work/Binary"
cp "$standalone" "$work/Binary/CvnClient.ibd"
# Every public property the settings come from, and PURGE, passes from the
# client side of an elevated or managed install to the server side; the
# password is kept out of the log (Windows reads MsiHiddenProperties; Wine
# does not, and the password is no property it logs the value of).
secure="WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;SERVERADDRESS;SERVERPORT;SERVERUSER;SERVERPASSWORD;ONBATTERY;LOWBATTERY;SETTINGSFILE;PURGE"
(cd "$work" && msibuild "$out" -i CustomAction.idt -i InstallExecuteSequence.idt -i IniFile.idt -i ActionText.idt -i Binary.idt \
  -i AppSearch.idt -i Signature.idt -i DrLocator.idt \
  -q "UPDATE Property SET Value = '$secure' WHERE Property = 'SecureCustomProperties'" \
  -q "INSERT INTO Property (Property, Value) VALUES ('MsiHiddenProperties', 'SERVERPASSWORD')" \
  -q "UPDATE Registry SET Value = '#%[#CVNRemote.exe]' WHERE Name = 'EventMessageFile'" \
  -q "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Component_) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Corvane Remote Shutdown Client', '-', 'Programs')")
