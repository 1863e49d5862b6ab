"""Reads back what an exe carries: its version information, icon, declared code page,
processor, subsystem and whether it is signed, as lines of "name: value"."""

import os

from . import architecture, icon, manifest, pe, versioninfo
from .errors import ImageError, require_file
from .pe import RT_MANIFEST


def declared_code_page(tree):
    """UTF-8 when a manifest declares it, else the system's ANSI code page."""
    for name in tree.names(RT_MANIFEST):
        for language in tree.languages(RT_MANIFEST, name):
            text = tree.get(RT_MANIFEST, name, language).data.decode("utf-8", "replace")
            found = manifest.ACTIVE_CODE_PAGE.search(text)
            if found:
                return "UTF-8" if "UTF-8" in found.group(0) else found.group(0).strip()
    return "ANSI (the system's code page; the manifest declares none)"


def describe(path):
    """The lines `--show` prints for the exe at `path`."""
    require_file(path, "--show")
    what = "--show %s" % path
    with open(path, "rb") as f:
        image = pe.PEImage(f.read(), what)
    tree = image.resources()
    lines = ["file: %s" % os.path.basename(path)]
    version = versioninfo.read_version(tree)
    if version is None:
        lines.append("version information: none")
    else:
        fixed, tables = version
        if fixed:
            lines.append("fixed file version: %s" % versioninfo.version_text(
                fixed.file_version_ms, fixed.file_version_ls))
            lines.append("fixed product version: %s" % versioninfo.version_text(
                fixed.product_version_ms, fixed.product_version_ls))
        for table_key, strings in tables.items():
            prefix = "" if len(tables) == 1 else table_key + " "
            lines.append("%sstring table: %s" % (prefix, table_key))
            lines += ["%s%s: %s" % (prefix, name, text) for name, text in strings.items()]
    try:
        sizes = icon.Icon.from_resources(tree, what).sizes()
        lines.append("icon sizes: %s" % ", ".join(
            str(w) if w == h else "%dx%d" % (w, h) for w, h in sizes))
    except ImageError:
        lines.append("icon sizes: none (no icon)")
    lines.append("code page: %s" % declared_code_page(tree))
    lines.append("processor: %s" % architecture.shown(image.architecture))
    lines.append("subsystem: %s" % ("console" if image.subsystem() == pe.IMAGE_SUBSYSTEM_WINDOWS_CUI
                                    else "GUI"))
    signed = image.directory(pe.DIRECTORY_SECURITY)[1] != 0
    lines.append("signed: %s" % ("yes (check it with osslsigncode verify)" if signed else "no"))
    return "\n".join(lines)
