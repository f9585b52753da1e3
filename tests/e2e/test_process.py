"""The life of the process: help, configuration errors, listening sockets, signals."""

import signal
import socket

import pytest

from conftest import CONTROLLER, free_port, run_controller, wait_for

HELP_TEXT = (
    "Generic options:\n"
    "  -c [ --config ] arg (=/opt/kelvarin/etc/tt_controller.cfg)\n"
    "                                        path to the configuration file\n"
    "  --help \n"
    "\n")

# API endpoints that refuse at once, so a running controller stays quiet and local.
QUIET_API = "[api-side]\nall-hostname=127.0.0.1\nbest-hostname=127.0.0.1\nservice=%d\n"


def quiet_api():
    return QUIET_API % free_port()


def wait_running(controller):
    """Waits for a line written from the running event loop: SIGTERM and SIGINT are handled
    from then on (before, they end the process as they would any other)."""
    controller.wait_log("Connecting main: ")


def test_help_prints_the_command_line_options_without_opening_the_file():
    result = run_controller(["--help", "-c", "/nonexistent/tt.cfg"])
    assert result.returncode == 0
    assert result.stderr.decode() == HELP_TEXT
    assert result.stdout == b""


@pytest.mark.parametrize("args, text, message", [
    (["--help", "--bogus"], None, "unrecognised option '--bogus'"),
    (["-c"], None, "the required argument for option '--config' is missing"),
    (["--api-side.service=1"], None, "unrecognised option '--api-side.service=1'"),
    (["--config", "/nonexistent/tt.cfg"], None, "can not open config file: /nonexistent/tt.cfg"),
    ([], "api-side.foo=1\n", "unrecognised option 'api-side.foo'"),
    ([], "[api-side]\nservice=1\nservice=2\n",
     "option 'api-side.service' cannot be specified more than once"),
    ([], "[api-side]\nrefresh-interval=2147483648\n",
     "the argument ('2147483648') for option 'api-side.refresh-interval' is invalid"),
    ([], "config=/etc/x.cfg\n", "unrecognised option 'config'"),
])
def test_configuration_errors_end_with_one_line_and_status_1(config, args, text, message):
    result = run_controller(args + (["-c", config(text)] if text else []))
    assert result.returncode == 1
    assert result.stderr.decode() == "Exception: " + message + "\n"
    assert result.stdout == b""


def test_listen_service_that_does_not_resolve(config):
    result = run_controller(["-c", config("[device-side]\nlisten-service=no-such-service\n")])
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert lines[0] == "Not using systemd sockets"
    assert lines[1].startswith("Exception: resolve: Service not found")
    assert len(lines) == 2


class TestRunning:
    def test_stray_word_is_ignored_and_sigterm_ends_with_0(self, controllers, config):
        path = config(quiet_api())
        controller = controllers(["start", "-c", path])
        controller.wait_log("Not using systemd sockets")
        wait_running(controller)
        assert controller.stop(signal.SIGTERM) == 0
        assert controller.stdout == b""

    def test_sigint_ends_with_0(self, controllers, config):
        controller = controllers(["--conf=" + config(quiet_api())])
        controller.wait_log("Not using systemd sockets")
        wait_running(controller)
        assert controller.stop(signal.SIGINT) == 0
        assert controller.stdout == b""
        assert not any("Exception" in line for line in controller.log())

    def test_listens_on_ipv4_and_ipv6_wildcards_of_every_service(self, controllers, config):
        first, second = free_port("::", socket.AF_INET6), free_port("::", socket.AF_INET6)
        path = config(quiet_api() + "[device-side]\nlisten-service=%d\nlisten-service=%d\n"
                      % (first, second))
        controller = controllers(["-c", path])
        controller.wait_log("Not using systemd sockets")
        for port in (first, second):
            for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                wait_for(lambda: connects(family, address, port), what="listening on %d" % port)
        wait_running(controller)
        assert controller.stop() == 0

    def test_port_in_use_fails_on_bind(self, config):
        """The line logged before the failure is gathered for the loop's first turn; it
        still comes out before the reason."""
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as busy:
            busy.bind(("::", 0))
            busy.listen()
            port = busy.getsockname()[1]
            result = run_controller(["-c", config("[device-side]\nlisten-service=%d\n" % port)])
        assert result.returncode == 1
        lines = result.stderr.decode().splitlines()
        assert lines[0] == "Not using systemd sockets"
        assert lines[1].startswith("Exception: bind: Address already in use")
        assert len(lines) == 2


def connects(family, address, port):
    """Whether a TCP connection to address and port (or, for AF_UNIX, to the path given as
    port) is accepted."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        try:
            s.connect(port if family == socket.AF_UNIX else (address, port))
            return True
        except OSError:
            return False


class TestSocketActivation:
    """Sockets handed over by systemd-socket-activate, which starts the controller on the
    first connection to one of them."""

    def activate(self, controllers, config, listen_args):
        command = ["systemd-socket-activate"] + listen_args + [CONTROLLER]
        return controllers(["-c", config(quiet_api())], command=command)

    def test_ipv4_and_ipv6_sockets_are_adopted(self, controllers, config):
        v4, v6 = free_port(), free_port("::1", socket.AF_INET6)
        controller = self.activate(controllers, config,
                                   ["-l", "127.0.0.1:%d" % v4, "-l", "[::1]:%d" % v6])
        wait_for(lambda: connects(socket.AF_INET, "127.0.0.1", v4), what="activation socket")
        controller.wait_log("Using systemd sockets")
        assert connects(socket.AF_INET6, "::1", v6)
        wait_running(controller)
        assert controller.stop() == 0
        assert "Exception" not in "\n".join(controller.log())

    @pytest.mark.parametrize("kind", ["udp", "unix"])
    def test_other_sockets_are_refused(self, controllers, config, tmp_path, kind):
        if kind == "udp":
            port = free_port()
            listen = ["--datagram", "-l", "127.0.0.1:%d" % port]
        else:
            listen = ["-l", str(tmp_path / "device.sock")]
        controller = self.activate(controllers, config, listen)
        if kind == "udp":
            # Datagrams sent before the socket exists are lost: send until the controller runs.
            wait_for(lambda: send_datagram(port) and controller.program() == "tt_controller",
                     what="activation by a datagram")
        else:
            # The file exists from the bind on, a moment before the socket listens.
            wait_for(lambda: connects(socket.AF_UNIX, None, str(tmp_path / "device.sock")),
                     what="unix socket")
        assert controller.wait() == 1
        assert controller.log()[-2:] == ["Using systemd sockets",
                                         "Exception: Bad SystemD sockets"]


def send_datagram(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(b"x", ("127.0.0.1", port))
    return True
