// entry.js: records, gaps and level changes (the audit trail's rows, shown
// as marks among the records) as the page keeps them, and back in the one
// JSON form every output writes (docs/record.schema.json) for the detail
// panel and the download. The page keeps `received` as ms since the epoch
// (what the histogram, the chart and the time filters compute with) and
// the exact RFC 3339 text beside it, microseconds included; a level change
// has its `at` there. `key` tells rows apart in the table: records and
// gaps share the store's ids, the audit trail counts its own.

export function compact(e) {
  if (e.type === 'audit') {
    return { type: 'audit', id: e.id, key: `audit-${e.id}`, target: e.target,
             application: e.application, component: e.component, received: Date.parse(e.at),
             receivedText: e.at, mask_before: e.mask_before, mask_after: e.mask_after,
             levels_before: e.levels_before, levels_after: e.levels_after, by: e.by, why: e.why };
  }
  const received = Date.parse(e.received);
  if (e.type === 'gap') {
    return { type: 'gap', id: e.id, key: e.id, target: e.target, application: e.application, uuid: e.uuid,
             first: e.first, last: e.last, lost: e.lost, received, receivedText: e.received };
  }
  return { type: 'record', id: e.id, key: e.id, target: e.target, application: e.application, received,
           receivedText: e.received, sequence: e.sequence, level: e.level,
           client_level: e.client_level, client_mask: e.client_mask, pid: e.pid, tid: e.tid,
           tick: e.tick, line: e.line, component: e.component, file: e.file,
           function: e.function, text: e.text, uuid: e.uuid };
}

// As the API gave it: the schema's fields, keys in the order every other
// output writes them (sorted).
export function full(e) {
  if (e.type === 'audit') {
    return { application: e.application, at: e.receivedText, by: e.by, component: e.component, id: e.id,
             levels_after: e.levels_after, levels_before: e.levels_before, mask_after: e.mask_after,
             mask_before: e.mask_before, target: e.target, type: 'audit', why: e.why };
  }
  if (e.type === 'gap') {
    return { application: e.application, first: e.first, id: e.id, last: e.last, lost: e.lost,
             received: e.receivedText, target: e.target, type: 'gap', uuid: e.uuid };
  }
  return { application: e.application, client_level: e.client_level, client_mask: e.client_mask,
           component: e.component, file: e.file, function: e.function, id: e.id, level: e.level,
           line: e.line, pid: e.pid, received: e.receivedText, sequence: e.sequence,
           target: e.target, text: e.text, tick: e.tick, tid: e.tid, type: 'record', uuid: e.uuid };
}

// A level change in a line: "db: error, warning, info → error, warning,
// info, debug by alice (manual)".
export function auditText(e) {
  const names = l => (l.length ? l.join(', ') : '(none)');
  return `${e.component}: ${names(e.levels_before)} → ${names(e.levels_after)} by ${e.by} (${e.why})`;
}

// Whether `e` is a level change: a mark among the records, never counted
// as one.
export const isMark = e => e.type === 'audit';
