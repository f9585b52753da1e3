"""Small helpers shared by the soak and the end-to-end tests for running processes on
loopback."""

import os
import shutil
import socket
import subprocess


def private_hosts_supported():
    """Whether a child can be given its own /etc/hosts: needs root and a working unshare."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    return probe.returncode == 0


def free_port(host="127.0.0.1", family=socket.AF_INET):
    """A port the kernel just handed out as ephemeral, free again for the caller to use."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def is_sanitized(program):
    """Whether the program was built with AddressSanitizer, whose quarantine keeps freed memory,
    or ThreadSanitizer, whose shadow memory grows with every address used: its resident size
    says little then."""
    with open(program, "rb") as binary:
        content = binary.read()
    return b"__asan_init" in content or b"__tsan_init" in content
