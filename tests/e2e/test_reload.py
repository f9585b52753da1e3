"""Reload in place: SIGHUP replaces the controller's program in the same process, and every
connection, running test and queued message goes on as if nothing had happened."""

import asyncio
import os
import shutil
import signal
import uuid

import world as world_module
from fakes import (BINARY, RawDevice, client_frame, execute_text, register_bytes, result_bytes,
                   run_bytes, until)
from world import World, requires_private_hosts, result_message, run, run_test
from test_metrics import http_get

pytestmark = requires_private_hosts


def validations(world):
    return [m for m in world.validator.messages() if m.startswith('{"type":"validate"')]


def reports(world):
    return [m for m in world.validator.messages() if '"unit_disconnect"' in m]


async def reload(world, devices):
    pid = world.controller.proc.pid
    took_over = len(world.lines_with("Reload: took over"))
    os.kill(pid, signal.SIGHUP)
    await world.wait_log("Reload: took over %d device connections" % devices, count=took_over + 1)
    assert world.controller.proc.poll() is None
    assert world.controller.proc.pid == pid


def test_a_reload_keeps_connections_running_tests_and_their_results(tmp_path):
    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            seven = await world.admitted_device(7)
            eight = await world.admitted_device(8)
            test_id = uuid.uuid4()
            text = execute_text(test_id, 7)
            await (await world.apis[0].connected()).send(text)
            data = text[len('{"type":"execute","data":'):-1]
            assert await seven.receive() == run_bytes(test_id, data)
            await seven.send_result(test_id, '{"part":1}', last=False)
            first = result_message('{"part":1}', test_id, 7)
            await until(lambda: all(first in api.messages() for api in world.apis))

            await reload(world, 2)

            await seven.send_result(test_id, '{"part":2}', last=True)
            second = result_message('{"part":2}', test_id, 7)
            await until(lambda: all(second in api.messages() for api in world.apis))
            await run_test(world, eight, 8, api=1)
            asking = await world.apis[1].connected()
            await asking.send('{"type":"isOnline","data":{"unit_id":7}}')
            answer = '{"type":"isOnline","data":{"unit_id":7,"result":true}}'
            await until(lambda: answer in world.apis[1].messages())
            for api in world.apis:
                assert api.messages().count(first) == 1
                assert api.messages().count(second) == 1
                # The same connection throughout: registered once, never closed.
                assert len(api.connections) == 1 and not api.connections[0].closed
            assert len(validations(world)) == 2
            assert reports(world) == []
            assert world.lines_with("disconnected") == []
            # The counters go on from where the previous program left them.
            totals = ['tt_controller_admissions_total{answer="accepted"} 2\n',
                      "tt_controller_tests_received_total 2\n"]
            await until(lambda: all(t in http_get(world.metrics_port, "/metrics")[1]
                                    for t in totals), what="the totals %r" % totals)
    run(scenario)


def test_a_message_under_way_at_the_signal_arrives_whole(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            raw = await RawDevice.connect(world.device_port)
            await raw.send_frame(BINARY, register_bytes(9, (0, 0, 0, 0, 0, 9)))
            await raw.read_message()
            await world.wait_log("unitId:9 telling to the device that validation 1")
            test_id = uuid.uuid4()
            text = execute_text(test_id, 9)
            await (await world.apis[0].connected()).send(text)
            await raw.read_message()
            frame = client_frame(BINARY, result_bytes(test_id, '{"half":"' + "h" * 5000 + '"}',
                                                      True))
            await raw.send_bytes(frame[:3000])
            os.kill(world.controller.proc.pid, signal.SIGHUP)
            await asyncio.sleep(0.3)
            await raw.send_bytes(frame[3000:])
            await world.wait_log("Reload: took over 1 device connections")
            expected = result_message('{"half":"' + "h" * 5000 + '"}', test_id, 9)
            await until(lambda: all(api.messages().count(expected) == 1 for api in world.apis))
            assert reports(world) == []
    run(scenario)


def test_a_refused_configuration_or_a_missing_program_leaves_the_controller_as_it_was(
        tmp_path, monkeypatch):
    program = tmp_path / "tt_controller"
    shutil.copy(world_module.CONTROLLER, program)
    monkeypatch.setattr(world_module, "CONTROLLER", str(program))

    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(7)
            config = tmp_path / "tt_controller.cfg"
            good = config.read_text()
            config.write_text(good + "[api-side]\nservice=1\n")
            os.kill(world.controller.proc.pid, signal.SIGHUP)
            await world.wait_log("Reload refused: ")
            config.write_text(good)
            program.unlink()
            os.kill(world.controller.proc.pid, signal.SIGHUP)
            await world.wait_log("Reload failed: No such file or directory")
            await run_test(world, device, 7)
            assert world.controller.proc.poll() is None
            assert reports(world) == []
    run(scenario)
