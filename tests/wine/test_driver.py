"""The installer's checks before any service work, on the real .exe (under
Wine, or on Windows itself)."""

import os
import re
import shutil
import subprocess
import unittest

import said
from host import ON_WINDOWS, HostTestCase, lines


def unlink_folder(path):
    """Removes a folder that is a link or a junction, not what it leads to."""
    try:
        linked = os.lstat(path).st_file_attributes & 0x400 if ON_WINDOWS else os.path.islink(path)  # reparse point
    except FileNotFoundError:
        return
    if linked:
        (os.rmdir if ON_WINDOWS else os.remove)(path)


class Driver(HostTestCase):
    programs = ("quendarixinstall.exe",)  # no service executable

    def test_a_limited_token_gets_only_the_refusal_in_both_modes(self):
        for mode in ([], ["/Uninstall"]):
            with self.subTest(mode=mode):
                code, console = self.host.limited("C:\\Tools\\quendarixinstall.exe", *mode)
                self.assertEqual(code, said.EXIT_NOT_ELEVATED)
                self.assertEqual(lines(console), [said.NOT_ELEVATED])
                self.assertEqual(self.host.log(), (said.NOT_ELEVATED + "\n").encode())
                self.assertIsNone(self.host.registry_values(), "nothing was registered")
        print(f"\n  not elevated: {self.host.limited_by}", flush=True)

    def test_without_the_service_executable_the_run_ends_with_2(self):
        runs = [
            ("full path", lambda mode: self.host.elevated("C:\\Tools\\quendarixinstall.exe", *mode),
             "C:\\Tools\\quendarixinstall.exe", "C:\\Tools\\quendarixservice.exe"),
            ("bare name", lambda mode: self.host.cmd(" ".join(["cd /d C:\\Tools && quendarixinstall.exe", *mode])),
             "quendarixinstall.exe", "quendarixservice.exe"),
        ]
        for name, run, argv0, probed in runs:
            for mode in ([], ["/Uninstall"]):
                with self.subTest(run=name, mode=mode):
                    code, console = run(mode)
                    self.assertEqual(code, said.EXIT_SERVICE_EXECUTABLE_MISSING)
                    expected = said.missing(argv0, probed)
                    self.assertEqual(lines(console), expected)
                    self.assertEqual(self.host.log(), "".join(l + "\n" for l in expected).encode())
        self.assertIsNone(self.host.service_state(), "no service was registered")

    def test_the_log_is_written_only_at_its_own_path(self):
        temp, elsewhere = self.host.host_path("C:\\temp"), self.host.host_path("C:\\Elsewhere")
        log, other = os.path.join(temp, "quendarixinstall.log"), os.path.join(elsewhere, "other.txt")

        def relink_temp():
            os.rmdir(temp)
            os.symlink("Elsewhere", temp, target_is_directory=True)

        def junction_for_temp():
            if not ON_WINDOWS:
                self.skip_row("Wine cannot make junctions; the linked c:\\temp rows stand in")
            os.rmdir(temp)
            self.host.link_folder("C:\\temp", "C:\\Elsewhere")

        def relink_temp_over_a_log():
            relink_temp()
            with open(os.path.join(elsewhere, "quendarixinstall.log"), "wb") as f:
                f.write(b"a log kept elsewhere\n")

        def earlier_log():
            with open(log, "wb") as f:
                f.write(b"a longer log of an earlier run\n" * 20)

        # Symbolic and hard links: Windows' own on Windows; under Wine, Unix
        # links inside the prefix, which Wine resolves, and it shows a hard
        # link's second name.
        cases = [
            ("plain log of an earlier run", earlier_log, True),
            ("log linked to another file", lambda: os.symlink(os.path.join("..", "Elsewhere", "other.txt"), log), False),
            ("log linked to a file that does not exist",
             lambda: os.symlink(os.path.join("..", "Elsewhere", "new.txt"), log), False),
            ("log a hard link of another file", lambda: os.link(other, log), False),
            ("c:\\temp linked to another directory", relink_temp, False),
            ("c:\\temp linked to another directory with a log", relink_temp_over_a_log, False),
            ("c:\\temp a junction to another directory", junction_for_temp, False),
        ]
        expected = said.missing("C:\\Tools\\quendarixinstall.exe", "C:\\Tools\\quendarixservice.exe")

        def files_elsewhere():
            return {name: open(os.path.join(elsewhere, name), "rb").read() for name in os.listdir(elsewhere)}

        try:
            for name, plant, written in cases:
                with self.subTest(name):
                    unlink_folder(temp)
                    shutil.rmtree(temp, ignore_errors=True)
                    shutil.rmtree(elsewhere, ignore_errors=True)
                    os.makedirs(temp)
                    os.makedirs(elsewhere)
                    with open(other, "wb") as f:
                        f.write(b"another file's bytes\n")
                    plant()
                    before = files_elsewhere()
                    code, console = self.host.elevated("C:\\Tools\\quendarixinstall.exe", "/Uninstall")
                    self.assertEqual((code, lines(console)), (said.EXIT_SERVICE_EXECUTABLE_MISSING, expected))
                    self.assertEqual(files_elsewhere(), before)
                    if written:
                        self.assertEqual(self.host.log(), "".join(l + "\n" for l in expected).encode())
        finally:
            unlink_folder(temp)
            shutil.rmtree(elsewhere, ignore_errors=True)
            self.host.make_log_directory()

        # A log another program holds open for writing is left as it is, and
        # the run goes on without one: the run shares no writing of its log.
        with open(log, "wb") as f:
            f.write(b"an earlier log\n")
        holder = self.host.start("cmd", "/c", "more>>C:\\temp\\quendarixinstall.log")
        try:
            holder.stdin.write(b"held\r\n")
            holder.stdin.flush()
            self.assertTrue(self.host.wait_until(lambda: b"held" in (self.host.log() or b"")), "the log is not held")
            held = self.host.log()
            code, console = self.host.elevated("C:\\Tools\\quendarixinstall.exe", "/Uninstall")
            self.assertEqual((code, lines(console)), (said.EXIT_SERVICE_EXECUTABLE_MISSING, expected))
            self.assertEqual(self.host.log(), held)
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)

        # Every open of the log shares reading only, and DLLs come from
        # System32 only before the console, the log or the token is touched:
        # Wine's relay trace shows each call of the program's own image (for
        # CreateFileA: access, then sharing).
        if ON_WINDOWS:
            self.skip_row("the relay trace is Wine's")
        from wineprefix import WINE
        traced = subprocess.run([WINE, "C:\\Tools\\quendarixinstall.exe", "/Uninstall"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120,
                                env=dict(self.host.env, WINEDEBUG="+relay")).stderr.decode("latin-1")
        # The program's own thread: the one that asks for System32.
        thread = re.search(r"^(\w+):Call KERNEL32\.SetDefaultDllDirectories\(00000800\) ret=1400", traced, re.M)
        self.assertIsNotNone(thread, "SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) was not called")
        own = [call for at, call in re.findall(r"^(\w+):Call (\w+\.\w+\([^\n]*) ret=1400", traced, re.M)
               if at == thread[1]]
        after_start_up = [call for call in own if not call.startswith(("msvcrt.", "ntdll.",
                                                                        "KERNEL32.SetUnhandledExceptionFilter"))]
        self.assertTrue(after_start_up[0].startswith("KERNEL32.SetDefaultDllDirectories"), after_start_up[:3])
        opens = re.findall(r'^KERNEL32\.CreateFileA\(\w+ "c:/temp/quendarixinstall\.log",(\w+),(\w+),', "\n".join(own),
                           re.M)
        self.assertEqual([share for _, share in opens], ["00000001", "00000001"],
                         "a new open, then the existing log's, each sharing reading only")

if __name__ == "__main__":
    unittest.main(verbosity=2)
