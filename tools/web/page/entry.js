// entry.js: records and gaps as the page keeps them. The API's raw
// `integers` and `strings` repeat pid, tid, tick, line and component, file,
// function, text; the page drops the copies and keeps one object of one
// shape per entry (half the garbage collector's work with 100,000 loaded)
// and puts them back for the detail panel and the download.

export function compact(e) {
  if (e.type === 'gap') {
    return { type: 'gap', id: e.id, target: e.target, application: e.application, uuid: e.uuid,
             first: e.first, last: e.last, lost: e.lost, received: e.received };
  }
  return { type: 'record', id: e.id, target: e.target, application: e.application, received: e.received,
           sequence: e.sequence, level: e.level, client_level: e.client_level, client_mask: e.client_mask,
           pid: e.pid, tid: e.tid, tick: e.tick, line: e.line, component: e.component, file: e.file,
           function: e.function, text: e.text, uuid: e.uuid };
}

// As the API gave it.
export function full(e) {
  if (e.type === 'gap') return e;
  return { ...e, integers: [e.pid, e.tid, e.tick | 0, e.line], strings: [e.component, e.file, e.function, e.text] };
}
