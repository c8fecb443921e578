"""Checks a release by rebuilding it (scripts/release/verify.sh runs this).

What runs where. The caller reads of the release only its folder: the
listing first (at most 8 plain files, 64 MiB in all, stat'ed through the
folder's descriptor), then each entry once, copied into a folder of its own;
it bundles the history this checkout releases (one branch, origin/HEAD's
or --ref's, and its tags, which count only when a key of --signers signed
them). All that parses the release's bytes or runs its
commit runs in a bubblewrap sandbox (sandbox() says what it holds), as
root through setpriv as an account no other process uses (a fresh uid, or
--as USER), else as the caller. What the caller gives it is read-only
there; the one folder it writes is made empty and handed over through its
own descriptor. Once all of the sandbox has ended (on a time-out too), the
caller reads the verdict through that descriptor, reads the release folder
again and removes its folders without following a link.

In the sandbox (stage()): exactly a release (SHA256SUMS listing every other
file by a plain name; one ZIP, one MSI, one SBOM); the ZIP read, never
unpacked by a tool, within bounds; the SBOM within bounds; every signature
allow-listed (authenticode.py); with --signers, SHA256SUMS signed by a key
of that file; the SBOM's commit on the release branch, or on a tag a key of
--signers signed, before anything of it runs; then rebuilt with its own
scripts/package.sh, installing nothing, the release's signatures attached,
and every file compared.

The last line is the verdict: "reproduced" (exit 0), "not reproduced" (1: a
file differs or changed, not a release, a signature not accepted or not the
publisher's) or "cannot check: WHY" (2: missing tools, no SBOM or
SHA256SUMS, an entry that is not a plain file, a commit not released, a
failed or unfinished rebuild).
"""

import glob
import grp
import importlib.util
import json
import os
import pwd
import re
import secrets
import shutil
import stat
import subprocess
import sys
import tempfile
import time

RELEASE_SCRIPTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(RELEASE_SCRIPTS))
USAGE = ("usage: scripts/release/verify.sh [--signers FILE] [--publisher SHA256] [--ref BRANCH] [--tsa-root FILE]... "
         "[--as USER] [--seconds N] RELEASE_FOLDER")
FOLDER_ENTRIES = 8  # a release folder's entries, at most (it has four or five)
FOLDER_LARGEST = 64 << 20  # bytes: a release folder's files in all, at most (a release is well under 1 MiB)
# What the check itself runs, and the Debian package that brings it; as
# root also what drops to the sandbox's account (util-linux).
COMMANDS = (("bwrap", "bubblewrap"), ("git", "git"), ("osslsigncode", "osslsigncode"),
            ("diffoscope", "diffoscope-minimal"))
AS_ROOT = (("setpriv", "util-linux"),)
WITH_SIGNERS = (("ssh-keygen", "openssh-client"),)
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# Where the sandbox sees what the caller gives it (read-only), the check's
# own scripts (read-only) and its work folder.
INSIDE = "/tmp/check"
GIVEN, TOOLS, WORK = (f"{INSIDE}/{name}" for name in ("given", "tools", "work"))
# The sandbox's fresh account: a uid far above those of accounts and of the
# usual container ranges, checked to be unused.
FRESH_UIDS = range(0x70000000, 0x7FFF0000)
# Seconds any one step may take, and the whole sandbox by default.
QUICK, CLONE, REBUILD = 120, 600, 3600
SANDBOX_SECONDS = REBUILD + 4 * CLONE
NO_RELEASE_KEY = "No release key was pinned: a tag counts only with --signers FILE."


class Verdict(Exception):
    def __init__(self, code, line):
        super().__init__(line)
        self.code, self.line = code, line


def refuse(line):
    """The release is not the publisher's: one line, then "not reproduced"."""
    raise Verdict(1, line)


def cannot(why):
    raise Verdict(2, why)


def shown(name):
    """A name as it can be printed without forging a line of its own."""
    return name if name.isascii() and name.isprintable() and name.strip() == name else ascii(name)


def plain(name):
    return (bool(name) and name.isprintable() and not name.startswith("-") and ".." not in name
            and "/" not in name and "\\" not in name)


def run(command, seconds, **options):
    try:
        return subprocess.run(command, timeout=seconds, **{"stdin": subprocess.DEVNULL, "capture_output": True,
                                                            **options})
    except subprocess.TimeoutExpired:
        cannot(f"{os.path.basename(command[0])} did not finish in {seconds} s")


def build_needs():
    """(name, package) of every command and module building a release runs,
    as scripts/install-deps.sh lists them (build_needs)."""
    with open(os.path.join(ROOT, "scripts", "install-deps.sh")) as f:
        table = re.search(r"^build_needs='\n(.*?)^'$", f.read(), re.M | re.S)
    return [tuple(line.split()) for line in table[1].splitlines() if line.strip()]


def check_tools(as_root, signers):
    """Every command and module of the whole run, the rebuild's included,
    found before anything is read."""
    needs = [*COMMANDS, *(AS_ROOT if as_root else ()), *(WITH_SIGNERS if signers else ()), *build_needs()]  # build_needs has the modules it reads with
    missing = []
    for name, package in needs:
        found = importlib.util.find_spec(name[len("python3:"):]) if name.startswith("python3:") else \
            shutil.which(name)
        if found is None and (name, package) not in missing:
            missing.append((name, package))
    if missing:
        cannot(f"missing {', '.join(name for name, _ in missing)}: install "
               f"{' '.join(dict.fromkeys(package for _, package in missing))}")


def names_in(directory):
    """The folder's entry names: a release's few, or the run ends."""
    with os.scandir(directory) as entries:
        names = sorted(entry.name for entry, _ in zip(entries, range(FOLDER_ENTRIES + 1)))
    if len(names) > FOLDER_ENTRIES:
        refuse(f"not a release: the folder holds more than the {FOLDER_ENTRIES} entries a release may have")
    return names


def listing(directory):
    """The folder's entry names, bounded before a byte of them is read: a
    release's few, each a plain file, FOLDER_LARGEST in all (stat'ed through
    the folder's descriptor)."""
    names = names_in(directory)
    found = [os.stat(name, dir_fd=directory, follow_symlinks=False) for name in names]
    for name in (name for name, entry in zip(names, found) if not stat.S_ISREG(entry.st_mode)):
        cannot(f"{shown(name)} is not a plain file")
    if sum(entry.st_size for entry in found) > FOLDER_LARGEST:
        refuse(f"not a release: its files hold {sum(entry.st_size for entry in found)} bytes, more than the "
               f"{FOLDER_LARGEST >> 20} MiB of any release")
    return names


def read_plain(directory, name):
    """A folder entry's bytes, read once through a handle no link redirects."""
    try:
        handle = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, dir_fd=directory)
    except OSError as error:
        cannot(f"{shown(name)} cannot be read ({error.strerror})")
    with os.fdopen(handle, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            cannot(f"{shown(name)} is not a plain file")
        data = f.read(FOLDER_LARGEST + 1)
    if len(data) > FOLDER_LARGEST:
        refuse(f"not a release: {shown(name)} is larger than any file of a release")
    return data


def read_folder(folder):
    """{name: bytes} of every entry of the folder, dotfiles too."""
    try:
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        cannot(f"'{shown(folder)}' is not a folder that can be read ({error.strerror})")
    try:
        return {name: read_plain(directory, name) for name in listing(directory)}
    finally:
        os.close(directory)


def changed_since(folder, copy):
    """The names whose entry in the folder is no longer the copy's bytes:
    changed, gone, added, or no longer a plain file."""
    try:
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return sorted(copy)
    try:
        names = names_in(directory)
    except Verdict:
        names = []
    changed = []
    for name in sorted(set(names) | set(copy)):
        try:
            same = copy.get(name) == read_plain(directory, name)
        except (Verdict, OSError):
            same = False
        if not same:
            changed.append(name)
    os.close(directory)
    return changed


def made(parent, name, data=None):
    """A new entry of one of the caller's own folders, never one that was
    there nor through a link: a folder (its descriptor), or a file of data."""
    if data is None:
        os.mkdir(name, 0o755, dir_fd=parent)
        return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent)
    with os.fdopen(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=parent),
                   "wb") as f:
        f.write(data)


# The caller's part: before anything of the release is parsed.

def parse(arguments):
    options = {"publisher": None, "ref": None, "tsa_roots": [], "as": None, "seconds": SANDBOX_SECONDS, "signers": None}
    while len(arguments) > 1 and arguments[0] in ("--publisher", "--ref", "--tsa-root", "--as", "--seconds",
                                                  "--signers"):
        option, value, arguments = arguments[0], arguments[1], arguments[2:]
        if option == "--publisher":
            options["publisher"] = value.replace(":", "").lower()
            if not re.fullmatch(r"[0-9a-f]{64}", options["publisher"]):
                cannot(f"'{shown(value)}' is not a SHA-256 fingerprint (64 hex digits, colons allowed)")
        elif option == "--tsa-root":
            options["tsa_roots"].append(value)
        elif option == "--seconds":
            if not re.fullmatch(r"[1-9][0-9]{0,5}", value):
                cannot(f"'{shown(value)}' is not a number of seconds (1 to 999999)")
            options["seconds"] = int(value)
        else:
            options[option[2:]] = value
    if len(arguments) != 1 or arguments[0].startswith("--"):
        cannot(USAGE)
    return options, arguments[0]


def git_here(*arguments):
    return run(["git", "-C", ROOT, *arguments], QUICK, text=True)


def release_branch(named):
    """The full name of the one branch whose commits count besides tags'."""
    said = git_here("rev-parse", "--git-dir")
    if said.returncode != 0:
        refusal = (said.stderr.strip().splitlines() or ["no answer"])[0]
        cannot(f"git refuses this checkout ({shown(refusal)}): run the check as the checkout's owner")
    if named is None:
        full = git_here("symbolic-ref", "--quiet", "refs/remotes/origin/HEAD").stdout.strip()
        if not full:
            cannot("this checkout has no origin/HEAD to name its release branch: name it with --ref BRANCH")
    else:
        if not re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9._/-]*", named):
            cannot(f"'{shown(named)}' is not a branch name")
        full = git_here("rev-parse", "--verify", "--quiet", "--symbolic-full-name", named).stdout.strip()
    if not full.startswith(("refs/heads/", "refs/remotes/")):
        cannot(f"'{shown(named or full)}' is not a branch of this checkout")
    return full


def running_as(uid):
    """Whether a process of this machine has uid as its real, effective,
    saved or file-system user id."""
    for status in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(status) as f:
                if str(uid) in next(line for line in f if line.startswith("Uid:")).split()[1:]:
                    return True
        except (OSError, StopIteration):
            pass
    return False


def sandbox_account(named):
    """(uid, gid, how to call it): --as USER when no process runs as it, or
    a fresh uid that no account, group or process has."""
    if named is None:
        for uid in (FRESH_UIDS[secrets.randbelow(len(FRESH_UIDS))] for _ in range(64)):
            if not running_as(uid) and all(uid not in (entry[2] for entry in table())
                                           for table in (pwd.getpwall, grp.getgrall)):
                return uid, uid, f"uid {uid}, which no account and no other process has"
        cannot("no unused uid was found for the sandbox")
    try:
        account = pwd.getpwnam(named)
    except KeyError:
        cannot(f"there is no account '{shown(named)}' to run the check as")
    if account.pw_uid == 0:
        cannot("--as names root: the check runs the release's code as an unprivileged account")
    if running_as(account.pw_uid):
        cannot(f"a process already runs as {shown(named)}: the sandbox's account must be one no other process uses")
    return account.pw_uid, account.pw_gid, f"{shown(named)} (uid {account.pw_uid})"


def sandbox(outer, uid, gid):
    """The command that runs the rest of the check in the sandbox: as root,
    its account set by setpriv (root in a chroot cannot make the user
    namespace bubblewrap's own --uid needs); as another user, in a user
    namespace of bubblewrap's."""
    command = ["bwrap", "--unshare-net", "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--die-with-parent",
               "--new-session", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
               "--perms", "1777", "--tmpfs", "/tmp", "--perms", "1777", "--tmpfs", "/dev/shm"]
    for hidden in filter(os.path.isdir, ("/run", "/home", "/root")):
        command += ["--perms", "0700", "--tmpfs", hidden]
    if os.path.exists(f"{outer}/given/passwd"):  # the fresh account named, for tools that ask (ssh-keygen)
        command += ["--ro-bind", f"{outer}/given/passwd", "/etc/passwd", "--ro-bind", f"{outer}/given/group",
                    "/etc/group"]
    command += ["--perms", "0755", "--dir", INSIDE, "--ro-bind", f"{outer}/given", GIVEN,
                "--ro-bind", RELEASE_SCRIPTS, TOOLS, "--bind", f"{outer}/work", WORK, "--"]
    if uid is None:
        command.insert(1, "--unshare-user")
    else:
        command += ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "--no-new-privs",
                    "--inh-caps=-all", "--bounding-set=-all", "--"]
    return command + ["/usr/bin/python3", "-u", f"{TOOLS}/in_sandbox.py"]


def run_sandbox(outer, uid, gid, seconds):
    """The sandbox run to its end, and to the end of every process in it:
    bubblewrap itself, and as root every process of its account (the PID
    namespace ends with its first process, killed with bubblewrap)."""
    environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8", "HOME": f"{WORK}/home",
                   "TMPDIR": f"{WORK}/tmp", "QUENDARIX_NO_INSTALL": "1", "PYTHONDONTWRITEBYTECODE": "1"}
    with subprocess.Popen(sandbox(outer, uid, gid), stdin=subprocess.DEVNULL, env=environment) as process:
        try:
            process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            process.kill()
        process.wait()
    for _ in range(200):
        if uid is None or not running_as(uid):
            return None if process.returncode < 0 else process.returncode
        time.sleep(0.05)
    cannot("the sandbox's processes did not end")


def read_verdict(work):
    """The rest's verdict: its exit code and line, from a file it wrote,
    read through the work folder's descriptor."""
    try:
        with os.fdopen(os.open("verdict", os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, dir_fd=work),
                       "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                raise OSError
            code, _, line = f.read(4096).decode("utf-8", "replace").partition("\n")
    except OSError:
        code = line = None
    if code not in ("0", "1", "2") or not line.isprintable():
        cannot("the check ended without a verdict")
    return int(code), line or None


def check(arguments):
    options, folder = parse(arguments)
    as_root = os.geteuid() == 0
    if options["as"] is not None and not as_root:
        cannot("--as USER needs the check to be started as root")
    check_tools(as_root, options["signers"])
    branch = release_branch(options["ref"])
    shown_branch = re.sub(r"^refs/(heads|remotes)/", "", branch)
    uid, gid, who = sandbox_account(options["as"]) if as_root else (None, None, "this user")
    outer = tempfile.mkdtemp(prefix="quendarix-verify-")  # only the caller can enter it
    top = os.open(outer, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    given = made(top, "given")
    work = made(top, "work")  # the one folder the sandbox writes: empty, given through its own descriptor
    try:
        if uid is not None:
            os.fchown(work, uid, gid)
        os.fchmod(work, 0o700)
        copy = read_folder(folder)
        release, roots = made(given, "release"), made(given, "roots")
        for name, data in copy.items():
            made(release, name, data)
        with os.fdopen(os.open("history.bundle", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644,
                               dir_fd=given), "wb") as bundle:
            done = run(["git", "-C", ROOT, "bundle", "create", "--quiet", "-", branch, "--tags"], CLONE,
                       stdout=bundle, stderr=subprocess.PIPE, capture_output=False, text=True)
        if done.returncode != 0:
            cannot(f"bundling this checkout's release history failed: {shown(done.stderr.strip())}")
        for number, path in enumerate([*options["tsa_roots"], *([SYSTEM_ROOTS] * os.path.exists(SYSTEM_ROOTS))]):
            try:
                with open(path, "rb") as f:
                    made(roots, f"{number}.pem", f.read(16 << 20))
            except OSError as error:
                cannot(f"cannot read the roots '{shown(path)}' ({error.strerror})")
        if options["signers"] is not None:
            try:
                with open(options["signers"], "rb") as f:
                    made(given, "allowed_signers", f.read(1 << 20))
            except OSError as error:
                cannot(f"cannot read the signers file '{shown(options['signers'])}' ({error.strerror})")
        if options["as"] is None and uid is not None:
            for table, line in (("passwd", f"sandbox:x:{uid}:{gid}::{WORK}/home:/usr/sbin/nologin\n"),
                                ("group", f"sandbox:x:{gid}:\n")):
                with open(f"/etc/{table}", "rb") as f:
                    made(given, table, f.read(1 << 20) + line.encode())
        made(given, "options.json", json.dumps({"publisher": options["publisher"], "branch": branch,
                                                "shown_branch": shown_branch,
                                                "signers": options["signers"] is not None}).encode())
        for descriptor in (release, roots):
            os.close(descriptor)
        print(f"Trusted commits: those on the branch {shown_branch} ({branch}) of {ROOT}" +
              (f", and on tags signed by a key of {shown(options['signers'])}" if options["signers"] else ""))
        print(f"Everything after the copy runs in a sandbox (bubblewrap) as {who}, without network.", flush=True)

        code = run_sandbox(outer, uid, gid, options["seconds"])
        if code is None:
            cannot(f"the check did not finish in {options['seconds']} s")
        verdict = read_verdict(work)
        if verdict[0] != code:
            cannot("the check ended without a verdict")
        if code != 0:
            raise Verdict(*verdict)
        changed = changed_since(folder, copy)
        if changed:
            print("\n".join(f"{shown(name)} changed while it was checked" for name in changed))
            refuse(None)
        if options["signers"] is None:
            print(NO_RELEASE_KEY)
        if options["publisher"] is None:
            print("No signer was checked against a pinned fingerprint: give --publisher SHA256 for that.")
    finally:
        for descriptor in (top, given, work):
            os.close(descriptor)
        shutil.rmtree(outer, ignore_errors=True)  # by descriptors, never through a link (avoids_symlink_attacks)


def verdict_of(action):
    """Runs action to its verdict: (exit code, line)."""
    try:
        action()
        return 0, None
    except Verdict as verdict:
        return verdict.code, verdict.line
    except Exception as error:  # a verdict, always
        return 2, f"{type(error).__name__}: {error}"


def main():
    sys.stdout.reconfigure(line_buffering=True)  # in order with the sandbox's lines
    code, line = verdict_of(lambda: check(sys.argv[1:]))
    if code == 0:
        print("reproduced")
    elif code == 1:
        if line:
            print(line)
        print("not reproduced")
    else:
        print(f"cannot check: {line}")
    sys.stdout.flush()
    sys.exit(code)


if __name__ == "__main__":
    main()
