"""The Java installed on the user's machine that an image without a runtime of its own runs
on: the versions it accepts, where users get one, and what follows from them (the
configuration's keys, the code page, the class-data default)."""

import re
from dataclasses import dataclass

from . import manifest
from .errors import ImageError, UsageError

# What the launcher reads as a version: "17", "17.0.5", the old "1.8" and "1.8.0_392".
VERSION = re.compile(r"[0-9]{1,6}(\.[0-9]{1,6}){0,5}(_[0-9]{1,6})?")
# The first feature version whose runtime writes a class-data archive of the application.
FIRST_CLASS_DATA_VERSION = 13


def parse_version(text, what):
    """The numbers of a version as the launcher reads them ("1.8.0_392" is 8, 0, 392), or
    ImageError naming `what` and the value."""
    not_a_version = ImageError("%s %r is not a Java version (such as 17, 17.0.5 or 1.8.0_392)"
                               % (what, text))
    if not VERSION.fullmatch(text) or ("_" in text and not text.startswith("1.")):
        raise not_a_version
    dotted, _, update = text.partition("_")
    numbers = [int(n) for n in dotted.split(".")]
    if numbers[0] == 1 and len(numbers) > 1:
        numbers = numbers[1:]  # "1.8.0_392": the old scheme, Java 8 update 392
        if update:
            numbers = (numbers + [0])[:2] + [int(update)]
    if numbers[0] == 0:
        raise not_a_version
    return tuple(numbers)


def check_url(text, what):
    # No blank or control character: the address is one line of the configuration.
    if not re.fullmatch(r"https?://[^\s\x00-\x1f\x7f]+", text, re.I):
        raise ImageError("%s %r is not an http:// or https:// address" % (what, text))
    return text


def within(version, family):
    """Whether `version` is at most `family` counting only the family's numbers: 21.0.3 is
    within 21."""
    padded = tuple(version) + (0,) * len(family)
    return padded[:len(family)] <= tuple(family)


@dataclass(frozen=True, kw_only=True)
class InstalledRuntime:
    """The versions an image accepts (max inclusive of its whole family) and the download
    address its users are shown when none is installed."""

    min_version: str
    max_version: str | None = None
    download_url: str | None = None

    @classmethod
    def from_options(cls, *, min_version=None, max_version=None, download_url=None,
                     option=lambda key: "--" + key):
        """None when no option is given; ImageError naming the option (`option` of the key's
        name) and its value for a bad one."""
        if min_version is None and max_version is None and download_url is None:
            return None
        if min_version is None:
            other = "runtime-max-version" if max_version is not None else "runtime-download-url"
            raise UsageError("%s is needed with %s: the oldest Java the application runs on" % (
                option("runtime-min-version"), option(other)))
        low = parse_version(min_version, option("runtime-min-version"))
        if max_version is not None:
            high = parse_version(max_version, option("runtime-max-version"))
            if not within(low, high):
                raise ImageError("%s %r is below %s %r" % (
                option("runtime-max-version"), max_version, option("runtime-min-version"),
                min_version))
        if download_url is not None:
            check_url(download_url, option("runtime-download-url"))
        return cls(min_version=min_version, max_version=max_version, download_url=download_url)

    def cfg_lines(self):
        lines = ["app.runtime-min-version=" + self.min_version]
        if self.max_version is not None:
            lines.append("app.runtime-max-version=" + self.max_version)
        if self.download_url is not None:
            lines.append("app.runtime-download-url=" + self.download_url)
        return lines

    def code_page(self):
        """UTF-8 only when every version the range admits reads UTF-8 arguments: 19 and later,
        17.0.5 to 17.x, 11.0.17 to 11.x. 18 and 12 to 16 do not, so a minimum of 17.0.5 or
        11.0.17 needs a maximum within its own family."""
        low = parse_version(self.min_version, "runtime-min-version")
        low3 = (low + (0, 0))[:3]
        if not manifest.decodes_utf8_arguments(low3):
            return manifest.ANSI
        if low[0] >= 19:
            return manifest.UTF8
        high = parse_version(self.max_version, "runtime-max-version") if self.max_version else None
        return manifest.UTF8 if high and high[0] == low[0] else manifest.ANSI

    def class_data(self):
        """The default app.class-data: auto when every runtime the range admits can write an
        archive of the application's classes."""
        low = parse_version(self.min_version, "runtime-min-version")
        return "auto" if low[0] >= FIRST_CLASS_DATA_VERSION else None
