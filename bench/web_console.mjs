// bench/web_console.mjs: speed of the web console (not a test; run by
// bench/web_console.sh inside a network namespace).
//
// 1. The browser (headless Debian chromium): 100,000 records loaded from
//    the store, then the time from a filter change to the frame that shows
//    its result; then 5,000 records/s appended live for 5 s, with every
//    frame's duration recorded.
// 2. The server against three example hosts logging as fast as they can:
//    records received and lost by `web` and by `record`, following the same
//    hosts at the same time (the baseline).
//
// Threads: one Node event loop; the processes are its children.
import { execFile, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { chromium } from '../tests/web/node_modules/playwright-core/index.mjs';

const run = promisify(execFile);
const build = process.argv[2];
// A release tree has no tests: the scripted target then comes from build/dev.
const scripted = [`${build}/tests/web/scripted_web_target`,
                  new URL('../build/dev/tests/web/scripted_web_target', import.meta.url).pathname].find(existsSync);
const bin = { remote: `${build}/tools/tarvin-remote`, host: `${build}/tools/tarvin-example-host`, scripted };
const tmp = mkdtempSync(join(tmpdir(), 'tarvin-web-bench.'));
const sleep = ms => new Promise(r => setTimeout(r, ms));
const children = [];

function start(file, args) {
  const child = spawn(file, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  children.push(child);
  child.out = '';
  child.err = '';
  child.stdout.on('data', c => { child.out += c; });
  child.stderr.on('data', c => { child.err += c; });
  return child;
}
async function waitFor(child, re, stream = 'out') {
  for (let i = 0; i < 500; i++) {
    const m = child[stream].match(re);
    if (m) return m;
    await sleep(20);
  }
  throw new Error(`no ${re} from ${child.spawnfile}: ${child.err}`);
}
async function command(child, text) {
  const oks = (child.out.match(/^ok$/mg) || []).length;
  child.stdin.write(text + '\n');
  while ((child.out.match(/^ok$/mg) || []).length === oks) await sleep(2);
}
const rows = [];
const row = (what, value, note = '') => { rows.push([what, value, note]); console.log(`${what}: ${value} ${note}`); };

// ---- 1. the browser ----
{
  const scripted = start(bin.scripted, []);
  const port = (await waitFor(scripted, /^port (\d+)/m))[1];
  const web = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--db', join(tmp, 'a.db'), `127.0.0.1:${port}`]);
  const base = (await waitFor(web, /^web console at (http:\S+)/m))[1];
  await command(scripted, 'wait');
  for (let i = 0; i < 100; i++) { await command(scripted, 'send 1000'); await sleep(15); }
  await sleep(500);
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
  // The harness evaluates its own code in the page; the page's CSP would refuse it.
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 }, bypassCSP: true });
  const t0 = Date.now();
  await page.goto(base);
  await page.waitForFunction(() => window.tarvinConsole?.state.all.length >= 100000, null, { timeout: 60000 });
  row('page: load 100,000 records from the store', `${Date.now() - t0} ms`);
  // Filter changes through the form, timed to the second frame after
  // (the one that shows the new rows).
  const timeChange = async (label, act) => {
    const ms = await page.evaluate(async act => {
      const t = performance.now();
      new Function(act)();
      await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
      return performance.now() - t;
    }, act);
    row(`page: filter change, ${label}`, `${ms.toFixed(1)} ms`, ms < 200 ? '(target < 200 ms: met)' : '(target < 200 ms: missed)');
  };
  const submit = "document.getElementById('filters').dispatchEvent(new Event('submit', {cancelable: true}));";
  await timeChange('regex "record 4.*7" over 100,000', `document.getElementById('f-grep').value = 'record 4.*7'; ${submit}`);
  await timeChange('level check box', `const i = document.querySelector('#f-levels input'); i.checked = true; i.dispatchEvent(new Event('change'));`);
  await timeChange('all filters cleared', `document.getElementById('f-grep').value = ''; const i = document.querySelector('#f-levels input'); i.checked = false; i.dispatchEvent(new Event('change'));`);

  // Live: 5,000 records/s for 5 s, every frame's duration measured.
  await page.evaluate(() => {
    window.benchFrames = [];
    let last = performance.now();
    const loop = now => { window.benchFrames.push(now - last); last = now; if (!window.benchStop) requestAnimationFrame(loop); };
    requestAnimationFrame(loop);
  });
  const before = await page.evaluate(() => window.tarvinConsole.state.all.length);
  const startAt = Date.now();
  for (let tick = 0; tick < 250; tick++) {
    await command(scripted, 'send 100');
    const due = startAt + (tick + 1) * 20;
    if (due > Date.now()) await sleep(due - Date.now());
  }
  const seconds = (Date.now() - startAt) / 1000;
  await sleep(1000);
  const frames = await page.evaluate(() => { window.benchStop = true; return window.benchFrames; });
  const appended = (await page.evaluate(() => window.tarvinConsole.state.all.length)) - before;
  const sorted = [...frames].sort((a, b) => a - b);
  const worst = sorted[sorted.length - 1];
  row('page: live append', `${Math.round(25000 / seconds)} records/s sent, ${appended} shown`);
  row('page: frames during live append', `${frames.length}, median ${sorted[frames.length >> 1].toFixed(1)} ms, worst ${worst.toFixed(1)} ms`,
      `${frames.filter(f => f > 50).length} over 50 ms (target: none)`);
  await browser.close();
  web.kill('SIGINT');
  scripted.stdin.end();
  await sleep(300);
}

// ---- 2. the server under three hosts at full rate ----
// Each host's rate: the example host's own maximum setting, or `max` (as
// fast as its threads can log) with WEB_BENCH_RATE=max.
const rate = process.env.WEB_BENCH_RATE || '100000';
{
  const hosts = [];
  for (let i = 0; i < 3; i++) {
    const h = start(bin.host, ['--rate', rate, '--threads', '2', '--duration', '8', '--name', `flood-${i}`]);
    hosts.push(`127.0.0.1:${(await waitFor(h, /^target port (\d+)/m))[1]}`);
  }
  const web = start(bin.remote, ['web', '--listen', '127.0.0.1:0', '--duration', '5s', ...hosts]);
  const record = start(bin.remote, ['record', '--db', join(tmp, 'b.db'), '--duration', '5s', ...hosts]);
  await Promise.all([web, record].map(c => new Promise(r => c.on('exit', r))));
  const summary = text => (text.match(/received (\d+) records; (\d+) lost/) || []).slice(1).map(Number);
  const [webGot, webLost] = summary(web.err);
  const [recGot, recLost] = summary(record.err);
  row(`server: web, 3 example hosts at --rate ${rate} each, 5 s`, `${webGot} records (${Math.round(webGot / 5)}/s), ${webLost} lost`);
  row('baseline: record on the same hosts at the same time', `${recGot} records (${Math.round(recGot / 5)}/s), ${recLost} lost`);
}

for (const c of children) c.kill('SIGTERM');
rmSync(tmp, { recursive: true, force: true });
console.log('\n| measurement | result | note |\n|---|---|---|');
for (const [a, b, c] of rows) console.log(`| ${a} | ${b} | ${c} |`);
