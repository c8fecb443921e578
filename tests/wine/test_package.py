"""The Windows Installer package under Wine's own msiexec: install, upgrade,
downgrade, refusal of a service it did not register, rollback and removal.

msiexec's exit codes reach Linux modulo 256: 1603 (failed) arrives as 67.
"""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

from wineprefix import PROGRAMS, PrefixTestCase, build_package, lines

SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
VERSION = os.environ["QUENDARIX_VERSION"]
OLDER = "0.9.0"
FOLDER = "C:\\Program Files\\Quendarix"
FILES = ("quendarixinstall.exe", "quendarixservice.exe", "README.txt", "THIRD-PARTY-NOTICES.txt")
FAILED = 1603 % 256
# A service that does not start: Windows Installer ends with 1603, Wine's
# with 1627 (function failed); both roll back.
START_FAILED = (FAILED, 1627 % 256)


def digests(paths):
    """{file name: SHA-256} of the files."""
    found = {}
    for path in paths:
        with open(path, "rb") as f:
            found[os.path.basename(path)] = hashlib.sha256(f.read()).hexdigest()
    return found


class PackageUnderWine(PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.work = tempfile.mkdtemp(prefix="quendarix-msi-")
        cls.addClassCleanup(shutil.rmtree, cls.work)
        packages = cls.prefix.host_path("C:\\Packages")
        os.makedirs(packages)

        # This build's programs, an older version built the same way, and a
        # package whose service is not a program.
        build = os.path.dirname(PROGRAMS)
        build_package(build, VERSION, os.path.join(packages, "new.msi"))
        older = os.path.join(cls.work, "older")
        toolchain = os.path.join(SOURCE_DIR, "cmake", "mingw-w64-x86_64.cmake")
        subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", older, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                        "-DQUENDARIX_VERSION=" + OLDER, "--toolchain", toolchain], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", older, "-j", "2", "--target", "quendarixinstall", "quendarixservice", "notices"],
                       check=True, stdout=subprocess.DEVNULL)
        build_package(older, OLDER, os.path.join(packages, "old.msi"))
        build_package(build, VERSION, os.path.join(packages, "broken.msi"), service=b"not a program")
        cls.built = digests([os.path.join(build, "bin", FILES[0]), os.path.join(build, "bin", FILES[1]),
                             os.path.join(build, "package", FILES[2]), os.path.join(build, "package", FILES[3])])

    def tearDown(self):
        for package in ("new", "old"):
            self.msiexec("/x", package)
        self.assertTrue(self.prefix.wait_until(lambda: self.prefix.registry_values() is None))

    def msiexec(self, action, package):
        code, _ = self.prefix.wine("msiexec", action, f"C:\\Packages\\{package}.msi", "/qn")
        return code

    def installed(self):
        """{file name: SHA-256} in the installation folder, or None without it."""
        folder = self.prefix.host_path(FOLDER)
        if not os.path.isdir(folder):
            return None
        return digests(os.path.join(folder, name) for name in os.listdir(folder))

    def running(self):
        return self.prefix.wait_until(lambda: self.prefix.service_state() == "4  RUNNING")

    def test_install_registers_as_the_installer_tool_does_and_removal_leaves_nothing(self):
        self.assertEqual(self.msiexec("/i", "new"), 0)
        self.assertTrue(self.running())
        self.assertEqual(self.installed(), self.built)
        by_package = self.prefix.registry_values()

        self.assertEqual(self.msiexec("/x", "new"), 0)
        self.assertTrue(self.prefix.wait_until(lambda: self.prefix.registry_values() is None))
        self.assertIsNone(self.installed())
        self.assertEqual(self.prefix.service_processes(), [])

        # The installer tool, from the same folder: the same registration,
        # but for the binary path's quotes, which Wine's msiexec leaves out.
        self.prefix.place_programs(FOLDER)
        code, _ = self.prefix.wine(FOLDER + "\\quendarixinstall.exe")
        self.assertEqual(code, 0)
        by_tool = self.prefix.registry_values()
        self.assertEqual(by_tool["ImagePath"], f'"{FOLDER}\\quendarixservice.exe"')
        self.assertEqual(by_package, dict(by_tool, ImagePath=f"{FOLDER}\\quendarixservice.exe"))

        # A service the package did not register is refused up front.
        self.assertEqual(self.msiexec("/i", "new"), FAILED)
        self.assertEqual(self.prefix.registry_values(), by_tool)
        self.assertEqual(self.prefix.service_state(), "4  RUNNING")
        self.assertEqual(sorted(self.installed()), ["quendarixinstall.exe", "quendarixservice.exe"])
        code, console = self.prefix.wine(FOLDER + "\\quendarixinstall.exe", "/Uninstall")
        self.assertEqual((code, lines(console)[-1]), (0, "Deleted quendarix service."))
        shutil.rmtree(self.prefix.host_path(FOLDER))

    def test_upgrade_replaces_the_older_version_and_a_downgrade_is_refused(self):
        self.assertEqual(self.msiexec("/i", "old"), 0)
        self.assertTrue(self.running())
        older = self.installed()

        self.assertEqual(self.msiexec("/i", "new"), 0)
        self.assertTrue(self.running())
        self.assertEqual(self.installed(), self.built)
        self.assertNotEqual(self.installed()["quendarixservice.exe"], older["quendarixservice.exe"])
        self.assertEqual(len(self.prefix.service_processes()), 1)

        self.assertEqual(self.msiexec("/i", "old"), FAILED)
        self.assertEqual(self.prefix.service_state(), "4  RUNNING")
        self.assertEqual(self.installed(), self.built)

    def test_a_service_that_does_not_start_is_rolled_back(self):
        self.assertIn(self.msiexec("/i", "broken"), START_FAILED)
        self.assertIsNone(self.prefix.registry_values())
        self.assertIsNone(self.installed())


if __name__ == "__main__":
    unittest.main(verbosity=2)
