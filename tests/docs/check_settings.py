#!/usr/bin/python3
"""The settings table of the guide is the one list of the settings: the
manual page and the package's two settings files must name exactly its keys,
section by section, and give its defaults. A key missing on either side
fails, named with the file that lacks it.

Usage: check_settings.py <source tree>"""
import os
import re
import sys

TABLE = 'docs/settings.md'
MANUAL = 'packaging/cvnremote.8'
FILES = ('packaging/CVNRemote.ini', 'packaging/debian/examples/CVNRemote.ini')
# The further servers' sections, as the table, the manual page and the
# files' commented template write them.
FURTHER = 'Server 2 ... Server 8'
FURTHER_MANUAL = '[Server 2] to [Server 8]'
FURTHER_FILE = re.compile(r'^#\[Server [2-8]\]$')


def table_default(cell):
    """The default as a settings file writes it; None where there is none to
    write (a further server's address, the keys taken from [Settings])."""
    cell = cell.strip().replace('`', '')
    if cell.startswith('(empty'):
        return ''
    if cell.startswith('(none') or cell.startswith('those of'):
        return None
    return cell


def read_table(root):
    """{(section, key): default} of the table under "Every setting"."""
    settings = {}
    lines = open(os.path.join(root, TABLE), encoding='utf-8').read().split('\n')
    start = lines.index('| Section | Key | Default | Meaning |')
    for line in lines[start + 2:]:
        if not line.startswith('|'):
            break
        cells = [cell.strip() for cell in line.strip('|').split('|')]
        section, keys, default = cells[0], cells[1], cells[2]
        for key in keys.split(', '):
            if (section, key) in settings:
                raise SystemExit('%s: [%s] %s twice' % (TABLE, section, key))
            settings[(section, key)] = table_default(default)
    return settings


def manual_words(line):
    """The bold words of a .B or .BR line: quoted or up to a blank."""
    rest = re.sub(r'^\.BR? ', '', line)
    return [quoted or word for quoted, word in re.findall(r'"([^"]*)"|(\S+)', rest)]


def read_manual(root):
    """{(section, key): default or None} of the manual page's SETTINGS."""
    settings = {}
    section = None
    key = None
    in_settings = False
    for line in open(os.path.join(root, MANUAL), encoding='utf-8'):
        line = line.rstrip('\n')
        if line.startswith('.SH '):
            in_settings = line == '.SH SETTINGS'
            section = key = None
            continue
        if not in_settings:
            continue
        if line.startswith('.SS '):
            name = line[4:].strip('"')
            section = FURTHER if name == FURTHER_MANUAL else name.strip('[]')
            key = None
        elif line in ('.TP', '.PP'):
            key = 'next' if line == '.TP' else None
        elif key == 'next' and line.startswith('.B '):
            key = line[3:].strip('"')
            settings[(section, key)] = None
        elif section == FURTHER and re.match(r'^\.BR? ', line):
            word = manual_words(line)[0]
            if not word.startswith('['):
                settings[(section, word)] = None
        elif key not in (None, 'next') and line.startswith('Default:'):
            value = line[len('Default:'):].strip()
            value = re.split(r'[ ,]', value, 1)[0].rstrip('.')
            settings[(section, key)] = '' if value == 'empty' else value.replace('\\-', '-')
    return settings


def read_file(root, name):
    """{(section, key): value} of a settings file; its commented template of
    a further server ("#[Server 2]" and "#Key=value" lines) as that one."""
    settings = {}
    section = None
    template = False
    for line in open(os.path.join(root, name), encoding='utf-8'):
        line = line.rstrip('\r\n')
        if FURTHER_FILE.match(line):
            template = True
            continue
        entry = re.match(r'^#([A-Za-z][A-Za-z ]*)=(.*)$', line) if template else None
        if entry:
            settings[(FURTHER, entry.group(1))] = None
            continue
        template = False
        header = re.match(r'^\[([^\]]+)\]$', line)
        if header:
            section = header.group(1)
            continue
        entry = re.match(r'^([A-Za-z][A-Za-z ]*)=(.*)$', line)
        if entry:
            settings[(section, entry.group(1))] = entry.group(2).rstrip()
    return settings


def compare(table, other, name):
    faults = []
    for (section, key), default in sorted(table.items()):
        if (section, key) not in other:
            faults.append('%s lacks [%s] %s' % (name, section, key))
        elif default is not None and other[(section, key)] is not None and other[(section, key)] != default:
            faults.append('%s gives [%s] %s the default "%s", %s says "%s"'
                          % (name, section, key, other[(section, key)], TABLE, default))
    for section, key in sorted(set(other) - set(table)):
        faults.append('%s has [%s] %s, which %s does not list' % (name, section, key, TABLE))
    return faults


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    table = read_table(root)
    faults = []
    # A further server takes the keys of [Settings] that name a server.
    for section, key in table:
        if section == FURTHER and ('Settings', key) not in table:
            faults.append('%s: [%s] %s is no key of [Settings]' % (TABLE, section, key))
    faults += compare(table, read_manual(root), MANUAL)
    for name in FILES:
        faults += compare(table, read_file(root, name), name)
    for fault in faults:
        print('settings: ' + fault, file=sys.stderr)
    if faults:
        return 1
    print('%d settings, the same in %s, %s' % (len(table), MANUAL, ', '.join(FILES)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
