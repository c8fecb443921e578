"""What a release says it holds, and the one-command check that rebuilds it:
the SBOM against the CycloneDX 1.6 schema (the CycloneDX project's own
validator) and against the build's link maps, the notices in both packages,
and scripts/release/verify.sh on a fresh, a signed and a tampered release."""

import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import pefile

from tree import commit_copy

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
VERSION = os.environ["QUENDARIX_VERSION"]
EXES = ("quendarixinstall.exe", "quendarixservice.exe")
# The CycloneDX project's JavaScript library and the schema validator it uses.
VALIDATOR = ("@cyclonedx/cyclonedx-library@10.3.0", "ajv@8.17.1", "ajv-formats@3.0.1", "ajv-formats-draft2019@1.6.1")


def linked_packages(map_path):
    """The Debian packages whose archives or objects the map says were linked."""
    with open(map_path, errors="replace") as f:
        text = f.read()
    files = set(re.findall(r"^(/\S+\.a)\(", text.split("Discarded input sections")[0], re.M))
    files |= set(re.findall(r"^LOAD (/\S+\.o)$", text, re.M))
    owners = subprocess.run(["dpkg-query", "-S", *map(os.path.realpath, files)], check=True, capture_output=True,
                            text=True).stdout
    return {line.split(":")[0] for line in owners.splitlines()}


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class ReleaseContents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quendarix-contents-")
        cls.addClassCleanup(shutil.rmtree, cls.work)
        # This tree as a commit of its own, uncommitted changes included, so
        # that the rebuild check has a commit to rebuild.
        cls.source = commit_copy(SOURCE_DIR, os.path.join(cls.work, "source"))
        cls.release = cls.package("release")

    @classmethod
    def package(cls, name, **environment):
        env = {key: value for key, value in os.environ.items()
               if not key.startswith("QUENDARIX_SIGNING_") and key != "SOURCE_DATE_EPOCH"}
        done = run("bash", os.path.join(cls.source, "scripts", "package.sh"), os.path.join(cls.work, name),
                   env=dict(env, **environment))
        assert done.returncode == 0, done.stderr
        return os.path.join(cls.work, name)

    def verify(self, release):
        return run("bash", os.path.join(self.source, "scripts", "release", "verify.sh"), release)

    def read(self, release, suffix):
        with open(os.path.join(release, f"quendarix-{VERSION}{suffix}"), "rb") as f:
            return f.read()

    def test_the_sbom_is_valid_cyclonedx_and_lists_what_the_link_maps_say(self):
        modules = os.path.join(os.path.dirname(PROGRAMS), "sbom-validator")
        if not os.path.isdir(os.path.join(modules, "node_modules", "@cyclonedx")):
            run("npm", "install", "--no-audit", "--no-fund", "--silent", "--prefix", modules, *VALIDATOR, check=True)
        sbom_path = os.path.join(self.release, f"quendarix-{VERSION}.cdx.json")
        validated = run("node", os.path.join(os.path.dirname(__file__), "validate_sbom.js"), sbom_path,
                        env=dict(os.environ, NODE_PATH=os.path.join(modules, "node_modules")))
        self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)

        sbom = json.loads(self.read(self.release, ".cdx.json"))
        components = {c["bom-ref"]: c for c in sbom["components"]}
        depends = {d["ref"]: d["dependsOn"] for d in sbom["dependencies"]}
        self.assertEqual(depends["quendarix"], [f"file:{name}" for name in EXES])
        folder = os.path.join(self.work, "unpacked")
        with zipfile.ZipFile(io.BytesIO(self.read(self.release, "-win64.zip"))) as package:
            package.extractall(folder)
        build = os.path.join(self.source, "build", "windows")
        for name in EXES:
            with self.subTest(name):
                with open(os.path.join(folder, f"quendarix-{VERSION}-win64", name), "rb") as f:
                    self.assertEqual(components[f"file:{name}"]["hashes"], [
                        {"alg": "SHA-256", "content": hashlib.sha256(f.read()).hexdigest()}])
                linked = {components[ref]["name"] for ref in depends[f"file:{name}"] if ref.startswith("pkg:deb/")}
                self.assertEqual(linked, linked_packages(os.path.join(build, "maps", name[:-4] + ".map")))
                dlls = {components[ref]["name"] for ref in depends[f"file:{name}"] if ref.startswith("windows:")}
                pe = pefile.PE(os.path.join(build, "bin", name))
                self.assertEqual(dlls, {entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT})
        for suffix in ("-win64.zip", "-x64.msi"):
            self.assertEqual(components[f"file:quendarix-{VERSION}{suffix}"]["hashes"][0]["content"],
                             hashlib.sha256(self.read(self.release, suffix)).hexdigest())
        for ref in depends["file:quendarixinstall.exe"]:
            if ref.startswith("pkg:deb/"):
                self.assertTrue(components[ref]["licenses"][0]["expression"], ref)
        tools = {tool["name"] for tool in sbom["formulation"][0]["components"]}
        self.assertLessEqual({"debian", "gcc-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "cmake", "wixl",
                              "msitools", "osslsigncode"}, tools)

        # The notices, the same file in the ZIP and installed by the MSI.
        with open(os.path.join(folder, f"quendarix-{VERSION}-win64", "THIRD-PARTY-NOTICES.txt"), "rb") as f:
            notices = f.read()
        for text in (b"License: ZPL-2.1", b"Redistributions in binary form must reproduce", b"Lucent Technologies",
                     b"David M. Gay", b"GCC RUNTIME LIBRARY EXCEPTION"):
            self.assertIn(text, notices)
        extracted = os.path.join(self.work, "msi")
        run("msiextract", "-C", extracted, os.path.join(self.release, f"quendarix-{VERSION}-x64.msi"), check=True)
        with open(os.path.join(extracted, "Quendarix", "THIRD-PARTY-NOTICES.txt"), "rb") as f:
            self.assertTrue(f.read() == notices, "the MSI's notices differ from the ZIP's")

    def test_the_rebuild_check_reproduces_fresh_and_signed_releases_and_names_a_changed_file(self):
        done = self.verify(self.release)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]), (0, "reproduced"), done.stdout + done.stderr)

        key, certificate, pkcs12 = (os.path.join(self.work, name) for name in ("key.pem", "cert.pem", "sign.p12"))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
            "-days", "2", "-subj", "/CN=Quendarix test signing", "-addext", "extendedKeyUsage=codeSigning", check=True)
        run("openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pkcs12, "-passout", "pass:",
            check=True)
        signed = self.package("signed", QUENDARIX_SIGNING_PKCS12=pkcs12)
        done = self.verify(signed)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]), (0, "reproduced"), done.stdout + done.stderr)

        # The installer changed after the build, every checksum made to
        # match, and the SBOM saying another compiler built it.
        zip_name = f"quendarix-{VERSION}-win64.zip"
        with zipfile.ZipFile(os.path.join(signed, zip_name)) as package:
            entries = [(info, package.read(info)) for info in package.infolist()]
        changed = {}
        for info, data in entries:
            if info.filename.endswith("/quendarixinstall.exe"):
                data = data.replace(b"Aborting.", b"Aborting!")
            changed[info.filename] = (info, data)
        sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name.split('/', 1)[1]}\n"
                       for name, (_, data) in sorted(changed.items()) if not name.endswith(("/", "SHA256SUMS")))
        top = f"quendarix-{VERSION}-win64/SHA256SUMS"
        changed[top] = (changed[top][0], sums.encode())
        with zipfile.ZipFile(os.path.join(signed, zip_name), "w") as package:
            for info, data in changed.values():
                package.writestr(info, data)
        sbom_path = os.path.join(signed, f"quendarix-{VERSION}.cdx.json")
        with open(sbom_path) as f:
            sbom = json.load(f)
        gcc = next(c for c in sbom["formulation"][0]["components"] if c["name"] == "gcc-mingw-w64-x86-64-posix")
        here, gcc["version"] = gcc["version"], "12.2.0-14+deb12u9"
        with open(sbom_path, "w") as f:
            json.dump(sbom, f, indent=2)
        files = sorted(name for name in os.listdir(signed) if name != "SHA256SUMS")
        with open(os.path.join(signed, "SHA256SUMS"), "w") as f:
            f.write(run("sha256sum", *files, cwd=signed, check=True).stdout)

        done = self.verify(signed)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertIn(f"  gcc-mingw-w64-x86-64-posix: the release was built with 12.2.0-14+deb12u9, "
                      f"this machine has {here}\n", done.stdout)
        self.assertRegex(done.stdout, rf"differs: {re.escape(zip_name)}\n(  .*\n)*  ├── "
                                      rf"quendarix-{re.escape(VERSION)}-win64/quendarixinstall.exe\n")
        self.assertIn(f"reproduced: quendarix-{VERSION}-x64.msi\n", done.stdout)
        self.assertEqual(done.stdout.splitlines()[-1], "not reproduced")


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
