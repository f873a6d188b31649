#!/bin/sh
# The guide's checks find what they are for: a link to a missing file or
# heading (by GitHub's anchors, repeated headings included), a setting
# missing from, or added to, one side of the settings table, and a report
# of the catalogue missing from, or changed in, the table of reports.
# Usage: checks_test.sh <source tree>
src=$1
here=$(dirname "$0")
work=$(mktemp -d "${TMPDIR:-/tmp}/cvn-docs.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failed=0

# expect <0|1> <text the output must hold, or ""> <what> <command...>
expect() {
  want=$1 text=$2 what=$3
  shift 3
  out=$("$@" 2>&1)
  got=$?
  [ "$got" -ne 0 ] && got=1
  if [ "$got" != "$want" ] || { [ -n "$text" ] && ! printf '%s\n' "$out" | grep -qF -- "$text"; }; then
    echo "FAILED: $what (status $got): $out" >&2
    failed=1
  fi
}

# Links: a small tree of two pages.
tree=$work/links
mkdir -p "$tree/docs"
cat >"$tree/docs/a.md" <<'PAGE'
# Page A
## `status`, and the Event Log's entries (0x4002000A)
## Examples
## Examples
```sh
# a comment in code, no heading
```
See [the top](../README.md#the-readme) and [here](#examples-1).
PAGE
cat >"$tree/README.md" <<'PAGE'
# The README
[a](docs/a.md), [code](docs/a.md#status-and-the-event-logs-entries-0x4002000a),
[second](docs/a.md#examples-1), [a site](https://example.com/missing.md).
Code is not a link: `[x](missing.md)`.
```
[y](missing.md)
```
PAGE
expect 0 "2 pages" "links that all lead somewhere" "$here/check_links.py" "$tree"
printf '[gone](docs/b.md)\n' >>"$tree/README.md"
expect 1 "README.md:8: docs/b.md: no such file docs/b.md" "a link to a missing page" "$here/check_links.py" "$tree"
sed -i '$d' "$tree/README.md"
printf '[third](docs/a.md#examples-2)\n' >>"$tree/README.md"
expect 1 'no heading with the anchor "examples-2" in docs/a.md' "a third heading of two" "$here/check_links.py" "$tree"
sed -i '$d' "$tree/README.md"
printf 'See [me](#the-readme) and [not me](#readme).\n' >>"$tree/docs/a.md"
expect 1 'docs/a.md:9: #readme: no heading with the anchor "readme" in docs/a.md' "an anchor of the page itself" "$here/check_links.py" "$tree"

# Settings: the real files, then one side changed at a time.
settings() {
  rm -rf "$work/s" && mkdir -p "$work/s/docs" "$work/s/packaging/debian/examples" &&
    cp "$src/docs/settings.md" "$work/s/docs/" &&
    cp "$src/packaging/cvnremote.8" "$src/packaging/CVNRemote.ini" "$work/s/packaging/" &&
    cp "$src/packaging/debian/examples/CVNRemote.ini" "$work/s/packaging/debian/examples/"
}
settings
expect 0 "settings, the same in" "the files as they are" "$here/check_settings.py" "$work/s"
sed -i '/^\.B Fallback Delay$/d' "$work/s/packaging/cvnremote.8"
expect 1 "packaging/cvnremote.8 lacks [Commands] Fallback Delay" "a key missing from the manual page" "$here/check_settings.py" "$work/s"
settings
sed -i 's/^Dry Run=0$/&\nDry Runs=0/' "$work/s/packaging/CVNRemote.ini"
expect 1 "packaging/CVNRemote.ini has [Settings] Dry Runs, which docs/settings.md does not list" "a key the table lacks" "$here/check_settings.py" "$work/s"
settings
sed -i 's/^Notice Delay=0$/Notice Delay=5/' "$work/s/packaging/debian/examples/CVNRemote.ini"
expect 1 'gives [Settings] Notice Delay the default "5"' "a default that is not the table's" "$here/check_settings.py" "$work/s"
settings
sed -i '/^#Username=admin$/d' "$work/s/packaging/debian/examples/CVNRemote.ini"
expect 1 "examples/CVNRemote.ini lacks [Server 2 ... Server 8] Username" "a further server's key missing from the template" "$here/check_settings.py" "$work/s"
settings
sed -i '/^| Commands | Shutdown Command |/d' "$work/s/docs/settings.md"
expect 1 "packaging/cvnremote.8 has [Commands] Shutdown Command, which docs/settings.md does not list" "a row missing from the table" "$here/check_settings.py" "$work/s"

# Reports: the real catalogue and page, then a row lost and a text changed.
reports() {
  rm -rf "$work/r" && mkdir -p "$work/r/docs" "$work/r/client" &&
    cp "$src/docs/checking.md" "$work/r/docs/" && cp "$src/client/messages.mc" "$work/r/client/"
}
reports
expect 0 "reports, as the catalogue holds them" "the table as it is" "$here/check_catalogue.py" "$work/r"
sed -i '/^| 0xC0020004 |/d' "$work/r/docs/checking.md"
expect 1 "missing row: | 0xC0020004 | error | No server address specified, aborting! |" "a row missing from the table" "$here/check_catalogue.py" "$work/r"
reports
sed -i 's/^Connecting to server\.$/Connecting to the server./' "$work/r/client/messages.mc"
expect 1 "not in the catalogue: | 0x40020003 | information | Connecting to server. |" "a text changed in the catalogue" "$here/check_catalogue.py" "$work/r"
[ $failed = 0 ] && echo "the link, settings and report checks find broken links, missing and extra keys and rows, wrong defaults"
exit $failed
