"""A controller between fake API servers, a fake validator and fake devices.

The controller reaches every API server through one host name, so it runs in a mount namespace
of its own whose /etc/hosts names the loopback addresses of the fakes."""

import asyncio
import http.client
import os
import socket
import subprocess
import uuid

import pytest

from conftest import CONTROLLER, ControllerProcess, free_port, private_hosts_supported
from fakes import (ADMITTED, BINARY, FakeApiServer, FakeDevice, RawDevice, execute_text,
                   register_bytes, run_bytes, until)
from loopback import is_sanitized

API_ADDRESSES = ["127.0.0.2", "127.0.0.3"]
VALIDATOR_ADDRESS = "127.0.0.4"
MIB = 1 << 20
# Memory is judged only without a sanitizer's quarantine and shadow memory.
MEASURED = not is_sanitized(CONTROLLER)


requires_private_hosts = pytest.mark.skipif(
    not private_hosts_supported(), reason="needs root and unshare for a private /etc/hosts")


class World:
    def __init__(self, tmp_path, policy=lambda unit, mac: True,
                 unserved=(), api_settings="", stderr=None, hang_up=False, metrics=False,
                 env=None, device_settings="", pass_fds=(), deaf_validator=False):
        """`unserved`: further addresses of the all-API name that the test serves itself, or
        leaves down; `api_settings`, `device_settings`: lines added to the [api-side] and the
        [device-side] section; `stderr`: a
        descriptor for the controller's log instead of a pipe read here; `hang_up`: every fake
        API server and the validator close each connection right after its registration;
        `metrics`: True, or a port: the controller serves its metrics endpoint on 127.0.0.1;
        `env`: the controller's environment instead of the test's; `pass_fds`: descriptors the
        controller inherits; `deaf_validator`: see FakeApiServer."""
        self.tmp_path = tmp_path
        # The port of the metrics endpoint on 127.0.0.1, when there is one.
        self.metrics_port = free_port() if metrics is True else metrics or None
        # Free on every address: the fakes listen on several of 127.0.0.0/8.
        self.api_port = free_port("0.0.0.0")
        self.device_port = free_port("::", socket.AF_INET6)
        self.apis = [FakeApiServer(address, self.api_port, hang_up=hang_up)
                     for address in API_ADDRESSES]
        self.validator = FakeApiServer(VALIDATOR_ADDRESS, self.api_port, policy, hang_up=hang_up,
                                       deaf=deaf_validator)
        self.unserved = list(unserved)
        self.api_settings = api_settings
        self.device_settings = device_settings
        self.stderr = stderr
        self.env = env
        self.pass_fds = pass_fds
        self.controller = None
        self.devices = []

    async def __aenter__(self):
        for api in self.apis:
            await api.start()
        await self.validator.start()
        self.controller = self._start_controller()
        if self.stderr is None:
            await self.wait_log("Not using systemd sockets")
        for api in self.apis:
            await api.connected()
        await self.validator.connected()
        return self

    async def __aexit__(self, *exc):
        for device in self.devices:
            try:
                await device.ws.close()
            except Exception:
                pass
        self.controller.kill()
        for server in self.apis + [self.validator]:
            if server.server is not None:
                await server.stop()

    def _start_controller(self):
        hosts = self.tmp_path / "hosts"
        hosts.write_text("127.0.0.1 localhost\n" + "".join(
            "%s tt-api-all\n" % address for address in API_ADDRESSES + self.unserved) +
            "%s tt-api-best\n" % VALIDATOR_ADDRESS)
        config = self.tmp_path / "tt_controller.cfg"
        config.write_text("[api-side]\nall-hostname=tt-api-all\nbest-hostname=tt-api-best\n"
                          "service=%d\nrefresh-interval=1\n%s[device-side]\nlisten-service=%d\n%s"
                          % (self.api_port, self.api_settings, self.device_port,
                             self.device_settings) +
                          ("[metrics]\nlisten=127.0.0.1:%d\n" % self.metrics_port
                           if self.metrics_port else ""))
        command = ["unshare", "--mount", "sh", "-c",
                   'mount --bind "$0" /etc/hosts && exec "$@"', str(hosts), CONTROLLER]
        return ControllerProcess(["-c", str(config)], command=command, env=self.env,
                                 stderr=self.stderr or subprocess.PIPE, pass_fds=self.pass_fds)

    async def device(self, unit_id):
        device = await FakeDevice(self.device_port, unit_id).connect()
        self.devices.append(device)
        return device

    async def admitted_device(self, unit_id):
        device = await self.device(unit_id)
        await device.register()
        assert await device.receive() == ADMITTED
        if self.stderr is None:
            await self.wait_log("unitId:%d telling to the device that validation 1" % unit_id)
        return device

    async def wait_log(self, text, count=1, timeout=10.0):
        return await until(lambda: self.controller.found(text, count), timeout,
                           "log line %r" % text)

    def lines_with(self, text, since=0):
        return self.controller.lines_with(text, since)

    async def reported(self, unit_id):
        """Waits for the validator to be told that the device of `unit_id` left cleanly."""
        await until(lambda: any('"reason":"clean"' in m and '"unit_id":%d}' % unit_id in m
                                for m in self.validator.messages()),
                    what="the report of %d" % unit_id)


def run(scenario, timeout=120):
    asyncio.run(asyncio.wait_for(scenario(), timeout))


def result_message(body, test_id, unit_id):
    """The result message of an "execute" made by execute_text with its defaults."""
    return ('{"type":"execute","data":%s,"test_id":"%s","unit_id":%d,"task":"ping",'
            '"action_id":3}}' % (body[:-1], test_id, unit_id))


async def run_test(world, device, unit_id, api=0, body='{"status":"ok"}'):
    """One test from an API server to the device and its one result back to every server."""
    test_id = uuid.uuid4()
    text = execute_text(test_id, unit_id)
    await (await world.apis[api].connected()).send(text)
    assert await device.receive() == run_bytes(test_id, text[len('{"type":"execute","data":'):-1])
    await device.send_result(test_id, body, last=True)
    expected = result_message(body, test_id, unit_id)
    for server in world.apis:
        await until(lambda: expected in server.messages(), 20,
                    "the result of %s on %s" % (test_id, server.host))


def cpu_seconds(pid):
    """User and system time the process has used, from /proc/<pid>/stat."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def http_get(port, path, headers=None, timeout=10.0):
    """(status, body) of one GET on a connection of its own."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", path, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def exposition(port):
    """Every series of the controller's metrics with its value, as exposed now (the exposition
    may be up to a second old)."""
    status, body = http_get(port, "/metrics")
    assert status == 200
    return {series: float(value) for series, value in
            (line.rsplit(" ", 1) for line in body.splitlines() if line and line[0] != "#")}


def counter(port, name):
    return int(exposition(port)[name])


async def metric(world, name):
    """The value of an unlabelled series of the controller's metrics, as exposed now."""
    return (await asyncio.to_thread(exposition, world.metrics_port))[name]


async def settled(world, name, value):
    """Waits until the unlabelled series is `value` (the exposition may be a second old)."""
    await until(lambda: exposition(world.metrics_port).get(name) == value,
                what=lambda: "%s to be %r, not %r" % (
                    name, value, exposition(world.metrics_port).get(name)))


def status_kib(pid, field):
    """A size from /proc/<pid>/status, such as VmRSS or VmHWM, in KiB."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])


def rss_kib(world):
    return status_kib(world.controller.proc.pid, "VmRSS")


async def admitted_raw(world, unit_id):
    """A device driven frame by frame, registered and admitted."""
    raw = await RawDevice.connect(world.device_port)
    await raw.send_frame(BINARY, register_bytes(unit_id, (0, 0, 0, 0, 0, unit_id)))
    assert await raw.read_message() == (BINARY, ADMITTED)
    await world.wait_log("unitId:%d telling to the device that validation 1" % unit_id)
    return raw
