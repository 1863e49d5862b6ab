"""Update feeds: the configuration keys that let an image update itself, and the signed feed
of a built image that its installed copies update from."""

import base64
import hashlib
import json
import os
import re
import subprocess
from dataclasses import dataclass
from typing import Optional

from .errors import ImageError, UsageError, require_file
from .undo import Changes

FEED_FORMAT = 1
DEFAULT_CHANNEL = "stable"
CHANNEL = re.compile(r"[a-z0-9][a-z0-9._-]{0,31}")
URL = re.compile(r"https?://[^\s;]+")
# The DER SubjectPublicKeyInfo of a P-256 public key (id-ecPublicKey, prime256v1) up to the
# 65 bytes of its uncompressed point: the only kind of key Java 8 and Windows' CNG both check.
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
P256_SPKI_SIZE = len(P256_SPKI_PREFIX) + 65


@dataclass(frozen=True, kw_only=True)
class UpdateSource:
    """Where an image's updates come from: the directory its feeds are published at, the
    channel it follows, and the public key (base64 DER) their signatures are checked with."""
    url: str
    channel: str
    public_key: str
    version: str

    @property
    def feed_url(self):
        return "%s/%s.json" % (self.url.rstrip("/"), self.channel)

    def cfg_lines(self):
        # The version is what the application compares the feed's with.
        return ["app.version=" + self.version, "app.update-url=" + self.feed_url,
                "app.update-key=" + self.public_key]


def check_channel(channel):
    if not CHANNEL.fullmatch(channel):
        raise ImageError("--update-channel %r is not a name of lowercase letters, digits, '.', "
                         "'_' and '-' (at most 32, starting with a letter or digit)" % channel)
    return channel


def check_url(url):
    if not URL.fullmatch(url):
        raise ImageError("--update-url %r is not an http:// or https:// address" % url)
    return url


def public_key(key_path):
    """The base64 DER public key of the P-256 private key in the PEM file `key_path`."""
    require_file(key_path, "--update-key")
    try:
        result = subprocess.run(["openssl", "pkey", "-in", key_path, "-passin", "pass:", "-pubout",
                                 "-outform", "DER"], stdin=subprocess.DEVNULL, capture_output=True)
    except FileNotFoundError:
        raise ImageError("--update-key needs the openssl command (Debian's openssl package)")
    spki = result.stdout
    if result.returncode != 0:
        reason = result.stderr.decode("utf-8", "replace").strip().splitlines()
        raise ImageError("--update-key %s: not a private key openssl can read without a pass "
                         "phrase (%s)" % (key_path, reason[0] if reason else "no reason given"))
    if len(spki) != P256_SPKI_SIZE or not spki.startswith(P256_SPKI_PREFIX):
        raise ImageError("--update-key %s is not an ECDSA P-256 key (make one with: openssl "
                         "ecparam -name prime256v1 -genkey -noout -out KEY.pem)" % key_path)
    return base64.b64encode(spki).decode("ascii")


def update_source(url, key_path, channel, package, version):
    """The UpdateSource the options describe, or None without --update-url; checked."""
    if url is None:
        if key_path is not None or channel is not None:
            raise UsageError("--update-key and --update-channel go with --update-url when "
                             "assembling an image")
        return None
    check_url(url)
    if key_path is None:
        raise UsageError("--update-url needs --update-key, the key its feeds are signed with")
    if package is None:
        raise UsageError("--update-url needs --package: staged updates are kept in the user's "
                         "folder of the package")
    if version is None:
        raise UsageError("--update-url needs --app-version: a feed offers a newer version")
    return UpdateSource(url=url, channel=check_channel(channel or DEFAULT_CHANNEL),
                        public_key=public_key(key_path), version=version)


@dataclass(frozen=True, kw_only=True)
class Feed:
    """One version of a product on one channel: every file of its image."""
    product: str
    channel: str
    version: str
    notes: str
    files: tuple  # (relative path with "/", sha256 hex, size), sorted by path

    def text(self):
        """The bytes that are signed: sorted keys, no blanks, UTF-8."""
        return json.dumps({
            "format": FEED_FORMAT, "product": self.product, "channel": self.channel,
            "version": self.version, "notes": self.notes,
            "files": [{"path": p, "sha256": h, "size": s} for p, h, s in self.files],
        }, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def image_files(image_dir):
    """(relative path, sha256, size) of every file of the image, sorted by path."""
    files = []
    for root, dirs, names in os.walk(image_dir):
        dirs.sort()
        for name in names:
            path = os.path.join(root, name)
            if os.path.islink(path):
                raise ImageError("--image %s holds a symbolic link, %s: an image for Windows "
                                 "holds files" % (image_dir, path))
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
            files.append((os.path.relpath(path, image_dir).replace(os.sep, "/"),
                          digest.hexdigest(), os.path.getsize(path)))
    return tuple(sorted(files))


def image_package(image_dir):
    path = os.path.join(image_dir, "app", ".package")
    if not os.path.isfile(path):
        raise ImageError("--image %s has no package (app/.package): build it with --package "
                         "and --update-url so that it can update itself" % image_dir)
    with open(path, encoding="utf-8-sig") as f:
        return f.readline().rstrip("\r\n")


def cfg_update_values(image_dir, names):
    """The app.version, app.update-url and app.update-key each launcher's configuration holds."""
    values = {}
    for name in names:
        found = {}
        with open(os.path.join(image_dir, "app", name + ".cfg"), encoding="utf-8-sig") as f:
            for line in f:
                key, _, value = line.rstrip("\r\n").partition("=")
                if key in ("app.version", "app.update-url", "app.update-key"):
                    found[key] = value
        values[name] = found
    return values


def check_image_trusts(image_dir, names, key, channel):
    """Refuses a feed its image would refuse: signed with another key, or for another channel."""
    for name, found in cfg_update_values(image_dir, names).items():
        if "app.update-key" not in found:
            raise ImageError("--image %s: app/%s.cfg has no app.update-key: build the image with "
                             "--update-url and --update-key so that it checks for updates" %
                             (image_dir, name))
        if found["app.update-key"] != key:
            raise ImageError("--update-key is not the key app/%s.cfg of --image %s trusts" %
                             (name, image_dir))
        if not found.get("app.update-url", "").endswith("/%s.json" % channel):
            raise ImageError("--update-channel %s: app/%s.cfg of --image %s follows %s" %
                             (channel, name, image_dir, found.get("app.update-url")))


def image_version(image_dir, names):
    """The version the image's configurations name (app.version), the same in all."""
    versions = {found.get("app.version") for found in cfg_update_values(image_dir, names).values()}
    if len(versions) != 1 or None in versions:
        raise ImageError("--image %s: its launchers' configurations do not name one version "
                         "(app.version): build it with --app-version and --update-url" % image_dir)
    return versions.pop()


def sign(key_path, data_path, signature_path):
    """An ECDSA signature (SHA-256, DER) of the file, as Java's SHA256withECDSA checks it."""
    result = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_path, "-passin", "pass:",
                             "-out", signature_path, data_path],
                            stdin=subprocess.DEVNULL, capture_output=True)
    if result.returncode != 0:
        raise ImageError("--update-key %s: openssl could not sign the feed: %s" % (
            key_path, result.stderr.decode("utf-8", "replace").strip()))


@dataclass(frozen=True, kw_only=True)
class FeedRequest:
    image_dir: str
    launcher_names: tuple
    feed_dir: str
    key_path: str
    channel: Optional[str]
    notes_path: Optional[str]


def write_feed(request, progress=lambda step: None):
    """Publishes the image as the newest version of its channel in `feed_dir`: each file not
    there yet under files/SHA256, then CHANNEL.json and its signature CHANNEL.json.sig. Or
    raises ImageError (or is interrupted) and leaves the feed directory as it was. Returns
    the feed's path."""
    channel = check_channel(request.channel or DEFAULT_CHANNEL)
    key = public_key(request.key_path)
    check_image_trusts(request.image_dir, request.launcher_names, key, channel)
    version = image_version(request.image_dir, request.launcher_names)
    notes = ""
    if request.notes_path:
        require_file(request.notes_path, "--update-notes")
        with open(request.notes_path, encoding="utf-8-sig") as f:
            notes = f.read()
    progress("hashing the files of %s" % request.image_dir)
    feed = Feed(product=image_package(request.image_dir), channel=channel,
                version=version, notes=notes, files=image_files(request.image_dir))
    feed_path = os.path.join(request.feed_dir, channel + ".json")
    with Changes() as changes:
        store = os.path.join(request.feed_dir, "files")
        changes.make_dirs(store)
        scratch = changes.scratch_dir(request.feed_dir)
        for path, digest, _ in feed.files:
            stored = os.path.join(store, digest)
            if not os.path.exists(stored):
                progress("storing %s" % path)
                copy = os.path.join(scratch, digest)
                with open(os.path.join(request.image_dir, *path.split("/")), "rb") as source, \
                        open(copy, "wb") as target:
                    for block in iter(lambda: source.read(1 << 20), b""):
                        target.write(block)
                changes.move_into_place(copy, stored)
        written = os.path.join(scratch, channel + ".json")
        with open(written, "wb") as f:
            f.write(feed.text())
        sign(request.key_path, written, written + ".sig")
        # The signature first: a client that reads the feed between the two renames sees a
        # signature that does not match, and tries again later.
        for name in (channel + ".json.sig", channel + ".json"):
            target = os.path.join(request.feed_dir, name)
            if os.path.exists(target):
                changes.replace_file(os.path.join(scratch, name), target, scratch)
            else:
                changes.move_into_place(os.path.join(scratch, name), target)
    return feed_path
