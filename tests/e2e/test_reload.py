"""Reload in place: SIGHUP replaces the controller's program in the same process, and every
connection, running test and queued message goes on as if nothing had happened."""

import asyncio
import os
import shutil
import signal
import socket
import struct
import subprocess
import uuid

import pytest

import world as world_module
from fakes import (ADMITTED, BINARY, CLOSE, CONTINUATION, MAGIC, PING, PONG, RawDevice,
                   client_frame, execute_text, register_bytes, result_bytes, run_bytes, until)
from world import World, http_get, requires_private_hosts, result_message, run, run_test

pytestmark = requires_private_hosts


def validations(world):
    return [m for m in world.validator.messages() if m.startswith('{"type":"validate"')]


def reports(world):
    return [m for m in world.validator.messages() if '"unit_disconnect"' in m]


def start_time(world):
    status, body = http_get(world.metrics_port, "/metrics")
    assert status == 200
    return next(line for line in body.splitlines()
                if line.startswith("tt_controller_start_time_seconds "))


async def reload(world, devices):
    pid = world.controller.proc.pid
    took_over = len(world.lines_with("Reload: took over"))
    os.kill(pid, signal.SIGHUP)
    await world.wait_log("Reload: took over %d device connections" % devices, count=took_over + 1)
    assert world.controller.proc.poll() is None
    assert world.controller.proc.pid == pid


def test_a_reload_keeps_connections_running_tests_and_their_results(tmp_path):
    """A message under way at the signal among them: it arrives whole."""
    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            seven = await world.admitted_device(7)
            eight = await world.admitted_device(8)
            raw = await RawDevice.connect(world.device_port)
            await raw.send_frame(BINARY, register_bytes(9, (0, 0, 0, 0, 0, 9)))
            await raw.read_message()
            await world.wait_log("unitId:9 telling to the device that validation 1")
            test_id, half_id = uuid.uuid4(), uuid.uuid4()
            text = execute_text(test_id, 7)
            await (await world.apis[0].connected()).send(text)
            await (await world.apis[0].connected()).send(execute_text(half_id, 9))
            data = text[len('{"type":"execute","data":'):-1]
            assert await seven.receive() == run_bytes(test_id, data)
            await raw.read_message()
            await seven.send_result(test_id, '{"part":1}', last=False)
            first = result_message('{"part":1}', test_id, 7)
            await until(lambda: all(first in api.messages() for api in world.apis))
            started = start_time(world)

            half = '{"half":"' + "h" * 5000 + '"}'
            frame = client_frame(BINARY, result_bytes(half_id, half, True))
            await raw.send_bytes(frame[:3000])
            pid = world.controller.proc.pid
            os.kill(pid, signal.SIGHUP)
            await world.wait_log("Reload requested")
            await raw.send_bytes(frame[3000:])
            await world.wait_log("Reload: took over 3 device connections")
            assert world.controller.proc.pid == pid and world.controller.proc.poll() is None

            await seven.send_result(test_id, '{"part":2}', last=True)
            second = result_message('{"part":2}', test_id, 7)
            await until(lambda: all(second in api.messages() for api in world.apis))
            await run_test(world, eight, 8, api=1)
            asking = await world.apis[1].connected()
            await asking.send('{"type":"isOnline","data":{"unit_id":7}}')
            answer = '{"type":"isOnline","data":{"unit_id":7,"result":true}}'
            await until(lambda: answer in world.apis[1].messages())
            halves = result_message(half, half_id, 9)
            for api in world.apis:
                assert api.messages().count(first) == 1
                assert api.messages().count(second) == 1
                assert api.messages().count(halves) == 1
                # The same connection throughout: registered once, never closed.
                assert len(api.connections) == 1 and not api.connections[0].closed
            assert len(validations(world)) == 3
            assert reports(world) == []
            assert world.lines_with("disconnected") == []
            # The counters go on from where the previous program left them.
            totals = ['tt_controller_admissions_total{answer="accepted"} 3\n',
                      "tt_controller_tests_received_total 3\n"]
            await until(lambda: all(t in http_get(world.metrics_port, "/metrics")[1]
                                    for t in totals), what="the totals %r" % totals)
            # The process is the same, and so is its start.
            assert start_time(world) == started
    run(scenario)


async def trickle(raw, size):
    """The last fragment of a message, `size` bytes: its header at once, then a byte at a time."""
    await raw.send_bytes(bytes([0x80 | CONTINUATION, 0x80 | 127]) + struct.pack(">Q", size)
                         + b"mask")
    while True:
        await raw.send_bytes(b"x")
        await asyncio.sleep(0.01)


# A device that is not at a message boundary when the hand-over bound (5 s) comes: one whose
# close is under way, or one trickling a message of 16 MiB (its limit) a byte at a time. It is ended and
# reported once; the others go on.
@pytest.mark.parametrize("under_way", ["closing", "trickling"])
def test_a_device_not_at_a_boundary_is_ended_and_reported_once(tmp_path, under_way):
    async def scenario():
        async with World(tmp_path) as world:
            staying = await world.admitted_device(7)
            raw = await RawDevice.connect(world.device_port)
            await raw.send_frame(BINARY, register_bytes(9, (0, 0, 0, 0, 0, 9)))
            await raw.read_message()
            await world.wait_log("unitId:9 telling to the device that validation 1")
            trickling = None
            if under_way == "closing":
                # Its close frame is answered, and the controller then waits for the
                # connection's end, which this device never gives.
                await raw.send_frame(CLOSE, b"\x03\xe8")
                assert (await raw.read_frame())[1] == CLOSE
            else:
                # A first fragment, and a ping answered after it: the controller is inside the
                # message when the rest begins to trickle.
                await raw.send_frame(BINARY, MAGIC, fin=False)
                await raw.send_frame(PING, b"")
                assert (await raw.read_frame())[1] == PONG
                trickling = asyncio.ensure_future(trickle(raw, (16 << 20) - len(MAGIC)))
            await reload(world, 1)
            assert world.lines_with("unitId:9 disconnected") == ["unitId:9 disconnected: reload"]
            await until(lambda: len(reports(world)) == 1, what="the ended device's report")
            assert '"unit_id":9' in reports(world)[0] and '"reason":"clean"' in reports(world)[0]
            if trickling is not None:
                with pytest.raises((ConnectionError, OSError)):
                    await asyncio.wait_for(trickling, 10)
            else:
                assert await asyncio.wait_for(raw.reader.read(), 10) == b""
            await run_test(world, staying, 7)
    run(scenario)


CONTROLLER_REFUSING_THE_FILE = """#!/bin/sh
case "$1" in
--version) echo "tt_controller 9.9.9" ;;
--reload-state-formats) echo 1 2 ;;
*) echo "Exception: refused $*" >&2; exit 1 ;;
esac
"""


# What the new program's answers say is the check's own test; here, that each way of refusing
# is reached from a SIGHUP and leaves the controller as it was. None: the file is a FIFO without
# a writer, which the loop must not wait on; "": the program is gone.
@pytest.mark.parametrize("program, line", [
    (None, "Reload refused: the config file %(config)s is not a regular file"),
    ("", "Reload failed: No such file or directory"),
    ("#!/bin/sh\nsleep 600\n",
     "Reload refused: the new program gave no answer within 5 seconds (--version)"),
    (CONTROLLER_REFUSING_THE_FILE,
     "Reload refused: the new program refuses the configuration (--check-config: exit status 1, "
     "printed \"Exception: refused --check-config -c %(config)s\\n\")"),
], ids=["fifo-configuration", "missing-program", "hangs", "refuses-the-file"])
def test_a_reload_that_cannot_go_ahead_is_refused_and_nothing_is_touched(
        tmp_path, monkeypatch, program, line):
    path = tmp_path / "tt_controller"
    shutil.copy(world_module.CONTROLLER, path)
    monkeypatch.setattr(world_module, "CONTROLLER", str(path))
    config = tmp_path / "tt_controller.cfg"
    line %= {"config": config}
    hangs = "gave no answer" in line

    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(7)
            if program is None:
                config.unlink()
                os.mkfifo(config)
            else:
                path.unlink()
            if program:
                path.write_text(program)
                path.chmod(0o755)
            pid = world.controller.proc.pid
            os.kill(pid, signal.SIGHUP)
            if hangs:
                # Served while the new program is asked: the loop does not wait for it.
                await world.wait_log("Reload requested")
                os.kill(pid, signal.SIGHUP)
                await world.wait_log("Reload already under way: SIGHUP ignored")
            await world.wait_log(line, timeout=20)
            assert world.lines_with("Reload") == (
                ["Reload requested"] +
                ["Reload already under way: SIGHUP ignored"] * hangs + [line])
            with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
                assert children.read() == ""  # the program asked is reaped
            await run_test(world, device, 7)
            assert world.controller.proc.poll() is None
            assert len(validations(world)) == 1
            assert reports(world) == []
            assert world.lines_with("disconnected") == []
    run(scenario)


def test_what_is_owed_to_peers_down_across_a_reload_reaches_them_once_they_return(tmp_path):
    """Results for an API server that is down, a disconnection report and a validation for
    the validator that is down: queued, handed over and delivered once, in their order."""
    async def scenario():
        async with World(tmp_path) as world:
            down, up = world.apis
            devices = {7: await world.admitted_device(7), 8: await world.admitted_device(8)}
            leaves = await world.admitted_device(6)
            tests = {unit: uuid.uuid4() for unit in devices}
            asking = await up.connected()
            for unit, device in devices.items():
                text = execute_text(tests[unit], unit)
                await asking.send(text)
                assert await device.receive() == run_bytes(
                    tests[unit], text[len('{"type":"execute","data":'):-1])
            await down.stop()
            await world.wait_log("Connecting wait: %s:%d" % (down.host, world.api_port))
            await world.validator.stop()
            await world.wait_log("API Status: Input loop failed with")
            await leaves.close()
            await world.wait_log("API status: report disconnection unitId:6")
            newcomer = await world.device(9)
            await newcomer.register()
            await world.wait_log("API status: requested validate for unitId: [9]")

            def results(server, unit):
                return [m for m in server.messages() if str(tests[unit]) in m]

            async def send_parts(part, last=False):
                for unit, device in devices.items():
                    await device.send_result(tests[unit], '{"part":%d}' % part, last)

            await send_parts(1)
            await until(lambda: all(len(results(up, unit)) == 1 for unit in devices))
            os.kill(world.controller.proc.pid, signal.SIGHUP)
            await send_parts(2)
            await world.wait_log(
                "Reload: took over 3 device connections, 2 running requests, 1 reports")
            await send_parts(3, last=True)
            await until(lambda: all(len(results(up, unit)) == 3 for unit in devices))
            # Still down: all six wait in the queue.
            assert len(world.lines_with("Connected main: %s:" % down.host)) == 1

            await down.start()
            await until(lambda: all(len(results(down, unit)) == 3 for unit in devices), 20,
                        "the six results on the API server that came back")
            for unit in devices:
                expected = [result_message('{"part":%d}' % part, tests[unit], unit)
                            for part in (1, 2, 3)]
                assert results(down, unit) == expected
                assert results(up, unit) == expected
            assert len(up.connections) == 1 and not up.connections[0].closed

            await world.validator.start()
            assert await newcomer.receive() == ADMITTED
            await until(lambda: len(reports(world)) == 1, what="the report of 6")
            await run_test(world, newcomer, 9, api=1)
            [report] = reports(world)
            assert '"reason":"clean"' in report and '"unit_id":6}' in report
            assert ['"unit_id":9' in m for m in validations(world)].count(True) == 1
    run(scenario)


# Which states are refused, and why, is the state's own test.
def test_a_state_that_cannot_be_read_closes_what_was_handed_over_and_starts_afresh(tmp_path):
    state = b'{"version":1,"configuration":"[api-side]\\nall-host'
    # A connection as a previous program would have handed it over; the test holds its far end.
    with socket.create_server(("127.0.0.1", 0)) as listener:
        handed = socket.create_connection(listener.getsockname())
        far, _ = listener.accept()
    memory = os.memfd_create("tt_controller-state")
    os.write(memory, state)
    env = dict(os.environ, TT_CONTROLLER_RELOAD_STATE_FD=str(memory))

    async def scenario():
        async with World(tmp_path, env=env, pass_fds=(memory, handed.fileno())) as world:
            os.close(memory)
            handed.close()
            line = ("Reload: the handed-over state is unreadable (damaged state: not JSON): "
                    "1 connections closed, starting afresh")
            assert world.lines_with("Reload: ") == [line]
            far.settimeout(10)
            assert await asyncio.to_thread(far.recv, 1) == b""
            device = await world.admitted_device(7)
            await run_test(world, device, 7)
            await reload(world, 1)
            await run_test(world, device, 7)
    try:
        run(scenario)
    finally:
        far.close()


def test_an_unreadable_state_and_a_refused_file_end_the_start_as_a_first_start_would(controllers,
                                                                                    config):
    memory = os.memfd_create("tt_controller-state")
    os.write(memory, b"{")
    env = dict(os.environ, TT_CONTROLLER_RELOAD_STATE_FD=str(memory))
    with socket.create_server(("127.0.0.1", 0)) as listening:
        controller = controllers(["-c", config("[api-side]\nfoo=1\n")], env=env,
                                 stderr=subprocess.PIPE, pass_fds=(memory, listening.fileno()))
        os.close(memory)
        assert controller.wait(10) == 1
    assert controller.log()[-1] == "Exception: unrecognised option 'api-side.foo'"
