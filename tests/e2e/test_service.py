"""The whole service between fake API servers, a fake validator and fake devices."""

import asyncio
import json
import re
import socket
import uuid

from fakes import (FakeApiServer, execute_text, run_bytes, until, validate_answer)
from world import World, requires_private_hosts, run

HOSTNAME = socket.gethostname()
MAC = (0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E)
REPORT = re.compile(r'^\{"type":"unit_disconnect","reason":"clean",'
                    r'"dtime_utc":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d","unit_id":(\d+)\}$')

pytestmark = requires_private_hosts


def result_message(body, test_id, unit_id, task="ping", action_id=3):
    """The result message every API server must receive, member order included."""
    return ('{"type":"execute","data":%s"test_id":"%s","unit_id":%d,"task":"%s","action_id":%d}}'
            % (body[:-1] + "," if body != "{}" else "{", test_id, unit_id, task, action_id))


def error_message(code, message, test_id, unit_id, task="ping", action_id=3):
    body = '{"status":"error","data":{"code":"%s","message":"%s"}}' % (code, message)
    return result_message(body, test_id, unit_id, task, action_id)


async def messages_on_every_api(world, expected, timeout=10.0):
    for api in world.apis:
        await until(lambda: api.messages()[-len(expected):] == expected, timeout,
                    "%r on %s, got %r" % (expected, api.host, api.messages()))


def test_registrations_name_the_machine_and_the_handshake_host(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            for api in world.apis:
                connection = await api.connected()
                assert connection.registration == \
                    '{"type":"register","data":{"name":"%s"}}' % HOSTNAME
                assert connection.path == "/"
                assert connection.host == "tt-api-all"
            validator = await world.validator.connected()
            assert validator.registration == \
                '{"type":"register","data":{"is_validator":true,"name":"%s"}}' % HOSTNAME
            assert validator.host == "tt-api-best"
            assert world.stop_controller() == 0
    run(scenario)


def test_road_of_a_device(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.device(42)
            assert device.ws.subprotocol == "v1.json.v1.device.trigger_testing.kelvarin.net"
            await device.register()
            assert await device.receive() == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
            validator = await world.validator.connected()
            assert validator.messages[1] == \
                '{"type":"validate","data":{"unit_id":42,"mac":"001A2B3C4D5E"}}'
            await world.wait_log("unitId:42 received register request")
            await world.wait_log("API status: requested validate for unitId: [42] mac: "
                                 "[001A2B3C4D5E]")
            await world.wait_log("API Status: received validate result for unitId:42 and is: 1")

            connection = await world.apis[1].connected()
            await connection.send('{"type":"isOnline","data":{"unit_id":42}}')
            await connection.send('{"type":"isOnline","data":{"unit_id":43}}')
            await until(lambda: connection.messages[1:] == [
                '{"type":"isOnline","data":{"unit_id":42,"result":true}}',
                '{"type":"isOnline","data":{"unit_id":43,"result":false}}'],
                what="online answers")
    run(scenario)


def test_road_of_a_test_reaches_every_api_server(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(7)
            test_id = uuid.uuid4()
            text = execute_text(test_id, 7, extra_member="kept")
            await (await world.apis[0].connected()).send(text)
            run_message = await device.receive()
            assert run_message == run_bytes(test_id, json.loads(text) and
                                            text[len('{"type":"execute","data":'):-1])
            await world.wait_log("API: received request to run requestId:%s in unitId:7" % test_id)
            await world.wait_log("unitId:7 telling to the device to run requestId:%s" % test_id)

            await device.send_result(test_id, '{"progress":50}', last=False)
            await device.send_result(test_id, '{"status":"ok","rtt":12}', last=True)
            await messages_on_every_api(world, [
                result_message('{"progress":50}', test_id, 7),
                result_message('{"status":"ok","rtt":12}', test_id, 7)])
            await world.wait_log("API: sent result for requestId:%s and is last: 1" % test_id)

            # The last result freed the id: the same request runs again from the other server.
            await (await world.apis[1].connected()).send(text)
            assert await device.receive() == run_message
    run(scenario)


def test_refused_device_is_not_online_and_its_unit_unreachable(tmp_path):
    async def scenario():
        async with World(tmp_path, policy=lambda unit, mac: unit != 13) as world:
            device = await world.device(13)
            await device.register()
            assert await device.receive() == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x00])
            await world.wait_log("unitId:13 telling to the device that validation 0")
            connection = await world.apis[0].connected()
            test_id = uuid.uuid4()
            await connection.send(execute_text(test_id, 13))
            await messages_on_every_api(world, [error_message("UNREACHABLE", "", test_id, 13)])
            await connection.send('{"type":"isOnline","data":{"unit_id":13}}')
            await until(lambda: connection.messages[-1] ==
                        '{"type":"isOnline","data":{"unit_id":13,"result":false}}')
            # The refused device keeps its connection, but nothing is ever sent to it.
            await asyncio.sleep(0.2)
            assert not device.ws.closed
            await device.close()
            await world.wait_log("unitId:13 disconnected: ")
            assert not any("report disconnection" in line for line in world.controller.log())
    run(scenario)


def test_duplicate_running_id_is_answered_with_an_error(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(8)
            test_id = uuid.uuid4()
            connection = await world.apis[0].connected()
            await connection.send(execute_text(test_id, 8))
            await device.receive()
            await connection.send(execute_text(test_id, 8, task="again", action_id=9))
            await messages_on_every_api(world, [
                error_message("UNKNOWN", "Duplicated message ID", test_id, 8, "again", 9)])
            await device.send_result(test_id, '{"done":true}', last=True)
            await messages_on_every_api(world, [result_message('{"done":true}', test_id, 8)])
    run(scenario)


def test_disconnection_while_validator_is_down_is_reported_after_it_returns(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(21)
            await world.validator.stop()
            await world.wait_log("API Status: Input loop failed with")
            await device.close()
            await world.wait_log("API status: report disconnection unitId:21")

            returned = FakeApiServer(world.validator.host, world.api_port, lambda u, m: True)
            await returned.start()
            world.validator = returned
            connection = await returned.connected(timeout=15)
            await until(lambda: len(connection.messages) >= 2, what="report after return")
            match = REPORT.match(connection.messages[1])
            assert match and match.group(1) == "21", connection.messages
    run(scenario)


def test_api_server_restart_receives_results_queued_meanwhile(tmp_path):
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.admitted_device(5)
            test_id = uuid.uuid4()
            await (await world.apis[0].connected()).send(execute_text(test_id, 5))
            await device.receive()
            gone = world.apis[1]
            await gone.stop()
            await world.wait_log("Connecting wait: %s:%d" % (gone.host, world.api_port))
            await device.send_result(test_id, '{"n":1}', last=False)
            await device.send_result(test_id, '{"n":2}', last=True)
            await until(lambda: world.apis[0].messages()[-1:] ==
                        [result_message('{"n":2}', test_id, 5)])

            back = FakeApiServer(gone.host, world.api_port)
            await back.start()
            world.apis[1] = back
            connection = await back.connected(timeout=15)
            await until(lambda: connection.messages[1:] == [
                result_message('{"n":1}', test_id, 5), result_message('{"n":2}', test_id, 5)],
                what="queued results on the restarted server")
    run(scenario)


def test_validator_restart_receives_pending_validations_again(tmp_path):
    async def scenario():
        async with World(tmp_path, policy=lambda unit, mac: None) as world:
            first = await world.device(31)
            await first.register()
            second = await world.device(30, (0, 0, 0, 0, 0, 1))
            await second.register()
            await world.wait_log("API status: requested validate for unitId: [30]")
            await world.validator.stop()

            answering = FakeApiServer(world.validator.host, world.api_port, lambda u, m: True)
            await answering.start()
            world.validator = answering
            connection = await answering.connected(timeout=15)
            await until(lambda: len(connection.messages) >= 3, what="validations asked again")
            assert connection.messages[1:3] == [
                '{"type":"validate","data":{"unit_id":30,"mac":"000000000001"}}',
                '{"type":"validate","data":{"unit_id":31,"mac":"001A2B3C4D5E"}}']
            assert await first.receive() == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
            assert await second.receive() == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
    run(scenario)


def test_validator_answer_in_lower_case_admits_the_device(tmp_path):
    async def scenario():
        async with World(tmp_path, policy=lambda unit, mac: None) as world:
            device = await world.device(99)
            await device.register()
            connection = await world.validator.connected()
            await until(lambda: len(connection.messages) >= 2)
            await connection.send(validate_answer(99, "001a2b3c4d5e", True))
            assert await device.receive() == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
            assert world.stop_controller() == 0
            assert world.controller.stdout == b""
    run(scenario)


def test_every_line_logged_before_a_stop_reaches_standard_error_in_order(tmp_path):
    """The log lines of a busy loop are gathered before they are written; a stop by SIGTERM
    still writes all of them. Each answer the server has was logged before it was sent."""
    async def scenario():
        async with World(tmp_path) as world:
            server = world.apis[0]
            connection = await server.connected()
            for unit in range(300):
                await connection.send('{"type":"isOnline","data":{"unit_id":%d}}' % unit)
            await until(lambda: len(server.messages()) >= 100, 10, "answers")
            assert world.stop_controller() == 0
            answered = server.messages()
            writes = [line for line in world.controller.log()
                      if line.startswith("Writing message to API: ---")]
            assert writes[:len(answered)] == [
                "Writing message to API: ---%s---" % answer for answer in answered]
    run(scenario)
