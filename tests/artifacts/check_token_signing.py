"""scripts/package.sh signing with a key that never leaves a PKCS#11 token: a
SoftHSM2 token made for the test, its key pair generated inside it, a
throwaway CA and a code-signing certificate for the token's key."""

import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
EXES = ("quendarixinstall.exe", "quendarixservice.exe")
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
SPY = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so"
PIN = "5318-2207"
KEY = "pkcs11:token=release;object=signer;type=private"


def certificate(subject, public_key, issuer, issuer_key, usage):
    now = datetime.datetime(2020, 1, 1)
    builder = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
               .public_key(public_key).serial_number(x509.random_serial_number())
               .not_valid_before(now).not_valid_after(now + datetime.timedelta(days=36500)))
    if usage is None:
        builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
    else:
        builder = builder.add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def pem(*certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


class TokenSigning(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for path, package in ((SOFTHSM, "softhsm2"), (SPY, "opensc"), ("/usr/bin/pkcs11-tool", "opensc")):
            if not os.path.exists(path):
                raise AssertionError(f"token signing cannot be tested: no {path}; install the Debian package {package}")
        cls.work = tempfile.mkdtemp(prefix="quendarix-token-")
        cls.addClassCleanup(shutil.rmtree, cls.work)
        os.makedirs(os.path.join(cls.work, "tokens"))
        cls.conf = os.path.join(cls.work, "softhsm2.conf")
        with open(cls.conf, "w") as f:
            f.write(f"directories.tokendir = {cls.work}/tokens\nobjectstore.backend = file\nlog.level = ERROR\n")
        env = dict(os.environ, SOFTHSM2_CONF=cls.conf)
        tool = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "release"]
        run = lambda *command: subprocess.run(command, env=env, check=True, capture_output=True)  # noqa: E731
        run("softhsm2-util", "--init-token", "--free", "--label", "release", "--pin", PIN, "--so-pin", "0000")
        run(*tool, "--login", "--pin", PIN, "--keypairgen", "--key-type", "rsa:2048", "--label", "signer", "--id", "01")
        public = os.path.join(cls.work, "public.der")
        run(*tool, "--read-object", "--type", "pubkey", "--id", "01", "-o", public)
        with open(public, "rb") as f:
            token_key = serialization.load_der_public_key(f.read())

        ca_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        ca = certificate("Quendarix test CA", ca_key.public_key(), "Quendarix test CA", ca_key, None)
        leaf = certificate("Quendarix test signing", token_key, "Quendarix test CA", ca_key,
                           ExtendedKeyUsageOID.CODE_SIGNING)
        web = certificate("Quendarix web", token_key, "Quendarix test CA", ca_key, ExtendedKeyUsageOID.SERVER_AUTH)
        leaf_der = os.path.join(cls.work, "leaf.der")
        with open(leaf_der, "wb") as f:
            f.write(leaf.public_bytes(serialization.Encoding.DER))
        run(*tool, "--login", "--pin", PIN, "--write-object", leaf_der, "--type", "cert", "--label", "signer",
            "--id", "01")
        cls.ca, cls.web = (os.path.join(cls.work, name) for name in ("ca.pem", "web.pem"))
        for path, data in ((cls.ca, pem(ca)), (cls.web, pem(web, ca))):
            with open(path, "wb") as f:
                f.write(data)

        # A recording osslsigncode first on PATH; for the refused runs also a
        # cmake that only leaves a mark, so that a build would show.
        cls.tools, cls.recorded = os.path.join(cls.work, "tools"), os.path.join(cls.work, "osslsigncode.args")
        cls.no_build, cls.built = os.path.join(cls.work, "no-build"), os.path.join(cls.work, "built")
        for folder, name, script in (
                (cls.tools, "osslsigncode", f'printf "%s\\n" "$*" >>"{cls.recorded}"\nexec /usr/bin/osslsigncode "$@"'),
                (cls.no_build, "cmake", f'touch "{cls.built}"\nexit 1')):
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, name), "w") as f:
                f.write(f"#!/bin/sh\n{script}\n")
            os.chmod(os.path.join(folder, name), 0o755)

    def package(self, output, pin=PIN, key=KEY, module=SOFTHSM, tools=(), **settings):
        """Runs package.sh with the token key; answers the run and every
        command line seen in /proc while it ran."""
        spy_log = os.path.join(self.work, output + ".spy")
        env = {name: value for name, value in os.environ.items()
               if not name.startswith("QUENDARIX_SIGNING_") and name != "SOURCE_DATE_EPOCH"}
        env.update(SOFTHSM2_CONF=self.conf, PKCS11SPY=SOFTHSM, PKCS11SPY_OUTPUT=spy_log,
                   PATH=":".join([*tools, self.tools, os.environ["PATH"]]), QUENDARIX_SIGNING_PKCS11_MODULE=module,
                   QUENDARIX_SIGNING_PKCS11_KEY=key, QUENDARIX_SIGNING_PASSWORD=pin, **settings)
        seen, done = set(), threading.Event()

        def watch():
            while not done.is_set():
                for pid in filter(str.isdigit, os.listdir("/proc")):
                    try:
                        with open(f"/proc/{pid}/cmdline", "rb") as f:
                            seen.add(f.read().replace(b"\0", b" ").decode(errors="replace"))
                    except OSError:
                        pass
                done.wait(0.005)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            run = subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "package.sh"),
                                  os.path.join(self.work, output)], env=env, capture_output=True, text=True)
        finally:
            done.set()
            watcher.join()
        logins = 0
        if os.path.exists(spy_log):
            with open(spy_log, errors="replace") as f:
                logins = len(re.findall(r"^\d+: C_Login$", f.read(), re.M))
        return run, seen, logins

    def signings(self):
        """The command lines osslsigncode ran with so far."""
        if not os.path.exists(self.recorded):
            return ""
        with open(self.recorded) as f:
            return f.read()

    def files(self, output):
        """{name: bytes} of the programs in the ZIP and the MSI."""
        folder = os.path.join(self.work, output)
        found = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if name.endswith(".msi"):
                found["msi"] = data
            elif name.endswith(".zip"):
                with zipfile.ZipFile(os.path.join(folder, name)) as package:
                    for entry in package.namelist():
                        if entry.endswith(".exe"):
                            found[os.path.basename(entry)] = package.read(entry)
        return found

    def test_a_token_key_signs_a_release_that_verifies_reproduces_and_strips_to_the_build(self):
        run, seen, _ = self.package("signed")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(seen, "no command line was read")
        for command_line in seen:
            self.assertNotIn(PIN, command_line)
        recorded = self.signings()
        self.assertEqual(recorded.count("-pkcs11module"), 3, recorded)
        self.assertNotIn(PIN, recorded)

        signed = self.files("signed")
        again, _, _ = self.package("again")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertTrue(signed == self.files("again"), "signing with the token is not reproducible")
        for name, data in signed.items():
            with self.subTest(name):
                path = os.path.join(self.work, name + ".signed")
                with open(path, "wb") as f:
                    f.write(data)
                subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", path], check=True,
                               capture_output=True)
                if name in EXES:
                    subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", path + ".stripped"],
                                   check=True, capture_output=True)
                    with open(path + ".stripped", "rb") as stripped, open(os.path.join(PROGRAMS, name), "rb") as built:
                        self.assertTrue(stripped.read() == built.read(), name + " differs once unsigned")

    def test_bad_settings_end_before_the_build_with_one_line_and_a_wrong_pin_costs_one_login(self):
        pin_refused = ("the token refused the PIN (CKR_PIN_INCORRECT); not retried: tokens lock after a few wrong PINs")
        rows = [
            ("a wrong PIN", {"pin": "0000-0000"}, pin_refused, 1),
            ("a URI that matches no key", {"key": "pkcs11:token=release;object=nosuch;type=private"},
             "no private key matches the key's URI on token 'release' (object=nosuch)", 1),
            ("a token that is not there", {"key": "pkcs11:token=elsewhere;object=signer"},
             "no token matches the key's URI (token=elsewhere)", 0),
            ("a certificate not for code signing", {"QUENDARIX_SIGNING_CERTS": self.web},
             f"the certificate in '{self.web}' is not for code signing", 0),
            ("a module that does not load", {"module": self.conf},
             f"cannot load the PKCS#11 module '{self.conf}'", 0),
            ("a PKCS#12 key as well", {"QUENDARIX_SIGNING_PKCS12": self.ca},
             "both a PKCS#12 key (QUENDARIX_SIGNING_PKCS12) and a PKCS#11 key (QUENDARIX_SIGNING_PKCS11_MODULE, "
             "QUENDARIX_SIGNING_PKCS11_KEY) are set: set only one", 0),
            ("the module without the key", {"key": ""}, "QUENDARIX_SIGNING_PKCS11_MODULE is set but "
             "QUENDARIX_SIGNING_PKCS11_KEY is empty or not set: name the key's pkcs11: URI", 0),
        ]
        for name, settings, line, logins in rows:
            with self.subTest(name):
                signed_before = self.signings()
                module = SPY if "module" not in settings else settings.pop("module")
                output = "refused-" + name.replace(" ", "-")
                run, _, counted = self.package(output, module=module, tools=[self.no_build], **settings)
                self.assertEqual(run.returncode, 1)
                self.assertTrue(run.stderr.startswith("package.sh: " + line), run.stderr)
                self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
                self.assertEqual(counted, logins, "logins that reached the token")
                self.assertFalse(os.path.exists(os.path.join(self.work, output)), "something was written")
                self.assertFalse(os.path.exists(self.built), "the build started")
                self.assertEqual(self.signings(), signed_before, "signing started")


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
