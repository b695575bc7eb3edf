// filters.js: the view's filters and their place in the URL, so a link
// reproduces the view. Targets, components, levels and time apply to the
// loaded records in the page (fast); the regexes (grep, exclude, ignore
// case) and the full-text query go to the server, which selects with the
// same matcher as the command-line tools, for the history and the live
// stream alike.

const listKeys = ['target', 'component', 'level'];

// since and until are ms since the epoch, or anything `query --since`
// takes ("10m", "2024-05-01 12:00", "@1714560000"): such a text stays in
// `sinceText`/`untilText` (and in the URL, so a link to "the last 10
// minutes" stays one) until the server has turned it into ms.
export function readUrl() {
  const q = new URLSearchParams(location.search);
  const f = { grep: q.get('grep') || '', exclude: q.get('exclude') || '',
              ignoreCase: q.get('ignore_case') === '1', match: q.get('match') || '' };
  for (const k of ['since', 'until']) {
    const text = (q.get(k) || '').trim();
    f[k] = /^\d+$/.test(text) ? Number(text) : null;
    f[k + 'Text'] = f[k] === null ? text : '';
  }
  for (const k of listKeys) f[k] = q.get(k) ? q.get(k).split(',') : [];
  return f;
}

export function writeUrl(f) {
  const q = new URLSearchParams();
  for (const k of listKeys) if (f[k].length) q.set(k, f[k].join(','));
  for (const k of ['grep', 'exclude', 'match']) if (f[k]) q.set(k, f[k]);
  if (f.ignoreCase) q.set('ignore_case', '1');
  for (const k of ['since', 'until']) if (f[k + 'Text'] || f[k]) q.set(k, f[k + 'Text'] || f[k]);
  const search = String(q);
  history.replaceState(null, '', location.pathname + (search ? '?' + search : ''));
}

export function isEmpty(f) {
  return !listKeys.some(k => f[k].length) && !f.grep && !f.exclude && !f.match && !f.since && !f.until;
}

// The server's part of the filter, as parameters of /api/records and
// /api/stream.
export function serverQuery(f) {
  const q = new URLSearchParams();
  for (const k of ['grep', 'exclude', 'match']) if (f[k]) q.set(k, f[k]);
  if (f.ignoreCase && (f.grep || f.exclude)) q.set('ignore_case', '1');
  return q;
}

// Whether `a` and `b` ask the server for other records.
export function sameServerPart(a, b) {
  return String(serverQuery(a)) === String(serverQuery(b));
}

// The test the page applies to each loaded entry. Gaps pass on target and
// time alone: they show in place among the selected targets' records.
// Level changes pass on target, time and component: they mark where the
// output of the components in view changes, whatever levels are shown.
export function compile(f) {
  const targets = f.target.length ? new Set(f.target) : null;
  const components = f.component.length ? new Set(f.component) : null;
  const levels = f.level.length ? new Set(f.level) : null;
  return e => {
    if (targets && !targets.has(e.target)) return false;
    if (f.since && e.received < f.since) return false;
    if (f.until && e.received >= f.until) return false;
    if (e.type === 'gap') return true;
    if (components && !components.has(e.component)) return false;
    if (e.type === 'audit') return true;
    if (levels && !levels.has(e.level)) return false;
    return true;
  };
}

// The box an error of the server's is about ('grep', 'exclude' or
// 'match'), and what to say beside it. The server says "grep: invalid
// regex 'EXPR': REASON", REASON in the regex library's words.
export function errorBox(message, f) {
  const regex = /^(grep|exclude): invalid regex '/.exec(message);
  if (regex) return { box: regex[1], text: `not a regular expression: ${message.slice(message.lastIndexOf("': ") + 3)}` };
  return f.match ? { box: 'match', text: message } : null;
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
  els.exclude.value = f.exclude;
  els.ignoreCase.checked = f.ignoreCase;
  els.match.value = f.match;
  els.since.value = toLocalInput(f.since);
  els.until.value = toLocalInput(f.until);
  for (const [box, k] of [[els.levels, 'level'], [els.targets, 'target'], [els.components, 'component']])
    for (const i of box.querySelectorAll('input')) i.checked = f[k].includes(i.value);
}

// The form's filter; a time box left as `old` had it keeps old's bound
// (and the text it came from).
export function readForm(els, old) {
  const time = v => (v ? new Date(v).getTime() : null);
  const f = { grep: els.grep.value, exclude: els.exclude.value, ignoreCase: els.ignoreCase.checked,
           match: els.match.value.trim(),
           since: time(els.since.value), until: time(els.until.value), sinceText: '', untilText: '',
           level: checkedValues(els.levels), target: checkedValues(els.targets),
           component: checkedValues(els.components) };
  for (const k of ['since', 'until']) {
    if (old && els[k].value === toLocalInput(old[k])) {
      f[k] = old[k];
      f[k + 'Text'] = old[k + 'Text'];
    }
  }
  return f;
}
