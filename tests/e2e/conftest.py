"""Helpers for tests that run the built controller binary as a child process."""

import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

from loopback import free_port, private_hosts_supported, release_ports  # noqa: E402,F401
BUILD_DIR = os.environ.get("TT_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
CONTROLLER = os.environ.get("TT_CONTROLLER", os.path.join(BUILD_DIR, "tt_controller"))


@pytest.fixture(autouse=True)
def picked_ports():
    """Gives the test's ports back once everything it started has ended."""
    yield
    release_ports()


def wait_for(predicate, timeout=10.0, interval=0.01, what="condition"):
    """The first true value of `predicate`; `what` may be a function, called on a timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + (what() if callable(what) else what))


class ControllerProcess:
    """The controller under test, with its standard error collected line by line."""

    def __init__(self, args, env=None, command=None, stderr=subprocess.PIPE, pass_fds=()):
        """`stderr` may name a descriptor of the caller's instead; the log is then not read;
        `pass_fds`: descriptors the controller inherits, at the same numbers."""
        self.lines = []
        self._lock = threading.Lock()
        self.stdout = tempfile.TemporaryFile()  # the controller writes nothing there
        self.proc = subprocess.Popen(
            (command or [CONTROLLER]) + args,
            stdin=subprocess.DEVNULL, stdout=self.stdout, stderr=stderr,
            env=env, start_new_session=True, pass_fds=pass_fds)
        self._reader = threading.Thread(target=self._read_stderr, daemon=True)
        if self.proc.stderr is not None:
            self._reader.start()

    def _read_stderr(self):
        for raw in self.proc.stderr:
            with self._lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def log(self):
        with self._lock:
            return list(self.lines)

    def lines_with(self, text, since=0):
        return [line for line in self.log()[since:] if text in line]

    def found(self, text, count=1):
        """The log lines that contain `text`, once there are `count` of them."""
        hits = self.lines_with(text)
        return hits if len(hits) >= count else None

    def wait_log(self, text, timeout=10.0, count=1):
        return wait_for(lambda: self.found(text, count), timeout, what="log line %r" % text)

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=10.0):
        self.proc.wait(timeout)
        if self._reader.is_alive():
            self._reader.join(timeout)
        return self.proc.returncode

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def controllers():
    """Starts controllers for a test and makes sure every one of them ends with it."""
    started = []

    def start(args, **kwargs):
        process = ControllerProcess(args, **kwargs)
        started.append(process)
        return process

    yield start
    for process in started:
        process.kill()


@pytest.fixture
def config(tmp_path):
    """Writes a configuration file and returns its path."""
    def write(text, name="tt_controller.cfg"):
        path = tmp_path / name
        path.write_text(text)
        return str(path)
    return write


def run_controller(args, timeout=10.0):
    return subprocess.run([CONTROLLER] + args, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


class Package:
    """A Debian package built from the source tree, and its files unpacked."""

    def __init__(self, deb, root):
        self.deb, self.root = deb, root

    def path(self, installed):
        """Where the file the package installs at `installed` is in the unpacked copy."""
        return os.path.join(self.root, installed.lstrip("/"))

    def dpkg_deb(self, *args):
        return subprocess.run(["dpkg-deb"] + list(args) + [self.deb], capture_output=True,
                              text=True, check=True).stdout


def build_package(out, changelog=None):
    """Builds the package as `make package` does, into the directory `out`, optionally with
    another debian/changelog; returns it unpacked. Compiles go through ccache where it is
    installed, so a second build, of another version, only compiles what the version changes."""
    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    command = [os.path.join(SOURCE_DIR, "tools", "build-package.sh"), str(out)]
    made = subprocess.run(command + ([str(changelog)] if changelog else []),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=1800, env=env)
    assert made.returncode == 0, made.stdout[-4000:] + made.stderr[-4000:]
    debs = [deb for deb in glob.glob(os.path.join(str(out), "*.deb")) if "-dbgsym_" not in deb]
    assert len(debs) == 1, debs
    root = os.path.join(str(out), "root")
    subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
    return Package(debs[0], root)


@pytest.fixture(scope="session")
def package(tmp_path_factory):
    """Built into a temporary directory, so the build and source trees keep no package."""
    return build_package(tmp_path_factory.mktemp("package"))
