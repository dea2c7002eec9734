// The line's live page. Everything in the records is untrusted (a device names its own product,
// serial number and version; file names are the user's): it is only ever put in as text
// (textContent, createTextNode), never as markup.
'use strict';

(function () {
  const SVG = 'http://www.w3.org/2000/svg';
  const SHOWN_ATTEMPTS = 50;
  const SUMMARY_DELAY_MS = 1000;
  const SUMMARY_EVERY_MS = 60000;

  const $ = (id) => document.getElementById(id);

  function el(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (className) e.className = className;
    return e;
  }

  function cell(row, text, className) {
    row.appendChild(el('td', text === undefined || text === null || text === '' ? '–' : text,
                       className));
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }

  function percent(x) {
    return typeof x === 'number' ? (100 * x).toFixed(1) + ' %' : '–';
  }

  function timeText(iso) {
    if (!iso) return '–';
    const d = new Date(iso);
    return isNaN(d.getTime()) ? String(iso) : d.toLocaleString();
  }

  function textOf(value) {
    if (value === undefined || value === null) return '';
    return typeof value === 'string' ? value : JSON.stringify(value);
  }

  function baseName(path) {
    const text = textOf(path);
    return text.substring(text.lastIndexOf('/') + 1);
  }

  function resultClass(result) {
    return result === 'success' ? 'pass' : result === 'skipped' ? 'skip' : 'fail';
  }

  async function getJson(url) {
    const response = await fetch(url, { cache: 'no-store' });
    const body = await response.json().catch(() => ({}));
    if (!response.ok) throw new Error(body.error || 'HTTP ' + response.status);
    return body;
  }

  function showProblem(text) {
    const banner = $('banner');
    banner.textContent = text || '';
    banner.hidden = !text;
  }

  function card(parent, value, label, className) {
    const c = el('div', null, 'card');
    c.appendChild(el('div', value, 'value' + (className ? ' ' + className : '')));
    c.appendChild(el('div', label, 'label'));
    parent.appendChild(c);
  }

  function renderTotals(line) {
    const totals = $('totals');
    clear(totals);
    card(totals, line.attempts, 'attempts today');
    card(totals, line.passed, 'passed', 'pass');
    card(totals, line.failed, 'failed', 'fail');
    card(totals, percent(line.firstPassYield), 'first-pass yield (' + line.firstPass + ' of ' +
         line.yieldDevices + ' devices)');
    card(totals, (line.devicesPerHour || 0).toFixed(1), 'devices passed per hour');
  }

  function svg(parent, tag, attributes, text) {
    const e = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, String(v));
    if (text !== undefined) e.textContent = text;
    parent.appendChild(e);
    return e;
  }

  // Passed and failed attempts per hour, stacked bars.
  function renderChart(hours) {
    const chart = $('chart');
    clear(chart);
    const left = 34, top = 8, width = 716, height = 130;
    const most = Math.max(1, ...hours.map((h) => h.passed + h.failed));
    const step = width / Math.max(hours.length, 1);
    for (const f of [0, 0.5, 1]) {
      const y = top + height - f * height;
      svg(chart, 'line', { x1: left, x2: left + width, y1: y, y2: y, class: 'grid' });
      svg(chart, 'text', { x: left - 4, y: y + 3, 'text-anchor': 'end', class: 'axis' },
          String(Math.round(f * most)));
    }
    hours.forEach((h, i) => {
      const x = left + i * step + step * 0.1;
      const w = step * 0.8;
      const hp = (h.passed / most) * height;
      const hf = (h.failed / most) * height;
      const start = new Date(h.start);
      const bar = svg(chart, 'g', {});
      svg(bar, 'title', {}, start.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' }) +
          ': ' + h.passed + ' passed, ' + h.failed + ' failed');
      svg(bar, 'rect', { x: x, y: top + height - hp, width: w, height: hp, class: 'pass' });
      svg(bar, 'rect', { x: x, y: top + height - hp - hf, width: w, height: hf, class: 'fail' });
      if (i % 2 === 0 || hours.length <= 12)
        svg(chart, 'text', { x: x + w / 2, y: top + height + 14, 'text-anchor': 'middle',
                             class: 'axis' }, String(start.getHours()).padStart(2, '0'));
    });
  }

  function lagText(ms) {
    if (typeof ms !== 'number') return '–';
    return ms < 1000 ? ms + ' ms' : (ms / 1000).toFixed(1) + ' s';
  }

  function renderStations(stations) {
    const body = $('stations').tBodies[0];
    clear(body);
    for (const s of stations) {
      const row = body.insertRow();
      cell(row, s.station === null ? '(not named)' : s.station);
      cell(row, s.attempts, 'n');
      cell(row, s.passed, 'n pass');
      cell(row, s.failed, 'n fail');
      cell(row, percent(s.firstPassYield), 'n');
      cell(row, (s.devicesPerHour || 0).toFixed(1), 'n');
      cell(row, timeText(s.lastLineWritten));
      cell(row, lagText(s.shipLagMs), 'n');
    }
  }

  function renderLists(summary) {
    const flagged = $('flagged');
    clear(flagged);
    const line = summary.line;
    for (const [list, kind, key] of [[line.ports, 'port', 'port'],
                                     [line.adapters, 'adapter', 'adapterSerial']]) {
      for (const g of list.filter((g) => g.flagged)) {
        const item = el('li', kind + ' ');
        item.appendChild(el('strong', textOf(g[key])));
        item.appendChild(document.createTextNode(': ' + g.failed + ' of ' + g.attempts +
                                                 ' failed (' + percent(g.failureRate) + ')'));
        flagged.appendChild(item);
      }
    }
    if (!flagged.firstChild) flagged.appendChild(el('li', 'none', 'muted'));
    $('rule').textContent = 'Flagged: ' + summary.flagRule + '.';
    const never = $('never');
    clear(never);
    for (const serial of line.neverPassed) never.appendChild(el('li', serial));
    if (!never.firstChild) never.appendChild(el('li', 'none', 'muted'));
    $('neverCount').textContent = '(' + line.neverPassedCount + ')';
    const jobs = $('jobs').tBodies[0];
    clear(jobs);
    for (const j of summary.jobs) {
      const row = jobs.insertRow();
      cell(row, j.job);
      const quantity = typeof j.quantity === 'number' ? j.quantity : null;
      cell(row, j.passed + ' / ' + (quantity === null ? '–' : quantity), 'n');
      const bar = el('progress');
      if (quantity) { bar.max = quantity; bar.value = Math.min(j.passed, quantity); }
      row.insertCell().appendChild(bar);
    }
  }

  function renderSummary(summary) {
    $('source').textContent = summary.source === 'database' ? 'plant database'
                                                            : 'record file';
    $('since').textContent = 'since ' + timeText(summary.since) + ' (' + summary.timeZone + ')';
    renderTotals(summary.line);
    renderChart(summary.line.hours);
    renderStations(summary.stations);
    renderLists(summary);
    $('footer').textContent = 'Updated ' + timeText(summary.generatedAt) + '.';
  }

  function attemptRow(row, a, withJobFile) {
    cell(row, timeText(a.time));
    cell(row, textOf(a.station));
    cell(row, textOf(a.slot !== undefined ? a.slot : a.port));
    cell(row, textOf(a.serialNumber !== null && a.serialNumber !== undefined
                      ? a.serialNumber : a.serialNumberAfter));
    cell(row, textOf(a.product));
    const before = textOf(a.versionBefore), after = textOf(a.versionAfter);
    cell(row, before || after ? before + ' → ' + after : '');
    cell(row, baseName(a.image));
    cell(row, textOf(a.job));
    if (withJobFile) cell(row, baseName(a.jobFile));
    cell(row, textOf(a.result), resultClass(a.result));
    cell(row, textOf(a.message));
    row.dataset.id = textOf(a.id);
  }

  function addAttempt(a, fresh) {
    const body = $('attempts').tBodies[0];
    for (const row of body.rows) if (row.dataset.id === a.id) return;
    const row = body.insertRow(0);
    attemptRow(row, a, false);
    if (fresh) row.className = 'new';
    while (body.rows.length > SHOWN_ATTEMPTS) body.deleteRow(-1);
  }

  let summaryTimer = null;
  async function loadSummary() {
    summaryTimer = null;
    try {
      renderSummary(await getJson('api/summary'));
      showProblem('');
    } catch (e) {
      showProblem('The figures cannot be read now: ' + e.message);
    }
  }

  function summarySoon() {
    if (summaryTimer === null) summaryTimer = setTimeout(loadSummary, SUMMARY_DELAY_MS);
  }

  async function loadAll() {
    try {
      const list = await getJson('api/attempts?limit=' + SHOWN_ATTEMPTS);
      clear($('attempts').tBodies[0]);
      for (const a of list.attempts) addAttempt(a, false);
    } catch (e) {
      showProblem('The attempts cannot be read now: ' + e.message);
    }
    await loadSummary();
  }

  function setLive(text, on) {
    const live = $('live');
    live.textContent = text;
    live.className = on ? 'live' : 'live off';
  }

  function follow() {
    const events = new EventSource('api/events');
    let lost = false;
    events.onopen = () => {
      setLive('live', true);
      if (lost) loadAll();
      lost = false;
    };
    events.onerror = () => {
      lost = true;
      setLive('reconnecting…', false);
    };
    events.addEventListener('attempt', (e) => {
      addAttempt(JSON.parse(e.data), true);
      summarySoon();
    });
    events.addEventListener('reload', () => loadAll());
    events.addEventListener('status', (e) => {
      const status = JSON.parse(e.data);
      if (status.database === 'down') {
        setLive('database unreachable', false);
        showProblem('The plant database cannot be reached: ' + textOf(status.reason) +
                    ' (the page tries again).');
      } else {
        setLive('live', true);
        showProblem('');
      }
    });
  }

  async function showUnit(serial) {
    const table = $('history');
    const body = table.tBodies[0];
    clear(body);
    try {
      const unit = await getJson('api/units/' + encodeURIComponent(serial));
      for (const a of unit.attempts) attemptRow(body.insertRow(), a, true);
      table.hidden = unit.attempts.length === 0;
      $('historyNote').textContent = unit.attempts.length === 0
        ? 'No attempt on a device with serial number ' + serial + '.'
        : unit.attempts.length + ' attempts' + (unit.truncated ? ' (the latest)' : '') + '.';
    } catch (e) {
      table.hidden = true;
      $('historyNote').textContent = 'The history cannot be read now: ' + e.message;
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('search').addEventListener('submit', (e) => {
      e.preventDefault();
      const serial = $('serial').value.trim();
      if (serial) showUnit(serial);
    });
    loadAll();
    follow();
    setInterval(loadSummary, SUMMARY_EVERY_MS);
  });
})();
