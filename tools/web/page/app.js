// app.js: the console page: loads the history from the store, follows the
// live stream, and ties the table, filters, targets, level control, rate
// chart, detail panel and download together. The audit trail's level
// changes over the loaded range are marks in the table at their time,
// kept apart from the records (state.marks): no count, chart, histogram,
// filter box or download takes them for records.

import { watchAlerts } from './alerts.js';
import { getJson } from './api.js';
import { auditText, compact, full, isMark } from './entry.js';
import { RateChart } from './chart.js';
import { Histogram } from './histogram.js';
import { byName, compile, errorBox, fillForm, isEmpty, readForm, readUrl, sameServerPart, serverQuery, syncChecks, writeUrl } from './filters.js';
import { LevelPanel } from './levels.js';
import { Stream } from './stream.js';
import { Table, formatTime, gapText, sameDay } from './table.js';
import { renderTargets } from './targets.js';

const $ = id => document.getElementById(id);
const HISTORY = 100000;   // records loaded from the store at start
const FIRST = 2000;       // the first page, shown at once
const PAGE = 20000;       // each older page after it
const KEEP = 500000;      // the page drops the oldest beyond this

const els = {
  grep: $('f-grep'), exclude: $('f-exclude'), ignoreCase: $('f-ignore-case'), match: $('f-match'), since: $('f-since'), until: $('f-until'),
  levels: $('f-levels'), targets: $('f-targets'), components: $('f-components'),
};
const state = { generation: 0, paging: false, all: [], marks: [], markIds: new Set(), filter: readUrl(), test: null, untimed: null, lastId: 0, levelNames: new Set(), levelRank: new Map(), targetNames: new Set(), componentNames: new Set(), detailKey: null };
state.test = compile(state.filter);

// The histogram counts what every filter but the time range keeps: the
// range is what it sets, shaded over the rest.
function untimed(f) { return compile({ ...f, since: null, until: null }); }
function recountHistogram() {
  histogram.set(state.all.filter(state.untimed), { since: state.filter.since, until: state.filter.until });
}

const table = new Table($('viewport'), $('spacer'), $('new-records'), showDetail);
const chart = new RateChart($('chart'), goToTime);
const histogram = new Histogram($('histogram'), setTimeRange);
const levels = new LevelPanel({ panel: $('levels'), name: $('levels-target'), components: $('levels-components'),
                                duration: $('levels-for'), all: $('levels-all'), close: $('levels-close'),
                                audit: $('levels-audit') });
const stream = new Stream(onEntries, onMarks, onTargets, setStatus);
window.tarvinConsole = { table, state, histogram };  // for the benchmark (bench/web_console.mjs)

function setStatus(s) {
  $('status').textContent = s;
  $('status').className = 'status ' + (s === 'live' ? 'live' : 'down');
}

function counts() {
  $('counts').textContent = `${table.rows.length - table.marks} shown of ${state.all.length} loaded` +
    (state.paging ? ', loading older records' : '');
}

// Level, target and component check boxes follow what the records name.
function learn(entries) {
  const fresh = { level: [], target: [], component: [] };
  for (const e of entries) {
    if (!state.targetNames.has(e.target)) { state.targetNames.add(e.target); fresh.target.push(e.target); }
    if (e.type !== 'record') continue;
    if (!state.levelNames.has(e.level)) {
      state.levelNames.add(e.level);
      state.levelRank.set(e.level, e.client_level ?? -1);
      fresh.level.push(e.level);
    }
    if (!state.componentNames.has(e.component)) { state.componentNames.add(e.component); fresh.component.push(e.component); }
  }
  if (fresh.level.length) syncChecks(els.levels, fresh.level, state.filter.level, applyForm, bySeverity);
  if (fresh.target.length) syncChecks(els.targets, fresh.target, state.filter.target, applyForm);
  if (fresh.component.length) syncChecks(els.components, fresh.component, state.filter.component, applyForm);
}

// The most severe level first (the highest client level), then by name.
function bySeverity(a, b) {
  return state.levelRank.get(b) - state.levelRank.get(a) || byName(a, b);
}

// The date shows beside the time once the loaded records span days.
function datesShown() {
  const all = state.all;
  table.setWithDate(all.length > 1 && !sameDay(all[0].received, all[all.length - 1].received));
}

function onEntries(entries) {
  for (const e of entries) state.all.push(e);
  state.lastId = Math.max(state.lastId, entries[entries.length - 1].id);
  learn(entries);
  chart.add(entries);
  table.append(entries.filter(state.test));
  for (const e of entries) if (state.untimed(e)) histogram.entries.push(e);
  histogram.changed();
  if (state.all.length > KEEP) {
    const drop = state.all.length - KEEP;
    const oldest = state.all[drop].id, since = state.all[drop].receivedText;
    state.all.splice(0, drop);
    const older = e => (isMark(e) ? e.receivedText < since : e.id < oldest);
    let n = 0;
    while (n < table.rows.length && older(table.rows[n])) n++;
    if (n) table.dropFront(n);
    let k = 0;
    while (k < state.marks.length && older(state.marks[k])) state.markIds.delete(state.marks[k++].id);
    if (k) state.marks.splice(0, k);
    const counted = histogram.entries;
    let m = 0;
    while (m < counted.length && counted[m].id < oldest) m++;
    if (m) counted.splice(0, m);
  }
  datesShown();
  counts();
}

// `rows` (records and gaps in the order loaded) with the marks among them
// at their times, each after the rows of its own time.
function withMarks(rows, marks) {
  if (!marks.length) return rows;
  const out = [];
  let m = 0;
  for (const e of rows) {
    while (m < marks.length && marks[m].receivedText < e.receivedText) out.push(marks[m++]);
    out.push(e);
  }
  while (m < marks.length) out.push(marks[m++]);
  return out;
}

// The view: the loaded entries and marks that pass the filters.
function view() {
  return withMarks(state.all.filter(state.test), state.marks.filter(state.test));
}

// Level changes, from the stream (live, and those since the oldest record
// loaded) or an older page's range; one the page knows already (a
// reconnected stream sends them again) is left out.
function addMarks(marks, show) {
  for (const m of marks) {
    if (state.markIds.has(m.id)) continue;
    state.markIds.add(m.id);
    let i = state.marks.length;
    while (i > 0 && state.marks[i - 1].receivedText > m.receivedText) i--;
    state.marks.splice(i, 0, m);
    if (show && state.test(m)) table.insert(m);
  }
}

function onMarks(marks) {
  addMarks(marks, true);
  if (marks.some(m => m.target === levels.target)) levels.reloadAudit();
  counts();
}

function onTargets(targets, viewer) {
  renderTargets($('targets'), targets, target => levels.open(target), viewer);
}

// The server's part of the filters: the regexes and the full-text query
// (the rest applies in the page); history newest first, shown oldest
// first. The live stream takes the same parameters, so what arrives is
// selected as the history was.
function storeQuery() {
  return serverQuery(state.filter);
}

// A page of history holds `limit` records, and the gaps among them beside
// that: a full page, the sign that older records are left, is counted in
// records only.
function recordsIn(entries) {
  let n = 0;
  for (const e of entries) if (e.type === 'record') n++;
  return n;
}

// The newest records first, so the view shows at once; then older pages
// until HISTORY are loaded. A new load (another regex or full-text query)
// ends the paging of the one before.
async function load() {
  stream.close();
  const generation = ++state.generation;
  const first = storeQuery();
  first.set('limit', FIRST);
  let body, refused = false;
  try {
    body = await getJson('/api/records', first);
    for (const box of ['grep', 'exclude', 'match']) showError(box, '');
  } catch (error) {
    // A regex or full-text query the server refuses is said beside its
    // box; no stream follows it (the server would refuse that too).
    if (generation !== state.generation) return;
    const said = errorBox(error.message, state.filter);
    for (const box of ['grep', 'exclude', 'match']) showError(box, said && said.box === box ? said.text : '');
    if (!said) setStatus(`error: ${error.message}`);
    else refused = true;
    body = { records: [], last_id: 0 };
  }
  if (generation !== state.generation) return;
  state.all = body.records.reverse().map(compact);
  state.marks = [];
  state.markIds = new Set();
  state.lastId = body.last_id;
  learn(state.all);
  datesShown();
  chart.clear();
  chart.add(state.all);
  chart.draw();
  table.setRows(view());
  recountHistogram();
  counts();
  if (refused) return setStatus('paused: a filter is refused');
  // The stream brings the level changes from the oldest record loaded on.
  stream.open(storeQuery(), state.lastId, state.all.length ? state.all[0].received : Date.now());
  let more = recordsIn(body.records) === FIRST;
  state.paging = more;
  counts();
  while (more && state.all.length < HISTORY) {
    const page = storeQuery();
    page.set('limit', PAGE);
    page.set('before', state.all[0].id);
    const older = (await getJson('/api/records', page)).records.reverse().map(compact);
    if (generation !== state.generation) return;
    // The level changes of the page's range: the stream has those from the
    // record after it on.
    let marks = [];
    if (older.length) {
      const range = new URLSearchParams({ since: older[0].received, until: state.all[0].received, limit: 10000 });
      marks = (await getJson('/api/audit', range)).audit.map(compact);
      if (generation !== state.generation) return;
    }
    more = recordsIn(older) === PAGE;
    state.all = older.concat(state.all);
    learn(older);
    chart.add(older);
    const known = marks.filter(m => !state.markIds.has(m.id));
    addMarks(known, false);
    table.prepend(withMarks(older.filter(state.test), known.filter(state.test)));
    recountHistogram();
    datesShown();
    state.paging = more && state.all.length < HISTORY;
    counts();
  }
}

function applyFilter(f) {
  const reload = !sameServerPart(f, state.filter);
  for (const k of ['since', 'until']) if (!f[k + 'Text']) showError(k, '');
  state.filter = f;
  state.test = compile(f);
  state.untimed = untimed(f);
  writeUrl(f);
  if (reload) return load();
  table.setRows(view());
  recountHistogram();
  counts();
}

function applyForm() { applyFilter(readForm(els, state.filter)); }

// A message beside the filter box `name` ('' takes it away).
function showError(name, message) {
  const box = $(`f-${name}-error`);
  box.textContent = message;
  box.hidden = !message;
  els[name].setAttribute('aria-invalid', message ? 'true' : 'false');
}

// since and until given as text in the URL, in ms as the server reads them;
// a bound it cannot read is said beside its box and left out.
async function resolveTimes(f) {
  for (const k of ['since', 'until']) {
    if (!f[k + 'Text']) continue;
    try {
      f[k] = (await getJson('/api/time', new URLSearchParams({ [k]: f[k + 'Text'] })))[k];
      showError(k, '');
    } catch (error) {
      showError(k, error.message);
    }
  }
}

let grepTimer = 0;
els.grep.addEventListener('input', () => { clearTimeout(grepTimer); grepTimer = setTimeout(applyForm, 150); });
els.match.addEventListener('change', applyForm);
els.since.addEventListener('change', applyForm);
els.until.addEventListener('change', applyForm);
els.exclude.addEventListener('input', () => { clearTimeout(grepTimer); grepTimer = setTimeout(applyForm, 150); });
els.ignoreCase.addEventListener('change', applyForm);
$('filters').addEventListener('submit', ev => { ev.preventDefault(); applyForm(); });
$('f-clear').addEventListener('click', () => clearFilters());

async function clearFilters() {
  const empty = readUrl.call(null);
  for (const k of Object.keys(empty)) {
    const v = empty[k];
    empty[k] = Array.isArray(v) ? [] : typeof v === 'string' ? '' : typeof v === 'boolean' ? false : null;
  }
  fillForm(empty, els);
  await applyFilter(empty);
}

function showDetail(e) {
  const dl = $('detail-fields');
  dl.replaceChildren();
  const add = (k, v) => {
    const dt = document.createElement('dt');
    dt.textContent = k;
    const dd = document.createElement('dd');
    dd.textContent = typeof v === 'object' ? JSON.stringify(v) : String(v);
    dl.append(dt, dd);
  };
  const when = isMark(e) ? 'at' : 'received';
  add(when, `${e.receivedText} (${formatTime(e.received)} local)`);
  if (e.type === 'gap') add('gap', gapText(e));
  if (isMark(e)) add('level change', auditText(e));
  for (const [k, v] of Object.entries(full(e))) {
    if (k === when) continue;
    add(k, /mask/.test(k) ? `0x${(v >>> 0).toString(16).toUpperCase().padStart(8, '0')} (${v})` : v);
  }
  $('detail').hidden = false;
  $('detail').dataset.id = e.id;
  state.detailKey = e.key;
  document.body.classList.add('detail-open');
  table.redraw();
}
$('detail-close').addEventListener('click', () => {
  $('detail').hidden = true;
  document.body.classList.remove('detail-open');
  table.redraw();
});
$('detail-context').addEventListener('click', async () => {
  if (!isEmpty(state.filter)) await clearFilters();
  table.reveal(state.detailKey);
});

// A click on the chart: the first shown record of that second.
function goToTime(ms) {
  const rows = table.rows;
  let lo = 0, hi = rows.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (rows[mid].received < ms) lo = mid + 1; else hi = mid; }
  if (lo < rows.length) { table.highlightId = rows[lo].key; table.scrollToIndex(lo); }
}

$('download').addEventListener('click', () => {
  // Records and gaps, as query --json prints them: the marks are the
  // audit trail's (query --audit).
  const lines = table.rows.filter(e => !isMark(e)).map(e => JSON.stringify(full(e))).join('\n') + '\n';
  const a = document.createElement('a');
  a.href = URL.createObjectURL(new Blob([lines], { type: 'application/x-ndjson' }));
  a.download = 'tarvin-records.jsonl';
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
});

// A bar clicked or a span dragged over in the histogram.
function setTimeRange(since, until) {
  const f = { ...state.filter, since, until, sinceText: '', untilText: '' };
  fillForm(f, els);
  applyFilter(f);
}

async function start() {
  await resolveTimes(state.filter);
  state.test = compile(state.filter);
  state.untimed = untimed(state.filter);
  fillForm(state.filter, els);
  watchAlerts($('alerts-panel'), $('alerts'));
  await load();
}
start();
