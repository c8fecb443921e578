"""scripts/package.sh signing with a key that never leaves a PKCS#11 token: a
SoftHSM2 token made for the test, its key pair generated inside it, a
throwaway CA, a code-signing certificate for the token's key beside an
expired one it renewed, and an RFC 3161 time-stamp server on the loopback
with a CA of its own."""

import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import types
import unittest
import zipfile

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import ExtendedKeyUsageOID

sys.path.insert(0, os.path.join(os.environ["QUENDARIX_SOURCE_DIR"], "scripts", "release"))
import pkcs11_key  # noqa: E402
import PyKCS11  # noqa: E402
import product  # noqa: E402
from keys import certificate, new_key, pem, time_stamp_server  # noqa: E402
from tree import commit_copy  # noqa: E402

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
EXES = ("quendarixinstall.exe", "quendarixservice.exe")
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
SPY = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so"
PIN = "5318-2207"
KEY = "pkcs11:token=release;object=signer;type=private"
# Build tools whose environment and command line a recording wrapper keeps.
BUILD_TOOLS = ("cmake", "cpack", "x86_64-w64-mingw32-g++", "x86_64-w64-mingw32-gcc", "x86_64-w64-mingw32-windres",
               "wixl", "msibuild", "strip-nondeterminism")


def fingerprint(certificate_):
    return certificate_.fingerprint(hashes.SHA256()).hex(":").upper()


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
        keys = {}
        for label, key_id in (("signer", "01"), ("old", "02")):
            run(*tool, "--login", "--pin", PIN, "--keypairgen", "--key-type", "rsa:2048", "--label", label,
                "--id", key_id)
            public = os.path.join(cls.work, label + ".der")
            run(*tool, "--read-object", "--type", "pubkey", "--id", key_id, "-o", public)
            with open(public, "rb") as f:
                keys[label] = serialization.load_der_public_key(f.read())

        # The signer's key holds an expired certificate, written first, and
        # its renewal; the old key only an expired one.
        ca_key = new_key()
        ca = certificate("Quendarix test CA", ca_key.public_key(), "Quendarix test CA", ca_key, None)
        signing = ExtendedKeyUsageOID.CODE_SIGNING
        expired = certificate("Quendarix test signing 2020", keys["signer"], "Quendarix test CA", ca_key, signing,
                              days=460)
        leaf = certificate("Quendarix test signing", keys["signer"], "Quendarix test CA", ca_key, signing)
        old = certificate("Quendarix old signing", keys["old"], "Quendarix test CA", ca_key, signing, days=460)
        web = certificate("Quendarix web", keys["signer"], "Quendarix test CA", ca_key, ExtendedKeyUsageOID.SERVER_AUTH)
        for number, (cert, label, key_id) in enumerate(((expired, "signer", "01"), (leaf, "signer", "01"),
                                                        (old, "old", "02"))):
            der = os.path.join(cls.work, f"cert{number}.der")
            with open(der, "wb") as f:
                f.write(cert.public_bytes(serialization.Encoding.DER))
            run(*tool, "--login", "--pin", PIN, "--write-object", der, "--type", "cert", "--label", label,
                "--id", key_id)
        cls.leaf, cls.expired, cls.old = fingerprint(leaf), fingerprint(expired), old
        cls.ca, cls.web = (os.path.join(cls.work, name) for name in ("ca.pem", "web.pem"))
        for path, data in ((cls.ca, pem(ca)), (cls.web, pem(web, ca))):
            with open(path, "wb") as f:
                f.write(data)

        # The time-stamp server, with a CA of its own.
        cls.tsa_url, cls.tsa_ca, _, _ = time_stamp_server(cls, os.path.join(cls.work, "tsa"))

        # A recording osslsigncode first on PATH; for the refused runs also a
        # cmake that only leaves a mark, so that a build would show.
        cls.tools, cls.recorded = os.path.join(cls.work, "tools"), os.path.join(cls.work, "osslsigncode.args")
        cls.no_build, cls.built = os.path.join(cls.work, "no-build"), os.path.join(cls.work, "built")
        # And, for a build of its own, build tools that record their
        # environment and command line.
        cls.build_tools, cls.environments = os.path.join(cls.work, "build-tools"), os.path.join(cls.work, "env")
        os.makedirs(cls.environments)
        wrappers = [(cls.tools, "osslsigncode", f'printf "%s\\n" "$*" >>"{cls.recorded}"\nexec /usr/bin/osslsigncode "$@"'),
                    (cls.no_build, "cmake", f'touch "{cls.built}"\nexit 1')]
        wrappers += [(cls.build_tools, tool, f'{{ env; printf "%s\\n" "$*"; }} >>"{cls.environments}/{tool}"\n'
                                             f'exec /usr/bin/{tool} "$@"') for tool in BUILD_TOOLS]
        for folder, name, script in wrappers:
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, name), "w") as f:
                f.write(f"#!/bin/sh\n{script}\n")
            os.chmod(os.path.join(folder, name), 0o755)

    def package(self, output, pin=PIN, key=KEY, module=SOFTHSM, tools=(), timestamp=None, source=SOURCE_DIR,
                **settings):
        """Runs package.sh with the token key, time-stamped by the servers
        given, else (timestamp None) on purpose without a time stamp;
        answers the run and every command line seen in /proc while it ran."""
        spy_log = os.path.join(self.work, output + ".spy")
        env = {name: value for name, value in os.environ.items()
               if not name.startswith("QUENDARIX_SIGNING_") and name != "SOURCE_DATE_EPOCH"}
        if timestamp is None:
            env["QUENDARIX_SIGNING_NO_TIMESTAMP"] = "1"
        elif timestamp:
            env["QUENDARIX_SIGNING_TIMESTAMP_URL"] = timestamp
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
            run = subprocess.run(["bash", os.path.join(source, "scripts", "package.sh"),
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
        signed_before = self.signings()
        run, seen, _ = self.package("signed")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(seen, "no command line was read")
        for command_line in seen:
            self.assertNotIn(PIN, command_line)
        recorded = self.signings()[len(signed_before):]
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
            ("no time-stamp server and no opt-out", {"timestamp": ""}, "a token key needs a time-stamp server: "
             "code-signing certificates last at most 460 days, and a signature without an RFC 3161 time stamp stops "
             "verifying when its certificate expires; set QUENDARIX_SIGNING_TIMESTAMP_URL, or "
             "QUENDARIX_SIGNING_NO_TIMESTAMP=1 to sign without one on purpose", 0),
            ("only an expired certificate for the key", {"key": "pkcs11:token=release;object=old;type=private"},
             f"the signing certificate on the token is not valid now ('Quendarix old signing' valid 2020-01-01 to "
             f"{self.old.not_valid_after:%Y-%m-%d}): renew it", 1),
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

    def test_a_time_stamped_release_keeps_the_pin_from_the_build_reproduces_and_says_who_signed(self):
        # A build of its own, in a copy of the tree, through tools that
        # record their environment; the first time-stamp server fails.
        source = commit_copy(SOURCE_DIR, os.path.join(self.work, "stamped-source"))
        run, seen, _ = self.package("stamped", timestamp=f"{self.tsa_url}fail {self.tsa_url}", source=source,
                                    tools=[self.build_tools])
        self.assertEqual(run.returncode, 0, run.stderr)
        for command_line in seen:
            self.assertNotIn(PIN, command_line)
        recorded = {tool: open(os.path.join(self.environments, tool)).read() for tool in os.listdir(self.environments)}
        self.assertLessEqual(set(BUILD_TOOLS) - {"x86_64-w64-mingw32-gcc"}, set(recorded), "a build tool ran unseen")
        for tool, environments in recorded.items():
            self.assertNotIn(PIN, environments, tool)
            self.assertNotIn("QUENDARIX_SIGNING_PASSWORD", environments, tool)

        for name, data in self.files("stamped").items():
            with self.subTest(name):
                path = os.path.join(self.work, name + ".stamped")
                with open(path, "wb") as f:
                    f.write(data)
                verified = subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-TSA-CAfile", self.tsa_ca,
                                           "-in", path], capture_output=True, text=True)
                self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                self.assertIn("Timestamp Server Signature verification: ok", verified.stdout)

        # The rebuild check: reproduced, signed by the renewal, not by the
        # certificate it replaced.
        verify = [os.path.join(source, "scripts", "release", "verify.sh"), "--tsa-root", self.tsa_ca, "--publisher"]
        release = os.path.join(self.work, "stamped")
        done = subprocess.run(["bash", *verify, self.leaf.lower(), release], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1:]), (0, ["reproduced"]),
                         done.stdout + done.stderr)
        done = subprocess.run(["bash", *verify, self.expired, release], capture_output=True, text=True)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertNotIn("Rebuilding", done.stdout)
        top = f"quendarix-{product.VERSION}"
        self.assertEqual(re.findall(r"^(?:signed by|not signed|signature does not).*", done.stdout, re.M), [
            f"signed by another certificate: {name} ({self.leaf})"
            for name in (f"{top}-win64/quendarixinstall.exe", f"{top}-win64/quendarixservice.exe", f"{top}-x64.msi")])

    def test_a_time_stamp_server_that_fails_ends_the_run_with_nothing_written(self):
        run, _, _ = self.package("unstamped", timestamp=f"{self.tsa_url}fail")
        self.assertEqual(run.returncode, 1, run.stderr)
        # As OpenSSL 3.0 (Debian 12) and 3.5 (Debian 13) tell the failure.
        self.assertRegex(run.stderr.splitlines()[-1], "^package.sh: no time-stamp server gave quendarixinstall.exe a "
                         f"valid time stamp: {re.escape(self.tsa_url)}fail "
                         r"\((HTTP 500|an answer of type text/html;charset=utf-8, not a time stamp)\)$")
        self.assertFalse(os.path.exists(os.path.join(self.work, "unstamped")), "something was written")

    def test_the_pin_goes_only_to_a_token_that_needs_it_and_never_on_its_last_try(self):
        required = PyKCS11.CKF_LOGIN_REQUIRED
        rows = [  # flags, PIN: the PINs presented, and the line or whether it logged in
            ("no login needed", 0, PIN, [], False),
            ("a login needed", required, PIN, [PIN], True),
            ("the final try", required | PyKCS11.CKF_USER_PIN_FINAL_TRY, PIN, [],
             "the token says one more wrong PIN locks it (CKF_USER_PIN_FINAL_TRY): nothing was tried; check the PIN "
             "with the token's own tool first"),
            ("a locked PIN", required | PyKCS11.CKF_USER_PIN_LOCKED, PIN, [],
             "the token's PIN is locked: nothing was tried (unlock it with the token's security officer PIN)"),
            ("no PIN given", required, "", [], "the token needs a PIN: set QUENDARIX_SIGNING_PASSWORD"),
        ]
        for name, flags, pin, presented, outcome in rows:
            with self.subTest(name):
                logins, said = [], io.StringIO()
                session = types.SimpleNamespace(login=logins.append)
                pkcs11_key.MESSAGES = said
                try:
                    answer = pkcs11_key.login_once(session, types.SimpleNamespace(flags=flags), pin)
                except SystemExit as ended:
                    self.assertEqual(ended.code, 1)
                    answer = said.getvalue().rstrip("\n")
                self.assertEqual((logins, answer), (presented, outcome))


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
