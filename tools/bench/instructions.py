#!/usr/bin/env python3
"""Instructions the controller and the bare relay execute per round trip, counted by callgrind.

The benchmark's CPU figures swing by a third from run to run on shared virtual machines; the
number of instructions the controller's own code (its libraries included, the kernel not)
executes for a test does not. This runs a small `tt_bench` (100 devices, 300 round trips/s, then
32 tests outstanding) with the controller and the bare relay under callgrind and prints, for the
one-server and the four-server run of each, the instructions per round trip and the functions
that execute the most of them. The round trips are counted as the calls that hand a device's
result to the API side.

The controller's counts are dumped twice a second (`callgrind_control --dump`), and only the
parts taken while round trips flowed are summed, less the first and the last of them: start-up,
the admission fleet and the exit would otherwise weigh in by how few round trips a loaded
machine completes in the fixed measuring time, which swung the figure by several per cent.

    tools/bench/instructions.py [--controller build/tt_controller] [--top 15]

Needs valgrind (Debian package valgrind).
"""

import argparse
import collections
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

# The call each program makes once per round trip.
ROUND_TRIP_FUNCTIONS = {"controller": "APIManager::sendResult(kelvarin::triggerTesting::Reply)",
                        "relay": "BareRelay::State::relayResult("}


def parse(path, round_trip_function):
    """Total instructions, round trips, and each function's own instructions."""
    names = {}

    def name(token):
        found = re.match(r"\((\d+)\)(?: (.*))?", token)
        if not found:
            return token
        if found.group(2):
            names[found.group(1)] = found.group(2)
        return names.get(found.group(1), "?")

    own = collections.Counter()
    calls = collections.Counter()
    total = 0
    function = callee = None
    after_calls = False
    for line in open(path, errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("fn="):
            function = name(line[3:])
        elif line.startswith("cfn="):
            callee = name(line[4:])
        elif line.startswith("calls="):
            calls[callee] += int(line[6:].split()[0])
            after_calls = True
        elif line.startswith(("summary:", "totals:")):
            total = int(line.split()[1])
        elif line[:1].isdigit() or line[:1] in "+-*":
            fields = line.split()
            # The line after calls= is the callee's inclusive cost, not the caller's own.
            if len(fields) >= 2 and not after_calls:
                own[function] += int(fields[1])
            after_calls = False
    round_trips = sum(n for f, n in calls.items() if round_trip_function in f)
    return total, round_trips, own


def dump(work):
    """Asks this run's controllers, and no other callgrind run on the machine, for a dump."""
    marker = f"--callgrind-out-file={work}/".encode()
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and marker in (entry / "cmdline").read_bytes():
                subprocess.run(["callgrind_control", "--dump", entry.name],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError:
            pass


def runs(work, program):
    """Each run's dump files in the order written, the runs in the order they ended."""
    by_pid = collections.defaultdict(list)
    prefix = f"callgrind.{program}."
    for output in pathlib.Path(work).glob(prefix + "*"):
        pid, _, part = output.name[len(prefix):].partition(".")
        # The file written at exit has no part number: it comes last.
        by_pid[pid].append((int(part) if part else sys.maxsize, output))
    ordered = sorted(by_pid.values(), key=lambda parts: max(os.path.getmtime(o) for _, o in parts))
    return [[output for _, output in sorted(parts)] for parts in ordered]


def steady(parts, round_trip_function):
    """Totals over the parts in which round trips flowed, less the first and the last."""
    parsed = [parse(part, round_trip_function) for part in parts]
    flowing = [p for p in parsed if p[1] > 0]
    if len(flowing) >= 3:
        flowing = flowing[1:-1]
    own = collections.Counter()
    for _, _, counts in flowing:
        own.update(counts)
    return sum(p[0] for p in flowing), sum(p[1] for p in flowing), own


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--controller", default="build/tt_controller")
    parser.add_argument("--top", type=int, default=15)
    options = parser.parse_args()
    controller = pathlib.Path(options.controller).resolve()
    bench = pathlib.Path(__file__).resolve().parents[2] / "build/tools/tt_bench"
    with tempfile.TemporaryDirectory() as work:
        wrappers = {}
        for program in ROUND_TRIP_FUNCTIONS:
            wrappers[program] = pathlib.Path(work, program)
            wrappers[program].write_text(
                "#!/bin/sh\nexec valgrind --tool=callgrind"
                f" --callgrind-out-file={work}/callgrind.{program}.%p"
                + (f" {controller}" if program == "controller" else "") + " \"$@\"\n")
            wrappers[program].chmod(0o755)
        run = subprocess.Popen([str(bench), "--controller", str(wrappers["controller"]),
                                "--fleet", "100", "--relay-devices", "100", "--rate", "300",
                                "--window", "32", "--measure-ms", "4000", "--repetitions", "1",
                                "--no-reload", "--json", f"{work}/bench.json", "--logs", work],
                               env=dict(os.environ, TT_BENCH_RELAY_WRAPPER=str(wrappers["relay"])),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        while run.poll() is None:
            time.sleep(0.5)
            dump(work)
        if run.returncode != 0:
            sys.exit(f"tt_bench failed:\n{run.stderr.read()}")
        for program, function in ROUND_TRIP_FUNCTIONS.items():
            for servers, parts in zip(("1 API server", "4 API servers"), runs(work, program)):
                total, round_trips, own = steady(parts, function)
                if round_trips == 0:
                    sys.exit(f"no round trips counted in {parts[-1]}")
                print(f"{program}, {servers}: {total:,} instructions, {round_trips:,} round trips,"
                      f" {total / round_trips:,.0f} per round trip")
                for name, count in own.most_common(options.top):
                    print(f"  {count / round_trips:8,.0f}  {name[:110]}")


if __name__ == "__main__":
    main()
