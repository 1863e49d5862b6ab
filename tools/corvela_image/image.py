"""Assembles an application image: for each launcher its exe under the application's name,
made the application's own (icon, version information, signature), and its configuration;
the application's files and the runtime; all in a scratch directory moved into place only
when complete."""

import functools
import os
import re
import shutil
from dataclasses import dataclass, replace

from . import (classes, configuration, icon, identity, installer, manifest, pe, registrations,
               reproducible, signing, versioninfo)
from .configuration import INSTANCE_JAR, check_value
from .errors import ImageError, UsageError, require_file
from .undo import Changes

RESERVED = {"CON", "PRN", "AUX", "NUL"} | {"COM%d" % i for i in range(1, 10)} | {
    "LPT%d" % i for i in range(1, 10)}
CONSOLE_VARIANT = "console"
CONSOLE_LAUNCHER = "corvela-console.exe"
# The application's side of updates, on the class path of an image that has a feed.
UPDATE_JAR = "corvela-update.jar"
SERVICE_VARIANT = "service"
SERVICE_LAUNCHER = "corvela-service.exe"
# The GUI and console launchers come twice: plain, and "-full" with the rooms only some
# images use (staged updates, the search for an installed Java), which the plain ones leave
# out to stay small. The service launcher has them all.
FULL_SUFFIX = "-full"
SPLIT_VARIANTS = (None, CONSOLE_VARIANT)
SERVICE_STARTS = ("auto", "delayed", "demand")
SERVICE_ACCOUNTS = ("LocalService", "LocalSystem", "NetworkService")


@dataclass(frozen=True, kw_only=True)
class Launcher:
    """One exe of an image and what it starts: NAME.exe with app/NAME.cfg. `icon` and
    `description` brand this exe apart from the image's others; `shortcut` asks the
    installer for a Start menu shortcut (None: the first launcher's alone), `path` puts the
    install directory on PATH; `variant` picks the launcher binary corvela-VARIANT.exe (by
    default the service launcher for `service`, the console launcher for `console`)."""
    name: str
    main_class: str | None = None
    main_jar: str | None = None
    main_module: str | None = None
    java_options: tuple = ()
    arguments: tuple = ()
    splash: str | None = None
    console: bool = False
    icon: str | None = None
    description: str | None = None
    shortcut: bool | None = None
    path: bool = False
    variant: str | None = None
    # "auto", "off", or None to let the runtime's version decide.
    class_data: str | None = None
    # A later start of this exe hands its arguments to the running one.
    single_instance: bool = False
    # A Windows service (the service launcher): its name (default: NAME without blanks), the
    # name the Services list shows (default: the product name), how it starts and which
    # account runs it. Its description is the version information's.
    service: bool = False
    service_name: str | None = None
    display_name: str | None = None
    service_start: str = "auto"
    service_account: str = "LocalService"
    # Its taskbar identity (None: derived from the names; identity.NONE: none) and the
    # elevation its manifest requests (None: the launcher's own, asInvoker).
    user_model_id: str | None = None
    execution_level: str | None = None
    # The exit code with which the application asks to be started again, or None.
    restart_exit_code: int | None = None

    def __post_init__(self):
        # Frozen: the derived fields are set once, here.
        set_field = functools.partial(object.__setattr__, self)
        set_field("java_options", tuple(self.java_options))
        set_field("arguments", tuple(self.arguments))
        set_field("service", self.service or self.variant == SERVICE_VARIANT)
        set_field("variant", self.variant or (SERVICE_VARIANT if self.service else
                                              CONSOLE_VARIANT if self.console else None))

    def service_key(self):
        """The service's name, as the manager knows it."""
        return self.service_name or "".join(self.name.split())


@dataclass(frozen=True, kw_only=True)
class Association:
    """A file type the installer makes open in a launcher: `extensions` without dots."""
    launcher: str
    extensions: tuple
    description: str | None = None
    icon: str | None = None
    mime_type: str | None = None

    def __post_init__(self):
        object.__setattr__(self, "extensions", tuple(self.extensions))


@dataclass(frozen=True, kw_only=True)
class Protocol:
    """A URL scheme whose links the installer makes open in a launcher."""
    launcher: str
    scheme: str
    description: str | None = None


@dataclass(frozen=True, kw_only=True)
class Branding:
    """The icon and version information the image's exes carry instead of the launcher's."""
    version: str | None = None
    vendor: str | None = None
    description: str | None = None
    copyright: str | None = None
    product_name: str | None = None
    icon: str | None = None

    def of(self, launcher, application):
        """The branding of one launcher's exe: its own icon and description where it has them,
        and the product's name (by default the application's, whichever exe it is)."""
        return replace(self, description=launcher.description or self.description,
                                   product_name=self.product_name or application,
                                   icon=launcher.icon or self.icon)

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


@dataclass(frozen=True, kw_only=True)
class ImageRequest:
    """An image to write to the new directory `output`: its `launchers` (Launcher) made of
    the launcher binary `launcher_exe` (and its variants beside it), the application's
    `jars` and `module_path`, the runtime copied from `runtime`, named by `runtime_path`, or
    found on the machine (`installed_runtime`, an installed.InstalledRuntime); the exes
    branded with `branding` and signed with `signing_key`; its installer when `msi_request` (an
    installer.MsiRequest) is given. `application` names the product (default: the first
    launcher's name)."""
    output: str
    launchers: tuple
    launcher_exe: str
    runtime: str | None = None
    runtime_path: str | None = None
    jars: tuple = ()
    module_path: tuple = ()
    package: str | None = None
    code_page: str = manifest.AUTO
    branding: Branding = Branding()
    signing_key: object = None
    msi_request: object = None
    application: str | None = None
    installed_runtime: object = None
    update_source: object = None

    def __post_init__(self):
        for name in ("launchers", "jars", "module_path"):
            object.__setattr__(self, name, tuple(getattr(self, name)))


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


def full_launcher_reason(update_source, installed_runtime):
    """What the image uses that only the full launchers have, as its users asked for it; None
    when the plain launchers serve."""
    if update_source:
        return "updates (--update-url)"
    if installed_runtime:
        return "the Java installed on the machine (--runtime-min-version)"
    return None


def launcher_binary(launcher_exe, launcher, full_for=None):
    """The launcher binary a launcher's exe is made of: `launcher_exe` itself, or the variant
    it asks for (corvela-console.exe...) beside it; with `full_for` (what the image uses that
    needs it), the full one of that variant (corvela-full.exe, corvela-console-full.exe)."""
    full = full_for is not None and launcher.variant in SPLIT_VARIANTS
    if not launcher.variant and not full:
        return launcher_exe
    wanted = "corvela%s%s.exe" % ("-" + launcher.variant if launcher.variant else "",
                                  FULL_SUFFIX if full else "")
    if os.path.basename(launcher_exe).lower() == wanted:
        return launcher_exe
    path = os.path.join(os.path.dirname(launcher_exe), wanted)
    if not os.path.isfile(path):
        asked = full_for if full else {
            CONSOLE_VARIANT: "--console", SERVICE_VARIANT: "--service"}.get(
                launcher.variant, "launcher %s" % launcher.name)
        raise ImageError("%s needs %s beside the launcher %s" % (asked, wanted, launcher_exe))
    return path


def check_service(launcher):
    if not launcher.service:
        for value, option in ((launcher.service_name, "--service-name"),
                              (launcher.display_name, "--display-name")):
            if value is not None:
                raise UsageError("%s goes with --service" % option)
        return
    if launcher.console:
        raise UsageError("--service and --console exclude each other")
    key = launcher.service_key()
    if not key or len(key) > 256 or any(c in key for c in "/\\") or any(c.isspace() for c in key):
        raise ImageError("--service-name %r: a service name has no blanks, / or \\, and at most "
                         "256 characters" % key)
    if launcher.service_start not in SERVICE_STARTS:
        raise UsageError("--service-start %s: one of %s" % (launcher.service_start, ", ".join(SERVICE_STARTS)))
    if launcher.service_account not in SERVICE_ACCOUNTS:
        raise UsageError("--service-account %s: one of %s" % (launcher.service_account, ", ".join(SERVICE_ACCOUNTS)))
    if launcher.display_name is not None:
        check_value(launcher.display_name, "--display-name")


def check_taskbar(launcher):
    """The launcher's own taskbar identity and execution level, when it gives them."""
    if launcher.user_model_id not in (None, identity.NONE):
        identity.check(launcher.user_model_id, "--user-model-id")
    if launcher.execution_level is not None and launcher.execution_level not in manifest.EXECUTION_LEVELS:
        raise UsageError("--execution-level %s: one of %s" % (
            launcher.execution_level, ", ".join(manifest.EXECUTION_LEVELS)))


def check_branding(branding, launchers=()):
    named = ((branding.vendor, "--vendor"), (branding.description, "--description"),
             (branding.copyright, "--copyright"), (branding.product_name, "--product-name"))
    named += tuple((launcher.description, "the description of launcher %s" % launcher.name)
                   for launcher in launchers)
    if any(value is not None for value, _ in named) and not branding.version:
        raise UsageError("version information needs a version: give --app-version")
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

    def __init__(self, request):
        self.output = os.path.abspath(request.output)
        self.installed_runtime = request.installed_runtime
        self.update_source = request.update_source
        self.application = request.application or request.launchers[0].name
        self.launchers = request.launchers
        self.full_for = full_launcher_reason(self.update_source, self.installed_runtime)
        self.runtime = request.runtime
        self.package = request.package
        self.branding = request.branding
        self.signing_key = request.signing_key
        self.module_path = list(request.module_path)
        self.notes = []
        self._check_launchers(self.launchers)
        self.msi_request = request.msi_request
        self.msi_package = installer.plan_package(
            self.msi_request, self.branding, self.application, self.notes,
            [launcher for launcher in self.launchers if launcher.service])
        self.service_stop = service_stop_helper(self.msi_package, request.launcher_exe,
                                                self.launchers)
        self._check_runtime(self.runtime, request.runtime_path)
        self.jars = self._jars(self.launchers, request.jars, request.launcher_exe)
        module_names = self._module_names(self.module_path)
        if self.msi_package:
            self._check_installer_names(request.jars)
        if self.package is not None:
            check_windows_name(self.package, "--package")
        check_branding(self.branding, self.launchers)
        self.icons = self._icons([self.branding.icon] + [launcher.icon for launcher in self.launchers] +
                                 [association.icon for association in self.msi_associations()])
        if self.installed_runtime and request.code_page == manifest.AUTO:
            code_page, note = self.installed_runtime.code_page(), None
        else:
            code_page, note = manifest.choose_code_page(request.code_page, self.runtime)
        self.notes.append(note)
        self._make_launchers(request.launcher_exe, code_page, request.runtime_path, module_names)
        if os.path.lexists(self.output):
            raise ImageError("--output %s exists already; give a new directory" % self.output)
        installer.check_target(self.msi_request, self.output)
        if self.signing_key:
            first = self.launchers[0].name
            signing.check_key(self.signing_key, self.exes[first][0], first + ".exe")

    def _make_launchers(self, launcher_exe, code_page, runtime_path, module_names):
        """Each launcher's exe bytes (with the file they come from) and configuration."""
        jar_names = [os.path.basename(jar) for jar in self.jars]
        self.exes = {}
        self.cfgs = {}
        for launcher in self.launchers:
            require_file(launcher_exe, "--launcher")
            source = launcher_binary(launcher_exe, launcher, self.full_for)
            branding = self.branding.of(launcher, self.application)
            exe = make_exe(source, launcher, branding, code_page, self.icons.get(branding.icon))
            self.exes[launcher.name] = (source, exe)
            class_data = configuration.class_data_setting(launcher.class_data, self.runtime)
            if self.installed_runtime and not launcher.class_data:
                class_data = self.installed_runtime.class_data()
            if class_data == "auto" and launcher.name == self.launchers[0].name:
                self.notes.extend(configuration.class_data_notes(self.runtime))
            self.cfgs[launcher.name] = configuration.build_cfg(launcher, configuration.Settings(
                jar_names=tuple(jar_names), module_names=tuple(module_names),
                runtime_path=runtime_path, installed_runtime=self.installed_runtime,
                class_data=class_data, user_model_id=self._user_model_id(launcher),
                vendor=self.branding.vendor, update_source=self.update_source))
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
                raise UsageError("no main class, main jar or main module: give --main-class, "
                                 "--main-jar or --main-module")
            if launcher.splash:
                require_file(launcher.splash, "--splash")

    def _check_runtime(self, runtime, runtime_path):
        if self.installed_runtime and (runtime or runtime_path):
            raise UsageError("%s gives the image a runtime of its own; --runtime-min-version and "
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
            raise UsageError("no runtime: give --runtime DIR, --runtime-path, or "
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
        installer.check_image_names(self.msi_package, sources, self.runtime)

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
        return self.msi_request.associations if self.msi_request else ()

    def inputs(self):
        """The files the tool's own files are made from."""
        return ([source for source, _ in self.exes.values()] + list(self.icons) + self.jars +
                [launcher.splash for launcher in self.launchers if launcher.splash])


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


def assemble(request, progress=lambda step: None):
    """Writes the image `request` (an ImageRequest) asks for, and its installer when it asks
    for one; or raises ImageError (or is interrupted) and leaves the file system as it was.
    Returns the image's path and the notes for the user."""
    plan = Plan(request)
    with Changes() as changes:
        scratch = changes.scratch_dir(os.path.dirname(plan.output))
        # mkdtemp makes the directory private (0700); the image root must get the mode any
        # directory made here would, or an image archived on Linux is unreadable to others.
        os.chmod(scratch, 0o777 & ~current_umask())
        plan.write(scratch, progress)
        changes.move_into_place(scratch, plan.output)
        if plan.msi_package:
            installer.build_installer(
                changes, plan.msi_request, plan.msi_package, image_dir=plan.output,
                exe_name=plan.launchers[0].name + ".exe", signing_key=plan.signing_key,
                notes=plan.notes, progress=progress,
                desktop=installer.desktop_of(plan.launchers, plan.msi_request,
                                             plan.msi_package.name),
                service_stop=plan.service_stop)
    return plan.output, [note for note in plan.notes if note]
