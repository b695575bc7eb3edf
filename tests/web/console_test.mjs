// tests/web/console_test.mjs
//
// The web console in a real browser: headless chromium (Debian's) driven by
// playwright-core, against real example hosts, a scripted target and a real
// `tarvin-remote web`, all in the network namespace ctest's launcher made.
// One browser, the cases in groups; each prints "ok NAME" or "FAIL NAME:
// why", and any failure gives exit 1. A screenshot of the live view goes to
// --artifacts.
//
// Threads: one Node event loop; the processes are children of it.
import { execFile, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';

const run = promisify(execFile);
const arg = name => process.argv[process.argv.indexOf('--' + name) + 1];
const bin = { remote: arg('remote'), host: arg('host'), scripted: arg('scripted'), chromium: arg('chromium') };
const artifacts = arg('artifacts');
const tmp = mkdtempSync(join(tmpdir(), 'tarvin-web-test.'));
const children = [];
const sleep = ms => new Promise(r => setTimeout(r, ms));

function start(file, args) {
  const child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  children.push(child);
  child.lines = [];
  child.waiters = [];
  let rest = '';
  child.stdout.on('data', chunk => {
    const parts = (rest + chunk).split('\n');
    rest = parts.pop();
    for (const line of parts) {
      child.lines.push(line);
      child.waiters = child.waiters.filter(w => !w(line));
    }
  });
  child.stderr.on('data', chunk => { child.stderrText = (child.stderrText || '') + chunk; });
  return child;
}

// The first line of `child` matching `re` (also one already printed).
function line(child, re, ms = 10000) {
  const seen = child.lines.find(l => re.test(l));
  if (seen) return Promise.resolve(seen.match(re));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no line ${re} from ${child.spawnfile}: ${child.stderrText || ''}`)), ms);
    child.waiters.push(l => { if (!re.test(l)) return false; clearTimeout(timer); resolve(l.match(re)); return true; });
  });
}

async function command(child, text) {
  const before = child.lines.length;
  child.stdin.write(text + '\n');
  for (let i = 0; i < 500 && child.lines.slice(before).filter(l => l === 'ok').length === 0; i++) await sleep(10);
}

async function until(what, test, ms = 8000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(100);
  }
}

async function curl(url, ...options) {
  const { stdout } = await run('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', ...options, url]);
  return Number(stdout);
}

const failures = [];
async function check(name, body) {
  const t0 = Date.now();
  try {
    await body();
    console.log(`ok ${name} (${Date.now() - t0} ms)`);
  } catch (error) {
    failures.push(name);
    console.log(`FAIL ${name}: ${error.message}`);
  }
}
function expect(condition, message) { if (!condition) throw new Error(message); }

// ---- the scene: two example hosts, a scripted target, the console ----
const db = join(tmp, 'web.db');
const hostA = start(bin.host, ['--rate', '100', '--threads', '2', '--duration', '90']);
const portA = (await line(hostA, /^target port (\d+)/))[1];
const hostB = start(bin.host, ['--rate', '50', '--duration', '90', '--name', 'second-host']);
const portB = (await line(hostB, /^target port (\d+)/))[1];
const scripted = start(bin.scripted, []);
const portS = (await line(scripted, /^port (\d+)/))[1];
const targetA = `127.0.0.1:${portA}`, targetS = `127.0.0.1:${portS}`;
const web = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', db, targetA, `127.0.0.1:${portB}`, targetS]);
const base = (await line(web, /^web console at (http:\S+)/))[1];

const browser = await chromium.launch({ executablePath: bin.chromium, args: ['--no-sandbox'] });
const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
page.on('pageerror', e => console.log('page error:', e.message));
const rows = () => page.evaluate(() => window.tarvinConsole.table.rows.map(e => ({ ...e })));
const rowCount = () => page.evaluate(() => window.tarvinConsole.table.rows.length);
const shownKey = e => `${e.target}#${e.sequence}`;

async function queryKeys(...args) {
  const { stdout } = await run(bin.remote, ['query', '--db', db, '--json', ...args], { maxBuffer: 1 << 26 });
  return stdout.split('\n').filter(Boolean).map(l => JSON.parse(l)).filter(r => 'sequence' in r && 'source' in r)
    .map(r => `${r.source}#${r.sequence}`).sort();
}

await check('records appear live', async () => {
  await page.goto(base);
  await until('records in the table', async () => (await rowCount()) > 20);
  const newest = await page.evaluate(() => window.tarvinConsole.state.lastId);
  await until('a record newer than the first load', async () =>
    page.evaluate(id => window.tarvinConsole.table.rows.some(e => e.id > id), newest));
  expect(await page.locator('#status').textContent() === 'live', 'the stream is not live');
  await until('both hosts in the targets panel', async () => (await page.locator('.target[data-state="following"]').count()) >= 2);
  await sleep(1200);  // one more second on the rate chart
  await page.screenshot({ path: join(artifacts, 'web-console.png') });
  // Scrolled up, the view holds still and counts what came.
  await page.locator('#viewport').evaluate(v => { v.scrollTop = 0; });
  const more = page.locator('#new-records');
  await until('"N new records"', async () => (await more.isVisible()) && /^\d+ new records?$/.test(await more.textContent()));
  expect(await page.locator('#viewport').evaluate(v => v.scrollTop) === 0, 'the held view moved');
  await more.click();
  await until('live again', () => page.evaluate(() => window.tarvinConsole.table.following));
});

// Whatever the page draws of `selector`, measured in the page: the text,
// whether it fits its box, and the words a line break cut in two.
const drawnCells = selector => page.evaluate(sel => {
  const v = document.getElementById('viewport').getBoundingClientRect();
  return [...document.querySelectorAll(sel)].filter(c => {
    const b = c.getBoundingClientRect();
    return b.width > 0 && b.bottom > v.top && b.top < v.bottom;
  }).map(c => ({ text: c.textContent, title: c.title, fits: c.scrollWidth <= c.clientWidth,
                 id: c.parentElement._id, left: c.getBoundingClientRect().left,
                 right: c.getBoundingClientRect().right }));
}, selector);
const brokenWords = root => page.evaluate(id => {
  const broken = [];
  const walker = document.createTreeWalker(document.getElementById(id), NodeFilter.SHOW_TEXT);
  for (let n; (n = walker.nextNode());) {
    for (const m of n.data.matchAll(/\S+/g)) {
      const r = document.createRange();
      r.setStart(n, m.index);
      r.setEnd(n, m.index + m[0].length);
      if (new Set([...r.getClientRects()].map(x => Math.round(x.top))).size > 1) broken.push(m[0]);
    }
  }
  return broken;
}, root);
const checkOrder = box => page.locator(`#${box} input`).evaluateAll(l => l.map(i => i.value));

await check('the layout reads at a glance', async () => {
  await page.goto(base);
  await until('rows and three targets', async () => (await rowCount()) > 50 &&
    (await page.locator('.target').count()) === 3);
  // file:line: the line number and the file name in view, the path cut from the left.
  const places = await drawnCells('.row:not([hidden]):not(.gap) .fl');
  const byId = new Map((await rows()).map(e => [e.id, e]));
  expect(places.length > 10, 'no file:line drawn');
  for (const p of places) {
    const e = byId.get(p.id);
    const name = e.file.split('/').pop();
    expect(p.fits && p.text.endsWith(`/${name}:${e.line}`) && p.title === `${e.file}:${e.line}`,
      `file:line shows "${p.text}" (fits: ${p.fits}) for ${e.file}:${e.line}`);
  }
  const times = await drawnCells('.row:not([hidden]) .t');
  expect(times.every(t => t.fits && /^\d\d:\d\d:\d\d\.\d{3}$/.test(t.text)), `times: ${times[0]?.text}`);
  // The targets panel breaks lines between words only; the uuid is short, whole on hover.
  const broken = await brokenWords('targets');
  expect(broken.length === 0, `words broken in the targets panel: ${broken.join(' ')}`);
  const uuids = await page.locator('.target .uuid').evaluateAll(l => l.map(u => [u.textContent, u.title]));
  expect(uuids.length === 3 && uuids.every(([text, title]) => /^[0-9a-f]{32}$/.test(title) && text.length < 20 &&
    text.startsWith(`uuid ${title.slice(0, 8)}`)), `uuids: ${JSON.stringify(uuids)}`);
  // Filter boxes: levels by severity, the most severe first; names sorted.
  const rank = new Map((await rows()).filter(e => e.type === 'record').map(e => [e.level, e.client_level]));
  const levels = await checkOrder('f-levels');
  expect(levels.length >= 3 && levels.every((l, k) => k === 0 || rank.get(levels[k - 1]) > rank.get(l)),
    `levels in the order ${levels}`);
  for (const box of ['f-targets', 'f-components']) {
    const names = await checkOrder(box);
    const sorted = [...names].sort((a, b) => a.localeCompare(b, undefined, { numeric: true }));
    expect(names.length >= 2 && JSON.stringify(names) === JSON.stringify(sorted), `${box} in the order ${names}`);
  }
  // An open record sits beside the table; the text column stays in view.
  await until('the detail', async () => {
    await page.locator('.row:not([hidden]):not(.gap)').first().click();
    return page.locator('#detail').isVisible();
  });
  const detail = await page.locator('#detail').boundingBox();
  const texts = await drawnCells('.row:not([hidden]) .tx');
  expect(texts.length > 10 && texts.every(t => t.right - t.left >= 150 && t.right <= detail.x + 1),
    `the text column beside the open record: ${JSON.stringify(texts[0])}, detail at ${detail.x}`);
  const stillPlaced = await drawnCells('.row:not([hidden]):not(.gap) .fl');
  expect(stillPlaced.every(p => p.fits), 'file:line overflows beside the open record');
  await page.locator('#detail-close').click();
});

// A store with records two days old beside today's, that a recorder goes on
// writing: a viewer's.
const old = join(tmp, 'old.db');
await run(bin.remote, ['record', '--db', old, '--duration', '2s', `127.0.0.1:${portB}`]);
await run('sqlite3', [old, 'UPDATE records SET received_ns = received_ns - 172800000000000 ' +
  'WHERE id <= (SELECT (min(id) + max(id)) / 2 FROM records)']);

// The histogram over two days of records: bars that fit, every loaded
// record counted, and a drag over bars or a click on one sets the time
// filter to their intervals.
async function histogramSetsTheRange() {
  const box = await page.locator('#histogram').boundingBox();
  const drawn = await page.evaluate(() => {
    const { histogram, state } = window.tarvinConsole;
    histogram.recount();
    const v = histogram.view;
    return { bins: v.bins.map(b => Object.values(b).reduce((a, n) => a + n, 0)), step: v.step, first: v.first,
             total: v.total, loaded: state.all.filter(e => e.type === 'record').length,
             oldest: state.all[0].received, newest: state.all.at(-1).received };
  });
  const { bins, step, first } = drawn;
  expect(bins.length <= box.width / 4 && bins.length > box.width / 16,
    `${bins.length} bars of ${step} ms in ${box.width} px`);
  expect(drawn.total === drawn.loaded && bins.reduce((a, n) => a + n, 0) === drawn.loaded,
    `the bars count ${drawn.total} of ${drawn.loaded} loaded records`);
  expect(first <= drawn.oldest && drawn.oldest < first + step && bins[0] > 0 &&
    drawn.newest < first + bins.length * step && bins.at(-1) > 0, 'the bars do not span the loaded range');
  const shown = () => page.evaluate(() => {
    const { table, state, histogram } = window.tarvinConsole;
    const { since, until } = state.filter;
    const { first, step, bins } = histogram.view;
    return { since, until, first, step, bars: bins.length, rows: table.rows.length, outside: table.rows.filter(e => e.received < since || e.received >= until).length,
             inRange: state.all.filter(e => e.received >= since && e.received < until).length, url: location.search };
  });
  // A drag over the first third: the older day.
  const y = box.y + box.height / 2;
  const lastDragged = Math.floor(bins.length / 3);
  await page.mouse.move(box.x + 1, y);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * (lastDragged + 0.5) / bins.length, y, { steps: 5 });
  await page.mouse.up();
  let s = await until('a range from the drag', async () => { const v = await shown(); return v.since && v.until && v; }, 2000);
  expect(s.since === s.first && s.until === s.first + (lastDragged + 1) * s.step,
    `the drag set ${s.since}..${s.until}, bars of ${s.step} ms from ${s.first}`);
  expect(s.rows > 0 && s.outside === 0 && s.rows === s.inRange, `the drag shows ${s.rows} rows, ${s.outside} outside, ${s.inRange} in range`);
  expect(/since=\d+/.test(s.url) && /until=\d+/.test(s.url), `the URL has no range: ${s.url}`);
  // A click on the last bar: its interval.
  await page.mouse.click(box.x + box.width - 2, y);
  s = await until('the last bar\'s interval', async () => { const v = await shown(); return v.until - v.since === v.step && v; }, 2000);
  expect(s.since === s.first + (s.bars - 1) * s.step, `the click set ${s.since}..${s.until}`);
  expect(s.rows > 0 && s.outside === 0, `the click shows ${s.rows} rows, ${s.outside} outside`);
  await page.locator('#f-clear').click();
  expect(await page.locator('#chart').isVisible(), 'the live rate chart is gone');
}

async function viewed(viewer, exited) {
  await page.goto((await line(viewer, /^web console at (http:\S+)/))[1]);
  await until('rows', async () => (await rowCount()) > 20);
  const times = await drawnCells('.row:not([hidden]) .t');
  expect(times.length > 10 && times.every(t => t.fits && /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$/.test(t.text)),
    `times: ${JSON.stringify(times[0])}`);
  // Said once the stream brings the (no) targets.
  await until('the targets panel saying it is a viewer', () => page.locator('.viewer-note').isVisible(), 5000);
  await histogramSetsTheRange();
  // What the recorder commits shows live.
  const loaded = await page.evaluate(() => window.tarvinConsole.state.lastId);
  await until('a record the recorder wrote after the load', async () =>
    page.evaluate(id => window.tarvinConsole.table.rows.some(e => e.id > id), loaded));
  viewer.kill('SIGTERM');
  expect(await exited === 0, 'the viewer did not exit 0');
}

await check('a viewer shows a store a recorder writes, with dates when the records span days', async () => {
  const recorder = start(bin.remote, ['record', '--db', old, `127.0.0.1:${portB}`]);
  const viewer = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', old]);
  const exited = new Promise(r => viewer.on('exit', code => r(code)));
  try {
    await viewed(viewer, exited);
  } finally {
    viewer.kill('SIGTERM');
    recorder.kill('SIGINT');
  }
  // No store, no viewer: neither one made up nor an empty page.
  const missing = join(tmp, 'missing.db');
  const cases = [
    ['a store that is not there', ['--db', missing], /missing\.db/],
    ['neither a target nor a store', [], /--db FILE/],
  ];
  for (const [name, args, text] of cases) {
    const refused = await run(bin.remote, ['web', '--listen', '127.0.0.1:0', ...args]).then(() => null, e => e);
    expect(refused && refused.code !== 0 && text.test(refused.stderr), `${name}: ${refused?.stderr ?? 'served'}`);
  }
  expect(!existsSync(missing), 'the viewer created the store it was to read');
});

await check('an alert fires in its panel and opens its records in context', async () => {
  const rules = join(tmp, 'rules.toml');
  writeFileSync(rules, '[[rule]]\nname = "db errors"\ncomponents = ["db"]\nmin_level = "error"\n' +
    'condition = "count >= 2 within 1m"\nannotations = { summary = "{{count}} errors from {{component}}" }\n');
  const alerting = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', join(tmp, 'alerts.db'),
    '--alerts', rules, targetA, `127.0.0.1:${portB}`]);
  try {
    const url = (await line(alerting, /^web console at (http:\S+)/))[1];
    const tab = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    await tab.goto(url);
    const firing = tab.locator('#alerts .alert[data-state="firing"]');
    await until('a firing alert in the panel', async () => (await firing.count()) > 0, 20000);
    const alerts = await tab.evaluate(() => fetch('/api/alerts').then(r => r.json()));
    const alert = alerts.firing[0];
    const first = await firing.first().getAttribute('data-rule');
    expect(first === alert.rule, `the panel's first alert is ${first}`);
    expect(alert.rule === 'db errors' && alert.target === alert.context.target && alert.context.component === 'db',
      `the API's alert: ${JSON.stringify(alert)}`);
    expect((await firing.first().textContent()).includes('errors from db'), 'the panel shows no summary');
    await firing.first().locator('a.context').click();
    await tab.waitForURL(/since=/);
    await until("the alert's record in the view", async () => tab.evaluate(s =>
      window.tarvinConsole.table.rows.some(e => e.sequence === s), alert.context.sequence), 10000);
    // Both hosts log: the context is the alert's target alone.
    const shown = await tab.evaluate(() => window.tarvinConsole.table.rows.filter(e => 'sequence' in e).map(e => e.target));
    expect(shown.every(t => t === alert.target), `other targets in the context: ${[...new Set(shown)]}`);
    await tab.close();
  } finally {
    alerting.kill('SIGTERM');
  }
});

await check('a gap shows in place and a HTML text shows as text', async () => {
  const evil = '<img src=x onerror=window.__tarvinXss=1>';
  await command(scripted, 'wait');
  await command(scripted, `text ${evil}`);
  await command(scripted, 'send 5');
  await command(scripted, 'send 5 12');
  await page.goto(`${base}?target=${encodeURIComponent(targetS)}`);
  const gap = page.locator('.row.gap:not([hidden]) .tx');
  await until('the gap row', async () => (await gap.count()) === 1);
  expect(await gap.textContent() === 'lost 12 records (sequence 5 to 16)', `gap row says ${await gap.textContent()}`);
  await until('the scripted records', async () => (await page.locator('.row:not(.gap):not([hidden]) .tx').count()) === 10);
  const texts = await page.locator('.row:not(.gap):not([hidden]) .tx').allTextContents();
  expect(texts.includes(`${evil} 0`), `texts are ${texts[0]}`);
  expect(await page.locator('#viewport img').count() === 0, 'the text became an element');
  expect(await page.evaluate(() => window.__tarvinXss === undefined), 'the text ran');
  await until('the lost counter', async () =>
    (await page.locator(`.target[data-target="${targetS}"] .lost`).textContent()) === 'lost 12');
});

// Records received before `cut` no longer change: page and query see the same.
const cut = Math.floor(Date.now() / 1000) * 1000;
await sleep(600);
await check('level filter, full-text and regex search show exactly what query finds', async () => {
  const cases = [
    { url: `level=error&match=deadlock&until=${cut}`, query: ['--level', 'error', '--match', 'deadlock'] },
    { url: `level=warning,info&until=${cut}`, query: ['--level', 'warning,info'] },
    { url: `grep=${encodeURIComponent('slow peer')}&until=${cut}`, query: ['--grep', 'slow peer'] },
    // since and until in the URL as query takes them.
    { url: `level=error&until=@${cut / 1000}`, query: ['--level', 'error'] },
    { url: `component=db&since=10m&until=@${cut / 1000}`, query: ['--component', 'db', '--since', '10m'] },
  ];
  for (const c of cases) {
    await page.goto(`${base}?${c.url}`);
    await until('the filtered view', async () => (await rowCount()) > 0);
    await sleep(300);
    const shown = (await rows()).filter(e => e.type === 'record').map(shownKey).sort();
    const stored = await queryKeys(...c.query, '--until', `@${cut / 1000}`);
    expect(stored.length > 0, `query found nothing for ${c.url}`);
    expect(JSON.stringify(shown) === JSON.stringify(stored),
      `${c.url}: page shows ${shown.length}, query ${stored.length}`);
  }
  // "View in context" clears the filters and shows the record among all.
  const filtered = await rowCount();
  // Rows are a pool moved under the pointer as history loads: on a busy
  // machine a click can land as its row moves away, so click until the
  // detail opens, as a user would.
  await until('the detail', async () => {
    await page.locator('.row:not([hidden]):not(.gap)').first().click();
    return page.locator('#detail').isVisible();
  });
  const id = Number(await page.locator('#detail').getAttribute('data-id'));
  await page.locator('#detail-context').click();
  await until('the record in context', async () => (await rowCount()) > filtered &&
    (await page.locator('.row.highlight:not([hidden])').count()) === 1);
  expect(new URL(page.url()).search === '', 'filters left in the URL');
  expect(await page.evaluate(() => window.tarvinConsole.table.highlightId) === id, 'another record highlighted');
});

await check('a reload keeps the history and the URL filters', async () => {
  // The whole history each time: the newest page alone may no longer
  // reach back to the cut.
  const loaded = () => page.evaluate(() => window.tarvinConsole.table.rows.length > 0 && !window.tarvinConsole.state.paging);
  await page.goto(`${base}?component=db&until=${cut}`);
  await until('rows', loaded);
  await sleep(300);
  const before = (await rows()).map(e => e.id);
  await page.reload();
  await until('rows after reload', loaded);
  await sleep(300);
  const after = await rows();
  expect(new URL(page.url()).searchParams.get('component') === 'db', 'the URL lost its filter');
  expect(await page.locator('#f-components input[value="db"]').isChecked(), 'the check box lost its filter');
  expect(after.every(e => e.type === 'gap' || e.component === 'db'), 'other components shown');
  expect(JSON.stringify(after.map(e => e.id)) === JSON.stringify(before), `${before.length} rows before, ${after.length} after`);
});

// What the table puts on screen, read in one go: the ids of the rows drawn
// inside the viewport, top to bottom, the ids the table holds, and the
// count in the header. A row is drawn when it has a box: `hidden` must
// take it off the screen, not only out of the pool.
const screen = () => page.evaluate(() => {
  const v = document.getElementById('viewport').getBoundingClientRect();
  const drawn = [...document.querySelectorAll('#viewport .row')]
    .map(r => ({ id: r._id, box: r.getBoundingClientRect(), boxes: r.getClientRects().length }))
    .filter(r => r.boxes && r.box.bottom > v.top && r.box.top < v.bottom)
    .sort((a, b) => a.box.top - b.box.top).map(r => r.id);
  const held = window.tarvinConsole.table.rows.map(e => e.id);
  const shown = Number(/^(\d+) shown/.exec(document.getElementById('counts').textContent)?.[1]);
  return { drawn, held, shown };
});
// The drawn rows are a run of the table's rows, in order, and the counter
// counts the table; a view that fits is drawn whole.
function agrees({ drawn, held, shown }, fits = false) {
  const at = held.indexOf(drawn[0]);
  return shown === held.length && (held.length === 0) === (drawn.length === 0) &&
    drawn.every((id, k) => held[at + k] === id) && (!fits || drawn.length === held.length);
}

await check('the table draws exactly the rows it counts, and a click opens the row under the pointer', async () => {
  // A short view from the start: most of the row pool is spare.
  await page.goto(`${base}?target=${encodeURIComponent(targetS)}`);
  await until('the short view drawn', async () => (await rowCount()) > 0 && agrees(await screen(), true));
  const { held } = await screen();
  // A click where the first row is drawn, wherever the pointer lands.
  const view = await page.locator('#viewport').boundingBox();
  await page.mouse.click(view.x + 300, view.y + 11);
  await until('the detail', () => page.locator('#detail').isVisible(), 2000);
  expect(Number(await page.locator('#detail').getAttribute('data-id')) === held[0], 'another record opened');
  // From deep in a long held view to a filter that keeps a few rows, then
  // to one that keeps none, then back to all.
  await page.goto(base);
  await until('a long view', async () => (await rowCount()) > 300);
  await page.locator('#viewport').evaluate(v => { v.scrollTop = v.scrollHeight / 2; });
  await until('the view held', () => page.evaluate(() => !window.tarvinConsole.table.following));
  const scripted = page.locator(`#f-targets input[value="${targetS}"]`);
  await scripted.check();
  await until('the few rows drawn', async () => agrees(await screen(), true), 3000)
    .catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await screen())}`); });
  await page.locator('#f-since').fill('2099-01-01T00:00');  // not even a gap
  await until('an empty table', async () => { const s = await screen(); return s.shown === 0 && agrees(s); }, 3000)
    .catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await screen())}`); });
  await page.locator('#f-since').fill('');
  await scripted.uncheck();
  await until('the whole view drawn', async () => { const s = await screen(); return s.shown > 300 && agrees(s); }, 3000)
    .catch(async e => { throw new Error(`${e.message}: ${JSON.stringify((await screen()).drawn)}`); });
});

// A datetime-local value, in whole seconds as the page's inputs take them.
function localInput(ms) {
  const d = new Date(Math.ceil(ms / 1000) * 1000);
  if (d.getSeconds() === 0) d.setSeconds(1);  // the input drops ":00", which fill() calls malformed
  const p = n => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

await check('a view that follows live records keeps following through filter changes', async () => {
  await page.goto(base);
  await until('a long live view', async () => (await rowCount()) > 300);
  const following = () => page.evaluate(() => window.tarvinConsole.table.following);
  expect(await following(), 'not following at the start');
  // Each change leaves far fewer rows, the last none until its time comes:
  // the rows drawn for the longer view are still below the new end when
  // the view moves to it.
  const changes = [
    ['a level box', () => page.locator('#f-levels input[value="info"]').check()],
    ['a range from a time to come', () => page.locator('#f-since').fill(localInput(Date.now() + 2000))],
  ];
  for (const [name, change] of changes) {
    await change();
    const last = (await screen()).held.at(-1) ?? 0;
    // Newer records arrive, more than fit, and the newest is drawn.
    await until(`the newest record drawn after ${name}`, async () => {
      const s = await screen();
      return s.held.at(-1) > last && s.held.length > 60 && s.drawn.at(-1) === s.held.at(-1);
    }, 6000).catch(async e => {
      const more = page.locator('#new-records');
      throw new Error(`${e.message} (following: ${await following()}, ` +
        `"${await more.isVisible() ? await more.textContent() : ''}")`);
    });
    expect(await following(), `the view stopped following after ${name}`);
    expect(!(await page.locator('#new-records').isVisible()), `records held back after ${name}`);
  }
});

async function curlBody(url, ...options) {
  const { stdout } = await run('curl', ['-s', '-w', '\n%{http_code}', ...options, url]);
  const at = stdout.lastIndexOf('\n');
  return { status: Number(stdout.slice(at + 1)), body: stdout.slice(0, at) };
}

await check('what the page or the API cannot read is said, by name', async () => {
  // Beside the box: a time in the URL the server cannot read, a regex.
  await page.goto(`${base}?since=garbage&until=@${cut / 1000}`);
  const sinceError = page.locator('#f-since-error');
  await until('the since error', () => sinceError.isVisible());
  expect(/since.*'garbage'/.test(await sinceError.textContent()), `since error: ${await sinceError.textContent()}`);
  expect(!(await page.locator('#f-until-error').isVisible()), 'the good until called bad');
  await until('rows', async () => (await rowCount()) > 0);
  const grepError = page.locator('#f-grep-error');
  await page.locator('#f-grep').fill('slow (peer');
  await until('the regex error', () => grepError.isVisible(), 2000);
  expect(/^not a regular expression: /.test(await grepError.textContent()), `regex error: ${await grepError.textContent()}`);
  await page.locator('#f-grep').fill('slow peer');
  await until('the regex error gone', async () => !(await grepError.isVisible()) && (await rowCount()) > 0, 2000);
  const matchError = page.locator('#f-match-error');
  await page.locator('#f-match').fill('"slow');
  await page.locator('#f-match').press('Enter');
  await until('the full-text error', () => matchError.isVisible(), 3000);
  expect(/unterminated string/.test(await matchError.textContent()), `full-text error: ${await matchError.textContent()}`);
  // The API names what it did not find.
  const put = levels => ['-X', 'PUT', '-H', 'Content-Type: application/json', '-H', `Origin: ${base.replace(/\/$/, '')}`,
    '--data', JSON.stringify(levels)];
  const api = `${base}api/targets`;
  const cases = [
    ['components of an unknown target', `${api}/nosuch:1/components`, [], 404, /no such target: nosuch:1/],
    ['levels of an unknown target', `${api}/nosuch:1/components/net/levels`, put({ levels: '+debug' }), 404,
      /no such target: nosuch:1/],
    ['levels of a component the target lacks', `${api}/${targetA}/components/nosuch/levels`, put({ levels: '+debug' }), 404,
      new RegExp(`target ${targetA} has no component 'nosuch'`)],
    ['levels of a component no target has', `${api}/${targetA}/components/nosuch/levels`,
      put({ levels: '+debug', all_targets: true }), 404, /no target has shown component 'nosuch'/],
    ['an unknown level', `${api}/${targetA}/components/net/levels`, put({ levels: '+nosuchlevel' }), 400, /'nosuchlevel'/],
    ['an unknown API call', `${base}api/nosuch`, [], 404, /no such API call: GET \/api\/nosuch/],
    ['a time it cannot read', `${base}api/records?until=garbage`, [], 400, /until.*'garbage'/],
    ['a time as query takes it', `${base}api/time?since=@1714560000&until=1714560000500`, [], 200,
      /^\{"since":1714560000000,"until":1714560000500\}$/],
  ];
  for (const [name, url, options, status, text] of cases) {
    const got = await curlBody(url, ...options);
    let error = got.body;
    try { error = JSON.parse(got.body).error ?? got.body; } catch { /* not JSON: said as it came */ }
    expect(got.status === status && text.test(error), `${name}: ${got.status} ${got.body}`);
  }
});

async function debugEnabled() {
  const { stdout } = await run(bin.remote, ['levels', targetA, 'net']);
  return /^\s*28\s+yes\s+debug/m.test(stdout);
}

await check('a level switch sets the target\'s mask, and a temporary one comes back by itself', async () => {
  await page.goto(base);
  await page.locator(`.target[data-target="${targetA}"] button`).click();
  await page.locator('#levels-for').fill('2s');
  const debug = page.locator('[data-component="net"] input[data-level="debug"]');
  await debug.waitFor();
  expect(!(await debugEnabled()), 'debug was on before');
  await debug.check();
  await until('debug on in the target', debugEnabled, 3000);
  await until('the countdown', async () => /restores 0xE0000000 in/.test(
    await page.locator('[data-component="net"] .countdown').textContent()), 2000);
  await until('debug off again', async () => !(await debugEnabled()), 6000);
  await until('the page shows it off', async () => !(await debug.isChecked()), 4000);
});

await check('streams past the cap are refused at once and the API still answers', async () => {
  // A stream that is answered runs until curl's -m: its status is in what
  // curl printed, though curl exits non-zero.
  const streamStatus = () => run('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', '-m', '2', `${base}api/stream`])
    .then(r => Number(r.stdout), e => Number(e.stdout));
  const held = [];
  const hold = () => held.push(start('curl', ['-s', '-N', '-o', '/dev/null', `${base}api/stream`]));
  for (let i = 0; i < 48; i++) hold();
  // The streams of pages closed earlier keep their places until the server
  // next writes to them: a place one gives back goes to another held stream.
  // Each place given back costs a round here (an accepted stream is held
  // for 2 s): on a loaded machine that takes a while.
  await until('a refused stream', async () => (await streamStatus()) === 503 || (hold(), false), 30000);
  expect(await curl(`${base}api/targets`, '-m', '2') === 200, 'the API hung while the streams were open');
  for (const c of held) c.kill('SIGTERM');
  await until('a stream again', async () => (await streamStatus()) === 200, 10000);
});

await check('token and same-origin rules refuse what they must', async () => {
  expect(await curl(`${base}api/targets`, '-H', 'Host: attacker.example') === 403, 'a foreign Host was served');
  const { stdout: headers } = await run('curl', ['-s', '-D', '-', '-o', '/dev/null', base]);
  expect(/content-security-policy: default-src 'none'; script-src 'self'/i.test(headers), 'no CSP on the page');
  // A non-loopback address needs the token.
  await run('sh', ['-c', 'ip addr add 10.77.0.1/32 dev lo']);
  const guarded = start(bin.remote, ['web', '--listen', '10.77.0.1:0', '--db', join(tmp, 'guarded.db'), targetA]);
  const url = new URL((await line(guarded, /^web console at (http:\S+)/))[1]);
  const token = new URLSearchParams(url.hash.slice(1)).get('token');
  expect(/^[0-9a-f]{32}$/.test(token), `no token in ${url}`);
  const api = `${url.origin}/api`;
  const levels = `${api}/targets/${targetA}/components/net/levels`;
  const json = ['-H', 'Content-Type: application/json'];
  const origin = ['-H', `Origin: ${url.origin}`];
  const bearer = ['-H', `Authorization: Bearer ${token}`];
  const put = ['-X', 'PUT', '--data', '{"levels":"+info"}'];
  const cases = [
    ['GET without token', `${api}/targets`, [], 401],
    ['GET with a wrong token', `${api}/targets`, ['-H', 'Authorization: Bearer 00'], 401],
    ['GET with the token', `${api}/targets`, bearer, 200],
    ['stream without token', `${api}/stream`, ['-m', '1'], 401],
    ['stream with the token', `${api}/records?token=${token}`, [], 200],
    ['PUT without token', levels, [...put, ...json, ...origin], 401],
    ['PUT without Origin', levels, [...put, ...json, ...bearer], 403],
    ['PUT from another site', levels, [...put, ...json, ...bearer, '-H', 'Origin: http://attacker.example'], 403],
    ['PUT as a form', levels, [...put, ...origin, ...bearer, '-H', 'Content-Type: application/x-www-form-urlencoded'], 415],
    ['PUT from the page', levels, [...put, ...json, ...origin, ...bearer], 200],
    ['PUT from the page behind a TLS proxy', levels, [...put, ...json, ...bearer, '-H', `Origin: https://${url.host}`], 200],
  ];
  for (const [name, target, options, status] of cases) {
    const got = await curl(target, ...options);
    expect(got === status, `${name}: ${got}, expected ${status}`);
  }
  guarded.kill('SIGTERM');
});

// The regex table the command-line test runs through tail, forward,
// replay, query and the API (tests/tools/regex_table.json), here through
// the page: its own target, console and store, each case's records as the
// page shows them, then live records through the stream with a case's
// expressions, and an expression the server refuses said beside its box.
async function regexTableInThePage() {
  const { readFileSync } = await import('node:fs');
  const table = JSON.parse(readFileSync(new URL('../tools/regex_table.json', import.meta.url), 'utf8'));
  const target = start(bin.scripted, []);
  const port = (await line(target, /^port (\d+)/))[1];
  const console2 = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', join(tmp, 'regex.db'), `127.0.0.1:${port}`]);
  const base2 = (await line(console2, /^web console at (http:\S+)/))[1];
  const tab = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  tab.on('pageerror', e => console.log('page error:', e.message));
  const sendTable = async () => {
    for (const r of table.records) {
      await command(target, `exact ${r.function} ${r.file} ${r.text}`);
      await command(target, 'send 1');
    }
  };
  const stored = async () => (await (await fetch(`${base2}api/records?limit=0`)).json()).records.length;
  const params = c => {
    const q = new URLSearchParams();
    if (c.grep) q.set('grep', c.grep);
    if (c.exclude) q.set('exclude', c.exclude);
    if (c.ignore_case) q.set('ignore_case', '1');
    return q;
  };
  // The sequence numbers the table shows, once the page says it loaded
  // `n`, follows the stream and has drawn the rows it counts.
  const sequences = async () =>
    (await tab.locator('.row:not(.gap):not([hidden]) .sq').allTextContents()).map(Number).sort((a, b) => a - b);
  const shown = async (n, name) => {
    const counts = tab.locator('#counts'), status = tab.locator('#status');
    try {
      await until(`${n} shown`, async () =>
        (await counts.textContent()) === `${n} shown of ${n} loaded` && (await status.textContent()) === 'live' &&
        (await sequences()).length === n);
    } catch {
      throw new Error(`${name}: the page says "${await counts.textContent()}", ${await status.textContent()}, ` +
        `and shows [${await sequences()}]`);
    }
    return sequences();
  };
  try {
    await command(target, 'wait');
    await sendTable();
    await until('the table stored', async () => (await stored()) === table.records.length);
    for (const c of table.cases) {
      await tab.goto(`${base2}?${params(c)}`);
      const got = await shown(c.want.length, c.name);
      expect(JSON.stringify(got) === JSON.stringify(c.want), `${c.name}: the page shows [${got}], want [${c.want}]`);
      expect((await tab.locator('#f-grep').inputValue()) === (c.grep || '') &&
        (await tab.locator('#f-exclude').inputValue()) === (c.exclude || '') &&
        (await tab.locator('#f-ignore-case').isChecked()) === Boolean(c.ignore_case), `${c.name}: the boxes`);
    }
    // Live: the table again, through the stream of the last case's view;
    // its records come again with sequence numbers one table further on.
    const last = table.cases[table.cases.length - 1];
    const n = table.records.length;
    await sendTable();
    const want = [...last.want, ...last.want.map(s => s + n)];
    const live = await shown(want.length, `live under "${last.name}"`);
    expect(JSON.stringify(live) === JSON.stringify(want), `live under "${last.name}": [${live}], want [${want}]`);
    // Typed into the box: the server refuses, the page says why beside it.
    for (const r of table.refused) {
      const box = r.grep ? 'grep' : 'exclude';
      await tab.locator(`#f-${box}`).fill(r.grep || r.exclude);
      const error = tab.locator(`#f-${box}-error`);
      await until(`the ${box} error`, () => error.isVisible());
      const api = await fetch(`${base2}api/records?${params(r)}`);
      const reason = (await api.json()).error;
      const text = await error.textContent();
      expect(api.status === 400 && reason.endsWith(text.replace(/^not a regular expression: /, "': ")),
        `${r.name}: the API said ${api.status} ${reason}, the page ${text}`);
      await tab.locator(`#f-${box}`).fill('');
      await until(`the ${box} error gone`, async () => !(await error.isVisible()));
    }
  } finally {
    await tab.close();
    console2.kill('SIGINT');
    target.stdin.end();
  }
}
await check('the regex table selects in the page what it selects everywhere', regexTableInThePage);

await browser.close();
web.kill('SIGINT');
await new Promise(r => web.on('exit', r));
for (const c of children) c.kill('SIGTERM');
rmSync(tmp, { recursive: true, force: true });
console.log(failures.length ? `${failures.length} failed: ${failures.join('; ')}` : 'all passed');
process.exit(failures.length ? 1 : 0);
