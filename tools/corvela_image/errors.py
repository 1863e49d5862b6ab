"""The one error type of the image tool, whose message is what the user reads, and the lookup
of the programs the tool runs, which fails with such a message."""

import shutil


class ImageError(Exception):
    pass


def require_program(name, purpose):
    """The path of the program `name` (Debian's package of the same name), or ImageError
    saying what it is needed for."""
    path = shutil.which(name)
    if not path:
        raise ImageError("%s needs %s, which is not installed (Debian: apt-get install %s)" %
                         (purpose, name, name))
    return path
