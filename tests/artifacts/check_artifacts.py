"""Checks on the built .exe files, read with pefile (python3-pefile)."""

import os
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

import pefile

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]
SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
BUILD_DIR = os.environ["QUENDARIX_BUILD_DIR"]
VERSION = os.environ["QUENDARIX_VERSION"]
EXES = ("quendarixinstall.exe", "quendarixservice.exe")
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
# Every text-taking function the programs call, by its narrow name.
NARROW_CALLS = {
    "quendarixinstall.exe": ["OpenSCManagerA", "CreateServiceA", "ChangeServiceConfig2A", "OpenServiceA", "CreateFileA",
                             "GetFinalPathNameByHandleA"],
    "quendarixservice.exe": ["StartServiceCtrlDispatcherA", "RegisterServiceCtrlHandlerExA", "CreateEventA"],
}
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


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
    def test_both_are_static_x86_64_console_programs_using_only_system_dlls(self):
        for name in EXES:
            with self.subTest(name):
                pe = image(name)
                self.assertEqual(pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
                self.assertEqual(pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
                self.assertEqual(pe.OPTIONAL_HEADER.Subsystem,
                                 pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
                self.assertLessEqual(set(imports(pe)), SYSTEM_DLLS)
                self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "no time stamp in the image")

    def test_text_functions_are_imported_in_their_narrow_variant_only(self):
        for name in EXES:
            with self.subTest(name):
                imported = {f for functions in imports(image(name)).values() for f in functions}
                for function in NARROW_CALLS[name]:
                    self.assertIn(function, imported)
                for function in imported:
                    if function.endswith("A"):
                        self.assertNotIn(function[:-1] + "W", imported)

    def test_the_installers_only_resource_is_its_asinvoker_manifest(self):
        found = resources(image("quendarixinstall.exe"))
        self.assertEqual([entry[:3] for entry in found], [(RT_MANIFEST, 1, 1033)])
        root = ElementTree.fromstring(found[0][3])
        self.assertEqual((root.tag, root.get("manifestVersion")), (ASM_V1 + "assembly", "1.0"))

        def only_child(element, tag):
            self.assertEqual([child.tag for child in element], [tag])
            return element[0]

        level = root
        for tag in ("trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"):
            level = only_child(level, ASM_V3 + tag)
        self.assertEqual(dict(level.attrib), {"level": "asInvoker", "uiAccess": "false"})
        self.assertEqual(len(level), 0)

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

    def test_the_release_package_holds_both_programs_and_the_readme(self):
        with tempfile.TemporaryDirectory(prefix="quendarix-package-") as output:
            subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", output],
                           check=True, stdout=subprocess.DEVNULL)
            top = f"quendarix-{VERSION}-win64/"
            with zipfile.ZipFile(os.path.join(output, top[:-1] + ".zip")) as package:
                self.assertEqual(sorted(package.namelist()),
                                 [top + "README.txt", top + "quendarixinstall.exe", top + "quendarixservice.exe"])
                for name in EXES:
                    with open(os.path.join(PROGRAMS, name), "rb") as built:
                        self.assertTrue(package.read(top + name) == built.read(), name)
                readme = package.read(top + "README.txt").decode("ascii")
                self.assertIn(f"installer {VERSION}\r\n", readme)
                self.assertNotIn("@", readme)
                self.assertEqual(readme.count("\n"), readme.count("\r\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
