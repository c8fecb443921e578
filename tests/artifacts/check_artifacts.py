"""Checks on the built .exe files, read with pefile (python3-pefile), and on
the release that scripts/package.sh makes of them: reproducible, its
checksums, the MSI's tables, signing with a throwaway key, a tree with
uncommitted changes."""

import io
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

import pefile

import product  # the build tree's product facts

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
VERSION = product.VERSION
EXES = ("quendarixinstall.exe", "quendarixservice.exe")
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
# Every text-taking function the programs call, by its narrow name.
NARROW_CALLS = {
    "quendarixinstall.exe": ["OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A", "OpenServiceA", "CreateFileA",
                             "GetFinalPathNameByHandleA"],
    "quendarixservice.exe": ["StartServiceCtrlDispatcherA", "RegisterServiceCtrlHandlerExA", "CreateEventA"],
}
RT_VERSION = 16
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


def image(name):
    return pefile.PE(os.path.join(PROGRAMS, name))


def imports(pe):
    """{dll name in lower case: [function names]}"""
    return {entry.dll.decode().lower(): [i.name.decode() for i in entry.imports if i.name]
            for entry in pe.DIRECTORY_ENTRY_IMPORT}


def resources(pe):
    """[(type id, name id, language id, data)] of every resource in the image."""
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((kind.id, name.id, language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


class Artifacts(unittest.TestCase):
    def test_both_are_small_static_x86_64_console_programs_using_only_system_dlls(self):
        for name in EXES:
            with self.subTest(name):
                pe = image(name)
                self.assertEqual(pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
                self.assertEqual(pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
                self.assertEqual(pe.OPTIONAL_HEADER.Subsystem,
                                 pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
                self.assertLessEqual(set(imports(pe)), SYSTEM_DLLS)
                self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "no time stamp in the image")
                self.assertLess(os.path.getsize(os.path.join(PROGRAMS, name)), 64 * 1024, "a small program")

    def test_text_functions_are_imported_in_their_narrow_variant_only(self):
        for name in EXES:
            with self.subTest(name):
                imported = {f for functions in imports(image(name)).values() for f in functions}
                for function in NARROW_CALLS[name]:
                    self.assertIn(function, imported)
                for function in imported:
                    if function.endswith("A"):
                        self.assertNotIn(function[:-1] + "W", imported)

    def test_the_installers_resources_are_its_version_and_asinvoker_manifest(self):
        found = resources(image("quendarixinstall.exe"))
        self.assertEqual([entry[:3] for entry in found], [(RT_VERSION, 1, 1033), (RT_MANIFEST, 1, 1033)])
        root = ElementTree.fromstring(found[1][3])
        self.assertEqual((root.tag, root.get("manifestVersion")), (ASM_V1 + "assembly", "1.0"))

        def only_child(element, tag):
            self.assertEqual([child.tag for child in element], [tag])
            return element[0]

        self.assertEqual([child.tag for child in root], [ASM_V3 + "trustInfo", COMPATIBILITY + "compatibility"])
        level = root[0]
        for tag in ("security", "requestedPrivileges", "requestedExecutionLevel"):
            level = only_child(level, ASM_V3 + tag)
        self.assertEqual(dict(level.attrib), {"level": "asInvoker", "uiAccess": "false"})
        self.assertEqual(len(level), 0)
        # Windows 8 and Server 2012 and later, as the build's _WIN32_WINNT says.
        supported = [entry.get("Id") for entry in only_child(root[1], COMPATIBILITY + "application")]
        self.assertEqual(supported, ["{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                     "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])

    def test_the_service_s_names_are_the_ones_administrators_know_and_the_installer_holds_them(self):
        """The one place that states them: every other check reads the
        facts the build generated."""
        facts = (product.SERVICE_NAME, product.DISPLAY_NAME, product.DESCRIPTION)
        self.assertEqual(facts, ("quendarix", "Quendarix", "Quendarix control"))
        with open(os.path.join(PROGRAMS, "quendarixinstall.exe"), "rb") as f:
            installer = f.read()
        with open(os.path.join(PROGRAMS, "quendarixservice.exe"), "rb") as f:
            service = f.read()
        for fact in facts:
            self.assertIn(b"\0" + fact.encode() + b"\0", installer)
        self.assertIn(b"\0" + product.SERVICE_NAME.encode() + b"\0", service)

    def test_both_carry_the_project_version(self):
        numbers = [int(part) for part in VERSION.split(".")] + [0] * (4 - len(VERSION.split(".")))
        for name, description in (("quendarixinstall.exe", product.PRODUCT + " service installer"),
                                  ("quendarixservice.exe", product.PRODUCT + " service")):
            with self.subTest(name):
                pe = image(name)
                self.assertEqual([entry[:3] for entry in resources(pe) if entry[0] == RT_VERSION], [(RT_VERSION, 1, 1033)])
                fixed = pe.VS_FIXEDFILEINFO[0]
                for most, least in ((fixed.FileVersionMS, fixed.FileVersionLS),
                                    (fixed.ProductVersionMS, fixed.ProductVersionLS)):
                    self.assertEqual([most >> 16, most & 0xffff, least >> 16, least & 0xffff], numbers)
                tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
                self.assertEqual([table.LangID for table in tables], [b"040904B0"])
                strings = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
                self.assertEqual(strings, {
                    "CompanyName": product.COMPANY, "ProductName": product.PRODUCT, "FileDescription": description,
                    "FileVersion": VERSION, "ProductVersion": VERSION, "InternalName": name,
                    "OriginalFilename": name, "LegalCopyright": f"Copyright (C) {product.COMPANY}. All rights reserved."})

    def test_a_second_build_from_the_same_tree_is_byte_identical(self):
        with tempfile.TemporaryDirectory(prefix="quendarix-rebuild-") as build:
            toolchain = os.path.join(SOURCE_DIR, "cmake", "mingw-w64-x86_64.cmake")
            subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", build, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                            "--toolchain", toolchain], check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", build, "--target", "quendarixinstall", "quendarixservice"],
                           check=True, stdout=subprocess.DEVNULL)
            for name in EXES:
                with self.subTest(name), open(os.path.join(PROGRAMS, name), "rb") as first, \
                        open(os.path.join(build, "bin", name), "rb") as second:
                    self.assertTrue(first.read() == second.read(), name + " differs between builds")


class Release(unittest.TestCase):
    """scripts/package.sh, as an administrator or a release machine runs it."""

    top = f"quendarix-{VERSION}-win64"  # "-dirty" before "-win64" from a modified tree

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quendarix-release-")
        self.addCleanup(shutil.rmtree, self.work)

    def package(self, output, source=SOURCE_DIR, **environment):
        env = {name: value for name, value in os.environ.items()
               if not name.startswith("QUENDARIX_SIGNING_") and name != "SOURCE_DATE_EPOCH"}
        return subprocess.run(["bash", os.path.join(source, "scripts", "package.sh"), os.path.join(self.work, output)],
                              env=dict(env, **environment), capture_output=True, text=True)

    def packages(self, output, source=SOURCE_DIR, **environment):
        """The ZIP's bytes, the MSI's and the SBOM's, after the output's
        SHA256SUMS checked out."""
        done = self.package(output, source, **environment)
        self.assertEqual(done.returncode, 0, done.stderr)
        paths = done.stdout.splitlines()[-3:]
        self.top = os.path.basename(paths[0])[:-len(".zip")]
        folder = os.path.join(self.work, output)
        self.assertEqual(sorted(os.listdir(folder)), sorted(["SHA256SUMS", *map(os.path.basename, paths)] +
                                                            ["SHA256SUMS.sig"] * ("QUENDARIX_RELEASE_KEY" in environment)))
        subprocess.run(["sha256sum", "--check", "--strict", "--quiet", "SHA256SUMS"], cwd=folder, check=True)
        found = []
        for path in paths:
            with open(path, "rb") as f:
                found.append(f.read())
        return tuple(found)

    def msi_table(self, data, table):
        """[{column: value}] of one table of an MSI, read back with msiinfo."""
        path = os.path.join(self.work, "read.msi")
        with open(path, "wb") as f:
            f.write(data)
        exported = subprocess.run(["msiinfo", "export", path, table], check=True, capture_output=True,
                                  text=True).stdout.splitlines()
        return [dict(zip(exported[0].split("\t"), row.split("\t"))) for row in exported[3:]]

    def unpack(self, data, name):
        """The ZIP's top folder, unpacked, after its SHA256SUMS checked out."""
        with zipfile.ZipFile(io.BytesIO(data)) as package:
            self.assertEqual(sorted(package.namelist()), [f"{self.top}/{name}" for name in
                             ("README.txt", "SHA256SUMS", "THIRD-PARTY-NOTICES.txt", "quendarixinstall.exe",
                              "quendarixservice.exe")])
            package.extractall(os.path.join(self.work, name))
        folder = os.path.join(self.work, name, self.top)
        subprocess.run(["sha256sum", "--check", "--strict", "--quiet", "SHA256SUMS"], cwd=folder, check=True)
        with open(os.path.join(folder, "SHA256SUMS")) as sums:
            self.assertEqual(len(sums.readlines()), 4, "one line for every other file")
        return folder

    def test_every_packaging_gives_the_same_zip_and_msi(self):
        first, msi, sbom = self.packages("first")
        second, second_msi, second_sbom = self.packages("second", TZ="Pacific/Kiritimati")
        self.assertTrue(first == second, "the ZIPs differ")
        self.assertTrue(msi == second_msi, "the MSIs differ")
        self.assertTrue(sbom == second_sbom, "the SBOMs differ")

        # The service as quendarixinstall.exe registers it, through the
        # service tables alone: no custom action runs anything.
        self.assertEqual(self.msi_table(msi, "ServiceInstall"), [{
            "ServiceInstall": product.SERVICE_NAME, "Name": product.SERVICE_NAME, "DisplayName": product.DISPLAY_NAME,
            "ServiceType": "16", "StartType": "2", "ErrorControl": "32769", "LoadOrderGroup": "", "Dependencies": "",
            "StartName": "", "Password": "", "Arguments": "", "Component_": "Service",
            "Description": product.DESCRIPTION}])
        # Start on install; stop on install and removal; delete on removal; wait.
        self.assertEqual([(row["Name"], row["Event"], row["Wait"], row["Component_"])
                          for row in self.msi_table(msi, "ServiceControl")], [(product.SERVICE_NAME, "163", "1", "Service")])
        self.assertEqual(self.msi_table(msi, "CustomAction"), [])
        # ICE validation needs a _Validation row for every column of every
        # table, its nullability as the column's own. (Rows for tables that
        # this wixl does not write are for a newer one, which writes more.)
        path = os.path.join(self.work, "read.msi")
        validation = {(row["Table"], row["Column"]): row["Nullable"] for row in self.msi_table(msi, "_Validation")}
        tables = subprocess.run(["msiinfo", "tables", path], check=True, capture_output=True, text=True).stdout.split()
        for table in (name for name in tables if not name.startswith("_")):
            header = subprocess.run(["msiinfo", "export", path, table], check=True, capture_output=True,
                                    text=True).stdout.splitlines()
            for column, kind in zip(header[0].split("\t"), header[1].split("\t")):
                with self.subTest(column=f"{table}.{column}"):
                    self.assertEqual(validation.pop((table, column), None), "Y" if kind[0].isupper() else "N")
        self.assertEqual({key for key in validation if key[0] in tables}, set(),
                         "_Validation rows for columns the package does not have")
        # No installer tool: its /Uninstall would remove the MSI's service.
        self.assertEqual({row["FileName"]: row["Version"] for row in self.msi_table(msi, "File")},
                         {"quendarixservice.exe": VERSION + ".0", "README.txt": "", "THIRD-PARTY-NOTICES.txt": ""})
        folder = self.unpack(first, "unpacked")
        for name in EXES:
            with open(os.path.join(PROGRAMS, name), "rb") as built, open(os.path.join(folder, name), "rb") as packed:
                self.assertTrue(packed.read() == built.read(), name)
        with open(os.path.join(folder, "README.txt"), "rb") as readme:
            text = readme.read().decode("ascii")
        self.assertIn(f"installer {VERSION}\r\n", text)
        # The product code the administrators' text gives is the MSI's own.
        code = next(row["Value"] for row in self.msi_table(msi, "Property") if row["Property"] == "ProductCode")
        self.assertIn(f"msiexec /x {code.upper()} /qn", text)
        self.assertNotIn("@", text)
        self.assertEqual(text.count("\n"), text.count("\r\n"))

    def test_signed_programs_verify_and_unsign_to_the_built_ones(self):
        key, certificate, pkcs12 = (os.path.join(self.work, name) for name in ("key.pem", "cert.pem", "sign.p12"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", certificate, "-days", "2", "-subj", "/CN=Quendarix test signing",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        password = "throwaway secret"
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pkcs12,
                        "-passout", "env:PASSWORD"], env=dict(os.environ, PASSWORD=password), check=True)
        signing = {"QUENDARIX_SIGNING_PKCS12": pkcs12, "QUENDARIX_SIGNING_PASSWORD": password}

        signed, signed_msi, signed_sbom = self.packages("signed", **signing)
        self.assertTrue((signed, signed_msi, signed_sbom) == self.packages("again", **signing),
                        "signing is not reproducible")
        msi = os.path.join(self.work, "signed.msi")
        with open(msi, "wb") as f:
            f.write(signed_msi)
        subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", msi], check=True, capture_output=True)
        folder = self.unpack(signed, "unpacked")
        for name in EXES:
            with self.subTest(name):
                program = os.path.join(folder, name)
                subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", program],
                               check=True, capture_output=True)
                unsigned = os.path.join(self.work, name)
                subprocess.run(["osslsigncode", "remove-signature", "-in", program, "-out", unsigned],
                               check=True, capture_output=True)
                with open(unsigned, "rb") as stripped, open(os.path.join(PROGRAMS, name), "rb") as built:
                    self.assertTrue(stripped.read() == built.read(), name + " differs once unsigned")

        wrong = "not the password 42"
        done = self.package("refused", QUENDARIX_SIGNING_PKCS12=pkcs12, QUENDARIX_SIGNING_PASSWORD=wrong)
        self.assertNotEqual(done.returncode, 0)
        self.assertRegex(done.stderr, r"^package\.sh: [^\n]*wrong password[^\n]*\n$")
        self.assertFalse(os.path.exists(os.path.join(self.work, "refused")), "a package was left")
        self.assertNotIn(wrong, done.stdout + done.stderr)

    def test_a_release_key_signs_the_list_asking_its_passphrase_once_and_never_on_a_command_line(self):
        key, passphrase = os.path.join(self.work, "release"), os.path.join(self.work, "passphrase")
        with open(passphrase, "w") as f:
            f.write(f"throwaway {os.urandom(8).hex()}\n")
        with open(passphrase) as f:
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-C", "release", "-f", key, "-N", f.read().strip()],
                           check=True)
        # The passphrase's one way in: an askpass that counts its calls and
        # looks for the passphrase on every command line and environment.
        askpass, asked, seen = (os.path.join(self.work, name) for name in ("askpass", "asked", "seen"))
        with open(askpass, "w") as f:
            f.write(f"#!/bin/sh\necho asked >>'{asked}'\n"
                    f"grep -slFf '{passphrase}' /proc/[0-9]*/cmdline /proc/[0-9]*/environ >>'{seen}'\n"
                    f"cat '{passphrase}'\n")
        os.chmod(askpass, 0o755)
        self.packages("signed", QUENDARIX_RELEASE_KEY=key, SSH_ASKPASS=askpass, SSH_ASKPASS_REQUIRE="force")
        with open(asked) as f:
            self.assertEqual(f.read(), "asked\n", "asked for once")
        with open(seen) as f:
            self.assertEqual(f.read(), "", "the passphrase was on a command line or in an environment")
        signers = os.path.join(self.work, "allowed_signers")
        with open(signers, "w") as f, open(key + ".pub") as public:
            f.write(f"release@example.invalid {public.read()}")
        folder = os.path.join(self.work, "signed")
        with open(os.path.join(folder, "SHA256SUMS"), "rb") as sums:
            verified = subprocess.run(["ssh-keygen", "-Y", "verify", "-f", signers, "-I", "release@example.invalid",
                                       "-n", "file", "-s", os.path.join(folder, "SHA256SUMS.sig")], stdin=sums,
                                      capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn('Good "file" signature for release@example.invalid', verified.stdout)

    def test_bad_input_ends_the_run_before_the_build_with_one_line(self):
        # A cmake that only leaves a mark: the build must never start.
        tools, built = os.path.join(self.work, "tools"), os.path.join(self.work, "built")
        os.makedirs(tools)
        with open(os.path.join(tools, "cmake"), "w") as f:
            f.write(f"#!/bin/sh\ntouch '{built}'\nexit 1\n")
        os.chmod(os.path.join(tools, "cmake"), 0o755)
        a_file = os.path.join(self.work, "a-file")
        with open(a_file, "w") as f:
            f.write("kept\n")
        public_key = os.path.join(self.work, "release")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", public_key], check=True)
        public_key += ".pub"
        no_key = ("QUENDARIX_SIGNING_PASSWORD is set but neither QUENDARIX_SIGNING_PKCS12 nor QUENDARIX_SIGNING_PKCS11_KEY is: "
                  "no key to sign with")
        rows = [
            ("a misspelt key path", "out", {"QUENDARIX_SIGNING_PKCS12": os.path.join(self.work, "codesing.p12")},
             "cannot read the signing key '" + os.path.join(self.work, "codesing.p12") + "'"),
            ("a password and no key", "out", {"QUENDARIX_SIGNING_PASSWORD": "secret"}, no_key),
            ("a password and an empty key", "out", {"QUENDARIX_SIGNING_PKCS12": "", "QUENDARIX_SIGNING_PASSWORD": ""},
             no_key),
            ("a misspelt release key", "out", {"QUENDARIX_RELEASE_KEY": os.path.join(self.work, "relase_key")},
             "cannot read the release key '" + os.path.join(self.work, "relase_key") + "'"),
            ("a release key's public half, no agent holding it", "out",
             {"QUENDARIX_RELEASE_KEY": public_key, "SSH_AUTH_SOCK": os.path.join(self.work, "no-agent")},
             f"ssh-agent holds no private key for the release key '{public_key}': add it with ssh-add"),
            ("an output path that is a file", "a-file", {},
             f"the output path '{a_file}' is not a folder: '{a_file}' is a file"),
        ]
        for name, output, environment, line in rows:
            with self.subTest(name):
                done = self.package(output, PATH=tools + ":" + os.environ["PATH"], **environment)
                self.assertEqual((done.returncode, done.stderr), (1, f"package.sh: {line}\n"))
                self.assertFalse(os.path.exists(built), "the build started")
                self.assertFalse(os.path.exists(os.path.join(self.work, "out")), "a package was left")
                with open(a_file) as f:
                    self.assertEqual(f.read(), "kept\n")

    def test_another_checkout_gives_the_same_packages_and_a_modified_one_is_marked(self):
        clone = os.path.join(self.work, "clone")
        subprocess.run(["git", "clone", "--quiet", SOURCE_DIR, clone], check=True)
        clean = self.packages("clean", clone)
        here_modified = subprocess.run(["git", "status", "--porcelain"], cwd=SOURCE_DIR, check=True,
                                       capture_output=True, text=True).stdout != ""
        if not here_modified:
            self.assertTrue(clean == self.packages("here"), "the packages differ between checkouts")

        with open(os.path.join(clone, "README.md"), "a") as f:
            f.write("A change not committed.\n")
        done = self.package("modified", clone)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "package.sh: the tree has uncommitted changes: "
                                      "the packages are marked '-dirty' and are not the commit's\n")
        self.assertEqual(sorted(os.listdir(os.path.join(self.work, "modified"))),
                         ["SHA256SUMS", f"quendarix-{VERSION}-dirty-win64.zip", f"quendarix-{VERSION}-dirty-x64.msi",
                          f"quendarix-{VERSION}-dirty.cdx.json"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
