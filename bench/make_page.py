#!/usr/bin/env python3
"""Writes an HTML watch page of exactly SIZE bytes whose player element, with
the media address, sits at the very end, and the expected address beside it.

usage: make_page.py SIZE PAGE_PATH MEDIA_ADDRESS EXPECTED_PATH
"""
import sys


def main():
    size = int(sys.argv[1])
    page_path, media, expected_path = sys.argv[2], sys.argv[3], sys.argv[4]
    head = (b"<!DOCTYPE html>\n<html><head><title>Bench page</title></head>\n"
            b"<body>\n<h1>Related clips</h1>\n<ul class=\"related\">\n")
    tail = ("</ul>\n<div id=\"player\" class=\"player\" data-media=\"%s\" "
            "data-width=\"640\"></div>\n</body></html>\n" % media).encode()
    if size < len(head) + len(tail):
        sys.exit("make_page.py: size %d is too small for a page" % size)
    out = bytearray(head)
    # Decoy entries carry data-media values too, so only the player element's
    # start marker leads to the right one.
    i = 0
    budget = size - len(tail)
    while True:
        line = ("<li><a href=\"/watch/c%07d\" data-media=\"decoy-%07d\">Clip %d, "
                "part %d of the related list</a></li>\n" % (i, i, i, i % 97)).encode()
        if len(out) + len(line) > budget:
            break
        out += line
        i += 1
    out += b"\n" * (budget - len(out))
    out += tail
    assert len(out) == size
    with open(page_path, "wb") as f:
        f.write(out)
    with open(expected_path, "wb") as f:
        f.write(media.encode())


if __name__ == "__main__":
    main()
