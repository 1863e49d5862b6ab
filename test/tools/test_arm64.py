#!/usr/bin/env python3
"""Images and installers for Windows on ARM64, checked without running them (nothing here
can): the ARM64 launchers branded, signed and read back by independent readers, runtimes for
the other processor refused, and the installer's tables and summary marked ARM64."""

import os
import shutil
import subprocess
import sys
import unittest

from test_image_tool import (BUILD, USAGE, ImageFixture, image_tool, openssl_certificate,
                             osslsigncode_verify, show, tiny_icon)

ARM64_DIR = os.path.join(BUILD, "bin", "arm64")
ARM64_LAUNCHER = os.path.join(ARM64_DIR, "corvela.exe")
X64_LAUNCHER = os.path.join(BUILD, "bin", "corvela.exe")
OBJDUMP = os.environ.get("CORVELA_LLVM_OBJDUMP", "llvm-objdump")
ARM64_MACHINE = 0xAA64


def machine_of(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe_offset = int.from_bytes(data[0x3C:0x40], "little")
    return int.from_bytes(data[pe_offset + 4:pe_offset + 6], "little")


def msi_summary(msi):
    out = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True)
    return dict(line.split(": ", 1) for line in out.stdout.splitlines() if ": " in line)


def msi_rows(msi, table):
    out = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True,
                         check=True)
    return [line.split("\t") for line in out.stdout.splitlines()[3:]]


class Arm64Fixture(ImageFixture):
    """The fixture's stand-in runtime twice: as built (x64) and with an ARM64 bin/jli.dll.
    Only the DLL's machine matters to the tool, so an ARM64 PE of our own stands in for it."""

    def setUp(self):
        super().setUp()
        self.arm64_runtime = os.path.join(self.work, "runtime-arm64")
        shutil.copytree(self.runtime, self.arm64_runtime)
        shutil.copy(os.path.join(ARM64_DIR, "corvela-console.exe"),
                    os.path.join(self.arm64_runtime, "bin", "jli.dll"))

    def arm64_image(self, *extra, name="Arm"):
        output = os.path.join(self.work, name)
        result = image_tool("--name", name, "--arch", "arm64", "--launcher", ARM64_LAUNCHER,
                            "--runtime", self.arm64_runtime, "--main-jar", self.jars[0],
                            "--output", output, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        return output


class Arm64ImageTest(Arm64Fixture):

    def test_branded_signed_arm64_launcher_reads_back(self):
        ico = os.path.join(self.work, "app.ico")
        with open(ico, "wb") as f:
            f.write(tiny_icon((0, 128, 255, 255)))
        cert, key = openssl_certificate(self.work, "arm64-signer")
        output = self.arm64_image("--icon", ico, "--app-version", "3.1.4", "--vendor", "Acme",
                                  "--sign-cert", cert, "--sign-key", key)
        exe = os.path.join(output, "Arm.exe")
        self.assertEqual(machine_of(exe), ARM64_MACHINE)
        shown = show(exe)
        self.assertEqual((shown["processor"], shown["fixed file version"], shown["CompanyName"],
                          shown["icon sizes"], shown["subsystem"], shown["signed"][:3]),
                         ("ARM64", "3.1.4.0", "Acme", "16", "GUI", "yes"))
        verified = osslsigncode_verify(exe, cert)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        # An independent reader of the rewritten file: LLVM's, which reads ARM64 PEs.
        dump = subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        self.assertIn("jvmLauncherGetAPI", dump.stdout)
        self.assertIn("KERNEL32.dll", dump.stdout)
        with open(os.path.join(output, "runtime", "bin", "jli.dll"), "rb") as f:
            self.assertEqual(f.read(2), b"MZ")

    def test_console_variant_comes_from_the_arm64_launchers(self):
        output = self.arm64_image("--console", name="Tool")
        self.assertEqual(machine_of(os.path.join(output, "Tool.exe")), ARM64_MACHINE)
        self.assertEqual(show(os.path.join(output, "Tool.exe"))["subsystem"], "console")

    def test_processor_mismatches_are_refused_naming_both(self):
        cases = [
            # (what, arguments, words the error holds)
            ("ARM64 image, x64 runtime",
             ["--arch", "arm64", "--launcher", ARM64_LAUNCHER, "--runtime", self.runtime],
             ["--runtime " + self.runtime, "x64 DLL", ARM64_LAUNCHER, "for ARM64"]),
            ("x64 image, ARM64 runtime",
             ["--launcher", X64_LAUNCHER, "--runtime", self.arm64_runtime],
             ["--runtime " + self.arm64_runtime, "ARM64 DLL", X64_LAUNCHER, "for x64"]),
            ("ARM64 image, x64 launcher",
             ["--arch", "arm64", "--launcher", X64_LAUNCHER, "--runtime", self.arm64_runtime],
             [X64_LAUNCHER, "an x64 executable", "for ARM64"]),
            ("x64 image, ARM64 launcher",
             ["--launcher", ARM64_LAUNCHER, "--runtime", self.runtime],
             [ARM64_LAUNCHER, "an ARM64 executable", "for x64"]),
        ]
        for what, arguments, words in cases:
            with self.subTest(what):
                output = os.path.join(self.work, "refused")
                result = image_tool("--name", "Refused", "--main-jar", self.jars[0], "--output",
                                    output, *arguments)
                self.assertEqual(result.returncode, 1, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertFalse(os.path.exists(output))

    def test_description_file_arch_takes_the_arm64_launchers(self):
        description = os.path.join(self.work, "arm.toml")
        with open(description, "w", encoding="utf-8") as f:
            f.write('name = "Described"\narch = "arm64"\nruntime = "runtime-arm64"\n'
                    'jars = ["main.jar"]\nmain-class = "app.Main"\noutput = "out/Described"\n')
        result = image_tool(description, "--launcher-dir", ARM64_DIR)
        self.assertEqual(result.returncode, 0, result.stderr)
        exe = os.path.join(self.work, "out", "Described", "Described.exe")
        self.assertEqual(machine_of(exe), ARM64_MACHINE)
        with open(description, encoding="utf-8") as f:
            text = f.read().replace('arch = "arm64"', 'arch = "sparc"')
        with open(description, "w", encoding="utf-8") as f:
            f.write(text)
        refused = image_tool(description, "--launcher-dir", ARM64_DIR, "--output",
                             os.path.join(self.work, "other"))
        self.assertEqual(refused.returncode, USAGE, refused.stderr)
        self.assertIn("arch", refused.stderr)
        self.assertIn(description, refused.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.work, "other")))


class Arm64InstallerTest(Arm64Fixture):
    """The package Windows Installer on ARM64 takes: template Arm64, installer version 500 or
    later, 64-bit components under the native Program Files. Installing it needs ARM64
    Windows; its tables are read here."""

    def package(self, output, msi, scope):
        result = image_tool("--image", output, "--msi", msi, "--app-version", "2.0.0",
                            "--vendor", "Acme", "--msi-scope", scope)
        self.assertEqual(result.returncode, 0, result.stderr)
        return msi

    def test_arm64_and_x64_packages(self):
        arm64_image = self.arm64_image()
        x64_image = os.path.join(self.work, "X64")
        built = image_tool("--name", "X64", "--launcher", X64_LAUNCHER, "--runtime", self.runtime,
                           "--main-jar", self.jars[0], "--output", x64_image)
        self.assertEqual(built.returncode, 0, built.stderr)
        cases = [(arm64_image, "Arm64;1033"), (x64_image, "x64;1033")]
        for image, template in cases:
            for scope in ("machine", "user"):
                with self.subTest(image=os.path.basename(image), scope=scope):
                    msi = self.package(image, os.path.join(self.work, "%s-%s.msi" % (
                        os.path.basename(image), scope)), scope)
                    summary = msi_summary(msi)
                    self.assertEqual(summary["Template"], template)
                    self.assertGreaterEqual(int(summary["Version"].split()[0]), 500)
                    directories = {row[0] for row in msi_rows(msi, "Directory")}
                    root = "ProgramFiles64Folder" if scope == "machine" else "LocalAppDataFolder"
                    self.assertIn(root, directories)
                    self.assertNotIn("ProgramFilesFolder", directories)
                    if scope == "machine":
                        # msidbComponentAttributes64bit on every component: Program Files and
                        # HKLM of the native processor, not their 32-bit views.
                        attributes = [int(row[3]) for row in msi_rows(msi, "Component")]
                        self.assertTrue(attributes)
                        self.assertTrue(all(a & 256 for a in attributes), attributes)


if __name__ == "__main__":
    unittest.main()
