"""Authenticode signing with osslsigncode: the last step, after every edit of the file."""

import copy
import os
import re
import shutil
import subprocess
import tempfile

from .errors import ImageError, require_file, require_program

SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
DIGEST_LINE = re.compile(r"^(Current|Calculated) message digest\s*:\s*(\S+)", re.M)


class SigningKey:
    """Either a PEM certificate (chain) and key, or a PKCS#12 file with its password."""

    def __init__(self, cert=None, key=None, pkcs12=None, password=None, timestamp_url=None):
        self.cert = cert
        self.key = key
        self.pkcs12 = pkcs12
        self.password = password
        self.timestamp_url = timestamp_url

    @classmethod
    def from_options(cls, cert, key, pkcs12, password_env, timestamp_url):
        """None when no signing was asked for; raises ImageError for an incomplete request."""
        if not (cert or key or pkcs12 or password_env):
            if timestamp_url:
                raise ImageError("--timestamp-url needs a signing key")
            return None
        if pkcs12:
            if cert or key:
                raise ImageError("give either --sign-pkcs12 or --sign-cert with --sign-key, not both")
            require_file(pkcs12, "PKCS#12 file")
            password = None
            if password_env:
                if password_env not in os.environ:
                    raise ImageError("--sign-password-env names %s, which is not set" % password_env)
                password = os.environ[password_env]
            return cls(pkcs12=pkcs12, password=password, timestamp_url=timestamp_url)
        if not (cert and key):
            raise ImageError("signing needs both --sign-cert and --sign-key (or --sign-pkcs12)")
        if password_env:
            raise ImageError("--sign-password-env goes with --sign-pkcs12")
        require_file(cert, "certificate")
        require_file(key, "key")
        return cls(cert=cert, key=key, timestamp_url=timestamp_url)


def osslsigncode():
    return require_program("osslsigncode", "signing")


def _run(command):
    return subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)


def _failure_reason(output):
    if "key values mismatch" in output or "consistency of a private key" in output:
        return "the key does not match the certificate"
    if "mac verify failure" in output.lower() or "invalid password" in output.lower():
        return "the PKCS#12 password is wrong"
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    return lines[0] if lines else "osslsigncode failed without a word"


def sign_file(path, signing_key):
    """Signs `path` in place and verifies the result. Returns a note for the user when the
    signature is sound but its certificate is not trusted on this machine, else None."""
    tool = osslsigncode()
    with tempfile.TemporaryDirectory(prefix="corvela-sign-") as scratch:
        # Named as the file itself, for what osslsigncode and the notes say about it.
        signed = os.path.join(scratch, os.path.basename(path))
        command = [tool, "sign", "-h", "sha256", "-in", path, "-out", signed]
        if signing_key.pkcs12:
            command += ["-pkcs12", signing_key.pkcs12]
            if signing_key.password is not None:
                # Through a private file, not the command line, which others can read.
                password_file = os.path.join(scratch, "password")
                with open(os.open(password_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                    f.write(signing_key.password)
                command += ["-readpass", password_file]
        else:
            command += ["-certs", signing_key.cert, "-key", signing_key.key]
        if signing_key.timestamp_url:
            command += ["-ts", signing_key.timestamp_url]
        result = _run(command)
        if result.returncode != 0 or not os.path.isfile(signed):
            raise ImageError("signing %s failed: %s" %
                             (os.path.basename(path), _failure_reason(result.stdout + result.stderr)))
        note = verify(signed)
        shutil.copyfile(signed, path)
    return note


def check_key(signing_key, sample, name):
    """Signs a scratch copy of the unsigned executable `sample`, called `name`, without a
    time stamp: a key that does not fit its certificate or a wrong password shows before
    any work is done."""
    trial_key = copy.copy(signing_key)
    trial_key.timestamp_url = None
    with tempfile.TemporaryDirectory(prefix="corvela-sign-") as scratch:
        trial = os.path.join(scratch, name)
        shutil.copyfile(sample, trial)
        sign_file(trial, trial_key)


def verify(path):
    """Raises ImageError unless `path` carries an intact signature; returns a note when the
    certificate does not chain to an authority this machine trusts (as a test certificate
    does not), since Windows would not trust it either."""
    command = [osslsigncode(), "verify", "-in", path, "-ignore-cdp"]
    if os.path.isfile(SYSTEM_CA_BUNDLE):
        command += ["-CAfile", SYSTEM_CA_BUNDLE]
    result = _run(command)
    output = result.stdout + result.stderr
    if result.returncode == 0:
        return None
    digests = dict(DIGEST_LINE.findall(output))
    if digests.get("Current") and digests.get("Current") == digests.get("Calculated"):
        return ("signed %s; its certificate is not trusted by this machine's certificate store, "
                "so Windows will not trust it either unless it chains to a trusted authority" %
                os.path.basename(path))
    raise ImageError("the signature of %s does not verify: %s" %
                     (os.path.basename(path), _failure_reason(output)))
