// api.js: calls to the console's own server, with the token when one is
// in force (given once in the URL's #token=..., then kept for the tab).

const params = new URLSearchParams(location.hash.slice(1));
if (params.get('token')) {
  sessionStorage.setItem('token', params.get('token'));
  history.replaceState(null, '', location.pathname + location.search);
}
const token = sessionStorage.getItem('token') || '';

function headers(extra = {}) {
  return token ? { ...extra, Authorization: 'Bearer ' + token } : extra;
}

async function check(response) {
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

export async function getJson(path, query) {
  const url = query && String(query) ? `${path}?${query}` : path;
  return check(await fetch(url, { headers: headers() }));
}

export async function putJson(path, body) {
  return check(await fetch(path, {
    method: 'PUT',
    headers: headers({ 'Content-Type': 'application/json' }),
    body: JSON.stringify(body),
  }));
}

// An EventSource cannot send headers: the token goes as a parameter.
export function streamUrl(query) {
  const q = new URLSearchParams(query);
  if (token) q.set('token', token);
  return '/api/stream?' + q;
}
