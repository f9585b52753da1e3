"""The shipped systemd units: they pass systemd's own checks, point at what the package
installs, and their socket layout hands the controller working IPv4 and IPv6 device sockets."""

import asyncio
import os
import re
import shlex
import shutil
import socket
import subprocess

import pytest

from conftest import CONTROLLER, SOURCE_DIR, free_port, wait_for
from fakes import SUBPROTOCOL, FakeDevice
from test_process import connects, quiet_api

UNITS = os.path.join(SOURCE_DIR, "packaging", "systemd")


def unit_values(name, key):
    """The values of `key` in a shipped unit file, in order, since a key may repeat."""
    with open(os.path.join(UNITS, name)) as f:
        return re.findall(r"^%s=(.*)$" % key, f.read(), re.M)


def analyze_verify(directory, *names, env=None):
    result = subprocess.run(["systemd-analyze", "verify"] +
                            [os.path.join(directory, name) for name in names],
                            cwd=directory, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=60, env=env)
    return result.returncode, (result.stdout + result.stderr).strip()


@pytest.fixture
def verifier(tmp_path):
    """systemd-analyze verify, if it works here without a running systemd: a unit known to be
    good must pass and one with an unknown key must be reported."""
    if shutil.which("systemd-analyze") is None:
        pytest.skip("systemd-analyze is not installed")
    probe = tmp_path / "probe"
    probe.mkdir()
    (probe / "good.service").write_text("[Service]\nExecStart=/bin/true\n")
    (probe / "bad.service").write_text("[Service]\nExecStart=/bin/true\nNoSuchKey=1\n")
    good = analyze_verify(str(probe), "good.service")
    bad = analyze_verify(str(probe), "bad.service")
    if good != (0, "") or "NoSuchKey" not in bad[1]:
        pytest.skip("systemd-analyze verify does not work here: %r %r" % (good, bad))
    return analyze_verify


class TestUnitFiles:
    def test_systemd_analyze_verify_finds_nothing(self, verifier, package, tmp_path):
        """Verified as installed: the command and the manual page are looked up in the
        unpacked package, so a wrong path in ExecStart or Documentation shows here too."""
        units = tmp_path / "units"
        units.mkdir()
        for name in ("tt_controller.socket", "tt_controller.service"):
            with open(package.path("/lib/systemd/system/" + name)) as f:
                text = f.read()
            # ExecStart must be absolute; the binary there is the unpacked one.
            text = text.replace("ExecStart=/", "ExecStart=%s/" % package.root)
            (units / name).write_text(text)
        env = dict(os.environ, MANPATH=package.path("/usr/share/man"))
        assert verifier(str(units), "tt_controller.socket", "tt_controller.service",
                        env=env) == (0, "")


def shipped_listen_arguments(port):
    """systemd-socket-activate arguments for the shipped ListenStream lines, moved to a
    loopback address of the same family and to the given port."""
    loopback = {"0.0.0.0": "127.0.0.1", "[::]": "[::1]"}
    arguments = []
    for stream in unit_values("tt_controller.socket", "ListenStream"):
        address, _ = stream.rsplit(":", 1)
        arguments += ["-l", "%s:%d" % (loopback[address], port)]
    return arguments


def shipped_command(config_path):
    """The service's ExecStart with the binary under test and a test configuration."""
    command = shlex.split(unit_values("tt_controller.service", "ExecStart")[0])
    return [CONTROLLER] + [config_path if arg == "/opt/kelvarin/etc/tt_controller.cfg" else arg
                           for arg in command[1:]]


class TestSocketActivation:
    def test_devices_connect_over_ipv4_and_ipv6_to_the_shipped_socket_layout(
            self, controllers, config):
        port = free_port("::", socket.AF_INET6)
        # Under socket activation the configured listen service must be left alone.
        unused = free_port("::", socket.AF_INET6)
        path = config(quiet_api() + "[device-side]\nlisten-service=%d\n" % unused)
        command = ["systemd-socket-activate"] + shipped_listen_arguments(port) + \
            shipped_command(path)
        controller = controllers([], command=command)
        # The first connection makes systemd-socket-activate start the controller.
        wait_for(lambda: connects(socket.AF_INET6, "::1", port), what="the activation sockets")

        async def scenario():
            for unit_id, host in ((101, "127.0.0.1"), (102, "[::1]")):
                device = await FakeDevice(port, unit_id, host=host).connect()
                assert device.ws.subprotocol == SUBPROTOCOL
                assert device.ws.remote_address[0] == host.strip("[]")
                await device.register()
                controller.wait_log("API status: requested validate for unitId: [%d] mac: "
                                    "[001A2B3C4D5E]" % unit_id)
                await device.close()

        asyncio.run(scenario())
        log = controller.log()
        assert "Using systemd sockets" in log
        assert "Not using systemd sockets" not in log
        assert not connects(socket.AF_INET, "127.0.0.1", unused)
        assert not connects(socket.AF_INET6, "::1", unused)
        assert controller.stop() == 0
        assert not any("Exception" in line for line in controller.log())
