// The overview: counts, charts with their tables, and the latest runs, for
// the filters in the address; kept up to date through the server's events.
'use strict';

(function () {
  const params = new URLSearchParams(location.search);
  const charts = {};
  const haveCharts = typeof window.Chart !== 'undefined';
  let busy = false, again = false;

  // The filters as a query string (without the outcome, which is the table's).
  function filterQuery() {
    const q = new URLSearchParams();
    for (const k of ['since', 'until', 'station'])
      if (params.has(k)) q.set(k, params.get(k));
    return q;
  }

  function withOutcome(q) {
    const o = document.getElementById('outcome').value;
    if (o) q.set('outcome', o);
    return q;
  }

  function showCounts(y) {
    for (const fig of document.querySelectorAll('[data-figure]')) {
      const k = fig.dataset.figure;
      const v = y[k];
      fig.dataset.value = JSON.stringify(v);
      fig.querySelector('.value').textContent =
          k.endsWith('yield') ? trn.percent(v) : String(v);
    }
  }

  function groupRows(groups) {
    return groups.map((g) => [g.group, g.units, trn.percent(g.first_pass_yield),
                              trn.percent(g.final_yield), g.retests, g.errors, g.aborted]);
  }

  function pct(v) { return v === null ? null : Math.round(v * 1000) / 10; }

  // Draws or redraws a chart on its canvas.
  function draw(name, config) {
    if (!haveCharts) return;
    const canvas = document.querySelector('canvas[data-chart="' + name + '"]');
    config.options = Object.assign({
      animation: false,
      responsive: true,
      maintainAspectRatio: false,
      plugins: { legend: { position: 'bottom' } },
    }, config.options);
    if (charts[name]) {
      charts[name].data = config.data;
      charts[name].update();
    } else {
      charts[name] = new window.Chart(canvas, config);
    }
  }

  function axis(title, extra) {
    return Object.assign({ title: { display: true, text: title } }, extra || {});
  }

  const percentAxis = (title) => axis(title, { min: 0, max: 100, position: 'left' });

  function drawByDay(days) {
    draw('by-day', {
      data: {
        labels: days.map((g) => g.group),
        datasets: [
          { type: 'line', label: 'First-pass yield (%)', yAxisID: 'y', data: days.map((g) => pct(g.first_pass_yield)),
            borderColor: '#1f5fa8', backgroundColor: '#1f5fa8', pointStyle: 'circle' },
          { type: 'line', label: 'Final yield (%)', yAxisID: 'y', data: days.map((g) => pct(g.final_yield)),
            borderColor: '#2e7d32', backgroundColor: '#2e7d32', borderDash: [6, 4], pointStyle: 'triangle' },
          { type: 'bar', label: 'Units', yAxisID: 'units', data: days.map((g) => g.units),
            backgroundColor: 'rgba(120, 120, 120, 0.35)' },
        ],
      },
      options: {
        scales: {
          x: axis('Day (UTC)'),
          y: percentAxis('Yield (%)'),
          units: axis('Units', { position: 'right', beginAtZero: true, ticks: { precision: 0 }, grid: { drawOnChartArea: false } }),
        },
      },
    });
  }

  function drawByStation(stations) {
    draw('by-station', {
      type: 'bar',
      data: {
        labels: stations.map((g) => g.group),
        datasets: [
          { label: 'First-pass yield (%)', data: stations.map((g) => pct(g.first_pass_yield)), backgroundColor: '#1f5fa8' },
          { label: 'Final yield (%)', data: stations.map((g) => pct(g.final_yield)), backgroundColor: '#8fc98f',
            borderColor: '#2e7d32', borderWidth: 2 },
        ],
      },
      options: { scales: { x: axis('Station'), y: percentAxis('Yield (%)') } },
    });
  }

  function drawFailures(failures) {
    const total = failures.reduce((n, f) => n + f.count, 0);
    let sum = 0;
    const cumulative = failures.map((f) => { sum += f.count; return Math.round(sum * 1000 / total) / 10; });
    draw('failures', {
      data: {
        labels: failures.map((f) => f.step),
        datasets: [
          { type: 'bar', label: 'Failures', yAxisID: 'count', data: failures.map((f) => f.count), backgroundColor: '#c62828' },
          { type: 'line', label: 'Cumulative share (%)', yAxisID: 'share', data: cumulative,
            borderColor: '#333', backgroundColor: '#333', borderDash: [4, 3] },
        ],
      },
      options: {
        onClick: (event, elements) => {
          const bar = elements.find((e) => e.datasetIndex === 0);
          if (bar) showStepRuns(failures[bar.index].step);
        },
        scales: {
          x: axis('Step'),
          count: axis('Failures', { position: 'left', beginAtZero: true, ticks: { precision: 0 } }),
          share: axis('Cumulative share (%)', { position: 'right', min: 0, max: 100, grid: { drawOnChartArea: false } }),
        },
      },
    });
    return cumulative;
  }

  async function showStepRuns(step) {
    const q = filterQuery();
    q.set('outcome', 'fail');
    q.set('step', step);
    q.set('limit', '1000');
    const section = document.getElementById('step-runs');
    document.getElementById('step-runs-title').textContent = 'Runs that failed ' + step;
    const runs = await trn.json('/api/runs?' + q);
    trn.fill(section.querySelector('tbody'), runs.map((r) => {
      const st = r.steps.find((s) => s.name === step && s.outcome === 'fail');
      return [trn.time(r.started), trn.unitLink(r.dut), r.station, r.try, st ? st.why : ''];
    }));
    section.hidden = false;
  }

  function showFailures(failures) {
    const cumulative = drawFailures(failures);
    trn.fill(document.querySelector('#failures-table tbody'), failures.map((f, i) => {
      const b = trn.el('button', 'Runs');
      b.type = 'button';
      b.addEventListener('click', () => showStepRuns(f.step));
      return [f.step, f.count, cumulative[i].toFixed(1) + '%', b];
    }));
  }

  function showRuns(runs) {
    trn.fill(document.querySelector('#runs-table tbody'), runs.map((r) => {
      const failed = r.steps.filter((s) => s.outcome === 'fail').map((s) => s.name).join(', ');
      return [trn.time(r.started), trn.unitLink(r.dut), r.station, r.device || '',
              trn.el('span', trn.outcome(r), 'outcome outcome-' + trn.outcome(r)), r.try, failed];
    }));
  }

  async function refresh() {
    if (busy) { again = true; return; }
    busy = true;
    try {
      const q = filterQuery();
      const rq = withOutcome(filterQuery());
      rq.set('limit', '50');
      const [o, runs] = await Promise.all([trn.json('/api/overview?' + q), trn.json('/api/runs?' + rq)]);
      for (const k of ['since', 'until', 'station']) {
        const input = document.getElementById(k);
        if (document.activeElement !== input) input.value = o.filters[k];
      }
      showCounts(o.yield);
      drawByDay(o.by_day);
      trn.fill(document.querySelector('#by-day-table tbody'), groupRows(o.by_day));
      drawByStation(o.by_station);
      trn.fill(document.querySelector('#by-station-table tbody'), groupRows(o.by_station));
      showFailures(o.failures);
      showRuns(runs);
      document.getElementById('csv').href = '/runs.csv?' + withOutcome(filterQuery());
      document.body.dataset.ready = '1';
    } catch (e) {
      trn.status('Cannot show the data: ' + e.message, true);
    } finally {
      busy = false;
      if (again) { again = false; refresh(); }
    }
  }

  const outcome = document.getElementById('outcome');
  if (params.has('outcome')) outcome.value = params.get('outcome');
  outcome.addEventListener('change', () => {
    if (outcome.value) params.set('outcome', outcome.value); else params.delete('outcome');
    history.replaceState(null, '', '/?' + params);
    refresh();
  });
  document.getElementById('search').addEventListener('submit', (e) => {
    e.preventDefault();
    location.href = '/unit/' + encodeURIComponent(document.getElementById('dut').value);
  });
  if (!haveCharts) {
    document.getElementById('charts-note').hidden = false;
    for (const c of document.querySelectorAll('.canvas-box')) c.hidden = true;
  }
  trn.follow(refresh);
  refresh();
})();
