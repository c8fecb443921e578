"""What a release says it holds, and the one-command check that rebuilds it:
the SBOM against the CycloneDX 1.6 schema (the CycloneDX project's own
validator) and against the build's link maps, the notices in both packages,
and scripts/release/verify.sh on a fresh, a signed and a tampered release."""

import fnmatch
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
VALIDATOR = ("@cyclonedx/cyclonedx-library@10.3.0", "ajv@8.17.1", "ajv-formats@3.0.1", "ajv-formats-draft2019@1.6.1",
             "packageurl-js@2.0.1")


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
        if not os.path.isdir(os.path.join(modules, "node_modules", "packageurl-js")):
            run("npm", "install", "--no-audit", "--no-fund", "--silent", "--prefix", modules, *VALIDATOR, check=True)
        sbom_path = os.path.join(self.release, f"quendarix-{VERSION}.cdx.json")
        validated = run("node", os.path.join(os.path.dirname(__file__), "validate_sbom.js"), sbom_path,
                        env=dict(os.environ, NODE_PATH=os.path.join(modules, "node_modules")))
        self.assertEqual(validated.returncode, 0, validated.stdout + validated.stderr)

        sbom = json.loads(self.read(self.release, ".cdx.json"))
        components = {c["bom-ref"]: c for c in sbom["components"]}
        depends = {d["ref"]: d["dependsOn"] for d in sbom["dependencies"]}
        # The graph: an entry for every component and the product, every
        # reference resolving, everything reachable from the product.
        self.assertEqual(len(depends), len(sbom["dependencies"]), "a component with two entries")
        self.assertEqual(set(depends), set(components) | {"quendarix"})
        reached, waiting = set(), ["quendarix"]
        while waiting:
            reference = waiting.pop()
            if reference not in reached:
                reached.add(reference)
                waiting += depends[reference]
        self.assertEqual(reached, set(depends))

        # Every released file with SHA-256 and SHA-512 as released: the ZIP,
        # the MSI, and every file in the ZIP, which both list what they hold.
        def hashes(data):
            return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
                    {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]
        zip_name, msi_name = f"quendarix-{VERSION}-win64.zip", f"quendarix-{VERSION}-x64.msi"
        for name, suffix in ((zip_name, "-win64.zip"), (msi_name, "-x64.msi")):
            self.assertEqual(components[f"file:{name}"]["hashes"], hashes(self.read(self.release, suffix)))
        self.assertEqual(depends["quendarix"], [f"file:{zip_name}", f"file:{msi_name}"])
        with zipfile.ZipFile(io.BytesIO(self.read(self.release, "-win64.zip"))) as package:
            inside = {os.path.basename(i.filename): package.read(i) for i in package.infolist() if not i.is_dir()}
        self.assertEqual(sorted(depends[f"file:{zip_name}"]), sorted(f"file:{name}" for name in inside))
        self.assertEqual(sorted(depends[f"file:{msi_name}"]), sorted(f"file:{name}" for name in inside
                                                                     if name != "SHA256SUMS"))
        for name, data in inside.items():
            self.assertEqual(components[f"file:{name}"]["hashes"], hashes(data), name)

        folder = os.path.join(self.work, "unpacked")
        with zipfile.ZipFile(io.BytesIO(self.read(self.release, "-win64.zip"))) as package:
            package.extractall(folder)
        build = os.path.join(self.source, "build", "windows")
        for name in EXES:
            with self.subTest(name):
                linked = {components[ref]["name"] for ref in depends[f"file:{name}"] if ref.startswith("pkg:deb/")}
                self.assertEqual(linked, linked_packages(os.path.join(build, "maps", name[:-4] + ".map")))
                dlls = {components[ref]["name"] for ref in depends[f"file:{name}"] if ref.startswith("windows:")}
                pe = pefile.PE(os.path.join(build, "bin", name))
                self.assertEqual(dlls, {entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT})

        # Each linked package tied to its source package and those its
        # Built-Using field names, as dpkg-query says here.
        for reference, component in components.items():
            if not reference.startswith("pkg:deb/") or "arch=source" in reference:
                continue
            with self.subTest(component["name"]):
                said = run("dpkg-query", "-W", "-f=${source:Package} ${source:Version}\t${Built-Using}",
                           component["name"], check=True).stdout
                expected = [said.split("\t")[0].split(" ")] + re.findall(r"(\S+) \(= ([^)]+)\)", said.split("\t")[1])
                self.assertEqual([[components[r]["name"], components[r]["version"]] for r in depends[reference]],
                                 [list(pair) for pair in expected])
                self.assertTrue(component["licenses"][0]["expression"])
        tools = {tool["name"] for tool in sbom["formulation"][0]["components"]}
        self.assertLessEqual({"debian", "gcc-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "cmake", "wixl",
                              "msitools", "osslsigncode"}, tools)

        # The notices, the same file in the ZIP and installed by the MSI.
        with open(os.path.join(folder, f"quendarix-{VERSION}-win64", "THIRD-PARTY-NOTICES.txt"), "rb") as f:
            notices = f.read()
        for text in (b"License: ZPL-2.1", b"Redistributions in binary form must reproduce", b"Lucent Technologies",
                     b"Keith Marshall", b"GCC RUNTIME LIBRARY EXCEPTION"):
            self.assertIn(text, notices)
        extracted = os.path.join(self.work, "msi")
        run("msiextract", "-C", extracted, os.path.join(self.release, f"quendarix-{VERSION}-x64.msi"), check=True)
        with open(os.path.join(extracted, "Quendarix", "THIRD-PARTY-NOTICES.txt"), "rb") as f:
            self.assertTrue(f.read() == notices, "the MSI's notices differ from the ZIP's")

    def test_each_linked_member_has_its_own_paragraph_s_licence_and_text(self):
        """The DEP-5 rule, taken here on its own: a member's source file (its
        debug information names it) falls under the last Files paragraph
        whose pattern matches it."""
        sbom = json.loads(self.read(self.release, ".cdx.json"))
        expression = next(c["licenses"][0]["expression"] for c in sbom["components"]
                          if c["name"] == "mingw-w64-x86-64-dev")
        with open(os.path.join(self.source, "packaging", "licences.json")) as f:
            spdx = json.load(f)["spdx"]
        with zipfile.ZipFile(io.BytesIO(self.read(self.release, "-win64.zip"))) as package:
            notices = package.read(f"quendarix-{VERSION}-win64/THIRD-PARTY-NOTICES.txt").decode().replace("\r\n", "\n")
        with open("/usr/share/doc/mingw-w64-x86-64-dev/copyright") as f:
            paragraphs = [p for p in f.read().split("\n\n") if p.startswith("Files:")]
        def governing(source, member):
            """The last paragraph matching the source path; without one (an
            import stub has no debug information), by the member's name."""
            name = re.sub(r"^lib\d*_\w+?_a-", "", member)[:-2] + ".c"
            found = None
            for paragraph in paragraphs:
                patterns = re.match(r"Files:(.*?)\n\S", paragraph, re.S).group(1).split()
                if any(pattern == "*" or (fnmatch.fnmatchcase(source, pattern) if source else
                                          os.path.basename(pattern) != "*" and
                                          fnmatch.fnmatchcase(name, os.path.basename(pattern)))
                       for pattern in patterns):
                    found = paragraph
            return found

        licences = set()
        for name in EXES:
            with open(os.path.join(self.source, "build", "windows", "maps", name[:-4] + ".map")) as f:
                text = f.read().split("Discarded input")[0]
            linked = re.findall(r"^(/\S+\.a)\((\S+\.o)\)$", text, re.M) + [
                (path, "") for path in re.findall(r"^LOAD (/\S+\.o)$", text, re.M)]
            for archive, member in linked:
                if "/x86_64-w64-mingw32/lib/" not in os.path.realpath(archive):
                    continue  # not mingw-w64-x86-64-dev's
                data = subprocess.run(["ar", "p", archive, member], check=True, capture_output=True).stdout \
                    if member else open(archive, "rb").read()
                with tempfile.NamedTemporaryFile(suffix=".o") as objectfile:
                    objectfile.write(data)
                    objectfile.flush()
                    dwarf = run("x86_64-w64-mingw32-objdump", "--dwarf=info", objectfile.name).stdout
                named = re.search(r"DW_AT_name\s*:.*?(\S+\.[cS])\s*$", dwarf, re.M)
                source = named.group(1).removeprefix("./") if named else None
                stanza = governing(source, member or os.path.basename(archive))
                licence = re.search(r"^License: (\S+)", stanza, re.M).group(1)
                licences.add(licence)
                with self.subTest(member=member or archive, source=source):
                    self.assertIn(spdx[licence], expression.split(" AND "))
                    self.assertIn(stanza.split("\nLicense:")[0], notices)
        self.assertIn("Keith-Marshall", licences, "mingw_pformat.o and mingw_vsnprintf.o are Keith Marshall's")
        self.assertEqual(set(expression.split(" AND ")), {spdx[licence] for licence in licences})

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
