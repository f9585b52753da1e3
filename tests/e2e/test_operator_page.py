"""The operators' page in a real browser, and the command line's questions to a running
controller: headless Chromium loads / from a controller with devices, the test reads the devices
online from the rendered page, types a unit id into the lookup box and reads its state back."""

import asyncio
import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request

import pytest
import websockets

from conftest import CONTROLLER
from world import World, requires_private_hosts, run, run_test

CHROMIUM = shutil.which("chromium")

# Where the screenshot for the README goes when asked: TT_SCREENSHOT=docs/operators-page.png.
SCREENSHOT = os.environ.get("TT_SCREENSHOT")


class Browser:
    """Headless Chromium with one page, driven over the DevTools protocol."""

    def __init__(self, url, profile):
        self.profile = profile
        self.log = os.path.join(profile, "chromium.log")
        # As root Chromium has no sandbox to run in; the page is the test's own.
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--remote-debugging-port=0", "--user-data-dir=" + profile,
             "--window-size=1000,1500", url],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(self.log, "wb"),
            start_new_session=True)
        self.ws, self.next_id = None, 0

    async def open(self, timeout=30.0):
        """The page's DevTools connection; None when Chromium cannot run here."""
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + timeout
        while not os.path.exists(port_file) or not open(port_file).read().strip():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                return None
            await asyncio.sleep(0.05)
        port = int(open(port_file).read().split()[0])
        while True:
            with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port) as answer:
                pages = [t for t in json.load(answer) if t["type"] == "page"]
            if pages:
                break
            if time.monotonic() > deadline:
                return None
            await asyncio.sleep(0.05)
        self.ws = await websockets.connect(pages[0]["webSocketDebuggerUrl"], max_size=None)
        return self

    async def call(self, method, **params):
        self.next_id += 1
        await self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(await self.ws.recv())
            if message.get("id") == self.next_id:
                assert "error" not in message, message
                return message["result"]

    async def value(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    async def until(self, expression, expected, timeout=20.0):
        deadline = time.monotonic() + timeout
        while True:
            got = await self.value(expression)
            if got == expected:
                return
            assert time.monotonic() < deadline, "%s is %r, not %r" % (expression, got, expected)
            await asyncio.sleep(0.05)

    async def close(self):
        if self.ws is not None:
            await self.ws.close()
        self.proc.kill()
        self.proc.wait()

    def error_output(self):
        with open(self.log, "rb") as log:
            return log.read().decode(errors="replace")[-2000:]


def ask(*args, config):
    done = subprocess.run([CONTROLLER, *args, "-c", str(config)], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=20)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


@requires_private_hosts
@pytest.mark.skipif(CHROMIUM is None, reason="needs Debian's chromium (make deps installs it)")
def test_page_shows_devices_online_and_looks_a_unit_up(tmp_path):
    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            device = await world.admitted_device(4711)
            await world.admitted_device(4712)
            await run_test(world, device, 4711)

            # The command line asks the same endpoint and prints the same answers.
            config = tmp_path / "tt_controller.cfg"
            code, out, err = await asyncio.to_thread(ask, "--show-device", "4711", config=config)
            assert (code, err) == (0, "")
            shown = json.loads(out)
            assert out.startswith('{\n  "unit_id": 4711,\n  "online": true,\n')
            assert [(c["state"], c["mac"], c["tests_running"]) for c in shown["connections"]] \
                == [("admitted", "001A2B3C4D5E", 0)]
            assert await asyncio.to_thread(ask, "--show-device", "4713", config=config) == \
                (2, "", "no connection registered with unit id 4713\n")
            code, out, err = await asyncio.to_thread(ask, "--show-status", config=config)
            assert code == 0 and json.loads(out)["devices_online"] == 2

            browser = Browser("http://127.0.0.1:%d/" % world.metrics_port,
                              tempfile.mkdtemp(dir=tmp_path))
            try:
                if await browser.open() is None:
                    pytest.skip("Chromium did not start here: " + browser.error_output())
                await browser.until("document.getElementById('devices_online').textContent",
                                    "2")
                await browser.value("document.getElementById('unit').focus()")
                await browser.call("Input.insertText", text="4711")
                for kind in ("keyDown", "keyUp"):
                    await browser.call("Input.dispatchKeyEvent", type=kind, key="Enter",
                                       code="Enter", windowsVirtualKeyCode=13,
                                       **({"text": "\r"} if kind == "keyDown" else {}))
                await browser.until(
                    "document.querySelector('#connection_rows td')?.textContent", "admitted")
                assert await browser.value("document.getElementById('lookup_result')"
                                           ".textContent") == "Unit 4711 is online: 1 connection"
                # A unit that is not there, and text that is no unit id, shown as text.
                await browser.value("document.getElementById('unit').value = '<b>x</b>'")
                await browser.value("document.querySelector('#lookup button').click()")
                await browser.until("document.getElementById('lookup_result').textContent",
                                    "not a unit id: %3Cb%3Ex%3C%2Fb%3E")
                if SCREENSHOT:
                    await browser.value("document.getElementById('unit').value = '4711'")
                    await browser.value("document.querySelector('#lookup button').click()")
                    await browser.until(
                        "document.querySelector('#connection_rows td')?.textContent",
                        "admitted")
                    shot = await browser.call("Page.captureScreenshot", format="png",
                                              captureBeyondViewport=True)
                    with open(SCREENSHOT, "wb") as png:
                        png.write(base64.b64decode(shot["data"]))
            finally:
                await browser.close()
    run(scenario)
