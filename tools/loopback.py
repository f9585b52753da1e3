"""Small helpers shared by the soak and the end-to-end tests for running processes on
loopback."""

import os
import random
import shutil
import socket
import subprocess


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


def free_port(host="127.0.0.1", family=socket.AF_INET):
    """A port free at the moment, for the caller to bind later; on "0.0.0.0", free on every
    IPv4 address."""
    for port, _ in zip(_candidate_ports(), range(200)):
        with socket.socket(family, socket.SOCK_STREAM) as probe:
            try:
                probe.bind((host, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port on " + host)


def is_sanitized(program):
    """Whether the program was built with AddressSanitizer, whose quarantine keeps freed memory,
    or ThreadSanitizer, whose shadow memory grows with every address used: its resident size
    says little then."""
    with open(program, "rb") as binary:
        content = binary.read()
    return b"__asan_init" in content or b"__tsan_init" in content
