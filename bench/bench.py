"""Whole-process cost of quendarixinstall.exe under Wine, sizes, and a soak.

Measured in one fresh prefix with a persistent wineserver, timed by hyperfine:
- install runs of the installer, against a program that makes the same
  manager calls and nothing else (bare_calls.exe: the floor of process start
  plus the manager's own work), and against the same work done with Wine's
  sc (create, description, start); hyperfine's prepare step removes the
  service before each run;
- uninstall runs against the same two, the prepare step installing and
  starting the service before each run;
- the same install and removal through the Windows Installer package
  (msiexec /i and /x, /qn), each with a prepare step of its own;
- an empty program: the floor of process start.
Every command runs through the elevated test launcher, as from an elevated
prompt, so each time includes that one small process too.
hyperfine reports each mean with its standard deviation, and in each group
the ratios to the fastest with their uncertainty. Then the size of both
.exe files, and a soak of install and uninstall cycles that checks every
cycle's exit codes, log, registry key and service process.
"""

import argparse
import os
import platform
import shlex
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from host import ELEVATED, PROGRAMS, SERVICE_KEY, build_package, lines  # noqa: E402
import product  # noqa: E402
from wineprefix import WINE, WINESERVER, WinePrefix  # noqa: E402

TOOLS = "C:\\Tools"
INSTALLER = TOOLS + "\\quendarixinstall.exe"
SERVICE = TOOLS + "\\quendarixservice.exe"
BARE_CALLS = TOOLS + "\\bare_calls.exe"
PACKAGE = "C:\\Packages\\quendarix.msi"


def wine(*arguments):
    """A shell command line running a Windows command under Wine, elevated (as
    from an elevated prompt, through the test launcher, whatever Wine's
    default token), its output dropped."""
    return " ".join(shlex.quote(argument) for argument in (WINE, ELEVATED, *arguments)) + " >/dev/null 2>&1"


def until(condition, what):
    """Shell: polls `condition` for up to ten seconds, then fails naming `what`."""
    return (f"i=0; until {condition}; do i=$((i+1)); "
            f"[ $i -le 200 ] || {{ echo 'prepare: {what}' >&2; exit 1; }}; sleep 0.05; done")


SC_STOP = wine("sc", "stop", product.SERVICE_NAME)
SC_DELETE = wine("sc", "delete", product.SERVICE_NAME)

# Prepare steps: whatever state the last run left, the package and the
# service are gone (and the service's key with them), or the service is
# installed, by hand or by the package, with its process running.
ABSENT = "; ".join([wine("msiexec", "/x", PACKAGE, "/qn"), SC_STOP, SC_DELETE,
                    until("! " + wine("reg", "query", SERVICE_KEY), "the service was not removed")])
IS_RUNNING = until(" ".join(shlex.quote(a) for a in (WINE, ELEVATED, "sc", "query", product.SERVICE_NAME)) + " | grep -q RUNNING",
                   "the service did not reach RUNNING")
RUNNING = "; ".join([ABSENT, wine(BARE_CALLS, SERVICE), IS_RUNNING])
PACKAGE_RUNNING = "; ".join([ABSENT, wine("msiexec", "/i", PACKAGE, "/qn"), IS_RUNNING])

# (name, command, the prepare step before each of its runs)
FLOOR = [("empty program", wine(TOOLS + "\\empty.exe"), "true")]
INSTALLS = [
    ("quendarixinstall.exe", wine(INSTALLER), ABSENT),
    ("bare manager calls", wine(BARE_CALLS, SERVICE), ABSENT),
    ("sc create + description + start", " && ".join([
        wine("sc", "create", product.SERVICE_NAME, "binPath=", SERVICE, "start=", "auto", "DisplayName=",
             product.DISPLAY_NAME),
        wine("sc", "description", product.SERVICE_NAME, product.DESCRIPTION),
        wine("sc", "start", product.SERVICE_NAME)]), ABSENT),
    ("msiexec /i (the MSI, /qn)", wine("msiexec", "/i", PACKAGE, "/qn"), ABSENT),
]
UNINSTALLS = [
    ("quendarixinstall.exe /Uninstall", wine(INSTALLER, "/Uninstall"), RUNNING),
    ("bare manager calls", wine(BARE_CALLS, "/Uninstall"), RUNNING),
    ("sc stop + delete", SC_STOP + " && " + SC_DELETE, RUNNING),
    ("msiexec /x (the MSI, /qn)", wine("msiexec", "/x", PACKAGE, "/qn"), PACKAGE_RUNNING),
]


def hyperfine(prefix, runs, commands):
    """Runs hyperfine over the named commands; answers its markdown table."""
    with tempfile.TemporaryDirectory(prefix="quendarix-bench-") as scratch:
        markdown = os.path.join(scratch, "table.md")
        arguments = ["hyperfine", "--runs", str(runs), "--warmup", "3", "--time-unit", "millisecond",
                     "--style", "basic", "--export-markdown", markdown]
        for _, _, prepare in commands:
            arguments += ["--prepare", prepare]
        for name, command, _ in commands:
            arguments += ["--command-name", name, command]
        subprocess.run(arguments, env=prefix.env, check=True)
        with open(markdown) as table:
            return table.read()


def soak(prefix, cycles):
    held = 0
    for cycle in range(1, cycles + 1):
        problems = []
        for command, name in (((INSTALLER,), "install"), ((INSTALLER, "/Uninstall"), "uninstall")):
            code, console = prefix.elevated(*command)
            if code != 0:
                said = lines(console)
                problems.append(f"{name} exited {code}" + (f" ({said[-1]})" if said else ""))
            if prefix.log() != "".join(line + "\n" for line in lines(console)).encode():
                problems.append(f"{name}: the log differs from the console")
        if not prefix.wait_until(lambda: not prefix.service_processes(), 20):
            problems.append("a service process is left")
        if not prefix.wait_until(lambda: prefix.registry_values() is None, 20):
            problems.append("the registry key is left")
        if problems:
            print(f"cycle {cycle}: " + "; ".join(problems), flush=True)
            subprocess.run(["sh", "-c", ABSENT], env=prefix.env, check=True)
        else:
            held += 1
        if cycle % 50 == 0:
            print(f"  {cycle} cycles, {held} held", flush=True)
    return held


def print_sizes():
    print(f"sizes, {time.strftime('%Y-%m-%d')}, {platform.freedesktop_os_release().get('PRETTY_NAME', '')}:")
    for name in ("quendarixinstall.exe", "quendarixservice.exe"):
        size = os.path.getsize(os.path.join(PROGRAMS, name))
        print(f"  {name:22} {size:7d} bytes ({size / 1024:.1f} KiB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=31, help="timed runs of each command (default 31)")
    parser.add_argument("--cycles", type=int, default=200, help="soak cycles (default 200)")
    parser.add_argument("--sizes", action="store_true", help="only the programs' sizes, as built")
    arguments = parser.parse_args()
    if arguments.sizes:
        print_sizes()
        return 0
    if arguments.runs < 2:
        parser.error("--runs must be at least 2 (the spread needs two runs)")

    prefix = WinePrefix()
    try:
        prefix.make_log_directory()
        prefix.place_programs(TOOLS, names=("quendarixinstall.exe", "quendarixservice.exe", "empty.exe",
                                                   "bare_calls.exe"))
        subprocess.run([WINESERVER, "-p"], env=prefix.env, check=True)  # one server for every run
        os.makedirs(prefix.host_path("C:\\Packages"))
        build_package(os.path.dirname(PROGRAMS), prefix.host_path(PACKAGE))

        print(f"machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}, "
              f"{time.strftime('%Y-%m-%d')}", flush=True)
        tables = [hyperfine(prefix, arguments.runs, FLOOR),
                  hyperfine(prefix, arguments.runs, INSTALLS),
                  hyperfine(prefix, arguments.runs, UNINSTALLS)]
        subprocess.run(["sh", "-c", ABSENT], env=prefix.env, check=True)
        print(f"\nwhole process under wine64, {arguments.runs} runs each (hyperfine's markdown export):\n")
        print("\n".join(tables))

        print_sizes()

        print(f"soak: {arguments.cycles} install and uninstall cycles", flush=True)
        held = soak(prefix, arguments.cycles)
        print(f"soak: {held} of {arguments.cycles} cycles held")
        return 0 if held == arguments.cycles else 1
    finally:
        prefix.close()


if __name__ == "__main__":
    sys.exit(main())
