"""What an installer registers besides files: file types and links that open in one of the
image's launchers, and the install directory on PATH.

Classes go under Software\\Classes of HKCU (per user) or HKLM (per machine), never into a
user's own choice (UserChoice), which Windows keeps over any installer's. A ProgId's and a
scheme's keys are the installer's own and go whole on uninstall; of an extension's key, which
other applications share, only the values written here go. The PATH entry is a row of the
Environment table, which wixl cannot write (see environment_table)."""

import re
import unicodedata

ICONS_DIR = "app\\icons"
# Windows Installer's environment syntax: "=" sets the variable when installing, "-" takes
# what was added off when uninstalling, "*" means the system's variable. "[~]" stands for
# the value already there: the install directory goes in front of it, since Wine's msiexec
# leaves a separator behind when it takes an entry off the end.
USER_PATH_NAME, SYSTEM_PATH_NAME = "=-PATH", "=-*PATH"
PATH_VALUE = "[INSTALLDIR];[~]"
# Where RemoveEnvironmentStrings and WriteEnvironmentStrings run among the standard actions.
ENVIRONMENT_ACTIONS = (("RemoveEnvironmentStrings", 3300), ("WriteEnvironmentStrings", 5200))


def literal(text):
    """`text` as formatted text of the installer that stands for itself: brackets and braces
    would otherwise name properties."""
    return re.sub(r"([\[\]{}])", r"[\\\1]", text)


# Latin letters that no decomposition takes to ASCII: their usual spelling without the mark.
LATIN_LETTERS = str.maketrans({"ł": "l", "Ł": "L", "ø": "o", "Ø": "O", "đ": "d", "Đ": "D",
                               "ß": "ss", "æ": "ae", "Æ": "AE", "œ": "oe", "Œ": "OE",
                               "þ": "th", "Þ": "Th", "ð": "d", "Ð": "D", "ı": "i", "ħ": "h",
                               "Ħ": "H"})


def ascii_letters(text):
    """`text` in ASCII letters and digits: accented Latin letters lose their marks (ł is l,
    é is e), anything else goes."""
    decomposed = unicodedata.normalize("NFKD", text.translate(LATIN_LETTERS))
    return re.sub(r"[^A-Za-z0-9]", "", decomposed)


def prog_id(application, extension):
    """The ProgId of a file type: letters and digits of the application's name and of the
    type's first extension, at most 39 characters."""
    name = ascii_letters(application) or "App"
    return ("%s.%s" % (name[:28], ascii_letters(extension) or "file"))[:39]


def icon_file(association):
    """Where an association's own icon lies in the image."""
    return "%s\\%s.ico" % (ICONS_DIR, association.extensions[0])


class Registrations:
    """The registry values of the file types and links an installer registers, each group a
    component of its own: (component name, [(key, value name or None, formatted value)])."""

    def __init__(self, application, associations, protocols, per_user, file_reference):
        # `file_reference(path in the image)` gives the formatted text of an installed file's path.
        self.application = application
        self.associations = associations
        self.protocols = protocols
        self.root = "HKCU" if per_user else "HKLM"
        self.file = file_reference

    def _open_command(self, launcher):
        exe = self.file(launcher + ".exe")
        return '"%s",0' % exe, '"%s" "%%1"' % exe

    def components(self):
        groups = []
        for association in self.associations:
            groups.append(("association:" + prog_id(self.application, association.extensions[0]),
                           self._association_values(association)))
        for protocol in self.protocols:
            groups.append(("protocol:" + protocol.scheme.lower(), self._protocol_values(protocol)))
        return groups

    def _association_values(self, association):
        progid = prog_id(self.application, association.extensions[0])
        key = "Software\\Classes\\" + progid
        icon, command = self._open_command(association.launcher)
        if association.icon:
            icon = '"%s",0' % self.file(icon_file(association))
        description = association.description or "%s file (%s)" % (
            self.application, ", ".join("." + e for e in association.extensions))
        values = [(key, "-", None), (key, None, literal(description)),
                  (key + "\\DefaultIcon", None, icon),
                  (key + "\\shell\\open\\command", None, command)]
        for extension in association.extensions:
            extension_key = "Software\\Classes\\." + extension
            values += [(extension_key, None, progid),
                       (extension_key + "\\OpenWithProgids", progid, "")]
            if association.mime_type:
                values.append((extension_key, "Content Type", association.mime_type))
        return values

    def _protocol_values(self, protocol):
        key = "Software\\Classes\\" + protocol.scheme
        icon, command = self._open_command(protocol.launcher)
        description = protocol.description or "URL:%s %s link" % (self.application, protocol.scheme)
        return [(key, "-", None), (key, None, literal(description)), (key, "URL Protocol", ""),
                (key + "\\DefaultIcon", None, icon),
                (key + "\\shell\\open\\command", None, command)]


def environment_table(component, per_user):
    """The Environment table, as msitools' text form, that puts the install directory on the
    user's (or, per machine, the system's) PATH with `component` and takes it off with it."""
    name = USER_PATH_NAME if per_user else SYSTEM_PATH_NAME
    return ("Environment\tName\tValue\tComponent_\r\ns72\tl255\tL255\ts72\r\n"
            "Environment\tEnvironment\r\nPathEntry\t%s\t%s\t%s\r\n" % (name, PATH_VALUE, component))


def with_environment_actions(sequence):
    """The InstallExecuteSequence table `sequence` (msitools' text form) with the two actions
    that write and remove environment variables, unless it has them."""
    lines = sequence.rstrip("\r\n").split("\r\n") if "\r\n" in sequence else sequence.rstrip("\n").split("\n")
    present = {line.split("\t", 1)[0] for line in lines[3:]}
    lines += ["%s\t\t%d" % (action, number) for action, number in ENVIRONMENT_ACTIONS
              if action not in present]
    return "\r\n".join(lines) + "\r\n"
