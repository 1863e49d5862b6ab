"""Whether the main class a launcher names is in the image's jars: found missing when the
image is built, not when the application starts."""

import os
import zipfile

from .errors import ImageError

MANIFEST = "META-INF/MANIFEST.MF"
VERSIONS = "META-INF/versions/"
# JVM options that put more on the class path than the image's jars.
CLASS_PATH_OPTIONS = ("-cp", "-classpath", "--class-path", "-Djava.class.path=", "-jar")


class Jar:
    """The entry names of one jar, or why they cannot be read."""

    def __init__(self, path):
        self.path = path
        self.names = set()
        self.manifest = ""
        self.unreadable = None
        try:
            with zipfile.ZipFile(path) as archive:
                self.names = set(archive.namelist())
                if MANIFEST in self.names:
                    self.manifest = archive.read(MANIFEST).decode("utf-8", "replace")
        except (zipfile.BadZipFile, OSError) as e:
            self.unreadable = str(e) or type(e).__name__

    def holds(self, entry):
        """Whether the jar holds `entry`, at its root or in a multi-release version."""
        if entry in self.names:
            return True
        return any(name.startswith(VERSIONS) and name.endswith("/" + entry) and
                   name[len(VERSIONS):].split("/", 1)[1] == entry for name in self.names)

    def attribute(self, key):
        """A main attribute of the jar's manifest (continuation lines joined), or None."""
        lines = []
        for line in self.manifest.replace("\r\n", "\n").split("\n"):
            if line.startswith(" ") and lines:
                lines[-1] += line[1:]
            elif not line:
                break  # the main section ends at the first blank line
            else:
                lines.append(line)
        for line in lines:
            name, _, value = line.partition(":")
            if name.strip().lower() == key.lower():
                return value.strip()
        return None


def class_entry(class_name):
    return class_name.replace(".", "/") + ".class"


def _module_path_holds(module_path, entry):
    """Whether a module path entry holds `entry`: a modular jar, an exploded module, or a
    directory of either."""
    for path in module_path:
        if os.path.isdir(path):
            if os.path.isfile(os.path.join(path, entry)):
                return True
            for child in sorted(os.listdir(path)):
                child_path = os.path.join(path, child)
                if os.path.isfile(os.path.join(child_path, entry)):
                    return True
                if child.endswith(".jar") and os.path.isfile(child_path) and Jar(child_path).holds(entry):
                    return True
        elif Jar(path).holds(entry):
            return True
    return False


def check_main_class(launcher, jars, module_path):
    """None when the launcher's main class is found in `jars` or on `module_path`; a note
    when the tool cannot tell; ImageError (from `missing`) when it is in none of them."""
    if launcher.main_module:
        _, _, class_name = launcher.main_module.partition("/")
        # Without a class, the module names its own main class.
        if not class_name or _module_path_holds(module_path, class_entry(class_name)):
            return None
        return ("--main-module %s: no %s on the module path; it is not checked further, since the "
                "module may be in the runtime" % (launcher.main_module, class_entry(class_name)))
    opened = [Jar(path) for path in jars]
    class_name, option = launcher.main_class, "--main-class %s" % launcher.main_class
    if not class_name:
        main_jar = next(jar for jar in opened if jar.path == launcher.main_jar)
        if main_jar.unreadable:
            return ("--main-jar %s cannot be read as a jar (%s), so its main class is not checked" %
                    (main_jar.path, main_jar.unreadable))
        class_name = main_jar.attribute("Main-Class")
        if not class_name:
            raise ImageError("--main-jar %s names no Main-Class in its manifest, so Java cannot "
                             "start it: give --main-class" % main_jar.path)
        option = "--main-jar %s names Main-Class %s, which" % (main_jar.path, class_name)
    entry = class_entry(class_name)
    if any(jar.holds(entry) for jar in opened) or _module_path_holds(module_path, entry):
        return None
    searched = ", ".join(os.path.basename(jar.path) for jar in opened if not jar.unreadable)
    unsure = [os.path.basename(jar.path) for jar in opened if jar.unreadable]
    unsure += [o for o in launcher.java_options if o.startswith(CLASS_PATH_OPTIONS)]
    if not opened:
        unsure.append("the runtime (no --jar or --main-jar given)")
    if module_path:
        unsure.append("the runtime's modules")
    if unsure:
        return ("%s is not in %s (no %s); the tool cannot look into %s, so it is not checked there" %
                (option, searched or "any jar", entry, ", ".join(unsure)))
    raise ImageError("%s is in none of the jars: no %s in %s" % (option, entry, searched))


# A class that uses the single-instance API names it in its constant pool, as plain bytes.
SINGLE_INSTANCE_API = b"org/corvela/instance/SingleInstance"


def _uses_single_instance(path):
    """True when a class of the jar at `path` refers to the API, False when none does, None
    when the jar cannot be read."""
    try:
        with zipfile.ZipFile(path) as archive:
            return any(SINGLE_INSTANCE_API in archive.read(name)
                       for name in archive.namelist() if name.endswith(".class"))
    except (zipfile.BadZipFile, OSError):
        return None


def check_single_instance_use(jars, module_path, instance_jar_name):
    """A note when no jar of the application uses the single-instance API: its requests are
    then refused after a wait, and every later start runs on its own. None when one does, or
    when the tool cannot tell (no jars, a jar it cannot read, a directory on the module path)."""
    paths = [jar for jar in jars if os.path.basename(jar) != instance_jar_name]
    for path in module_path:
        if os.path.isdir(path):
            return None
        paths.append(path)
    # Without jars the application lives in the runtime, where the tool does not look.
    if not paths or any(_uses_single_instance(path) is not False for path in paths):
        return None
    return ("--single-instance: no class in %s uses org.corvela.instance.SingleInstance, so the "
            "running instance takes no later start's arguments: each later start waits for it a "
            "few seconds, then runs on its own. Call SingleInstance.onRequest in the application, "
            "or leave out --single-instance" % ", ".join(os.path.basename(path) for path in paths))
