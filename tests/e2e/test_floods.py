"""Floods against the whole service: thousands of connections that never become devices, and
device messages past the size limit or not valid UTF-8. Through all of it an admitted device
keeps being served."""

import asyncio
import contextlib
import resource
import struct
import time
from collections import Counter

import pytest

from fakes import (ADMITTED, BINARY, CONTINUATION, PING, REGISTRATION_TIMED_OUT, TEXT,
                   TIMED_OUT, RawDevice, client_frame)
from world import World, admitted_raw, requires_private_hosts, run, run_test

pytestmark = requires_private_hosts


async def closed_at(ws):
    """When the connection closed."""
    await ws.wait_closed()
    return time.monotonic()


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
                # Answers the pings, but never says who it is.
                pinging = await world.device(0)
                pinging_opened = time.monotonic()
                pinging_closed = asyncio.ensure_future(closed_at(pinging.ws))
                unshaken, silent = [], []
                try:
                    await self.open_flood(world, unshaken, silent)
                    lifetimes, tests = await self.serve_until_closed(world, device,
                                                                     unshaken + silent)
                finally:
                    for raw, _ in unshaken + silent:
                        raw.close()
                await run_test(world, device, 7)
                # Its lifetime, not the time until it is checked: the flood may take long to
                # open on a loaded machine.
                lifetime = await asyncio.wait_for(pinging_closed, 30) - pinging_opened
                assert 25 < lifetime < 50, lifetime

                # The handshake limit runs from the accept, after the connect returned here; the
                # idle limit from the handshake's end, which the controller sees first. Neither
                # ends a connection early; that they, and nothing else, ended each one the
                # reasons logged below say. How soon after a limit is not asserted: a loaded
                # machine stretches it.
                assert min(lifetimes) > 25, lifetimes
                # Half-way through the idle limit the controller pinged them, once.
                assert all(raw.opcodes == [PING] for raw, _ in silent)
                prefix = "device disconnected before receiving ID: "
                await world.wait_log(prefix, count=2 * self.FLOOD + 1, timeout=20)
                # A silent one reaches its idle limit and the limit on its register message at
                # the same time: either ends it.
                ended = Counter(world.lines_with(prefix))
                assert ended.pop(prefix + TIMED_OUT) == self.FLOOD
                assert ended[prefix + REGISTRATION_TIMED_OUT] >= 1
                assert set(ended) <= {prefix + TIMED_OUT + " boost.beast:1",
                                      prefix + REGISTRATION_TIMED_OUT}
                assert sum(ended.values()) == self.FLOOD + 1
                assert tests >= 10
                assert world.lines_with("unitId:7 disconnected") == []
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


@pytest.mark.parametrize("data", [
    b"".join(client_frame(BINARY if i == 0 else 0, bytes(1 << 20), fin=i == 16)
             for i in range(17)),
    # Refused from its header on, without waiting for a payload that never comes.
    bytes([0x80 | BINARY, 0x80 | 127]) + struct.pack(">Q", 1 << 62) + bytes(4),
], ids=["17-mib-in-fragments", "header-of-4-eib"])
def test_a_message_past_16_mib_ends_the_connection_with_1009(tmp_path, data):
    async def scenario():
        async with World(tmp_path) as world:
            raw = await admitted_raw(world, 9)
            other = await world.admitted_device(8)
            # The controller may refuse the message, and close, before the last bytes are sent;
            # the failed send then ends the reading too, before the close frame is read.
            sending = asyncio.ensure_future(raw.send_bytes(data))
            assert await raw.wait_closed() in (1009, None)
            with contextlib.suppress(ConnectionError):
                await sending
            raw.close()
            await world.wait_log("unitId:9 disconnected: The WebSocket message exceeded the "
                                 "locally configured limit boost.beast.websocket:6")
            await world.reported(9)
            await run_test(world, other, 8)
    run(scenario)


def test_text_frames_are_read_as_any_message_when_they_are_valid_utf8(tmp_path):
    utf8 = "The WebSocket frame payload was not valid utf8 boost.beast.websocket:30"

    async def scenario():
        async with World(tmp_path) as world:
            # The magic is not looked at: ASCII bytes instead make the message valid UTF-8.
            raw = await RawDevice.connect(world.device_port)
            await raw.send_frame(TEXT, b"ABCD\x01" + bytes(7) + b"\x2a" + bytes(6))
            assert await raw.read_message() == (BINARY, ADMITTED)
            # Valid UTF-8 up to a lone continuation byte in the second fragment.
            await raw.send_frame(TEXT, b'{"status":"ok"', fin=False)
            await raw.send_frame(CONTINUATION, b'\x80}')
            assert await raw.wait_closed() == 1007
            raw.close()
            await world.wait_log("unitId:42 disconnected: " + utf8)
            await world.reported(42)
            assert world.lines_with("received result") == []
    run(scenario)
