"""Floods against the whole service: thousands of connections that never become devices,
connections up to the descriptor limit, and device messages at and past the size limit, split
into frames or not valid UTF-8. Through all of it an admitted device keeps being served."""

import asyncio
import re
import resource
import struct
import time
import uuid

import pytest
import websockets

from fakes import (BINARY, CONTINUATION, PING, PONG, TEXT, RawDevice, client_frame,
                   execute_text, register_bytes, result_bytes, run_bytes, until)
from world import (World, cpu_seconds, lines_with, requires_private_hosts, result_message,
                   run_test)

pytestmark = requires_private_hosts

ADMITTED = bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
MAC = (0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E)
TIMED_OUT = "The socket was closed due to a timeout"
REPORT = re.compile(r'^\{"type":"unit_disconnect","reason":"clean",'
                    r'"dtime_utc":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d","unit_id":(\d+)\}$')
# Lines of the API side that only a lost or renewed connection writes.
RECONNECT_LINES = ("Connecting main: ", "Connecting wait: ", "API Status: Connecting",
                   "API Status: Input loop failed with", "Added API ", "Removed API ")


def run(scenario, timeout=60):
    asyncio.run(asyncio.wait_for(scenario(), timeout))


@pytest.fixture
def descriptors():
    """Raises the soft descriptor limit of the test process, and so of the controller it starts,
    to the hard one; skips when even that is below what the test needs."""
    saved = resource.getrlimit(resource.RLIMIT_NOFILE)

    def need(count):
        if saved[1] != resource.RLIM_INFINITY and saved[1] < count:
            pytest.skip("needs %d descriptors, the hard limit is %d" % (count, saved[1]))
        resource.setrlimit(resource.RLIMIT_NOFILE, (saved[1], saved[1]))

    yield need
    resource.setrlimit(resource.RLIMIT_NOFILE, saved)


class TestConnectionsThatNeverBecomeDevices:
    FLOOD = 2000
    # Of the connections that never finish the handshake, a third send nothing, a third a part
    # of the request, and a third drip header bytes: the limit is on the whole handshake.
    PARTIAL_REQUEST = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"

    def test_thirty_second_limits_end_them_while_a_device_is_served(self, tmp_path, descriptors):
        descriptors(2 * self.FLOOD + 500)

        async def scenario():
            async with World(tmp_path) as world:
                device = await world.admitted_device(7)
                unshaken, silent = [], []
                try:
                    await self.open_flood(world, unshaken, silent)
                    lifetimes, tests = await self.serve_until_closed(world, device,
                                                                     unshaken + silent)
                finally:
                    for raw, _ in unshaken + silent:
                        raw.close()
                await run_test(world, device, 7)

                # The handshake limit runs from the accept, after the connect returned here; the
                # idle limit from the handshake's end, which the controller sees first.
                for lifetime in lifetimes:
                    assert 25 < lifetime < 50, lifetimes
                # Half-way through the idle limit the controller pinged them, once.
                assert all(raw.opcodes == [PING] for raw, _ in silent)
                prefix = "device disconnected before receiving ID: "
                await world.wait_log(prefix, count=2 * self.FLOOD, timeout=20)
                timed_out = lines_with(world, prefix)
                assert timed_out.count(prefix + TIMED_OUT) == self.FLOOD
                assert timed_out.count(prefix + TIMED_OUT + " boost.beast:1") == self.FLOOD
                assert len(timed_out) == 2 * self.FLOOD
                assert tests >= 10
                assert lines_with(world, "unitId:7 disconnected") == []
        run(scenario, timeout=240)

    async def open_flood(self, world, unshaken, silent):
        gate = asyncio.Semaphore(64)

        async def open_one(index, handshake):
            async with gate:
                raw = await RawDevice.connect(world.device_port, handshake, timeout=60)
            opened = time.monotonic()
            if not handshake and index % 3 == 1:
                await raw.send_bytes(self.PARTIAL_REQUEST)
            elif not handshake and index % 3 == 2:
                raw.drip = asyncio.ensure_future(drip(raw))
            (silent if handshake else unshaken).append((raw, opened))

        await asyncio.gather(*[open_one(i, False) for i in range(self.FLOOD)])
        await asyncio.gather(*[open_one(i, True) for i in range(self.FLOOD)])

    async def serve_until_closed(self, world, device, flood):
        """Runs tests on the device until the controller has closed every flood connection;
        the lifetimes of the connections and the number of tests run."""
        async def closed_after(raw, opened):
            await raw.wait_closed(timeout=120)
            if hasattr(raw, "drip"):
                raw.drip.cancel()
            return time.monotonic() - opened

        watch = asyncio.gather(*[closed_after(raw, opened) for raw, opened in flood])
        tests = 0
        while not watch.done():
            await run_test(world, device, 7, api=tests % 2)
            tests += 1
            await asyncio.wait([watch], timeout=0.5)
        return watch.result(), tests


async def drip(raw):
    """A request that never ends: a header byte every second."""
    try:
        await raw.send_bytes(b"GET / HTTP/1.1\r\nX-Drip: ")
        while True:
            await asyncio.sleep(1)
            await raw.send_bytes(b"a")
    except ConnectionError:
        pass  # closed by the controller


class TestDescriptorExhaustion:
    LIMIT = 200
    FLOOD = 300  # more than the controller has descriptors for, and than its listen backlog

    def test_accepting_backs_off_the_api_side_stays_and_service_resumes(self, tmp_path):
        def lower_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (self.LIMIT, self.LIMIT))

        async def scenario():
            async with World(tmp_path, preexec_fn=lower_limit) as world:
                device = await world.admitted_device(7)
                connections = [api.live() for api in world.apis]
                mark = len(world.controller.log())

                async def open_one(host):
                    try:
                        return await RawDevice.connect(world.device_port, False, 5, host)
                    except (OSError, asyncio.TimeoutError):
                        return None  # dropped by a full listen backlog: SYNs go unanswered
                # Over both families, so that both listening sockets run out.
                flood = [raw for raw in await asyncio.gather(
                    *[open_one(("127.0.0.1", "::1")[i % 2]) for i in range(self.FLOOD)])
                    if raw is not None]
                failure = "[ProbeServer] Error listening in %s: Too many open files"
                await world.wait_log(failure % "::", timeout=20)
                await world.wait_log(failure % "0.0.0.0", timeout=20)

                pid = world.controller.proc.pid
                failures = len(lines_with(world, "[ProbeServer] Error listening in "))
                cpu, wall = cpu_seconds(pid), time.monotonic()
                await asyncio.sleep(3)
                cpu, wall = cpu_seconds(pid) - cpu, time.monotonic() - wall
                assert cpu < 0.3 * wall, "%.2f s of CPU in %.2f s" % (cpu, wall)
                # Retrying at once would write a line per attempt, thousands a second.
                assert len(lines_with(world, "[ProbeServer] Error listening in ")) - failures < 60

                # Everything that needs no new descriptor goes on as before.
                await run_test(world, device, 7, api=1)
                online = world.apis[0].live()[0]
                await online.send('{"type":"isOnline","data":{"unit_id":7}}')
                await until(lambda: online.messages[-1] ==
                            '{"type":"isOnline","data":{"unit_id":7,"result":true}}')
                assert [api.live() for api in world.apis] == connections
                for line in RECONNECT_LINES:
                    assert lines_with(world, line, since=mark) == []

                for raw in flood:
                    raw.close()
                await world.wait_log("device disconnected before receiving ID: ",
                                     count=len(flood), timeout=20)
                second = await world.admitted_device(8, (0, 0, 0, 0, 0, 8))
                await run_test(world, second, 8)
                await run_test(world, device, 7)
                assert world.controller.proc.poll() is None
        run(scenario)


def fragmented(opcode, pieces):
    """The frames of one message in as many frames as there are pieces."""
    return b"".join(client_frame(opcode if index == 0 else CONTINUATION, piece,
                                 fin=index == len(pieces) - 1)
                    for index, piece in enumerate(pieces))


def padded_result(test_id, size):
    """A last result whose message is exactly `size` bytes: a JSON object with one long string."""
    head = '{"blob":"'
    text = head + "a" * (size - len(result_bytes(test_id, head + '"}', True))) + '"}'
    message = result_bytes(test_id, text, True)
    assert len(message) == size
    return message, text


async def admitted_raw_device(world, unit_id, mac):
    raw = await RawDevice.connect(world.device_port)
    await raw.send_frame(BINARY, register_bytes(unit_id, mac))
    assert await raw.read_message() == (BINARY, ADMITTED)
    await world.wait_log("unitId:%d telling to the device that validation 1" % unit_id)
    return raw


async def reported_disconnection(world, unit_id):
    await world.wait_log("API status: report disconnection unitId:%d" % unit_id)
    validator = await world.validator.connected()
    await until(lambda: any(REPORT.match(m) and REPORT.match(m).group(1) == str(unit_id)
                            for m in validator.messages), what="the report of %d" % unit_id)


class TestLargeMessages:
    LIMIT = 16 * 1024 * 1024
    TOO_BIG = "The WebSocket message exceeded the locally configured limit boost.beast.websocket:6"

    def test_message_of_16_mib_is_a_result_and_one_of_17_mib_ends_the_connection(self, tmp_path):
        async def scenario():
            async with World(tmp_path) as world:
                device = await world.admitted_device(7)
                other = await world.admitted_device(8, (0, 0, 0, 0, 0, 8))
                test_id = uuid.uuid4()
                await (await world.apis[0].connected()).send(execute_text(test_id, 7))
                await device.receive()
                message, text = padded_result(test_id, self.LIMIT)
                await device.ws.send(message)
                expected = result_message(text, test_id, 7)
                for server in world.apis:
                    await until(lambda: server.messages()[-1:] == [expected], 30,
                                "the 16 MiB result on " + server.host)
                await run_test(world, device, 7)

                try:
                    await device.ws.send(bytes(17 * 1024 * 1024))
                except websockets.ConnectionClosed:
                    pass  # the controller's close may come before the message is all sent
                await asyncio.wait_for(device.ws.wait_closed(), 20)
                assert device.ws.close_code == 1009
                await world.wait_log("unitId:7 disconnected: " + self.TOO_BIG)
                await reported_disconnection(world, 7)
                # The 16 MiB result and the test after it; the larger message was never one.
                assert len(lines_with(world, "received result for requestId:")) == 2
                await run_test(world, other, 8)
        run(scenario)

    @pytest.mark.parametrize("data", [
        fragmented(BINARY, [bytes(1024 * 1024)] * 16 + [b"\0"]),
        fragmented(BINARY, [bytes(1024 * 1024)] * 17),
        # Refused from its header on, without waiting for a payload that never comes.
        bytes([0x80 | BINARY, 0x80 | 127]) + struct.pack(">Q", 1 << 62) + bytes(4),
    ], ids=["16-mib-and-a-byte-in-fragments", "17-mib-in-fragments", "header-of-4-eib"])
    def test_limit_is_on_the_whole_message(self, tmp_path, data):
        async def scenario():
            async with World(tmp_path) as world:
                raw = await admitted_raw_device(world, 9, (0, 0, 0, 0, 0, 9))
                other = await world.admitted_device(8, (0, 0, 0, 0, 0, 8))
                await raw.send_bytes(data)
                assert await raw.wait_closed() == 1009
                raw.close()
                await world.wait_log("unitId:9 disconnected: " + self.TOO_BIG)
                await reported_disconnection(world, 9)
                await run_test(world, other, 8)
        run(scenario)


class TestFragmentedMessages:
    def test_register_and_result_in_several_frames_are_one_message_each(self, tmp_path):
        async def scenario():
            async with World(tmp_path) as world:
                raw = await RawDevice.connect(world.device_port)
                register = register_bytes(11, (0, 0, 0, 0, 0, 0x11))
                # A ping between fragments is answered at once, before the message is whole.
                await raw.send_frame(BINARY, register[:3], fin=False)
                await raw.send_frame(PING, b"between")
                assert await raw.read_frame() == (True, PONG, b"between")
                await raw.send_frame(CONTINUATION, register[3:10], fin=False)
                await raw.send_frame(CONTINUATION, register[10:], fin=True)
                assert await raw.read_message() == (BINARY, ADMITTED)
                await world.wait_log("unitId:11 received register request")

                test_id = uuid.uuid4()
                text = execute_text(test_id, 11)
                await (await world.apis[1].connected()).send(text)
                run_message = run_bytes(test_id, text[len('{"type":"execute","data":'):-1])
                assert await raw.read_message() == (BINARY, run_message)
                result = result_bytes(test_id, '{"status":"ok","parts":3}', True)
                await raw.send_fragments(BINARY, [result[:5], result[5:30], result[30:]])
                expected = result_message('{"status":"ok","parts":3}', test_id, 11)
                for server in world.apis:
                    await until(lambda: server.messages() == [expected], what=server.host)
                assert len(lines_with(world, "received result for requestId:")) == 1
        run(scenario)

    @pytest.mark.parametrize("data, error", [
        (client_frame(CONTINUATION, b"\x46\x9b"),
         "The WebSocket continuation frame was unexpected boost.beast.websocket:23"),
        (client_frame(BINARY, b"\x46\x9b", fin=False) + client_frame(BINARY, b"\x34\xa5"),
         "The WebSocket data frame was unexpected boost.beast.websocket:22"),
        (client_frame(BINARY, b"\x46\x9b", fin=False) + client_frame(PING, b"p", fin=False),
         "The WebSocket control frame was fragmented boost.beast.websocket:25"),
    ], ids=["continuation-without-a-start", "new-message-inside-a-message", "fragmented-ping"])
    def test_broken_fragmentation_ends_the_connection_with_1002(self, tmp_path, data, error):
        async def scenario():
            async with World(tmp_path) as world:
                device = await world.admitted_device(7)
                raw = await RawDevice.connect(world.device_port)
                await raw.send_bytes(data)
                assert await raw.wait_closed() == 1002
                raw.close()
                await world.wait_log("device disconnected before receiving ID: " + error)
                await run_test(world, device, 7)
        run(scenario)


class TestTextFrames:
    UTF8 = "The WebSocket frame payload was not valid utf8 boost.beast.websocket:30"

    def test_register_in_a_valid_utf8_text_frame_is_accepted(self, tmp_path):
        async def scenario():
            async with World(tmp_path) as world:
                raw = await RawDevice.connect(world.device_port)
                # The magic is not looked at: ASCII bytes instead make the message valid UTF-8.
                await raw.send_frame(TEXT, b"ABCD\x01" + bytes(7) + b"\x2a" + bytes(6))
                assert await raw.read_message() == (BINARY, ADMITTED)
                await world.wait_log("API status: requested validate for unitId: [42] mac: "
                                     "[000000000000]")
        run(scenario)

    def test_invalid_utf8_ends_the_connection_with_1007(self, tmp_path):
        async def scenario():
            async with World(tmp_path) as world:
                device = await world.admitted_device(7)
                # The magic itself is not UTF-8: a register sent as text never reaches decoding.
                raw = await RawDevice.connect(world.device_port)
                await raw.send_frame(TEXT, register_bytes(12, MAC))
                assert await raw.wait_closed() == 1007
                raw.close()
                await world.wait_log("device disconnected before receiving ID: " + self.UTF8)

                admitted = await admitted_raw_device(world, 13, (0, 0, 0, 0, 0, 13))
                # Valid UTF-8 up to a lone continuation byte in the second fragment.
                await admitted.send_fragments(TEXT, [b'{"status":"ok"', b'\x80}'])
                assert await admitted.wait_closed() == 1007
                admitted.close()
                await world.wait_log("unitId:13 disconnected: " + self.UTF8)
                await reported_disconnection(world, 13)

                assert lines_with(world, "unitId:12") == []
                assert lines_with(world, "received result") == []
                await run_test(world, device, 7)
        run(scenario)
