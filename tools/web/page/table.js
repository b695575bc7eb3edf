// table.js: the record table. Only the rows in view exist in the DOM (a
// pool reused on every scroll), so 100,000 records and more stay smooth.
// It follows the newest record until the user scrolls up; then it holds
// still and counts what came, one click back to live.
// Level changes from the audit trail sit among the records at their time,
// as marked rows of their own (never counted as records). Rows are told
// apart by `key` (entry.js).
// Every string from a target goes in with textContent: texts are data.

import { auditText, isMark } from './entry.js';

const ROW = 22;

function pad(n, w = 2) { return String(n).padStart(w, '0'); }
// Local time; with the date in front when the loaded records span days.
export function formatTime(ms, withDate = false) {
  const d = new Date(ms);
  const time = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
  return withDate ? `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${time}` : time;
}

export function sameDay(a, b) {
  return new Date(a).toDateString() === new Date(b).toDateString();
}

// The end of `text` in `chars` characters: a source path loses its leading
// directories first, so the file name and the line number stay in view.
export function trimLeft(text, chars) {
  if (text.length <= chars) return text;
  let tail = text.slice(text.length - Math.max(1, chars - 1));
  const slash = tail.indexOf('/');
  if (slash > 0 && slash < tail.length - 1) tail = tail.slice(slash);
  return '…' + tail;
}

export function gapText(e) {
  return `lost ${e.lost} records (sequence ${e.first} to ${e.last})`;
}

// The colour class of a level: by name, else by client level.
function severity(e) {
  const n = (e.level || '').toLowerCase();
  for (const s of ['error', 'warning', 'info', 'debug', 'trace']) if (n.startsWith(s)) return s;
  const c = e.client_level;
  if (c === null || c === undefined) return '';
  return c >= 31 ? 'error' : c === 30 ? 'warning' : c === 29 ? 'info' : c === 28 ? 'debug' : 'trace';
}

export class Table {
  constructor(viewport, spacer, newButton, onSelect) {
    this.viewport = viewport;
    this.spacer = spacer;
    this.newButton = newButton;
    this.onSelect = onSelect;
    this.rows = [];         // the entries in view order (the filtered view), marks included
    this.marks = 0;         // how many of `rows` are marks
    this.pool = [];
    this.following = true;
    this.unseen = 0;
    this.selectedId = null;
    this.highlightId = null;
    this.pending = false;
    this.withDate = false;
    this.fileChars = 0;     // characters that fit the file:line column
    viewport.addEventListener('scroll', () => this.onScroll());
    window.addEventListener('resize', () => this.redraw());
    newButton.addEventListener('click', () => this.toLive());
  }

  setRows(rows) {
    this.rows = rows;
    this.marks = rows.reduce((n, e) => n + isMark(e), 0);
    this.unseen = 0;
    this.layout();
    if (this.following) this.viewport.scrollTop = this.rows.length * ROW;  // no forced layout
    this.schedule();
  }

  // Newer rows after the last. A mark at the end that is newer than a row
  // goes after it: the store commits the records received before a level
  // change after the change itself has reached the page.
  append(entries) {
    for (const e of entries) {
      let i = this.rows.length;
      while (i > 0 && isMark(this.rows[i - 1]) && this.rows[i - 1].receivedText >= e.receivedText) i--;
      if (i === this.rows.length) this.rows.push(e);
      else this.rows.splice(i, 0, e);
    }
    if (!this.following) this.unseen += entries.length;
    this.layout();
    if (this.following) this.viewport.scrollTop = this.rows.length * ROW;  // no forced layout
    this.schedule();
  }

  // Older rows before the first; a held view keeps showing the same rows.
  prepend(entries) {
    if (!entries.length) return;
    this.rows = entries.concat(this.rows);
    this.marks += entries.reduce((n, e) => n + isMark(e), 0);
    this.layout();
    if (this.following) this.viewport.scrollTop = this.rows.length * ROW;
    else this.viewport.scrollTop += entries.length * ROW;
    this.schedule();
  }

  // Drops the oldest rows (the page keeps a bounded history).
  dropFront(n) {
    for (const e of this.rows.splice(0, n)) this.marks -= isMark(e);
    if (!this.following) this.viewport.scrollTop = Math.max(0, this.viewport.scrollTop - n * ROW);
    this.layout();
    this.schedule();
  }

  // A mark at its time among the rows (after those of the same time): a
  // held view keeps showing the same rows, a following one stays live.
  insert(mark) {
    const t = mark.receivedText;
    let lo = 0, hi = this.rows.length;
    while (lo < hi) { const mid = (lo + hi) >> 1; if (this.rows[mid].receivedText <= t) lo = mid + 1; else hi = mid; }
    this.rows.splice(lo, 0, mark);
    this.marks++;
    this.layout();
    if (this.following) this.viewport.scrollTop = this.rows.length * ROW;
    else if (lo * ROW < this.viewport.scrollTop) this.viewport.scrollTop += ROW;
    this.schedule();
  }

  // Shows the date with the time (records of more than one day).
  setWithDate(on) {
    if (on === this.withDate) return;
    this.withDate = on;
    document.body.classList.toggle('with-date', on);
    this.redraw();
  }

  // Every drawn row again: column widths changed.
  redraw() {
    this.fileChars = 0;
    for (const row of this.pool) row._id = undefined;
    this.schedule();
  }

  // How many characters of the monospace rows fit the file:line column.
  measureFileColumn() {
    const head = document.querySelector('.thead .fl');
    const probe = this.pool[0]?.children[6];
    if (!head || !probe) return 0;
    const style = getComputedStyle(probe);
    const g = (this.measure ||= document.createElement('canvas').getContext('2d'));
    g.font = `${style.fontSize} ${style.fontFamily}`;
    const width = g.measureText('0123456789').width / 10;
    const room = head.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
    return Math.max(4, Math.floor(room / width));
  }

  layout() {
    this.spacer.style.height = this.rows.length * ROW + 'px';
    this.newButton.hidden = this.following || this.unseen === 0;
    this.newButton.textContent = `${this.unseen} new record${this.unseen === 1 ? '' : 's'}`;
  }

  onScroll() {
    const v = this.viewport;
    // The end of the table's own rows, not of the scroll range: rows still
    // placed for a longer view stretch that range until the next render,
    // and the scroll a filter change makes is reported before it.
    const atBottom = v.scrollTop + v.clientHeight >= this.rows.length * ROW - ROW;
    if (atBottom !== this.following) {
      this.following = atBottom;
      if (atBottom) this.unseen = 0;
      this.layout();
    }
    this.schedule();
  }

  toLive() {
    this.following = true;
    this.unseen = 0;
    this.layout();
    this.viewport.scrollTop = this.rows.length * ROW;
    this.schedule();
  }

  // Scrolls so that the row with `key` is in the middle, highlighted.
  reveal(key) {
    const i = this.rows.findIndex(e => e.key === key);
    if (i < 0) return false;
    this.highlightId = key;
    this.scrollToIndex(i);
    return true;
  }

  scrollToIndex(i) {
    this.following = false;
    this.viewport.scrollTop = Math.max(0, i * ROW - this.viewport.clientHeight / 2);
    this.layout();
    this.schedule();
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => { this.pending = false; this.render(); });
  }

  makeRow() {
    const row = document.createElement('div');
    row.className = 'row';
    for (const c of ['t', 'tg', 'sq', 'lvl', 'cp', 'pt', 'fl', 'fn', 'tx']) {
      const s = document.createElement('span');
      s.className = c;
      row.append(s);
    }
    row.addEventListener('click', () => {
      const e = this.rows[row._index];
      if (!e) return;
      this.selectedId = e.key;
      this.schedule();
      this.onSelect(e);
    });
    this.viewport.append(row);
    return row;
  }

  render() {
    const v = this.viewport;
    // Rows still placed for a longer view hold the scroll range open past
    // the last row until this render moves them; a view scrolled there
    // would be drawn empty for a frame while the counter shows rows.
    const end = Math.max(0, this.rows.length * ROW - v.clientHeight);
    if (v.scrollTop > end) v.scrollTop = end;
    const first = Math.max(0, Math.floor(v.scrollTop / ROW) - 2);
    const count = Math.ceil(v.clientHeight / ROW) + 5;
    while (this.pool.length < count) this.pool.push(this.makeRow());
    if (!this.fileChars) this.fileChars = this.measureFileColumn();
    for (let k = 0; k < this.pool.length; k++) {
      const row = this.pool[k];
      const i = first + k;
      const e = this.rows[i];
      if (!e || k >= count) { row.hidden = true; continue; }
      row.hidden = false;
      row._index = i;
      row.style.transform = `translateY(${i * ROW}px)`;
      row.classList.toggle('selected', e.key === this.selectedId);
      row.classList.toggle('highlight', e.key === this.highlightId);
      if (row._id === e.key) continue;
      row._id = e.key;
      const c = row.children;
      row.classList.toggle('audit', isMark(e));
      if (isMark(e)) {
        // Where a component's output changes, and why: the level columns
        // say "levels", the text what changed, by whom.
        row.classList.remove('gap');
        row.dataset.severity = '';
        c[0].textContent = formatTime(e.received, this.withDate);
        c[1].textContent = e.target;
        c[2].textContent = '';
        c[3].textContent = 'levels';
        c[4].textContent = e.component;
        c[5].textContent = '';
        c[6].textContent = '';
        c[6].title = '';
        c[7].textContent = '';
        c[8].textContent = auditText(e);
        continue;
      }
      if (e.type === 'gap') {
        row.classList.add('gap');
        row.dataset.severity = '';
        c[0].textContent = formatTime(e.received, this.withDate);
        c[1].textContent = e.target;
        c[2].textContent = '';
        c[3].textContent = '';
        c[4].textContent = '';
        c[5].textContent = '';
        c[6].textContent = '';
        c[6].title = '';
        c[7].textContent = '';
        c[8].textContent = gapText(e);
        continue;
      }
      row.classList.remove('gap');
      row.dataset.severity = severity(e);
      c[0].textContent = formatTime(e.received, this.withDate);
      c[1].textContent = e.target;
      c[2].textContent = e.sequence;
      c[3].textContent = e.level;
      c[4].textContent = e.component;
      c[5].textContent = `${e.pid}/${e.tid}`;
      const place = `${e.file}:${e.line}`;
      c[6].textContent = trimLeft(place, this.fileChars || place.length);
      c[6].title = place;
      c[7].textContent = e.function;
      c[8].textContent = e.text;
    }
  }
}
