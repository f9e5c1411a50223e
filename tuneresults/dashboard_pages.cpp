// The dashboard's pages: one HTML shell for every view, carrying the view's
// JSON answer in a data element, and the script that builds the page from
// it. No value of the store is written into the HTML itself; the script sets
// it as text (textContent), so nothing a report holds can become markup.
#include "tuneresults/dashboard.h"

namespace {

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tuneresults</title>
<style>
body { font: 14px/1.4 sans-serif; margin: 0 1.5em 2em; color: #222; }
nav { padding: .6em 0; border-bottom: 1px solid #ccc; margin-bottom: 1em; }
nav a { margin-right: 1.2em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.4em; } h3 { font-size: 1em; }
table { border-collapse: collapse; margin: .4em 0; }
th, td { border: 1px solid #ddd; padding: 2px 8px; text-align: left; vertical-align: top; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
.plot { position: relative; height: 280px; max-width: 900px; }
.series { display: grid; grid-template-columns: repeat(auto-fill, minmax(380px, 1fr)); gap: 0 1.5em; }
.series .plot { height: 190px; }
.error { color: #a00; font-weight: bold; }
.fail { color: #a00; } .pass { color: #070; }
.note { color: #666; }
</style>
</head>
<body>
<nav><a href="/">Line</a><a href="/pareto">Pareto</a></nav>
<main id="view"><p class="note">Loading...</p></main>
<script id="answer" type="application/json">)";

const char kTail[] = R"(</script>
<script src="/static/chart.js"></script>
<script src="/static/dashboard.js"></script>
</body>
</html>
)";

const char kScript[] = R"js('use strict';
// Builds the page from the JSON answer embedded in it; every value is set as
// text. The line view fetches its answer again every 10 seconds.
(function () {
  const page = JSON.parse(document.getElementById('answer').textContent);
  const main = document.getElementById('view');

  function el(tag, text, className) {
    const node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    if (className) node.className = className;
    return node;
  }
  function add(parent, tag, text, className) {
    return parent.appendChild(el(tag, text, className));
  }
  function show(value) {
    if (value === null || value === undefined) return '-';
    if (typeof value === 'number' && !Number.isInteger(value)) return String(Number(value.toFixed(4)));
    return String(value);
  }
  function link(text, path, key, value) {
    const a = el('a', text);
    a.href = path + '?' + key + '=' + encodeURIComponent(value);
    return a;
  }
  // columns: [key, title, kind] with kind 'unit', 'measurement' or undefined.
  function table(parent, columns, rows, id) {
    const t = add(parent, 'table');
    if (id) t.id = id;
    const head = t.createTHead().insertRow();
    for (const [, title] of columns) head.appendChild(el('th', title));
    const body = t.createTBody();
    for (const row of rows) {
      const tr = body.insertRow();
      for (const [key, , kind] of columns) {
        const value = row[key];
        const td = tr.insertCell();
        if (typeof value === 'number') td.className = 'number';
        if (kind === 'unit' && value) td.appendChild(link(value, '/unit', 'id', value));
        else if (kind === 'measurement' && value) td.appendChild(link(value, '/measurement', 'name', value));
        else td.textContent = show(value);
        if (value === 'FAIL' || value === 'ERROR') td.className = 'fail';
        if (value === 'PASS') td.className = 'pass';
      }
    }
    if (rows.length === 0) add(parent, 'p', 'Nothing yet.', 'note');
    return t;
  }
  // The page is ready (body data-ready="yes") once it is built and every
  // plot in view is drawn.
  function ready() {
    if (waiting === 0) document.body.dataset.ready = 'yes';
  }
  // A plot out of view is drawn when it comes near it: a unit's page has a
  // plot per series, two dozen, that all at once kept the browser busy for
  // a second.
  let waiting = 0;
  const watcher = 'IntersectionObserver' in window ? new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const box = entry.target;
      if (!box.seen) {
        box.seen = true;
        waiting--;
      }
      if (entry.isIntersecting) {
        watcher.unobserve(box);
        box.draw();
      }
    }
    ready();
  }, {rootMargin: '300px'}) : null;
  function plot(parent, id, config, lazy) {
    const box = add(parent, 'div', null, 'plot');
    const canvas = add(box, 'canvas');
    canvas.id = id;
    if (typeof Chart === 'undefined') {
      box.replaceChildren(el('p', 'Plots need Chart.js on the server (libjs-chart.js).', 'error'));
      return;
    }
    config.options = Object.assign({animation: false, maintainAspectRatio: false}, config.options || {});
    box.draw = () => new Chart(canvas, config);
    if (lazy && watcher) {
      waiting++;
      watcher.observe(box);
    } else {
      box.draw();
    }
  }

  function line(body) {
    add(main, 'h1', 'The line now');
    add(main, 'p', 'As of ' + body.generated_at + ' (refreshed every 10 s)', 'note').id = 'generated';
    const columns = [['station', 'Station'], ['units', 'Units'], ['runs', 'Runs'],
      ['first_pass_yield', 'First-pass yield %'], ['final_yield', 'Final yield %']];
    const stations = [...new Set([...body.yield_week.rows, ...body.yield_today.rows]
      .map((r) => show(r.station)))].sort();
    const yieldOf = (rows) => stations.map((s) => {
      const row = rows.find((r) => show(r.station) === s);
      return row ? row.first_pass_yield : null;
    });
    plot(main, 'yield-chart', {type: 'bar', data: {labels: stations, datasets: [
      {label: 'First-pass yield today %', data: yieldOf(body.yield_today.rows), backgroundColor: '#3b7dd8'},
      {label: 'First-pass yield, 7 days %', data: yieldOf(body.yield_week.rows), backgroundColor: '#9bbce8'}]},
    options: {scales: {y: {min: 0, max: 100}}}});
    add(main, 'h2', 'Yield today (since ' + body.yield_today.since + ')');
    table(main, columns, body.yield_today.rows, 'yield-today');
    add(main, 'h2', 'Yield, last 7 days (since ' + body.yield_week.since + ')');
    table(main, columns, body.yield_week.rows, 'yield-week');
    add(main, 'h2', 'Latest runs');
    table(main, [['dut_id', 'Unit', 'unit'], ['station', 'Station'], ['fixture', 'Fixture'],
      ['operator', 'Operator'], ['start_time', 'Start'], ['end_time', 'End'], ['result', 'Result'],
      ['status', 'Status']], body.runs.map((r) => Object.assign({}, r,
      {end_time: r.end_time === null ? 'in progress or cut short' : r.end_time})), 'runs');
    add(main, 'h2', 'Last failures');
    table(main, [['dut_id', 'Unit', 'unit'], ['start_time', 'Start'], ['station', 'Station'],
      ['result', 'Result'], ['kind', 'Kind'], ['step', 'Step'], ['detail', 'Cause']], body.failures, 'failures');
  }

  function pareto(body) {
    add(main, 'h1', 'Failure Pareto');
    const rows = body.rows;
    plot(main, 'pareto-chart', {type: 'bar', data: {
      labels: rows.map((r) => r.kind + ': ' + r.name),
      datasets: [{label: 'Failures', data: rows.map((r) => r.count), backgroundColor: '#d8533b'}]},
    options: {indexAxis: 'y'}});
    table(main, [['kind', 'Kind'], ['name', 'Name'], ['count', 'Count'], ['runs', 'Runs'], ['share', 'Share %'],
      ['cumulative', 'Cumulative %']], rows.map((r) => r), 'pareto');
    const cells = document.querySelectorAll('#pareto tbody tr');
    rows.forEach((r, i) => {
      if (r.kind === 'measurement') cells[i].cells[1].replaceChildren(link(r.name, '/measurement', 'name', r.name));
    });
  }

  function measurement(body) {
    const s = body.stats;
    add(main, 'h1', 'Measurement ' + body.name);
    table(main, [['unit', 'Unit'], ['count', 'Count'], ['mean', 'Mean'], ['std_dev', 'Std dev'], ['min', 'Min'],
      ['max', 'Max'], ['low_limit', 'Low limit'], ['high_limit', 'High limit'], ['cp', 'Cp'], ['cpk', 'Cpk'],
      ['outside', 'Outside']], [s], 'stats');
    add(main, 'h2', 'Histogram (limits ' + show(s.low_limit) + ' to ' + show(s.high_limit) + ')');
    const outside = (b) => (s.low_limit !== null && b.high <= s.low_limit) ||
      (s.high_limit !== null && b.low >= s.high_limit);
    plot(main, 'histogram-chart', {type: 'bar', data: {
      labels: body.histogram.map((b) => show(b.low) + ' to ' + show(b.high)),
      datasets: [{label: 'Values', data: body.histogram.map((b) => b.count), barPercentage: 1,
        categoryPercentage: 1, backgroundColor: body.histogram.map((b) => outside(b) ? '#d8533b' : '#3b7dd8')}]}});
    add(main, 'h2', 'Trend (latest ' + body.trend.length + ' values)');
    const labels = body.trend.map((p) => p.start_time);
    const datasets = [{label: body.name, data: body.trend.map((p) => p.value), borderColor: '#3b7dd8',
      pointRadius: 2}];
    for (const [key, title] of [['low_limit', 'Low limit'], ['high_limit', 'High limit']]) {
      if (s[key] !== null) datasets.push({label: title, data: labels.map(() => s[key]), borderColor: '#d8533b',
        pointRadius: 0, borderDash: [6, 4]});
    }
    plot(main, 'trend-chart', {type: 'line', data: {labels: labels, datasets: datasets},
      options: {scales: {x: {ticks: {maxTicksLimit: 8}}}}});
  }

  function unit(body) {
    add(main, 'h1', 'Unit ' + body.id).id = 'unit-title';
    table(main, [['attempt', 'Attempt'], ['start_time', 'Start'], ['end_time', 'End'], ['station', 'Station'],
      ['fixture', 'Fixture'], ['operator', 'Operator'], ['result', 'Result'], ['status', 'Status'],
      ['failed_verdicts', 'Failed verdicts']], body.runs, 'history');
    const last = body.runs[body.runs.length - 1];
    add(main, 'h2', 'Series of the last run');
    const grid = add(main, 'div', null, 'series');
    // The spectrum first: it is what a unit is usually looked up for.
    const order = body.series.map((series, i) => i)
      .sort((a, b) => /spectrum/i.test(body.series[b].name) - /spectrum/i.test(body.series[a].name) || a - b);
    for (const i of order) {
      const series = body.series[i];
      const cell = add(grid, 'div');
      add(cell, 'h3', series.name + (series.unit ? ' (' + series.unit + ')' : ''));
      plot(cell, 'series-chart-' + i, {type: 'line', data: {labels: series.values.map((v, k) => k),
        datasets: [{label: series.name, data: series.values, borderColor: '#3b7dd8', pointRadius: 0}]},
      options: {plugins: {legend: {display: false}}}}, true);
    }
    for (const run of body.runs.slice().reverse()) {
      const section = add(main, 'section');
      add(section, 'h2', 'Run ' + run.attempt + ': ' + show(run.result) + ' at ' + show(run.station) + ', ' +
        show(run.start_time) + (run === last ? ' (last)' : ''));
      const steps = {};
      for (const step of run.steps) steps[step.step_id] = step.name;
      const named = (rows) => rows.map((r) => Object.assign({}, r, {step: steps[r.step_id]}));
      add(section, 'h3', 'Steps');
      table(section, [['name', 'Step'], ['status', 'Status'], ['start_time', 'Start'], ['end_time', 'End']],
        run.steps);
      add(section, 'h3', 'Measurements');
      table(section, [['step', 'Step'], ['name', 'Measurement', 'measurement'], ['value', 'Value'],
        ['text_value', 'Text'], ['unit', 'Unit'], ['low_limit', 'Low limit'], ['high_limit', 'High limit'],
        ['verdict', 'Within limits']], named(run.measurements).map((m) => Object.assign(m,
        {verdict: m.pass === null ? null : m.pass ? 'PASS' : 'FAIL'})));
      add(section, 'h3', 'Verdicts');
      table(section, [['step', 'Step'], ['verdict', 'Verdict'], ['type', 'Type'], ['message', 'Message']],
        named(run.diagnoses));
      add(section, 'h3', 'Logs');
      table(section, [['step', 'Step'], ['severity', 'Severity'], ['symptom', 'Symptom'], ['message', 'Message']],
        named(run.logs));
    }
  }

  const views = {line: line, pareto: pareto, measurement: measurement, unit: unit};
  function render(status, body) {
    main.replaceChildren();
    if (status !== 200) {
      add(main, 'h1', 'Error ' + status);
      add(main, 'p', body.error, 'error').id = 'error';
      return;
    }
    views[page.view](body);
  }
  render(page.status, page.body);
  ready();
  if (page.view === 'line') {
    setInterval(function () {
      fetch('/api/line').then((r) => r.json().then((b) => render(r.status, b)))
        .catch(() => render(503, {error: 'the dashboard server does not answer'}));
    }, 10000);
  }
})();
)js";

} // namespace

std::string DashboardPage(const std::string &view, const ViewAnswer &answer)
{
    nlohmann::ordered_json page = {{"view", view}, {"status", answer.status}, {"body", answer.body}};
    return kHead + JsonText(page) + kTail;
}

const char *DashboardScript()
{
    return kScript;
}
