"""The installer's checks before any service work, on the real .exe under Wine."""

import unittest

from wineprefix import PrefixTestCase, lines

REFUSAL = "Not running with elevated permissions. Aborting."


class DriverUnderWine(PrefixTestCase):
    programs = ("quendarixinstall.exe", "limited_launch.exe")  # no service executable

    def test_a_limited_token_gets_only_the_refusal_in_both_modes(self):
        for mode in ("", " /Uninstall"):
            with self.subTest(mode=mode):
                code, console = self.prefix.wine("C:\\Tools\\limited_launch.exe",
                                                 "C:\\Tools\\quendarixinstall.exe" + mode)
                self.assertEqual(code, 1)
                self.assertEqual(lines(console), [REFUSAL])
                self.assertEqual(self.prefix.log(), (REFUSAL + "\n").encode())

    def test_without_the_service_executable_the_run_ends_with_2(self):
        missing = "Did not find quendarixservice executable at {}. Aborting."
        runs = [
            ("full path", lambda mode: self.prefix.wine("C:\\Tools\\quendarixinstall.exe", *mode),
             "C:\\Tools\\quendarixinstall.exe", "C:\\Tools\\quendarixservice.exe"),
            ("bare name", lambda mode: self.prefix.cmd(" ".join(["cd /d C:\\Tools && quendarixinstall.exe", *mode])),
             "quendarixinstall.exe", "quendarixservice.exe"),
        ]
        for name, run, argv0, probed in runs:
            for mode in ([], ["/Uninstall"]):
                with self.subTest(run=name, mode=mode):
                    code, console = run(mode)
                    self.assertEqual(code, 2)
                    expected = ["argv[0] = " + argv0, missing.format(probed)]
                    self.assertEqual(lines(console), expected)
                    self.assertEqual(self.prefix.log(), "".join(l + "\n" for l in expected).encode())
        self.assertIsNone(self.prefix.service_state(), "no service was registered")


if __name__ == "__main__":
    unittest.main(verbosity=2)
