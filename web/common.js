// What the pages share: elements built with their text as text (never as
// markup), figures as text, the server's JSON, and the live updates.
'use strict';

const trn = {
  // An element with its text set as text, and an optional class.
  el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  },

  // A table row of cells (text, or a ready element).
  row(cells) {
    const tr = document.createElement('tr');
    for (const c of cells) {
      const td = document.createElement('td');
      if (c instanceof Node) td.appendChild(c); else td.textContent = c === null || c === undefined ? '' : String(c);
      tr.appendChild(td);
    }
    return tr;
  },

  // Replaces a table body's rows.
  fill(tbody, rows) {
    tbody.replaceChildren(...rows.map((cells) => trn.row(cells)));
  },

  // A fraction from 0 to 1 as a percentage, "-" for none.
  percent(v) {
    return v === null || v === undefined ? '-' : (v * 100).toFixed(1) + '%';
  },

  // "2026-12-08T10:15:02.345Z" to "2026-12-08 10:15:02".
  time(t) {
    return t ? t.slice(0, 19).replace('T', ' ') : '';
  },

  // A run's outcome as a word: a run still open is testing.
  outcome(run) {
    return run.outcome || 'testing';
  },

  // A link to a unit's page.
  unitLink(dut) {
    const a = trn.el('a', dut);
    a.href = '/unit/' + encodeURIComponent(dut);
    return a;
  },

  async json(url) {
    const r = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
    if (!r.ok) {
      const why = (await r.text()).trim();
      const e = new Error(why || r.statusText);
      e.status = r.status;
      throw e;
    }
    return r.json();
  },

  status(text, bad) {
    const s = document.getElementById('status');
    s.textContent = text;
    s.classList.toggle('bad', !!bad);
  },

  // Follows the server's events: onChange() whenever the runs change, and
  // the database's state in the status line.
  follow(onChange) {
    let version = null;
    const events = new EventSource('/api/events');
    events.addEventListener('change', (e) => {
      if (e.data !== version) {
        version = e.data;
        onChange();
      }
    });
    events.addEventListener('database', (e) => {
      const d = JSON.parse(e.data);
      if (d.ok) trn.status('Live: data from ' + d.as_of + ' UTC', false);
      else trn.status('Data from ' + d.as_of + ' UTC, database not answering', true);
    });
    events.onerror = () => trn.status('Not connected to the server; retrying', true);
    return events;
  },
};
