"""Writes the two shortcut documents for a web root.

make_documents.py ROOT BOOKMARKLET_SOURCE VIEW_OUTPUT SAVE_OUTPUT ICON_URL VIEW_URL VIEW_TITLE

The addresses and the title come from the build (service/ServiceAddresses.cmake,
shortcuts/ShortcutTable.cmake); the bookmarklet is given the root.

Both documents are ASCII, every line ends in CR LF (the last one too), no byte-order mark
and no terminating zero: the files are bound into the executable byte for byte.
"""
import re
import sys

# The longest address the browser accepts.
MAX_URL_LENGTH = 2083
ROOT_PLACEHOLDER = "@BRIVOK_ROOT@"


def fail(message):
    sys.stderr.write("make_documents.py: error: " + message + "\n")
    sys.exit(1)


def bookmarklet(source_path, root):
    with open(source_path, encoding="ascii") as source:
        lines = source.read().splitlines()
    pieces = []
    for number, line in enumerate(lines, 1):
        code = line.strip()
        if not code or code.startswith("//"):
            continue
        if "//" in code.replace("://", ""):
            fail("%s:%d: a comment after code is not allowed" % (source_path, number))
        # Joining with nothing must not fuse two words into one.
        if pieces and re.match(r"[\w$]", code) and re.search(r"[\w$]$", pieces[-1]):
            fail("%s:%d: the line before ends in a word and this one starts with one; "
                 "end the statement with ';'" % (source_path, number))
        pieces.append(code)
    script = "".join(pieces).replace(ROOT_PLACEHOLDER, root)
    if "%" in script:
        # The browser percent-decodes a javascript: address before running it.
        fail("the bookmarklet may hold no '%%' of its own (is there one in the root %r?)" % root)
    if "\t" in script or "\r" in script or "\n" in script:
        fail("the bookmarklet must be one line with no tabs")
    return script.replace(" ", "%20")


def main():
    if len(sys.argv) != 8:
        fail("usage: make_documents.py ROOT BOOKMARKLET_SOURCE VIEW_OUTPUT SAVE_OUTPUT "
             "ICON_URL VIEW_URL VIEW_TITLE")
    root, source_path, view_path, save_path, icon, view_url, view_title = sys.argv[1:]
    if not re.fullmatch(r"https?://[\x21-\x7e]+/", root) or "'" in root or "\\" in root:
        fail("the root must be an absolute http(s) URL of printable ASCII ending in '/': %r" % root)

    url = "javascript:" + bookmarklet(source_path, root)
    if len(url) > MAX_URL_LENGTH:
        fail("the save shortcut's bookmarklet URL is %d characters long; the browser accepts "
             "at most %d. Shorten resources/bookmarklet.js or the root." % (len(url), MAX_URL_LENGTH))

    view = [
        "[DEFAULT]",
        "BASEURL=" + root,
        "[InternetShortcut]",
        "URL=" + view_url,
        "IconFile=" + icon,
        "IconIndex=1",
        "IDList=",
        "Comment=" + view_title,
        "[{000214A0-0000-0000-C000-000000000046}]",
        "Prop3=19,2",
    ]
    save = [
        "[InternetShortcut]",
        "URL=" + url,
        "IconFile=" + icon,
        "IconIndex=1",
        "IDList=",
        "Modified=C0E1E881C0A8C9013C",
        "[{000214A0-0000-0000-C000-000000000046}]",
        "Prop3=19,2",
    ]
    for path, lines in ((view_path, view), (save_path, save)):
        data = "".join(line + "\r\n" for line in lines).encode("ascii")
        with open(path, "wb") as output:
            output.write(data)


if __name__ == "__main__":
    main()
