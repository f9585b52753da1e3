"""The life of the process: help, configuration errors, listening sockets, signals."""

import resource
import signal
import socket
import subprocess
import threading

import pytest

from conftest import CONTROLLER, free_port, run_controller, wait_for

HELP_TEXT = (
    "Generic options:\n"
    "  -c [ --config ] arg (=/opt/kelvarin/etc/tt_controller.cfg)\n"
    "                                        path to the configuration file\n"
    "  --check-config                        check the configuration file and exit\n"
    "  --show-device UNIT                    print a unit's connections and exit\n"
    "  --show-status                         print the controller's status and exit\n"
    "  --version                             print the version and exit\n"
    "  --reload-state-formats                print the reload state formats and exit\n"
    "  --help \n"
    "\n")

# API endpoints that refuse at once, so a running controller stays quiet and local.
QUIET_API = "[api-side]\nall-hostname=127.0.0.1\nbest-hostname=127.0.0.1\nservice=%d\n"


# Ports held bound and never listening for the test process's life: connections to them are
# refused, and no other listener or connection can be given them meanwhile.
_refusing = []


def quiet_api():
    held = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    held.bind(("127.0.0.1", 0))
    _refusing.append(held)
    return QUIET_API % held.getsockname()[1]


def test_help_is_printed_without_opening_the_file():
    result = run_controller(["--help", "-c", "/nonexistent/tt.cfg"])
    assert result.returncode == 0
    assert (result.stdout, result.stderr.decode()) == (b"", HELP_TEXT)


@pytest.mark.parametrize("args, text, message", [
    (["--help", "--bogus"], None, "unrecognised option '--bogus'"),
    (["-c"], None, "the required argument for option '--config' is missing"),
    ([], "api-side.foo=1\n", "unrecognised option 'api-side.foo'"),
    ([], "config=/etc/x.cfg\n", "unrecognised option 'config'"),
])
def test_configuration_errors_end_with_one_line_and_status_1(config, args, text, message):
    result = run_controller(args + (["-c", config(text)] if text else []))
    assert result.returncode == 1
    assert result.stderr.decode() == "Exception: " + message + "\n"
    assert result.stdout == b""


class TestCheckConfig:
    """--check-config fails where a start fails on the configuration, with the same line, and
    opens no socket: a port that is in use does not fail it."""

    def test_a_valid_file_prints_nothing_and_binds_nothing(self, config):
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as busy:
            busy.bind(("::", 0))
            busy.listen()
            port = busy.getsockname()[1]
            path = config(quiet_api() + "[device-side]\nlisten-service=%d\nlisten-service=http\n"
                          "[metrics]\nlisten=[::1]:%d\n" % (port, port))
            result = run_controller(["--check-config", "-c", path])
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")

    @pytest.mark.parametrize("text", [
        "[api-side]\nrefresh-interval=2147483648\n",
        "[device-side]\nlisten-service=no-such-service\n",
    ], ids=["bad-number", "unresolved-service"])
    def test_an_invalid_file_fails_with_the_line_of_a_start(self, config, text):
        path = config(quiet_api() + text)
        checked = run_controller(["--check-config", "-c", path])
        started = run_controller(["-c", path])
        assert checked.returncode == started.returncode == 1
        assert checked.stdout == b""
        assert checked.stderr.decode().startswith("Exception: ")
        assert checked.stderr.decode().splitlines() == \
            started.stderr.decode().splitlines()[-1:]


@pytest.mark.parametrize("section, reason", [
    ("[device-side]\nlisten-service=no-such-service\n", "resolve: Service not found"),
    ("[device-side]\nlisten-service=PORT\n", "bind: Address already in use"),
    # After the device side and the API side, which logs its first attempt.
    ("[metrics]\nlisten=[::1]:PORT\n", "bind: Address already in use"),
], ids=["unresolved-service", "device-port-in-use", "metrics-port-in-use"])
def test_start_up_failure_ends_with_status_1_and_its_reason_after_the_lines_before_it(
        config, section, reason):
    """The lines logged before the failure are gathered for the loop's first turn; they still
    come out before the reason."""
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as busy:
        busy.bind(("::", 0))
        busy.listen()
        port = str(busy.getsockname()[1])
        result = run_controller(["-c", config(quiet_api() + section.replace("PORT", port))])
    assert result.returncode == 1
    lines = result.stderr.decode().splitlines()
    assert lines[0] == "Not using systemd sockets"
    assert lines[-1].startswith("Exception: " + reason)
    assert [line for line in lines if "Exception" in line] == [lines[-1]]


def test_a_start_without_descriptors_for_its_event_loop_ends_with_status_1_and_why(config):
    """The log is gathered for a loop only once the loop could be made."""
    result = subprocess.run(
        [CONTROLLER, "-c", config(quiet_api())], stdin=subprocess.DEVNULL, capture_output=True,
        timeout=10, preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (5, 5)))
    assert result.returncode == 1
    last = result.stderr.decode().splitlines()[-1]
    assert last.startswith("Exception: ") and last.endswith(": Too many open files [system:24]")


@pytest.mark.parametrize("status, args, code", [(200, ["--show-status"], 1),
                                                (404, ["--show-device", "7"], 2)])
def test_an_answer_nested_past_any_call_stack_ends_the_question_with_its_status(
        config, status, args, code):
    """Whatever listens on the metrics endpoint answers the command line: JSON nested a million
    deep is refused with one line, as any answer that is not the controller's."""
    body = b"[" * 1000000 + b"]" * 1000000
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def answer():
        connection, _ = listener.accept()
        with connection:
            connection.recv(65536)
            connection.sendall(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\n\r\n" % (status, len(body))
                               + body)

    server = threading.Thread(target=answer, daemon=True)
    server.start()
    result = run_controller(args + ["-c", config("[metrics]\nlisten=127.0.0.1:%d\n" % port)])
    server.join(10)
    listener.close()
    assert result.returncode == code
    err = result.stderr.decode()
    assert err.startswith("the controller at 127.0.0.1:%d answered 200: [[[" % port
                          if status == 200 else "[[[") and err.count("\n") == 1
    assert result.stdout == b""


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["sigterm", "sigint"])
def test_listens_on_both_wildcards_of_every_service_until_a_signal_ends_it_with_0(
        controllers, config, sig):
    first, second = free_port("::", socket.AF_INET6), free_port("::", socket.AF_INET6)
    path = config(quiet_api() + "[device-side]\nlisten-service=%d\nlisten-service=%d\n"
                  % (first, second))
    # A stray word is ignored, and an option may be abbreviated.
    controller = controllers(["start", "-c", path] if sig == signal.SIGTERM else
                             ["--conf=" + path])
    for port in (first, second):
        for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            wait_for(lambda: connects(family, address, port), what="listening on %d" % port)
    # Written from the running event loop: SIGTERM and SIGINT are handled from then on (before,
    # they end the process as they would any other).
    controller.wait_log("Connecting main: ")
    assert controller.stop(sig) == 0
    assert not any("Exception" in line for line in controller.log())


def connects(family, address, port):
    """Whether a TCP connection to address and port (or, for AF_UNIX, to the path given as
    port) is accepted."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        try:
            s.connect(port if family == socket.AF_UNIX else (address, port))
            return True
        except OSError:
            return False


@pytest.mark.parametrize("kind", ["udp", "unix"])
def test_activation_sockets_other_than_tcp_are_refused(controllers, config, tmp_path, kind):
    """Sockets handed over by systemd-socket-activate, which starts the controller on the first
    connection to one of them."""
    if kind == "udp":
        port = free_port()
        listen = ["--datagram", "-l", "127.0.0.1:%d" % port]
    else:
        listen = ["-l", str(tmp_path / "device.sock")]
    controller = controllers(["-c", config(quiet_api())],
                             command=["systemd-socket-activate"] + listen + [CONTROLLER])
    if kind == "udp":
        # Datagrams sent before the socket exists are lost: send until the controller runs.
        wait_for(lambda: send_datagram(port) and program(controller.proc.pid) == "tt_controller",
                 what="activation by a datagram")
    else:
        # The file exists from the bind on, a moment before the socket listens.
        wait_for(lambda: connects(socket.AF_UNIX, None, str(tmp_path / "device.sock")),
                 what="unix socket")
    assert controller.wait() == 1
    assert controller.log()[-2:] == ["Using systemd sockets", "Exception: Bad SystemD sockets"]


def send_datagram(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(b"x", ("127.0.0.1", port))
    return True


def program(pid):
    """The name of the program the process runs now (systemd-socket-activate execs ours)."""
    with open("/proc/%d/comm" % pid) as comm:
        return comm.read().strip()
