"""What is inside a release, as the build itself says it.

    sbom.py notices OUTPUT MAP...
        THIRD-PARTY-NOTICES.txt for the programs linked with these link maps:
        the notices and licence texts of every Debian package whose code the
        linker took in, from the package's own copyright file.
    sbom.py sbom OUTPUT --version V [--commit C] [--modified] --maps DIR
                 --programs FOLDER RELEASE_FILE...
        The release's CycloneDX 1.6 SBOM: the product, every release file
        with its SHA-256, for each program the packages linked into it (per
        its link map, DIR/PROGRAM.map) and the system DLLs it imports, and
        the toolchain that built it. Times come from SOURCE_DATE_EPOCH and
        the serial number from the contents, so the same commit gives the
        same bytes.
    sbom.py toolchain SBOM
        One line for each tool whose version here differs from the one the
        SBOM records.
    sbom.py commit SBOM
        The commit the SBOM records; none for a release from a modified tree.

Which packages are linked in comes from the maps; what the release says of
each package's licence comes from packaging/licences.json, which a new
package must be added to before a release can be made.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
import uuid

import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LICENCES = os.path.join(ROOT, "packaging", "licences.json")
PROGRAMS = ("quendarixinstall.exe", "quendarixservice.exe")
# The Debian packages that build a release (sbom.py records their versions).
TOOLCHAIN = ("gcc-mingw-w64-x86-64-posix", "g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64",
             "mingw-w64-x86-64-dev", "cmake", "wixl", "msitools", "osslsigncode", "strip-nondeterminism",
             "faketime", "python3-pefile")
NAMESPACE = uuid.UUID("0c6f3d55-2a8e-4f1b-9d7c-5e4a3b2c1d0f")


def fail(message):
    print(f"sbom.py: {message}", file=sys.stderr)
    sys.exit(1)


def read_map(path):
    """{file: set of members} that the linker took from outside the build
    tree: archive members it included, and object files it loaded whole."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError as error:
        fail(f"cannot read the link map '{path}': {error.strerror}")
    taken = {}
    in_members = False
    for line in lines:
        if line.startswith("Archive member included"):
            in_members = True
            continue
        if in_members and line and not line[0].isspace():
            match = re.match(r"^(/\S+\.a)\((.+)\)$", line)
            if match:
                taken.setdefault(os.path.realpath(match.group(1)), set()).add(match.group(2))
            elif not re.match(r"^\S+\.a\(", line):  # the build's own objects are relative
                in_members = False
        match = re.match(r"^LOAD (/\S+\.o)$", line)
        if match:
            taken.setdefault(os.path.realpath(match.group(1)), set())
    if not taken:
        fail(f"the link map '{path}' names nothing linked in: not a map of a static link")
    return taken


def query(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def owner(path):
    """The Debian package that installed a file."""
    try:
        found = query("dpkg-query", "-S", path)
    except subprocess.CalledProcessError:
        fail(f"no Debian package owns '{path}', which the linker took in")
    for line in found.splitlines():
        if not line.startswith("diversion by"):
            return line.split(":")[0].strip()
    fail(f"no Debian package owns '{path}'")


def package_facts(package):
    """(version, architecture) of an installed Debian package."""
    version, architecture = query("dpkg-query", "-W", "-f=${Version} ${Architecture}", package).split()
    return version, architecture


def linked_packages(map_path):
    """{package: {file name: set of members}} linked in per the map."""
    packages = {}
    for path, members in read_map(map_path).items():
        packages.setdefault(owner(path), {}).setdefault(os.path.basename(path), set()).update(members)
    return dict(sorted(packages.items()))


def describe(files):
    """What was taken from a package's files, in short: "crt2.o;
    libmingwex.a: gdtoa misc; libkernel32.a: 28 import stubs"."""
    said = []
    for name, members in sorted(files.items()):
        if not members:
            said.append(name)
            continue
        stem = name[:-len(".a")]
        stubs = [m for m in members if re.match(rf"^{re.escape(stem)}(_def)?(h|t|s\d+)\.o$", m)]
        code = sorted(re.sub(r"^lib\d*_\w+?_a-", "", m)[:-len(".o")] for m in members if m not in stubs)
        parts = ([" ".join(code)] if code else []) + ([f"{len(stubs)} import stubs"] if stubs else [])
        said.append(f"{name}: {' and '.join(parts)}")
    return "; ".join(said)


def licences():
    with open(LICENCES, encoding="utf-8") as f:
        return json.load(f)["packages"]


def licence_of(package, known):
    if package not in known:
        fail(f"the linker took in code from {package}, whose licence the release does not state yet: "
             f"review /usr/share/doc/{package}/copyright and add it to packaging/licences.json")
    return known[package]


def copyright_texts(package, entry):
    """The parts of the package's copyright file that the notices reproduce."""
    path = f"/usr/share/doc/{package}/copyright"
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    parts = []
    if "stanzas" in entry:
        paragraphs = re.split(r"\n\s*\n", text)
        for name in entry["stanzas"]:
            found = [p for p in paragraphs if re.search(rf"^License: {re.escape(name)}\s*$", p, re.M)]
            if not found:
                fail(f"{path} has no paragraph with License: {name}")
            parts.extend(found)
    for first, after in entry.get("sections", []):
        start = text.find(first)
        end = text.find(after, start + 1)
        if start < 0 or end < 0:
            fail(f"{path} no longer holds the section from '{first}' to '{after}': check packaging/licences.json")
        parts.append(text[start:end].rstrip())
    return parts


def notices(output, maps):
    known = licences()
    linked = {}
    for map_path in maps:
        program = os.path.basename(map_path)[:-len(".map")] + ".exe"
        for package, files in linked_packages(map_path).items():
            linked.setdefault(package, {})[program] = describe(files)
    lines = ["Third-party notices", "===================", "",
             "The programs in this release are linked statically. Besides the",
             "project's own code they hold parts of the following packages, as built",
             "by Debian; their licences ask that these notices come with the programs.",
             "The texts are those of each package's copyright file.", ""]
    for package, programs in sorted(linked.items()):
        entry = licence_of(package, known)
        version, _ = package_facts(package)
        title = f"{package} {version} (Debian)"
        lines += ["", title, "-" * len(title), f"Licence: {entry['licence']}"]
        for program, parts in sorted(programs.items()):
            lines.append(textwrap.fill(f"In {program}: {parts}", width=76, subsequent_indent="    ",
                                       break_on_hyphens=False))
        for text in copyright_texts(package, entry):
            lines += ["", text]
    with open(output, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def os_release():
    facts = {}
    with open("/etc/os-release") as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            facts[name] = value.strip('"')
    with open("/etc/debian_version") as f:
        facts["DEBIAN_VERSION"] = f.read().strip()
    return facts


def purl(package, version, architecture, codename):
    return f"pkg:deb/debian/{package}@{version}?arch={architecture}&distro={codename}"


def imported_dlls(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return sorted({entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}, key=str.lower)


def file_component(path, kind, version=None):
    name = os.path.basename(path)
    component = {"type": kind, "bom-ref": f"file:{name}", "name": name}
    if version:
        component["version"] = version
    component["hashes"] = [{"alg": "SHA-256", "content": sha256(path)}]
    return component


def sbom(arguments):
    parser = argparse.ArgumentParser(prog="sbom.py sbom")
    parser.add_argument("output")
    parser.add_argument("--version", required=True)
    parser.add_argument("--commit")
    parser.add_argument("--modified", action="store_true")
    parser.add_argument("--maps", required=True)
    parser.add_argument("--programs", required=True)
    parser.add_argument("files", nargs="+")
    options = parser.parse_args(arguments)

    known = licences()
    system = os_release()
    codename = system.get("VERSION_CODENAME", "")
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    timestamp = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")

    product = {"type": "application", "bom-ref": "quendarix", "supplier": {"name": "Quendarix"},
               "name": "quendarix", "version": options.version,
               "description": "The Quendarix service and its installer, for 64-bit Windows"}
    if options.commit:
        product["pedigree"] = {"commits": [{"uid": options.commit}]}
        product["properties"] = [{"name": "quendarix:commit", "value": options.commit},
                                 {"name": "quendarix:tree", "value": "modified" if options.modified else "clean"}]

    components, dependencies, libraries, dlls = [], [], {}, {}
    for path in options.files:
        components.append(file_component(path, "file"))
    for program in PROGRAMS:
        path = os.path.join(options.programs, program)
        components.append(file_component(path, "application", options.version))
        depends = []
        for package, files in linked_packages(os.path.join(options.maps, program[:-len(".exe")] + ".map")).items():
            version, architecture = package_facts(package)
            reference = purl(package, version, architecture, codename)
            library = libraries.setdefault(reference, {
                "type": "library", "bom-ref": reference, "supplier": {"name": "Debian"}, "name": package,
                "version": version, "licenses": [{"expression": licence_of(package, known)["licence"]}],
                "purl": reference, "properties": []})
            library["properties"].append({"name": f"quendarix:linked-into:{program}", "value": describe(files)})
            depends.append(reference)
        for dll in imported_dlls(path):
            reference = f"windows:{dll.lower()}"
            dlls.setdefault(reference, {"type": "library", "bom-ref": reference,
                                        "supplier": {"name": "Microsoft Corporation"}, "name": dll,
                                        "description": "Windows system DLL, imported; provided by Windows, not shipped",
                                        "scope": "required"})
            depends.append(reference)
        dependencies.append({"ref": f"file:{program}", "dependsOn": depends})
    components += list(libraries.values()) + list(dlls.values())
    dependencies.insert(0, {"ref": "quendarix", "dependsOn": [f"file:{program}" for program in PROGRAMS]})

    tools = [{"type": "operating-system", "bom-ref": "build:debian", "name": "debian",
              "version": system["DEBIAN_VERSION"], "description": system.get("PRETTY_NAME", "")}]
    for package in TOOLCHAIN:
        version, architecture = package_facts(package)
        tools.append({"type": "application", "bom-ref": f"build:{package}", "name": package, "version": version,
                      "purl": purl(package, version, architecture, codename)})
    bom = {"bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
           "metadata": {"timestamp": timestamp, "lifecycles": [{"phase": "build"}], "component": product,
                        "supplier": {"name": "Quendarix"}},
           "components": components, "dependencies": dependencies,
           "formulation": [{"bom-ref": "build", "components": tools}]}
    contents = json.dumps(bom, sort_keys=True).encode()
    bom = {"$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json", "bomFormat": "CycloneDX",
           "specVersion": "1.6", "serialNumber": f"urn:uuid:{uuid.uuid5(NAMESPACE, hashlib.sha256(contents).hexdigest())}",
           **{key: value for key, value in bom.items() if key not in ("bomFormat", "specVersion")}}
    with open(options.output, "w", encoding="utf-8") as f:
        json.dump(bom, f, indent=2, ensure_ascii=False)
        f.write("\n")


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError) as error:
        fail(f"cannot read the SBOM '{path}': {error}")


def toolchain(path):
    """Says which recorded tools differ here; a difference is a warning."""
    recorded = load(path).get("formulation", [{}])[0].get("components", [])
    here = os_release()["DEBIAN_VERSION"]
    for tool in recorded:
        if tool["type"] == "operating-system":
            local = here
        else:
            try:
                local, _ = package_facts(tool["name"])
            except subprocess.CalledProcessError:
                local = "not installed"
        if local != tool["version"]:
            print(f"{tool['name']}: the release was built with {tool['version']}, this machine has {local}")


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "notices" and len(sys.argv) >= 4:
        notices(sys.argv[2], sys.argv[3:])
    elif command == "sbom":
        sbom(sys.argv[2:])
    elif command == "toolchain" and len(sys.argv) == 3:
        toolchain(sys.argv[2])
    elif command == "commit" and len(sys.argv) == 3:
        product = load(sys.argv[2]).get("metadata", {}).get("component", {})
        commit = product.get("pedigree", {}).get("commits", [{}])[0].get("uid")
        if not commit:
            fail(f"the SBOM '{sys.argv[2]}' records no commit: the release was not built from a git checkout")
        if {"name": "quendarix:tree", "value": "modified"} in product.get("properties", []):
            fail("the release was built from a tree with uncommitted changes: no commit rebuilds it")
        print(commit)
    else:
        fail("usage: sbom.py notices OUTPUT MAP... | sbom OUTPUT --version V [--commit C] [--modified] "
             "--maps DIR --programs FOLDER FILE... | toolchain SBOM | commit SBOM")


if __name__ == "__main__":
    main()
