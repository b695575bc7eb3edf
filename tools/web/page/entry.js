// entry.js: records and gaps as the page keeps them, and back in the one
// JSON form every output writes (docs/record.schema.json) for the detail
// panel and the download. The page keeps `received` as ms since the epoch
// (what the histogram, the chart and the time filters compute with) and
// the exact RFC 3339 text beside it, microseconds included.

export function compact(e) {
  const received = Date.parse(e.received);
  if (e.type === 'gap') {
    return { type: 'gap', id: e.id, target: e.target, application: e.application, uuid: e.uuid,
             first: e.first, last: e.last, lost: e.lost, received, receivedText: e.received };
  }
  return { type: 'record', id: e.id, target: e.target, application: e.application, received,
           receivedText: e.received, sequence: e.sequence, level: e.level,
           client_level: e.client_level, client_mask: e.client_mask, pid: e.pid, tid: e.tid,
           tick: e.tick, line: e.line, component: e.component, file: e.file,
           function: e.function, text: e.text, uuid: e.uuid };
}

// As the API gave it: the schema's fields, keys in the order every other
// output writes them (sorted).
export function full(e) {
  if (e.type === 'gap') {
    return { application: e.application, first: e.first, id: e.id, last: e.last, lost: e.lost,
             received: e.receivedText, target: e.target, type: 'gap', uuid: e.uuid };
  }
  return { application: e.application, client_level: e.client_level, client_mask: e.client_mask,
           component: e.component, file: e.file, function: e.function, id: e.id, level: e.level,
           line: e.line, pid: e.pid, received: e.receivedText, sequence: e.sequence,
           target: e.target, text: e.text, tick: e.tick, tid: e.tid, type: 'record', uuid: e.uuid };
}
