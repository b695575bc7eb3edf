// stream.js: the live stream: Server-Sent Events of records and gaps (each
// with the store's id as event id, so the browser resumes after the last
// one it saw when the connection comes back), of target states and of the
// audit trail's level changes (those since `auditSince`, then each new
// one; no event id, so they never move where a reconnect resumes, and a
// reconnect sends them again: the page knows them by id). Entries are
// handed on once per animation frame, as a batch. A stream the server
// refused (too many open, or the server gone) is opened again every few
// seconds from the last entry seen; the browser retries only dropped ones.

import { streamUrl } from './api.js';
import { compact } from './entry.js';

const kRetryMs = 5000;

export class Stream {
  constructor(onEntries, onMarks, onTargets, onStatus) {
    this.onEntries = onEntries;
    this.onMarks = onMarks;
    this.onTargets = onTargets;
    this.onStatus = onStatus;
    this.source = null;
    this.batch = [];
    this.marks = [];
    this.flushing = false;
    this.retry = null;
    this.lastId = null;   // of the last entry handed on
    this.batchId = null;  // of the last entry in the batch
  }

  open(query, lastId, auditSince) {
    this.close();
    this.lastId = lastId;
    const q = new URLSearchParams(query);
    q.set('last_id', lastId);
    if (auditSince !== undefined) q.set('audit_since', auditSince);
    const source = this.source = new EventSource(streamUrl(q));
    const later = () => {
      if (!this.flushing) {
        this.flushing = true;
        requestAnimationFrame(() => this.flush());
      }
    };
    const take = ev => {
      if (source !== this.source) return;
      this.batchId = ev.lastEventId;
      this.batch.push(compact(JSON.parse(ev.data)));
      later();
    };
    source.addEventListener('record', take);
    source.addEventListener('gap', take);
    source.addEventListener('audit', ev => {
      if (source !== this.source) return;
      this.marks.push(compact(JSON.parse(ev.data)));
      later();
    });
    source.addEventListener('targets', ev => {
      const body = JSON.parse(ev.data);
      this.onTargets(body.targets, body.viewer);
    });
    source.onopen = () => this.onStatus('live');
    source.onerror = () => {
      if (source !== this.source) return;
      if (source.readyState !== EventSource.CLOSED) return this.onStatus('reconnecting');
      this.onStatus('refused: retrying');
      this.retry = setTimeout(() => this.open(query, this.lastId, auditSince), kRetryMs);
    };
  }

  flush() {
    this.flushing = false;
    const batch = this.batch, marks = this.marks;
    this.batch = [];
    this.marks = [];
    if (batch.length) {
      this.lastId = this.batchId;
      this.onEntries(batch);
    }
    if (marks.length) this.onMarks(marks);
  }

  close() {
    clearTimeout(this.retry);
    if (this.source) this.source.close();
    this.source = null;
    this.batch = [];
    this.marks = [];
  }
}
