// alerts.js: the alerts panel, for a console run with --alerts: what fires
// now and the last changes, each with a link that opens the view on the
// record that last counted for it (its target, the minute before it and
// the seconds after). Hidden while the rules have said nothing.

import { getJson } from './api.js';

const BEFORE_MS = 60000, AFTER_MS = 5000;

// The page's own URL narrowed to one alert's context.
export function contextLink(alert) {
  const at = Date.parse(alert.context.received);
  const q = new URLSearchParams();
  q.set('target', alert.context.target || alert.target);
  q.set('since', '@' + Math.floor((at - BEFORE_MS) / 1000));
  q.set('until', '@' + Math.ceil((at + AFTER_MS) / 1000));
  return location.pathname + '?' + q;
}

function item(alert, firing) {
  const div = document.createElement('div');
  div.className = 'alert';
  div.dataset.state = firing ? 'firing' : 'resolved';
  div.dataset.rule = alert.rule;
  const head = document.createElement('div');
  head.className = 'name';
  const time = new Date(firing ? alert.startsAt : alert.endsAt).toLocaleTimeString();
  head.textContent = `${firing ? 'firing' : 'resolved'} ${time} ${alert.rule}`;
  const what = document.createElement('div');
  what.className = 'meta';
  what.textContent = `${alert.target}: ${alert.annotations.summary || alert.context.text || ''}`;
  const link = document.createElement('a');
  link.className = 'context';
  link.href = contextLink(alert);
  link.textContent = 'view in context';
  div.append(head, what, link);
  return div;
}

export function renderAlerts(section, box, alerts) {
  box.replaceChildren();
  for (const a of alerts.firing) box.append(item(a, true));
  // The recent changes newest first; those still firing are listed above.
  for (const a of [...alerts.recent].reverse()) if (a.status === 'resolved') box.append(item(a, false));
  section.hidden = !box.children.length;
}

export function watchAlerts(section, box, every = 2000) {
  const refresh = async () => {
    try {
      renderAlerts(section, box, await getJson('/api/alerts'));
    } catch {
      // The next refresh tries again; the stream's status says when the server is gone.
    }
  };
  refresh();
  return setInterval(refresh, every);
}
