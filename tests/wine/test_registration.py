"""Installing and removing the service against a real Service Control
Manager: Wine's, or Windows' own.

Every fact is read independently of the installer: the registration through
`reg query`, the state through `sc query`, the processes through /proc
(Wine) or tasklist (Windows).
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import product
import said
from host import ON_WINDOWS, HostTestCase, lines

TOOLS = "C:\\Tools"
INSTALLER = TOOLS + "\\quendarixinstall.exe"
SERVICE = TOOLS + "\\quendarixservice.exe"
PROBE = said.probe(INSTALLER, SERVICE)
INSTALLED = [said.CREATING, said.CREATED, said.STATUS.format("SERVICE_STOPPED", "0x1"), said.STARTED]


def installed(host, path, *warnings):
    """An install's lines after the probe for the program registered at
    `path`: the installing account's own line where the host has one, then
    the other warnings, between "Creating service..." and the rest."""
    return INSTALLED[:1] + host.own_warnings(path) + list(warnings) + INSTALLED[1:]


class Registration(HostTestCase):
    def tearDown(self):
        # Leave no registration behind for the next test.
        self.host.elevated("sc", "stop", product.SERVICE_NAME)
        self.host.elevated("sc", "delete", product.SERVICE_NAME)
        self.assertTrue(self.host.wait_until(lambda: self.host.registry_values() is None))

    def run_installer(self, *command):
        """Runs a Windows command line; checks that the log holds the console's lines."""
        code, console = self.host.elevated(*command)
        transcript = lines(console)
        self.assertEqual(self.host.log(), "".join(l + "\n" for l in transcript).encode("latin-1"))
        return code, transcript

    def assert_gone(self):
        self.assertTrue(self.host.wait_until(lambda: not self.host.service_processes()), "service process left")
        self.assertTrue(self.host.wait_until(lambda: self.host.registry_values() is None), "registry key left")
        self.assertIsNone(self.host.service_state())

    def test_install_then_uninstall_a_running_service(self):
        # The installer holds the program open until the first start has
        # returned: the manager still starts it.
        code, transcript = self.run_installer(INSTALLER)
        self.assertEqual((code, transcript), (said.EXIT_SUCCESS, PROBE + installed(self.host, SERVICE)))
        values = self.host.registry_values()
        self.assertEqual(values["DisplayName"], product.DISPLAY_NAME)
        self.assertEqual(values["Description"], product.DESCRIPTION)
        self.assertEqual(values["Type"], "0x10")
        self.assertEqual(values["Start"], "0x2")
        self.assertEqual(values["ErrorControl"], "0x1")
        self.assertEqual(values["ObjectName"], "LocalSystem")
        self.assertEqual(values["ImagePath"], SERVICE)
        self.assertTrue(self.host.wait_until(lambda: self.host.service_state() == "4  RUNNING"))
        self.assertTrue(self.host.service_processes())

        # A second install fails at creation and leaves the first one alone.
        code, transcript = self.run_installer(INSTALLER)
        self.assertEqual((code, transcript),
                         (said.EXIT_SERVICE_NOT_INSTALLED, PROBE + installed(self.host, SERVICE)[:-3] + [said.CREATE_FAILED.format("0x431")]))
        self.assertEqual(self.host.registry_values(), values)
        self.assertEqual(self.host.service_state(), "4  RUNNING")

        code, transcript = self.run_installer(INSTALLER, "/Uninstall")
        self.assertEqual((code, transcript), (said.EXIT_SUCCESS, PROBE + [said.DELETED]))
        self.assert_gone()

    def test_a_service_that_cannot_start_stays_registered_until_removed(self):
        directory = "C:\\Broken"
        self.host.place_programs(directory, names=("quendarixinstall.exe",))
        with open(self.host.host_path(directory + "\\quendarixservice.exe"), "wb") as f:
            f.write(b"not a program")
        installer, service = directory + "\\quendarixinstall.exe", directory + "\\quendarixservice.exe"
        probe = said.probe(installer, service)

        code, transcript = self.run_installer(installer)
        self.assertEqual((code, transcript),
                         (said.EXIT_SERVICE_NOT_INSTALLED, probe + installed(self.host, service)[:-1] + [said.START_FAILED.format("0xc1")]))
        values = self.host.registry_values()
        self.assertEqual((values["Start"], values["ImagePath"]), ("0x2", service))
        self.assertEqual(self.host.service_state(), "1  STOPPED")

        code, transcript = self.run_installer(installer, "/Uninstall")
        self.assertEqual((code, transcript),
                         (said.EXIT_SUCCESS, probe + [said.STOP_FAILED.format("0x426"), said.DELETED]))
        self.assert_gone()

    def test_the_service_started_by_hand_says_what_it_is_and_fails(self):
        code, console = self.host.elevated(SERVICE)
        self.assertNotEqual(code, said.EXIT_SUCCESS)
        self.assertEqual(len(lines(console)), 1)
        self.assertIn("Service Control Manager", lines(console)[0])

    def test_uninstall_with_nothing_installed(self):
        code, transcript = self.run_installer(INSTALLER, "/Uninstall")
        self.assertEqual((code, transcript), (said.EXIT_SERVICE_NOT_REMOVED, PROBE + [said.OPEN_FAILED]))

    def short_name(self, name):
        """The 8.3 name of the directory C:\\<name>, as `dir /x` lists it, or
        None where the volume makes none (Windows may not)."""
        _, out = self.host.query("cmd", "/c", "dir /x C:\\")
        match = re.search(r"<DIR>\s+(\S+)\s+" + re.escape(name) + r"\r?$", out.decode(self.host.oem_encoding, errors="replace"),
                          re.MULTILINE)
        if match is None and not ON_WINDOWS:
            self.fail(out)
        return "C:\\" + match.group(1) if match else None

    def test_the_registered_path_is_the_resolved_path_of_the_file_found(self):
        self.host.place_programs("C:\\Real")
        self.host.link_folder("C:\\Linked", "C:\\Real")  # a junction; under Wine a Unix link stands in
        self.host.place_programs("C:\\QuendarixTools")
        short = self.short_name("QuendarixTools")
        self.host.place_programs("C:\\Substed")
        drive = self.host.subst_drive("C:\\Substed")
        # How the installer is started (a name alone: from that directory,
        # through cmd; None: not on this host, for the reason given), where
        # its programs are, and the binary path registered (None: refused,
        # nothing registered).
        runs = [
            ("directory with a space", "C:\\Program Files\\Quendarix Tools\\quendarixinstall.exe",
             "C:\\Program Files\\Quendarix Tools", '"C:\\Program Files\\Quendarix Tools\\quendarixservice.exe"'),
            ("bare name", "quendarixinstall.exe", "C:\\Bare", "C:\\Bare\\quendarixservice.exe"),
            ("typed without .exe", "quendarixinstall", "C:\\Typed", "C:\\Typed\\quendarixservice.exe"),
            ("linked directory", "C:\\Linked\\quendarixinstall.exe", "C:\\Linked", "C:\\Real\\quendarixservice.exe"),
            ("8.3 short name", short and short + "\\quendarixinstall.exe", short or "dir /x lists no 8.3 name for the folder on this volume",
             "C:\\QuendarixTools\\quendarixservice.exe"),
            ("subst drive", drive and drive + "\\quendarixinstall.exe", drive or "subst is a stub in Wine",
             "C:\\Substed\\quendarixservice.exe"),
            ("other letter case", "C:\\CASED\\QuendarixInstall.EXE", "C:\\Cased", "C:\\Cased\\quendarixservice.exe"),
            ("'%' in the directory", "C:\\A%OS%B\\quendarixinstall.exe", "C:\\A%OS%B", None),
        ]
        for name, started_as, directory, image_path in runs:
            with self.subTest(run=name):
                if started_as is None:
                    self.skip_row(directory)
                if "\\" in started_as:
                    command = lambda *mode: (started_as, *mode)
                else:
                    command = lambda *mode: ("cmd", "/c", " ".join([f"cd /d {directory} && {started_as}", *mode]))
                if directory not in (short, drive):
                    self.host.place_programs(directory)
                code, transcript = self.run_installer(*command())
                self.assertEqual(transcript[0], said.ARGV0.format(started_as))
                if image_path is None:
                    self.assertEqual((code, transcript[2:]),
                                     (said.EXIT_SERVICE_NOT_INSTALLED, [said.CREATING, said.CREATE_FAILED.format("0x7b")]))
                    self.assertIsNone(self.host.registry_values())
                    continue
                self.assertEqual((code, transcript[2:]), (said.EXIT_SUCCESS, installed(self.host, image_path.strip('"'))))
                self.assertEqual(self.host.registry_values()["ImagePath"], image_path)
                self.assertTrue(self.host.wait_until(lambda: self.host.service_state() == "4  RUNNING"))
                code, transcript = self.run_installer(*command("/Uninstall"))
                self.assertEqual((code, transcript[2:]), (said.EXIT_SUCCESS, [said.DELETED]))
                self.assert_gone()

    def test_the_service_registered_is_the_one_beside_the_installer(self):
        # A file of the service's name planted in the folder the
        # administrator stands in, and in the folder above one whose name
        # holds the installer's: neither is ever registered.
        self.host.place_programs("C:\\OnPath")
        self.host.place_programs("C:\\Evil", names=("quendarixservice.exe",))
        self.host.place_programs("C:\\Q\\quendarixinstall.exe.d")
        self.host.place_programs("C:\\Q", names=("quendarixservice.exe",))
        runs = [  # how it is started, argv[0], the file beside it
            ("found through PATH", ("cmd", "/c", "cd /d C:\\Evil&& path C:\\OnPath;%PATH%&& quendarixinstall.exe"),
             "quendarixinstall.exe", "C:\\OnPath\\quendarixservice.exe"),
            ("the name in a folder's name", ("C:\\Q\\quendarixinstall.exe.d\\quendarixinstall.exe",),
             "C:\\Q\\quendarixinstall.exe.d\\quendarixinstall.exe", "C:\\Q\\quendarixinstall.exe.d\\quendarixservice.exe"),
        ]
        for name, command, argv0, service in runs:
            with self.subTest(run=name):
                code, transcript = self.run_installer(*command)
                self.assertEqual((code, transcript), (said.EXIT_SUCCESS, said.probe(argv0, service) +
                                                      installed(self.host, service)))
                self.assertEqual(self.host.registry_values()["ImagePath"], service)
                uninstall = (*command[:-1], command[-1] + " /Uninstall") if command[0] == "cmd" else (*command, "/Uninstall")
                code, transcript = self.run_installer(*uninstall)
                self.assertEqual((code, transcript), (said.EXIT_SUCCESS, said.probe(argv0, service) + [said.DELETED]))
                self.assert_gone()

    def test_a_program_others_can_replace_is_warned_about_and_still_installed(self):
        # Everyone allowed to change the program, its folder or the drive's
        # root (under Wine, the Unix "other" write bit). Folders only
        # administrators can change (every other test's) print no warning.
        for loosened in (SERVICE, TOOLS, "C:\\"):
            with self.subTest(loosened=loosened):
                undo = self.host.let_everyone_change(loosened)
                if undo is None:
                    self.skip_row("changing the drive root's own permissions re-applies inheritance to every file")
                try:
                    code, transcript = self.run_installer(INSTALLER)
                finally:
                    undo()
                self.assertEqual((code, transcript),
                                 (said.EXIT_SUCCESS, PROBE + installed(self.host, SERVICE, said.CAN_CHANGE.format("Everyone", loosened))))
                self.assertEqual(self.host.registry_values()["ImagePath"], SERVICE)
                code, transcript = self.run_installer(INSTALLER, "/Uninstall")
                self.assertEqual((code, transcript), (said.EXIT_SUCCESS, PROBE + [said.DELETED]))
                self.assert_gone()

        # On Windows, a folder made under C:\\ as it is, until the README's
        # icacls lines. What it inherits is the root's: on client Windows
        # "Authenticated Users: Modify" on everything in it (the line names
        # the program); on Windows Server "Users: create folders" on the
        # folder itself (the line names the folder).
        with self.subTest("a folder made under C:\\, then restricted"):
            if not ON_WINDOWS:
                self.skip_row("Wine builds permissions from mode bits: no inherited Authenticated Users entry")
            loose = "C:\\Loose"
            self.host.place_programs(loose, restricted=False)
            installer, service = loose + "\\quendarixinstall.exe", loose + "\\quendarixservice.exe"
            probe = said.probe(installer, service)
            _, root = self.host.query("icacls", "C:\\")
            root = root.decode(self.host.oem_encoding, errors="replace")
            if re.search(r"NT AUTHORITY\\Authenticated Users:\(OI\)\(CI\)(\(IO\))?\(M\)", root):
                expected = said.CAN_CHANGE.format("NT AUTHORITY\\Authenticated Users", service)
            elif re.search(r"BUILTIN\\Users:\(CI\)\(AD\)", root):
                expected = said.CAN_CHANGE.format("BUILTIN\\Users", loose)
            else:
                self.fail("C:\\'s permissions are neither a client's nor a server's:\n" + root)
            code, transcript = self.run_installer(installer)
            print(f"\n  expected from C:\\'s permissions: {expected}\n  printed: {transcript[3]}", flush=True)
            self.assertEqual((code, transcript), (said.EXIT_SUCCESS, probe + installed(self.host, service, expected)))
            self.assertEqual(self.run_installer(installer, "/Uninstall")[0], said.EXIT_SUCCESS)
            self.assert_gone()
            for command in (["icacls", loose, "/inheritance:r", "/grant:r", "*S-1-5-32-544:(OI)(CI)F",
                             "*S-1-5-18:(OI)(CI)F", "*S-1-5-32-545:(OI)(CI)RX"], ["icacls", service, "/reset"],
                            ["icacls", loose, "/setowner", "*S-1-5-32-544", "/t"]):
                subprocess.run(command, check=True, capture_output=True)
            code, transcript = self.run_installer(installer)
            self.assertEqual((code, transcript), (said.EXIT_SUCCESS, probe + installed(self.host, service)))

    def test_windows_only_the_account_s_profile_a_data_drive_and_a_share(self):
        """What Wine cannot show: a program in the running account's own
        profile (its own line on a split token only), a restricted folder on
        a data drive's root (none: the root itself cannot be deleted), and a
        program reached through a share (the share's line, and no walk)."""
        rows = []
        if ON_WINDOWS:
            profile = os.path.join(os.environ["USERPROFILE"], "Downloads", "QuendarixTest")
            split = self.host.token_split()
            print(f"\n  the account's token is {'split' if split else 'not split'}", flush=True)
            own = [said.CAN_CHANGE_UNELEVATED.format(self.host.account(), profile + "\\quendarixservice.exe")]
            rows.append(("the account's profile", profile, profile, own if split else []))
            drive = self.host.data_drive()
            rows.append(("a data drive's root", drive and drive + "\\Quendarix", drive and drive + "\\Quendarix", []))
            share = "\\\\localhost\\C$\\Tools"
            rows.append(("a share", TOOLS, share, [said.ON_SHARE.format(share + "\\quendarixservice.exe")]))
        else:
            rows = [(name, None, None, None) for name in ("the account's profile", "a data drive's root", "a share")]
        for name, folder, started_from, warnings in rows:
            with self.subTest(row=name):
                if folder is None:
                    self.skip_row("Wine has no Windows profile permissions, one volume and no shares"
                                  if not ON_WINDOWS else "no fixed drive other than C:")
                self.host.place_programs(folder, restricted=name != "the account's profile")
                code, transcript = self.run_installer(started_from + "\\quendarixinstall.exe")
                print(f"\n  {name}: exit code {code}, {transcript[3:4]}", flush=True)
                self.assertEqual(transcript[2:3 + len(warnings)], INSTALLED[:1] + warnings)
                self.assertEqual(self.host.registry_values()["ImagePath"], started_from + "\\quendarixservice.exe")
                self.assertEqual(self.run_installer(started_from + "\\quendarixinstall.exe", "/Uninstall")[0], said.EXIT_SUCCESS)
                self.assert_gone()

    def test_a_file_the_system_cannot_give_a_drive_path_for_is_never_registered(self):
        """Wine's two ways of not answering a drive path: a link to a folder
        whose real path is longer than MAX_PATH (Wine 8 fails the call), and
        a file outside every drive (answered as \\\\?\\unix\\...), started
        by that path or through a link on C: (never registered as C:\\K\\...)."""
        if ON_WINDOWS:
            self.skip_row("Wine's answers; Windows' own are the host tests' rows")
        deep = "C:\\" + "\\".join(name * 60 for name in "qrstu")
        self.host.place_programs(deep)
        os.symlink(self.host.host_path(deep), self.host.host_path("C:\\J"))
        outside = tempfile.mkdtemp(prefix="quendarix-outside-")
        self.addCleanup(shutil.rmtree, outside)
        for name in ("quendarixinstall.exe", "quendarixservice.exe"):
            shutil.copy(self.host.host_path(SERVICE if "service" in name else INSTALLER), outside)
        os.symlink(outside, self.host.host_path("C:\\K"))
        drive_z = os.path.join(self.host.path, "dosdevices", "z:")
        z_target = os.readlink(drive_z)
        os.remove(drive_z)
        self.addCleanup(os.symlink, z_target, drive_z)
        # Wine 8 fails the call with ERROR_MORE_DATA; an answer of the long
        # path would be refused for its length (0xce).
        unix = "\\\\?\\unix" + outside.replace("/", "\\")
        for name, folder, error in (("through a link, past MAX_PATH", "C:\\J", "0x(ea|ce)"),
                                    ("outside every drive", unix, None),
                                    ("outside every drive, through a link", "C:\\K", "0x7b")):
            with self.subTest(row=name):
                code, transcript = self.run_installer(folder + "\\quendarixinstall.exe")
                if error is None:  # Wine tells the program its own path as "unix\\...": no folder at all
                    self.assertEqual((code, transcript), (said.EXIT_SERVICE_EXECUTABLE_MISSING, said.missing(
                        folder + "\\quendarixinstall.exe", folder + "\\quendarixservice.exe")))
                    continue
                self.assertEqual((code, transcript[2]), (said.EXIT_SERVICE_NOT_INSTALLED, said.CREATING), transcript)
                self.assertRegex(transcript[3], "^" + re.escape(said.CREATE_FAILED.format("@")).replace("@", error) + "$")
                self.assertEqual(len(transcript), 4, transcript)
                self.assertIsNone(self.host.registry_values())
                self.assertEqual(self.host.service_processes(), [])

    def test_a_folder_name_the_code_page_cannot_carry_is_never_stood_in_for(self):
        # "ł" is not in code page 1252: argv[0] arrives with the look-alike "l".
        real, look_alike = "C:\\Wrocław", "C:\\Wroclaw"
        self.host.place_programs(real)
        short = self.short_name("Wroclaw")  # dir, too, prints the name best-fit
        missing = [said.NOT_FOUND.format(look_alike + "\\quendarixservice.exe")]
        # Through the 8.3 alias argv[0] is plain text, but the program's own
        # path, which tells its folder, is not: it ends as a lossy argv[0].
        alias_missing = [said.NOT_FOUND.format(str(short) + "\\quendarixservice.exe")]
        # Started as, with a look-alike folder planted or not, the exit code and
        # the lines after "argv[0] = ..."; nothing is ever registered or started.
        # An uninstall stops the same way.
        runs = [
            ("real path", real, False, said.EXIT_SERVICE_EXECUTABLE_MISSING, missing),
            ("real path, look-alike planted", real, True, said.EXIT_SERVICE_EXECUTABLE_MISSING, missing),
            ("8.3 alias", short, False, said.EXIT_SERVICE_EXECUTABLE_MISSING, alias_missing),
            ("8.3 alias, look-alike planted", short, True, said.EXIT_SERVICE_EXECUTABLE_MISSING, alias_missing),
        ]
        for name, directory, planted, exit_code, after_argv0 in runs:
            with self.subTest(run=name):
                if directory is None:
                    self.skip_row("dir /x lists no 8.3 name for the folder on this volume")
                if planted:
                    self.host.place_programs(look_alike, names=("quendarixservice.exe",))
                for mode in ([], ["/Uninstall"]):
                    code, transcript = self.run_installer(directory + "\\quendarixinstall.exe", *mode)
                    self.assertEqual((code, transcript[1:]), (exit_code, after_argv0))
                    self.assertIsNone(self.host.registry_values())
                    self.assertEqual(self.host.service_processes(), [], "the planted file was started")
                shutil.rmtree(self.host.host_path(look_alike), ignore_errors=True)

        # A name the code page does carry installs as before.
        carried = "C:\\Outils é"
        self.host.place_programs(carried)
        code, transcript = self.run_installer(carried + "\\quendarixinstall.exe")
        self.assertEqual((code, transcript), (said.EXIT_SUCCESS, said.probe(carried + "\\quendarixinstall.exe",
                                                            carried + "\\quendarixservice.exe") +
                                                 installed(self.host, carried + "\\quendarixservice.exe")))
        self.assertEqual(self.host.registry_values()["ImagePath"], '"' + carried + '\\quendarixservice.exe"')
        self.assertTrue(self.host.wait_until(lambda: self.host.service_state() == "4  RUNNING"))


class DoubleByteCodePage(HostTestCase):
    """Wine in code page 932 (Shift-JIS), where the second byte of a character
    can be 0x5C, the byte of "\\": ソ is 83 5C, 表 is 95 5C."""

    locale = "ja_JP.UTF-8"

    @classmethod
    def setUpClass(cls):
        if ON_WINDOWS:
            raise unittest.SkipTest("the hosted runners' code page is a single-byte one")
        super().setUpClass()

    def tearDown(self):
        Registration.tearDown(self)

    def run_installer(self, *command):
        """The transcript in the code page's letters; the log holds the same."""
        code, console = self.host.elevated(*command)
        self.assertEqual(self.host.log(), console.replace(b"\r\n", b"\n"))
        return code, console.decode("cp932").split("\r\n")[:-1]

    def test_paths_are_split_by_characters_not_bytes(self):
        # The installer saved as ソ.exe and started as C:\Tools\ソ: argv[0]
        # ends in the byte 5C, which is not a separator.
        self.host.place_programs(TOOLS, names=("quendarixservice.exe",))
        shutil.copy(self.host.host_path(INSTALLER), self.host.host_path(TOOLS + "\\ソ.exe"))
        code, transcript = self.run_installer(TOOLS + "\\ソ")
        self.assertEqual((code, transcript), (said.EXIT_SUCCESS, said.probe(TOOLS + "\\ソ", SERVICE) +
                                              installed(self.host, SERVICE)))
        self.assertEqual(self.run_installer(TOOLS + "\\ソ", "/Uninstall")[0], said.EXIT_SUCCESS)

        # A program in C:\表示 with C:\ open to Everyone: the walk goes from
        # the folder to C:\, never to a name cut inside 表.
        folder = "C:\\表示"
        self.host.place_programs(folder)
        undo = self.host.let_everyone_change("C:\\")
        try:
            code, transcript = self.run_installer(folder + "\\quendarixinstall.exe")
        finally:
            undo()
        self.assertEqual((code, transcript[2:]), (said.EXIT_SUCCESS, installed(
            self.host, folder + "\\quendarixservice.exe",
            said.CAN_CHANGE.format("Everyone", "C:\\"))))
        self.assertEqual(self.host.registry_values()["ImagePath"], folder + "\\quendarixservice.exe")


if __name__ == "__main__":
    unittest.main(verbosity=2)
