"""The machine the end-to-end suites run the programs on, behind one small
interface: a throwaway Wine prefix on Linux (wineprefix.py), or the Windows
machine itself when the suites run on Windows (windowshost.py). Both read
the same facts the same way: the registration through `reg query`, the
state through `sc query`, the log from its file.

Methods: elevated() and limited() run a Windows command line as from an
elevated prompt or one that is not; query() runs one for reading;
registry_values(), service_state(), service_processes(), log();
host_path() maps a Windows path to where this process reaches it;
place_programs(); and the setup that differs between the two: link_folder()
(a junction), subst_drive(), let_everyone_change(), exit_status().
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import product  # the build tree's product facts

PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]  # folder of the built .exe files
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + product.SERVICE_NAME
LOG = "C:\\temp\\quendarixinstall.log"
# Launchers that run a command line elevated or with the limited token, on
# purpose: Wine 8 starts programs elevated, Wine 10 limited, Windows as the
# account's token says.
LAUNCHERS = "C:\\Launch"
ELEVATED = LAUNCHERS + "\\elevated_launch.exe"
LIMITED = LAUNCHERS + "\\limited_launch.exe"
ON_WINDOWS = sys.platform == "win32"


def parse_registry_values(text):
    """{value name: data as printed} from `reg query KEY`'s output."""
    values = {}
    for line in text.splitlines():
        match = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
        if match:
            values[match.group(1)] = match.group(3)
    return values


def parse_service_state(text):
    """The STATE of `sc query NAME`'s output ("4  RUNNING"), or None."""
    match = re.search(r"STATE\s+:\s+(\d+\s+\w+)", text)
    return match.group(1) if match else None


class Host:
    """What both hosts share; each defines query(), host_path(),
    place_programs(), service_processes() and close()."""

    def elevated(self, *arguments):
        """Runs a Windows command line as from an elevated prompt."""
        return self.query(ELEVATED, *arguments)

    def cmd(self, command_line):
        return self.elevated("cmd", "/c", command_line)

    def exit_status(self, code):
        """A Windows exit code as this host hands it to the tests."""
        return code

    def log(self):
        """The install log's bytes, or None when there is none."""
        try:
            with open(self.host_path(LOG), "rb") as log:
                return log.read()
        except FileNotFoundError:
            return None

    def account(self):
        """The running account as the installer names it: DOMAIN\\name."""
        _, out = self.query("cmd", "/c", "echo %USERDOMAIN%\\%USERNAME%")
        return out.decode(self.oem_encoding, errors="replace").strip()

    def own_warnings(self, path):
        """What the installer says of the program at `path` (as registered)
        for its own account: on a split token (UAC), whose unelevated twin
        holds the same SID, the account may not own or be able to change it.
        None here; each host says."""
        return []

    def keep_result(self, path):
        """Copies a file the suites made (a Windows path) into the results
        folder that QUENDARIX_RESULTS names, when it is set."""
        results = os.environ.get("QUENDARIX_RESULTS")
        if results and os.path.exists(self.host_path(path)):
            os.makedirs(results, exist_ok=True)
            shutil.copy(self.host_path(path), results)

    def make_log_directory(self):
        os.makedirs(self.host_path("C:\\temp"), exist_ok=True)

    def registry_values(self):
        """The service's registry values by name, or None when its key is absent."""
        code, out = self.query("reg", "query", SERVICE_KEY)
        return parse_registry_values(out.decode(self.oem_encoding, errors="replace")) if code == 0 else None

    def service_state(self):
        """The STATE line of `sc query quendarix` ("4  RUNNING"), or None."""
        _, out = self.query("sc", "query", product.SERVICE_NAME)
        return parse_service_state(out.decode(self.oem_encoding, errors="replace"))

    def wait_until(self, condition, seconds=15):
        """Polls a condition the manager reaches asynchronously; answers it."""
        deadline = time.monotonic() + seconds
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.2)
        return condition()


def open_host(locale=None):
    """This machine's host: Windows itself, or a new Wine prefix (in the
    Unix locale given, which sets its code pages)."""
    if ON_WINDOWS:
        from windowshost import WindowsHost
        return WindowsHost()
    from wineprefix import WinePrefix
    return WinePrefix(*(locale,) if locale else ())


class HostTestCase(unittest.TestCase):
    """A suite that shares one host, with c:\\temp and its programs in C:\\Tools."""

    programs = ("quendarixinstall.exe", "quendarixservice.exe")
    locale = None

    @classmethod
    def setUpClass(cls):
        cls.host = open_host(cls.locale)
        cls.addClassCleanup(cls.host.close)
        cls.host.make_log_directory()
        cls.host.place_programs("C:\\Tools", names=cls.programs)

    def skip_row(self, reason):
        """Skips a row of a table on this host, saying why."""
        print(f"\n  skipped on {'Windows' if ON_WINDOWS else 'Wine'}: {reason}", flush=True)
        self.skipTest(reason)


def lines(console):
    """Console bytes (CR LF line ends) as the list of their lines."""
    assert b"\n" not in console.replace(b"\r\n", b""), console
    return console.decode("latin-1").split("\r\n")[:-1]


def build_package(build, output, service=None):
    """Builds the Windows Installer package of what a Windows build tree
    installs (its programs, README.txt and notices, at its version) into
    `output`; `service`: other bytes to package as quendarixservice.exe."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with tempfile.TemporaryDirectory(prefix="quendarix-msi-") as files:
        subprocess.run(["cmake", "--install", build, "--prefix", files], check=True, stdout=subprocess.DEVNULL)
        if service is not None:
            with open(os.path.join(files, "quendarixservice.exe"), "wb") as f:
                f.write(service)
        subprocess.run(["bash", os.path.join(source, "scripts", "release", "build-msi.sh"), build, files, output],
                       env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"), check=True)
