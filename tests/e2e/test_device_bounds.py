"""Devices that would hold the controller's memory or its tests: connections that send a message
of almost 16 MiB before they identify themselves, admitted devices that together send more
partly received bytes than the budget allows, and a device that answers another's runs.
Everyone else is still served."""

import asyncio
import struct
import uuid

from fakes import BINARY, CONTINUATION, RawDevice, execute_text, result_bytes
from world import (MEASURED, MIB, World, admitted_raw, requires_private_hosts, rss_kib, run,
                   run_test, settled)

pytestmark = requires_private_hosts

ALMOST_16_MIB = 15.9 * MIB
TOO_BIG = ("The WebSocket message exceeded the locally configured limit "
           "boost.beast.websocket:6")


async def send_unfinished(raw, in_one_frame):
    """Sends the fragments of a message of almost 16 MiB that never ends, until the controller
    drops the connection; returns the bytes it got out."""
    sent = 0
    try:
        if in_one_frame:
            # One frame announces it all; a zero mask key leaves the zeros as they are.
            await raw.send_bytes(bytes([BINARY, 0x80 | 127]) +
                                 struct.pack(">Q", int(ALMOST_16_MIB)) + bytes(4))
            chunk = bytes(64 * 1024)
            while sent < ALMOST_16_MIB:
                await raw.send_bytes(chunk)
                sent += len(chunk)
        else:
            opcode = BINARY
            while sent < ALMOST_16_MIB:
                await raw.send_frame(opcode, bytes(1000), fin=False)
                opcode, sent = CONTINUATION, sent + 1000
    except (ConnectionError, OSError):
        pass
    return sent


def test_hundreds_of_unidentified_sixteen_mib_messages_end_at_four_kib(tmp_path):
    count = 300

    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            await run_test(world, await world.admitted_device(7), 7)
            idle = rss_kib(world)
            raws = await asyncio.gather(*(RawDevice.connect(world.device_port)
                                          for _ in range(count)))
            peak = [idle]

            async def watch():
                while True:
                    peak[0] = max(peak[0], rss_kib(world))
                    await asyncio.sleep(0.02)

            watcher = asyncio.create_task(watch())
            flood = asyncio.gather(*(send_unfinished(raw, i % 2 == 0)
                                     for i, raw in enumerate(raws)))
            # Devices are admitted and served while it lasts.
            for unit_id in (8, 9):
                await run_test(world, await world.admitted_device(unit_id), unit_id)
            sent = await asyncio.wait_for(flood, 60)
            prefix = "device disconnected before receiving ID: "
            await world.wait_log(prefix + TOO_BIG, count=count, timeout=30)
            watcher.cancel()
            for raw in raws:
                raw.close()

            assert max(sent) < ALMOST_16_MIB  # each was dropped before its message ended
            assert world.lines_with(prefix) == [prefix + TOO_BIG] * count
            await settled(world, "tt_controller_device_receive_bytes", 0)
            if MEASURED:
                # Each held a few KiB at most, where it held 16 MiB before.
                assert peak[0] - idle < 16 * 1024, (idle, peak[0])
            await run_test(world, world.devices[0], 7)
    run(scenario, timeout=180)


# How the budget is shared is the device side's own test; here, that the option and the
# metrics reach it.
def test_device_that_would_pass_the_configured_receive_budget_ends(tmp_path):
    async def scenario():
        async with World(tmp_path, metrics=True,
                         device_settings="receive-budget-mib=1\n") as world:
            first = await admitted_raw(world, 1)
            second = await admitted_raw(world, 2)
            # The first holds 600 KB of a message, unfinished; the second's 600 KB cross 1 MiB.
            head = result_bytes(uuid.uuid4(), "a" * 600000, last=True)
            await first.send_frame(BINARY, head, fin=False)
            held = "tt_controller_device_receive_bytes"
            await settled(world, held, len(head))
            await second.send_frame(BINARY, result_bytes(uuid.uuid4(), "b" * 600000, True),
                                    fin=False)
            await world.wait_log("unitId:2 disconnected: receive budget exhausted")
            await settled(world, "tt_controller_device_receive_budget_exhausted_total", 1)
            assert world.lines_with("unitId:1 disconnected") == []
            first.close()
    run(scenario)


def test_a_result_from_another_units_device_ends_none_of_the_runs(tmp_path):
    runs = 40

    async def scenario():
        async with World(tmp_path, metrics=True) as world:
            silent = await world.admitted_device(7)
            api = await world.apis[0].connected()
            ids = [uuid.uuid4() for _ in range(runs)]
            for test_id in ids:
                await api.send(execute_text(test_id, 7))
            for _ in ids:
                await silent.receive()
            intruder = await world.admitted_device(8)
            await intruder.send_result(ids[0], '{"from":8}', last=True)
            await world.wait_log("unitId:8 result for a request of unitId:7 dropped")
            await settled(world, "tt_controller_foreign_results_dropped_total", 1)
            await settled(world, "tt_controller_tests_running", runs)

    run(scenario)
