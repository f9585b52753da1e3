#!/usr/bin/env python3
"""Fault-injection soak: the controller among simulated API servers, a validator and devices
that come and go, misbehave and get killed, for a chosen time.

Every simulator process writes its event record (tt_simulator --record); at the end the
records are checked against what the controller promises:

- it never exits;
- every result a device sent reaches every API server, none twice on one connection, the
  parts of one request in the order sent, and no API server receives a result no device sent;
- every admitted device's disconnection reaches the validator, across validator restarts;
- no refused or unvalidated device is sent a test;
- SIGHUP reloads it in place, a few times a minute (with --hangup-storm, first ten times a
  second for that long: the SIGHUPs that come during a reload are logged as ignored, and every
  reload asked for completes): each reload completes in the same process
  (same PID, same start time), closes no answered device connection, and a device that stays
  connected is neither reported as disconnected, nor validated again, nor answered offline to
  an isOnline query;
- its resident memory after the churn is within 10% of what it was before, and it holds no
  more descriptors than before (a connection a reload replaced or did not hand over must not
  stay open in the next program);
- a sanitizer build ends clean on SIGTERM.

Exit status: 0 when every invariant held, 1 when one failed, 77 when the machine cannot give
the controller a private /etc/hosts (needs root and unshare), 2 on a usage mistake."""

import argparse
import calendar
import collections
import ctypes
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from loopback import free_port, is_sanitized, private_hosts_supported

SKIPPED = 77

API_ADDRESSES = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
VALIDATOR_ADDRESS = "127.0.0.5"
ALL_HOSTNAME = "tt-soak-api-all"
BEST_HOSTNAME = "tt-soak-api-best"

# The validator admits these units; the refused ones are offered by devices too.
ADMITTED_UNITS = list(range(1001, 1017))
REFUSED_UNITS = list(range(1901, 1905))

# How long a receiver killed after a message was due may have swallowed it unread, in seconds.
GRACE = 1.5
# A unit id is used again only this long after its previous device has gone, so that each
# disconnection report matches one connection by its time.
UNIT_REST = 5.0
# Largest growth of the resident memory over the churn, as a fraction of the level before.
MEMORY_TOLERANCE = 0.10
# How long a reload may take from SIGHUP to the new program's line: the connections' hand-over
# bound (5 s) and the new program's start, with room for a loaded machine.
RELOAD_DEADLINE = 15.0
# The controller's log lines of a reload: the new program's last word, and those of a reload
# that did not go through.
RELOAD_DONE = "Reload: took over "
RELOAD_TROUBLE = ("Reload failed: ", "Reload refused: ", "Reload: the handed-over state is "
                  "unreadable")
RELOAD_ASKED = "Reload requested"
RELOAD_IGNORED = "Reload already under way: SIGHUP ignored"
# SIGHUPs a second during a storm.
STORM_RATE = 10

SANITIZER_FINDINGS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                      "SUMMARY: UndefinedBehaviorSanitizer", "WARNING: ThreadSanitizer")


# ---------------------------------------------------------------------------------------------
# The records, as the checks see them.

class Connection:
    """One device connection: a device of one fleet process, from its connect to its end."""

    def __init__(self, unit, start, fleet=""):
        self.unit = unit
        self.start = start
        self.fleet = fleet
        self.admitted = None       # True or False once the controller answered, else None
        self.answered_at = None    # when that answer came
        self.end = None            # when it ended, as far as anyone can tell
        self.stopped_at = None     # when the soak told its fleet to end
        self.misbehaved_at = None  # when it first misbehaved
        self.abrupt = False        # killed, or the device dropped its connection on purpose
        self.runs = []             # (time, test id, whether the device was admitted then)
        self.results = []          # (time, test id, text); the device began writing each
        self.failed_writes = set()  # test ids whose result writes failed
        self.misbehaviours = []    # modes shown

    def __repr__(self):
        return "unit %d of %s" % (self.unit, self.fleet or "a fleet")

    def steady_until(self):
        """Until when the connection is one the controller has no reason to end: neither the
        soak nor the device itself ended it; None when its end is unknown."""
        ends = [t for t in (self.end, self.stopped_at, self.misbehaved_at) if t is not None]
        return min(ends) if ends else None


class Receiver:
    """One process lifetime of an API server or of the validator at one address."""

    def __init__(self, address, start, end=None, name=""):
        self.address = address
        self.start = start
        self.end = end             # when it was killed; None: up until the end
        self.name = name
        self.registrations = []    # times the controller registered on it
        self.results = []          # (time, connection number, test id, text, error or None)
        self.executes = []         # (time, test id, unit)
        self.reports = []          # (time, connection number, unit, reason, dtime text)
        self.validations = []      # (time, unit, admitted)
        self.online_answers = []   # (time, unit, online)

    def __repr__(self):
        return self.name or "%s from %.3f" % (self.address, self.start)


def read_record(path):
    """The events of one record file; a line cut off by a kill is left out."""
    events = []
    try:
        with open(path) as record:
            for line in record:
                try:
                    events.append(json.loads(line))
                except ValueError:
                    pass
    except FileNotFoundError:
        pass
    return events


def connections_of_fleet(events, fleet="", killed_at=None, ended_at=None, stopped_at=None):
    """The device connections one fleet's record shows; killed_at is when the fleet was
    SIGKILLed, ended_at when its process was seen gone (for devices it left unrecorded),
    stopped_at when it was told to end (SIGTERM or SIGKILL)."""
    connections = {}
    for event in events:
        kind, unit = event["ev"], event.get("unit")
        if kind == "dev_connected":
            connections[unit] = Connection(unit, event["t"], fleet)
            connections[unit].stopped_at = stopped_at
            continue
        connection = connections.get(unit)
        if connection is None:
            continue
        if kind == "dev_validation":
            connection.admitted = event["admitted"]
            connection.answered_at = event["t"]
        elif kind == "dev_run":
            connection.runs.append((event["t"], event["test"], event["admitted"]))
        elif kind == "dev_result":
            connection.results.append((event["t"], event["test"], event["text"]))
        elif kind == "dev_write_failed":
            connection.failed_writes.add(event["test"])
        elif kind == "dev_misbehave":
            connection.misbehaviours.append(event["mode"])
            if connection.misbehaved_at is None:
                connection.misbehaved_at = event["t"]
            if event["mode"] == "drop":
                connection.abrupt = True
        elif kind == "dev_end":
            connection.end = event["t"]
    for connection in connections.values():
        if connection.end is not None:
            continue
        if killed_at is not None:
            connection.end = killed_at
            connection.abrupt = True
        else:
            connection.end = ended_at
    return list(connections.values())


def receiver_from_record(events, address, start, end=None, name=""):
    receiver = Receiver(address, start, end, name)
    for event in events:
        kind = event["ev"]
        if kind in ("api_register", "val_register"):
            receiver.registrations.append(event["t"])
        elif kind == "api_result":
            receiver.results.append((event["t"], event["conn"], event["test"], event["text"],
                                     event.get("error")))
        elif kind == "api_execute":
            receiver.executes.append((event["t"], event["test"], event["unit"]))
        elif kind == "val_disconnect":
            receiver.reports.append((event["t"], event["conn"], event["unit"], event["reason"],
                                     event["time"]))
        elif kind == "val_validate":
            receiver.validations.append((event["t"], event["unit"], event["admitted"]))
        elif kind == "api_online":
            receiver.online_answers.append((event["t"], event["unit"], event["online"]))
    return receiver


# ---------------------------------------------------------------------------------------------
# The checks: pure functions over connections and receivers. Each returns (figures, problems):
# named counts for the summary and one text per broken promise.

def may_be_lost_in_flight(due, receivers, grace=GRACE):
    """Whether a message due at one address at time `due` may have been swallowed by a process
    there that was killed before reading it: the first process that lived on after the message
    was due did not live `grace` seconds past it, or past the controller's first registration on
    it from then on (a process killed before any registration may have had it written unread).
    A reload replaces the validator connection, so one process may see several registrations;
    what was due while none was up is written after the next."""
    for receiver in sorted(receivers, key=lambda r: r.start):
        if receiver.end is not None and receiver.end < due - grace:
            continue
        if receiver.end is None:
            return False
        if not receiver.registrations:
            return True
        later = [r for r in receiver.registrations if r >= due]
        return receiver.end <= (min(later) if later else due) + grace
    return True


def check_results(connections, receivers, grace=GRACE):
    """Every result a device sent reaches every API server address (excused: lost in flight to
    a server killed right then, or sent just before its device was killed and received
    nowhere); none twice on one connection; the parts of one request in the order the device
    sent them; none that no device sent."""
    by_address = collections.defaultdict(list)
    for receiver in receivers:
        by_address[receiver.address].append(receiver)
    received = collections.defaultdict(set)       # (test, text) -> addresses
    per_connection = collections.Counter()         # (receiver, conn, test, text) -> count
    arrivals = collections.defaultdict(list)       # (receiver, conn, test) -> texts in order
    errors = 0
    for receiver in receivers:
        for _, conn, test, text, error in receiver.results:
            if error is not None:
                errors += 1
                continue
            received[(test, text)].add(receiver.address)
            per_connection[(id(receiver), receiver.name, receiver.address, conn, test, text)] += 1
            arrivals[(id(receiver), receiver.name, conn, test)].append(text)

    sent = {}
    # Also the parts of a request one of whose writes failed: those written before the failure
    # may arrive, though none is owed.
    begun = set()
    part_order = collections.defaultdict(list)     # test -> texts in the order sent
    for connection in connections:
        for t, test, text in connection.results:
            part_order[test].append(text)
            begun.add((test, text))
            if test not in connection.failed_writes:
                sent[(test, text)] = (t, connection)

    problems = []
    figures = collections.Counter(results_sent=len(sent), error_results_received=errors)
    for (t, test, text), connection in sorted(((v[0], k[0], k[1]), v[1])
                                                for k, v in sent.items()):
        addresses = received.get((test, text), set())
        abrupt_end = (connection.abrupt and connection.end is not None
                      and t >= connection.end - grace)
        for address, group in sorted(by_address.items()):
            figures["deliveries_expected"] += 1
            if address in addresses:
                figures["delivered"] += 1
            elif (abrupt_end and not addresses) or may_be_lost_in_flight(t, group, grace):
                figures["excused_in_flight"] += 1
            else:
                figures["lost"] += 1
                problems.append("result %s %s of %r (sent at %.3f) never reached %s"
                                % (test, text, connection, t, address))
    for (_, name, address, conn, test, text), count in sorted(per_connection.items(),
                                                               key=lambda item: item[0][1:]):
        if count > 1:
            figures["duplicates"] += count - 1
            problems.append("result %s %s reached %s %s connection %d %d times"
                            % (test, text, address, name, conn, count))
        if (test, text) not in begun:
            figures["unexpected"] += 1
            problems.append("result %s %s reached %s %s but no device sent it"
                            % (test, text, address, name))
    for (_, name, conn, test), texts in sorted(arrivals.items(), key=lambda item: item[0][1:]):
        order = part_order.get(test, [])
        places = [order.index(text) for text in texts if text in order]
        if places != sorted(places):
            figures["out_of_order"] += 1
            problems.append("the parts of result %s reached %s connection %d out of order: %s"
                            % (test, name, conn, ", ".join(texts)))
    return figures, problems


def utc_seconds(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%S"))


def check_reports(connections, validators, refused_units=(), grace=GRACE):
    """Every admitted device's disconnection reaches the validator (excused: lost in flight to
    a validator killed right then), matched by unit and by the time it carries; none twice;
    none for a refused unit."""
    reports = collections.defaultdict(list)   # unit -> [(dtime, receiver, conn)]
    seen = collections.Counter()
    figures = collections.Counter()
    problems = []
    for validator in validators:
        for _, conn, unit, reason, dtime in validator.reports:
            figures["reports_received"] += 1
            seen[(unit, dtime)] += 1
            reports[unit].append([utc_seconds(dtime), validator, conn, False])
            if unit in refused_units:
                problems.append("disconnection of refused unit %d was reported" % unit)
    for (unit, dtime), count in sorted(seen.items()):
        if count > 1:
            figures["duplicate_reports"] += count - 1
            problems.append("disconnection of unit %d at %s reported %d times"
                            % (unit, dtime, count))

    expected = [c for c in connections if c.admitted and c.end is not None]
    for connection in sorted(expected, key=lambda c: c.end):
        figures["reports_expected"] += 1
        match = next((r for r in sorted(reports[connection.unit], key=lambda r: r[0])
                      if not r[3] and connection.start - 2 <= r[0] <= connection.end + 2), None)
        if match is not None:
            match[3] = True
            figures["reports_matched"] += 1
        elif may_be_lost_in_flight(connection.end, validators, grace):
            figures["reports_excused_in_flight"] += 1
        else:
            figures["reports_missing"] += 1
            problems.append("disconnection of %r (ended at %.3f) was never reported"
                            % (connection, connection.end))
    return figures, problems


def check_runs(connections, receivers, refused_units=()):
    """No run message reaches a device that was not admitted, or the wrong unit."""
    unit_of_test = {}
    for receiver in receivers:
        for _, test, unit in receiver.executes:
            unit_of_test[test] = unit
    figures = collections.Counter()
    problems = []
    for connection in connections:
        for t, test, admitted in connection.runs:
            figures["runs_received"] += 1
            if not admitted or connection.admitted is not True:
                problems.append("%r was sent test %s at %.3f without being admitted"
                                % (connection, test, t))
            elif connection.unit in refused_units:
                problems.append("refused %r was sent test %s" % (connection, test))
            elif unit_of_test.get(test, connection.unit) != connection.unit:
                problems.append("%r was sent test %s, which was for unit %d"
                                % (connection, test, unit_of_test[test]))
    return figures, problems


def check_steady(connections, apis, validators, grace=GRACE):
    """A device the controller has answered stays as it is while nobody ends it: it is not
    reported as disconnected (the reports carry whole seconds, hence a margin of two), not
    validated again, and an isOnline query about it, once admitted, is answered online."""
    steady = collections.defaultdict(list)   # unit -> [(answered at, steady until, connection)]
    for connection in connections:
        until = connection.steady_until()
        if connection.answered_at is not None and until is not None:
            steady[connection.unit].append((connection.answered_at, until, connection))

    def connected(unit, t, margin, admitted=False):
        return next((c for since, until, c in steady[unit]
                     if since + margin < t < until - margin and (c.admitted or not admitted)),
                    None)

    figures = collections.Counter()
    problems = []
    for validator in validators:
        for _, _, unit, _, dtime in validator.reports:
            connection = connected(unit, utc_seconds(dtime), 2)
            if connection is not None:
                figures["reported_while_connected"] += 1
                problems.append("%r was reported disconnected at %s while connected"
                                % (connection, dtime))
        for t, unit, _ in validator.validations:
            connection = connected(unit, t, 0)
            if connection is not None:
                figures["validated_again"] += 1
                problems.append("%r was validated again at %.3f, answered at %.3f"
                                % (connection, t, connection.answered_at))
    for api in apis:
        for t, unit, online in api.online_answers:
            figures["online_answers"] += 1
            connection = None if online else connected(unit, t, grace, admitted=True)
            if connection is not None:
                figures["offline_while_connected"] += 1
                problems.append("%s answered %r offline at %.3f" % (api, connection, t))
    return figures, problems


def check_reloads(reloads, connections, grace=GRACE):
    """Each reload completed in the same process (what its run noted), and closed no device
    connection the controller had answered before it: none ended, unasked, between the signal
    and a moment after the new program's line."""
    figures = collections.Counter(reloads=len(reloads))
    problems = []
    for number, reload in enumerate(reloads, 1):
        problems += ["reload %d at %.3f: %s" % (number, reload.signalled, problem)
                     for problem in reload.problems]
        if reload.completed is None:
            continue
        figures["completed"] += 1
        figures["longest_ms"] = max(figures["longest_ms"],
                                    round((reload.completed - reload.signalled) * 1000))
        for connection in connections:
            if (connection.answered_at is not None and not connection.abrupt
                    and connection.answered_at < reload.signalled
                    and connection.end is not None and connection.steady_until() == connection.end
                    and reload.signalled <= connection.end <= reload.completed + grace):
                figures["connections_closed"] += 1
                problems.append("reload %d closed %r (ended at %.3f)"
                                % (number, connection, connection.end))
    return figures, problems


def check_hangups(sent, lines):
    """Every SIGHUP asked for a reload or was logged as ignored, but for those that came while
    the program was being replaced (blocked there, they are served once, as one); every reload
    asked for completed."""
    problems = []
    if lines["asked"] + lines["ignored"] > sent:
        problems.append("%d reloads asked and %d SIGHUPs ignored for %d sent"
                        % (lines["asked"], lines["ignored"], sent))
    if lines["completed"] != lines["asked"] or lines["troubled"]:
        problems.append("%d reloads asked, %d completed, %d failed or refused"
                        % (lines["asked"], lines["completed"], lines["troubled"]))
    return problems


def check_memory(before_kib, after_kib, tolerance=MEMORY_TOLERANCE):
    if after_kib <= before_kib * (1 + tolerance):
        return []
    return ["resident memory grew from %d KiB to %d KiB, more than %d%%"
            % (before_kib, after_kib, round(tolerance * 100))]


def check_end(status, stderr_text):
    """How the controller ended on SIGTERM: its status, and any sanitizer report in its
    standard error (empty when the build has no sanitizer)."""
    problems = []
    if status != 0:
        problems.append("the controller ended with status %s on SIGTERM" % status)
    for line in stderr_text.splitlines():
        if any(finding in line for finding in SANITIZER_FINDINGS):
            problems.append("sanitizer report in the controller's output: " + line.strip())
            break
    return problems


# ---------------------------------------------------------------------------------------------
# Running it.

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # Children go when the soak goes, even when it is killed itself.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Child:
    """One process the soak started; ended only by its pid."""

    def __init__(self, name, argv, stderr_path=None):
        self.name = name
        self.argv = argv
        self.stderr = open(stderr_path, "wb") if stderr_path else subprocess.DEVNULL
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr, preexec_fn=_die_with_parent)
        self.started = time.time()
        self.ended = None

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def send(self, sig):
        if self.alive():
            os.kill(self.proc.pid, sig)

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        """Signals the process and waits for it, killing it when it does not end in time."""
        self.send(sig)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.send(signal.SIGKILL)
            self.proc.wait()
        self.close()
        return self.proc.returncode

    def close(self):
        if self.stderr is not subprocess.DEVNULL:
            self.stderr.close()
            self.stderr = subprocess.DEVNULL


def process_start(pid):
    """The process's start time in clock ticks since boot (field 22 of /proc/PID/stat): an
    exec keeps it, another process under the same PID would not."""
    with open("/proc/%d/stat" % pid) as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[19])


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for pid %d" % pid)


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def steady_descriptors(pid, samples=5):
    """The fewest descriptors of a few looks, so that a file opened for a moment (the hosts
    file when a name is resolved) does not count."""
    least = None
    for _ in range(samples):
        count = open_descriptors(pid)
        least = count if least is None else min(least, count)
        time.sleep(0.2)
    return least


def wait_until(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


class Fleet:
    def __init__(self, child, record, units, lifetime, misbehaviours):
        self.child = child
        self.record = record
        self.units = units
        self.lifetime = lifetime
        self.misbehaviours = misbehaviours
        self.killed_at = None
        self.stopped_at = None
        self.ended_at = None


class Reload:
    """One SIGHUP the soak sent, and what came of it."""

    def __init__(self, signalled):
        self.signalled = signalled
        self.completed = None   # when the new program's line was seen
        self.problems = []


class Server:
    """An API server or validator address: its current process and all its past ones."""

    def __init__(self, role, address):
        self.role = role
        self.address = address
        self.process = None
        self.restart_at = None
        self.lifetimes = []   # (record path, start, kill time or None)


class Soak:
    def __init__(self, options):
        self.options = options
        self.random = random.Random(options.seed)
        self.work = options.work or tempfile.mkdtemp(prefix="tt_soak.")
        os.makedirs(os.path.join(self.work, "records"), exist_ok=True)
        self.sanitized = (is_sanitized(options.controller) if options.sanitizer == "auto"
                          else options.sanitizer == "yes")
        # Free on every address: the API servers and the validator listen on several.
        self.port = free_port("0.0.0.0")
        self.device_port = free_port("::", socket.AF_INET6)
        self.controller = None
        self.servers = ([Server("api", address) for address in API_ADDRESSES]
                        + [Server("validator", VALIDATOR_ADDRESS)])
        self.fleets = []
        self.live_fleets = []
        self.reloads = []
        self.reload = None          # the one under way
        self.log_offset = 0
        self.controller_start = None
        self.unit_free_at = {unit: 0.0 for unit in ADMITTED_UNITS + REFUSED_UNITS}
        self.faults = collections.Counter()
        self.reload_lines = collections.Counter()
        self.storm_end = 0.0
        self.problems = []
        self.figures = collections.OrderedDict()
        self.serial = 0

    # --- processes --------------------------------------------------------------------------

    def record_path(self, name):
        self.serial += 1
        return os.path.join(self.work, "records", "%04d-%s.jsonl" % (self.serial, name))

    def start_server(self, server):
        record = self.record_path("%s-%s" % (server.role, server.address))
        listen = "%s:%d" % (server.address, self.port)
        if server.role == "api":
            argv = [self.options.simulator, "api", "--listen", listen, "--units",
                    ",".join(str(u) for u in ADMITTED_UNITS + REFUSED_UNITS),
                    "--rate", str(self.options.rate), "--quiet", "--record", record]
            # One server asks isOnline before each test, so the answers are on record.
            if server.address == API_ADDRESSES[0]:
                argv.append("--only-online")
        else:
            argv = [self.options.simulator, "validator", "--listen", listen, "--accept-units",
                    "%d-%d" % (ADMITTED_UNITS[0], ADMITTED_UNITS[-1]), "--quiet",
                    "--record", record]
        server.process = Child("%s %s" % (server.role, server.address), argv)
        server.lifetimes.append([record, server.process.started, None])
        server.restart_at = None
        if not wait_until(lambda: any(e["ev"] == "listening" for e in read_record(record)), 10):
            raise RuntimeError("%s on %s did not start listening" % (server.role, listen))

    def kill_server(self, server, now):
        server.process.stop(signal.SIGKILL)
        server.lifetimes[-1][2] = now
        server.process = None
        self.faults["%s_killed" % server.role] += 1

    def start_controller(self):
        hosts = os.path.join(self.work, "hosts")
        with open(hosts, "w") as out:
            out.write("127.0.0.1 localhost\n")
            for address in API_ADDRESSES:
                out.write("%s %s\n" % (address, ALL_HOSTNAME))
            out.write("%s %s\n" % (VALIDATOR_ADDRESS, BEST_HOSTNAME))
        config = os.path.join(self.work, "tt_controller.cfg")
        with open(config, "w") as out:
            out.write("[api-side]\nall-hostname=%s\nbest-hostname=%s\nservice=%d\n"
                      "refresh-interval=1\n[device-side]\nlisten-service=%d\n"
                      % (ALL_HOSTNAME, BEST_HOSTNAME, self.port, self.device_port))
        argv = ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"',
                hosts, self.options.controller, "-c", config]
        self.controller = Child("controller", argv, os.path.join(self.work, "controller.log"))

    def start_fleet(self, units, lifetime, misbehaviours):
        record = self.record_path("devices")
        argv = [self.options.simulator, "devices", "--controller",
                "127.0.0.1:%d" % self.device_port, "--units", ",".join(map(str, units)),
                "--results", "2", "--quiet", "--record", record]
        for unit, mode in misbehaviours.items():
            argv += ["--misbehave", "%d=%s" % (unit, mode)]
        fleet = Fleet(Child("devices", argv), record, units, lifetime, misbehaviours)
        for unit in units:
            self.unit_free_at[unit] = float("inf")
        self.fleets.append(fleet)
        self.live_fleets.append(fleet)
        return fleet

    def end_fleet(self, fleet, kill):
        # Noted before the signal: a fleet may close its connections, and note their ends,
        # before this process runs again.
        fleet.stopped_at = time.time()
        if kill:
            fleet.killed_at = fleet.stopped_at
            fleet.child.send(signal.SIGKILL)
            self.faults["devices_killed"] += len(fleet.units)
        else:
            fleet.child.send(signal.SIGTERM)
            self.faults["devices_left"] += len(fleet.units)
        fleet.lifetime = None

    def reap_fleets(self, now):
        for fleet in list(self.live_fleets):
            if fleet.child.alive():
                continue
            fleet.child.close()
            fleet.ended_at = now
            self.live_fleets.remove(fleet)
            for unit in fleet.units:
                self.unit_free_at[unit] = now + UNIT_REST

    def controller_alive(self):
        if self.controller.alive():
            return True
        self.problems.append("the controller exited with status %s during the soak"
                             % self.controller.proc.returncode)
        return False

    def new_log_lines(self):
        """The controller's whole log lines written since the last call."""
        with open(os.path.join(self.work, "controller.log"), "rb") as log:
            log.seek(self.log_offset)
            text = log.read()
        whole = text[:text.rfind(b"\n") + 1]
        self.log_offset += len(whole)
        lines = whole.decode(errors="replace").splitlines()
        for line in lines:
            for kind, start in (("asked", RELOAD_ASKED), ("ignored", RELOAD_IGNORED),
                                ("completed", RELOAD_DONE), ("troubled", RELOAD_TROUBLE)):
                if line.startswith(start):
                    self.reload_lines[kind] += 1
        return lines

    def start_reload(self, now):
        self.new_log_lines()
        self.reload = Reload(now)
        self.reloads.append(self.reload)
        self.controller.send(signal.SIGHUP)
        self.faults["reloads"] += 1
        self.faults["sighups"] += 1

    def storm(self, now):
        """During the storm a SIGHUP every tick, whether a reload is under way or not."""
        if self.reload is None:
            self.start_reload(now)
        else:
            self.controller.send(signal.SIGHUP)
            self.faults["sighups"] += 1
            self.follow_reload(now)

    def follow_reload(self, now):
        """Reads the log for the reload under way; notes how it ended, or that it did not in
        time, and whether the process is still the one started."""
        reload = self.reload
        for line in self.new_log_lines():
            if line.startswith(RELOAD_TROUBLE):
                reload.problems.append("the controller logged: " + line)
            if line.startswith(RELOAD_DONE):
                reload.completed = now
        if reload.completed is None and now < reload.signalled + RELOAD_DEADLINE:
            return
        self.reload = None
        if reload.completed is None:
            reload.problems.append("no %r line within %.0f s" % (RELOAD_DONE, RELOAD_DEADLINE))
        if not self.controller.alive():
            reload.problems.append("the controller's process %d is gone" % self.controller.pid)
        elif process_start(self.controller.pid) != self.controller_start:
            reload.problems.append("PID %d is another process now" % self.controller.pid)

    # --- churn ------------------------------------------------------------------------------

    def pick_misbehaviour(self):
        roll = self.random.random()
        after = self.random.randint(0, 1)
        for mode, share in (("drop", 0.08), ("silent", 0.08), ("malformed", 0.08),
                            ("oversized", 0.06)):
            if roll < share:
                return "%s:%d" % (mode, after)
            roll -= share
        return None

    def maybe_start_fleet(self, now):
        live = sum(len(f.units) for f in self.live_fleets)
        if live >= self.options.devices or self.random.random() > 0.2:
            return
        free = [u for u, at in self.unit_free_at.items() if at <= now]
        if not free:
            return
        units = self.random.sample(free, min(len(free), self.random.randint(1, 3),
                                             self.options.devices - live))
        misbehaviours = {}
        for unit in units:
            mode = self.pick_misbehaviour()
            if mode:
                misbehaviours[unit] = mode
        self.start_fleet(sorted(units), now + self.random.uniform(2, 10), misbehaviours)

    def churn_step(self, now, tick):
        self.reap_fleets(now)
        for fleet in self.live_fleets:
            if fleet.lifetime is not None and now >= fleet.lifetime:
                self.end_fleet(fleet, kill=self.random.random() < 0.2)
        self.maybe_start_fleet(now)
        for server in self.servers:
            if server.process is None:
                if now >= server.restart_at:
                    self.start_server(server)
                continue
            mean = (self.options.api_kill_every if server.role == "api"
                    else self.options.validator_kill_every)
            if self.random.random() < tick / mean:
                self.kill_server(server, now)
                server.restart_at = now + self.random.uniform(0.3, 3.0)
        if now < self.storm_end:
            self.storm(now)
        elif self.reload is not None:
            self.follow_reload(now)
        elif self.random.random() < tick / self.options.reload_every:
            self.start_reload(now)

    # --- phases -----------------------------------------------------------------------------

    def registered_everywhere(self):
        """The controller has registered with the current process of every server."""
        for server in self.servers:
            record = server.lifetimes[-1][0]
            if not any(e["ev"] in ("api_register", "val_register") for e in read_record(record)):
                return False
        return True

    def start_world(self):
        for server in self.servers:
            self.start_server(server)
        self.start_controller()
        if not wait_until(lambda: self.registered_everywhere() or not self.controller.alive(),
                          30):
            raise RuntimeError("the controller did not register with every server")
        if not self.controller_alive():
            raise RuntimeError("the controller ended at start")
        self.controller_start = process_start(self.controller.pid)

    def warm_up(self):
        """A round of ordinary traffic, so that the memory before the churn counts what the
        controller keeps after its first devices, tests and reports."""
        units = ADMITTED_UNITS[:3]
        fleet = self.start_fleet(units, None, {})
        wait_until(lambda: sum(e["ev"] == "dev_result" for e in read_record(fleet.record)) >= 6
                   or not self.controller.alive(), 15)
        fleet.child.stop()
        self.reap_fleets(time.time())
        time.sleep(2)
        self.memory_before = resident_kib(self.controller.pid)
        self.descriptors_before = steady_descriptors(self.controller.pid)

    def churn(self):
        tick = 1 / STORM_RATE
        self.storm_end = time.time() + self.options.hangup_storm
        end = time.monotonic() + self.options.seconds
        while time.monotonic() < end:
            if not self.controller_alive():
                return False
            self.churn_step(time.time(), tick)
            time.sleep(tick)
        return True

    def settle(self):
        """The reload under way over, everyone back up, every device gone; waits until the
        records show nothing more in flight, or a deadline."""
        wait_until(lambda: self.reload is None or self.follow_reload(time.time()),
                   RELOAD_DEADLINE + 1)
        for server in self.servers:
            if server.process is None:
                self.start_server(server)
        for fleet in self.live_fleets:
            fleet.stopped_at = time.time()
            fleet.child.send(signal.SIGTERM)
        for fleet in self.live_fleets:
            fleet.child.stop(timeout=10)
        self.reap_fleets(time.time())
        wait_until(lambda: self.registered_everywhere() or not self.controller.alive(), 30)
        wait_until(lambda: not self.controller.alive() or not self.check(final=False), 30, 0.5)
        time.sleep(3)
        if self.controller_alive():
            self.memory_after = resident_kib(self.controller.pid)
            self.descriptors_after = steady_descriptors(self.controller.pid)

    # --- checking ---------------------------------------------------------------------------

    def gather(self):
        connections = []
        for fleet in self.fleets:
            connections += connections_of_fleet(read_record(fleet.record),
                                                os.path.basename(fleet.record), fleet.killed_at,
                                                fleet.ended_at, fleet.stopped_at)
        apis, validators = [], []
        for server in self.servers:
            for record, start, end in server.lifetimes:
                receiver = receiver_from_record(read_record(record), server.address, start, end,
                                                os.path.basename(record))
                (apis if server.role == "api" else validators).append(receiver)
        return connections, apis, validators

    def check(self, final=True):
        """The problems the records show now; with final, also the figures."""
        if final:
            self.new_log_lines()  # the last reload's lines
        connections, apis, validators = self.gather()
        results, result_problems = check_results(connections, apis)
        reports, report_problems = check_reports(connections, validators, REFUSED_UNITS)
        runs, run_problems = check_runs(connections, apis, REFUSED_UNITS)
        if final:
            steady, steady_problems = check_steady(connections, apis, validators)
            reloads, reload_problems = check_reloads(self.reloads, connections)
            reload_problems += check_hangups(self.faults["sighups"], self.reload_lines)
            self.summarize(connections, apis, validators, results, reports, runs)
            self.figures["reloads"] = collections.OrderedDict(
                (name, reloads[name]) for name in
                ("reloads", "completed", "longest_ms", "connections_closed"))
            self.figures["reload lines"] = collections.OrderedDict(
                (name, self.reload_lines[name])
                for name in ("asked", "ignored", "completed", "troubled"))
            self.figures["devices that stay"] = collections.OrderedDict(
                (name, steady[name]) for name in
                ("online_answers", "offline_while_connected", "reported_while_connected",
                 "validated_again"))
            self.invariants = collections.OrderedDict([
                ("results reach every API server, once, in order", result_problems),
                ("disconnections reach the validator", report_problems),
                ("tests go to admitted devices only", run_problems),
                ("reloads complete in the same process, closing no device", reload_problems),
                ("a device that stays connected stays online, unreported, validated once",
                 steady_problems),
            ])
        return result_problems + report_problems + run_problems

    def summarize(self, connections, apis, validators, results, reports, runs):
        modes = collections.Counter(m for c in connections for m in c.misbehaviours)
        faults = collections.OrderedDict(sorted(self.faults.items()))
        for mode in ("drop", "silent", "malformed", "oversized"):
            faults["devices_" + mode] = modes[mode]
        self.figures["faults injected"] = faults
        self.figures["devices"] = collections.OrderedDict([
            ("fleets", len(self.fleets)),
            ("connections", len(connections)),
            ("admitted", sum(c.admitted is True for c in connections)),
            ("refused", sum(c.admitted is False for c in connections)),
            ("never_validated", sum(c.admitted is None for c in connections)),
        ])
        self.figures["requests"] = collections.OrderedDict([
            ("executes_sent", sum(len(a.executes) for a in apis)),
            ("runs_received", runs["runs_received"]),
        ])
        self.figures["results"] = collections.OrderedDict(
            (name, results[name]) for name in
            ("results_sent", "deliveries_expected", "delivered", "excused_in_flight", "lost",
             "duplicates", "out_of_order", "unexpected", "error_results_received"))
        self.figures["disconnection reports"] = collections.OrderedDict(
            (name, reports[name]) for name in
            ("reports_expected", "reports_matched", "reports_excused_in_flight",
             "reports_missing", "duplicate_reports", "reports_received"))

    def finish(self):
        """Ends the controller by SIGTERM and checks how it ended."""
        status = self.controller.stop(signal.SIGTERM, timeout=60)
        text = ""
        if self.sanitized:
            with open(os.path.join(self.work, "controller.log"), errors="replace") as log:
                text = log.read()
        return check_end(status, text)

    def cleanup(self):
        for fleet in self.live_fleets:
            fleet.child.stop(signal.SIGKILL)
        for server in self.servers:
            if server.process is not None:
                server.process.stop()
        if self.controller is not None and self.controller.alive():
            self.controller.stop(signal.SIGKILL)

    def run(self):
        started = time.time()
        self.memory_before = self.memory_after = None
        self.descriptors_before = self.descriptors_after = None
        self.invariants = collections.OrderedDict()
        try:
            self.start_world()
            self.warm_up()
            ran = self.churn()
            if ran:
                self.settle()
            survived = self.controller_alive()
            self.check(final=True)
            memory_problems = []
            if self.memory_before is not None and self.memory_after is not None:
                memory_problems = check_memory(self.memory_before, self.memory_after)
                if self.sanitized:
                    # A sanitizer's quarantine keeps freed memory: shown, not judged.
                    memory_problems = []
            elif survived:
                memory_problems = ["the memory after the churn was not measured"]
            self.invariants["the controller never exits"] = [] if survived else self.problems
            self.invariants["memory returns within 10%"] = memory_problems
            if self.descriptors_before is not None and self.descriptors_after is not None:
                self.invariants["descriptors return to their level"] = (
                    [] if self.descriptors_after <= self.descriptors_before else
                    ["%d descriptors before the churn, %d after"
                     % (self.descriptors_before, self.descriptors_after)])
            end_problems = self.finish() if survived else ["the controller was gone"]
            name = ("ends clean on SIGTERM (sanitizer build)" if self.sanitized
                    else "ends with status 0 on SIGTERM")
            self.invariants[name] = end_problems
        finally:
            self.cleanup()
        self.report(time.time() - started)
        return 0 if all(not p for p in self.invariants.values()) else 1

    def report(self, elapsed):
        print("soak: %.0f s of churn (%.0f s in all), seed %d, controller %s%s"
              % (self.options.seconds, elapsed, self.options.seed, self.options.controller,
                 " (sanitizer build)" if self.sanitized else ""))
        for group, values in self.figures.items():
            print("  %s: %s" % (group, ", ".join("%s=%s" % item for item in values.items())))
        print("  memory: before=%s KiB, after=%s KiB%s; descriptors: before=%s, after=%s"
              % (self.memory_before, self.memory_after,
                 " (not judged under a sanitizer)" if self.sanitized else "",
                 self.descriptors_before, self.descriptors_after))
        for name, problems in self.invariants.items():
            print("  %s %s" % ("held:  " if not problems else "FAILED:", name))
            for problem in problems[:10]:
                print("      " + problem)
            if len(problems) > 10:
                print("      ... and %d more" % (len(problems) - 10))
        print("  records and logs: " + self.work)


def parse(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    build = os.environ.get("TT_BUILD_DIR", os.path.join(here, "..", "build"))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60, help="length of the churn")
    parser.add_argument("--controller", default=os.path.join(build, "tt_controller"))
    parser.add_argument("--simulator", default=os.path.join(build, "tools", "tt_simulator"))
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: time)")
    parser.add_argument("--devices", type=int, default=12, help="most devices at once")
    parser.add_argument("--rate", type=float, default=5, help="tests per second per API server")
    parser.add_argument("--api-kill-every", type=float, default=12,
                        help="mean seconds between kills of one API server")
    parser.add_argument("--validator-kill-every", type=float, default=15,
                        help="mean seconds between kills of the validator")
    parser.add_argument("--reload-every", type=float, default=20,
                        help="mean seconds between SIGHUP reloads of the controller")
    parser.add_argument("--hangup-storm", type=float, default=0,
                        help="seconds at the start of the churn with %d SIGHUPs a second"
                        % STORM_RATE)
    parser.add_argument("--sanitizer", choices=("auto", "yes", "no"), default="auto",
                        help="whether the controller is a sanitizer build (auto: look)")
    parser.add_argument("--work", help="directory for records and logs (default: a new one)")
    parser.add_argument("--keep", action="store_true", help="keep the records after a pass")
    options = parser.parse_args(argv)
    if options.seed is None:
        options.seed = int(time.time())
    for program in (options.controller, options.simulator):
        if not os.access(program, os.X_OK):
            parser.error("%s is not built" % program)
    return options


def main(argv):
    options = parse(argv)
    if not private_hosts_supported():
        print("soak: skipped: needs root and unshare for a private /etc/hosts")
        return SKIPPED
    soak = Soak(options)
    status = soak.run()
    if status == 0 and not options.keep and not options.work:
        shutil.rmtree(soak.work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
