"""A controller between fake API servers, a fake validator and fake devices.

The controller reaches every API server through one host name, so it runs in a mount namespace
of its own whose /etc/hosts names the loopback addresses of the fakes."""

import asyncio
import signal
import socket

import pytest

from conftest import CONTROLLER, ControllerProcess, free_port, private_hosts_supported
from fakes import FakeApiServer, FakeDevice, until

API_ADDRESSES = ["127.0.0.2", "127.0.0.3"]
VALIDATOR_ADDRESS = "127.0.0.4"
HOSTS = "127.0.0.1 localhost\n%s tt-api-all\n%s tt-api-all\n%s tt-api-best\n" % (
    API_ADDRESSES[0], API_ADDRESSES[1], VALIDATOR_ADDRESS)


requires_private_hosts = pytest.mark.skipif(
    not private_hosts_supported(), reason="needs root and unshare for a private /etc/hosts")


class World:
    def __init__(self, tmp_path, policy=lambda unit, mac: True, start_validator=True,
                 preexec_fn=None, metrics=False):
        self.tmp_path = tmp_path
        # The port of the metrics endpoint on 127.0.0.1, when there is one.
        self.metrics_port = free_port() if metrics else None
        # Runs in the controller's process before it starts, e.g. to set its resource limits.
        self.preexec_fn = preexec_fn
        self.api_port = free_port()
        self.device_port = free_port("::", socket.AF_INET6)
        self.apis = [FakeApiServer(address, self.api_port) for address in API_ADDRESSES]
        self.validator = FakeApiServer(VALIDATOR_ADDRESS, self.api_port, policy)
        self.start_validator = start_validator
        self.controller = None
        self.devices = []

    async def __aenter__(self):
        for api in self.apis:
            await api.start()
        if self.start_validator:
            await self.validator.start()
        self.controller = self._start_controller()
        await until(lambda: self.controller.log() and "Not using systemd sockets" in
                    self.controller.log(), what="controller start")
        for api in self.apis:
            await api.connected()
        if self.start_validator:
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
        hosts.write_text(HOSTS)
        config = self.tmp_path / "tt_controller.cfg"
        config.write_text("[api-side]\nall-hostname=tt-api-all\nbest-hostname=tt-api-best\n"
                          "service=%d\nrefresh-interval=1\n[device-side]\nlisten-service=%d\n"
                          % (self.api_port, self.device_port) +
                          ("[metrics]\nlisten=127.0.0.1:%d\n" % self.metrics_port
                           if self.metrics_port else ""))
        command = ["unshare", "--mount", "sh", "-c",
                   'mount --bind "$0" /etc/hosts && exec "$@"', str(hosts), CONTROLLER]
        return ControllerProcess(["-c", str(config)], command=command,
                                 preexec_fn=self.preexec_fn)

    async def device(self, unit_id, mac=(0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E)):
        device = await FakeDevice(self.device_port, unit_id, mac).connect()
        self.devices.append(device)
        return device

    async def admitted_device(self, unit_id, mac=(0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E)):
        device = await self.device(unit_id, mac)
        await device.register()
        answer = await device.receive()
        assert answer == bytes([0x46, 0x9B, 0x34, 0xA5, 0x01, 0x01])
        await self.wait_log("unitId:%d telling to the device that validation 1" % unit_id)
        return device

    async def wait_log(self, text, count=1, timeout=10.0):
        return await until(
            lambda: (lambda hits: hits if len(hits) >= count else None)(
                [line for line in self.controller.log() if text in line]),
            timeout, "log line %r" % text)

    def stop_controller(self, sig=signal.SIGTERM):
        return self.controller.stop(sig)


def run(scenario):
    asyncio.run(asyncio.wait_for(scenario(), 60))
