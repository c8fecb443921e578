"""Checks a release by rebuilding it (scripts/release/verify.sh runs this).

The release folder is taken as hostile. Its entries are copied once into a
work folder; the history of the commits this checkout releases (its tags,
and one branch: origin/HEAD's, or the one --ref names) is fetched into that
folder too. Started as root, the check then hands the work folder to an
unprivileged account (nobody, or --as USER) and runs everything else as
that account, without network: reading the copy, the signatures, the
rebuild and the comparison. Started as another user, it runs as that user.

The folder must be exactly a release: SHA256SUMS listing every other file
once by a plain name, one ZIP, one MSI, one SBOM. The ZIP is read, never
unpacked by a tool: at most 64 entries, stored or deflated, each decompressed
in chunks and refused past its declared size, 256 MiB in all; a link, an
absolute or '..' name, a repeated name or an entry outside its one top
folder ends the run. The SBOM is read within a size and depth bound. Every
signature (both programs and the MSI) is exactly one signature, holding only
its signer's certificate chain, valid when it was made (authenticode.py);
a time stamp counts only from an authority that chains to a root of the
system's store or one given with --tsa-root, and never from the future. The
commit the SBOM records must be on a release tag or the release branch
before anything of it runs. It is then rebuilt with its own
scripts/package.sh, installing nothing, the release's signatures attached to
the rebuilt files, and every file compared. At the end the release folder is
read again: a file that changed meanwhile is not the one that was checked.

The last line is the verdict: "reproduced" (exit 0), "not reproduced" (exit
1: a file differs or changed, the folder is not a release, a signature is
not accepted or not the publisher's) or "cannot check: WHY" (exit 2: missing
tools, no SBOM or SHA256SUMS, an entry that is not a plain file, a commit
this checkout does not release, a failed rebuild).
"""

import hashlib
import importlib.util
import io
import json
import os
import pwd
import re
import resource
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

RELEASE_SCRIPTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(RELEASE_SCRIPTS))
USAGE = ("usage: scripts/release/verify.sh [--publisher SHA256] [--ref BRANCH] [--tsa-root FILE]... [--as USER] "
         "RELEASE_FOLDER")
LARGEST = 256 << 20  # bytes: no file of a release, in the folder or in its ZIP, comes near; nor all in its ZIP
ENTRIES = 64  # entries of the ZIP, at most
SBOM_LARGEST, SBOM_DEPTH, SBOM_TOOLS = 16 << 20, 64, 256
CHUNK = 1 << 20
# What the check itself runs, and the Debian package that brings it; as
# root also what drops to another account without network (util-linux).
COMMANDS = (("git", "git"), ("osslsigncode", "osslsigncode"), ("diffoscope", "diffoscope-minimal"))
AS_ROOT = (("setpriv", "util-linux"), ("unshare", "util-linux"))
MODULES = (("asn1crypto", "python3-asn1crypto"), ("cryptography", "python3-cryptography"),
           ("pefile", "python3-pefile"))
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# Seconds any one step may take.
QUICK, CLONE, REBUILD = 120, 600, 3600


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
        return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=seconds, **options)
    except subprocess.TimeoutExpired:
        cannot(f"{os.path.basename(command[0])} did not finish in {seconds} s")


def build_needs():
    """(name, package) of every command and module building a release runs,
    as scripts/install-deps.sh lists them (build_needs)."""
    with open(os.path.join(ROOT, "scripts", "install-deps.sh")) as f:
        table = re.search(r"^build_needs='\n(.*?)^'$", f.read(), re.M | re.S)
    return [tuple(line.split()) for line in table[1].splitlines() if line.strip()]


def check_tools(as_root):
    """Every command and module of the whole run, the rebuild's included,
    found before anything is read."""
    needs = [*COMMANDS, *(AS_ROOT if as_root else ()), *[(f"python3:{m}", p) for m, p in MODULES], *build_needs()]
    missing = []
    for name, package in needs:
        found = importlib.util.find_spec(name[len("python3:"):]) if name.startswith("python3:") else \
            shutil.which(name)
        if found is None and (name, package) not in missing:
            missing.append((name, package))
    if missing:
        cannot(f"missing {', '.join(name for name, _ in missing)}: install "
               f"{' '.join(dict.fromkeys(package for _, package in missing))}")


def read_plain(directory, name):
    """A folder entry's bytes, read once through a handle no link redirects."""
    if not stat.S_ISREG(os.stat(name, dir_fd=directory, follow_symlinks=False).st_mode):
        cannot(f"{shown(name)} is not a plain file")
    try:
        handle = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, dir_fd=directory)
    except OSError as error:
        cannot(f"{shown(name)} cannot be read ({error.strerror})")
    with os.fdopen(handle, "rb") as f:
        if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
            cannot(f"{shown(name)} is not a plain file")
        data = f.read(LARGEST + 1)
    if len(data) > LARGEST:
        refuse(f"not a release: {shown(name)} is larger than any file of a release")
    return data


def read_folder(folder):
    """{name: bytes} of every entry of the folder, dotfiles too."""
    try:
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        cannot(f"'{folder}' is not a folder that can be read ({error.strerror})")
    try:
        return {name: read_plain(directory, name) for name in sorted(os.listdir(directory))}
    finally:
        os.close(directory)


def write(path, data):
    handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(handle, "wb") as f:
        f.write(data)


def changed_since(folder, copy):
    """The names whose entry in the folder is no longer the copy's bytes:
    changed, gone, added, or no longer a plain file."""
    try:
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return sorted(copy)
    try:
        changed = []
        for name in sorted(set(os.listdir(directory)) | set(copy)):
            try:
                same = copy.get(name) == read_plain(directory, name)
            except (Verdict, OSError):
                same = False
            if not same:
                changed.append(name)
        return changed
    finally:
        os.close(directory)


# The caller's part: before anything of the release is parsed.

def parse(arguments):
    options = {"publisher": None, "ref": None, "tsa_roots": [], "as": None}
    while len(arguments) > 1 and arguments[0] in ("--publisher", "--ref", "--tsa-root", "--as"):
        option, value, arguments = arguments[0], arguments[1], arguments[2:]
        if option == "--publisher":
            options["publisher"] = value.replace(":", "").lower()
            if not re.fullmatch(r"[0-9a-f]{64}", options["publisher"]):
                cannot(f"'{shown(value)}' is not a SHA-256 fingerprint (64 hex digits, colons allowed)")
        elif option == "--tsa-root":
            options["tsa_roots"].append(value)
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


def fetch_history(branch, into):
    """Only what the checkout releases: its tags and the release branch."""
    for command in (["git", "init", "--quiet", "--bare", into],
                    ["git", "-C", into, "fetch", "--quiet", "--no-tags", ROOT, f"+{branch}:refs/heads/release",
                     "+refs/tags/*:refs/tags/*"]):
        done = run(command, CLONE, text=True)
        if done.returncode != 0:
            cannot(f"fetching this checkout's release history failed: {shown(done.stderr.strip())}")


def hand_over(work, account):
    """The work folder, and all in it, to the account that runs the rest."""
    for folder, subfolders, names in os.walk(work):
        for name in [folder, *(os.path.join(folder, n) for n in subfolders + names)]:
            os.chown(name, account.pw_uid, account.pw_gid, follow_symlinks=False)


def read_verdict(work):
    """The rest's verdict: its exit code and line, from a file it wrote."""
    try:
        handle = os.open(os.path.join(work, "verdict"), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        with os.fdopen(handle, "rb") as f:
            code, _, line = f.read(4096).decode("utf-8", "replace").partition("\n")
    except OSError:
        cannot("the check ended without a verdict")
    if code not in ("0", "1", "2") or not line.isprintable():
        cannot("the check ended without a verdict")
    return int(code), line or None


def check(arguments):
    options, folder = parse(arguments)
    as_root = os.geteuid() == 0
    if options["as"] is not None and not as_root:
        cannot("--as USER needs the check to be started as root")
    check_tools(as_root)
    branch = release_branch(options["ref"])
    shown_branch = re.sub(r"^refs/(heads|remotes)/", "", branch)
    work = tempfile.mkdtemp(prefix="quendarix-verify-")  # only this user can read it
    try:
        for name in ("release", "tools", "home", "tmp", "roots"):
            os.mkdir(os.path.join(work, name), 0o700)
        copy = read_folder(folder)
        for name, data in copy.items():
            write(os.path.join(work, "release", name), data)
        fetch_history(branch, os.path.join(work, "history"))
        for name in ("verify.py", "authenticode.py", "sbom.py"):
            shutil.copy(os.path.join(RELEASE_SCRIPTS, name), os.path.join(work, "tools", name))
        for number, path in enumerate([*options["tsa_roots"], *([SYSTEM_ROOTS] * os.path.exists(SYSTEM_ROOTS))]):
            try:
                with open(path, "rb") as f:
                    write(os.path.join(work, "roots", f"{number}.pem"), f.read(16 << 20))
            except OSError as error:
                cannot(f"cannot read the roots '{shown(path)}' ({error.strerror})")
        with open(os.path.join(work, "options.json"), "w") as f:
            json.dump({"publisher": options["publisher"], "branch": shown_branch}, f)
        print(f"Trusted commits: those on a tag, or on the branch {shown_branch} ({branch}) of {ROOT}")

        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8",
                       "HOME": os.path.join(work, "home"), "TMPDIR": os.path.join(work, "tmp"),
                       "QUENDARIX_NO_INSTALL": "1"}
        prefix = []
        if as_root:
            try:
                account = pwd.getpwnam(options["as"] or "nobody")
            except KeyError:
                cannot(f"there is no account '{shown(options['as'])}' to run the check as")
            if account.pw_uid == 0:
                cannot("--as names root: the check runs the release's code as an unprivileged account")
            hand_over(work, account)
            prefix = ["unshare", "--net", "--", "setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}",
                      "--clear-groups", "--no-new-privs", "--"]
            print(f"Everything after the copy runs as {shown(account.pw_name)} (uid {account.pw_uid}), without "
                  "network.", flush=True)
        try:
            done = subprocess.run([*prefix, "/usr/bin/python3", "-u", os.path.join(work, "tools", "verify.py"),
                                   "--stage", work], stdin=subprocess.DEVNULL, env=environment,
                                  timeout=REBUILD + 4 * CLONE)
        except subprocess.TimeoutExpired:
            cannot(f"the check did not finish in {REBUILD + 4 * CLONE} s")
        code, line = read_verdict(work)
        if done.returncode != code:
            cannot("the check ended without a verdict")
        if code != 0:
            raise Verdict(code, line)
        changed = changed_since(folder, copy)
        if changed:
            print("\n".join(f"{shown(name)} changed while it was checked" for name in changed))
            refuse(None)
        if options["publisher"] is None:
            print("No signer was checked against a pinned fingerprint: give --publisher SHA256 for that.")
    finally:
        shutil.rmtree(work, ignore_errors=True)


# The rest, as the unprivileged account: everything that reads the release.

def check_listing(files):
    """(ZIP, MSI, SBOM): the folder is exactly what its SHA256SUMS lists."""
    if "SHA256SUMS" not in files:
        cannot("the folder holds no SHA256SUMS: is it a whole release folder?")
    try:
        text = files["SHA256SUMS"].decode("utf-8")
    except UnicodeDecodeError:
        refuse("not a release: SHA256SUMS is not text")
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    listed = {}
    for number, line in enumerate(lines, 1):
        match = re.fullmatch(r"([0-9a-f]{64})  (.*)", line)
        if not match or not plain(match[2]):
            refuse(f"not a release: SHA256SUMS line {number} is not 'HASH  NAME' with a plain file name")
        if match[2] in listed:
            refuse(f"not a release: SHA256SUMS lists {match[2]} twice")
        listed[match[2]] = match[1]
    for name in files:
        if name != "SHA256SUMS" and name not in listed:
            refuse(f"not a release: {shown(name)} is not listed in SHA256SUMS")
    kinds = {".zip": [], ".msi": [], ".cdx.json": []}
    for name, digest in listed.items():
        if name not in files:
            refuse(f"not a release: SHA256SUMS lists {name}, which the folder lacks")
        if hashlib.sha256(files[name]).hexdigest() != digest:
            refuse(f"not a release: {name} does not match its line in SHA256SUMS")
        kind = next((kind for kind in kinds if name.endswith(kind)), None)
        if kind is None:
            refuse(f"not a release: {name} is none of a release's ZIP, MSI and SBOM")
        kinds[kind].append(name)
    if not kinds[".cdx.json"]:
        cannot("the folder holds no SBOM (*.cdx.json): is it a release folder?")
    for kind, what in ((".zip", "ZIPs"), (".msi", "MSIs"), (".cdx.json", "SBOMs")):
        if len(kinds[kind]) != 1:
            refuse(f"not a release: the folder holds {len(kinds[kind])} {what}, not one")
    return kinds[".zip"][0], kinds[".msi"][0], kinds[".cdx.json"][0]


def entry_bytes(name, data, info, budget):
    """An entry's content, decompressed in chunks that count the bytes
    really produced: never more than it declares, nor than the budget."""
    entry = shown(info.orig_filename)
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        refuse(f"not a release: {name}: the entry {entry} is compressed with method {info.compress_type}: only "
               "stored and deflated entries are read")
    if info.file_size > budget or info.compress_size > LARGEST:
        refuse(f"not a release: {name}: the entry {entry} is larger than any file of a release")
    header = data[info.header_offset:info.header_offset + 30]
    if len(header) < 30 or header[:4] != b"PK\x03\x04" or info.flag_bits & 0x1:
        refuse(f"not a release: {name}: the entry {entry} cannot be read")
    start = info.header_offset + 30 + sum(struct.unpack_from("<HH", header, 26))
    raw = data[start:start + info.compress_size]
    if len(raw) != info.compress_size:
        refuse(f"not a release: {name}: the entry {entry} cannot be read")
    more = f"not a release: {name}: the entry {entry} holds more than its declared {info.file_size} bytes"
    if info.compress_type == zipfile.ZIP_STORED:
        content = raw
    else:
        inflate, pieces, produced, pending = zlib.decompressobj(-15), [], 0, raw
        try:
            while not inflate.eof:
                piece = inflate.decompress(pending, CHUNK)
                produced += len(piece)
                if produced > info.file_size:
                    refuse(more)
                pieces.append(piece)
                pending = inflate.unconsumed_tail
                if not piece and not pending:
                    break
        except zlib.error:
            refuse(f"not a release: {name}: the entry {entry} cannot be read")
        content = b"".join(pieces)
    if len(content) > info.file_size:
        refuse(more)
    if len(content) != info.file_size or zlib.crc32(content) != info.CRC:
        refuse(f"not a release: {name}: the entry {entry} cannot be read")
    return content


def read_zip(name, data, into):
    """The ZIP's files, written into `into`/TOP: each entry a plain file (or
    the folder itself) directly in the one top folder named after the ZIP."""
    top = name[:-len(".zip")]
    os.mkdir(os.path.join(into, top), 0o700)
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        entries = archive.infolist()
    except (zipfile.BadZipFile, ValueError, EOFError) as error:
        refuse(f"not a release: {name} cannot be read as a ZIP ({error})")
    if len(entries) > ENTRIES:
        refuse(f"not a release: {name} holds {len(entries)} entries, more than the {ENTRIES} this check reads")
    seen, programs, left = set(), [], LARGEST
    for info in entries:
        entry = info.orig_filename
        kind = stat.S_IFMT(info.external_attr >> 16) if info.create_system == 3 else 0  # Unix mode bits
        parts = entry.split("/")
        why = None
        if kind == stat.S_IFLNK:
            why = "is a link"
        elif kind not in (0, stat.S_IFREG, stat.S_IFDIR):
            why = "is not a plain file"
        elif entry.startswith(("/", "\\")) or re.match(r"[A-Za-z]:", entry):
            why = "has an absolute name"
        elif ".." in re.split(r"[/\\]", entry):
            why = "has '..' in its name"
        elif entry.casefold() in seen:
            why = "repeats another entry's name"
        elif entry != top + "/" and not (len(parts) == 2 and parts[0] == top and plain(parts[1])):
            why = f"lies outside the folder {top}/"
        if why:
            refuse(f"not a release: {name}: the entry {shown(entry)} {why}")
        seen.add(entry.casefold())
        if entry == top + "/":
            continue
        content = entry_bytes(name, data, info, left)
        left -= len(content)
        write(os.path.join(into, entry), content)
        if entry.endswith(".exe"):
            programs.append(entry)
    return programs


def read_sbom(name, data):
    """The SBOM, read within a size and depth bound: its commit, and which
    of the tools it records differ here."""
    unreadable = f"not a release: {name} is not a CycloneDX SBOM this check can read"
    if len(data) > SBOM_LARGEST:
        refuse(unreadable)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        refuse(unreadable)
    depth = deepest = 0
    for bracket in re.findall(r"[\[\]{}]", re.sub(r'"(?:[^"\\]|\\.)*"', "", text)):
        depth += 1 if bracket in "[{" else -1
        deepest = max(deepest, depth)
    try:
        if deepest > SBOM_DEPTH:
            raise ValueError("nested too deep")
        bom = json.loads(text)
        product = bom["metadata"]["component"]
        commit = (product.get("pedigree", {}).get("commits") or [{}])[0].get("uid")
        tools = bom.get("formulation", [{}])[0].get("components", [])
        if not isinstance(tools, list) or len(tools) > SBOM_TOOLS:
            raise ValueError("too many tools")
        properties = product.get("properties", [])
        import sbom
        differing = sbom.toolchain_differences(bom)
    except (ValueError, KeyError, TypeError, AttributeError, IndexError):
        refuse(unreadable)
    if not isinstance(commit, str) or not commit:
        cannot("the SBOM records no commit: the release was not built from a git checkout")
    if {"name": "quendarix:tree", "value": "modified"} in properties:
        cannot("the release was built from a tree with uncommitted changes: no commit rebuilds it")
    return commit, differing


def colons(fingerprint):
    return ":".join(fingerprint[i:i + 2] for i in range(0, len(fingerprint), 2)).upper()


def check_signatures(signed, publisher, roots):
    """Every signed file's signature accepted, its signer named, and with a
    publisher every file signed by that certificate. Answers the signed
    ones."""
    import authenticode
    problems, found = [], []
    for shown_name, path in signed:
        try:
            certificate = authenticode.check(path, roots=roots)
        except authenticode.NotSigned:
            print(f"Not signed: {shown_name}")
            if publisher:
                problems.append(f"not signed: {shown_name}")
            continue
        except authenticode.Broken as why:
            problems.append(f"signature not accepted: {shown_name} ({why})")
            continue
        found.append(path)
        fingerprint = authenticode.fingerprint(certificate)
        print(f"Signed: {shown_name} by {authenticode.subject_of(certificate)} ({colons(fingerprint)})")
        if publisher and fingerprint != publisher:
            problems.append(f"signed by another certificate: {shown_name} ({colons(fingerprint)})")
    if problems:
        print("\n".join(problems))
        refuse(None)
    if publisher:
        print(f"Signed by the publisher's certificate ({colons(publisher)}): every program and the MSI.")
    return found


def check_commit(history, commit, branch):
    """The commit is a full hash on a release tag or the release branch (so
    that its scripts are the publisher's), checked before anything of it
    runs."""
    reached = re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit) and run(
        ["git", "--git-dir", history, "for-each-ref", "--count=1", "--contains", commit, "--format=%(refname)",
         "refs/tags", "refs/heads/release"], QUICK, text=True).stdout.strip()
    if not reached:
        cannot(f"commit {shown(commit)} is on no release tag or on {branch}")
    print(f"Commit {commit} is on " + (f"the tag {shown(reached[len('refs/tags/'):])}."
                                        if reached.startswith("refs/tags/") else f"the branch {branch}."))


def rebuild(work, commit, signed):
    """The commit's own release, the release's signatures attached."""
    source = os.path.join(work, "source")
    for command in (["git", "clone", "--quiet", "--no-checkout", os.path.join(work, "history"), source],
                    ["git", "-C", source, "-c", "advice.detachedHead=false", "checkout", "--quiet", commit]):
        done = run(command, CLONE, text=True)
        if done.returncode != 0:
            cannot(f"checking out commit {commit} failed: {shown(done.stderr.strip())}")
    environment = dict(os.environ)
    if signed:
        signatures = os.path.join(work, "signatures")
        os.mkdir(signatures, 0o700)
        for path in signed:
            out = os.path.join(signatures, os.path.basename(path) + ".sig")
            if run(["osslsigncode", "extract-signature", "-in", path, "-out", out], QUICK).returncode != 0:
                cannot(f"osslsigncode could not extract the signature of {os.path.basename(path)}")
        print(f"Signed: {' '.join(sorted(os.path.basename(p) for p in signed))}; "
              "their signatures are attached to the rebuilt files.")
        environment["QUENDARIX_SIGNATURES_FROM"] = signatures
    rebuilt = os.path.join(work, "rebuilt")
    log = os.path.join(work, "rebuild.log")
    print(f"Rebuilding commit {commit}, installing nothing...", flush=True)
    with open(log, "wb") as f:
        try:
            done = subprocess.run(["bash", os.path.join(source, "scripts", "package.sh"), rebuilt],
                                  stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT, env=environment,
                                  timeout=REBUILD)
        except subprocess.TimeoutExpired:
            cannot(f"rebuilding commit {commit} did not finish in {REBUILD} s")
    if done.returncode != 0:
        with open(log, errors="replace") as f:
            sys.stderr.write("".join(f.readlines()[-20:]))
        cannot(f"rebuilding commit {commit} failed")
    return rebuilt


def bounded():
    """diffoscope unpacks what differs: no file it writes larger than 1 GiB."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 30, 1 << 30))


def summary(work, released, rebuilt):
    """diffoscope's report in short: the files and sections inside that
    differ, or for a plain file its first changed lines."""
    report = os.path.join(work, "diffoscope.txt")
    try:
        subprocess.run(["diffoscope", "--no-progress", "--max-container-depth", "3", "--text", report, released,
                        rebuilt], stdin=subprocess.DEVNULL, capture_output=True, timeout=CLONE, preexec_fn=bounded)
        with open(report, encoding="utf-8", errors="replace") as f:
            lines = f.read(LARGEST).splitlines()
    except (subprocess.TimeoutExpired, OSError):
        return ["  (diffoscope gave no report)"]
    picked = [line for line in lines if re.match(r"(│ )*├── ", line)] or \
             [line for line in lines if re.match(r"(│ )*[-+][^-+]", line)]
    return ["  " + line for line in picked[:12]]


def compare(work, files, rebuilt):
    """Each file as released against the rebuild's; a reproduced one named
    with its SHA-256, as SHA256SUMS writes it."""
    released = os.path.join(work, "release")
    status = 0
    made = {name for name in os.listdir(rebuilt) if os.path.isfile(os.path.join(rebuilt, name))}
    for name in sorted(set(files) | made):
        if name not in made:
            print(f"differs: {shown(name)}: in the release, not made by the rebuild")
        elif name not in files:
            print(f"differs: {shown(name)}: the rebuild makes it, the release lacks it")
        else:
            with open(os.path.join(rebuilt, name), "rb") as f:
                same = f.read(LARGEST + 1) == files[name]
            if same:
                print(f"reproduced: {hashlib.sha256(files[name]).hexdigest()}  {name}")
                continue
            print(f"differs: {name}")
            print("\n".join(summary(work, os.path.join(released, name), os.path.join(rebuilt, name))))
        status = 1
    return status


def stage(work):
    with open(os.path.join(work, "options.json")) as f:
        options = json.load(f)
    sys.path.insert(0, os.path.join(work, "tools"))
    files = read_folder(os.path.join(work, "release"))
    unpacked = os.path.join(work, "unpacked")
    os.mkdir(unpacked, 0o700)
    zip_name, msi_name, sbom_name = check_listing(files)
    programs = read_zip(zip_name, files[zip_name], unpacked)
    commit, differing = read_sbom(sbom_name, files[sbom_name])
    print(f"Release: {sbom_name[:-len('.cdx.json')]}, commit {shown(commit)}")
    if differing:
        print("Warning: these tools differ from the ones that built the release, and may give other bytes:")
        print("\n".join("  " + line for line in differing))
    else:
        print("The tools here are the ones that built the release.")

    import authenticode
    roots = authenticode.trusted_roots(sorted(os.path.join(work, "roots", n) for n in os.listdir(
        os.path.join(work, "roots"))))
    candidates = [(entry, os.path.join(unpacked, entry)) for entry in programs]
    candidates.append((msi_name, os.path.join(work, "release", msi_name)))
    signed = check_signatures(candidates, options["publisher"], roots)

    check_commit(os.path.join(work, "history"), commit, options["branch"])
    rebuilt = rebuild(work, commit, signed)
    if compare(work, files, rebuilt):
        refuse(None)


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
    sys.stdout.reconfigure(line_buffering=True)  # in order with the lines of the part run as another account
    if sys.argv[1:2] == ["--stage"] and len(sys.argv) == 3:
        code, line = verdict_of(lambda: stage(sys.argv[2]))
        sys.stdout.flush()
        write(os.path.join(sys.argv[2], "verdict"), f"{code}\n{(line or '').replace(chr(10), ' ')}".encode())
        sys.exit(code)
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
