#!/usr/bin/env python3
"""The PE resource writer, its icon and version resources, checked against readers of
others: pefile (python3-pefile), wrestool (icoutils) and objdump. No Wine needed."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from corvela_image import icon, pe, versioninfo  # noqa: E402
from corvela_image.errors import ImageError  # noqa: E402

BUILD = os.environ.get("CORVELA_BUILD_DIR", os.path.join(ROOT, "build"))
LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
DEFAULT_ICON = os.path.join(ROOT, "src", "windows", "native", "applauncher", "corvela.ico")
# Debian's Python, which has pefile; the tool itself needs nothing beyond the standard library.
PEFILE_PYTHON = os.environ.get("CORVELA_PEFILE_PYTHON", "/usr/bin/python3")
OBJDUMP = os.environ.get("CORVELA_OBJDUMP", "x86_64-w64-mingw32-objdump")

PEFILE_REPORT = r"""
import json, sys, pefile
p = pefile.PE(sys.argv[1])
report = {"checksum": p.OPTIONAL_HEADER.CheckSum, "computed": p.generate_checksum(),
          "size_of_image": p.OPTIONAL_HEADER.SizeOfImage,
          "initialized": p.OPTIONAL_HEADER.SizeOfInitializedData,
          "sections": [[s.Name.rstrip(b"\0").decode(), s.VirtualAddress, s.Misc_VirtualSize,
                        s.PointerToRawData, s.SizeOfRawData] for s in p.sections],
          "relocations": [e.rva for b in getattr(p, "DIRECTORY_ENTRY_BASERELOC", []) for e in b.entries],
          "exports": [e.name.decode() for e in p.DIRECTORY_ENTRY_EXPORT.symbols],
          "imports": sorted(i.dll.decode().lower() for i in p.DIRECTORY_ENTRY_IMPORT),
          "resources": []}
def walk(directory, path):
    for child in directory.entries:
        key = str(child.name) if child.name is not None else child.id
        if hasattr(child, "directory"):
            walk(child.directory, path + [key])
        else:
            data = p.get_data(child.data.struct.OffsetToData, child.data.struct.Size)
            report["resources"].append(path + [key, child.data.struct.OffsetToData, data.hex()])
walk(p.DIRECTORY_ENTRY_RESOURCE, [])
strings = {}
for info in getattr(p, "FileInfo", [[]])[0]:
    for table in getattr(info, "StringTable", []):
        strings[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
    for var in getattr(info, "Var", []):
        report["translation"] = {k.decode(): v for k, v in var.entry.items()}
report["strings"] = strings
if hasattr(p, "VS_FIXEDFILEINFO"):
    f = p.VS_FIXEDFILEINFO[0]
    report["fixed"] = [f.FileVersionMS, f.FileVersionLS, f.ProductVersionMS, f.ProductVersionLS]
print(json.dumps(report))
"""


def pefile_report(path):
    import json
    result = subprocess.run([PEFILE_PYTHON, "-c", PEFILE_REPORT, path], capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("pefile could not read %s: %s" % (path, result.stderr))
    return json.loads(result.stdout)


def tree_contents(tree):
    return {t: {n: {l: r.data for l, r in langs.items()} for n, langs in names.items()}
            for t, names in tree.types.items()}


class ResourceWriterTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="corvela-pe-test-")
        with open(LAUNCHER, "rb") as f:
            self.launcher = f.read()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_rewriting_the_same_tree_keeps_every_resource(self):
        image = pe.PEImage(self.launcher)
        rewritten = pe.PEImage(image.with_resources(image.resources()))
        self.assertEqual(tree_contents(rewritten.resources()), tree_contents(image.resources()))
        self.assertTrue(rewritten.checksum_matches())

    def test_a_grown_section_moves_what_follows_and_keeps_the_file_sound(self):
        image = pe.PEImage(self.launcher)
        tree = image.resources()
        tree.set(10, "ZETA", 0, pe.Resource(b"z" * 70001))
        tree.set(10, "alpha", 0, pe.Resource(b"a" * 3))
        tree.set(10, 7, 0, pe.Resource(b"seven"))
        tree.set(10, 2, 0, pe.Resource(b"two"))
        path = self.write("grown.exe", image.with_resources(tree))
        before = pefile_report(LAUNCHER)
        after = pefile_report(path)

        self.assertEqual(after["checksum"], after["computed"])
        # Code, imports and exports are where they were; only .reloc moved.
        self.assertEqual(after["exports"], before["exports"])
        self.assertEqual(after["imports"], before["imports"])
        self.assertEqual(after["relocations"], before["relocations"])
        old = {s[0]: s for s in before["sections"]}
        new = {s[0]: s for s in after["sections"]}
        for name in old:
            if name not in (".rsrc", ".reloc"):
                self.assertEqual(new[name], old[name], name)
        self.assertGreater(new[".reloc"][1], old[".reloc"][1])
        self.assertEqual(new[".reloc"][1] % 0x1000, 0)
        self.assertEqual(new[".reloc"][3], new[".rsrc"][3] + new[".rsrc"][4])
        last = max(after["sections"], key=lambda s: s[1])
        self.assertEqual(after["size_of_image"], (last[1] + last[2] + 0xFFF) // 0x1000 * 0x1000)
        self.assertEqual(after["initialized"] - before["initialized"], new[".rsrc"][4] - old[".rsrc"][4])
        # objdump agrees on the relocation directory's new place.
        dump = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True).stdout
        self.assertIn("Entry 5 %016x" % new[".reloc"][1], dump)

        # Named entries first, ordered by name as the loader's search compares them, without
        # regard to case; then IDs ascending; data 4-byte aligned.
        mine = [r for r in after["resources"] if r[0] == 10]
        self.assertEqual([r[1] for r in mine], ["alpha", "ZETA", 2, 7])
        self.assertTrue(all(r[3] % 4 == 0 for r in after["resources"]))
        self.assertEqual(bytes.fromhex(mine[2][4]), b"two")

    def test_icon_and_version_read_back_by_other_readers(self):
        image = pe.PEImage(self.launcher)
        tree = image.resources()
        ico = icon.Icon.read(DEFAULT_ICON)
        ico.images = ico.images[:3]
        ico.entries = ico.entries[:3]
        icon.replace_icon(tree, ico)
        strings = {"CompanyName": "Acme \u0422\u0435\u0441\u0442", "FileDescription": "Demo",
                   "FileVersion": "2.5.1", "InternalName": "Demo", "LegalCopyright": "(c) Acme",
                   "OriginalFilename": "Demo.exe", "ProductName": "Demo", "ProductVersion": "2.5.1"}
        versioninfo.replace_version(tree, versioninfo.parse_version("2.5.1"), strings)
        path = self.write("branded.exe", image.with_resources(tree))

        report = pefile_report(path)
        self.assertEqual(report["strings"], {"040904B0": strings})
        self.assertEqual(report["translation"], {"Translation": "0x0409 0x04b0"})
        self.assertEqual(report["fixed"], [(2 << 16) | 5, 1 << 16, (2 << 16) | 5, 1 << 16])
        listing = subprocess.run(["wrestool", "-l", path], capture_output=True, text=True).stdout
        self.assertEqual(listing.count("--type=3 "), 3, listing)
        self.assertEqual(listing.count("--type=14 "), 1, listing)
        self.assertIn("--type=24 --name=1 ", listing)  # the manifest stays
        group = subprocess.run(["wrestool", "-x", "--raw", "-t14", "-n1", path], capture_output=True).stdout
        count = struct.unpack_from("<H", group, 4)[0]
        self.assertEqual(count, 3)
        self.assertEqual([struct.unpack_from("<H", group, 6 + 14 * i + 12)[0] for i in range(3)], [1, 2, 3])
        self.assertEqual(subprocess.run(["wrestool", "-x", "--raw", "-t3", "-n2", path], capture_output=True).stdout,
                         ico.images[1])

    def test_launchers_that_cannot_be_rewritten_are_refused(self):
        image = pe.PEImage(self.launcher)
        security = image.optional + pe.OPT_DATA_DIRECTORIES + 8 * pe.DIRECTORY_SECURITY
        signed = bytearray(self.launcher)
        struct.pack_into("<II", signed, security, len(signed), 8)
        signed += bytes(8)
        thirty_two_bit = bytearray(self.launcher)
        struct.pack_into("<H", thirty_two_bit, image.pe_offset + 4, 0x14C)
        cases = [
            ("signed", bytes(signed), "is signed already"),
            ("appended", self.launcher + b"overlay", "has data appended after its last section"),
            ("32-bit", bytes(thirty_two_bit), "is not a 64-bit (x64 or ARM64) Windows executable"),
            ("text", b"MZ" + b"\0" * 100, "is not a Windows executable"),
            ("empty", b"", "is not a Windows executable"),
        ]
        for what, data, message in cases:
            with self.subTest(what):
                with self.assertRaises(ImageError) as caught:
                    pe.PEImage(data).with_resources(pe.ResourceTree())
                self.assertIn(message, str(caught.exception))

    def test_checksum_matches_the_linkers(self):
        # The linker wrote the launcher's checksum; ours must agree with it.
        self.assertTrue(pe.PEImage(self.launcher).checksum_matches())


class VersionTest(unittest.TestCase):
    def test_versions_are_one_to_four_numbers_up_to_65535(self):
        good = {"1": (1, 0, 0, 0), "1.2": (1, 2, 0, 0), "1.2.3": (1, 2, 3, 0),
                "65535.0.0.65535": (65535, 0, 0, 65535), "0.0.0.0": (0, 0, 0, 0)}
        for text, numbers in good.items():
            self.assertEqual(versioninfo.parse_version(text), numbers, text)
        for bad in ("", "1.", ".1", "1.2.3.4.5", "1.65536", "a.b", "1.-2", "1 2", "v1.0", "123456"):
            with self.subTest(bad):
                with self.assertRaises(ImageError) as caught:
                    versioninfo.parse_version(bad)
                self.assertIn("version", str(caught.exception))


class IconTest(unittest.TestCase):
    def test_files_that_are_not_icons_are_refused(self):
        with open(DEFAULT_ICON, "rb") as f:
            good = f.read()
        cut_directory = good[:6 + 8]
        image_outside = bytearray(good)
        struct.pack_into("<I", image_outside, 6 + 12, len(good))
        not_an_image = bytearray(good)
        offset = struct.unpack_from("<I", good, 6 + 12)[0]
        not_an_image[offset:offset + 4] = b"JUNK"
        cases = [("PNG file", b"\x89PNG\r\n\x1a\n" + bytes(40), "no .ico header"),
                 ("cursor", b"\0\0\2\0\1\0" + good[6:], "no .ico header"),
                 ("short", b"\0\0", "too short"),
                 ("cut directory", cut_directory, "cut short"),
                 ("image outside", bytes(image_outside), "outside the file"),
                 ("not an image", bytes(not_an_image), "neither PNG nor bitmap")]
        for what, data, message in cases:
            with self.subTest(what):
                with self.assertRaises(ImageError) as caught:
                    icon.Icon.parse(data, "icon x.ico")
                self.assertIn(message, str(caught.exception))
                self.assertIn("x.ico is not an icon file", str(caught.exception))

    def test_images_windows_cannot_load_are_refused_by_size(self):
        def png(size, depth, color_type):
            return (b"\x89PNG\r\n\x1a\n" +
                    struct.pack(">I4sIIBBBBB", 13, b"IHDR", size, size, depth, color_type, 0, 0, 0) + bytes(4))

        def bitmap(size, depth):
            return struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, depth, 0, 0, 0, 0, 0, 0) + bytes(64)

        good = [png(256, 8, 6)] + [bitmap(16, depth) for depth in (1, 4, 8, 16, 24, 32)]
        self.assertEqual(icon.Icon.parse(icon.Icon.of_images(good).ico_bytes()).sizes(),
                         [(256, 256)] + [(16, 16)] * 6)
        cases = [
            (png(256, 16, 6), "the 256\u00d7256 image is a 16-bit-per-channel PNG; Windows loads only 8-bit RGBA PNG icons"),
            (png(128, 8, 2), "the 128\u00d7128 image is an RGB (no alpha) PNG"),
            (png(64, 8, 3), "the 64\u00d764 image is a palette PNG"),
            (png(48, 16, 4), "the 48\u00d748 image is a 16-bit-per-channel greyscale-alpha PNG"),
            (bitmap(32, 2), "the 32\u00d732 image is a bitmap of 2 bits per pixel"),
            (bitmap(24, 0), "the 24\u00d724 image is a bitmap of 0 bits per pixel"),
        ]
        for image, message in cases:
            with self.subTest(message):
                # The bad image among good ones: each image is checked.
                entries = icon.Icon.of_images(good[:2]).entries + [
                    icon.IconDirEntry(0, 0, 0, 0, 1, 32, len(image), 0)]
                data = icon.Icon(entries, good[:2] + [image]).ico_bytes()
                with self.assertRaises(ImageError) as caught:
                    icon.Icon.parse(data, "--icon x.ico")
                self.assertIn("--icon x.ico: " + message, str(caught.exception))

    def test_the_default_icon_is_what_its_script_draws(self):
        result = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-icon"), "--check"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        sizes = [e.width or 256 for e in icon.Icon.read(DEFAULT_ICON).entries]
        self.assertEqual(sizes, [16, 24, 32, 48, 64, 128, 256])


if __name__ == "__main__":
    unittest.main()
