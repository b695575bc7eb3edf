// targets.js: the targets panel: each followed or discovered target with
// its application, address, state, rate, records lost and uuid. Every fact
// is a piece of its own that lines break between, never inside; the uuid
// shows its first digits, the whole one on hover. A viewer of a store lists
// the targets the store has seen ("recorded"), with its newest record.

import { formatTime } from './table.js';

function fact(text, className = '', title = '') {
  const span = document.createElement('span');
  span.className = `fact ${className}`.trim();
  span.textContent = text;
  span.title = title || text;
  return span;
}

export function shortUuid(uuid) {
  return uuid && uuid.length > 8 ? uuid.slice(0, 8) + '…' : uuid || '-';
}

// A viewer follows no target: it says so, and where the records come from.
export function renderTargets(box, targets, onLevels, viewer = false) {
  box.replaceChildren();
  if (viewer && !targets.length) {
    const note = document.createElement('div');
    note.className = 'viewer-note';
    note.textContent = 'Viewer of a record store: no target followed here; records appear as the recorder writing the store commits them.';
    box.append(note);
  }
  for (const t of targets) {
    const div = document.createElement('div');
    div.className = 'target';
    div.dataset.state = t.state;
    div.dataset.target = t.target;
    const name = document.createElement('div');
    name.className = 'name';
    name.append(fact(t.application || '(unknown)', 'application'), fact(t.target, 'address'));
    const meta = document.createElement('div');
    meta.className = 'meta';
    meta.append(fact(t.state, 'state'), fact(`${t.records_per_second.toFixed(1)} records/s`),
      fact(`${t.records} record${t.records === 1 ? '' : 's'}`), fact(`lost ${t.lost}`, 'lost'),
      fact(`uuid ${shortUuid(t.uuid)}`, 'uuid', t.uuid || ''));
    if (t.last_record_ms) meta.append(fact(`last record ${formatTime(t.last_record_ms, true)}`, 'last'));
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Levels';
    button.disabled = t.state === 'gone';
    button.addEventListener('click', () => onLevels(t.target));
    div.append(name, meta, button);
    box.append(div);
  }
}
