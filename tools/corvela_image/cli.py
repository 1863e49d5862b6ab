"""Assembles a Java application image for the Corvela launcher.

The image is a directory OUTPUT holding:
  NAME.exe            the launcher under the application's name (the console launcher with
                      --console); with --icon, --app-version
                      and the other branding options it carries the vendor's icon and
                      version information, and with a signing key it is signed last
  app/NAME.cfg        the launcher configuration: [Application], [JavaOptions], [ArgOptions]
  app/*.jar, app/...  the application's jars and module directories
  app/.package        the package name, when --package is given
  runtime/            a copy of the runtime directory (it must hold bin/jli.dll)

With --msi the image is packaged as a Windows Installer file as well (built with wixl),
per user into %LOCALAPPDATA%\\Programs\\NAME by default, with a Start menu shortcut.

Paths in the configuration are written relative to the image with "$APPDIR", so the image
can be moved. At least one of --main-class, --main-jar and --main-module is required.

Bad input is reported and nothing is written: a missing file, a name that cannot be a
Windows file name, no main class, jar or module, a value the configuration cannot hold, a
file that is not an icon, a version that is not 1 to 4 numbers of 0 to 65535, a launcher
that is signed already, has data appended or is not a 64-bit executable, a key that does
not match its certificate. The image is assembled in a scratch directory beside OUTPUT and
moved into place only when complete.
"""

import argparse
import sys

from .errors import ImageError
from .image import assemble

# Values of these options usually start with "-" ("-Xmx1g", "--verbose"); take the next word
# as the value whatever it looks like.
VALUE_OPTIONS = ("--java-option", "--arg", "--description", "--copyright", "--vendor",
                 "--product-name")


def join_option_values(argv):
    joined = []
    i = 0
    while i < len(argv):
        if argv[i] in VALUE_OPTIONS and i + 1 < len(argv):
            joined.append(argv[i] + "=" + argv[i + 1])
            i += 2
        else:
            joined.append(argv[i])
            i += 1
    return joined


class Progress:
    """One updating line on a terminal for the steps that take more than a moment; nothing
    when the output is not a terminal."""

    def __init__(self, stream):
        self.stream = stream
        self.shown = False
        self.on_terminal = stream.isatty()

    def __call__(self, step):
        if self.on_terminal:
            self.stream.write("\r\033[Kcorvela-image: %s..." % step)
            self.stream.flush()
            self.shown = True

    def done(self):
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="corvela-image", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--name", required=True, help="application name: the launcher becomes NAME.exe")
    parser.add_argument("--launcher", required=True, help="the launcher executable (build/bin/corvela.exe)")
    parser.add_argument("--runtime", help="runtime directory to copy into the image (holds bin/jli.dll)")
    parser.add_argument("--runtime-path", help="app.runtime value instead of a copied runtime (may use $ROOTDIR)")
    parser.add_argument("--jar", action="append", default=[], help="a jar for the class path (repeatable)")
    parser.add_argument("--module-path", action="append", default=[], help="a module path entry, jar or directory (repeatable)")
    parser.add_argument("--main-class", help="main class, e.g. demo.Main")
    parser.add_argument("--main-jar", help="main jar (runs with -jar)")
    parser.add_argument("--main-module", help="main module, e.g. demo/demo.Main")
    parser.add_argument("--java-option", action="append", default=[], help="a JVM option (repeatable)")
    parser.add_argument("--arg", action="append", default=[], help="a default application argument (repeatable)")
    parser.add_argument("--splash", help="splash screen image")
    parser.add_argument("--package", help="package name, written to app/.package")
    parser.add_argument("--output", required=True, help="the image directory to create (must not exist)")
    parser.add_argument("--console", action="store_true",
                        help="make NAME.exe the console launcher (%s beside --launcher), for "
                             "command-line tools: the shell waits for it, its streams are the "
                             "shell's, failures go to standard error" % "corvela-console.exe")
    parser.add_argument("--single-instance", action="store_true",
                        help="one running instance per user and session: a later start hands its "
                             "arguments to it (corvela-instance.jar, beside --launcher, goes on "
                             "the class path)")
    parser.add_argument("--code-page", choices=("utf-8", "ansi", "auto"), default="auto",
                        help="the code page the exe declares for the JVM arguments: utf-8 for "
                             "Java 19+, 17.0.5+ and 11.0.17+, ansi for older runtimes; auto "
                             "(default) reads JAVA_VERSION from the runtime's release file")
    brand = parser.add_argument_group("branding the exe (its icon and the version information Windows shows)")
    brand.add_argument("--icon", help="an .ico file; replaces the launcher's own icon")
    brand.add_argument("--app-version", help="X.Y.Z[.W], each 0 to 65535: file and product version")
    brand.add_argument("--vendor", help="CompanyName")
    brand.add_argument("--description", help="FileDescription (default: the product name)")
    brand.add_argument("--copyright", help="LegalCopyright")
    brand.add_argument("--product-name", help="ProductName (default: --name)")
    msi = parser.add_argument_group("an installer (Windows Installer package) of the image, built with wixl")
    msi.add_argument("--msi", metavar="FILE.msi", help="write the installer too; needs --app-version and --vendor")
    msi.add_argument("--upgrade-code", metavar="GUID",
                     help="the same for every version of the application (default: derived from "
                          "--vendor and --name, and printed)")
    msi.add_argument("--msi-scope", choices=("user", "machine"),
                     help="user (default): %%LOCALAPPDATA%%\\Programs\\NAME, no elevation; "
                          "machine: Program Files, for all users")
    sign = parser.add_argument_group("signing the exe with osslsigncode, as the last step")
    sign.add_argument("--sign-cert", help="code-signing certificate (chain), PEM")
    sign.add_argument("--sign-key", help="its private key, PEM")
    sign.add_argument("--sign-pkcs12", help="certificate and key in one PKCS#12 file instead")
    sign.add_argument("--sign-password-env", metavar="VAR", help="environment variable holding the PKCS#12 password")
    sign.add_argument("--timestamp-url", help="RFC 3161 time-stamp server to countersign with")
    args = parser.parse_args(join_option_values(sys.argv[1:] if argv is None else argv))
    progress = Progress(sys.stderr)
    try:
        output, notes = assemble(args, progress)
    except (ImageError, OSError) as e:
        progress.done()
        print("corvela-image: error: %s" % e, file=sys.stderr)
        return 1
    progress.done()
    for note in notes:
        print("corvela-image: note: %s" % note, file=sys.stderr)
    print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
