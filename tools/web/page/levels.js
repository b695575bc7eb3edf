// levels.js: level control of one target: each component's levels as
// switches named by the target's level descriptions. A switch sends the
// change, shows the mask the target reports back, and, for a temporary
// change, counts down to the server's restore. Below, the target's latest
// level changes from the audit trail: when, what, by whom and why.

import { getJson, putJson } from './api.js';
import { auditText } from './entry.js';
import { formatTime } from './table.js';

const hex = m => '0x' + (m >>> 0).toString(16).toUpperCase().padStart(8, '0');

export class LevelPanel {
  constructor(els) {
    this.els = els;
    this.target = null;
    els.close.addEventListener('click', () => { this.target = null; els.panel.hidden = true; });
    setInterval(() => this.tick(), 1000);
  }

  async open(target) {
    this.target = target;
    this.els.panel.hidden = false;
    this.els.name.textContent = target;
    await this.reload();
  }

  async reload() {
    if (!this.target) return;
    const body = await getJson(`/api/targets/${encodeURIComponent(this.target)}/components`);
    this.els.components.replaceChildren(...body.components.map(c => this.component(c)));
    await this.reloadAudit();
  }

  // Newest first; what cannot be read is said in the list, not hidden.
  async reloadAudit() {
    const list = this.els.audit;
    try {
      const body = await getJson('/api/audit', new URLSearchParams({ target: this.target, limit: 20 }));
      list.replaceChildren(...body.audit.reverse().map(a => {
        const li = document.createElement('li');
        li.dataset.why = a.why;
        li.textContent = `${formatTime(Date.parse(a.at), true)} ${auditText(a)}`;
        return li;
      }));
      if (!body.audit.length) list.textContent = 'no level change recorded';
    } catch (error) {
      list.textContent = `cannot read the level changes: ${error.message}`;
    }
  }

  component(c) {
    const div = document.createElement('div');
    div.className = 'component';
    div.dataset.component = c.name;
    const title = document.createElement('div');
    const name = document.createElement('b');
    name.textContent = c.name;
    const mask = document.createElement('span');
    mask.className = 'mask';
    mask.textContent = c.error ? ` ${c.error}` : ` ${hex(c.client_mask)}`;
    const countdown = document.createElement('span');
    countdown.className = 'countdown';
    if (c.restore_at) { countdown.dataset.until = c.restore_at; countdown.dataset.mask = hex(c.restore_mask); }
    title.append(name, mask, document.createTextNode(' '), countdown);
    div.append(title);
    for (const l of c.levels || []) {
      const label = document.createElement('label');
      label.className = 'switch';
      const input = document.createElement('input');
      input.type = 'checkbox';
      input.checked = l.enabled;
      input.dataset.level = l.text;
      input.addEventListener('change', () => this.change(c.name, l.client_level, input.checked));
      label.append(input, document.createTextNode(' ' + l.text));
      div.append(label);
    }
    this.tick();
    return div;
  }

  async change(component, clientLevel, on) {
    const body = { levels: (on ? '+' : '-') + clientLevel, for: this.els.duration.value.trim(),
                   all_targets: this.els.all.checked };
    try {
      const result = await putJson(
        `/api/targets/${encodeURIComponent(this.target)}/components/${encodeURIComponent(component)}/levels`, body);
      void result;
    } catch (error) {
      alert(`level change failed: ${error.message}`);
    }
    await this.reload();
  }

  tick() {
    let expired = false;
    for (const span of this.els.components.querySelectorAll('.countdown')) {
      if (!span.dataset.until) { span.textContent = ''; continue; }
      const left = Math.max(0, Math.round((Number(span.dataset.until) - Date.now()) / 1000));
      span.textContent = `restores ${span.dataset.mask} in ${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')}`;
      if (left === 0) { expired = true; delete span.dataset.until; }
    }
    if (expired) setTimeout(() => this.reload(), 1000);
  }
}
