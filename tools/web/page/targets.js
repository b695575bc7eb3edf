// targets.js: the targets panel: each followed or discovered target with
// its application, uuid, address, state, rate and records lost.

export function renderTargets(box, targets, onLevels) {
  box.replaceChildren();
  for (const t of targets) {
    const div = document.createElement('div');
    div.className = 'target';
    div.dataset.state = t.state;
    div.dataset.target = t.target;
    const name = document.createElement('div');
    name.className = 'name';
    name.textContent = `${t.application || '(unknown)'} ${t.target}`;
    const meta = document.createElement('div');
    meta.className = 'meta';
    const state = document.createElement('span');
    state.className = 'state';
    state.textContent = t.state;
    const lost = document.createElement('span');
    lost.className = 'lost';
    lost.textContent = `lost ${t.lost}`;
    meta.append(state, document.createTextNode(
      ` · ${t.records_per_second.toFixed(1)} records/s · ${t.records} records · `), lost,
      document.createElement('br'), document.createTextNode(`uuid ${t.uuid || '-'}`));
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = 'Levels';
    button.disabled = t.state === 'gone';
    button.addEventListener('click', () => onLevels(t.target));
    div.append(name, meta, button);
    box.append(div);
  }
}
