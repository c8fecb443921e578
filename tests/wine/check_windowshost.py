"""What the Windows host chooses by itself, checked here on Linux with no
Windows command run: the standard user's name and password, and the
clean-up of the folders and links it made."""

import os
import sys
import tempfile
import unittest

os.environ.setdefault("QUENDARIX_PROGRAMS", tempfile.gettempdir())
import windowshost  # noqa: E402


class WindowsHostChoices(unittest.TestCase):
    def test_the_standard_user_s_name_and_password_are_ones_windows_takes(self):
        for _ in range(100):
            name, password = windowshost.new_credentials()
            self.assertRegex(name, r"^[a-z0-9-]{1,20}$")
            self.assertGreaterEqual(len(password), 14)
            for kind in ("[A-Z]", "[a-z]", "[0-9]", "[^A-Za-z0-9]"):
                self.assertRegex(password, kind)
            self.assertNotIn(name.lower(), password.lower())

    def test_clean_up_removes_a_link_as_a_link_and_a_folder_whatever_its_name(self):
        with tempfile.TemporaryDirectory() as work:
            target = os.path.join(work, "Real")
            os.makedirs(target)
            kept = os.path.join(target, "kept")
            open(kept, "w").close()
            link = os.path.join(work, "Linked")
            os.symlink(target, link)
            odd = os.path.join(work, "A%OS%B")
            os.makedirs(os.path.join(odd, "sub"))
            read_only = os.path.join(odd, "sub", "program.exe")
            open(read_only, "w").close()
            os.chmod(read_only, 0o400)
            for made in (odd, link):
                windowshost.remove_made(made)
            self.assertFalse(os.path.lexists(link))
            self.assertFalse(os.path.lexists(odd))
            self.assertTrue(os.path.exists(kept), "the link's target went too")


if __name__ == "__main__":
    unittest.main(verbosity=2)
