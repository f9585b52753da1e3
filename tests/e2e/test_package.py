"""The Debian package: what it installs where, its control data, and that what it ships works."""

import gzip
import os
import re
import signal
import socket
import subprocess

from conftest import SOURCE_DIR, free_port, wait_for
from test_process import connects

BINARY = "/usr/sbin/tt_controller"
CONFIG = "/opt/kelvarin/etc/tt_controller.cfg"
SERVICE = "/lib/systemd/system/tt_controller.service"
SOCKET = "/lib/systemd/system/tt_controller.socket"
MANPAGE = "/usr/share/man/man8/tt_controller.8.gz"


def shipped(package, installed):
    """The text of a file the package installs, unpacked (and uncompressed)."""
    with (gzip.open if installed.endswith(".gz") else open)(package.path(installed), "rt") as f:
        return f.read()


class TestContents:
    def test_files_modes_and_owners(self, package):
        listing = package.dpkg_deb("--contents")
        files = {}
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, name = line.split(None, 5)
            assert owner == "root/root", line
            if not mode.startswith("d"):
                files[name[1:]] = mode
        assert files == {BINARY: "-rwxr-xr-x",
                         **dict.fromkeys((CONFIG, SERVICE, SOCKET, MANPAGE), "-rw-r--r--")}


class TestControl:
    def test_fields_and_the_shared_libraries_it_depends_on(self, package):
        fields = {}
        for line in package.dpkg_deb("--field").splitlines():
            if line and not line.startswith(" "):
                name, _, value = line.partition(":")
                fields[name] = value.strip()
        assert fields["Package"] == "tt-controller"
        assert fields["Version"] == "1.0.0"
        assert fields["Architecture"] == subprocess.run(
            ["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        assert os.path.basename(package.deb) == "tt-controller_1.0.0_%s.deb" % fields["Architecture"]
        depends = [d.split()[0] for d in fields["Depends"].split(", ")]
        for library in ("libboost-program-options1.81.0", "libsystemd0",
                        "libprometheus-cpp-core1.0", "libstdc++6", "libc6"):
            assert library in depends

    def test_configuration_is_a_conffile_and_maintainer_scripts_are_shell(self, package,
                                                                          tmp_path):
        subprocess.run(["dpkg-deb", "--control", package.deb, str(tmp_path)], check=True)
        assert (tmp_path / "conffiles").read_text() == CONFIG + "\n"
        for script in ("postinst", "prerm", "postrm"):
            path = tmp_path / script
            assert path.stat().st_mode & 0o777 == 0o755, script
            assert path.read_text().startswith("#!/bin/sh\n")
            assert subprocess.run(["sh", "-n", str(path)]).returncode == 0, script


def enabled(text, values=None):
    """The example configuration with every commented-out "#name = value" setting enabled,
    given a value from `values` (by dotted key) where it has one; and the settings found, as
    {dotted key: shipped value}."""
    values = values or {}
    section, lines, found = "", [], {}
    for line in text.splitlines():
        header = re.fullmatch(r"\[([a-z-]+)\]", line)
        if header:
            section = header.group(1) + "."
        setting = re.fullmatch(r"#([a-z-]+) = (\S+)", line)
        if setting:
            name, value = setting.groups()
            found[section + name] = value
            line = "%s = %s" % (name, values.get(section + name, value))
        lines.append(line)
    return "\n".join(lines) + "\n", found


def documented_defaults(page):
    """The configuration keys of the manual page with their defaults (None: no default)."""
    keys = {}
    for key, rest in re.findall(r'^\.BR ((?:(?:api|device)\\-side|metrics)\.\S+) "(.*)$', page,
                                re.M):
        default = re.match(r' \(default " (\S+) \)', rest)
        keys[key.replace("\\-", "-")] = default.group(1).replace("\\-", "-") if default else None
    return keys


class TestExampleConfiguration:
    def test_every_key_is_shown_with_the_documented_default(self, package):
        _, example = enabled(shipped(package, CONFIG))
        documented = documented_defaults(shipped(package, MANPAGE))
        assert set(example) == set(documented)
        for key, default in documented.items():
            if default is not None:
                assert example[key] == default, key

    def test_packaged_binary_runs_on_the_example_with_every_setting_enabled(
            self, package, tmp_path, controllers):
        """Uncommented, the example is accepted key by key; only addresses are made local."""
        api_port, device_port = free_port(), free_port("::", socket.AF_INET6)
        metrics_port = free_port()
        local = {"api-side.all-hostname": "127.0.0.1", "api-side.best-hostname": "127.0.0.1",
                 "api-side.service": str(api_port), "device-side.listen-service": str(device_port),
                 "metrics.listen": "127.0.0.1:%d" % metrics_port}
        text, _ = enabled(shipped(package, CONFIG), local)
        path = tmp_path / "tt_controller.cfg"
        path.write_text(text)

        controller = controllers(["-c", str(path)], command=[package.path(BINARY)])
        controller.wait_log("Not using systemd sockets")
        wait_for(lambda: connects(socket.AF_INET6, "::1", device_port), what="device port")
        wait_for(lambda: connects(socket.AF_INET, "127.0.0.1", metrics_port),
                 what="metrics port")
        controller.wait_log("Connecting main: 127.0.0.1:%d" % api_port)
        assert controller.stop(signal.SIGTERM) == 0
        assert not any("Exception" in line for line in controller.log())


def test_manual_page_renders_without_warnings():
    result = subprocess.run(
        ["groff", "-man", "-Tascii", "-ww", "-rLL=200n", "-P-cbou",
         os.path.join(SOURCE_DIR, "packaging", "tt_controller.8")],
        capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"))
    assert (result.returncode, result.stderr) == (0, "")
