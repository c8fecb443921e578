"""The suites' host on Windows itself: the programs run as they are, facts are
read with reg, sc and tasklist, paths are the machine's own. Made for a
throwaway machine such as a hosted CI runner, from an elevated account: it
makes folders under C:\\, junctions, subst drives and, when the account has
no split token, a local standard user; close() removes them again.
"""

import csv
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile

from host import LAUNCHERS, LIMITED, PROGRAMS, Host

# The administrators' README's own lines: only Administrators and SYSTEM may
# change the folder, Users may read and run.
RESTRICT = ["/inheritance:r", "/grant:r", "*S-1-5-32-544:(OI)(CI)F", "*S-1-5-18:(OI)(CI)F", "*S-1-5-32-545:(OI)(CI)RX"]
EVERYONE = "*S-1-1-0"
# Runs a program as another account, its standard output to a file; the
# password comes through the environment.
RUN_AS = r"""
$password = ConvertTo-SecureString $env:QUENDARIX_RUN_AS_PASSWORD -AsPlainText -Force
$credential = New-Object System.Management.Automation.PSCredential ($env:QUENDARIX_RUN_AS_USER, $password)
$process = Start-Process -FilePath $env:QUENDARIX_RUN_AS_PROGRAM -ArgumentList $env:QUENDARIX_RUN_AS_ARGUMENTS `
    -Credential $credential -WorkingDirectory C:\Users\Public -RedirectStandardOutput $env:QUENDARIX_RUN_AS_OUTPUT `
    -NoNewWindow -PassThru
$handle = $process.Handle
$process.WaitForExit()
exit $process.ExitCode
"""
NEW_USER = r"""
$password = ConvertTo-SecureString $env:QUENDARIX_RUN_AS_PASSWORD -AsPlainText -Force
New-LocalUser -Name $env:QUENDARIX_RUN_AS_USER -Password $password -AccountNeverExpires -PasswordNeverExpires `
    -Description "Quendarix tests: a standard user" | Out-Null
"""


def parse_tasklist(text):
    """Process ids from `tasklist /fo csv /nh` output (none: an INFO line)."""
    return [int(row[1]) for row in csv.reader(text.splitlines()) if len(row) > 1 and row[1].isdigit()]


def powershell(script, **environment):
    return subprocess.run(["powershell.exe", "-NoProfile", "-NonInteractive", "-Command", script],
                          env=dict(os.environ, **environment), capture_output=True, text=True)


def new_credentials():
    """A name for the standard user that Windows takes (New-LocalUser refuses
    names over 20 characters) and a password that meets the default
    complexity rules (upper and lower case, a digit, a symbol, 14 or more
    characters, no part of the name)."""
    return "qx-" + secrets.token_hex(4), "Qx9!" + secrets.token_urlsafe(18)


def run_bounded(arguments, timeout):
    """Runs a command line; answers (exit code, stdout bytes). One that
    outlives `timeout` is ended with its whole process tree (the launchers'
    children hold its pipes), then TimeoutExpired is raised."""
    process = subprocess.Popen(list(arguments), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        subprocess.run(["taskkill", "/T", "/F", "/PID", str(process.pid)], capture_output=True)
        process.communicate()
        raise
    return process.returncode, out


def remove_made(path):
    """Removes a folder this host made: a junction or link as a link (its
    target stays), a folder with all it holds; never through cmd, whose
    expansion would take "%OS%" in a name for a variable."""
    if os.path.islink(path) or getattr(os.path, "isjunction", lambda _: False)(path):
        try:
            os.unlink(path)
        except OSError:
            os.rmdir(path)  # a directory link or junction on Windows
    elif os.path.isdir(path):
        def writable_again(function, name, *_):
            os.chmod(name, 0o700)
            function(name)
        if sys.version_info >= (3, 12):
            shutil.rmtree(path, onexc=writable_again)
        else:
            shutil.rmtree(path, onerror=writable_again)


class WindowsHost(Host):
    def __init__(self):
        import ctypes
        self.made, self.drives, self.user = [], [], None
        # reg, sc and tasklist write in the OEM code page (437 on an en-US
        # runner, 850 in Western Europe).
        self.oem_encoding = f"cp{ctypes.windll.kernel32.GetOEMCP()}"
        self.limited_by = "the limited token of the account's split token"
        self.place_programs(LAUNCHERS, names=("elevated_launch.exe", "limited_launch.exe"))

    def own_warnings(self, path):
        """None: the folders made here get the README's permissions and
        owner."""
        return []

    def token_split(self):
        """Whether the account's token is split: UAC on (EnableLUA), and not
        the built-in Administrator (RID 500)."""
        code, out = self.query("reg", "query", r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\System",
                               "/v", "EnableLUA")
        lua = code == 0 and re.search(r"EnableLUA\s+REG_DWORD\s+0x1\b", out.decode("latin-1")) is not None
        _, out = self.query("whoami", "/user", "/fo", "csv", "/nh")
        rows = list(csv.reader(out.decode("latin-1").splitlines()))
        return lua and not (rows and rows[0][-1].endswith("-500"))

    def data_drive(self):
        """A fixed drive other than C: ("D:"), or None."""
        import ctypes
        for letter in "DEFGHIJKLMNOP":
            if ctypes.windll.kernel32.GetDriveTypeW(letter + ":\\") == 3:  # DRIVE_FIXED
                return letter + ":"
        return None

    def close(self):
        for drive in self.drives:
            subprocess.run(["subst", drive, "/d"], capture_output=True)
        if self.user:
            powershell("Remove-LocalUser -Name $env:QUENDARIX_RUN_AS_USER", QUENDARIX_RUN_AS_USER=self.user[0])
        for folder in reversed(self.made):
            remove_made(folder)

    def host_path(self, windows_path):
        return windows_path

    def place_programs(self, directory, names=("quendarixinstall.exe", "quendarixservice.exe"), restricted=True):
        """Copies built programs into a folder. A folder made here under a
        drive's root is restricted as the README says (Administrators its
        owner), unless asked not to: made as it is, it inherits what the
        root gives, "Authenticated Users: Modify" on client Windows, "Users:
        create folders" on Windows Server."""
        if not os.path.isdir(directory):
            os.makedirs(directory)
            self.made.append(directory)
            if restricted and os.path.dirname(directory.rstrip("\\")) == directory[:3]:
                subprocess.run(["icacls", directory, *RESTRICT], check=True, capture_output=True)
        for name in names:
            shutil.copy(os.path.join(PROGRAMS, name), directory)
        if restricted and os.path.dirname(directory.rstrip("\\")) == directory[:3]:
            subprocess.run(["icacls", directory, "/setowner", "*S-1-5-32-544", "/t"], check=True, capture_output=True)

    def query(self, *arguments, timeout=120):
        """Runs a Windows command line; answers (exit code, stdout bytes)."""
        return run_bounded(arguments, timeout)

    def start(self, *arguments):
        """Starts a Windows command line and leaves it running, its standard
        input a pipe: it ends when that pipe closes, or is killed."""
        return subprocess.Popen(list(arguments), stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def limited(self, *arguments):
        """Runs a Windows command line as from a prompt that is not elevated:
        with the limited token of a split token; without one (UAC off), as a
        local standard user made for the tests."""
        code, out = self.query(LIMITED, *arguments)
        # 104: no split token; 103 and 105: the linked token could not be had
        # or used (it takes SeTcbPrivilege to get it as a primary token).
        if code not in (103, 104, 105):
            return code, out
        self.limited_by = "a local standard user made for the tests (the account has no split token)"
        if not self.user:
            user = new_credentials()
            made = powershell(NEW_USER, QUENDARIX_RUN_AS_USER=user[0], QUENDARIX_RUN_AS_PASSWORD=user[1])
            if made.returncode != 0:
                raise AssertionError(f"New-LocalUser {user[0]} failed: {made.stderr.strip()}")
            self.user = user
        with tempfile.TemporaryDirectory(dir="C:\\Users\\Public") as scratch:
            output = os.path.join(scratch, "out.txt")
            done = powershell(RUN_AS, QUENDARIX_RUN_AS_USER=self.user[0], QUENDARIX_RUN_AS_PASSWORD=self.user[1],
                              QUENDARIX_RUN_AS_PROGRAM=arguments[0],
                              QUENDARIX_RUN_AS_ARGUMENTS=subprocess.list2cmdline(arguments[1:]) or " ",
                              QUENDARIX_RUN_AS_OUTPUT=output)
            if not os.path.exists(output):
                raise AssertionError(f"Start-Process as {self.user[0]} failed: {done.stderr.strip()}")
            with open(output, "rb") as f:
                return done.returncode, f.read()

    def link_folder(self, link, target):
        """A junction."""
        subprocess.run(["cmd", "/c", "mklink", "/J", link, target], check=True, capture_output=True)
        self.made.append(link)

    def subst_drive(self, target):
        """A free drive letter substituted for `target` ("Q:")."""
        for letter in "QRSTUVWXYZ":
            if not os.path.exists(letter + ":\\"):
                subprocess.run(["subst", letter + ":", target], check=True, capture_output=True)
                self.drives.append(letter + ":")
                return letter + ":"
        raise AssertionError("no free drive letter for subst")

    def let_everyone_change(self, path):
        """Grants Everyone Modify on the file or folder itself; answers the
        undo, or None for a drive's root, whose change would re-apply
        inheritance to the whole drive."""
        if len(path) <= 3:
            return None
        subprocess.run(["icacls", path, "/grant", EVERYONE + ":(M)"], check=True, capture_output=True)
        return lambda: subprocess.run(["icacls", path, "/remove:g", EVERYONE], check=True, capture_output=True)

    def service_processes(self):
        """Process ids of quendarixservice.exe running on this machine."""
        _, out = self.query("tasklist", "/fi", "IMAGENAME eq quendarixservice.exe", "/fo", "csv", "/nh")
        return parse_tasklist(out.decode(self.oem_encoding, errors="replace"))
