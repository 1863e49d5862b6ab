#!/usr/bin/env python3
"""results_sections.py RESULTS DIR: puts the text of each file DIR/NAME.md between the marker
comments of section NAME in RESULTS (bench/RESULTS.md), and leaves every byte outside them as
it was, so that what is written there by hand survives a run of bench/run.

A section is the lines between `<!-- bench/run: NAME -->` and `<!-- bench/run: NAME end -->`.
Each section given must be there exactly once, and each file must name a section; otherwise
nothing is written and the exit code is 1. The file is replaced whole, never half written."""

import os
import re
import sys
import tempfile

# The sections bench/run produces, in the order they appear in RESULTS.md.
SECTIONS = ("produced", "startup", "requests", "footprint", "branding", "installer",
            "class-data", "real-runtime", "configuration")


class SectionError(Exception):
    pass


def begin_marker(name):
    return "<!-- bench/run: %s -->" % name


def end_marker(name):
    return "<!-- bench/run: %s end -->" % name


def _marker_line(text, marker):
    """The offset just past the one line that is `marker`."""
    found = [m for m in re.finditer("^" + re.escape(marker) + "\n", text, re.MULTILINE)]
    if len(found) != 1:
        raise SectionError("%s: %s" % (marker, "missing" if not found else
                                       "there %d times" % len(found)))
    return found[0]


def section(text, name):
    """The (start, end) offsets of section `name`'s content in `text`."""
    begin = _marker_line(text, begin_marker(name))
    end = _marker_line(text, end_marker(name))
    if end.start() < begin.end():
        raise SectionError("%s comes before %s" % (end_marker(name), begin_marker(name)))
    return begin.end(), end.start()


def replaced(text, contents):
    """`text` with each section named in `contents` holding its new content."""
    spans = sorted((section(text, name), name) for name in contents)
    for (earlier, _), (later, name) in zip(spans, spans[1:]):
        if later[0] < earlier[1]:
            raise SectionError("section %s lies inside another" % name)
    pieces = []
    position = 0
    for (start, end), name in spans:
        content = contents[name]
        if content and not content.endswith("\n"):
            content += "\n"
        pieces += [text[position:start], content]
        position = end
    pieces.append(text[position:])
    return "".join(pieces)


def write_whole(path, text):
    directory = os.path.dirname(os.path.abspath(path))
    handle, scratch = tempfile.mkstemp(prefix=".results-", dir=directory)
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        if os.path.exists(path):
            os.chmod(scratch, os.stat(path).st_mode & 0o7777)
        os.replace(scratch, path)
    except BaseException:
        os.unlink(scratch)
        raise


def read_sections(directory):
    """The contents of the sections in `directory`, by name."""
    contents = {}
    for file_name in sorted(os.listdir(directory)):
        name, extension = os.path.splitext(file_name)
        if extension != ".md" or name not in SECTIONS:
            raise SectionError("%s: not a section's file (NAME.md, NAME one of %s)"
                               % (os.path.join(directory, file_name), ", ".join(SECTIONS)))
        with open(os.path.join(directory, file_name), encoding="utf-8", newline="") as f:
            contents[name] = f.read()
    return contents


def main(arguments):
    if len(arguments) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, directory = arguments
    try:
        contents = read_sections(directory)
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        write_whole(path, replaced(text, contents))
    except (OSError, SectionError) as e:
        print("results_sections.py: %s: %s; nothing written" % (path, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
