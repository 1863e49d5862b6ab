"""The VS_VERSIONINFO resource: a fixed block of binary versions and the strings Windows
shows in a file's properties, for US English in Unicode (040904B0)."""

import re
import struct

from .errors import ImageError
from .pe import RT_VERSION, Resource

VS_FIXEDFILEINFO = struct.Struct("<13I")
FIXED_SIGNATURE = 0xFEEF04BD
FIXED_STRUCTURE_VERSION = 0x00010000
VS_FFI_FILEFLAGSMASK = 0x3F
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 1
LANGUAGE_EN_US = 0x0409
CODE_PAGE_UNICODE = 1200
STRING_TABLE_KEY = "%04X%04X" % (LANGUAGE_EN_US, CODE_PAGE_UNICODE)
NODE_HEADER = struct.Struct("<HHH")
TEXT = 1
BINARY = 0

STRING_NAMES = ("CompanyName", "FileDescription", "FileVersion", "InternalName",
                "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion")


def version_numbers(text):
    """The numbers of a version "X[.Y[.Z[.W]]]": 1 to 4 numbers separated by dots, as the
    exe's version information and an installer both write them. Each user bounds them."""
    if not re.fullmatch(r"\d{1,5}(\.\d{1,5}){0,3}", text or ""):
        raise ImageError("version %r is not 1 to 4 numbers separated by dots (such as 1.2.3)" % text)
    return [int(part) for part in text.split(".")]


def parse_version(text):
    """"X.Y.Z[.W]" as four numbers; 1 to 4 numbers of 0 to 65535 are accepted."""
    numbers = version_numbers(text)
    if any(n > 65535 for n in numbers):
        raise ImageError("version %r has a number above 65535" % text)
    return tuple(numbers + [0] * (4 - len(numbers)))


def _node(key, value=b"", value_length=0, value_type=BINARY, children=()):
    """One node: length, value length, type, key, padding, value, padding, children. Each
    part starts on a 4-byte boundary of the node; the length leaves out trailing padding."""
    data = bytearray(NODE_HEADER.size) + (key + "\0").encode("utf-16-le")
    data += bytes(-len(data) % 4) + value
    for child in children:
        data += bytes(-len(data) % 4) + child
    NODE_HEADER.pack_into(data, 0, len(data), value_length, value_type)
    return bytes(data)


def _string(key, text):
    encoded = (text + "\0").encode("utf-16-le")
    return _node(key, encoded, len(text) + 1, TEXT)


def version_resource(version, strings):
    """VS_VERSIONINFO bytes: `version` as four numbers for the file and product, `strings`
    a dict of the StringFileInfo values."""
    ms = (version[0] << 16) | version[1]
    ls = (version[2] << 16) | version[3]
    fixed = VS_FIXEDFILEINFO.pack(FIXED_SIGNATURE, FIXED_STRUCTURE_VERSION, ms, ls, ms, ls,
                                  VS_FFI_FILEFLAGSMASK, 0, VOS_NT_WINDOWS32, VFT_APP, 0, 0, 0)
    table = [_string(name, strings[name]) for name in STRING_NAMES if name in strings]
    string_file_info = _node("StringFileInfo", value_type=TEXT,
                             children=[_node(STRING_TABLE_KEY, value_type=TEXT, children=table)])
    translation = _node("Translation", struct.pack("<HH", LANGUAGE_EN_US, CODE_PAGE_UNICODE), 4)
    var_file_info = _node("VarFileInfo", value_type=TEXT, children=[translation])
    return _node("VS_VERSION_INFO", fixed, VS_FIXEDFILEINFO.size, BINARY,
                 [string_file_info, var_file_info])


def replace_version(tree, version, strings):
    """Puts one version resource (ID 1, US English) in place of any there was."""
    tree.remove_type(RT_VERSION)
    tree.set(RT_VERSION, 1, LANGUAGE_EN_US, Resource(version_resource(version, strings)))
