"""Windows icon files (.ico) turned into the RT_ICON images and the RT_GROUP_ICON directory
an executable carries."""

import collections
import struct

from .errors import ImageError
from .pe import RT_GROUP_ICON, RT_ICON, Resource

ICON_DIR = struct.Struct("<HHH")
IconDir = collections.namedtuple("IconDir", "reserved type count")
ICON_DIR_ENTRY = struct.Struct("<BBBBHHII")
IconDirEntry = collections.namedtuple(
    "IconDirEntry", "width height color_count reserved planes bit_count bytes_in_res image_offset")
GROUP_ICON_DIR_ENTRY = struct.Struct("<BBBBHHIH")
ICON_TYPE = 1
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
BITMAPINFOHEADER_SIZE = 40


class Icon:
    """The images of one .ico file, each with its directory entry."""

    def __init__(self, entries, images):
        self.entries = entries
        self.images = images

    @classmethod
    def parse(cls, data, what="icon"):
        if len(data) < ICON_DIR.size:
            raise ImageError("%s is not an icon file (too short)" % what)
        header = IconDir._make(ICON_DIR.unpack_from(data, 0))
        if header.reserved != 0 or header.type != ICON_TYPE or header.count == 0:
            raise ImageError("%s is not an icon file (no .ico header)" % what)
        if ICON_DIR.size + ICON_DIR_ENTRY.size * header.count > len(data):
            raise ImageError("%s is not an icon file (its directory is cut short)" % what)
        entries, images = [], []
        for i in range(header.count):
            entry = IconDirEntry._make(
                ICON_DIR_ENTRY.unpack_from(data, ICON_DIR.size + ICON_DIR_ENTRY.size * i))
            end = entry.image_offset + entry.bytes_in_res
            if entry.bytes_in_res == 0 or end > len(data):
                raise ImageError("%s is not an icon file (image %d lies outside the file)" % (what, i + 1))
            image = data[entry.image_offset:end]
            if not (image.startswith(PNG_SIGNATURE) or
                    struct.unpack_from("<I", image, 0)[0] == BITMAPINFOHEADER_SIZE):
                raise ImageError("%s is not an icon file (image %d is neither PNG nor bitmap)" % (what, i + 1))
            entries.append(entry)
            images.append(image)
        return cls(entries, images)

    @classmethod
    def read(cls, path):
        with open(path, "rb") as f:
            return cls.parse(f.read(), "icon %s" % path)

    @classmethod
    def from_resources(cls, tree, what):
        """The images of the first icon group in a resource tree, for an .ico file of them."""
        group = first_group(tree)
        if group is None:
            raise ImageError("%s has no icon" % what)
        directory = tree.get(RT_GROUP_ICON, *group).data
        entries, images = [], []
        for i in range(ICON_DIR.unpack_from(directory, 0)[2]):
            fields = GROUP_ICON_DIR_ENTRY.unpack_from(
                directory, ICON_DIR.size + GROUP_ICON_DIR_ENTRY.size * i)
            languages = tree.languages(RT_ICON, fields[7])
            if not languages:
                continue
            image = tree.get(RT_ICON, fields[7], languages[0]).data
            entries.append(IconDirEntry(*fields[:6], len(image), 0))
            images.append(image)
        return cls(entries, images)

    def ico_bytes(self):
        """The images as an .ico file."""
        out = bytearray(ICON_DIR.pack(0, ICON_TYPE, len(self.images)))
        offset = ICON_DIR.size + ICON_DIR_ENTRY.size * len(self.images)
        for e, image in zip(self.entries, self.images):
            out += ICON_DIR_ENTRY.pack(e.width, e.height, e.color_count, 0, e.planes, e.bit_count,
                                       len(image), offset)
            offset += len(image)
        for image in self.images:
            out += image
        return bytes(out)

    def group_directory(self, first_id):
        """The RT_GROUP_ICON bytes naming the images as RT_ICON first_id, first_id + 1, ..."""
        out = bytearray(ICON_DIR.pack(0, ICON_TYPE, len(self.entries)))
        for i, e in enumerate(self.entries):
            out += GROUP_ICON_DIR_ENTRY.pack(e.width, e.height, e.color_count, 0, e.planes,
                                             e.bit_count, len(self.images[i]), first_id + i)
        return bytes(out)


def first_group(tree):
    """(name, language) of the first icon group in `tree`, as Windows picks the application's
    icon: IDs before names, the lowest first. None when there is no icon."""
    groups = tree.names(RT_GROUP_ICON)
    if not groups:
        return None
    name = sorted(groups, key=lambda n: (isinstance(n, str), n))[0]
    return name, tree.languages(RT_GROUP_ICON, name)[0]


def replace_icon(tree, icon):
    """Puts `icon` in place of every icon in `tree`. The group keeps the ID (or name) and
    language of the first group there was, so that code loading it by ID finds the new one."""
    group_name, language = first_group(tree) or (1, 0)
    tree.remove_type(RT_ICON)
    tree.remove_type(RT_GROUP_ICON)
    for i, image in enumerate(icon.images):
        tree.set(RT_ICON, 1 + i, language, Resource(image))
    tree.set(RT_GROUP_ICON, group_name, language, Resource(icon.group_directory(1)))
