"""Assembles a Java application image for the Corvela launcher.

The image is a directory OUTPUT holding:
  NAME.exe            the launcher under the application's name (the console launcher with
                      --console, the service launcher with --service); with --icon, --app-version
                      and the other branding options it carries the vendor's icon and
                      version information, and with a signing key it is signed last
  app/NAME.cfg        the launcher configuration: [Application], [JavaOptions], [ArgOptions]
  app/*.jar, app/...  the application's jars and module directories
  app/.package        the package name, when --package is given
  runtime/            a copy of the runtime directory (it must hold bin/jli.dll); none with
                      --runtime-min-version, for an image that runs on the Java installed
                      on the user's machine

With --msi the image is packaged as a Windows Installer file as well (built with wixl),
per user into %LOCALAPPDATA%\\Programs\\NAME by default, with a Start menu shortcut.

Paths in the configuration are written relative to the image with "$APPDIR", so the image
can be moved: the launcher replaces $APPDIR (the image's app directory), $BINDIR (the
exe's directory) and $ROOTDIR (the image's root) in every configuration value, and then
%NAME% with the environment variable NAME where the app runs. At least one of
--main-class, --main-jar and --main-module is required.

With --package, each user of the installed image may add JVM options of their own, one a
line, in %LOCALAPPDATA%\\PACKAGE\\NAME.vmoptions (or %APPDATA%\\PACKAGE\\NAME.vmoptions);
they survive upgrades. Launcher errors and JVM crash logs go to %LOCALAPPDATA%\\PACKAGE\\logs.

Bad input is reported and nothing is written: a missing file, a name that cannot be a
Windows file name, no main class, jar or module, a main class in none of the jars, a value
the configuration cannot hold, a file that is not an icon or holds an image Windows cannot
load, a version that is not 1 to 4 numbers of 0 to 65535, a launcher that is signed
already, has data appended or is not a 64-bit executable, a key that does not match its
certificate. The image is assembled in a scratch directory beside OUTPUT and moved into
place only when complete; a failed or interrupted run leaves the file system as it was.

An image built before, and tested, can be signed and packaged later:
  corvela-image --image out/Demo --msi Demo.msi [--app-version V --vendor V] [signing]
signs its unsigned exes in place (each replaced only once all are signed and verified)
and writes the installer; version, vendor, product name and description default to the
exe's own version information.

And what an exe carries can be read back:
  corvela-image --show out/Demo/Demo.exe
prints its version information, icon sizes, declared code page and whether it is signed.
"""

import argparse
import os
import signal
import sys

from . import (architecture, configuration, description, identity, image, installed, installer,
               manifest, show, signing, updates)
from .errors import ImageError, UsageError
from .existing import launchers_of, package_existing

# Values of these options usually start with "-" ("-Xmx1g", "--verbose"); take the next word
# as the value whatever it looks like.
VALUE_OPTIONS = ("--java-option", "--arg", "--description", "--copyright", "--vendor",
                 "--product-name", "--display-name")
# The options that describe a new image; an existing one (--image) has all of that already.
ASSEMBLY_OPTIONS = ("name", "launcher", "runtime", "runtime_path", "jar", "module_path",
                    "main_class", "main_jar", "main_module", "java_option", "arg", "splash",
                    "package", "output", "console", "code_page", "icon", "copyright",
                    "class_data", "single_instance", "service", "service_name", "display_name",
                    "service_start", "service_account", "runtime_min_version",
                    "runtime_max_version", "runtime_download_url", "user_model_id",
                    "execution_level", "update_url", "restart_exit_code", "arch")
# With a description file the command line gives only where things go and the signing key.
DESCRIBED_OPTIONS = ("description_file", "output", "msi", "launcher_dir", "sign_cert", "sign_key",
                     "sign_pkcs12", "sign_password_env", "timestamp_url")
# What publishing a built image as an update feed takes (with --image only).
FEED_OPTIONS = ("update_feed", "update_notes")
SIGNING_OPTIONS = ("sign_cert", "sign_key", "sign_pkcs12", "sign_password_env", "timestamp_url")
DEFAULT_LAUNCHER_DIR = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build", "bin")
# Exit codes: a usage error, wherever it is found, as argparse's own; an interrupt, as a
# shell's for SIGINT.
USAGE = 2
INTERRUPTED = 130


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


def parser():
    parser = argparse.ArgumentParser(
        prog="corvela-image", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--name", help="application name: the launcher becomes NAME.exe")
    parser.add_argument("--launcher", help="the launcher executable (build/bin/corvela.exe)")
    parser.add_argument("--runtime", help="runtime directory to copy into the image (holds bin/jli.dll)")
    parser.add_argument("--runtime-path", help="app.runtime value instead of a copied runtime (may use $ROOTDIR)")
    java = parser.add_argument_group(
        "the Java installed on the machine, in place of --runtime (see the README)")
    java.add_argument("--runtime-min-version", metavar="VERSION",
                      help="the oldest Java the application runs on (17: 17.0.0 and later); the "
                           "launcher finds an installed one in JAVA_HOME, the registry or PATH")
    java.add_argument("--runtime-max-version", metavar="VERSION",
                      help="the newest, with its whole family (21: any 21.x)")
    java.add_argument("--runtime-download-url", metavar="URL",
                      help="where users get a Java when none fits, named in the launcher's error")
    parser.add_argument("--jar", action="append", default=[], help="a jar for the class path (repeatable)")
    parser.add_argument("--module-path", action="append", default=[], help="a module path entry, jar or directory (repeatable)")
    parser.add_argument("--main-class", help="main class, e.g. demo.Main")
    parser.add_argument("--main-jar", help="main jar (runs with -jar)")
    parser.add_argument("--main-module", help="main module, e.g. demo/demo.Main")
    parser.add_argument("--java-option", action="append", default=[], help="a JVM option (repeatable)")
    parser.add_argument("--arg", action="append", default=[], help="a default application argument (repeatable)")
    parser.add_argument("--splash", help="splash screen image")
    parser.add_argument("--package", help="package name, written to app/.package: it names the users' "
                        "folders, %%LOCALAPPDATA%%\\PACKAGE and %%APPDATA%%\\PACKAGE (a per-user copy "
                        "of the configuration, NAME.vmoptions, logs; see the README)")
    parser.add_argument("--output", help="the image directory to create (must not exist)")
    parser.add_argument("--arch", choices=architecture.CHOICES,
                        help="the processor the image is for: x64 (default) or arm64; the "
                             "launchers and the runtime's bin/jli.dll must be for it")
    parser.add_argument("--console", action="store_true",
                        help="make NAME.exe the console launcher (%s beside --launcher), for "
                             "command-line tools: the shell waits for it, its streams are the "
                             "shell's, failures go to standard error" % image.CONSOLE_LAUNCHER)
    parser.add_argument("--single-instance", action="store_true",
                        help="one running instance per user and session: a later start hands its "
                             "arguments to it (corvela-instance.jar, beside --launcher, goes on "
                             "the class path)")
    service = parser.add_argument_group("a Windows service (the service launcher, %s beside "
                                        "--launcher)" % image.SERVICE_LAUNCHER)
    service.add_argument("--service", action="store_true",
                         help="make NAME.exe the service launcher: the manager starts it, its "
                              "output goes to log files, a stop runs the shutdown hooks; the "
                              "installer installs the service (--description describes it)")
    service.add_argument("--service-name", help="the service's name (default: --name without blanks)")
    service.add_argument("--display-name", help="the name the Services list shows (default: the product name)")
    service.add_argument("--service-start", choices=image.SERVICE_STARTS,
                         help="auto (default): at boot; delayed: shortly after boot; demand: when asked")
    service.add_argument("--service-account", choices=image.SERVICE_ACCOUNTS,
                         help="the account that runs it (default: LocalService)")
    parser.add_argument("--code-page", choices=manifest.CHOICES, default=manifest.AUTO,
                        help="the code page the exe declares for the JVM arguments: utf-8 for "
                             "Java 19+, 17.0.5+ and 11.0.17+, ansi for older runtimes; auto "
                             "(default) reads JAVA_VERSION from the runtime's release file")
    parser.add_argument("--class-data", choices=configuration.CLASS_DATA_CHOICES,
                        help="auto: the launcher has the runtime keep an archive of the "
                             "application's classes per user and map it on later starts, which "
                             "start faster; off: none. Default: auto when the runtime's release "
                             "file names Java 13 or later, else nothing is written")
    taskbar = parser.add_argument_group("the taskbar and elevation (see the README)")
    taskbar.add_argument("--user-model-id", metavar="ID",
                         help="the AppUserModelID the exe's process and its Start menu shortcut "
                              "carry, so that the taskbar shows them as one application: at most "
                              "%d characters, no blanks; default: VENDOR.PRODUCT.NAME from their "
                              "letters and digits; %s: none" % (identity.MAX_LENGTH, identity.NONE))
    taskbar.add_argument("--execution-level", metavar="LEVEL",
                         help="the elevation the exe's manifest requests: %s (default), %s or %s"
                              % manifest.EXECUTION_LEVELS)
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
    msi.add_argument("--msi-scope", choices=installer.SCOPES,
                     help="user (default): %%LOCALAPPDATA%%\\Programs\\NAME, no elevation; "
                          "machine: Program Files, for all users")
    sign = parser.add_argument_group("signing the exe with osslsigncode, as the last step")
    sign.add_argument("--sign-cert", help="code-signing certificate (chain), PEM")
    sign.add_argument("--sign-key", help="its private key, PEM (encrypted: with --sign-password-env)")
    sign.add_argument("--sign-pkcs12", help="certificate and key in one PKCS#12 file instead")
    sign.add_argument("--sign-password-env", metavar="VAR", help="environment variable holding the pass phrase of the PKCS#12 file or the PEM key (never asked for)")
    sign.add_argument("--timestamp-url", help="RFC 3161 time-stamp server to countersign with")
    described = parser.add_argument_group(
        "an image described by a file (see the README): FILE.toml names every option by its name "
        "without dashes, and [[launcher]], [[association]] and [[protocol]] tables")
    described.add_argument("description_file", nargs="?", metavar="FILE.toml",
                           help="build the image (and installer) FILE.toml describes; --output, "
                                "--msi and signing options given here win over the file's")
    described.add_argument("--launcher-dir", metavar="DIR",
                           help="where corvela.exe, corvela-console.exe and the other launcher "
                                "binaries are (default: %s)" % DEFAULT_LAUNCHER_DIR)
    feed = parser.add_argument_group(
        "updates: an image that updates itself from a signed feed (see README, Updates)")
    feed.add_argument("--restart-exit-code", metavar="N", type=int,
                      help="the exit code with which the application asks to be started again "
                           "(Updates.restartToApply uses it)")
    feed.add_argument("--update-url", metavar="URL",
                      help="assembling: the address the feeds are published at (http or https)")
    feed.add_argument("--update-key", metavar="KEY.pem",
                      help="the ECDSA P-256 private key the feeds are signed with; the image "
                           "gets its public key")
    feed.add_argument("--update-channel", metavar="NAME",
                      help="the channel the image follows, or the feed is for (default: %s)" %
                           updates.DEFAULT_CHANNEL)
    feed.add_argument("--update-feed", metavar="DIR",
                      help="with --image: publish the image as its channel's newest version in DIR")
    feed.add_argument("--update-notes", metavar="FILE",
                      help="with --update-feed: the release notes, UTF-8 text")
    existing = parser.add_argument_group("an image built before")
    existing.add_argument("--image", metavar="DIR",
                          help="sign and package this image instead of building one: give --msi "
                               "or signing options, --name to pick the exe of an image with several")
    existing.add_argument("--show", metavar="EXE",
                          help="print the version information, icon sizes, declared code page and "
                               "signature of an exe, and nothing else")
    return parser


def given(args, dest):
    value = getattr(args, dest)
    return value not in (None, False, []) and not (dest == "code_page" and value == manifest.AUTO)


def check_mode(parser_, args):
    """Refuses options that do not go with the run's mode (--show, --image or a new image)."""
    if args.show:
        others = [d for d in vars(args) if d != "show" and given(args, d)]
        if others:
            parser_.error("--show goes alone, without --%s" % others[0].replace("_", "-"))
    elif args.description_file:
        if args.image:
            parser_.error("%s describes a new image; --image takes one built before: give one "
                          "of them" % args.description_file)
        for dest in vars(args):
            if dest not in DESCRIBED_OPTIONS and given(args, dest):
                parser_.error("--%s is for an image described on the command line; with %s put "
                              "%s in the file" % (dest.replace("_", "-"), args.description_file,
                                                  dest.replace("_", "-")))
    elif any(given(args, dest) for dest in FEED_OPTIONS) and not args.image:
        parser_.error("--update-feed and --update-notes go with --image: build the image first, "
                      "then publish it")
    elif args.launcher_dir:
        parser_.error("--launcher-dir goes with a description file; give --launcher instead")
    elif args.image:
        for dest in ASSEMBLY_OPTIONS:
            if dest != "name" and given(args, dest):
                parser_.error("--%s describes a new image; with --image give only --msi, its "
                              "options, signing options and --name" % dest.replace("_", "-"))
    else:
        missing = ["--" + d for d in ("name", "launcher", "output") if not getattr(args, d)]
        if missing:
            parser_.error("the following arguments are required: %s" % ", ".join(missing))


def run(args, progress):
    """Does what `args` asks for; returns what to print and the notes."""
    if args.show:
        return show.describe(args.show), []
    described = description.load(args.description_file) if args.description_file else None
    if not described:
        return build(args, None, progress)
    described.fill(args, any(given(args, dest) for dest in SIGNING_OPTIONS))
    try:
        return build(args, described, progress)
    except ImageError as e:
        # Said of the file's values in the terms of the command line: the file's own words.
        raise described.explain(e) from None


def build(args, described, progress):
    """Builds what `args` (and the description file `described`, its values in `args`
    already) ask for; returns what to print and the notes."""
    if described:
        args.launcher = described_launcher(args.launcher_dir or architecture.launcher_dir(
            DEFAULT_LAUNCHER_DIR, args.arch or architecture.DEFAULT))
        if not args.output:
            raise UsageError("no output: give output in %s or --output" % args.description_file)
    key = signing.SigningKey.from_options(args.sign_cert, args.sign_key, args.sign_pkcs12,
                                          args.sign_password_env, args.timestamp_url)
    msi_request = installer.MsiRequest(
        path=args.msi, upgrade_code=args.upgrade_code, scope=args.msi_scope,
        **described_registrations(described)) if args.msi else None
    if not msi_request and not described:  # a file describes its installer, built or not this time
        for option, value in (("--upgrade-code", args.upgrade_code), ("--msi-scope", args.msi_scope)):
            if value:
                raise UsageError("%s goes with --msi" % option)
    branding = image.Branding(version=args.app_version, vendor=args.vendor,
                              description=args.description, copyright=args.copyright,
                              product_name=args.product_name, icon=args.icon)
    if args.image and args.update_feed:
        return publish_feed(args, branding, key, msi_request, progress), []
    if args.image:
        return package_existing(args.image, args.name, branding, key, msi_request, progress)
    if described:
        launchers = described.launchers
    else:
        if not args.service:
            for option in ("--service-start", "--service-account"):
                if getattr(args, option[2:].replace("-", "_")):
                    raise UsageError("%s goes with --service" % option)
        launchers = [image.Launcher(name=args.name, main_class=args.main_class,
                                    main_jar=args.main_jar, main_module=args.main_module,
                                    java_options=args.java_option, arguments=args.arg,
                                    splash=args.splash, console=args.console,
                                    class_data=args.class_data,
                                    single_instance=args.single_instance, service=args.service,
                                    service_name=args.service_name,
                                    display_name=args.display_name,
                                    service_start=args.service_start or "auto",
                                    service_account=args.service_account or "LocalService",
                                    user_model_id=args.user_model_id,
                                    execution_level=args.execution_level,
                                    restart_exit_code=args.restart_exit_code)]
    installed_runtime = installed.InstalledRuntime.from_options(
        min_version=args.runtime_min_version, max_version=args.runtime_max_version,
        download_url=args.runtime_download_url)
    update_source = updates.update_source(args.update_url, args.update_key, args.update_channel,
                                          args.package, args.app_version)
    architecture.check(args.arch or architecture.DEFAULT, args.launcher, launchers, args.runtime,
                       image.full_launcher_reason(update_source, installed_runtime))
    request = image.ImageRequest(
        output=args.output, launchers=launchers, launcher_exe=args.launcher, runtime=args.runtime,
        runtime_path=args.runtime_path, jars=args.jar, module_path=args.module_path,
        package=args.package, code_page=args.code_page, branding=branding, signing_key=key,
        msi_request=msi_request, application=args.name, installed_runtime=installed_runtime,
        update_source=update_source)
    result, notes = image.assemble(request, progress)
    return result, notes + unregistered(described, msi_request)


def publish_feed(args, branding, key, msi_request, progress):
    """Writes the feed of the built image `args.image`; nothing else goes with it."""
    if key or msi_request:
        raise UsageError("--update-feed publishes an image as it is: sign it and build its "
                         "installer in a run of their own")
    if not args.update_key:
        raise UsageError("--update-feed needs --update-key, the key the feed is signed with")
    if branding.version:
        raise UsageError("--update-feed publishes the version the image was built with; "
                         "--app-version does not go with it")
    return updates.write_feed(updates.FeedRequest(
        image_dir=args.image, launcher_names=tuple(launchers_of(args.image)),
        feed_dir=args.update_feed, key_path=args.update_key, channel=args.update_channel,
        notes_path=args.update_notes), progress)


def described_launcher(directory):
    """The GUI launcher binary in `directory`, which the other variants are beside."""
    path = os.path.join(directory, "corvela.exe")
    if not os.path.isfile(path):
        raise ImageError("--launcher-dir %s holds no corvela.exe: build the launchers with "
                         "scripts/build, or give the directory that holds them" % directory)
    return path


def described_registrations(described):
    """The file types and links a description file gives its installer, by field."""
    if not described:
        return {}
    return {"associations": described.associations, "protocols": described.protocols}


def unregistered(described, msi_request):
    """A note when the file asks for what only an installer does, and no installer is built."""
    if not described or msi_request:
        return []
    asked = [what for what, wanted in (
        ("file types", described.associations), ("links", described.protocols),
        ("PATH", [l for l in described.launchers if l.path])) if wanted]
    if not asked:
        return []
    listed = ", ".join(asked[:-1]) + " and " + asked[-1] if len(asked) > 1 else asked[0]
    return ["an installer registers the %s %s describes; without msi nothing is registered, "
            "and the image does not record them for an installer built from it later" % (
                listed, described.path)]


def describe_error(error):
    """The message of an ImageError, or of a system error the file it names and why, without
    Python's "[Errno N]"."""
    if isinstance(error, OSError) and error.strerror:
        files = [f for f in (error.filename, error.filename2) if f]
        return "%s: %s" % (" -> ".join(str(f) for f in files), error.strerror) if files else error.strerror
    return str(error)


def interrupted(signum, frame):
    raise KeyboardInterrupt()


def main(argv=None):
    parser_ = parser()
    args = parser_.parse_args(join_option_values(sys.argv[1:] if argv is None else argv))
    check_mode(parser_, args)
    # A run ended from outside undoes its work as Ctrl+C does.
    signal.signal(signal.SIGTERM, interrupted)
    progress = Progress(sys.stderr)
    try:
        result, notes = run(args, progress)
    except (ImageError, OSError) as e:
        progress.done()
        print("corvela-image: error: %s" % describe_error(e), file=sys.stderr)
        return USAGE if isinstance(e, UsageError) else 1
    except KeyboardInterrupt:
        progress.done()
        print("corvela-image: interrupted; nothing is written", file=sys.stderr)
        return INTERRUPTED
    progress.done()
    for note in notes:
        print("corvela-image: note: %s" % note, file=sys.stderr)
    print(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
