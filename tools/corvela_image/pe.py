"""Reads and rewrites the resources of a 64-bit Windows executable.

The resource section is rebuilt whole from a `ResourceTree`; the sections the linker put
after it (in practice `.reloc`) move along, and the headers that describe the layout are
fixed: section table, resource and relocation directories, SizeOfImage,
SizeOfInitializedData and the checksum. Nothing else in the file changes, so code, imports,
exports and every resource not replaced stay exactly as they were.

Only files this writer can rewrite soundly are accepted: a PE32+ image, not signed, with
nothing appended after its last section, whose sections after `.rsrc` hold nothing that
code refers to by address.
"""

import collections
import struct

from .errors import ImageError

# Resource types this tool writes.
RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_MACHINE_ARM64 = 0xAA64
# The processors a launcher is built for, by the names --arch takes.
ARCHITECTURES = {"x64": IMAGE_FILE_MACHINE_AMD64, "arm64": IMAGE_FILE_MACHINE_ARM64}
PE32_PLUS_MAGIC = 0x20B
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40

DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4
DIRECTORY_BASERELOC = 5

DOS_HEADER_LFANEW = struct.Struct("<60xI")
COFF_HEADER = struct.Struct("<4sHHIIIHH")
CoffHeader = collections.namedtuple(
    "CoffHeader", "signature machine number_of_sections time_date_stamp "
    "pointer_to_symbol_table number_of_symbols size_of_optional_header characteristics")
# The fields of the PE32+ optional header this module reads or writes, by offset.
OPTIONAL_MAGIC = struct.Struct("<H")
OPT_SIZE_OF_INITIALIZED_DATA = 8
OPT_SECTION_ALIGNMENT = 32
OPT_FILE_ALIGNMENT = 36
OPT_SIZE_OF_IMAGE = 56
OPT_SIZE_OF_HEADERS = 60
OPT_CHECKSUM = 64
OPT_SUBSYSTEM = 68
OPT_NUMBER_OF_RVA_AND_SIZES = 108
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
UINT16 = struct.Struct("<H")
OPT_DATA_DIRECTORIES = 112
UINT32 = struct.Struct("<I")
# The checksum field read as the two 16-bit words the checksum sums.
CHECKSUM_WORDS = struct.Struct("<HH")
DATA_DIRECTORY = struct.Struct("<II")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
SectionHeader = collections.namedtuple(
    "SectionHeader", "name virtual_size virtual_address size_of_raw_data pointer_to_raw_data "
    "pointer_to_relocations pointer_to_linenumbers number_of_relocations "
    "number_of_linenumbers characteristics")

RESOURCE_DIRECTORY = struct.Struct("<IIHHHH")
ResourceDirectory = collections.namedtuple(
    "ResourceDirectory", "characteristics time_date_stamp major_version minor_version "
    "number_of_named_entries number_of_id_entries")
RESOURCE_DIRECTORY_ENTRY = struct.Struct("<II")
RESOURCE_DATA_ENTRY = struct.Struct("<IIII")
ResourceDataEntry = collections.namedtuple(
    "ResourceDataEntry", "offset_to_data size code_page reserved")
HIGH_BIT = 0x80000000

IMPORT_DESCRIPTOR = struct.Struct("<IIIII")
ImportDescriptor = collections.namedtuple(
    "ImportDescriptor", "original_first_thunk time_date_stamp forwarder_chain name first_thunk")
IMPORT_THUNK = struct.Struct("<Q")
IMPORT_BY_ORDINAL = 1 << 63
IMPORT_HINT = struct.Struct("<H")

# Sections that may move: nothing refers to their contents by address but the data
# directories this module fixes.
MOVABLE_SECTIONS = {b".reloc"}


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Resource:
    """One resource's bytes and the code page its entry names."""

    def __init__(self, data, code_page=0):
        self.data = bytes(data)
        self.code_page = code_page


class ResourceTree:
    """type -> name -> language -> Resource. Types and names are ints (IDs) or strs."""

    def __init__(self):
        self.types = {}

    def get(self, type_, name, language):
        return self.types.get(type_, {}).get(name, {}).get(language)

    def names(self, type_):
        return list(self.types.get(type_, {}))

    def languages(self, type_, name):
        return list(self.types.get(type_, {}).get(name, {}))

    def set(self, type_, name, language, resource):
        self.types.setdefault(type_, {}).setdefault(name, {})[language] = resource

    def remove_type(self, type_):
        self.types.pop(type_, None)


def _entry_order(key):
    # Named entries first, ordered as the loader's binary search expects; then IDs ascending.
    if isinstance(key, str):
        return (0, key.upper(), 0)
    return (1, "", key)


def architecture_of(machine):
    """The --arch name of a COFF machine number, or None for any other processor."""
    return next((name for name, number in ARCHITECTURES.items() if number == machine), None)


def machine_text(data):
    """What processor the PE file in `data` is for, as a user reads it: "x64", "arm64", or
    the machine number (e.g. "machine 0x14C"); None when `data` is no PE file."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    (pe_offset,) = DOS_HEADER_LFANEW.unpack_from(data, 0)
    if pe_offset + COFF_HEADER.size > len(data):
        return None
    coff = CoffHeader._make(COFF_HEADER.unpack_from(data, pe_offset))
    if coff.signature != b"PE\0\0":
        return None
    return architecture_of(coff.machine) or "machine 0x%X" % coff.machine


class PEImage:
    """A parsed PE32+ file: its bytes, headers and section table."""

    def __init__(self, data, what="launcher"):
        self.data = bytearray(data)
        self.what = what
        if len(data) < 64 or data[:2] != b"MZ":
            raise ImageError("%s is not a Windows executable (no MZ header)" % what)
        (self.pe_offset,) = DOS_HEADER_LFANEW.unpack_from(data, 0)
        if self.pe_offset + COFF_HEADER.size > len(data):
            raise ImageError("%s is not a Windows executable (no PE header)" % what)
        self.coff = CoffHeader._make(COFF_HEADER.unpack_from(data, self.pe_offset))
        if self.coff.signature != b"PE\0\0":
            raise ImageError("%s is not a Windows executable (no PE header)" % what)
        self.optional = self.pe_offset + COFF_HEADER.size
        (magic,) = OPTIONAL_MAGIC.unpack_from(data, self.optional)
        self.architecture = architecture_of(self.coff.machine)
        if self.architecture is None or magic != PE32_PLUS_MAGIC:
            raise ImageError("%s is not a 64-bit (x64 or ARM64) Windows executable" % what)
        self.section_table = self.optional + self.coff.size_of_optional_header
        self.sections = [
            SectionHeader._make(SECTION_HEADER.unpack_from(data, self.section_table + SECTION_HEADER.size * i))
            for i in range(self.coff.number_of_sections)]
        self.section_alignment = self._u32(OPT_SECTION_ALIGNMENT)
        self.file_alignment = self._u32(OPT_FILE_ALIGNMENT)
        self.directory_count = self._u32(OPT_NUMBER_OF_RVA_AND_SIZES)

    def subsystem(self):
        return UINT16.unpack_from(self.data, self.optional + OPT_SUBSYSTEM)[0]

    def _u32(self, offset):
        return UINT32.unpack_from(self.data, self.optional + offset)[0]

    def _set_u32(self, offset, value):
        UINT32.pack_into(self.data, self.optional + offset, value)

    def directory(self, index):
        if index >= self.directory_count:
            return 0, 0
        return DATA_DIRECTORY.unpack_from(self.data, self.optional + OPT_DATA_DIRECTORIES +
                                          DATA_DIRECTORY.size * index)

    def _set_directory(self, index, rva, size):
        DATA_DIRECTORY.pack_into(self.data, self.optional + OPT_DATA_DIRECTORIES +
                                 DATA_DIRECTORY.size * index, rva, size)

    def end_of_sections(self):
        ends = [s.pointer_to_raw_data + s.size_of_raw_data for s in self.sections
                if s.size_of_raw_data]
        return max(ends) if ends else self._u32(OPT_SIZE_OF_HEADERS)

    def check_rewritable(self):
        """Raises ImageError unless the resources can be rewritten without harm."""
        if self.directory(DIRECTORY_SECURITY)[1]:
            raise ImageError("%s is signed already: brand and sign an unsigned launcher" % self.what)
        if len(self.data) > self.end_of_sections() or self.coff.pointer_to_symbol_table:
            raise ImageError("%s has data appended after its last section (%d bytes); "
                             "use the launcher as built" %
                             (self.what, len(self.data) - self.end_of_sections()))
        index = self._resource_section_index()
        for section in self.sections[index + 1:]:
            if section.name.rstrip(b"\0") not in MOVABLE_SECTIONS:
                raise ImageError("%s has section %s after its resources, which cannot move" %
                                 (self.what, section.name.rstrip(b"\0").decode("ascii", "replace")))

    def _resource_section_index(self):
        rva, _ = self.directory(DIRECTORY_RESOURCE)
        for i, section in enumerate(self.sections):
            if rva and section.virtual_address == rva:
                return i
        raise ImageError("%s has no resource section" % self.what)

    def rva_to_offset(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.size_of_raw_data):
                return s.pointer_to_raw_data + rva - s.virtual_address
        raise ImageError("%s: address %#x lies outside its sections" % (self.what, rva))

    def _text_at(self, rva):
        start = self.rva_to_offset(rva)
        end = self.data.find(b"\0", start)
        return bytes(self.data[start:end if end >= 0 else len(self.data)]).decode("ascii", "replace")

    def imported_functions(self):
        """The functions the exe imports by name, as (DLL name in lower case, function)."""
        rva, size = self.directory(DIRECTORY_IMPORT)
        found = set()
        if not rva or not size:
            return found
        offset = self.rva_to_offset(rva)
        while offset + IMPORT_DESCRIPTOR.size <= len(self.data):
            entry = ImportDescriptor._make(IMPORT_DESCRIPTOR.unpack_from(self.data, offset))
            if not entry.name:
                break  # the all-zero descriptor that ends the table
            dll = self._text_at(entry.name).lower()
            thunk = self.rva_to_offset(entry.original_first_thunk or entry.first_thunk)
            while True:
                (value,) = IMPORT_THUNK.unpack_from(self.data, thunk)
                if not value:
                    break
                if not value & IMPORT_BY_ORDINAL:
                    found.add((dll, self._text_at(value + IMPORT_HINT.size)))
                thunk += IMPORT_THUNK.size
            offset += IMPORT_DESCRIPTOR.size
        return found

    # Reading the resource tree.

    def resources(self):
        section = self.sections[self._resource_section_index()]
        base = section.pointer_to_raw_data
        limit = base + section.size_of_raw_data
        tree = ResourceTree()

        def directory_entries(offset, depth):
            if depth > 2 or base + offset + RESOURCE_DIRECTORY.size > limit:
                raise ImageError("%s has a malformed resource directory" % self.what)
            header = ResourceDirectory._make(RESOURCE_DIRECTORY.unpack_from(self.data, base + offset))
            count = header.number_of_named_entries + header.number_of_id_entries
            for i in range(count):
                at = base + offset + RESOURCE_DIRECTORY.size + RESOURCE_DIRECTORY_ENTRY.size * i
                name, target = RESOURCE_DIRECTORY_ENTRY.unpack_from(self.data, at)
                yield self._entry_name(base, limit, name), target

        for type_, type_target in directory_entries(0, 0):
            for name, name_target in directory_entries(type_target & ~HIGH_BIT, 1):
                for language, target in directory_entries(name_target & ~HIGH_BIT, 2):
                    if target & HIGH_BIT or base + target + RESOURCE_DATA_ENTRY.size > limit:
                        raise ImageError("%s has a malformed resource entry" % self.what)
                    entry = ResourceDataEntry._make(RESOURCE_DATA_ENTRY.unpack_from(self.data, base + target))
                    start = self.rva_to_offset(entry.offset_to_data)
                    if start + entry.size > len(self.data):
                        raise ImageError("%s has resource data past its end" % self.what)
                    tree.set(type_, name, language,
                             Resource(self.data[start:start + entry.size], entry.code_page))
        return tree

    def _entry_name(self, base, limit, name):
        if not name & HIGH_BIT:
            return name
        at = base + (name & ~HIGH_BIT)
        if at + 2 > limit:
            raise ImageError("%s has a malformed resource name" % self.what)
        (length,) = UINT16.unpack_from(self.data, at)
        return bytes(self.data[at + 2:at + 2 + 2 * length]).decode("utf-16-le")

    # Writing.

    def with_resources(self, tree):
        """The file's bytes with its resource section rebuilt from `tree`."""
        self.check_rewritable()
        index = self._resource_section_index()
        old = self.sections[index]
        section_data = build_resource_section(tree, old.virtual_address)
        raw_size = align(len(section_data), self.file_alignment)

        out = bytearray(self.data[:old.pointer_to_raw_data])
        out += section_data + bytes(raw_size - len(section_data))
        sections = list(self.sections)
        sections[index] = old._replace(virtual_size=len(section_data), size_of_raw_data=raw_size)
        next_rva = align(old.virtual_address + len(section_data), self.section_alignment)
        moves = {}
        for i in range(index + 1, len(sections)):
            s = sections[i]
            moved = s._replace(virtual_address=next_rva,
                               pointer_to_raw_data=len(out) if s.size_of_raw_data else 0)
            out += self.data[s.pointer_to_raw_data:s.pointer_to_raw_data + s.size_of_raw_data]
            moves[s.virtual_address] = (s, moved)
            sections[i] = moved
            next_rva = align(moved.virtual_address + max(s.virtual_size, 1), self.section_alignment)

        result = PEImage(out, self.what)
        for i, s in enumerate(sections):
            SECTION_HEADER.pack_into(result.data, self.section_table + SECTION_HEADER.size * i, *s)
        result._set_directory(DIRECTORY_RESOURCE, old.virtual_address, len(section_data))
        for index_ in range(min(result.directory_count, 16)):
            rva, size = self.directory(index_)
            if index_ == DIRECTORY_RESOURCE or not size:
                continue
            for s, moved in moves.values():
                if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, 1):
                    if index_ != DIRECTORY_BASERELOC:
                        raise ImageError("%s: data directory %d lies in a section that must move" %
                                         (self.what, index_))
                    result._set_directory(index_, rva - s.virtual_address + moved.virtual_address, size)
        result._set_u32(OPT_SIZE_OF_IMAGE, next_rva)
        initialized = self._u32(OPT_SIZE_OF_INITIALIZED_DATA)
        if old.characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA:
            initialized = initialized - old.size_of_raw_data + raw_size
        result._set_u32(OPT_SIZE_OF_INITIALIZED_DATA, initialized)
        result._set_u32(OPT_CHECKSUM, 0)
        result._set_u32(OPT_CHECKSUM, pe_checksum(result.data, result.optional + OPT_CHECKSUM))
        return bytes(result.data)

    def checksum_matches(self):
        return self._u32(OPT_CHECKSUM) == pe_checksum(self.data, self.optional + OPT_CHECKSUM)


def pe_checksum(data, checksum_offset):
    """The PE image checksum: 16-bit one's-complement style sum, plus the file length."""
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    total = sum(words) - sum(CHECKSUM_WORDS.unpack_from(padded, checksum_offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def build_resource_section(tree, section_rva):
    """Lays out `tree` as a resource section placed at `section_rva`: the directories level
    by level, then the data entries, the name strings, and the data, each 4-byte aligned."""
    type_dirs = sorted(tree.types.items(), key=lambda item: _entry_order(item[0]))
    directories = [type_dirs]
    name_dirs = [sorted(names.items(), key=lambda item: _entry_order(item[0]))
                 for _, names in type_dirs]
    directories += name_dirs
    language_dirs = [sorted(languages.items(), key=lambda item: _entry_order(item[0]))
                     for names in name_dirs for _, languages in names]
    directories += language_dirs

    offsets = []
    position = 0
    for entries in directories:
        offsets.append(position)
        position += RESOURCE_DIRECTORY.size + RESOURCE_DIRECTORY_ENTRY.size * len(entries)
    leaves = [resource for entries in language_dirs for _, resource in entries]
    data_entry_start = position
    position += RESOURCE_DATA_ENTRY.size * len(leaves)

    strings = {}
    string_blob = bytearray()
    for entries in directories:
        for key, _ in entries:
            if isinstance(key, str) and key not in strings:
                strings[key] = position + len(string_blob)
                encoded = key.encode("utf-16-le")
                string_blob += UINT16.pack(len(encoded) // 2) + encoded
    position = align(position + len(string_blob), 4)

    data_offsets = []
    for resource in leaves:
        data_offsets.append(position)
        position = align(position + len(resource.data), 4)

    out = bytearray(position)

    def write_directory(index, entries, targets):
        named = sum(1 for key, _ in entries if isinstance(key, str))
        RESOURCE_DIRECTORY.pack_into(out, offsets[index], 0, 0, 0, 0, named, len(entries) - named)
        for i, ((key, _), target) in enumerate(zip(entries, targets)):
            name = strings[key] | HIGH_BIT if isinstance(key, str) else key
            RESOURCE_DIRECTORY_ENTRY.pack_into(
                out, offsets[index] + RESOURCE_DIRECTORY.size + RESOURCE_DIRECTORY_ENTRY.size * i,
                name, target)

    write_directory(0, type_dirs, [offsets[1 + i] | HIGH_BIT for i in range(len(type_dirs))])
    language_index = 1 + len(name_dirs)
    for i, entries in enumerate(name_dirs):
        targets = []
        for _ in entries:
            targets.append(offsets[language_index] | HIGH_BIT)
            language_index += 1
        write_directory(1 + i, entries, targets)
    leaf = 0
    for i, entries in enumerate(language_dirs):
        targets = [data_entry_start + RESOURCE_DATA_ENTRY.size * (leaf + j) for j in range(len(entries))]
        leaf += len(entries)
        write_directory(1 + len(name_dirs) + i, entries, targets)
    for i, resource in enumerate(leaves):
        RESOURCE_DATA_ENTRY.pack_into(out, data_entry_start + RESOURCE_DATA_ENTRY.size * i,
                                      section_rva + data_offsets[i], len(resource.data),
                                      resource.code_page, 0)
        out[data_offsets[i]:data_offsets[i] + len(resource.data)] = resource.data
    string_start = data_entry_start + RESOURCE_DATA_ENTRY.size * len(leaves)
    out[string_start:string_start + len(string_blob)] = string_blob
    return bytes(out)
