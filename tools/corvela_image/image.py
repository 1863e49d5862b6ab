"""Assembles an application image: the launcher under the application's name, made the
application's own (icon, version information, signature), the configuration, the
application's files and the runtime, in a scratch directory moved into place only when
complete."""

import os
import re
import shutil
import tempfile

from . import icon, installer, manifest, pe, signing, versioninfo
from .errors import ImageError, require_file

RESERVED = {"CON", "PRN", "AUX", "NUL"} | {"COM%d" % i for i in range(1, 10)} | {
    "LPT%d" % i for i in range(1, 10)}


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def check_windows_name(name, what):
    if not name:
        raise ImageError("%s is empty" % what)
    if re.search(r'[<>:"/\\|?*\x00-\x1f]', name):
        raise ImageError("%s %r holds a character Windows does not allow in file names" % (what, name))
    if name.endswith((".", " ")):
        raise ImageError("%s %r ends with a dot or a blank" % (what, name))
    if name.split(".")[0].upper() in RESERVED:
        raise ImageError("%s %r is a reserved Windows device name" % (what, name))
    if len(name) > 200:
        raise ImageError("%s %r is too long" % (what, name))


def check_value(value, what):
    # One configuration line per value: a line break would start a new line, and the
    # launcher reads the file as UTF-8.
    if "\n" in value or "\r" in value or "\x1a" in value:
        raise ImageError("%s %r holds a line break or Ctrl-Z, which the configuration cannot hold" % (what, value))
    return value


def app_path(name):
    return "$APPDIR\\" + name


def build_cfg(args, jar_names, module_names, splash_name):
    lines = ["[Application]"]
    if args.main_jar:
        lines.append("app.mainjar=" + app_path(os.path.basename(args.main_jar)))
    for name in jar_names:
        if not args.main_jar or name != os.path.basename(args.main_jar):
            lines.append("app.classpath=" + app_path(name))
    for name in module_names:
        lines.append("app.modulepath=" + app_path(name))
    if args.main_module:
        lines.append("app.mainmodule=" + check_value(args.main_module, "main module"))
    if args.main_class:
        lines.append("app.mainclass=" + check_value(args.main_class, "main class"))
    if splash_name:
        lines.append("app.splash=" + app_path(splash_name))
    if args.runtime_path:
        lines.append("app.runtime=" + check_value(args.runtime_path, "runtime path"))
    if args.single_instance:
        lines.append("app.single-instance=true")
    if args.java_option:
        lines.append("[JavaOptions]")
        lines.extend("java-options=" + check_value(o, "JVM option") for o in args.java_option)
    if args.arg:
        lines.append("[ArgOptions]")
        lines.extend("arguments=" + check_value(a, "argument") for a in args.arg)
    return "\r\n".join(lines) + "\r\n"


class Plan:
    """Everything the image will hold, checked before anything is written."""

    def __init__(self, args):
        check_windows_name(args.name, "application name")
        if not (args.main_class or args.main_jar or args.main_module):
            raise ImageError("no main class, main jar or main module: give --main-class, "
                             "--main-jar or --main-module")
        if args.console:
            args.launcher = console_launcher(args.launcher)
        require_file(args.launcher, "launcher")
        self.args = args
        self.notes = []
        self.package = self._package(args)
        code_page, note = manifest.choose_code_page(args.code_page, args.runtime)
        self.notes.append(note)
        self.launcher = make_exe(args, code_page)
        self.signing_key = signing.SigningKey.from_options(
            args.sign_cert, args.sign_key, args.sign_pkcs12, args.sign_password_env,
            args.timestamp_url)
        if self.signing_key:
            signing.osslsigncode()
        if args.runtime:
            require_file(os.path.join(args.runtime, "bin", "jli.dll"), "runtime launcher library")
        elif not args.runtime_path:
            raise ImageError("no runtime: give --runtime DIR or --runtime-path")
        self.jars = list(args.jar)
        if args.single_instance:
            # The application's side of the instance ships with the launcher.
            instance_jar = os.path.join(os.path.dirname(args.launcher), "corvela-instance.jar")
            require_file(instance_jar, "single-instance library")
            self.jars.append(instance_jar)
        if args.main_jar and args.main_jar not in self.jars:
            self.jars.insert(0, args.main_jar)
        jar_names = []
        for jar in self.jars:
            require_file(jar, "jar")
            name = os.path.basename(jar)
            check_windows_name(name, "jar file name")
            if name in jar_names:
                raise ImageError("two jars named %s" % name)
            jar_names.append(name)
        module_names = []
        for module in args.module_path:
            require_file(module, "module path entry", directory=os.path.isdir(module))
            name = os.path.basename(os.path.normpath(module))
            check_windows_name(name, "module path entry name")
            module_names.append(name)
        splash_name = None
        if args.splash:
            require_file(args.splash, "splash image")
            splash_name = os.path.basename(args.splash)
        if args.package is not None:
            check_windows_name(args.package, "package name")
        self.cfg = build_cfg(args, jar_names, module_names, splash_name)
        self.output = os.path.abspath(args.output)
        if os.path.exists(self.output):
            raise ImageError("%s exists already; give a new directory" % self.output)
        self.msi = os.path.abspath(args.msi) if args.msi else None
        if self.msi and os.path.exists(self.msi):
            raise ImageError("%s exists already; give a new installer file" % self.msi)

    def _package(self, args):
        if not args.msi:
            for option, value in (("--upgrade-code", args.upgrade_code),
                                  ("--msi-scope", args.msi_scope)):
                if value:
                    raise ImageError("%s goes with --msi" % option)
            return None
        version = installer.msi_version(args.app_version)
        if not args.vendor:
            raise ImageError("an installer names its manufacturer: give --vendor")
        code, derived = installer.upgrade_code(args.upgrade_code, args.vendor, args.name)
        if derived:
            self.notes.append("upgrade code %s, derived from vendor and name; every version of "
                              "%s gets the same one (or give --upgrade-code)" % (code, args.name))
        return installer.Package(args.product_name or args.name, args.vendor, version, code,
                                 args.msi_scope or installer.USER, args.description)

    def write(self, scratch, progress):
        """Fills `scratch` with the image, and builds the installer beside the target."""
        args = self.args
        app = os.path.join(scratch, "app")
        os.makedirs(app)
        exe = os.path.join(scratch, args.name + ".exe")
        with open(exe, "wb") as f:
            f.write(self.launcher)
        shutil.copystat(args.launcher, exe)
        for jar in self.jars:
            shutil.copy2(jar, app)
        for module in args.module_path:
            target = os.path.join(app, os.path.basename(os.path.normpath(module)))
            if os.path.isdir(module):
                shutil.copytree(module, target)
            else:
                shutil.copy2(module, target)
        if args.splash:
            shutil.copy2(args.splash, app)
        if args.runtime:
            progress("copying the runtime")
            shutil.copytree(args.runtime, os.path.join(scratch, "runtime"))
        with open(os.path.join(app, args.name + ".cfg"), "w", encoding="utf-8", newline="") as f:
            f.write(self.cfg)
        if args.package is not None:
            with open(os.path.join(app, ".package"), "w", encoding="utf-8", newline="") as f:
                f.write(args.package + "\r\n")
        if self.signing_key:
            # The very last edit of the exe: anything after it would break the signature.
            progress("signing %s" % os.path.basename(exe))
            self.notes.append(signing.sign_file(exe, self.signing_key))
        if self.package:
            progress("building the installer")
            partial = self.msi + ".partial"
            installer.build_msi(scratch, os.path.basename(exe), self.package, partial)
            if self.signing_key:
                progress("signing the installer")
                self.notes.append(signing.sign_file(partial, self.signing_key))
            return partial
        return None


def assemble(args, progress=lambda step: None):
    """Writes the image (and its installer), or raises ImageError and writes nothing.
    Returns the image's path and the notes for the user."""
    plan = Plan(args)
    parent = os.path.dirname(plan.output)
    os.makedirs(parent, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=".corvela-image-", dir=parent)
    partial_msi = None
    try:
        # mkdtemp makes the directory private (0700); the image root must get the mode any
        # directory made here would, or an image archived on Linux is unreadable to others.
        os.chmod(scratch, 0o777 & ~current_umask())
        partial_msi = plan.write(scratch, progress)
        os.rename(scratch, plan.output)
        if partial_msi:
            os.rename(partial_msi, plan.msi)
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        if partial_msi and os.path.exists(partial_msi):
            os.remove(partial_msi)
        raise
    return plan.output, [note for note in plan.notes if note]


CONSOLE_LAUNCHER = "corvela-console.exe"


def console_launcher(launcher):
    """The console launcher built beside `launcher` (or `launcher` itself, when it is one)."""
    if os.path.basename(launcher).lower() == CONSOLE_LAUNCHER:
        return launcher
    path = os.path.join(os.path.dirname(launcher), CONSOLE_LAUNCHER)
    if not os.path.isfile(path):
        raise ImageError("--console needs %s beside the launcher %s" % (CONSOLE_LAUNCHER, launcher))
    return path


def version_strings(args):
    """The StringFileInfo values of the image's exe, from the branding options."""
    product = args.product_name or args.name
    return {
        "CompanyName": args.vendor or "",
        "FileDescription": args.description or product,
        "FileVersion": args.app_version,
        "InternalName": args.name,
        "LegalCopyright": args.copyright or "",
        "OriginalFilename": args.name + ".exe",
        "ProductName": product,
        "ProductVersion": args.app_version,
    }


def make_exe(args, code_page):
    """The bytes of the image's exe: the launcher with the vendor's icon and version
    information in its resources, and its manifest declaring `code_page`. Raises ImageError
    for a launcher or icon that cannot be used, before anything is written."""
    with open(args.launcher, "rb") as f:
        image = pe.PEImage(f.read(), "launcher %s" % args.launcher)
    image.check_rewritable()
    if args.console and image.subsystem() != pe.IMAGE_SUBSYSTEM_WINDOWS_CUI:
        raise ImageError("%s is not a console program, which --console asks for" % args.launcher)
    branded = [args.vendor, args.description, args.copyright, args.product_name]
    if any(value is not None for value in branded) and not args.app_version:
        raise ImageError("version information needs a version: give --app-version")
    for value, what in zip(branded, ("vendor", "description", "copyright", "product name")):
        if value is not None:
            check_value(value, what)
    tree = image.resources()
    code_page_changed = manifest.set_code_page(tree, code_page)
    if not (args.icon or args.app_version or code_page_changed):
        return bytes(image.data)
    if args.icon:
        icon.replace_icon(tree, icon.Icon.read(args.icon))
    if args.app_version:
        version = versioninfo.parse_version(args.app_version)
        versioninfo.replace_version(tree, version, version_strings(args))
    return image.with_resources(tree)
