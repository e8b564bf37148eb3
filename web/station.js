// The station's page: the slots as the station holds them, redrawn from
// each "state" event; scans, answers and aborts go back as POSTs.  Every
// text from the station (ids, steps, reasons, names) is set as text.
'use strict';

const page = {
  state: null,
  controls: false,        // only the station PC may change anything
  slots: new Map(),       // name -> its elements
  seen: new Map(),        // prompt id -> when this page first saw it
  received: 0,            // when the last state came (for the countdowns)
  keys: [],               // keys typed while no field had focus, for the 50 ms rule
  keyTimer: null,
  lastKey: 0,
};

const SCANS = new Set(['idle', 'pass', 'fail', 'error', 'aborted']);
const WORDS = { pass: 'PASS', fail: 'FAIL', error: 'ERROR', aborted: 'ABORTED' };

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

async function post(path, body) {
  let r;
  try {
    r = await fetch(path, {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body || {}), credentials: 'same-origin',
    });
  } catch (e) {
    return { ok: false, error: 'the station does not answer' };
  }
  let j = {};
  try { j = await r.json(); } catch (e) { j = { error: 'refused (' + r.status + ')' }; }
  return { ok: r.ok, status: r.status, error: j.error };
}

// ---- One slot -------------------------------------------------------------

function makeSlot(name) {
  const s = {};
  s.root = el('section', null, 'slot');
  s.root.dataset.slot = name;
  const head = el('div', null, 'slot-head');
  head.append(el('h2', name), s.port = el('span', '', 'slot-port'));
  const form = el('form', null, 'scan');
  s.input = el('input');
  s.input.setAttribute('aria-label', 'DUT id for ' + name);
  s.input.autocomplete = 'off';
  s.input.maxLength = 256;
  form.append(s.input);
  form.addEventListener('submit', (ev) => { ev.preventDefault(); scan(name, s); });
  s.notice = el('p', '', 'notice');
  s.message = el('p', '', 'message');
  s.previous = el('p', '', 'previous');
  s.steps = el('ul', null, 'steps');
  s.prompt = el('div', null, 'prompt');
  s.promptText = el('p', '', 'prompt-text');
  s.promptLeft = el('p', '', 'prompt-left');
  s.answers = el('div', null, 'answers');
  s.prompt.append(s.promptText, s.promptLeft, s.answers);
  s.verdict = el('div', null, 'verdict');
  s.history = el('ul', null, 'history');
  s.abort = el('button', 'Abort', 'abort');
  s.abort.type = 'button';
  s.abort.addEventListener('click', () => abortTap(name, s));
  s.root.append(head, form, s.notice, s.message, s.previous, s.prompt, s.verdict, s.steps,
                s.abort, s.history);
  return s;
}

function answerButton(label, cls, promptId, answer, slot) {
  const b = el('button', label, cls);
  b.type = 'button';
  b.disabled = !page.controls;
  b.addEventListener('click', () => sendAnswer(promptId, answer, slot));
  return b;
}

function verdictLines(v) {
  const who = v.dut + '  (try ' + v.try + ')';
  if (v.outcome === 'pass') return ['PASS  ' + who + ': all ' + v.planned + ' steps passed'];
  if (v.outcome === 'fail') {
    const l = ['FAIL  ' + who + ': the unit failed', 'failed steps: ' + v.failed.join(', ')];
    if (v.reason) l.push(v.reason);
    return l;
  }
  if (v.outcome === 'error') {
    return ['ERROR  ' + who + ': a fixture or port fault, not the unit', v.reason,
            'Do not scrap the unit: check the cable and the port, then test it again.'];
  }
  return ['ABORTED  ' + who + ': the test was stopped (' + v.reason + ')'];
}

function drawSlot(s, d) {
  s.root.dataset.state = d.state;
  s.port.textContent = d.port;
  s.input.disabled = !page.controls;
  s.notice.textContent = d.notice || '';
  s.notice.hidden = !d.notice;
  s.message.hidden = !s.message.textContent;

  const p = d.previous;
  s.previous.hidden = !p || !(d.state === 'testing' || d.state === 'prompt');
  if (p) {
    s.previous.textContent = 'Tested before: ' + (WORDS[p.outcome] || p.outcome) + ' (try ' + p.try + ')' +
        (p.failed && p.failed.length ? ', failed: ' + p.failed.join(', ') : '');
  }

  s.steps.replaceChildren(...d.steps.map((st) => {
    const mark = st.outcome === 'pass' ? ' PASS' : st.outcome === 'fail' ? ' FAIL' :
                 st.outcome === 'skipped' ? ' skipped' : st.outcome === 'running' ? ' ...' : '';
    const li = el('li', st.name + mark, st.outcome);
    return li;
  }));

  const q = d.prompt;
  s.prompt.hidden = !q;
  if (q) {
    if (s.prompt.dataset.promptId !== q.id) {
      s.prompt.dataset.promptId = q.id;
      s.promptText.textContent = q.text;
      if (q.kind === 'visual') {
        s.answers.replaceChildren(answerButton('Yes', 'yes', q.id, 'yes', s),
                                  answerButton('No', 'no', q.id, 'no', s));
      } else {
        s.answers.replaceChildren(answerButton("Can't", 'cant', q.id, 'cant', s));
      }
    }
    // An older state (the event stream's last, on a reload) never lengthens the time left.
    const deadline = page.received + q.seconds_left * 1000;
    s.deadline = s.deadlineOf === q.id ? Math.min(s.deadline, deadline) : deadline;
    s.deadlineOf = q.id;
    if (!page.seen.has(q.id)) {
      page.seen.set(q.id, performance.now());
      tone();
    }
  } else {
    delete s.prompt.dataset.promptId;
    s.deadline = null;
    s.deadlineOf = null;
  }

  const v = d.verdict;
  const showVerdict = v && SCANS.has(d.state);
  s.verdict.hidden = !showVerdict;
  if (showVerdict) {
    s.verdict.className = 'verdict ' + v.outcome;
    s.verdict.replaceChildren(el('p', WORDS[v.outcome] || v.outcome, 'word'),
                              ...verdictLines(v).map((l) => el('p', l, 'line')));
  }

  const busy = d.state === 'testing' || d.state === 'prompt';
  s.abort.hidden = !busy;
  s.abort.disabled = !page.controls;
  if (!busy) resetAbort(s);

  s.history.replaceChildren(...d.history.map((h) => {
    const li = el('li');
    li.append(el('span', h.dut, 'h-dut'), el('span', WORDS[h.outcome] || h.outcome),
              el('span', 'try ' + h.try));
    return li;
  }));
}

function resetAbort(s) {
  clearTimeout(s.abortTimer);
  s.abortTimer = null;
  s.abort.textContent = 'Abort';
  s.abort.classList.remove('confirm');
}

async function abortTap(name, s) {
  if (!s.abortTimer) {
    s.abort.textContent = 'Confirm abort';
    s.abort.classList.add('confirm');
    s.abortTimer = setTimeout(() => resetAbort(s), 5000);
    return;
  }
  resetAbort(s);
  const r = await post('/api/slots/' + encodeURIComponent(name) + '/abort');
  say(s, r.ok ? '' : r.error);
}

function say(s, text) {
  s.message.textContent = text || '';
  s.message.hidden = !text;
}

async function scan(name, s) {
  const dut = s.input.value.trim();
  s.input.value = '';
  if (!dut) return;
  const r = await post('/api/slots/' + encodeURIComponent(name) + '/scan', { dut });
  say(s, r.ok ? '' : r.error);
  if (r.ok) focusNextIdle(name);
}

async function sendAnswer(id, answer, s) {
  const r = await post('/api/prompts/' + encodeURIComponent(id) + '/answer', { answer });
  say(s, r.ok ? '' : r.error);
  if (!r.ok) refresh();
}

// ---- Focus, keys and the scanner -------------------------------------------

function idleSlots() {
  return page.state ? page.state.slots.filter((d) => SCANS.has(d.state)).map((d) => d.name) : [];
}

function focusNextIdle(after) {
  const names = idleSlots().filter((n) => n !== after);
  const all = page.state ? page.state.slots.map((d) => d.name) : [];
  const start = all.indexOf(after);
  const next = names.find((n) => all.indexOf(n) > start) || names[0];
  if (next && page.controls) page.slots.get(next).input.focus();
  else if (document.activeElement) document.activeElement.blur();
}

function oldestPrompt() {
  let best = null;
  for (const d of page.state ? page.state.slots : []) {
    if (!d.prompt) continue;
    const t = page.seen.get(d.prompt.id) || 0;
    if (!best || t < best.t) best = { t, slot: d };
  }
  return best && best.slot;
}

function typing() {
  const a = document.activeElement;
  return a && (a.tagName === 'INPUT' || a.tagName === 'TEXTAREA');
}

// Keys while no field has focus wait 50 ms: another key within that time
// makes them a scanner's, which go to the first idle slot's field; a lone
// y, n or Enter answers the oldest open prompt.
function onKey(ev) {
  if (typing() || ev.ctrlKey || ev.altKey || ev.metaKey || !page.controls) return;
  if (ev.key.length !== 1 && ev.key !== 'Enter') return;
  ev.preventDefault();
  const now = performance.now();
  const burst = now - page.lastKey < 50;
  page.lastKey = now;
  page.keys.push(ev.key);
  page.burst = page.burst || burst;
  clearTimeout(page.keyTimer);
  page.keyTimer = setTimeout(settleKeys, 50);
}

function settleKeys() {
  const keys = page.keys;
  const burst = page.burst || keys.length > 1;
  page.keys = [];
  page.burst = false;
  if (burst) {
    const name = idleSlots()[0];
    if (!name) return;
    const s = page.slots.get(name);
    const text = keys.filter((k) => k !== 'Enter').join('');
    s.input.value = text;
    s.input.focus();
    if (keys[keys.length - 1] === 'Enter') scan(name, s);
    return;
  }
  const d = oldestPrompt();
  if (!d) return;
  const k = keys[0].toLowerCase();
  const s = page.slots.get(d.name);
  if (d.prompt.kind === 'visual' && (k === 'y' || k === 'n')) sendAnswer(d.prompt.id, k === 'y' ? 'yes' : 'no', s);
  else if (d.prompt.kind === 'button' && keys[0] === 'Enter') sendAnswer(d.prompt.id, 'cant', s);
}

// ---- Header ---------------------------------------------------------------

function drawHeader(j) {
  document.getElementById('station').textContent = j.station;
  document.title = j.station + ': test station';
  document.getElementById('units').textContent = j.today.units + (j.today.units === 1 ? ' unit' : ' units');
  const fpy = j.today.first_pass_yield;
  document.getElementById('fpy').textContent = fpy === null ? '-' : (fpy * 100).toFixed(1) + '%';
  document.getElementById('operator').textContent = j.operator;
  const push = document.getElementById('push');
  push.hidden = !j.push;
  if (j.push) push.textContent = j.push.waiting + ' run' + (j.push.waiting === 1 ? '' : 's') +
      " wait for the line's database";
}

function editOperator() {
  if (!page.controls) return;
  const button = document.getElementById('operator');
  const input = document.getElementById('operator-input');
  input.value = page.state ? page.state.operator : '';
  button.hidden = true;
  input.hidden = false;
  input.focus();
}

function endOperator(save) {
  const button = document.getElementById('operator');
  const input = document.getElementById('operator-input');
  if (input.hidden) return;
  input.hidden = true;
  button.hidden = false;
  const name = input.value.trim();
  if (save && name) post('/api/operator', { operator: name });
}

// ---- State ----------------------------------------------------------------

function draw(j) {
  page.state = j;
  page.received = performance.now();
  drawHeader(j);
  const main = document.getElementById('slots');
  main.style.setProperty('--cols', String(Math.min(4, j.slots.length)));
  const names = new Set(j.slots.map((d) => d.name));
  for (const [name, s] of page.slots) {
    if (!names.has(name)) { s.root.remove(); page.slots.delete(name); }
  }
  for (const d of j.slots) {
    if (!page.slots.has(d.name)) {
      const s = makeSlot(d.name);
      page.slots.set(d.name, s);
      main.append(s.root);
    }
    drawSlot(page.slots.get(d.name), d);
  }
  const oldest = oldestPrompt();
  for (const [name, s] of page.slots) s.root.classList.toggle('oldest', !!oldest && oldest.name === name);
  for (const id of page.seen.keys()) {
    if (!j.slots.some((d) => d.prompt && d.prompt.id === id)) page.seen.delete(id);
  }
  tick();
  document.body.dataset.ready = '1';
}

function tick() {
  const now = performance.now();
  for (const s of page.slots.values()) {
    if (s.deadline) s.promptLeft.textContent = Math.max(0, Math.ceil((s.deadline - now) / 1000)) + ' s left';
  }
}

async function refresh() {
  try {
    const r = await fetch('/api/state', { credentials: 'same-origin' });
    if (r.ok) draw(await r.json());
  } catch (e) { /* the event stream tells when the station is back */ }
}

let audio = null;
function tone() {
  try {
    audio = audio || new AudioContext();
    const o = audio.createOscillator();
    const g = audio.createGain();
    o.frequency.value = 880;
    g.gain.value = 0.2;
    o.connect(g).connect(audio.destination);
    o.start();
    o.stop(audio.currentTime + 0.15);
  } catch (e) { /* no sound on this PC */ }
}

async function start() {
  try {
    const r = await fetch('/api/session', { credentials: 'same-origin' });
    page.controls = r.ok && (await r.json()).controls === true;
  } catch (e) { page.controls = false; }
  document.getElementById('view-only').hidden = page.controls;
  document.getElementById('operator').addEventListener('click', editOperator);
  const input = document.getElementById('operator-input');
  input.addEventListener('keydown', (ev) => {
    if (ev.key === 'Enter') endOperator(true);
    if (ev.key === 'Escape') endOperator(false);
  });
  input.addEventListener('blur', () => endOperator(false));
  document.addEventListener('keydown', onKey);
  const link = document.getElementById('link');
  const events = new EventSource('/api/events');
  events.addEventListener('state', (ev) => { link.textContent = ''; draw(JSON.parse(ev.data)); });
  events.addEventListener('error', () => { link.textContent = 'The station does not answer'; });
  await refresh();
  const first = idleSlots()[0];
  if (first && page.controls) page.slots.get(first).input.focus();
  setInterval(tick, 250);
}

start();
