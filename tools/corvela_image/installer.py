"""Windows Installer packages of an image, built from any OS with wixl (msitools).

Per-user by default: the image goes to %LOCALAPPDATA%\\Programs\\<Name> without elevation,
with a Start menu shortcut and an Add/Remove Programs entry, both with the exe's icon;
per machine it goes to Program Files. Upgrades replace the installed version; an older
version is refused. Uninstalling removes what was installed, and nothing the user made.

Component rules hold across versions because every GUID is derived: components from the
upgrade code and the file's path in the image, the upgrade code (when not given) from the
vendor and the application's name.
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import uuid
from dataclasses import dataclass
from xml.sax.saxutils import quoteattr

from . import icon, identity, pe, registrations, reproducible, signing, versioninfo
from .errors import ImageError, UsageError, require_program

USER = "user"
MACHINE = "machine"
SCOPES = (USER, MACHINE)
# Single-byte code pages an installer's database can be written in, Western first: it takes
# no UTF-8, so one that holds every name is chosen.
#
# wixl 0.101 writes its tables in a code page of its own whatever the source asks for: a name
# beyond it comes out empty, and in formatted text (a registry key, the downgrade message, a
# shortcut's target) it crashes wixl. So formatted text names properties and files instead,
# which Windows Installer resolves when it installs; wixl writes placeholders for the names in
# the tables, and msibuild (msitools) puts them in afterwards, once the database has its code
# page. The summary information wixl writes right.
CODE_PAGES = (1252, 1250, 1251, 1253, 1254, 1257, 1255, 1256, 1258, 874)
GUID = re.compile(r"^\{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}?$")
UPGRADE_CODE_NAMESPACE = uuid.UUID("8f0a6d1e-3c55-4d6b-9a3e-1f0c9c2b7e41")


class Package:
    """What the MSI says about the application. Its names are checked here, before any work:
    they must fit one code page."""

    def __init__(self, name, vendor, version, upgrade_code, scope, description=None, services=()):
        self.name = name
        self.services = list(services)
        self.vendor = vendor
        self.version = version
        self.upgrade_code = upgrade_code
        self.scope = scope
        self.description = description or name
        self.names = [("the product name", "--product-name, or --name", self.name),
                      ("the vendor", "--vendor", vendor),
                      ("the description", "--description", self.description)]
        for service in self.services:
            self.names += [("the service's display name", "--display-name", service.display_name),
                           ("the service's description", "--description", service.description)]
        choose_code_page(self.names)


# The accounts a service may run as, by the names Windows Installer takes.
SERVICE_ACCOUNTS = {"LocalService": "NT AUTHORITY\\LocalService",
                    "NetworkService": "NT AUTHORITY\\NetworkService",
                    "LocalSystem": "LocalSystem"}
# What the manager does when the service fails: restart after 5 s, twice, then nothing; the
# count starts anew after a day without failure.
RESTART_DELAY_MS = 5000
RESET_PERIOD_S = 86400


class Service:
    """One exe of the image installed as a Windows service."""

    def __init__(self, exe_name, name, display_name, description, start, account):
        self.exe_name = exe_name
        self.name = name
        self.display_name = display_name
        self.description = description
        self.start = start
        self.account = account

    def elements(self, placeholders):
        """The ServiceInstall and ServiceControl of the exe's component: started on install
        unless started on demand, stopped before any removal or upgrade, removed on
        uninstall. Names beyond ASCII go behind `placeholders`: wixl crashes on them here."""
        ident = _identifier("v", self.name)
        start = "demand" if self.start == "demand" else "auto"
        return [
            '<ServiceInstall Id="%s" Name=%s DisplayName=%s Description=%s Type="ownProcess" '
            'Start="%s" ErrorControl="normal" Account=%s Vital="yes" />' % (
                ident, quoteattr(self.name), placeholders.attribute(self.display_name),
                placeholders.attribute(self.description), start, quoteattr(SERVICE_ACCOUNTS[self.account])),
            '<ServiceControl Id="%s" Name=%s %sStop="both" Remove="uninstall" Wait="yes" />' % (
                _identifier("w", self.name), quoteattr(self.name),
                "" if self.start == "demand" else 'Start="install" ')]

    def config_rows(self, component):
        """Rows of MsiServiceConfig: failures that are not crashes (a non-zero exit code)
        take the recovery actions too, and a delayed start where asked."""
        rows = ["%s\t%s\t1\t4\t1\t%s" % (_identifier("g", self.name), self.name, component)]
        if self.start == "delayed":
            rows.append("%s\t%s\t1\t3\t1\t%s" % (_identifier("h", self.name), self.name,
                                                   component))
        return rows

    def failure_row(self, component):
        """The row of MsiServiceConfigFailureActions: restart twice, then stay stopped."""
        delay = RESTART_DELAY_MS
        return "%s\t%s\t1\t%d\t\t\t1[~]1[~]0\t%d[~]%d[~]0\t%s" % (
            _identifier("a", self.name), self.name, RESET_PERIOD_S, delay, delay, component)


@dataclass(frozen=True, kw_only=True)
class MsiRequest:
    """An installer of an image asked for: the file to write at `path`, its upgrade code
    (None: derived), its scope (None: per user, or per machine for an image with a service),
    and the file types (image.Association) and links (image.Protocol) it registers."""
    path: str
    upgrade_code: str | None = None
    scope: str | None = None
    associations: tuple = ()
    protocols: tuple = ()

    def __post_init__(self):
        object.__setattr__(self, "path", os.path.abspath(self.path))
        object.__setattr__(self, "associations", tuple(self.associations))
        object.__setattr__(self, "protocols", tuple(self.protocols))


def plan_package(request, branding, name, notes, services=()):
    """The Package the installer `request` (an MsiRequest, or None) will hold, checked; notes
    gets the derived upgrade code. `branding` (an image.Branding) names the product, `name`
    is the application's; `services` are the launchers installed as services."""
    if not request:
        return None
    wixl()
    version = msi_version(branding.version)
    if not branding.vendor:
        raise UsageError("an installer names its manufacturer: give --vendor")
    code, derived = upgrade_code(request.upgrade_code, branding.vendor, name)
    if derived:
        notes.append("upgrade code %s, derived from vendor and name; every version of "
                     "%s gets the same one (or give --upgrade-code)" % (code, name))
    scope = request.scope or USER
    if services:
        if request.scope == USER:
            raise UsageError("a service is installed for the whole machine: give --msi-scope "
                             "machine, or leave it out")
        scope = MACHINE
    product = branding.product_name or name
    package = Package(product, branding.vendor, version, code, scope, branding.description,
                      [Service(l.name + ".exe", l.service_key(), l.display_name or product,
                               l.description or branding.description or product,
                               l.service_start, l.service_account)
                       for l in services])
    package.names += [("the description", "a file type of %s" % entry.launcher, entry.description)
                      for entry in request.associations + request.protocols if entry.description]
    choose_code_page(package.names)
    return package


def check_target(request, image_dir):
    """Raises ImageError unless the installer `request` (an MsiRequest, or None) of the image
    in `image_dir` can be written."""
    if not request:
        return
    if os.path.lexists(request.path):
        raise ImageError("--msi %s exists already; give a new installer file" % request.path)
    if request.path.startswith(image_dir.rstrip(os.sep) + os.sep):
        raise ImageError("--msi %s lies inside the image %s, which it packages; put the "
                         "installer elsewhere" % (request.path, image_dir))
    if os.path.isdir(request.path):
        raise ImageError("--msi %s is a directory; give a file name" % request.path)


def desktop_of(launchers, request, product_name):
    """What the installer of the image's `launchers` registers: a shortcut for each launcher
    that asks for one (the first named after the product, as an image of one launcher always
    had), the file types and links of `request`, and PATH for a launcher that wants it there."""
    if all(launcher.shortcut is None for launcher in launchers):
        # A service is the manager's to start: from the Start menu it would run in a console.
        wanted = [launcher for launcher in launchers[:1] if not launcher.service]
    else:
        wanted = [launcher for launcher in launchers if launcher.shortcut]
    shortcuts = [(launcher.name + ".exe", product_name if i == 0 else launcher.name)
                 for i, launcher in enumerate(wanted)]
    return Desktop(shortcuts, request.associations, request.protocols,
                   any(launcher.path for launcher in launchers))


def msi_version(text):
    """An MSI product version: major and minor up to 255, build up to 65535. Windows
    Installer compares only these three, so a fourth number is refused rather than ignored."""
    if not text:
        raise UsageError("an installer needs a version: give --app-version")
    numbers = versioninfo.version_numbers(text) + [0, 0, 0]
    if numbers[3]:
        raise ImageError("version %r has a fourth number, which Windows Installer ignores when it "
                         "upgrades: give at most three numbers" % text)
    major, minor, build = numbers[:3]
    if major > 255 or minor > 255 or build > 65535:
        raise ImageError("version %r does not fit an installer: major and minor at most 255, "
                         "build at most 65535" % text)
    return "%d.%d.%d" % (major, minor, build)


def upgrade_code(given, vendor, name):
    """The given upgrade code, checked, or one derived from vendor and name, which every
    version of the application gets alike. Returns (code, derived)."""
    if given:
        if not GUID.match(given):
            raise ImageError("upgrade code %r is not a GUID (such as "
                             "{12345678-1234-1234-1234-123456789abc})" % given)
        return str(uuid.UUID(given.strip("{}"))).upper(), False
    return str(uuid.uuid5(UPGRADE_CODE_NAMESPACE, "%s\0%s" % (vendor, name))).upper(), True


def _derived_guid(namespace, text):
    return str(uuid.uuid5(uuid.UUID(namespace), text.lower())).upper()


def _identifier(prefix, text):
    # Identifiers of the database: letters, digits, dots and underscores, at most 72.
    return prefix + hashlib.sha1(text.lower().encode("utf-8")).hexdigest()[:32]


def choose_code_page(names):
    """The first single-byte code page that holds every name, given as (what, where from,
    text); an error naming the characters none holds, and the names holding them, otherwise."""
    texts = [text for _, _, text in names]
    for code_page in CODE_PAGES:
        if all(_holds(code_page, text) for text in texts):
            return code_page
    characters = {c for text in texts for c in text if ord(c) > 127}
    best = max(CODE_PAGES, key=lambda code_page: sum(_holds(code_page, c) for c in characters))
    culprits = []
    for what, where, text in names:
        missing = sorted({c for c in text if not _holds(best, c)})
        if missing:
            culprits.append("%s of %s \"%s\"%s" % (" ".join("%s (U+%04X)" % (c, ord(c)) for c in missing),
                                               what, text, " (%s)" % where if where else ""))
    raise ImageError("an installer's names must fit one code page, and code page %d, which "
                     "holds the most of them, cannot hold %s; use names without them" %
                     (best, "; nor ".join(culprits)))


def check_image_names(package, sources, runtime=None):
    """Checks, before any work, that the names of an image's files fit one code page with the
    package's names. `sources` are (option, path) pairs of what the image will hold under
    their own names, directories with every name under them; `runtime` is copied as
    "runtime", with the names under it."""
    names = list(package.names)
    for option, path in sources + ([("--runtime", runtime)] if runtime else []):
        if path != runtime:
            names.append(("the file name", option, os.path.basename(os.path.normpath(path))))
        for parent, dirs, files in os.walk(path):
            names += [("the name", "under %s %s" % (option, path),
                       os.path.relpath(os.path.join(parent, name), path).replace(os.sep, "\\"))
                      for name in dirs + files]
    choose_code_page(names)


def _holds(code_page, text):
    try:
        text.encode("cp%d" % code_page)
        return True
    except UnicodeEncodeError:
        return False


def _icon_file(exe_path, target):
    """The exe's own icon as an .ico file, for the shortcut and the Add/Remove Programs
    entry."""
    with open(exe_path, "rb") as f:
        tree = pe.PEImage(f.read(), exe_path).resources()
    with open(target, "wb") as f:
        f.write(icon.Icon.from_resources(tree, exe_path).ico_bytes())


class _Placeholders:
    """The names of the database's tables that wixl cannot write, each behind a placeholder
    of ASCII letters and digits that fits a file name."""

    def __init__(self):
        self.names = {}

    def __call__(self, text):
        if text.isascii():
            return text
        for placeholder, name in self.names.items():
            if name == text:
                return placeholder
        placeholder = "CORVELA%05dNAME" % len(self.names)
        self.names[placeholder] = text
        return placeholder

    def attribute(self, text):
        return quoteattr(self(text))


class Desktop:
    """What an installer hooks into the desktop besides the image's files: Start menu
    shortcuts, as (exe file name, shortcut name); file types and links (objects with the
    fields of image.Association and image.Protocol); and with `path` the install directory
    on PATH."""

    def __init__(self, shortcuts, associations=(), protocols=(), path=False):
        self.shortcuts = list(shortcuts)
        self.associations = list(associations)
        self.protocols = list(protocols)
        self.path = path


class _Source:
    """The WiX source of one package, written line by line."""

    def __init__(self, package, image_dir, exe_name, icon_paths, source_dir, desktop):
        self.package = package
        self.exe_name = exe_name
        self.image_dir = image_dir
        # The icon of each exe a shortcut starts; the first exe's is the product's.
        self.icon_paths = icon_paths
        self.desktop = desktop
        self.path_component = None
        # wixl finds files only by paths relative to the source file's directory.
        self.source_dir = source_dir
        self.per_user = package.scope == USER
        self.lines = []
        self.components = []
        self.names = list(package.names)
        self.placeholders = _Placeholders()
        # Each service's name and the component of its exe.
        self.service_components = {}

    def key_path(self, component):
        """A per-user component's key: an HKCU value, since no file in a profile may be one."""
        root = "HKCU" if self.per_user else "HKLM"
        key = "Software\\[Manufacturer]\\[ProductName]\\Components"
        return ('<RegistryValue Root="%s" Key=%s Name="%s" Type="integer" Value="1" '
                'KeyPath="yes" />' % (root, quoteattr(key), component))

    def component(self, indent, path, body):
        component = _identifier("c", path)
        guid = _derived_guid(self.package.upgrade_code, path)
        self.components.append(component)
        win64 = ' Win64="yes"' if not self.per_user else ""
        self.lines.append('%s<Component Id="%s" Guid="%s"%s>' % (indent, component, guid, win64))
        for line in body(component):
            self.lines.append(indent + "  " + line)
        self.lines.append(indent + "</Component>")

    def directory(self, indent, relative):
        full = os.path.join(self.image_dir, relative)
        entries = sorted(os.listdir(full))
        if self.per_user:
            # Every folder made in a profile is removed on uninstall, empty ones included.
            folder_path = "dir:" + relative.replace(os.sep, "\\")
            self.component(indent, folder_path, lambda c: [
                self.key_path(c), '<CreateFolder />', '<RemoveFolder Id="%s" On="uninstall" />'
                % _identifier("r", folder_path)])
        for name in entries:
            path = os.path.join(relative, name) if relative else name
            if os.path.isdir(os.path.join(self.image_dir, path)):
                continue
            windows_path = path.replace(os.sep, "\\")
            self.names.append(("the file name", None, windows_path))
            source = os.path.relpath(os.path.join(self.image_dir, path), self.source_dir)

            def body(component, windows_path=windows_path, name=name, source=source):
                lines = [self.key_path(component)] if self.per_user else []
                key = "" if self.per_user else ' KeyPath="yes"'
                lines.append('<File Id="%s" Name=%s Source=%s%s />' % (
                    _identifier("f", windows_path), self.placeholders.attribute(name),
                    quoteattr(source), key))
                for service in self.package.services:
                    if service.exe_name == windows_path:
                        self.service_components[service.name] = component
                        lines += service.elements(self.placeholders)
                return lines
            self.component(indent, windows_path, body)
        for name in entries:
            path = os.path.join(relative, name) if relative else name
            if not os.path.isdir(os.path.join(self.image_dir, path)):
                continue
            self.names.append(("the folder name", None, path.replace(os.sep, "\\")))
            child = _identifier("d", path.replace(os.sep, "\\"))
            self.lines.append('%s<Directory Id="%s" Name=%s>' % (
                indent, child, self.placeholders.attribute(name)))
            self.directory(indent + "  ", path)
            self.lines.append(indent + "</Directory>")

    def icon_id(self, exe):
        if exe == self.exe_name:
            return "AppIcon.ico"
        return _identifier("i", exe)[:30] + ".ico"

    def shortcuts(self):
        if not self.desktop.shortcuts:
            return
        self.lines.append('      <Directory Id="ProgramMenuFolder">')
        for exe, name in self.desktop.shortcuts:
            self.names.append(("the shortcut name", None, name))
            # The first keeps the component of the one shortcut installers always had.
            path = "shortcut:" + name if exe == self.exe_name else "shortcut:%s:%s" % (exe, name)
            self.component("        ", path, lambda c, exe=exe, name=name: [
                '<Shortcut Id="%s" Name=%s Target="[#%s]" WorkingDirectory="INSTALLDIR" '
                'Icon="%s" />' % (_identifier("s", name), self.placeholders.attribute(name),
                                  _identifier("f", exe), self.icon_id(exe)),
                self.key_path(c)])
        self.lines.append('      </Directory>')

    def registry_value(self, key, name, value):
        """A string value in the classes of the installer's scope."""
        self.names += [("a registered name", None, text) for text in (name, value) if text]
        return '<RegistryValue Root="%s" Key=%s%s Type="string" Value=%s />' % (
            "HKCU" if self.per_user else "HKLM", quoteattr(key),
            "" if name is None else " Name=%s" % self.placeholders.attribute(name),
            self.placeholders.attribute(value or ""))

    def registrations(self, indent):
        """The components of the file types, links and PATH entry, in the install directory."""
        entries = registrations.Registrations(
            self.package.name, self.desktop.associations, self.desktop.protocols,
            self.per_user, lambda path: "[#%s]" % _identifier("f", path))
        for path, values in entries.components():
            self.component(indent, path, lambda c, values=values: [self.key_path(c)] + [
                self.registry_value(*value) for value in values])
        if self.desktop.path:
            self.path_component = _identifier("c", "path:INSTALLDIR")
            self.component(indent, "path:INSTALLDIR", lambda c: [self.key_path(c)])

    def write(self):
        p = self.package
        install_root = "LocalAppDataFolder" if self.per_user else "ProgramFiles64Folder"
        head = [
            '<?xml version="1.0" encoding="utf-8"?>',
            '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
            '  <Product Id="{%s}" Name=%s Language="1033" Version="%s" Manufacturer=%s '
            'UpgradeCode="%s" Codepage="@CODEPAGE@">' % (
                # One product code per version and scope, derived like every other GUID.
                _derived_guid(p.upgrade_code, "product:%s:%s" % (p.version, p.scope)),
                self.placeholders.attribute(p.name), p.version,
                self.placeholders.attribute(p.vendor), p.upgrade_code),
            '    <Package InstallerVersion="500" Compressed="yes" InstallScope="%s" '
            'Description=%s Manufacturer=%s Comments=%s SummaryCodepage="@CODEPAGE@" />' % (
                "perUser" if self.per_user else "perMachine", quoteattr(p.description),
                quoteattr(p.vendor), quoteattr("This installer database contains the logic and "
                                               "data required to install %s." % p.name)),
            '    <MajorUpgrade DowngradeErrorMessage="A newer version of [ProductName] is '
            'installed already." />',
            '    <Media Id="1" Cabinet="image.cab" EmbedCab="yes" />',
        ] + ['    <Icon Id="%s" SourceFile=%s />' % (self.icon_id(exe), quoteattr(
            os.path.relpath(path, self.source_dir))) for exe, path in self.icon_paths.items()] + [
            '    <Property Id="ARPPRODUCTICON" Value="AppIcon.ico" />',
            '    <Directory Id="TARGETDIR" Name="SourceDir">',
        ]
        if self.per_user:
            head += ['      <Directory Id="%s">' % install_root,
                     '        <Directory Id="ProgramsFolder" Name="Programs">',
                     '          <Directory Id="INSTALLDIR" Name=%s>' %
                     self.placeholders.attribute(p.name)]
            indent = "            "
        else:
            head += ['      <Directory Id="%s">' % install_root,
                     '          <Directory Id="INSTALLDIR" Name=%s>' %
                     self.placeholders.attribute(p.name)]
            indent = "            "
        self.lines = head
        self.directory(indent, "")
        self.registrations(indent)
        self.lines.append('          </Directory>')
        if self.per_user:
            self.lines.append('        </Directory>')
        self.lines.append('      </Directory>')
        self.shortcuts()
        self.lines.append('    </Directory>')
        self.lines.append('    <Feature Id="Application" Level="1">')
        self.lines += ['      <ComponentRef Id="%s" />' % c for c in self.components]
        self.lines.append('    </Feature>')
        self.lines.append('  </Product>')
        self.lines.append('</Wix>')
        self.code_page = choose_code_page(self.names)
        return "\n".join(self.lines).replace("@CODEPAGE@", str(self.code_page)) + "\n"


def wixl():
    return require_program("wixl", "building an installer")


def _run(command, what, scratch, task="writing the installer's names"):
    # In the scratch directory: msiinfo writes the streams of a table it exports (icons)
    # into the current one.
    result = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL, cwd=scratch)
    if result.returncode != 0:
        lines = [line for line in result.stderr.decode("utf-8", "replace").splitlines()
                 if line.strip() and "GLib-" not in line]
        reason = lines[-1] if lines else "exit code %d" % result.returncode
        raise ImageError("%s failed while %s: %s" % (what, task, reason))
    return result.stdout


def _put_names_in(msi, placeholders, code_page, scratch):
    """Gives the database `code_page` and puts the names behind `placeholders` into every
    table that holds one (tables go in and out of msitools as UTF-8 text)."""
    if not placeholders.names:
        return
    msibuild = require_program("msibuild", "an installer with names beyond ASCII")
    msiinfo = require_program("msiinfo", "an installer with names beyond ASCII")
    force = os.path.join(scratch, "_ForceCodepage.idt")
    with open(force, "w", encoding="ascii", newline="") as f:
        f.write("\r\n\r\n%d\t_ForceCodepage\r\n" % code_page)
    _run([msibuild, msi, "-i", force], "msibuild", scratch)
    tables = _run([msiinfo, "tables", msi], "msiinfo", scratch).decode("utf-8").split()
    for table in tables:
        if table.startswith("_"):
            continue
        text = _run([msiinfo, "export", msi, table], "msiinfo", scratch).decode("utf-8")
        if not any(placeholder in text for placeholder in placeholders.names):
            continue
        for placeholder, name in placeholders.names.items():
            text = text.replace(placeholder, name)
        idt = os.path.join(scratch, table + ".idt")
        with open(idt, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        _run([msibuild, msi, "-i", idt], "msibuild", scratch)
    # The summary's author is the product's manufacturer, a placeholder too when it is one.
    summary = dict(line.split(": ", 1) for line in
                   _run([msiinfo, "suminfo", msi], "msiinfo", scratch).decode("utf-8").splitlines()
                   if ": " in line)
    author = placeholders.names.get(summary.get("Author"))
    if author:
        _run([msibuild, msi, "-s", summary["Subject"], author, summary["Template"],
              summary["Revision number (UUID)"]], "msibuild", scratch)


def _add_environment(msi, component, per_user, scratch):
    """Puts the install directory on PATH with `component`: wixl has no Environment element,
    so msibuild adds the table, and the actions that apply it to the sequence."""
    msibuild = require_program("msibuild", "an installer that puts a launcher on PATH")
    msiinfo = require_program("msiinfo", "an installer that puts a launcher on PATH")
    table = os.path.join(scratch, "Environment.idt")
    with open(table, "w", encoding="ascii", newline="") as f:
        f.write(registrations.environment_table(component, per_user))
    task = "adding the PATH entry"
    _run([msibuild, msi, "-i", table], "msibuild", scratch, task)
    sequence = _run([msiinfo, "export", msi, "InstallExecuteSequence"], "msiinfo", scratch, task)
    table = os.path.join(scratch, "InstallExecuteSequence.idt")
    with open(table, "w", encoding="ascii", newline="") as f:
        f.write(registrations.with_environment_actions(sequence.decode("ascii")))
    _run([msibuild, msi, "-i", table], "msibuild", scratch, task)


def _files_of(directory):
    return [os.path.join(parent, name) for parent, _, names in os.walk(directory) for name in names]


def _import_table(msi, scratch, name, columns, types, rows, task="adding the service's settings"):
    idt = os.path.join(scratch, name + ".idt")
    with open(idt, "w", encoding="utf-8", newline="") as f:
        f.write("\r\n".join(["\t".join(columns), "\t".join(types), name + "\t" + columns[0]]
                             + rows) + "\r\n")
    _run([require_program("msibuild", "an installer that wixl cannot write alone"), msi, "-i", idt],
         "msibuild", scratch, task)


def _add_service_config(msi, services, components, scratch):
    """What wixl cannot write: the services' recovery actions and delayed start, in the
    tables Windows Installer 5 reads, and the action that applies them after the services are
    installed."""
    if not services:
        return
    _import_table(msi, scratch, "MsiServiceConfig",
                  ["MsiServiceConfig", "Name", "Event", "ConfigType", "Argument", "Component_"],
                  ["s72", "l255", "i2", "i4", "S0", "s72"],
                  [row for s in services for row in s.config_rows(components[s.name])])
    _import_table(msi, scratch, "MsiServiceConfigFailureActions",
                  ["MsiServiceConfigFailureActions", "Name", "Event", "ResetPeriod",
                   "RebootMessage", "Command", "Actions", "DelayActions", "Component_"],
                  ["s72", "l255", "i2", "I4", "L255", "L255", "S0", "S0", "s72"],
                  [s.failure_row(components[s.name]) for s in services])
    msiinfo = require_program("msiinfo", "an installer of a service")
    sequence = _run([msiinfo, "export", msi, "InstallExecuteSequence"], "msiinfo", scratch,
                    "adding the service's settings").decode("utf-8").rstrip("\r\n").split("\r\n")
    install = [line for line in sequence if line.startswith("InstallServices\t")]
    after = int(install[0].split("\t")[2]) + 1 if install else 5801
    _import_table(msi, scratch, "InstallExecuteSequence", ["Action", "Condition", "Sequence"],
                  ["s72", "S255", "I2"], sequence[3:] + ["MsiConfigureServices\tVersionNT >= 600\t%d" % after])


# The program that stops each service and waits for it, carried in the installer's Binary
# table, so that it lands in no folder of the product. Built beside the service launcher.
SERVICE_STOP_HELPER = "corvela-service-stop.exe"
# Custom action type: an exe from the Binary table (2), deferred (1024), run as the installer
# service itself rather than the user (2048). Its exit code counts: non-zero fails the
# installation, which rolls back.
_DEFERRED_SYSTEM_EXE = 2 + 1024 + 2048


def _add_service_stop(msi, services, helper, scratch):
    """Makes the installer wait, before any file is removed or replaced, until each service
    has stopped and its process has ended. StopServices only asks a service to stop (Wine's
    msiexec does not wait at all), and the files its process still holds would stay behind
    an uninstall reported as a success. `helper` (SERVICE_STOP_HELPER) runs right after
    StopServices, before DeleteServices, on install, upgrade and removal alike; a service
    that does not stop within what it promises fails it, and the installation with it."""
    if not services:
        return
    task = "adding the wait for the services to stop"
    names = " ".join('"%s"' % _formatted_literal(s.name).replace('"', '\\"') for s in services)
    if len(names) > 255:
        raise ImageError("the services' names take %d characters on the command line of %s, "
                         "which has room for 255: give shorter service names" %
                         (len(names), SERVICE_STOP_HELPER))
    binary = os.path.join(scratch, "Binary")
    os.makedirs(binary, exist_ok=True)
    shutil.copyfile(helper, os.path.join(binary, "ServiceStop.ibd"))
    # This function alone writes the Binary and CustomAction tables.
    _import_table(msi, scratch, "Binary", ["Name", "Data"], ["s72", "v0"],
                  ["ServiceStop\tServiceStop.ibd"], task)
    _import_table(msi, scratch, "CustomAction", ["Action", "Type", "Source", "Target"],
                  ["s72", "i2", "S72", "S255"],
                  ["CorvelaStopServices\t%d\tServiceStop\t%s" % (_DEFERRED_SYSTEM_EXE, names)], task)
    msiinfo = require_program("msiinfo", "an installer of a service")
    sequence = _run([msiinfo, "export", msi, "InstallExecuteSequence"], "msiinfo", scratch,
                    task).decode("utf-8").rstrip("\r\n").split("\r\n")
    steps = {line.split("\t")[0]: int(line.split("\t")[2]) for line in sequence[3:]}
    after = steps["StopServices"] + 1
    if any(after >= steps[action] for action in ("DeleteServices", "RemoveFiles", "InstallFiles")
           if action in steps):
        raise ImageError("wixl sequenced StopServices at %d, with no room before the files "
                         "are touched" % steps["StopServices"])
    _import_table(msi, scratch, "InstallExecuteSequence", ["Action", "Condition", "Sequence"],
                  ["s72", "S255", "I2"], sequence[3:] + ["CorvelaStopServices\t\t%d" % after],
                  task)


def _formatted_literal(text):
    """`text` as Windows Installer's formatted text, which reads brackets and braces."""
    return "".join("[\\%s]" % c if c in "[]{}" else c for c in text)


# System.AppUserModel.ID, the property a shortcut carries for the taskbar.
APP_USER_MODEL_ID_KEY = "{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}, 5"


def _add_shortcut_ids(msi, image_dir, shortcuts, scratch):
    """Gives each Start menu shortcut the AppUserModelID its exe's process sets, read from
    the exe's configuration in the image, so that a pinned shortcut and the running windows
    are one taskbar button. wixl cannot write MsiShortcutProperty: msibuild adds it."""
    rows = []
    for exe, name in shortcuts:
        cfg = os.path.join(image_dir, "app", os.path.splitext(exe)[0] + ".cfg")
        if not os.path.isfile(cfg):
            continue  # an exe that cannot start has no identity to give its shortcut
        with open(cfg, encoding="utf-8", errors="replace") as f:
            value = identity.cfg_value(f.read())
        if value:
            identity.check(value, "app.user-model-id in %s" % cfg)
            rows.append("%s\t%s\t%s\t%s" % (_identifier("u", name), _identifier("s", name),
                                            APP_USER_MODEL_ID_KEY, value))
    if rows:
        _import_table(msi, scratch, "MsiShortcutProperty",
                      ["MsiShortcutProperty", "Shortcut_", "PropertyKey", "PropVariantValue"],
                      ["s72", "s72", "s255", "s255"], rows, "adding the shortcuts' taskbar identity")


def _platform_of(image_dir, exe_name):
    """The processor the image's exe is for: its installer's platform."""
    with open(os.path.join(image_dir, exe_name), "rb") as f:
        return pe.machine_text(f.read(4096))


def _mark_arm64(msi, scratch):
    """wixl writes x64 packages only (it refuses -a arm64). An ARM64 package is the same
    database, 64-bit components under ProgramFiles64Folder and installer version 500, with its
    summary's template naming the platform Windows Installer checks: Arm64."""
    msibuild = require_program("msibuild", "an installer for ARM64")
    msiinfo = require_program("msiinfo", "an installer for ARM64")
    summary = dict(line.split(": ", 1) for line in
                   _run([msiinfo, "suminfo", msi], "msiinfo", scratch,
                        "marking the installer ARM64").decode("utf-8").splitlines()
                   if ": " in line)
    languages = summary["Template"].split(";", 1)[1]
    _run([msibuild, msi, "-s", summary["Subject"], summary["Author"], "Arm64;" + languages,
          summary["Revision number (UUID)"]], "msibuild", scratch, "marking the installer ARM64")


def build_msi(image_dir, exe_name, package, target, sign=None, desktop=None, service_stop=None):
    """Writes the MSI of the image in `image_dir` to `target`, or raises ImageError and
    writes nothing. `desktop` (a Desktop) says what it registers besides the files; by
    default a shortcut to `exe_name`. `sign`, when given, signs the finished MSI (a path)
    before it is moved to `target`, so that a failed signing leaves nothing behind either.
    A package with services needs `service_stop`, the path of SERVICE_STOP_HELPER.
    Unsigned, the same image and package give the same bytes."""
    tool = wixl()
    desktop = desktop or Desktop([(exe_name, package.name)])
    with tempfile.TemporaryDirectory(prefix="corvela-msi-") as scratch:
        icon_paths = {}
        for exe in [exe_name] + [exe for exe, _ in desktop.shortcuts]:
            if exe not in icon_paths:
                icon_paths[exe] = os.path.join(scratch, "icon%d.ico" % len(icon_paths))
                _icon_file(os.path.join(image_dir, exe), icon_paths[exe])
        source = os.path.join(scratch, "package.wxs")
        wxs = _Source(package, image_dir, exe_name, icon_paths, scratch, desktop)
        with open(source, "w", encoding="utf-8") as f:
            f.write(wxs.write())
        built = os.path.join(scratch, "package.msi")
        result = subprocess.run([tool, "-a", "x64", "-o", built, source], capture_output=True,
                                text=True, errors="replace", stdin=subprocess.DEVNULL)
        if result.returncode != 0 or not os.path.isfile(built):
            if result.returncode < 0:
                reason = "it stopped on signal %d" % -result.returncode
            else:
                lines = [line for line in result.stderr.splitlines()
                         if line.strip() and "GLib-" not in line]
                reason = lines[-1] if lines else "exit code %d" % result.returncode
            raise ImageError("wixl could not build the installer: %s" % reason)
        _put_names_in(built, wxs.placeholders, wxs.code_page, scratch)
        if _platform_of(image_dir, exe_name) == "arm64":
            _mark_arm64(built, scratch)
        if wxs.path_component:
            _add_environment(built, wxs.path_component, wxs.per_user, scratch)
        _add_service_config(built, package.services, wxs.service_components, scratch)
        _add_service_stop(built, package.services, service_stop, scratch)
        _add_shortcut_ids(built, image_dir, desktop.shortcuts, scratch)
        reproducible.reproducible_installer(built, reproducible.build_time(_files_of(image_dir)))
        if sign:
            sign(built)
        try:
            # A copy when the scratch directory is on another file system: an interrupted
            # copy must not stay.
            shutil.move(built, target)
        except BaseException:
            if os.path.exists(target):
                os.remove(target)
            raise


def build_installer(changes, request, package, *, image_dir, exe_name, signing_key, notes,
                    progress, desktop=None, service_stop=None):
    """Builds the installer `request` asks for, holding `package` and the image in
    `image_dir`, in a scratch directory beside its target (an undo.Changes records it);
    signs it with `signing_key` when given, and moves it into place. An installer of services
    needs `service_stop`, the path of SERVICE_STOP_HELPER."""
    scratch = changes.scratch_dir(os.path.dirname(request.path))
    built = os.path.join(scratch, os.path.basename(request.path))
    progress("building the installer")

    def sign(path):
        progress("signing the installer")
        notes.append(signing.sign_file(path, signing_key, os.path.basename(request.path)))
    build_msi(image_dir, exe_name, package, built, sign if signing_key else None, desktop,
              service_stop)
    changes.move_into_place(built, request.path)
