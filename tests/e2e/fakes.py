"""Peers of the controller, written against the websockets library: API servers, a validator
and devices. They speak the wire formats byte for byte and record what they receive."""

import asyncio
import base64
import json
import os
import socket
import struct

import websockets

from conftest import wait_for

MAGIC = bytes([0x46, 0x9B, 0x34, 0xA5])
ADMITTED = MAGIC + b"\x01\x01"
TIMED_OUT = "The socket was closed due to a timeout"
REGISTRATION_TIMED_OUT = "Register message timed out device:1"
SUBPROTOCOL = "v1.json.v1.device.trigger_testing.kelvarin.net"
MAC = (0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E)


async def until(predicate, timeout=10.0, what="condition"):
    """wait_for on a thread of its own, while the event loop goes on serving the peers."""
    return await asyncio.to_thread(wait_for, predicate, timeout, what=what)


class Connection:
    """One controller connection to a fake API server."""

    def __init__(self, ws):
        self.ws = ws
        self.messages = []
        self.closed = False

    async def send(self, text):
        await self.ws.send(text)


class FakeApiServer:
    """An API server; as validator it answers "validate" requests through `policy`
    (unit id, mac text) -> True, False, or None to leave the request unanswered. A deaf one
    reads the registration and nothing after it, with a receive buffer of 4 KiB, so that the
    controller's writes back up at once, while it pings twice a second to look alive."""

    def __init__(self, host, port, policy=None, hang_up=False, deaf=False):
        self.host, self.port, self.policy, self.deaf = host, port, policy, deaf
        self.hang_up = hang_up  # closes every connection once it is registered
        self.connections = []
        self.server = None

    async def start(self):
        # No pings of its own: a test that stops reading must not be hung up on by them.
        options = dict(compression=None, max_size=None, ping_interval=None)
        if not self.deaf:
            self.server = await websockets.serve(self._serve, self.host, self.port, **options)
            return
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 256)
        listener.bind((self.host, self.port))
        self.server = await websockets.serve(self._serve, sock=listener, **options)

    async def stop(self):
        for connection in self.connections:
            if self.deaf:
                connection.ws.transport.abort()
        self.server.close()
        await self.server.wait_closed()
        for connection in self.connections:
            connection.closed = True

    async def _serve(self, ws, path=None):  # websockets 10 passes the path
        connection = Connection(ws)
        self.connections.append(connection)
        try:
            async for message in ws:
                connection.messages.append(message)
                while self.deaf:
                    ws.transport.pause_reading()
                    await ws.ping()
                    await asyncio.sleep(0.5)
                if self.hang_up:
                    await ws.close()
                    break
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
            data["result"] = verdict
            await connection.send(json.dumps({"type": "validate", "data": data}))

    def messages(self):
        """Every message after the registrations, over all connections, in arrival order."""
        return [m for c in self.connections for m in c.messages[1:]]

    async def connected(self, timeout=10.0):
        # A server that hangs up has no live connection to wait for.
        return await until(lambda: next((c for c in self.connections if c.messages and (
                               self.hang_up or not c.closed)), None),
                           timeout, "a registered controller connection on " + self.host)


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

    def __init__(self, port, unit_id, mac=MAC, host="127.0.0.1"):
        self.port, self.unit_id, self.mac, self.host = port, unit_id, mac, host
        self.ws = None

    async def connect(self):
        self.ws = await websockets.connect("ws://%s:%d/" % (self.host, self.port),
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


# WebSocket opcodes (RFC 6455, section 5.2).
CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA


def client_frame(opcode, payload, fin=True):
    """One frame as a client must send it: masked, with the shortest length encoding."""
    head = bytes([(0x80 if fin else 0) | opcode])
    size = len(payload)
    if size < 126:
        head += bytes([0x80 | size])
    elif size < 1 << 16:
        head += bytes([0x80 | 126]) + struct.pack(">H", size)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", size)
    mask = os.urandom(4)
    repeated = (mask * (size // 4 + 1))[:size]
    masked = int.from_bytes(payload, "big") ^ int.from_bytes(repeated, "big")
    return head + mask + masked.to_bytes(size, "big")


class RawDevice:
    """A device connection driven frame by frame, for what the websockets library does not send:
    a message split at chosen points, control frames between its fragments, invalid UTF-8 in a
    text frame, or a peer that never answers the controller's pings."""

    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer
        self.opcodes = []  # of every frame received, in order

    @classmethod
    async def connect(cls, port, handshake=True, timeout=30.0, host="127.0.0.1"):
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), timeout)
        if handshake:
            key = base64.b64encode(os.urandom(16)).decode()
            writer.write(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n" % key).encode())
            response = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
            assert response.startswith(b"HTTP/1.1 101 "), response
        return cls(reader, writer)

    async def send_bytes(self, data):
        self.writer.write(data)
        await self.writer.drain()

    async def send_frame(self, opcode, payload, fin=True):
        await self.send_bytes(client_frame(opcode, payload, fin))

    async def read_frame(self, timeout=10.0):
        """(fin, opcode, payload) of the next frame from the controller, which sends unmasked."""
        async def read():
            first, second = await self.reader.readexactly(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack(">H", await self.reader.readexactly(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", await self.reader.readexactly(8))[0]
            payload = await self.reader.readexactly(size)
            self.opcodes.append(first & 0x0F)
            return bool(first & 0x80), first & 0x0F, payload
        return await asyncio.wait_for(read(), timeout)

    async def read_message(self, timeout=10.0):
        """The next data message, its fragments joined; control frames before it are skipped."""
        payload = b""
        while True:
            fin, opcode, piece = await self.read_frame(timeout)
            if opcode in (PING, PONG):
                continue
            payload += piece
            if fin:
                return opcode, payload

    async def wait_closed(self, timeout=10.0):
        """Reads frames, answering none of them (pings included), until the controller closes
        the connection; returns the code of the close frame it sent on the way, or None."""
        async def drain():
            code = None
            while True:
                try:
                    _, opcode, payload = await self.read_frame(timeout=None)
                except (asyncio.IncompleteReadError, ConnectionError):
                    return code
                if opcode == CLOSE and len(payload) >= 2:
                    code = struct.unpack(">H", payload[:2])[0]
        return await asyncio.wait_for(drain(), timeout)

    def close(self):
        self.writer.transport.abort()
