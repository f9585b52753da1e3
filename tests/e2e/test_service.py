"""The whole service between fake API servers, a fake validator and fake devices."""

import uuid

from fakes import ADMITTED, execute_text, run_bytes, until
from world import World, requires_private_hosts, result_message, run

pytestmark = requires_private_hosts


def test_road_of_a_device_and_of_its_tests(tmp_path):
    """A device is admitted through the validator and is online; a test from one API server
    reaches it with its whole "data", its results reach every API server, and the last one
    frees the id for the same test from the other server."""
    async def scenario():
        async with World(tmp_path) as world:
            device = await world.device(7)
            await device.register()
            assert await device.receive() == ADMITTED

            asking = await world.apis[1].connected()
            await asking.send('{"type":"isOnline","data":{"unit_id":7}}')
            await asking.send('{"type":"isOnline","data":{"unit_id":8}}')
            await until(lambda: asking.messages[1:] == [
                '{"type":"isOnline","data":{"unit_id":7,"result":true}}',
                '{"type":"isOnline","data":{"unit_id":8,"result":false}}'], what="answers")

            test_id = uuid.uuid4()
            text = execute_text(test_id, 7, extra_member="kept")
            await (await world.apis[0].connected()).send(text)
            run_message = await device.receive()
            assert run_message == run_bytes(test_id, text[len('{"type":"execute","data":'):-1])
            await device.send_result(test_id, '{"progress":50}', last=False)
            await device.send_result(test_id, '{"status":"ok","rtt":12}', last=True)
            expected = [result_message('{"progress":50}', test_id, 7),
                        result_message('{"status":"ok","rtt":12}', test_id, 7)]
            for api in world.apis:
                await until(lambda: api.messages()[-2:] == expected, what=lambda: "%r on %s, got %r"
                            % (expected, api.host, api.messages()))

            await asking.send(text)
            assert await device.receive() == run_message
    run(scenario)


def test_every_line_logged_before_a_stop_reaches_standard_error_in_order(tmp_path):
    """The log lines of a busy loop are gathered before they are written; a stop by SIGTERM
    still writes all of them, and nothing to standard output. Each answer the server has was
    logged before it was sent."""
    async def scenario():
        async with World(tmp_path) as world:
            server = world.apis[0]
            connection = await server.connected()
            for unit in range(300):
                await connection.send('{"type":"isOnline","data":{"unit_id":%d}}' % unit)
            await until(lambda: len(server.messages()) >= 100, 10, "answers")
            assert world.controller.stop() == 0
            world.controller.stdout.seek(0)
            assert world.controller.stdout.read() == b""
            answered = server.messages()
            writes = [line for line in world.controller.log()
                      if line.startswith("Writing message to API: ---")]
            assert writes[:len(answered)] == [
                "Writing message to API: ---%s---" % answer for answer in answered]
    run(scenario)
