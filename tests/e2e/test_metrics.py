"""What operators see of a running controller: its metrics as a real Prometheus server reads
them, the readiness probe, the limits of the endpoint, and the service manager's
notifications with the watchdog that notices a stuck event loop."""

import asyncio
import fcntl
import http.client
import json
import os
import shutil
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request
import uuid

import pytest

from conftest import CONTROLLER, free_port, run_controller, wait_for
from fakes import execute_text, until
from test_process import quiet_api
from world import World, requires_private_hosts, run, run_test

STATUS_AT_START = "devices online: 0, validator: down, API sessions: 0 of 0 registered"


def http_get(port, path, headers=None, timeout=10.0):
    """(status, body) of one GET on a connection of its own."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", path, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


async def get(port, path, headers=None, timeout=10.0):
    return await asyncio.to_thread(http_get, port, path, headers, timeout)


class Prometheus:
    """Debian's Prometheus server on loopback, scraping one target every second."""

    def __init__(self, tmp_path, target_port):
        self.port = free_port()
        config = tmp_path / "prometheus.yml"
        config.write_text("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                          "scrape_configs:\n  - job_name: tt_controller\n"
                          "    static_configs:\n      - targets: ['127.0.0.1:%d']\n"
                          % target_port)
        self.log = open(tmp_path / "prometheus.log", "wb")
        self.proc = subprocess.Popen(
            ["prometheus", "--config.file=%s" % config,
             "--storage.tsdb.path=%s" % (tmp_path / "tsdb"),
             "--web.listen-address=127.0.0.1:%d" % self.port],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log,
            start_new_session=True)

    def series(self):
        """{(name, sorted label pairs without job and instance): value} of the latest scrape."""
        query = urllib.parse.urlencode({"query": '{job="tt_controller"}'})
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/query?%s"
                                        % (self.port, query), timeout=5) as response:
                answer = json.load(response)
        except OSError:
            return {}
        found = {}
        for entry in answer["data"]["result"]:
            labels = dict(entry["metric"])
            name = labels.pop("__name__")
            labels.pop("job"), labels.pop("instance")
            found[(name, tuple(sorted(labels.items())))] = float(entry["value"][1])
        return found

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


@pytest.fixture
def prometheus(tmp_path):
    if shutil.which("prometheus") is None:
        pytest.skip("Prometheus is not installed")
    started = []

    def start(target_port):
        started.append(Prometheus(tmp_path, target_port))
        return started[-1]

    yield start
    for server in started:
        server.stop()


@requires_private_hosts
def test_prometheus_reads_what_the_scenario_implies(tmp_path, prometheus):
    async def scenario():
        async with World(tmp_path, policy=lambda unit, mac: unit != 13, metrics=True) as world:
            server = prometheus(world.metrics_port)
            kept = await world.admitted_device(1)
            gone = await world.admitted_device(2)
            refused = await world.device(13)
            await refused.register()
            await refused.receive()
            await world.wait_log("unitId:13 telling to the device that validation 0")

            api = await world.apis[0].connected()
            await run_test(world, kept, 1)
            await api.send(execute_text(uuid.uuid4(), 99))  # no such device: unreachable
            running = uuid.uuid4()
            await api.send(execute_text(running, 1))
            await kept.receive()
            await api.send(execute_text(running, 1))  # a duplicate while it runs: unknown
            await until(lambda: any("Duplicated message ID" in m for m in api.messages[1:]),
                        what="the answer to the duplicate")
            await gone.close()
            await world.wait_log("API status: report disconnection unitId:2")
            await world.apis[1].stop()

            def value(name, **labels):
                return (name, tuple(sorted(labels.items())))

            expected = {
                value("tt_controller_device_connections"): 2,
                value("tt_controller_devices_online"): 1,
                value("tt_controller_validations_pending"): 0,
                value("tt_controller_admissions_total", answer="accepted"): 2,
                value("tt_controller_admissions_total", answer="refused"): 1,
                value("tt_controller_device_disconnections_total", reason="clean"): 1,
                value("tt_controller_device_disconnections_total", reason="timeout"): 0,
                value("tt_controller_tests_received_total"): 3,
                value("tt_controller_tests_running"): 1,
                value("tt_controller_replies_total", kind="result"): 1,
                value("tt_controller_replies_total", kind="unreachable"): 1,
                value("tt_controller_replies_total", kind="unknown"): 1,
                value("tt_controller_api_sessions", state="registered"): 1,
                value("tt_controller_api_sessions", state="connecting"): 1,
                value("tt_controller_validator_connected"): 1,
                value("tt_controller_reports_backlog"): 0,
                value("tt_controller_api_dropped_messages_total",
                      endpoint="127.0.0.2:%d" % world.api_port): 0,
            }

            def matches():
                found = server.series()
                return all(found.get(key) == v for key, v in expected.items()) and found

            try:
                found = await until(matches, 60, "the scenario's values in Prometheus")
            except AssertionError:
                raise AssertionError("expected %r, Prometheus has %r" % (
                    expected, server.series()))
            start = found[value("tt_controller_start_time_seconds")]
            assert time.time() - 120 < start <= time.time()
            assert found[value("tt_controller_api_queued_bytes",
                               endpoint="127.0.0.2:%d" % world.api_port)] == 0

            # promtool finds nothing wrong in the exposition it read.
            status, body = await get(world.metrics_port, "/metrics")
            assert status == 200
            check = subprocess.run(["promtool", "check", "metrics"], input=body,
                                   capture_output=True, text=True, timeout=30)
            assert (check.returncode, check.stdout + check.stderr) == (0, "")
    run(scenario)


@requires_private_hosts
def test_ready_once_the_validator_is_connected(tmp_path):
    async def scenario():
        async with World(tmp_path, start_validator=False, metrics=True) as world:
            assert await get(world.metrics_port, "/ready") == (503, "validator not connected\n")
            await world.validator.start()
            await world.validator.connected()
            deadline = time.monotonic() + 10
            while await get(world.metrics_port, "/ready") != (200, "ready\n"):
                assert time.monotonic() < deadline, "never ready"
                await asyncio.sleep(0.05)
    run(scenario)


def idle_connections(port, count):
    """Connections that send nothing, made without waiting for the server to accept them."""
    sockets = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        sockets.append(s)
    return sockets


@requires_private_hosts
def test_endpoint_refuses_oversized_requests_and_outlasts_a_flood_of_idle_connections(
        tmp_path):
    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            device = await world.admitted_device(5)
            assert await get(world.metrics_port, "/metrics", {"X-Fill": "x" * 9000}) == \
                (413, "request too large\n")

            flood = idle_connections(world.metrics_port, 300)
            try:
                # The devices are served while the endpoint is full.
                await run_test(world, device, 5)
                await world.admitted_device(6)
            finally:
                for s in flood:
                    s.close()
            # Places free up as the flood goes away; the endpoint answers again.
            status, body = await get(world.metrics_port, "/metrics", timeout=30)
            assert status == 200
            assert "tt_controller_devices_online 2\n" in body
            assert [line for line in world.controller.log() if "etrics" in line] == [
                "Metrics endpoint listening on 127.0.0.1:%d" % world.metrics_port]
    run(scenario)


class TestStartUp:
    def test_a_port_in_use_ends_start_up_on_bind(self, config):
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as busy:
            busy.bind(("::1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            result = run_controller(
                ["-c", config(quiet_api() + "[metrics]\nlisten=[::1]:%d\n" % port)])
        # After the device side and the API side, which logs its first attempt.
        assert result.returncode == 1
        lines = result.stderr.decode().splitlines()
        assert lines[0] == "Not using systemd sockets"
        assert lines[-1].startswith("Exception: bind: Address already in use")
        assert [line for line in lines if "Exception" in line] == [lines[-1]]


class NotifySocket:
    """A service manager's notification socket: every datagram with the time it came."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.1)
        self.messages = []
        self._running = True
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while self._running:
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            self.messages.append((time.monotonic(), data.decode()))

    def times(self, text):
        return [t for t, message in list(self.messages) if message == text]

    def close(self):
        self._running = False
        self._reader.join()
        self.sock.close()


@pytest.fixture
def notify_socket(tmp_path):
    sock = NotifySocket(str(tmp_path / "notify"))
    yield sock
    sock.close()


WATCHDOG_USEC = 400000


def notified_env(notify_socket):
    return dict(os.environ, NOTIFY_SOCKET=notify_socket.path, WATCHDOG_USEC=str(WATCHDOG_USEC))


def test_ready_status_and_watchdog_reach_the_service_manager(controllers, config,
                                                              notify_socket):
    controller = controllers(["-c", config(quiet_api())], env=notified_env(notify_socket))
    # The one API server resolved is known, and not registered: it refuses.
    known = "STATUS=devices online: 0, validator: down, API sessions: 0 of 1 registered"
    wait_for(lambda: len(notify_socket.times("WATCHDOG=1")) >= 6 and notify_socket.times(known),
             what="watchdog pings and a new status")
    messages = list(notify_socket.messages)
    assert messages[0][1] == "READY=1\nSTATUS=" + STATUS_AT_START
    assert [m for _, m in messages[1:] if m != "WATCHDOG=1"] == [known]
    # Looked at once a second, not at every change.
    assert notify_socket.times(known)[0] - messages[0][0] >= 0.5
    pings = notify_socket.times("WATCHDOG=1")
    gaps = sorted(b - a for a, b in zip(pings, pings[1:]))
    # Half the watchdog interval apart: well within it, and not in bursts.
    assert 0.1 <= gaps[len(gaps) // 2] < WATCHDOG_USEC / 1e6, gaps
    assert controller.stop() == 0


def test_watchdog_pings_stop_while_the_event_loop_is_blocked(config, notify_socket):
    device_port = free_port("::", socket.AF_INET6)
    path = config(quiet_api() + "[device-side]\nlisten-service=%d\n" % device_port)
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: a page holds a few dozen lines
    proc = subprocess.Popen([CONTROLLER, "-c", path], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=write_end,
                            env=notified_env(notify_socket), start_new_session=True)
    os.close(write_end)
    drained = threading.Thread(target=drain, args=(read_end,), daemon=True)
    try:
        wait_for(lambda: len(notify_socket.times("WATCHDOG=1")) >= 3, what="watchdog pings")

        def stuck():
            # Every connection that leaves before its handshake is a log line; nobody reads
            # them, so standard error fills up and the next line blocks the event loop.
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.settimeout(1)
                try:
                    s.connect(("127.0.0.1", device_port))
                except OSError:
                    pass
            pings = notify_socket.times("WATCHDOG=1")
            return time.monotonic() - pings[-1] > 3 * WATCHDOG_USEC / 1e6
        wait_for(stuck, 30, what="the pings to stop")
        assert proc.poll() is None

        # Read again, standard error drains, and the loop runs and pings once more.
        count = len(notify_socket.times("WATCHDOG=1"))
        drained.start()
        wait_for(lambda: len(notify_socket.times("WATCHDOG=1")) > count + 2,
                 what="the pings to come back")
    finally:
        proc.kill()
        proc.wait()
        if drained.is_alive():
            drained.join(10)
        os.close(read_end)


def drain(descriptor):
    """Reads the pipe until every writer has closed it."""
    while os.read(descriptor, 65536):
        pass
