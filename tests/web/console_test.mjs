// tests/web/console_test.mjs
//
// The web console in a real browser: headless chromium (Debian's) driven by
// playwright-core, against real example hosts, a scripted target and a real
// `tarvin-remote web`, all in the network namespace ctest's launcher made.
// The page is judged by what it puts in the DOM (rows, counts, boxes, the
// URL, the Download button's file), as a user sees it, against what
// `query` finds in the store; every wait is for a condition, never a
// fixed time. One browser, one test after another; each prints "ok NAME"
// or "FAIL NAME: why", and any failure gives exit 1. A screenshot of the
// live view goes to --artifacts.
//
// A new test goes at the end of this file: test(NAME, async () => ...)
// registers it, and the tests run in the order written once the whole
// file is read, with the scene (page, base, targetA, ...) set up.
//
// Threads: one Node event loop; the processes are children of it.
import { execFile, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
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

// The first line of `child` from line `from` on matching `re` (also one
// already printed).
function line(child, re, ms = 10000, from = 0) {
  const seen = child.lines.slice(from).find(l => re.test(l));
  if (seen) return Promise.resolve(seen.match(re));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no line ${re} from ${child.spawnfile}: ${child.stderrText || ''}`)), ms);
    child.waiters.push(l => { if (!re.test(l)) return false; clearTimeout(timer); resolve(l.match(re)); return true; });
  });
}

// A command to the scripted target, which says "ok" when it is done.
async function command(child, text) {
  const from = child.lines.length;
  child.stdin.write(text + '\n');
  await line(child, /^ok$/, 5000, from);
}

// Polls `test` until it gives a true value, which it returns, as
// expect.poll does; fails after `ms` naming `what`.
async function until(what, test, ms = 8000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise(r => setTimeout(r, 100));
  }
}

async function curl(url, ...options) {
  const { stdout } = await run('curl', ['-s', '-o', '/dev/null', '-w', '%{http_code}', ...options, url]);
  return Number(stdout);
}

const tests = [];
function test(name, body) { tests.push({ name, body }); }
function expect(condition, message) { if (!condition) throw new Error(message); }

// Sets the scene up, runs every test in the order written, and tears the
// scene down. It starts once the whole file is read (the file has no
// top-level await), so a test added at its end is registered by then.
async function runAll() {
  const failures = [];
  try {
    await setUp();
    for (const { name, body } of tests) {
      const t0 = Date.now();
      try {
        await body();
        console.log(`ok ${name} (${Date.now() - t0} ms)`);
      } catch (error) {
        failures.push(name);
        console.log(`FAIL ${name}: ${error.message}`);
      }
    }
  } catch (error) {
    failures.push('the scene');
    console.log(`FAIL the scene: ${error.message}`);
  }
  await browser?.close();
  if (web) {
    web.kill('SIGINT');
    await new Promise(r => web.exitCode !== null ? r() : web.on('exit', r));
  }
  for (const c of children) c.kill('SIGTERM');
  rmSync(tmp, { recursive: true, force: true });
  console.log(failures.length ? `${failures.length} failed: ${failures.join('; ')}` : 'all passed');
  process.exit(failures.length ? 1 : 0);
}
setImmediate(runAll);

// ---- what the page shows, read from the DOM ----

// The header's "N shown of M loaded[, loading older records]".
async function counts(p = page) {
  const text = await p.locator('#counts').textContent();
  const m = /^(\d+) shown of (\d+) loaded(, loading older records)?/.exec(text);
  return m ? { shown: Number(m[1]), loaded: Number(m[2]), paging: Boolean(m[3]) } : { shown: -1, loaded: -1, paging: true };
}
const shownCount = async (p = page) => (await counts(p)).shown;

// The filtered view as the Download button saves it, one entry a line.
async function downloaded(p = page) {
  const [file] = await Promise.all([p.waitForEvent('download'), p.locator('#download').click()]);
  const text = readFileSync(await file.path(), 'utf8');
  return text.split('\n').filter(Boolean).map(l => JSON.parse(l));
}
const shownKey = e => `${e.target}#${e.sequence}`;
const recordKeys = entries => entries.filter(e => e.type === 'record').map(shownKey).sort();

// Whether the table shows its newest rows (it follows the live records):
// the viewport is scrolled to the end of the rows the header counts.
const atBottom = (p = page) => p.locator('#viewport').evaluate(v => {
  const shown = Number(/^(\d+) shown/.exec(document.getElementById('counts').textContent)?.[1] ?? 0);
  const row = v.querySelector('.row')?.offsetHeight || 22;
  return v.scrollTop + v.clientHeight >= shown * row - row;
});

// The rows drawn inside the viewport, top to bottom: target, sequence (or
// the gap's text) and the index each is placed at. A row is drawn when it
// has a box: `hidden` must take it off the screen, not only out of the
// pool.
const screen = (p = page) => p.evaluate(() => {
  const v = document.getElementById('viewport').getBoundingClientRect();
  const drawn = [...document.querySelectorAll('#viewport .row')]
    .map(r => ({ r, box: r.getBoundingClientRect(), boxes: r.getClientRects().length }))
    .filter(d => d.boxes && d.box.bottom > v.top && d.box.top < v.bottom)
    .sort((a, b) => a.box.top - b.box.top)
    .map(({ r }) => ({
      key: r.classList.contains('gap') ? `${r.querySelector('.tg').textContent}#${r.querySelector('.tx').textContent}`
        : `${r.querySelector('.tg').textContent}#${r.querySelector('.sq').textContent}`,
      index: Math.round(new DOMMatrix(getComputedStyle(r).transform).m42 / r.offsetHeight),
    }));
  const shown = Number(/^(\d+) shown/.exec(document.getElementById('counts').textContent)?.[1]);
  return { drawn, shown };
});
const entryKey = e => e.type === 'gap' ? `${e.target}#lost ${e.lost} records (sequence ${e.first} to ${e.last})` : shownKey(e);

// ---- the scene: two example hosts, a scripted target, the console ----
let db, hostA, hostB, scripted, portA, portB, targetA, targetS, web, base, browser, page;

async function setUp() {
  db = join(tmp, 'web.db');
  hostA = start(bin.host, ['--rate', '100', '--threads', '2', '--duration', '90']);
  portA = (await line(hostA, /^target port (\d+)/))[1];
  hostB = start(bin.host, ['--rate', '50', '--duration', '90', '--name', 'second-host']);
  portB = (await line(hostB, /^target port (\d+)/))[1];
  scripted = start(bin.scripted, []);
  const portS = (await line(scripted, /^port (\d+)/))[1];
  targetA = `127.0.0.1:${portA}`;
  targetS = `127.0.0.1:${portS}`;
  web = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', db, targetA, `127.0.0.1:${portB}`, targetS]);
  base = (await line(web, /^web console at (http:\S+)/))[1];
  browser = await chromium.launch({ executablePath: bin.chromium, args: ['--no-sandbox'] });
  page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  page.on('pageerror', e => console.log('page error:', e.message));
}

// The records query finds in `store`, as target#sequence keys.
async function queryStore(store, ...args) {
  const { stdout } = await run(bin.remote, ['query', '--db', store, '--json', ...args], { maxBuffer: 1 << 26 });
  return stdout.split('\n').filter(Boolean).map(l => JSON.parse(l)).filter(r => r.type === 'record')
    .map(r => `${r.target}#${r.sequence}`).sort();
}
const queryKeys = (...args) => queryStore(db, ...args);

// Records received before the cut no longer change: page and query see
// the same. Taken once, by the first test that asks, and settled when
// both hosts have records past it in the store (each host's records are
// stored in the order they came), and the store holds more records than
// the page's first page of history (2000): the views reaching back to the
// first records need the older pages, past the scripted target's gap.
let cutTaken = null;
function settledCut() {
  cutTaken ??= (async () => {
    const cut = Math.floor(Date.now() / 1000) * 1000;
    await until('records of both hosts past the cut stored, more than a page', async () => {
      const past = await queryKeys('--since', `@${cut / 1000 + 1}`);
      return [portA, portB].every(port => past.some(k => k.startsWith(`127.0.0.1:${port}#`))) &&
        (await queryKeys()).length > 2200;
    }, 15000);
    return cut;
  })();
  return cutTaken;
}

test('records appear live', async () => {
  await page.goto(base);
  await until('records in the table', async () => (await shownCount()) > 20);
  const newest = (await screen()).drawn.at(-1)?.key;
  await until('a newer record drawn at the bottom', async () => {
    const { drawn } = await screen();
    return drawn.length > 0 && drawn.at(-1).key !== newest;
  });
  expect(await page.locator('#status').textContent() === 'live', 'the stream is not live');
  await until('both hosts in the targets panel', async () => (await page.locator('.target[data-state="following"]').count()) >= 2);
  // One more second on the rate chart: the hosts log 150 records a second.
  const loaded = (await counts()).loaded;
  await until('another second of records', async () => (await counts()).loaded >= loaded + 150);
  await page.screenshot({ path: join(artifacts, 'web-console.png') });
  // Scrolled up, the view holds still and counts what came.
  await page.locator('#viewport').evaluate(v => { v.scrollTop = 0; });
  const more = page.locator('#new-records');
  await until('"N new records"', async () => (await more.isVisible()) && /^\d+ new records?$/.test(await more.textContent()));
  expect(await page.locator('#viewport').evaluate(v => v.scrollTop) === 0, 'the held view moved');
  await more.click();
  await until('live again', async () => (await atBottom()) && !(await more.isVisible()));
});

// Whatever the page draws of `selector`, measured in the page: the text,
// the title, whether it fits its box, and its edges.
const drawnCells = (selector, p = page) => p.evaluate(sel => {
  const v = document.getElementById('viewport').getBoundingClientRect();
  return [...document.querySelectorAll(sel)].filter(c => {
    const b = c.getBoundingClientRect();
    return b.width > 0 && b.bottom > v.top && b.top < v.bottom;
  }).map(c => ({ text: c.textContent, title: c.title, fits: c.scrollWidth <= c.clientWidth,
                 left: c.getBoundingClientRect().left, right: c.getBoundingClientRect().right }));
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

test('the layout reads at a glance', async () => {
  await page.goto(base);
  await until('rows and three targets', async () => (await shownCount()) > 50 &&
    (await page.locator('.target').count()) === 3);
  // file:line: the line number and the file name in view, the path cut
  // from the left, the whole place on hover, as the record has it.
  const places = await drawnCells('.row:not([hidden]):not(.gap) .fl');
  const view = await downloaded();
  const known = new Set(view.filter(e => e.type === 'record').map(e => `${e.file}:${e.line}`));
  expect(places.length > 10, 'no file:line drawn');
  for (const p of places) {
    const [, file, lineNumber] = /^(.*):(\d+)$/.exec(p.title) ?? [];
    const name = file?.split('/').pop();
    expect(known.has(p.title) && p.fits && p.text.endsWith(`/${name}:${lineNumber}`),
      `file:line shows "${p.text}" (fits: ${p.fits}) for ${p.title}`);
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
  const rank = new Map(view.filter(e => e.type === 'record').map(e => [e.level, e.client_level]));
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

// The time filter in the URL, in ms ({} when there is none).
function urlRange(p = page) {
  const q = new URL(p.url()).searchParams;
  return { since: Number(q.get('since')) || null, until: Number(q.get('until')) || null };
}

// The drawn records' times (with the date: the records span days) in ms.
async function drawnTimes() {
  const times = await drawnCells('.row:not([hidden]):not(.gap) .t');
  return times.map(t => new Date(t.text.replace(' ', 'T')).getTime());
}

// The histogram over two days of records (`store`, which a recorder goes
// on writing): a click on a bar or a drag over bars sets the time filter
// to their whole intervals, with bars that fit the canvas, and the table
// then shows the store's records of that range.
async function histogramSetsTheRange(store) {
  const box = await page.locator('#histogram').boundingBox();
  const y = box.y + box.height / 2;
  // A click on the last bar: its interval, which gives the bars' length.
  await page.mouse.click(box.x + box.width - 2, y);
  const last = await until("the last bar's interval", () => { const r = urlRange(); return r.since && r.until && r; }, 2000);
  const step = last.until - last.since;
  expect(step > 0 && step % 1000 === 0 && last.since % step === 0, `the click set ${last.since}..${last.until}`);
  await until('the rows of the last bar', async () => {
    const times = await drawnTimes();
    return times.length > 0 && times.every(t => t >= last.since && t < last.until);
  }, 3000).catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await drawnTimes())}`); });
  await page.locator('#f-clear').click();
  await until('the range cleared', () => !urlRange().since, 2000);
  // Bars from the interval of the oldest record loaded to the last one.
  const oldest = Date.parse((await downloaded())[0].received);
  const first = Math.floor(oldest / step) * step;
  const bars = (last.since - first) / step + 1;
  expect(bars <= box.width / 4 && bars > box.width / 16, `${bars} bars of ${step} ms in ${box.width} px`);
  // A drag over the first third: the older day.
  const lastDragged = Math.floor(bars / 3);
  await page.mouse.move(box.x + 1, y);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * (lastDragged + 0.5) / bars, y, { steps: 5 });
  await page.mouse.up();
  const dragged = await until('a range from the drag', () => { const r = urlRange(); return r.since && r.until && r; }, 2000);
  expect(dragged.since === first && dragged.until === first + (lastDragged + 1) * step,
    `the drag set ${dragged.since}..${dragged.until}, bars of ${step} ms from ${first}`);
  const stored = await queryStore(store, '--since', `@${dragged.since / 1000}`, '--until', `@${dragged.until / 1000}`);
  let shown = [];
  await until('the store\'s records of the range', async () => {
    if ((await counts()).paging) return false;
    shown = recordKeys(await downloaded());
    return stored.length > 0 && JSON.stringify(shown) === JSON.stringify(stored);
  }, 5000).catch(e => { throw new Error(`${e.message}: the page shows ${shown.length}, query ${stored.length}`); });
  const times = await drawnTimes();
  expect(times.length > 0 && times.every(t => t >= dragged.since && t < dragged.until), 'rows drawn outside the drag\'s range');
  await page.locator('#f-clear').click();
  expect(await page.locator('#chart').isVisible(), 'the live rate chart is gone');
}

async function viewed(viewer, exited, store) {
  await page.goto((await line(viewer, /^web console at (http:\S+)/))[1]);
  await until('rows', async () => (await shownCount()) > 20);
  const times = await drawnCells('.row:not([hidden]) .t');
  expect(times.length > 10 && times.every(t => t.fits && /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}$/.test(t.text)),
    `times: ${JSON.stringify(times[0])}`);
  // The targets the store has seen, whose levels the viewer reads from
  // the target itself.
  const seen = page.locator(`.target[data-target="127.0.0.1:${portB}"][data-state="recorded"]`);
  await until('the recorded target in the panel', () => seen.isVisible(), 5000);
  expect(/last record \d{4}-/.test(await seen.textContent()), `no newest record: ${await seen.textContent()}`);
  await seen.locator('button').click();
  await page.locator('[data-component="db"] input[data-level="debug"]').waitFor({ timeout: 5000 });
  await page.locator('#levels-close').click();
  await histogramSetsTheRange(store);
  // What the recorder commits shows live.
  const loaded = (await counts()).loaded;
  await until('a record the recorder wrote after the load', async () => (await counts()).loaded > loaded);
  viewer.kill('SIGTERM');
  expect(await exited === 0, 'the viewer did not exit 0');
}

test('a viewer shows a store a recorder writes, with dates when the records span days', async () => {
  // A store with records two days old beside today's, that a recorder
  // goes on writing: a viewer's.
  const old = join(tmp, 'old.db');
  await run(bin.remote, ['record', '--db', old, '--duration', '2s', `127.0.0.1:${portB}`]);
  await run('sqlite3', [old, 'UPDATE records SET received_ns = received_ns - 172800000000000 ' +
    'WHERE id <= (SELECT (min(id) + max(id)) / 2 FROM records)']);
  const recorder = start(bin.remote, ['record', '--db', old, `127.0.0.1:${portB}`]);
  const viewer = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', old]);
  const exited = new Promise(r => viewer.on('exit', code => r(code)));
  try {
    await viewed(viewer, exited, old);
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

test('an alert fires in its panel and opens its records in context', async () => {
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
    const view = await until("the alert's record in the view", async () => {
      const entries = await downloaded(tab);
      return entries.some(e => e.sequence === alert.context.sequence && e.target === alert.context.target) && entries;
    }, 10000);
    // Both hosts log: the context is the alert's target alone.
    const shown = view.filter(e => e.type === 'record').map(e => e.target);
    expect(shown.every(t => t === alert.target), `other targets in the context: ${[...new Set(shown)]}`);
    await tab.close();
  } finally {
    alerting.kill('SIGTERM');
  }
});

test('a gap shows in place and a HTML text shows as text', async () => {
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

// Download writes what query --json writes for the same view, byte for
// byte: one JSON form of records and gaps everywhere.
test('Download saves the view as query --json prints it, gap included', async () => {
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
  const saved = readFileSync(await download.path(), 'utf8');
  const { stdout } = await run(bin.remote, ['query', '--db', db, '--json', '--target', targetS]);
  expect(saved.includes('"type":"gap"'), `no gap in ${saved.slice(0, 300)}`);
  expect(saved === stdout, `download and query differ:\n${saved.slice(0, 600)}\n${stdout.slice(0, 600)}`);
});

// The detail panel's field `name`, as it shows it.
const detailField = name => page.locator('#detail-fields').evaluate((dl, n) =>
  [...dl.querySelectorAll('dt')].find(dt => dt.textContent === n)?.nextElementSibling?.textContent, name);

// Polls until the page's whole view (loaded, the Download) holds exactly
// `stored`'s records; returns the view.
async function viewEquals(stored, what) {
  let shown = [];
  return until(what, async () => {
    const c = await counts();
    if (c.paging || c.shown <= 0) return false;
    const view = await downloaded();
    shown = recordKeys(view);
    return JSON.stringify(shown) === JSON.stringify(stored) && view;
  }, 8000).catch(e => {
    const missing = stored.filter(k => !shown.includes(k));
    throw new Error(`${e.message}: page shows ${shown.length}, query ${stored.length}; ` +
      `not shown: ${missing.slice(0, 5).join(' ')}${missing.length > 5 ? ' ...' : ''}`);
  });
}

test('level filter, full-text and regex search show exactly what query finds', async () => {
  const cut = await settledCut();
  const cases = [
    { url: `level=error&match=deadlock&until=${cut}`, query: ['--level', 'error', '--match', 'deadlock'] },
    { url: `level=warning,info&until=${cut}`, query: ['--level', 'warning,info'] },
    { url: `grep=${encodeURIComponent('slow peer')}&until=${cut}`, query: ['--grep', 'slow peer'] },
    // since and until in the URL as query takes them.
    { url: `level=error&until=@${cut / 1000}`, query: ['--level', 'error'] },
    { url: `component=db&since=10m&until=@${cut / 1000}`, query: ['--component', 'db', '--since', '10m'] },
  ];
  for (const c of cases) {
    const stored = await queryKeys(...c.query, '--until', `@${cut / 1000}`);
    expect(stored.length > 0, `query found nothing for ${c.url}`);
    await page.goto(`${base}?${c.url}`);
    await viewEquals(stored, `${c.url}: the page showing what query finds`);
  }
  // "View in context" clears the filters and shows the record among all.
  const filtered = await shownCount();
  // Rows are a pool moved under the pointer as history loads: on a busy
  // machine a click can land as its row moves away, so click until the
  // detail opens, as a user would.
  await until('the detail', async () => {
    await page.locator('.row:not([hidden]):not(.gap)').first().click();
    return page.locator('#detail').isVisible();
  });
  const target = await detailField('target'), sequence = await detailField('sequence');
  await page.locator('#detail-context').click();
  const highlighted = page.locator('.row.highlight:not([hidden])');
  await until('the record in context', async () => (await shownCount()) > filtered && (await highlighted.count()) === 1);
  expect(new URL(page.url()).search === '', 'filters left in the URL');
  const shownThere = `${await highlighted.locator('.tg').textContent()}#${await highlighted.locator('.sq').textContent()}`;
  expect(shownThere === `${target}#${sequence}`, `${shownThere} highlighted, not ${target}#${sequence}`);
});

test('a reload keeps the history and the URL filters', async () => {
  // The whole history each time: the newest page alone may no longer
  // reach back to the cut.
  const cut = await settledCut();
  const stored = await queryKeys('--component', 'db', '--until', `@${cut / 1000}`);
  await page.goto(`${base}?component=db&until=${cut}`);
  const before = await viewEquals(stored, 'the whole view');
  await page.reload();
  const after = await viewEquals(stored, 'the whole view after the reload');
  expect(new URL(page.url()).searchParams.get('component') === 'db', 'the URL lost its filter');
  expect(await page.locator('#f-components input[value="db"]').isChecked(), 'the check box lost its filter');
  expect(after.every(e => e.type === 'gap' || e.component === 'db'), 'other components shown');
  expect(JSON.stringify(after.map(e => e.id)) === JSON.stringify(before.map(e => e.id)),
    `${before.length} rows before, ${after.length} after`);
});

// The drawn rows sit at consecutive places from the top of the view, each
// below the header's count, and none is drawn when it counts none.
function placed({ drawn, shown }) {
  return (shown === 0) === (drawn.length === 0) && drawn.every((d, k) => d.index === drawn[0].index + k && d.index < shown);
}
// ... and are the rows of `keys` (the whole view, in order) at those places;
// a view that fits is drawn whole.
function agrees(s, keys, fits = false) {
  return placed(s) && s.shown === keys.length && s.drawn.every(d => keys[d.index] === d.key) &&
    (!fits || s.drawn.length === keys.length);
}
const viewKeys = async () => (await downloaded()).map(entryKey);

test('the table draws exactly the rows it counts, and a click opens the row under the pointer', async () => {
  // A short view from the start: most of the row pool is spare.
  await page.goto(`${base}?target=${encodeURIComponent(targetS)}`);
  await until('the short view drawn', async () => (await shownCount()) > 0 && agrees(await screen(), await viewKeys(), true));
  const first = (await downloaded())[0].id;
  // A click where the first row is drawn, wherever the pointer lands.
  const view = await page.locator('#viewport').boundingBox();
  await page.mouse.click(view.x + 300, view.y + 11);
  await page.locator('#detail').waitFor({ state: 'visible', timeout: 2000 });
  expect(Number(await page.locator('#detail').getAttribute('data-id')) === first, 'another record opened');
  // From deep in a long held view to a filter that keeps a few rows, then
  // to one that keeps none, then back to all.
  await page.goto(base);
  await until('a long view', async () => (await shownCount()) > 300);
  await page.locator('#viewport').evaluate(v => { v.scrollTop = v.scrollHeight / 2; });
  await until('the view held', async () => !(await atBottom()));
  const scriptedBox = page.locator(`#f-targets input[value="${targetS}"]`);
  await scriptedBox.check();
  await until('the few rows drawn', async () => agrees(await screen(), await viewKeys(), true), 3000)
    .catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await screen())}`); });
  await page.locator('#f-since').fill('2099-01-01T00:00');  // not even a gap
  await until('an empty table', async () => { const s = await screen(); return s.shown === 0 && placed(s); }, 3000)
    .catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await screen())}`); });
  await page.locator('#f-since').fill('');
  await scriptedBox.uncheck();
  // Live: the rows drawn fill the viewport, at their places.
  const rowsThatFit = await page.locator('#viewport').evaluate(v => Math.floor(v.clientHeight / 22));
  await until('the whole view drawn', async () => {
    const s = await screen();
    return s.shown > 300 && placed(s) && s.drawn.length >= rowsThatFit;
  }, 3000).catch(async e => { throw new Error(`${e.message}: ${JSON.stringify(await screen())}`); });
});

// A datetime-local value, in whole seconds as the page's inputs take them.
function localInput(ms) {
  const d = new Date(Math.ceil(ms / 1000) * 1000);
  if (d.getSeconds() === 0) d.setSeconds(1);  // the input drops ":00", which fill() calls malformed
  const p = n => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

test('a view that follows live records keeps following through filter changes', async () => {
  await page.goto(base);
  await until('a long live view', async () => (await shownCount()) > 300);
  expect(await atBottom(), 'not following at the start');
  // Each change leaves far fewer rows, the last none until its time comes:
  // the rows drawn for the longer view are still below the new end when
  // the view moves to it.
  const changes = [
    ['a level box', () => page.locator('#f-levels input[value="info"]').check()],
    ['a range from a time to come', () => page.locator('#f-since').fill(localInput(Date.now() + 2000))],
  ];
  const more = page.locator('#new-records');
  for (const [name, change] of changes) {
    const loaded = (await counts()).loaded;
    await change();
    // Newer records arrive, more than fit, and the newest is drawn.
    await until(`the newest record drawn after ${name}`, async () => {
      const c = await counts();
      const s = await screen();
      return c.loaded > loaded && s.shown > 60 && s.drawn.at(-1)?.index === s.shown - 1;
    }, 6000).catch(async e => {
      throw new Error(`${e.message} (at the bottom: ${await atBottom()}, ` +
        `"${await more.isVisible() ? await more.textContent() : ''}")`);
    });
    expect(await atBottom(), `the view stopped following after ${name}`);
    expect(!(await more.isVisible()), `records held back after ${name}`);
  }
});

async function curlBody(url, ...options) {
  const { stdout } = await run('curl', ['-s', '-w', '\n%{http_code}', ...options, url]);
  const at = stdout.lastIndexOf('\n');
  return { status: Number(stdout.slice(at + 1)), body: stdout.slice(0, at) };
}

test('what the page or the API cannot read is said, by name', async () => {
  // Beside the box: a time in the URL the server cannot read, a regex.
  const cut = await settledCut();
  await page.goto(`${base}?since=garbage&until=@${cut / 1000}`);
  const sinceError = page.locator('#f-since-error');
  await until('the since error', () => sinceError.isVisible());
  expect(/since.*'garbage'/.test(await sinceError.textContent()), `since error: ${await sinceError.textContent()}`);
  expect(!(await page.locator('#f-until-error').isVisible()), 'the good until called bad');
  await until('rows', async () => (await shownCount()) > 0);
  const grepError = page.locator('#f-grep-error');
  await page.locator('#f-grep').fill('slow (peer');
  await until('the regex error', () => grepError.isVisible(), 2000);
  expect(/^not a regular expression: /.test(await grepError.textContent()), `regex error: ${await grepError.textContent()}`);
  await page.locator('#f-grep').fill('slow peer');
  await until('the regex error gone', async () => !(await grepError.isVisible()) && (await shownCount()) > 0, 2000);
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

test('a level switch sets the target\'s mask, and a temporary one comes back by itself', async () => {
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
  // The panel lists both from the audit trail, newest first: who (the
  // loopback user: no token here) and why.
  const rows = await until('the change and its restore in the panel', async () => {
    const shown = await page.locator('#levels-audit li').allTextContents();
    return shown.length >= 2 && shown;
  }, 6000);
  expect(/ net: error, warning, info, debug → error, warning, info by loopback \(expired\)$/.test(rows[0]),
    `the restore first: ${rows[0]}`);
  expect(/ net: error, warning, info → error, warning, info, debug by loopback \(manual\)$/.test(rows[1]),
    `then the change: ${rows[1]}`);
});

test('streams past the cap are refused at once and the API still answers', async () => {
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

test('token and same-origin rules refuse what they must', async () => {
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
test('the regex table selects in the page what it selects everywhere', regexTableInThePage);


// A level change made in the console is a marked row of the table at its
// time: live, as the stream brings it, and from the history after a
// reload, first among the newest records, then from an older page of
// history. It sits between the records received before and after it, the
// debug records it lets through all come after it, and it is counted,
// filtered and downloaded as no record is.
async function levelChangeMarked() {
  const host = start(bin.host, ['--rate', '400', '--threads', '2', '--duration', '120', '--name', 'audited-host']);
  const target = `127.0.0.1:${(await line(host, /^target port (\d+)/))[1]}`;
  const console3 = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', join(tmp, 'audit.db'), target]);
  const base3 = (await line(console3, /^web console at (http:\S+)/))[1];
  const tab = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  tab.on('pageerror', e => console.log('page error:', e.message));
  // Where the mark stands in the table's rows: its neighbours, the db
  // debug records before it (there must be none: debug was off), the
  // records counted against the rows.
  const place = () => tab.evaluate(() => {
    const { table } = window.tarvinConsole;
    const rows = table.rows;
    const i = rows.findIndex(e => e.type === 'audit');
    if (i < 0) return null;
    const m = rows[i];
    const key = e => e && `${e.type} ${e.type === 'audit' ? e.id : e.target + '#' + e.sequence}`;
    return {
      key: m.key, index: i, at: m.receivedText, marks: rows.filter(e => e.type === 'audit').length,
      before: key(rows[i - 1]), beforeAt: rows[i - 1]?.receivedText, after: key(rows[i + 1]), afterAt: rows[i + 1]?.receivedText,
      debugBefore: rows.slice(0, i).filter(e => e.type === 'record' && e.level === 'debug').length,
      debugAfter: rows.slice(i + 1).filter(e => e.type === 'record' && e.level === 'debug').length,
      counted: Number(/^(\d+) shown/.exec(document.getElementById('counts').textContent)[1]), rows: rows.length,
      paging: /loading older/.test(document.getElementById('counts').textContent),
    };
  });
  const between = p => p && p.before && p.after && p.beforeAt <= p.at && p.at <= p.afterAt;
  try {
    await tab.goto(`${base3}?component=db`);
    await until('db records', async () => (await shownCount(tab)) > 20, 10000);
    // The panel lists what the targets panel knew when it opened: opened
    // again until that is db.
    const debug = tab.locator('[data-component="db"] input[data-level="debug"]');
    await until('db in the levels panel', async () => {
      await tab.locator(`.target[data-target="${target}"] button`).click();
      return (await debug.count()) === 1 || (await debug.waitFor({ timeout: 1000 }).then(() => true, () => false));
    }, 10000);
    await tab.locator('#levels-for').fill('');
    await debug.check();
    const live = await until('the mark between records, debug after it', async () => {
      const p = await place();
      return p && p.debugAfter > 0 && p.after && p;
    }, 10000);
    expect(between(live) && live.debugBefore === 0 && live.marks === 1,
      `live: ${JSON.stringify(live)}`);
    expect(live.counted === live.rows - 1, `the mark counted as a record: ${JSON.stringify(live)}`);
    // As drawn: its own row style, saying what changed, by whom and why.
    await tab.evaluate(key => window.tarvinConsole.table.reveal(key), live.key);
    const drawn = tab.locator('.row.audit:not([hidden])');
    await until('the mark drawn', async () => (await drawn.count()) === 1, 3000);
    const text = await drawn.locator('.tx').textContent();
    expect(text === 'db: error, warning, info → error, warning, info, debug by loopback (manual)' &&
      (await drawn.locator('.tg').textContent()) === target, `the mark says "${text}"`);
    expect((await downloaded(tab)).every(e => e.type !== 'audit'), 'the mark in the Download');
    // A level box leaves it in place; another component takes it away.
    await tab.locator('#f-levels input[value="info"]').check();
    await until('the mark among info records', async () => between(await place()), 3000);
    await tab.locator('#f-levels input[value="info"]').uncheck();
    // From the history: the same place among the same records.
    await tab.reload();
    const reloaded = await until('the mark after a reload', async () => {
      const p = await place();
      return p && !p.paging && p.after && p;
    }, 10000);
    expect(reloaded.before === live.before && reloaded.after === live.after && reloaded.marks === 1,
      `after a reload: ${JSON.stringify(reloaded)}, live: ${JSON.stringify(live)}`);
    // Once more than the first page of history came after it, from an
    // older page.
    const newer = async () => (await (await fetch(`${base3}api/records?limit=3000&since=${Date.parse(live.at)}`)).json()).records.length;
    await until('a first page of records after the change', async () => (await newer()) >= 2500, 30000);
    await tab.reload();
    const paged = await until('the mark from an older page', async () => {
      const p = await place();
      return p && !p.paging && p;
    }, 15000);
    expect(paged.before === live.before && paged.after === live.after && paged.marks === 1 && paged.debugBefore === 0,
      `from an older page: ${JSON.stringify(paged)}, live: ${JSON.stringify(live)}`);
    await tab.goto(`${base3}?component=net`);
    await until('net records', async () => (await shownCount(tab)) > 20, 10000);
    expect((await place()) === null, 'the mark of db among net records');
  } finally {
    await tab.close();
    console3.kill('SIGINT');
    host.kill('SIGTERM');
  }
}
test('a level change shows as a marked row among the records, live and from history', levelChangeMarked);
