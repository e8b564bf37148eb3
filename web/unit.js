// /unit/ID: every run of one unit, oldest first, each with its steps.
'use strict';

(function () {
  const id = decodeURIComponent(location.pathname.slice('/unit/'.length));
  document.getElementById('unit-id').textContent = id;
  document.title = 'Unit ' + id;
  const main = document.getElementById('unit-runs');

  function value(v) {
    return v === null || v === undefined ? '' : JSON.stringify(v);
  }

  function runSection(run) {
    const s = trn.el('section', null, 'run');
    const h = trn.el('h2', trn.time(run.started) + ' UTC: ' + trn.outcome(run).toUpperCase() +
                     ', try ' + run.try, 'outcome-' + trn.outcome(run));
    s.appendChild(h);
    const facts = [['Station', run.station], ['Operator', run.operator], ['Device', run.device],
                   ['Board', run.board], ['Firmware', run.firmware],
                   ['Steps passed', run.passed + ' of ' + run.planned],
                   ['Duration', run.duration_ms === null ? '' : run.duration_ms + ' ms'],
                   ['Reason', run.reason]];
    const dl = trn.el('dl', null, 'facts');
    for (const [k, v] of facts) {
      if (v === null || v === undefined || v === '') continue;
      dl.appendChild(trn.el('dt', k));
      dl.appendChild(trn.el('dd', v));
    }
    s.appendChild(dl);
    const table = trn.el('table', null, 'data steps');
    const head = trn.el('thead');
    head.appendChild(trn.row(['Step', 'Outcome', 'ms', 'Written', 'Read', 'Why']));
    for (const td of head.querySelectorAll('td')) td.replaceWith(trn.el('th', td.textContent));
    table.appendChild(head);
    const body = trn.el('tbody');
    trn.fill(body, run.steps.map((st) => [st.name, st.outcome, st.ms, value(st.written),
                                          value(st.read), st.why]));
    table.appendChild(body);
    s.appendChild(table);
    return s;
  }

  async function refresh() {
    try {
      const runs = await trn.json('/api/units/' + encodeURIComponent(id));
      main.replaceChildren(...runs.map(runSection));
    } catch (e) {
      main.replaceChildren(trn.el('p', e.status === 404 ? 'No runs of this unit.' : 'Cannot read the runs: ' + e.message, 'note'));
    }
    document.body.dataset.ready = '1';
  }

  trn.follow(refresh);
  refresh();
})();
