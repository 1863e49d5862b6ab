"""The code page an image's exe declares in its application manifest, and the choice of it
from the Java runtime the image carries.

A manifest's activeCodePage of UTF-8 makes every narrow text of the process UTF-8, the JVM
arguments included (Windows 10 1903 and later; older Windows ignore it). Java runtimes read
such arguments correctly from 19, 17.0.5 and 11.0.17 on; older ones read them in the legacy
code page, so for them the manifest must not declare it."""

import os
import re

from .errors import ImageError
from .pe import RT_MANIFEST, Resource

UTF8 = "utf-8"
ANSI = "ansi"
AUTO = "auto"
CHOICES = (UTF8, ANSI, AUTO)

ACTIVE_CODE_PAGE = re.compile(r"[ \t]*<activeCodePage\b[^>]*>[^<]*</activeCodePage>[ \t]*(\r?\n)?")
WINDOWS_SETTINGS_END = re.compile(r"([ \t]*)</windowsSettings>")
ACTIVE_CODE_PAGE_ELEMENT = ('<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/'
                            'WindowsSettings">UTF-8</activeCodePage>')
JAVA_VERSION = re.compile(r'^JAVA_VERSION\s*=\s*"?([^"\r\n]*)"?\s*$', re.M)
HOW_TO_CHOOSE = "give --code-page ansi for an older runtime, or --code-page utf-8 to silence this"


def java_version(release_text):
    """The numbers of JAVA_VERSION in a runtime's `release` file ("1.8.0_392" is 8, 0, 392),
    or None when there is none that can be read."""
    match = JAVA_VERSION.search(release_text)
    if not match:
        return None
    text = match.group(1).strip()
    if not re.fullmatch(r"\d+([._]\d+)*([-+].*)?", text):
        return None
    numbers = [int(n) for n in re.split(r"[._]", re.split(r"[-+]", text)[0])]
    if numbers[0] == 1 and len(numbers) > 1:
        numbers = numbers[1:]  # "1.8.0_392": the old scheme, Java 8
    return tuple(numbers + [0] * (3 - len(numbers)))[:3]


def decodes_utf8_arguments(version):
    """Whether a runtime of this version reads UTF-8 narrow arguments correctly (JDK-8272352,
    fixed in 19 and backported to 17.0.5 and 11.0.17)."""
    major = version[0]
    if major >= 19:
        return True
    if major == 17:
        return version >= (17, 0, 5)
    if major == 11:
        return version >= (11, 0, 17)
    return False


def choose_code_page(requested, runtime_dir):
    """The code page to declare (UTF8 or ANSI) and a note for the user, or None."""
    if requested != AUTO:
        return requested, None
    if not runtime_dir:
        return UTF8, ("the runtime is not copied into the image, so its Java version is unknown: "
                      "the exe declares UTF-8; " + HOW_TO_CHOOSE)
    release = os.path.join(runtime_dir, "release")
    try:
        with open(release, encoding="utf-8", errors="replace") as f:
            version = java_version(f.read())
    except OSError:
        return UTF8, ("the runtime has no readable release file, so its Java version is unknown: "
                      "the exe declares UTF-8; " + HOW_TO_CHOOSE)
    if version is None:
        return UTF8, ("the runtime's release file gives no Java version that can be read: the "
                      "exe declares UTF-8; " + HOW_TO_CHOOSE)
    return (UTF8 if decodes_utf8_arguments(version) else ANSI), None


def with_code_page(text, code_page):
    """The manifest `text` declaring `code_page`; every other part stays as it was."""
    present = ACTIVE_CODE_PAGE.search(text)
    if code_page == ANSI:
        return ACTIVE_CODE_PAGE.sub("", text) if present else text
    if present:
        if "UTF-8" in present.group(0):
            return text
        return text[:present.start()] + _indented(present.group(0)) + text[present.end():]
    end = WINDOWS_SETTINGS_END.search(text)
    if not end:
        raise ImageError("the launcher's manifest has no windowsSettings element to declare "
                         "the code page in")
    indent = end.group(1)
    line_end = "\r\n" if "\r\n" in text else "\n"
    return (text[:end.start()] + indent + "  " + ACTIVE_CODE_PAGE_ELEMENT + line_end +
            text[end.start():])


def _indented(element_line):
    indent = re.match(r"[ \t]*", element_line).group(0)
    line_end = "\r\n" if element_line.endswith("\r\n") else ("\n" if element_line.endswith("\n") else "")
    return indent + ACTIVE_CODE_PAGE_ELEMENT + line_end


def set_code_page(tree, code_page):
    """Rewrites every manifest resource in `tree`; True when any changed."""
    changed = False
    for name in tree.names(RT_MANIFEST):
        for language in tree.languages(RT_MANIFEST, name):
            resource = tree.get(RT_MANIFEST, name, language)
            try:
                text = resource.data.decode("utf-8")
            except UnicodeDecodeError:
                raise ImageError("the launcher's manifest is not UTF-8 text")
            new_text = with_code_page(text, code_page)
            if new_text != text:
                tree.set(RT_MANIFEST, name, language, Resource(new_text.encode("utf-8"), resource.code_page))
                changed = True
    return changed


# The elevation an exe asks Windows for when it starts.
AS_INVOKER = "asInvoker"
EXECUTION_LEVELS = (AS_INVOKER, "highestAvailable", "requireAdministrator")
REQUESTED_EXECUTION_LEVEL = re.compile(r'(<requestedExecutionLevel\b[^>]*?\blevel=")([^"]*)(")')


def with_execution_level(text, level):
    """The manifest `text` requesting `level`; every other part stays as it was."""
    if level not in EXECUTION_LEVELS:
        raise ImageError("execution level %r: one of %s" % (level, ", ".join(EXECUTION_LEVELS)))
    found = REQUESTED_EXECUTION_LEVEL.search(text)
    if not found:
        raise ImageError("the launcher's manifest has no requestedExecutionLevel to set")
    return text[:found.start(2)] + level + text[found.end(2):]


def set_execution_level(tree, level):
    """Rewrites every manifest resource in `tree` to request `level`; True when any changed."""
    changed = False
    for name in tree.names(RT_MANIFEST):
        for language in tree.languages(RT_MANIFEST, name):
            resource = tree.get(RT_MANIFEST, name, language)
            text = resource.data.decode("utf-8", errors="strict")
            new_text = with_execution_level(text, level)
            if new_text != text:
                tree.set(RT_MANIFEST, name, language, Resource(new_text.encode("utf-8"), resource.code_page))
                changed = True
    return changed
