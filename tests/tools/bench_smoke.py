"""Smoke test of tt_bench: a tiny run against the built controller, then the shape of the JSON
and of the table. The figures themselves are not judged; they depend on the machine."""
import json
import os
import subprocess
import sys
import tempfile

bench, controller = sys.argv[1:3]
RELAY = ["saturation", "saturation_p99", "cpu_per_100k", "fixed_rate", "fixed_p99"]


def check(condition, text):
    if not condition:
        print("bench smoke: " + text)
        sys.exit(1)


with tempfile.TemporaryDirectory() as work:
    out = os.path.join(work, "bench.json")
    run = subprocess.run([bench, "--quick", "--controller", controller, "--json", out,
                          "--logs", work], capture_output=True, text=True, timeout=240)
    check(run.returncode == 0, "exit status %d\n%s" % (run.returncode, run.stderr))
    with open(out) as data:
        report = json.load(data)
    check(os.path.exists(os.path.join(work, "bench-controller-1api.log")), "no controller log")

figures = {f["key"]: f for section in report["sections"] for f in section["figures"]}
for key in ["rss_per_idle_device", "rss_after_fleet_left"] + [k + "_1api" for k in RELAY]:
    check(key in figures and len(figures[key]["controller"]["runs"]) == 1, "%s: %r"
          % (key, figures.get(key)))
    check(not key.endswith("_1api") or "bare_relay" in figures[key], key + " without the floor")
# The quick fleet is 200 devices; every one is admitted and held, and no target is judged.
check(figures["fleet_held"]["controller"]["median"] == 200, "fleet held: %r" % figures["fleet_held"])
check("target" not in figures["admission_rate"], "a quick run judges no targets")
# The reload keeps the whole quick fleet and reports none of it as disconnected.
for key in ("reload_pause", "reload_new_device", "reload_rss_before", "reload_rss_after"):
    check(key in figures, "no figure " + key)
check(figures["reload_devices_kept"]["controller"]["median"] == 200
      and figures["reload_disconnections"]["controller"]["median"] == 0,
      "reload: %r %r" % (figures["reload_devices_kept"], figures["reload_disconnections"]))
check("Figures written to " in run.stdout, "no table:\n" + run.stdout)
print("bench smoke: %d figures" % len(figures))
