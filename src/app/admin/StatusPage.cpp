#include "app/admin/StatusPage.hpp"

namespace kelvarin::triggerTesting
{

namespace
{

constexpr char const *pageText = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tt_controller</title>
<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; max-width: 60em; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
h2 { font-size: 1.1em; margin: 1.4em 0 0.4em; }
table { border-collapse: collapse; }
td, th { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; white-space: nowrap; }
th { background: #f3f3f3; }
.num { text-align: right; font-variant-numeric: tabular-nums; }
.good { color: #176b17; }
.bad { color: #b00; }
#updated { color: #666; margin-top: 0; }
svg { border: 1px solid #ccc; background: #fcfcfc; }
.key { display: inline-block; width: 0.8em; height: 0.8em; margin: 0 0.3em 0 1em; }
</style>
</head>
<body>
<h1>tt_controller <span id="version"></span></h1>
<p id="updated">Loading&hellip;</p>

<h2>Summary</h2>
<table>
<tbody>
<tr><th>Started</th><td id="started_at"></td></tr>
<tr><th>Devices online</th><td id="devices_online" class="num"></td></tr>
<tr><th>Device connections</th><td id="device_connections" class="num"></td></tr>
<tr><th>Validations pending</th><td id="validations_pending" class="num"></td></tr>
<tr><th>Tests running</th><td id="tests_running" class="num"></td></tr>
<tr><th>Reports backlog</th><td id="reports_backlog" class="num"></td></tr>
<tr><th>Validator</th><td><span id="validator_endpoint"></span>
  <span id="validator_state"></span></td></tr>
</tbody>
</table>

<h2>API sessions</h2>
<table>
<thead><tr><th>Endpoint</th><th>State</th><th>Queued bytes</th><th>Dropped messages</th></tr>
</thead>
<tbody id="api_sessions"></tbody>
</table>

<h2>Last 15 minutes</h2>
<svg id="plot" width="720" height="220" viewBox="0 0 720 220" role="img"
  aria-label="devices online and tests received"></svg>
<div><span class="key" style="background:#1f77b4"></span>devices online (left scale)
<span class="key" style="background:#d62728"></span>tests received per 5 s (right scale)</div>

<h2>Look up a unit</h2>
<form id="lookup">
<input id="unit" inputmode="numeric" placeholder="unit id" autocomplete="off" size="22">
<button type="submit">Look up</button>
</form>
<p id="lookup_result"></p>
<table id="connections" hidden>
<thead><tr><th>State</th><th>MAC</th><th>Peer</th><th>Connected</th><th>Registered</th>
<th>Admitted</th><th>Tests running</th><th>Queued bytes</th></tr></thead>
<tbody id="connection_rows"></tbody>
</table>

<script>
"use strict";
const period = 5000;
const span = 15 * 60 * 1000;
const samples = []; // {time, online, tests}, oldest first
let testsBefore = null;

function byId(id) { return document.getElementById(id); }
function setText(id, value) { byId(id).textContent = value === null ? "" : String(value); }

function addCell(row, value, className) {
  const cell = row.insertCell();
  cell.textContent = value === null || value === undefined ? "" : String(value);
  if (className) cell.className = className;
  return cell;
}

async function getJson(path) {
  const response = await fetch(path, {cache: "no-store"});
  return {status: response.status, body: await response.json()};
}

function testsReceived(metrics) {
  const found = /^tt_controller_tests_received_total(?:\{[^}]*\})? (\S+)/m.exec(metrics);
  return found ? Number(found[1]) : null;
}

function showStatus(status) {
  setText("version", status.version);
  setText("started_at", status.started_at);
  for (const name of ["devices_online", "device_connections", "validations_pending",
                      "tests_running", "reports_backlog"])
    setText(name, status[name]);
  setText("validator_endpoint",
          status.validator.endpoint === null ? "no address yet" : status.validator.endpoint);
  const state = byId("validator_state");
  state.textContent = status.validator.connected ? "connected" : "not connected";
  state.className = status.validator.connected ? "good" : "bad";
  const rows = byId("api_sessions");
  rows.replaceChildren();
  for (const session of status.api_sessions) {
    const row = rows.insertRow();
    addCell(row, session.endpoint);
    addCell(row, session.state, session.state === "registered" ? "good" : "bad");
    addCell(row, session.queued_bytes, "num");
    addCell(row, session.dropped_messages, "num");
  }
  if (status.api_sessions.length === 0)
    addCell(rows.insertRow(), "none").colSpan = 4;
}

const svgNs = "http://www.w3.org/2000/svg";
function svgElement(name, attributes, parent) {
  const element = document.createElementNS(svgNs, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  parent.appendChild(element);
  return element;
}

function drawPlot(now) {
  const plot = byId("plot");
  plot.replaceChildren();
  const width = 720, height = 220, left = 56, right = 56, top = 12, bottom = 30;
  const w = width - left - right, h = height - top - bottom;
  svgElement("rect", {x: left, y: top, width: w, height: h, fill: "none", stroke: "#999"}, plot);
  for (let minutes = 0; minutes <= 15; minutes += 5) {
    const x = left + w * (15 - minutes) / 15;
    svgElement("line", {x1: x, y1: top, x2: x, y2: top + h, stroke: "#e2e2e2"}, plot);
    svgElement("text", {x: x, y: height - 10, "text-anchor": "middle", "font-size": 11}, plot)
      .textContent = minutes === 0 ? "now" : "-" + minutes + " min";
  }
  const series = [["online", "#1f77b4", left - 6, "end"],
                  ["tests", "#d62728", left + w + 6, "start"]];
  for (const [key, colour, labelX, anchor] of series) {
    const highest = Math.max(1, ...samples.map(sample => sample[key]));
    const points = samples.map(sample =>
      (left + w * (1 - (now - sample.time) / span)).toFixed(1) + "," +
      (top + h * (1 - sample[key] / highest)).toFixed(1));
    svgElement("polyline", {points: points.join(" "), fill: "none", stroke: colour,
                            "stroke-width": 2}, plot);
    // A dot for each poll, so that the first ones show before there is a line.
    for (const point of points) {
      const [x, y] = point.split(",");
      svgElement("circle", {cx: x, cy: y, r: 2.5, fill: colour}, plot);
    }
    svgElement("text", {x: labelX, y: top + 10, "text-anchor": anchor, "font-size": 11,
                        fill: colour}, plot).textContent = String(highest);
    svgElement("text", {x: labelX, y: top + h, "text-anchor": anchor, "font-size": 11,
                        fill: colour}, plot).textContent = "0";
  }
}

async function poll() {
  try {
    const [status, metrics] = await Promise.all([
      getJson("/status.json"),
      fetch("/metrics", {cache: "no-store"}).then(response => response.text())]);
    showStatus(status.body);
    const now = Date.now();
    const total = testsReceived(metrics);
    const received = total !== null && testsBefore !== null ? Math.max(0, total - testsBefore) : 0;
    if (total !== null) testsBefore = total;
    samples.push({time: now, online: status.body.devices_online, tests: received});
    while (samples.length > 0 && samples[0].time < now - span) samples.shift();
    drawPlot(now);
    setText("updated", "Updated " + new Date(now).toISOString().replace(/\.\d+Z$/, "Z"));
  } catch (error) {
    setText("updated", "The controller does not answer: " + error);
  }
}

byId("lookup").addEventListener("submit", async event => {
  event.preventDefault();
  const unit = byId("unit").value.trim();
  const rows = byId("connection_rows");
  rows.replaceChildren();
  byId("connections").hidden = true;
  setText("lookup_result", "Looking up\u2026");
  try {
    const answer = await getJson("/devices/" + encodeURIComponent(unit));
    if (answer.status !== 200) {
      setText("lookup_result", answer.body.error);
      return;
    }
    const device = answer.body;
    setText("lookup_result", "Unit " + device.unit_id + " is " +
            (device.online ? "online" : "not online") + ": " + device.connections.length +
            (device.connections.length === 1 ? " connection" : " connections"));
    for (const connection of device.connections) {
      const row = rows.insertRow();
      addCell(row, connection.state, connection.state === "admitted" ? "good" : "bad");
      addCell(row, connection.mac);
      addCell(row, connection.peer);
      addCell(row, connection.connected_at);
      addCell(row, connection.registered_at);
      addCell(row, connection.admitted_at);
      addCell(row, connection.tests_running, "num");
      addCell(row, connection.queued_bytes, "num");
    }
    byId("connections").hidden = false;
  } catch (error) {
    setText("lookup_result", "The controller does not answer: " + error);
  }
});

poll();
setInterval(poll, period);
</script>
</body>
</html>
)html";

} // namespace

std::shared_ptr<std::string const> statusPage()
{
    static auto const page = std::make_shared<std::string const>(pageText);
    return page;
}

} // namespace kelvarin::triggerTesting
