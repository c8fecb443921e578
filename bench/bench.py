"""Whole-process cost of quendarixinstall.exe under Wine, sizes, and a soak.

Measured in one fresh prefix with a persistent wineserver:
- install and uninstall runs of the installer, against the same work done
  with Wine's sc (create, description, start; stop, delete), against an
  empty program (the floor of process start), and against a program that
  makes the installer's manager calls and nothing else (the floor plus the
  manager's own work); medians over repeated runs;
- the size of both .exe files;
- a soak of install and uninstall cycles that checks every cycle.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from wineprefix import PROGRAMS, WINESERVER, WinePrefix, lines  # noqa: E402

TOOLS = "C:\\Tools"
INSTALLER = TOOLS + "\\quendarixinstall.exe"
SERVICE = TOOLS + "\\quendarixservice.exe"
SC_INSTALL = [
    ("sc", "create", "quendarix", "binPath=", SERVICE, "start=", "auto", "DisplayName=", "Quendarix"),
    ("sc", "description", "quendarix", "Quendarix control"),
    ("sc", "start", "quendarix"),
]
SC_UNINSTALL = [("sc", "stop", "quendarix"), ("sc", "delete", "quendarix")]
BARE_INSTALL = (TOOLS + "\\bare_calls.exe", SERVICE)
BARE_UNINSTALL = (TOOLS + "\\bare_calls.exe", "/Uninstall")


def timed(prefix, *commands):
    """Seconds for running the commands one after another; all must exit 0."""
    start = time.perf_counter()
    for command in commands:
        code, out = prefix.wine(*command)
        if code != 0:
            raise SystemExit(f"{' '.join(command)} exited {code}: {out!r}")
    return time.perf_counter() - start


def wait_until_removed(prefix):
    if not prefix.wait_until(lambda: not prefix.service_processes() and prefix.registry_values() is None, 20):
        raise SystemExit("the service was not removed")


def wait_until_running(prefix):
    if not prefix.wait_until(lambda: prefix.service_state() == "4  RUNNING", 20):
        raise SystemExit("the service did not reach RUNNING")


def measure(prefix, runs):
    samples = {name: [] for name in ("floor", "install", "uninstall", "bare install", "bare uninstall",
                                     "sc install", "sc uninstall")}
    for _ in range(3):  # warm the loader and the file cache
        timed(prefix, (TOOLS + "\\empty.exe",))
    for _ in range(runs):
        samples["floor"].append(timed(prefix, (TOOLS + "\\empty.exe",)))
        samples["install"].append(timed(prefix, (INSTALLER,)))
        wait_until_running(prefix)
        samples["uninstall"].append(timed(prefix, (INSTALLER, "/Uninstall")))
        wait_until_removed(prefix)
        samples["bare install"].append(timed(prefix, BARE_INSTALL))
        wait_until_running(prefix)
        samples["bare uninstall"].append(timed(prefix, BARE_UNINSTALL))
        wait_until_removed(prefix)
        samples["sc install"].append(timed(prefix, *SC_INSTALL))
        wait_until_running(prefix)
        samples["sc uninstall"].append(timed(prefix, *SC_UNINSTALL))
        wait_until_removed(prefix)
    # Median with the interquartile range, to show how much runs vary.
    return {name: (statistics.median(values), *statistics.quantiles(values, n=4)[::2])
            for name, values in samples.items()}


def soak(prefix, cycles):
    held = 0
    for cycle in range(1, cycles + 1):
        problems = []
        for command, name in (((INSTALLER,), "install"), ((INSTALLER, "/Uninstall"), "uninstall")):
            code, console = prefix.wine(*command)
            if code != 0:
                problems.append(f"{name} exited {code}")
            if prefix.log() != "".join(line + "\n" for line in lines(console)).encode():
                problems.append(f"{name}: the log differs from the console")
        if not prefix.wait_until(lambda: not prefix.service_processes(), 20):
            problems.append("a service process is left")
        if not prefix.wait_until(lambda: prefix.registry_values() is None, 20):
            problems.append("the registry key is left")
        if problems:
            print(f"cycle {cycle}: " + "; ".join(problems), flush=True)
            prefix.wine("sc", "stop", "quendarix")
            prefix.wine("sc", "delete", "quendarix")
            wait_until_removed(prefix)
        else:
            held += 1
        if cycle % 50 == 0:
            print(f"  {cycle} cycles, {held} held", flush=True)
    return held


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=31, help="repetitions for each median (default 31)")
    parser.add_argument("--cycles", type=int, default=200, help="soak cycles (default 200)")
    arguments = parser.parse_args()
    if arguments.runs < 2:
        parser.error("--runs must be at least 2 (the spread needs two runs)")

    prefix = WinePrefix()
    try:
        prefix.make_log_directory()
        prefix.place_programs(TOOLS, names=("quendarixinstall.exe", "quendarixservice.exe", "empty.exe",
                                                   "bare_calls.exe"))
        subprocess.run([WINESERVER, "-p"], env=prefix.env, check=True)  # one server for every run

        print(f"machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}, "
              f"{time.strftime('%Y-%m-%d')}")
        print(f"median of {arguments.runs} runs, whole process under wine64:")
        spread = measure(prefix, arguments.runs)
        m = {name: values[0] for name, values in spread.items()}
        rows = [
            ("empty program (floor)", "floor", ""),
            ("quendarixinstall.exe", "install",
             f"{m['install'] / m['bare install']:.3f} x bare calls, {m['install'] / m['sc install']:.2f} x sc"),
            ("  bare manager calls", "bare install", f"floor + {(m['bare install'] - m['floor']) * 1000:.1f} ms"),
            ("  sc create + description + start", "sc install", ""),
            ("quendarixinstall.exe /Uninstall", "uninstall",
             f"{m['uninstall'] / m['bare uninstall']:.3f} x bare calls, {m['uninstall'] / m['sc uninstall']:.2f} x sc"),
            ("  bare manager calls", "bare uninstall",
             f"floor + {(m['bare uninstall'] - m['floor']) * 1000:.1f} ms"),
            ("  sc stop + delete", "sc uninstall", ""),
        ]
        print(f"  {'':36} {'median':>7}    {'p25-p75':>13}")
        for label, name, ratio in rows:
            median, low, high = (seconds * 1000 for seconds in spread[name])
            print(f"  {label:36} {median:7.1f} ms ({low:5.1f}-{high:5.1f})  {ratio}")
        print("  (bare manager calls: the installer's calls with no output, log or probe)")

        print("sizes:")
        for name in ("quendarixinstall.exe", "quendarixservice.exe"):
            size = os.path.getsize(os.path.join(PROGRAMS, name))
            print(f"  {name:22} {size:7d} bytes ({size / 1024:.1f} KiB)")

        print(f"soak: {arguments.cycles} install and uninstall cycles")
        held = soak(prefix, arguments.cycles)
        print(f"soak: {held} of {arguments.cycles} cycles held")
        return 0 if held == arguments.cycles else 1
    finally:
        prefix.close()


if __name__ == "__main__":
    sys.exit(main())
