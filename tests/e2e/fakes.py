"""Peers of the controller, written against the websockets library: API servers, a validator
and devices. They speak the wire formats byte for byte and record what they receive."""

import asyncio
import json
import struct
import time

import websockets

MAGIC = bytes([0x46, 0x9B, 0x34, 0xA5])
SUBPROTOCOL = "v1.json.v1.device.trigger_testing.kelvarin.net"


async def until(predicate, timeout=10.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        await asyncio.sleep(0.01)
    raise AssertionError("timed out waiting for " + what)


class Connection:
    """One controller connection to a fake API server."""

    def __init__(self, ws, path):
        self.ws = ws
        # websockets 10 passes the path as an argument; later versions keep it on the connection.
        self.path = path if path is not None else getattr(ws, "path", None)
        self.host = ws.request_headers.get("Host")
        self.messages = []
        self.closed = False

    @property
    def registration(self):
        return self.messages[0] if self.messages else None

    def is_validator(self):
        return self.registration is not None and '"is_validator":true' in self.registration

    async def send(self, text):
        await self.ws.send(text)


class FakeApiServer:
    """An API server; as validator it answers "validate" requests through `policy`
    (unit id, mac text) -> True, False, or None to leave the request unanswered."""

    def __init__(self, host, port, policy=None):
        self.host, self.port, self.policy = host, port, policy
        self.connections = []
        self.server = None

    async def start(self):
        self.server = await websockets.serve(self._serve, self.host, self.port,
                                             compression=None, max_size=None)

    async def stop(self):
        self.server.close()
        await self.server.wait_closed()
        for connection in self.connections:
            connection.closed = True

    async def _serve(self, ws, path=None):
        connection = Connection(ws, path)
        self.connections.append(connection)
        try:
            async for message in ws:
                connection.messages.append(message)
                await self._answer(connection, message)
        except websockets.ConnectionClosed:
            pass
        finally:
            connection.closed = True

    async def _answer(self, connection, message):
        if self.policy is None or not message.startswith('{"type":"validate"'):
            return
        data = json.loads(message)["data"]
        verdict = self.policy(data["unit_id"], data["mac"])
        if verdict is not None:
            await connection.send(validate_answer(data["unit_id"], data["mac"], verdict))

    def live(self):
        return [c for c in self.connections if not c.closed]

    def messages(self):
        """Every message after the registrations, over all connections, in arrival order."""
        return [m for c in self.connections for m in c.messages[1:]]

    async def connected(self, timeout=10.0):
        return await until(lambda: next((c for c in self.live() if c.registration), None),
                           timeout, "a registered controller connection on " + self.host)


def validate_answer(unit_id, mac, verdict):
    return json.dumps({"type": "validate",
                       "data": {"unit_id": unit_id, "mac": mac, "result": verdict}})


def execute_text(test_id, unit_id, task="ping", action_id=3, **extra):
    data = {"test_id": str(test_id), "unit_id": unit_id, "task": task, "action_id": action_id}
    data.update(extra)
    return json.dumps({"type": "execute", "data": data}, separators=(",", ":"))


def register_bytes(unit_id, mac):
    return MAGIC + b"\x01" + struct.pack(">Q", unit_id) + bytes(mac)


def run_bytes(test_id, data):
    payload = data.encode()
    return MAGIC + b"\x02" + test_id.bytes + struct.pack(">I", len(payload)) + payload


def result_bytes(test_id, text, last):
    return MAGIC + b"\x02" + test_id.bytes + bytes([1 if last else 0]) + b"\0\0\0\0" + text.encode()


class FakeDevice:
    """A measurement device connected to the controller."""

    def __init__(self, port, unit_id, mac):
        self.port, self.unit_id, self.mac = port, unit_id, mac
        self.ws = None

    async def connect(self):
        self.ws = await websockets.connect("ws://127.0.0.1:%d/" % self.port,
                                           subprotocols=[SUBPROTOCOL], compression=None,
                                           open_timeout=10)
        return self

    async def register(self):
        await self.ws.send(register_bytes(self.unit_id, self.mac))

    async def receive(self, timeout=10.0):
        return await asyncio.wait_for(self.ws.recv(), timeout)

    async def send_result(self, test_id, text, last):
        await self.ws.send(result_bytes(test_id, text, last))

    async def close(self):
        await self.ws.close()
