"""What is inside a release, as the build itself says it.

    sbom.py notices OUTPUT MAP...
        THIRD-PARTY-NOTICES.txt for the programs linked with these link maps:
        for every Debian package whose code the linker took in, the
        paragraphs of its copyright file that govern what was taken.
    sbom.py sbom OUTPUT --facts PRODUCT_PY [--commit C] [--modified] --maps DIR ZIP MSI
        The release's CycloneDX 1.6 SBOM: the product; every released file
        (the ZIP, the MSI and every file in the ZIP) with SHA-256 and SHA-512
        and BSI TR-03183-2's file properties; for each program the packages
        linked into it (per its link map, DIR/PROGRAM.map), each tied to its
        source package and those its Built-Using field names, and the system
        DLLs it imports; a complete dependency graph and what is known of its
        completeness; the toolchain that built it. Times come from
        SOURCE_DATE_EPOCH and the serial number from the contents, so the
        same commit gives the same bytes.

toolchain_differences(SBOM) (for scripts/release/verify.py): one line for
each tool whose version here differs from the one the SBOM records.

Which packages are linked in comes from the maps. A package's licence comes
from its copyright file: for a machine-readable one, the Files paragraph
that each linked object's source file (as its debug information names it)
falls under; packaging/licences.json holds only what cannot be read: the
SPDX names of Debian's licence short names, and the free-form copyright
files' parts. A short name or a free-form package missing there stops the
build.
"""

import argparse
import datetime
import hashlib
import io
import json
import os
import re
import runpy
import subprocess
import sys
import tempfile
import textwrap
import urllib.parse
import uuid
import zipfile

import debian.copyright
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
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=120).stdout


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
    """{package: {file path: set of members}} linked in per the map."""
    packages = {}
    for path, members in read_map(map_path).items():
        packages.setdefault(owner(path), {}).setdefault(path, set()).update(members)
    return dict(sorted(packages.items()))


def describe(files):
    """What was taken from a package's files, in short: "crt2.o;
    libmingwex.a: gdtoa misc; libkernel32.a: 28 import stubs"."""
    said = []
    for name, members in sorted((os.path.basename(path), members) for path, members in files.items()):
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
        return json.load(f)


def copyright_file(package):
    path = f"/usr/share/doc/{package}/copyright"
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return path, f.read()
    except OSError as error:
        fail(f"cannot read {path}, the licence of {package}, which the linker took code from: {error.strerror}")


def dep5_copyright(text):
    """A machine-readable (DEP-5) copyright file, as Debian's own parser
    (python3-debian) reads it; None for a free-form one."""
    try:
        return debian.copyright.Copyright(io.StringIO(text), strict=False)
    except (debian.copyright.NotMachineReadableError, ValueError):
        return None


def paragraph_text(paragraph):
    """A paragraph as the copyright file writes it."""
    return paragraph.dump().rstrip("\n")


def member_source(archive, member):
    """The source file a linked object was compiled from, as its debug
    information names it ("mingw-w64-crt/gdtoa/misc.c"); None when it has
    none."""
    with tempfile.TemporaryDirectory() as work:
        path = archive
        if member:
            path = os.path.join(work, "member.o")
            with open(path, "wb") as f:
                f.write(subprocess.run(["ar", "p", archive, member], check=True, capture_output=True).stdout)
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "--dwarf=info", path], capture_output=True,
                              text=True, errors="replace").stdout
    found = re.search(r"DW_AT_name\s*:(?:\s*\(.*?\):)?\s*(\S+\.(?:c|cc|cpp|S|s))\s*$", dump, re.M)
    return found.group(1).removeprefix("./") if found else None


def stanza_of(copyright, source, member):
    """The Files paragraph that governs a source file, as Debian's parser
    finds it (the last that matches; Files: * matches all). Without a source
    path (an import stub has no debug information), the member's own name."""
    name = re.sub(r"^lib\d*_\w+?_a-", "", member or "")[:-len(".o")] + ".c"
    return copyright.find_files_paragraph(source or name)


def short_names(expression):
    """Debian licence short names of a License field ("BSD-3-clause and ISC")."""
    return [name for name in re.split(r"\s+(?:and|or)\s+|[(),]", expression.split("\n")[0]) if name.strip()]


def package_licence(package, files, known):
    """(SPDX expression, [(SPDX name, Debian short name, text)], notices'
    texts) of what the linker took from a package: for a machine-readable
    copyright file from the Files paragraph of each linked member; for a
    free-form one, as packaging/licences.json says."""
    path, text = copyright_file(package)
    copyright = dep5_copyright(text)
    if copyright is None:
        entry = known["free-form"].get(package)
        if entry is None:
            fail(f"the linker took in code from {package}, whose copyright file is not machine-readable and whose "
                 f"licence the release does not state yet: review {path} and add it to packaging/licences.json")
        return entry["licence"], [], copyright_sections(path, text, entry["sections"])
    paragraphs = list(copyright.all_files_paragraphs())
    governing = []
    for archive, members in sorted(files.items()):
        for member in sorted(members) or [None]:
            stanza = stanza_of(copyright, member_source(archive, member), member)
            if stanza is None:
                fail(f"{path} has no Files paragraph for {member or archive}, which the linker took in")
            if stanza not in governing:
                governing.append(stanza)
    governing.sort(key=paragraphs.index)
    used, texts = [], []
    for stanza in governing:
        texts.append(paragraph_text(stanza))
        for name in short_names(stanza.license.synopsis):
            spdx = known["spdx"].get(name)
            if spdx is None:
                fail(f"{path} names the licence '{name}', which packaging/licences.json maps to no SPDX "
                     f"identifier yet: review it and add it there")
            standalone = [p for p in copyright.all_license_paragraphs() if p.license.synopsis == name]
            # The licence's text: under the short name, else in a paragraph
            # of its own, else (public domain, say) the paragraph itself.
            licence_text = stanza.license.text or "\n".join(p.license.text for p in standalone) or \
                paragraph_text(stanza)
            for p in standalone:
                if paragraph_text(p) not in texts:
                    texts.append(paragraph_text(p))
            if all(spdx != entry[0] for entry in used):
                # Each line as the SBOM has always carried it: without the
                # indentation the parser keeps.
                used.append((spdx, name, "\n".join(line.strip() for line in licence_text.split("\n"))))
    return " AND ".join(spdx for spdx, _, _ in used), used, texts


def copyright_sections(path, text, sections):
    """The parts of a free-form copyright file that the notices reproduce."""
    parts = []
    for first, after in sections:
        start = text.find(first)
        end = text.find(after, start + 1)
        if start < 0 or end < 0:
            fail(f"{path} no longer holds the section from '{first}' to '{after}': check packaging/licences.json")
        parts.append(text[start:end].rstrip())
    return parts


def notices(output, maps):
    known = licences()
    linked, taken = {}, {}
    for map_path in maps:
        program = os.path.basename(map_path)[:-len(".map")] + ".exe"
        for package, files in linked_packages(map_path).items():
            linked.setdefault(package, {})[program] = describe(files)
            for name, members in files.items():
                taken.setdefault(package, {}).setdefault(name, set()).update(members)
    lines = ["Third-party notices", "===================", "",
             "The programs in this release are linked statically. Besides the",
             "project's own code they hold parts of the following packages, as built",
             "by Debian; their licences ask that these notices come with the programs.",
             "The texts are those of each package's copyright file, for the parts",
             "that were linked in.", ""]
    for package, programs in sorted(linked.items()):
        expression, _, texts = package_licence(package, taken[package], known)
        version, _ = package_facts(package)
        title = f"{package} {version} (Debian)"
        lines += ["", title, "-" * len(title), f"Licence: {expression}"]
        for program, parts in sorted(programs.items()):
            lines.append(textwrap.fill(f"In {program}: {parts}", width=76, subsequent_indent="    ",
                                       break_on_hyphens=False))
        for text in texts:
            lines += ["", text]
    with open(output, "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


def digests(data):
    """SHA-256 and SHA-512 of a released file's bytes."""
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def os_release():
    facts = {}
    with open("/etc/os-release") as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            facts[name] = value.strip('"')
    with open("/etc/debian_version") as f:
        facts["DEBIAN_VERSION"] = f.read().strip()
    return facts


def purl(package, version, architecture, distro):
    """A Debian package's purl in its canonical form, as the purl project's
    own library writes it: "+" percent-encoded in a name ("g%2B%2B-..."),
    kept in a version ("14+deb12u1"), as is an epoch's ":"; qualifiers in key
    order."""
    quote = urllib.parse.quote
    return (f"pkg:deb/debian/{quote(package, safe='')}@{quote(version, safe=':+')}"
            f"?arch={quote(architecture, safe='')}&distro={quote(distro, safe='')}")


def imported_dlls(data):
    pe = pefile.PE(data=data, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return sorted({entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}, key=str.lower)


def file_component(reference, name, data, archive=False, version=None):
    """A released file, with its hashes and BSI TR-03183-2's file properties."""
    executable = name.lower().endswith(".exe")
    component = {"type": "application" if executable else "file", "bom-ref": reference, "name": name}
    if version:
        component["version"] = version
    component["hashes"] = digests(data)
    component["properties"] = [
        {"name": "bsi:component:filename", "value": name},
        {"name": "bsi:component:executable", "value": "executable" if executable else "non-executable"},
        {"name": "bsi:component:archive", "value": "archive" if archive else "no archive"}]
    if archive:
        component["properties"].append({"name": "bsi:component:structured", "value": "structured"})
    return component


def source_packages(package):
    """(source, version) of a binary package, and those its Built-Using
    field names (the compiler runtime's gcc-12, say)."""
    source, version, built_using = query("dpkg-query", "-W", "-f=${source:Package}\t${source:Version}\t${Built-Using}",
                                         package).split("\t")
    found = [(source, version)]
    for used in filter(None, (part.strip() for part in built_using.split(","))):
        match = re.match(r"^(\S+)\s*\(=\s*([^)\s]+)\)$", used)
        if not match:
            fail(f"cannot read the Built-Using field of {package}: '{used}'")
        found.append((match.group(1), match.group(2)))
    return found


def package_component(package, files, known, distro):
    """A linked Debian package: its version, licence (the expression
    concluded, and as evidence each licence with its text) and purl."""
    version, architecture = package_facts(package)
    reference = purl(package, version, architecture, distro)
    expression, used, _ = package_licence(package, files, known)
    component = {"type": "library", "bom-ref": reference, "supplier": {"name": "Debian"}, "name": package,
                 "version": version, "licenses": [{"expression": expression, "acknowledgement": "concluded"}],
                 "purl": reference, "properties": []}
    if used:
        evidence = []
        for spdx, name, text in used:
            licence = {"id": spdx} if not spdx.startswith("LicenseRef-") else {"name": spdx}
            licence["text"] = {"contentType": "text/plain", "content": text}
            licence["properties"] = [{"name": "quendarix:debian-short-name", "value": name}]
            evidence.append({"license": licence})
        component["evidence"] = {"licenses": evidence}
    return component


def sbom(arguments):
    parser = argparse.ArgumentParser(prog="sbom.py sbom")
    parser.add_argument("output")
    parser.add_argument("--facts", required=True)
    parser.add_argument("--commit")
    parser.add_argument("--modified", action="store_true")
    parser.add_argument("--maps", required=True)
    parser.add_argument("zip")
    parser.add_argument("msi")
    options = parser.parse_args(arguments)

    known = licences()
    system = os_release()
    distro = f"{system.get('ID', 'debian')}-{system.get('VERSION_ID', '')}"
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    timestamp = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")

    facts = runpy.run_path(options.facts)
    options.version, company = facts["VERSION"], facts["COMPANY"]
    product = {"type": "application", "bom-ref": "quendarix", "supplier": {"name": company},
               "name": "quendarix", "version": options.version,
               "description": f"The {facts['PRODUCT']} service and its installer, for 64-bit Windows"}
    if options.commit:
        product["pedigree"] = {"commits": [{"uid": options.commit}]}
        product["properties"] = [{"name": "quendarix:commit", "value": options.commit},
                                 {"name": "quendarix:tree", "value": "modified" if options.modified else "clean"}]

    # The release's files as released: the ZIP, the MSI, and what the ZIP holds.
    components, depends = [], {"quendarix": []}
    for path in (options.zip, options.msi):
        with open(path, "rb") as f:
            data = f.read()
        reference = "file:" + os.path.basename(path)
        components.append(file_component(reference, os.path.basename(path), data, archive=True))
        depends["quendarix"].append(reference)
        depends[reference] = []
    zip_reference, msi_reference = depends["quendarix"]
    inside = {}
    with zipfile.ZipFile(options.zip) as package:
        for entry in sorted(package.infolist(), key=lambda entry: entry.filename):
            if not entry.is_dir():
                inside[os.path.basename(entry.filename)] = package.read(entry)
    for name, data in inside.items():
        reference = "file:" + name
        components.append(file_component(reference, name, data,
                                         version=options.version if name in PROGRAMS else None))
        depends[zip_reference].append(reference)
        # The MSI installs the same files but the checksums and the installer
        # tool, whose /Uninstall would remove the MSI's service.
        if name not in ("SHA256SUMS", "quendarixinstall.exe"):
            depends[msi_reference].append(reference)
        depends[reference] = []

    # What each program holds: the linked Debian packages (per its link map),
    # their source packages, and the Windows DLLs it imports.
    linked = {program: linked_packages(os.path.join(options.maps, program[:-len(".exe")] + ".map"))
              for program in PROGRAMS}
    taken = {}  # what was taken from each package, by both programs
    for packages in linked.values():
        for package, files in packages.items():
            for path, members in files.items():
                taken.setdefault(package, {}).setdefault(path, set()).update(members)
    libraries, sources, dlls, references = {}, {}, {}, {}
    for package, files in sorted(taken.items()):
        library = package_component(package, files, known, distro)
        reference = references[package] = library["bom-ref"]
        libraries[reference] = library
        depends[reference] = []
        for source, version in source_packages(package):
            source_reference = purl(source, version, "source", distro)
            sources.setdefault(source_reference, {
                "type": "library", "bom-ref": source_reference, "supplier": {"name": "Debian"}, "name": source,
                "version": version, "purl": source_reference, "description": "Debian source package"})
            depends.setdefault(source_reference, [])
            depends[reference].append(source_reference)
    for program, packages in linked.items():
        for package, files in packages.items():
            reference = references[package]
            libraries[reference]["properties"].append(
                {"name": f"quendarix:linked-into:{program}", "value": describe(files)})
            depends["file:" + program].append(reference)
        for dll in imported_dlls(inside[program]):
            reference = f"windows:{dll.lower()}"
            dlls.setdefault(reference, {"type": "library", "bom-ref": reference,
                                        "supplier": {"name": "Microsoft Corporation"}, "name": dll,
                                        "description": "Windows system DLL, imported; provided by Windows, not shipped",
                                        "scope": "required"})
            depends.setdefault(reference, [])
            depends["file:" + program].append(reference)
    components += list(libraries.values()) + list(sources.values()) + list(dlls.values())
    dependencies = [{"ref": reference, "dependsOn": refs} for reference, refs in depends.items()]
    # What is known whole, and what is not: the release's own files are
    # complete; of a Debian package only its sources are named; the
    # Windows DLLs' insides are Microsoft's.
    released = [reference for reference in depends if reference == "quendarix" or reference.startswith("file:")]
    compositions = [
        {"aggregate": "complete", "assemblies": [zip_reference, msi_reference], "dependencies": released},
        {"aggregate": "incomplete", "dependencies": list(libraries)},
        {"aggregate": "unknown", "dependencies": list(sources) + list(dlls)}]

    tools = [{"type": "operating-system", "bom-ref": "build:debian", "name": "debian",
              "version": system["DEBIAN_VERSION"], "description": system.get("PRETTY_NAME", "")}]
    for package in TOOLCHAIN:
        version, architecture = package_facts(package)
        tools.append({"type": "application", "bom-ref": f"build:{package}", "name": package, "version": version,
                      "purl": purl(package, version, architecture, distro)})
    generator = {"type": "application", "name": "sbom.py", "version": options.version,
                 "manufacturer": {"name": company},
                 "description": f"scripts/release/sbom.py of the {facts['PRODUCT']} project: the SBOM from the build's "
                                "link maps"}
    bom = {"bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
           "metadata": {"timestamp": timestamp, "lifecycles": [{"phase": "build"}],
                        "tools": {"components": [generator]}, "component": product,
                        "manufacturer": {"name": company}, "supplier": {"name": company}},
           "components": components, "dependencies": dependencies, "compositions": compositions,
           "formulation": [{"bom-ref": "build", "components": tools}]}
    contents = json.dumps(bom, sort_keys=True).encode()
    bom = {"$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json", "bomFormat": "CycloneDX",
           "specVersion": "1.6", "serialNumber": f"urn:uuid:{uuid.uuid5(NAMESPACE, hashlib.sha256(contents).hexdigest())}",
           **{key: value for key, value in bom.items() if key not in ("bomFormat", "specVersion")}}
    with open(options.output, "w", encoding="utf-8") as f:
        json.dump(bom, f, indent=2, ensure_ascii=False)
        f.write("\n")


def toolchain_differences(bom):
    """Which recorded tools differ here, a line each; a difference is a
    warning. The SBOM may be anyone's: a name that is not a Debian package
    name is never handed to dpkg-query, and nothing is printed as a line of
    its own."""
    recorded = bom.get("formulation", [{}])[0].get("components", [])
    here = os_release()["DEBIAN_VERSION"]
    differing = []
    for tool in recorded:
        name, version = str(tool.get("name")), str(tool.get("version"))
        if tool.get("type") == "operating-system":
            local = here
        else:
            try:
                if not re.fullmatch(r"[a-z0-9][a-z0-9+.-]+", name):
                    raise subprocess.CalledProcessError(1, "dpkg-query")
                local, _ = package_facts(name)
            except subprocess.CalledProcessError:
                local = "not installed"
        if local != version:
            line = f"{name}: the release was built with {version}, this machine has {local}"
            differing.append(line if line.isprintable() else ascii(line))
    return differing


def main():
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "notices" and len(sys.argv) >= 4:
        notices(sys.argv[2], sys.argv[3:])
    elif command == "sbom":
        sbom(sys.argv[2:])
    else:
        fail("usage: sbom.py notices OUTPUT MAP... | sbom OUTPUT --facts PRODUCT_PY [--commit C] [--modified] "
             "--maps DIR ZIP MSI")


if __name__ == "__main__":
    main()
