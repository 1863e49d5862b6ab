"""Assembles an application image: for each launcher its exe under the application's name,
made the application's own (icon, version information, signature), and its configuration;
the application's files and the runtime; all in a scratch directory moved into place only
when complete."""

import os
import re
import shutil

from . import (classes, icon, identity, installer, manifest, pe, registrations, reproducible,
               signing, versioninfo)
from .errors import ImageError, require_file
from .undo import Changes

RESERVED = {"CON", "PRN", "AUX", "NUL"} | {"COM%d" % i for i in range(1, 10)} | {
    "LPT%d" % i for i in range(1, 10)}
CONSOLE_VARIANT = "console"
CONSOLE_LAUNCHER = "corvela-console.exe"
# app.class-data: a per-user class-data archive made and used, or none.
CLASS_DATA_CHOICES = ("auto", "off")
# The application's side of app.single-instance, built beside the launchers.
INSTANCE_JAR = "corvela-instance.jar"
# The application's side of updates, on the class path of an image that has a feed.
UPDATE_JAR = "corvela-update.jar"
SERVICE_VARIANT = "service"
SERVICE_LAUNCHER = "corvela-service.exe"
SERVICE_STARTS = ("auto", "delayed", "demand")
SERVICE_ACCOUNTS = ("LocalService", "LocalSystem", "NetworkService")


class Launcher:
    """One exe of an image and what it starts: NAME.exe with app/NAME.cfg. `icon` and
    `description` brand this exe apart from the image's others; `shortcut` asks the
    installer for a Start menu shortcut (None: the first launcher's alone), `path` puts the
    install directory on PATH; `variant` picks the launcher binary corvela-VARIANT.exe."""

    def __init__(self, name, main_class=None, main_jar=None, main_module=None,
                 java_options=(), arguments=(), splash=None, console=False, icon=None,
                 description=None, shortcut=None, path=False, variant=None, class_data=None,
                 single_instance=False, service=False, service_name=None, display_name=None,
                 service_start="auto", service_account="LocalService", user_model_id=None,
                 execution_level=None, restart_exit_code=None):
        self.name = name
        # The exit code with which the application asks to be started again, or None.
        self.restart_exit_code = restart_exit_code
        self.main_class = main_class
        self.main_jar = main_jar
        self.main_module = main_module
        self.java_options = list(java_options)
        self.arguments = list(arguments)
        self.splash = splash
        self.console = console
        self.icon = icon
        self.description = description
        self.shortcut = shortcut
        self.path = path
        self.variant = variant or (SERVICE_VARIANT if service else
                                   CONSOLE_VARIANT if console else None)
        # "auto", "off", or None to let the runtime's version decide.
        self.class_data = class_data
        # A later start of this exe hands its arguments to the running one.
        self.single_instance = single_instance
        # A Windows service (the service launcher): its name (default: NAME without
        # blanks), the name the Services list shows (default: the product name), how it
        # starts and which account runs it. Its description is the version information's.
        self.service = service or variant == SERVICE_VARIANT
        self.service_name = service_name
        self.display_name = display_name
        self.service_start = service_start
        self.service_account = service_account
        # Its taskbar identity (None: derived from the names; identity.NONE: none) and the
        # elevation its manifest requests (None: the launcher's own, asInvoker).
        self.user_model_id = user_model_id
        self.execution_level = execution_level

    def service_key(self):
        """The service's name, as the manager knows it."""
        return self.service_name or "".join(self.name.split())


class Association:
    """A file type the installer makes open in a launcher: `extensions` without dots."""

    def __init__(self, launcher, extensions, description=None, icon=None, mime_type=None):
        self.launcher = launcher
        self.extensions = list(extensions)
        self.description = description
        self.icon = icon
        self.mime_type = mime_type


class Protocol:
    """A URL scheme whose links the installer makes open in a launcher."""

    def __init__(self, launcher, scheme, description=None):
        self.launcher = launcher
        self.scheme = scheme
        self.description = description


class Branding:
    """The icon and version information the image's exes carry instead of the launcher's."""

    def __init__(self, version=None, vendor=None, description=None, copyright=None,
                 product_name=None, icon=None):
        self.version = version
        self.vendor = vendor
        self.description = description
        self.copyright = copyright
        self.product_name = product_name
        self.icon = icon

    def of(self, launcher, application):
        """The branding of one launcher's exe: its own icon and description where it has them,
        and the product's name (by default the application's, whichever exe it is)."""
        return Branding(self.version, self.vendor, launcher.description or self.description,
                        self.copyright, self.product_name or application, launcher.icon or self.icon)

    def strings(self, name):
        """The StringFileInfo values of the exe NAME.exe."""
        product = self.product_name or name
        return {
            "CompanyName": self.vendor or "",
            "FileDescription": self.description or product,
            "FileVersion": self.version,
            "InternalName": name,
            "LegalCopyright": self.copyright or "",
            "OriginalFilename": name + ".exe",
            "ProductName": product,
            "ProductVersion": self.version,
        }


class Installer:
    """A Windows Installer file of the image to write, at `path`, with the file types
    (Association) and links (Protocol) it registers."""

    def __init__(self, path, upgrade_code=None, scope=None, associations=(), protocols=()):
        self.path = os.path.abspath(path)
        self.upgrade_code = upgrade_code
        # Per user unless asked; an image with a service is installed per machine.
        self.given_scope = scope
        self.scope = scope or installer.USER
        self.associations = list(associations)
        self.protocols = list(protocols)


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


def check_restart_exit_code(code):
    """An exit code Java's System.exit can give, other than 0 (the ordinary end)."""
    if isinstance(code, bool) or not isinstance(code, int) or code == 0 or not -2**31 <= code < 2**31:
        raise ImageError("--restart-exit-code %s is not an exit code from -2147483648 to "
                         "2147483647 other than 0" % code)
    return code


def app_path(name):
    return "$APPDIR\\" + name


def build_cfg(launcher, jar_names, module_names, runtime_path, class_data=None, vendor=None,
              installed_runtime=None, user_model_id=None, update_source=None):
    main_jar = os.path.basename(launcher.main_jar) if launcher.main_jar else None
    lines = ["[Application]"]
    if main_jar:
        lines.append("app.mainjar=" + app_path(main_jar))
    # The instance library the tool adds is on the class path of the launchers that use it.
    lines.extend("app.classpath=" + app_path(name) for name in jar_names
                 if name != main_jar and (name != INSTANCE_JAR or launcher.single_instance))
    lines.extend("app.modulepath=" + app_path(name) for name in module_names)
    if launcher.main_module:
        lines.append("app.mainmodule=" + check_value(launcher.main_module, "--main-module"))
    if launcher.main_class:
        lines.append("app.mainclass=" + check_value(launcher.main_class, "--main-class"))
    if launcher.splash:
        lines.append("app.splash=" + app_path(os.path.basename(launcher.splash)))
    if runtime_path:
        lines.append("app.runtime=" + check_value(runtime_path, "--runtime-path"))
    if installed_runtime:
        lines.extend(installed_runtime.cfg_lines())
    if class_data:
        lines.append("app.class-data=" + class_data)
    if launcher.single_instance:
        lines.append("app.single-instance=true")
    if user_model_id:
        lines.append("app.user-model-id=" + user_model_id)
    if launcher.restart_exit_code is not None:
        lines.append("app.restart-exit-code=%d" % check_restart_exit_code(launcher.restart_exit_code))
    if update_source and not launcher.service:
        lines.extend(update_source.cfg_lines())
    if launcher.service and vendor:
        # The service's logs go under %ProgramData%\VENDOR\NAME\logs.
        lines.append("app.vendor=" + check_value(vendor, "--vendor"))
    if launcher.java_options:
        lines.append("[JavaOptions]")
        lines.extend("java-options=" + check_value(o, "--java-option") for o in launcher.java_options)
    if launcher.arguments:
        lines.append("[ArgOptions]")
        lines.extend("arguments=" + check_value(a, "--arg") for a in launcher.arguments)
    return "\r\n".join(lines) + "\r\n"


def class_data_setting(requested, runtime_dir):
    """The app.class-data value to write, or None: as requested, else auto for a copied
    runtime whose release file names Java 13 or later (earlier ones cannot write the archive)."""
    if requested or not runtime_dir:
        return requested
    try:
        with open(os.path.join(runtime_dir, "release"), encoding="utf-8", errors="replace") as f:
            version = manifest.java_version(f.read())
    except OSError:
        return None
    return "auto" if version and version[0] >= 13 else None


def class_data_notes(runtime_dir):
    """Notes naming what a runtime lacks for the class-data archive app.class-data=auto asks
    for: the launcher then starts without one, saying so only in its trace."""
    if not runtime_dir:
        return []
    notes = []
    release = os.path.join(runtime_dir, "release")
    base = os.path.join(runtime_dir, "bin", "server", "classes.jsa")
    if not os.path.isfile(release):
        notes.append("class-data auto: the runtime %s has no release file, which names its "
                     "version; the launcher makes no class-data archive without it" % runtime_dir)
    if not os.path.isfile(base):
        notes.append("class-data auto: the runtime %s has no base archive bin/server/classes.jsa "
                     "(java -Xshare:dump makes it); the launcher makes no class-data archive "
                     "without it" % runtime_dir)
    return notes


def launcher_binary(launcher_exe, launcher):
    """The launcher binary a launcher's exe is made of: `launcher_exe` itself, or the variant
    it asks for (corvela-console.exe...) beside it."""
    if not launcher.variant:
        return launcher_exe
    wanted = "corvela-%s.exe" % launcher.variant
    if os.path.basename(launcher_exe).lower() == wanted:
        return launcher_exe
    path = os.path.join(os.path.dirname(launcher_exe), wanted)
    if not os.path.isfile(path):
        asked = {CONSOLE_VARIANT: "--console", SERVICE_VARIANT: "--service"}.get(
            launcher.variant, "launcher %s" % launcher.name)
        raise ImageError("%s needs %s beside the launcher %s" % (asked, wanted, launcher_exe))
    return path


def check_service(launcher):
    if not launcher.service:
        for value, option in ((launcher.service_name, "--service-name"),
                              (launcher.display_name, "--display-name")):
            if value is not None:
                raise ImageError("%s goes with --service" % option)
        return
    if launcher.console:
        raise ImageError("--service and --console exclude each other")
    key = launcher.service_key()
    if not key or len(key) > 256 or any(c in key for c in "/\\") or any(c.isspace() for c in key):
        raise ImageError("--service-name %r: a service name has no blanks, / or \\, and at most "
                         "256 characters" % key)
    if launcher.service_start not in SERVICE_STARTS:
        raise ImageError("--service-start %s: one of %s" % (launcher.service_start, ", ".join(SERVICE_STARTS)))
    if launcher.service_account not in SERVICE_ACCOUNTS:
        raise ImageError("--service-account %s: one of %s" % (launcher.service_account, ", ".join(SERVICE_ACCOUNTS)))
    if launcher.display_name is not None:
        check_value(launcher.display_name, "--display-name")


def check_taskbar(launcher):
    """The launcher's own taskbar identity and execution level, when it gives them."""
    if launcher.user_model_id not in (None, identity.NONE):
        identity.check(launcher.user_model_id, "--user-model-id")
    if launcher.execution_level is not None and launcher.execution_level not in manifest.EXECUTION_LEVELS:
        raise ImageError("--execution-level %s: one of %s" % (
            launcher.execution_level, ", ".join(manifest.EXECUTION_LEVELS)))


def check_branding(branding, launchers=()):
    named = ((branding.vendor, "--vendor"), (branding.description, "--description"),
             (branding.copyright, "--copyright"), (branding.product_name, "--product-name"))
    named += tuple((launcher.description, "the description of launcher %s" % launcher.name)
                   for launcher in launchers)
    if any(value is not None for value, _ in named) and not branding.version:
        raise ImageError("version information needs a version: give --app-version")
    for value, what in named:
        if value is not None:
            check_value(value, what)
    if branding.version:
        versioninfo.parse_version(branding.version)


# What the launcher loads before the runtime when it shows a splash screen.
SPLASH_LIBRARIES = (("bin", "server", "jvm.dll"), ("bin", "splashscreen.dll"))


def check_splash_libraries(runtime):
    """A runtime trimmed without the desktop module has no splash screen library, and every
    start of a launcher with a splash would fail: found at build time instead."""
    missing = ["/".join(parts) for parts in SPLASH_LIBRARIES
               if not os.path.isfile(os.path.join(runtime, *parts))]
    if missing:
        raise ImageError("--runtime %s lacks %s, which a launcher with --splash loads: give a "
                         "runtime with the java.desktop module, or leave out --splash" %
                         (runtime, " and ".join(missing)))


def make_exe(source, launcher, branding, code_page, icon_file):
    """The bytes of a launcher's exe: `source` with the vendor's icon and version
    information in its resources, and its manifest declaring `code_page`. Raises ImageError
    for a launcher that cannot be used, before anything is written."""
    with open(source, "rb") as f:
        image = pe.PEImage(f.read(), "--launcher %s" % source)
    image.check_rewritable()
    if launcher.console and image.subsystem() != pe.IMAGE_SUBSYSTEM_WINDOWS_CUI:
        raise ImageError("%s is not a console program, which --console asks for" % source)
    if launcher.service and image.subsystem() != pe.IMAGE_SUBSYSTEM_WINDOWS_CUI:
        raise ImageError("%s is not the service launcher, which --service asks for" % source)
    tree = image.resources()
    manifest_changed = manifest.set_code_page(tree, code_page)
    if launcher.execution_level:
        manifest_changed |= manifest.set_execution_level(tree, launcher.execution_level)
    if not (icon_file or branding.version or manifest_changed):
        return bytes(image.data)
    if icon_file:
        icon.replace_icon(tree, icon_file)
    if branding.version:
        versioninfo.replace_version(tree, versioninfo.parse_version(branding.version),
                                    branding.strings(launcher.name))
    return image.with_resources(tree)


class Plan:
    """Everything the image will hold, checked before anything is written."""

    def __init__(self, output, launchers, launcher_exe, runtime, runtime_path, jars, module_path,
                 package, code_page, branding, signing_key, msi, application=None,
                 installed_runtime=None, update_source=None):
        self.output = os.path.abspath(output)
        self.installed_runtime = installed_runtime
        self.update_source = update_source
        self.application = application or launchers[0].name
        self.launchers = launchers
        self.runtime = runtime
        self.package = package
        self.branding = branding
        self.signing_key = signing_key
        self.module_path = list(module_path)
        self.notes = []
        self._check_launchers(launchers)
        self.installer = msi
        self.msi = installer_plan(msi, branding, self.application, self.notes,
                                  [l for l in launchers if l.service])
        self.service_stop = service_stop_helper(self.msi, launcher_exe, launchers)
        self._check_runtime(runtime, runtime_path)
        self.jars = self._jars(launchers, jars, launcher_exe)
        module_names = self._module_names(module_path)
        if self.msi:
            self._check_installer_names(jars)
        if package is not None:
            check_windows_name(package, "--package")
        check_branding(branding, launchers)
        self.icons = self._icons([branding.icon] + [launcher.icon for launcher in launchers] +
                                 [association.icon for association in self.msi_associations()])
        if installed_runtime and code_page == manifest.AUTO:
            code_page, note = installed_runtime.code_page(), None
        else:
            code_page, note = manifest.choose_code_page(code_page, runtime)
        self.notes.append(note)
        self._make_launchers(launcher_exe, code_page, runtime_path, module_names)
        if os.path.lexists(self.output):
            raise ImageError("--output %s exists already; give a new directory" % self.output)
        check_installer_target(msi, self.output)
        if signing_key:
            first = launchers[0].name
            signing.check_key(signing_key, self.exes[first][0], first + ".exe")

    def _make_launchers(self, launcher_exe, code_page, runtime_path, module_names):
        """Each launcher's exe bytes (with the file they come from) and configuration."""
        jar_names = [os.path.basename(jar) for jar in self.jars]
        self.exes = {}
        self.cfgs = {}
        for launcher in self.launchers:
            require_file(launcher_exe, "--launcher")
            source = launcher_binary(launcher_exe, launcher)
            branding = self.branding.of(launcher, self.application)
            exe = make_exe(source, launcher, branding, code_page, self.icons.get(branding.icon))
            self.exes[launcher.name] = (source, exe)
            class_data = class_data_setting(launcher.class_data, self.runtime)
            if self.installed_runtime and not launcher.class_data:
                class_data = self.installed_runtime.class_data()
            if class_data == "auto" and launcher.name == self.launchers[0].name:
                self.notes.extend(class_data_notes(self.runtime))
            self.cfgs[launcher.name] = build_cfg(launcher, jar_names, module_names, runtime_path,
                                                 class_data, self.branding.vendor,
                                                 self.installed_runtime,
                                                 self._user_model_id(launcher),
                                                 self.update_source)
            self.notes.append(classes.check_main_class(launcher, self.jars, self.module_path))
        if any(launcher.single_instance for launcher in self.launchers):
            self.notes.append(classes.check_single_instance_use(self.jars, self.module_path,
                                                                INSTANCE_JAR))

    def _user_model_id(self, launcher):
        if launcher.service:
            return None  # no taskbar button: its windows, if any, are on no user's desktop
        return identity.of_launcher(launcher.user_model_id, self.branding.vendor,
                                    self.branding.product_name or self.application, launcher.name)

    @staticmethod
    def _icons(paths):
        """Each icon file given, read, by its path."""
        icons = {}
        for path in paths:
            if path and path not in icons:
                require_file(path, "--icon")
                icons[path] = icon.Icon.read(path, "--icon %s" % path)
        return icons

    def _check_launchers(self, launchers):
        names = set()
        for launcher in launchers:
            check_windows_name(launcher.name, "--name")
            if launcher.name.lower() in names:
                raise ImageError("two launchers named %s" % launcher.name)
            names.add(launcher.name.lower())
            check_service(launcher)
            check_taskbar(launcher)
            if not (launcher.main_class or launcher.main_jar or launcher.main_module):
                raise ImageError("no main class, main jar or main module: give --main-class, "
                                 "--main-jar or --main-module")
            if launcher.splash:
                require_file(launcher.splash, "--splash")

    def _check_runtime(self, runtime, runtime_path):
        if self.installed_runtime and (runtime or runtime_path):
            raise ImageError("%s gives the image a runtime of its own; --runtime-min-version and "
                             "the other --runtime-... options are for an image that runs on the "
                             "Java installed on the machine: give one or the other" %
                             ("--runtime" if runtime else "--runtime-path"))
        if self.installed_runtime:
            return
        if runtime:
            require_file(runtime, "--runtime", directory=True)
            if not os.path.isfile(os.path.join(runtime, "bin", "jli.dll")):
                raise ImageError("--runtime %s holds no bin/jli.dll: give the directory of a Java "
                                 "runtime for Windows" % runtime)
            if any(launcher.splash for launcher in self.launchers):
                check_splash_libraries(runtime)
        elif not runtime_path:
            raise ImageError("no runtime: give --runtime DIR, --runtime-path, or "
                             "--runtime-min-version for the Java installed on the machine")

    def _jars(self, launchers, jars, launcher_exe):
        paths = [launcher.main_jar for launcher in launchers if launcher.main_jar]
        paths += [jar for jar in jars if jar not in paths]
        if any(launcher.single_instance for launcher in launchers):
            # The application's side of the instance ships with the launchers.
            instance_jar = os.path.join(os.path.dirname(launcher_exe), INSTANCE_JAR)
            require_file(instance_jar, "--single-instance library")
            paths.append(instance_jar)
        if self.update_source:
            update_jar = os.path.join(os.path.dirname(launcher_exe), UPDATE_JAR)
            require_file(update_jar, "--update-url library")
            paths.append(update_jar)
        names = []
        for jar in paths:
            require_file(jar, "--main-jar" if jar not in jars else "--jar")
            name = os.path.basename(jar)
            check_windows_name(name, "jar file name")
            if name in names:
                raise ImageError("two jars named %s" % name)
            names.append(name)
        return paths

    def _check_installer_names(self, jars):
        """Every name the installer will hold must fit its code page: found before any work."""
        sources = [("--name", launcher.name + ".exe") for launcher in self.launchers]
        sources += [("--jar" if jar in jars else "--main-jar", jar) for jar in self.jars]
        sources += [("--module-path", module) for module in self.module_path]
        sources += [("--splash", launcher.splash) for launcher in self.launchers
                    if launcher.splash]
        installer.check_image_names(self.msi, sources, self.runtime)

    def _module_names(self, module_path):
        names = []
        for module in module_path:
            require_file(module, "--module-path", directory=os.path.isdir(module))
            name = os.path.basename(os.path.normpath(module))
            check_windows_name(name, "--module-path entry name")
            names.append(name)
        return names

    def write(self, scratch, progress):
        """Fills `scratch` with the image. What the tool writes itself carries one time
        derived from the inputs, so that the same inputs give the same image."""
        app = os.path.join(scratch, "app")
        os.makedirs(app)
        written = []
        for name, (source, data) in self.exes.items():
            written.append(os.path.join(scratch, name + ".exe"))
            with open(written[-1], "wb") as f:
                f.write(data)
            shutil.copymode(source, written[-1])
        self._copy_application(scratch, app, progress)
        for name, cfg in self.cfgs.items():
            written.append(os.path.join(app, name + ".cfg"))
            with open(written[-1], "w", encoding="utf-8", newline="") as f:
                f.write(cfg)
        if self.package is not None:
            written.append(os.path.join(app, ".package"))
            with open(written[-1], "w", encoding="utf-8", newline="") as f:
                f.write(self.package + "\r\n")
        reproducible.stamp(written, reproducible.build_time(self.inputs()))
        if self.signing_key:
            # The very last edit of each exe: anything after it would break the signature.
            for name in self.exes:
                progress("signing %s.exe" % name)
                self.notes.append(signing.sign_file(os.path.join(scratch, name + ".exe"), self.signing_key))

    def _copy_application(self, scratch, app, progress):
        for jar in self.jars:
            shutil.copy2(jar, app)
        for module in self.module_path:
            target = os.path.join(app, os.path.basename(os.path.normpath(module)))
            if os.path.isdir(module):
                shutil.copytree(module, target)
            else:
                shutil.copy2(module, target)
        for launcher in self.launchers:
            if launcher.splash:
                shutil.copy2(launcher.splash, app)
        for association in self.msi_associations():
            if association.icon:
                target = os.path.join(scratch, *registrations.icon_file(association).split("\\"))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(association.icon, target)
        if self.runtime:
            progress("copying the runtime")
            shutil.copytree(self.runtime, os.path.join(scratch, "runtime"))

    def msi_associations(self):
        return self.installer.associations if self.installer else []

    def inputs(self):
        """The files the tool's own files are made from."""
        return ([source for source, _ in self.exes.values()] + list(self.icons) + self.jars +
                [launcher.splash for launcher in self.launchers if launcher.splash])


def installer_plan(msi, branding, name, notes, services=()):
    """The installer's Package for `msi` (an Installer, or None), checked; notes gets the
    derived upgrade code. `services` are the launchers the installer installs as services."""
    if not msi:
        return None
    installer.wixl()
    version = installer.msi_version(branding.version)
    if not branding.vendor:
        raise ImageError("an installer names its manufacturer: give --vendor")
    code, derived = installer.upgrade_code(msi.upgrade_code, branding.vendor, name)
    if derived:
        notes.append("upgrade code %s, derived from vendor and name; every version of "
                     "%s gets the same one (or give --upgrade-code)" % (code, name))
    scope = msi.scope
    if services:
        if msi.given_scope == installer.USER:
            raise ImageError("a service is installed for the whole machine: give --msi-scope "
                             "machine, or leave it out")
        scope = installer.MACHINE
    product = branding.product_name or name
    package = installer.Package(product, branding.vendor, version, code, scope,
                                branding.description,
                                [installer.Service(l.name + ".exe", l.service_key(),
                                                   l.display_name or product,
                                                   l.description or branding.description
                                                   or product,
                                                   l.service_start, l.service_account)
                                 for l in services])
    package.names += [("the description", "a file type of %s" % entry.launcher, entry.description)
                      for entry in msi.associations + msi.protocols if entry.description]
    installer.choose_code_page(package.names)
    return package


def service_stop_helper(package, launcher_exe, launchers):
    """The program an installer of services runs before it touches their files, beside the
    service launcher; None for an installer without services, or no installer."""
    services = [launcher for launcher in launchers if launcher.service]
    if not package or not services:
        return None
    service_launcher = launcher_binary(launcher_exe, services[0])
    path = os.path.join(os.path.dirname(service_launcher), installer.SERVICE_STOP_HELPER)
    if not os.path.isfile(path):
        raise ImageError("an installer of a service needs %s beside the service launcher %s "
                         "(scripts/build makes both)" % (installer.SERVICE_STOP_HELPER,
                                                         service_launcher))
    return path


def check_installer_target(msi, image_dir):
    """Raises ImageError unless the installer `msi` (an Installer, or None) of the image
    in `image_dir` can be written."""
    if not msi:
        return
    if os.path.lexists(msi.path):
        raise ImageError("--msi %s exists already; give a new installer file" % msi.path)
    if msi.path.startswith(image_dir.rstrip(os.sep) + os.sep):
        raise ImageError("--msi %s lies inside the image %s, which it packages; put the "
                         "installer elsewhere" % (msi.path, image_dir))
    if os.path.isdir(msi.path):
        raise ImageError("--msi %s is a directory; give a file name" % msi.path)


def desktop_of(launchers, msi, product_name):
    """What the installer of the image's `launchers` registers: a shortcut for each launcher
    that asks for one (the first named after the product, as an image of one launcher always
    had), the file types and links of `msi`, and PATH for a launcher that wants it there."""
    if all(launcher.shortcut is None for launcher in launchers):
        # A service is the manager's to start: from the Start menu it would run in a console.
        wanted = [launcher for launcher in launchers[:1] if not launcher.service]
    else:
        wanted = [launcher for launcher in launchers if launcher.shortcut]
    shortcuts = [(launcher.name + ".exe", product_name if i == 0 else launcher.name)
                 for i, launcher in enumerate(wanted)]
    return installer.Desktop(shortcuts, msi.associations, msi.protocols,
                             any(launcher.path for launcher in launchers))


def build_installer(changes, plan_msi, msi, image_dir, exe_name, signing_key, notes, progress,
                    desktop=None, service_stop=None):
    """Builds the installer of `image_dir` in a scratch directory beside its target, signs
    it, and moves it into place."""
    scratch = changes.scratch_dir(os.path.dirname(msi.path))
    built = os.path.join(scratch, os.path.basename(msi.path))
    progress("building the installer")

    def sign(path):
        progress("signing the installer")
        notes.append(signing.sign_file(path, signing_key, os.path.basename(msi.path)))
    installer.build_msi(image_dir, exe_name, plan_msi, built, sign if signing_key else None,
                        desktop, service_stop)
    changes.move_into_place(built, msi.path)


def assemble(output, launchers, launcher_exe, runtime=None, runtime_path=None, jars=(),
             module_path=(), package=None, code_page=manifest.AUTO, branding=None,
             signing_key=None, msi=None, progress=lambda step: None, application=None,
             installed_runtime=None, update_source=None):
    """Writes the image of `launchers` (a list of Launcher) to the new directory `output`,
    and its installer when `msi` (an Installer) is given; or raises ImageError (or is
    interrupted) and leaves the file system as it was. `application` names the product
    (default: the first launcher's name). With `installed_runtime` (an
    installed.InstalledRuntime) the image carries no runtime and runs on the Java installed on
    the machine. Returns the image's path and the notes for the
    user."""
    plan = Plan(output, launchers, launcher_exe, runtime, runtime_path, jars, module_path,
                package, code_page, branding or Branding(), signing_key, msi, application,
                installed_runtime, update_source)
    with Changes() as changes:
        scratch = changes.scratch_dir(os.path.dirname(plan.output))
        # mkdtemp makes the directory private (0700); the image root must get the mode any
        # directory made here would, or an image archived on Linux is unreadable to others.
        os.chmod(scratch, 0o777 & ~current_umask())
        plan.write(scratch, progress)
        changes.move_into_place(scratch, plan.output)
        if plan.msi:
            build_installer(changes, plan.msi, msi, plan.output, launchers[0].name + ".exe",
                            signing_key, plan.notes, progress,
                            desktop_of(launchers, msi, plan.msi.name), plan.service_stop)
    return plan.output, [note for note in plan.notes if note]
