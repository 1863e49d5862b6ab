"""The image tool's error type, whose message is what the user reads, its kind for a request
the tool cannot take as given, and the lookups of files and programs that fail with such a
message."""

import os
import shutil


class ImageError(Exception):
    pass


class UsageError(ImageError):
    """A request that is wrong in its form, wherever it is found: options or keys that do not
    go together, a key the description file does not know, a value of the wrong kind, one
    that is missing. The command line exits as for argparse's own usage errors."""


def require_program(name, purpose):
    """The path of the program `name` (Debian's package of the same name), or ImageError
    saying what it is needed for."""
    path = shutil.which(name)
    if not path:
        raise ImageError("%s needs %s, which is not installed (Debian: apt-get install %s)" %
                         (purpose, name, name))
    return path


def require_file(path, what, directory=False):
    """ImageError unless `path` is a file (or, with `directory`, a directory). `what` names
    where the path came from, such as the option that gave it."""
    if not os.path.exists(path):
        raise ImageError("%s %s does not exist" % (what, path))
    if directory and not os.path.isdir(path):
        raise ImageError("%s %s is not a directory" % (what, path))
    if not directory and os.path.isdir(path):
        raise ImageError("%s %s is a directory, not a file" % (what, path))
    if not directory and not os.path.isfile(path):
        raise ImageError("%s %s is not a regular file" % (what, path))
