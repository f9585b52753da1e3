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
DOC = "/usr/share/doc/tt-controller/"
RULES = DOC + "examples/tt_controller.rules.yml"


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
                         **dict.fromkeys((CONFIG, SERVICE, SOCKET, MANPAGE, RULES,
                                          DOC + "copyright", DOC + "changelog.gz",
                                          "/usr/share/lintian/overrides/tt-controller"),
                                         "-rw-r--r--")}


class TestControl:
    def test_the_makefile_installs_what_the_package_build_checks_for(self):
        # dpkg-buildpackage refuses to build without each Build-Depends and build-essential,
        # which a minimal Debian does not have: `make` must install them all.
        control = open(os.path.join(SOURCE_DIR, "debian/control")).read()
        field = re.search(r"^Build-Depends:(.*?)^\S", control, re.M | re.S).group(1)
        wanted = {re.split(r"[\s(]", d.strip())[0] for d in field.split(",") if d.strip()}
        wanted = {"debhelper" if d == "debhelper-compat" else d for d in wanted}
        makefile = open(os.path.join(SOURCE_DIR, "Makefile")).read()
        packages = re.search(r"^PACKAGES := (.*?)\n\n", makefile, re.M | re.S).group(1)
        assert wanted | {"build-essential"} <= set(packages.replace("\\", " ").split())

    def test_fields_libraries_and_the_version_everywhere(self, package):
        fields = {}
        for line in package.dpkg_deb("--field").splitlines():
            if line and not line.startswith(" "):
                name, _, value = line.partition(":")
                fields[name] = value.strip()
        assert fields["Package"] == "tt-controller"
        assert fields["Section"] == "net"
        assert fields["Architecture"] == subprocess.run(
            ["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
        assert os.path.basename(package.deb) == "tt-controller_%s_%s.deb" % (
            fields["Version"], fields["Architecture"])
        depends = [d.split()[0] for d in fields["Depends"].split(", ")]
        for library in ("libboost-program-options1.81.0", "libsystemd0",
                        "libprometheus-cpp-core1.0", "libjemalloc2", "libstdc++6", "libc6"):
            assert library in depends
        # The changelog, the manual page and the binary agree on the version.
        version = fields["Version"]
        with gzip.open(package.path(DOC + "changelog.gz"), "rt") as f:
            assert f.readline().startswith("tt-controller (%s) " % version)
        header = r'^\.TH TT_CONTROLLER 8 "[0-9-]+" "tt_controller %s" ' % re.escape(version)
        assert re.search(header, shipped(package, MANPAGE), re.M)
        result = subprocess.run([package.path(BINARY), "--version"], capture_output=True,
                                text=True)
        assert (result.returncode, result.stdout) == (0, "tt_controller %s\n" % version)

    def test_configuration_is_a_conffile_and_maintainer_scripts_use_debian_s_helpers(
            self, package, tmp_path):
        subprocess.run(["dpkg-deb", "--control", package.deb, str(tmp_path)], check=True)
        assert (tmp_path / "conffiles").read_text() == CONFIG + "\n"
        for script in ("postinst", "prerm", "postrm"):
            path = tmp_path / script
            assert path.stat().st_mode & 0o777 == 0o755, script
            assert path.read_text().startswith("#!/bin/sh\n")
            assert subprocess.run(["sh", "-n", str(path)]).returncode == 0, script
        # Systemd is driven through Debian's helpers: upgrades reload a running controller and
        # leave a stopped one; removal stops both units; purge forgets their enablement.
        scripts = {name: (tmp_path / name).read_text() for name in ("postinst", "prerm", "postrm")}
        assert "deb-systemd-invoke try-reload-or-restart tt_controller.service" in \
            scripts["postinst"]
        assert "deb-systemd-invoke stop tt_controller.service tt_controller.socket" in \
            scripts["prerm"]
        assert "deb-systemd-helper purge 'tt_controller.service' 'tt_controller.socket'" in \
            scripts["postrm"]
        for name, text in scripts.items():
            # Nothing starts a unit; systemctl itself only rereads the units.
            assert "deb-systemd-invoke start" not in text, name
            calls = re.findall(r"^\s*systemctl .*$", text, re.M)
            assert all("daemon-reload" in call for call in calls), (name, calls)


def test_lintian_finds_nothing_but_the_overridden_configuration_place(package):
    """No error or warning; the tags of the configuration under /opt are overridden, with the
    reason in the override file. Overridden tags are shown (and would set the exit status), so
    the lines themselves are the verdict."""
    result = subprocess.run(["lintian", "--show-overrides", "--fail-on", "none", package.deb],
                            capture_output=True, text=True, timeout=600,
                            stdin=subprocess.DEVNULL)
    tags = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:", "O:")]
    assert (result.returncode, tags) == (0, [
        "O: tt-controller: dir-or-file-in-opt [opt/kelvarin/]",
        "O: tt-controller: dir-or-file-in-opt [opt/kelvarin/etc/]",
        "O: tt-controller: dir-or-file-in-opt [opt/kelvarin/etc/tt_controller.cfg]",
        "O: tt-controller: non-etc-file-marked-as-conffile opt/kelvarin/etc/tt_controller.cfg "
        "[conffiles:1]"]), result.stdout + result.stderr


def test_shipped_alert_rules_pass_promtool_and_are_those_the_readme_shows(package):
    result = subprocess.run(["promtool", "check", "rules", package.path(RULES)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "SUCCESS: 3 rules found" in result.stdout
    with open(os.path.join(SOURCE_DIR, "README.md")) as f:
        readme = f.read()
    rules = [line for line in shipped(package, RULES).splitlines() if not line.startswith("#")]
    assert "\n".join("    " + line for line in rules) in readme


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
