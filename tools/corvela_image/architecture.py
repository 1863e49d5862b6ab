"""The processor an image is for: its launchers and its runtime's jli.dll must all be for it."""

import os

from . import image, pe
from .errors import ImageError

DEFAULT = "x64"
CHOICES = tuple(pe.ARCHITECTURES)
# Where scripts/build puts the launchers of each processor, inside the launcher directory.
SUBDIRECTORY = {"x64": "", "arm64": "arm64"}
SHOWN = {"x64": "x64", "arm64": "ARM64"}


def launcher_dir(directory, arch):
    """The directory of `arch`'s launcher binaries in a build's launcher directory."""
    return os.path.join(directory, SUBDIRECTORY[arch]) if SUBDIRECTORY[arch] else directory


def shown(text):
    return SHOWN.get(text, text)


def _architecture_of_file(path):
    with open(path, "rb") as f:
        return pe.machine_text(f.read(4096))


def check(arch, launcher_exe, launchers, runtime, full_for=None):
    """Raises ImageError, naming both, when a launcher binary the image is made of or the
    runtime's bin/jli.dll is for another processor than `arch`: Windows would refuse to start
    the one, and the launcher could not load the other. `full_for` as
    image.launcher_binary takes it."""
    for launcher in launchers:
        binary = image.launcher_binary(launcher_exe, launcher, full_for)
        if not os.path.isfile(binary):
            continue  # assembling names a missing launcher itself
        found = _architecture_of_file(binary)
        # Another machine yet (a 32-bit exe) is no launcher at all: assembling says so.
        if found in CHOICES and found != arch:
            raise ImageError("the launcher %s is an %s executable and the image is for %s (--arch "
                             "%s): give the %s launchers (scripts/build puts them in %s)" % (
                                 binary, shown(found), shown(arch), arch, shown(arch),
                                 os.path.join(launcher_dir(os.path.join("build", "bin"), arch),
                                              "")))
    jli = os.path.join(runtime, "bin", "jli.dll") if runtime else None
    if jli and os.path.isfile(jli):
        found = _architecture_of_file(jli)
        # A jli.dll that is no PE file at all is the runtime's own business, as before.
        if found is not None and found != arch:
            raise ImageError("--runtime %s is for %s (its bin/jli.dll is an %s DLL) and the "
                             "launcher %s is for %s: give a Java runtime for Windows on %s" % (
                                 runtime, shown(found), shown(found), launcher_exe, shown(arch),
                                 shown(arch)))
