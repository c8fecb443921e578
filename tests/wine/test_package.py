"""The Windows Installer package under msiexec, Wine's or Windows' own:
install, upgrade, downgrade, refusal of a service it did not register,
rollback and removal.

The three packages are built here on Linux; on Windows they are made
beforehand (`test_package.py --make-packages FOLDER` on Linux) and found in
the folder that QUENDARIX_TEST_PACKAGES names.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import product
import said
from host import ON_WINDOWS, PROGRAMS, HostTestCase, build_package, lines

SOURCE_DIR = os.environ["QUENDARIX_SOURCE_DIR"]
VERSION = product.VERSION
OLDER = "0.9.0"
FOLDER = "C:\\Program Files\\" + product.INSTALL_FOLDER
FILES = ("quendarixservice.exe", "README.txt", "THIRD-PARTY-NOTICES.txt")  # the MSI's: no installer tool
FAILED = 1603
# A service that does not start: Windows Installer ends with 1603, Wine's
# with 1627 (function failed); both roll back.
START_FAILED = (1603,) if ON_WINDOWS else (1603, 1627)
PACKAGES = ("new", "old", "broken")
# Another installation is under way: tried again, a few times.
BUSY = 1618
# What each refusal writes into the verbose log. 1603 is Windows
# Installer's failure of any kind: the cause is read from the log.
NEWER_INSTALLED = f"A newer version of {product.PRODUCT} is already installed."
FOREIGN_SERVICE = f"A service named {product.SERVICE_NAME} is already registered, not by this package."
SERVICE_NOT_STARTED = "Error 1920."  # "Service ... failed to start"


def digests(paths):
    """{file name: SHA-256} of the files."""
    found = {}
    for path in paths:
        with open(path, "rb") as f:
            found[os.path.basename(path)] = hashlib.sha256(f.read()).hexdigest()
    return found


def make_packages(folder):
    """new.msi of this build's programs, old.msi of an older version built
    the same way, and broken.msi, whose service is not a program."""
    build = os.path.dirname(PROGRAMS)
    build_package(build, os.path.join(folder, "new.msi"))
    with tempfile.TemporaryDirectory(prefix="quendarix-older-") as older:
        toolchain = os.path.join(SOURCE_DIR, "cmake", "mingw-w64-x86_64.cmake")
        subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", older, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                        "-DQUENDARIX_TEST_OLDER_VERSION=" + OLDER, "--toolchain", toolchain], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", older, "-j", "2", "--target", "quendarixinstall", "quendarixservice",
                        "notices"], check=True, stdout=subprocess.DEVNULL)
        build_package(older, os.path.join(folder, "old.msi"))
    build_package(build, os.path.join(folder, "broken.msi"), service=b"not a program")


class Package(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        packages = cls.host.host_path("C:\\Packages")
        os.makedirs(packages, exist_ok=True)
        if ON_WINDOWS:
            for name in PACKAGES:
                shutil.copy(os.path.join(os.environ["QUENDARIX_TEST_PACKAGES"], name + ".msi"), packages)
        else:
            make_packages(packages)
        build = os.path.dirname(PROGRAMS)
        cls.built = digests([os.path.join(build, "bin", FILES[0]), os.path.join(build, "package", FILES[1]),
                             os.path.join(build, "package", FILES[2])])

    def tearDown(self):
        for package in ("new", "old"):
            self.msiexec("/x", package)
        self.assertTrue(self.host.wait_until(lambda: self.host.registry_values() is None))

    def msiexec(self, action, package, cause=None):
        """Runs msiexec; answers its exit code. On Windows with a verbose
        log, kept with the results, and with `cause`, a failure must have
        written it into the log. (Wine's msiexec, whose log says less, runs
        without one.)"""
        self.runs = getattr(self, "runs", 0) + 1
        log = f"C:\\Packages\\{self.id().rsplit('.', 1)[-1]}-{self.runs}-{action[1:]}-{package}.log"
        logging = ["/l*v", log] if ON_WINDOWS else []
        for _ in range(5):
            code, _ = self.host.elevated("msiexec", action, f"C:\\Packages\\{package}.msi", "/qn", *logging)
            if code != self.host.exit_status(BUSY):
                break
            time.sleep(10)
        self.host.keep_result(log)
        if cause is not None and ON_WINDOWS:
            with open(self.host.host_path(log), "rb") as f:
                text = f.read()
            text = text.decode("utf-16") if text[:2] == b"\xff\xfe" else text.decode("latin-1")
            self.assertIn(cause, text, f"{log} does not say why msiexec ended with {code}")
        return code

    def installed(self):
        """{file name: SHA-256} in the installation folder, or None without it."""
        folder = self.host.host_path(FOLDER)
        if not os.path.isdir(folder):
            return None
        return digests(os.path.join(folder, name) for name in os.listdir(folder))

    def running(self):
        return self.host.wait_until(lambda: self.host.service_state() == "4  RUNNING")

    def test_install_registers_as_the_installer_tool_does_and_removal_leaves_nothing(self):
        self.assertEqual(self.msiexec("/i", "new"), 0)
        self.assertTrue(self.running())
        self.assertEqual(self.installed(), self.built)
        by_package = self.host.registry_values()

        self.assertEqual(self.msiexec("/x", "new"), 0)
        self.assertTrue(self.host.wait_until(lambda: self.host.registry_values() is None))
        self.assertIsNone(self.installed())
        self.assertEqual(self.host.service_processes(), [])

        # The installer tool, from the same folder: the same registration.
        # Wine's msiexec leaves the binary path's quotes out; Windows
        # Installer is expected to quote a path with a space, as the tool does.
        self.host.place_programs(FOLDER)
        code, _ = self.host.elevated(FOLDER + "\\quendarixinstall.exe")
        self.assertEqual(code, said.EXIT_SUCCESS)
        by_tool = self.host.registry_values()
        self.assertEqual(by_tool["ImagePath"], f'"{FOLDER}\\quendarixservice.exe"')
        print(f"\n  ImagePath as {'Windows Installer' if ON_WINDOWS else 'Wine msiexec'} registers it: "
              f"{by_package['ImagePath']}", flush=True)
        unquoted = f"{FOLDER}\\quendarixservice.exe"
        self.assertEqual(by_package, by_tool if ON_WINDOWS else dict(by_tool, ImagePath=unquoted))

        # A service the package did not register is refused up front.
        self.assertEqual(self.msiexec("/i", "new", FOREIGN_SERVICE), self.host.exit_status(FAILED))
        self.assertEqual(self.host.registry_values(), by_tool)
        self.assertEqual(self.host.service_state(), "4  RUNNING")
        self.assertEqual(sorted(self.installed()), ["quendarixinstall.exe", "quendarixservice.exe"])
        code, console = self.host.elevated(FOLDER + "\\quendarixinstall.exe", "/Uninstall")
        self.assertEqual((code, lines(console)[-1]), (said.EXIT_SUCCESS, said.DELETED))
        shutil.rmtree(self.host.host_path(FOLDER))

    def test_upgrade_replaces_the_older_version_and_a_downgrade_is_refused(self):
        self.assertEqual(self.msiexec("/i", "old"), 0)
        self.assertTrue(self.running())
        older = self.installed()

        self.assertEqual(self.msiexec("/i", "new"), 0)
        self.assertTrue(self.running())
        self.assertEqual(self.installed(), self.built)
        self.assertNotEqual(self.installed()["quendarixservice.exe"], older["quendarixservice.exe"])
        # The old program reports STOPPED before its process has quite
        # ended: one process once it has.
        self.assertTrue(self.host.wait_until(lambda: len(self.host.service_processes()) == 1),
                        self.host.service_processes())

        self.assertEqual(self.msiexec("/i", "old", NEWER_INSTALLED), self.host.exit_status(FAILED))
        self.assertEqual(self.host.service_state(), "4  RUNNING")
        self.assertEqual(self.installed(), self.built)

    def test_a_service_that_does_not_start_is_rolled_back(self):
        self.assertIn(self.msiexec("/i", "broken", SERVICE_NOT_STARTED),
                      [self.host.exit_status(code) for code in START_FAILED])
        self.assertIsNone(self.host.registry_values())
        self.assertIsNone(self.installed())


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make-packages"] and len(sys.argv) == 3:
        os.makedirs(sys.argv[2], exist_ok=True)
        make_packages(sys.argv[2])
    else:
        unittest.main(verbosity=2)
