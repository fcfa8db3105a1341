#!/usr/bin/env python3
"""Follows the link cells of a playlist table as a browser does.

Usage: table_links.py TABLE_XML NAME

Reads the rows response, finds the row whose name cell reads NAME, and for
each link cell: takes the cell's text as an HTML fragment, reads the href of
its <a> with an HTML parser, percent-decodes the javascript: URL into a
script, and parses the script as one call with one single-quoted string
argument. Prints "FUNCTION ARGUMENT" per link and exits 0; exits 1 when the
row is missing or any step fails (a broken link).
"""
import html.parser
import re
import sys
import urllib.parse
import xml.etree.ElementTree as ET


class Href(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.href = None

    def handle_starttag(self, tag, attrs):
        if tag == "a" and self.href is None:
            self.href = dict(attrs).get("href")


CALL = re.compile(r"^([A-Za-z_]+)\('((?:[^'\\]|\\x[0-9A-Fa-f]{2}|\\.)*)'\)$")


def follow(fragment):
    parser = Href()
    parser.feed(fragment)
    href = parser.href or ""
    if not href.startswith("javascript:"):
        raise ValueError("no javascript: href in %r" % fragment)
    script = urllib.parse.unquote(href[len("javascript:"):], errors="strict")
    match = CALL.match(script)
    if not match:
        raise ValueError("not one call with a string argument: %r" % script)
    argument = re.sub(r"\\x([0-9A-Fa-f]{2})|\\(.)",
                      lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2),
                      match.group(2))
    return match.group(1), argument


def main():
    table = ET.parse(sys.argv[1]).getroot()
    name = sys.argv[2]
    for row in table.iter("row"):
        cells = [cell.text or "" for cell in row.findall("cell")]
        # The name cell holds the name HTML-escaped: the page shows its text.
        if len(cells) < 2 or html.unescape(cells[1]) != name:
            continue
        for cell in (cells[0], cells[-1]):
            if cell == "-":
                continue
            function, argument = follow(cell)
            print(function, argument)
        return 0
    print("no row for %r" % name, file=sys.stderr)
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (ValueError, ET.ParseError, UnicodeDecodeError) as error:
        print(error, file=sys.stderr)
        sys.exit(1)
