"""What operators see of a running controller: its metrics as a real Prometheus server reads
them, the readiness probe, the limits of the endpoint, and the service manager's
notifications with the watchdog that notices a stuck event loop."""

import asyncio
import fcntl
import json
import os
import re
import signal
import shutil
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request
import uuid

import pytest

from conftest import CONTROLLER, free_port, wait_for
from fakes import execute_text, until
from test_process import quiet_api
from world import World, counter, http_get, requires_private_hosts, run, run_test


async def get(port, path, headers=None, timeout=10.0):
    return await asyncio.to_thread(http_get, port, path, headers, timeout)


class Prometheus:
    """Debian's Prometheus server on loopback, scraping one target every second."""

    def __init__(self, tmp_path, target_port):
        self.port, self.target = free_port(), target_port
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



@pytest.fixture
def prometheus(tmp_path):
    """A Prometheus server scraping the port it names as `target`."""
    if shutil.which("prometheus") is None:
        pytest.skip("Prometheus is not installed")
    server = Prometheus(tmp_path, free_port())
    yield server
    server.proc.kill()
    server.proc.wait()
    server.log.close()


@requires_private_hosts
def test_prometheus_reads_what_the_scenario_implies(tmp_path, prometheus):
    async def scenario():
        async with World(tmp_path, policy=lambda unit, mac: unit != 13,
                         metrics=prometheus.target) as world:
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
                value("tt_controller_validations_dropped_total"): 0,
                value("tt_controller_validations_queued"): 0,
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
                found = prometheus.series()
                return all(found.get(key) == v for key, v in expected.items()) and found

            found = await until(matches, 60, lambda: "%r in Prometheus, which has %r" % (
                expected, prometheus.series()))
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


class NotifySocket:
    """A service manager's notification socket: every datagram with the time it came."""

    def __init__(self, path):
        self.path, self.messages = path, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        # Until the empty datagram close() sends.
        for data in iter(lambda: self.sock.recv(4096), b""):
            self.messages.append((time.monotonic(), data.decode()))

    def times(self, text):
        return [t for t, message in list(self.messages) if message == text]

    def close(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as waker:
            waker.sendto(b"", self.path)
        self._reader.join()
        self.sock.close()


class Ticker:
    """A reference timer: a thread that notes the time every `period` seconds while it runs."""

    def __init__(self, period):
        self.period, self.times = period, []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._tick, daemon=True)

    def _tick(self):
        while not self._stop.wait(self.period):
            self.times.append(time.monotonic())

    def count(self, start, end):
        """The ticks between the two times."""
        return sum(1 for t in self.times if start < t <= end)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


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
    with Ticker(WATCHDOG_USEC / 2e6) as reference:
        wait_for(lambda: len(notify_socket.times("WATCHDOG=1")) >= 6 and
                 notify_socket.times(known), what="watchdog pings and a new status")
    messages = list(notify_socket.messages)
    assert messages[0][1] == ("READY=1\nSTATUS=devices online: 0, validator: down, "
                              "API sessions: 0 of 0 registered")
    assert [m for _, m in messages[1:] if m != "WATCHDOG=1"] == [known]
    # Looked at once a second, not at every change.
    assert notify_socket.times(known)[0] - messages[0][0] >= 0.5
    # Half the watchdog interval apart: well within it, and not in bursts. Counted against a
    # timer of this process at that period over the same span, which a loaded machine delays
    # as much as the controller's.
    pings = notify_socket.times("WATCHDOG=1")
    ticks = reference.count(pings[0], pings[-1])
    assert ticks // 2 <= len(pings) - 1 <= 2 * ticks + 1, (pings, reference.times)
    assert controller.stop() == 0


F_SETPIPE_SZ = 1031


def full_pipe():
    """(read end, write end) of a pipe of one page that nobody reads and that is full; the
    write end blocks, as a service manager's pipe does."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"f" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    return read_end, write_end


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 0), (signal.SIGABRT, -signal.SIGABRT)],
                         ids=["sigterm", "sigabrt"])
def test_a_full_standard_error_neither_stops_the_loop_nor_a_stop(controllers, config, tmp_path,
                                                                 notify_socket, sig, status):
    """The watchdog pings go on while log lines are dropped and counted; SIGTERM, and the
    watchdog's SIGABRT, end the process at once."""
    device_port, metrics_port = free_port("::", socket.AF_INET6), free_port()
    path = config(quiet_api() + "[device-side]\nlisten-service=%d\n[metrics]\n"
                  "listen=127.0.0.1:%d\n" % (device_port, metrics_port))
    read_end, write_end = full_pipe()
    # A sanitizer's runtime writes its own warnings (one when a coroutine's stack unwinds at
    # exit) with a blocking write of its own; those go to files, read for errors at the end.
    sanitizer_log = tmp_path / "sanitizer"
    env = notified_env(notify_socket)
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"):
        env[name] = env.get(name, "") + ":log_path=%s" % sanitizer_log
    # No core file in the source tree from the abort.
    controller = controllers(["-c", path], env=env, stderr=write_end,
                             command=["prlimit", "--core=0", "--", CONTROLLER])
    os.close(write_end)
    try:
        wait_for(lambda: notify_socket.times("WATCHDOG=1"), what="the first ping")

        def dropped():
            # Every connection that leaves before its handshake is a log line.
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.connect(("127.0.0.1", device_port))
            return counter(metrics_port, "tt_controller_log_lines_dropped_total") >= 20
        wait_for(dropped, 30, what="dropped log lines")
        count = len(notify_socket.times("WATCHDOG=1"))
        wait_for(lambda: len(notify_socket.times("WATCHDOG=1")) >= count + 3,
                 what="the pings to go on")
        controller.proc.send_signal(sig)
        assert controller.wait(10) == status
        # Nothing of the controller's got into the full pipe.
        assert os.read(read_end, 65536) == b"f" * 4096
        for report in tmp_path.glob("sanitizer.*"):
            assert "ERROR:" not in report.read_text(errors="replace"), report.read_text()
    finally:
        os.close(read_end)


@requires_private_hosts
def test_devices_and_probes_are_served_while_128_slow_clients_hold_the_endpoint(tmp_path):
    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            device = await world.admitted_device(1)
            # Each sends the first byte of its head and then nothing.
            slow = []
            for _ in range(128):
                s = await asyncio.to_thread(socket.create_connection,
                                            ("127.0.0.1", world.metrics_port), 10)
                s.sendall(b"G")
                slow.append(s)
            try:
                await run_test(world, device, 1)
                await world.admitted_device(2)
                assert await get(world.metrics_port, "/ready", timeout=5) == (200, "ready\n")
                status, body = await get(world.metrics_port, "/metrics", timeout=5)
                assert status == 200
                assert "tt_controller_devices_online 2\n" in body
                evicted = re.search(r"\ntt_controller_metrics_connections_evicted_total (\d+)\n",
                                    body)
                assert int(evicted.group(1)) >= 64
            finally:
                for s in slow:
                    s.close()
            assert [line for line in world.controller.log() if "etrics" in line] == [
                "Metrics endpoint listening on 127.0.0.1:%d" % world.metrics_port]
    run(scenario)
