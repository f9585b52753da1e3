"""The soak's invariant checks over hand-made event records: each broken promise is caught,
and what a killed peer may have swallowed is excused, nothing more."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import soak  # noqa: E402

TEST = "0123abcd-4567-89ef-fedc-ba9876543210"
PART1 = '{"status":"running","part":1,"of":2}'
PART2 = '{"status":"ok","part":2,"of":2}'


def device_record(unit=1001, admitted=True, end=120.0, results=((110.0, PART1), (110.1, PART2))):
    events = [{"t": 100.0, "ev": "dev_connected", "unit": unit},
              {"t": 100.5, "ev": "dev_validation", "unit": unit, "admitted": admitted},
              {"t": 109.9, "ev": "dev_run", "unit": unit, "test": TEST, "admitted": admitted}]
    for t, text in results:
        events.append({"t": t, "ev": "dev_result", "unit": unit, "test": TEST,
                       "last": text == PART2, "text": text})
    if end is not None:
        events.append({"t": end, "ev": "dev_end", "unit": unit})
    return events


def api_record(results, conn=1, registered=50.0, executes=((109.8, TEST, 1001),)):
    events = [{"t": 49.0, "ev": "listening", "server": "127.0.0.2:5000"},
              {"t": registered, "ev": "api_register", "server": "127.0.0.2:5000", "conn": conn}]
    for t, test, unit in executes:
        events.append({"t": t, "ev": "api_execute", "server": "127.0.0.2:5000", "conn": conn,
                       "test": test, "unit": unit})
    for t, text in results:
        events.append({"t": t, "ev": "api_result", "server": "127.0.0.2:5000", "conn": conn,
                       "test": TEST, "unit": 1001, "text": text})
    return events


def api(results, address="127.0.0.2", start=49.0, end=None, **record):
    return soak.receiver_from_record(api_record(results, **record), address, start, end)


def validator(reports, start=49.0, end=None):
    events = [{"t": 50.0, "ev": "val_register", "conn": 1}]
    for t, unit, dtime in reports:
        events.append({"t": t, "ev": "val_disconnect", "conn": 1, "unit": unit,
                       "reason": "clean", "time": dtime})
    return soak.receiver_from_record(events, "127.0.0.5", start, end)


def utc(seconds):
    import time
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))


def both_parts(first=110.001, second=110.101):
    return [(first, PART1), (second, PART2)]


class TestResults:
    def test_every_result_at_every_server_holds(self):
        devices = soak.connections_of_fleet(device_record())
        figures, problems = soak.check_results(
            devices, [api(both_parts()), api(both_parts(), address="127.0.0.3")])
        assert problems == []
        assert (figures["results_sent"], figures["deliveries_expected"],
                figures["delivered"]) == (2, 4, 4)

    def test_a_result_missing_at_one_server_is_lost(self):
        devices = soak.connections_of_fleet(device_record())
        figures, problems = soak.check_results(
            devices, [api(both_parts()), api([(110.001, PART1)], address="127.0.0.3")])
        assert figures["lost"] == 1
        assert problems == ["result %s %s of unit 1001 of a fleet (sent at 110.100) never "
                            "reached 127.0.0.3" % (TEST, PART2)]

    def test_a_result_twice_on_one_connection_is_a_duplicate(self):
        devices = soak.connections_of_fleet(device_record())
        results = both_parts() + [(110.2, PART2)]
        figures, problems = soak.check_results(devices, [api(results)])
        assert figures["duplicates"] == 1
        assert len(problems) == 1 and "connection 1 2 times" in problems[0]

    def test_a_result_no_device_sent_is_unexpected(self):
        devices = soak.connections_of_fleet(device_record(results=((110.0, PART1),)))
        figures, problems = soak.check_results(devices, [api(both_parts())])
        assert figures["unexpected"] == 1
        assert problems[0].endswith("but no device sent it")

    def test_a_server_killed_right_after_the_result_may_have_swallowed_it(self):
        devices = soak.connections_of_fleet(device_record())
        killed = api([(110.001, PART1)], end=110.5)
        restarted = api([], start=111.0, registered=112.0)
        figures, problems = soak.check_results(devices, [killed, restarted])
        assert problems == []
        assert figures["excused_in_flight"] == 1

    def test_a_result_queued_while_the_server_was_down_must_reach_its_next_process(self):
        devices = soak.connections_of_fleet(device_record())
        killed = api([], end=105.0)
        restarted = api([(112.0, PART1)], start=111.0, registered=112.0)
        figures, problems = soak.check_results(devices, [killed, restarted])
        assert figures["lost"] == 1
        assert "never reached 127.0.0.2" in problems[0]

    def test_a_killed_device_may_take_its_last_result_with_it(self):
        events = device_record(end=None)
        devices = soak.connections_of_fleet(events, killed_at=110.3)
        figures, problems = soak.check_results(devices, [api([(110.001, PART1)])])
        assert problems == [] and figures["excused_in_flight"] == 1

    def test_a_failed_write_is_not_a_result_sent(self):
        events = device_record() + [{"t": 110.2, "ev": "dev_write_failed", "unit": 1001,
                                     "test": TEST}]
        figures, problems = soak.check_results(soak.connections_of_fleet(events), [api([])])
        assert problems == [] and figures["results_sent"] == 0


class TestReports:
    def test_a_report_matched_by_unit_and_time_holds(self):
        devices = soak.connections_of_fleet(device_record(end=120.4))
        figures, problems = soak.check_reports(devices, [validator([(120.5, 1001, utc(120))])])
        assert problems == [] and figures["reports_matched"] == 1

    def test_a_missing_disconnection_report_is_caught(self):
        devices = soak.connections_of_fleet(device_record(end=120.4))
        figures, problems = soak.check_reports(devices, [validator([(120.5, 1002, utc(120))])])
        assert figures["reports_missing"] == 1
        assert problems == ["disconnection of unit 1001 of a fleet (ended at 120.400) was never "
                            "reported"]

    def test_a_report_kept_across_a_validator_restart_holds(self):
        devices = soak.connections_of_fleet(device_record(end=120.4))
        figures, problems = soak.check_reports(
            devices, [validator([], end=118.0), validator([(125.0, 1001, utc(120))], start=124.0)])
        assert problems == [] and figures["reports_matched"] == 1

    def test_a_report_lost_with_a_validator_killed_at_once_is_excused(self):
        devices = soak.connections_of_fleet(device_record(end=120.4))
        figures, problems = soak.check_reports(
            devices, [validator([], end=120.6), validator([], start=121.0)])
        assert problems == [] and figures["reports_excused_in_flight"] == 1

    def test_refused_and_unanswered_devices_expect_no_report(self):
        refused = soak.connections_of_fleet(device_record(unit=1901, admitted=False))
        figures, problems = soak.check_reports(refused, [validator([])], refused_units=[1901])
        assert problems == [] and figures["reports_expected"] == 0

    def test_a_report_twice_or_for_a_refused_unit_is_caught(self):
        devices = soak.connections_of_fleet(device_record(end=120.4))
        reports = [(120.5, 1001, utc(120)), (121.0, 1001, utc(120)), (121.0, 1901, utc(121))]
        figures, problems = soak.check_reports(devices, [validator(reports)], [1901])
        assert figures["duplicate_reports"] == 1
        assert "disconnection of refused unit 1901 was reported" in problems
        assert "disconnection of unit 1001 at %s reported 2 times" % utc(120) in problems


class TestRuns:
    def test_a_run_message_to_a_refused_device_is_caught(self):
        events = device_record(unit=1901, admitted=False, results=())
        figures, problems = soak.check_runs(soak.connections_of_fleet(events), [], [1901])
        assert figures["runs_received"] == 1
        assert problems == ["unit 1901 of a fleet was sent test %s at 109.900 without being "
                            "admitted" % TEST]

    def test_a_run_message_before_the_answer_is_caught(self):
        events = [{"t": 100.0, "ev": "dev_connected", "unit": 1001},
                  {"t": 100.2, "ev": "dev_run", "unit": 1001, "test": TEST, "admitted": False}]
        _, problems = soak.check_runs(soak.connections_of_fleet(events), [])
        assert len(problems) == 1 and "without being admitted" in problems[0]

    def test_a_run_message_for_another_unit_is_caught(self):
        devices = soak.connections_of_fleet(device_record(results=()))
        _, problems = soak.check_runs(devices, [api([], executes=((109.8, TEST, 1002),))])
        assert problems == ["unit 1001 of a fleet was sent test %s, which was for unit 1002"
                            % TEST]

    def test_runs_to_admitted_devices_hold(self):
        devices = soak.connections_of_fleet(device_record(results=()))
        assert soak.check_runs(devices, [api([])])[1] == []


class TestEnd:
    def test_memory_within_ten_percent_holds_and_beyond_fails(self):
        assert soak.check_memory(10000, 11000) == []
        assert soak.check_memory(10000, 11001) == [
            "resident memory grew from 10000 KiB to 11001 KiB, more than 10%"]

    def test_sanitizer_reports_and_bad_statuses_are_caught(self):
        assert soak.check_end(0, "API Status: Connecting\n") == []
        assert soak.check_end(1, "") == [
            "the controller ended with status 1 on SIGTERM"]
        leak = "==12==ERROR: LeakSanitizer: detected memory leaks\n"
        assert soak.check_end(0, leak) == [
            "sanitizer report in the controller's output: " + leak.strip()]
