"""Two builds of the same inputs, the same bytes: the time files written by the tool carry,
and the summary information of an installer, whose package code and times wixl takes from a
random number and the clock, written in place from the package's inputs.

An installer is a compound file; the summary is a property set in the stream
"\\x05SummaryInformation". Both values keep their size, so they are overwritten where they
lie and nothing else of the file moves."""

import hashlib
import os
import struct
import uuid

from .errors import ImageError

SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
END_OF_CHAIN = 0xFFFFFFFE
SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
PACKAGE_CODE_NAMESPACE = uuid.UUID("3d7c2a5e-94b1-4f0e-8a26-5c1f0e7b9d43")
BLANK_PACKAGE_CODE = "{00000000-0000-0000-0000-000000000000}"
# Seconds between 1601-01-01 (FILETIME's start) and 1970-01-01.
EPOCH_AS_FILETIME_SECONDS = 11644473600


class CompoundFile:
    """The places in a compound file's bytes of each byte of one of its streams."""

    def __init__(self, data, what):
        self.data = data
        self.what = what
        if data[:8] != SIGNATURE or len(data) < 512:
            raise ImageError("%s is not a compound file" % what)
        self.sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (self.first_directory, _, self.mini_cutoff, self.first_mini_fat, _,
         first_difat, difat_count) = struct.unpack_from("<7I", data, 0x30)
        self.fat = self._fat(first_difat, difat_count)
        self.directory = self._read(self._chain(self.first_directory))
        root = self._entry(0)
        self.mini_stream = self._chain(root[1])
        self.mini_fat = struct.unpack("<%dI" % (len(self._read(self._chain(self.first_mini_fat))) // 4),
                                      self._read(self._chain(self.first_mini_fat))) \
            if self.first_mini_fat != END_OF_CHAIN else ()

    def _sector_offset(self, sector):
        return (sector + 1) * self.sector_size

    def _fat(self, first_difat, difat_count):
        fat_sectors = list(struct.unpack_from("<109I", self.data, 0x4C))
        sector = first_difat
        for _ in range(difat_count):
            entries = struct.unpack_from("<%dI" % (self.sector_size // 4), self.data,
                                         self._sector_offset(sector))
            fat_sectors += entries[:-1]
            sector = entries[-1]
        fat = []
        for sector in fat_sectors:
            if sector >= 0xFFFFFFFA:
                continue
            fat += struct.unpack_from("<%dI" % (self.sector_size // 4), self.data,
                                      self._sector_offset(sector))
        return fat

    def _chain(self, start, table=None):
        table = self.fat if table is None else table
        chain = []
        sector = start
        while sector < 0xFFFFFFFA:
            if sector >= len(table) or len(chain) > len(table):
                raise ImageError("%s has a broken sector chain" % self.what)
            chain.append(sector)
            sector = table[sector]
        return chain

    def _read(self, chain):
        return b"".join(self.data[self._sector_offset(s):self._sector_offset(s) + self.sector_size]
                        for s in chain)

    def _entry(self, index):
        entry = self.directory[index * 128:(index + 1) * 128]
        name_length = struct.unpack_from("<H", entry, 64)[0]
        name = entry[:max(name_length - 2, 0)].decode("utf-16-le", "replace")
        start, size = struct.unpack_from("<IQ", entry, 116)
        return name, start, size & 0xFFFFFFFF

    def stream_offsets(self, name):
        """The file offset of each byte of the stream `name`."""
        for index in range(len(self.directory) // 128):
            entry_name, start, size = self._entry(index)
            if entry_name != name or index == 0:
                continue
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
    section = struct.unpack_from("<I", stream, 28 + 16)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        found[pid] = (struct.unpack_from("<I", stream, section + offset)[0], section + offset + 4)
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
    length = struct.unpack_from("<I", stream, at)[0]
    code = package_code.encode("ascii") + b"\0"
    if length != len(code):
        raise ImageError("%s has a package code of an unexpected size" % what)
    writes[at + 4] = code
    filetime = struct.pack("<Q", (seconds + EPOCH_AS_FILETIME_SECONDS) * 10000000)
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
