"""Signs and packages an image built before: its exes signed in place, each replaced only
once all are signed and verified, and its installer written; or nothing changed at all."""

import os
import shutil

from . import image, installer, pe, registrations, signing, versioninfo
from .errors import ImageError, UsageError, require_file
from .undo import Changes


def launchers_of(image_dir):
    """The names of the image's launchers: each NAME.exe beside app/NAME.cfg."""
    names = []
    for entry in sorted(os.listdir(image_dir)):
        stem, extension = os.path.splitext(entry)
        if extension.lower() == ".exe" and os.path.isfile(os.path.join(image_dir, "app", stem + ".cfg")):
            names.append(stem)
    if not names:
        raise ImageError("--image %s is not an image: it holds no NAME.exe beside app/NAME.cfg" % image_dir)
    return names


def pick_launcher(image_dir, names, name):
    if name:
        if name not in names:
            raise ImageError("--image %s has no launcher %s.exe (it has %s)" %
                             (image_dir, name, ", ".join(n + ".exe" for n in names)))
        return name
    if len(names) > 1:
        raise UsageError("--image %s holds several launchers (%s): give --name for the one the "
                         "installer's shortcut starts" % (image_dir, ", ".join(n + ".exe" for n in names)))
    return names[0]


def with_exe_defaults(branding, exe, what):
    """`branding` with what it leaves out taken from the exe's own version information."""
    with open(exe, "rb") as f:
        version = versioninfo.read_version(pe.PEImage(f.read(), what).resources())
    strings, fixed_version = {}, None
    if version:
        fixed, tables = version
        strings = next(iter(tables.values()), {})
        if fixed:
            fixed_version = versioninfo.version_text(fixed.product_version_ms, fixed.product_version_ls)
    return image.Branding(version=branding.version or strings.get("ProductVersion") or fixed_version,
                          vendor=branding.vendor or strings.get("CompanyName") or None,
                          description=branding.description or strings.get("FileDescription"),
                          product_name=branding.product_name or strings.get("ProductName"))


# The call that makes a program a Windows service: the service launcher's, and no other's.
SERVICE_DISPATCHER = ("advapi32.dll", "StartServiceCtrlDispatcherW")


def check_installable_alone(image_dir, names):
    """Raises ImageError when the image holds what an installer built from the image alone
    would leave out: a service, whose name, start and account only the image's assembly
    knows, or file types, whose icons the image carries but whose registration only its
    description holds. Such an installer is built in the run that assembles the image."""
    services = []
    for name in names:
        with open(os.path.join(image_dir, name + ".exe"), "rb") as f:
            exe = pe.PEImage(f.read(), "--image %s: %s.exe" % (image_dir, name))
        if SERVICE_DISPATCHER in exe.imported_functions():
            services.append(name + ".exe")
    icons = os.path.join(image_dir, *registrations.ICONS_DIR.split("\\"))
    file_types = sorted("." + os.path.splitext(entry)[0] for entry in os.listdir(icons)
                        if entry.lower().endswith(".ico")) if os.path.isdir(icons) else []
    missing = []
    if services:
        missing.append("the service%s %s (the image does not record how a service is "
                       "installed: its name, start and account)" % (
                           "s" if len(services) > 1 else "", ", ".join(services)))
    if file_types:
        missing.append("the file type%s %s (%s holds their icons; the image does not record "
                       "how they are registered)" % ("s" if len(file_types) > 1 else "",
                                                     ", ".join(file_types), registrations.ICONS_DIR))
    if missing:
        raise ImageError("--image %s: an installer of this image alone would leave out %s; build "
                         "the installer in the run that assembles the image (--msi with its "
                         "options, or msi in its description file)" % (image_dir, " and ".join(missing)))


def unsigned_exes(image_dir, names, notes):
    """The paths of the image's exes that are not signed yet; the signed ones get a note."""
    paths = []
    for name in names:
        path = os.path.join(image_dir, name + ".exe")
        with open(path, "rb") as f:
            exe = pe.PEImage(f.read(), "--image %s: %s.exe" % (image_dir, name))
        if exe.directory(pe.DIRECTORY_SECURITY)[1]:
            notes.append("%s.exe is signed already; it is kept as it is" % name)
        else:
            paths.append(path)
    return paths


def package_existing(image_dir, name, branding, signing_key, msi_request,
                     progress=lambda step: None):
    """Signs the unsigned exes of the image in `image_dir` with `signing_key` (when given)
    and writes the installer `msi_request` asks for (an installer.MsiRequest, when given);
    or raises ImageError
    (or is interrupted) and leaves the file system as it was. Returns the path written last
    and the notes for the user."""
    image_dir = os.path.abspath(image_dir)
    require_file(image_dir, "--image", directory=True)
    if not (msi_request or signing_key):
        raise UsageError("--image needs --msi or signing options: there is nothing to do")
    names = launchers_of(image_dir)
    if name and name not in names:
        pick_launcher(image_dir, names, name)
    notes = []
    msi_package = None
    if msi_request:
        check_installable_alone(image_dir, names)
        main = pick_launcher(image_dir, names, name)
        exe = os.path.join(image_dir, main + ".exe")
        defaults = with_exe_defaults(branding, exe, "--image %s: %s.exe" % (image_dir, main))
        msi_package = installer.plan_package(msi_request, defaults, main, notes)
    installer.check_target(msi_request, image_dir)
    to_sign = unsigned_exes(image_dir, names, notes) if signing_key else []
    if to_sign:
        signing.check_key(signing_key, to_sign[0], os.path.basename(to_sign[0]))
    with Changes() as changes:
        scratch = changes.scratch_dir(os.path.dirname(image_dir))
        signed = []
        for path in to_sign:
            progress("signing %s" % os.path.basename(path))
            copy = os.path.join(scratch, os.path.basename(path))
            shutil.copy2(path, copy)
            notes.append(signing.sign_file(copy, signing_key))
            signed.append((copy, path))
        for copy, path in signed:
            changes.replace_file(copy, path, scratch)
        if msi_request:
            installer.build_installer(changes, msi_request, msi_package, image_dir=image_dir,
                                      exe_name=main + ".exe", signing_key=signing_key,
                                      notes=notes, progress=progress)
    return (msi_request.path if msi_request else image_dir), [note for note in notes if note]
