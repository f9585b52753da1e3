"""The soak's invariant checks over hand-made event records: a broken promise is caught, and
what a killed peer may have swallowed is excused, nothing more."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

import soak  # noqa: E402

TEST = "0123abcd-4567-89ef-fedc-ba9876543210"
PART1, PART2 = '{"status":"running","part":1,"of":2}', '{"status":"ok","part":2,"of":2}'
SERVER = "127.0.0.2:5000"


def fleet(unit=1001, admitted=True, end=120.0, results=((110.0, PART1), (110.1, PART2)),
          killed_at=None, extra=()):
    events = [{"t": 100.0, "ev": "dev_connected", "unit": unit},
              {"t": 100.5, "ev": "dev_validation", "unit": unit, "admitted": admitted},
              {"t": 109.9, "ev": "dev_run", "unit": unit, "test": TEST, "admitted": admitted}]
    events += [{"t": t, "ev": "dev_result", "unit": unit, "test": TEST, "last": text == PART2,
                "text": text} for t, text in results]
    events += list(extra) + ([{"t": end, "ev": "dev_end", "unit": unit}] if end else [])
    return soak.connections_of_fleet(events, killed_at=killed_at)


def api(results, address="127.0.0.2", start=49.0, end=None, registered=50.0, unit=1001):
    events = [{"t": registered, "ev": "api_register", "server": SERVER, "conn": 1},
              {"t": 109.8, "ev": "api_execute", "server": SERVER, "conn": 1, "test": TEST,
               "unit": unit}]
    events += [{"t": t, "ev": "api_result", "server": SERVER, "conn": 1, "test": TEST,
                "unit": 1001, "text": text} for t, text in results]
    return soak.receiver_from_record(events, address, start, end)


def validator(reports, start=49.0, end=None):
    events = [{"t": 50.0, "ev": "val_register", "conn": 1}]
    events += [{"t": t, "ev": "val_disconnect", "conn": 1, "unit": unit, "reason": "clean",
                "time": time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(120))}
               for t, unit in reports]
    return soak.receiver_from_record(events, "127.0.0.5", start, end)


BOTH = [(110.001, PART1), (110.101, PART2)]


def test_results_lost_duplicated_or_sent_by_nobody_are_caught():
    figures, problems = soak.check_results(fleet(), [api(BOTH), api(BOTH, "127.0.0.3")])
    assert problems == [] and figures["delivered"] == 4
    _, problems = soak.check_results(fleet(), [api(BOTH), api(BOTH[:1], "127.0.0.3")])
    assert problems == ["result %s %s of unit 1001 of a fleet (sent at 110.100) never reached "
                        "127.0.0.3" % (TEST, PART2)]
    figures, _ = soak.check_results(fleet(), [api(BOTH + BOTH[1:])])
    assert figures["duplicates"] == 1
    figures, _ = soak.check_results(fleet(results=BOTH[:1]), [api(BOTH)])
    assert figures["unexpected"] == 1
    failed = [{"t": 110.2, "ev": "dev_write_failed", "unit": 1001, "test": TEST}]
    assert soak.check_results(fleet(extra=failed), [api([])])[1] == []


def test_only_what_a_killed_peer_may_have_taken_is_excused():
    restarted = api([], start=111.0, registered=112.0)
    figures, problems = soak.check_results(fleet(), [api(BOTH[:1], end=110.5), restarted])
    assert problems == [] and figures["excused_in_flight"] == 1
    # Queued while the server was down: its next process must have it.
    figures, _ = soak.check_results(fleet(), [api([], end=105.0), restarted])
    assert figures["lost"] == 2
    figures, problems = soak.check_results(fleet(end=None, killed_at=110.3), [api(BOTH[:1])])
    assert problems == [] and figures["excused_in_flight"] == 1


def test_reports_missing_twice_or_for_a_refused_unit_are_caught():
    devices = fleet(end=120.4)
    assert soak.check_reports(devices, [validator([], end=118.0),
                                        validator([(125.0, 1001)], start=124.0)])[1] == []
    assert soak.check_reports(devices, [validator([(120.5, 1002)])])[1] == [
        "disconnection of unit 1001 of a fleet (ended at 120.400) was never reported"]
    assert soak.check_reports(devices, [validator([], end=120.6), validator([], start=121)])[1] \
        == []
    _, problems = soak.check_reports(devices, [validator([(120.5, 1001), (121.0, 1001),
                                                          (121.0, 1901)])], [1901])
    assert len(problems) == 2


def test_runs_to_devices_not_admitted_or_of_another_unit_are_caught():
    _, problems = soak.check_runs(fleet(unit=1901, admitted=False, results=()), [], [1901])
    assert problems == ["unit 1901 of a fleet was sent test %s at 109.900 without being "
                        "admitted" % TEST]
    assert soak.check_runs(fleet(results=()), [api([], unit=1002)])[1] == [
        "unit 1001 of a fleet was sent test %s, which was for unit 1002" % TEST]
    assert soak.check_runs(fleet(results=()), [api([])])[1] == []


def test_a_sanitizer_report_or_a_bad_status_fails_the_end():
    leak = "==12==ERROR: LeakSanitizer: detected memory leaks\n"
    assert soak.check_end(0, "API Status: Connecting\n") == []
    assert soak.check_end(1, leak) == ["the controller ended with status 1 on SIGTERM",
                                       "sanitizer report in the controller's output: "
                                       + leak.strip()]
