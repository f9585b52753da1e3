"""Smoke test of tt_bench: a tiny run against the built controller, then the shape of the JSON
and of the table. The figures themselves are not judged; they depend on the machine."""
import json
import os
import subprocess
import sys
import tempfile

bench, controller = sys.argv[1:3]

RUN_KEYS = {"median", "min", "max", "runs"}
ALWAYS = ["admission_rate", "fleet_held", "controller_device_sockets", "rss_per_idle_device",
          "rss_after_fleet_left"]
RELAY = ["saturation", "saturation_p50", "saturation_p99", "saturation_p999", "cpu_per_100k",
         "fixed_rate", "fixed_p50", "fixed_p99", "fixed_p999"]


def fail(text):
    print("bench smoke: " + text)
    sys.exit(1)


with tempfile.TemporaryDirectory() as work:
    out = os.path.join(work, "bench.json")
    run = subprocess.run([bench, "--quick", "--controller", controller, "--json", out,
                          "--logs", work], capture_output=True, text=True, timeout=90)
    if run.returncode != 0:
        fail("exit status %d\n%s" % (run.returncode, run.stderr))
    with open(out) as data:
        report = json.load(data)
    if not os.path.exists(os.path.join(work, "bench-controller-1api.log")):
        fail("no controller log")

machine = report["machine"]
if machine["cores"] < 1 or machine["memory_kib"] < 1:
    fail("no machine description: %r" % machine)

figures = {f["key"]: f for section in report["sections"] for f in section["figures"]}
servers = ["1api", "4api"] if "saturation_4api" in figures else ["1api"]
wanted = ALWAYS + ["%s_%s" % (key, count) for key in RELAY for count in servers]
missing = [key for key in wanted if key not in figures]
if missing:
    fail("figures missing: %s" % missing)
for key in wanted:
    figure = figures[key]
    if set(figure["controller"]) != RUN_KEYS or len(figure["controller"]["runs"]) != 1:
        fail("%s: controller runs malformed: %r" % (key, figure["controller"]))
    if key.startswith(tuple(RELAY)):
        if "bare_relay" not in figure or "ratio" not in figure:
            fail("%s has no bare-relay figure" % key)
# The quick fleet is 200 devices; every one is admitted and held.
if figures["fleet_held"]["controller"]["median"] != 200:
    fail("fleet held: %r" % figures["fleet_held"]["controller"])
if "target" in figures["admission_rate"]:
    fail("a quick run judges no targets")
for line in ["Machine: ", "Admission: fleet of 200 devices", "round trips at saturation",
             "Figures written to "]:
    if line not in run.stdout:
        fail("table lacks %r:\n%s" % (line, run.stdout))
print("bench smoke: %d figures" % len(figures))
