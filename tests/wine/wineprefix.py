"""A throwaway Wine prefix with the built programs copied into it."""

import os
import shutil
import stat
import subprocess
import tempfile

import said
from host import LAUNCHERS, LIMITED, PROGRAMS, Host

WINE = os.environ.get("WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")


class WinePrefix(Host):
    limited_by = "the limited token of the launcher's split token"

    def __init__(self, locale="C.UTF-8"):
        self.path = tempfile.mkdtemp(prefix="quendarix-wine-")
        # LANG fixes the code pages: UTF-8 file names on Linux, and inside
        # ANSI 1252 and OEM 850 (C.UTF-8), or 932 for both (ja_JP.UTF-8).
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG=locale)
        # What reg and sc write in: Wine's OEM code page for the locale.
        self.oem_encoding = "cp932" if locale.startswith("ja_JP") else "cp850"
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

    def own_warnings(self, path):
        """Wine's tokens are split (Wine 8 and 10 alike, elevated or not), and
        the prefix's files are owned by the installing account: its line
        comes on every install."""
        if not hasattr(self, "installing_account"):
            self.installing_account = self.account()
        return [said.CAN_CHANGE_UNELEVATED.format(self.installing_account, path)]

    def host_path(self, windows_path):
        """C:\\x\\y -> the file inside the prefix."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def place_programs(self, directory, names=("quendarixinstall.exe", "quendarixservice.exe"), restricted=True):
        """Copies built programs into a folder. Every folder of the prefix is
        its owner's alone, restricted or not."""
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

    def start(self, *arguments):
        """Starts a Windows command line and leaves it running, its standard
        input a pipe: it ends when that pipe closes, or is killed."""
        return subprocess.Popen([WINE, *arguments], env=self.env, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def limited(self, *arguments):
        """Runs a Windows command line with the limited token, as from a prompt
        that is not elevated."""
        return self.query(LIMITED, *arguments)

    def exit_status(self, code):
        return code % 256  # Wine's exit codes reach Linux modulo 256

    def link_folder(self, link, target):
        """A Unix link stands in for a junction: Wine resolves it as Windows
        would a junction (Wine cannot make junctions)."""
        os.symlink(os.path.basename(self.host_path(target)), self.host_path(link))

    def subst_drive(self, target):
        """None: subst is a stub in Wine."""
        return None

    def let_everyone_change(self, path):
        """Wine builds DACLs from the mode bits: write for "other" is
        Everyone's. Answers the undo."""
        host = self.host_path(path)
        mode = os.stat(host).st_mode
        os.chmod(host, mode | stat.S_IWOTH)
        return lambda: os.chmod(host, mode)

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
