"""Checks a release by rebuilding it (scripts/release/verify.sh runs this).

The release folder is taken as hostile: its entries are copied once into a
work folder only the caller can read, and everything after reads that copy
alone. The folder must be exactly a release: SHA256SUMS listing every other
file once by a plain name, one ZIP, one MSI, one SBOM. The ZIP is read with
zipfile, never unpacked by a tool: a link, an absolute or '..' name, a
repeated name or an entry outside its one top folder ends the run. Every
signature (both programs and the MSI) must be exactly one signature, valid
when it was made (authenticode.py). The commit the SBOM records must be
reachable from a branch or tag of this checkout before anything of it runs.
That commit is then rebuilt in a temporary clone with its own
scripts/package.sh, the release's signatures attached to the rebuilt files,
and every file compared.

The last line is the verdict: "reproduced" (exit 0), "not reproduced" (exit
1: a file differs, the folder is not a release, a signature is not accepted
or not the publisher's) or "cannot check: WHY" (exit 2: missing tools, no
SBOM or SHA256SUMS, an entry that is not a plain file, a commit this
checkout does not stand behind, a failed rebuild).
"""

import hashlib
import importlib.util
import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import zipfile
import zlib

RELEASE_SCRIPTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(RELEASE_SCRIPTS))
USAGE = "usage: scripts/release/verify.sh [--publisher SHA256] RELEASE_FOLDER"
LARGEST = 256 << 20  # bytes: no file of a release, in the folder or in its ZIP, comes near
# What the check runs, and the Debian package that brings it.
COMMANDS = (("git", "git"), ("osslsigncode", "osslsigncode"), ("diffoscope", "diffoscope-minimal"))
MODULES = (("asn1crypto", "python3-asn1crypto"), ("cryptography", "python3-cryptography"),
           ("pefile", "python3-pefile"))
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


def check_tools():
    missing = [(name, package) for name, package in COMMANDS if shutil.which(name) is None]
    missing += [(name, package) for name, package in MODULES if importlib.util.find_spec(name) is None]
    if missing:
        cannot(f"missing {', '.join(name for name, _ in missing)}: install "
               f"{' '.join(package for _, package in missing)} (apt-get install, as root), or every build tool with "
               "scripts/install-deps.sh")


def private_copy(folder, into):
    """{name: bytes} of every entry of the folder, dotfiles too, each read
    once through a handle that no link redirects, and written into `into`."""
    try:
        directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        cannot(f"'{folder}' is not a folder that can be read ({error.strerror})")
    files = {}
    try:
        for name in sorted(os.listdir(directory)):
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
            files[name] = data
            write(os.path.join(into, name), data)
    finally:
        os.close(directory)
    return files


def write(path, data):
    handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(handle, "wb") as f:
        f.write(data)


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
    seen, programs = set(), []
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
        if info.file_size > LARGEST:
            refuse(f"not a release: {name}: the entry {entry} is larger than any file of a release")
        try:
            content = archive.read(info)
        except (zipfile.BadZipFile, zlib.error, NotImplementedError, RuntimeError, EOFError) as error:
            refuse(f"not a release: {name}: the entry {entry} cannot be read ({error})")
        write(os.path.join(into, entry), content)
        if entry.endswith(".exe"):
            programs.append(entry)
    return programs


def recorded_commit(name, data):
    try:
        product = json.loads(data)["metadata"]["component"]
        commit = (product.get("pedigree", {}).get("commits") or [{}])[0].get("uid")
    except (ValueError, KeyError, TypeError, AttributeError):
        refuse(f"not a release: {name} is not a CycloneDX SBOM this check can read")
    if not isinstance(commit, str) or not commit:
        cannot("the SBOM records no commit: the release was not built from a git checkout")
    if {"name": "quendarix:tree", "value": "modified"} in product.get("properties", []):
        cannot("the release was built from a tree with uncommitted changes: no commit rebuilds it")
    return commit


def check_signatures(signed, publisher):
    """Every signed file's signature accepted, and with a publisher every
    file signed by that certificate. Answers the names of the signed ones."""
    import authenticode
    problems, found = [], []
    for shown_name, path in signed:
        try:
            certificate = authenticode.check(path)
        except authenticode.NotSigned:
            if publisher:
                problems.append(f"not signed: {shown_name}")
            continue
        except authenticode.Broken as why:
            problems.append(f"signature not accepted: {shown_name} ({why})")
            continue
        found.append(path)
        fingerprint = authenticode.fingerprint(certificate)
        if publisher and fingerprint != publisher:
            problems.append(f"signed by another certificate: {shown_name} ({colons(fingerprint)})")
    if problems:
        print("\n".join(problems))
        refuse(None)
    if publisher:
        print(f"Signed by the publisher's certificate ({colons(publisher)}): every program and the MSI.")
    return found


def colons(fingerprint):
    return ":".join(fingerprint[i:i + 2] for i in range(0, len(fingerprint), 2)).upper()


def git(*arguments, seconds=QUICK):
    return run(["git", "-C", ROOT, *arguments], seconds, text=True)


def check_commit(commit):
    """The commit is a full hash that a branch or tag of this checkout
    reaches (so that its scripts are the publisher's), checked before
    anything of it runs."""
    reached = re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit) and git(
        "for-each-ref", "--count=1", "--contains", commit, "--format=%(refname)",
        "refs/heads", "refs/remotes", "refs/tags").stdout.strip()
    if not reached:
        cannot(f"commit {shown(commit)} is on no branch or tag of this checkout")


def rebuild(work, commit, signed):
    """The commit's own release, the release's signatures attached."""
    source = os.path.join(work, "source")
    for command in (["git", "clone", "--quiet", "--no-checkout", ROOT, source],
                    ["git", "-C", source, "-c", "advice.detachedHead=false", "checkout", "--quiet", commit]):
        done = run(command, CLONE, text=True)
        if done.returncode != 0:
            cannot(f"checking out commit {commit} failed: {done.stderr.strip()}")
    environment = {name: value for name, value in os.environ.items()
                   if not name.startswith("QUENDARIX_SIGNING_") and name not in ("SOURCE_DATE_EPOCH",
                                                                                  "QUENDARIX_SIGNATURES_FROM")}
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


def summary(work, released, rebuilt):
    """diffoscope's report in short: the files and sections inside that
    differ, or for a plain file its first changed lines."""
    report = os.path.join(work, "diffoscope.txt")
    try:
        subprocess.run(["diffoscope", "--no-progress", "--text", report, released, rebuilt],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=CLONE)
        with open(report, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except (subprocess.TimeoutExpired, OSError):
        return ["  (diffoscope gave no report)"]
    picked = [line for line in lines if re.match(r"(│ )*├── ", line)] or \
             [line for line in lines if re.match(r"(│ )*[-+][^-+]", line)]
    return ["  " + line for line in picked[:12]]


def compare(work, released, rebuilt):
    status = 0
    made = {name for name in os.listdir(rebuilt) if os.path.isfile(os.path.join(rebuilt, name))}
    for name in sorted(set(os.listdir(released)) | made):
        if name not in made:
            print(f"differs: {shown(name)}: in the release, not made by the rebuild")
        elif not os.path.exists(os.path.join(released, name)):
            print(f"differs: {name}: the rebuild makes it, the release lacks it")
        else:
            with open(os.path.join(released, name), "rb") as a, open(os.path.join(rebuilt, name), "rb") as b:
                same = a.read() == b.read()
            if same:
                print(f"reproduced: {name}")
                continue
            print(f"differs: {name}")
            print("\n".join(summary(work, os.path.join(released, name), os.path.join(rebuilt, name))))
        status = 1
    return status


def verify(arguments, work):
    publisher = None
    if arguments[:1] == ["--publisher"] and len(arguments) == 3:
        publisher = arguments[1].replace(":", "").lower()
        if not re.fullmatch(r"[0-9a-f]{64}", publisher):
            cannot(f"'{arguments[1]}' is not a SHA-256 fingerprint (64 hex digits, colons allowed)")
        arguments = arguments[2:]
    if len(arguments) != 1 or arguments[0].startswith("--"):
        cannot(USAGE)
    check_tools()
    sys.path.insert(0, RELEASE_SCRIPTS)

    released = os.path.join(work, "release")
    unpacked = os.path.join(work, "unpacked")
    os.mkdir(released, 0o700)
    os.mkdir(unpacked, 0o700)
    files = private_copy(arguments[0], released)
    zip_name, msi_name, sbom_name = check_listing(files)
    programs = read_zip(zip_name, files[zip_name], unpacked)
    commit = recorded_commit(sbom_name, files[sbom_name])
    print(f"Release: {sbom_name[:-len('.cdx.json')]}, commit {shown(commit)}")

    import sbom
    try:
        differing = sbom.toolchain_differences(json.loads(files[sbom_name]))
    except (ValueError, KeyError, TypeError, AttributeError, IndexError):
        refuse(f"not a release: {sbom_name} is not a CycloneDX SBOM this check can read")
    if differing:
        print("Warning: these tools differ from the ones that built the release, and may give other bytes:")
        print("\n".join("  " + line for line in differing))
    else:
        print("The tools here are the ones that built the release.")

    candidates = [(entry, os.path.join(unpacked, entry)) for entry in programs]
    candidates.append((msi_name, os.path.join(released, msi_name)))
    signed = check_signatures(candidates, publisher)

    check_commit(commit)
    print(f"Rebuilding from this checkout's history ({ROOT})...")
    rebuilt = rebuild(work, commit, signed)
    if compare(work, released, rebuilt):
        refuse(None)


def main():
    work = tempfile.mkdtemp(prefix="quendarix-verify-")  # only this user can read it
    try:
        verify(sys.argv[1:], work)
        print("reproduced")
        code = 0
    except Verdict as verdict:
        if verdict.code == 1:
            if verdict.line:
                print(verdict.line)
            print("not reproduced")
        else:
            print(f"cannot check: {verdict.line}")
        code = verdict.code
    except Exception as error:  # a verdict, always
        print(f"cannot check: {type(error).__name__}: {error}")
        code = 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.stdout.flush()
    sys.exit(code)


if __name__ == "__main__":
    main()
