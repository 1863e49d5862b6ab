"""The image description file: one TOML file naming everything an image and its installer
hold (the command line's options by their names without dashes, and [[launcher]],
[[association]] and [[protocol]] tables), read into the values of those options and the
image's launchers, file types and links; every error names its key and line."""

import os
import re
import tomllib

from . import architecture, configuration, identity, image, installed, installer, manifest, updates
from .errors import ImageError, UsageError

STRING, BOOL, STRINGS, NUMBER = "a string", "true or false", "a list of strings", "a whole number"
# Paths, relative to the file: one that must exist (file or directory), or a target.
FILE, DIRECTORY, FILES, TARGET = "file", "directory", "files", "target"
KIND_OF_VALUE = {FILE: STRING, DIRECTORY: STRING, TARGET: STRING, FILES: STRINGS}

# What one launcher is: in a [[launcher]] table, or at the top of a file without any.
LAUNCHER_KEYS = {
    "console": BOOL, "variant": STRING, "main-class": STRING, "main-jar": FILE,
    "main-module": STRING, "java-options": STRINGS, "arguments": STRINGS, "splash": FILE,
    "shortcut": BOOL, "path": BOOL, "class-data": STRING,
    "single-instance": BOOL, "service": BOOL, "service-name": STRING, "display-name": STRING,
    "service-start": STRING, "service-account": STRING, "execution-level": STRING,
    "restart-exit-code": NUMBER,
}
IMAGE_KEYS = {
    "name": STRING, "runtime": DIRECTORY, "runtime-path": STRING, "jars": FILES,
    "module-path": FILES, "package": STRING, "output": TARGET, "code-page": STRING,
    "icon": FILE, "app-version": STRING, "vendor": STRING, "description": STRING,
    "copyright": STRING, "product-name": STRING, "msi": TARGET, "upgrade-code": STRING,
    "msi-scope": STRING, "sign-cert": FILE, "sign-key": FILE, "sign-pkcs12": FILE,
    "sign-password-env": STRING, "timestamp-url": STRING, "runtime-min-version": STRING,
    "runtime-max-version": STRING, "runtime-download-url": STRING, "user-model-id": STRING,
    "update-url": STRING, "update-key": FILE, "update-channel": STRING, "arch": STRING,
}
INSTALLED_RUNTIME_KEYS = ("runtime-min-version", "runtime-max-version", "runtime-download-url")
TABLES = {
    "launcher": dict(LAUNCHER_KEYS, name=STRING, icon=FILE, description=STRING,
                     **{"user-model-id": STRING}),
    "association": {"launcher": STRING, "extensions": STRINGS, "description": STRING,
                    "icon": FILE, "mime-type": STRING},
    "protocol": {"launcher": STRING, "scheme": STRING, "description": STRING},
}
REQUIRED = {"": ("name",), "launcher": ("name",), "association": ("launcher", "extensions"),
            "protocol": ("launcher", "scheme")}
CHOICES = {"code-page": manifest.CHOICES, "msi-scope": installer.SCOPES,
           "class-data": configuration.CLASS_DATA_CHOICES, "service-start": image.SERVICE_STARTS,
           "service-account": image.SERVICE_ACCOUNTS,
           "execution-level": manifest.EXECUTION_LEVELS, "arch": architecture.CHOICES}
# Given on the command line too, these win over the file: where the image goes, and the
# signing key, which a build machine keeps apart from the sources.
COMMAND_LINE_WINS = ("output", "msi")
SIGNING = ("sign-cert", "sign-key", "sign-pkcs12", "sign-password-env", "timestamp-url")
MAIN_KEYS = ("main-class", "main-jar", "main-module")
# Keys whose option is repeated on the command line, named for the list they hold.
DESTINATIONS = {"jars": "jar"}

EXTENSION = re.compile(r"[A-Za-z0-9][A-Za-z0-9_+~-]{0,31}")
SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]{0,63}")
MIME_TYPE = re.compile(r"[A-Za-z0-9][\w.+-]*/[A-Za-z0-9][\w.+-]*")
KEY = re.compile(r"""\s*("[^"]*"|'[^']*'|[A-Za-z0-9_-]+)\s*[.=]""")
HEADER = re.compile(r"""\s*(\[\[?)\s*("[^"]*"|'[^']*'|[A-Za-z0-9_.-]+)\s*\]""")


class Lines:
    """Where each key and table header of the file is: tomllib keeps no positions, so the
    text is scanned for them."""

    def __init__(self, text):
        self.keys = {}      # (table, index, key) -> line
        self.headers = {}   # (table, index) -> line
        counts = {}
        table = ("", 0)
        open_string = None
        for number, line in enumerate(text.splitlines(), 1):
            if open_string:
                if line.count(open_string) % 2:
                    open_string = None
                continue
            header = HEADER.match(line)
            if header:
                name = header.group(2).strip("\"'")
                index = counts.get(name, 0) if header.group(1) == "[[" else 0
                counts[name] = index + 1
                table = (name, index)
                self.headers.setdefault(table, number)
                continue
            key = KEY.match(line)
            if key:
                self.keys.setdefault(table + (key.group(1).strip("\"'"),), number)
            for quotes in ('"""', "'''"):
                if line.count(quotes) % 2:
                    open_string = quotes
                    break

    def of(self, table, index, key=None):
        """The line of `key` in the table, or of the table's header."""
        if key is not None and (table, index, key) in self.keys:
            return self.keys[(table, index, key)]
        if key is not None and ("", 0, table) in self.keys:
            return self.keys[("", 0, table)]  # an inline table or array of them
        if key is not None and not table and (key, 0) in self.headers:
            return self.headers[(key, 0)]  # a table where a value belongs
        return self.headers.get((table, index), 1)


class Description:
    """What a description file says: `options` by their command-line destination, the
    launchers (image.Launcher), associations and protocols (image.Association,
    image.Protocol) and the application's name."""

    def __init__(self, path):
        self.path = path
        self.directory = os.path.dirname(os.path.abspath(path))
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise ImageError("description file %s: %s" % (path, e.strerror or e))
        try:
            text = data.decode("utf-8")
            self.table = tomllib.loads(text)
        except UnicodeDecodeError:
            raise ImageError("description file %s is not UTF-8 text" % path)
        except tomllib.TOMLDecodeError as e:
            place = re.search(r"\s*\(at line (\d+), column \d+\)$", str(e))
            if not place:
                raise UsageError("%s is not valid TOML: %s" % (path, e))
            raise UsageError("%s line %s: not valid TOML: %s" % (
                path, place.group(1), str(e)[:place.start()]))
        self.lines = Lines(text)
        self.options = {}
        self.launchers = []
        self.associations = []
        self.protocols = []
        self._read()

    def error(self, table, index, key, message, kind=ImageError):
        """An error of the value at `key` of the table, naming the file and the line."""
        where = "line %d" % self.lines.of(table, index, key)
        return kind("%s %s: %s" % (self.path, where, message))

    def usage(self, table, index, key, message):
        """An error of the file's form: a key unknown, missing, of the wrong kind, or given
        with one it does not go with."""
        return self.error(table, index, key, message, UsageError)

    def _read(self):
        root = self.table
        values = self._checked("", 0, root, dict(IMAGE_KEYS, **LAUNCHER_KEYS), skip=TABLES)
        self.name = values["name"]
        self.options = {DESTINATIONS.get(key, key.replace("-", "_")): value
                        for key, value in values.items() if key in IMAGE_KEYS}
        self._check_installed_runtime(values)
        if self._tables("launcher"):
            for key in LAUNCHER_KEYS:
                if key in root:
                    raise self.usage("", 0, key, "%s belongs in a [[launcher]] table in a file "
                                                 "that has them" % key)
            self.launchers = [self._launcher(i, values) for i, values in self._each("launcher")]
        else:
            self.launchers = [self._launcher(None, dict(values, description=None, icon=None))]
        self._check_updates(values)
        self.associations = [self._association(i, values) for i, values in self._each("association")]
        self.protocols = [self._protocol(i, values) for i, values in self._each("protocol")]
        self._check_unique()

    def _check_installed_runtime(self, values):
        """The installed Java's keys, checked here so that an error names its line."""
        given = {key.replace("-", "_").replace("runtime_", "", 1): values[key]
                 for key in INSTALLED_RUNTIME_KEYS if key in values}
        if not given:
            return
        own = next((key for key in ("runtime", "runtime-path") if key in values), None)
        if own:
            raise self.usage("", 0, own, "%s gives the image a runtime of its own; %s is for an "
                             "image that runs on the Java installed on the machine: give one or "
                             "the other" % (own, next(k for k in INSTALLED_RUNTIME_KEYS if k in values)))
        try:
            installed.InstalledRuntime.from_options(option=lambda name: name, **given)
        except ImageError as e:
            # The key the message is about comes first in it.
            key = min((k for k in INSTALLED_RUNTIME_KEYS if k in values and k in str(e)),
                      key=lambda k: str(e).index(k), default=INSTALLED_RUNTIME_KEYS[0])
            raise self.error("", 0, key, str(e), type(e))

    def _check_updates(self, values):
        """The update keys, each error at its line: they go together, with a package and a
        version."""
        if "update-url" not in values:
            for key in ("update-key", "update-channel"):
                if key in values:
                    raise self.usage("", 0, key, "%s goes with update-url" % key)
            return
        self._wrap(("", 0), "update-url", updates.check_url, values["update-url"])
        for key in ("update-key", "package", "app-version"):
            if key not in values:
                raise self.usage("", 0, "update-url", "update-url needs %s" % key)
        self._wrap(("", 0), "update-key", updates.public_key, values["update-key"])
        if "update-channel" in values:
            self._wrap(("", 0), "update-channel", updates.check_channel, values["update-channel"])

    def _each(self, name):
        """The index and checked values of each [[name]] table."""
        return [(index, self._checked(name, index, table, TABLES[name]))
                for index, table in enumerate(self._tables(name))]

    def _tables(self, name):
        found = self.table.get(name, [])
        if not isinstance(found, list) or not all(isinstance(t, dict) for t in found):
            also = (" (the file names no launcher binary: they come from --launcher-dir)"
                    if name == "launcher" else "")
            raise self.usage("", 0, name, "%s must be [[%s]] tables%s" % (name, name, also))
        return found

    def _unknown(self, key, table, known):
        where = " in a [[%s]] table" % table if table else ""
        if key == "sign-password" or "password" in key and key != "sign-password-env":
            return ("unknown key %s%s: a password never goes into the file; name the variable "
                    "that holds it with sign-password-env" % (key, where))
        return "unknown key %s%s (known: %s)" % (key, where, ", ".join(sorted(known)))

    def _checked(self, table, index, values, known, skip=()):
        """The table's values by key, type-checked, with paths made absolute."""
        checked = {}
        for key, value in values.items():
            if key in skip:
                continue
            if key not in known:
                raise self.usage(table, index, key, self._unknown(key, table, known))
            checked[key] = self._value(table, index, key, value, known[key])
        for key in REQUIRED[table]:
            if key not in checked:
                where = "the [[%s]] table" % table if table else "the file"
                raise self.usage(table, index, None if table else key,
                                 "%s lacks the required key %s" % (where, key))
        return checked

    def _value(self, table, index, key, value, kind):
        expected = KIND_OF_VALUE.get(kind, kind)
        fits = {STRING: lambda v: isinstance(v, str), BOOL: lambda v: isinstance(v, bool),
                STRINGS: lambda v: isinstance(v, list) and all(isinstance(s, str) for s in v),
                NUMBER: lambda v: isinstance(v, int) and not isinstance(v, bool)}
        if not fits[expected](value):
            raise self.usage(table, index, key, "%s must be %s, not %s" % (
                key, expected, _kind_of(value)))
        if key in CHOICES and value not in CHOICES[key]:
            raise self.usage(table, index, key, "%s must be one of %s, not %r" % (
                key, ", ".join(CHOICES[key]), value))
        if kind in (FILE, DIRECTORY, TARGET):
            return self._path(table, index, key, value, kind)
        if kind == FILES:
            return [self._path(table, index, key, v, FILE if key == "jars" else None) for v in value]
        return value

    def _path(self, table, index, key, value, kind):
        if not value:
            raise self.error(table, index, key, "%s is empty" % key)
        path = os.path.normpath(os.path.join(self.directory, value))
        if kind == FILE and not os.path.isfile(path) or kind == DIRECTORY and not os.path.isdir(path):
            what = "file" if kind == FILE else "directory"
            state = "is not a %s" % what if os.path.exists(path) else "does not exist"
            raise self.error(table, index, key, "%s %s %s" % (key, path, state))
        if kind is None and not os.path.exists(path):
            raise self.error(table, index, key, "%s %s does not exist" % (key, path))
        return path

    def _launcher(self, index, values):
        where = ("launcher", index) if index is not None else ("", 0)
        if not any(key in values for key in MAIN_KEYS):
            raise self.usage(*where, None if index is not None else "name",
                             "launcher %s has no main-class, main-jar or main-module" % values["name"])
        variant = values.get("variant")
        console = values.get("console", False)
        service = values.get("service", False)
        if variant is not None and (variant == image.CONSOLE_VARIANT) != console:
            raise self.usage(*where, "variant", "variant %s and console = %s disagree: give "
                             "one of them" % (variant, str(console).lower()))
        if variant is not None and "service" in values and (variant == image.SERVICE_VARIANT) != service:
            raise self.usage(*where, "variant", "variant %s and service = %s disagree: give "
                             "one of them" % (variant, str(service).lower()))
        if variant is not None and not re.fullmatch(r"[a-z0-9]+", variant):
            raise self.error(*where, "variant", "variant %r is not a word of lowercase letters "
                             "and digits (it names corvela-VARIANT.exe)" % variant)
        self._wrap(where, "name", image.check_windows_name, values["name"], "launcher name")
        service = service or variant == image.SERVICE_VARIANT
        launcher = image.Launcher(
            name=values["name"], main_class=values.get("main-class"),
            main_jar=values.get("main-jar"), main_module=values.get("main-module"),
            java_options=values.get("java-options", ()), arguments=values.get("arguments", ()),
            splash=values.get("splash"), console=console, icon=values.get("icon"),
            description=values.get("description"),
            shortcut=values.get("shortcut", not (console or service)),
            path=values.get("path", False), variant=variant, class_data=values.get("class-data"),
            single_instance=values.get("single-instance", False), service=service,
            service_name=values.get("service-name"), display_name=values.get("display-name"),
            service_start=values.get("service-start", "auto"),
            service_account=values.get("service-account", "LocalService"),
            user_model_id=self._user_model_id(where, values),
            execution_level=values.get("execution-level"),
            restart_exit_code=values.get("restart-exit-code"))
        service_key = next((key for key in ("service", "service-name", "display-name",
                                            "service-start", "service-account") if key in values), None)
        self._wrap(where, service_key, image.check_service, launcher)
        if launcher.restart_exit_code is not None:
            self._wrap(where, "restart-exit-code", configuration.check_restart_exit_code,
                       launcher.restart_exit_code)
        return launcher

    def _user_model_id(self, where, values):
        """The launcher's own user-model-id, else the product's (at the top), else None."""
        own = "user-model-id" in values
        value = values["user-model-id"] if own else self.table.get("user-model-id")
        if value is not None and value != identity.NONE:
            self._wrap(where if own else ("", 0), "user-model-id", identity.check, value,
                       "user-model-id")
        return value

    def _launcher_named(self, table, index, name):
        for launcher in self.launchers:
            if launcher.name.lower() == name.lower():
                return launcher
        raise self.usage(table, index, "launcher", "launcher %s names none of the launchers (%s)" % (
            name, ", ".join(launcher.name for launcher in self.launchers)))

    def _association(self, index, values):
        launcher = self._launcher_named("association", index, values["launcher"])
        if not values["extensions"]:
            raise self.error("association", index, "extensions", "extensions is empty")
        for extension in values["extensions"]:
            if extension.startswith("."):
                raise self.error("association", index, "extensions",
                                 "extension %r: give it without the dot, as %r" % (extension, extension[1:]))
            if not EXTENSION.fullmatch(extension):
                raise self.error("association", index, "extensions",
                                 "extension %r is not letters, digits, '_', '-', '+' or '~' "
                                 "(at most 32)" % extension)
        mime = values.get("mime-type")
        if mime is not None and not MIME_TYPE.fullmatch(mime):
            raise self.error("association", index, "mime-type", "mime-type %r is not type/subtype" % mime)
        if "description" in values:
            self._wrap(("association", index), "description", configuration.check_value,
                       values["description"], "description")
        return image.Association(launcher=launcher.name, extensions=values["extensions"],
                                 description=values.get("description"), icon=values.get("icon"),
                                 mime_type=mime)

    def _protocol(self, index, values):
        launcher = self._launcher_named("protocol", index, values["launcher"])
        scheme = values["scheme"]
        if not SCHEME.fullmatch(scheme):
            raise self.error("protocol", index, "scheme",
                             "scheme %r must start with a letter and hold only letters, digits, "
                             "'+', '-' and '.'" % scheme)
        if "description" in values:
            self._wrap(("protocol", index), "description", configuration.check_value,
                       values["description"], "description")
        return image.Protocol(launcher=launcher.name, scheme=scheme,
                              description=values.get("description"))

    def _check_unique(self):
        names = {}
        for index, launcher in enumerate(self.launchers):
            if launcher.name.lower() in names:
                raise self.error("launcher", index, "name", "two launchers named %s and %s: names "
                                 "that differ only in case are one file on Windows" % (
                                     names[launcher.name.lower()], launcher.name))
            names[launcher.name.lower()] = launcher.name
        seen = {}
        for index, association in enumerate(self.associations):
            for extension in association.extensions:
                if extension.lower() in seen:
                    raise self.error("association", index, "extensions",
                                     "extension %s is in two associations" % extension)
                seen[extension.lower()] = index
        schemes = set()
        for index, protocol in enumerate(self.protocols):
            if protocol.scheme.lower() in schemes:
                raise self.error("protocol", index, "scheme", "scheme %s is given twice" % protocol.scheme)
            schemes.add(protocol.scheme.lower())

    def _wrap(self, where, key, check, *args):
        try:
            return check(*args)
        except ImageError as e:
            raise self.error(*where, key, str(e), type(e))

    def explain(self, error):
        """An ImageError of the build from the file's values as the file's own error: the
        file, the line and the key of the value it is about, where the message named the
        command-line option of that key (--icon for icon), or, naming none, quoted the value
        itself."""
        message = str(error)
        if message.startswith(self.path + " "):
            return error
        places = [("", 0, key, value) for key, value in self.table.items() if key not in TABLES]
        for name in TABLES:
            places += [(name, index, key, value) for index, table in enumerate(self._tables(name))
                       for key, value in table.items()]
        keys = {place[2] for place in places}
        place = None
        for key in re.findall(r"--([a-z][a-z0-9-]*)", message):
            candidates = [p for p in places if p[2] == key]
            if candidates:
                place = next((p for p in candidates if isinstance(p[3], str) and p[3] in message),
                             candidates[0])
                break
        if place is None:
            place = next((p for p in places if isinstance(p[3], str) and p[3] and
                          repr(p[3]) in message), None)
        if place is None:
            return type(error)("%s: %s" % (self.path, message))
        message = re.sub(r"--([a-z][a-z0-9-]*)",
                         lambda m: m.group(1) if m.group(1) in keys else m.group(0), message)
        return self.error(place[0], place[1], place[2], message, type(error))

    def fill(self, args, signing_given):
        """Sets the options of `args` (an argparse namespace) from the file, except those the
        command line gave that win over it: the output, the installer and, as a whole, the
        signing options."""
        for dest, value in self.options.items():
            key = dest.replace("_", "-")
            if key in SIGNING and signing_given or key in COMMAND_LINE_WINS and getattr(args, dest):
                continue
            setattr(args, dest, value)


def _kind_of(value):
    names = {bool: "true or false", str: "a string", int: "a number", float: "a number",
             list: "a list", dict: "a table"}
    return names.get(type(value), type(value).__name__)


def load(path):
    """The Description of the file at `path`, or ImageError naming the key and line."""
    return Description(path)
