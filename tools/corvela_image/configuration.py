"""Writes a launcher's configuration, app/NAME.cfg: the values the launcher reads, each on a
line of its own, and the checks that a value fits such a line."""

import os
from dataclasses import dataclass

from . import manifest
from .errors import ImageError

# app.class-data: a per-user class-data archive made and used, or none.
CLASS_DATA_CHOICES = ("auto", "off")
# The application's side of app.single-instance, built beside the launchers.
INSTANCE_JAR = "corvela-instance.jar"


@dataclass(frozen=True, kw_only=True)
class Settings:
    """What a launcher's configuration says beyond the launcher's own fields: the file names
    of the image's jars and module path entries, the runtime to use (`runtime_path`, or an
    installed.InstalledRuntime), the class-data choice and taskbar identity worked out for
    this launcher, the vendor a service's logs go under, and the updates.UpdateSource."""
    jar_names: tuple = ()
    module_names: tuple = ()
    runtime_path: str | None = None
    installed_runtime: object = None
    class_data: str | None = None
    user_model_id: str | None = None
    vendor: str | None = None
    update_source: object = None


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


def build_cfg(launcher, settings):
    """The text of `launcher`'s configuration (an image.Launcher), with `settings`."""
    main_jar = os.path.basename(launcher.main_jar) if launcher.main_jar else None
    lines = ["[Application]"]
    if main_jar:
        lines.append("app.mainjar=" + app_path(main_jar))
    # The instance library the tool adds is on the class path of the launchers that use it.
    lines.extend("app.classpath=" + app_path(name) for name in settings.jar_names
                 if name != main_jar and (name != INSTANCE_JAR or launcher.single_instance))
    lines.extend("app.modulepath=" + app_path(name) for name in settings.module_names)
    if launcher.main_module:
        lines.append("app.mainmodule=" + check_value(launcher.main_module, "--main-module"))
    if launcher.main_class:
        lines.append("app.mainclass=" + check_value(launcher.main_class, "--main-class"))
    if launcher.splash:
        lines.append("app.splash=" + app_path(os.path.basename(launcher.splash)))
    if settings.runtime_path:
        lines.append("app.runtime=" + check_value(settings.runtime_path, "--runtime-path"))
    if settings.installed_runtime:
        lines.extend(settings.installed_runtime.cfg_lines())
    if settings.class_data:
        lines.append("app.class-data=" + settings.class_data)
    if launcher.single_instance:
        lines.append("app.single-instance=true")
    if settings.user_model_id:
        lines.append("app.user-model-id=" + settings.user_model_id)
    if launcher.restart_exit_code is not None:
        lines.append("app.restart-exit-code=%d" % check_restart_exit_code(launcher.restart_exit_code))
    if settings.update_source and not launcher.service:
        lines.extend(settings.update_source.cfg_lines())
    if launcher.service and settings.vendor:
        # The service's logs go under %ProgramData%\VENDOR\NAME\logs.
        lines.append("app.vendor=" + check_value(settings.vendor, "--vendor"))
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
