"""The package on a minimal Debian 12 that runs systemd, as an operator uses it: installed with
apt, enabled and started, reloaded and upgraded to a higher version while a device is connected,
removed and purged. The steps run in order on one system; each prints the commands it ran and what they
showed (pytest -s shows them).

Needs root, debootstrap, systemd-nspawn and Debian's archive; skipped otherwise. The system
shares the host's network, so the device, the API server and the validator are fakes on the
host's loopback addresses."""

import asyncio
import os
import re
import shutil
import subprocess
import threading
import time
import uuid

import pytest

from conftest import CONTROLLER, SOURCE_DIR, build_package, free_port, wait_for
from fakes import ADMITTED, FakeApiServer, FakeDevice, execute_text, run_bytes
from loopback import is_sanitized

API_ADDRESS, VALIDATOR_ADDRESS = "127.0.0.2", "127.0.0.4"
SERVICE, SOCKET = "tt_controller.service", "tt_controller.socket"
UNIT_ID = 4242

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0 or not all(
        shutil.which(tool) for tool in ("debootstrap", "systemd-nspawn", "unshare", "nsenter")),
        reason="needs root, debootstrap, systemd-nspawn, unshare and nsenter"),
    # The package is built from the sources whatever the build under test; the plain suites
    # check it once.
    pytest.mark.skipif(is_sanitized(CONTROLLER), reason="the package does not depend on the build"),
]


class System:
    """A Debian 12 root booted by systemd-nspawn; commands run in it through nsenter."""

    def __init__(self, root, log):
        self.root, self.log = root, log
        self.transcript = []
        # nspawn wants a tmpfs of its own under /run/systemd/nspawn: a private mount namespace
        # gives it one without touching the host's mounts. There is no systemd on the host to
        # register with or to ask for a scope.
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn && '
             'exec systemd-nspawn --quiet --register=no --keep-unit --boot '
             '--console=passive -D "$0"', root],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.init = None
        try:
            wait_for(self._booted, timeout=180, interval=0.5, what="the system's boot")
        except BaseException:
            self.shut_down()
            raise

    def _booted(self):
        """Whether systemd, the child of nspawn once it has set the system up, finished the
        boot; until it has its bus, systemctl says "offline"."""
        assert self.process.poll() is None, "systemd-nspawn ended"
        with open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)) as f:
            children = [int(pid) for pid in f.read().split()]
        for pid in children:
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip() == "systemd":
                        self.init = pid
            except FileNotFoundError:  # a helper of nspawn that just ended
                pass
        if self.init is None:
            return False
        state = self.run("systemctl", "is-system-running", timeout=60, quiet=True).stdout.strip()
        return state in ("running", "degraded")

    def run(self, *command, timeout=600, check=None, quiet=False):
        """The command's result, with standard error folded into its output; recorded unless
        `quiet`."""
        result = subprocess.run(
            ["nsenter", "--target", str(self.init), "--all", "--root", "--wd", "--"] +
            list(command), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, timeout=timeout,
            env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C",
                 "DEBIAN_FRONTEND": "noninteractive"})
        entry = "# %s\n%s[status %d]" % (" ".join(command), result.stdout, result.returncode)
        if not quiet:
            self.transcript.append(entry)
            print(entry)
        if check is not None:
            assert result.returncode == check, entry
        return result

    def states(self, verb, quiet=False):
        """systemctl's answer for both units, e.g. {"tt_controller.service": "active", ...}."""
        output = self.run("systemctl", verb, SERVICE, SOCKET, quiet=quiet).stdout.split()
        return dict(zip((SERVICE, SOCKET), output))

    def journal(self, quiet=False):
        """What the controller's service logged, as text."""
        return self.run("journalctl", "-u", SERVICE, "-o", "cat", "--no-pager",
                        quiet=quiet).stdout

    def wait_states(self, verb, wanted, timeout=60):
        wait_for(lambda: self.states(verb, quiet=True) == wanted, timeout=timeout, interval=0.5,
                 what=lambda: "%s %r, have %r" % (verb, wanted, self.states(verb)))
        self.states(verb)  # the state reached, in the transcript

    def path(self, inside):
        return os.path.join(self.root, inside.lstrip("/"))

    def write(self, inside, text):
        os.makedirs(os.path.dirname(self.path(inside)), exist_ok=True)
        with open(self.path(inside), "w") as f:
            f.write(text)

    def shut_down(self):
        self.process.terminate()  # nspawn shuts the booted system down
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Peers:
    """The fake API server and validator and the device, served by an event loop on a thread of
    their own, so they go on answering while a step waits for apt or systemctl."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.port = free_port(API_ADDRESS)
        self.api = FakeApiServer(API_ADDRESS, self.port)
        self.validator = FakeApiServer(VALIDATOR_ADDRESS, self.port, lambda unit, mac: True)
        self.device = None
        self.call(self.api.start())
        self.call(self.validator.start())

    def call(self, coroutine, timeout=60):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    def close(self):
        async def stop():
            if self.device is not None:
                self.device.ws.transport.abort()
            await self.api.stop()
            await self.validator.stop()
        self.call(stop())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()


def newer_changelog(directory):
    """debian/changelog with an entry of the next patch version on top; that version."""
    with open(os.path.join(SOURCE_DIR, "debian", "changelog")) as f:
        text = f.read()
    major, minor, patch = re.match(r"tt-controller \((\d+)\.(\d+)\.(\d+)\)", text).groups()
    version = "%s.%s.%d" % (major, minor, int(patch) + 1)
    path = os.path.join(str(directory), "changelog")
    with open(path, "w") as f:
        f.write("tt-controller (%s) bookworm; urgency=medium\n\n  * Rebuilt for the upgrade "
                "test.\n\n -- Kelvarin trigger testing <trigger-testing@kelvarin.net>  %s\n\n%s"
                % (version, time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime()), text))
    return path, version


@pytest.fixture(scope="module")
def packages(package, tmp_path_factory):
    """The package of the tree and one rebuilt with a higher version."""
    directory = tmp_path_factory.mktemp("newer")
    changelog, version = newer_changelog(directory)
    newer = build_package(directory / "build", changelog)
    return package, newer, version


@pytest.fixture(scope="module")
def system(packages, tmp_path_factory):
    base = tmp_path_factory.mktemp("debian")
    root = str(base / "root")
    made = subprocess.run(["debootstrap", "--variant=minbase",
                           "--include=systemd,systemd-sysv,dbus", "bookworm", root], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=1200)
    if made.returncode != 0:
        pytest.skip("debootstrap could not make a Debian 12: " + made.stdout[-2000:])
    os.makedirs(os.path.join(root, "srv"), exist_ok=True)
    for built in packages[:2]:
        shutil.copy(built.deb, os.path.join(root, "srv"))
    with open(base / "nspawn.log", "w") as log:
        booted = System(root, log)
        yield booted
        booted.shut_down()
    print("\n\n".join(booted.transcript))


@pytest.fixture(scope="module")
def peers():
    running = Peers()
    yield running
    running.close()


def deb(built):
    return "/srv/" + os.path.basename(built.deb)


TOOK_OVER = "Reload: took over 1 device connections"


def main_pid(system):
    return system.run("systemctl", "show", "-p", "MainPID", "--value", SERVICE, check=0).stdout


def installed(system):
    return system.run("dpkg-query", "-W", "-f", "${Status} ${Version}", "tt-controller").stdout


class TestDebianSystem:
    """In order: each step starts from what the one before left."""

    def test_apt_installs_it_and_nothing_is_enabled_or_started(self, system, packages):
        first, _, _ = packages
        version = subprocess.run(["dpkg-deb", "--field", first.deb, "Version"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        system.run("apt-get", "update", check=0)
        system.run("apt-get", "install", "-y", "--no-install-recommends", deb(first), check=0)
        assert installed(system) == "install ok installed " + version
        assert system.states("is-enabled") == {SERVICE: "disabled", SOCKET: "disabled"}
        assert system.states("is-active") == {SERVICE: "inactive", SOCKET: "inactive"}
        assert system.run("tt_controller", "--version").stdout == "tt_controller %s\n" % version
        # The shipped configuration is valid as it is.
        assert system.run("tt_controller", "--check-config").stdout == ""
        # A reinstallation runs the upgrade path of the scripts: a stopped controller stays so.
        system.run("apt-get", "install", "-y", "--reinstall", deb(first), check=0)
        assert system.states("is-active") == {SERVICE: "inactive", SOCKET: "inactive"}

    def test_operator_checks_the_configuration_enables_and_starts_it(self, system, peers):
        config = "/opt/kelvarin/etc/tt_controller.cfg"
        system.write(config, "[api-side]\nall-hostname=%s\nbest-hostname=%s\nservice=%d\n"
                     % (API_ADDRESS, VALIDATOR_ADDRESS, peers.port))
        assert system.run("tt_controller", "--check-config", check=0).stdout == ""
        # The device port moves to a free loopback port, as a runtime drop-in that is the
        # operator's own, not the package's. /run is the booted system's own tmpfs.
        device_port = free_port()
        system.run("sh", "-c", 'mkdir -p "$0" && printf "$1" > "$0/port.conf"',
                   "/run/systemd/system/%s.d" % SOCKET,
                   "[Socket]\\nListenStream=\\nListenStream=127.0.0.1:%d\\n" % device_port,
                   check=0)
        system.run("systemctl", "daemon-reload", check=0)
        system.run("systemctl", "enable", "--now", SOCKET, SERVICE, check=0)
        system.wait_states("is-active", {SERVICE: "active", SOCKET: "active"})
        assert system.states("is-enabled") == {SERVICE: "enabled", SOCKET: "enabled"}

        async def connect():
            await peers.api.connected(timeout=30)
            await peers.validator.connected(timeout=30)
            peers.device = await FakeDevice(device_port, UNIT_ID).connect()
            await peers.device.register()
            assert await peers.device.receive(timeout=30) == ADMITTED

        peers.call(connect())
        assert "Using systemd sockets" in system.journal()

    def test_systemctl_reload_keeps_the_process_and_the_device(self, system, peers):
        pid = main_pid(system)
        system.run("systemctl", "reload", SERVICE, check=0)
        wait_for(lambda: TOOK_OVER in system.journal(quiet=True), timeout=60, interval=0.5,
                 what="the reload's line")
        system.wait_states("is-active", {SERVICE: "active", SOCKET: "active"})
        assert main_pid(system) == pid
        assert "disconnected" not in system.journal()

        async def round_trip():
            # A connection whose close is under way still reads as open: a ping is answered
            # only by a controller that serves it.
            await asyncio.wait_for(await peers.device.ws.ping(), 30)

        peers.call(round_trip())

    def test_upgrade_reloads_the_same_process_and_keeps_the_device(self, system, packages,
                                                                     peers):
        _, newer, version = packages
        pid, reloads = main_pid(system), system.journal().count(TOOK_OVER)
        system.run("apt-get", "install", "-y", deb(newer), check=0)
        assert installed(system) == "install ok installed " + version
        assert system.run("tt_controller", "--version").stdout == "tt_controller %s\n" % version
        system.wait_states("is-active", {SERVICE: "active", SOCKET: "active"})
        assert system.states("is-enabled") == {SERVICE: "enabled", SOCKET: "enabled"}
        # The operator's configuration, a changed conffile, is kept.
        with open(system.path("/opt/kelvarin/etc/tt_controller.cfg")) as f:
            assert f.read().startswith("[api-side]\nall-hostname=%s\n" % API_ADDRESS)
        # Reloaded, not restarted: the same process has handed the device over once more.
        wait_for(lambda: system.journal(quiet=True).count(TOOK_OVER) == reloads + 1, timeout=60,
                 interval=0.5, what="the upgrade's hand-over")
        assert main_pid(system) == pid
        test_id = uuid.uuid4()

        async def relay():
            # The API session of the controller before the upgrade: kept, not made again.
            await peers.api.connected(timeout=30)
            assert len(peers.api.connections) == 1
            connection = peers.api.connections[0]
            assert not connection.closed
            text = execute_text(test_id, UNIT_ID)
            await connection.send(text)
            # The run carries the request's "data" object as the API server wrote it.
            data = text[len('{"type":"execute","data":'):-1]
            assert await peers.device.receive(timeout=30) == run_bytes(test_id, data)

        peers.call(relay())

    def test_remove_stops_it_and_keeps_the_configuration(self, system):
        system.run("apt-get", "remove", "-y", "tt-controller", check=0)
        system.wait_states("is-active", {SERVICE: "inactive", SOCKET: "inactive"})
        assert installed(system).startswith("deinstall ok config-files ")
        assert not os.path.exists(system.path("/usr/sbin/tt_controller"))
        assert os.path.exists(system.path("/opt/kelvarin/etc/tt_controller.cfg"))

    def test_purge_removes_what_the_package_made(self, system):
        system.run("apt-get", "purge", "-y", "tt-controller", check=0)
        assert system.run("dpkg-query", "-W", "tt-controller").returncode == 1
        assert not os.path.exists(system.path("/opt/kelvarin"))
        left = system.run("find", "/etc", "/lib/systemd", "/var/lib/systemd", "-name",
                          "*tt_controller*", check=0).stdout
        assert left == ""
