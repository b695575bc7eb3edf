// filters.js: the view's filters and their place in the URL, so a link
// reproduces the view. Everything but the full-text query applies to the
// loaded records in the page (fast); the full-text query goes to the store.

const listKeys = ['target', 'component', 'level'];

export function readUrl() {
  const q = new URLSearchParams(location.search);
  const f = { grep: q.get('grep') || '', match: q.get('match') || '',
              since: Number(q.get('since')) || null, until: Number(q.get('until')) || null };
  for (const k of listKeys) f[k] = q.get(k) ? q.get(k).split(',') : [];
  return f;
}

export function writeUrl(f) {
  const q = new URLSearchParams();
  for (const k of listKeys) if (f[k].length) q.set(k, f[k].join(','));
  for (const k of ['grep', 'match', 'since', 'until']) if (f[k]) q.set(k, f[k]);
  const search = String(q);
  history.replaceState(null, '', location.pathname + (search ? '?' + search : ''));
}

export function isEmpty(f) {
  return !listKeys.some(k => f[k].length) && !f.grep && !f.match && !f.since && !f.until;
}

// The test the page applies to each loaded entry. Gaps pass on target and
// time alone: they show in place among the selected targets' records.
export function compile(f) {
  let re = null;
  if (f.grep) {
    try { re = new RegExp(f.grep); } catch { re = /(?!)/; }
  }
  const targets = f.target.length ? new Set(f.target) : null;
  const components = f.component.length ? new Set(f.component) : null;
  const levels = f.level.length ? new Set(f.level) : null;
  return e => {
    if (targets && !targets.has(e.target)) return false;
    if (f.since && e.received < f.since) return false;
    if (f.until && e.received >= f.until) return false;
    if (e.type === 'gap') return true;
    if (components && !components.has(e.component)) return false;
    if (levels && !levels.has(e.level)) return false;
    if (re && !re.test(e.text)) return false;
    return true;
  };
}

// Check boxes for a list whose values come and go (targets, components,
// levels): none checked means no filter. Each new box goes to its place in
// `order`, so the list reads the same however the records came.
export function syncChecks(box, values, checked, onChange, order = byName) {
  const have = new Set([...box.querySelectorAll('input')].map(i => i.value));
  for (const v of values) {
    if (have.has(v)) continue;
    have.add(v);
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'checkbox';
    input.value = v;
    input.checked = checked.includes(v);
    input.addEventListener('change', onChange);
    label.append(input, document.createTextNode(' ' + v));
    const next = [...box.children].find(l => order(v, l.querySelector('input').value) < 0);
    box.insertBefore(label, next || null);
  }
}

// Names as people sort them: "host-2" before "host-10".
export function byName(a, b) {
  return a.localeCompare(b, undefined, { numeric: true, sensitivity: 'base' }) || (a < b ? -1 : a > b ? 1 : 0);
}

export function checkedValues(box) {
  return [...box.querySelectorAll('input:checked')].map(i => i.value);
}

function toLocalInput(ms) {
  if (!ms) return '';
  const d = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
  return d.toISOString().slice(0, 19);
}

export function fillForm(f, els) {
  els.grep.value = f.grep;
  els.match.value = f.match;
  els.since.value = toLocalInput(f.since);
  els.until.value = toLocalInput(f.until);
  for (const [box, k] of [[els.levels, 'level'], [els.targets, 'target'], [els.components, 'component']])
    for (const i of box.querySelectorAll('input')) i.checked = f[k].includes(i.value);
}

export function readForm(els) {
  const time = v => (v ? new Date(v).getTime() : null);
  return { grep: els.grep.value, match: els.match.value.trim(),
           since: time(els.since.value), until: time(els.until.value),
           level: checkedValues(els.levels), target: checkedValues(els.targets),
           component: checkedValues(els.components) };
}
