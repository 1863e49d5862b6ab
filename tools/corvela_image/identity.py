"""The taskbar identity of an image's launchers: the AppUserModelID each exe gives its
process (app.user-model-id) and its Start menu shortcut carries, so that Windows takes the
running windows, the pinned shortcut and the notifications for one application.

By default a launcher's ID is Vendor.Product.Launcher, each part made of the letters and
digits of its name; the same names give the same ID, so an upgrade keeps it. A service has
no taskbar button and gets none."""

import re
import unicodedata

from .errors import ImageError

# What --user-model-id takes to leave the key out.
NONE = "none"
MAX_LENGTH = 128
# Each part of a derived ID, so that three of them and their dots stay within MAX_LENGTH.
MAX_PART = 40
# Printable ASCII without blanks. [ ] { } and \ are left out too: the installer's table
# holds the ID as formatted text, where they would be read as references.
ALLOWED = re.compile(r"[!-Z^-z|~]+")
REFUSED = "[]{}\\"


def check(value, what):
    """`value` as an ID Windows takes, or ImageError naming `what` (an option, or a file's
    key) and the fault."""
    if value == "":
        raise ImageError("%s is empty: give an ID such as Vendor.Product.App, or %s" % (what, NONE))
    if len(value) > MAX_LENGTH:
        raise ImageError("%s %r has %d characters; Windows takes at most %d" % (
            what, value, len(value), MAX_LENGTH))
    blank = next((c for c in value if c.isspace()), None)
    if blank is not None:
        raise ImageError("%s %r holds a blank (U+%04X); an AppUserModelID has none: join the "
                         "words, as Vendor.Product.App" % (what, value, ord(blank)))
    if not ALLOWED.fullmatch(value):
        wrong = next(c for c in value if not ALLOWED.fullmatch(c))
        raise ImageError("%s %r holds %r: give letters, digits and punctuation other than %s" % (
            what, value, wrong, " ".join(REFUSED)))
    if "" in value.split("."):
        raise ImageError("%s %r has an empty part: dots go between parts, as in "
                         "Vendor.Product.App" % (what, value))
    return value


def _part(name):
    """The letters and digits of `name`, accents dropped ("Démo Éditeur" is DemoEditeur)."""
    plain = unicodedata.normalize("NFKD", name or "").encode("ascii", "ignore").decode("ascii")
    return "".join(re.findall(r"[A-Za-z0-9]+", plain))[:MAX_PART]


def derived(vendor, product, launcher):
    """Vendor.Product.Launcher made valid; a part with nothing left is left out."""
    parts = [_part(name) for name in (vendor, product, launcher)]
    value = ".".join(part for part in parts if part)
    return value or None


def of_launcher(requested, vendor, product, launcher, what="--user-model-id"):
    """The app.user-model-id of a launcher: `requested` checked, None for NONE, or derived
    when not requested."""
    if requested == NONE:
        return None
    if requested is not None:
        return check(requested, what)
    return derived(vendor, product, launcher)


def cfg_value(cfg_text):
    """The ID a configuration file's text gives its launcher, or None: [Application]'s last
    app.user-model-id, as the launcher reads it."""
    section = None
    value = None
    for line in cfg_text.splitlines():
        if line.startswith("["):
            section = line[1:line.rfind("]")] if "]" in line else section
        elif section == "Application" and line.startswith("app.user-model-id="):
            value = line.split("=", 1)[1]
    return value or None
