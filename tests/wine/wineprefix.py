"""A throwaway Wine prefix with the built programs copied into it."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

WINE = os.environ.get("WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
PROGRAMS = os.environ["QUENDARIX_PROGRAMS"]  # folder of the built .exe files
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\quendarix"
# Launchers that run a command line elevated or with the limited token, on
# purpose: Wine 8 starts programs elevated, Wine 10 limited.
LAUNCHERS = "C:\\Launch"
ELEVATED = LAUNCHERS + "\\elevated_launch.exe"
LIMITED = LAUNCHERS + "\\limited_launch.exe"


def build_package(build, version, output, service=None):
    """Builds the Windows Installer package of a Windows build tree's programs
    (BUILD/bin), README.txt and notices (BUILD/package) at `version` into `output`;
    `service`: other bytes to package as quendarixservice.exe."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with tempfile.TemporaryDirectory(prefix="quendarix-msi-") as files:
        for name in ("quendarixinstall.exe", "quendarixservice.exe"):
            shutil.copy(os.path.join(build, "bin", name), files)
        for name in ("README.txt", "THIRD-PARTY-NOTICES.txt"):
            shutil.copy(os.path.join(build, "package", name), files)
        if service is not None:
            with open(os.path.join(files, "quendarixservice.exe"), "wb") as f:
                f.write(service)
        subprocess.run(["bash", os.path.join(source, "scripts", "release", "build-msi.sh"), files, version, output],
                       env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"), check=True)


class WinePrefix:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="quendarix-wine-")
        # LANG fixes the code pages: UTF-8 file names on Linux, ANSI 1252 and
        # OEM 850 inside.
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG="C.UTF-8")
        self.env.pop("LC_ALL", None)
        self.env.pop("DISPLAY", None)
        try:
            subprocess.run([WINE, "wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # Until the boot session has ended the manager is still starting
            # its own services and may refuse or time out a start.
            subprocess.run([WINESERVER, "-w"], env=self.env, check=True)
            self.place_programs(LAUNCHERS, names=("elevated_launch.exe", "limited_launch.exe"))
        except BaseException:
            self.close()
            raise

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, check=False)
        subprocess.run([WINESERVER, "-w"], env=self.env, check=False)
        shutil.rmtree(self.path, ignore_errors=True)

    def host_path(self, windows_path):
        """C:\\x\\y -> the file inside the prefix."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def place_programs(self, directory, names=("quendarixinstall.exe", "quendarixservice.exe")):
        target = self.host_path(directory)
        os.makedirs(target, exist_ok=True)
        for name in names:
            shutil.copy(os.path.join(PROGRAMS, name), target)

    def query(self, *arguments, timeout=120):
        """Runs a Windows command line with Wine's default token (for reading
        only); answers (exit code, stdout bytes)."""
        done = subprocess.run([WINE, *arguments], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=timeout)
        return done.returncode, done.stdout

    def wine(self, *arguments):
        """Runs a Windows command line elevated, as from an elevated prompt."""
        return self.query(ELEVATED, *arguments)

    def limited(self, *arguments):
        """Runs a Windows command line with the limited token, as from a prompt
        that is not elevated."""
        return self.query(LIMITED, *arguments)

    def cmd(self, command_line):
        return self.wine("cmd", "/c", command_line)

    def log(self):
        """The install log's bytes, or None when there is none."""
        try:
            with open(self.host_path(r"C:\temp\quendarixinstall.log"), "rb") as log:
                return log.read()
        except FileNotFoundError:
            return None

    def make_log_directory(self):
        os.makedirs(self.host_path("C:\\temp"), exist_ok=True)

    def registry_values(self):
        """The service's registry values by name, or None when its key is absent."""
        code, out = self.query("reg", "query", SERVICE_KEY)
        if code != 0:
            return None
        values = {}
        for line in out.decode("latin-1").splitlines():
            match = re.match(r"^\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if match:
                values[match.group(1)] = match.group(3)
        return values

    def service_state(self):
        """The STATE line of `sc query quendarix` ("4  RUNNING"), or None."""
        _, out = self.query("sc", "query", "quendarix")
        match = re.search(r"STATE\s+:\s+(\d+\s+\w+)", out.decode("latin-1"))
        return match.group(1) if match else None

    def service_processes(self):
        """Process ids of quendarixservice.exe running in this prefix."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmdline = f.read()
                with open(f"/proc/{pid}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if b"quendarixservice.exe" in cmdline and f"WINEPREFIX={self.path}".encode() in environ:
                found.append(int(pid))
        return found

    def wait_until(self, condition, seconds=15):
        """Polls a condition the manager reaches asynchronously; answers it."""
        deadline = time.monotonic() + seconds
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.2)
        return condition()


class PrefixTestCase(unittest.TestCase):
    """A suite that shares one prefix, with c:\\temp and its programs in C:\\Tools."""

    programs = ("quendarixinstall.exe", "quendarixservice.exe")

    @classmethod
    def setUpClass(cls):
        cls.prefix = WinePrefix()
        cls.addClassCleanup(cls.prefix.close)
        cls.prefix.make_log_directory()
        cls.prefix.place_programs("C:\\Tools", names=cls.programs)


def lines(console):
    """Console bytes (CR LF line ends) as the list of their lines."""
    assert b"\n" not in console.replace(b"\r\n", b""), console
    return console.decode("latin-1").split("\r\n")[:-1]
