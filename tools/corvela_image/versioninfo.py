"""The VS_VERSIONINFO resource: a fixed block of binary versions and the strings Windows
shows in a file's properties, for US English in Unicode (040904B0)."""

import collections
import re
import struct

from .errors import ImageError
from .pe import RT_VERSION, Resource

VS_FIXEDFILEINFO = struct.Struct("<13I")
VsFixedFileInfo = collections.namedtuple(
    "VsFixedFileInfo", "signature struc_version file_version_ms file_version_ls "
    "product_version_ms product_version_ls file_flags_mask file_flags file_os file_type "
    "file_subtype file_date_ms file_date_ls")
TRANSLATION = struct.Struct("<HH")
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
    fixed = VS_FIXEDFILEINFO.pack(*VsFixedFileInfo(
        FIXED_SIGNATURE, FIXED_STRUCTURE_VERSION, file_version_ms=ms, file_version_ls=ls,
        product_version_ms=ms, product_version_ls=ls, file_flags_mask=VS_FFI_FILEFLAGSMASK,
        file_flags=0, file_os=VOS_NT_WINDOWS32, file_type=VFT_APP, file_subtype=0,
        file_date_ms=0, file_date_ls=0))
    table = [_string(name, strings[name]) for name in STRING_NAMES if name in strings]
    string_file_info = _node("StringFileInfo", value_type=TEXT,
                             children=[_node(STRING_TABLE_KEY, value_type=TEXT, children=table)])
    translation = _node("Translation", TRANSLATION.pack(LANGUAGE_EN_US, CODE_PAGE_UNICODE),
                        TRANSLATION.size)
    var_file_info = _node("VarFileInfo", value_type=TEXT, children=[translation])
    return _node("VS_VERSION_INFO", fixed, VS_FIXEDFILEINFO.size, BINARY,
                 [string_file_info, var_file_info])


def replace_version(tree, version, strings):
    """Puts one version resource (ID 1, US English) in place of any there was."""
    tree.remove_type(RT_VERSION)
    tree.set(RT_VERSION, 1, LANGUAGE_EN_US, Resource(version_resource(version, strings)))


def _read_node(data, offset):
    """(key, value bytes, children, end) of the node at `offset`, laid out as `_node` writes
    it; padding counts from the start of `data`, which a resource starts aligned."""
    if offset + NODE_HEADER.size > len(data):
        raise ImageError("the version information is cut short")
    length, value_length, value_type = NODE_HEADER.unpack_from(data, offset)
    end = min(offset + length, len(data))
    key_end = offset + NODE_HEADER.size
    while key_end + 1 < end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + NODE_HEADER.size:key_end].decode("utf-16-le", "replace")
    value_start = key_end + 2 + (-(key_end + 2) % 4)
    value_end = min(value_start + value_length * (2 if value_type == TEXT else 1), end)
    children = []
    at = value_end + (-value_end % 4)
    while at + NODE_HEADER.size <= end:
        child = _read_node(data, at)
        children.append(child)
        if child[3] <= at:
            break
        at = child[3] + (-child[3] % 4)
    return key, data[value_start:value_end], children, end


def read_version(tree):
    """(VsFixedFileInfo or None, {string table key: {name: text}}) of the first version
    resource in `tree`; None when there is none."""
    names = tree.names(RT_VERSION)
    if not names:
        return None
    resource = tree.get(RT_VERSION, names[0], tree.languages(RT_VERSION, names[0])[0])
    _, value, children, _ = _read_node(resource.data, 0)
    fixed = None
    if len(value) >= VS_FIXEDFILEINFO.size:
        fixed = VsFixedFileInfo._make(VS_FIXEDFILEINFO.unpack_from(value, 0))
    tables = {}
    for key, _, tables_of_key, _ in children:
        if key != "StringFileInfo":
            continue
        for table_key, _, strings, _ in tables_of_key:
            tables[table_key] = {name: text.decode("utf-16-le", "replace").rstrip("\0")
                                 for name, text, _, _ in strings}
    return fixed, tables


def version_text(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
