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
GroupIconDirEntry = collections.namedtuple(
    "GroupIconDirEntry", "width height color_count reserved planes bit_count bytes_in_res id")
ICON_TYPE = 1
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# The signature, then the first chunk's length and type, and the IHDR fields read here.
PNG_HEADER = struct.Struct(">8sI4sIIBB")
PngHeader = collections.namedtuple(
    "PngHeader", "signature length chunk_type width height bit_depth color_type")
PNG_RGBA = 6
PNG_COLOR_TYPES = {0: "greyscale", 2: "RGB (no alpha)", 3: "palette", 4: "greyscale-alpha",
                   6: "RGBA"}
BITMAPINFOHEADER = struct.Struct("<IiiHH")
BitmapInfoHeader = collections.namedtuple("BitmapInfoHeader", "size width height planes bit_count")
BITMAPINFOHEADER_SIZE = 40
BITMAP_DEPTHS = (1, 4, 8, 16, 24, 32)


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
            check_image(image, what, i + 1)
            entries.append(entry)
            images.append(image)
        return cls(entries, images)

    @classmethod
    def read(cls, path, what=None):
        with open(path, "rb") as f:
            return cls.parse(f.read(), what or "icon %s" % path)

    @classmethod
    def of_images(cls, images):
        """An icon of PNG or bitmap images, each entry taken from its image's own header."""
        entries = []
        for image in images:
            check_image(image, "icon", len(entries) + 1)
            width, height, bit_count = image_size(image)
            entries.append(IconDirEntry(width % 256, height % 256, 0, 0, 1, bit_count, len(image), 0))
        return cls(entries, list(images))

    @classmethod
    def from_resources(cls, tree, what):
        """The images of the first icon group in a resource tree, for an .ico file of them."""
        group = first_group(tree)
        if group is None:
            raise ImageError("%s has no icon" % what)
        directory = tree.get(RT_GROUP_ICON, *group).data
        header = IconDir._make(ICON_DIR.unpack_from(directory, 0))
        entries, images = [], []
        for i in range(header.count):
            entry = GroupIconDirEntry._make(GROUP_ICON_DIR_ENTRY.unpack_from(
                directory, ICON_DIR.size + GROUP_ICON_DIR_ENTRY.size * i))
            languages = tree.languages(RT_ICON, entry.id)
            if not languages:
                continue
            image = tree.get(RT_ICON, entry.id, languages[0]).data
            entries.append(IconDirEntry(entry.width, entry.height, entry.color_count, entry.reserved,
                                        entry.planes, entry.bit_count, len(image), 0))
            images.append(image)
        return cls(entries, images)

    def sizes(self):
        """(width, height) of each image, as its own header gives them."""
        return [image_size(image)[:2] for image in self.images]

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


def image_size(image):
    """(width, height, bits per pixel) of one icon image, PNG or bitmap."""
    if image.startswith(PNG_SIGNATURE):
        png = PngHeader._make(PNG_HEADER.unpack_from(image, 0))
        return png.width, png.height, 32
    bitmap = BitmapInfoHeader._make(BITMAPINFOHEADER.unpack_from(image, 0))
    # An icon bitmap's height counts the colour rows and the mask rows.
    return bitmap.width, abs(bitmap.height) // 2, bitmap.bit_count


def check_image(image, what, number):
    """Raises ImageError unless Windows can load `image`, the `number`th of the icon: an
    8-bit RGBA PNG, or a bitmap of a depth Windows reads."""
    if image.startswith(PNG_SIGNATURE):
        if len(image) < PNG_HEADER.size:
            raise ImageError("%s is not an icon file (image %d is a PNG cut short)" % (what, number))
        png = PngHeader._make(PNG_HEADER.unpack_from(image, 0))
        if png.chunk_type != b"IHDR":
            raise ImageError("%s is not an icon file (image %d is a PNG without its header)" % (what, number))
        if png.bit_depth != 8 or png.color_type != PNG_RGBA:
            wrong = []
            if png.bit_depth != 8:
                wrong.append("%d-bit-per-channel" % png.bit_depth)
            if png.color_type != PNG_RGBA:
                wrong.append(PNG_COLOR_TYPES.get(png.color_type, "colour type %d" % png.color_type))
            described = " ".join(wrong)
            article = "an" if described[0] in "AEIOUaeiouR8" else "a"
            raise ImageError("%s: the %d\u00d7%d image is %s %s PNG; Windows loads only 8-bit "
                             "RGBA PNG icons" % (what, png.width, png.height, article, described))
        return
    bitmap = None
    if len(image) >= BITMAPINFOHEADER_SIZE:
        bitmap = BitmapInfoHeader._make(BITMAPINFOHEADER.unpack_from(image, 0))
    if not bitmap or bitmap.size != BITMAPINFOHEADER_SIZE:
        raise ImageError("%s is not an icon file (image %d is neither PNG nor bitmap)" % (what, number))
    if bitmap.bit_count not in BITMAP_DEPTHS:
        raise ImageError("%s: the %d\u00d7%d image is a bitmap of %d bits per pixel; Windows reads "
                         "icon bitmaps of %s bits per pixel" % (
                             what, bitmap.width, abs(bitmap.height) // 2, bitmap.bit_count,
                             ", ".join(str(d) for d in BITMAP_DEPTHS)))


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
