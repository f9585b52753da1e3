"""Small helpers shared by the soak and the end-to-end tests for running processes on
loopback."""

import fcntl
import os
import random
import shutil
import socket
import subprocess
import tempfile


def private_hosts_supported():
    """Whether a child can be given its own /etc/hosts: needs root and a working unshare."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
            return int(ports.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def _candidate_ports():
    """Ports in random order from below the range the kernel hands out on its own. A port taken
    from that range and freed again for a process to bind later may meanwhile become any new
    connection's own port, or another test's listener bound to port 0; below it, only another
    caller of this function can take it."""
    low = 10000
    high = max(_ephemeral_low(), low + 1000)
    while True:
        yield random.randrange(low, high)


def _probed_port(host, family):
    """A port free at the moment; on "0.0.0.0", free on every IPv4 address."""
    for port, _ in zip(_candidate_ports(), range(200)):
        with socket.socket(family, socket.SOCK_STREAM) as probe:
            try:
                probe.bind((host, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port on " + host)


# A lock on a file named after each port picked, held until release_ports() or the end of the
# process: the suites and the soak that run side by side never pick one port twice between its
# probe and the bind of the process it was picked for.
PORT_LOCKS = os.path.join(tempfile.gettempdir(), "tt_controller-test-ports")
_picked = []


def free_port(host="127.0.0.1", family=socket.AF_INET):
    """A port free at the moment and picked by no other caller running now, for the caller to
    bind later; on "0.0.0.0", free on every IPv4 address."""
    os.makedirs(PORT_LOCKS, exist_ok=True)
    while True:
        port = _probed_port(host, family)
        lock = open(os.path.join(PORT_LOCKS, str(port)), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            continue
        _picked.append(lock)
        return port


def release_ports():
    """Gives back every port picked so far."""
    while _picked:
        _picked.pop().close()


def is_sanitized(program):
    """Whether the program was built with AddressSanitizer, whose quarantine keeps freed memory,
    or ThreadSanitizer, whose shadow memory grows with every address used: its resident size
    says little then."""
    with open(program, "rb") as binary:
        content = binary.read()
    return b"__asan_init" in content or b"__tsan_init" in content
