#!/usr/bin/env python3
"""Checks what a launcher executable promises in its PE file: its machine (x64 or ARM64), its
subsystem, only system DLLs imported, jvmLauncherGetAPI exported under that exact name, and as
resources the application manifest, an icon, and version information naming Corvela and its
version; with --same-resources-as, the very manifest, icon and version information of another
build of the same launcher."""

import argparse
import struct
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
               "ucrtbase.dll", "ntdll.dll"}
SYSTEM_PREFIXES = ("api-ms-win-crt-",)

MANIFEST_NEEDS = [
    'level="asInvoker"',
    ">true/PM</dpiAware>",
    ">PerMonitorV2, PerMonitor, system</dpiAwareness>",
    '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>',
    '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>',
    'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
]


MACHINES = {"x64": 0x8664, "arm64": 0xAA64}

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24


def fail(message):
    print("FAIL: " + message)
    return 1


def read_sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    machine, nsections = struct.unpack_from("<HH", data, pe + 4)
    optsize = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    sections = []
    base = opt + optsize
    for i in range(nsections):
        name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, base + 40 * i)
        sections.append((name.rstrip(b"\0").decode(), vaddr, vsize, rawptr, rawsize))
    # Data directory 2: resources.
    rva, size = struct.unpack_from("<II", data, opt + 112 + 2 * 8)
    return machine, magic, subsystem, sections, rva, size


def rva_to_offset(sections, rva):
    for _, vaddr, vsize, rawptr, rawsize in sections:
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            return rawptr + rva - vaddr
    raise ValueError("RVA outside sections")


def resource_data(data, sections, rsrc_rva, wanted_type):
    """The bytes of the first resource of `wanted_type`, or None."""
    root = rva_to_offset(sections, rsrc_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, offset + 16 + 8 * i)
            yield name, target

    for type_id, target in entries(root):
        if type_id != wanted_type or not target & 0x80000000:
            continue
        for _, name_target in entries(root + (target & 0x7FFFFFFF)):
            for _, lang_target in entries(root + (name_target & 0x7FFFFFFF)):
                entry = root + lang_target
                data_rva, data_size = struct.unpack_from("<II", data, entry)
                start = rva_to_offset(sections, data_rva)
                return data[start:start + data_size]
    return None


def exported_names(dump):
    """The names in the export table of an `objdump -p` listing: binutils' (a "[Ordinal/Name
    Pointer] Table" of "[ n] name" lines) or LLVM's ("Ordinal RVA Name" rows)."""
    names = []
    lines = iter(dump.splitlines())
    for line in lines:
        if "[Ordinal/Name Pointer] Table" in line:
            for row in lines:
                if not row.strip().startswith("["):
                    return names
                names.append(row.strip().split("]", 1)[1].strip())
        if line.split() == ["Ordinal", "RVA", "Name"]:
            for row in lines:
                fields = row.split()
                if len(fields) != 3 or not fields[0].isdigit():
                    return names
                names.append(fields[2])
    return names


def resources_of(path):
    with open(path, "rb") as f:
        data = f.read()
    _, _, _, sections, rsrc_rva, _ = read_sections(data)
    return {kind: resource_data(data, sections, rsrc_rva, kind) if rsrc_rva else None
            for kind in (RT_MANIFEST, RT_GROUP_ICON, RT_ICON, RT_VERSION)}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True, help="the project's version, from VERSION")
    parser.add_argument("--subsystem", choices=("gui", "console"), default="gui")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="x64")
    parser.add_argument("--same-resources-as", metavar="EXE",
                        help="another build of this launcher whose resources must be the same")
    parser.add_argument("exe")
    args = parser.parse_args()

    failures = 0
    with open(args.exe, "rb") as f:
        data = f.read()
    machine, magic, subsystem, sections, rsrc_rva, _ = read_sections(data)
    if machine != MACHINES[args.machine] or magic != 0x20B:
        failures += fail("machine 0x%04X (PE magic 0x%X), expected an %s PE32+ image (0x%04X)"
                         % (machine, magic, args.machine, MACHINES[args.machine]))
    expected_subsystem = {"gui": 2, "console": 3}[args.subsystem]
    if subsystem != expected_subsystem:
        failures += fail("subsystem %d, expected %d (%s)" % (subsystem, expected_subsystem, args.subsystem))

    dump = subprocess.run([args.objdump, "-p", args.exe], check=True, capture_output=True,
                          text=True).stdout
    imports = [line.split("DLL Name:")[1].strip() for line in dump.splitlines()
               if "DLL Name:" in line]
    if not imports:
        failures += fail("no import table found")
    for dll in imports:
        if dll.lower() not in SYSTEM_DLLS and not dll.lower().startswith(SYSTEM_PREFIXES):
            failures += fail("imports non-system DLL " + dll)

    exports = exported_names(dump)
    if exports != ["jvmLauncherGetAPI"]:
        failures += fail("exports %r, expected exactly ['jvmLauncherGetAPI']" % exports)

    manifest = resource_data(data, sections, rsrc_rva, RT_MANIFEST) if rsrc_rva else None
    if manifest is None:
        failures += fail("no RT_MANIFEST resource")
    else:
        for needed in MANIFEST_NEEDS:
            if needed not in manifest.decode("utf-8"):
                failures += fail("manifest lacks " + needed)
    if not rsrc_rva or resource_data(data, sections, rsrc_rva, RT_GROUP_ICON) is None:
        failures += fail("no icon (RT_GROUP_ICON)")
    version = resource_data(data, sections, rsrc_rva, RT_VERSION) if rsrc_rva else None
    for needed in ("ProductName", "Corvela", args.version):
        if version is None or (needed + "\0").encode("utf-16-le") not in version:
            failures += fail("version information lacks " + needed)

    if args.same_resources_as:
        ours, theirs = resources_of(args.exe), resources_of(args.same_resources_as)
        names = {RT_MANIFEST: "manifest", RT_GROUP_ICON: "icon directory", RT_ICON: "icon image",
                 RT_VERSION: "version information"}
        for kind, name in names.items():
            if ours[kind] != theirs[kind]:
                failures += fail("%s differs from %s's" % (name, args.same_resources_as))

    print("imports: " + ", ".join(imports))
    print("exports: " + ", ".join(exports))
    if failures:
        return 1
    print("PE checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
