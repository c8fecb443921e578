"""What a release says it holds, and the one-command check that rebuilds it:
the SBOM against the CycloneDX 1.6 schema (the CycloneDX project's own
validator) and against the build's link maps, the notices in both packages,
and scripts/release/verify.sh on a signed, time-stamped release, a changed
one and a table of tamperings."""

import datetime
import glob
import hashlib
import io
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import unittest
import warnings
import zipfile

import debian.copyright
import pefile
from asn1crypto import algos, cms, core, tsp
from asn1crypto import crl as asn1_crl
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import product
import said
from keys import certificate, new_key, time_stamp_server
from tree import commit_copy

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
VERSION = product.VERSION
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
        # And signed with a throwaway key, time-stamped by a loopback server.
        # Its PKCS#12 file has no localKeyID (the certificate in the bag of
        # others, as some tools write it), which OpenSSL 3.5 lists no
        # certificate for with -clcerts.
        key = new_key()
        cert = certificate("Quendarix test signing", key.public_key(), "Quendarix test signing", key,
                           ExtendedKeyUsageOID.CODE_SIGNING,
                           start=datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1),
                           days=3)
        cls.pkcs12 = os.path.join(cls.work, "sign.p12")
        with open(cls.pkcs12, "wb") as f:
            f.write(pkcs12.serialize_key_and_certificates(None, key, None, [cert], serialization.NoEncryption()))
        cls.publisher = cert.fingerprint(hashes.SHA256()).hex()
        cls.tsa_url, cls.tsa_ca, cls.tsa_key, cls.tsa = time_stamp_server(cls, os.path.join(cls.work, "tsa"))
        # A throwaway release key, and another, each with its signers file.
        cls.release_key, cls.other_key = (ssh_key(os.path.join(cls.work, name)) for name in ("release-key", "other-key"))
        cls.signing = dict(QUENDARIX_SIGNING_PKCS12=cls.pkcs12, QUENDARIX_SIGNING_TIMESTAMP_URL=cls.tsa_url,
                           QUENDARIX_RELEASE_KEY=cls.release_key)
        cls.good = cls.package("good", **cls.signing)

    @classmethod
    def package(cls, name, **environment):
        env = {key: value for key, value in os.environ.items()
               if not key.startswith("QUENDARIX_SIGNING_") and key != "SOURCE_DATE_EPOCH"}
        done = run("bash", os.path.join(cls.source, "scripts", "package.sh"), os.path.join(cls.work, name),
                   env=dict(env, **environment))
        assert done.returncode == 0, done.stderr
        return os.path.join(cls.work, name)

    def verify(self, *arguments, **options):
        """The rebuild check, trusting the loopback time-stamp server's root."""
        return run("bash", os.path.join(self.source, "scripts", "release", "verify.sh"), "--tsa-root", self.tsa_ca,
                   *arguments, **options)

    def commit_with(self, package_sh, ref=None, key=None):
        """A commit of the source whose scripts/package.sh is the one given,
        on no branch unless ref (a full ref name) is set to it; a tag signed
        with key, where one is given."""
        git = lambda *command, **options: run("git", "-C", self.source, *command, check=True,  # noqa: E731
                                              **options).stdout.strip()
        index = dict(os.environ, GIT_INDEX_FILE=os.path.join(self.work, "index"))
        blob = git("hash-object", "-w", "--stdin", input=package_sh)
        git("read-tree", "HEAD", env=index)
        git("update-index", "--add", "--cacheinfo", f"100755,{blob},scripts/package.sh", env=index)
        tree = git("write-tree", env=index)
        commit = git("-c", "user.name=T", "-c", "user.email=t@example.invalid", "commit-tree", tree, "-p", "HEAD",
                     "-m", "Another package.sh")
        if key:
            git("-c", "gpg.format=ssh", "-c", f"user.signingkey={key}", "-c", "user.name=T", "-c",
                "user.email=t@example.invalid", "tag", "-s", "-m", "A release", ref[len("refs/tags/"):], commit)
        elif ref:
            git("update-ref", ref, commit)
        return commit

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
                                                                     if name not in ("SHA256SUMS", EXES[0])))
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
                answer = run("dpkg-query", "-W", "-f=${source:Package} ${source:Version}\t${Built-Using}",
                             component["name"], check=True).stdout
                expected = [answer.split("\t")[0].split(" ")] + re.findall(r"(\S+) \(= ([^)]+)\)", answer.split("\t")[1])
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
        with open(os.path.join(extracted, product.INSTALL_FOLDER, "THIRD-PARTY-NOTICES.txt"), "rb") as f:
            self.assertTrue(f.read() == notices, "the MSI's notices differ from the ZIP's")

    def test_each_linked_member_has_its_own_paragraph_s_licence_and_text(self):
        """Each linked member's source file (its debug information names it)
        under the Files paragraph Debian's parser (python3-debian) finds."""
        sbom = json.loads(self.read(self.release, ".cdx.json"))
        expression = next(c["licenses"][0]["expression"] for c in sbom["components"]
                          if c["name"] == "mingw-w64-x86-64-dev")
        with open(os.path.join(self.source, "packaging", "licences.json")) as f:
            spdx = json.load(f)["spdx"]
        with zipfile.ZipFile(io.BytesIO(self.read(self.release, "-win64.zip"))) as package:
            notices = package.read(f"quendarix-{VERSION}-win64/THIRD-PARTY-NOTICES.txt").decode().replace("\r\n", "\n")
        with open("/usr/share/doc/mingw-w64-x86-64-dev/copyright") as f:
            copyright = debian.copyright.Copyright(f, strict=False)

        def governing(source, member):
            """Debian's own answer for the source path; without one (an
            import stub has no debug information), for the member's name."""
            return copyright.find_files_paragraph(source or re.sub(r"^lib\d*_\w+?_a-", "", member)[:-2] + ".c")

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
                licence = stanza.license.synopsis.split()[0]
                licences.add(licence)
                with self.subTest(member=member or archive, source=source):
                    self.assertIn(spdx[licence], expression.split(" AND "))
                    self.assertIn(stanza.dump().split("\nLicense:")[0], notices)
        self.assertIn("Keith-Marshall", licences, "mingw_pformat.o and mingw_vsnprintf.o are Keith Marshall's")
        self.assertEqual(set(expression.split(" AND ")), {spdx[licence] for licence in licences})

    def pkcs12_file(self, name, key, cert):
        """A PKCS#12 file of the key and certificate, as openssl makes one."""
        pem = os.path.join(self.work, name + ".pem")
        with open(pem, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()) + cert.public_bytes(serialization.Encoding.PEM))
        run("openssl", "pkcs12", "-export", "-in", pem, "-out", pem[:-4] + ".p12", "-passout", "pass:", check=True)
        return pem[:-4] + ".p12"

    def test_every_fact_changed_at_once_ships_only_the_new_values_from_the_existing_build_tree(self):
        """Each product fact of the top CMakeLists.txt given a new value (the
        service name stays: the installer's lines carry it), committed, and
        packaged in the build tree that already exists: no shipped file holds
        an old value, and the new ones are where administrators look."""
        facts = {"VERSION": r"(project\(quendarix VERSION )[0-9.]+()", "DISPLAY_NAME": None, "DESCRIPTION": None,
                 "COMPANY": None, "PRODUCT": None, "UPGRADE_CODE": None, "INSTALL_FOLDER": None}
        new = {"VERSION": "9.8.7", "DISPLAY_NAME": "Zyx Display", "DESCRIPTION": "Zyx describes itself",
               "COMPANY": "Zyx Company", "PRODUCT": "Zyx Product",
               "UPGRADE_CODE": "1b2c3d4e-5f60-4718-8293-a4b5c6d7e8f9", "INSTALL_FOLDER": "Zyx Folder"}
        cmakelists = os.path.join(self.source, "CMakeLists.txt")
        with open(cmakelists) as f:
            text = f.read()

        # A value that cannot ship fails the configuration, naming the fact.
        refused = [("VERSION", "1.1.0.1"), ("VERSION", "1.256.0"), ("DESCRIPTION", "Quendarix contrôle"),
                   ("COMPANY", 'Quendarix "Q"'), ("SERVICE_NAME", "quen/darix"), ("INSTALL_FOLDER", "Quendarix\\Agent"),
                   ("INSTALL_FOLDER", "CON"), ("INSTALL_FOLDER", "Quendarix."), ("UPGRADE_CODE", "not-a-guid")]
        scratch = os.path.join(self.work, "refused-facts")
        for fact, value in refused:
            with self.subTest(fact=fact, value=value):
                shutil.rmtree(scratch, ignore_errors=True)
                shutil.copytree(os.path.join(self.source, "cmake"), os.path.join(scratch, "cmake"))
                written = value.replace("\\", "\\\\").replace('"', '\\"')
                bad = re.sub(facts.get(fact) or rf'(set\(QUENDARIX_{fact} ")[^"]*(")',
                             lambda match: match[1] + written + match[2], text, count=1)
                with open(os.path.join(scratch, "CMakeLists.txt"), "w") as f:
                    f.write(bad)
                done = run("cmake", "-S", scratch, "-B", os.path.join(scratch, "build"))
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(f" QUENDARIX_{fact} '{value}' ", done.stderr)
        for fact, pattern in facts.items():
            text, count = re.subn(pattern or rf'(set\(QUENDARIX_{fact} ")[^"]*(")', rf"\g<1>{new[fact]}\g<2>", text,
                                  count=1)
            self.assertEqual(count, 1, fact)
        with open(cmakelists, "w") as f:
            f.write(text)
        # And the administrators' text edited: the same build ships the edit.
        append(os.path.join(self.source, "packaging", "README.txt"), "An edit of the administrators' text.\n")
        git = ("git", "-C", self.source, "-c", "user.name=T", "-c", "user.email=t@example.invalid")
        run(*git, "commit", "-q", "-am", "Every fact anew", check=True)
        self.addCleanup(run, *git, "reset", "-q", "--hard", "HEAD~1", check=True)
        changed = self.package("changed-facts")
        version = new["VERSION"]
        self.assertEqual(sorted(os.listdir(changed)), ["SHA256SUMS", f"quendarix-{version}-win64.zip",
                                                       f"quendarix-{version}-x64.msi", f"quendarix-{version}.cdx.json"])

        # What ships: the folder's files, each ZIP entry, the MSI's tables,
        # summary and streams, and the files it installs.
        shipped = {}
        for name in os.listdir(changed):
            with open(os.path.join(changed, name), "rb") as f:
                shipped[name] = f.read()
        with zipfile.ZipFile(os.path.join(changed, f"quendarix-{version}-win64.zip")) as package:
            shipped.update({info.filename: package.read(info) for info in package.infolist()})
        msi = os.path.join(changed, f"quendarix-{version}-x64.msi")
        for table in run("msiinfo", "tables", msi, check=True).stdout.split():
            shipped[f"MSI table {table}"] = run("msiinfo", "export", msi, table, check=True).stdout.encode()
        shipped["MSI summary"] = run("msiinfo", "suminfo", msi, check=True).stdout.encode()
        shipped["MSI streams"] = run("msiinfo", "streams", msi, check=True).stdout.encode()
        extracted = os.path.join(self.work, "changed-msi")
        run("msiextract", "-C", extracted, msi, check=True)
        for folder, _, names in os.walk(extracted):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    shipped[os.path.relpath(os.path.join(folder, name), extracted)] = f.read()
        old_values = {getattr(product, fact) for fact in facts} | {product.UPGRADE_CODE.upper()}
        for name, data in shipped.items():
            for value in old_values:
                for encoded in (value.encode(), value.encode("utf-16-le")):
                    self.assertNotIn(encoded, data, f"{name} holds the old {value!r}")
        self.assertIn(f"{new['INSTALL_FOLDER']}/README.txt", "\n".join(shipped))

        # The new values where administrators look: README.txt, the version
        # resources, the MSI's properties and service, the SBOM.
        readme = shipped[f"quendarix-{version}-win64/README.txt"].decode()
        for fact in facts:
            self.assertIn(new[fact].upper() if fact == "UPGRADE_CODE" else new[fact], readme, fact)
        self.assertIn("An edit of the administrators' text.\r\n", readme)
        for name in EXES:
            pe = pefile.PE(data=shipped[f"quendarix-{version}-win64/{name}"])
            fixed = pe.VS_FIXEDFILEINFO[0]
            self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (9 << 16 | 8, 7 << 16), name)
            strings = {k.decode(): v.decode() for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                       for table in info.StringTable for k, v in table.entries.items()}
            self.assertEqual((strings["CompanyName"], strings["ProductName"]), (new["COMPANY"], new["PRODUCT"]))
        properties = shipped["MSI table Property"].decode()
        for row in (f"ProductVersion\t{version}", f"Manufacturer\t{new['COMPANY']}", f"ProductName\t{new['PRODUCT']}",
                    f"UpgradeCode\t{{{new['UPGRADE_CODE']}}}"):
            self.assertIn(row.lower(), properties.lower())
        services = shipped["MSI table ServiceInstall"].decode()
        self.assertIn(f"\t{product.SERVICE_NAME}\t{new['DISPLAY_NAME']}\t", services)
        self.assertIn(new["DESCRIPTION"], services)
        self.assertEqual(json.loads(shipped[f"quendarix-{version}.cdx.json"])["metadata"]["component"]["version"],
                         version)

    def test_the_rebuild_check_reproduces_a_signed_release_and_names_what_differs_in_a_changed_one(self):
        # A release of a commit on no release branch, on a tag the release
        # key signed, its SHA256SUMS signed by that key: reproduced with the
        # key's signers file, each signer and each file's SHA-256 named;
        # without a pinned fingerprint, said so last.
        git = lambda *command: run("git", "-C", self.source, *command, check=True).stdout.strip()  # noqa: E731
        branch = git("symbolic-ref", "--short", "HEAD")
        commit = git("-c", "user.name=T", "-c", "user.email=t@example.invalid", "commit-tree", "HEAD^{tree}", "-p",
                     "HEAD", "-m", "A release off the branch")
        git("-c", "gpg.format=ssh", "-c", f"user.signingkey={self.release_key}", "-c", "user.name=T", "-c",
            "user.email=t@example.invalid", "tag", "-s", "-m", "A release", "v-tagged", commit)
        git("checkout", "-q", "--detach", commit)
        try:
            tagged = self.package("tagged", **self.signing)
        finally:
            git("checkout", "-q", branch)
        signers = ["--signers", self.release_key + ".signers"]
        done = self.verify(*signers, tagged)
        lines = done.stdout.splitlines()
        self.assertEqual((done.returncode, lines[-2:]), (0, [
            "No signer was checked against a pinned fingerprint: give --publisher SHA256 for that.", "reproduced"]),
            done.stdout + done.stderr)
        key = run("ssh-keygen", "-l", "-f", self.release_key, check=True).stdout.split()[1]
        self.assertIn(f"SHA256SUMS is signed by release@example.invalid ({key}), of the signers file.", lines)
        self.assertIn(f"Commit {commit} is on the tag v-tagged, signed by release@example.invalid ({key}).", lines)
        top, signer = f"quendarix-{VERSION}", ":".join(re.findall("..", self.publisher.upper()))
        for name in (f"{top}-win64/quendarixinstall.exe", f"{top}-win64/quendarixservice.exe", f"{top}-x64.msi"):
            self.assertIn(f"Signed: {name} by CN=Quendarix test signing ({signer})", lines)
        for name in set(os.listdir(tagged)) - {"SHA256SUMS.sig"}:
            with open(os.path.join(tagged, name), "rb") as f:
                self.assertIn(f"reproduced: {hashlib.sha256(f.read()).hexdigest()}  {name}", lines)
        # Without the signers file, a tag is not trusted.
        done = self.verify(tagged)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-2:]), (2, [
            "No release key was pinned: a tag counts only with --signers FILE.",
            f"cannot check: commit {commit} is not on origin/main"]), done.stdout + done.stderr)

        # With the publisher pinned, a file swapped in the folder while the
        # check runs is not the one it checked.
        swapped = os.path.join(self.work, "swapped")
        shutil.copytree(self.good, swapped)
        printed = []
        with subprocess.Popen(["bash", os.path.join(self.source, "scripts", "release", "verify.sh"), "--tsa-root",
                               self.tsa_ca, "--publisher", self.publisher, swapped], stdout=subprocess.PIPE,
                              text=True) as check:
            for line in check.stdout:
                printed.append(line.rstrip("\n"))
                if line.startswith("Rebuilding"):
                    append(os.path.join(swapped, f"{top}.cdx.json"), " ")
        self.assertEqual((check.returncode, printed[-2:]), (1, [f"{top}.cdx.json changed while it was checked",
                                                               "not reproduced"]), "\n".join(printed))
        self.assertIn(f"Signed by the publisher's certificate ({signer}): every program and the MSI.", printed)

        # An unsigned release: the installer changed after the build, every
        # checksum made to match, an MSI table changed, and the SBOM saying
        # another compiler built it.
        changed = os.path.join(self.work, "changed")
        shutil.copytree(self.release, changed)
        rezip(changed, lambda name, data: data.replace(said.DELETED.encode(), said.DELETED[:-1].encode() + b"!")
              if name.endswith("/quendarixinstall.exe") else data)
        run("msibuild", os.path.join(changed, f"quendarix-{VERSION}-x64.msi"), "-q",
            "UPDATE `Property` SET `Value` = 'Quendarix!' WHERE `Property` = 'Manufacturer'", check=True)
        sbom_path = os.path.join(changed, f"quendarix-{VERSION}.cdx.json")
        with open(sbom_path) as f:
            sbom = json.load(f)
        gcc = next(c for c in sbom["formulation"][0]["components"] if c["name"] == "gcc-mingw-w64-x86-64-posix")
        here, gcc["version"] = gcc["version"], "12.2.0-14+deb12u9"
        with open(sbom_path, "w") as f:
            json.dump(sbom, f, indent=2)
        resum(changed)

        done = self.verify(changed)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]), (1, "not reproduced"),
                         done.stdout + done.stderr)
        self.assertIn(f"  gcc-mingw-w64-x86-64-posix: the release was built with 12.2.0-14+deb12u9, "
                      f"this machine has {here}\n", done.stdout)
        self.assertRegex(done.stdout, rf"differs: quendarix-{re.escape(VERSION)}-win64.zip\n(  .*\n)*  ├── "
                                      rf"quendarix-{re.escape(VERSION)}-win64/quendarixinstall.exe\n")
        self.assertRegex(done.stdout, rf"differs: quendarix-{re.escape(VERSION)}-x64.msi\n  \S")

    def test_the_rebuild_check_refuses_each_tampering_with_one_line_and_a_verdict(self):
        top, msi = f"quendarix-{VERSION}-win64", f"quendarix-{VERSION}-x64.msi"
        marker = os.path.join(self.work, "marker")
        os.makedirs(marker)
        key = new_key()
        other_key = self.pkcs12_file("other", key, certificate("Somebody else", key.public_key(), "Somebody else", key,
                                                               ExtendedKeyUsageOID.CODE_SIGNING))
        not_tsa_key = new_key()
        not_tsa = certificate("Not a TSA", not_tsa_key.public_key(), "Not a TSA", not_tsa_key,
                              ExtendedKeyUsageOID.CODE_SIGNING)
        late = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=30)
        soon = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)

        def two_zips(folder):  # a link to the marker folder, then an entry through it
            for name, entry, data, mode in (("a.zip", "a", marker, 0o120777), ("b.zip", "a/x.sh", "#!/bin/sh\n",
                                                                               0o100755)):
                with zipfile.ZipFile(os.path.join(folder, name), "w") as package:
                    info = zipfile.ZipInfo(entry)
                    info.create_system, info.external_attr = 3, mode << 16
                    package.writestr(info, data)

        def add_entry(entry, mode=0o100644, compression=zipfile.ZIP_STORED):
            def tamper(folder):
                info = zipfile.ZipInfo(entry)
                info.create_system, info.external_attr = 3, mode << 16
                rezip(folder, extra=[(info, marker.encode())], compression=compression)
            return tamper

        signers = ["--signers", self.release_key + ".signers"]
        not_signed = "SHA256SUMS.sig is not a signature of SHA256SUMS by a key of the signers file"

        def other_tag(folder):
            commit = self.commit_with(f"#!/bin/sh\ntouch '{marker}/rebuilt'\n", "refs/tags/v-other", self.other_key)
            record_commit(folder, commit, self.release_key)
            return commit

        def fork_tag(folder):  # a fork's branch fetched for review brings the fork's tag along
            fork = os.path.join(self.work, "fork-" + os.path.basename(folder))
            run("git", "clone", "-q", self.source, fork, check=True)
            git = ("git", "-C", fork, "-c", "user.name=F", "-c", "user.email=f@example.invalid")
            with open(os.path.join(fork, "scripts", "package.sh"), "w") as f:
                f.write(f"#!/bin/sh\ntouch '{marker}/rebuilt'\n")
            run(*git, "commit", "-q", "-am", "Copy the release", check=True)
            run(*git, "tag", "-f", "-a", "-m", "1.0.1", "v1.0.1", check=True)
            run(*git, "branch", "-f", "feature", check=True)
            run("git", "-C", self.source, "fetch", "-q", "-f", fork, "feature:refs/heads/review", check=True)
            commit = run("git", "-C", self.source, "rev-parse", "v1.0.1^{commit}", check=True).stdout.strip()
            record_commit(folder, commit, self.release_key)
            return commit

        def pull_request(folder):  # fetched as GitHub documents it, and by the common refspec
            commit = self.commit_with(f"#!/bin/sh\ntouch '{marker}/rebuilt'\n", "refs/heads/pr-1")
            run("git", "-C", self.source, "update-ref", "refs/remotes/origin/pr/1", commit, check=True)
            record_commit(folder, commit)
            return commit

        def sbom_with(change):
            def tamper(folder):
                path = glob.glob(os.path.join(folder, "*.cdx.json"))[0]
                with open(path) as f:
                    sbom = json.load(f)
                change(sbom)
                with open(path, "w") as f:
                    json.dump(sbom, f)
            return tamper

        def deeply_nested(sbom):  # deeper than an SBOM's 64 levels
            sbom["metadata"]["component"]["properties"].append({"name": "deep", "value": json.loads("[" * 100 + "]" * 100)})

        def many_tools(sbom):
            sbom["formulation"][0]["components"] += [{"type": "application", "name": f"tool{n}", "version": "1"}
                                                     for n in range(300)]

        def many_entries(folder):  # answers how many
            rezip(folder, extra=[(zipfile.ZipInfo(f"{top}/x{n}.txt"), b"") for n in range(64)])
            with zipfile.ZipFile(glob.glob(os.path.join(folder, "*.zip"))[0]) as package:
                return len(package.infolist())

        def understated(folder):  # a deflated entry that holds more than it declares
            rezip(folder, extra=[(zipfile.ZipInfo(f"{top}/bomb.txt"), bytes(1 << 20))], compression=zipfile.ZIP_DEFLATED)
            declare_size(glob.glob(os.path.join(folder, "*.zip"))[0], f"{top}/bomb.txt", 10)

        def nested(folder):
            path = os.path.join(folder, msi)
            run("osslsigncode", "sign", "-nest", "-pkcs12", other_key, "-h", "sha256", "-in", path, "-out",
                path + ".new", check=True)
            os.replace(path + ".new", path)

        def with_signed_data(change):
            def tamper(folder):
                resign(os.path.join(folder, msi), change)
            return tamper

        def with_unsigned(change):
            return with_signed_data(lambda signed: change(signed["signer_infos"][0]))

        payload = [x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.99999.2"), bytes(65536))]
        intermediate = asn1_x509.Certificate.load(certificate(
            "Quendarix Intermediate CA", key.public_key(), "Quendarix Intermediate CA", key, None,
            extensions=payload).public_bytes(serialization.Encoding.DER))

        def extra_certificate(signed):
            signed["certificates"] = cms.CertificateSet(
                list(signed["certificates"]) + [cms.CertificateChoices(name="certificate", value=intermediate)])

        now = datetime.datetime.now(datetime.timezone.utc)
        revocations = x509.CertificateRevocationListBuilder().issuer_name(x509.Name(
            [x509.NameAttribute(NameOID.COMMON_NAME, "Quendarix test signing")])).last_update(now).next_update(
            now + datetime.timedelta(days=1)).sign(key, hashes.SHA256())

        def revocation_list(signed):
            signed["crls"] = cms.RevocationInfoChoices([cms.RevocationInfoChoice(
                name="crl", value=asn1_crl.CertificateList.load(revocations.public_bytes(serialization.Encoding.DER)))])

        def stamp_attribute(signer):
            stamper = signer["unsigned_attrs"][0]["values"][0]["content"]["signer_infos"][0]
            stamper["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute(
                {"type": "1.3.6.1.4.1.99999.1", "values": [core.OctetString(bytes(65536))]})])

        own_tsa_key = new_key()
        own_tsa = certificate("Quendarix test TSA", own_tsa_key.public_key(), "Quendarix test TSA", own_tsa_key,
                              ExtendedKeyUsageOID.TIME_STAMPING, critical=True)

        def extra_attribute(signer):
            signer["unsigned_attrs"] = cms.CMSAttributes(list(signer["unsigned_attrs"]) + [cms.CMSAttribute(
                {"type": "1.3.6.1.4.1.99999.1", "values": [core.OctetString(bytes(65536))]})])

        rows = [  # name, tampering (whose answer fills in {}), exit code, the line before the verdict (or its reason)
            ("two ZIPs: a link, then an entry through it", two_zips, 1, "not a release: the folder holds 3 ZIPs, not one"),
            ("a link in the ZIP", add_entry(f"{top}/a", 0o120777), 1,
             f"not a release: {top}.zip: the entry {top}/a is a link"),
            ("a '..' entry", add_entry(f"{top}/../x.sh"), 1,
             f"not a release: {top}.zip: the entry {top}/../x.sh has '..' in its name"),
            ("a repeated entry", add_entry(f"{top}/README.txt"), 1,
             f"not a release: {top}.zip: the entry {top}/README.txt repeats another entry's name"),
            ("an entry outside the top folder", add_entry("x.sh"), 1,
             f"not a release: {top}.zip: the entry x.sh lies outside the folder {top}/"),
            ("a dotfile", lambda folder: append(os.path.join(folder, ".hidden"), ""), 1,
             "not a release: .hidden is not listed in SHA256SUMS"),
            ("a device in SHA256SUMS", lambda folder: append(os.path.join(folder, "SHA256SUMS"),
                                                             f"{hashlib.sha256(b'').hexdigest()}  /dev/zero\n"), 1,
             "not a release: SHA256SUMS line 4 is not 'HASH  NAME' with a plain file name"),
            ("a link in the folder", lambda folder: os.symlink("/dev/zero", os.path.join(folder, "zero")), 2,
             "zero is not a plain file"),
            ("a pull request's commit", pull_request, 2, "commit {} is not on origin/main"),
            ("a bzip2 entry", add_entry(f"{top}/bomb.txt", compression=zipfile.ZIP_BZIP2), 1,
             f"not a release: {top}.zip: the entry {top}/bomb.txt is compressed with method 12: only stored and "
             "deflated entries are read"),
            ("an entry larger than it declares", understated, 1,
             f"not a release: {top}.zip: the entry {top}/bomb.txt holds more than its declared 10 bytes"),
            ("a ZIP of more than 64 entries", many_entries, 1,
             f"not a release: {top}.zip holds {{}} entries, more than the 64 this check reads"),
            ("an SBOM nested 100 deep", sbom_with(deeply_nested), 1,
             f"not a release: quendarix-{VERSION}.cdx.json is not a CycloneDX SBOM this check can read"),
            ("an SBOM of 300 more tools", sbom_with(many_tools), 1,
             f"not a release: quendarix-{VERSION}.cdx.json is not a CycloneDX SBOM this check can read"),
            ("a nested signature", nested, 1,
             f"signature not accepted: {msi} (a nested signature: one signature holds one signer)"),
            ("another unsigned attribute", with_unsigned(extra_attribute), 1,
             f"signature not accepted: {msi} (an unsigned attribute (1.3.6.1.4.1.99999.1) besides the time stamp)"),
            ("a time stamp not by a TSA", with_unsigned(lambda signer: restamp(signer, not_tsa_key, not_tsa)), 1,
             f"signature not accepted: {msi} (the time stamp was made by a certificate that is not for time "
             "stamping)"),
            ("a time stamp after the certificate expired",
             with_unsigned(lambda signer: restamp(signer, self.tsa_key, self.tsa, late)), 1,
             f"signature not accepted: {msi} (the time stamp ({late:%Y-%m-%d %H:%M:%S} UTC) is outside the "
             "signing certificate's validity)"),
            ("a time stamp from the future", with_unsigned(lambda signer: restamp(signer, self.tsa_key, self.tsa, soon)),
             1, f"signature not accepted: {msi} (the time stamp ({soon:%Y-%m-%d %H:%M:%S} UTC) is after now)"),
            ("a time stamp by an authority not trusted here",
             with_unsigned(lambda signer: restamp(signer, own_tsa_key, own_tsa)), 1,
             f"signature not accepted: {msi} (the time stamp's authority is not trusted here (CN=Quendarix test TSA): "
             "its root is neither in the system's store nor given with --tsa-root)"),
            ("a time stamp with an unsigned attribute", with_unsigned(stamp_attribute), 1,
             f"signature not accepted: {msi} (the time stamp has an unsigned attribute of its own)"),
            ("a certificate off the signer's chain", with_signed_data(extra_certificate), 1,
             f"signature not accepted: {msi} (the signature carries a certificate that is not on its signer's chain "
             "(CN=Quendarix Intermediate CA))"),
            ("revocation data", with_signed_data(revocation_list), 1,
             f"signature not accepted: {msi} (the signature carries revocation data)"),
            ("a digest algorithm it does not use", with_signed_data(lambda signed: signed["digest_algorithms"].append(
                {"algorithm": "sha1"})), 1,
             f"signature not accepted: {msi} (the signature names digest algorithms it does not use)"),
            ("bytes in the signature algorithm's parameters", with_unsigned(lambda signer: signer.__setitem__(
                "signature_algorithm", LooseAlgorithm({"algorithm": "rsassa_pkcs1v15",
                                                       "parameters": core.OctetString(bytes(61))}))), 1,
             f"signature not accepted: {msi} (the signature's signature algorithm has parameters its algorithm does "
             "not define)"),
            ("SHA256SUMS.sig missing", lambda folder: os.remove(os.path.join(folder, "SHA256SUMS.sig")), 1,
             "SHA256SUMS.sig is missing: the release is not signed with a release key", signers),
            ("the list edited to match a changed file", lambda folder: append(glob.glob(os.path.join(
                folder, "*.cdx.json"))[0], " "), 1, not_signed, signers),
            ("the list signed by another key", lambda folder: sign_sums(folder, self.other_key), 1, not_signed,
             signers),
            ("another key's signers file", lambda folder: None, 1, not_signed, ["--signers", self.other_key + ".signers"]),
            ("a tag another key signed", other_tag, 2,
             "commit {} is on no tag signed by a key of the signers file, nor on origin/main", signers),
            ("a fork's tag, fetched with its branch", fork_tag, 2, "commit {} is not on origin/main"),
            ("a fork's tag, with a signers file", fork_tag, 2,
             "commit {} is on no tag signed by a key of the signers file, nor on origin/main", signers),
            ("more entries than a release has", lambda folder: [append(os.path.join(folder, f"x{n}"), "")
                                                                for n in range(6)], 1,
             "not a release: the folder holds more than the 8 entries a release may have"),

            ("bytes after a program's signature", lambda folder: rezip(folder, lambda name, data: data + bytes(8)
                                                                       if name.endswith("/quendarixservice.exe")
                                                                       else data), 1,
             f"signature not accepted: {top}/quendarixservice.exe (8 bytes after its certificate table)"),
        ]
        for name, tamper, code, line, *arguments in rows:
            with self.subTest(name):
                folder = os.path.join(self.work, "tampered-" + re.sub(r"\W+", "-", name))
                shutil.copytree(self.good, folder, symlinks=True)
                filled = tamper(folder)
                if code == 1 and not name.startswith(("a dotfile", "a device")):
                    resum(folder)
                done = self.verify(*(arguments[0] if arguments else ()), folder)
                expected = [line.format(filled), "not reproduced"] if code == 1 else \
                    ["cannot check: " + line.format(filled)]
                self.assertEqual((done.returncode, done.stdout.splitlines()[-len(expected):]), (code, expected),
                                 done.stdout + done.stderr)
                self.assertNotIn("Rebuilding", done.stdout)
        self.assertEqual(os.listdir(marker), [], "the release wrote outside the check's work folder")

        # The released commit's rebuild runs in the sandbox: unprivileged,
        # without network, nothing it writes outside its work folder
        # reaching this machine, no root-only file, no socket under /run,
        # no process of the host; what it started ends with it. It says
        # what it could (the check shows a failed rebuild's last lines).
        token = os.urandom(6).hex()
        seconds = str(10000 + int(token[:4], 16))  # a sleep of this machine's processes that no other has
        escapes = [f"{place}/quendarix-escape-{token}" for place in ("/tmp", "/var/tmp", "/dev/shm")]
        secret = f"/var/tmp/quendarix-secret-{token}"
        with open(os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write(f"secret {token}\n")
        self.addCleanup(os.remove, secret)
        server = socket.socket(socket.AF_UNIX)
        server.bind(f"/run/quendarix-{token}.sock")
        os.chmod(f"/run/quendarix-{token}.sock", 0o777)
        server.listen()
        server.setblocking(False)
        self.addCleanup(os.remove, f"/run/quendarix-{token}.sock")
        self.addCleanup(server.close)
        host = subprocess.Popen(["sleep", "600"])
        self.addCleanup(host.kill)
        commit = self.commit_with(
            "#!/bin/sh\n" + "".join(f"echo x >'{path}' && echo 'wrote {path}'\n" for path in escapes) +
            f"cat '{secret}'\n"
            f"python3 -c 'import socket; socket.socket(socket.AF_UNIX).connect(\"/run/quendarix-{token}.sock\")' "
            "&& echo 'reached the socket'\n"
            f"[ -e /proc/{host.pid} ] && echo 'sees a process of the host'\n"
            f"kill -0 {host.pid} 2>/dev/null && echo 'may signal a process of the host'\n"
            'echo "uid $(id -u)"; sed -n "s/^ *\\([^:|]*\\):.*/interface \\1/p" /proc/net/dev\n'
            f"sleep {seconds}1 &\nexit 1\n", "refs/tags/probe", self.release_key)
        folder = os.path.join(self.work, "probe")
        shutil.copytree(self.good, folder)
        record_commit(folder, commit, self.release_key)
        done = self.verify(*signers, folder)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]),
                         (2, f"cannot check: rebuilding commit {commit} failed"), done.stdout + done.stderr)
        self.assertIn(f"Commit {commit} is on the tag probe, signed by release@example.invalid (", done.stdout)
        said_lines = done.stderr.splitlines()
        self.assertRegex(done.stderr, r"(?m)^uid [1-9][0-9]*$", "the rebuild ran as root")
        if os.geteuid() == 0:
            self.assertEqual([line for line in said_lines if line.startswith("interface ")], ["interface lo"],
                             "the rebuild had a network")
        for could in ("reached the socket", "sees a process of the host", "may signal a process of the host",
                      f"secret {token}", f"wrote {escapes[1]}"):
            self.assertNotIn(could, said_lines, done.stderr)
        self.assertEqual([path for path in escapes if os.path.exists(path)], [], done.stderr)
        with self.assertRaises(BlockingIOError, msg="the rebuild reached a socket under /run"):
            server.accept()
        self.assertIsNone(host.poll(), "the rebuild ended a process of the host")
        self.assertEqual(processes(f"sleep {seconds}1"), [], "a process the rebuild started outlived it")

        # A time-out ends the whole sandbox, and the run still has its verdict.
        commit = self.commit_with(f"#!/bin/sh\nsleep {seconds}2 &\nexec sleep {seconds}3\n",
                                  "refs/tags/slow", self.release_key)
        record_commit(folder, commit, self.release_key)
        done = self.verify(*signers, "--seconds", "45", folder)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]),
                         (2, "cannot check: the check did not finish in 45 s"), done.stdout + done.stderr)
        self.assertIn(f"Rebuilding commit {commit}", done.stdout)
        self.assertEqual(processes(f"sleep {seconds}"), [], "the sandbox outlived its time-out")

        # As root, an account some process already runs as is refused.
        if os.geteuid() == 0:
            with subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "60"]) as other:
                try:
                    done = self.verify("--as", "nobody", self.good)
                finally:
                    other.kill()
            self.assertEqual((done.returncode, done.stdout.splitlines()[-1:]), (2, [
                "cannot check: a process already runs as nobody: the sandbox's account must be one no other process "
                "uses"]), done.stdout + done.stderr)

        # A release folder of sparse files, 1 GiB each, refused before any of
        # it is copied: the check's memory stays small.
        sparse = os.path.join(self.work, "sparse")
        shutil.copytree(self.good, sparse)
        for n in range(3):
            with open(os.path.join(sparse, f"big{n}"), "wb") as f:
                f.truncate(1 << 30)
        with subprocess.Popen(["bash", os.path.join(self.source, "scripts", "release", "verify.sh"), sparse],
                              stdout=subprocess.PIPE, text=True) as check:
            printed = check.stdout.read()
            _, status, usage = os.wait4(check.pid, 0)
            check.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual((check.returncode, printed.splitlines()[-1]), (1, "not reproduced"), printed)
        self.assertRegex(printed.splitlines()[-2], r"^not a release: its files hold \d+ bytes, more than the 64 MiB "
                                                   r"of any release$")
        self.assertLess(usage.ru_maxrss, 64 << 10, "KiB at the most, at the peak")

        # A build tool missing, and apt-get a recorder: named, nothing installed.
        path = os.path.join(self.work, "path")
        os.mkdir(path)
        for folder in filter(os.path.isdir, ("/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin")):
            for name in set(os.listdir(folder)) - {"wixl", "bwrap", "apt-get"} - set(os.listdir(path)):
                os.symlink(os.path.join(folder, name), os.path.join(path, name))
        with open(os.path.join(path, "apt-get"), "w") as f:
            f.write(f"#!/bin/sh\necho \"$@\" >>'{marker}/apt-get'\n")
        os.chmod(os.path.join(path, "apt-get"), 0o755)
        done = self.verify(self.good, env=dict(os.environ, PATH=path))
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1:]),
                         (2, ["cannot check: missing bwrap, wixl: install bubblewrap wixl"]),
                         done.stdout + done.stderr)
        self.assertEqual(os.listdir(marker), [], "apt-get ran")

        # As root, on a checkout another account owns: git's own refusal.
        if os.geteuid() == 0:
            other = os.path.join(self.work, "other-owner")
            run("git", "clone", "-q", self.source, other, check=True)
            for folder, names, files in os.walk(other):
                for name in [folder, *(os.path.join(folder, n) for n in names + files)]:
                    os.lchown(name, 65534, 65534)
            done = run("bash", os.path.join(other, "scripts", "release", "verify.sh"), self.good)
            self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
            self.assertRegex(done.stdout.splitlines()[-1], r"^cannot check: git refuses this checkout \(.*dubious "
                             r"ownership.*\): run the check as the checkout's owner$")

        # Signing with a certificate that is not valid now ends before the
        # build, with one line.
        expired = self.pkcs12_file("expired", key, certificate("Expired", key.public_key(), "Expired", key,
                                                               ExtendedKeyUsageOID.CODE_SIGNING, days=460))
        env = {k: v for k, v in os.environ.items() if not k.startswith("QUENDARIX_SIGNING_")}
        done = run("bash", os.path.join(self.source, "scripts", "package.sh"), os.path.join(self.work, "expired"),
                   env=dict(env, QUENDARIX_SIGNING_PKCS12=expired))
        self.assertEqual((done.returncode, done.stderr), (1, f"package.sh: the certificate in '{expired}' is not "
                                                             "valid now (valid 2020-01-01 to 2021-04-05): renew it\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "expired")))

        # So does a SOURCE_DATE_EPOCH that is not a count of seconds.
        done = run("bash", os.path.join(self.source, "scripts", "package.sh"), os.path.join(self.work, "yesterday"),
                   env=dict(env, SOURCE_DATE_EPOCH="@yesterday"))
        self.assertEqual((done.returncode, done.stderr), (1, "package.sh: SOURCE_DATE_EPOCH '@yesterday' is not a count "
                                                             "of seconds since 1970 (digits only)\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "yesterday")))


class LooseAlgorithm(algos.SignedDigestAlgorithm):
    """A signature algorithm whose parameters may be anything."""
    _null_algos = set()


def processes(command_line):
    """The processes of this machine whose command line starts so."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if f.read().replace(b"\0", b" ").startswith(command_line.encode()):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def append(path, text):
    with open(path, "a") as f:
        f.write(text)


def ssh_key(path):
    """A throwaway OpenSSH key, and its allowed-signers file (PATH.signers)."""
    run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "release", "-f", path, check=True)
    with open(path + ".pub") as public, open(path + ".signers", "w") as signers:
        signers.write(f"release@example.invalid {public.read()}")
    return path


def sign_sums(folder, key):
    """The release's SHA256SUMS signed anew with key, as SHA256SUMS.sig."""
    sums = os.path.join(folder, "SHA256SUMS")
    if os.path.exists(sums + ".sig"):
        os.remove(sums + ".sig")
    run("ssh-keygen", "-q", "-Y", "sign", "-f", key, "-n", "file", sums, check=True)


def resum(folder):
    """The release's SHA256SUMS made to match its files again."""
    names = sorted(name for name in os.listdir(folder) if name not in ("SHA256SUMS", "SHA256SUMS.sig"))
    with open(os.path.join(folder, "SHA256SUMS"), "w") as f:
        f.write(run("sha256sum", *names, cwd=folder, check=True).stdout)


def record_commit(folder, commit, key=None):
    """The release's SBOM made to record another commit, its sums to match
    (and signed with key, where one is given)."""
    path = glob.glob(os.path.join(folder, "*.cdx.json"))[0]
    with open(path) as f:
        sbom = json.load(f)
    sbom["metadata"]["component"]["pedigree"]["commits"][0]["uid"] = commit
    with open(path, "w") as f:
        json.dump(sbom, f)
    resum(folder)
    if key:
        sign_sums(folder, key)


def declare_size(path, entry, size):
    """A ZIP entry's uncompressed size given as `size`, in its local header
    and in the central directory."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    with zipfile.ZipFile(io.BytesIO(bytes(data))) as package:
        local, at = package.getinfo(entry).header_offset, package.start_dir
    struct.pack_into("<I", data, local + 22, size)
    while data[at:at + 4] == b"PK\x01\x02":
        named, extra, comment = struct.unpack_from("<HHH", data, at + 28)
        if data[at + 46:at + 46 + named] == entry.encode():
            struct.pack_into("<I", data, at + 24, size)
        at += 46 + named + extra + comment
    with open(path, "wb") as f:
        f.write(data)


def rezip(folder, change=lambda name, data: data, extra=(), compression=zipfile.ZIP_STORED):
    """The release's ZIP written anew: each file changed, extra entries
    added (compressed as given), its own SHA256SUMS made to match."""
    path = glob.glob(os.path.join(folder, "*.zip"))[0]
    with zipfile.ZipFile(path) as package:
        entries = [(info, change(info.filename, package.read(info))) for info in package.infolist()]
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {info.filename.split('/', 1)[1]}\n"
                   for info, data in sorted(entries, key=lambda e: e[0].filename)
                   if not info.filename.endswith(("/", "SHA256SUMS")))
    entries = [(info, sums.encode() if info.filename.endswith("/SHA256SUMS") else data) for info, data in entries]
    with warnings.catch_warnings(), zipfile.ZipFile(path, "w") as package:
        warnings.simplefilter("ignore")  # a repeated name, on purpose
        for info, data in entries:
            package.writestr(info, data)
        for info, data in extra:
            package.writestr(info, data, compress_type=compression)


def resign(path, change):
    """The file's signature taken out, its signed data changed, and put back."""
    run("osslsigncode", "extract-signature", "-in", path, "-out", path + ".sig", check=True)
    with open(path + ".sig", "rb") as f:
        signature = cms.ContentInfo.load(f.read())
    change(signature["content"])
    with open(path + ".sig", "wb") as f:
        f.write(signature.dump(force=True))
    run("osslsigncode", "remove-signature", "-in", path, "-out", path + ".bare", check=True)
    run("osslsigncode", "attach-signature", "-sigin", path + ".sig", "-in", path + ".bare", "-out", path + ".new")
    os.replace(path + ".new", path)
    for suffix in (".sig", ".bare"):
        os.remove(path + suffix)


def restamp(signer, key, cert, when=None):
    """The signer's time stamp made anew by key and cert, at another time."""
    token = signer["unsigned_attrs"][0]["values"][0]["content"]
    info = token["encap_content_info"]["content"].parsed
    if when:
        info["gen_time"] = when
    content = info.dump(force=True)
    token["encap_content_info"]["content"] = tsp.TSTInfo.load(content)
    stamper = token["signer_infos"][0]
    stamper["signed_attrs"] = cms.CMSAttributes(
        [a for a in stamper["signed_attrs"] if a["type"].native == "content_type"] +
        [cms.CMSAttribute({"type": "message_digest", "values": [hashlib.sha256(content).digest()]})])
    der = asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER))
    stamper["sid"] = cms.SignerIdentifier({"issuer_and_serial_number": {"issuer": der.issuer,
                                                                         "serial_number": der.serial_number}})
    stamper["digest_algorithm"] = {"algorithm": "sha256"}
    stamper["signature_algorithm"] = {"algorithm": "rsassa_pkcs1v15"}
    stamper["signature"] = key.sign(b"\x31" + stamper["signed_attrs"].dump(force=True)[1:], padding.PKCS1v15(),
                                    hashes.SHA256())
    token["certificates"] = [der]


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
