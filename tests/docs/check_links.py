#!/usr/bin/python3
"""Every link of the README and the guide leads somewhere: to a file of the
tree, or to a heading of a Markdown page by the anchors GitHub gives them.
Links to other sites are not followed (no network). Prints each broken link
with its file and line, and fails when there is one.

Usage: check_links.py <source tree> [page.md ...]
Without pages: README.md and docs/*.md of the tree."""
import os
import re
import sys
import unicodedata

FENCE = re.compile(r'^\s*(```|~~~)')
HEADING = re.compile(r'^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$')
# [text](target) and ![alt](target); the text may hold `code` and brackets
# one level deep.
LINK = re.compile(r'!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+"[^"]*")?\s*\)')
REFERENCE = re.compile(r'^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+"[^"]*")?\s*$')
CODE_SPAN = re.compile(r'(`+)(.+?)\1')


def plain_lines(path):
    """The lines of a page outside fenced code blocks, with their numbers."""
    inside = None
    with open(path, encoding='utf-8') as page:
        for number, line in enumerate(page, 1):
            fence = FENCE.match(line)
            if fence:
                if inside is None:
                    inside = fence.group(1)
                elif fence.group(1) == inside:
                    inside = None
                continue
            if inside is None:
                yield number, line.rstrip('\n')


def heading_text(raw):
    """What a heading shows: links by their text, code without its ticks,
    no emphasis marks or HTML tags."""
    text = re.sub(r'!?\[([^\]]*)\]\([^)]*\)', r'\1', raw)
    text = re.sub(r'<[^>]+>', '', text)
    text = CODE_SPAN.sub(lambda m: m.group(2).strip(), text)
    return re.sub(r'(\*+|(?<!\w)_+|_+(?!\w))', '', text)


def anchor_of(text):
    """GitHub's rule: lower case, every character but letters, digits,
    blanks, '-' and '_' dropped, each blank a '-'."""
    kept = []
    for char in text.lower():
        kind = unicodedata.category(char)
        if char in '-_' or kind[0] in 'LN' or kind == 'Mn':
            kept.append(char)
        elif char == ' ':
            kept.append('-')
    return ''.join(kept)


def anchors(path, cache={}):
    """The anchors of a page's headings; a repeated one gets -1, -2, ..."""
    if path not in cache:
        seen = {}
        found = set()
        for _, line in plain_lines(path):
            match = HEADING.match(line)
            if not match:
                continue
            base = anchor_of(heading_text(match.group(2)))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else '%s-%d' % (base, count))
        cache[path] = found
    return cache[path]


def targets(line):
    """The link targets of a line, code spans left out."""
    line = CODE_SPAN.sub('', line)
    reference = REFERENCE.match(line)
    if reference:
        yield reference.group(1)
        return
    for match in LINK.finditer(line):
        yield match.group(1)


def check(root, pages):
    broken = []
    for page in pages:
        path = os.path.join(root, page)
        for number, line in plain_lines(path):
            for target in targets(line):
                if re.match(r'^[a-z][a-z0-9+.-]*:', target, re.I):
                    continue  # another site, or mail: not followed
                name, _, fragment = target.partition('#')
                linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
                where = '%s:%d: %s' % (page, number, target)
                if not os.path.exists(linked):
                    broken.append('%s: no such file %s' % (where, os.path.relpath(linked, root)))
                elif fragment and linked.endswith('.md') and fragment not in anchors(linked):
                    broken.append('%s: no heading with the anchor "%s" in %s'
                                  % (where, fragment, os.path.relpath(linked, root)))
                elif fragment and not linked.endswith('.md'):
                    broken.append('%s: an anchor into %s, which is no Markdown page'
                                  % (where, os.path.relpath(linked, root)))
    return broken


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    pages = sys.argv[2:]
    if not pages:
        docs = os.path.join(root, 'docs')
        pages = ['README.md'] + sorted(os.path.join('docs', name) for name in os.listdir(docs)
                                       if name.endswith('.md'))
    broken = check(root, pages)
    for line in broken:
        print('broken link: ' + line, file=sys.stderr)
    if broken:
        return 1
    print('%d pages, every link leads somewhere' % len(pages))
    return 0


if __name__ == '__main__':
    sys.exit(main())
