// histogram.js: records per interval per level over the whole loaded range,
// as stacked bars on a canvas, the interval chosen so the bars fit. A click
// on a bar sets the time filter to its interval; a drag sets it to the bars
// dragged over. The range the time filter keeps is shaded.
// Counts come from the entries the caller passes (the loaded ones that pass
// every filter but the time range), recounted at most once a second while
// records stream in.

import { COLOURS, bucketOf } from './chart.js';

const SECOND = 1000, MINUTE = 60 * SECOND, HOUR = 60 * MINUTE, DAY = 24 * HOUR;
const STEPS = [SECOND, 2 * SECOND, 5 * SECOND, 10 * SECOND, 15 * SECOND, 30 * SECOND,
  MINUTE, 2 * MINUTE, 5 * MINUTE, 10 * MINUTE, 15 * MINUTE, 30 * MINUTE,
  HOUR, 2 * HOUR, 3 * HOUR, 6 * HOUR, 12 * HOUR, DAY, 2 * DAY, 7 * DAY, 30 * DAY];
const MIN_BAR = 4;   // px: narrower bars cannot be told apart or clicked
const DRAG = 3;      // px: a shorter move is a click

export function stepName(ms) {
  for (const [unit, name] of [[DAY, 'd'], [HOUR, 'h'], [MINUTE, 'min'], [SECOND, 's']])
    if (ms % unit === 0) return `${ms / unit} ${name}`;
  return `${ms} ms`;
}

// The shortest interval that draws [from, to] in bars at least MIN_BAR wide.
export function chooseStep(from, to, width) {
  const bars = Math.max(1, Math.floor(width / MIN_BAR));
  return STEPS.find(s => (Math.floor(to / s) - Math.floor(from / s) + 1) <= bars) ?? STEPS[STEPS.length - 1];
}

export class Histogram {
  constructor(canvas, onRange) {
    this.canvas = canvas;
    this.onRange = onRange;   // (since, until) in ms
    this.entries = [];
    this.selection = { since: null, until: null };
    this.view = null;         // { first, step, bins: [{bucket: count}], total } as last drawn
    this.dirty = false;
    this.drag = null;
    canvas.addEventListener('mousedown', ev => { this.drag = { x0: this.x(ev), x1: this.x(ev) }; this.draw(); });
    window.addEventListener('mousemove', ev => { if (this.drag) { this.drag.x1 = this.x(ev); this.draw(); } });
    window.addEventListener('mouseup', ev => { if (this.drag) this.release(this.x(ev)); });
    window.addEventListener('resize', () => this.recount());
    setInterval(() => { if (this.dirty) this.recount(); }, 1000);
  }

  x(ev) {
    const rect = this.canvas.getBoundingClientRect();
    return Math.min(Math.max(ev.clientX - rect.left, 0), rect.width);
  }

  // The bar under x, of those last drawn.
  barAt(x) {
    const n = this.view.bins.length;
    return Math.min(n - 1, Math.max(0, Math.floor(x / this.canvas.clientWidth * n)));
  }

  // A click takes the bar under the pointer, a drag every bar it touched:
  // whole intervals, so the first and the last record are never cut off.
  release(x) {
    const { x0 } = this.drag;
    this.drag = null;
    const v = this.view;
    if (!v || !v.bins.length) return this.draw();
    const a = this.barAt(Math.abs(x - x0) < DRAG ? x0 : Math.min(x0, x));
    const b = this.barAt(Math.abs(x - x0) < DRAG ? x0 : Math.max(x0, x));
    this.onRange(v.first + a * v.step, v.first + (b + 1) * v.step);
  }

  // All entries to count anew (a load, a filter change).
  set(entries, selection) {
    this.entries = entries;
    this.selection = selection;
    this.recount();
  }

  // More entries came: counted within the second.
  changed() { this.dirty = true; }

  recount() {
    this.dirty = false;
    const records = this.entries;
    const width = this.canvas.clientWidth;
    if (!records.length || !width) {
      this.view = { first: 0, step: SECOND, bins: [], total: 0 };
      return this.draw();
    }
    const from = records[0].received, to = records[records.length - 1].received;
    const step = chooseStep(from, to, width);
    const first = Math.floor(from / step) * step;
    const bins = Array.from({ length: Math.floor(to / step) - Math.floor(from / step) + 1 }, () => ({}));
    let total = 0;
    const buckets = new Map();  // level name -> colour bucket: a few names, many records
    for (const e of records) {
      if (e.type !== 'record') continue;
      const b = bins[Math.floor((e.received - first) / step)];
      let k = buckets.get(e.level);
      if (k === undefined) buckets.set(e.level, k = bucketOf(e.level));
      b[k] = (b[k] || 0) + 1;
      total++;
    }
    this.view = { first, step, bins, total };
    this.draw();
  }

  draw() {
    const c = this.canvas, v = this.view;
    const width = c.clientWidth;
    if (c.width !== width) c.width = width;
    const g = c.getContext('2d');
    g.clearRect(0, 0, c.width, c.height);
    if (!v || !v.bins.length) return;
    const w = c.width / v.bins.length;
    const h = c.height - 24;
    let max = 1;
    for (const b of v.bins) max = Math.max(max, Object.values(b).reduce((a, n) => a + n, 0));
    // The time filter's range, then the drag in progress.
    const shade = (t0, t1, colour) => {
      const x0 = (t0 - v.first) / v.step * w, x1 = (t1 - v.first) / v.step * w;
      g.fillStyle = colour;
      g.fillRect(Math.max(0, x0), 0, Math.min(c.width, x1) - Math.max(0, x0), c.height - 12);
    };
    const { since, until } = this.selection;
    if (since || until) shade(since ?? v.first, until ?? v.first + v.bins.length * v.step, '#fff0c0');
    if (this.drag && Math.abs(this.drag.x1 - this.drag.x0) >= DRAG) {
      g.fillStyle = 'rgba(0, 102, 204, 0.2)';
      g.fillRect(Math.min(this.drag.x0, this.drag.x1), 0, Math.abs(this.drag.x1 - this.drag.x0), c.height - 12);
    }
    for (let i = 0; i < v.bins.length; i++) {
      let y = c.height - 12;
      for (const k of Object.keys(COLOURS)) {
        const n = v.bins[i][k];
        if (!n) continue;
        const bar = n / max * h;
        g.fillStyle = COLOURS[k];
        g.fillRect(i * w, y - bar, Math.max(1, w - 1), bar);
        y -= bar;
      }
    }
    g.fillStyle = '#333';
    g.font = '11px sans-serif';
    g.fillText(`${v.total} records, at most ${max} per ${stepName(v.step)}`, 4, 11);
    const when = t => new Date(t).toLocaleString();
    g.fillText(when(v.first), 4, c.height - 2);
    const end = when(v.first + v.bins.length * v.step);
    g.fillText(end, c.width - g.measureText(end).width - 4, c.height - 2);
  }
}
