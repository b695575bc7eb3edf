// chart.js: records per second per level over the last minutes, as
// stacked bars on a canvas; a click names the second under the pointer.

const SECONDS = 300;
export const COLOURS = { error: '#c00', warning: '#e90', info: '#38c', debug: '#999', trace: '#ccc', other: '#6a6' };

export function bucketOf(level) {
  const n = (level || '').toLowerCase();
  for (const k of ['error', 'warning', 'info', 'debug', 'trace']) if (n.startsWith(k)) return k;
  return 'other';
}

export class RateChart {
  constructor(canvas, onPick) {
    this.canvas = canvas;
    this.seconds = new Map();  // epoch second -> {level bucket: count}
    canvas.addEventListener('click', ev => {
      const rect = canvas.getBoundingClientRect();
      const end = Math.floor(Date.now() / 1000);
      const second = end - SECONDS + Math.floor((ev.clientX - rect.left) / rect.width * SECONDS);
      onPick(second * 1000);
    });
    setInterval(() => this.draw(), 1000);
  }

  clear() { this.seconds.clear(); }

  add(entries) {
    for (const e of entries) {
      if (e.type !== 'record') continue;
      const s = Math.floor(e.received / 1000);
      let b = this.seconds.get(s);
      if (!b) this.seconds.set(s, b = {});
      const k = bucketOf(e.level);
      b[k] = (b[k] || 0) + 1;
    }
  }

  draw() {
    const c = this.canvas;
    const width = c.clientWidth;
    if (c.width !== width) c.width = width;
    const g = c.getContext('2d');
    g.clearRect(0, 0, c.width, c.height);
    const end = Math.floor(Date.now() / 1000);
    for (const s of this.seconds.keys()) if (s < end - SECONDS) this.seconds.delete(s);
    let max = 1;
    for (const b of this.seconds.values()) max = Math.max(max, Object.values(b).reduce((a, n) => a + n, 0));
    const w = c.width / SECONDS;
    const h = c.height - 12;
    for (let i = 0; i < SECONDS; i++) {
      const b = this.seconds.get(end - SECONDS + i);
      if (!b) continue;
      let y = c.height;
      for (const k of Object.keys(COLOURS)) {
        if (!b[k]) continue;
        const bar = b[k] / max * h;
        g.fillStyle = COLOURS[k];
        g.fillRect(i * w, y - bar, Math.max(1, w - 0.5), bar);
        y -= bar;
      }
    }
    g.fillStyle = '#333';
    g.font = '11px sans-serif';
    g.fillText(`${max} records/s`, 4, 11);
  }
}
