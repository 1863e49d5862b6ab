"""Two builds of the same inputs, the same bytes: the time files written by the tool carry,
and the summary information of an installer, whose package code and times wixl takes from a
random number and the clock, written in place from the package's inputs.

An installer is a compound file; the summary is a property set in the stream
"\\x05SummaryInformation". Both values keep their size, so they are overwritten where they
lie and nothing else of the file moves."""

import collections
import hashlib
import os
import struct
import uuid

from .errors import ImageError

SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
# Sector numbers from here up mark a chain's end, a free sector or a table's own sector.
MAX_SECTOR = 0xFFFFFFFA
END_OF_CHAIN = 0xFFFFFFFE
SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
PACKAGE_CODE_NAMESPACE = uuid.UUID("3d7c2a5e-94b1-4f0e-8a26-5c1f0e7b9d43")
BLANK_PACKAGE_CODE = "{00000000-0000-0000-0000-000000000000}"
# Seconds between 1601-01-01 (FILETIME's start) and 1970-01-01.
EPOCH_AS_FILETIME_SECONDS = 11644473600

# The compound file's header, its first 76 bytes; the first 109 FAT sector numbers follow.
HEADER = struct.Struct("<8s16sHHHHH6sIIIIIIIII")
Header = collections.namedtuple(
    "Header", "signature clsid minor_version major_version byte_order sector_shift "
    "mini_sector_shift reserved directory_sectors fat_sectors first_directory_sector "
    "transaction_signature mini_stream_cutoff first_mini_fat_sector mini_fat_sectors "
    "first_difat_sector difat_sectors")
HEADER_DIFAT = struct.Struct("<109I")
SECTOR_NUMBER = struct.Struct("<I")
DIRECTORY_ENTRY = struct.Struct("<64sHBBIII16sIQQIQ")
DirectoryEntry = collections.namedtuple(
    "DirectoryEntry", "name name_length object_type color left_sibling right_sibling child "
    "clsid state_bits creation_time modified_time starting_sector stream_size")
# A property set stream: its header, then (format id, offset) of each section; a section
# starts with its size and number of properties, then (property id, offset) of each.
PROPERTY_SET_HEADER = struct.Struct("<HHI16sI")
SECTION_LOCATION = struct.Struct("<16sI")
SECTION_HEADER = struct.Struct("<II")
PROPERTY_LOCATION = struct.Struct("<II")
PROPERTY_TYPE = struct.Struct("<I")
LPSTR_LENGTH = struct.Struct("<I")
FILETIME = struct.Struct("<Q")


class CompoundFile:
    """The places in a compound file's bytes of each byte of one of its streams."""

    def __init__(self, data, what):
        self.data = data
        self.what = what
        if data[:8] != SIGNATURE or len(data) < 512:
            raise ImageError("%s is not a compound file" % what)
        self.header = Header._make(HEADER.unpack_from(data, 0))
        self.sector_size = 1 << self.header.sector_shift
        self.mini_sector_size = 1 << self.header.mini_sector_shift
        self.mini_cutoff = self.header.mini_stream_cutoff
        self.fat = self._fat()
        self.directory = self._read(self._chain(self.header.first_directory_sector))
        self.mini_stream = self._chain(self._entry(0).starting_sector)
        first_mini_fat = self.header.first_mini_fat_sector
        self.mini_fat = self._sector_numbers(self._read(self._chain(first_mini_fat))) \
            if first_mini_fat != END_OF_CHAIN else ()

    def _sector_offset(self, sector):
        return (sector + 1) * self.sector_size

    @staticmethod
    def _sector_numbers(data, count=None):
        count = len(data) // SECTOR_NUMBER.size if count is None else count
        return [SECTOR_NUMBER.unpack_from(data, i * SECTOR_NUMBER.size)[0] for i in range(count)]

    def _fat(self):
        fat_sectors = list(HEADER_DIFAT.unpack_from(self.data, HEADER.size))
        per_sector = self.sector_size // SECTOR_NUMBER.size
        sector = self.header.first_difat_sector
        for _ in range(self.header.difat_sectors):
            entries = self._sector_numbers(self.data[self._sector_offset(sector):], per_sector)
            # The last number of a DIFAT sector is the next DIFAT sector.
            fat_sectors += entries[:-1]
            sector = entries[-1]
        fat = []
        for sector in fat_sectors:
            if sector >= MAX_SECTOR:
                continue
            fat += self._sector_numbers(self.data[self._sector_offset(sector):], per_sector)
        return fat

    def _chain(self, start, table=None):
        table = self.fat if table is None else table
        chain = []
        sector = start
        while sector < MAX_SECTOR:
            if sector >= len(table) or len(chain) > len(table):
                raise ImageError("%s has a broken sector chain" % self.what)
            chain.append(sector)
            sector = table[sector]
        return chain

    def _read(self, chain):
        return b"".join(self.data[self._sector_offset(s):self._sector_offset(s) + self.sector_size]
                        for s in chain)

    def _entry(self, index):
        entry = DirectoryEntry._make(
            DIRECTORY_ENTRY.unpack_from(self.directory, index * DIRECTORY_ENTRY.size))
        name = entry.name[:max(entry.name_length - 2, 0)].decode("utf-16-le", "replace")
        # Version 3 files keep only the low 32 bits of a stream's size.
        return entry._replace(name=name, stream_size=entry.stream_size & 0xFFFFFFFF)

    def stream_offsets(self, name):
        """The file offset of each byte of the stream `name`."""
        for index in range(len(self.directory) // DIRECTORY_ENTRY.size):
            entry = self._entry(index)
            if entry.name != name or index == 0:
                continue
            start, size = entry.starting_sector, entry.stream_size
            if size >= self.mini_cutoff:
                sectors, sector_size = self._chain(start), self.sector_size
                place = self._sector_offset
            else:
                sectors, sector_size = self._chain(start, self.mini_fat), self.mini_sector_size
                per_sector = self.sector_size // self.mini_sector_size

                def place(mini):
                    big = self.mini_stream[mini // per_sector]
                    return self._sector_offset(big) + (mini % per_sector) * sector_size
            offsets = [place(s) + i for s in sectors for i in range(sector_size)]
            return offsets[:size]
        raise ImageError("%s has no stream %r" % (self.what, name))


def _properties(stream):
    """The summary's properties: id -> (type, offset of the value in the stream)."""
    section = SECTION_LOCATION.unpack_from(stream, PROPERTY_SET_HEADER.size)[1]
    _, count = SECTION_HEADER.unpack_from(stream, section)
    found = {}
    for i in range(count):
        pid, offset = PROPERTY_LOCATION.unpack_from(
            stream, section + SECTION_HEADER.size + PROPERTY_LOCATION.size * i)
        found[pid] = (PROPERTY_TYPE.unpack_from(stream, section + offset)[0],
                      section + offset + PROPERTY_TYPE.size)
    return found


def set_summary(data, package_code, seconds, what):
    """`data` (an installer's bytes) with the package code `package_code` ("{...}", upper
    case) and creation and save times at `seconds` after 1970."""
    data = bytearray(data)
    offsets = CompoundFile(bytes(data), what).stream_offsets(SUMMARY_STREAM)
    stream = bytearray(data[o] for o in offsets)
    properties = _properties(bytes(stream))
    writes = {}
    kind, at = properties.get(PID_REVNUMBER, (None, None))
    if kind != VT_LPSTR:
        raise ImageError("%s has no package code in its summary" % what)
    length = LPSTR_LENGTH.unpack_from(stream, at)[0]
    code = package_code.encode("ascii") + b"\0"
    if length != len(code):
        raise ImageError("%s has a package code of an unexpected size" % what)
    writes[at + LPSTR_LENGTH.size] = code
    filetime = FILETIME.pack((seconds + EPOCH_AS_FILETIME_SECONDS) * 10000000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        kind, at = properties.get(pid, (None, None))
        if kind == VT_FILETIME:
            writes[at] = filetime
    for start, value in writes.items():
        for i, byte in enumerate(value):
            data[offsets[start + i]] = byte
    return bytes(data)


def build_time(inputs):
    """The time, in seconds after 1970, that what the tool writes carries: SOURCE_DATE_EPOCH
    when set, else the newest modification time of the files `inputs`, so that it does not
    change from one build of the same inputs to the next."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is not None:
        if not epoch.strip().isdigit():
            raise ImageError("SOURCE_DATE_EPOCH %r is not a number of seconds after 1970" % epoch)
        return int(epoch)
    return max((int(os.stat(path).st_mtime) for path in inputs), default=0)


def stamp(paths, seconds):
    for path in paths:
        os.utime(path, (seconds, seconds))


def reproducible_installer(path, seconds):
    """Rewrites the installer at `path` with creation and save times at `seconds` and a
    package code derived from everything else it holds."""
    with open(path, "rb") as f:
        data = set_summary(f.read(), BLANK_PACKAGE_CODE, seconds, path)
    code = "{%s}" % str(uuid.uuid5(PACKAGE_CODE_NAMESPACE, hashlib.sha256(data).hexdigest())).upper()
    with open(path, "wb") as f:
        f.write(set_summary(data, code, seconds, path))
