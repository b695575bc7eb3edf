// stream.js: the live stream: Server-Sent Events of records and gaps (each
// with the store's id as event id, so the browser resumes after the last
// one it saw when the connection comes back) and of target states. Entries
// are handed on once per animation frame, as a batch.

import { streamUrl } from './api.js';
import { compact } from './entry.js';

export class Stream {
  constructor(onEntries, onTargets, onStatus) {
    this.onEntries = onEntries;
    this.onTargets = onTargets;
    this.onStatus = onStatus;
    this.source = null;
    this.batch = [];
    this.flushing = false;
  }

  open(query, lastId) {
    this.close();
    const q = new URLSearchParams(query);
    q.set('last_id', lastId);
    const source = this.source = new EventSource(streamUrl(q));
    const take = ev => {
      if (source !== this.source) return;
      this.batch.push(compact(JSON.parse(ev.data)));
      if (!this.flushing) {
        this.flushing = true;
        requestAnimationFrame(() => this.flush());
      }
    };
    source.addEventListener('record', take);
    source.addEventListener('gap', take);
    source.addEventListener('targets', ev => this.onTargets(JSON.parse(ev.data).targets));
    source.onopen = () => this.onStatus('live');
    source.onerror = () => this.onStatus('reconnecting');
  }

  flush() {
    this.flushing = false;
    const batch = this.batch;
    this.batch = [];
    if (batch.length) this.onEntries(batch);
  }

  close() {
    if (this.source) this.source.close();
    this.source = null;
    this.batch = [];
  }
}
