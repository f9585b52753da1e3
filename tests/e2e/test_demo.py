"""make demo's script end to end: the controller between the simulator's API servers,
validator and devices, with every process it starts ended again.

The demo runs two API servers where it can give the controller a private /etc/hosts, and one
where it cannot or is asked to; each run is checked for what its mode shows."""

import json
import os
import re
import signal
import subprocess

import pytest

from conftest import BUILD_DIR, CONTROLLER, SOURCE_DIR, private_hosts_supported, wait_for

API_SERVERS = ["127.0.0.2", "127.0.0.3"]


def group_gone(pgid):
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return True
    return False


def run_demo(extra_env):
    """The demo's output, once it ended with status 0 and left no process behind."""
    env = dict(os.environ, TT_BUILD_DIR=BUILD_DIR, TT_CONTROLLER=CONTROLLER, DEMO_SECONDS="4")
    env.pop("DEMO_ONE_API_SERVER", None)
    env.update(extra_env)
    demo = subprocess.Popen(["bash", os.path.join(SOURCE_DIR, "tools", "demo.sh")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env, start_new_session=True)
    try:
        output, _ = demo.communicate(timeout=30)
    finally:
        if demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
    text = output.decode("utf-8", "replace")
    assert demo.returncode == 0, text
    # Everything the demo started has ended, the prefixing filters included.
    wait_for(lambda: group_gone(demo.pid), timeout=5, what="the demo's processes to end")
    return text


@pytest.mark.parametrize("one_server_asked", [False, True],
                         ids=["servers-as-possible", "one-server-asked"])
def test_demo_delivers_results_and_leaves_nothing_running(one_server_asked):
    text = run_demo({"DEMO_ONE_API_SERVER": "1"} if one_server_asked else {})
    lines = text.splitlines()

    # The mode the demo says it runs in: two servers wherever a private /etc/hosts is possible.
    announced = re.search(r"^\[demo\] API servers on ([0-9. ]+) \(port (\d+)\)", text, re.M)
    assert announced, text
    servers, port = announced.group(1).split(), announced.group(2)
    fallback = [line for line in lines if line.startswith("[demo] one API server only: ")]
    if one_server_asked:
        assert fallback == ["[demo] one API server only: DEMO_ONE_API_SERVER asks for it"]
    elif private_hosts_supported():
        assert fallback == [] and servers == API_SERVERS, text
    else:
        assert fallback == ["[demo] one API server only: no private /etc/hosts possible "
                            "(needs root and unshare --mount)"]
    if fallback:
        assert servers == API_SERVERS[:1], text

    # Two servers share a host name in the private /etc/hosts; one is reached by its address.
    all_hostname = "tt-demo-api-all" if len(servers) == 2 else servers[0]
    assert re.search(r"^\[demo\] controller: devices on port \d+, API servers as %s:%s$"
                     % (re.escape(all_hostname), port), text, re.M), text
    for server in servers:
        said = "[api] api %s:%s #1: " % (server, port)
        assert said + "controller connected, Host " + all_hostname in lines, text
        assert any(line.startswith(said + "controller registered: ") for line in lines), text
    summaries = [json.loads(line[len("[api] "):]) for line in lines
                 if line.startswith('[api] {"role":"api"')]
    assert len(summaries) == 1, text
    summary = summaries[0]
    assert (summary["servers"], summary["controllers_registered"]) == (len(servers),) * 2
    # Every result goes to every server, so with two each one receives the other's results.
    others = [line for line in lines if " #1: result (other server's test): " in line]
    if len(servers) == 2:
        for server in servers:
            assert any(line.startswith("[api] api %s:%s #1: " % (server, port))
                       for line in others), text
    else:
        assert others == [] and summary["results_received"] == summary["own_results"], text

    # What either mode shows: the refusal, the misbehaviour and the summary.
    assert "[controller] unitId:105 telling to the device that validation 0" in lines
    assert "[demo]   devices admitted:         4 (refused 1)" in lines
    assert any(line.startswith("[devices] device 104: run ") and "dropping the connection" in line
               for line in lines), text
    assert "[controller] API status: report disconnection unitId:104" in lines
    delivered = re.search(r"^\[demo\]   results delivered: +(\d+)", text, re.M)
    assert delivered and int(delivered.group(1)) > 0, text
    reported = re.search(r"^\[demo\]   disconnections reported: +(\d+)$", text, re.M)
    # 101, 102 and 104 always; 103 only when the demo ended before its garbage answer.
    assert reported and int(reported.group(1)) in (3, 4), text
    assert not any("FAILED" in line or "Exception" in line for line in lines), text
